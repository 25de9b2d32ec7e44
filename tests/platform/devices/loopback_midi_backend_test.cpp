#include "platform/devices/loopback_midi_backend.h"

#include <gtest/gtest.h>

#include <vector>

namespace strombel::platform {
namespace {

class LoopbackTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(backend.createClient("client", [this](const MidiNotification& n) { notes.push_back(n); }, client),
                  kMidiNoError);
        ASSERT_EQ(backend.createOutputPort(client, "out", output), kMidiNoError);
        ASSERT_EQ(backend.createInputPort(client, "in", input), kMidiNoError);
    }

    ManualClock clock;
    LoopbackMidiBackend backend{clock};
    MidiClientRef client = 0;
    MidiPortRef output = 0, input = 0;
    std::vector<MidiNotification> notes;
};

TEST_F(LoopbackTest, EndpointsAreAnnouncedAndListed) {
    MidiEndpointRef keys = backend.addSource("Keys");
    MidiEndpointRef synth = backend.addDestination("Synth");
    backend.addSource("Quiet", false);
    ASSERT_EQ(notes.size(), 2u);
    EXPECT_EQ(notes[0].messageId, kMidiMsgObjectAdded);
    EXPECT_EQ(notes[0].childType, kMidiObjectTypeSource);
    EXPECT_EQ(notes[1].child, synth);
    EXPECT_EQ(backend.sources().size(), 2u);
    EXPECT_EQ(backend.endpointName(keys), "Keys");
    backend.removeEndpoint(keys);
    EXPECT_EQ(notes.back().messageId, kMidiMsgObjectRemoved);
    EXPECT_EQ(backend.sources().size(), 1u);
}

TEST_F(LoopbackTest, DisconnectedSourcesDeliverNothingMore) {
    MidiEndpointRef keys = backend.addSource("Keys");
    int reads = 0;
    ASSERT_EQ(backend.connectSource(input, keys, [&](MidiPacketList) { ++reads; }), kMidiNoError);
    EXPECT_EQ(backend.play(keys, {0x90, 60, 100}), 1u);
    ASSERT_EQ(backend.disconnectSource(input, keys), kMidiNoError);
    EXPECT_EQ(backend.play(keys, {0x90, 60, 100}), 0u);
    EXPECT_EQ(reads, 1);
    EXPECT_EQ(backend.disconnectSource(input, keys), kMidiNoConnection);
}

TEST_F(LoopbackTest, TimedSendsWaitForTheClockAndFlushDropsThem) {
    MidiEndpointRef synth = backend.addDestination("Synth");
    const uint8_t tick = 0xF8;
    MidiPacket later{clock.nowNanos() + 1000, std::span(&tick, 1)};
    MidiPacket now{0, std::span(&tick, 1)};
    ASSERT_EQ(backend.send(output, synth, MidiPacketList(&later, 1)), kMidiNoError);
    ASSERT_EQ(backend.send(output, synth, MidiPacketList(&now, 1)), kMidiNoError);
    EXPECT_EQ(backend.receivedBy(synth).size(), 1u);
    clock.advance(1000);
    backend.deliverDue();
    auto got = backend.receivedBy(synth);
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[1].deliveredNanos, got[1].dueNanos);

    ASSERT_EQ(backend.send(output, synth, MidiPacketList(&later, 1)), kMidiNoError);  // already due now
    MidiPacket future{clock.nowNanos() + 50, std::span(&tick, 1)};
    backend.send(output, synth, MidiPacketList(&future, 1));
    backend.flushOutput(0);
    clock.advance(100);
    backend.deliverDue();
    EXPECT_EQ(backend.receivedBy(synth).size(), 3u);
}

TEST_F(LoopbackTest, TooLargeSendIsRefused) {
    MidiEndpointRef synth = backend.addDestination("Synth");
    std::vector<uint8_t> huge(kMidiMaxSendSize + 1, 0);
    MidiPacket packet{0, huge};
    EXPECT_EQ(backend.send(output, synth, MidiPacketList(&packet, 1)), kMidiMessageTooLarge);
    EXPECT_TRUE(backend.receivedBy(synth).empty());
}

}  // namespace
}  // namespace strombel::platform
