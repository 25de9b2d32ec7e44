// The real program's start as the desktop makes it: a quit in its first
// milliseconds, files in the data folder that are not files, and a second start
// on a folder a running program owns.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/ptrace.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "support/child_process.h"
#include "support/temp_dir.h"

namespace strombel::app {
namespace {

using namespace std::chrono_literals;

std::string readFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

std::string describe(int status) {
    return WIFSIGNALED(status) ? "ended by signal " + std::to_string(WTERMSIG(status))
                               : "status " + std::to_string(WEXITSTATUS(status));
}

class ProgramStartTest : public ::testing::Test {
protected:
    /// Starts the program on `root`, its standard error going to `errors`.
    std::unique_ptr<strombel::testing::ChildProcess> start(const std::filesystem::path& root,
                                                           const std::filesystem::path& errors,
                                                           std::vector<std::string> more = {}) {
        const int fd = ::open(errors.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        std::vector<std::string> arguments{STROMBEL_PROGRAM, "--root", root.string()};
        arguments.insert(arguments.end(), more.begin(), more.end());
        auto program = std::make_unique<strombel::testing::ChildProcess>(arguments, environment(), -1, fd);
        ::close(fd);
        return program;
    }

    /// Waits until `errors` holds `text`; false after a generous guard.
    static bool waitForLine(const std::filesystem::path& errors, const std::string& text) {
        for (auto end = std::chrono::steady_clock::now() + 60s; std::chrono::steady_clock::now() < end;) {
            if (readFile(errors).find(text) != std::string::npos) return true;
            std::this_thread::sleep_for(20ms);
        }
        return false;
    }

    /// The program's environment: offscreen, silent, its own runtime folder.
    std::vector<std::string> environment() const {
        std::filesystem::create_directories(temp_ / "runtime");
        std::filesystem::permissions(temp_ / "runtime", std::filesystem::perms::owner_all);
        return strombel::testing::environmentWith({"QT_QPA_PLATFORM=offscreen", "STROMBEL_AUDIO=null", "DISPLAY",
                                                   "WAYLAND_DISPLAY",
                                                   "XDG_RUNTIME_DIR=" + (temp_ / "runtime").string()});
    }

    strombel::testing::TempDir temp_;
};

/// A started program, traced until its first system call has returned and then
/// let go: from that moment on, what it does is its own code's doing. (A signal
/// sent while the kernel is still starting it ends any program: no code of its
/// own has run.)
class StartedPastFirstSystemCall {
public:
    StartedPastFirstSystemCall(const std::vector<std::string>& arguments, const std::vector<std::string>& environment) {
        std::vector<char*> argv, envp;
        for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
        argv.push_back(nullptr);
        for (const std::string& entry : environment) envp.push_back(const_cast<char*>(entry.c_str()));
        envp.push_back(nullptr);
        pid_ = ::fork();
        if (pid_ == 0) {
            sigset_t none;
            sigemptyset(&none);
            ::sigprocmask(SIG_SETMASK, &none, nullptr);
            if (::ptrace(PTRACE_TRACEME, 0, nullptr, nullptr) != 0) ::_exit(126);
            ::execve(argv[0], argv.data(), envp.data());
            ::_exit(127);
        }
        int status = 0;
        // Stopped at its exec, then at the entry and the exit of its first system call.
        if (::waitpid(pid_, &status, 0) != pid_ || !WIFSTOPPED(status)) {
            traceRefused_ = WIFEXITED(status) && WEXITSTATUS(status) == 126;
            pid_ = -1;
            return;
        }
        ::ptrace(PTRACE_SETOPTIONS, pid_, nullptr, reinterpret_cast<void*>(PTRACE_O_TRACESYSGOOD | PTRACE_O_EXITKILL));
        for (int stop = 0; stop < 2; ++stop) {
            ::ptrace(PTRACE_SYSCALL, pid_, nullptr, nullptr);
            ::waitpid(pid_, &status, 0);
        }
        ::ptrace(PTRACE_DETACH, pid_, nullptr, nullptr);
    }
    ~StartedPastFirstSystemCall() {
        if (pid_ > 0 && !status_) ::kill(pid_, SIGKILL), ::waitpid(pid_, nullptr, 0);
    }
    bool started() const { return pid_ > 0; }
    bool traceRefused() const { return traceRefused_; }
    void signal(int number) const { ::kill(pid_, number); }
    std::optional<int> wait(std::chrono::seconds limit) {
        const auto end = std::chrono::steady_clock::now() + limit;
        int status = 0;
        while (!status_ && std::chrono::steady_clock::now() < end) {
            if (::waitpid(pid_, &status, WNOHANG) == pid_) status_ = status;
            else std::this_thread::sleep_for(5ms);
        }
        return status_;
    }

private:
    pid_t pid_ = -1;
    bool traceRefused_ = false;
    std::optional<int> status_;
};

TEST_F(ProgramStartTest, SigtermInTheFirstTwentyMillisecondsEndsTheProgramCleanly) {
    // Fifty starts, each ended by SIGTERM 0 to 20 ms after the program's first
    // system call: while the loader still maps its libraries, and just after.
    const std::filesystem::path root = temp_ / "root";
    for (int start = 0; start < 50; ++start) {
        const auto delay = std::chrono::microseconds(start * 20000 / 49);
        StartedPastFirstSystemCall program({STROMBEL_PROGRAM, "--root", root.string()}, environment());
        if (program.traceRefused()) GTEST_SKIP() << "this machine lets no process trace its child (ptrace)";
        ASSERT_TRUE(program.started());
        std::this_thread::sleep_for(delay);
        program.signal(SIGTERM);
        const std::optional<int> status = program.wait(60s);
        ASSERT_TRUE(status) << "SIGTERM after " << delay.count() << " µs: the program did not end";
        EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0)
            << "SIGTERM after " << delay.count() << " µs: " << describe(*status);
    }
}

TEST_F(ProgramStartTest, ANamedPipeInPlaceOfTheSettingsOrTheLibraryIsRefusedWithTheReason) {
    const struct {
        const char* file;
        const char* told;
    } rows[] = {
        {"Library/Preferences/defaults.sqlite", "Strombel's settings cannot be saved: the settings file cannot be used: "},
        {"Documents/.strombel.xcdatamodeld", "The sound library could not be opened: the store file cannot be used: "},
        {"Documents/.strombel.xcdatamodeld-wal", "The sound library could not be opened: the store file cannot be used: "},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.file);
        const std::filesystem::path root = temp_ / std::filesystem::path(row.file).filename().string();
        const std::filesystem::path pipe = root / row.file;
        std::filesystem::create_directories(pipe.parent_path());
        ASSERT_EQ(::mkfifo(pipe.c_str(), 0600), 0);
        const auto errors = temp_ / "errors";
        auto program = start(root, errors);
        // Opening the pipe would wait for a writer for ever: the start goes on and
        // says why the file was not used.
        EXPECT_TRUE(waitForLine(errors, row.told + pipe.string() + " is a named pipe, not a regular file"))
            << readFile(errors);
        program->signal(SIGTERM);
        const std::optional<int> status = program->wait(60);
        ASSERT_TRUE(status) << "SIGTERM did not end it";
        EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0) << describe(*status);
        struct stat info {};
        EXPECT_TRUE(::lstat(pipe.c_str(), &info) == 0 && S_ISFIFO(info.st_mode)) << "it is left as it is";
    }
}

