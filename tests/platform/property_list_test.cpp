// What the property list reader refuses before libplist sees it, and the
// strings tables of a bundle.

#include "platform/property_list.h"

#include <gtest/gtest.h>

#include <fstream>

#include "platform/localized_strings.h"
#include "support/temp_dir.h"

namespace strombel::platform {
namespace {

Result<PropertyValue> read(const std::string& text) {
    return PropertyList::read(reinterpret_cast<const uint8_t*>(text.data()), text.size());
}

TEST(PropertyList, TextHoldingNulIsRefusedBeforeLibplistSeesIt) {
    // A damaged binary list whose dictionary key holds a NUL: libplist 2.2 would
    // stop the process with a failed assertion when asked for the key.
    PropertyValue::Dictionary dictionary{{"keyXkey", "value"}};
    std::vector<uint8_t> bytes = PropertyList::toBinary(PropertyValue(dictionary)).value();
    auto key = std::search(bytes.begin(), bytes.end(), std::begin("keyXkey"), std::end("keyXkey") - 1);
    ASSERT_NE(key, bytes.end());
    key[3] = 0;
    Result<PropertyValue> refused = PropertyList::read(bytes.data(), bytes.size());
    EXPECT_FALSE(refused);
    const std::string error = refused ? "" : refused.error().message();
    EXPECT_EQ(error, "property list holds text with a NUL character");

    EXPECT_FALSE(read("<plist version=\"1.0\"><dict><key>a&#x000;b</key><string>x</string></dict></plist>"));
    EXPECT_FALSE(read(std::string("<plist version=\"1.0\"><dict><key>a\0b</key><string>x</string></dict></plist>", 75)));
    EXPECT_TRUE(read("<plist version=\"1.0\"><dict><key>a&#10;b</key><string>x</string></dict></plist>"))
        << "other character references are text like any other";
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
