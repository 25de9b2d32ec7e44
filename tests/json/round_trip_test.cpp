// Property: what the writers write, the readers read back as the same value, for
// many random values (seeded, so every run checks the same ones).

#include <gtest/gtest.h>

#include <bit>
#include <clocale>
#include <limits>
#include <locale>
#include <cmath>
#include <random>
#include <string>
#include <vector>

#include "json/json_decoder.h"
#include "json/json_serializer.h"
#include "json/json_text.h"
#include "json/utf8.h"
#include "json/value_printer.h"

namespace strombel::json {
namespace {

class RandomValues {
public:
    explicit RandomValues(uint32_t seed, bool decimalNumbers) : random_(seed), decimalNumbers_(decimalNumbers) {}

    Value collection() { return pick(2) ? array(0) : object(0); }

private:
    uint64_t bits() { return (uint64_t{random_()} << 32) | random_(); }
    uint32_t pick(uint32_t count) { return std::uniform_int_distribution<uint32_t>(0, count - 1)(random_); }

    uint32_t codePoint() {
        switch (pick(6)) {
            case 0: return 0x20 + pick(0x5F);
            case 1: return std::string_view("\"\\/\b\f\n\r\t")[pick(8)];
            case 2: return decimalNumbers_ ? pick(0x20) : 1 + pick(0x1F);
            case 3: return 0x80 + pick(0x780);
            case 4: return pick(2) ? 0x2028 : 0x20AC;
            default: {
                for (;;) {
                    const uint32_t candidate = 0x800 + pick(0x10FFFF - 0x800);
                    if (utf8::isLegalScalar(candidate)) return candidate;
                }
            }
        }
    }

    std::string text() {
        std::string result;
        const uint32_t length = pick(4) == 0 ? pick(60) : pick(12);
        for (uint32_t i = 0; i < length; ++i) utf8::append(result, codePoint());
        return result;
    }

    std::string decimalText() {
        std::string result = pick(2) ? "-" : "";
        result += pick(4) == 0 ? "0" : std::to_string(1 + pick(999999));
        if (pick(2)) result += "." + std::to_string(pick(100000));
        if (pick(3) == 0) result += std::string(pick(2) ? "e" : "E") + (pick(2) ? "-" : "+") + std::to_string(pick(300));
        return result;
    }

    Value scalar() {
        switch (pick(6)) {
            case 0: return Value();
            case 1: return Value(pick(2) == 1);
            case 2:
                if (decimalNumbers_) return Value::decimal(decimalText());
                return Value(static_cast<long long>(bits()));
            case 3:
                if (decimalNumbers_) return Value::decimal(decimalText());
                return Value(static_cast<unsigned long long>(bits() >> pick(64)));
            case 4: {
                if (decimalNumbers_) return Value::decimal(decimalText());
                for (;;) {
                    const double number = std::bit_cast<double>(bits());
                    if (std::isfinite(number)) return Value(number);
                }
            }
            default: return Value(text());
        }
    }

    Value array(int depth) {
        std::vector<Value> items;
        const uint32_t count = pick(6);
        for (uint32_t i = 0; i < count; ++i) items.push_back(any(depth + 1));
        return Value::array(std::move(items));
    }

    Value object(int depth) {
        std::vector<std::pair<std::string, Value>> members;
        const uint32_t count = pick(12);
        for (uint32_t i = 0; i < count; ++i) members.emplace_back(text(), any(depth + 1));
        return Value::object(std::move(members));
    }

    Value any(int depth) {
        if (depth >= 5) return scalar();
        switch (pick(5)) {
            case 0: return array(depth);
            case 1: return object(depth);
            default: return scalar();
        }
    }

