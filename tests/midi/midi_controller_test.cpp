#include "midi/midi_controller.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <fstream>
#include <mutex>
#include <sstream>
#include <thread>
#include <vector>

#include "platform/application_state.h"
#include "platform/host_time.h"
#include "platform/devices/loopback_midi_backend.h"
#include "platform/devices/jack_opener.h"
#include "platform/devices/rtmidi_backend.h"
#include "platform/sandbox.h"
#include "support/recording_logger.h"
#include "support/temp_dir.h"

namespace strombel::midi {
namespace {

using platform::LoopbackMidiBackend;
using platform::MidiEndpointRef;
using Bytes = std::vector<uint8_t>;

// Stands for the engine: remembers what the hub asked it to do.
struct RecordingEngine : MidiSoundEngine {
    struct Call {
        std::string what;
        int64_t index;
        double velocity;
    };
    std::mutex mutex;
    std::vector<Call> calls;
    void record(std::string what, int64_t index, double velocity) {
        std::lock_guard lock(mutex);
        calls.push_back({std::move(what), index, velocity});
    }
    void startSoundbankSample(int64_t pad, double velocity) override { record("start pad", pad, velocity); }
    void stopSoundbankSample(int64_t pad) override { record("stop pad", pad, 0); }
    void startTrackForMidiNote(int32_t note, double velocity) override { record("start note", note, velocity); }
    void stopTrackForMidiNote(int32_t note) override { record("stop note", note, 0); }
    std::vector<Call> taken() {
        std::lock_guard lock(mutex);
        return std::exchange(calls, {});
    }
};

// Stands for the sequencer following the clock: it reads the tempo off the tick
// spacing (24 ticks to a quarter note) and keeps the song position.
struct FollowingSequencer : MidiClockDelegate {
    explicit FollowingSequencer(platform::Clock& clock) : clock(clock) {}
    platform::Clock& clock;
    std::vector<std::string> events;
    std::vector<uint64_t> tickTimes;
    int32_t position = -1;
    void midiClockStartReceived() override { events.push_back("start"); }
    void midiClockContinueReceived() override { events.push_back("continue"); }
    void midiClockStopReceived() override { events.push_back("stop"); }
    void midiClockSongPosition(int32_t p) override {
        events.push_back("position");
        position = p;
    }
    void midiClockTickReceived() override { tickTimes.push_back(clock.nowNanos()); }
    double tempo() const {
        if (tickTimes.size() < 2) return 0;
        const double tick = double(tickTimes.back() - tickTimes.front()) / double(tickTimes.size() - 1);
        return 60.0 * 1e9 / (24.0 * tick);
    }
};

struct LearnRecorder : MidiLearnDelegate {
    std::vector<std::pair<uint64_t, int32_t>> learned;
    void midiLearnBtn(uint64_t pad, int32_t note) override { learned.emplace_back(pad, note); }
};

struct PortsRecorder : MidiPortsDelegate {
    int sources = 0, destinations = 0;
    void sourcePortsChanged() override { ++sources; }
    void destinationPortsChanged() override { ++destinations; }
};

class MidiControllerTest : public ::testing::Test {
protected:
    MidiControllerTest() { loop.bindToCurrentThread(); }

    std::unique_ptr<MidiController> startHub() {
        return std::make_unique<MidiController>(MidiController::Setup{
            backend, loop, center, *defaults, dir / "Documents", "Tumblecraft", &engine});
    }

    // A keyboard whose notes the hub plays.
    MidiEndpointRef plugInKeys(MidiController& hub, const std::string& name = "Keys") {
        MidiEndpointRef keys = backend.addSource(name);
        loop.runPending();
        hub.receiveNotesFrom(name, true);
        return keys;
    }

    void play(MidiController& hub, MidiEndpointRef source, Bytes bytes) {
        backend.play(source, std::move(bytes));
        hub.waitUntilActionThreadIdle();
    }

    std::string readFile(const std::filesystem::path& path) {
        std::ifstream in(path);
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    }

