#include "ui/kit/problem_reporter.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "logging/log.h"
#include "support/recording_logger.h"

namespace strombel::app {
namespace {

using ui::kit::ProblemReporter;

// What the user saw and what the log got, for each way of telling a problem.
TEST(ProblemReporterTest, AlertsLineAndLogAllGoThroughTheReporter) {
    std::vector<std::string> shown, dismissed, line;
    ProblemReporter reporter({[&](const std::string& title, const std::string& message) {
                                  shown.push_back(title + ": " + message);
                              },
                              [&](const std::string& title) { dismissed.push_back(title); }, nullptr});
    auto logger = std::make_shared<logging::testing::RecordingLogger>();
    logging::Log::addLogger(logger);
    logging::setLogLevel(logging::LogFlagError | logging::LogFlagWarning);

    reporter.alert("Not saved", "the disk is full");
    reporter.alert("Strombel", "met at start", ProblemReporter::Log::notHere);
    reporter.alert("Not exported",
                   platform::Error::causedBy("SoundBoxExportErrorDomain", 1, "the file could not be made",
                                             platform::Error::make("POSIXErrorDomain", 28, "No space left on device")));
    reporter.showLine("NOT SAVED: settings");  // no screen yet: nothing to show it, nothing breaks
    reporter.setLinePresenter([&](const std::string& text) { line.push_back(text); });
    reporter.showLine("NOT SAVED: settings");
    reporter.showLine("");
    reporter.takeBack("Strombel");

    logging::Log::flushLog();
    const std::vector<std::string> lines = logger->lines();
    logging::testing::resetLogging();
    EXPECT_EQ(shown, (std::vector<std::string>{"Not saved: the disk is full", "Strombel: met at start",
                                               "Not exported: the file could not be made"}));
    EXPECT_EQ(line, (std::vector<std::string>{"NOT SAVED: settings", ""}));
    EXPECT_EQ(dismissed, (std::vector<std::string>{"Strombel"}));
    ASSERT_EQ(lines.size(), 2u) << "the problem met at start is logged where it was met";
    EXPECT_NE(lines[0].find("the disk is full"), std::string::npos) << lines[0];
    EXPECT_NE(lines[1].find("SoundBoxExportErrorDomain 1: the file could not be made caused by POSIXErrorDomain 28"),
              std::string::npos)
        << lines[1];
}

}  // namespace
}  // namespace strombel::app
