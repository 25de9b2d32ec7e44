#include "platform/audio_file.h"
#include "platform/sndfile_memory_reader.h"

#include <fcntl.h>
#include <samplerate.h>
#include <sndfile.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <fstream>
#include <functional>

#include "platform/sample_format.h"

namespace strombel::platform {

namespace {

/// How much a written file gathers before the disk is asked to take it.
constexpr uint64_t kWritebackStep = 512 * 1024;

struct SndFileCloser {
    void operator()(SNDFILE* file) const {
        if (file) sf_close(file);
    }
};
using SndFilePtr = std::unique_ptr<SNDFILE, SndFileCloser>;

/// True for a name ending in ".mp3" (any case).
bool hasMp3Extension(const std::filesystem::path& path) {
    std::string extension = path.extension().string();
    for (char& c : extension) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return extension == ".mp3";
}

/// Whether a file begins as MPEG audio does: an ID3 tag or a frame header. The
/// MPEG decoder under libsndfile writes its complaints about anything else to
/// standard error, so such a file is refused before it gets there.
bool startsLikeMpegAudio(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    unsigned char head[4] = {};
    if (!in.read(reinterpret_cast<char*>(head), sizeof head)) return false;
    if (head[0] == 'I' && head[1] == 'D' && head[2] == '3') return true;
    // Frame sync, a known version and layer, a bitrate that is not "bad".
    return head[0] == 0xFF && (head[1] & 0xE0) == 0xE0 && (head[1] & 0x18) != 0x08 && (head[1] & 0x06) != 0 &&
           (head[2] >> 4) != 0x0F;
}

SndFilePtr openForReading(const std::filesystem::path& path, SF_INFO& info, std::string& error) {
    info = SF_INFO{};
    static constexpr const char* kNotAudio = "not a readable audio file: ";
    std::error_code statusError;
    const auto status = std::filesystem::status(path, statusError);
    if (!std::filesystem::exists(status)) {
        error = std::string(kNotAudio) + "it does not exist";
        return nullptr;
    }
    if (!std::filesystem::is_regular_file(status)) {
        error = std::string(kNotAudio) + "it is not a regular file";
        return nullptr;
    }
    if (hasMp3Extension(path) && !startsLikeMpegAudio(path)) {
        error = std::string(kNotAudio) + "it holds no MPEG audio";
        return nullptr;
    }
    SNDFILE* file = sf_open(path.c_str(), SFM_READ, &info);
    if (!file) {
        // libsndfile calls a regular file it cannot make out one that "does not
        // exist"; that it does was checked above.
        const std::string reason = sf_strerror(nullptr);
        error = std::string(kNotAudio) + (reason.find("does not exist") != std::string::npos
                                              ? std::string("its contents are not a sound format Strombel reads")
                                              : reason);
    }
    return SndFilePtr(file);
}

/// Reads `count` bytes at `offset` into `out`; false when they are not all there.
using ByteReader = std::function<bool(uint64_t offset, size_t count, uint8_t* out)>;

/// Why the chunks of a RIFF/WAVE or FORM/AIFF container are not whole, or empty
/// when they are or the bytes are another format. libsndfile reads a file whose
/// data chunk claims more than is there as a shorter sound and says nothing.
std::string containerProblem(uint64_t size, const ByteReader& read) {
    uint8_t head[12];
    if (size < 12 || !read(0, sizeof head, head)) return {};
    const bool riff = std::memcmp(head, "RIFF", 4) == 0;
    const bool form = std::memcmp(head, "FORM", 4) == 0;
    if (!riff && !form) return {};
    if (riff && std::memcmp(head + 8, "WAVE", 4) != 0) return "this is not a WAVE file";
    if (form && std::memcmp(head + 8, "AIFF", 4) != 0 && std::memcmp(head + 8, "AIFC", 4) != 0)
        return "this is not an AIFF file";
    const char* kind = riff ? "WAVE" : "AIFF";
    const char* dataName = riff ? "data" : "SSND";
    const char* formatName = riff ? "fmt " : "COMM";
    bool format = false;
    for (uint64_t at = 12; at + 8 <= size;) {
        uint8_t chunk[8];
        if (!read(at, sizeof chunk, chunk)) break;
        const uint64_t length = riff ? uint64_t(chunk[4]) | uint64_t(chunk[5]) << 8 | uint64_t(chunk[6]) << 16 |
                                           uint64_t(chunk[7]) << 24
                                     : uint64_t(chunk[7]) | uint64_t(chunk[6]) << 8 | uint64_t(chunk[5]) << 16 |
                                           uint64_t(chunk[4]) << 24;
        const bool data = std::memcmp(chunk, dataName, 4) == 0;
        if (std::memcmp(chunk, formatName, 4) == 0) format = true;
        if (at + 8 + length > size) {
            return std::string("the ") + kind + " file is cut short" +
                   (data ? ": its header claims more frames than its data holds" : "");
        }
        if (data && riff) return format ? std::string() : std::string("the ") + kind + " file has no format";
        if (data) return {};  // AIFF may put its format after the data
        at += 8 + length + (length & 1);
    }
    return std::string("the ") + kind + " file is cut short: it holds no audio data";
}

/// What an open file's facts say against it as a sample.
std::string infoProblem(const SF_INFO& info) {
    if (info.channels > 2) return "the audio has more than two channels";
    if (info.channels < 1 || info.frames <= 0) return "the audio holds no sound";
    if (info.samplerate > 0 && static_cast<double>(info.frames) > kMaxSoundSeconds * info.samplerate) {
        const int64_t seconds = std::llround(static_cast<double>(info.frames) / info.samplerate);
        const std::string rest = std::to_string(seconds % 60);
        return "the sound lasts " + std::to_string(seconds / 60) + ":" + (rest.size() < 2 ? "0" : "") + rest +
               ", longer than the " + std::to_string(static_cast<int>(kMaxSoundSeconds / 60)) +
               " minutes a sample may last";
    }
    return {};
}


}  // namespace

namespace {

/// Why a sound cannot become a sample as its error, or none.
Result<void> unsupportedUnless(const std::string& problem) {
    if (problem.empty()) return {};
    return Error::make(kAudioDecodeErrorDomain, AudioDecodeUnsupported, problem);
}

}  // namespace

Result<void> checkSoundFile(const std::filesystem::path& path) {
    SF_INFO info;
    std::string error;
    SndFilePtr file = openForReading(path, info, error);
    if (!file) return unsupportedUnless(error);
    std::ifstream in(path, std::ios::binary);
    std::error_code sizeError;
    const uint64_t size = std::filesystem::file_size(path, sizeError);
    if (sizeError) return unsupportedUnless("not a readable audio file: " + sizeError.message());
    const std::string chunks = containerProblem(size, [&in](uint64_t offset, size_t count, uint8_t* out) {
        in.clear();
        return bool(in.seekg(std::streamoff(offset)) && in.read(reinterpret_cast<char*>(out), std::streamsize(count)));
    });
    if (!chunks.empty()) return unsupportedUnless(chunks);
    return unsupportedUnless(infoProblem(info));
}

Result<void> checkSoundBytes(std::span<const uint8_t> bytes) {
    const std::string chunks = containerProblem(bytes.size(), [bytes](uint64_t offset, size_t count, uint8_t* out) {
        if (offset + count > bytes.size()) return false;
        std::memcpy(out, bytes.data() + offset, count);
        return true;
    });
    if (!chunks.empty()) return unsupportedUnless(chunks);
    SndFileMemoryReader reader{bytes};
    SF_VIRTUAL_IO io = SndFileMemoryReader::io();
    SF_INFO info{};
    SndFilePtr in(sf_open_virtual(&io, SFM_READ, &info, &reader));
    if (!in) return unsupportedUnless("this is not audio");
    return unsupportedUnless(infoProblem(info));
}

namespace {

Error decodeError(AudioDecodeError code, std::string_view why) {
    return Error::make(kAudioDecodeErrorDomain, code, why);
}

}  // namespace

Result<AudioFileInfo> readAudioFileInfo(const std::filesystem::path& path) {
    SF_INFO sfInfo;
    std::string error;
    SndFilePtr file = openForReading(path, sfInfo, error);
    if (!file) return decodeError(AudioDecodeNotReadable, error);
    AudioFileInfo info;
    info.frames = sfInfo.frames > 0 ? static_cast<uint64_t>(sfInfo.frames) : 0;
    info.channels = sfInfo.channels > 0 ? static_cast<uint32_t>(sfInfo.channels) : 0;
    info.sampleRate = sfInfo.samplerate;
    return info;
}

Result<DecodedAudio> decodeAudioFile(const std::filesystem::path& path, double sampleRate) {
    SF_INFO info;
    std::string error;
    SndFilePtr file = openForReading(path, info, error);
    if (!file) return decodeError(AudioDecodeNotReadable, error);
    if (info.channels < 1 || info.channels > 2)
        return decodeError(AudioDecodeUnsupported, "format not supported - wrong number of channels");
    if (info.samplerate <= 0 || !(sampleRate > 0)) return decodeError(AudioDecodeUnsupported, "no sample rate");
    const uint32_t channels = static_cast<uint32_t>(info.channels);
    sf_command(file.get(), SFC_SET_SCALE_FLOAT_INT_READ, nullptr, SF_TRUE);

    // Read until the data ends, whatever the header claimed.
    // Ten minutes at the file's rate, and at the engine's once converted.
    const uint64_t fileLimit = static_cast<uint64_t>(std::ceil(kMaxSoundSeconds * info.samplerate));
    const uint64_t decodedLimit = static_cast<uint64_t>(std::ceil(kMaxSoundSeconds * sampleRate)) + 32;
    std::vector<float> interleaved;
    if (info.frames > 0) interleaved.reserve(std::min<uint64_t>(info.frames, fileLimit) * channels);
    std::vector<float> block(4096 * channels);
    for (;;) {
        sf_count_t got = sf_readf_float(file.get(), block.data(), 4096);
        if (got <= 0) break;
        if (interleaved.size() / channels + static_cast<uint64_t>(got) > fileLimit)
            return decodeError(AudioDecodeTooLong, "file too long");
        interleaved.insert(interleaved.end(), block.begin(), block.begin() + got * channels);
    }
    if (sf_error(file.get()) != SF_ERR_NO_ERROR) return decodeError(AudioDecodeFailed, sf_strerror(file.get()));
    if (interleaved.empty()) return decodeError(AudioDecodeNoFrames, "no frames");

    const double ratio = sampleRate / info.samplerate;
    if (std::fabs(ratio - 1.0) > 1e-9) {
        uint64_t inFrames = interleaved.size() / channels;
        uint64_t outRoom = static_cast<uint64_t>(std::ceil(inFrames * ratio)) + 16;
        if (outRoom > decodedLimit) return decodeError(AudioDecodeTooLong, "file too long");
        std::vector<float> converted(outRoom * channels);
        SRC_DATA data{};
        data.data_in = interleaved.data();
        data.input_frames = static_cast<long>(inFrames);
        data.data_out = converted.data();
        data.output_frames = static_cast<long>(outRoom);
        data.src_ratio = ratio;
        int status = src_simple(&data, SRC_SINC_MEDIUM_QUALITY, static_cast<int>(channels));
        if (status != 0) return decodeError(AudioDecodeFailed, src_strerror(status));
        converted.resize(static_cast<size_t>(data.output_frames_gen) * channels);
        interleaved.swap(converted);
    }

    const size_t frames = interleaved.size() / channels;
    if (frames == 0) return decodeError(AudioDecodeNoFrames, "no frames");
    DecodedAudio out;
    out.numChannels = channels;
    out.sampleRate = sampleRate;
    for (uint32_t c = 0; c < channels; ++c) {
        out.channels[c].resize(frames);
        for (size_t i = 0; i < frames; ++i) out.channels[c][i] = floatToFixed824(interleaved[i * channels + c]);
    }
    return out;
}

WaveWriter::~WaveWriter() { close(); }

bool WaveWriter::isPartialFileName(std::string_view fileName) {
    constexpr std::string_view kEnding = ".partial";
    return fileName.size() > 1 + kEnding.size() && fileName.front() == '.' && fileName.ends_with(kEnding);
}

namespace {

/// libsndfile's words for a failed write, without the wrapping it gives the
/// system's own ("System error : No space left on device.").
std::string writeError(SNDFILE* file) {
    std::string text = sf_strerror(file);
    constexpr std::string_view kSystem = "System error : ";
    if (text.starts_with(kSystem)) {
        text.erase(0, kSystem.size());
        if (!text.empty() && text.back() == '.') text.pop_back();
    }
    return text;
}

}  // namespace

std::filesystem::path WaveWriter::partialPathFor(const std::filesystem::path& path) {
    std::string hidden(1, '.');
    hidden.append(path.filename().string()).append(".partial");
    return path.parent_path() / hidden;
}

bool WaveWriter::open(const std::filesystem::path& path, uint32_t channels, double fileRate, double inputRate) {
    close();
    error_.clear();
    framesWritten_ = 0;
    if (channels < 1 || channels > 2 || !(fileRate > 0) || !(inputRate > 0)) {
        error_ = "unsupported format";
        return false;
    }
    SF_INFO info{};
    info.samplerate = static_cast<int>(std::lround(fileRate));
    info.channels = static_cast<int>(channels);
    info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
    // Takes and exports lie in the caches until they are copied out (a kept take,
    // a shared export), so closing one does not wait for the disk.
    bytesWritten_ = writebackAsked_ = 0;
    partial_ = std::make_unique<WholeFile>(path,
                                           WholeFileOptions().named(partialPathFor(path).filename().string()).unsynced());
    if (!partial_->isOpen()) {
        error_ = systemReason(partial_->failure().error());
        partial_.reset();
        return false;
    }
    // libsndfile writes through the descriptor and leaves it open for the commit.
    file_ = sf_open_fd(partial_->fd(), SFM_WRITE, &info, SF_FALSE);
    if (!file_) {
        error_ = writeError(nullptr);
        partial_.reset();
        return false;
    }
    channels_ = channels;
    ratio_ = fileRate / inputRate;
    if (std::fabs(ratio_ - 1.0) > 1e-9) {
        int status = 0;
        converter_ = src_new(SRC_SINC_MEDIUM_QUALITY, static_cast<int>(channels), &status);
        if (!converter_) {
            error_ = src_strerror(status);
            sf_close(file_);
            file_ = nullptr;
            partial_.reset();
            return false;
        }
    }
    return true;
}

bool WaveWriter::writeFloatInterleaved(const float* samples, uint32_t frames) {
    shorts_.resize(static_cast<size_t>(frames) * channels_);
    for (size_t i = 0; i < shorts_.size(); ++i) {
        float v = samples[i] * 32768.0f;
        if (!(v == v)) v = 0;
        shorts_[i] = static_cast<int16_t>(std::clamp(v, -32768.0f, 32767.0f));
    }
    return writeShorts(shorts_.data(), frames);
}

bool WaveWriter::writeShorts(const int16_t* shorts, uint32_t frames) {
    const sf_count_t done = sf_writef_short(file_, shorts, frames);
    if (done != static_cast<sf_count_t>(frames)) {
        error_ = writeError(file_);
        return false;
    }
    framesWritten_ += frames;
    bytesWritten_ += static_cast<uint64_t>(frames) * channels_ * sizeof(int16_t);
    // The disk takes what is written while more is made, so that the sync at the
    // end waits only for the rest (asked, not waited for).
    if (bytesWritten_ - writebackAsked_ >= kWritebackStep) {
        ::sync_file_range(partial_->fd(), static_cast<off_t>(writebackAsked_), 0, SYNC_FILE_RANGE_WRITE);
        writebackAsked_ = bytesWritten_;
    }
    return true;
}

bool WaveWriter::write(const int32_t* const* samples, uint32_t frames) {
    if (!file_) {
        error_ = "file not open";
        return false;
    }
    if (frames == 0) return true;
    if (!converter_) {
        shorts_.resize(static_cast<size_t>(frames) * channels_);
        int16_t* out = shorts_.data();
        if (channels_ == 2) {
            const int32_t* left = samples[0];
            const int32_t* right = samples[1];
            for (uint32_t i = 0; i < frames; ++i) {
                out[2 * i] = fixed824ToInt16(left[i]);
                out[2 * i + 1] = fixed824ToInt16(right[i]);
            }
        } else {
            for (uint32_t i = 0; i < frames; ++i) out[i] = fixed824ToInt16(samples[0][i]);
        }
        return writeShorts(shorts_.data(), frames);
    }
    interleaved_.resize(static_cast<size_t>(frames) * channels_);
    for (uint32_t i = 0; i < frames; ++i)
        for (uint32_t c = 0; c < channels_; ++c)
            interleaved_[i * channels_ + c] = static_cast<float>(samples[c][i]) * (1.0f / 16777216.0f);
    size_t room = static_cast<size_t>(std::ceil(frames * ratio_)) + 64;
    converted_.resize(room * channels_);
    SRC_DATA data{};
    data.data_in = interleaved_.data();
    data.input_frames = frames;
    data.data_out = converted_.data();
    data.output_frames = static_cast<long>(room);
    data.src_ratio = ratio_;
    int status = src_process(converter_, &data);
    if (status != 0) {
        error_ = src_strerror(status);
        return false;
    }
    return writeFloatInterleaved(converted_.data(), static_cast<uint32_t>(data.output_frames_gen));
}

bool WaveWriter::writeInterleaved16(const int16_t* samples, uint32_t frames) {
    if (!file_ || converter_) {
        error_ = file_ ? "the samples must be converted to the file's rate" : "file not open";
        return false;
    }
    return frames == 0 || writeShorts(samples, frames);
}

bool WaveWriter::close() {
    bool ok = error_.empty();
    if (converter_) {
        if (file_) {
            // Drain what the converter still holds.
            converted_.resize(4096 * channels_);
            float none = 0;
            SRC_DATA data{};
            data.data_in = &none;
            data.input_frames = 0;
            data.data_out = converted_.data();
            data.output_frames = 4096;
            data.src_ratio = ratio_;
            data.end_of_input = 1;
            if (src_process(converter_, &data) == 0 && data.output_frames_gen > 0)
                ok = writeFloatInterleaved(converted_.data(), static_cast<uint32_t>(data.output_frames_gen)) && ok;
        }
        src_delete(converter_);
        converter_ = nullptr;
    }
    if (!file_) return ok;
    // The header is written as the file closes: a full disk may show only now.
    sf_write_sync(file_);
    if (sf_error(file_) != SF_ERR_NO_ERROR) {
        if (error_.empty()) error_ = writeError(file_);
        ok = false;
    }
    if (sf_close(file_) != 0) {
        if (error_.empty()) error_ = "the file could not be closed";
        ok = false;
    }
    file_ = nullptr;
    if (ok) {
        const Result<void> committed = partial_->commit();
        if (!committed) {
            error_ = systemReason(committed.error());
            ok = false;
        }
    }
    partial_.reset();  // removes what was not committed
    return ok;
}

void WaveWriter::abandon() {
    if (converter_) src_delete(converter_);
    converter_ = nullptr;
    if (file_) sf_close(file_);
    file_ = nullptr;
    partial_.reset();
}

}  // namespace strombel::platform
