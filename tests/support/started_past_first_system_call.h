#pragma once

// A program started under trace and let go once its first system call has
// returned: from then on what it does is its own code's doing.

#include <signal.h>
#include <sys/ptrace.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace strombel::testing {

/// A started program, traced until its first system call has returned and then
/// let go: from that moment on, what it does is its own code's doing. (A signal
/// sent while the kernel is still starting it ends any program: no code of its
/// own has run.)
class StartedPastFirstSystemCall {
public:
    /// `output` and `errors`, when not -1, become the program's standard output and error.
    StartedPastFirstSystemCall(const std::vector<std::string>& arguments, const std::vector<std::string>& environment,
                               int output = -1, int errors = -1) {
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
            if (output >= 0) ::dup2(output, 1);
            if (errors >= 0) ::dup2(errors, 2);
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
            else std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return status_;
    }

private:
    pid_t pid_ = -1;
    bool traceRefused_ = false;
    std::optional<int> status_;
};

}  // namespace strombel::testing
