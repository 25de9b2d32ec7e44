// After each case the crash reporter's process-wide state is put back: a case
// that enables a reporter in this process (the upload client's do) leaves no
// handlers, callbacks or once-only guard behind for the next.

#include <gtest/gtest.h>

#include "crash/crash_reporter.h"

namespace {

class CrashReporterResets final : public ::testing::EmptyTestEventListener {
    void OnTestEnd(const ::testing::TestInfo&) override { strombel::crash::crash_reporter_reset_instances(); }
};

const bool kCrashReporterResetsInstalled = [] {
    ::testing::UnitTest::GetInstance()->listeners().Append(new CrashReporterResets);
    return true;
}();

}  // namespace
