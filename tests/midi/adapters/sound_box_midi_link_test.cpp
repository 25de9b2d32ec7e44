// The hub wired to a real engine (on a hand-driven sound device) and a real
// sequencer (on a hand-driven timing loop): an outside keyboard plays a pad, a
// pad played on screen goes out as a note, an outside clock drives the
// sequencer, and the sequencer's clock goes out.

#include "midi/adapters/sound_box_midi_link.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "engine/in_memory_sound_library.h"
#include "platform/audio_file.h"
#include "platform/devices/loopback_midi_backend.h"
#include "platform/devices/manual_audio_device.h"
#include "sequencer/adapters/sound_box_adapter.h"
#include "support/temp_dir.h"

namespace strombel::midi {
namespace {

using Bytes = std::vector<uint8_t>;

// The pattern store and engine services the sequencer needs, held in memory.
struct MemoryPatternStore : sequencer::PatternStore {
    std::optional<uint64_t> patternNumBars(uint64_t) override { return 1; }
    void setPatternNumBars(uint64_t, uint64_t) override {}
    std::vector<sequencer::StoredSequencerEvent> sequencerEventsForPattern(uint64_t) override { return {}; }
    bool addSequenceEventOnPattern(uint64_t, uint64_t, sequencer::PatternEventType, const std::string&) override {
        return true;
    }
    size_t removeSequenceEventOnPattern(uint64_t, uint64_t, const std::string&) override { return 0; }
    void copyAllSequencerEventsOfPattern(uint64_t, uint64_t) override {}
    void removeAllSequencerEventsOfPattern(uint64_t) override {}
    void save() override {}
};

struct QuietSequencerEngine : sequencer::SequencerEngine {
    bool startTrack(const std::string&, uint64_t, bool, bool, bool, float) override { return true; }
    bool startTrackFromSequencer(const std::string&, uint64_t) override { return true; }
    bool stopTrackFromSequencer(const std::string&, uint64_t) override { return true; }
    void stopAllTracksIncludeTapPadTriggered(bool) override {}
    void preloadTrack(const std::string&) override {}
    std::string metronomeClickOn1File() const override { return "click1.wav"; }
    std::string metronomeClickOn234File() const override { return "click2.wav"; }
    platform::Result<void> exportEvents(const std::vector<sequencer::ExportEvent>&, const std::string&, double,
                                        const std::function<void(float)>&) override {
        return {};
    }
};

class SoundBoxMidiLinkTest : public ::testing::Test {
protected:
    SoundBoxMidiLinkTest() : sandbox(dir / "root", dir / "bundle") {
        loop.bindToCurrentThread();
        (void)sandbox.createFolders();
    }

    std::unique_ptr<MidiController> startHub() {
        return std::make_unique<MidiController>(MidiController::Setup{
            backend, loop, center, defaults, sandbox.documents(), "Tumblecraft", nullptr});
    }