    testing::TempDir dir;
    platform::ManualClock clock;
    platform::MainLoop loop{clock};
    platform::NotificationCenter center;
    std::unique_ptr<platform::UserDefaults> defaults = std::make_unique<platform::UserDefaults>(dir / "defaults.sqlite");
    LoopbackMidiBackend backend{clock};
    RecordingEngine engine;
};

TEST_F(MidiControllerTest, TheFirstStartWritesTheDefaultNoteMap) {
    auto hub = startHub();
    const std::filesystem::path file = dir / "Documents" / ".noteToButtonMap.dict";
    ASSERT_TRUE(std::filesystem::exists(file));
    auto stored = decodeNoteToButtonMap(readFile(file));
    ASSERT_TRUE(stored);
    EXPECT_EQ(stored->size(), 12u);
    for (int pad = 0; pad < 12; ++pad) EXPECT_EQ(stored->at(60 + pad), pad);
    EXPECT_EQ(hub->noteToButtonMap(), *stored);
    EXPECT_EQ(hub->midiLearnBtnIdx(), kNotFound);
    EXPECT_TRUE(hub->notesMapToButtons());
    EXPECT_EQ(hub->channel(), -1);
}

TEST_F(MidiControllerTest, AnUnreadableNoteMapIsSetAsideNotOverwritten) {
    std::filesystem::create_directories(dir / "Documents");
    const std::filesystem::path file = dir / "Documents" / ".noteToButtonMap.dict";
    { std::ofstream(file) << "{\"noteToButtonMap\": {\"36\": 0, "; }  // cut short
    auto hub = startHub();
    ASSERT_TRUE(hub->setAsideNoteMapPath());
    EXPECT_EQ(readFile(*hub->setAsideNoteMapPath()), "{\"noteToButtonMap\": {\"36\": 0, ");
    EXPECT_EQ(hub->noteToButtonMap(), defaultNoteToButtonMap());
    EXPECT_EQ(decodeNoteToButtonMap(readFile(file)), defaultNoteToButtonMap());
}

TEST_F(MidiControllerTest, ANoteMapTheDiskWillNotReadIsKeptAsItIs) {
    // A folder where the file belongs: reading fails, but nothing says the
    // user's map is damaged, so nothing is moved or written over.
    const std::filesystem::path file = dir / "Documents" / ".noteToButtonMap.dict";
    std::filesystem::create_directories(file);
    std::ofstream(file / "inside") << "kept";
    auto hub = startHub();
    EXPECT_FALSE(hub->setAsideNoteMapPath());
    EXPECT_EQ(hub->noteToButtonMap(), defaultNoteToButtonMap());
    EXPECT_FALSE(hub->persistMidiMaps());
    EXPECT_TRUE(std::filesystem::is_directory(file));
    EXPECT_EQ(readFile(file / "inside"), "kept");
}

TEST_F(MidiControllerTest, NoteMapsOutOfRangeAreNotTaken) {
    for (const char* text : {"{\"noteToButtonMap\": {\"200\": 0}}", "{\"noteToButtonMap\": {\"60\": 12}}",
                             "{\"other\": {}}", "", "{\"noteToButtonMap\": {\"60\": 0}} trailing"}) {
        EXPECT_FALSE(decodeNoteToButtonMap(text)) << text;
    }
    EXPECT_EQ(decodeNoteToButtonMap("{\"noteToButtonMap\": {}}"), NoteToButtonMap{});
}

TEST_F(MidiControllerTest, NotesFromTheKeyboardPlayPadsWithTheirVelocity) {
    auto hub = startHub();
    MidiEndpointRef keys = plugInKeys(*hub);
    struct Case {
        Bytes bytes;
        std::string what;
        int64_t index;
        double velocity;
    } cases[] = {
        {{0x90, 60, 100}, "start pad", 0, 1.0},  {{0x90, 71, 127}, "start pad", 11, 1.27},
        {{0x90, 61, 1}, "start pad", 1, 0.01},   {{0x90, 62, 0}, "stop pad", 2, 0},
        {{0x80, 63, 64}, "stop pad", 3, 0},      {{0x90, 30, 100}, "start pad", -1, 1.0},
        {{0x80, 30, 0}, "stop pad", -1, 0},
    };
    for (const Case& c : cases) {
        play(*hub, keys, c.bytes);
        auto calls = engine.taken();
        ASSERT_EQ(calls.size(), 1u) << int(c.bytes[1]);
        EXPECT_EQ(calls[0].what, c.what);
        EXPECT_EQ(calls[0].index, c.index);
        EXPECT_DOUBLE_EQ(calls[0].velocity, c.velocity);
    }
}

TEST_F(MidiControllerTest, InNumberModeNotesPlayAcrossBanks) {
    auto hub = startHub();
    MidiEndpointRef keys = plugInKeys(*hub);
    hub->setNotesMapToButtons(false);
    play(*hub, keys, {0x90, 30, 50, 0x90, 30, 0, 0x80, 31, 0});
    auto calls = engine.taken();
    ASSERT_EQ(calls.size(), 3u);
    EXPECT_EQ(calls[0].what, "start note");
    EXPECT_EQ(calls[0].index, 30);
    EXPECT_DOUBLE_EQ(calls[0].velocity, 0.5);
    EXPECT_EQ(calls[1].what, "stop note");
    EXPECT_EQ(calls[2].what, "stop note");
    EXPECT_EQ(calls[2].index, 31);
}

TEST_F(MidiControllerTest, ThreeNotesInOnePacketPlayInOrder) {
    auto hub = startHub();
    MidiEndpointRef keys = plugInKeys(*hub);
    play(*hub, keys, {0x90, 60, 100, 0x90, 64, 100, 0x90, 67, 100});
    auto calls = engine.taken();
    ASSERT_EQ(calls.size(), 3u);
    EXPECT_EQ(calls[0].index, 0);
    EXPECT_EQ(calls[1].index, 4);
    EXPECT_EQ(calls[2].index, 7);
}

TEST_F(MidiControllerTest, ALongRunningStatusPacketPlaysEveryNote) {
    auto hub = startHub();
    MidiEndpointRef keys = plugInKeys(*hub);
    // One status byte, then 75 notes in running status: 151 bytes, longer than
    // what the read thread hands over in one piece.
    Bytes packet = {0x90};
    for (int i = 0; i < 75; ++i) {
        packet.push_back(uint8_t(60 + i % 12));
        packet.push_back(uint8_t(1 + i));
    }
    play(*hub, keys, packet);
    auto calls = engine.taken();
    ASSERT_EQ(calls.size(), 75u);
    for (int i = 0; i < 75; ++i) {
        EXPECT_EQ(calls[size_t(i)].what, "start pad") << i;
        EXPECT_EQ(calls[size_t(i)].index, i % 12) << i;
        EXPECT_DOUBLE_EQ(calls[size_t(i)].velocity, (1 + i) / 100.0) << i;
    }
}

TEST_F(MidiControllerTest, SplitSysExIsDroppedAndTheNoteAfterItPlays) {
    auto hub = startHub();
    MidiEndpointRef keys = plugInKeys(*hub);
    const Bytes first = {0xF0, 0x7E, 0x10}, second = {0x11, 0xF7}, third = {0x90, 62, 100};
    platform::MidiPacket packets[3] = {{0, first}, {0, second}, {0, third}};
    backend.play(keys, platform::MidiPacketList(packets, 3));
    hub->waitUntilActionThreadIdle();
    auto calls = engine.taken();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].index, 2);
}

