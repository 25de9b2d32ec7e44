// The launcher alone: it holds SIGTERM and SIGINT from its first instruction and
// becomes the program proper with both still held, so that a signal sent while
// the loader maps the program's libraries waits for the program to take it.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "support/child_process.h"
#include "support/temp_dir.h"

namespace strombel::app {
namespace {

/// One line of what the child writes, read as it comes.
std::string readLine(int fd) {
    std::string line;
    char c = 0;
    while (::read(fd, &c, 1) == 1 && c != '\n') line.push_back(c);
    return line;
}

TEST(Launcher, TheProgramProperBeginsWithTerminationSignalsHeldAndTakesOneItself) {
    // The launcher's own copy, and beside it a stand-in for the program proper.
    testing::TempDir dir;
    const std::filesystem::path launcher = dir / "strombel";
    std::filesystem::create_directories(dir / "libexec");
    std::filesystem::copy_file(STROMBEL_LAUNCHER, launcher);
    std::filesystem::copy_file(STROMBEL_LAUNCHER_STAND_IN, dir / "libexec" / "strombel");

    int output[2];
    ASSERT_EQ(::pipe2(output, O_CLOEXEC), 0);
    // Started with nothing blocked: what is held, the launcher held.
    testing::ChildProcess child({launcher.string()}, testing::environmentWith({}), output[1]);
    ::close(output[1]);
    ASSERT_TRUE(child.started());
    EXPECT_EQ(readLine(output[0]), "blocked: INT TERM");
    child.signal(SIGTERM);
    EXPECT_EQ(readLine(output[0]), "taken: 15");
    ::close(output[0]);
    const std::optional<int> status = child.wait(30);
    ASSERT_TRUE(status);
    EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0) << "ended by the signal itself";
}

}  // namespace
}  // namespace strombel::app
