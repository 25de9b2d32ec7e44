// The offline export renderer, checked against a sum worked out independently.

#include <sndfile.h>

#include <cmath>

#include "engine_test_support.h"
#include "platform/sample_format.h"

namespace strombel::engine::testing {
namespace {

struct WaveContents {
    SF_INFO info{};
    std::vector<short> interleaved;
};

WaveContents readWave(const std::string& path) {
    WaveContents contents;
    SNDFILE* file = sf_open(path.c_str(), SFM_READ, &contents.info);
    if (!file) return contents;
    contents.interleaved.resize(static_cast<size_t>(contents.info.frames) * contents.info.channels);
    sf_readf_short(file, contents.interleaved.data(), contents.info.frames);
    sf_close(file);
    return contents;
}

class ExportTest : public EngineTest {
protected:
    std::string out() { return (temp_ / "export.wav").string(); }
};

TEST_F(ExportTest, KnownEventsGiveTheIndependentlyComputedSum) {
    std::vector<int16_t> kickSamples(3000), snareLeft(2000), snareRight(2000);
    for (int i = 0; i < 3000; ++i) kickSamples[i] = static_cast<int16_t>(4000 * std::sin(i * 0.01));
    for (int i = 0; i < 2000; ++i) {
        snareLeft[i] = static_cast<int16_t>((i * 37) % 3000 - 1500);
        snareRight[i] = static_cast<int16_t>(-snareLeft[i] / 2);
    }
    const std::string kick = addSample("kick", {kickSamples}, 0.8f);
    const std::string snare = addSample("snare", {snareLeft, snareRight}, 1.2f);
    SoundBox& box = makeEngine();
    box.setVolume(0.9f);
    const std::vector<ExportEvent> events = {
        {kick, ExportEvent::kStart, 0.0, 1.0f},   {snare, ExportEvent::kStart, 0.01, 1.0f},
        {kick, ExportEvent::kStart, 0.03, 1.0f},  // restarts the kick at frame 1323
        {snare, ExportEvent::kStop, 0.04, 1.0f},  // cuts the snare at frame 1764
        {kick, ExportEvent::kStop, 0.5, 1.0f},    // long after the kick ended: no effect
        {"Documents/unknown.wav", ExportEvent::kStart, 0.02, 1.0f},
    };
    std::vector<float> reports;
    ASSERT_TRUE(box.exportEvents(events, out(), 0.12, [&](float p) { reports.push_back(p); }));

    const size_t total = static_cast<size_t>(44100 * 0.12);
    std::vector<double> left(total, 0.0), right(total, 0.0);
    auto add = [&](const std::vector<int16_t>& l, const std::vector<int16_t>& r, size_t from, size_t to, double g) {
        for (size_t f = from, i = 0; f < to && f < total && i < l.size(); ++f, ++i) {
            left[f] += l[i] * g;
            right[f] += r[i] * g;
        }
    };
    add(kickSamples, kickSamples, 0, 1323, 0.8 * 0.9);
    add(kickSamples, kickSamples, 1323, total, 0.8 * 0.9);
    add(snareLeft, snareRight, 441, 1764, 1.2 * 0.9);

    WaveContents file = readWave(out());
    EXPECT_EQ(file.info.samplerate, 44100);
    EXPECT_EQ(file.info.channels, 2);
    EXPECT_EQ(file.info.format, SF_FORMAT_WAV | SF_FORMAT_PCM_16);
    ASSERT_EQ(file.info.frames, static_cast<sf_count_t>(total));
    for (size_t f = 0; f < total; ++f) {
        ASSERT_NEAR(file.interleaved[2 * f], left[f], 1.01) << "left " << f;
        ASSERT_NEAR(file.interleaved[2 * f + 1], right[f], 1.01) << "right " << f;
    }
    // 0.12 s: two full chunks of 2205 frames and a rest of 882.
    EXPECT_EQ(reports, (std::vector<float>{0.0f, 0.0f, 1.0f / 3, 2.0f / 3, 1.0f}));
    // Live playback was left alone.
    EXPECT_EQ(box.trackForFile(kick)->currentState(), TrackState::Ready);
}

TEST_F(ExportTest, TheExportMixesExactlyWhatLivePlaybackPlaysWithoutEffects) {
    // The same two samples, one mono and one stereo, at their own volumes under
    // the master volume: started live with nothing applied, and exported.
    std::vector<int16_t> tone(3000), left(2500), right(2500);
    for (int i = 0; i < 3000; ++i) tone[i] = static_cast<int16_t>(9000 * std::sin(i * 0.013));
    for (int i = 0; i < 2500; ++i) {
        left[i] = static_cast<int16_t>((i * 53) % 7000 - 3500);
        right[i] = static_cast<int16_t>(2000 - (i * 29) % 4000);
    }
    const std::string mono = addSample("mono", {tone}, 0.7f);
    const std::string stereo = addSample("stereo", {left, right}, 1.3f);
    SoundBox& box = makeEngine();
    box.setVolume(0.85f);
    const size_t frames = 4096;

    // Tap-pad starts go through the effect window, which sums in floats as the
    // export does (the effects themselves are all off).
    ASSERT_TRUE(box.startTrack(mono, 0, true, false, false, 1.0f));
    ASSERT_TRUE(box.startTrack(stereo, 0, true, false, false, 1.0f));
    std::vector<int32_t> liveRight;
    std::vector<int32_t> liveLeft = renderFrames(frames, &liveRight);
    box.stopAllTracks();

    ASSERT_TRUE(box.exportEvents({{mono, ExportEvent::kStart, 0.0, 1.0f}, {stereo, ExportEvent::kStart, 0.0, 1.0f}},
                                 out(), static_cast<double>(frames) / 44100.0));
    WaveContents file = readWave(out());
    ASSERT_EQ(file.info.frames, static_cast<sf_count_t>(frames));
    ASSERT_NE(firstNonZero(liveLeft), liveLeft.size());
    for (size_t f = 0; f < frames; ++f) {
        ASSERT_EQ(file.interleaved[2 * f], platform::fixed824ToInt16(liveLeft[f])) << "left " << f;
        ASSERT_EQ(file.interleaved[2 * f + 1], platform::fixed824ToInt16(liveRight[f])) << "right " << f;
    }
}

TEST_F(ExportTest, ZeroDurationWritesAnEmptyFileAndWholeChunksNoExtra) {
    const std::string kick = addSample("kick", constantMono(100, 1000));
    SoundBox& box = makeEngine();
    std::vector<float> reports;
    ASSERT_TRUE(box.exportEvents({{kick, 0, 0.0, 1.0f}}, out(), 0.0, [&](float p) { reports.push_back(p); }));
    EXPECT_EQ(reports, (std::vector<float>{0.0f, 1.0f}));
    WaveContents file = readWave(out());
    EXPECT_EQ(file.info.channels, 2);
    EXPECT_EQ(file.info.frames, 0);

    reports.clear();
    ASSERT_TRUE(box.exportEvents({{kick, 0, 1.0, 1.0f}}, out(), 1.0, [&](float p) { reports.push_back(p); }));
    EXPECT_EQ(readWave(out()).info.frames, 44100);
    EXPECT_EQ(reports.size(), 22u);  // 0.0, twenty chunks, 1.0
    // The event at exactly the end is never heard.
    for (short s : readWave(out()).interleaved) ASSERT_EQ(s, 0);
}

TEST_F(ExportTest, EventsInTheLastShortChunkLandOnTheirFrames) {
    const std::string kick = addSample("kick", constantMono(100, 1000));
    SoundBox& box = makeEngine();
    ASSERT_TRUE(box.exportEvents({{kick, 0, 1.02, 1.0f}}, out(), 1.03));
    WaveContents file = readWave(out());
    ASSERT_EQ(file.info.frames, 45423);  // 20 chunks of 2205 and one of 1323
    const size_t at = static_cast<size_t>(1.02 * 44100);
    EXPECT_EQ(file.interleaved[2 * (at - 1)], 0);
    EXPECT_EQ(file.interleaved[2 * at], 1000);
    EXPECT_EQ(file.interleaved[2 * (at + 99)], 1000);
    EXPECT_EQ(file.interleaved[2 * (at + 100)], 0);
}

TEST_F(ExportTest, LoudSumsClipAtFullScale) {
    std::vector<std::string> paths;
    for (int i = 0; i < 4; ++i) paths.push_back(addSample("loud" + std::to_string(i), constantMono(1000, 30000)));
    // On the other side: clipped on the left, summed exactly on the right.
    for (int i = 0; i < 3; ++i)
        paths.push_back(addSample("low" + std::to_string(i),
                                  {std::vector<int16_t>(1000, -32768), std::vector<int16_t>(1000, -7000)}));
    SoundBox& box = makeEngine();
    std::vector<ExportEvent> events;
    for (size_t i = 0; i < 4; ++i) events.emplace_back(paths[i], 0, 0.0, 1.0f);
    ASSERT_TRUE(box.exportEvents(events, out(), 0.01));
    for (short s : readWave(out()).interleaved) ASSERT_EQ(s, 32767);
    events.clear();
    for (size_t i = 4; i < 7; ++i) events.emplace_back(paths[i], 0, 0.0, 1.0f);
    ASSERT_TRUE(box.exportEvents(events, out(), 0.01));
    const std::vector<short> low = readWave(out()).interleaved;
    ASSERT_EQ(low.size(), 2u * 441);
    for (size_t f = 0; f < 441; ++f) {
        ASSERT_EQ(low[2 * f], -32768) << f;
        ASSERT_EQ(low[2 * f + 1], -21000) << f;
    }
}

TEST_F(ExportTest, AFileThatCannotBeCreatedIsReportedAsAFailure) {
    const std::string kick = addSample("kick", constantMono(100, 1000));
    SoundBox& box = makeEngine();
    std::string error;
    EXPECT_FALSE(box.exportEvents({{kick, 0, 0.0, 1.0f}}, (temp_ / "no" / "such" / "x.wav").string(), 1.0, {}, &error));
    EXPECT_FALSE(error.empty());
}

TEST_F(ExportTest, ExportStopsLivePlaybackAndReadsFromTheSampleStart) {
    const std::string ramp = addSample("ramp", rampMono(20000));
    SoundBox& box = makeEngine();
    box.startTrack(ramp, 0, false, false, false, 1.0f);
    renderFrames(256);
    ASSERT_TRUE(box.isPlaying(ramp));
    ASSERT_TRUE(box.exportEvents({{ramp, 0, 0.0, 1.0f}}, out(), 0.2));
    // The live output falls silent from the next buffer on.
    std::vector<int32_t> live = renderFrames(256);
    EXPECT_EQ(firstNonZero(live), live.size());
    EXPECT_FALSE(box.isPlaying(ramp));
    // The export read its own positions: the file holds the ramp from its start.
    WaveContents file = readWave(out());
    EXPECT_EQ(file.interleaved[0], 1);
    EXPECT_EQ(file.interleaved[2 * 5000], 5001);
}

}  // namespace
}  // namespace strombel::engine::testing