TEST_F(MidiControllerTest, TheChannelFilterKeepsOneChannel) {
    auto hub = startHub();
    MidiEndpointRef keys = plugInKeys(*hub);
    hub->setChannel(3);
    play(*hub, keys, {0x93, 60, 100, 0x94, 61, 100});
    auto calls = engine.taken();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].index, 0);
    hub->setChannel(-1);
    play(*hub, keys, {0x94, 61, 100});
    EXPECT_EQ(engine.taken().size(), 1u);
    hub->setChannel(16);  // not a channel: omni
    EXPECT_EQ(hub->channel(), -1);
}

TEST_F(MidiControllerTest, LearningMovesANoteToThePad) {
    auto hub = startHub();
    MidiEndpointRef keys = plugInKeys(*hub);
    LearnRecorder learner;
    hub->setMidiLearnDelegate(&learner);
    hub->startMidiLearnForBtn(0);
    play(*hub, keys, {0x90, 36, 127, 0x80, 36, 0});
    EXPECT_TRUE(engine.taken().empty());  // learning plays nothing, and ignores note offs
    EXPECT_EQ(learner.learned, (std::vector<std::pair<uint64_t, int32_t>>{{0, 36}}));
    hub->stopMidiLearning();
    EXPECT_EQ(hub->midiLearnBtnIdx(), kNotFound);

    NoteToButtonMap map = hub->noteToButtonMap();
    EXPECT_EQ(map.count(60), 0u);
    EXPECT_EQ(map.at(36), 0);
    EXPECT_EQ(hub->buttonIdxToNoteMap().at(0), 36);
    // Outgoing notes for pad 0 stay 60.
    EXPECT_EQ(MidiController::buttonToNote(0), 60);

    play(*hub, keys, {0x90, 36, 100, 0x90, 60, 100});
    auto calls = engine.taken();
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[0].index, 0);
    EXPECT_EQ(calls[1].index, -1);

    // Saved, and read back by the next start.
    hub.reset();
    auto again = startHub();
    EXPECT_EQ(again->noteToButtonMap(), map);
}

