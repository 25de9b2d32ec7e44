#include "crash/crash_process_info.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <ctime>

namespace strombel::crash {
namespace {

TEST(CrashProcessInfo, TheCurrentProcessAndItsParent) {
    auto info = CrashProcessInfo::currentProcessInfo();
    ASSERT_TRUE(info.has_value());
    EXPECT_EQ(info->processID(), getpid());
    EXPECT_EQ(info->parentProcessID(), getppid());
    EXPECT_EQ(info->processName(), std::string(program_invocation_short_name).substr(0, 15));
    auto now = static_cast<uint64_t>(std::time(nullptr));
    EXPECT_LE(info->startTime(), now + 1);
    EXPECT_GT(info->startTime(), now - 24 * 3600 * 365);
    EXPECT_TRUE(CrashProcessInfo::withProcessID(getppid()).has_value());
}

TEST(CrashProcessInfo, AProcessThatIsGoneHasNoFacts) {
    pid_t child = fork();
    if (child == 0) _exit(0);
    waitpid(child, nullptr, 0);
    EXPECT_FALSE(CrashProcessInfo::withProcessID(child).has_value());
}

TEST(CrashHostInfo, KernelReleasesAreReadAsFarAsTheyGo) {
    struct Case {
        const char* release;
        uint64_t major, minor, revision;
    } cases[] = {
        {"6.1.0-18-amd64", 6, 1, 0},
        {"13.0.0", 13, 0, 0},
        {"5.10", 5, 10, 0},
        {"4", 4, 0, 0},
        {"unknown", 0, 0, 0},
    };
    for (const Case& c : cases) {
        CrashHostInfoVersion version = CrashHostInfo::withRelease(c.release).kernelVersion();
        EXPECT_EQ(version.major, c.major) << c.release;
        EXPECT_EQ(version.minor, c.minor) << c.release;
        EXPECT_EQ(version.revision, c.revision) << c.release;
    }
    auto host = CrashHostInfo::currentHostInfo();
    ASSERT_TRUE(host.has_value());
    EXPECT_GT(host->kernelVersion().major, 2u);
}

}  // namespace
}  // namespace strombel::crash
