#include "json/json_serializer.h"

#include <fmt/format.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstdint>
#include <random>
#include <limits>
#include <string>

#include "json/json_decoder.h"
#include "json/json_text.h"
#include "json/value_printer.h"
#include "memory_limit.h"

namespace strombel::json {
namespace {

struct WrittenCase {
    const char* name;
    Value value;
    JsonSerializeOptionFlags options;
    std::string text;
};

void PrintTo(const WrittenCase& c, std::ostream* out) { *out << c.name << ": " << ::testing::PrintToString(c.text); }

class WrittenTextTest : public ::testing::TestWithParam<WrittenCase> {};

TEST_P(WrittenTextTest, WritesTheExpectedText) {
    const WrittenCase& c = GetParam();
    const Result<std::string> text = JsonSerializer::serializeObject(c.value, c.options, JsonEncodeAsString);
    ASSERT_TRUE(text.ok()) << text.error().description();
    EXPECT_EQ(text.value(), c.text);
}

INSTANTIATE_TEST_SUITE_P(
    Encoder, WrittenTextTest,
    ::testing::Values(
        WrittenCase{"PrettyObjectSortsKeys", Value::object({{"b", 1}, {"a", 2}}), JsonSerializePretty, "{\n  \"a\": 2,\n  \"b\": 1\n}"},
        WrittenCase{"CompactObjectKeepsOrder", Value::object({{"b", 1}, {"a", 2}}), 0, "{\"b\":1,\"a\":2}"},
        WrittenCase{"KeysToEscape", Value::object({{"a key longer than fourteen", 1}, {"q\"", 2}, {"caf\xc3\xa9", 3}, {"", 4}}), 0,
                    "{\"a key longer than fourteen\":1,\"q\\\"\":2,\"caf\xc3\xa9\":3,\"\":4}"},
        WrittenCase{"EscapedSlashInKeys", Value::object({{"q\"", Value::object({{"x/y", 1}})}}), JsonSerializeEscapeSlash,
                    "{\"q\\\"\":{\"x\\/y\":1}}"},
        WrittenCase{"PrettyNesting", Value::array({Value::array({1}), Value::object({{"k", Value()}})}), JsonSerializePretty,
                    "[\n  [\n    1\n  ],\n  {\n    \"k\": null\n  }\n]"},
        WrittenCase{"EmptyArray", Value::emptyArray(), 0, "[]"},
        // Pretty, every bracket and brace is followed and preceded by a new line,
        // empty containers too.
        WrittenCase{"PrettyEmptyContainers", Value::array({Value::emptyArray(), Value::emptyObject()}), JsonSerializePretty,
                    "[\n  [\n    \n  ],\n  {\n    \n  }\n]"},
        WrittenCase{"PrettyEmptyArray", Value::emptyArray(), JsonSerializePretty, "[\n  \n]"},
        WrittenCase{"EmptyObject", Value::emptyObject(), 0, "{}"},
        WrittenCase{"Tab", Value("a\tb"), 0, "\"a\\tb\""},
        WrittenCase{"ControlCharacters", Value("\x01\x1f\x7f"), 0, "\"\\u0001\\u001f\x7f\""},
        WrittenCase{"ShortEscapes", Value("\"\\\b\f\n\r"), 0, "\"\\\"\\\\\\b\\f\\n\\r\""},
        WrittenCase{"PlainSlash", Value("a/b"), 0, "\"a/b\""},
        WrittenCase{"EscapedSlash", Value("a/b"), JsonSerializeEscapeSlash, "\"a\\/b\""},
        WrittenCase{"Utf8AsIs", Value("caf\xc3\xa9 \xf0\x9f\x98\x80"), 0, "\"caf\xc3\xa9 \xf0\x9f\x98\x80\""},
        WrittenCase{"Utf8Escaped", Value("caf\xc3\xa9 \xf0\x9f\x98\x80"), JsonSerializeEscapeNonASCII, "\"caf\\u00e9 \\ud83d\\ude00\""},
        // The shortest text that reads back as the same double, not seventeen
        // significant digits (0.10000000000000001): both read back alike.
        WrittenCase{"PointOne", Value(0.1), 0, "0.1"},
        WrittenCase{"WholeDouble", Value(1.0), 0, "1.0"},
        WrittenCase{"NegativeZero", Value(-0.0), 0, "-0.0"},
        WrittenCase{"LargeDouble", Value(1e300), 0, "1e+300"},
        WrittenCase{"SmallestSubnormal", Value(5e-324), 0, "5e-324"},
        WrittenCase{"DoubleWithFraction", Value(123456.789), 0, "123456.789"},
        WrittenCase{"Int64Min", Value(static_cast<long long>(INT64_MIN)), 0, "-9223372036854775808"},
        WrittenCase{"UInt64Max", Value(18446744073709551615ull), 0, "18446744073709551615"},
        WrittenCase{"Decimal", Value::decimal("1.50"), 0, "1.50"},
        WrittenCase{"Literals", Value::array({true, false, Value()}), 0, "[true,false,null]"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(JsonSerializerTest, NonFiniteNumbersAreRefused) {
    for (double number : {std::nan(""), std::numeric_limits<double>::infinity(), -std::numeric_limits<double>::infinity()}) {
        const Result<std::string> text = JSONString(Value::array({1, number}));
        ASSERT_FALSE(text.ok());
        EXPECT_EQ(text.error().domain, "JsonErrorDomain");
        EXPECT_EQ(text.error().code, -1);
        EXPECT_EQ(text.error().message(), "Floating point values must be finite.  JSON does not support NaN or Infinity.");
    }
}

TEST(JsonSerializerTest, TheEntryPointsCheckWhatTheyAreGiven) {
    EXPECT_EQ(JSONString(Value("x")).error().message(),
              "Unable to serialize object class string, expected a NSArray or NSDictionary.");
    EXPECT_EQ(JsonSerializer::serializeObject(Value(1), 0, JsonEncodeAsData | JsonEncodeRequireString).error().message(),
              "Unable to serialize object class integer, expected a NSString.");
    EXPECT_EQ(JsonSerializer::serializeObject(Value::emptyArray(), 0, 0).error().message(), "Unknown encode as type.");
    // The object is written before the result kind is judged: its own error comes first.
    EXPECT_EQ(JsonSerializer::serializeObject(Value::array({std::nan("")}), 0, 0).error().message(),
              "Floating point values must be finite.  JSON does not support NaN or Infinity.");
    EXPECT_EQ(JSONStringWithString("say \"hi\"", 0, false).value(), "say \\\"hi\\\"");
    EXPECT_EQ(JSONStringWithString("say", 0, true).value(), "\"say\"");
}

TEST(JsonSerializerTest, MemoryThatRunsOutFailsTheWriteWithAnError) {
    if (!testing::kCanCapMemory) GTEST_SKIP() << "the sanitizers map and allocate memory of their own";
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    constexpr size_t kMiB = size_t{1} << 20;
    // The writer reserves six bytes a character (each could become an escape): a
    // 10 MiB string needs 60 MiB to be written and 10 MiB more for the result.
    const Value text = Value::array({Value(std::string(10 * kMiB, 'a'))});
    struct Case {
        size_t headroom;
        const char* message;
    } cases[] = {{40 * kMiB, "Unable to resize temporary buffer."}, {66 * kMiB, "Unable to create NSString object"}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.message);
        EXPECT_EXIT(
            {
                if (!testing::capAddressSpace(c.headroom)) std::_Exit(3);
                Result<std::string> written = JSONString(text);
                if (written.ok()) std::_Exit(2);
                std::fprintf(stderr, "%s\n", written.error().message().c_str());
                std::_Exit(written.error().domain == kJsonErrorDomain ? 0 : 1);
            },
            ::testing::ExitedWithCode(0), c.message);
    }
    // A bare string: its copy into a value is the first thing that cannot grow.
    const std::string bare(10 * kMiB, 'a');
    EXPECT_EXIT(
        {
            if (!testing::capAddressSpace(4 * kMiB)) std::_Exit(3);
            Result<std::string> written = JSONStringWithString(bare);
            if (written.ok()) std::_Exit(2);
            std::fprintf(stderr, "%s\n", written.error().message().c_str());
            std::_Exit(written.error().domain == kJsonErrorDomain ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "Unable to create NSString object");
}

TEST(JsonSerializerTest, DecimalsThatAreNoNumbersAreRefused) {
    for (const char* text : {"", "-", "01", "1.", ".5", "1e", "1e+", "+1", "NaN", "1,5", "1 "}) {
        EXPECT_EQ(JSONString(Value::array({Value::decimal(text)})).error().message(),
                  "Unable to get scalar value from number object.")
            << text;
    }
    EXPECT_EQ(JSONString(Value::array({Value::decimal("-0.5E+3")})).value(), "[-0.5E+3]");
}

TEST(JsonSerializerTest, StringsThatAreNotUtf8AreRefused) {
    EXPECT_EQ(JSONString(Value::array({"ok \xff"})).error().message(),
              "An error occurred converting the contents of a NSString to UTF8.");
    EXPECT_EQ(JSONString(Value::array({"\xe2\x82"}), JsonSerializeEscapeNonASCII).error().message(), "Error converting UTF8.");
    EXPECT_EQ(JSONString(Value::array({"a longer string that ends badly \xed\xa0\x80"})).error().message(),
              "An error occurred converting the contents of a NSString to UTF8.");
}

TEST(JsonSerializerTest, NoncharactersAreWrittenAndReadBackByTheSecondCodec) {
    // U+FFFE, U+FDD0 and U+10FFFF: well-formed UTF-8 that no character is assigned
    // to, which a user's text may still hold.
    const char* const texts[] = {"\xef\xbf\xbe", "a longer string with a noncharacter \xef\xb7\x90 in it",
                                 "\xf4\x8f\xbf\xbf at the start, in a string of more than sixteen bytes"};
    for (const char* text : texts) {
        SCOPED_TRACE(text);
        const Value document = Value::object({{"name", text}, {text, Value::array({text})}});
        const Result<std::string> plain = JSONString(document);
        ASSERT_TRUE(plain.ok()) << plain.error().description();
        EXPECT_NE(plain.value().find(text), std::string::npos) << "written as it is";
        const Result<std::string> escaped = JSONString(document, JsonSerializeEscapeNonASCII);
        ASSERT_TRUE(escaped.ok()) << escaped.error().description();
        EXPECT_TRUE(std::none_of(escaped.value().begin(), escaped.value().end(),
                                 [](char c) { return static_cast<unsigned char>(c) >= 0x80; }))
            << "escaped: " << escaped.value();
        // The second codec reads both back, and what it writes itself.
        const Result<std::string> second = JsonText().stringWithObject(document);
        ASSERT_TRUE(second.ok());
        for (const std::string& written : {plain.value(), escaped.value(), second.value()}) {
            const Result<Value> read = JsonText().objectWithString(written);
            ASSERT_TRUE(read.ok()) << written;
            EXPECT_EQ(read.value(), document) << written;
        }
    }
    EXPECT_EQ(JSONString(Value::array({"\xef\xbf\xbe\xef\xb7\x90\xf4\x8f\xbf\xbf"}), JsonSerializeEscapeNonASCII).value(),
              "[\"\\ufffe\\ufdd0\\udbff\\udfff\"]");
}

TEST(JsonSerializerTest, ABadByteAnywhereInAStringIsCaught) {
    for (size_t length : {5u, 14u, 15u, 16u, 17u, 31u, 40u}) {
        for (size_t at = 0; at < length; ++at) {
            std::string text(length, 'a');
            text[at] = '\xff';
            EXPECT_FALSE(JSONString(Value::array({text})).ok()) << length << " " << at;
            // Also after an escape, which takes the scan off its plain-run path.
            EXPECT_FALSE(JSONString(Value::array({"\n" + text})).ok()) << length << " " << at;
            text[at] = '\x7f';
            EXPECT_TRUE(JSONString(Value::array({text})).ok()) << length << " " << at;
        }
    }
}

// How each character is to be written, one at a time: what the encoder's block-wise
// scanning must agree with wherever the escapes fall.
std::string escapedOneByOne(std::string_view text, JsonSerializeOptionFlags options) {
    std::string out;
    for (size_t i = 0; i < text.size();) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c >= 0x80 && (options & JsonSerializeEscapeNonASCII)) {
            const int length = c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : 2;
            uint32_t codePoint = c & (0x7F >> length);
            for (int k = 1; k < length; ++k) codePoint = (codePoint << 6) | (static_cast<unsigned char>(text[i + k]) & 0x3F);
            if (codePoint > 0xFFFF) {
                out += fmt::format("\\u{:04x}\\u{:04x}", 0xD7C0 + (codePoint >> 10), 0xDC00 + (codePoint & 0x3FF));
            } else {
                out += fmt::format("\\u{:04x}", codePoint);
            }
            i += length;
            continue;
        }
        switch (c) {
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            case '\b': out += "\\b"; break;
            case '\f': out += "\\f"; break;
            case '\n': out += "\\n"; break;
            case '\r': out += "\\r"; break;
            case '\t': out += "\\t"; break;
            case '/': out += (options & JsonSerializeEscapeSlash) ? "\\/" : "/"; break;
            default:
                if (c < 0x20) {
                    out += fmt::format("\\u{:04x}", c);
                } else {
                    out += static_cast<char>(c);
                }
        }
        ++i;
    }
    return out;
}

TEST(JsonSerializerTest, EscapesLandRightWhereverTheyFallInAString) {
    constexpr const char* kPieces[] = {"a",  "plain words", "\"", "\\", "/", "\n", "\t", "\x01", "\x1f", "\x7f",
                                       "\xc3\xa9", "\xe2\x82\xac", "\xf0\x9f\xa5\x81", "0123456789abcdef"};
    std::mt19937 random(11);
    for (int trial = 0; trial < 4000; ++trial) {
        std::string text;
        const int pieces = static_cast<int>(random() % 14);
        for (int piece = 0; piece < pieces; ++piece) {
            // Mostly plain runs, so escapes fall at every offset of the sixteen-byte steps.
            text += random() % 3 ? std::string(random() % 20, 'x') : std::string(kPieces[random() % 14]);
        }
        for (JsonSerializeOptionFlags options : {JsonSerializeOptionFlags{0}, JsonSerializeEscapeSlash,
                                                 JsonSerializeEscapeNonASCII | JsonSerializeEscapeSlash}) {
            const std::string expected = escapedOneByOne(text, options);
            ASSERT_EQ(JSONString(Value::array({text}), options).value(), "[\"" + expected + "\"]") << text;
            ASSERT_EQ(JSONStringWithString(text, options, false).value(), expected) << text;
        }
    }
}

TEST(JsonSerializerTest, TheSameStringTwiceIsWrittenTwiceAlike) {
    const Value name("a name long enough to be shared between both items");
    const std::string text = JSONString(Value::array({name, name})).value();
    EXPECT_EQ(text, "[\"a name long enough to be shared between both items\",\"a name long enough to be shared between both items\"]");
}

TEST(JsonSerializerTest, NestingIsBoundedWithAnError) {
    Value deep = Value::emptyArray();
    for (size_t i = 1; i < kJsonMaxNestingDepth; ++i) deep = Value::array({deep});
    EXPECT_TRUE(JSONString(deep).ok());
    const Result<std::string> tooDeep = JSONString(Value::object({{"a", deep}}));
    ASSERT_FALSE(tooDeep.ok());
    EXPECT_EQ(tooDeep.error().message(), "Maximum nesting depth of 1024 arrays and objects exceeded.");
}

TEST(JsonSerializerTest, PrettyTextReadsBackAsTheSameValue) {
    const Value catalogue = Value::object(
        {{"items", Value::array({Value::object({{"id", "pack.1"}, {"price", 0.99}, {"tags", Value::array({"drums", "808"})}}),
                                 Value::object({{"id", "pack/2"}, {"price", 1.0}, {"new", true}})})},
         {"version", 7}});
    for (JsonSerializeOptionFlags options : {0, 1, 2, 16, 19}) {
        const std::string text = JSONString(catalogue, options).value();
        EXPECT_EQ(JSONDecoder::decode(text).value(), catalogue) << text;
    }
}

}  // namespace
}  // namespace strombel::json
