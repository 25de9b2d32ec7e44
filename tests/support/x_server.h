#pragma once

// A real X server for one test: Xvfb on a display it picks itself (-displayfd,
// so tests running side by side never collide), with a light window manager
// when one is installed, and the programs a test runs against it: the program
// under test and xdotool, whose clicks are real X events (XTEST).

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <optional>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace strombel::testing {

/// A child process with its own environment; killed (SIGKILL) if still running
/// when the object goes.
class ChildProcess {
public:
    /// Starts `arguments` (searched on PATH) with the environment `environment`
    /// (NAME=value entries); `output`, when given, receives its standard output.
    ChildProcess(const std::vector<std::string>& arguments, const std::vector<std::string>& environment,
                 int output = -1) {
        std::vector<char*> argv, envp;
        for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
        argv.push_back(nullptr);
        for (const std::string& entry : environment) envp.push_back(const_cast<char*>(entry.c_str()));
        envp.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        if (output >= 0) posix_spawn_file_actions_adddup2(&actions, output, STDOUT_FILENO);
        if (::posix_spawnp(&pid_, argv[0], &actions, nullptr, argv.data(), envp.data()) != 0) pid_ = -1;
        posix_spawn_file_actions_destroy(&actions);
    }
    ~ChildProcess() {
        if (pid_ > 0 && !status_) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
    }
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    bool started() const { return pid_ > 0; }
    pid_t pid() const { return pid_; }
    void signal(int number) const {
        if (pid_ > 0 && !status_) ::kill(pid_, number);
    }
    /// Waits up to `seconds` for the child to end; its wait status, or nothing.
    std::optional<int> wait(double seconds) {
        const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
        while (!status_ && pid_ > 0) {
            int status = 0;
            if (::waitpid(pid_, &status, WNOHANG) == pid_) {
                status_ = status;
                break;
            }
            if (std::chrono::steady_clock::now() > end) break;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return status_;
    }

private:
    pid_t pid_ = -1;
    std::optional<int> status_;
};

/// This process's environment with `changes` (NAME=value sets, a bare NAME unsets).
inline std::vector<std::string> environmentWith(const std::vector<std::string>& changes) {
    std::vector<std::string> result;
    auto nameOf = [](const std::string& entry) { return entry.substr(0, entry.find('=')); };
    for (char** entry = environ; *entry; ++entry) {
        const std::string text = *entry;
        bool replaced = false;
        for (const std::string& change : changes) replaced |= nameOf(change) == nameOf(text);
        if (!replaced) result.push_back(text);
    }
    for (const std::string& change : changes)
        if (change.find('=') != std::string::npos) result.push_back(change);
    return result;
}

/// Runs a short command to its end; its standard output, or nothing when it failed.
inline std::optional<std::string> runCommand(const std::vector<std::string>& arguments,
                                             const std::vector<std::string>& environment, double seconds = 20) {
    int pipe[2];
    if (::pipe2(pipe, O_CLOEXEC) != 0) return std::nullopt;
    ChildProcess child(arguments, environment, pipe[1]);
    ::close(pipe[1]);
    std::string output;
    char buffer[4096];
    ssize_t got;
    while ((got = ::read(pipe[0], buffer, sizeof buffer)) > 0) output.append(buffer, size_t(got));
    ::close(pipe[0]);
    const std::optional<int> status = child.wait(seconds);
    if (!status || !WIFEXITED(*status) || WEXITSTATUS(*status) != 0) return std::nullopt;
    return output;
}

/// Xvfb on a free display, with openbox managing its windows when installed.
class XServer {
public:
    explicit XServer(const std::string& screen = "1600x1000x24") {
        int pipe[2];
        if (::pipe(pipe) != 0) return;
        const std::string fd = std::to_string(pipe[1]);
        server_.emplace(std::vector<std::string>{"Xvfb", "-displayfd", fd, "-screen", "0", screen, "-nolisten",
                                                 "tcp", "-noreset"},
                        environmentWith({}));
        ::close(pipe[1]);
        // Xvfb writes its display number once it accepts clients.
        std::string number;
        pollfd wait{pipe[0], POLLIN, 0};
        char c;
        while (::poll(&wait, 1, 10000) > 0 && ::read(pipe[0], &c, 1) == 1 && c != '\n') number += c;
        ::close(pipe[0]);
        if (number.empty()) return;
        display_ = ":" + number;
        if (runCommand({"sh", "-c", "command -v openbox"}, environmentWith({}))) {
            windowManager_.emplace(std::vector<std::string>{"openbox"}, environment({}));
            // It takes the screen before the first window maps.
            runCommand({"xdotool", "sleep", "0.3"}, environment({}));
        }
    }
    ~XServer() {
        if (windowManager_) windowManager_->signal(SIGTERM), windowManager_->wait(5);
        if (server_) server_->signal(SIGTERM), server_->wait(5);
    }

    /// Empty when no X server could be started (Xvfb missing).
    const std::string& display() const { return display_; }
    /// The environment of a program on this display (no offscreen platform).
    std::vector<std::string> environment(std::vector<std::string> changes) const {
        changes.push_back("DISPLAY=" + display_);
        changes.push_back("QT_QPA_PLATFORM");
        changes.push_back("WAYLAND_DISPLAY");
        return environmentWith(changes);
    }
    /// Runs xdotool on this display; its output, or nothing when it failed.
    std::optional<std::string> xdotool(std::vector<std::string> arguments) const {
        arguments.insert(arguments.begin(), "xdotool");
        return runCommand(arguments, environment({}));
    }

private:
    std::optional<ChildProcess> server_;
    std::optional<ChildProcess> windowManager_;
    std::string display_;
};

}  // namespace strombel::testing
