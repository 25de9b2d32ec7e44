#pragma once

// Programs a test runs as a user would: the program under test, its tools.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
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
    /// (NAME=value entries); `output`, when given, receives its standard output,
    /// `errorOutput` its standard error. `blocked` signals start blocked in the
    /// child: one sent before the program unblocks or takes it stays pending.
    ChildProcess(const std::vector<std::string>& arguments, const std::vector<std::string>& environment,
                 int output = -1, int errorOutput = -1, const std::vector<int>& blocked = {}) {
        std::vector<char*> argv, envp;
        for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
        argv.push_back(nullptr);
        for (const std::string& entry : environment) envp.push_back(const_cast<char*>(entry.c_str()));
        envp.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        if (output >= 0) posix_spawn_file_actions_adddup2(&actions, output, STDOUT_FILENO);
        if (errorOutput >= 0) posix_spawn_file_actions_adddup2(&actions, errorOutput, STDERR_FILENO);
        posix_spawnattr_t attributes;
        posix_spawnattr_init(&attributes);
        if (!blocked.empty()) {
            sigset_t mask;
            sigemptyset(&mask);
            for (int number : blocked) sigaddset(&mask, number);
            posix_spawnattr_setsigmask(&attributes, &mask);
            posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK);
        }
        if (::posix_spawnp(&pid_, argv[0], &actions, &attributes, argv.data(), envp.data()) != 0) pid_ = -1;
        posix_spawnattr_destroy(&attributes);
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
///
/// A child gets a session bus address that refuses at once unless `changes` name
/// one: without an address the bus library under Qt's X platform launches a bus
/// by forking the program while its threads start, and under AddressSanitizer
/// such a child can hang in its first allocation (the sanitizer's allocator holds
/// no lock across a fork), leaving the program's start waiting on it for good.
inline std::vector<std::string> environmentWith(std::vector<std::string> changes) {
    auto nameOf = [](const std::string& entry) { return entry.substr(0, entry.find('=')); };
    if (std::none_of(changes.begin(), changes.end(),
                     [&](const std::string& change) { return nameOf(change) == "DBUS_SESSION_BUS_ADDRESS"; }))
        changes.push_back("DBUS_SESSION_BUS_ADDRESS=unix:path=/dev/null");
    std::vector<std::string> result;
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

/// Runs a short command to its end; its standard output, or nothing when it failed
/// or had not ended after `seconds` (it is then killed).
inline std::optional<std::string> runCommand(const std::vector<std::string>& arguments,
                                             const std::vector<std::string>& environment, double seconds = 20) {
    int pipe[2];
    if (::pipe2(pipe, O_CLOEXEC) != 0) return std::nullopt;
    ChildProcess child(arguments, environment, pipe[1]);
    ::close(pipe[1]);
    // The whole run keeps to the time given: a command that hangs with its
    // output open would otherwise hold the reading for good.
    const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    const auto secondsLeft = [&] {
        return std::max(0.0, std::chrono::duration<double>(end - std::chrono::steady_clock::now()).count());
    };
    std::string output;
    char buffer[4096];
    for (;;) {
        pollfd readable{pipe[0], POLLIN, 0};
        if (secondsLeft() <= 0 || ::poll(&readable, 1, int(secondsLeft() * 1000)) <= 0) break;
        const ssize_t got = ::read(pipe[0], buffer, sizeof buffer);
        if (got <= 0) break;
        output.append(buffer, size_t(got));
    }
    ::close(pipe[0]);
    const std::optional<int> status = child.wait(secondsLeft());
    if (!status || !WIFEXITED(*status) || WEXITSTATUS(*status) != 0) return std::nullopt;
    return output;
}

}  // namespace strombel::testing
