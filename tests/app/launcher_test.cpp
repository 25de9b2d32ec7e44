// The launcher `strombel` holds SIGTERM and SIGINT with its first system call
// and becomes the program proper beside it (libexec/strombel) with the two
// still held, its arguments and environment unchanged. Here the program proper
// is a probe that says what it found.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "support/started_past_first_system_call.h"
#include "support/temp_dir.h"

namespace strombel::app {
namespace {

class LauncherTest : public ::testing::Test {
protected:
    LauncherTest() {
        std::filesystem::create_directories(temp_ / "bin" / "libexec");
        std::filesystem::copy_file(STROMBEL_LAUNCHER, launcher_);
        std::filesystem::permissions(launcher_, std::filesystem::perms::owner_all);
    }
    /// Runs the launcher with `arguments`, sends `signals` once its first system
    /// call has returned; its status, and what it wrote (both outputs) in `said`.
    int launch(const std::vector<std::string>& arguments, std::initializer_list<int> signals, std::string& said) {
        std::vector<std::string> line{launcher_.string()};
        line.insert(line.end(), arguments.begin(), arguments.end());
        const std::filesystem::path output = temp_ / "said";
        const int fd = ::open(output.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        strombel::testing::StartedPastFirstSystemCall program(line, {"LAUNCHER_PROBE_MARK=kept"}, fd, fd);
        ::close(fd);
        if (program.traceRefused()) return -2;
        EXPECT_TRUE(program.started());
        for (int number : signals) program.signal(number);
        const std::optional<int> status = program.wait(std::chrono::seconds(30));
        std::ifstream in(output);
        said.assign(std::istreambuf_iterator<char>(in), {});
        return status ? *status : -1;
    }
    strombel::testing::TempDir temp_;
    std::filesystem::path launcher_ = temp_ / "bin" / "strombel";
};

TEST_F(LauncherTest, SignalsSentBeforeTheProgramRunsWaitForItHeld) {
    std::filesystem::create_symlink(STROMBEL_LAUNCHER_PROBE, temp_ / "bin" / "libexec" / "strombel");
    std::string said;
    const int status = launch({"--root", "a folder with spaces"}, {SIGTERM, SIGINT}, said);
    if (status == -2) GTEST_SKIP() << "this machine lets no process trace its child (ptrace)";
    ASSERT_TRUE(WIFEXITED(status)) << (WIFSIGNALED(status) ? "ended by signal " + std::to_string(WTERMSIG(status))
                                                           : std::string("did not end"));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_EQ(said,
              "held 1 1\n"
              "took 1 1\n"
              "argument --root\n"
              "argument a folder with spaces\n"
              "environment kept\n");
}

TEST_F(LauncherTest, WithoutTheProgramBesideItTheLauncherSaysWhereItLooked) {
    std::string said;
    const int status = launch({}, {}, said);
    if (status == -2) GTEST_SKIP() << "this machine lets no process trace its child (ptrace)";
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 127);
    EXPECT_EQ(said, "strombel: cannot start " + (temp_ / "bin" / "libexec" / "strombel").string() + " (error 2)\n");
}

}  // namespace
}  // namespace strombel::app
