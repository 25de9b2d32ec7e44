// MIDI input under the test build's real-time guard: the loopback backend plays
// packets on the calling thread marked real-time, as JACK's process thread would
// call RtMidi's input callback, so anything but copying the bytes into the
// hub's ring there (an allocation, a lock, a wait, a log line) aborts the test.

#include <gtest/gtest.h>

#include <array>
#include <condition_variable>
#include <mutex>
#include <vector>

#include "midi/midi_controller.h"
#include "midi/midi_parser.h"
#include "platform/devices/loopback_midi_backend.h"
#include "platform/realtime.h"
#include "platform/sandbox.h"
#include "platform/user_defaults.h"
#include "support/realtime_guard.h"
#include "support/temp_dir.h"

namespace strombel::midi {
namespace {

using Bytes = std::vector<uint8_t>;

/// Stands for the engine, on the action thread: what the notes asked for, in
/// order; it can hold the action thread up until released.
struct RecordingEngine : MidiSoundEngine {
    std::mutex mutex;
    std::condition_variable released;
    std::condition_variable arrived;
    bool holding = false;
    int waiting = 0;             // calls held up right now
    std::vector<int64_t> calls;  // note number, negative for a stop
    void record(int64_t call) {
        std::unique_lock lock(mutex);
        ++waiting;
        arrived.notify_all();
        released.wait(lock, [&] { return !holding; });
        --waiting;
        calls.push_back(call);
    }
    /// Returns once a call is held up in the engine.
    void waitUntilACallIsHeld() {
        std::unique_lock lock(mutex);
        arrived.wait(lock, [&] { return waiting > 0; });
    }
    void startSoundbankSample(int64_t, double) override {}
    void stopSoundbankSample(int64_t) override {}
    void startTrackForMidiNote(int32_t note, double) override { record(note); }
    void stopTrackForMidiNote(int32_t note) override { record(-note); }
    void hold(bool on) {
        {
            std::lock_guard lock(mutex);
            holding = on;
        }
        released.notify_all();
    }
};

class MidiRealtimeTest : public ::testing::Test {
protected:
    MidiRealtimeTest() {
        loop.bindToCurrentThread();
        hub = std::make_unique<MidiController>(
            MidiController::Setup{backend, loop, center, defaults, dir / "Documents", "Tumblecraft", &engine});
        hub->setNotesMapToButtons(false);  // notes by number: the engine sees every note
        keys = backend.addSource("Keys");
        loop.runPending();
        hub->receiveNotesFrom("Keys", true);
    }
    ~MidiRealtimeTest() override { hub.reset(); }

    /// What a parser makes of the same packets, read as a whole.
    static std::vector<int64_t> expectedCalls(const std::vector<Bytes>& packets) {
        std::vector<int64_t> calls;
        MidiParser parser;
        for (const Bytes& bytes : packets) {
            const platform::MidiPacket packet{0, bytes};
            parser.parse(platform::MidiPacketList(&packet, 1), -1, [&](const ParsedMidiMessage& message) {
                if (message.messageType == 0x90) calls.push_back(message.data2 ? message.data1 : -message.data1);
                if (message.messageType == 0x80) calls.push_back(-message.data1);
            });
        }
        return calls;
    }

