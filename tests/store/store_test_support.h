#pragma once

// What the store tests share: a loopback store server (cpp-httplib on 127.0.0.1,
// a port the system picks, Basic authentication) serving a catalogue and files
// the test makes, and a user's installation with the library, a private network
// thread and the store plugged in.

#include <httplib.h>
#include <sndfile.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "http/network_thread.h"
#include "library/library_world.h"
#include "store/library_store.h"

namespace strombel::testing {

inline constexpr const char* kStoreUser = "drummer";
inline constexpr const char* kStorePassword = "s3cret";

/// A short WAVE file's bytes: `frames` frames of a sine in `channels` channels.
std::string waveBytes(size_t frames = 2205, int channels = 1);

/// A pack description: one bank named after the pack with `files` on its pads.
std::string packText(const std::string& id, const std::vector<std::string>& files, const std::string& name = {});

/// One catalogue entry.
std::string catalogueEntry(const std::string& id, const std::vector<std::string>& files,
                           const std::string& icon = {});

/// The loopback store server.
class StoreServer {
public:
    /// What the server does with one file.
    struct File {
        std::string body;
        int status = 200;
        /// Announces this many bytes more than it sends, then closes.
        size_t shortBy = 0;
        /// Answers only once the gate is open.
        bool held = false;
        /// Streams `body` over and over, chunked and without a length, until the
        /// client goes away.
        bool endless = false;
        /// Announces `body`'s length and sends it a byte at a time, each when the
        /// test lets one go (`letOneByteTrickle`).
        bool trickles = false;
    };

    StoreServer();
    ~StoreServer();
    StoreServer(const StoreServer&) = delete;
    StoreServer& operator=(const StoreServer&) = delete;

    std::string baseURL() const { return "http://127.0.0.1:" + std::to_string(port_) + "/store/"; }

    void setCatalogue(std::string text) { put("ItemsList.json", File{std::move(text)}); }
    void put(const std::string& name, File file);
    void put(const std::string& name, std::string body) { put(name, File{std::move(body)}); }
    void remove(const std::string& name);
    /// Holds every answer this long, so that downloads overlap.
    void setDelay(std::chrono::milliseconds delay) { delay_ = delay; }
    /// Lets the held files go.
    void openGate();
    /// Lets one more byte of a trickling answer go; the bytes sent so far.
    void letOneByteTrickle();
    size_t tricklingBytesSent() const { return trickleSent_; }
    /// Stops answering: connections are refused from now on.
    void stop();

    /// False: answers whoever asks, with or without credentials.
    void setCredentialsRequired(bool required) { credentialsRequired_ = required; }
    /// The "Authorization" header of every request so far, in order ("" for none).
    std::vector<std::string> authorizations() const;

    size_t requestCount(const std::string& name) const;
    size_t totalRequests() const;
    /// The most file requests the server was answering at one time.
    size_t maximumConcurrent() const { return maximumConcurrent_; }
    /// Bytes of endless answers the server has handed its socket so far, and how
    /// many of those answers have ended (the client went away).
    uint64_t endlessBytesSent() const { return endlessBytes_; }
    size_t endlessAnswersEnded() const { return endlessEnded_; }

private:
    httplib::Server server_;
    std::thread thread_;
    int port_ = 0;
    mutable std::mutex mutex_;
    std::map<std::string, File> files_;
    std::map<std::string, size_t> counts_;
    std::vector<std::string> authorizations_;
    std::atomic<bool> credentialsRequired_{true};
    std::atomic<std::chrono::milliseconds> delay_{std::chrono::milliseconds(0)};
    std::atomic<size_t> concurrent_{0};
    std::atomic<size_t> maximumConcurrent_{0};
    std::atomic<uint64_t> endlessBytes_{0};
    std::atomic<size_t> endlessEnded_{0};
    std::condition_variable gateChanged_;
    bool gateOpen_ = false;
    bool stopped_ = false;
    size_t trickleAllowed_ = 0;  // guarded by mutex_
    std::atomic<size_t> trickleSent_{0};
};

/// What the library's observers heard, in order, as short lines.
class StoreObserver : public library::SoundDataManagerDelegate {
public:
    std::vector<std::string> events;
    std::vector<library::StoreItem> items;
    std::optional<platform::Error> loadingError;
    int loaded = 0;
    int completed = 0;

    void storeItemsLoaded(const std::vector<library::StoreItem>& loadedItems) override {
        items = loadedItems;
        ++loaded;
        events.push_back("loaded");
    }
    void storeItemsLoadingFailed(const platform::Error& error) override {
        loadingError = error;
        events.push_back("loading failed");
    }
    void storeItemsDownloadingCompleted() override {
        ++completed;
        events.push_back("completed");
    }
    void storeItemFileDownloaded(const std::string& file) override { events.push_back("downloaded " + file); }
    void storeItemFileDownloadFailed(const std::string& file) override { events.push_back("failed " + file); }
};

/// A user's installation with the store pointed at a loopback server.
class StoreWorld {
public:
    StoreWorld();
    ~StoreWorld();

    /// Starts the program: the library with its store part, which fetches the
    /// catalogue at once. `observe` joins the observer before the store comes.
    library::SoundDataManager& launch();
    void quit();

    library::SoundDataManager& library() { return world_.library(); }
    store::LibraryStore& store() { return *store_; }
    StoreServer& server() { return server_; }
    StoreObserver& observer() { return observer_; }
    LibraryWorld& world() { return world_; }
    store::StoreSettings& settings() { return settings_; }
    std::filesystem::path downloads() const { return world_.root() / "Library" / "Caches" / "downloads"; }

    /// Pumps the main loop until `done` answers true; false if it never does (the
    /// limit only guards against a hung test).
    bool pumpUntil(const std::function<bool()>& done);
    /// Launches and waits for the catalogue (loaded or failed).
    bool launchAndLoad();
    /// Installs an item and waits until it is installed or failed.
    library::StoreItemProgress install(const std::string& identifier);

    /// One line per pack, bank, sample and assignment of the library, and the
    /// names and sizes in the downloads folder: equal before and after a change
    /// that must change nothing.
    std::string snapshot();

private:
    LibraryWorld world_;
    StoreServer server_;
    StoreObserver observer_;
    store::StoreSettings settings_;
    std::unique_ptr<http::NetworkThread> network_;
    store::LibraryStore* store_ = nullptr;
};

}  // namespace strombel::testing