    std::mt19937 random_;
    bool decimalNumbers_;
};

void expectTheDecoderReadsWhatTheEncoderWrote() {
    RandomValues values(20261206, false);
    const JsonSerializeOptionFlags optionSets[] = {0, JsonSerializePretty, JsonSerializeEscapeNonASCII,
                                                   JsonSerializeEscapeSlash,
                                                   JsonSerializePretty | JsonSerializeEscapeNonASCII | JsonSerializeEscapeSlash};
    for (int i = 0; i < 1500; ++i) {
        const Value value = values.collection();
        const JsonSerializeOptionFlags options = optionSets[i % 5];
        const Result<std::string> text = JSONString(value, options);
        ASSERT_TRUE(text.ok()) << text.error().description();
        const Result<Value> decoded = JSONDecoder::decode(text.value());
        ASSERT_TRUE(decoded.ok()) << decoded.error().description() << "\n" << text.value();
        ASSERT_EQ(decoded.value(), value) << text.value();
    }
}

void expectTheSecondCodecReadsBackWhatItWrote() {
    RandomValues values(7, true);
    JsonText json;
    for (int i = 0; i < 1500; ++i) {
        const Value value = values.collection();
        json.setHumanReadable(i % 2 == 1);
        json.setSortKeys(i % 3 == 1);
        const Result<std::string> text = json.stringWithObject(value);
        ASSERT_TRUE(text.ok()) << text.error().description();
        const Result<Value> parsed = json.objectWithString(text.value());
        ASSERT_TRUE(parsed.ok()) << parsed.error().description() << "\n" << text.value();
        ASSERT_EQ(parsed.value(), value) << text.value();
    }
}

TEST(RoundTripTest, DecodingWhatTheEncoderWroteGivesTheSameValue) { expectTheDecoderReadsWhatTheEncoderWrote(); }

TEST(RoundTripTest, TheSecondCodecReadsBackWhatItWrote) { expectTheSecondCodecReadsBackWhatItWrote(); }

// The process's locale changes nothing: under a locale with a decimal comma the
// writers still write points and the readers still read them.
class DecimalCommaLocale : public ::testing::Test {
protected:
    void SetUp() override {
        const char* current = std::setlocale(LC_ALL, nullptr);
        saved_ = current ? current : "C";
        if (!std::setlocale(LC_ALL, "de_DE.UTF-8")) {
            GTEST_SKIP() << "no de_DE.UTF-8 locale here (scripts/setup makes one)";
        }
        std::locale::global(std::locale("de_DE.UTF-8"));
        ASSERT_STREQ(std::localeconv()->decimal_point, ",");
    }
    void TearDown() override {
        std::setlocale(LC_ALL, saved_.c_str());
        std::locale::global(std::locale::classic());
    }

private:
    std::string saved_;
};

TEST_F(DecimalCommaLocale, NumbersAreWrittenAndReadWithAPoint) {
    const Result<Value> read = JSONDecoder::decode("[1.5, -2.25e3, 4.9e-324, 0.1]");
    ASSERT_TRUE(read.ok()) << read.error().description();
    EXPECT_EQ(read.value()[0].asDouble(), 1.5);
    EXPECT_EQ(read.value()[1].asDouble(), -2250.0);
    EXPECT_EQ(read.value()[2].asDouble(), std::numeric_limits<double>::denorm_min());
    EXPECT_EQ(read.value()[3].asDouble(), 0.1);
    const Result<std::string> written = JSONString(Value::array({Value(0.1), Value(123456.789), Value(1.0)}), 0);
    ASSERT_TRUE(written.ok());
    EXPECT_EQ(written.value(), "[0.1,123456.789,1.0]");

    JsonText json;
    const Result<Value> parsed = json.objectWithString("[2.75]");
    ASSERT_TRUE(parsed.ok());
    EXPECT_EQ(parsed.value()[0].asDouble(), 2.75);
    const Result<std::string> rewritten = json.stringWithObject(Value::array({Value(0.25)}));
    ASSERT_TRUE(rewritten.ok());
    EXPECT_EQ(rewritten.value(), "[0.25]");

    expectTheDecoderReadsWhatTheEncoderWrote();
    expectTheSecondCodecReadsBackWhatItWrote();
}

}  // namespace
}  // namespace strombel::json