TEST_F(MidiControllerTest, NotesLearnedWhileLearnIsStillOnAreKeptAtQuit) {
    const std::filesystem::path file = dir / "Documents" / ".noteToButtonMap.dict";
    auto hub = startHub();
    MidiEndpointRef keys = plugInKeys(*hub);
    hub->startMidiLearnForBtn(0);
    play(*hub, keys, {0x90, 36, 100});
    // The program's quit notice writes the map, LEARN still lit.
    center.post(platform::kApplicationWillTerminateNotification);
    auto stored = decodeNoteToButtonMap(readFile(file));
    ASSERT_TRUE(stored);
    EXPECT_EQ(stored->at(36), 0);

    // A hub that ends without that notice (or without learning stopped) keeps them too.
    hub->startMidiLearnForBtn(1);
    play(*hub, keys, {0x90, 37, 100});
    hub.reset();
    EXPECT_EQ(startHub()->buttonIdxToNoteMap().at(1), 37);
}

TEST_F(MidiControllerTest, ANoteLearnedForASecondPadMovesThere) {
    auto hub = startHub();
    MidiEndpointRef keys = plugInKeys(*hub);
    hub->startMidiLearnForBtn(0);
    play(*hub, keys, {0x90, 36, 100});
    hub->startMidiLearnForBtn(5);
    play(*hub, keys, {0x90, 36, 100});
    hub->stopMidiLearning();
    auto pads = hub->buttonIdxToNoteMap();
    EXPECT_EQ(pads.at(5), 36);
    EXPECT_EQ(pads.count(0), 0u);
    EXPECT_EQ(hub->noteToButtonMap().count(65), 0u);
}

TEST_F(MidiControllerTest, NoNoteIsLearnedForAPadBeyondTheTwelveAndTheLearnedMapSurvives) {
    auto hub = startHub();
    MidiEndpointRef keys = plugInKeys(*hub);
    LearnRecorder learner;
    hub->setMidiLearnDelegate(&learner);
    hub->startMidiLearnForBtn(0);
    play(*hub, keys, {0x90, 36, 100});
    for (uint64_t pad : {uint64_t(12), uint64_t(1000)}) {
        hub->startMidiLearnForBtn(pad);
        play(*hub, keys, {0x90, 64, 100});
    }
    hub->stopMidiLearning();
    EXPECT_TRUE(engine.taken().empty()) << "learning plays nothing";
    EXPECT_EQ(learner.learned, (std::vector<std::pair<uint64_t, int32_t>>{{0, 36}}));
    EXPECT_EQ(hub->noteToButtonMap().at(64), 4) << "note 64 stays on its pad";

    // The map file reads back whole at the next start, the learned note in it.
    hub.reset();
    EXPECT_EQ(startHub()->buttonIdxToNoteMap().at(0), 36);
}

TEST_F(MidiControllerTest, NotesFromSourcesNotChosenAreIgnored) {
    auto hub = startHub();
    MidiEndpointRef stranger = backend.addSource("Stranger");
    loop.runPending();
    play(*hub, stranger, {0x90, 60, 100});
    EXPECT_TRUE(engine.taken().empty());
    EXPECT_EQ(backend.connectionCount(stranger), 1u);

    MidiEndpointRef keys = plugInKeys(*hub);
    hub->receiveNotesFrom("Keys", false);
    play(*hub, keys, {0x90, 60, 100});
    EXPECT_TRUE(engine.taken().empty());
}

