#include "json/json_decoder.h"

#include "json/json_text.h"
#include "json/value_printer.h"
#include "memory_limit.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <random>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace strombel::json {
namespace {

using namespace std::string_literals;

const std::string kUnexpectedToken =
    "Unexpected token, wanted '{', '}', '[', ']', ',', ':', 'true', 'false', 'null', '\"STRING\"', 'NUMBER'.";

struct RefusedCase {
    const char* name;
    std::string text;
    JsonParseOptionFlags options;
    std::string message;
    uint64_t index;
    uint64_t line;
};

void PrintTo(const RefusedCase& c, std::ostream* out) { *out << c.name << ": " << ::testing::PrintToString(c.text); }

class RefusedTextTest : public ::testing::TestWithParam<RefusedCase> {};

TEST_P(RefusedTextTest, ReportsTheFirstErrorWithItsPlace) {
    const RefusedCase& c = GetParam();
    const Result<Value> result = JSONDecoder::decode(c.text, c.options);
    ASSERT_FALSE(result.ok()) << c.text;
    const Error& error = result.error();
    EXPECT_EQ(error.domain, "JsonErrorDomain");
    EXPECT_EQ(error.code, -1);
    EXPECT_EQ(error.message(), c.message) << c.text;
    EXPECT_EQ(error.userInfo["JsonAtIndexKey"].asUInt64(), c.index) << c.text;
    EXPECT_EQ(error.userInfo["JsonLineNumberKey"].asUInt64(), c.line) << c.text;
}

INSTANTIATE_TEST_SUITE_P(
    Decoder, RefusedTextTest,
    ::testing::Values(
        // Document structure.
        RefusedCase{"EmptyText", "", 0, "Reached the end of the buffer.", 0, 1},
        RefusedCase{"OnlyWhiteSpace", "  \n ", 0, kUnexpectedToken, 4, 2},
        RefusedCase{"TopLevelString", "\"x\"", 0, "Expected either '[' or '{'.", 3, 1},
        RefusedCase{"TopLevelNumber", "1 ", 0, "Expected either '[' or '{'.", 1, 1},
        RefusedCase{"TopLevelTrue", "true ", 0, "Expected either '[' or '{'.", 4, 1},
        RefusedCase{"TrailingCommaInArray", "[1,]", 0, "Unexpected ']'.", 4, 1},
        RefusedCase{"TrailingCommaInObject", "{\"a\":1,}", 0, "Unexpected '}'.", 8, 1},
        RefusedCase{"MissingCommaInArray", "[1 2]", 0, "Unexpected value.", 4, 1},
        RefusedCase{"MissingColon", "{\"a\" 1}", 0, "Expected ':'.", 6, 1},
        RefusedCase{"DoubleComma", "[1,,2]", 0, "Unexpected ','.", 4, 1},
        RefusedCase{"CommaOpensObject", "{,}", 0, "Unexpected ','.", 2, 1},
        RefusedCase{"MissingCommaInObject", "{\"a\":1 \"b\":2}", 0, "Unexpected string.", 10, 1},
        RefusedCase{"EndAfterString", "[\"a\"", 0, "Reached the end of the buffer.", 4, 1},
        RefusedCase{"EndAfterStringAndSpace", "[\"a\" ", 0, kUnexpectedToken, 5, 1},
        RefusedCase{"TrueAtTheEnd", "[true", 0, kUnexpectedToken, 1, 1},
        RefusedCase{"MisspeltTrue", "[tru]", 0, kUnexpectedToken, 1, 1},
        RefusedCase{"ColonOpensArray", "[:]", 0, "Expected a value or a ']', not ':'", 2, 1},
        RefusedCase{"ColonAfterArrayValue", "[1:", 0, "Expected a comma or a ']', not ':'", 3, 1},
        RefusedCase{"NumberAsKey", "{1:2}", 0, "Expected a \"STRING\" or a '}', not '1'", 2, 1},
        RefusedCase{"MissingObjectValue", "{\"a\":}", 0, "Expected a value or a '}', not '}'", 6, 1},
        RefusedCase{"BracketAsObjectValue", "{\"a\":1,\"b\":]", 0, "Expected a value, not ']'", 12, 1},
        RefusedCase{"LetterAfterDocument", "[1]x", 0, "A valid JSON object was parsed but there were additional non-white-space characters remaining.", 3, 1},
        RefusedCase{"NulAfterDocument", "[1]\0"s, 0, "A valid JSON object was parsed but there were additional non-white-space characters remaining.", 3, 1},
        RefusedCase{"CommentAfterDocumentWithoutOption", "[1]//c", 0, "A valid JSON object was parsed but there were additional non-white-space characters remaining.", 3, 1},
        RefusedCase{"CommentBeforeDocumentWithoutOption", "/*c*/[1]", 0, kUnexpectedToken, 0, 1},
        // Lines: LF, CR, CR LF each count once; the Unicode breaks only with their option.
        RefusedCase{"CrLfCountsOnce", "[\r\n1,\r\n]", 0, "Unexpected ']'.", 8, 3},
        RefusedCase{"CrAndLfCountEach", "[\r1,\n\n]", 0, "Unexpected ']'.", 7, 4},
        RefusedCase{"LineSeparatorWithOption", "[1,\xe2\x80\xa8]", JsonParseUnicodeLineBreaks, "Unexpected ']'.", 7, 2},
        RefusedCase{"NextLineWithOption", "[1,\xc2\x85]", JsonParseUnicodeLineBreaks, "Unexpected ']'.", 6, 2},
        RefusedCase{"LineSeparatorWithoutOption", "[1,\xe2\x80\xa8]", 0, kUnexpectedToken, 3, 1},
        RefusedCase{"LinesInsideComments", "[1,//x\r\n/*\n\n*/]", JsonParseAllowComments, "Unexpected ']'.", 15, 4},
        // Numbers.
        RefusedCase{"NumberAtTheEnd", "[1", 0, "Invalid number.", 1, 1},
        RefusedCase{"LeadingZero", "[01]", 0, "Unexpected value.", 3, 1},
        RefusedCase{"MinusAlone", "[-]", 0, "Invalid number.", 1, 1},
        RefusedCase{"NoDigitsAfterPoint", "[1.]", 0, "Invalid number.", 1, 1},
        RefusedCase{"NoDigitsAfterExponent", "[1e]", 0, "Invalid number.", 1, 1},
        RefusedCase{"NoDigitsAfterExponentSign", "[1e+]", 0, "Invalid number.", 1, 1},
        RefusedCase{"LeadingPlus", "[+1]", 0, kUnexpectedToken, 1, 1},
        RefusedCase{"JustAboveUInt64Max", "[18446744073709551616]", 0,
                    "The value '18446744073709551616' exceeded the maximum value that could be represented: 18446744073709551615.", 21, 1},
        RefusedCase{"FarAboveUInt64Max", "[99999999999999999999999]", 0,
                    "The value '99999999999999999999999' exceeded the maximum value that could be represented: 18446744073709551615.", 24, 1},
        RefusedCase{"JustBelowInt64Min", "[-9223372036854775809]", 0,
                    "The value '-9223372036854775809' exceeded the minimum value that could be represented: -9223372036854775808.", 21, 1},
        // Magnitudes that wrap to 0 past 64 bits are no "-0".
        RefusedCase{"MinusTwoToTheSixtyFour", "[-18446744073709551616]", 0,
                    "The value '-18446744073709551616' exceeded the minimum value that could be represented: -9223372036854775808.", 22, 1},
        RefusedCase{"MinusTenTimesTwoToTheSixtyThree", "[-92233720368547758080]", 0,
                    "The value '-92233720368547758080' exceeded the minimum value that could be represented: -9223372036854775808.", 22, 1},
        RefusedCase{"DoubleOverflow", "[1e400]", 0, "The value '1e400' could not be represented as a 'double' due to overflow.", 6, 1},
        RefusedCase{"DoubleUnderflow", "[-0.00001e-400]", 0, "The value '-0.00001e-400' could not be represented as a 'double' due to underflow.", 14, 1},
        // Strings.
        RefusedCase{"RawTabInString", "[\"a\tb\"]", 0, "Invalid character < 0x20 found in string: 0x09.", 1, 1},
        RefusedCase{"ControlCharacterAfterEscapedQuote", "[\"a\\\"\x01\"]", 0, "Invalid character < 0x20 found in string: 0x01.", 1, 1},
        RefusedCase{"UnknownEscape", "[\"a\\xb\"]", 0, "Invalid escape sequence found in \"\" string.", 1, 1},
        RefusedCase{"StringAtTheEnd", "[\"abc", 0, "Invalid string.", 1, 1},
        RefusedCase{"BackslashAtTheEnd", "[\"abc\\", 0, "Invalid string.", 1, 1},
        RefusedCase{"LoneHighSurrogate", "[\"\\ud83d\"]", 0,
                    "Required a second \\u Unicode escape sequence following a surrogate \\u Unicode escape sequence.", 1, 1},
        RefusedCase{"HighSurrogateThenLetter", "[\"\\ud83d\\u0041\"]", 0, "Illegal \\u Unicode escape sequence.", 1, 1},
        RefusedCase{"LoneLowSurrogate", "[\"\\udc00\"]", 0, "Illegal \\u Unicode escape sequence.", 1, 1},
        RefusedCase{"EscapedNul", "[\"\\u0000\"]", 0, "Illegal \\u Unicode escape sequence.", 1, 1},
        RefusedCase{"EscapedNoncharacterFFFE", "[\"\\ufffe\"]", 0, "Illegal \\u Unicode escape sequence.", 1, 1},
        RefusedCase{"EscapedNoncharacterFDD0", "[\"\\ufdd0\"]", 0, "Illegal \\u Unicode escape sequence.", 1, 1},
        RefusedCase{"BadHexDigit", "[\"\\u12G4\"]", 0,
                    "Unexpected character found in \\u Unicode escape sequence.  Found 'G', expected [0-9a-fA-F].", 1, 1},
        RefusedCase{"ByteFF", "[\"\xff\"]", 0, "Illegal UTF8 sequence found in \"\" string.", 1, 1},
        RefusedCase{"OverlongSlash", "[\"\xc0\xaf\"]", 0, "Illegal UTF8 sequence found in \"\" string.", 1, 1},
        RefusedCase{"EncodedSurrogate", "[\"\xed\xa0\x80\"]", 0, "Illegal UTF8 sequence found in \"\" string.", 1, 1},
        RefusedCase{"EncodedNoncharacterFFFF", "[\"\xef\xbf\xbf\"]", 0, "Illegal UTF8 sequence found in \"\" string.", 1, 1},
        RefusedCase{"BeyondU10FFFF", "[\"\xf4\x90\x80\x80\"]", 0, "Illegal UTF8 sequence found in \"\" string.", 1, 1},
        RefusedCase{"SequenceCutByTheEnd", "[\"\xe2\x82", 0, "End of buffer reached while parsing UTF8 in \"\" string.", 1, 1}),
    [](const auto& info) { return std::string(info.param.name); });

struct AcceptedCase {
    const char* name;
    std::string text;
    JsonParseOptionFlags options;
    Value expected;
};

void PrintTo(const AcceptedCase& c, std::ostream* out) { *out << c.name << ": " << ::testing::PrintToString(c.text); }

class AcceptedTextTest : public ::testing::TestWithParam<AcceptedCase> {};

TEST_P(AcceptedTextTest, DecodesToTheExpectedValue) {
    const AcceptedCase& c = GetParam();
    const Result<Value> result = JSONDecoder::decode(c.text, c.options);
    ASSERT_TRUE(result.ok()) << c.text << ": " << result.error().description();
    EXPECT_EQ(result.value(), c.expected) << c.text;
}

INSTANTIATE_TEST_SUITE_P(
    Decoder, AcceptedTextTest,
    ::testing::Values(
        AcceptedCase{"Zero", "[0]", 0, Value::array({0u})},
        AcceptedCase{"EmptyArrayInSpaces", " [ ] ", 0, Value::emptyArray()},
        AcceptedCase{"EmptyObject", "{}", 0, Value::emptyObject()},
        AcceptedCase{"Literals", "[true,false,null]", 0, Value::array({true, false, Value()})},
        AcceptedCase{"UInt64Max", "[18446744073709551615]", 0, Value::array({18446744073709551615ull})},
        AcceptedCase{"Int64Min", "[-9223372036854775808]", 0, Value::array({static_cast<long long>(INT64_MIN)})},
        AcceptedCase{"Doubles", "[1.5,-2e3,1E-2]", 0, Value::array({1.5, -2000.0, 0.01})},
        AcceptedCase{"SmallestSubnormal", "[4.9e-324]", 0, Value::array({4.9e-324})},
        AcceptedCase{"LargestSubnormal", "[2.2250738585072009e-308]", 0, Value::array({2.2250738585072009e-308})},
        AcceptedCase{"EscapedSlash", "[\"a\\/b\"]", 0, Value::array({"a/b"})},
        AcceptedCase{"ShortEscapes", "[\"\\b\\f\\n\\r\\t\\\\\\\"\"]", 0, Value::array({"\b\f\n\r\t\\\""})},
        AcceptedCase{"SurrogatePair", "[\"\\ud83d\\ude00\"]", 0, Value::array({"\xf0\x9f\x98\x80"})},
        AcceptedCase{"BmpEscapes", "[\"\\u00e9\\u20AC\"]", 0, Value::array({"\xc3\xa9\xe2\x82\xac"})},
        AcceptedCase{"RawUtf8", "[\"caf\xc3\xa9 \xf0\x9f\xa5\x81\"]", 0, Value::array({"caf\xc3\xa9 \xf0\x9f\xa5\x81"})},
        AcceptedCase{"RepeatedKeyKeepsTheLast", "{\"a\":1,\"a\":2}", 0, Value::object({{"a", 2u}})},
        AcceptedCase{"TrailingTextWithOption", "[1]x", JsonParseAllowTrailingText, Value::array({1u})},
        AcceptedCase{"CommentsWithOption", "/* head */[1, // one\n2]// tail", JsonParseAllowComments, Value::array({1u, 2u})},
        AcceptedCase{"SlashAfterDocumentWithOptions", "[1]/", JsonParseAllowComments | JsonParseAllowTrailingText, Value::array({1u})},
        AcceptedCase{"ParagraphSeparatorWithOption", "[\xe2\x80\xa9 1]", JsonParseUnicodeLineBreaks, Value::array({1u})},
        AcceptedCase{"LoneHighSurrogateReplaced", "[\"\\ud83dx\"]", JsonParseReplaceBadUnicode, Value::array({"\xef\xbf\xbdx"})},
        AcceptedCase{"HighSurrogateThenLetterReplaced", "[\"\\ud83d\\u0041\"]", JsonParseReplaceBadUnicode, Value::array({"\xef\xbf\xbd"})},
        AcceptedCase{"EscapedNulReplaced", "[\"\\u0000\"]", JsonParseReplaceBadUnicode, Value::array({"\xef\xbf\xbd"})},
        AcceptedCase{"BadBytesReplaced", "[\"a\xff" "b\xe2\x82z\"]", JsonParseReplaceBadUnicode, Value::array({"a\xef\xbf\xbd" "b\xef\xbf\xbdz"})}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(JsonDecoderTest, RepeatedKeysFoldToTheirFirstPlaceInEveryCodec) {
    // Keys repeated near and far, each fold keeping the first place and the last
    // value: what a catalogue with repeated entries asks of the decoder, the
    // second codec and the pack files' reader.
    for (size_t count : {5u, 9u, 20000u}) {
        SCOPED_TRACE(count);
        std::string text = "{";
        std::vector<std::pair<std::string, Value>> expected;
        for (size_t i = 0; i < count; ++i) {
            const std::string key = "k" + std::to_string(i);
            text += "\"" + key + "\":\"v" + std::to_string(i) + "\",";
            expected.emplace_back(key, Value("v" + std::to_string(i)));
        }
        for (size_t i = 0; i < count; i += 3) {
            text += "\"k" + std::to_string(i) + "\":\"again " + std::to_string(i) + "\",";
            expected[i].second = Value("again " + std::to_string(i));
        }
        text += "\"k1\":\"last\"}";
        expected[1].second = Value("last");

        JsonText second;
        for (const Result<Value>& decoded : {JSONDecoder::decode(text), objectFromJSONString(text),
                                             second.objectWithString(text)}) {
            ASSERT_TRUE(decoded.ok()) << decoded.error().description();
            const Value& object = decoded.value();
            ASSERT_EQ(object.size(), count);
            for (size_t i = 0; i < count; ++i) {
                ASSERT_EQ(object.members()[i].key.asString(), expected[i].first);
                ASSERT_EQ(object[expected[i].first], expected[i].second) << expected[i].first;
            }
        }
    }
}

TEST(JsonDecoderTest, AKeyFirstSeenAfterAFoldedRepeatKeepsItsOwnPlace) {
    // Enough members for the hash index; the repeat of k0 is folded before k9
    // first appears, so k9's place is not its place in the text.
    const std::string text = R"({"k0":"0","k1":"1","k2":"2","k3":"3","k4":"4","k5":"5","k6":"6","k7":"7","k8":"8",)"
                             R"("k0":"again","k9":"9","k9":"k9 again","k5":"k5 again"})";
    std::vector<std::pair<std::string, Value>> expected;
    for (int i = 0; i < 10; ++i) expected.emplace_back("k" + std::to_string(i), Value(std::to_string(i)));
    expected[0].second = Value("again");
    expected[5].second = Value("k5 again");
    expected[9].second = Value("k9 again");
    std::vector<std::pair<std::string, Value>> built;
    for (int i = 0; i < 9; ++i) built.emplace_back("k" + std::to_string(i), Value(std::to_string(i)));
    for (const char* key : {"k0", "k9", "k9", "k5"}) built.emplace_back(key, expected[size_t(key[1] - '0')].second);

    JsonText second;
    for (const Result<Value>& decoded : {JSONDecoder::decode(text), second.objectWithString(text), Result<Value>(Value::object(built))}) {
        ASSERT_TRUE(decoded.ok()) << decoded.error().description();
        const Value& object = decoded.value();
        ASSERT_EQ(object.size(), expected.size());
        for (size_t i = 0; i < expected.size(); ++i) {
            EXPECT_EQ(object.members()[i].key.asString(), expected[i].first);
            EXPECT_EQ(object[expected[i].first], expected[i].second) << expected[i].first;
        }
    }
}

TEST(JsonDecoderTest, MemoryThatRunsOutFailsTheParseWithAnError) {
    if (!testing::kCanCapMemory) GTEST_SKIP() << "the sanitizers map and allocate memory of their own";
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    constexpr size_t kMiB = size_t{1} << 20;
    std::string wideArray = "[0";
    for (size_t i = 1; i < 4 * kMiB; ++i) wideArray += ",0";
    wideArray += "]";
    struct Case {
        const char* what;
        std::string text;
        const char* message;
    } cases[] = {
        {"a long string's value", "[\"" + std::string(48 * kMiB, 'a') + "\"]", "Internal error: Object == NULL."},
        {"a long escaped string's scratch space", "[\"" + std::string(48 * kMiB, 'a') + "\\n\"]",
         "Internal error: Unable to resize temporary buffer."},
        {"the stack of a wide array", wideArray,
         "Internal error: \\[array\\] objectsIndex > "},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EXIT(
            {
                if (!testing::capAddressSpace(40 * kMiB)) std::_Exit(3);
                Result<Value> decoded = JSONDecoder::decode(c.text);
                if (decoded.ok()) std::_Exit(2);
                std::fprintf(stderr, "%s\n", decoded.error().message().c_str());
                std::_Exit(decoded.error().domain == kJsonErrorDomain ? 0 : 1);
            },
            ::testing::ExitedWithCode(0), c.message);
    }
}

TEST(JsonDecoderTest, NegativeZeroStaysADouble) {
    const Value value = JSONDecoder::decode("[-0, 0]").value();
    ASSERT_TRUE(value[0].isDouble());
    EXPECT_TRUE(std::signbit(value[0].asDouble()));
    EXPECT_EQ(value[1].kind(), Kind::UInt);
}

TEST(JsonDecoderTest, NumbersTakeTheKindTheirTextCallsFor) {
    const Value value = JSONDecoder::decode("[-1, 1, 1.0, 1e2, 9223372036854775808]").value();
    EXPECT_EQ(value[0].kind(), Kind::Int);
    EXPECT_EQ(value[1].kind(), Kind::UInt);
    EXPECT_EQ(value[2].kind(), Kind::Double);
    EXPECT_EQ(value[3].kind(), Kind::Double);
    EXPECT_EQ(value[4].kind(), Kind::UInt);
    EXPECT_EQ(value[4].asUInt64(), 9223372036854775808ull);
}

TEST(JsonDecoderTest, IntegersOfEveryLengthReadExactly) {
    // Digits are read in runs of up to eight; every length, followed by each kind of
    // byte that ends a number, near the end of the text and far from it.
    std::mt19937_64 random(7);
    for (size_t length = 1; length <= 21; ++length) {
        for (int trial = 0; trial < 40; ++trial) {
            std::string digits(1, static_cast<char>('1' + random() % 9));
            while (digits.size() < length) digits += static_cast<char>('0' + random() % 10);
            uint64_t expected = 0;
            const bool fits = std::from_chars(digits.data(), digits.data() + digits.size(), expected).ec == std::errc();
            const bool negative = trial % 2;
            const std::string number = (negative ? "-" : "") + digits;
            for (const std::string& text : {"[" + number + "]", "[" + number + ",7,\"padding\"]", "[" + number + " ,7]",
                                            "{\"a\":" + number + "}"}) {
                const Result<Value> value = JSONDecoder::decode(text);
                const bool representable = fits && (!negative || expected <= uint64_t{1} << 63);
                ASSERT_EQ(value.ok(), representable) << text;
                if (!representable) continue;
                const Value& read = value.value().isArray() ? value.value()[0] : value.value()["a"];
                if (negative) {
                    ASSERT_EQ(read.kind(), Kind::Int) << text;
                    ASSERT_EQ(static_cast<uint64_t>(read.asInt64()), 0 - expected) << text;
                } else {
                    ASSERT_EQ(read.kind(), Kind::UInt) << text;
                    ASSERT_EQ(read.asUInt64(), expected) << text;
                }
            }
        }
    }
}

TEST(JsonDecoderTest, DoublesReadBackExactlyAsTheFullConversionGivesThem) {
    std::mt19937_64 random(42);
    auto check = [](std::string text) {
        // Whole numbers written without a point would read as integers.
        if (text.find_first_of(".eE") == std::string::npos) text += ".0";
        double expected = 0;
        std::from_chars(text.data(), text.data() + text.size(), expected);
        const Result<Value> value = JSONDecoder::decode("[" + text + "]");
        ASSERT_TRUE(value.ok()) << text;
        ASSERT_EQ(std::bit_cast<uint64_t>(value.value()[0].asDouble()), std::bit_cast<uint64_t>(expected)) << text;
    };
    char buffer[64];
    for (int i = 0; i < 20000; ++i) {
        // Random doubles written shortest and with 17 digits.
        double number;
        do {
            number = std::bit_cast<double>(random());
        } while (!std::isfinite(number));
        check(std::string(buffer, std::to_chars(buffer, buffer + 64, number).ptr));
        std::snprintf(buffer, sizeof buffer, "%.17g", number);
        check(buffer);
        // Random digit strings with a point and an exponent near the exact range.
        std::string digits = std::to_string(1 + random() % 9);
        const int count = static_cast<int>(random() % 19);
        for (int d = 0; d < count; ++d) digits += static_cast<char>('0' + random() % 10);
        const size_t point = random() % digits.size();
        std::string text = digits.substr(0, point + 1) + "." + digits.substr(point + 1) + "0";
        if (random() % 2) text += "e" + std::to_string(static_cast<int>(random() % 50) - 25);
        if (random() % 2) text = "-" + text;
        check(text);
        // Short fractions below one, as prices and gains are written.
        check("0." + std::string(random() % 4, '0') + digits.substr(0, 1 + random() % std::min<size_t>(digits.size(), 15)));
        // Ties and near-ties: 2^53 + 1 and friends written out.
        const uint64_t tie = (uint64_t{1} << 53) + 1 + 2 * (random() % 1000);
        check(std::to_string(tie) + ".0");
        check(std::to_string(tie) + "0e-1");
        check(std::to_string(tie) + "000001e-6");
    }
}

TEST(JsonDecoderTest, NestingIsBoundedWithAnErrorInsteadOfACrash) {
    const std::string deepest = std::string(kJsonMaxNestingDepth, '[') + std::string(kJsonMaxNestingDepth, ']');
    EXPECT_TRUE(JSONDecoder::decode(deepest).ok());

    const std::string tooDeep = "{\"a\":" + deepest + "}";
    const Result<Value> refused = JSONDecoder::decode(tooDeep);
    ASSERT_FALSE(refused.ok());
    EXPECT_EQ(refused.error().message(), "Maximum nesting depth of 1024 arrays and objects exceeded.");

    const Result<Value> hostile = JSONDecoder::decode(std::string(1'000'000, '['));
    ASSERT_FALSE(hostile.ok());
}

TEST(JsonDecoderTest, OptionsOfSixteenOrMoreAreRefused) {
    EXPECT_THROW(JSONDecoder{16}, std::invalid_argument);
    EXPECT_NO_THROW(JSONDecoder{JsonParseOptionsValid});
}

TEST(JsonDecoderTest, OneDecoderReadsManyTextsAndRecoversAfterAFailure) {
    JSONDecoder decoder;
    EXPECT_FALSE(decoder.objectWithUTF8String("[\"unterminated").ok());
    const Result<Value> second = decoder.objectWithUTF8String("{\"sounds\":[\"kick\",\"snare\"]}");
    ASSERT_TRUE(second.ok());
    EXPECT_EQ(second.value()["sounds"][1].asString(), "snare");
    const std::vector<uint8_t> bytes{'[', '7', ']'};
    EXPECT_EQ(decoder.objectWithData(bytes).value()[0].asInt64(), 7);
}

TEST(JsonDecoderTest, PartsCopiedOutOfADocumentOutliveIt) {
    Value name;
    Value sounds;
    {
        const Value pack = JSONDecoder::decode(
                               R"({"name": "a name long enough to need shared storage", "sounds": [{"file": "kick.wav"}]})")
                               .value();
        name = pack["name"];
        sounds = pack["sounds"];
    }
    EXPECT_EQ(name.asString(), "a name long enough to need shared storage");
    EXPECT_EQ(sounds[0]["file"].asString(), "kick.wav");

    // Builders take decoded values in and keep them alive as well.
    ObjectBuilder edited(JSONDecoder::decode(R"({"kept": "another string long enough to be shared"})").value());
    edited.set("added", sounds);
    const Value result = edited.build();
    EXPECT_EQ(result["kept"].asString(), "another string long enough to be shared");
    EXPECT_EQ(result["added"][0]["file"].asString(), "kick.wav");
}

TEST(JsonDecoderTest, ADecodedDocumentIsSharedAcrossThreads) {
    std::string text = "[";
    for (int i = 0; i < 2000; ++i) text += (i ? "," : "") + std::string("{\"id\":\"item number ") + std::to_string(i) + "\"}";
    text += "]";
    Value document = JSONDecoder::decode(text).value();
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([copy = document, t] {
            for (int i = t; i < 2000; i += 4) {
                const Value item = copy[i];
                ASSERT_EQ(item["id"].asString(), "item number " + std::to_string(i));
            }
        });
    }
    document = Value();
    for (auto& thread : threads) thread.join();
}

TEST(JsonDecoderTest, ReadsAPackDescription) {
    const std::string text = R"({
        "id": "com.tumblecraft.pack.808",
        "name": "Eight-O-Eight",
        "version": 3,
        "sounds": [
            {"file": "kick.wav", "name": "Kick", "gain": 0.8},
            {"file": "snare.wav", "name": "Snare \u00e9", "gain": 1}
        ],
        "banks": {"Main": ["kick.wav", "snare.wav"]}
    })";
    const Result<Value> pack = objectFromJSONString(text);
    ASSERT_TRUE(pack.ok()) << pack.error().description();
    const Value& value = pack.value();
    EXPECT_EQ(value["name"].asString(), "Eight-O-Eight");
    EXPECT_EQ(value["version"].asInt(), 3);
    EXPECT_EQ(value["sounds"].size(), 2u);
    EXPECT_DOUBLE_EQ(value["sounds"][0]["gain"].asDouble(), 0.8);
    EXPECT_EQ(value["sounds"][1]["name"].asString(), "Snare \xc3\xa9");
    EXPECT_EQ(value["banks"]["Main"][1].asString(), "snare.wav");
    EXPECT_EQ(value.members()[0].key.asString(), "id");
}

}  // namespace
}  // namespace strombel::json
