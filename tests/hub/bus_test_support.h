#pragma once

// What the message bus tests share: an RSA key pair made at run time, the hub
// simulator as a child process, and a world of one endpoint with its registry
// on a directory of services in a temporary folder, pumped by hand.

#include <fcntl.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "hub/bus_local_endpoint.h"
#include "hub/bus_log.h"
#include "hub/bus_peer.h"
#include "hub/bus_registry.h"
#include "platform/clock.h"
#include "platform/directory_service_discovery.h"
#include "platform/main_loop.h"
#include "platform/notification_center.h"
#include "platform/user_defaults.h"
#include "hub_signing.h"
#include "support/temp_dir.h"

namespace strombel::hub::testing {

/// An RSA key pair of the hub's kind (768 bits, e = 65537), made fresh.
struct TestKeyPair {
    std::vector<uint8_t> publicKey;  // DER PKCS#1 RSAPublicKey
    std::string privateKeyPem;
    EVP_PKEY* key = nullptr;

    explicit TestKeyPair(unsigned bits = 768) {
        key = EVP_RSA_gen(bits);
        unsigned char* der = nullptr;
        int length = i2d_PublicKey(key, &der);
        publicKey.assign(der, der + length);
        OPENSSL_free(der);
        BIO* bio = BIO_new(BIO_s_mem());
        PEM_write_bio_PrivateKey(bio, key, nullptr, nullptr, 0, nullptr, nullptr);
        char* text = nullptr;
        long size = BIO_get_mem_data(bio, &text);
        privateKeyPem.assign(text, size_t(size));
        BIO_free(bio);
    }
    ~TestKeyPair() { EVP_PKEY_free(key); }
    TestKeyPair(const TestKeyPair&) = delete;
    TestKeyPair& operator=(const TestKeyPair&) = delete;

    /// One shared pair per test program: making keys is the slow part.
    static const TestKeyPair& shared() {
        static TestKeyPair* pair = new TestKeyPair();
        return *pair;
    }
};

/// The hub simulator, a child process driven by lines; ended by PID.
class HubSimulator {
public:
    HubSimulator(const std::filesystem::path& directory, const std::filesystem::path& keyFile,
                 const std::string& bind = "127.0.0.1", const std::string& device = "Stage", char form = 'B',
                 const std::string& deviceID = "0A:1B:2C:3D:4E:5F", const std::string& name = "Wirehub") {
        signal(SIGPIPE, SIG_IGN);  // a simulator that is gone must not end the test
        int toChild[2], fromChild[2];
        if (pipe2(toChild, O_CLOEXEC) != 0 || pipe2(fromChild, O_CLOEXEC) != 0) return;
        pid_ = fork();
        if (pid_ == 0) {
            dup2(toChild[0], 0);
            dup2(fromChild[1], 1);
            std::string formText(1, form);
            execl(HUB_SIMULATOR_PATH, HUB_SIMULATOR_PATH, "--directory", directory.c_str(), "--key", keyFile.c_str(),
                  "--bind", bind.c_str(), "--device", device.c_str(), "--form", formText.c_str(), "--device-id",
                  deviceID.c_str(), "--name", name.c_str(), nullptr);
            _exit(127);
        }
        close(toChild[0]);
        close(fromChild[1]);
        in_ = toChild[1];
        out_ = fromChild[0];
        ready_ = readLine(20000);
    }
    ~HubSimulator() { stop(); }
    HubSimulator(const HubSimulator&) = delete;
    HubSimulator& operator=(const HubSimulator&) = delete;

    /// "ready <port>" once it has published itself.
    const std::string& ready() const { return ready_; }
    pid_t pid() const { return pid_; }

    /// Sends one command and returns its answer line ("" when none came).
    std::string command(const std::string& line, int timeoutMilliseconds = 30000) {
        std::string text = line + "\n";
        if (write(in_, text.data(), text.size()) != static_cast<ssize_t>(text.size())) return "";
        return readLine(timeoutMilliseconds);
    }

    /// Sends a command without waiting for its answer; `answer()` reads it.
    void begin(const std::string& line) {
        std::string text = line + "\n";
        (void)!write(in_, text.data(), text.size());
    }
    std::string answer(int timeoutMilliseconds = 30000) { return readLine(timeoutMilliseconds); }

    /// Ends the process by its id (as a crash would: its service file stays).
    void kill() {
        if (pid_ <= 0) return;
        ::kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
        pid_ = -1;
        if (in_ >= 0) close(in_);
        in_ = -1;
    }
    /// Asks it to quit and waits for it.
    void stop() {
        if (in_ >= 0) {
            (void)!write(in_, "quit\n", 5);
            close(in_);
            in_ = -1;
        }
        if (pid_ > 0) {
            for (int i = 0; i < 200; ++i) {
                if (waitpid(pid_, nullptr, WNOHANG) == pid_) {
                    pid_ = -1;
                    break;
                }
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            }
            kill();
        }
        if (out_ >= 0) close(out_);
        out_ = -1;
    }

private:
    std::string readLine(int timeoutMilliseconds) {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMilliseconds);
        for (;;) {
            if (auto end = buffer_.find('\n'); end != std::string::npos) {
                std::string line = buffer_.substr(0, end);
                buffer_.erase(0, end + 1);
                return line;
            }
            int left = int(std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count());
            if (out_ < 0) return "";
            pollfd fd{out_, POLLIN, 0};
            if (poll(&fd, 1, std::max(left, 0)) <= 0) return "";
            char chunk[4096];
            ssize_t n = read(out_, chunk, sizeof chunk);
            if (n <= 0) return "";
            buffer_.append(chunk, size_t(n));
        }
    }