TEST_F(MidiControllerTest, WhitelistsPersistAndAbsentPortsAreAttachedWhenTheyAppear) {
    {
        auto hub = startHub();
        hub->receiveNotesFrom("Keys", true);
        hub->receiveClockFrom("Clock Box", true);
        hub->sendNotesTo("Synth", true);
        hub->sendClockTo("Drum Machine", true);
    }
    EXPECT_EQ(defaults->stringArrayForKey("NOTES_IN_WHITELIST"), std::vector<std::string>{"Keys"});
    EXPECT_EQ(defaults->stringForKey("CLOCK_IN_WHITELIST"), "Clock Box");
    EXPECT_EQ(defaults->stringArrayForKey("NOTES_OUT_WHITELIST"), std::vector<std::string>{"Synth"});
    EXPECT_EQ(defaults->stringArrayForKey("CLOCK_OUT_WHITELIST"), std::vector<std::string>{"Drum Machine"});

    auto hub = startHub();
    PortsRecorder ports;
    hub->setMidiPortsDelegate(&ports);
    MidiEndpointRef keys = backend.addSource("Keys");
    MidiEndpointRef synth = backend.addDestination("Synth");
    backend.addDestination("Other");
    loop.runPending();
    EXPECT_EQ(ports.sources, 1);
    EXPECT_EQ(ports.destinations, 2);

    play(*hub, keys, {0x90, 61, 100});
    EXPECT_EQ(engine.taken().size(), 1u);
    hub->soundbankTrackStarted(1);
    auto sent = backend.receivedBy(synth);
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].bytes, (Bytes{0x9A, 61, 127}));

    auto rows = hub->destinations();
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[0].name, "Synth");
    EXPECT_TRUE(rows[0].processNotes);
    EXPECT_FALSE(rows[0].processTempo);
    EXPECT_FALSE(rows[1].processNotes);
    auto sourceRows = hub->sources();
    ASSERT_EQ(sourceRows.size(), 1u);
    EXPECT_TRUE(sourceRows[0].processNotes);
    EXPECT_FALSE(sourceRows[0].processTempo);
    hub->setMidiPortsDelegate(nullptr);
}

TEST_F(MidiControllerTest, TheClockSourceDrivesTheSequencerButPlaysNoNotes) {
    auto hub = startHub();
    FollowingSequencer sequencer(clock);
    hub->setMidiClockDelegate(&sequencer);
    MidiEndpointRef box = backend.addSource("Clock Box");
    loop.runPending();
    hub->receiveClockFrom("Clock Box", true);

    play(*hub, box, {0x90, 60, 100});
    EXPECT_TRUE(engine.taken().empty());

    // Song position 20 sixteenths, then start, a bar of ticks at 128 BPM, and stop.
    play(*hub, box, {0xF2, 20, 0});
    play(*hub, box, {0xFA});
    const uint64_t tick = 60'000'000'000ull / 128 / 24;
    for (int i = 0; i < 96; ++i) {
        play(*hub, box, {0xF8});
        clock.advance(tick);
    }
    play(*hub, box, {0xFB, 0xFC});
    EXPECT_EQ(sequencer.events, (std::vector<std::string>{"position", "start", "continue", "stop"}));
    EXPECT_EQ(sequencer.position, 20);
    EXPECT_EQ(sequencer.tickTimes.size(), 96u);
    EXPECT_NEAR(sequencer.tempo(), 128.0, 0.01);

    play(*hub, box, {0xF2, 0x10, 0x02});
    EXPECT_EQ(sequencer.position, 0x10 + 2 * 128);
    hub->setMidiClockDelegate(nullptr);
}

TEST_F(MidiControllerTest, ClockFromASecondSourceReplacesTheFirst) {
    auto hub = startHub();
    FollowingSequencer sequencer(clock);
    hub->setMidiClockDelegate(&sequencer);
    MidiEndpointRef first = plugInKeys(*hub, "First");
    MidiEndpointRef second = backend.addSource("Second");
    loop.runPending();
    hub->receiveClockFrom("First", true);
    hub->receiveClockFrom("Second", true);
    EXPECT_EQ(defaults->stringForKey("CLOCK_IN_WHITELIST"), "Second");

    play(*hub, first, {0xFA, 0x90, 60, 100});
    play(*hub, second, {0xFA});
    EXPECT_EQ(sequencer.events, std::vector<std::string>{"start"});
    EXPECT_EQ(engine.taken().size(), 1u);  // the first still plays its notes

    hub->receiveClockFrom("First", false);  // not the clock source: nothing changes
    EXPECT_EQ(defaults->stringForKey("CLOCK_IN_WHITELIST"), "Second");
    hub->receiveClockFrom("Second", false);
    EXPECT_FALSE(defaults->hasObject("CLOCK_IN_WHITELIST"));
    EXPECT_EQ(backend.connectionCount(second), 1u);
    play(*hub, second, {0xFA});
    EXPECT_EQ(sequencer.events.size(), 1u);
    hub->setMidiClockDelegate(nullptr);
}

