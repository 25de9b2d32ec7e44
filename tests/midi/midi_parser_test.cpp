#include "midi/midi_parser.h"

#include <gtest/gtest.h>

#include <memory>
#include <vector>

namespace strombel::midi {
namespace {

using Bytes = std::vector<uint8_t>;

struct Got {
    uint8_t type, data1, data2;
    bool operator==(const Got&) const = default;
};

std::ostream& operator<<(std::ostream& out, const Got& got) {
    return out << std::hex << "{" << int(got.type) << " " << int(got.data1) << " " << int(got.data2) << "}";
}

// Parses a list of packets. Each packet lives in its own heap block of exactly its
// size, so a read past a packet's end is caught by the address sanitizer.
std::vector<Got> parse(MidiParser& parser, const std::vector<Bytes>& packets, int32_t channel = -1) {
    std::vector<std::unique_ptr<uint8_t[]>> blocks;
    std::vector<platform::MidiPacket> list;
    for (const Bytes& bytes : packets) {
        blocks.push_back(std::make_unique<uint8_t[]>(bytes.size()));
        std::copy(bytes.begin(), bytes.end(), blocks.back().get());
        list.push_back({0, std::span<const uint8_t>(blocks.back().get(), bytes.size())});
    }
    std::vector<Got> got;
    parser.parse(list, channel, [&](const ParsedMidiMessage& m) { got.push_back({m.messageType, m.data1, m.data2}); });
    return got;
}

std::vector<Got> parse(const std::vector<Bytes>& packets, int32_t channel = -1) {
    MidiParser parser;
    return parse(parser, packets, channel);
}

TEST(MidiParserTest, MessagesOfEveryKindAreRead) {
    struct Case {
        const char* what;
        std::vector<Bytes> packets;
        std::vector<Got> expected;
    } cases[] = {
        {"three note ons in one packet",
         {{0x90, 60, 100, 0x90, 61, 101, 0x90, 62, 102}},
         {{0x90, 60, 100}, {0x90, 61, 101}, {0x90, 62, 102}}},
        {"channel bits cleared", {{0x95, 60, 100, 0x8F, 60, 0}}, {{0x90, 60, 100}, {0x80, 60, 0}}},
        {"running status", {{0x90, 60, 100, 62, 90, 64, 0}}, {{0x90, 60, 100}, {0x90, 62, 90}, {0x90, 64, 0}}},
        {"running status across packets", {{0x90, 60, 100}, {61, 80}}, {{0x90, 60, 100}, {0x90, 61, 80}}},
        {"two-byte messages", {{0xC3, 5, 0xD0, 70}}, {{0xC0, 5, 0}, {0xD0, 70, 0}}},
        {"pitch bend and control", {{0xE0, 1, 64, 0xB2, 7, 100}}, {{0xE0, 1, 64}, {0xB0, 7, 100}}},
        {"song position", {{0xF2, 20, 1}}, {{0xF2, 20, 1}}},
        {"quarter frame is two bytes", {{0xF1, 0x21, 0x90, 60, 1}}, {{0xF1, 0x21, 0}, {0x90, 60, 1}}},
        {"song select", {{0xF3, 4}}, {{0xF3, 4, 0}}},
        {"clock bytes", {{0xFA, 0xF8, 0xF8, 0xFB, 0xFC}}, {{0xFA, 0, 0}, {0xF8, 0, 0}, {0xF8, 0, 0}, {0xFB, 0, 0}, {0xFC, 0, 0}}},
        {"clock inside a note", {{0x90, 60, 0xF8, 100}}, {{0xF8, 0, 0}, {0x90, 60, 100}}},
        {"clock leaves running status", {{0x90, 60, 100, 0xF8, 61, 100}}, {{0x90, 60, 100}, {0xF8, 0, 0}, {0x90, 61, 100}}},
        {"system common ends running status", {{0x90, 60, 100, 0xF6, 61, 100}}, {{0x90, 60, 100}, {0xF6, 0, 0}}},
        {"data bytes with nothing to continue", {{60, 100, 0x90, 61, 1}}, {{0x90, 61, 1}}},
        {"a message cut by the packet's end", {{0x90, 60}, {0xC0}}, {}},
        {"a message cut by another status", {{0x90, 60, 0x80, 60, 0}}, {{0x80, 60, 0}}},
        {"empty packets", {{}, {0xFC}, {}}, {{0xFC, 0, 0}}},
        {"a stray end of SysEx", {{0xF7, 0x90, 60, 1}}, {{0x90, 60, 1}}},
    };
    for (const Case& c : cases) EXPECT_EQ(parse(c.packets), c.expected) << c.what;
}

TEST(MidiParserTest, SplitSysExIsDroppedAndTheNoteAfterItPlays) {
    MidiParser parser;
    auto got = parse(parser, {{0xF0, 0x7E, 0x01, 0x02}, {0x03, 0x04, 0xF7}, {0x90, 60, 100}});
    EXPECT_EQ(got, (std::vector<Got>{{0xF0, 0, 0}, {0x90, 60, 100}}));
    EXPECT_EQ(parser.sysExDropped(), 1u);
    EXPECT_FALSE(parser.collectingSysEx());
}

TEST(MidiParserTest, SysExGoesOnAcrossPacketLists) {
    MidiParser parser;
    EXPECT_EQ(parse(parser, {{0xF0, 0x01, 0x02}}), (std::vector<Got>{{0xF0, 0, 0}}));
    EXPECT_TRUE(parser.collectingSysEx());
    // The continuation's data bytes are not taken for notes.
    EXPECT_EQ(parse(parser, {{0x10, 0x20, 0x30}}), std::vector<Got>{});
    EXPECT_EQ(parse(parser, {{0x40, 0xF7, 0x90, 60, 1}}), (std::vector<Got>{{0x90, 60, 1}}));
}

TEST(MidiParserTest, OversizedSysExNeverOverflowsTheBuffer) {
    Bytes sysEx(3001, 0x55);
    sysEx[0] = 0xF0;
    sysEx.push_back(0xF7);
    MidiParser parser;
    auto got = parse(parser, {sysEx, {0x90, 60, 100}});
    EXPECT_EQ(got, (std::vector<Got>{{0xF0, 0, 0}, {0x90, 60, 100}}));
    // Two full buffers dropped on the way, and the rest at its end.
    EXPECT_EQ(parser.sysExDropped(), 3u);
    EXPECT_LE(parser.sysExFill(), MidiParser::kSysExBufferSize);
}

TEST(MidiParserTest, SysExBrokenOffByAStatusByteLetsThatMessageThrough) {
    MidiParser parser;
    auto got = parse(parser, {{0xF0, 0x01, 0x02, 0x90, 60, 100}});
    EXPECT_EQ(got, (std::vector<Got>{{0xF0, 0, 0}, {0x90, 60, 100}}));
    EXPECT_FALSE(parser.collectingSysEx());
}

TEST(MidiParserTest, ClockInsideSysExStillCounts) {
    auto got = parse({{0xF0, 0x01, 0xF8, 0x02, 0xF7}});
    EXPECT_EQ(got, (std::vector<Got>{{0xF0, 0, 0}, {0xF8, 0, 0}}));
}

TEST(MidiParserTest, ChannelFilterDropsOtherChannelsButNeverSystemMessages) {
    const std::vector<Bytes> traffic = {{0x93, 60, 100, 0x94, 61, 100, 0xF8, 0x83, 60, 0, 0xF2, 1, 0}};
    EXPECT_EQ(parse(traffic, 3), (std::vector<Got>{{0x90, 60, 100}, {0xF8, 0, 0}, {0x80, 60, 0}, {0xF2, 1, 0}}));
    EXPECT_EQ(parse(traffic, 4), (std::vector<Got>{{0x90, 61, 100}, {0xF8, 0, 0}, {0xF2, 1, 0}}));
    // Omni: every channel.
    EXPECT_EQ(parse(traffic, -1).size(), 5u);
}

TEST(MidiParserTest, RunningStatusOfAFilteredChannelStaysFiltered) {
    EXPECT_EQ(parse({{0x94, 60, 100, 61, 100}}, 3), std::vector<Got>{});
}

}  // namespace
}  // namespace strombel::midi