    strombel::testing::TempDir dir;
    platform::ManualClock clock{5'000'000'000};
    platform::MainLoop loop{clock};
    platform::NotificationCenter center;
    platform::UserDefaults defaults{dir / "defaults.sqlite"};
    platform::LoopbackMidiBackend backend{clock};
    RecordingEngine engine;
    std::unique_ptr<MidiController> hub;
    platform::MidiEndpointRef keys = 0;
};

TEST_F(MidiRealtimeTest, PacketsAreCopiedOnTheReadThreadAndParsedInOrderOnTheActionThread) {
    ASSERT_TRUE(strombel::testing::realtimeGuardActive());
    std::vector<Bytes> packets = {
        {0x90, 60, 100},                                   // a note
        {0x90, 61, 100, 0x90, 62, 100, 0x80, 61, 0},       // three messages in one packet
        {0x90, 63, 90, 64, 90, 65, 0},                     // running status, the last a note off
        {0xF0, 1, 2, 3, 4},                                // SysEx over two packets ...
        {5, 6, 0xF7, 0x90, 66, 80},                        // ... then a note in the same packet
        {0xF8, 0x90, 67, 0xF8, 100},                       // clock bytes inside a message
    };
    Bytes longPacket;  // longer than one record of the ring: it travels in pieces
    for (int i = 0; i < 70; ++i) {
        longPacket.insert(longPacket.end(), {0x90, static_cast<uint8_t>(i), static_cast<uint8_t>(i % 2 ? 0 : 100)});
    }
    packets.push_back(longPacket);
    Bytes longSysEx = {0xF0};
    longSysEx.insert(longSysEx.end(), 300, 0x11);
    longSysEx.insert(longSysEx.end(), {0xF7, 0x90, 68, 70});
    packets.push_back(longSysEx);

    for (const Bytes& bytes : packets) backend.play(keys, bytes);
    hub->waitUntilActionThreadIdle();
    EXPECT_EQ(engine.calls, expectedCalls(packets)) << "pieces parse as the whole packets would";
    EXPECT_EQ(engine.calls.front(), 60);
    EXPECT_EQ(engine.calls.back(), 68);
    EXPECT_EQ(hub->droppedMessages(), 0u);
}

TEST_F(MidiRealtimeTest, AStalledActionThreadNeverHoldsUpTheReadThreadAndDropsAreCounted) {
    engine.hold(true);
    backend.play(keys, Bytes{0x90, 1, 100});  // the action thread takes this one and waits
    // Until it has taken it, the ring holds it: a slot freed after the ring
    // filled would let a later message in behind dropped ones.
    engine.waitUntilACallIsHeld();
    for (int i = 0; i < 3000; ++i) backend.play(keys, Bytes{0x90, static_cast<uint8_t>(i % 128), 100});
    const uint64_t dropped = hub->droppedMessages();
    EXPECT_GT(dropped, 0u) << "the ring filled: the read thread dropped rather than waited";
    engine.hold(false);
    hub->waitUntilActionThreadIdle();
    EXPECT_EQ(engine.calls.size(), 3001u - dropped);
    EXPECT_EQ(engine.calls.front(), 1);
    for (size_t i = 2; i < engine.calls.size(); ++i) {
        EXPECT_EQ((engine.calls[i] - engine.calls[i - 1] + 128) % 128, 1) << "in the order they came, at " << i;
        if ((engine.calls[i] - engine.calls[i - 1] + 128) % 128 != 1) break;
    }
}

TEST(MidiParserRealtimeTest, ParsingAllocatesNothing) {
    ASSERT_TRUE(strombel::testing::realtimeGuardActive());
    // Every path of the parser: running status, real-time bytes inside a message,
    // a SysEx that overflows its buffer, one cut short by a status byte, a
    // message cut short by the packet's end.
    Bytes bytes = {0x90, 60, 100, 61, 0xF8, 90, 0xB0, 7, 127, 0xF0};
    bytes.insert(bytes.end(), MidiParser::kSysExBufferSize + 10, 0x11);
    bytes.insert(bytes.end(), {0xF7, 0xF0, 1, 2, 0x80, 60, 0, 0xE0, 1});
    const platform::MidiPacket first{0, bytes};
    const Bytes rest = {0x90, 62};
    const platform::MidiPacket second{0, rest};
    MidiParser parser;
    std::array<ParsedMidiMessage, 16> seen{};
    size_t count = 0;
    {
        platform::RealtimeScope realtime;
        for (const platform::MidiPacket* packet : {&first, &second}) {
            parser.parse(platform::MidiPacketList(packet, 1), -1, [&](const ParsedMidiMessage& message) {
                if (count < seen.size()) seen[count++] = message;
            });
        }
    }
    // A note, the clock inside the next one, that note, the control, the two
    // SysEx starts and the note off; the cut-short messages are dropped.
    ASSERT_EQ(count, 7u);
    EXPECT_EQ(seen[0].data1, 60);
    EXPECT_EQ(seen[1].messageType, 0xF8);
    EXPECT_EQ(seen[2].data1, 61);
    EXPECT_EQ(seen[3].messageType, 0xB0);
    EXPECT_EQ(seen[4].messageType, 0xF0);
    EXPECT_EQ(seen[5].messageType, 0xF0);
    EXPECT_EQ(seen[6].messageType, 0x80);
    EXPECT_GE(parser.sysExDropped(), 2u);
}

}  // namespace
}  // namespace strombel::midi