TEST_F(MidiControllerTest, PadsSendNotesOnTheChosenChannel) {
    auto hub = startHub();
    MidiEndpointRef synth = backend.addDestination("Synth");
    loop.runPending();
    hub->soundbankTrackStarted(0);  // nowhere to send yet
    hub->sendNotesTo("Synth", true);
    hub->soundbankTrackStarted(0);
    hub->soundbankTrackStopped(0);
    hub->setChannel(5);
    hub->soundbankTrackStarted(11);
    hub->soundbankTrackStarted(12);  // no such pad
    hub->midiNoteOn(40);             // number mode only
    hub->setNotesMapToButtons(false);
    hub->midiNoteOn(40);
    hub->midiNoteOff(40);
    hub->soundbankTrackStarted(3);  // map mode only
    hub->sendNoteOn(128);           // not a note

    std::vector<Bytes> got;
    for (const auto& received : backend.receivedBy(synth)) got.push_back(received.bytes);
    EXPECT_EQ(got, (std::vector<Bytes>{{0x9A, 60, 127}, {0x8A, 60, 0}, {0x95, 71, 127}, {0x95, 40, 127}, {0x85, 40, 0}}));
}

TEST_F(MidiControllerTest, ADestinationThatLeavesGetsNothingAndIsChosenAgainWhenBack) {
    auto hub = startHub();
    MidiEndpointRef synth = backend.addDestination("Synth");
    loop.runPending();
    hub->sendNotesTo("Synth", true);
    backend.removeEndpoint(synth);
    loop.runPending();
    hub->soundbankTrackStarted(0);
    EXPECT_TRUE(backend.receivedBy(synth).empty());
    EXPECT_FALSE(hub->destinations().size());

    MidiEndpointRef back = backend.addDestination("Synth");
    loop.runPending();
    hub->soundbankTrackStarted(0);
    EXPECT_EQ(backend.receivedBy(back).size(), 1u);
}

TEST_F(MidiControllerTest, ClockGoesOutOnTimeAndCancelDropsWhatIsScheduled) {
    auto hub = startHub();
    MidiEndpointRef drums = backend.addDestination("Drum Machine");
    loop.runPending();
    hub->sendClockTo("Drum Machine", true);

    // As the sequencer does at 128 BPM: six ticks per sixteenth-note step.
    const uint64_t step = 60'000'000'000ull / 128 / 4;
    const uint64_t tick = step / 6;
    const uint64_t start = clock.nowNanos();
    hub->sendClockStart();
    hub->sendClockTickAtTime(0);
    for (uint64_t k = 1; k <= 12; ++k) hub->sendClockTickAtTime(platform::nanosToHostTime(start + k * tick));
    hub->waitUntilActionThreadIdle();  // the action thread sends what the sequencer asked for
    ASSERT_EQ(backend.receivedBy(drums).size(), 2u);  // start and the tick for now

    for (uint64_t k = 1; k <= 6; ++k) {
        clock.advance(tick - 1);
        backend.deliverDue();
        EXPECT_EQ(backend.receivedBy(drums).size(), 2u + k - 1) << "tick " << k << " went early";
        clock.advance(1);
        backend.deliverDue();
        auto got = backend.receivedBy(drums);
        ASSERT_EQ(got.size(), 2u + k);
        EXPECT_EQ(got.back().bytes, Bytes{0xF8});
        EXPECT_EQ(got.back().deliveredNanos, start + k * tick);
    }
    hub->cancelScheduledMidiMessages();
    hub->sendClockStop();
    hub->waitUntilActionThreadIdle();
    clock.advance(10 * step);
    backend.deliverDue();
    auto got = backend.receivedBy(drums);
    ASSERT_EQ(got.size(), 9u);
    EXPECT_EQ(got.front().bytes, Bytes{0xFA});
    EXPECT_EQ(got.back().bytes, Bytes{0xFC});
}

TEST_F(MidiControllerTest, ACancelDropsTicksAskedForJustBeforeIt) {
    auto hub = startHub();
    MidiEndpointRef drums = backend.addDestination("Drum Machine");
    loop.runPending();
    hub->sendClockTo("Drum Machine", true);
    const uint64_t tick = 60'000'000'000ull / 128 / 24;
    // As the sequencer does when it stops: the next step's ticks are already
    // asked for, and the cancel follows at once, before the action thread ran.
    for (int round = 0; round < 50; ++round) {
        const uint64_t start = clock.nowNanos();
        for (uint64_t k = 1; k <= 6; ++k) hub->sendClockTickAtTime(platform::nanosToHostTime(start + k * tick));
        hub->cancelScheduledMidiMessages();
        hub->waitUntilActionThreadIdle();
        clock.advance(10 * tick);
        backend.deliverDue();
        ASSERT_TRUE(backend.receivedBy(drums).empty()) << "round " << round;
    }
    // A tick asked for after the cancel goes out.
    hub->sendClockTickAtTime(platform::nanosToHostTime(clock.nowNanos() + tick));
    hub->waitUntilActionThreadIdle();
    clock.advance(tick);
    backend.deliverDue();
    EXPECT_EQ(backend.receivedBy(drums).size(), 1u);
}