TEST_F(ProgramStartTest, ASignalEndsAStartThatWaitsOnALockForEver) {
    // A local process holds the caches folder's lock, which every start takes:
    // the start waits there for good.
    const std::filesystem::path root = temp_ / "root";
    std::filesystem::create_directories(root / "Library" / "Caches");
    const int lock = ::open((root / "Library" / "Caches" / ".running").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    ASSERT_EQ(::flock(lock, LOCK_EX), 0);
    const auto errors = temp_ / "errors";
    auto program = start(root, errors);
    // Until the program waits for the lock (the kernel's list of locks shows it).
    const std::string waiting = " " + std::to_string(program->pid()) + " ";
    bool waits = false;
    for (auto end = std::chrono::steady_clock::now() + 60s; !waits && std::chrono::steady_clock::now() < end;) {
        std::istringstream locks(readFile("/proc/locks"));
        for (std::string line; std::getline(locks, line);)
            waits |= line.find("->") != std::string::npos && line.find(waiting) != std::string::npos;
        if (!waits) std::this_thread::sleep_for(20ms);
    }
    ASSERT_TRUE(waits) << "the start did not come to the lock";
    program->signal(SIGTERM);
    const std::optional<int> status = program->wait(30);
    ::close(lock);
    ASSERT_TRUE(status) << "SIGTERM did not end a start that waits";
    EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0) << describe(*status);
    EXPECT_NE(readFile(errors).find("strombel: ended while starting"), std::string::npos) << readFile(errors);
}

}  // namespace
}  // namespace strombel::app
