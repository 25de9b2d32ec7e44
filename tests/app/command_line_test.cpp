#include "app/command_line.h"

#include <gtest/gtest.h>

namespace strombel::app {
namespace {

TEST(CommandLine, GuiTakesTheThreeLayoutsByNumberAndRefusesEveryOtherWord) {
    EXPECT_EQ(parseCommandLine({"strombel"}).guiType, ui::GuiType::tablet);
    const std::pair<const char*, ui::GuiType> layouts[] = {{"0", ui::GuiType::tablet},
                                                           {"1", ui::GuiType::phoneLandscape},
                                                           {"2", ui::GuiType::phonePortrait}};
    for (const auto& [word, type] : layouts) {
        SCOPED_TRACE(word);
        const CommandLine line = parseCommandLine({"strombel", "--gui", word});
        EXPECT_EQ(line.error, "");
        EXPECT_EQ(line.guiType, type);
    }
    for (const char* word : {"3", "-1", "01", "+1", " 1", "1.0", "phone", ""}) {
        SCOPED_TRACE(word);
        const CommandLine line = parseCommandLine({"strombel", "--gui", word});
        EXPECT_NE(
            line.error.find("--gui takes 0 (tablet), 1 (phone landscape) or 2 (phone portrait)"),
            std::string::npos)
            << line.error;
    }
}

}  // namespace
}  // namespace strombel::app
