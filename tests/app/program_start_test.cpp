// The real program's start as the desktop makes it: a quit in its first
// milliseconds, files in the data folder that are not files, and a second start
// on a folder a running program owns.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/ptrace.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "support/child_process.h"
#include "support/started_past_first_system_call.h"
#include "support/temp_dir.h"
#include "support/thread_names.h"

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

    /// The program's environment: offscreen (unless `display` is given), silent,
    /// its own runtime folder.
    std::vector<std::string> environment(const std::string& display = {}) const {
        std::filesystem::create_directories(temp_ / "runtime");
        std::filesystem::permissions(temp_ / "runtime", std::filesystem::perms::owner_all);
        return strombel::testing::environmentWith(
            {display.empty() ? "QT_QPA_PLATFORM=offscreen" : "QT_QPA_PLATFORM", "STROMBEL_AUDIO=null",
             display.empty() ? "DISPLAY" : "DISPLAY=" + display, "WAYLAND_DISPLAY",
             "XDG_RUNTIME_DIR=" + (temp_ / "runtime").string()});
    }

    strombel::testing::TempDir temp_;
};

TEST_F(ProgramStartTest, SigtermInTheFirstTwentyMillisecondsEndsTheProgramCleanly) {
    // Fifty starts, each ended by SIGTERM 0 to 20 ms after the program's first
    // system call: while the loader still maps its libraries, and just after.
    const std::filesystem::path root = temp_ / "root";
    for (int start = 0; start < 50; ++start) {
        const auto delay = std::chrono::microseconds(start * 20000 / 49);
        strombel::testing::StartedPastFirstSystemCall program({STROMBEL_PROGRAM, "--root", root.string()}, environment());
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
    // The way out is told too: a pipe is moved away, no room or rights are missing.
    const char* moveIt = "Move it out of the way (Strombel leaves it as it is), then start Strombel again.";
    const struct {
        const char* file;
        const char* told;
        const char* then;
    } rows[] = {
        {"Library/Preferences/defaults.sqlite", "Strombel's settings cannot be saved: the settings file cannot be used: ",
         "They work until Strombel quits; changes are not kept."},
        {"Documents/.strombel.xcdatamodeld", "The sound library could not be opened: the store file cannot be used: ",
         moveIt},
        {"Documents/.strombel.xcdatamodeld-wal", "The sound library could not be opened: the store file cannot be used: ",
         moveIt},
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
        EXPECT_TRUE(waitForLine(errors, row.then)) << readFile(errors);
        // Said once, as it is: the settings' flags that could not be kept add nothing.
        const std::string said = readFile(errors);
        EXPECT_EQ(said.find("cannot be written"), std::string::npos) << "the disk refused nothing: " << said;
        if (std::string(row.file).find("defaults") != std::string::npos) {
            EXPECT_EQ(said.find(pipe.string()), said.rfind(pipe.string())) << said;
        }
        program->signal(SIGTERM);
        const std::optional<int> status = program->wait(60);
        ASSERT_TRUE(status) << "SIGTERM did not end it";
        EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0) << describe(*status);
        struct stat info {};
        EXPECT_TRUE(::lstat(pipe.c_str(), &info) == 0 && S_ISFIFO(info.st_mode)) << "it is left as it is";
    }
}

TEST_F(ProgramStartTest, ASignalEndsAStartWhoseDisplayNeverAnswers) {
    // An X server that takes the connection and never answers (it hangs): the
    // start waits inside the display's library for good, where no step of its
    // own comes. The server listens in the abstract namespace, where the
    // display's library looks first; the number is one nobody uses.
    const int listener = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int display = 4700;
    for (; display < 4800; ++display) {
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        const std::string name = "/tmp/.X11-unix/X" + std::to_string(display);
        std::memcpy(address.sun_path + 1, name.data(), name.size());
        if (::bind(listener, reinterpret_cast<sockaddr*>(&address), socklen_t(sizeof(sa_family_t) + 1 + name.size())) == 0)
            break;
    }
    ASSERT_LT(display, 4800) << "no free display number";
    ASSERT_EQ(::listen(listener, 4), 0);
    const auto errors = temp_ / "errors";
    const int fd = ::open(errors.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    strombel::testing::ChildProcess program({STROMBEL_PROGRAM, "--root", (temp_ / "root").string()},
                                            environment(":" + std::to_string(display)), -1, fd);
    ::close(fd);
    // Until the program has connected (its connection waits to be taken).
    pollfd connected{listener, POLLIN, 0};
    ASSERT_EQ(::poll(&connected, 1, 60000), 1) << "the start did not come to the display";
    program.signal(SIGTERM);
    const std::optional<int> status = program.wait(30);
    ::close(listener);
    ASSERT_TRUE(status) << "SIGTERM did not end a start that waits";
    EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0) << describe(*status);
    EXPECT_NE(readFile(errors).find("strombel: ended while starting"), std::string::npos) << readFile(errors);
}

