#include "store/library_store.h"

#include <algorithm>
#include <fstream>
#include <iterator>
#include <system_error>

#include <fmt/format.h>

#include "http/http_error.h"
#include "library/pack_file.h"
#include "logging/log.h"
#include "platform/byte_count.h"
#include "platform/audio_file.h"
#include "platform/file_move.h"
#include "platform/sandbox.h"

namespace strombel::store {
namespace {

using Phase = library::StoreItemProgress::Phase;

constexpr const char* kCatalogueName = "ItemsList.json";
/// The folder under the caches folder where items' files wait to be checked.
constexpr const char* kStagingFolderName = "StoreDownloads";
/// The relative folder of downloaded samples, as the library stores their paths.
constexpr std::string_view kDownloadsRelative = "Library/Caches/downloads/";
/// The largest pack description the store reads.
constexpr uint64_t kMaximumPackSize = 1024 * 1024;

/// The store's error for a request that failed; `limit` is the size it was
/// allowed (0: the client's own). `settings` says whether credentials were sent.
platform::Error errorOfFailedRequest(const http::HttpRequest& request, const std::string& what,
                                     const StoreSettings& settings, uint64_t limit = 0) {
    const platform::Error cause = request.error() ? *request.error() : http::httpError(http::HttpErrorCode::ConnectionFailure, "failed");
    auto made = [&](StoreErrorCode code, const std::string& message) {
        return platform::Error::make(kStoreErrorDomain, code, message, {}, std::make_shared<const platform::Error>(cause));
    };
    if (http::isHttpError(cause, http::HttpErrorCode::Authentication)) {
        if (settings.username.empty() && settings.password.empty()) {
            return made(StoreErrorCredentialsRefused,
                        "The store asks for a user name and password (STROMBEL_STORE_USER and "
                        "STROMBEL_STORE_PASSWORD)");
        }
        return made(StoreErrorCredentialsRefused, "The store refused the credentials");
    }
    if (http::isHttpError(cause, http::HttpErrorCode::TooLarge) && cause.message().find("free space") != std::string::npos) {
        return made(StoreErrorDiskFull, fmt::format("{} does not fit on the disk", what));
    }
    if (http::isHttpError(cause, http::HttpErrorCode::TooLarge)) {
        // The store's words say it all: the client's own ("larger than ... bytes") is not repeated.
        const std::string message = limit ? fmt::format("{} is larger than {}", what, platform::byteCountText(limit))
                                           : fmt::format("{} is too large", what);
        return platform::Error::make(kStoreErrorDomain, StoreErrorTooLarge, message);
    }
    if (http::isHttpError(cause, http::HttpErrorCode::File)) {
        const bool full = cause.message().find("No space left") != std::string::npos ||
                          cause.message().find("quota") != std::string::npos;
        return made(full ? StoreErrorDiskFull : StoreErrorFileSystem,
                    full ? fmt::format("{} does not fit on the disk", what)
                         : fmt::format("{} could not be stored: {}", what, cause.message()));
    }
    return made(StoreErrorUnreachable, fmt::format("{} could not be fetched: {}", what, cause.message()));
}

}  // namespace

// ---- Icons ----

/// One icon on its way; the store drops it once it has ended.
class LibraryStore::IconFetch final : public http::HttpRequestDelegate {
public:
    IconFetch(LibraryStore& store, const std::string& url, std::function<void(std::vector<uint8_t>)> done)
        : store_(store), request_(url, store.network_), done_(std::move(done)) {
        request_.setUsername(store.settings().username);
        request_.setPassword(store.settings().password);
        request_.setDownloadCache(store.cache_);
        request_.setMaximumBodySize(store.settings().maximumIconSize);
        request_.setTotalTimeout(store.settings().iconTimeLimitSeconds);
        request_.setMinimumSpeed(store.settings().minimumBytesPerSecond, store.settings().minimumSpeedSeconds);
        request_.setDelegate(this);
    }
    void start() { request_.startAsynchronous(); }

private:
    void requestFinished(http::HttpRequest& request) override {
        end(request.responseStatusCode() == 200 ? request.responseData() : std::vector<uint8_t>());
    }
    void requestFailed(http::HttpRequest&) override { end({}); }
    void end(std::vector<uint8_t> bytes) {
        auto done = std::move(done_);
        // The request is gone only after its message has returned.
        std::weak_ptr<bool> alive = store_.alive_;
        LibraryStore* store = &store_;
        IconFetch* self = this;
        store_.services_.library.mainLoop().post([alive, store, self] {
            if (alive.expired()) return;
            std::erase_if(store->iconFetches_, [self](const auto& fetch) { return fetch.get() == self; });
        });
        if (done) done(std::move(bytes));
    }

