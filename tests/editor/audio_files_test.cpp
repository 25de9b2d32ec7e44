// Peaks, trimming, takes, pasted audio and copy snapshots on real files.

#include "editor/audio_files.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>

#include "platform/audio_file.h"
#include "support/temp_dir.h"
#include "support/test_mounts.h"
#include "wave_files.h"

namespace strombel::editor {
namespace {

// Reads the peaks of `file` into `peaks`, keeping the reason of a failure in `error`.
bool readPeaks(const std::filesystem::path& file, size_t points, WaveformPeaks& peaks, std::string& error,
               const std::function<bool()>& stopped = {}) {
    platform::Result<WaveformPeaks> read = readWaveformPeaks(file, points, stopped);
    if (!read) {
        error = read.error().message();
        return false;
    }
    peaks = std::move(read).value();
    return true;
}

using strombel::testing::fileBytes;
using Made = platform::Result<std::filesystem::path>;

/// Why a file was not made; empty when it was.
std::string reasonOf(const Made& made) {
    return made ? std::string() : made.error().message();
}
using strombel::testing::readWave;
using strombel::testing::sineSamples;
using strombel::testing::namesIn;
using strombel::testing::TempDir;
using strombel::testing::waveBytes;
using strombel::testing::writeWave;

TEST(WaveformPeaks, EachPointHoldsTheLowestAndHighestSampleOfItsFramesOverBothChannels) {
    TempDir temp;
    // Stereo: a ramp on the left, its negative on the right, 1000 frames.
    std::vector<int16_t> samples;
    for (int i = 0; i < 1000; ++i) samples.push_back(int16_t(i * 30)), samples.push_back(int16_t(-i * 10));
    ASSERT_TRUE(writeWave(temp / "ramp.wav", samples, 2));
    WaveformPeaks peaks;
    std::string error;
    ASSERT_TRUE(readPeaks(temp / "ramp.wav", 10, peaks, error)) << error;
    EXPECT_EQ(peaks.frames, 1000u);
    EXPECT_EQ(peaks.channels, 2u);
    for (size_t p = 0; p < 10; ++p) {
        SCOPED_TRACE(p);
        const int first = int(p) * 100, last = first + 99;
        EXPECT_FLOAT_EQ(peaks.maximum[p], float(last * 30) / 32768.0f);
        EXPECT_FLOAT_EQ(peaks.minimum[p], float(-last * 10) / 32768.0f);
    }
    EXPECT_FALSE(readPeaks(temp / "missing.wav", 10, peaks, error));
    std::ofstream(temp / "text.wav") << "not audio";
    EXPECT_FALSE(readPeaks(temp / "text.wav", 10, peaks, error));
}

TEST(WaveformPeaks, MatchTheSamplesInEveryFormatAndForAnyNumberOfPoints) {
    TempDir temp;
    // Noise-like stereo, so that every point's extremes sit somewhere else.
    const size_t frames = 50'003;
    std::vector<int16_t> samples(frames * 2);
    uint32_t state = 12345;
    for (int16_t& sample : samples) state = state * 1664525u + 1013904223u, sample = int16_t(state >> 16);
    struct Case {
        const char* name;
        int format;
    };
    for (const Case& c : {Case{"16-bit", SF_FORMAT_WAV | SF_FORMAT_PCM_16}, Case{"8-bit", SF_FORMAT_WAV | SF_FORMAT_PCM_U8},
                          Case{"24-bit", SF_FORMAT_WAV | SF_FORMAT_PCM_24}, Case{"float", SF_FORMAT_WAV | SF_FORMAT_FLOAT}}) {
        SCOPED_TRACE(c.name);
        ASSERT_TRUE(writeWave(temp / "noise.wav", samples, 2, 44100, c.format));
        // What the file holds, as libsndfile reads it back.
        SF_INFO info{};
        SNDFILE* file = sf_open((temp / "noise.wav").c_str(), SFM_READ, &info);
        ASSERT_NE(file, nullptr);
        std::vector<float> held(frames * 2);
        ASSERT_EQ(sf_readf_float(file, held.data(), sf_count_t(frames)), sf_count_t(frames));
        sf_close(file);
        for (size_t points : {size_t(1), size_t(7), size_t(2048), frames + 5}) {
            SCOPED_TRACE(points);
            WaveformPeaks peaks;
            std::string error;
            ASSERT_TRUE(readPeaks(temp / "noise.wav", points, peaks, error)) << error;
            EXPECT_EQ(peaks.frames, frames);
            for (size_t p = 0; p < points; ++p) {
                const size_t first = p == 0 ? 0 : p * frames / points, end = p + 1 == points ? frames : (p + 1) * frames / points;
                float low = 0, high = 0;
                if (first < end) {
                    const auto [lo, hi] = std::minmax_element(held.begin() + long(first * 2), held.begin() + long(end * 2));
                    low = *lo, high = *hi;
                }
                ASSERT_FLOAT_EQ(peaks.minimum[p], low) << "point " << p;
                ASSERT_FLOAT_EQ(peaks.maximum[p], high) << "point " << p;
            }
        }
    }
}

TEST(WaveformPeaks, AReadToldToStopEndsAtItsNextBlock) {
    // The editor's reader of a sample nobody waits for any more (another one
    // opened, the editor closed): the window waits for it to end.
    TempDir temp;
    const std::vector<int16_t> samples = sineSamples(440, 44100, 200'000);
    for (const int format : {SF_FORMAT_WAV | SF_FORMAT_PCM_16, SF_FORMAT_WAV | SF_FORMAT_FLOAT}) {
        SCOPED_TRACE(format);
        ASSERT_TRUE(writeWave(temp / "long.wav", samples, 1, 44100, format));
        WaveformPeaks peaks;
        std::string error;
        int asked = 0;
        ASSERT_TRUE(readPeaks(temp / "long.wav", 100, peaks, error, [&] { return ++asked > 2; })) << error;
        EXPECT_EQ(asked, 3);
        EXPECT_GT(peaks.frames, 0u);
        EXPECT_LT(peaks.frames, samples.size() / 4) << "read on after it was told to stop";
        // Unstopped, the same file is read whole.
        ASSERT_TRUE(readPeaks(temp / "long.wav", 100, peaks, error, [] { return false; })) << error;
        EXPECT_EQ(peaks.frames, samples.size());
    }
}

TEST(TrimAudioFile, KeepsExactlyTheSelectedFramesInTheFilesOwnFormat) {
    TempDir temp;
    const auto tone = sineSamples(440, 44100, 44100, 2);
    ASSERT_TRUE(writeWave(temp / "loop.wav", tone, 2));
    Made trimmed = trimAudioFile(temp / "loop.wav", 1000, 21000);
    ASSERT_TRUE(trimmed.ok()) << reasonOf(trimmed);
    uint32_t channels = 0;
    int format = 0;
    const auto kept = readWave(temp / "loop.wav", &channels, nullptr, &format);
    EXPECT_EQ(channels, 2u);
    EXPECT_EQ(format, SF_FORMAT_WAV | SF_FORMAT_PCM_16);
    EXPECT_EQ(kept, std::vector<int16_t>(tone.begin() + 2000, tone.begin() + 42000));
    EXPECT_EQ(namesIn(temp.path()), std::vector<std::string>{"loop.wav"}) << "no temporary file stays";

    for (auto [from, to] : {std::pair<uint64_t, uint64_t>{5, 5}, {10, 5}, {0, 20001}}) {
        const std::string before = fileBytes(temp / "loop.wav");
        EXPECT_FALSE(trimAudioFile(temp / "loop.wav", from, to).ok());
        EXPECT_EQ(fileBytes(temp / "loop.wav"), before);
    }
}

TEST(TrimAudioFile, AFullDiskKeepsTheOriginalWhole) {
    TempDir temp;
    std::string why;
    auto disk = strombel::testing::TestMount::tmpfs(temp / "small", 256 * 1024, why);
    if (!disk) GTEST_SKIP() << "cannot mount a tmpfs: " << why;
    // 200 KB of sample: its trimmed copy does not fit beside it.
    const auto tone = sineSamples(220, 44100, 100000, 1);
    ASSERT_TRUE(writeWave(temp / "small" / "long.wav", tone, 1));
    const std::string before = fileBytes(temp / "small" / "long.wav");
    Made trimmed = trimAudioFile(temp / "small" / "long.wav", 10, 99990);
    EXPECT_FALSE(trimmed.ok());
    EXPECT_FALSE(reasonOf(trimmed).empty());
    EXPECT_EQ(fileBytes(temp / "small" / "long.wav"), before);
    EXPECT_EQ(namesIn(temp / "small"), std::vector<std::string>{"long.wav"});
}

TEST(EditorFiles, GetTheModeOfAnyNewFileAndATrimmedOneKeepsItsOwn) {
    TempDir temp;
    const mode_t previous = ::umask(022);
    auto modeOf = [](const std::filesystem::path& file) {
        struct stat facts {};
        ::stat(file.c_str(), &facts);
        return facts.st_mode & 07777;
    };
    const auto tone = sineSamples(440, 44100, 4410, 1);
    for (mode_t mode : {mode_t(0644), mode_t(0640), mode_t(0664)}) {
        ASSERT_TRUE(writeWave(temp / "take.wav", tone, 1));
        ::chmod((temp / "take.wav").c_str(), mode);
        ASSERT_TRUE(trimAudioFile(temp / "take.wav", 10, 4000).ok());
        EXPECT_EQ(modeOf(temp / "take.wav"), mode) << std::oct << mode;
    }
    ::chmod((temp / "take.wav").c_str(), 0600);
    const Made kept = keepRecordedTake(temp / "take.wav", temp.path());
    const Made pasted = writePastedAudio(waveBytes(temp / "scratch.wav", tone, 1), temp.path());
    const Made copied = snapshotForCopy(temp / "take.wav", temp / "copies");
    for (const Made* made : {&kept, &pasted, &copied}) {
        ASSERT_TRUE(made->ok()) << reasonOf(*made);
        EXPECT_EQ(modeOf(made->value()), 0644u) << made->value() << ": readable like any file the user makes";
    }
    ::umask(previous);
}

TEST(KeepRecordedTake, TakesTheFirstFreeRecordingNameAndNeverReplacesOne) {
    TempDir temp;
    std::filesystem::create_directories(temp / "Documents");
    const auto tone = sineSamples(1000, 44100, 4410);
    ASSERT_TRUE(writeWave(temp / "micinput.wav", tone, 1));
    std::ofstream(temp / "Documents" / "recording 01.wav") << "someone else's";

    Made kept = keepRecordedTake(temp / "micinput.wav", temp / "Documents");
    ASSERT_TRUE(kept.ok()) << reasonOf(kept);
    EXPECT_EQ(*kept, temp / "Documents" / "recording 02.wav");
    EXPECT_EQ(readWave(*kept), tone);
    EXPECT_EQ(fileBytes(temp / "Documents" / "recording 01.wav"), "someone else's");
    EXPECT_EQ(keepRecordedTake(temp / "micinput.wav", temp / "Documents").valueOr({}),
              temp / "Documents" / "recording 03.wav");

    ASSERT_TRUE(writeWave(temp / "empty.wav", {}, 1));
    Made empty = keepRecordedTake(temp / "empty.wav", temp / "Documents");
    EXPECT_EQ(reasonOf(empty), "the recording holds no sound");
    EXPECT_TRUE(!empty && empty.error().code == AudioFileNoSound) << "told apart from a take that could not be kept";
    EXPECT_EQ(namesIn(temp / "Documents").size(), 3u);
}

TEST(RecoverTakes, ATakeHalfWrittenByAKilledRunBecomesTheNextRecordingWithEveryFrame) {
    TempDir temp;
    const std::filesystem::path documents = temp / "Documents", take = temp / "Caches" / "micinput.wav";
    const std::filesystem::path left = platform::WaveWriter::partialPathFor(take);
    std::filesystem::create_directories(documents);
    std::filesystem::create_directories(take.parent_path());
    // What a run killed while recording leaves: the file being written, whose
    // header still says it holds nothing.
    auto leaveHalfWritten = [&](size_t frames) {
        const std::filesystem::path scratch = temp / "scratch" / "micinput.wav";
        std::filesystem::create_directories(scratch.parent_path());
        platform::WaveWriter writer;
        ASSERT_TRUE(writer.open(scratch, 1, 44100, 44100));
        const std::vector<int32_t> samples(frames, 1000 << 9);
        const int32_t* channels[1] = {samples.data()};
        if (frames) {
            ASSERT_TRUE(writer.write(channels, uint32_t(frames)));
        }
        std::filesystem::copy_file(platform::WaveWriter::partialPathFor(scratch), left);
        writer.abandon();
    };
    leaveHalfWritten(22050);
    std::ofstream(documents / "recording 01.wav") << "someone else's";

    std::vector<RecoveredTake> outcomes = recoverTakes(take, documents);
    ASSERT_EQ(outcomes.size(), 1u);
    ASSERT_TRUE(outcomes[0].kept.ok()) << reasonOf(outcomes[0].kept);
    EXPECT_EQ(*outcomes[0].kept, documents / "recording 02.wav");
    EXPECT_EQ(readWave(*outcomes[0].kept), std::vector<int16_t>(22050, 1000));
    EXPECT_FALSE(std::filesystem::exists(left)) << "it leaves the caches once kept";
    EXPECT_EQ(fileBytes(documents / "recording 01.wav"), "someone else's");

    // One without sound goes; one that is no WAVE stays, for the next start, and says why.
    leaveHalfWritten(0);
    EXPECT_TRUE(recoverTakes(take, documents).empty());
    EXPECT_FALSE(std::filesystem::exists(left));
    std::ofstream(left) << "not a wave file";
    outcomes = recoverTakes(take, documents);
    ASSERT_EQ(outcomes.size(), 1u);
    EXPECT_EQ(outcomes[0].file, left);
    EXPECT_EQ(reasonOf(outcomes[0].kept), "the recording cannot be read: it does not begin as a WAVE file");
    EXPECT_TRUE(std::filesystem::exists(left));
    EXPECT_EQ(namesIn(documents).size(), 2u);
}

TEST(WritePastedAudio, WritesSixteenBitWaveUnderAFreshNameConvertingOtherFormats) {
    TempDir temp;
    const auto tone = sineSamples(330, 44100, 2000, 2);
    struct Case {
        const char* what;
        int format;
    };
    std::vector<std::filesystem::path> written;
    for (Case c : {Case{"16-bit WAVE", SF_FORMAT_WAV | SF_FORMAT_PCM_16}, Case{"float WAVE", SF_FORMAT_WAV | SF_FORMAT_FLOAT},
                   Case{"24-bit AIFF", SF_FORMAT_AIFF | SF_FORMAT_PCM_24}}) {
        SCOPED_TRACE(c.what);
        const auto bytes = waveBytes(temp / "scratch", tone, 2, c.format);
        Made pasted = writePastedAudio(bytes, temp.path());
        ASSERT_TRUE(pasted.ok()) << reasonOf(pasted);
        int format = 0;
        uint32_t channels = 0;
        const auto back = readWave(*pasted, &channels, nullptr, &format);
        EXPECT_EQ(format, SF_FORMAT_WAV | SF_FORMAT_PCM_16);
        EXPECT_EQ(channels, 2u);
        ASSERT_EQ(back.size(), tone.size());
        for (size_t i = 0; i < tone.size(); ++i) ASSERT_NEAR(back[i], tone[i], 1) << i;
        written.push_back(*pasted);
    }
    EXPECT_EQ(written, (std::vector<std::filesystem::path>{temp / "pasted 01.wav", temp / "pasted 02.wav",
                                                           temp / "pasted 03.wav"}))
        << "an earlier paste not yet named is never overwritten";
}

TEST(WritePastedAudio, SixteenBitWaveWithOtherChunksIsCopiedSampleForSample) {
    TempDir temp;
    const auto tone = sineSamples(550, 44100, 3001, 2);
    auto bytes = waveBytes(temp / "scratch", tone, 2);
    // A chunk of odd length (with its pad byte) before the samples, as editors write.
    const auto data = std::search(bytes.begin(), bytes.end(), std::begin("data"), std::end("data") - 1);
    ASSERT_NE(data, bytes.end());
    const std::vector<uint8_t> list = {'L', 'I', 'S', 'T', 5, 0, 0, 0, 'I', 'N', 'F', 'O', '!', 0};
    bytes.insert(data, list.begin(), list.end());
    const uint32_t riff = uint32_t(bytes.size() - 8);
    for (int i = 0; i < 4; ++i) bytes[4 + size_t(i)] = uint8_t(riff >> (8 * i));

    Made pasted = writePastedAudio(bytes, temp.path());
    ASSERT_TRUE(pasted.ok()) << reasonOf(pasted);
    uint32_t channels = 0;
    int rate = 0, format = 0;
    EXPECT_EQ(readWave(*pasted, &channels, &rate, &format), tone);
    EXPECT_EQ(channels, 2u);
    EXPECT_EQ(rate, 44100);
    EXPECT_EQ(format, SF_FORMAT_WAV | SF_FORMAT_PCM_16);
    EXPECT_EQ(std::filesystem::file_size(*pasted), 44 + tone.size() * 2) << "only the samples are kept";
}

TEST(WritePastedAudio, BadAudioGetsAClearMessageAndNothingIsWritten) {
    TempDir temp;
    const auto good = waveBytes(temp / "scratch", sineSamples(330, 44100, 2000, 1), 1);
    std::vector<uint8_t> truncated(good.begin(), good.begin() + long(good.size() / 2));
    std::vector<uint8_t> headerOnly(good.begin(), good.begin() + 30);
    std::vector<uint8_t> claimsMore = good;
    claimsMore[40] = 0xff, claimsMore[41] = 0xff;  // the data chunk's length: far more than follows
    const auto fourChannels = waveBytes(temp / "scratch", sineSamples(330, 44100, 100, 4), 4);
    const std::string text = "just some words, not audio at all";
    struct Case {
        const char* what;
        std::vector<uint8_t> bytes;
        const char* message;
    } cases[] = {
        {"text", {text.begin(), text.end()}, "this is not audio"},
        {"nothing", {}, "there is no audio to paste"},
        {"a truncated WAVE", truncated, "the WAVE file is cut short: its header claims more frames than its data holds"},
        {"a header alone", headerOnly, "the WAVE file is cut short"},
        {"a data chunk claiming more", claimsMore,
         "the WAVE file is cut short: its header claims more frames than its data holds"},
        {"four channels", fourChannels, "the audio has more than two channels"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Made pasted = writePastedAudio(c.bytes, temp.path());
        EXPECT_EQ(reasonOf(pasted), c.message);
        EXPECT_TRUE(namesIn(temp.path()).empty());
    }
}

TEST(WritePastedAudioFile, OnlyARegularReadableFileOfAudioIsTaken) {
    TempDir temp;
    std::filesystem::create_directories(temp / "into");
    std::filesystem::create_directories(temp / "folder.wav");
    ASSERT_EQ(::mkfifo((temp / "pipe.wav").c_str(), 0600), 0);
    ASSERT_TRUE(writeWave(temp / "good.wav", sineSamples(330, 44100, 500), 1));
    for (auto source : {temp / "folder.wav", temp / "pipe.wav", temp / "missing.wav",
                        std::filesystem::path("/dev/zero")}) {
        SCOPED_TRACE(source);
        Made pasted = writePastedAudioFile(source, temp / "into");
        EXPECT_FALSE(pasted.ok());
        EXPECT_FALSE(reasonOf(pasted).empty());
    }
    EXPECT_TRUE(namesIn(temp / "into").empty());
    EXPECT_TRUE(writePastedAudioFile(temp / "good.wav", temp / "into").ok());
}

TEST(SnapshotForCopy, WhatWasCopiedStaysWhenTheExportIsOverwritten) {
    TempDir temp;
    const auto first = sineSamples(440, 44100, 1000);
    ASSERT_TRUE(writeWave(temp / "AUDIOEXCHANGE.wav", first, 1));
    Made snapshot = snapshotForCopy(temp / "AUDIOEXCHANGE.wav", temp / "caches");
    ASSERT_TRUE(snapshot.ok()) << reasonOf(snapshot);
    ASSERT_TRUE(writeWave(temp / "AUDIOEXCHANGE.wav", sineSamples(880, 44100, 3000), 1));
    EXPECT_EQ(readWave(*snapshot), first);

    std::ofstream(temp / "text.wav") << "words";
    EXPECT_EQ(reasonOf(snapshotForCopy(temp / "text.wav", temp / "caches")), "text.wav is not a WAVE file");
    ASSERT_TRUE(writeWave(temp / "song.aiff", first, 1, 44100, SF_FORMAT_AIFF | SF_FORMAT_PCM_16));
    EXPECT_FALSE(snapshotForCopy(temp / "song.aiff", temp / "caches").ok());
    EXPECT_FALSE(snapshotForCopy(temp / "missing.wav", temp / "caches").ok());
}

}  // namespace
}  // namespace strombel::editor