/// Sends `line` to the address socket at `path` and reads the answer; nothing
/// when the connection was closed unanswered (or not made).
std::optional<std::string> ask(const std::filesystem::path& path, const std::string& line) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    timeval limit{20, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    std::string answer;
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
        ::send(fd, line.data(), line.size(), MSG_NOSIGNAL) == ssize_t(line.size())) {
        char piece[256];
        for (ssize_t n; answer.find('\n') == std::string::npos && (n = ::recv(fd, piece, sizeof piece, 0)) > 0;)
            answer.append(piece, size_t(n));
    }
    ::close(fd);
    if (answer.find('\n') == std::string::npos) return std::nullopt;
    return answer;
}

/// A local process of the user's that holds all sixteen connections the
/// program's address socket takes, opening each again as the program closes it.
class SlotHolder {
public:
    explicit SlotHolder(const std::filesystem::path& path)
        : path_(path), thread_([this] {
              std::vector<pollfd> held;
              while (!stop_) {
                  while (held.size() < 16) held.push_back({open(), POLLIN, 0});
                  ::poll(held.data(), held.size(), 20);
                  for (pollfd& slot : held) {
                      char byte;
                      if (slot.revents && ::recv(slot.fd, &byte, 1, MSG_DONTWAIT) <= 0) {
                          ::close(slot.fd);
                          slot.fd = open();
                      }
                  }
              }
              for (pollfd& slot : held) ::close(slot.fd);
          }) {}
    ~SlotHolder() {
        stop_ = true;
        thread_.join();
    }

private:
    int open() const {
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strncpy(address.sun_path, path_.c_str(), sizeof address.sun_path - 1);
        const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
        return fd;
    }
    const std::filesystem::path path_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

TEST_F(ProgramStartTest, StandardErrorThatNobodyReadsAnyMoreEndsNothing) {
    // `strombel ... 2>&1 | head`, the reader gone: a line the program writes then
    // fails, and the program goes its way (a running one too: its log writes
    // take the same road) instead of ending by SIGPIPE.
    const struct {
        const char* name;
        std::vector<std::string> arguments;
        int status;
    } rows[] = {
        {"a wrong command line", {"--no-such-option"}, 2},
        {"an address with no Strombel to take it", {"--open-url", "strombel://nothing"}, 1},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        int errors[2];
        ASSERT_EQ(::pipe2(errors, O_CLOEXEC), 0);
        ::close(errors[0]);
        std::vector<std::string> arguments{STROMBEL_PROGRAM, "--root", (temp_ / "root").string()};
        arguments.insert(arguments.end(), row.arguments.begin(), row.arguments.end());
        // The program gets SIGPIPE's default, as from a shell, whatever this test
        // process does with it.
        struct sigaction byDefault {}, before {};
        byDefault.sa_handler = SIG_DFL;
        ::sigaction(SIGPIPE, &byDefault, &before);
        strombel::testing::ChildProcess program(arguments, environment(), -1, errors[1]);
        ::sigaction(SIGPIPE, &before, nullptr);
        ::close(errors[1]);
        const std::optional<int> status = program.wait(60);
        ASSERT_TRUE(status);
        EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == row.status) << describe(*status);
    }
}

