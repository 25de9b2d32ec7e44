#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

#include "logging/log_core.h"
#include "logging/tty_logger.h"
#include "support/local_date.h"
#include "support/recording_logger.h"
#include "support/temp_dir.h"

namespace strombel::logging {
namespace {

using strombel::testing::localDate;

class TTYLoggerTest : public ::testing::Test {
protected:
    void SetUp() override {
        fd_ = ::open((dir_ / "console").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        ASSERT_GE(fd_, 0);
    }
    void TearDown() override {
        testing::resetLogging();
        ::close(fd_);
    }

    std::shared_ptr<TTYLogger> makeLogger(TerminalColorMode mode = TerminalColorMode::None) {
        auto logger = std::make_shared<TTYLogger>(fd_, mode, "Strombel", 211);
        Log::addLogger(logger);
        return logger;
    }

    void log(int32_t flag, std::string text, int milliseconds = 42, LogTag tag = nullptr, int32_t context = 0) {
        LogMessage message(std::move(text), 15, flag, context, "pad.cpp", "tap", 1, std::move(tag));
        message.setTimestamp(localDate(milliseconds));
        message.setMachThreadID(0x1a03);
        Log::queueLogMessage(std::move(message), true);
    }

    std::string written() {
        Log::flushLog();
        std::ifstream in(dir_ / "console", std::ios::binary);
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    }

    strombel::testing::TempDir dir_;
    int fd_ = -1;
};

TEST_F(TTYLoggerTest, ALineHasDateTimeProcessThreadAndText) {
    makeLogger();
    log(LogFlagError, "Could not open the sound bank", 7);
    log(LogFlagWarning, "already ends in a newline\n", 999);
    log(LogFlagInfo, "", 0);
    EXPECT_EQ(written(),
              "2015-03-01 14:05:09:007 Strombel[211:1a03] Could not open the sound bank\n"
              "2015-03-01 14:05:09:999 Strombel[211:1a03] already ends in a newline\n"
              "2015-03-01 14:05:09:000 Strombel[211:1a03] \n");
}

TEST_F(TTYLoggerTest, ALongMessageIsWrittenWhole) {
    makeLogger();
    std::string text(5000, 'k');
    text.back() = 'z';
    log(LogFlagError, text);
    std::string line = written();
    EXPECT_EQ(line, "2015-03-01 14:05:09:042 Strombel[211:1a03] " + text + "\n");
}

TEST_F(TTYLoggerTest, IllFormedTextIsWrittenWithReplacementCharacters) {
    makeLogger();
    log(LogFlagError, "sample name \xFF\xFEkick.wav");
    EXPECT_EQ(written(), "2015-03-01 14:05:09:042 Strombel[211:1a03] sample name \xEF\xBF\xBD\xEF\xBF\xBDkick.wav\n");
}

class ChoosyFormatter : public LogFormatter {
public:
    FormattedMessage formatLogMessage(const LogMessage& message) override {
        if (message.logMsg() == "own") return FormattedMessage::messageText();
        if (message.logMsg() == "drop") return FormattedMessage::suppressed();
        return FormattedMessage("<" + message.logMsg() + ">");
    }
};

TEST_F(TTYLoggerTest, AFormatterChoosesBetweenPrefixedLineBareTextAndNoLine) {
    auto logger = makeLogger(TerminalColorMode::Standard16);
    logger->setLogFormatter(std::make_shared<ChoosyFormatter>());
    logger->setColorsEnabled(true);
    log(LogFlagWarning, "own");
    log(LogFlagWarning, "drop");
    log(LogFlagError, "new");
    EXPECT_EQ(written(),
              "\x1b[33m2015-03-01 14:05:09:042 Strombel[211:1a03] own\n\x1b[0m"
              "\x1b[31m<new>\n\x1b[0m");
}

TEST_F(TTYLoggerTest, DefaultColoursMarkErrorsAndWarningsOnly) {
    auto logger = makeLogger(TerminalColorMode::Standard16);
    log(LogFlagError, "plain while colours are off");
    logger->setColorsEnabled(true);
    log(LogFlagError, "red");
    log(LogFlagWarning, "yellow");
    log(LogFlagInfo, "uncoloured");
    EXPECT_TRUE(logger->colorsEnabled());
    const std::string prefix = "2015-03-01 14:05:09:042 Strombel[211:1a03] ";
    EXPECT_EQ(written(), prefix + "plain while colours are off\n" +                 //
                             "\x1b[31m" + prefix + "red\n\x1b[0m" +                //
                             "\x1b[33m" + prefix + "yellow\n\x1b[0m" +             //
                             prefix + "uncoloured\n");
}

TEST_F(TTYLoggerTest, TagAndContextProfilesAndClearing) {
    auto logger = makeLogger(TerminalColorMode::Standard256);
    auto drums = std::make_shared<int>(1);
    logger->setColorsEnabled(true);
    logger->setForegroundColor(Color::fromRGB(0, 0, 255), Color::fromRGB(255, 255, 255), LogFlagInfo, 5);
    logger->setForegroundColor(Color::fromRGB(0, 255, 0), std::nullopt, drums);
    log(LogFlagInfo, "context 5", 42, nullptr, 5);
    log(LogFlagInfo, "context 0");
    log(LogFlagInfo, "tagged", 42, drums);
    log(LogFlagError, "error");
    logger->clearColorsForTag(drums);
    logger->clearColorsForFlag(LogFlagError);
    log(LogFlagInfo, "tag cleared", 42, drums);
    log(LogFlagError, "error cleared");
    const std::string prefix = "2015-03-01 14:05:09:042 Strombel[211:1a03] ";
    // Pure blue is nearest the measured colour 19 (73, 46, 222) of the table.
    EXPECT_EQ(written(), "\x1b[38;5;19m\x1b[48;5;231m" + prefix + "context 5\n\x1b[0m" +  //
                             prefix + "context 0\n" +                                       //
                             "\x1b[38;5;46m" + prefix + "tagged\n\x1b[0m" +                 //
                             "\x1b[38;5;166m" + prefix + "error\n\x1b[0m" +                 //
                             prefix + "tag cleared\n" +                                     //
                             prefix + "error cleared\n");
}

TEST_F(TTYLoggerTest, RgbEscapesCarryTheComponents) {
    auto logger = makeLogger(TerminalColorMode::RgbEscapes);
    logger->setColorsEnabled(true);
    log(LogFlagError, "e");
    EXPECT_EQ(written(), "\x1b[fg214,57,30;2015-03-01 14:05:09:042 Strombel[211:1a03] e\n\x1b[;");
}

TEST(TTYLoggerColorTest, TerminalDetectionFollowsTheEnvironment) {
    struct Case {
        const char* term;
        const char* xcodeColors;
        TerminalColorMode mode;
    } cases[] = {
        {"xterm-256color", nullptr, TerminalColorMode::Standard256},
        {"XTERM-256COLOR", nullptr, TerminalColorMode::Standard256},
        {"xterm-color", nullptr, TerminalColorMode::Standard16},
        {"xterm", nullptr, TerminalColorMode::None},
        {"xterm", "YES", TerminalColorMode::None},
        {nullptr, "YES", TerminalColorMode::RgbEscapes},
        {nullptr, "yes", TerminalColorMode::None},
        {nullptr, nullptr, TerminalColorMode::None},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(detectTerminalColorMode(c.term, c.xcodeColors), c.mode)
            << (c.term ? c.term : "(unset)") << " " << (c.xcodeColors ? c.xcodeColors : "(unset)");
    }
}

TEST(TTYLoggerColorTest, TheTwoHundredFiftySixColourTableHoldsTheMeasuredRows) {
    // Each measured colour finds its own row: colours 16 to 21, then 252 to 255.
    const struct {
        int r, g, b;
        uint64_t row;
    } rows[] = {{47, 49, 49, 0},     {60, 42, 144, 1},    {66, 44, 183, 2},    {73, 46, 222, 3},
                {81, 50, 253, 4},    {88, 51, 255, 5},    {216, 218, 218, 236}, {224, 226, 226, 237},
                {232, 234, 234, 238}, {240, 242, 242, 239}};
    for (const auto& row : rows) {
        EXPECT_EQ(TTYLogger::codeIndexForColor(Color::fromRGB(row.r, row.g, row.b), TerminalColorMode::Standard256),
                  row.row)
            << row.r << "," << row.g << "," << row.b;
    }
    TTYLoggerColorProfile blue(Color::fromRGB(88, 51, 255), std::nullopt, LogFlagError, 0,
                               TerminalColorMode::Standard256);
    EXPECT_EQ(std::string(blue.fgCode.data(), blue.fgCodeLen), "\x1b[38;5;21m");
}

TEST(TTYLoggerColorTest, NearestColourPrefersTheLowestIndexOnATie) {
    EXPECT_EQ(TTYLogger::codeIndexForColor(Color::fromRGB(0, 0, 0), TerminalColorMode::Standard16), 0u);
    EXPECT_EQ(TTYLogger::codeIndexForColor(Color::fromRGB(20, 240, 240), TerminalColorMode::Standard16), 14u);
    // Black is colour 16, the first row of the 256-colour table.
    EXPECT_EQ(TTYLogger::codeIndexForColor(Color::fromRGB(0, 0, 0), TerminalColorMode::Standard256), 0u);
    EXPECT_EQ(TTYLogger::codeIndexForColor(Color::fromRGB(1, 2, 3), TerminalColorMode::None), 0u);

    TTYLoggerColorProfile profile(Color::fromRGB(214, 57, 30), std::nullopt, LogFlagError, 0,
                                  TerminalColorMode::Standard16);
    EXPECT_EQ(profile.fgCodeRaw, "31m");
    EXPECT_EQ(std::string(profile.fgCode.data(), profile.fgCodeLen), "\x1b[31m");
    EXPECT_EQ(profile.bgCodeLen, 0u);
    EXPECT_NE(profile.description().find("mask:1 ctxt:0 fg:214,57,30 bg:0,0,0 fgCode:31m"), std::string::npos);

    TTYLoggerColorProfile none(Color::fromRGB(214, 57, 30), std::nullopt, LogFlagError, 0, TerminalColorMode::None);
    EXPECT_EQ(none.fgCodeLen + none.bgCodeLen + none.resetCodeLen, 0u);
}

}  // namespace
}  // namespace strombel::logging