    testing::TempDir dir;
    platform::Sandbox sandbox;
    platform::ManualClock clock{5'000'000'000};
    platform::MainLoop loop{clock};
    platform::NotificationCenter center;
    platform::UserDefaults defaults{dir / "defaults.sqlite"};
    platform::LoopbackMidiBackend backend{clock};
};

TEST_F(SoundBoxMidiLinkTest, AKeyboardPlaysThePadAndAPadOnScreenSendsItsNote) {
    // A bank of two pads, each a short constant sample.
    engine::InMemorySoundLibrary library;
    std::vector<engine::LibrarySample> samples;
    std::vector<engine::LibraryPadAssignment> pads;
    for (int pad = 0; pad < 2; ++pad) {
        const std::string path = "Documents/pad" + std::to_string(pad) + ".wav";
        platform::WaveWriter writer;
        ASSERT_TRUE(writer.open(sandbox.absolutePath(path), 1, 44100, 44100));
        std::vector<int32_t> frames(4410, 1000 << 9);
        const int32_t* channels[1] = {frames.data()};
        ASSERT_TRUE(writer.write(channels, static_cast<uint32_t>(frames.size())));
        ASSERT_TRUE(writer.close());
        samples.push_back({path, path, 1.0f});
        pads.push_back({pad, true, samples.back()});
    }
    library.setSamples(samples);
    library.setBank(0, pads);
    auto device = std::make_unique<platform::ManualAudioDevice>(44100.0, 256, 1'000'000'000);
    platform::ManualAudioDevice& sound = *device;
    engine::SoundBox box(std::move(device), sandbox, loop, &library);
    box.currentSoundbankChanged(0);
    box.waitForPreloads();  // the bank's samples are in memory before the first note

    auto hub = startHub();
    SoundBoxMidiLink link(box, *hub);
    platform::MidiEndpointRef keys = backend.addSource("Keys");
    platform::MidiEndpointRef synth = backend.addDestination("Synth");
    loop.runPending();
    hub->receiveNotesFrom("Keys", true);
    hub->sendNotesTo("Synth", true);

    backend.play(keys, {0x90, 61, 100});  // pad 1
    hub->waitUntilActionThreadIdle();
    sound.renderBuffer();
    EXPECT_TRUE(box.isPlaying(samples[1].filePath));
    EXPECT_FALSE(box.isPlaying(samples[0].filePath));
    EXPECT_TRUE(std::any_of(sound.left().begin(), sound.left().end(), [](int32_t v) { return v != 0; }));
    loop.advance(10 * platform::kNanosPerMillisecond);
    EXPECT_TRUE(backend.receivedBy(synth).empty());  // notes MIDI started are not echoed

    // A pad played on screen goes out as its note.
    ASSERT_TRUE(box.startTrack(samples[0].filePath, 0, true, false, false, 1.0f));
    sound.renderBuffer();
    loop.advance(10 * platform::kNanosPerMillisecond);
    auto sent = backend.receivedBy(synth);
    ASSERT_FALSE(sent.empty());
    EXPECT_EQ(sent[0].bytes, (Bytes{0x9A, 60, 127}));
}

TEST_F(SoundBoxMidiLinkTest, UnderHoldAKeyReleasedAfterTheBankChangedStopsTheSampleItStarted) {
    // Two banks whose first pads play second-long samples; HOLD is on, so a
    // released key ends its sample. In pad mode (notes 60-71) and in the mode
    // where notes name samples of every bank (bank 0 pad 0 is note 0).
    engine::InMemorySoundLibrary library;
    std::vector<engine::LibrarySample> samples;
    for (int bank = 0; bank < 2; ++bank) {
        const std::string path = "Documents/bank" + std::to_string(bank) + ".wav";
        platform::WaveWriter writer;
        ASSERT_TRUE(writer.open(sandbox.absolutePath(path), 1, 44100, 44100));
        std::vector<int32_t> frames(44100, 1000 << 9);
        const int32_t* channels[1] = {frames.data()};
        ASSERT_TRUE(writer.write(channels, static_cast<uint32_t>(frames.size())));
        ASSERT_TRUE(writer.close());
        samples.push_back({path, path, 1.0f});
        library.setBank(static_cast<uint64_t>(bank), {{0, true, samples.back()}});
    }
    library.setSamples(samples);
    auto device = std::make_unique<platform::ManualAudioDevice>(44100.0, 256, 1'000'000'000);
    platform::ManualAudioDevice& sound = *device;
    engine::SoundBox box(std::move(device), sandbox, loop, &library);
    box.setHoldTapPadTracks(true);
    auto hub = startHub();
    SoundBoxMidiLink link(box, *hub);
    platform::MidiEndpointRef keys = backend.addSource("Keys");
    loop.runPending();
    hub->receiveNotesFrom("Keys", true);

    for (const bool padMode : {true, false}) {
        SCOPED_TRACE(padMode ? "notes play pads" : "notes play samples of every bank");
        hub->setNotesMapToButtons(padMode);
        box.reloadSoundbanks();
        box.currentSoundbankChanged(0);
        box.waitForPreloads();
        const uint8_t note = padMode ? 60 : 0;
        backend.play(keys, {0x90, note, 100});
        hub->waitUntilActionThreadIdle();
        sound.renderBuffer();
        ASSERT_TRUE(box.isPlaying(samples[0].filePath));

        box.currentSoundbankChanged(1);  // the other bank while the key is down
        if (!padMode) {  // the banks trade places: note 0 names the other sample now
            library.setBank(0, {{0, true, samples[1]}});
            library.setBank(1, {{0, true, samples[0]}});
            box.reloadSoundbanks();
        }
        backend.play(keys, {0x80, note, 0});
        hub->waitUntilActionThreadIdle();
        for (int block = 0; block < 4; ++block) sound.renderBuffer();
        EXPECT_FALSE(box.isPlaying(samples[0].filePath));
        EXPECT_FALSE(box.isPlaying(samples[1].filePath));
    }
}

TEST_F(SoundBoxMidiLinkTest, AnOutsideClockDrivesTheSequencerAndItsOwnClockGoesOut) {
    auto hub = startHub();
    sequencer::MidiControllerClockOut clockOut(*hub);
    MemoryPatternStore store;
    QuietSequencerEngine engine;
    sequencer::Sequencer sequencer(
        sequencer::SequencerServices{engine, store, &clockOut, loop, clock, sequencer::LoopDriver::manual});
    sequencer::MidiClockFollower follower(*hub, sequencer);

    platform::MidiEndpointRef box = backend.addSource("Clock Box");
    platform::MidiEndpointRef drums = backend.addDestination("Drum Machine");
    loop.runPending();
    hub->receiveClockFrom("Clock Box", true);
    hub->sendClockTo("Drum Machine", true);

    // Song position 20 sixteenths while stopped: step 4.
    backend.play(box, {0xF2, 20, 0});
    hub->waitUntilActionThreadIdle();
    EXPECT_EQ(sequencer.currentStep(), 4);

    // Start, then twelve ticks: the first tick begins step 0, the seventh step 1.
    backend.play(box, {0xFA});
    hub->waitUntilActionThreadIdle();
    EXPECT_EQ(sequencer.currentState(), sequencer::Sequencer::kStateMidiClock);
    for (int tick = 0; tick < 12; ++tick) {
        clock.advance(20 * platform::kNanosPerMillisecond);
        backend.play(box, {0xF8});
        hub->waitUntilActionThreadIdle();
    }
    EXPECT_EQ(sequencer.currentStep(), 1);
    backend.play(box, {0xFC});
    hub->waitUntilActionThreadIdle();
    EXPECT_EQ(sequencer.currentState(), sequencer::Sequencer::kStateStopped);

    // Playing on its own clock sends start and ticks to the drum machine.
    sequencer.playWithPreBar(false);
    sequencer.runLoopUntil(clock.nowNanos() + platform::kNanosPerSecond);
    hub->waitUntilActionThreadIdle();  // the hub's action thread sends the clock the loop asked for
    clock.advance(platform::kNanosPerSecond);
    backend.deliverDue();
    sequencer.stop();
    hub->waitUntilActionThreadIdle();
    auto got = backend.receivedBy(drums);
    ASSERT_GE(got.size(), 7u);
    EXPECT_EQ(got.front().bytes, Bytes{0xFA});
    EXPECT_GE(std::count_if(got.begin(), got.end(), [](const auto& r) { return r.bytes == Bytes{0xF8}; }), 6);
    EXPECT_EQ(got.back().bytes, Bytes{0xFC});
}

}  // namespace
}  // namespace strombel::midi
