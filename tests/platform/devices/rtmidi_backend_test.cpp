#include "platform/devices/jack_opener.h"
#include "platform/devices/rtmidi_backend.h"

#include <gtest/gtest.h>

namespace strombel::platform {
namespace {

// Where there is no MIDI system the backend answers everything and sends nowhere.
TEST(RtMidiBackendTest, WithoutAMidiSystemEveryCallAnswers) {
    RtMidiBackend backend(RtMidiBackend::System::none, SystemClock::shared(), JackOpener::shared());
    EXPECT_FALSE(backend.available());
    EXPECT_EQ(backend.systemName(), "none");
    MidiClientRef client = 0;
    MidiPortRef output = 0, input = 0;
    ASSERT_EQ(backend.createClient("Strombel MIDI Client", nullptr, client), kMidiNoError);
    ASSERT_EQ(backend.createOutputPort(client, "Strombel Output Port", output), kMidiNoError);
    ASSERT_EQ(backend.createInputPort(client, "Strombel Input Port", input), kMidiNoError);
    EXPECT_TRUE(backend.sources().empty());
    EXPECT_TRUE(backend.destinations().empty());

    MidiEndpointRef virtualSource = 0, virtualDestination = 0;
    EXPECT_EQ(backend.createVirtualSource(client, "Tumblecraft", virtualSource), kMidiNoError);
    EXPECT_EQ(backend.createVirtualDestination(client, "Tumblecraft", [](MidiPacketList) {}, virtualDestination),
              kMidiNoError);
    EXPECT_NE(virtualSource, virtualDestination);
    int32_t id = 0;
    EXPECT_EQ(backend.uniqueId(virtualDestination, id), kMidiNoError);
    EXPECT_NE(id, 0);

    const uint8_t note[3] = {0x90, 60, 100};
    MidiPacket packet{0, note};
    EXPECT_EQ(backend.received(virtualSource, MidiPacketList(&packet, 1)), kMidiNoError);
    EXPECT_EQ(backend.disposeEndpoint(virtualSource), kMidiNoError);
    EXPECT_EQ(backend.disposeEndpoint(virtualDestination), kMidiNoError);
    EXPECT_EQ(backend.disposePort(input), kMidiNoError);
    EXPECT_EQ(backend.disposeClient(client), kMidiNoError);
}

// Ports on JACK are closed in order by reaching RtMidi's own fields, whose places
// are known for RtMidi 4 to 6 only; any other version, or a version string that is
// not a number, leaves closing to RtMidi.
TEST(RtMidiBackendTest, ReachesIntoRtMidiOnlyForVersionsWhoseFieldsAreKnown) {
    const struct {
        const char* version;
        bool known;
    } cases[] = {
        {"4.0.0", true}, {"5.0.0", true}, {"6.0.0", true}, {"6", true},      {"6.1.2-beta", true},
        {"3.0.0", false}, {"7.0.0", false}, {"10.0", false}, {"", false},   {"v5.0.0", false},
        {"5x", false},    {"-5.0", false},  {" 5.0", false}, {"99999999999999999999", false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(RtMidiBackend::knowsJackLayoutOf(c.version), c.known) << '"' << c.version << '"';
    }
}

TEST(RtMidiBackendTest, OpenFallsBackGracefully) {
    // ALSA where /dev/snd/seq exists, JACK otherwise: opening never throws, and
    // JACK counts as a MIDI system only while a server answers (one that starts
    // later is taken up by the rescan).
    auto backend = RtMidiBackend::open(SystemClock::shared(), JackOpener::shared());
    ASSERT_NE(backend, nullptr);
    const bool expected = backend->system() == RtMidiBackend::System::alsa ||
                          (backend->system() == RtMidiBackend::System::jack && RtMidiBackend::jackServerRunning());
    EXPECT_EQ(backend->available(), expected);
}

TEST(MidiMessageLengthTest, StatusBytesGiveTheirLengths) {
    struct Case {
        uint8_t status;
        size_t length;
    } cases[] = {{0x80, 3}, {0x9F, 3}, {0xA0, 3}, {0xB5, 3}, {0xC0, 2}, {0xDF, 2}, {0xE0, 3}, {0xF0, 0},
                 {0xF1, 2}, {0xF2, 3}, {0xF3, 2}, {0xF6, 1}, {0xF8, 1}, {0xFF, 1}, {0x3C, 0}};
    for (const Case& c : cases) EXPECT_EQ(midiMessageLength(c.status), c.length) << std::hex << int(c.status);
}

}  // namespace
}  // namespace strombel::platform
