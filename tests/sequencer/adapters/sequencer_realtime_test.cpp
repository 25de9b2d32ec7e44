// The sequencer's timing loop under the test build's real-time guard, on the
// real engine and the real MIDI hub (over the in-process MIDI backend): each
// pass of the loop runs marked real-time, and so does every render of the
// engine, so an allocation, a lock, a wait, a sleep or a write in either aborts
// the test with a stack trace.

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <thread>

#include "engine/engine_test_support.h"
#include "engine/in_memory_sound_library.h"
#include "engine/sound_box.h"
#include "midi/midi_controller.h"
#include "platform/audio_file.h"
#include "platform/devices/loopback_midi_backend.h"
#include "platform/devices/manual_audio_device.h"
#include "platform/devices/null_audio_device.h"
#include "platform/sandbox.h"
#include "platform/user_defaults.h"
#include "sequencer/adapters/sound_box_adapter.h"
#include "sequencer/sequencer.h"
#include "support/realtime_guard.h"
#include "support/sequencer_fakes.h"
#include "support/temp_dir.h"

namespace strombel::sequencer {
namespace {

using testing::addEvents;
using testing::MemoryPatternStore;

constexpr const char* kKick = "Documents/kick.wav";
constexpr const char* kSnare = "Documents/snare.wav";
constexpr const char* kHat = "Documents/hat.wav";

void writeSample(const std::filesystem::path& path, int16_t level, size_t frames) {
    engine::testing::writeWave(path, engine::testing::constantMono(frames, level));
}

/// The program's parts, for real, on one clock: the engine, the MIDI hub with a
/// drum machine taking its clock, and the sequencer on both.
struct Rig {
    Rig(platform::Clock& clock, platform::MainLoop& loop, std::unique_ptr<platform::AudioDevice> device,
        MemoryPatternStore::Contents contents, LoopDriver driver, bool backendThread)
        : sandbox(dir / "root", dir / "Tumblecraft.app"), backend(clock, backendThread), store(std::move(contents)) {
        (void)sandbox.createFolders();
        for (const char* path : {kKick, kSnare, kHat}) writeSample(sandbox.absolutePath(path), 3000, 2000);
        writeSample(sandbox.absolutePath("Tumblecraft.app/metronomeOn1.wav"), 8000, 300);
        writeSample(sandbox.absolutePath("Tumblecraft.app/metronomeOn234.wav"), 6000, 300);
        library.setSamples({{kKick, "kick", 1.0f}, {kSnare, "snare", 1.0f}, {kHat, "hat", 1.0f}});
        std::vector<engine::LibraryPadAssignment> pads;
        for (const char* path : {kKick, kSnare, kHat}) pads.push_back({int64_t(pads.size()), true, {path, path, 1.0f}});
        library.setBank(0, pads);
        soundBox = std::make_unique<engine::SoundBox>(std::move(device), sandbox, loop, &library);
        soundBox->currentSoundbankChanged(0);
        for (const auto& path : {soundBox->metronomeClickOn1File(), soundBox->metronomeClickOn234File()})
            soundBox->preloadTrack(path);
        soundBox->waitForPreloads();
        hub = std::make_unique<midi::MidiController>(
            midi::MidiController::Setup{backend, loop, center, defaults, sandbox.documents(), "Tumblecraft", nullptr});
        drums = backend.addDestination("Drum Machine");
        loop.runPending();
        hub->sendClockTo("Drum Machine", true);
        adapter = std::make_unique<SoundBoxSequencerEngine>(*soundBox);
        clockOut = std::make_unique<MidiControllerClockOut>(*hub);
        sequencer = std::make_unique<Sequencer>(SequencerServices{*adapter, store, clockOut.get(), loop, clock, driver});
    }
    ~Rig() {
        sequencer.reset();
        hub.reset();
        soundBox.reset();
    }

    size_t clockBytesSent(uint8_t byte) {
        hub->waitUntilActionThreadIdle();
        auto got = backend.receivedBy(drums);
        return static_cast<size_t>(
            std::count_if(got.begin(), got.end(), [byte](const auto& r) { return r.bytes == std::vector<uint8_t>{byte}; }));
    }

