#pragma once

// A JACK server of a test's own (dummy driver), which the test stops and starts
// again as a user stopping and starting the server would. It is named after
// the build's test server, so that a run that died with its server leaves no
// second registry place behind: the next run takes the place back.

#include <dirent.h>
#include <fcntl.h>
#include <jack/jack.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "support/jack_registry.h"

namespace strombel::testing {

class OwnJackServer {
public:
    OwnJackServer(std::string name, std::filesystem::path log, int sampleRate = 44100)
        : name_(std::move(name)), log_(std::move(log)), sampleRate_(sampleRate) {}
    ~OwnJackServer() {
        stop();
        removeSemaphores();
    }

    /// The build's test server gives the name (the JACK tests of one build run
    /// one at a time); a run by hand without one falls back to a name of its own.
    static std::string nameFor(const std::string& purpose) {
        const char* build = std::getenv("JACK_DEFAULT_SERVER");
        if (build && *build) return std::string(build) + "-" + purpose;
        return "strombel-" + purpose + "-" + std::to_string(::getpid());
    }

    const std::string& name() const { return name_; }

    /// Starts the server and waits until it answers; false (with jackd's own
    /// words in `why()`) when it does not come up.
    bool start() {
        reclaimGoneJackServers();
        const std::string rate = std::to_string(sampleRate_);
        // In jackd's usual asynchronous mode, as users run it. A synchronous
        // server started anew under its old name stalls every cycle for its
        // 5 s limit now and then once clients come back to it ("SuspendRefNum
        // error" in its log), and keeps a client's open waiting for good: 4 of
        // 101 runs of the MIDI return test, 0 of 100 asynchronous. The build's
        // own server, never restarted, stays synchronous for the MIDI timing tests.
        std::vector<std::string> arguments = {"jackd", "--no-realtime", "-n", name_, "-d",
                                              "dummy", "-r", rate, "-p", "256"};
        std::vector<char*> argv;
        for (auto& argument : arguments) argv.push_back(argument.data());
        argv.push_back(nullptr);
        const pid_t parent = ::getpid();
        pid_ = ::fork();
        if (pid_ < 0) return false;
        if (pid_ == 0) {
            // The server ends with the test, even when the test crashes or is
            // killed while the server is frozen (a stopped process keeps a
            // SIGTERM waiting, and its name from the next run).
            ::prctl(PR_SET_PDEATHSIG, SIGKILL);
            if (::getppid() != parent) ::_exit(1);
            const int log = ::open(log_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            ::dup2(log, 1);
            ::dup2(log, 2);
            ::execvp("jackd", argv.data());
            ::_exit(127);
        }
        for (int attempt = 0; attempt < 200; ++attempt) {
            if (listPorts()) return true;
            // A server that could not start says why and is gone: no use waiting.
            if (::waitpid(pid_, nullptr, WNOHANG) == pid_) {
                pid_ = 0;
                return false;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        return false;
    }

    /// What jackd wrote, for a failure message.
    std::string why() const {
        std::ifstream in(log_);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }

    /// Stops the server as a user would (SIGTERM); one that has not ended ten
    /// seconds later is killed, and the output says so.
    void stop() {
        if (pid_ <= 0) return;
        ::kill(pid_, SIGCONT);  // a frozen server takes the signal too
        ::kill(pid_, SIGTERM);
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (::waitpid(pid_, nullptr, WNOHANG) == 0) {
            if (std::chrono::steady_clock::now() > end) {
                std::cerr << "the JACK server " << name_ << " did not end on SIGTERM in 10 s; it is killed\n";
                kill();
                return;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        pid_ = 0;
    }

    /// Freezes the server (it answers nobody, as one hung would) or lets it go on.
    void freeze(bool frozen) const {
        if (pid_ > 0) ::kill(pid_, frozen ? SIGSTOP : SIGCONT);
    }

    /// A client of the test's own on this server (the caller closes it), or null.
    jack_client_t* open(const std::string& client) const {
        jack_status_t status{};
        return jack_client_open(client.c_str(), static_cast<jack_options_t>(JackServerName | JackNoStartServer),
                                &status, name_.c_str());
    }

    /// The ports of the server whose names contain `part`. A server started
    /// anew can keep a new client (the listing's) waiting for seconds: a running
    /// server is asked again for up to 15 s; none when it never answers.
    std::vector<std::string> ports(const std::string& part) const {
        std::vector<std::string> found;
        std::optional<std::string> listed = listPorts();
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(15);
        while (!listed && pid_ > 0 && std::chrono::steady_clock::now() < end) listed = listPorts();
        if (!listed) return found;
        size_t begin = 0;
        for (size_t end = listed->find('\n'); end != std::string::npos; end = listed->find('\n', begin)) {
            const std::string name = listed->substr(begin, end - begin);
            if (!name.empty() && name.find(part) != std::string::npos) found.push_back(name);
            begin = end + 1;
        }
        return found;
    }

private:
    /// The names of the server's ports, one a line, as `jack_lsp` lists them;
    /// nothing when it cannot reach the server or does not end within five
    /// seconds (then it is killed). The listing runs in a process of its own: a
    /// server that stalls keeps a new client waiting for good, and a test
    /// process waiting in libjack would wait for ever.
    std::optional<std::string> listPorts() const {
        // Each listing is a client coming and going on the server under test:
        // a test that polls the server asks at most five times a second.
        const auto since = std::chrono::steady_clock::now() - lastListing_;
        if (since < kListingGap) std::this_thread::sleep_for(kListingGap - since);
        lastListing_ = std::chrono::steady_clock::now();
        int pipe[2];
        if (::pipe2(pipe, O_CLOEXEC) != 0) return std::nullopt;
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, pipe[1], 1);
        posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
        std::vector<std::string> environment;
        for (char** variable = environ; *variable; ++variable) {
            if (std::string(*variable).rfind("JACK_NO_START_SERVER=", 0) != 0) environment.emplace_back(*variable);
        }
        environment.emplace_back("JACK_NO_START_SERVER=1");
        std::vector<char*> envp;
        for (auto& variable : environment) envp.push_back(variable.data());
        envp.push_back(nullptr);
        std::string program = "jack_lsp", option = "-s", server = name_;
        char* argv[] = {program.data(), option.data(), server.data(), nullptr};
        pid_t lister = -1;
        const bool spawned = ::posix_spawnp(&lister, argv[0], &actions, nullptr, argv, envp.data()) == 0;
        posix_spawn_file_actions_destroy(&actions);
        ::close(pipe[1]);
        std::string listed;
        bool ended = false;
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (spawned) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
            if (left.count() <= 0) break;
            pollfd readable{pipe[0], POLLIN, 0};
            if (::poll(&readable, 1, static_cast<int>(left.count())) <= 0) continue;
            char buffer[4096];
            const ssize_t got = ::read(pipe[0], buffer, sizeof buffer);
            if (got > 0) {
                listed.append(buffer, static_cast<size_t>(got));
            } else if (got == 0) {
                ended = true;
                break;
            }
        }
        ::close(pipe[0]);
        if (!spawned) return std::nullopt;
        int status = 0;
        if (!ended) ::kill(lister, SIGKILL);
        ::waitpid(lister, &status, 0);
        if (!ended || !WIFEXITED(status) || WEXITSTATUS(status) != 0) return std::nullopt;
        return listed;
    }

    void kill() {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
        pid_ = 0;
    }

    /// The semaphores JACK leaves in /dev/shm for the clients of a server that
    /// stopped ("jack_sem.<uid>_<server>_<client>").
    void removeSemaphores() const {
        const std::string prefix = "jack_sem." + std::to_string(::getuid()) + "_" + name_ + "_";
        std::error_code ignored;
        for (const auto& entry : std::filesystem::directory_iterator("/dev/shm", ignored)) {
            if (entry.path().filename().string().rfind(prefix, 0) == 0) std::filesystem::remove(entry.path(), ignored);
        }
    }

    std::string name_;
    std::filesystem::path log_;
    int sampleRate_;
    pid_t pid_ = 0;
    static constexpr std::chrono::milliseconds kListingGap{200};
    mutable std::chrono::steady_clock::time_point lastListing_{};
};

}  // namespace strombel::testing
