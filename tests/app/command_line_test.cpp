#include "app/command_line.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

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

TEST(CommandLine, WrongCommandLinesAreRefusedWithTheirReason) {
    const struct {
        std::vector<std::string> arguments;
        const char* reason;
    } cases[] = {
        {{"--bogus"}, "unknown option '--bogus'"},
        {{"--gui", "1", "-bogus=2"}, "unknown option '-bogus'"},
        {{"--gui", "1", "--gui", "2"}, "--gui is given more than once ('1', then '2')"},
        {{"--root", "/tmp/a", "--root=/tmp/b"}, "--root is given more than once"},
        {{"--store-url", "http://127.0.0.1/", "--store-url", "http://127.0.0.1/"}, "--store-url is given more"},
        {{"--open-url", "a:", "--open-url", "b:"}, "--open-url is given more than once"},
        {{"--root"}, "missing value after '--root'"},
        {{"--root", ""}, "--root needs a folder"},
        {{"--gui"}, "gui"},
        {{"stray"}, "unexpected argument 'stray' (options start with --)"},
        {{"--store-url", "ftp://127.0.0.1/"}, "--store-url takes an http or https address"},
        {{"--store-url", "127.0.0.1"}, "--store-url takes an http or https address"},
        {{"--open-url", ""}, "--open-url needs an address"},
        {{"--open-url", "sn1://authorize", "--gui", "1"}, "starts none: it takes no --gui"},
        {{"--store-url", "http://127.0.0.1/", "--open-url", "sn1://x"}, "it takes no --store-url"},
        {{"x.wirehub://launch", "stray"}, "the launch address 'x.wirehub://launch' is given alone"},
        {{"strombel.wirehub://abc", "--gui", "1"}, "the launch address 'strombel.wirehub://abc' is given alone"},
        {{"--root", "/tmp/a", "x.wirehub://"}, "is given alone, with no other argument"},
        {{"stray", "x.wirehub://"}, "unexpected argument 'stray'"},
        {{"--gui", "9"}, "not '9'"},
    };
    for (const auto& c : cases) {
        std::vector<std::string> arguments{"strombel"};
        arguments.insert(arguments.end(), c.arguments.begin(), c.arguments.end());
        SCOPED_TRACE(testing::PrintToString(c.arguments));
        const CommandLine line = parseCommandLine(arguments);
        EXPECT_NE(line.error.find(c.reason), std::string::npos) << line.error;
        // One style: quotes are single, and no refusal ends in a full stop.
        EXPECT_EQ(line.error.find('"'), std::string::npos) << line.error;
        EXPECT_NE(line.error.back(), '.') << line.error;
        EXPECT_FALSE(line.help);
    }
}

TEST(CommandLine, EveryOptionIsTakenAndHelpNamesThemAll) {
    const CommandLine line = parseCommandLine({"strombel", "--gui", "1", "--root", "/tmp/strombel-x", "--store-url",
                                               "http://127.0.0.1:8080/store/"});
    EXPECT_EQ(line.error, "");
    EXPECT_EQ(line.guiType, ui::GuiType::phoneLandscape);
    EXPECT_EQ(line.root, "/tmp/strombel-x");
    EXPECT_EQ(line.storeURL, "http://127.0.0.1:8080/store/");
    EXPECT_EQ(line.launchURL, "");
    EXPECT_FALSE(line.openUrl);
    const CommandLine byTheHub = parseCommandLine({"strombel", "x.wirehub://launch?y"});
    EXPECT_EQ(byTheHub.error, "");
    EXPECT_EQ(byTheHub.launchURL, "x.wirehub://launch?y");

    for (const char* help : {"--help", "-h", "-help"}) {
        SCOPED_TRACE(help);
        const CommandLine asked = parseCommandLine({"strombel", help});
        EXPECT_TRUE(asked.help);
        EXPECT_EQ(asked.error, "");
    }
    const std::string text = commandLineHelp();
    for (const char* named : {"--gui", "--root", "--store-url", "--open-url", "--help", "STROMBEL_ROOT", "STROMBEL_AUDIO",
                              "wirehub://"}) {
        EXPECT_NE(text.find(named), std::string::npos) << named << " is missing from:\n" << text;
    }
    EXPECT_EQ(text.find("<executable_name>"), std::string::npos);
}

/// Sets (or, for none, unsets) an environment variable for the life of the
/// object and puts the old value back.
class ScopedEnvironment {
public:
    ScopedEnvironment(const char* name, std::optional<std::string> value) : name_(name) {
        if (const char* old = std::getenv(name)) old_ = old;
        if (value) ::setenv(name, value->c_str(), 1);
        else ::unsetenv(name);
    }
    ~ScopedEnvironment() {
        if (old_) ::setenv(name_, old_->c_str(), 1);
        else ::unsetenv(name_);
    }
    ScopedEnvironment(const ScopedEnvironment&) = delete;
    ScopedEnvironment& operator=(const ScopedEnvironment&) = delete;

private:
    const char* name_;
    std::optional<std::string> old_;
};

TEST(CommandLine, WithoutADisplayThePlainReasonIsGivenBeforeQtIsAsked) {
    const struct {
        std::optional<std::string> display, wayland, platform;
        bool missing;
    } cases[] = {
        {std::nullopt, std::nullopt, std::nullopt, true},
        {"", "", "", true},
        {":1", std::nullopt, std::nullopt, false},
        {std::nullopt, "wayland-0", std::nullopt, false},
        {std::nullopt, std::nullopt, "offscreen", false},
    };
    for (const auto& c : cases) {
        ScopedEnvironment display("DISPLAY", c.display);
        ScopedEnvironment wayland("WAYLAND_DISPLAY", c.wayland);
        ScopedEnvironment platform("QT_QPA_PLATFORM", c.platform);
        SCOPED_TRACE(testing::Message() << "DISPLAY=" << c.display.value_or("(unset)")
                                        << " WAYLAND_DISPLAY=" << c.wayland.value_or("(unset)")
                                        << " QT_QPA_PLATFORM=" << c.platform.value_or("(unset)"));
        EXPECT_EQ(missingDisplayProblem(), c.missing ? kNoDisplayMessage : "");
    }
}

TEST(CommandLine, ADisplayThatDoesNotAnswerIsNamed) {
    ScopedEnvironment wayland("WAYLAND_DISPLAY", std::nullopt);
    {
        ScopedEnvironment display("DISPLAY", ":97");
        EXPECT_NE(unreachableDisplayProblem().find("DISPLAY=:97"), std::string::npos) << unreachableDisplayProblem();
    }
    {
        ScopedEnvironment display("DISPLAY", std::nullopt);
        ScopedEnvironment named("WAYLAND_DISPLAY", "wayland-7");
        EXPECT_NE(unreachableDisplayProblem().find("WAYLAND_DISPLAY=wayland-7"), std::string::npos);
    }
}

}  // namespace
}  // namespace strombel::app
