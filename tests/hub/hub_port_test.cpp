#include "hub/hub_port.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "hub/bus_message.h"
#include "hub/hub_record.h"
#include "hub/hub_trigger.h"
#include "platform/utf8_cut.h"

namespace strombel::hub {
namespace {

AudioComponentDescription strombelOutput() {
    return {fourCharCode("auri"), fourCharCode("smpl"), fourCharCode("vlkt"), 0, 0};
}

TEST(HubPort, TheSenderPortsRecordReadsBackWhole) {
    HubSenderPort port("Strombel output", "Strombel", strombelOutput(), nullptr);
    port.setAttributes(5);
    port.setLatency(0.0125);
    const std::vector<uint8_t> record = port.dataRepresentationWithResourceHost(nullptr);
    ASSERT_EQ(record.size(), 29u + 15u + 8u);
    EXPECT_EQ(record[0], 29);
    EXPECT_EQ(record[1], 15);
    EXPECT_EQ(record[2], 8);
    EXPECT_EQ(record[3], 5);
    EXPECT_EQ(readU32(record.data() + 9), fourCharCode("vlkt"));
    EXPECT_EQ(readU32(record.data() + 13), fourCharCode("auri"));
    EXPECT_EQ(readU32(record.data() + 17), fourCharCode("smpl"));
    EXPECT_EQ(std::string(record.begin() + 29, record.begin() + 44), "Strombel output");

    auto remote = HubPort::standinPortWithPeer(nullptr, HubPort::Sender);
    EXPECT_TRUE(remote->isStandin());
    ASSERT_TRUE(remote->loadFromDataRepresentation(record));
    EXPECT_FALSE(remote->isStandin());
    EXPECT_EQ(remote->name(), "Strombel output");
    EXPECT_EQ(remote->title(), "Strombel");
    EXPECT_EQ(remote->attributes(), 5);
    EXPECT_EQ(remote->latency(), 0.0125);
    EXPECT_EQ(remote->audioComponentDescription(), strombelOutput());
    EXPECT_EQ(remote->numericIdentifier(), port.numericIdentifier());
    EXPECT_EQ(remote->type(), HubPort::Sender);
}

TEST(HubPort, BothSidesDeriveTheIdentifierFromTheName) {
    // SHA-1("Strombel output") begins 3c 5e ...: its first four bytes, low byte first.
    HubSenderPort port("Strombel output", "Strombel", strombelOutput(), nullptr);
    EXPECT_EQ(port.numericIdentifier(), portIdentifierFromName("Strombel output"));
    EXPECT_NE(portIdentifierFromName("Strombel output"), portIdentifierFromName("Strombel output 2"));
    EXPECT_NE(portIdentifierFromName(""), 0u);
}

TEST(HubPort, ShortOrOverrunningRecordsAreRefused) {
    struct Case {
        const char* what;
        std::vector<uint8_t> record;
        bool hasName;
        bool loads;
    };
    const std::vector<Case> cases = {
        {"empty", {}, false, false},
        {"one byte", {4}, false, false},
        {"name runs past", {4, 3, 0, 0, 'a', 'b'}, false, false},
        {"title runs past", {4, 1, 2, 0, 'a', 'b'}, true, false},
        {"header below 4", {2, 1, 0, 0, 'a'}, true, false},
        {"four bytes, empty name", {4, 0, 0, 0}, true, true},
        {"name only", {4, 2, 0, 7, 'o', 'k'}, true, true},
    };
    for (const auto& test : cases) {
        SCOPED_TRACE(test.what);
        EXPECT_EQ(HubPort::portNameFromDataRepresentation(test.record).has_value(), test.hasName);
        auto port = HubPort::standinPortWithPeer(nullptr, HubPort::Receiver);
        EXPECT_EQ(port->loadFromDataRepresentation(test.record), test.loads);
        EXPECT_EQ(port->isStandin(), !test.loads) << "a refused record changes nothing";
    }
}

TEST(HubPort, TheComponentDescriptionNeedsTwentyOneBytesOfHeader) {
    std::vector<uint8_t> record(21, 0);
    record[0] = 21;
    writeU32(record.data() + 9, 1);
    writeU32(record.data() + 13, 2);
    writeU32(record.data() + 17, 3);
    EXPECT_EQ(HubPort::portAudioComponentDescriptionFromDataRepresentation(record),
              (AudioComponentDescription{2, 3, 1, 0, 0}));
    record[0] = 20;
    EXPECT_EQ(HubPort::portAudioComponentDescriptionFromDataRepresentation(record), AudioComponentDescription{});
    record[0] = 21;
    record.pop_back();
    EXPECT_EQ(HubPort::portAudioComponentDescriptionFromDataRepresentation(record), AudioComponentDescription{});
}

TEST(HubPort, LongNamesAreCutAtACharacterNotWrapped) {
    // 254 bytes and a two-byte character: the one-byte length field holds 255,
    // which would split it; 256 would have wrapped to 0.
    const std::string name = std::string(254, 'x') + "\xC3\xA9";
    HubSenderPort port(name, "T", strombelOutput(), nullptr);
    const auto record = port.dataRepresentationWithResourceHost(nullptr);
    EXPECT_EQ(record[1], 254);
    EXPECT_EQ(record[2], 1);
    EXPECT_EQ(record.size(), 29u + 254u + 1u);
    EXPECT_EQ(platform::cutAtCharacter("a\xE2\x82\xAC", 3), "a");
    EXPECT_EQ(platform::cutAtCharacter("a\xE2\x82\xAC", 4), "a\xE2\x82\xAC");
}

TEST(HubPort, TheVolumeTakesFiniteValuesClampedToTheRange) {
    auto port = std::make_shared<HubSenderPort>("out", "Out", strombelOutput(), nullptr);
    const struct {
        float set;
        float expected;
    } cases[] = {{0.5f, 0.5f}, {2.0f, 1.0f}, {-1.0f, 0.0f}, {std::nanf(""), 0.0f},
                 {std::numeric_limits<float>::infinity(), 0.0f}, {0.25f, 0.25f}};
    for (const auto& test : cases) {
        port->setVolume(test.set);
        EXPECT_EQ(port->volume(), test.expected) << test.set;
    }
}

TEST(HubPort, TheVolumeTriggerSetsThePortsVolume) {
    platform::NotificationCenter center;
    auto port = std::make_shared<HubSenderPort>("Strombel output", "Strombel", strombelOutput(), nullptr);
    auto trigger = port->volumeTrigger();
    EXPECT_EQ(trigger, port->volumeTrigger()) << "made once and kept";
    EXPECT_EQ(trigger->title(), "Strombel output Volume");
    EXPECT_EQ(trigger->minimumValue(), 0.0f);
    EXPECT_EQ(trigger->maximumValue(), 1.0f);
    EXPECT_EQ(trigger->value(), 1.0f);
    trigger->setValue(0.5f);
    trigger->fire();
    EXPECT_EQ(port->volume(), 0.5f);
    std::weak_ptr<HubSenderPort> weak = port;
    port.reset();
    EXPECT_TRUE(weak.expired()) << "the trigger's action holds the port weakly";
    trigger->fire();
}

TEST(HubPort, VersionTextsRankBetasBelowTheirRelease) {
    const struct {
        const char* text;
        double value;
    } cases[] = {{"2", 2.0}, {"2.1", 2.01}, {"2.1.4", 2.0104}, {"2.1b1", 2.01 + (0.001 - 1) * 0.0001}, {"", 0.0}};
    for (const auto& test : cases) EXPECT_NEAR(HubVersionNumberFromString(test.text), test.value, 1e-12) << test.text;
    EXPECT_LT(HubVersionNumberFromString("2.1b1"), HubVersionNumberFromString("2.1"));
    EXPECT_GT(HubVersionNumberFromString("2.1.4"), HubVersionNumberFromString("2.1b1"));
}

TEST(HubPort, ConnectionNoticesComeOnlyWhenConnectedChanges) {
    HubSenderPort port("out", "Out", strombelOutput(), nullptr);
    int notices = 0;
    port.addObserver("connected", [&] { ++notices; });
    port.setInterAppAudioConnected(true);
    EXPECT_TRUE(port.connected());
    EXPECT_TRUE(port.interAppAudioConnected());
    EXPECT_FALSE(port.hubConnected());
    auto remote = HubPort::standinPortWithPeer(nullptr, HubPort::Receiver);
    port.setConnections({}, {remote});
    EXPECT_TRUE(port.hubConnected());
    EXPECT_EQ(notices, 1) << "already connected by JACK";
    port.setInterAppAudioConnected(false);
    port.setConnections({}, {});
    EXPECT_FALSE(port.connected());
    EXPECT_EQ(notices, 2);
}

}  // namespace
}  // namespace strombel::hub