TEST_F(MidiControllerTest, NotesAndClockAreChosenAndDroppedEachOnItsOwn) {
    auto hub = startHub();
    MidiEndpointRef synth = backend.addDestination("Synth");
    MidiEndpointRef drums = backend.addDestination("Drum Machine");
    loop.runPending();
    hub->sendNotesTo("Synth", true);
    hub->sendClockTo("Drum Machine", true);
    hub->sendNotesTo("Drum Machine", true);
    hub->sendNotesTo("Drum Machine", false);  // notes stop; the clock stays
    hub->sendClockTo("Synth", false);         // never chosen: nothing changes

    hub->soundbankTrackStarted(0);
    hub->sendClockStart();
    hub->waitUntilActionThreadIdle();
    auto bytesTo = [&](MidiEndpointRef endpoint) {
        std::vector<Bytes> got;
        for (const auto& received : backend.receivedBy(endpoint)) got.push_back(received.bytes);
        return got;
    };
    EXPECT_EQ(bytesTo(synth), (std::vector<Bytes>{{0x9A, 60, 127}}));
    EXPECT_EQ(bytesTo(drums), (std::vector<Bytes>{{0xFA}}));
    EXPECT_EQ(defaults->stringArrayForKey("NOTES_OUT_WHITELIST"), std::vector<std::string>{"Synth"});
    EXPECT_EQ(defaults->stringArrayForKey("CLOCK_OUT_WHITELIST"), std::vector<std::string>{"Drum Machine"});
    auto rows = hub->destinations();
    ASSERT_EQ(rows.size(), 2u);
    for (const auto& row : rows) {
        EXPECT_EQ(row.processNotes, row.name == "Synth") << row.name;
        EXPECT_EQ(row.processTempo, row.name == "Drum Machine") << row.name;
    }

    hub->sendClockTo("Drum Machine", false);
    hub->sendClockStop();
    hub->waitUntilActionThreadIdle();
    EXPECT_EQ(bytesTo(drums).size(), 1u);
    EXPECT_TRUE(defaults->stringArrayForKey("CLOCK_OUT_WHITELIST").empty());
}

TEST_F(MidiControllerTest, NoClockGoesOutWithoutAClockDestination) {
    auto hub = startHub();
    MidiEndpointRef drums = backend.addDestination("Drum Machine");
    loop.runPending();
    hub->sendClockStart();
    hub->sendClockTickAtTime(0);
    hub->sendClockStop();
    EXPECT_TRUE(backend.receivedBy(drums).empty());
}

TEST_F(MidiControllerTest, TheHubNeverListensToItselfNorSendsToItself) {
    auto hub = startHub();
    EXPECT_TRUE(hub->midi().virtualSourceEnabled());
    EXPECT_TRUE(hub->midi().virtualDestinationEnabled());
    EXPECT_TRUE(hub->sources().empty());
    EXPECT_TRUE(hub->destinations().empty());
    hub->receiveNotesFrom("Tumblecraft", true);
    const Bytes note = {0x90, 60, 100};
    platform::MidiPacket packet{0, note};
    backend.sendToVirtualDestination(hub->midi().virtualDestinationEndpoint(), {&packet, 1});
    hub->waitUntilActionThreadIdle();
    EXPECT_TRUE(engine.taken().empty());
}

TEST_F(MidiControllerTest, HostileBytesFromAChosenSourceDoNoHarm) {
    auto hub = startHub();
    MidiEndpointRef keys = plugInKeys(*hub);
    Bytes noise;
    uint32_t state = 12345;
    for (int i = 0; i < 20000; ++i) {
        state = state * 1103515245u + 12345u;
        noise.push_back(static_cast<uint8_t>(state >> 16));
    }
    play(*hub, keys, noise);
    play(*hub, keys, {0xF7, 0x90, 65, 100});
    auto calls = engine.taken();
    ASSERT_FALSE(calls.empty());
    EXPECT_EQ(calls.back().index, 5);
}

TEST_F(MidiControllerTest, WithoutAMidiSystemTheHubStillStarts) {
    platform::RtMidiBackend none(platform::RtMidiBackend::System::none, platform::SystemClock::shared(),
                                 platform::JackOpener::shared());
    MidiController hub({none, loop, center, *defaults, dir / "Documents", "Tumblecraft", &engine});
    EXPECT_TRUE(hub.midi().virtualSourceEnabled());
    EXPECT_TRUE(hub.sources().empty());
    EXPECT_TRUE(hub.destinations().empty());
    hub.sendNotesTo("Synth", true);
    hub.soundbankTrackStarted(0);
    hub.sendClockStart();
    loop.advance(2 * platform::kNanosPerSecond);  // the rescan finds nothing and harms nothing
    EXPECT_TRUE(hub.sources().empty());
}

