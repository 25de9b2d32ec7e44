#include "platform/main_bundle.h"

#include <gtest/gtest.h>

#include <fstream>

#include "support/temp_dir.h"

namespace strombel::platform {
namespace {

void writeFile(const std::filesystem::path& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
}

const char* kInfo = R"(<?xml version="1.0" encoding="UTF-8"?>
<plist version="1.0">
<dict>
  <key>CFBundleIdentifier</key><string>org.example.pads</string>
  <key>CFBundleVersion</key><string>2.1b1</string>
  <key>CFBundleName</key><string>Pads</string>
  <key>CFBundleDisplayName</key><string>Pads Ü</string>
  <key>CFBundleExecutable</key><string>pads</string>
  <key>CFBundleURLTypes</key>
  <array>
    <string>not a dictionary</string>
    <dict><key>CFBundleURLSchemes</key><array><string>pads</string><integer>3</integer><string>pads.wirehub</string></array></dict>
    <dict><key>CFBundleURLSchemes</key><string>not an array</string></dict>
    <dict><key>CFBundleURLSchemes</key><array><string>other.wirehub</string></array></dict>
  </array>
  <key>CFBundleIcons</key>
  <dict><key>CFBundlePrimaryIcon</key><dict><key>CFBundleIconFiles</key><array><string>Icon-60</string><string>Icon-76</string></array></dict></dict>
  <key>Count</key><integer>7</integer>
</dict>
</plist>
)";

TEST(MainBundle, ReadsTheInformationDictionary) {
    testing::TempDir temp;
    writeFile(temp / "Info.plist", kInfo);
    MainBundle bundle(temp.path());
    EXPECT_EQ(bundle.loadError(), "");
    EXPECT_EQ(bundle.bundlePath(), temp.path());
    EXPECT_EQ(bundle.identifier(), "org.example.pads");
    EXPECT_EQ(bundle.version(), "2.1b1");
    EXPECT_EQ(bundle.name(), "Pads");
    EXPECT_EQ(bundle.displayName(), "Pads \xC3\x9C");
    EXPECT_EQ(bundle.executable(), "pads");
    EXPECT_EQ(bundle.strings({"CFBundleIcons", "CFBundlePrimaryIcon", "CFBundleIconFiles"}),
              (std::vector<std::string>{"Icon-60", "Icon-76"}));
    EXPECT_EQ(bundle.urlSchemes(), (std::vector<std::string>{"pads", "pads.wirehub", "other.wirehub"}));
}

TEST(MainBundle, MissingAndMistypedKeysAreAbsent) {
    testing::TempDir temp;
    writeFile(temp / "Info.plist", kInfo);
    MainBundle bundle(temp.path());
    EXPECT_EQ(bundle.string({"NoSuchKey"}), std::nullopt);
    EXPECT_EQ(bundle.string({"Count"}), std::nullopt);
    EXPECT_EQ(bundle.string({"CFBundleIdentifier", "deeper"}), std::nullopt);
    EXPECT_EQ(bundle.string({"CFBundleIcons", "CFBundlePrimaryIcon"}), std::nullopt);
    EXPECT_TRUE(bundle.strings({"CFBundleIdentifier"}).empty());
    EXPECT_TRUE(bundle.strings({"CFBundleIcons~ipad", "CFBundlePrimaryIcon", "CFBundleIconFiles"}).empty());
}

TEST(MainBundle, ReadsABinaryPropertyList) {
    // bplist00 holding {"CFBundleIdentifier": "a.b"}.
    const unsigned char binary[] = {
        'b', 'p', 'l', 'i', 's', 't', '0', '0',                                  // magic
        0xD1, 0x01, 0x02,                                                         // dict of 1: key 1, value 2
        0x5F, 0x10, 0x12, 'C', 'F', 'B', 'u', 'n', 'd', 'l', 'e', 'I', 'd', 'e', 'n', 't', 'i', 'f', 'i', 'e', 'r',
        0x53, 'a', '.', 'b',                                                      // "a.b"
        0x08, 0x0B, 0x20,                                                         // offsets of objects 0, 1, 2
        0, 0, 0, 0, 0, 0, 1, 1, 0, 0, 0, 0, 0, 0, 0, 3, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x24};
    testing::TempDir temp;
    writeFile(temp / "Info.plist", std::string(reinterpret_cast<const char*>(binary), sizeof binary));
    MainBundle bundle(temp.path());
    EXPECT_EQ(bundle.loadError(), "");
    EXPECT_EQ(bundle.identifier(), "a.b");
}

TEST(MainBundle, AMissingOrDamagedFileSaysWhyAndAnswersNothing) {
    struct Case {
        const char* name;
        const char* contents;  // nullptr: no file at all
    } cases[] = {
        {"missing", nullptr},
        {"empty", ""},
        {"not xml", "CFBundleIdentifier = x"},
        {"cut short", "<?xml version=\"1.0\"?><plist version=\"1.0\"><dict><key>CFBundleIdentifier</key><str"},
        {"an array, not a dictionary", "<?xml version=\"1.0\"?><plist version=\"1.0\"><array/></plist>"},
    };
    for (const Case& c : cases) {
        testing::TempDir temp;
        if (c.contents) writeFile(temp / "Info.plist", c.contents);
        MainBundle bundle(temp.path());
        EXPECT_NE(bundle.loadError(), "") << c.name;
        EXPECT_EQ(bundle.identifier(), std::nullopt) << c.name;
        EXPECT_TRUE(bundle.urlSchemes().empty()) << c.name;
    }
}

TEST(MainBundle, FindsTopLevelResourcesOnly) {
    testing::TempDir temp;
    writeFile(temp / "AppIcon60x60.png", "a");
    writeFile(temp / "AppIcon76x76.png", "b");
    writeFile(temp / "AppIcon.txt", "c");
    writeFile(temp / "Icon.png", "d");
    std::filesystem::create_directory(temp / "sub");
    writeFile(temp / "sub" / "AppIconDeep.png", "e");
    MainBundle bundle(temp.path());

    EXPECT_EQ(bundle.resourceNames("AppIcon", "png"), (std::vector<std::string>{"AppIcon60x60", "AppIcon76x76"}));
    EXPECT_EQ(bundle.pathForResource("Icon", "png"), temp / "Icon.png");
    EXPECT_EQ(bundle.pathForResource("Icon.png", ""), temp / "Icon.png");
    EXPECT_EQ(bundle.pathForResource("Icon@2x", "png"), std::nullopt);
    EXPECT_EQ(bundle.pathForResource("sub", ""), std::nullopt);
    EXPECT_EQ(bundle.pathForResource("sub/AppIconDeep", "png"), std::nullopt);
    EXPECT_EQ(bundle.pathForResource("../outside", "png"), std::nullopt);
    EXPECT_EQ(bundle.pathForResource("..", ""), std::nullopt);
}

TEST(MainBundle, TheBuiltBundleNamesTheProgram) {
    MainBundle bundle(STROMBEL_TEST_BUNDLE_DIR);
    ASSERT_EQ(bundle.loadError(), "");
    EXPECT_EQ(bundle.identifier(), "org.strombel.Strombel");
    EXPECT_EQ(bundle.executable(), "strombel");
    EXPECT_EQ(bundle.displayName(), "Strombel");
    EXPECT_FALSE(bundle.version().value_or("").empty());
    EXPECT_EQ(bundle.urlSchemes(), std::vector<std::string>{"strombel.wirehub"});
}

}  // namespace
}  // namespace strombel::platform