    strombel::testing::TempDir dir;
    platform::Sandbox sandbox;
    engine::InMemorySoundLibrary library;
    platform::NotificationCenter center;
    platform::UserDefaults defaults{dir / "defaults.sqlite"};
    platform::LoopbackMidiBackend backend{platform::SystemClock::shared()};
    MemoryPatternStore store;
    std::unique_ptr<engine::SoundBox> soundBox;
    std::unique_ptr<midi::MidiController> hub;
    platform::MidiEndpointRef drums = 0;
    std::unique_ptr<SoundBoxSequencerEngine> adapter;
    std::unique_ptr<MidiControllerClockOut> clockOut;
    std::unique_ptr<Sequencer> sequencer;
};

MemoryPatternStore::Contents twoPatterns() {
    MemoryPatternStore::Contents contents;
    addEvents(contents, 0, kKick, {0, 4, 8, 12, 16, 20, 24, 28});
    addEvents(contents, 0, kHat, {2, 6, 10, 14, 18, 22, 26, 30});
    addEvents(contents, 0, kHat, {3, 7, 11, 15}, PatternEventType::stop);
    contents.numBars[0] = 2;
    addEvents(contents, 1, kSnare, {0, 5, 10});
    return contents;
}

TEST(SequencerRealtime, TheLoopPlaysPatternsOnTheRealEngineAndHubWithoutAllocatingLockingOrLogging) {
    ASSERT_TRUE(strombel::testing::realtimeGuardActive());
    platform::ManualClock clock(5'000'000'000);
    platform::MainLoop loop(clock);
    auto device = std::make_unique<platform::ManualAudioDevice>(44100.0, 256, clock.nowNanos());
    platform::ManualAudioDevice& sound = *device;
    Rig rig(clock, loop, std::move(device), twoPatterns(), LoopDriver::manual, false);
    Sequencer& sequencer = *rig.sequencer;
    sequencer.setBpm(140);
    sequencer.setSwing(0.3f);
    sequencer.setUseMetronome(true);
    sequencer.playWithPreBar(true);

    // The device renders each buffer as its time comes; the loop runs each pass
    // when it is due; the main loop and the hub's action thread do their part.
    size_t loudBuffers = 0;
    const uint64_t bufferNanos = 256 * 1'000'000'000ull / 44100;
    for (int buffer = 0; buffer < 6000; ++buffer) {  // 35 s
        sequencer.runLoopUntil(clock.nowNanos());
        sound.renderBuffer();
        if (std::any_of(sound.left().begin(), sound.left().end(), [](int32_t v) { return v != 0; })) ++loudBuffers;
        clock.advance(bufferNanos);
        loop.runPending();
        rig.backend.deliverDue();
        switch (buffer) {
            case 1000: sequencer.changePatternTo(1); break;  // takes over at the next step 0
            case 1500: sequencer.recordSequencerEventForSample(kKick, PatternEventType::start); break;
            case 1510: sequencer.recordSequencerEventForSample(kKick, PatternEventType::stop); break;
            case 2000: sequencer.changeNumBarsTo(3); break;
            case 2500: rig.soundBox->reloadTracks(); break;  // a new table under the loop's feet
            case 3000: sequencer.eraseAllEventsOfTrack(kSnare); break;
            case 3500: sequencer.setPendingPatternIdx(0); break;
            case 4000: rig.soundBox->loadTrackForFile(kHat); break;
            case 4500: sequencer.setBpm(300); break;
            case 5000: sequencer.copyPattern(0, 1); break;
        }
        if (buffer % 100 == 0) rig.hub->waitUntilActionThreadIdle();
    }
    sequencer.stop();
    rig.hub->waitUntilActionThreadIdle();
    loop.runPending();

    EXPECT_GT(loudBuffers, 500u) << "the steps and clicks sounded";
    EXPECT_EQ(sequencer.activePatternIdx(), 0u) << "two pattern switches at step 0";
    const engine::SoundBox::Counters counters = rig.soundBox->counters();
    EXPECT_EQ(counters.commandOverruns, 0u);
    EXPECT_EQ(counters.eventOverruns, 0u);
    EXPECT_EQ(sequencer.noticeOverruns(), 0u);
    EXPECT_EQ(rig.hub->droppedClockMessages(), 0u);
    EXPECT_EQ(rig.clockBytesSent(0xFA), 1u);
    EXPECT_EQ(rig.clockBytesSent(0xFC), 1u);
    EXPECT_GT(rig.clockBytesSent(0xF8), 6u * 400) << "six ticks a step went out (over 400 steps)";
}

TEST(SequencerRealtime, TheSequencerThreadAndTheAudioThreadRunUnderTheGuardInRealTime) {
    platform::MainLoop loop{platform::SystemClock::shared()};
    Rig rig(platform::SystemClock::shared(), loop, std::make_unique<platform::NullAudioDevice>(), twoPatterns(),
            LoopDriver::thread, true);
    Sequencer& sequencer = *rig.sequencer;
    sequencer.setBpm(300);
    sequencer.setUseMetronome(true);
    sequencer.playWithPreBar(false);
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(1200);
    while (std::chrono::steady_clock::now() < until) {
        loop.runPending();
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    sequencer.stop();
    rig.hub->waitUntilActionThreadIdle();
    loop.runPending();
    EXPECT_GE(sequencer.wakeStatistics().latenessNanos.size(), 10u) << "the thread woke for its passes";
    EXPECT_GT(rig.clockBytesSent(0xF8), 6u * 10);
    EXPECT_EQ(rig.soundBox->counters().skippedBlocks, 0u);
}

}  // namespace
}  // namespace strombel::sequencer
