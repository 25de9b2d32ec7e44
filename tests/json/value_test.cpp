#include "json/value.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "json/error.h"
#include "json/json_decoder.h"
#include "json/result.h"
#include "json/value_printer.h"

namespace strombel::json {
namespace {

TEST(ValueTest, MissingKeysAndWrongTypesReadAsEmptyDefaults) {
    const Value pack = Value::object({{"id", "kit.808"}, {"tempo", 120}, {"sounds", Value::array({"kick", "snare"})}});

    EXPECT_EQ(pack["id"].asString(), "kit.808");
    EXPECT_EQ(pack["missing"].asString(), "");
    EXPECT_TRUE(pack["missing"].isNull());
    EXPECT_EQ(pack["id"].asInt64(), 0);
    EXPECT_EQ(pack["tempo"].asString(), "");
    EXPECT_EQ(pack["tempo"].asString("none"), "none");
    EXPECT_EQ(pack["tempo"].asDouble(), 120.0);
    EXPECT_FALSE(pack["sounds"].asBool());
    EXPECT_EQ(pack["sounds"][1].asString(), "snare");
    EXPECT_TRUE(pack["sounds"][2].isNull());
    EXPECT_TRUE(pack["sounds"][-1].isNull());
    EXPECT_TRUE(pack["id"]["deeper"][0]["still"].isNull());
    EXPECT_EQ(pack["sounds"].size(), 2u);
    EXPECT_EQ(pack["id"].size(), 0u);
    EXPECT_TRUE(pack.contains("tempo"));
    EXPECT_FALSE(pack.contains("Tempo"));
}

TEST(ValueTest, NumbersConvertBetweenKindsWithClamping) {
    EXPECT_EQ(Value(18446744073709551615ull).asInt64(), INT64_MAX);
    EXPECT_EQ(Value(-5).asUInt64(), 0u);
    EXPECT_EQ(Value(2.9).asInt64(), 2);
    EXPECT_EQ(Value(-2.9).asInt64(), -2);
    EXPECT_EQ(Value(1e300).asInt64(), INT64_MAX);
    EXPECT_EQ(Value(1e300).asInt(), INT32_MAX);
    EXPECT_EQ(Value(true).asInt64(), 1);
    EXPECT_EQ(Value::decimal("12.5").asDouble(), 12.5);
    EXPECT_EQ(Value::decimal("-42").asInt64(), -42);
    EXPECT_EQ(Value::decimal("1e3").asInt64(), 1000);
    EXPECT_TRUE(Value(0.5).asBool());
    EXPECT_FALSE(Value(0).asBool());
    EXPECT_TRUE(Value("yes").asBool(true));
}

TEST(ValueTest, StringsOfEveryLengthKeepTheirBytes) {
    for (size_t length : {0u, 1u, 13u, 14u, 15u, 16u, 100u, 5000u}) {
        std::string text(length, 'x');
        for (size_t i = 0; i < length; ++i) text[i] = static_cast<char>('a' + i % 26);
        if (length > 3) text[2] = '\0';
        const Value value(text);
        const Value copy = value;
        EXPECT_EQ(copy.asString(), text) << length;
        EXPECT_EQ(copy, Value(text)) << length;
    }
}

TEST(ValueTest, ALaterEqualKeyReplacesTheEarlierValueInItsPlace) {
    for (size_t count : {3u, 8u, 9u, 40u}) {
        std::vector<std::pair<std::string, Value>> members;
        for (size_t i = 0; i < count; ++i) members.emplace_back("key" + std::to_string(i), Value(i));
        members.emplace_back("key1", Value("replaced"));
        const Value object = Value::object(members);

        ASSERT_EQ(object.size(), count) << count;
        EXPECT_EQ(object["key1"].asString(), "replaced");
        EXPECT_EQ(object.members()[1].key.asString(), "key1");
        for (size_t i = 0; i < count; ++i) {
            if (i != 1) {
                EXPECT_EQ(object["key" + std::to_string(i)].asUInt64(), i) << count;
            }
        }
        EXPECT_FALSE(object.contains("key" + std::to_string(count)));
    }
}

TEST(ValueTest, EqualityComparesIntegersByValueAndObjectsAsSets) {
    EXPECT_EQ(Value(5), Value(5u));
    EXPECT_NE(Value(-1), Value(18446744073709551615ull));
    EXPECT_NE(Value(1), Value(1.0));
    EXPECT_NE(Value(true), Value(1));
    EXPECT_EQ(Value::object({{"a", 1}, {"b", 2}}), Value::object({{"b", 2}, {"a", 1}}));
    EXPECT_NE(Value::object({{"a", 1}}), Value::object({{"a", 1}, {"b", 2}}));
    EXPECT_NE(Value::array({1, 2}), Value::array({2, 1}));
    EXPECT_EQ(Value::emptyArray(), Value::array({}));
    EXPECT_NE(Value::emptyArray(), Value::emptyObject());
    EXPECT_NE(Value(), Value::emptyObject());
}

TEST(ValueTest, BuildersMakeChangedCopiesAndLeaveTheOriginal) {
    const Value original = Value::object({{"name", "Kit"}, {"pads", Value::array({1, 2, 3})}});

    ObjectBuilder changed(original);
    changed.set("name", "Kit 2").set("extra", true).remove("missing");
    ArrayBuilder pads(original["pads"]);
    pads.remove(0).append(4).insert(0, 0).replace(1, 20);
    changed.set("pads", std::move(pads).build());
    const Value result = changed.build();

    EXPECT_EQ(original["name"].asString(), "Kit");
    EXPECT_EQ(original["pads"].size(), 3u);
    EXPECT_EQ(result["name"].asString(), "Kit 2");
    EXPECT_EQ(result["pads"], Value::array({0, 20, 3, 4}));
    EXPECT_TRUE(result["extra"].asBool());
    EXPECT_EQ(result.members()[0].key.asString(), "name");
}

TEST(ValueTest, ArrayBuilderRefusesIndicesOutOfRangeAndChangesNothing) {
    struct Case {
        const char* name;
        std::function<void(ArrayBuilder&)> change;
        std::string message;
    } cases[] = {
        {"insert past the end", [](ArrayBuilder& a) { a.insert(4, 9); }, "*** -[ArrayBuilder insert]: index (4) beyond bounds (4)"},
        {"remove at the end", [](ArrayBuilder& a) { a.remove(3); }, "*** -[ArrayBuilder remove]: index (3) beyond bounds (3)"},
        {"replace far out", [](ArrayBuilder& a) { a.replace(SIZE_MAX, 9); },
         "*** -[ArrayBuilder replace]: index (18446744073709551615) beyond bounds (3)"},
    };
    for (const Case& c : cases) {
        ArrayBuilder builder(Value::array({1, 2, 3}));
        try {
            c.change(builder);
            ADD_FAILURE() << c.name << " was accepted";
        } catch (const std::out_of_range& error) {
            EXPECT_EQ(error.what(), c.message) << c.name;
        }
        EXPECT_EQ(builder.build(), Value::array({1, 2, 3})) << c.name;
    }
    // The last place is still one to insert at.
    EXPECT_EQ(ArrayBuilder(Value::array({1})).insert(1, 2).build(), Value::array({1, 2}));
}

TEST(ValueTest, BuiltCollectionsGrowToHoldEveryMember) {
    ObjectBuilder object;
    ArrayBuilder array;
    for (int i = 0; i < 5000; ++i) {
        object.set("sound " + std::to_string(i), i);
        array.append(i);
    }
    object.set("sound 17", "replaced").remove("sound 18");
    const Value built = std::move(object).build();
    const Value items = std::move(array).build();

    ASSERT_EQ(built.size(), 4999u);
    EXPECT_EQ(built["sound 17"].asString(), "replaced");
    EXPECT_FALSE(built.contains("sound 18"));
    for (int i = 0; i < 5000; ++i) {
        if (i == 17 || i == 18) continue;
        ASSERT_EQ(built["sound " + std::to_string(i)].asInt64(), i);
    }
    EXPECT_EQ(built.members()[4998].key.asString(), "sound 4999");
    ASSERT_EQ(items.size(), 5000u);
    EXPECT_EQ(items[4999].asInt64(), 4999);
}

TEST(ValueTest, CopiesShareStorageSafelyAcrossThreads) {
    std::vector<Value> items;
    for (int i = 0; i < 1000; ++i) items.emplace_back("a string long enough to live in shared storage " + std::to_string(i));
    const Value shared = Value::array(std::move(items));

    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([shared] {
            for (int round = 0; round < 200; ++round) {
                Value copy = shared;
                Value item = copy[round];
                ASSERT_EQ(item.asString().substr(0, 8), "a string");
            }
        });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(shared.size(), 1000u);
}

TEST(ErrorTest, DescriptionNamesDomainCodeMessageDetailsAndCause) {
    auto inner = std::make_shared<const Error>(Error::make("org.quenholt.JSON.ErrorDomain", 5, "Unescaped control character '0x0'"));
    const Error outer = Error::make("JsonErrorDomain", -1, "Unexpected ']'.", {{"JsonAtIndexKey", 4u}}, inner);

    EXPECT_EQ(outer.message(), "Unexpected ']'.");
    EXPECT_EQ(outer.description(),
              "JsonErrorDomain -1: Unexpected ']'. {JsonAtIndexKey=4} caused by org.quenholt.JSON.ErrorDomain 5: "
              "Unescaped control character '0x0'");
}

TEST(ResultTest, HoldsEitherTheValueOrTheError) {
    Result<Value> good = Value(3);
    Result<Value> bad = Error::make("Test", 7, "failed");
    ASSERT_TRUE(good.ok());
    EXPECT_EQ(good.value().asInt64(), 3);
    ASSERT_FALSE(bad.ok());
    EXPECT_EQ(bad.error().code, 7);
    EXPECT_EQ(bad.valueOr(Value("fallback")).asString(), "fallback");
    Result<void> done;
    EXPECT_TRUE(done.ok());
    Result<void> refused = Error::make("Test", 1, "no");
    EXPECT_EQ(refused.error().message(), "no");
}

// A library that reads JSON hands the decoder's failure on as its own cause.
platform::Result<int64_t> tempoOf(std::string_view text) {
    Result<Value> decoded = JSONDecoder::decode(text);
    if (!decoded) return platform::Error::causedBy("PackErrorDomain", 3, "no pack", std::move(decoded).error());
    return decoded.value()["tempo"].asInt64();
}

TEST(ErrorTest, TheJsonDomainAndDetailsSurviveThePlatformType) {
    platform::Result<int64_t> tempo = tempoOf(R"({"tempo": 120,])");
    ASSERT_FALSE(tempo.ok());
    ASSERT_TRUE(tempo.error().underlying);
    const Error& cause = *tempo.error().underlying;
    EXPECT_EQ(cause.domain, kJsonErrorDomain);
    EXPECT_EQ(cause.code, -1);
    EXPECT_EQ(cause.userInfo[kJsonAtIndexKey].asUInt64(), 15u);
    EXPECT_EQ(tempoOf(R"({"tempo": 120})").valueOr(0), 120);

    // A server's answer kept as details comes back as the same Value, nesting and all.
    const Value said = JSONDecoder::decode(R"({"error":{"type":"OAuth","codes":[190,-1]},"error_msg":"Bad token",)"
                                           R"("ok":false,"ratio":0.25,"none":null})")
                           .value();
    EXPECT_EQ(errorDetails(errorInfo(said)), said);
    EXPECT_EQ(errorInfo(said)["error"].members()["codes"].items()[1].asInt64(), -1);
    EXPECT_TRUE(errorInfo(Value("not an object")).empty());
}

}  // namespace
}  // namespace strombel::json
