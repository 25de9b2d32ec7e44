#include "platform/audio_file.h"

#include <gtest/gtest.h>
#include <sndfile.h>

#include <cmath>
#include <fstream>

#include "support/temp_dir.h"
#include "support/test_mounts.h"

namespace strombel::platform {
namespace {

/// Writes a sine of `frames` frames in the given container and encoding.
bool writeSine(const std::filesystem::path& path, int format, int channels, int rate, int frames) {
    SF_INFO info{};
    info.samplerate = rate;
    info.channels = channels;
    info.format = format;
    SNDFILE* file = sf_open(path.c_str(), SFM_WRITE, &info);
    if (!file) return false;
    std::vector<float> samples(static_cast<size_t>(frames) * channels);
    for (int i = 0; i < frames; ++i)
        for (int c = 0; c < channels; ++c) samples[i * channels + c] = 0.5f * std::sin(i * 0.03f) * (c ? -1.0f : 1.0f);
    sf_writef_float(file, samples.data(), frames);
    sf_close(file);
    return true;
}

struct Format {
    const char* name;
    int format;
};

TEST(AudioFile, ReadsWaveAiffCafAndMp3IntoFixedPoint) {
    testing::TempDir temp;
    const Format formats[] = {
        {"a.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_16},
        {"b.wav", SF_FORMAT_WAV | SF_FORMAT_FLOAT},
        {"c.aiff", SF_FORMAT_AIFF | SF_FORMAT_PCM_24},
        {"d.caf", SF_FORMAT_CAF | SF_FORMAT_PCM_16},
        {"e.mp3", SF_FORMAT_MPEG | SF_FORMAT_MPEG_LAYER_III},
    };
    for (const Format& format : formats) {
        ASSERT_TRUE(writeSine(temp / format.name, format.format, 2, 44100, 44100)) << format.name;
        const Result<AudioFileInfo> info = readAudioFileInfo(temp / format.name);
        ASSERT_TRUE(info) << format.name << ": " << info.error().message();
        EXPECT_EQ(info->channels, 2u);
        const Result<DecodedAudio> decoded = decodeAudioFile(temp / format.name, 44100.0);
        ASSERT_TRUE(decoded) << format.name << ": " << decoded.error().message();
        const DecodedAudio& audio = *decoded;
        EXPECT_EQ(audio.numChannels, 2u);
        EXPECT_NEAR(static_cast<double>(audio.frames()), 44100.0, 2000.0) << format.name;  // mp3 pads a little
        int32_t peak = 0;
        for (int32_t v : audio.channels[0]) peak = std::max(peak, std::abs(v));
        EXPECT_NEAR(peak, 0.5 * (1 << 24), 0.05 * (1 << 24)) << format.name;
        if (std::string(format.name) != "e.mp3") {
            // Lossless: frame 100 is the sine itself, the right channel its negative.
            EXPECT_NEAR(audio.channels[0][100], 0.5 * std::sin(3.0f) * (1 << 24), 2.0 * 512) << format.name;
            EXPECT_NEAR(audio.channels[1][100], -audio.channels[0][100], 2.0 * 512) << format.name;
        }
    }
}

TEST(AudioFile, OtherRatesAreConverted) {
    testing::TempDir temp;
    ASSERT_TRUE(writeSine(temp / "slow.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_16, 1, 22050, 22050));
    const Result<DecodedAudio> audio = decodeAudioFile(temp / "slow.wav", 48000.0);
    ASSERT_TRUE(audio) << audio.error().message();
    EXPECT_NEAR(static_cast<double>(audio->frames()), 48000.0, 64.0);
    EXPECT_EQ(audio->sampleRate, 48000.0);
}

TEST(AudioFile, BrokenFilesAreRefusedWithAReason) {
    testing::TempDir temp;
    std::ofstream(temp / "noise.wav") << "RIFF this is not a sound at all";
    std::ofstream(temp / "empty.wav");
    ASSERT_TRUE(writeSine(temp / "quad.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_16, 4, 44100, 100));
    ASSERT_TRUE(writeSine(temp / "silent.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_16, 1, 44100, 0));
    struct Case {
        const char* name;
        AudioDecodeError code;
    };
    const Case cases[] = {{"noise.wav", AudioDecodeNotReadable},
                          {"empty.wav", AudioDecodeNotReadable},
                          {"missing.wav", AudioDecodeNotReadable},
                          {"quad.wav", AudioDecodeUnsupported},
                          {"silent.wav", AudioDecodeNoFrames}};
    for (const Case& c : cases) {
        const Result<DecodedAudio> audio = decodeAudioFile(temp / c.name, 44100.0);
        ASSERT_FALSE(audio) << c.name;
        EXPECT_FALSE(audio.error().message().empty()) << c.name;
        EXPECT_EQ(audio.error().domain, kAudioDecodeErrorDomain) << c.name;
        EXPECT_EQ(audio.error().code, c.code) << c.name << ": " << audio.error().message();
    }
}

TEST(AudioFile, AGarbageMp3IsNotReadableAudioAndTheDecoderSaysNothing) {
    testing::TempDir temp;
    {
        std::ofstream garbage(temp / "song.mp3", std::ios::binary);
        for (int i = 0; i < 4096; ++i) garbage.put(static_cast<char>((i * 7919 + 13) % 251));
    }
    ::testing::internal::CaptureStderr();
    const Result<DecodedAudio> audio = decodeAudioFile(temp / "song.mp3", 44100.0);
    EXPECT_FALSE(audio);
    const std::string error = audio ? std::string() : audio.error().message();
    EXPECT_FALSE(readAudioFileInfo(temp / "song.mp3"));
    const std::string chatter = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(error.rfind("not a readable audio file: ", 0), 0u) << error;
    EXPECT_EQ(error.find("does not exist"), std::string::npos) << error;
    EXPECT_EQ(chatter, "") << "third-party chatter on standard error";

    // A real MP3 still reads.
    ASSERT_TRUE(writeSine(temp / "tone.mp3", SF_FORMAT_MPEG | SF_FORMAT_MPEG_LAYER_III, 1, 44100, 4410));
    const Result<DecodedAudio> tone = decodeAudioFile(temp / "tone.mp3", 44100.0);
    EXPECT_TRUE(tone) << tone.error().message();
}

TEST(WaveWriter, AWriteThatFailsLeavesNoFileAndAnOlderOneAsItWas) {
    testing::TempDir temp;
    std::string why;
    auto disk = testing::TestMount::tmpfs(temp / "disk", 256 << 10, why);
    if (!disk) GTEST_SKIP() << "mounting is refused here (" << why << "): no small disk to fill";
    std::ofstream(temp / "disk" / "kept.wav") << "an older export";
    testing::fillDisk(temp / "disk" / "filler");

    // Straight to the file, over an older one, and through the rate converter.
    const std::pair<const char*, double> cases[] = {{"new.wav", 44100.0}, {"kept.wav", 44100.0}, {"new.wav", 48000.0}};
    for (const auto& [name, inputRate] : cases) {
        SCOPED_TRACE(std::string(name) + " from " + std::to_string(inputRate));
        WaveWriter writer;
        std::vector<int32_t> samples(44100, 1 << 22);
        const int32_t* channels[2] = {samples.data(), samples.data()};
        bool ok = writer.open(temp / "disk" / name, 2, 44100.0, inputRate);
        for (int second = 0; ok && second < 4; ++second) ok = writer.write(channels, 44100);
        ok = writer.close() && ok;
        EXPECT_FALSE(ok) << "the disk is full";
        EXPECT_FALSE(writer.error().empty());
    }
    EXPECT_FALSE(std::filesystem::exists(temp / "disk" / "new.wav")) << "no empty or partial file";
    EXPECT_EQ(testing::fileBytes(temp / "disk" / "kept.wav"), "an older export");
    for (const auto& entry : std::filesystem::directory_iterator(temp / "disk"))
        EXPECT_EQ(entry.path().filename().string().find("partial"), std::string::npos) << entry.path();
}

TEST(WaveWriter, WritesSixteenBitClippedAtFullScale) {
    testing::TempDir temp;
    WaveWriter writer;
    ASSERT_TRUE(writer.open(temp / "out.wav", 2, 44100.0, 44100.0));
    std::vector<int32_t> left = {0, 1 << 24, 3 << 24, -(3 << 24), 512 * 1000, INT32_MAX};
    std::vector<int32_t> right = {-512, -(1 << 24), INT32_MIN, 0, -512 * 1000, 7};
    const int32_t* channels[2] = {left.data(), right.data()};
    ASSERT_TRUE(writer.write(channels, 6));
    EXPECT_EQ(writer.framesWritten(), 6u);
    ASSERT_TRUE(writer.close());

    SF_INFO info{};
    SNDFILE* file = sf_open((temp / "out.wav").c_str(), SFM_READ, &info);
    ASSERT_NE(file, nullptr);
    EXPECT_EQ(info.format, SF_FORMAT_WAV | SF_FORMAT_PCM_16);
    std::vector<short> samples(12);
    ASSERT_EQ(sf_readf_short(file, samples.data(), 6), 6);
    sf_close(file);
    EXPECT_EQ(samples, (std::vector<short>{0, -1, 32767, -32768, 32767, -32768, -32768, 0, 1000, -1000, 32767, 0}));
}

TEST(WaveWriter, ConvertsToTheFileRateAndReportsAFolderThatIsNotThere) {
    testing::TempDir temp;
    WaveWriter writer;
    ASSERT_TRUE(writer.open(temp / "out.wav", 1, 44100.0, 48000.0));
    std::vector<int32_t> samples(48000, 1 << 22);
    const int32_t* channels[1] = {samples.data()};
    ASSERT_TRUE(writer.write(channels, 48000));
    ASSERT_TRUE(writer.close());
    const Result<AudioFileInfo> info = readAudioFileInfo(temp / "out.wav");
    ASSERT_TRUE(info);
    EXPECT_EQ(info->sampleRate, 44100.0);
    EXPECT_NEAR(static_cast<double>(info->frames), 44100.0, 64.0);
    EXPECT_EQ(writer.framesWritten(), static_cast<uint64_t>(info->frames));

    WaveWriter nowhere;
    EXPECT_FALSE(nowhere.open(temp / "no" / "folder.wav", 2, 44100.0, 44100.0));
    EXPECT_FALSE(nowhere.error().empty());
}

}  // namespace
}  // namespace strombel::platform
