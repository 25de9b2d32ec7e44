#include "editor/audio_files.h"

#include <fcntl.h>
#include <sndfile.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <limits>
#include <memory>
#include <optional>
#include <type_traits>

#include "platform/audio_file.h"
#include "platform/sndfile_memory_reader.h"
#include "platform/whole_file.h"

namespace strombel::editor {

namespace {

struct SndFileCloser {
    void operator()(SNDFILE* file) const {
        if (file) sf_close(file);
    }
};
using SndFilePtr = std::unique_ptr<SNDFILE, SndFileCloser>;

constexpr sf_count_t kBlockFrames = 16384;


constexpr std::string_view kTemporaryPrefix = ".partial-";

/// Where a trim, a paste or a kept take is written until it is whole: beside
/// its target, under the name the stale-file sweep knows.
platform::WholeFileOptions temporaryName() {
    return platform::WholeFileOptions().named(std::string(kTemporaryPrefix) + "XXXXXX");
}

/// Gives the finished file the first free "stem NN extension" of `folder`, never
/// replacing a file; empty, with `error` set, when it cannot.
std::filesystem::path publishFresh(platform::WholeFile& file, const std::filesystem::path& folder,
                                   std::string_view stem, std::string_view extension, std::string& error) {
    for (int attempt = 0; attempt < 10000; ++attempt) {
        const std::filesystem::path target = firstFreeName(folder, stem, extension);
        const platform::Result<void> published = file.commitWithoutReplacing(target);
        if (published.ok()) return target;
        if (published.error().code != EEXIST) {
            error = platform::systemReason(published.error());
            return {};
        }
    }
    error = "no free file name";
    return {};
}

bool isFloatFormat(int format) {
    const int sub = format & SF_FORMAT_SUBMASK;
    return sub == SF_FORMAT_FLOAT || sub == SF_FORMAT_DOUBLE;
}

/// Copies `count` frames from the read position of `in` to `out`, in blocks.
/// Samples travel as 16-bit when the file is 16-bit, as floats for floating-point
/// files and as 32-bit integers otherwise, so that PCM copies are exact.
bool copyFrames(SNDFILE* in, SNDFILE* out, const SF_INFO& inInfo, int outFormat, sf_count_t count,
                std::string& error) {
    const int channels = inInfo.channels;
    const bool shorts = (outFormat & SF_FORMAT_SUBMASK) == SF_FORMAT_PCM_16;
    const bool floats = !shorts && isFloatFormat(inInfo.format);
    std::vector<int16_t> shortBlock(shorts ? size_t(kBlockFrames * channels) : 0);
    std::vector<int32_t> intBlock(!shorts && !floats ? size_t(kBlockFrames * channels) : 0);
    std::vector<float> floatBlock(floats ? size_t(kBlockFrames * channels) : 0);
    while (count > 0) {
        const sf_count_t want = std::min(count, kBlockFrames);
        sf_count_t got = 0, put = 0;
        if (shorts) {
            got = sf_readf_short(in, shortBlock.data(), want);
            if (got > 0) put = sf_writef_short(out, shortBlock.data(), got);
        } else if (floats) {
            got = sf_readf_float(in, floatBlock.data(), want);
            if (got > 0) put = sf_writef_float(out, floatBlock.data(), got);
        } else {
            got = sf_readf_int(in, intBlock.data(), want);
            if (got > 0) put = sf_writef_int(out, intBlock.data(), got);
        }
        if (got <= 0) {
            error = "the audio data ends early";
            return false;
        }
        if (put != got) {
            error = sf_strerror(out);
            return false;
        }
        count -= got;
    }
    return true;
}

/// Writes the whole of `in` as a 16-bit WAVE file into `temporary`.
bool writeSixteenBitWave(SNDFILE* in, const SF_INFO& inInfo, platform::WholeFile& temporary, std::string& error) {
    SF_INFO outInfo{};
    outInfo.samplerate = inInfo.samplerate;
    outInfo.channels = inInfo.channels;
    outInfo.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
    SndFilePtr out(sf_open_fd(temporary.fd(), SFM_WRITE, &outInfo, SF_FALSE));
    if (!out) {
        error = sf_strerror(nullptr);
        return false;
    }
    // Floating-point sources are clipped at full scale rather than wrapped.
    sf_command(out.get(), SFC_SET_CLIPPING, nullptr, SF_TRUE);
    if (!copyFrames(in, out.get(), inInfo, outInfo.format, inInfo.frames, error)) return false;
    // Closing writes the header's final sizes; finish() then syncs it all at once.
    out.reset();
    if (!temporary.finish()) {
        error = platform::systemReason(temporary.failure().error());
        return false;
    }
    return true;
}

platform::Error failed(std::string_view why, AudioFileError code = AudioFileNotWritten) {
    return platform::Error::make(kAudioFileErrorDomain, code, why);
}

/// The sample bytes of a RIFF/WAVE whose chunks the paste check found whole.
std::span<const uint8_t> riffDataChunk(std::span<const uint8_t> bytes) {
    for (size_t at = 12; at + 8 <= bytes.size();) {
        const uint32_t length = uint32_t(bytes[at + 4]) | uint32_t(bytes[at + 5]) << 8 |
                                uint32_t(bytes[at + 6]) << 16 | uint32_t(bytes[at + 7]) << 24;
        if (at + 8 + uint64_t(length) > bytes.size()) break;
        if (std::memcmp(bytes.data() + at, "data", 4) == 0) return bytes.subspan(at + 8, length);
        at += 8 + size_t(length) + (length & 1);
    }
    return {};
}

/// Writes 16-bit samples that are already in WAVE's own byte order under a plain
/// 44-byte header: a paste of 16-bit WAVE is its sample bytes, copied once.
bool writeSixteenBitWaveAsIs(std::span<const uint8_t> samples, const SF_INFO& info, platform::WholeFile& temporary,
                             std::string& error) {
    const uint32_t channels = uint32_t(info.channels), rate = uint32_t(info.samplerate);
    const uint32_t dataBytes = uint32_t(samples.size());
    uint8_t header[44];
    auto put32 = [&](size_t at, uint32_t value) {
        for (int i = 0; i < 4; ++i) header[at + size_t(i)] = uint8_t(value >> (8 * i));
    };
    auto put16 = [&](size_t at, uint32_t value) { header[at] = uint8_t(value), header[at + 1] = uint8_t(value >> 8); };
    std::memcpy(header, "RIFF", 4);
    put32(4, 36 + dataBytes);
    std::memcpy(header + 8, "WAVEfmt ", 8);
    put32(16, 16);
    put16(20, 1);  // integer samples
    put16(22, channels);
    put32(24, rate);
    put32(28, rate * channels * 2);
    put16(32, channels * 2);
    put16(34, 16);
    std::memcpy(header + 36, "data", 4);
    put32(40, dataBytes);
    if (!temporary.write(std::span<const uint8_t>(header, sizeof header)) || !temporary.write(samples)) {
        error = platform::systemReason(temporary.failure().error());
        return false;
    }
    if (!temporary.finish()) {
        error = platform::systemReason(temporary.failure().error());
        return false;
    }
    return true;
}

/// Opens bytes in memory for reading and checks them as a paste takes them.
SndFilePtr openPasted(platform::SndFileMemoryReader& reader, SF_VIRTUAL_IO& io, SF_INFO& info, std::string& error) {
    if (const platform::Result<void> checked = checkPastedAudio(reader.bytes); !checked) {
        error = checked.error().message();
        return nullptr;
    }
    info = {};
    SndFilePtr in(sf_open_virtual(&io, SFM_READ, &info, &reader));
    if (!in) error = "this is not audio";
    return in;
}

}  // namespace

std::filesystem::path firstFreeName(const std::filesystem::path& folder, std::string_view stem,
                                    std::string_view extension) {
    for (unsigned number = 1;; ++number) {
        std::string name(stem);
        name += number < 10 ? " 0" : " ";
        name += std::to_string(number);
        name += extension;
        std::error_code ignored;
        if (!std::filesystem::exists(std::filesystem::symlink_status(folder / name, ignored))) return folder / name;
    }
}

namespace {

/// Widens [low, high] to hold every one of `count` samples. Sixteen running
/// pairs side by side, so that the compiler keeps them in vector registers.
template <typename Sample>
void widenRange(const Sample* samples, size_t count, Sample& low, Sample& high) {
    constexpr size_t kLanes = 16;
    size_t i = 0;
    if (count >= kLanes) {
        Sample lows[kLanes], highs[kLanes];
        for (size_t k = 0; k < kLanes; ++k) lows[k] = low, highs[k] = high;
        for (; i + kLanes <= count; i += kLanes) {
            for (size_t k = 0; k < kLanes; ++k) {
                const Sample sample = samples[i + k];
                lows[k] = sample < lows[k] ? sample : lows[k];
                highs[k] = sample > highs[k] ? sample : highs[k];
            }
        }
        for (size_t k = 0; k < kLanes; ++k) low = std::min(low, lows[k]), high = std::max(high, highs[k]);
    }
    for (; i < count; ++i) low = std::min(low, samples[i]), high = std::max(high, samples[i]);
}

/// The peaks of an open file, read as `Sample` (float, or int16 for files of 16
/// bits or fewer: the same values, scaled by `scale`, read without conversion).
/// Returns the frames read.
template <typename Sample>
uint64_t scanPeaks(SNDFILE* in, const SF_INFO& info, float scale, WaveformPeaks& peaks,
                   const std::function<bool()>& stopped) {
    const size_t channels = size_t(info.channels);
    const size_t points = peaks.minimum.size();
    const uint64_t frames = uint64_t(info.frames);
    std::vector<Sample> block(size_t(kBlockFrames) * channels);
    uint64_t frame = 0;
    size_t point = 0;
    // The frame at which the next point begins; the last point takes what is left.
    auto boundary = [&](size_t p) { return (uint64_t(p) + 1) * frames / points; };
    uint64_t next = boundary(0);
    Sample low = std::numeric_limits<Sample>::max(), high = std::numeric_limits<Sample>::lowest();
    auto close = [&] {
        peaks.minimum[point] = low <= high ? float(low) * scale : 0.0f;
        peaks.maximum[point] = low <= high ? float(high) * scale : 0.0f;
        low = std::numeric_limits<Sample>::max(), high = std::numeric_limits<Sample>::lowest();
    };
    for (;;) {
        if (stopped && stopped()) break;
        sf_count_t got;
        if constexpr (std::is_same_v<Sample, float>)
            got = sf_readf_float(in, block.data(), kBlockFrames);
        else
            got = sf_readf_short(in, block.data(), kBlockFrames);
        if (got <= 0) break;
        for (uint64_t at = 0; at < uint64_t(got);) {
            if (frame >= next && point + 1 < points) {
                close();
                next = boundary(++point);
                continue;
            }
            uint64_t run = uint64_t(got) - at;
            if (point + 1 < points) run = std::min(run, next - frame);
            widenRange(block.data() + at * channels, size_t(run) * channels, low, high);
            at += run;
            frame += run;
        }
    }
    if (low <= high) close();
    return frame;
}

}  // namespace

platform::Result<WaveformPeaks> readWaveformPeaks(const std::filesystem::path& file, size_t points,
                                                  const std::function<bool()>& stopped) {
    SF_INFO info{};
    SndFilePtr in(sf_open(file.c_str(), SFM_READ, &info));
    if (!in) return platform::Error::make(kWaveformErrorDomain, 1, sf_strerror(nullptr));
    WaveformPeaks peaks;
    peaks.channels = uint32_t(info.channels);
    peaks.sampleRate = info.samplerate;
    peaks.minimum.assign(points, 0.0f);
    peaks.maximum.assign(points, 0.0f);
    if (points == 0 || info.frames <= 0) return peaks;
    const int subtype = info.format & SF_FORMAT_SUBMASK;
    const bool sixteenBits = subtype == SF_FORMAT_PCM_16 || subtype == SF_FORMAT_PCM_S8 || subtype == SF_FORMAT_PCM_U8;
    // The length is what could be read, not what the header claimed.
    peaks.frames = sixteenBits ? scanPeaks<int16_t>(in.get(), info, 1.0f / 32768.0f, peaks, stopped)
                               : scanPeaks<float>(in.get(), info, 1.0f, peaks, stopped);
    return peaks;
}

bool isTemporaryAudioFileName(std::string_view fileName) {
    return fileName.size() == kTemporaryPrefix.size() + 6 && fileName.starts_with(kTemporaryPrefix);
}

platform::Result<std::filesystem::path> trimAudioFile(const std::filesystem::path& file, uint64_t fromFrame,
                                                      uint64_t toFrame) {
    SF_INFO info{};
    SndFilePtr in(sf_open(file.c_str(), SFM_READ, &info));
    if (!in) return failed("cannot read this sample");
    if (fromFrame >= toFrame || toFrame > uint64_t(info.frames)) return failed("nothing is selected");
    if (sf_seek(in.get(), sf_count_t(fromFrame), SEEK_SET) < 0) return failed("cannot read this sample");
    platform::WholeFile temporary(file, temporaryName());
    if (!temporary.isOpen())
        return failed("cannot write beside the sample: " + platform::systemReason(temporary.failure().error()));
    SF_INFO outInfo{};
    outInfo.samplerate = info.samplerate;
    outInfo.channels = info.channels;
    outInfo.format = info.format;
    std::string error;
    {
        SndFilePtr out(sf_open_fd(temporary.fd(), SFM_WRITE, &outInfo, SF_FALSE));
        if (!out) return failed(std::string("cannot write this format: ") + sf_strerror(nullptr));
        if (!copyFrames(in.get(), out.get(), info, info.format, sf_count_t(toFrame - fromFrame), error))
            return failed("the trimmed sample could not be written: " + error);
        sf_write_sync(out.get());
    }
    if (!temporary.finish())
        return failed("the trimmed sample could not be written: " +
                      platform::systemReason(temporary.failure().error()));
    if (const platform::Result<void> replaced = temporary.commit(); !replaced)
        return failed("the trimmed sample could not replace the original: " + platform::systemReason(replaced.error()));
    return file;
}

platform::Result<std::filesystem::path> keepRecordedTake(const std::filesystem::path& take,
                                                         const std::filesystem::path& folder) {
    SF_INFO info{};
    {
        SndFilePtr in(sf_open(take.c_str(), SFM_READ, &info));
        if (!in) return failed("the recording cannot be read");
    }
    if (info.frames <= 0) return failed("the recording holds no sound", AudioFileNoSound);
    if (const platform::Result<void> checked = platform::checkSoundFile(take); !checked)
        return failed("the recording cannot be kept: " + checked.error().message());
    platform::Result<std::vector<uint8_t>> read = readRegularFile(take, std::numeric_limits<uint64_t>::max());
    if (!read) return failed("the recording cannot be read: " + read.error().message());
    const std::vector<uint8_t>& bytes = read.value();
    std::string error;
    platform::WholeFile temporary(firstFreeName(folder, "recording", ".wav"), temporaryName());
    if (!temporary.write(bytes) || !temporary.finish())
        return failed("the recording could not be kept: " + platform::systemReason(temporary.failure().error()));
    std::filesystem::path kept = publishFresh(temporary, folder, "recording", ".wav", error);
    if (kept.empty()) return failed("the recording could not be kept: " + error);
    return kept;
}

namespace {

uint32_t littleEndian32(const uint8_t* bytes) {
    return uint32_t(bytes[0]) | uint32_t(bytes[1]) << 8 | uint32_t(bytes[2]) << 16 | uint32_t(bytes[3]) << 24;
}

void putLittleEndian32(uint8_t* bytes, uint32_t value) {
    for (int i = 0; i < 4; ++i) bytes[i] = uint8_t(value >> (8 * i));
}

/// Gives a WAVE file whose writer never finished it (its sizes still say
/// nothing was written) the sizes of the whole frames it holds. Empty when
/// done, else why it could not be.
std::string mendWaveHeader(const std::filesystem::path& file) {
    const int fd = ::open(file.c_str(), O_RDWR | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) return std::strerror(errno);
    struct Closer {
        int fd;
        ~Closer() { ::close(fd); }
    } closer{fd};
    struct stat facts {};
    if (::fstat(fd, &facts) != 0 || !S_ISREG(facts.st_mode)) return "it is not a regular file";
    const uint64_t size = uint64_t(facts.st_size);
    uint8_t head[12];
    if (::pread(fd, head, sizeof head, 0) != ssize_t(sizeof head) || std::memcmp(head, "RIFF", 4) != 0 ||
        std::memcmp(head + 8, "WAVE", 4) != 0)
        return "it does not begin as a WAVE file";
    uint32_t blockAlign = 0;
    for (uint64_t at = 12; at + 8 <= size;) {
        uint8_t chunk[8];
        if (::pread(fd, chunk, 8, off_t(at)) != 8) return std::strerror(errno);
        const uint64_t length = littleEndian32(chunk + 4);
        if (std::memcmp(chunk, "fmt ", 4) == 0 && length >= 16) {
            uint8_t format[16];
            if (::pread(fd, format, 16, off_t(at + 8)) != 16) return std::strerror(errno);
            blockAlign = uint32_t(format[12]) | uint32_t(format[13]) << 8;
        } else if (std::memcmp(chunk, "data", 4) == 0) {
            if (blockAlign == 0) return "its format comes after its sound";
            const uint64_t start = at + 8;
            const uint64_t frames = std::min<uint64_t>(size - start, 0xFFFFFFF0u - start) / blockAlign;
            const uint64_t end = start + frames * blockAlign;
            uint8_t sizes[4];
            putLittleEndian32(sizes, uint32_t(end - start));
            if (::pwrite(fd, sizes, 4, off_t(at + 4)) != 4) return std::strerror(errno);
            putLittleEndian32(sizes, uint32_t(end - 8));
            if (::pwrite(fd, sizes, 4, 4) != 4 || ::ftruncate(fd, off_t(end)) != 0 || ::fsync(fd) != 0)
                return std::strerror(errno);
            return {};
        }
        at += 8 + length + (length & 1);
    }
    return "it holds no sound chunk";
}

}  // namespace

std::vector<RecoveredTake> recoverTakes(const std::filesystem::path& take, const std::filesystem::path& folder) {
    std::vector<RecoveredTake> outcomes;
    for (const std::filesystem::path& file : {platform::WaveWriter::partialPathFor(take), take}) {
        std::error_code error;
        if (!std::filesystem::is_regular_file(std::filesystem::symlink_status(file, error))) continue;
        if (file != take) {
            if (const std::string why = mendWaveHeader(file); !why.empty()) {
                outcomes.push_back(RecoveredTake{file, failed("the recording cannot be read: " + why)});
                continue;
            }
        }
        platform::Result<std::filesystem::path> kept = keepRecordedTake(file, folder);
        if (kept.ok() || kept.error().code == AudioFileNoSound) {
            // Kept, or nothing to keep: it leaves the caches.
            std::filesystem::remove(file, error);
            if (!kept.ok()) continue;
        }
        // One not kept stays where it is, to be tried again at the next start.
        outcomes.push_back(RecoveredTake{file, std::move(kept)});
    }
    return outcomes;
}

platform::Result<void> checkPastedAudio(std::span<const uint8_t> bytes) {
    using platform::kAudioDecodeErrorDomain, platform::AudioDecodeUnsupported;
    if (bytes.empty()) return platform::Error::make(kAudioDecodeErrorDomain, AudioDecodeUnsupported, "there is no audio to paste");
    if (bytes.size() > kMaxPasteBytes)
        return platform::Error::make(kAudioDecodeErrorDomain, AudioDecodeUnsupported, "the audio is larger than 256 MB");
    return platform::checkSoundBytes(bytes);
}

platform::Result<std::filesystem::path> writePastedAudio(std::span<const uint8_t> bytes,
                                                         const std::filesystem::path& folder) {
    platform::SndFileMemoryReader reader{bytes};
    SF_VIRTUAL_IO io = platform::SndFileMemoryReader::io();
    SF_INFO info{};
    std::string error;
    SndFilePtr in = openPasted(reader, io, info, error);
    if (!in) return failed(error);
    platform::WholeFile temporary(firstFreeName(folder, "pasted", ".wav"), temporaryName());
    if (!temporary.isOpen())
        return failed("cannot write into " + folder.string() + ": " +
                      platform::systemReason(temporary.failure().error()));
    // 16-bit WAVE needs no conversion: its frames (as many as libsndfile counts)
    // are copied as they are.
    const std::span<const uint8_t> data =
        info.format == (SF_FORMAT_WAV | SF_FORMAT_PCM_16) ? riffDataChunk(bytes) : std::span<const uint8_t>{};
    const uint64_t frameBytes = uint64_t(info.frames) * uint64_t(info.channels) * 2;
    const bool asIs = !data.empty() && frameBytes <= data.size();
    if (asIs ? !writeSixteenBitWaveAsIs(data.first(size_t(frameBytes)), info, temporary, error)
             : !writeSixteenBitWave(in.get(), info, temporary, error))
        return failed("the paste could not be written: " + error);
    std::filesystem::path written = publishFresh(temporary, folder, "pasted", ".wav", error);
    if (written.empty()) return failed("the paste could not be written: " + error);
    return written;
}

platform::Result<std::vector<uint8_t>> readRegularFile(const std::filesystem::path& file, uint64_t limit) {
    auto failed = [](RegularFileError code, const std::string& why) {
        return platform::Error::make(kRegularFileErrorDomain, code, why);
    };
    // Non-blocking, so that a FIFO put in the file's place cannot hold the open.
    const int fd = ::open(file.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return failed(RegularFileNotOpened, file.filename().string() + ": " + std::strerror(errno));
    struct stat facts {};
    std::optional<platform::Error> error;
    std::vector<uint8_t> bytes;
    if (::fstat(fd, &facts) != 0) {
        error = failed(RegularFileNotOpened, file.filename().string() + ": " + std::strerror(errno));
    } else if (!S_ISREG(facts.st_mode)) {
        error = failed(RegularFileNotAFile, file.filename().string() + " is not a file");
    } else if (uint64_t(facts.st_size) > limit) {
        error = failed(RegularFileTooLarge, "the audio is larger than 256 MB");
    } else {
        bytes.resize(size_t(facts.st_size));
        size_t done = 0;
        while (done < bytes.size()) {
            const ssize_t n = ::read(fd, bytes.data() + done, bytes.size() - done);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) break;
            done += size_t(n);
        }
        if (done != bytes.size()) error = failed(RegularFileCutShort, file.filename().string() + " could not be read whole");
    }
    ::close(fd);
    if (error) return std::move(*error);
    return bytes;
}

platform::Result<std::filesystem::path> writePastedAudioFile(const std::filesystem::path& source,
                                                             const std::filesystem::path& folder) {
    platform::Result<std::vector<uint8_t>> bytes = readRegularFile(source, kMaxPasteBytes);
    if (!bytes) return failed(bytes.error().message());
    return writePastedAudio(bytes.value(), folder);
}

platform::Result<std::filesystem::path> snapshotForCopy(const std::filesystem::path& source,
                                                        const std::filesystem::path& folder) {
    platform::Result<std::vector<uint8_t>> read = readRegularFile(source, std::numeric_limits<uint64_t>::max());
    if (!read) return failed(read.error().message());
    std::vector<uint8_t>& bytes = read.value();
    platform::SndFileMemoryReader reader{bytes};
    SF_VIRTUAL_IO io = platform::SndFileMemoryReader::io();
    SF_INFO info{};
    SndFilePtr in(sf_open_virtual(&io, SFM_READ, &info, &reader));
    const int major = info.format & SF_FORMAT_TYPEMASK;
    if (!in || (major != SF_FORMAT_WAV && major != SF_FORMAT_WAVEX && major != SF_FORMAT_RF64))
        return failed(source.filename().string() + " is not a WAVE file");
    in.reset();
    std::error_code ignored;
    std::filesystem::create_directories(folder, ignored);
    platform::WholeFile temporary(folder / "clipboard.wav", temporaryName());
    const platform::Result<void> made = temporary.write(bytes) ? temporary.commit() : temporary.failure();
    if (!made) return failed("the copy could not be made: " + platform::systemReason(made.error()));
    return folder / "clipboard.wav";
}

}  // namespace strombel::editor
