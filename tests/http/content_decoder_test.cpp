// The streaming inflater and the cache's header file reader, on their own.

#include <gtest/gtest.h>

#include "http/cache_entry.h"
#include "http/content_decoder.h"
#include "test_servers.h"

namespace strombel::http::testing {
namespace {

struct Decoded {
    ContentDecoder::Status status;
    std::string text;
};

// Feeds `input` in pieces of `piece` bytes.
Decoded decode(const std::string& encoding, const std::string& input, size_t piece, size_t limit = SIZE_MAX) {
    auto decoder = ContentDecoder::forEncoding(encoding);
    Decoded result{ContentDecoder::Status::Ok, {}};
    auto sink = [&](std::span<const uint8_t> out) {
        if (result.text.size() + out.size() > limit) return false;
        result.text.append(out.begin(), out.end());
        return true;
    };
    for (size_t at = 0; at < input.size() && result.status == ContentDecoder::Status::Ok; at += piece) {
        std::string_view part = std::string_view(input).substr(at, piece);
        result.status = decoder->feed(std::span(reinterpret_cast<const uint8_t*>(part.data()), part.size()), sink);
    }
    if (result.status == ContentDecoder::Status::Ok) result.status = decoder->finish();
    return result;
}

TEST(ContentDecoderTest, GzipAndBothKindsOfDeflateInflateInAnyPieces) {
    const std::string text = compressibleText() + patternBytes(70'000);
    struct Case {
        const char* encoding;
        Compression compression;
    };
    for (const Case& test : {Case{"gzip", Compression::Gzip}, Case{"X-Gzip", Compression::Gzip},
                             Case{"deflate", Compression::Zlib}, Case{"Deflate", Compression::RawDeflate}}) {
        std::string compressed = compress(text, test.compression);
        for (size_t piece : {size_t{1}, size_t{2}, size_t{7}, size_t{4096}, compressed.size()}) {
            Decoded decoded = decode(test.encoding, compressed, piece);
            EXPECT_EQ(decoded.status, ContentDecoder::Status::Ok) << test.encoding << " " << piece;
            EXPECT_EQ(decoded.text, text) << test.encoding << " " << piece;
        }
    }
}

TEST(ContentDecoderTest, UnknownAndIdentityEncodingsPassBytesThrough) {
    EXPECT_EQ(ContentDecoder::forEncoding(""), nullptr);
    EXPECT_EQ(ContentDecoder::forEncoding("identity"), nullptr);
    EXPECT_EQ(ContentDecoder::forEncoding("br"), nullptr);
}

TEST(ContentDecoderTest, ConcatenatedGzipMembersAllInflate) {
    std::string both = compress("first, ", Compression::Gzip) + compress("second", Compression::Gzip);
    Decoded decoded = decode("gzip", both, 3);
    EXPECT_EQ(decoded.status, ContentDecoder::Status::Ok);
    EXPECT_EQ(decoded.text, "first, second");
}

TEST(ContentDecoderTest, DamagedStreamsAreBadData) {
    std::string gzip = compress(compressibleText(), Compression::Gzip);
    std::string flipped = gzip;
    flipped[flipped.size() / 2] ^= 0x55;
    std::string badTrailer = gzip;
    badTrailer[badTrailer.size() - 6] ^= 0x01;  // the CRC no longer matches
    const std::pair<const char*, std::string> cases[] = {
        {"not compressed at all", "plain text pretending"},
        {"cut short", gzip.substr(0, gzip.size() - 10)},
        {"a byte changed", flipped},
        {"wrong checksum", badTrailer},
        {"junk after the stream", gzip + "junk"},
        {"one byte", gzip.substr(0, 1)},
    };
    for (const auto& [name, input] : cases) {
        EXPECT_EQ(decode("gzip", input, 5).status, ContentDecoder::Status::BadData) << name;
    }
    EXPECT_EQ(decode("deflate", compress("pads", Compression::Zlib) + "x", 1).status, ContentDecoder::Status::BadData);
    EXPECT_EQ(decode("gzip", "", 1).status, ContentDecoder::Status::Ok);  // no body at all is fine
}

TEST(ContentDecoderTest, ARefusingSinkStopsTheInflating) {
    std::string bomb = compress(std::string(10'000'000, '\0'), Compression::Gzip);
    ASSERT_LT(bomb.size(), 20'000u);
    Decoded decoded = decode("gzip", bomb, bomb.size(), 100'000);
    EXPECT_EQ(decoded.status, ContentDecoder::Status::Refused);
    EXPECT_LE(decoded.text.size(), 100'000u);
}

TEST(CacheEntryTest, AHeaderFileReadsBackAsWritten) {
    CacheEntryHeader header{"http://127.0.0.1:8080/ItemsList.json?x=1 2", 200, 1234, 0x89abcdef, {}};
    header.headers.emplace("ETag", "\"v1\"");
    header.headers.emplace("Content-Type", "application/json; charset=utf-8");
    header.headers.emplace("X-Empty", "");
    header.headers.emplace("X-Spaced", "  both  ");
    std::string text = writeCacheEntryHeader(header);
    std::optional<CacheEntryHeader> read = readCacheEntryHeader(text);
    ASSERT_TRUE(read);
    EXPECT_EQ(*read, header);
}

TEST(CacheEntryTest, HeadersThatCannotBeReadBackAreLeftOut) {
    CacheEntryHeader header{"http://127.0.0.1/", 200, 0, 0, {}};
    header.headers.emplace("X-Broken", "line\nbreak");
    header.headers.emplace("Bad Name", "value");
    header.headers.emplace("X-Good", "value");
    std::optional<CacheEntryHeader> read = readCacheEntryHeader(writeCacheEntryHeader(header));
    ASSERT_TRUE(read);
    EXPECT_EQ(read->headers.size(), 1u);
    EXPECT_EQ(read->headers.count("x-good"), 1u);
}

TEST(CacheEntryTest, DamagedHeaderFilesAreRefused) {
    const std::string good =
        "strombel-http-cache 1\nurl http://cache.test/\nstatus 200\nlength 5\ncrc32 0000abcd\nheader ETag: \"v\"\n";
    ASSERT_TRUE(readCacheEntryHeader(good));
    const std::pair<const char*, std::string> cases[] = {
        {"empty", ""},
        {"another magic", "strombel-http-cache 2\nurl http://cache.test/\nstatus 200\nlength 5\ncrc32 0000abcd\n"},
        {"last line cut", good.substr(0, good.size() - 1)},
        {"no url", "strombel-http-cache 1\nstatus 200\nlength 5\ncrc32 0000abcd\n"},
        {"no length", "strombel-http-cache 1\nurl http://cache.test/\nstatus 200\ncrc32 0000abcd\n"},
        {"status out of range", "strombel-http-cache 1\nurl http://cache.test/\nstatus 42\nlength 5\ncrc32 0000abcd\n"},
        {"negative length", "strombel-http-cache 1\nurl http://cache.test/\nstatus 200\nlength -5\ncrc32 0000abcd\n"},
        {"length past 64 bits",
         "strombel-http-cache 1\nurl http://cache.test/\nstatus 200\nlength 99999999999999999999\ncrc32 0000abcd\n"},
        {"short checksum", "strombel-http-cache 1\nurl http://cache.test/\nstatus 200\nlength 5\ncrc32 abcd\n"},
        {"twice the status", good + "status 200\n"},
        {"unknown line", good + "owner root\n"},
        {"header without colon", good + "header ETag\n"},
        {"header name with a space", good + "header E Tag: v\n"},
        {"header twice", good + "header etag: w\n"},
        {"control byte in a value", good + "header X-A: a\x01" "b\n"},
        {"too large", good + std::string(kMaximumCacheHeaderSize, '#')},
    };
    for (const auto& [name, text] : cases) EXPECT_FALSE(readCacheEntryHeader(text)) << name;
}

}  // namespace
}  // namespace strombel::http::testing
