#pragma once

// src/store/: the sound pack store: the catalogue, the download queue and the
// installation of downloaded packs into the library.
// May include: library, http, platform, logging, json.
//
//   store_settings.h    StoreSettings: the server's addresses and credentials
//   store_catalogue.h   "ItemsList.json" and its decoding into StoreItems; the errors
//   library_store.h     LibraryStore: the library's store part
//
//   library.setStore(std::make_unique<store::LibraryStore>(store::StoreServices{library, settings, network}));
//   // the library's observers hear storeItemsLoaded(items) ...
//   library.store()->downloadStoreItem("deepkit");
//   // ... storeItemFileDownloaded(file) per file, samplesChanged, soundbanksChanged
//   // and storeItemsDownloadingCompleted.

#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <unordered_map>
#include <vector>

#include "http/http_download_cache.h"
#include "http/http_network_queue.h"
#include "http/http_request.h"
#include "http/network_thread.h"
#include "library/sound_data_manager.h"
#include "library/sound_store.h"
#include "platform/result.h"
#include "platform/serial_queue.h"
#include "store/store_catalogue.h"
#include "store/store_settings.h"

namespace strombel::store {

/// What the store works with.
struct StoreServices {
    library::SoundDataManager& library;
    StoreSettings settings;
    /// The thread the store's requests run on.
    http::NetworkThread& network;
    /// Null: a download cache of the store's own in the library's caches folder.
    std::shared_ptr<http::HttpDownloadCache> cache;
};

/// The library's store part. Downloaded packs are outside input: an item's files
/// are staged in a folder of their own under the caches folder, each checked (a
/// success status, the announced length, the size limit; the pack file must read
/// as a pack with the item's id, every other file must open as audio of one or
/// two channels, and is synced to the disk), and only when all of them are in
/// and checked are they renamed into the downloads folder, the folder synced,
/// and the pack added to the library: after a crash the library names a pack
/// whole or not at all. A file that fails fails its item: the staging folder
/// goes and the library and the downloads folder stay as they were; other items
/// go on. Main loop only.
class LibraryStore final : public library::SoundStore, private http::HttpRequestDelegate {
public:
    /// Sets the store up: its cache becomes the default of all requests, and the
    /// download queue runs with the three callbacks below, a failure cancelling
    /// nothing else. The catalogue is fetched when the library takes the store.
    explicit LibraryStore(StoreServices services);
    /// Clears the queue's callbacks, then cancels its requests and the catalogue
    /// request: nothing reaches a library being destroyed.
    ~LibraryStore() override;
    LibraryStore(const LibraryStore&) = delete;
    LibraryStore& operator=(const LibraryStore&) = delete;

    // library::SoundStore
    void fetchStoreItems() override;
    const std::vector<library::StoreItem>* storeItems() const override {
        return storeItems_ ? &*storeItems_ : nullptr;
    }
    bool isLoadingStoreItems() const override { return storeItemsRequest_ != nullptr; }
    bool downloadStoreItem(const std::string& identifier) override;
    library::StoreItemProgress progressOfStoreItem(const std::string& identifier) const override;
    void fetchStoreItemIcon(const library::StoreItem& item, std::function<void(std::vector<uint8_t>)> done) override;

    // The download queue's callbacks.
    /// A file arrived: checked, then (a pack) its samples queued, or (a sample)
    /// its audio checked off the main thread.
    void queueItemFinished(http::HttpRequest& request);
    /// A file failed: its item fails.
    void queueItemFailed(http::HttpRequest& request);
    /// The queue is empty: once the last checks are done too, the observers hear
    /// storeItemsDownloadingCompleted.
    void queueFinished(http::HttpNetworkQueue& queue);

