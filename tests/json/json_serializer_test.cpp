#include "json/json_serializer.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>

#include "json/json_decoder.h"
#include "json/value_printer.h"

namespace strombel::json {
namespace {

struct WrittenCase {
    Value value;
    JsonSerializeOptionFlags options;
    std::string text;
};

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
        WrittenCase{Value::object({{"b", 1}, {"a", 2}}), JsonSerializePretty, "{\n  \"a\": 2,\n  \"b\": 1\n}"},
        WrittenCase{Value::object({{"b", 1}, {"a", 2}}), 0, "{\"b\":1,\"a\":2}"},
        WrittenCase{Value::array({Value::array({1}), Value::object({{"k", Value()}})}), JsonSerializePretty,
                    "[\n  [\n    1\n  ],\n  {\n    \"k\": null\n  }\n]"},
        WrittenCase{Value::emptyArray(), 0, "[]"},
        WrittenCase{Value::array({Value::emptyArray(), Value::emptyObject()}), JsonSerializePretty, "[\n  [],\n  {}\n]"},
        WrittenCase{Value::emptyObject(), 0, "{}"},
        WrittenCase{Value("a\tb"), 0, "\"a\\tb\""},
        WrittenCase{Value("\x01\x1f\x7f"), 0, "\"\\u0001\\u001f\x7f\""},
        WrittenCase{Value("\"\\\b\f\n\r"), 0, "\"\\\"\\\\\\b\\f\\n\\r\""},
        WrittenCase{Value("a/b"), 0, "\"a/b\""},
        WrittenCase{Value("a/b"), JsonSerializeEscapeSlash, "\"a\\/b\""},
        WrittenCase{Value("caf\xc3\xa9 \xf0\x9f\x98\x80"), 0, "\"caf\xc3\xa9 \xf0\x9f\x98\x80\""},
        WrittenCase{Value("caf\xc3\xa9 \xf0\x9f\x98\x80"), JsonSerializeEscapeNonASCII, "\"caf\\u00e9 \\ud83d\\ude00\""},
        WrittenCase{Value(0.1), 0, "0.1"},
        WrittenCase{Value(1.0), 0, "1.0"},
        WrittenCase{Value(-0.0), 0, "-0.0"},
        WrittenCase{Value(1e300), 0, "1e+300"},
        WrittenCase{Value(5e-324), 0, "5e-324"},
        WrittenCase{Value(123456.789), 0, "123456.789"},
        WrittenCase{Value(static_cast<long long>(INT64_MIN)), 0, "-9223372036854775808"},
        WrittenCase{Value(18446744073709551615ull), 0, "18446744073709551615"},
        WrittenCase{Value::decimal("1.50"), 0, "1.50"},
        WrittenCase{Value::array({true, false, Value()}), 0, "[true,false,null]"}));

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
    EXPECT_EQ(JSONStringWithString("say \"hi\"", 0, false).value(), "say \\\"hi\\\"");
    EXPECT_EQ(JSONStringWithString("say", 0, true).value(), "\"say\"");
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
    EXPECT_EQ(JSONString(Value::array({"a longer string with a noncharacter \xef\xbf\xbe in it"})).error().message(),
              "An error occurred converting the contents of a NSString to UTF8.");
}

TEST(JsonSerializerTest, ABadByteAnywhereInAStringIsCaught) {
    for (size_t length : {5u, 14u, 15u, 16u, 17u, 31u, 40u}) {
        for (size_t at = 0; at < length; ++at) {
            std::string text(length, 'a');
            text[at] = '\xff';
            EXPECT_FALSE(JSONString(Value::array({text})).ok()) << length << " " << at;
            text[at] = '\x7f';
            EXPECT_TRUE(JSONString(Value::array({text})).ok()) << length << " " << at;
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
