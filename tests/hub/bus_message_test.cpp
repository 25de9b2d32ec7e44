#include <gtest/gtest.h>

#include "hub/bus_message.h"

namespace strombel::hub {
namespace {

std::vector<uint8_t> hex(const std::string& text) {
    std::vector<uint8_t> bytes;
    for (size_t i = 0; i + 1 < text.size(); i += 2) bytes.push_back(uint8_t(std::stoi(text.substr(i, 2), nullptr, 16)));
    return bytes;
}

TEST(BusMessageTest, ResourceRequestsAreReadOnlyWhole) {
    struct Case {
        const char* bytes;
        bool taken;
        uint32_t id, first;
    } cases[] = {
        {"03030209070000002a000000", true, 7, 42},
        {"0303020907000000", false, 0, 0},            // no room for P's 9 bytes
        {"0303020907", false, 0, 0},                  // short of the identifier
        {"03030208070000002a000000", true, 7, 0},     // P below 9: from segment 0
        {"0303020507000000", true, 7, 0},             // P of the identifier alone
        {"0303020407000000", false, 0, 0},            // P short of the identifier's end
        {"030302ff070000002a000000", false, 0, 0},    // P past the end
        {"03020209070000002a000000", false, 0, 0},    // H below 3
        {"0304020009070000002a000000", true, 7, 42},  // a longer header is skipped
        {"030303110700000000", false, 0, 0},          // another type
    };
    for (const auto& c : cases) {
        auto bytes = hex(c.bytes);
        auto request = readResourceRequest(bytes.data(), bytes.size());
        ASSERT_EQ(request.has_value(), c.taken) << c.bytes;
        if (request) {
            EXPECT_EQ(request->resourceID, c.id);
            EXPECT_EQ(request->firstSegment, c.first);
        }
    }
    auto made = makeResourceRequest(7, 42);
    EXPECT_EQ(made, hex("03030209070000002a000000"));
}

TEST(BusMessageTest, SegmentsTakeTheWideCountsAndRefuseDataPastTheEnd) {
    std::vector<uint8_t> segment(20 + 3);
    writeResourceSegmentHeader(segment.data(), 5, 300, 299, 3);
    EXPECT_EQ(segment[8], 0);  // 256 or more segments: both narrow fields 0
    EXPECT_EQ(segment[9], 0);
    auto read = readResourceSegment(segment.data(), segment.size());
    ASSERT_TRUE(read);
    EXPECT_EQ(read->segmentCount, 300u);
    EXPECT_EQ(read->segmentIndex, 299u);
    EXPECT_EQ(read->dataLength, 3);
    EXPECT_FALSE(readResourceSegment(segment.data(), segment.size() - 1));  // n past the end
    EXPECT_FALSE(readResourceSegment(segment.data(), 19));                  // short of the fields

    // A narrow header (P = 9) carries the counts in the 8-bit fields.
    auto narrow = hex("0303030905000000030100000000000000000000aabb");
    narrow[10] = 2;  // n = 2
    auto small = readResourceSegment(narrow.data(), narrow.size());
    ASSERT_TRUE(small);
    EXPECT_EQ(small->segmentCount, 3u);
    EXPECT_EQ(small->segmentIndex, 1u);
    EXPECT_EQ(small->data[0], 0x00);
}

TEST(BusMessageTest, StatePacketsAndReRequests) {
    std::vector<uint8_t> packet(19 + 4 + 96, 0xEE);
    writeStatePacketHeader(packet.data(), BusMessageStatePushPacket, 1, 3, 2, 9, 8, 4);
    auto read = readStatePacket(packet.data(), packet.size());
    ASSERT_TRUE(read);
    EXPECT_EQ(read->kind, 1);
    EXPECT_EQ(read->itemCount, 3);
    EXPECT_EQ(read->itemIndex, 2);
    EXPECT_EQ(read->segmentCount, 9u);
    EXPECT_EQ(read->segmentIndex, 8u);
    EXPECT_EQ(read->contentLength, 23u);
    EXPECT_EQ(read->signatureLength, 96u);
    EXPECT_FALSE(readStatePacket(packet.data(), 22));  // n past the end
    EXPECT_FALSE(readStatePacket(packet.data(), 18));  // short of the fields
    packet[3] = 15;                                     // P below 16
    EXPECT_FALSE(readStatePacket(packet.data(), packet.size()));

    auto rerequest = makeStateRerequest(65535, 7);
    EXPECT_EQ(rerequest, hex("03031207ffff070000000000"));
    auto back = readStateRerequest(rerequest.data(), rerequest.size());
    ASSERT_TRUE(back);
    EXPECT_EQ(back->item, 65535);
    EXPECT_EQ(back->segment, 7u);
    EXPECT_FALSE(readStateRerequest(rerequest.data(), 9));
}

TEST(BusMessageTest, AResourceItemHeaderIsTakenOnlyWhenItsTotalIsFivePlusItsKeyAndFits) {
    auto header = makeResourceItemHeader("0123456789");
    EXPECT_EQ(header[0], 5);
    EXPECT_EQ(readU16(header.data() + 1), 15);
    EXPECT_EQ(readU16(header.data() + 3), 10);
    auto read = readResourceItemHeader(header.data(), header.size());
    ASSERT_TRUE(read);
    EXPECT_EQ(read->key, "0123456789");
    EXPECT_EQ(read->totalLength, 15u);

    EXPECT_FALSE(readResourceItemHeader(header.data(), header.size() - 1));  // the key does not fit
    auto wrongTotal = header;
    writeU16(wrongTotal.data() + 1, 14);
    EXPECT_FALSE(readResourceItemHeader(wrongTotal.data(), wrongTotal.size()));
    auto hugeKey = header;
    writeU16(hugeKey.data() + 1, 65535);
    writeU16(hugeKey.data() + 3, 65530);
    EXPECT_FALSE(readResourceItemHeader(hugeKey.data(), hugeKey.size()));
    auto notUtf8 = header;
    notUtf8[5] = 0xFF;
    EXPECT_FALSE(readResourceItemHeader(notUtf8.data(), notUtf8.size()));
}

TEST(BusMessageTest, SignedContentOfEachType) {
    // Type 16: the first H + P bytes.
    auto pull = hex("0303100401000011223344");
    auto pullParts = splitSignedContent(pull.data(), pull.size());
    ASSERT_TRUE(pullParts);
    EXPECT_EQ(pullParts->content, hex("03031004010000"));
    EXPECT_EQ(pullParts->signatureLength, 4u);

    // Type 7: [0, H + P) and what follows the S signature bytes.
    std::vector<uint8_t> graph(3 + 24 + 2 + 5, 0);
    graph[0] = 3;
    graph[1] = 3;
    graph[2] = BusMessageConnectionState;
    graph[3] = 24;
    writeU16(graph.data() + 3 + 18, 2);
    graph[27] = 0xAA;
    graph[28] = 0xBB;
    graph[29] = 0x11;
    auto graphParts = splitSignedContent(graph.data(), graph.size());
    ASSERT_TRUE(graphParts);
    EXPECT_EQ(graphParts->content.size(), 27u + 5u);
    EXPECT_EQ(graphParts->content[27], 0x11);
    EXPECT_EQ(graphParts->signature[0], 0xAA);
    writeU16(graph.data() + 3 + 18, 200);  // a signature past the end
    EXPECT_FALSE(splitSignedContent(graph.data(), graph.size()));

    EXPECT_FALSE(splitSignedContent(pull.data(), 9));  // short of H + 7
    auto ping = makePing(1);
    EXPECT_FALSE(splitSignedContent(ping.data(), ping.size()));
}

TEST(BusMessageTest, PingRepliesCarryThePingsBytes) {
    auto ping = makePing(0x0102030405060708ull);
    auto reply = makePingReply(ping.data(), ping.size(), 99);
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->size(), 19u);
    EXPECT_EQ((*reply)[2], BusMessagePingReply);
    EXPECT_EQ(readU64(reply->data() + 3), 0x0102030405060708ull);
    EXPECT_EQ(readU64(reply->data() + 11), 99u);
    EXPECT_FALSE(makePingReply(ping.data(), 10, 99));
}

TEST(BusMessageTest, NamesAreLoggedWithControlCharactersEscaped) {
    EXPECT_EQ(escapedForLog("Drums (Stage)"), "Drums (Stage)");
    EXPECT_EQ(escapedForLog("evil\nPeer x appeared"), "evil\\x0APeer x appeared");
    EXPECT_EQ(escapedForLog(std::string("a\0b\x1b[31m", 8)), "a\\x00b\\x1B[31m");
    EXPECT_EQ(escapedForLog("caf\xC3\xA9 \xFF"), "caf\xC3\xA9 \\xFF");
    EXPECT_TRUE(isValidUtf8("caf\xC3\xA9"));
    EXPECT_FALSE(isValidUtf8("\xC0\xAF"));      // overlong
    EXPECT_FALSE(isValidUtf8("\xED\xA0\x80"));  // a surrogate
    EXPECT_FALSE(isValidUtf8("\xE2\x80"));      // cut short
}

}  // namespace
}  // namespace strombel::hub