    const StoreSettings& settings() const { return services_.settings; }
    http::HttpNetworkQueue& networkQueue() { return *networkQueue_; }
    /// The queue on which arrived samples are checked (tests hold it to see a
    /// check answer late).
    platform::SerialQueue& checkQueue() { return checks_; }
    const std::shared_ptr<http::HttpDownloadCache>& downloadCache() const { return cache_; }
    /// The folder an item's files wait in until they are all in and checked.
    std::filesystem::path stagingFolder(const std::string& identifier) const;

private:
    struct Installation {
        library::StoreItem item;
        /// Fetching missing files of an installed pack: the library is not touched.
        bool repair = false;
        std::filesystem::path staging;
        std::set<std::string> files;  // every file queued, once each
        size_t filesDone = 0;
        size_t pendingChecks = 0;
        std::string packText;
        library::StoreItemProgress::Phase phase = library::StoreItemProgress::Phase::downloading;
        std::string failure;
        /// Which attempt at the item this is: a check of an earlier, failed
        /// attempt that answers late is not taken for one of this attempt.
        uint64_t attempt = 0;
        /// The tries in a row, this one included (see StoreItemProgress).
        size_t tries = 0;
    };
    struct Download {
        std::shared_ptr<http::HttpRequest> request;
        std::string identifier;
        std::string file;
    };
    class IconFetch;

    // The catalogue request's own messages.
    void requestFinished(http::HttpRequest& request) override;
    void requestFailed(http::HttpRequest& request) override;

    /// Takes `request`'s download out of the list; its installation if that still runs.
    Installation* takeDownload(http::HttpRequest& request, Download& download);
    Installation* startInstallation(const library::StoreItem& item, bool repair);
    void queueDownload(Installation& installation, const std::string& file);
    /// Checks an arrived file; an error fails the item.
    platform::Result<void> checkArrivedFile(Installation& installation, const std::string& file,
                                            const http::HttpRequest& request);
    platform::Result<void> readPack(Installation& installation, const std::filesystem::path& path);
    /// Why `file` may not come into the downloads folder for the pack `identifier`:
    /// a sample of another pack of the library lies there under that name.
    std::optional<platform::Error> fileOfAnotherPack(const std::string& identifier, const std::string& file) const;
    void sampleChecked(const std::string& identifier, uint64_t attempt, const std::string& file,
                       const std::optional<platform::Error>& failure);
    /// Counts an arrived and checked file, installs the item when it was the
    /// last, then tells the observers of the file. `installation` may be gone after.
    void fileDone(Installation& installation, const std::string& file);
    /// Installs the item once its last file is in; false when that install failed
    /// (the failure is told, and a repair's installation is gone with it).
    bool installIfComplete(Installation& installation);
    /// Moves the item's samples into the downloads folder: the files that were not
    /// there before, or an error (the files it had added are removed again).
    platform::Result<std::vector<std::filesystem::path>> moveIntoDownloads(Installation& installation);
    void fail(Installation& installation, const std::string& file, const platform::Error& error);
    void tellCompletedIfIdle();
    /// Once per run, after the first catalogue: fetches again the files of
    /// installed store packs that are missing from the downloads folder.
    void fetchMissingSampleFiles();
    bool packInstalled(const std::string& identifier) const;
    const library::StoreItem* findItem(const std::string& identifier) const;

    StoreServices services_;
    http::NetworkThread& network_;
    std::shared_ptr<http::HttpDownloadCache> cache_;
    std::shared_ptr<http::HttpDownloadCache> previousDefaultCache_;
    std::unique_ptr<http::HttpNetworkQueue> networkQueue_;
    std::unique_ptr<http::HttpRequest> storeItemsRequest_;
    std::optional<std::vector<library::StoreItem>> storeItems_;
    std::map<std::string, Installation> installations_;
    uint64_t attempts_ = 0;
    std::unordered_map<http::HttpRequest*, Download> downloads_;
    std::vector<std::unique_ptr<IconFetch>> iconFetches_;
    bool completionDue_ = false;
    std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
    /// Opens downloaded samples off the main thread. Last, so it is joined first.
    platform::SerialQueue checks_{"store sample checks"};
};

}  // namespace strombel::store
