#pragma once

// A JACK server of a test's own (dummy driver), which the test stops and starts
// again as a user stopping and starting the server would. It is named after
// the build's test server, so that a run that died with its server leaves no
// second registry place behind: the next run takes the place back.

#include <dirent.h>
#include <fcntl.h>
#include <jack/jack.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
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
        std::vector<std::string> arguments = {"jackd", "--no-realtime", "--sync", "-n", name_, "-d",
                                              "dummy", "-r", rate, "-p", "256"};
        std::vector<char*> argv;
        for (auto& argument : arguments) argv.push_back(argument.data());
        argv.push_back(nullptr);
        const pid_t parent = ::getpid();
        pid_ = ::fork();
        if (pid_ < 0) return false;
        if (pid_ == 0) {
            // The server ends with the test, even when the test crashes.
            ::prctl(PR_SET_PDEATHSIG, SIGTERM);
            if (::getppid() != parent) ::_exit(1);
            const int log = ::open(log_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            ::dup2(log, 1);
            ::dup2(log, 2);
            ::execvp("jackd", argv.data());
            ::_exit(127);
        }
        for (int attempt = 0; attempt < 200; ++attempt) {
            if (jack_client_t* client = open()) {
                jack_client_close(client);
                return true;
            }
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

    void stop() {
        if (pid_ <= 0) return;
        ::kill(pid_, SIGCONT);  // a frozen server takes the signal too
        ::kill(pid_, SIGTERM);  // as a user stopping the server would
        ::waitpid(pid_, nullptr, 0);
        pid_ = 0;
    }

    /// Freezes the server (it answers nobody, as one hung would) or lets it go on.
    void freeze(bool frozen) const {
        if (pid_ > 0) ::kill(pid_, frozen ? SIGSTOP : SIGCONT);
    }

    /// A client of the test's own on this server (the caller closes it), or null.
    jack_client_t* open(const std::string& client = {}) const {
        jack_status_t status{};
        return jack_client_open((client.empty() ? probeName_ : client).c_str(),
                                static_cast<jack_options_t>(JackServerName | JackNoStartServer), &status,
                                name_.c_str());
    }

    /// The ports of the server whose names contain `part`.
    std::vector<std::string> ports(const std::string& part) const {
        std::vector<std::string> found;
        jack_client_t* client = open();
        if (!client) return found;
        if (const char** names = jack_get_ports(client, nullptr, nullptr, 0)) {
            for (const char** name = names; *name; ++name) {
                if (std::string(*name).find(part) != std::string::npos) found.push_back(*name);
            }
            jack_free(names);
        }
        jack_client_close(client);
        return found;
    }

private:
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
    // Clients nobody sees carry the process id (see jack_clients / RtMidiBackend).
    const std::string probeName_ = "strombel-test-probe-" + std::to_string(::getpid());
    pid_t pid_ = 0;
};

}  // namespace strombel::testing