    LibraryStore& store_;
    http::HttpRequest request_;
    std::function<void(std::vector<uint8_t>)> done_;
};

void LibraryStore::fetchStoreItemIcon(const library::StoreItem& item, std::function<void(std::vector<uint8_t>)> done) {
    if (item.iconURL.empty() || http::isInvalidDomainAddress(item.iconURL)) {
        if (done) done({});
        return;
    }
    iconFetches_.push_back(std::make_unique<IconFetch>(*this, item.iconURL, std::move(done)));
    iconFetches_.back()->start();
}

// ---- Life ----

LibraryStore::LibraryStore(StoreServices services)
    : services_(std::move(services)),
      network_(services_.network),
      cache_(services_.cache) {
    library::SoundDataManager& library = services_.library;
    if (!cache_) {
        cache_ = std::make_shared<http::HttpDownloadCache>(library.sandbox().caches() /
                                                           http::HttpDownloadCache::kFolderName);
    }
    previousDefaultCache_ = http::HttpRequest::defaultCache();
    http::HttpRequest::setDefaultCache(cache_);

    networkQueue_ = std::make_unique<http::HttpNetworkQueue>();
    networkQueue_->setRequestDidFinishSelector([this](http::HttpRequest& request) { queueItemFinished(request); });
    networkQueue_->setRequestDidFailSelector([this](http::HttpRequest& request) { queueItemFailed(request); });
    networkQueue_->setQueueDidFinishSelector([this](http::HttpNetworkQueue& queue) { queueFinished(queue); });
    networkQueue_->setShouldCancelAllRequestsOnFailure(false);
}

LibraryStore::~LibraryStore() {
    alive_.reset();
    networkQueue_->setRequestDidFinishSelector(nullptr);
    networkQueue_->setRequestDidFailSelector(nullptr);
    networkQueue_->setQueueDidFinishSelector(nullptr);
    for (auto& [raw, download] : downloads_) download.request->clearDelegatesAndCancel();
    networkQueue_->cancelAllOperations();
    downloads_.clear();
    if (storeItemsRequest_) storeItemsRequest_->clearDelegatesAndCancel();
    storeItemsRequest_.reset();
    iconFetches_.clear();
    if (http::HttpRequest::defaultCache() == cache_) http::HttpRequest::setDefaultCache(previousDefaultCache_);
}

std::filesystem::path LibraryStore::stagingFolder(const std::string& identifier) const {
    return services_.library.sandbox().caches() / kStagingFolderName / identifier;
}

// ---- The catalogue ----

void LibraryStore::fetchStoreItems() {
    if (storeItemsRequest_) return;  // the running fetch answers this call too
    if (http::isInvalidDomainAddress(settings().baseURL)) {
        // The built-in address: no store server was named, and none is asked.
        std::weak_ptr<bool> alive = alive_;
        services_.library.mainLoop().post([this, alive] {
            if (alive.expired()) return;
            const platform::Error error =
                storeError(StoreErrorUnreachable, "No store server is set (--store-url)");
            // Every start without a store says so otherwise: SHOP tells it when opened.
            STROMBEL_LOG_DEBUG("could not load the store catalogue: {}", error.message());
            services_.library.informDelegates(
                [&error](library::SoundDataManagerDelegate& delegate) { delegate.storeItemsLoadingFailed(error); });
        });
        return;
    }
    storeItemsRequest_ = std::make_unique<http::HttpRequest>(joinURL(settings().baseURL, kCatalogueName), network_);
    storeItemsRequest_->setUsername(settings().username);
    storeItemsRequest_->setPassword(settings().password);
    storeItemsRequest_->setDownloadCache(cache_);
    storeItemsRequest_->setMaximumBodySize(kMaximumCatalogueSize);
    storeItemsRequest_->setTotalTimeout(settings().catalogueTimeLimitSeconds);
    storeItemsRequest_->setMinimumSpeed(settings().minimumBytesPerSecond, settings().minimumSpeedSeconds);
    storeItemsRequest_->setDelegate(this);
    storeItemsRequest_->startAsynchronous();
}

bool LibraryStore::packInstalled(const std::string& identifier) const {
    return services_.library.soundpackWithIdExists(identifier);
}

void LibraryStore::requestFinished(http::HttpRequest& request) {
    if (&request != storeItemsRequest_.get()) return;  // a download: the queue's callback handles it
    const std::unique_ptr<http::HttpRequest> finished = std::move(storeItemsRequest_);
    library::SoundDataManager& library = services_.library;
    platform::Result<std::vector<library::StoreItem>> items =
        finished->responseStatusCode() == 200
            ? decodeStoreItems(std::string_view(reinterpret_cast<const char*>(finished->responseData().data()),
                                                finished->responseData().size()),
                               {settings(), library.stockSoundPackIds(),
                                [this](const std::string& id) { return packInstalled(id); }})
            : platform::Result<std::vector<library::StoreItem>>(storeError(
                  StoreErrorHttpStatus,
                  fmt::format("The store answered with HTTP status {}", finished->responseStatusCode())));
    if (!items.ok()) {
        const platform::Error error = items.error();
        STROMBEL_LOG_WARN("could not load the store catalogue: {}", error.description());
        library.informDelegates([&error](library::SoundDataManagerDelegate& delegate) {
            delegate.storeItemsLoadingFailed(error);
        });
        return;
    }
    storeItems_ = std::move(items).value();
    STROMBEL_LOG_DEBUG("store catalogue loaded: {} items", storeItems_->size());
    const std::vector<library::StoreItem> loaded = *storeItems_;
    library.informDelegates([&loaded](library::SoundDataManagerDelegate& delegate) { delegate.storeItemsLoaded(loaded); });
    fetchMissingSampleFiles();
}

void LibraryStore::requestFailed(http::HttpRequest& request) {
    if (&request != storeItemsRequest_.get()) return;
    const std::unique_ptr<http::HttpRequest> failed = std::move(storeItemsRequest_);
    // The message says why; the screen says that the store cannot be reached.
    const platform::Error error = errorOfFailedRequest(*failed, "The store's catalogue", settings());
    STROMBEL_LOG_WARN("could not load the store catalogue: {}", error.description());
    services_.library.informDelegates(
        [&error](library::SoundDataManagerDelegate& delegate) { delegate.storeItemsLoadingFailed(error); });
}

const library::StoreItem* LibraryStore::findItem(const std::string& identifier) const {
    if (!storeItems_) return nullptr;
    for (const auto& item : *storeItems_) {
        if (item.identifier == identifier) return &item;
    }
    return nullptr;
}

// ---- Installing ----

library::StoreItemProgress LibraryStore::progressOfStoreItem(const std::string& identifier) const {
    library::StoreItemProgress progress;
    auto found = installations_.find(identifier);
    // A pack installed in this run and removed since is no longer installed: the
    // store follows the library at once.
    const bool removedSince = found != installations_.end() && found->second.phase == Phase::installed &&
                              !packInstalled(identifier);
    if (found != installations_.end() && !found->second.repair && !removedSince) {
        const Installation& installation = found->second;
        progress.phase = installation.phase;
        progress.filesDone = installation.filesDone;
        progress.filesTotal = installation.files.size();
        progress.failure = installation.failure;
        progress.tries = installation.tries;
        return progress;
    }
    const library::StoreItem* item = findItem(identifier);
    if (item && (item->stockPack || packInstalled(identifier))) progress.phase = Phase::installed;
    return progress;
}

bool LibraryStore::downloadStoreItem(const std::string& identifier) {
    const library::StoreItem* item = findItem(identifier);
    if (!item) return false;
    auto found = installations_.find(identifier);
    if (found != installations_.end() && found->second.phase == Phase::downloading) return false;
    if (progressOfStoreItem(identifier).phase == Phase::installed) return false;
    const library::StoreItem copy = *item;
    startInstallation(copy, false);
    return true;
}

LibraryStore::Installation* LibraryStore::startInstallation(const library::StoreItem& item, bool repair) {
    Installation& installation = installations_[item.identifier];
    const size_t tries = installation.phase == Phase::failed && !repair ? installation.tries + 1 : 1;
    installation = Installation{};
    installation.tries = tries;
    installation.attempt = ++attempts_;
    installation.item = item;
    installation.repair = repair;
    installation.staging = stagingFolder(item.identifier);
    std::error_code error;
    std::filesystem::remove_all(installation.staging, error);
    std::filesystem::create_directories(installation.staging, error);
    if (error) {
        fail(installation, {},
             storeError(StoreErrorFileSystem, fmt::format("The download folder could not be made: {}", error.message())));
        return nullptr;
    }
    if (!repair) {
        for (const std::string& file : item.contentFiles) queueDownload(installation, file);
        networkQueue_->go();
    }
    return &installation;
}

void LibraryStore::queueDownload(Installation& installation, const std::string& file) {
    if (!installation.files.insert(file).second) return;
    auto request = std::make_shared<http::HttpRequest>(joinURL(settings().baseURL, file), network_);
    request->setUsername(settings().username);
    request->setPassword(settings().password);
    request->setDownloadDestinationPath(installation.staging / file);
    // Synced by the check, beside the other downloads instead of between them.
    request->setSyncsDownload(false);
    // A server that streams without end is stopped at the limit, not when it ends.
    request->setMaximumDownloadSize(settings().maximumFileSize);
    request->setMinimumSpeed(settings().minimumBytesPerSecond, settings().minimumSpeedSeconds);
    request->setDelegate(this);
    downloads_[request.get()] = Download{request, installation.item.identifier, file};
    networkQueue_->addOperation(request);
    completionDue_ = true;
}

LibraryStore::Installation* LibraryStore::takeDownload(http::HttpRequest& request, Download& download) {
    auto found = downloads_.find(&request);
    if (found == downloads_.end()) return nullptr;
    download = std::move(found->second);
    downloads_.erase(found);
    auto installation = installations_.find(download.identifier);
    if (installation == installations_.end() || installation->second.phase != Phase::downloading) return nullptr;
    return &installation->second;
}

void LibraryStore::queueItemFinished(http::HttpRequest& request) {
    Download download;
    Installation* installation = takeDownload(request, download);
    if (!installation) return;
    if (platform::Result<void> checked = checkArrivedFile(*installation, download.file, request); !checked) {
        fail(*installation, download.file, checked.error());
    }
}

platform::Result<void> LibraryStore::checkArrivedFile(Installation& installation, const std::string& file,
                                                      const http::HttpRequest& request) {
    if (request.responseStatusCode() != 200) {
        return storeError(StoreErrorHttpStatus,
                          fmt::format("{}: the store answered with HTTP status {}", file, request.responseStatusCode()));
    }
    const std::filesystem::path path = installation.staging / file;
    std::error_code error;
    const uint64_t size = std::filesystem::file_size(path, error);
    if (error || size == 0) return storeError(StoreErrorBadFile, fmt::format("{} arrived empty", file));
    const int64_t announced = request.bytesExpected();
    const bool encoded = !http::headerValue(request.responseHeaders(), "Content-Encoding").empty();
    if (!encoded && announced >= 0 && static_cast<uint64_t>(announced) != size) {
        return storeError(StoreErrorBadFile, fmt::format("{} arrived with {} of {} bytes", file, size, announced));
    }
    if (isPackFileName(file) && !installation.repair) {
        if (platform::Result<void> read = readPack(installation, path); !read) return read;
        fileDone(installation, file);
        return {};
    }
    // Every other file is a sample: off the main thread, its bytes are forced to
    // the disk (the pack enters the library only once all of them are there), and
    // it must open as audio.
    ++installation.pendingChecks;
    std::weak_ptr<bool> alive = alive_;
    platform::MainLoop* loop = &services_.library.mainLoop();
    const std::string identifier = installation.item.identifier;
    const uint64_t attempt = installation.attempt;
    checks_.async([this, alive, loop, identifier, attempt, file, path] {
        std::optional<platform::Error> failure;
        if (const platform::Result<void> synced = platform::syncToDisk(path); !synced) {
            failure = storeError(StoreErrorFileSystem,
                                 fmt::format("{} could not be stored: {}", file, synced.error().message()));
        } else if (const platform::Result<void> checked = platform::checkSoundFile(path); !checked) {
            failure = storeError(StoreErrorNotAudio, fmt::format("{} is not a sound the program can play: {}", file,
                                                                 checked.error().message()));
        }
        // The store is destroyed on the main loop, where `alive` is looked at.
        loop->post([this, alive, identifier, attempt, file, failure] {
            if (!alive.expired()) sampleChecked(identifier, attempt, file, failure);
        });
    });
    return {};
}

std::optional<platform::Error> LibraryStore::fileOfAnotherPack(const std::string& identifier,
                                                               const std::string& file) const {
    auto existing = services_.library.sampleWithFilepath(std::string(kDownloadsRelative) + file);
    auto owner = existing ? existing->soundpack() : nullptr;
    if (!owner || owner->packId() == identifier) return std::nullopt;
    return storeError(StoreErrorFileInUse, fmt::format("{} would replace a sample of the pack \"{}\"", file, owner->name()));
}

platform::Result<void> LibraryStore::readPack(Installation& installation, const std::filesystem::path& path) {
    const std::string file = path.filename().string();
    std::error_code sizeError;
    if (std::filesystem::file_size(path, sizeError) > kMaximumPackSize) {
        return storeError(StoreErrorTooLarge,
                          fmt::format("{} is larger than {}", file, platform::byteCountText(kMaximumPackSize)));
    }
    std::ifstream stream(path, std::ios::binary);
    std::string text((std::istreambuf_iterator<char>(stream)), std::istreambuf_iterator<char>());
    auto pack = library::readPackDescription(text);
    if (!pack.ok()) {
        return platform::Error::make(kStoreErrorDomain, StoreErrorWrongPack,
                                     fmt::format("{} is not a usable pack: {}", file, pack.error().message()), {},
                                     std::make_shared<const platform::Error>(pack.error()));
    }
    const std::string& identifier = installation.item.identifier;
    if (pack.value().id != identifier) {
        return storeError(StoreErrorWrongPack, fmt::format("{} is the pack {}, not {}", file, pack.value().id, identifier));
    }
    if (pack.value().bundled) {
        return storeError(StoreErrorWrongPack, fmt::format("{} claims samples of the program's own folder", file));
    }
    auto samples = services_.library.relativeSamplePathFromJson(text);
    if (!samples) return storeError(StoreErrorWrongPack, fmt::format("{} lists no samples", file));
    std::vector<std::string> wanted;
    for (const std::string& sample : *samples) {
        if (std::find(wanted.begin(), wanted.end(), sample) != wanted.end()) continue;
        if (sample.ends_with(".pack")) return storeError(StoreErrorWrongPack, fmt::format("{} names a pack as a sample", file));
        if (std::optional<platform::Error> inUse = fileOfAnotherPack(identifier, sample)) return std::move(*inUse);
        wanted.push_back(sample);
    }
    installation.packText = std::move(text);
    for (const std::string& sample : wanted) queueDownload(installation, sample);
    networkQueue_->go();
    return {};
}

void LibraryStore::sampleChecked(const std::string& identifier, uint64_t attempt, const std::string& file,
                                 const std::optional<platform::Error>& failure) {
    auto found = installations_.find(identifier);
    if (found == installations_.end()) return;
    if (found->second.attempt != attempt) {  // a check of an attempt that failed before this one began
        tellCompletedIfIdle();
        return;
    }
    Installation& installation = found->second;
    if (installation.pendingChecks > 0) --installation.pendingChecks;
    if (installation.phase != Phase::downloading) {
        tellCompletedIfIdle();
        return;
    }
    if (failure) {
        fail(installation, file, *failure);
    } else {
        fileDone(installation, file);
    }
    tellCompletedIfIdle();
}

void LibraryStore::fileDone(Installation& installation, const std::string& file) {
    ++installation.filesDone;
    // The item's last file installs it before the observers hear of that file,
    // so that a screen asking then learns that it is installed. An install that
    // failed has told them of the failure: the file is not downloaded for them.
    if (!installIfComplete(installation)) return;
    services_.library.informDelegates(
        [&file](library::SoundDataManagerDelegate& delegate) { delegate.storeItemFileDownloaded(file); });
}

bool LibraryStore::installIfComplete(Installation& installation) {
    if (installation.phase != Phase::downloading || installation.pendingChecks > 0 ||
        installation.filesDone < installation.files.size() || (!installation.repair && installation.packText.empty())) {
        return true;
    }
    // A pack installed since this one's description was read may have taken one
    // of its file names: its sample stays its own.
    if (!installation.repair) {
        for (const std::string& file : installation.files) {
            if (isPackFileName(file)) continue;
            if (auto inUse = fileOfAnotherPack(installation.item.identifier, file)) {
                fail(installation, file, *inUse);
                return false;
            }
        }
    }
    platform::Result<std::vector<std::filesystem::path>> moved = moveIntoDownloads(installation);
    if (!moved) {
        fail(installation, {}, moved.error());
        return false;
    }
    const std::vector<std::filesystem::path>& added = moved.value();
    library::SoundDataManager& library = services_.library;
    if (!installation.repair) {
        auto pack = library.addSoundpackFromJson(installation.packText);
        if (!pack.ok()) {
            std::error_code ignored;
            for (const auto& path : added) std::filesystem::remove(path, ignored);
            fail(installation, {}, pack.error());
            return false;
        }
        STROMBEL_LOG_INFO("store: installed the pack {}", installation.item.identifier);
    } else {
        STROMBEL_LOG_INFO("store: fetched {} missing files of the pack {}", installation.files.size(),
                          installation.item.identifier);
    }
    installation.phase = Phase::installed;
    std::error_code ignored;
    std::filesystem::remove_all(installation.staging, ignored);
    if (storeItems_) {
        for (auto& item : *storeItems_) {
            if (item.identifier == installation.item.identifier) item.state = library::StoreItem::kStateInstalled;
        }
    }
    if (installation.repair) {
        const std::string identifier = installation.item.identifier;
        installations_.erase(identifier);
    }
    return true;
}

platform::Result<std::vector<std::filesystem::path>> LibraryStore::moveIntoDownloads(Installation& installation) {
    const std::filesystem::path downloads = services_.library.downloadsFolder();
    std::vector<std::filesystem::path> added;
    for (const std::string& file : installation.files) {
        if (isPackFileName(file)) continue;  // the pack lives in the library, not as a file
        const std::filesystem::path target = downloads / file;
        std::error_code error;
        const bool existed = std::filesystem::exists(target, error);
        std::filesystem::rename(installation.staging / file, target, error);
        if (error) {
            std::error_code ignored;
            for (const auto& path : added) std::filesystem::remove(path, ignored);
            added.clear();
            return storeError(error == std::errc::no_space_on_device ? StoreErrorDiskFull : StoreErrorFileSystem,
                              fmt::format("{} could not be moved into the downloads folder: {}", file, error.message()));
        }
        if (!existed) added.push_back(target);
    }
    // The renames reach the disk before the library names the files.
    if (const platform::Result<void> synced = platform::syncToDisk(downloads); !synced) {
        std::error_code ignored;
        for (const auto& path : added) std::filesystem::remove(path, ignored);
        added.clear();
        return storeError(StoreErrorFileSystem,
                          fmt::format("The downloads folder could not be synced: {}", synced.error().message()));
    }
    return added;
}

void LibraryStore::queueItemFailed(http::HttpRequest& request) {
    Download download;
    Installation* installation = takeDownload(request, download);
    if (!installation) return;
    fail(*installation, download.file,
         errorOfFailedRequest(request, download.file, settings(), settings().maximumFileSize));
}

void LibraryStore::fail(Installation& installation, const std::string& file, const platform::Error& error) {
    if (installation.phase == Phase::failed) return;
    installation.phase = Phase::failed;
    installation.failure = error.message();
    // The reason in the words the store screen shows; the error's inner chain
    // (domains, codes, the HTTP client's own errors) says nothing more to a user.
    STROMBEL_LOG_WARN("store: could not install the pack {}: {}", installation.item.identifier, installation.failure);
    // The item's other files are not wanted any more.
    const std::string identifier = installation.item.identifier;
    std::vector<std::shared_ptr<http::HttpRequest>> others;
    for (auto it = downloads_.begin(); it != downloads_.end();) {
        if (it->second.identifier == identifier) {
            others.push_back(it->second.request);
            it = downloads_.erase(it);
        } else {
            ++it;
        }
    }
    for (const auto& request : others) request->clearDelegatesAndCancel();
    std::error_code ignored;
    std::filesystem::remove_all(installation.staging, ignored);
    const std::string failed = file.empty() ? identifier : file;
    services_.library.informDelegates(
        [&failed](library::SoundDataManagerDelegate& delegate) { delegate.storeItemFileDownloadFailed(failed); });
    if (installation.repair) installations_.erase(identifier);
    tellCompletedIfIdle();
}

void LibraryStore::queueFinished(http::HttpNetworkQueue&) { tellCompletedIfIdle(); }

void LibraryStore::tellCompletedIfIdle() {
    if (!completionDue_ || networkQueue_->requestsCount() > 0 || !downloads_.empty()) return;
    for (const auto& [identifier, installation] : installations_) {
        if (installation.pendingChecks > 0) return;
    }
    completionDue_ = false;
    services_.library.informDelegates(
        [](library::SoundDataManagerDelegate& delegate) { delegate.storeItemsDownloadingCompleted(); });
}

// ---- Missing files ----

void LibraryStore::fetchMissingSampleFiles() {
    library::SoundDataManager& library = services_.library;
    if (library.sampleFileExistenceChecked || !storeItems_) return;
    library.sampleFileExistenceChecked = true;
    const std::vector<library::StoreItem> items = *storeItems_;
    for (const auto& item : items) {
        if (item.state != library::StoreItem::kStateInstalled || installations_.count(item.identifier)) continue;
        std::vector<std::string> missing;
        for (const auto& pack : library.soundpacks()) {
            if (pack->packId() != item.identifier) continue;
            for (const auto& sample : pack->samplesInPack()) {
                const std::string& path = sample->filepath();
                if (!path.starts_with(kDownloadsRelative)) continue;
                const std::string file = path.substr(kDownloadsRelative.size());
                std::error_code error;
                if (library::isPlainFileName(file) && !std::filesystem::exists(library.absolutePathOfSample(path), error)) {
                    missing.push_back(file);
                }
            }
        }
        if (missing.empty()) continue;
        std::sort(missing.begin(), missing.end());
        STROMBEL_LOG_INFO("store: {} files of the pack {} are missing; fetching them again", missing.size(),
                          item.identifier);
        Installation* installation = startInstallation(item, true);
        if (!installation) continue;
        for (const std::string& file : missing) queueDownload(*installation, file);
        networkQueue_->go();
    }
}

}  // namespace strombel::store
