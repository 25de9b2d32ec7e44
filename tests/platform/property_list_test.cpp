// Property lists to and from the shared Value, and the strings tables of a bundle.

#include "platform/property_list.h"

#include <gtest/gtest.h>

#include <fstream>

#include "platform/localized_strings.h"
#include "support/temp_dir.h"

namespace strombel::platform {
namespace {

std::span<const uint8_t> bytesOf(const std::string& text) {
    return {reinterpret_cast<const uint8_t*>(text.data()), text.size()};
}

TEST(PropertyList, ValuesSurviveBothForms) {
    json::Value value = json::Value::object({
        {"CrashUploadApprovedCrashReports", json::Value::object({{"/crashes/721692800", true}})},
        {"name", "Mia <drums> & bass é"},
        {"count", -3},
        {"big", 9223372036854775807ll},
        {"ratio", 0.25},
        {"list", json::Value::array({1, "two", false})},
        {"empty", json::Value::emptyObject()},
    });
    for (PropertyListFormat format : {PropertyListFormat::Binary, PropertyListFormat::Xml}) {
        json::Result<std::vector<uint8_t>> bytes = propertyListFromValue(value, format);
        ASSERT_TRUE(bytes.ok()) << bytes.error().description();
        json::Result<json::Value> read = propertyListFromData(bytes.value());
        ASSERT_TRUE(read.ok()) << read.error().description();
        EXPECT_EQ(read.value(), value);
        EXPECT_EQ(read.value().members()[0].key.asString(), "CrashUploadApprovedCrashReports") << "members keep their order";
    }
    EXPECT_EQ(binaryPropertyListFromValue(value).value()[0], 'b') << "\"bplist00\"";
}

TEST(PropertyList, DatesAndDataAsTheyRead) {
    const std::string xml =
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?><plist version=\"1.0\"><dict>"
        "<key>when</key><date>2001-01-02T00:00:00Z</date><key>bytes</key><data>AAEC</data></dict></plist>";
    json::Result<json::Value> read = propertyListFromData(bytesOf(xml));
    ASSERT_TRUE(read.ok());
    EXPECT_DOUBLE_EQ(read.value()["when"].asDouble(), 86400.0) << "seconds since 2001-01-01";
    EXPECT_EQ(read.value()["bytes"].asString(), std::string("\0\1\2", 3));
}

TEST(PropertyList, WhatCannotBeReadOrWrittenIsAnError) {
    EXPECT_FALSE(propertyListFromData({}).ok());
    EXPECT_FALSE(propertyListFromData(bytesOf("nope")).ok());
    EXPECT_FALSE(propertyListFromData(bytesOf("bplist00\xFF\xFF\xFF")).ok());
    std::string deep = "<plist version=\"1.0\">";
    for (int i = 0; i < kMaximumPropertyListDepth + 2; ++i) deep += "<array>";
    for (int i = 0; i < kMaximumPropertyListDepth + 2; ++i) deep += "</array>";
    deep += "</plist>";
    json::Result<json::Value> tooDeep = propertyListFromData(bytesOf(deep));
    EXPECT_FALSE(tooDeep.ok());

    json::Result<std::vector<uint8_t>> withNull = binaryPropertyListFromValue(json::Value::object({{"a", nullptr}}));
    ASSERT_FALSE(withNull.ok());
    EXPECT_EQ(withNull.error().domain, "PropertyListErrorDomain");
    EXPECT_FALSE(binaryPropertyListFromValue(json::Value(std::string("a\0b", 3))).ok());
    EXPECT_FALSE(binaryPropertyListFromValue(json::Value("to\xF5")).ok()) << "not UTF-8";
    json::Result<json::Value> repaired = propertyListFromData(bytesOf(
        "<?xml version=\"1.0\"?><plist version=\"1.0\"><dict><key>k\xFF</key><string>yo\xF5!</string></dict></plist>"));
    ASSERT_TRUE(repaired.ok());
    EXPECT_EQ(repaired.value()["k\xEF\xBF\xBD"].asString(), "yo\xEF\xBF\xBD!");
}

TEST(PropertyList, AKeyHoldingNulIsRefusedBeforeLibplistSeesIt) {
    // A damaged binary list whose dictionary key holds a NUL: libplist 2.2 would
    // stop the process with a failed assertion when asked for the key.
    const std::vector<uint8_t> damaged = {
        0x62, 0x70, 0x6C, 0x69, 0x73, 0x74, 0x30, 0x30, 0xD3, 0x01, 0x02, 0x03, 0x04, 0x07, 0x08, 0x5F, 0x10,
        0x1F, 0x43, 0x72, 0x61, 0x73, 0x68, 0x55, 0x70, 0x6C, 0x6F, 0x61, 0x64, 0x41, 0x70, 0x70, 0x73, 0x6F,
        0xF4, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x52, 0x65, 0x70, 0x6F, 0x72, 0x74, 0x73, 0x5F, 0x10,
        0x15, 0x43, 0x72, 0x61, 0x73, 0x68, 0x55, 0x70, 0x6C, 0x6F, 0x61, 0x64, 0x4D, 0x65, 0x74, 0x61, 0x55,
        0x73, 0x65, 0x72, 0x49, 0x44, 0x51, 0x6E, 0xD1, 0x05, 0x06, 0x5F, 0x10, 0x14, 0x2F, 0x78, 0x2F, 0x63,
        0x72, 0x61, 0x73, 0x68, 0x65, 0x73, 0x2F, 0x37, 0x32, 0x31, 0x36, 0x39, 0x32, 0x2E, 0x30, 0x30, 0x09,
        0x53, 0x75, 0x2D, 0x37, 0xA4, 0x09, 0x0A, 0x0B, 0x0C, 0x10, 0x01, 0x13, 0xFF, 0xFF, 0x0F, 0x31, 0x49,
        0xFF, 0xFF, 0xFE, 0x23, 0x40, 0x0C, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x42, 0x00, 0x01, 0x08, 0x19,
        0x19, 0x19, 0x19, 0x19, 0x19, 0x19, 0x19, 0x19, 0x19, 0x19, 0x19, 0x19, 0x19, 0x19, 0x13, 0x19, 0x19,
        0x19, 0x19, 0x19, 0x19, 0x19, 0x19, 0x19, 0x19, 0x19, 0x19, 0x19, 0x19, 0x19, 0x19, 0x19, 0x19, 0x19,
        0x19, 0x19, 0x19, 0x19, 0x19, 0x19, 0x19, 0x19, 0x19, 0x19, 0x19, 0x19, 0x19, 0x19, 0x19, 0x19, 0x19,
        0x19, 0x19, 0x19, 0x19, 0x19, 0x19, 0x19, 0x00, 0x01, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
        0x0D, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x01, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
        0x00, 0x0D, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
        0x86};
    json::Result<json::Value> read = propertyListFromData(damaged);
    ASSERT_FALSE(read.ok());
    EXPECT_EQ(read.error().message(), "The property list holds text with a NUL character");
    const std::string xml = "<plist version=\"1.0\"><dict><key>a&#x000;b</key><string>x</string></dict></plist>";
    EXPECT_FALSE(propertyListFromData(bytesOf(xml)).ok());
    EXPECT_TRUE(propertyListFromData(bytesOf("<plist version=\"1.0\"><string>&#10;</string></plist>")).ok());
}

TEST(LocalizedStrings, ATableTranslatesWhatItHoldsAndNothingElse) {
    strombel::testing::TempDir bundle;
    std::ofstream(bundle / "Localizable.strings")
        << "<?xml version=\"1.0\" encoding=\"UTF-8\"?><plist version=\"1.0\"><dict>"
           "<key>CrashSendReport</key><string>Senden</string><key>number</key><integer>3</integer></dict></plist>";
    std::ofstream(bundle / "Other.strings")
        << "<?xml version=\"1.0\" encoding=\"UTF-8\"?><plist version=\"1.0\"><dict>"
           "<key>CrashSendReport</key><string>Schicken</string></dict></plist>";
    EXPECT_EQ(localizedString(bundle.path(), "CrashSendReport"), "Senden");
    EXPECT_EQ(localizedString(bundle.path(), "CrashSendReport", {}, "Other"), "Schicken");
    EXPECT_EQ(localizedString(bundle.path(), "Missing"), "Missing");
    EXPECT_EQ(localizedString(bundle.path(), "Missing", "fallback"), "fallback");
    EXPECT_EQ(localizedString(bundle.path(), "number"), "number") << "only strings translate";
    EXPECT_EQ(localizedString(bundle.path(), "CrashSendReport", {}, "../Other"), "CrashSendReport");
    EXPECT_EQ(localizedString(bundle / "none", "CrashSendReport"), "CrashSendReport");
}

}  // namespace
}  // namespace strombel::platform
