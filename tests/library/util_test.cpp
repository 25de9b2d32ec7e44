#include <gtest/gtest.h>

#include <fstream>

#include "library/entities.h"
#include "library/util.h"
#include "support/temp_dir.h"

namespace strombel::library {
namespace {

TEST(Util, GuardBoundsKeepsValuesInRange) {
    EXPECT_EQ(Util::guardBounds(5, 0, 1), 1);
    EXPECT_EQ(Util::guardBounds(-1, 0, 1), 0);
    EXPECT_EQ(Util::guardBounds(0.5, 0, 1), 0.5);
}

TEST(Util, DeviceTypesByMachineIdentifier) {
    const std::pair<const char*, int32_t> table[] = {
        {"iPad1,1", 6}, {"iPad2,1", 8},   {"iPad3,1", 9},   {"iPhone1,1", 0}, {"iPhone2,1", 2}, {"iPhone3,1", 4},
        {"iPhone4,1", 7}, {"iPod1,1", 1}, {"iPod2,1", 3},   {"iPod3,1", 5},   {"x86_64", 10},   {"iPad2,1 ", 10},
    };
    for (const auto& [machine, type] : table) EXPECT_EQ(Util::deviceType(machine), type) << machine;
    EXPECT_EQ(Util::deviceType(), 10);
}

TEST(Util, ColorForHexReadsSixDigitsAndGivesBlackOtherwise) {
    const Color orange{1.0f, 128.0f / 255.0f, 0.0f, 1.0f};
    EXPECT_EQ(Util::colorForHex("#FF8000"), orange);
    EXPECT_EQ(Util::colorForHex("ff8000"), orange);
    EXPECT_EQ(Util::colorForHex("  #ff8000\n"), orange);
    const Color black{};
    EXPECT_EQ(Util::colorForHex("#FFF"), black);
    EXPECT_EQ(Util::colorForHex("#FF800"), black);
    EXPECT_EQ(Util::colorForHex("#FF80001"), black);
}

TEST(Util, ColorForHexWithASignedPairStillGivesAnOpaqueColour) {
    // "-1" is no pair of hexadecimal digits: it must not become a negative component.
    const Color color = Util::colorForHex("#-10203");
    EXPECT_EQ(color, (Color{0.0f, 2.0f / 255.0f, 3.0f / 255.0f, 1.0f}));
}

TEST(Util, ConvertToPlainTextKeepsParagraphsAndLineBreaks) {
    EXPECT_EQ(Util::convertToPlainText(std::string("one</p>two")), "one\n\ntwo");
    EXPECT_EQ(Util::convertToPlainText(std::string("a<br/>b< br >c")), "a\nb\nc");
    EXPECT_EQ(Util::convertToPlainText(std::string("<b>bold</b> text")), "bold text");
    EXPECT_EQ(Util::convertToPlainText(std::string("  line\none  ")), "lineone");
    EXPECT_EQ(Util::convertToPlainText(std::string("x</p></p>y")), "x\n\n\ny");
    EXPECT_EQ(Util::convertToPlainText(std::string("a < b")), "a < b");
    EXPECT_FALSE(Util::convertToPlainText(std::nullopt).has_value());
}

TEST(Util, LoadTemplateFillsInValues) {
    testing::TempDir dir;
    std::ofstream(dir / "mail.txt") << "Hello [name], you have [count] packs. [name]!";
    auto text = Util::loadTemplate(dir.path(), "mail.txt", {{"name", "Ada"}, {"count", "8"}});
    ASSERT_TRUE(text.has_value());
    EXPECT_EQ(*text, "Hello Ada, you have 8 packs. Ada!");

    // What cannot be read gives none, and the line says why.
    std::filesystem::create_directories(dir / "folder.txt");
    for (const auto& [file, why] : {std::pair<const char*, std::string>{"missing.txt", "No such file or directory"},
                                    {"folder.txt", (dir / "folder.txt").string() + " is a folder"}}) {
        ::testing::internal::CaptureStderr();
        EXPECT_FALSE(Util::loadTemplate(dir.path(), file, {}).has_value()) << file;
        const std::string line = ::testing::internal::GetCapturedStderr();
        EXPECT_EQ(line.rfind(std::string("cant read contents of template file ") + file + ". Error: ", 0), 0u) << line;
        EXPECT_NE(line.find(why), std::string::npos) << line;
    }
}

}  // namespace
}  // namespace strombel::library

namespace strombel::library {
namespace {

TEST(FoldCase, NamesOfEveryAlphabetCompareWithoutCase) {
    const std::pair<const char*, const char*> table[] = {
        {"Kick", "kick"},     {"ÉCLAIR", "éclair"}, {"ŁÓDŹ", "łódź"}, {"ΑΒΓ", "αβγ"},
        {"ДЖАЗ", "джаз"},     {"ЁЖ", "ёж"},         {"Ÿ", "ÿ"},       {"Straße", "straße"},
        {"× ÷", "× ÷"},       {"日本", "日本"},
    };
    for (const auto& [text, folded] : table) EXPECT_EQ(foldCase(text), folded) << text;
}

}  // namespace
}  // namespace strombel::library