TEST_F(ProgramStartTest, ASecondStartOnAnOwnedFolderNeverRunsBesideTheFirst) {
    const std::filesystem::path root = temp_ / "root";
    auto first = start(root, temp_ / "first");
    // Until the first program answers at its address socket (the only one in
    // the runtime folder): an empty line only asks whether it listens.
    std::filesystem::path socket;
    for (auto end = std::chrono::steady_clock::now() + 60s; std::chrono::steady_clock::now() < end;) {
        for (const auto& entry : std::filesystem::directory_iterator(temp_ / "runtime"))
            if (entry.path().extension() == ".socket") socket = entry.path();
        if (!socket.empty() && ask(socket, "\n")) break;
        std::this_thread::sleep_for(20ms);
    }
    ASSERT_TRUE(!socket.empty() && ask(socket, "\n")) << readFile(temp_ / "first");
    struct stat made {};
    ASSERT_EQ(::lstat(socket.c_str(), &made), 0);

    const std::string runs = "strombel: another Strombel already runs on the folder " + root.string();
    const std::string login = "sn482915736204518://authorize#access_token=t&state=s";
    const struct {
        const char* what;
        std::vector<std::string> arguments;
        bool slotsHeld;
        std::vector<std::string> told;  // one of them
    } rows[] = {
        {"a plain start", {}, false, {runs + "\n"}},
        // Each try of the second start is turned away; it may come through in the
        // moment a slot is opened again, and then the first refuses the address.
        {"an address while every connection is held", {"--open-url", login}, true,
         {runs + " and did not take the address within 10 s", "strombel: the address was not opened: no login"}},
        {"an address the first refuses", {"--open-url", login}, false,
         {"strombel: the address was not opened: no login is under way"}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        std::optional<SlotHolder> holder;
        if (row.slotsHeld) {
            holder.emplace(socket);
            // Until one more connection is turned away unanswered.
            for (auto end = std::chrono::steady_clock::now() + 30s; ask(socket, "\n");)
                ASSERT_LT(std::chrono::steady_clock::now(), end) << "the slots were not all held";
        }
        const auto errors = temp_ / "second";
        auto second = start(root, errors, row.arguments);
        const std::optional<int> status = second->wait(60);
        holder.reset();
        ASSERT_TRUE(status) << "the second start runs beside the first";
        EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 1) << describe(*status);
        const std::string told = readFile(errors);
        EXPECT_TRUE(std::any_of(row.told.begin(), row.told.end(),
                                [&](const std::string& line) { return told.find(line) != std::string::npos; }))
            << told;
        // The first still answers, at the socket file it made. The connections
        // the holder closed are let go at the program's next turns: until then a
        // new one may still be turned away as the seventeenth.
        std::optional<std::string> answer;
        for (auto end = std::chrono::steady_clock::now() + 30s;
             !(answer = ask(socket, "\n")) && std::chrono::steady_clock::now() < end;)
            std::this_thread::sleep_for(20ms);
        EXPECT_EQ(answer, "NO\n");
        struct stat now {};
        EXPECT_TRUE(::lstat(socket.c_str(), &now) == 0 && now.st_ino == made.st_ino) << "the socket file was replaced";
    }
    first->signal(SIGTERM);
    const std::optional<int> status = first->wait(60);
    ASSERT_TRUE(status);
    EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0) << describe(*status);
}

TEST_F(ProgramStartTest, EveryThreadOfTheRunningProgramCarriesANameOfItsOwn) {
    const auto errors = temp_ / "errors";
    auto program = start(temp_ / "root", errors);
    // Told once the start is over and MIDI has been looked for a while: every
    // thread of an idle program runs by then.
    ASSERT_TRUE(waitForLine(errors, "No MIDI system found")) << readFile(errors);
    // No exception is allowed: the threads of a start with no sound server are
    // ours (workers) and Qt's and GLib's, which name theirs. A thread just made
    // carries the program's name until it has named itself.
    std::vector<std::string> unnamed = strombel::testing::threadsWithoutANameOfTheirOwn(program->pid());
    for (auto end = std::chrono::steady_clock::now() + 5s; !unnamed.empty() && std::chrono::steady_clock::now() < end;) {
        std::this_thread::sleep_for(20ms);
        unnamed = strombel::testing::threadsWithoutANameOfTheirOwn(program->pid());
    }
    EXPECT_TRUE(unnamed.empty()) << ::testing::PrintToString(unnamed);
    program->signal(SIGTERM);
    const std::optional<int> status = program->wait(60);
    ASSERT_TRUE(status);
    EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0) << describe(*status);
}

}  // namespace
}  // namespace strombel::app