    pid_t pid_ = -1;
    int in_ = -1;
    int out_ = -1;
    std::string buffer_;
    std::string ready_;
};

/// Collects the bus's log lines while it lives.
class BusLogCapture {
public:
    BusLogCapture() {
        setBusLogSink([this](const std::string& line) {
            std::lock_guard lock(mutex_);
            lines_.push_back(line);
        });
    }
    ~BusLogCapture() { setBusLogSink({}); }
    std::vector<std::string> lines() const {
        std::lock_guard lock(mutex_);
        return lines_;
    }
    bool contains(const std::string& text) const {
        for (const auto& line : lines()) {
            if (line.find(text) != std::string::npos) return true;
        }
        return false;
    }

private:
    mutable std::mutex mutex_;
    std::vector<std::string> lines_;
};

/// A loop on a manual clock, a private notification centre and settings file,
/// and a directory of services in a temporary folder.
struct BusWorld {
    strombel::testing::TempDir temp;
    platform::ManualClock clock;
    // Made before the loop, so that it outlives the tasks the loop still holds
    // when it goes (a peer a task holds leaves the centre as it ends).
    platform::NotificationCenter notifications;
    platform::MainLoop loop{clock};
    platform::UserDefaults defaults{temp / "defaults.sqlite"};
    std::filesystem::path servicesFolder = temp / "services";
    platform::DirectoryServiceDiscovery discovery{servicesFolder, loop};
    std::filesystem::path keyFile = temp / "hub-key.pem";

    BusWorld() {
        std::ofstream(keyFile) << TestKeyPair::shared().privateKeyPem;
    }

    BusLocalEndpoint::Options endpointOptions() {
        BusLocalEndpoint::Options options;
        options.loop = &loop;
        options.defaults = &defaults;
        options.notifications = &notifications;
        options.realTime = false;
        return options;
    }
    BusRegistry::Options registryOptions(std::string device = "Desk") {
        BusRegistry::Options options;
        options.loop = &loop;
        options.notifications = &notifications;
        options.deviceName = std::move(device);
        return options;
    }

    /// Runs posted work until `done` or `seconds` of real time pass; with
    /// `advance`, moves the manual clock that much each round, so that time-outs
    /// come as they would while the network is slow.
    bool pumpUntil(const std::function<bool()>& done, double seconds = 20, uint64_t advance = 0) {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
        while (std::chrono::steady_clock::now() < deadline) {
            loop.runPending();
            if (done()) return true;
            if (advance) loop.advance(advance);
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        loop.runPending();
        return done();
    }

    /// Waits until the registry knows a present peer whose name begins with `name`.
    std::shared_ptr<BusPeer> waitForPeer(BusRegistry& registry, const std::string& name, double seconds = 20) {
        std::shared_ptr<BusPeer> found;
        pumpUntil([&] {
            for (auto& peer : registry.peers()) {
                if (peer->name() == name && peer->present()) found = peer;
            }
            return found != nullptr;
        }, seconds);
        return found;
    }
};

/// A delegate that records every message it gets, for tests to look at.
class RecordingDelegate : public BusLocalEndpointDelegate {
public:
    explicit RecordingDelegate(BusLocalEndpoint& endpoint) : endpoint_(endpoint) { endpoint_.addDelegate(this); }
    ~RecordingDelegate() override { endpoint_.removeDelegate(this); }
    void endpoint(BusLocalEndpoint&, const uint8_t* bytes, uint64_t length, const std::shared_ptr<BusPeer>& peer) override {
        std::lock_guard lock(mutex_);
        messages_.push_back({std::vector<uint8_t>(bytes, bytes + length), peer});
    }
    struct Received {
        std::vector<uint8_t> bytes;
        std::shared_ptr<BusPeer> peer;
    };
    std::vector<Received> messages() const {
        std::lock_guard lock(mutex_);
        return messages_;
    }
    size_t count() const {
        std::lock_guard lock(mutex_);
        return messages_.size();
    }

private:
    BusLocalEndpoint& endpoint_;
    mutable std::mutex mutex_;
    std::vector<Received> messages_;
};

/// Answers pings (type 9) on the listener thread, as the controller does.
class PingAnswerer : public BusLocalEndpointDelegate {
public:
    explicit PingAnswerer(BusLocalEndpoint& endpoint) : endpoint_(endpoint) { endpoint_.addDelegate(this); }
    ~PingAnswerer() override { endpoint_.removeDelegate(this); }
    void endpoint(BusLocalEndpoint&, const uint8_t* bytes, uint64_t length, const std::shared_ptr<BusPeer>& peer) override;

private:
    BusLocalEndpoint& endpoint_;
};

}  // namespace strombel::hub::testing
