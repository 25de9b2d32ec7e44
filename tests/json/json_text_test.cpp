#include "json/json_text.h"

#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "json/value_printer.h"

namespace strombel::json {
namespace {

using namespace std::string_literals;

std::string nested(size_t depth) { return std::string(depth, '[') + std::string(depth, ']'); }

struct TextRefusedCase {
    const char* name;
    std::string text;
    bool allowScalar;
    int64_t firstCode;          // the innermost error
    std::string firstMessage;
    int64_t lastCode;           // the outermost error, the one handed out
    std::string lastMessage;
};

void PrintTo(const TextRefusedCase& c, std::ostream* out) { *out << c.name << ": " << ::testing::PrintToString(c.text); }

class JsonTextRefusedTest : public ::testing::TestWithParam<TextRefusedCase> {};

TEST_P(JsonTextRefusedTest, TracesTheFailureFromInnermostToOutermost) {
    const TextRefusedCase& c = GetParam();
    JsonText json;
    const Result<Value> result = json.objectWithString(c.text, c.allowScalar);
    ASSERT_FALSE(result.ok()) << c.text;
    const std::vector<Error>& trace = json.errorTrace();
    ASSERT_FALSE(trace.empty());
    EXPECT_EQ(trace.front().domain, "org.quenholt.JSON.ErrorDomain");
    EXPECT_EQ(trace.front().code, c.firstCode) << c.text;
    EXPECT_EQ(trace.front().message(), c.firstMessage) << c.text;
    EXPECT_EQ(trace.back().code, c.lastCode) << c.text;
    EXPECT_EQ(trace.back().message(), c.lastMessage) << c.text;
    EXPECT_EQ(result.error(), trace.back());
    EXPECT_EQ(trace.front().underlying, nullptr);
}

INSTANTIATE_TEST_SUITE_P(
    SecondCodec, JsonTextRefusedTest,
    ::testing::Values(
        TextRefusedCase{"TopLevelString", "\"x\"", false, 4, "Valid fragment, but not JSON", 4, "Valid fragment, but not JSON"},
        TextRefusedCase{"TrailingCommaInArray", "[1,]", false, 9, "Trailing comma disallowed in array", 9, "Trailing comma disallowed in array"},
        TextRefusedCase{"TrailingCommaInObject", "{\"a\":1 , }", false, 9, "Trailing comma disallowed in object", 9, "Trailing comma disallowed in object"},
        TextRefusedCase{"MissingColon", "{\"a\" 1}", false, 3, "Expected ':' separating key and value", 3, "Expected ':' separating key and value"},
        TextRefusedCase{"UnknownLiteralAsValue", "{\"a\":x}", false, 3, "Unrecognised leading character", 3, "Object value expected for key: a"},
        TextRefusedCase{"KeyWithoutQuotes", "{a:1}", false, 3, "Object key string expected", 3, "Object key string expected"},
        TextRefusedCase{"LeadingZero", "[01]", false, 2, "Leading 0 disallowed in number", 3, "Expected value while parsing array"},
        TextRefusedCase{"MinusAlone", "-", true, 2, "No digits after initial minus", 2, "No digits after initial minus"},
        TextRefusedCase{"LeadingPlus", "[+1]", false, 2, "Leading + disallowed in number", 3, "Expected value while parsing array"},
        TextRefusedCase{"NoDigitsAfterPoint", "1.", true, 2, "No digits after decimal point", 2, "No digits after decimal point"},
        TextRefusedCase{"NoDigitsAfterExponent", "1e+", true, 2, "No digits after exponent", 2, "No digits after exponent"},
        TextRefusedCase{"MisspeltTrue", "[tru]", false, 3, "Expected 'true'", 3, "Expected value while parsing array"},
        TextRefusedCase{"NullAtTheEnd", "[nul", false, 3, "Expected 'null'", 3, "Expected value while parsing array"},
        TextRefusedCase{"OpenArrayAlone", "[", false, 11, "End of input while parsing array", 11, "End of input while parsing array"},
        TextRefusedCase{"OpenObjectAlone", "{", false, 11, "End of input while parsing object", 11, "End of input while parsing object"},
        TextRefusedCase{"OpenObjectThenSpace", "{ ", false, 3, "Object key string expected", 3, "Object key string expected"},
        TextRefusedCase{"ObjectEndsAfterAComma", "{\"a\":1, ", false, 11, "End of input while parsing object", 11, "End of input while parsing object"},
        TextRefusedCase{"ArrayAtTheEnd", "[1", false, 11, "End of input while parsing array", 11, "End of input while parsing array"},
        TextRefusedCase{"EmptyText", "", true, 11, "Unexpected end of string", 11, "Unexpected end of string"},
        TextRefusedCase{"StringAtTheEnd", "\"abc", true, 5, "Unescaped control character '0x0'", 5, "Unescaped control character '0x0'"},
        TextRefusedCase{"RawTabInString", "[\"a\tb\"]", false, 5, "Unescaped control character '0x9'", 3, "Expected value while parsing array"},
        TextRefusedCase{"RawNulInString", "[\"a\0b\"]"s, false, 5, "Unescaped control character '0x0'", 3, "Expected value while parsing array"},
        TextRefusedCase{"BadUtf8InString", "[\"\xc3(\"]", false, 5, "Unescaped control character '0xffffffc3'", 3, "Expected value while parsing array"},
        TextRefusedCase{"UnknownEscape", "\"a\\x\"", true, 8, "Illegal escape sequence '0x78'", 8, "Illegal escape sequence '0x78'"},
        TextRefusedCase{"UnknownEscapeOfALatinByte", "\"a\\\xe9\"", true, 8, "Illegal escape sequence '0xffe9'", 8, "Illegal escape sequence '0xffe9'"},
        TextRefusedCase{"NewlineEscapeAtTheEnd", "\"a\\n", true, 11, "Unexpected EOF while parsing string", 11, "Unexpected EOF while parsing string"},
        TextRefusedCase{"LoneLowSurrogate", "\"\\udfff\"", true, 6, "Invalid high character in surrogate pair", 6, "Broken unicode character"},
        TextRefusedCase{"LoneHighSurrogate", "\"\\ud83d\"", true, 6, "Missing low character in surrogate pair", 6, "Broken unicode character"},
        TextRefusedCase{"HighSurrogateThenLetter", "\"\\ud83d\\u0041\"", true, 6, "Invalid low surrogate char", 6, "Broken unicode character"},
        TextRefusedCase{"ShortHexQuad", "\"\\u12\"", true, 6, "Missing hex digit in quad", 6, "Broken unicode character"},
        TextRefusedCase{"SpaceAndLetterAfterDocument", "[1] x", false, 10, "Garbage after JSON", 10, "Garbage after JSON"},
        // A reply is read whole, not up to its first NUL: a body with a NUL after the
        // document is not a clean reply, and reading only its front would take it for one.
        TextRefusedCase{"NulAfterDocument", "[1]\0"s, false, 10, "Garbage after JSON", 10, "Garbage after JSON"},
        TextRefusedCase{"AtSignAlone", "@", true, 3, "Unrecognised leading character", 3, "Unrecognised leading character"},
        TextRefusedCase{"NestedTooDeep", nested(513), false, 7, "Nested too deep", 3, "Expected value while parsing array"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(JsonTextTest, BrokenEscapesTraceEveryStepFromTheQuadOutwards) {
    struct Case {
        const char* text;
        std::vector<std::string> trace;
    } cases[] = {
        {"\"\\u12\"", {"Missing hex digit in quad", "Missing hex quad", "Broken unicode character"}},
        {"\"\\ud83d\\u12\"",
         {"Missing hex digit in quad", "Missing low character in surrogate pair", "Broken unicode character"}},
        {"\"\\ud83dx\"", {"Missing low character in surrogate pair", "Broken unicode character"}},
    };
    for (const Case& c : cases) {
        JsonText json;
        ASSERT_FALSE(json.objectWithString(c.text, true).ok()) << c.text;
        std::vector<std::string> trace;
        for (const Error& error : json.errorTrace()) trace.push_back(error.message());
        EXPECT_EQ(trace, c.trace) << c.text;
    }
}

TEST(JsonTextTest, NoInputAtAllIsRefusedApartFromAnEmptyText) {
    JsonText json;
    const Result<Value> none = json.objectWithString(std::string_view{}, true);
    ASSERT_FALSE(none.ok());
    EXPECT_EQ(none.error().code, 12);
    EXPECT_EQ(none.error().message(), "Input was 'nil'");
    ASSERT_EQ(json.errorTrace().size(), 1u);

    const Result<Value> empty = json.objectWithString(std::string_view("", 0), true);
    ASSERT_FALSE(empty.ok());
    EXPECT_EQ(empty.error().code, 11);
}

TEST(JsonTextTest, ReadsNumbersAsDecimalsAndKeepsTheirText) {
    JsonText json;
    const Result<Value> value = json.objectWithString("{\"a\":[1,2.5,\"x\"], \"big\": 123456789012345678901234567890e-5}");
    ASSERT_TRUE(value.ok()) << value.error().description();
    const Value& array = value.value()["a"];
    ASSERT_EQ(array.size(), 3u);
    EXPECT_TRUE(array[0].isDecimal());
    EXPECT_EQ(array[1].asStringView(), "2.5");
    EXPECT_DOUBLE_EQ(array[1].asDouble(), 2.5);
    EXPECT_EQ(array[2].asString(), "x");
    EXPECT_EQ(value.value()["big"].asStringView(), "123456789012345678901234567890e-5");
}

TEST(JsonTextTest, AcceptsWhatItsGrammarAllows) {
    JsonText json;
    EXPECT_EQ(json.objectWithString("[1 2]").value(), Value::array({Value::decimal("1"), Value::decimal("2")}));
    EXPECT_EQ(json.fragmentWithString("\"x\"").value(), Value("x"));
    EXPECT_EQ(json.fragmentWithString(" \v\f\r\n true \t").value(), Value(true));
    EXPECT_EQ(json.objectWithString("[\"\\ud83d\\ude00\", \"\\ud83d\\udfff\", \"\\u0000\"]").value(),
              Value::array({"\xf0\x9f\x98\x80", "\xf0\x9f\x9f\xbf", std::string(1, '\0')}));
    EXPECT_EQ(json.objectWithString("{\"a\":1,\"a\":2}").value(), Value::object({{"a", Value::decimal("2")}}));
    EXPECT_EQ(json.objectWithString("[\"\xef\xbf\xbf\"]").value(), Value::array({"\xef\xbf\xbf"}));
}

TEST(JsonTextTest, DepthIsLimitedByMaxDepthAndAlwaysByTheCeiling) {
    JsonText json;
    EXPECT_EQ(json.maxDepth(), 512u);
    EXPECT_TRUE(json.objectWithString(nested(512)).ok());
    EXPECT_FALSE(json.objectWithString(nested(513)).ok());

    json.setMaxDepth(0);
    EXPECT_TRUE(json.objectWithString(nested(513)).ok());
    EXPECT_TRUE(json.objectWithString(nested(kJsonTextDepthCeiling)).ok());
    ASSERT_FALSE(json.objectWithString(nested(kJsonTextDepthCeiling + 1)).ok());
    EXPECT_EQ(json.errorTrace().front().code, JsonTextErrorDepth);
    EXPECT_FALSE(json.objectWithString(std::string(1'000'000, '[')).ok());
}

TEST(JsonTextTest, EachErrorLeadsToThePreviousOne) {
    JsonText json;
    ASSERT_FALSE(json.objectWithString("{\"k\":[\"\\u12\"]}").ok());
    const std::vector<Error>& trace = json.errorTrace();
    ASSERT_EQ(trace.size(), 5u);
    const Error* error = &trace.back();
    std::vector<std::string> chain;
    for (; error; error = error->underlying.get()) chain.push_back(error->message());
    EXPECT_EQ(chain, (std::vector<std::string>{"Object value expected for key: k", "Expected value while parsing array",
                                               "Broken unicode character", "Missing hex quad", "Missing hex digit in quad"}));

    EXPECT_TRUE(json.objectWithString("[]").ok());
    EXPECT_EQ(json.errorTrace().size(), 5u) << "the facade keeps the last failure's trace";
}

TEST(JsonTextTest, WriterLaysOutHumanReadableTextAndSortsKeys) {
    JsonText json;
    EXPECT_EQ(json.stringWithObject(Value::array({Value::decimal("1.5"), "a\"b\\c\x01/\xc3\xa9", true, Value()})).value(),
              "[1.5,\"a\\\"b\\\\c\\u0001/\xc3\xa9\",true,null]");
    json.setHumanReadable(true);
    json.setSortKeys(true);
    EXPECT_EQ(json.stringWithObject(Value::emptyArray()).value(), "[]");
    EXPECT_EQ(json.stringWithObject(Value::array({1})).value(), "[\n  1\n]");
    EXPECT_EQ(json.stringWithObject(Value::object({{"b", 1}, {"a", Value::array({2.5})}})).value(),
              "{\n  \"a\" : [\n    2.5\n  ],\n  \"b\" : 1\n}");
}

TEST(JsonTextTest, WriterRefusesScalarsAtTheTopAndNonFiniteNumbers) {
    JsonText json;
    ASSERT_FALSE(json.stringWithObject(Value("x")).ok());
    EXPECT_EQ(json.errorTrace().back().code, JsonTextErrorFragment);
    EXPECT_EQ(json.errorTrace().back().message(), "Not valid type for JSON");
    EXPECT_EQ(json.stringWithFragment(Value("x")).value(), "\"x\"");

    const Result<std::string> nan = json.stringWithObject(Value::object({{"gain", std::nan("")}}));
    ASSERT_FALSE(nan.ok());
    EXPECT_EQ(nan.error().code, JsonTextErrorUnsupported);
    EXPECT_EQ(nan.error().message(), "Unsupported value for key gain in object");

    const Result<std::string> notANumber = json.stringWithObject(Value::array({Value::decimal("1.")}));
    ASSERT_FALSE(notANumber.ok());
    EXPECT_EQ(notANumber.error().message(), "JSON serialisation not supported for decimal number");

    Value deep = Value::emptyArray();
    for (int i = 0; i < 600; ++i) deep = Value::array({deep});
    ASSERT_FALSE(json.stringWithObject(deep).ok());
    EXPECT_EQ(json.errorTrace().front().code, JsonTextErrorDepth);
}

TEST(JsonTextTest, OneCallFormsReadAndWrite) {
    EXPECT_EQ(JSONValue("{\"ok\":true}").value()["ok"], Value(true));
    EXPECT_FALSE(JSONValue("7").ok());
    EXPECT_EQ(JSONFragmentValue("7").value(), Value::decimal("7"));
    EXPECT_EQ(JSONRepresentation(Value::array({"a"})).value(), "[\"a\"]");
    EXPECT_EQ(JSONFragment(Value(3)).value(), "3");
}

}  // namespace
}  // namespace strombel::json
