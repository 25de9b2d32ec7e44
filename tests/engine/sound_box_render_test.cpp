// The render callback as a listener hears it: starts and stops land on their
// frames, tracks end, meters show each channel, long buffers play through.

#include <cmath>

#include "engine_test_support.h"

namespace strombel::engine::testing {
namespace {

constexpr double kRenderRate = 44100.0;
constexpr int32_t kLevel = 1000 * kFixedPer16Bit;

class RenderTest : public EngineTest {};

struct IgnoringTap final : platform::AudioOutputTap {
    void tapOutput(uint32_t, double, const int32_t*, const int32_t*) override {}
};

// A time inside a buffer lands on the nearest frame, not the frame before it:
// host times are whole nanoseconds while a frame lasts 22675.7 ns, so a time
// meant for frame k but rounded down to the nanosecond would otherwise start or
// stop on frame k - 1.
uint64_t expectedFrame(uint64_t time, uint64_t bufferStart) {
    return static_cast<uint64_t>(std::llround(static_cast<double>(time - bufferStart) * kRenderRate * 1e-9));
}

TEST_F(RenderTest, QueuedSequencerStartLandsOnItsFrame) {
    const std::string kick = addSample("kick", constantMono(4000, 1000));
    SoundBox& box = makeEngine();
    // Offsets in nanoseconds inside the next buffer, including ones between frames.
    for (uint64_t offset : {0ull, 22'676ull, 1'000'000ull, 2'345'678ull, 5'780'000ull}) {
        box.stopAllTracks();
        renderFrames(4096);  // let everything end
        const uint64_t bufferStart = device_->nextHostTime();
        ASSERT_TRUE(box.startTrackFromSequencer(kick, bufferStart + offset));
        std::vector<int32_t> out = renderFrames(256);
        const size_t expected = expectedFrame(bufferStart + offset, bufferStart);
        EXPECT_EQ(firstNonZero(out), expected) << "offset " << offset;
        EXPECT_EQ(out[255], kLevel);
    }
}

TEST_F(RenderTest, TapPadStartAtHostTimeLandsOnItsFrameThroughTheEffectWindow) {
    const std::string snare = addSample("snare", constantMono(4000, 1000));
    SoundBox& box = makeEngine();
    const uint64_t bufferStart = device_->nextHostTime();
    const uint64_t at = bufferStart + 3'000'000;  // 132.3 frames in
    ASSERT_TRUE(box.startTrack(snare, at, true, false, false, 1.0f));
    std::vector<int32_t> out = renderFrames(256);
    EXPECT_EQ(firstNonZero(out), expectedFrame(at, bufferStart));
    EXPECT_EQ(out[255], kLevel);
}

TEST_F(RenderTest, PastStartPlaysFromFrameZeroAndLateStartWaits) {
    const std::string hat = addSample("hat", constantMono(4000, 1000));
    SoundBox& box = makeEngine();
    ASSERT_TRUE(box.startTrackFromSequencer(hat, 1));  // long past
    std::vector<int32_t> out = renderFrames(256);
    EXPECT_EQ(firstNonZero(out), 0u);

    box.stopAllTracks();
    renderFrames(4096);
    const uint64_t later = device_->nextHostTime() + 10'000'000;  // beyond this buffer
    ASSERT_TRUE(box.startTrackFromSequencer(hat, later));
    out = renderFrames(256);
    EXPECT_EQ(firstNonZero(out), out.size());
    out = renderFrames(256);
    EXPECT_LT(firstNonZero(out), out.size());
}

TEST_F(RenderTest, StopAtHostTimeCutsOnItsFrame) {
    const std::string pad = addSample("pad", constantMono(44100, 1000));
    SoundBox& box = makeEngine();
    ASSERT_TRUE(box.startTrack(pad, 0, false, false, false, 1.0f));
    renderFrames(256);
    const uint64_t bufferStart = device_->nextHostTime();
    const uint64_t at = bufferStart + 2'000'000;
    ASSERT_TRUE(box.stopTrackFromSequencer(pad, at));
    std::vector<int32_t> out = renderFrames(256);
    const size_t cut = expectedFrame(at, bufferStart);
    EXPECT_EQ(out[cut - 1], kLevel);
    EXPECT_EQ(out[cut], 0);
    EXPECT_TRUE(box.isNothingPlaying());
}

TEST_F(RenderTest, ATrackStoppedBeforeItsStartStaysSilent) {
    const std::string ramp = addSample("ramp", rampMono(20000));
    SoundBox& box = makeEngine();
    box.startTrack(ramp, 0, false, false, false, 1.0f);
    renderFrames(1024);  // an earlier playback leaves its read position behind
    box.stopAllTracks();
    renderFrames(256);
    const uint64_t now = device_->nextHostTime();
    box.startTrack(ramp, now + 20'000'000, false, false, false, 1.0f);
    box.stopTrack(ramp, now + 40'000'000);
    std::vector<int32_t> out = renderFrames(44100 / 10);
    EXPECT_EQ(firstNonZero(out), out.size());
    EXPECT_TRUE(box.isNothingPlaying());
}

TEST_F(RenderTest, ASampleEndsIsRemovedAndReportedAsFinished) {
    const std::string clap = addSample("clap", rampMono(300));
    setBank(0, {clap});
    SoundBox& box = makeEngine();
    box.currentSoundbankChanged(0);
    RecordingDelegate observer;
    box.addDelegate(&observer);
    ASSERT_TRUE(box.startSoundbankSample(0, 1.0f));
    std::vector<int32_t> out = renderFrames(512);
    // Sequencer-free pad tap at full velocity: the ramp itself, frame for frame.
    for (int i = 0; i < 300; ++i) ASSERT_EQ(out[i], (i + 1) * kFixedPer16Bit) << i;
    EXPECT_EQ(out[300], 0);
    EXPECT_TRUE(box.isNothingPlaying());
    pump();
    // Played as a pad's, but no touch on one: observers hear it as no tap (the
    // pad screen records touches only).
    EXPECT_TRUE(observer.saw("started " + clap));
    EXPECT_TRUE(observer.saw("finished " + clap));
    // Started by MIDI: no pad or note events.
    EXPECT_FALSE(observer.saw("padOn 0"));
}

TEST_F(RenderTest, MonoTrackSoundsOnBothChannelsAndMetersShowEachChannel) {
    const std::string mono = addSample("mono", constantMono(2000, 1000));
    std::vector<int16_t> loud(2000, 8000), silent(2000, 0);
    const std::string leftOnly = addSample("left", {loud, silent});
    SoundBox& box = makeEngine();

    box.startTrack(mono, 0, false, false, false, 1.0f);
    std::vector<int32_t> right;
    std::vector<int32_t> left = renderFrames(256, &right);
    EXPECT_EQ(left, right);
    EXPECT_FLOAT_EQ(box.currentVolumeLeftChannel(), static_cast<float>(kLevel));
    EXPECT_FLOAT_EQ(box.currentVolumeRightChannel(), static_cast<float>(kLevel));

    box.stopAllTracks();
    renderFrames(512);
    box.startTrack(leftOnly, 0, false, false, false, 1.0f);
    renderFrames(256);
    EXPECT_FLOAT_EQ(box.currentVolumeLeftChannel(), static_cast<float>(8000 * kFixedPer16Bit));
    EXPECT_FLOAT_EQ(box.currentVolumeRightChannel(), 0.0f);

    box.stop();
    EXPECT_FLOAT_EQ(box.currentVolumeLeftChannel(), 0.0f);
    EXPECT_FLOAT_EQ(box.currentVolumeRightChannel(), 0.0f);
}

TEST_F(RenderTest, LoudTracksSaturateInsteadOfWrapping) {
    std::vector<std::string> paths;
    for (int i = 0; i < 48; ++i)
        paths.push_back(addSample("loud" + std::to_string(i), constantMono(1000, 32767), 1.5f));
    SoundBox& box = makeEngine();
    for (const auto& path : paths) box.startTrack(path, 0, false, false, false, 2.0f);
    std::vector<int32_t> out = renderFrames(256);
    // 48 x 1.5 x 2.0 x full scale lies beyond the 32-bit range: it must clip, not wrap.
    for (int32_t sample : out) ASSERT_EQ(sample, INT32_MAX);
}

TEST_F(RenderTest, LongBuffersArePlayedThroughInBlocks) {
    const std::string ramp = addSample("ramp", rampMono(5000));
    SoundBox& box = makeEngine(2048);
    box.setCrushAmount(0.0f);
    box.startTrack(ramp, 0, true, false, false, 1.0f);  // through the effect window
    std::vector<int32_t> out = renderFrames(4096);
    for (int i = 0; i < 4096; ++i) ASSERT_EQ(out[i], (i + 1) * kFixedPer16Bit) << i;
}

TEST_F(RenderTest, EffectsOnlyForPadStartedTracksWhenSoConfigured) {
    const std::string ramp = addSample("ramp", rampMono(5000));
    SoundBox& box = makeEngine();
    box.setPitchAmount(1.0f);  // 2.2 times the speed before wetness
    box.startTrackFromSequencer(ramp, 1);
    std::vector<int32_t> out = renderFrames(256);
    EXPECT_EQ(out[11], 12 * kFixedPer16Bit);  // normal speed, no effects

    box.stopAllTracks();
    renderFrames(4096);
    box.startTrack(ramp, 0, true, false, false, 1.0f);
    out = renderFrames(256);
    // Pad-started: read at 2.2 frames per output frame (no interpolation).
    EXPECT_EQ(out[11], 25 * kFixedPer16Bit);  // source frame 24 (11 x 2.2 = 24.2)

    box.setEffectWetness(0.0f);  // wetness 0: pitch rate 1
    box.stopAllTracks();
    renderFrames(4096);
    box.startTrack(ramp, 0, true, false, false, 1.0f);
    out = renderFrames(256);
    EXPECT_EQ(out[11], 12 * kFixedPer16Bit);
}

TEST_F(RenderTest, ALoweredPitchGivesEveryOutputFrameItsSample) {
    const std::string tone = addSample("tone", constantMono(44100, 1000));
    SoundBox& box = makeEngine();
    box.setCrushAmount(0.0f);
    // Pitch 0 to 0.5: 0.6 to 1 source frame per output frame, through the effect window.
    for (int step = 0; step <= 50; ++step) {
        const float pitch = static_cast<float>(step) / 100.0f;
        box.setPitchAmount(pitch);
        box.stopAllTracks();
        renderFrames(4096);
        box.startTrack(tone, 0, true, false, false, 1.0f);
        const std::vector<int32_t> out = renderFrames(1024);
        const auto gap = std::find(out.begin(), out.end(), 0);
        EXPECT_EQ(gap, out.end()) << "pitch " << pitch << ": silent frame " << (gap - out.begin());
    }
}

TEST_F(RenderTest, RetriggerRestartsAtTheNewStartFrame) {
    const std::string ramp = addSample("ramp", rampMono(10000));
    SoundBox& box = makeEngine();
    box.startTrack(ramp, 0, false, false, false, 1.0f);
    renderFrames(256);
    // The retrigger falls 1 ms into the buffer after next: the old playback goes on until then.
    const uint64_t bufferStart = device_->nextHostTime() + 256 * 1'000'000'000ull / 44100;
    const uint64_t at = device_->nextHostTime() + 1'000'000 + (bufferStart - device_->nextHostTime());
    box.startTrack(ramp, at, false, false, false, 1.0f);
    std::vector<int32_t> before = renderFrames(256);
    EXPECT_EQ(before[255], 512 * kFixedPer16Bit);
    EXPECT_EQ(box.trackForFile(ramp)->currentState(), TrackState::RetriggerPending);
    std::vector<int32_t> out = renderFrames(256);
    const size_t frame = expectedFrame(at, bufferStart);
    EXPECT_EQ(out[frame - 1], static_cast<int32_t>(512 + frame) * kFixedPer16Bit);  // the old playback
    EXPECT_EQ(out[frame], 1 * kFixedPer16Bit);                                    // from the beginning again
    EXPECT_EQ(box.trackForFile(ramp)->currentState(), TrackState::Playing);
}

TEST_F(RenderTest, TrackWhoseFileIsGoneEndsInsteadOfPlayingForever) {
    const std::string gone = addSample("gone", constantMono(1000, 1000));
    SoundBox& box = makeEngine();
    box.trackForFile(gone)->clearUnusedCacheIfNotUsedSince(UINT64_MAX);
    std::filesystem::remove(sandbox_.absolutePath(gone));
    RecordingDelegate observer;
    box.addDelegate(&observer);
    box.startTrack(gone, 0, false, false, false, 1.0f);
    for (int i = 0; i < 10 && !box.isNothingPlaying(); ++i) {
        render();
        pump();
    }
    EXPECT_TRUE(box.isNothingPlaying());
    EXPECT_TRUE(observer.saw("finished " + gone));
}

TEST_F(RenderTest, SilentWhileStoppedAndWhenNothingPlays) {
    addSample("kick", constantMono(1000, 1000));
    SoundBox& box = makeEngine();
    std::vector<int32_t> out = renderFrames(256);
    EXPECT_EQ(firstNonZero(out), out.size());
    EXPECT_TRUE(box.running());
    EXPECT_FALSE(box.start());  // already running: nothing happens
    EXPECT_TRUE(box.startOverrideIsPlayingCheck(true));
}

TEST_F(RenderTest, EchoAndReverbTailsDieAwayThenSilenceCostsNoEffectWorkAndStartsStayOnTheirFrame) {
    const std::string kick = addSample("kick", constantMono(500, 1000));
    SoundBox& box = makeEngine();
    box.setEffectWetness(1.0f);
    box.setDelayIntensity(1.0f);
    box.setDelayTime(0.1f);
    box.setReverbAmount(1.0f);
    box.setCrushAmount(0.5f);
    ASSERT_TRUE(box.startTrack(kick, 0, true, false, false, 1.0f));
    // The tail sounds well after the 500 frames of the sample...
    std::vector<int32_t> out = renderFrames(44100);
    EXPECT_NE(firstNonZero(std::vector<int32_t>(out.begin() + 22050, out.end())), 22050u) << "no echo heard";
    // ...and dies away to exact silence within a minute of sound.
    int buffersUntilQuiet = 0;
    uint64_t worked = box.effectBlocks();
    for (int quietFor = 0; quietFor < 100 && buffersUntilQuiet < 44100 * 60 / 256; ++buffersUntilQuiet) {
        render();
        const bool silent = firstNonZero(device_->left()) == device_->left().size() &&
                            firstNonZero(device_->right()) == device_->right().size();
        quietFor = silent && box.effectBlocks() == worked ? quietFor + 1 : 0;
        worked = box.effectBlocks();
    }
    ASSERT_LT(buffersUntilQuiet, 44100 * 60 / 256) << "the effect chain still works on silence";
    // A start after that lands on its frame, and the chain works again.
    const uint64_t bufferStart = device_->nextHostTime();
    const uint64_t at = bufferStart + 2'000'000;
    ASSERT_TRUE(box.startTrack(kick, at, true, false, false, 1.0f));
    out = renderFrames(256);
    EXPECT_EQ(firstNonZero(out), expectedFrame(at, bufferStart));
    EXPECT_GT(box.effectBlocks(), worked);
}

TEST_F(RenderTest, TheOutputMayRestOnlyOnceNothingSoundsWaitsOrIsOnItsWayAndEveryRequestWakesIt) {
    const std::string kick = addSample("kick", constantMono(500, 1000));
    SoundBox& box = makeEngine();
    render();
    EXPECT_TRUE(device_->wouldRest()) << "nothing ever played";

    box.setApplyFxToTapPadOnly(false);
    box.setEffectWetness(1.0f);
    box.setDelayIntensity(0.5f);
    box.setDelayTime(0.1f);
    const uint64_t wakes = device_->wakes();
    ASSERT_TRUE(box.startTrackFromSequencer(kick, device_->nextHostTime() + 20'000'000));
    EXPECT_EQ(device_->wakes(), wakes + 1);
    EXPECT_FALSE(device_->wouldRest()) << "a request on its way";
    render();
    EXPECT_FALSE(device_->wouldRest()) << "a start waits for its time";
    // Rendered until it may rest: the track, then its echoes, have ended by then.
    int buffers = 0;
    for (; buffers < 44100 * 60 / 256 && !device_->wouldRest(); ++buffers) render();
    ASSERT_TRUE(device_->wouldRest());
    EXPECT_GT(buffers, 4410 / 256) << "the echo 0.1 s later still sounded";
    const std::vector<int32_t> after = renderFrames(44100 * 3);
    EXPECT_EQ(firstNonZero(after), after.size()) << "it rested while sound was still to come";

    // An installed tap wants every buffer; a stop and a clear wake it too.
    IgnoringTap tap;
    box.audioUnit().setOutputTap(&tap);
    EXPECT_FALSE(device_->wouldRest());
    box.audioUnit().setOutputTap(nullptr);
    box.stopAllTracks();
    box.clearEchoBuffer();
    EXPECT_EQ(device_->wakes(), wakes + 3);
}

}  // namespace
}  // namespace strombel::engine::testing
