// The offline export renderer, checked against a sum worked out independently.

#include <sndfile.h>

#include <cmath>
#include <fstream>
#include <iterator>

#include "engine_test_support.h"
#include "logging/log.h"
#include "platform/sample_format.h"
#include "support/recording_logger.h"

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
    platform::Result<void> written = box.writeExport({{kick, 0, 0.0, 1.0f}}, (temp_ / "no" / "such" / "x.wav").string(), 1.0);
    EXPECT_FALSE(written);
    const std::string error = written ? "" : written.error().message();
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

TEST_F(ExportTest, OnItsOwnThreadTheSameFileIsWrittenAndProgressAndEndAreToldOnTheMainLoop) {
    const std::string kick = addSample("kick", rampMono(3000), 0.8f);
    SoundBox& box = makeEngine();
    const std::vector<ExportEvent> events = {{kick, ExportEvent::kStart, 0.0, 1.0f},
                                             {kick, ExportEvent::kStart, 0.7, 1.0f}};
    ASSERT_TRUE(box.exportEvents(events, out(), 1.5));
    const WaveContents inPlace = readWave(out());

    const std::string threaded = (temp_ / "threaded.wav").string();
    std::vector<float> reports;
    std::vector<ExportOutcome> ends;
    auto job = box.startExport(events, threaded, 1.5, [&](float share) { reports.push_back(share); },
                               [&](const ExportOutcome& outcome) { ends.push_back(outcome); });
    EXPECT_EQ(reports, std::vector<float>{0.0f}) << "the rest comes through the main loop";
    job->waitUntilRendered();
    EXPECT_TRUE(ends.empty());
    loop_.runPending();
    ASSERT_EQ(ends.size(), 1u);
    EXPECT_EQ(ends[0].status, ExportOutcome::Status::written);
    EXPECT_DOUBLE_EQ(ends[0].seconds, 1.5);
    // Each whole percent once, in order, up to the end.
    EXPECT_TRUE(std::is_sorted(reports.begin(), reports.end()));
    EXPECT_LE(reports.size(), 102u);
    EXPECT_GT(reports.size(), 20u);
    EXPECT_EQ(reports.back(), 1.0f);
    EXPECT_EQ(readWave(threaded).interleaved, inPlace.interleaved);
}

TEST_F(ExportTest, ACancelledOrDroppedExportLeavesNoFileAndTheOneBeforeAsItWas) {
    SoundBox& box = makeEngine();
    for (const bool dropped : {false, true}) {
        { std::ofstream(out()) << "the earlier export"; }
        std::vector<ExportOutcome> ends;
        // Half an hour: far longer than the moment it takes to call it off.
        auto job = box.startExport({}, out(), 1800.0, {}, [&](const ExportOutcome& outcome) { ends.push_back(outcome); });
        if (dropped) {
            job.reset();  // as a quit does
        } else {
            job->cancel();
            job->waitUntilRendered();
        }
        loop_.runPending();
        if (dropped) {
            EXPECT_TRUE(ends.empty()) << "a job that went tells nothing";
        } else {
            ASSERT_EQ(ends.size(), 1u);
            EXPECT_EQ(ends[0].status, ExportOutcome::Status::cancelled);
        }
        std::ifstream kept(out());
        EXPECT_EQ(std::string(std::istreambuf_iterator<char>(kept), {}), "the earlier export");
        for (const auto& entry : std::filesystem::directory_iterator(std::filesystem::path(out()).parent_path()))
            EXPECT_TRUE(entry.is_directory() || entry.path() == out()) << entry.path() << " is left behind";
    }
}

TEST_F(ExportTest, AFirstStartOfASampleThatCannotBeReadIsSilentWithoutARestartLine) {
    const std::string lost = addSample("lost", rampMono(3000));
    SoundBox& box = makeEngine();
    ASSERT_NE(box.trackForFile(lost)->loadState(), TrackLoadState::Loaded);
    std::filesystem::resize_file(sandbox_.absolutePath(lost), 44);  // its sound is gone, its header stays
    auto logger = std::make_shared<logging::testing::RecordingLogger>();
    logging::Log::addLogger(logger);
    logging::setLogLevel(logging::LogFlagError | logging::LogFlagWarning);
    const bool written = box.exportEvents({{lost, ExportEvent::kStart, 0.0, 1.0f}, {lost, ExportEvent::kStart, 0.1, 1.0f}},
                                          out(), 0.2);
    logging::Log::flushLog();
    const std::vector<std::string> lines = logger->lines();
    logging::testing::resetLogging();
    ASSERT_TRUE(written);
    const WaveContents file = readWave(out());
    EXPECT_TRUE(std::all_of(file.interleaved.begin(), file.interleaved.end(), [](short v) { return v == 0; }));
    for (const std::string& line : lines) EXPECT_EQ(line.find("restarted already playing"), std::string::npos) << line;
}

}  // namespace
}  // namespace strombel::engine::testing