TEST_F(MidiControllerTest, AnAbsenceThatLastsIsToldAndSoIsTheReturnAShortOneIsNot) {
    auto logger = std::make_shared<logging::testing::RecordingLogger>();
    logging::Log::addLogger(logger);
    logging::setLogLevel(logging::LogFlagError | logging::LogFlagWarning);  // the program's level
    auto said = [&](const std::string& text) {
        logging::Log::flushLog();
        const auto lines = logger->lines();
        return std::count_if(lines.begin(), lines.end(),
                             [&](const std::string& line) { return line.find(text) != std::string::npos; });
    };
    auto hub = startHub();
    loop.advance(platform::kNanosPerSecond + 1);
    EXPECT_EQ(said("MIDI is back"), 0) << "a system there from the start never went";

    // Away for less than the grace (a JACK server that refused one opening and
    // was taken up again at the next rescan): nothing is told either way.
    backend.setAvailable(false);
    loop.advance(platform::kNanosPerSecond + 1);
    backend.setAvailable(true);
    loop.advance(MidiController::kAbsenceGrace);
    EXPECT_EQ(said("went away"), 0);
    EXPECT_EQ(said("MIDI is back"), 0);

    backend.setAvailable(false);
    loop.advance(platform::kNanosPerSecond + 1);
    EXPECT_EQ(said("went away"), 0) << "within the grace";
    loop.advance(MidiController::kAbsenceGrace);
    EXPECT_EQ(said("The MIDI system went away"), 1);
    backend.setAvailable(true);
    loop.advance(platform::kNanosPerSecond + 1);
    EXPECT_EQ(said("MIDI is back: Strombel's MIDI ports are on loopback again"), 1);
    loop.advance(3 * platform::kNanosPerSecond);
    EXPECT_EQ(said("MIDI is back"), 1) << "said once";
    EXPECT_EQ(said("went away"), 1);
    hub.reset();
    logging::testing::resetLogging();
}

TEST_F(MidiControllerTest, SettingsChangeSafelyWhileNotesArrive) {
    auto hub = startHub();
    MidiEndpointRef keys = plugInKeys(*hub);
    backend.addDestination("Synth");
    loop.runPending();
    std::atomic<bool> running{true};
    std::thread keyboard([&] {
        while (running) backend.play(keys, {0x90, 60, 100, 0x80, 60, 0});
    });
    for (int round = 0; round < 40; ++round) {
        hub->receiveNotesFrom("Keys", round % 2 == 0);
        hub->sendNotesTo("Synth", round % 3 == 0);
        hub->setChannel(round % 2 ? 0 : -1);
        hub->startMidiLearnForBtn(round % 12);
        hub->stopMidiLearning();
        hub->soundbankTrackStarted(round % 12);
    }
    running = false;
    keyboard.join();
    hub->waitUntilActionThreadIdle();
    // Whatever was learned along the way, every pad has at most one note.
    std::map<int64_t, int> notesPerPad;
    for (const auto& [note, pad] : hub->noteToButtonMap()) ++notesPerPad[pad];
    for (const auto& [pad, count] : notesPerPad) EXPECT_LE(count, 1) << "pad " << pad;
}

TEST(MidiControllerSharedTest, TheProgramsHubStartsOnWhateverMidiSystemThereIs) {
    testing::TempDir dir;
    platform::Sandbox::setShared(std::make_unique<platform::Sandbox>(dir / "root", dir / "bundle"));
    platform::UserDefaults::setShared(std::make_unique<platform::UserDefaults>(dir / "defaults.sqlite"));
    platform::MainLoop::shared().bindToCurrentThread();
    {
        MidiController& hub = MidiController::shared();
        EXPECT_EQ(&hub, &MidiController::shared());
        EXPECT_TRUE(std::filesystem::exists(dir / "root" / "Documents" / ".noteToButtonMap.dict"));
        EXPECT_TRUE(hub.midi().virtualSourceEnabled());
        EXPECT_EQ(hub.midi().virtualSourceDestination()->name(), "Tumblecraft");
    }
    MidiController::resetShared();
    platform::UserDefaults::setShared(nullptr);
    platform::Sandbox::setShared(nullptr);
}

}  // namespace
}  // namespace strombel::midi
