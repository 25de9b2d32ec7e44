#include "hub/hub_peer_resource.h"

#include <openssl/evp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <fstream>

#include "hub/bus_log.h"
#include "hub/bus_message.h"
#include "hub/bus_peer.h"
#include "hub/hub_controller.h"
#include "platform/application_state.h"
#include "platform/required.h"
#include "platform/utf8_cut.h"
#include "platform/whole_file.h"

namespace strombel::hub {

namespace {

constexpr uint64_t kLoaderTimeout = 500 * platform::kNanosPerMillisecond;
constexpr int32_t kLoaderRetries = 10;

// Lines about what peers send or leave unsent: a program may appear under new
// names, or offer new resources, as fast as it likes, so these go through the
// endpoint's limiter (kinds told apart by address).
constexpr char kTimedOut[] = "Timed out getting resource";
constexpr char kNotFoundFor[] = "Resource not found for";
constexpr char kTooLarge[] = "Resource too large";
constexpr char kChangedCount[] = "Resource changed its segment count";
constexpr char kGaveUp[] = "Gave up getting resource";
constexpr char kInvalidImage[] = "Invalid image received";

std::shared_ptr<const std::vector<uint8_t>> readFile(const std::filesystem::path& path, size_t limit) {
    std::error_code error;
    auto size = std::filesystem::file_size(path, error);
    if (error || size > limit) return nullptr;
    std::ifstream stream(path, std::ios::binary);
    auto bytes = std::make_shared<std::vector<uint8_t>>(size);
    if (!stream.read(reinterpret_cast<char*>(bytes->data()), static_cast<std::streamsize>(size))) return nullptr;
    return bytes;
}

// Writes a cached image whole or not at all, creating the cache's folder.
bool writeCacheFile(const std::filesystem::path& path, const std::vector<uint8_t>& bytes) {
    std::error_code error;
    std::filesystem::create_directories(path.parent_path(), error);
    return platform::writeFileWhole(path, bytes, platform::WholeFileOptions().named(".tmp-XXXXXX")).ok();
}

// The resource request a message holds, if it is one; a malformed one is
// logged to `log` (the host's, which sees every message; none: not logged).
std::optional<ResourceRequest> resourceRequestIn(const uint8_t* bytes, uint64_t length, const BusPeer& peer,
                                                 BusLogLimiter* log) {
    auto view = readBusMessage(bytes, length);
    if (!view || view->type != BusMessageResourceRequest) return std::nullopt;
    auto request = readResourceRequest(bytes, length);
    if (!request && log) {
        log->log(&peer, "invalid request",
                 [&] { return fmt::format("Invalid resource request message from {}", peer.description()); });
    }
    return request;
}

}  // namespace

// ---- images ------------------------------------------------------------------

std::shared_ptr<HubImage> HubImage::fromData(std::vector<uint8_t> bytes) {
    auto png = platform::PngImage::fromData(std::move(bytes));
    if (!png) return nullptr;
    return std::make_shared<HubImage>(std::move(*png));
}

std::shared_ptr<HubImage> HubImage::fromPeerData(std::vector<uint8_t> bytes) {
    auto png = platform::PngImage::fromDataFitting(std::move(bytes), kHubLargestPeerImageSide);
    if (!png) return nullptr;
    return std::make_shared<HubImage>(std::move(*png));
}

std::shared_ptr<HubPeerResourceImageProxy> HubPeerResourceImageProxy::resourceImageProxyWithImage(
    std::shared_ptr<HubImage> image, uint32_t resourceID) {
    if (!image) return nullptr;
    auto proxy = std::make_shared<HubPeerResourceImageProxy>();
    proxy->resourceID = resourceID;
    proxy->image = std::move(image);
    return proxy;
}

// ---- the sender base -----------------------------------------------------------

HubPeerResourceSenderBase::HubPeerResourceSenderBase(std::shared_ptr<BusPeer> peer, platform::MainLoop& loop,
                                                     platform::NotificationCenter& notifications)
    : peer_(std::move(peer)), loop_(loop), notifications_(notifications) {}

HubPeerResourceSenderBase::~HubPeerResourceSenderBase() { stopTransmission(); }

std::string HubPeerResourceSenderBase::description() const {
    return fmt::format("<HubPeerResourceSenderBase {} {}>", peer_->description(), static_cast<const void*>(this));
}

void HubPeerResourceSenderBase::start() {
    if (running_.load()) return;
    thread_.join();  // the previous round has ended
    cancelled_.store(false);
    running_.store(true);
    thread_ = platform::Worker("hub sender", [this] { transmit(); }, [this] { cancelled_.store(true); });
}

void HubPeerResourceSenderBase::cancel() {
    cancelled_.store(true);
    if (canSendObserver_) notifications_.removeObserver(canSendObserver_);
    canSendObserver_ = 0;
    thread_.stop();
    running_.store(false);
}

void HubPeerResourceSenderBase::stopTransmission() { cancel(); }

void HubPeerResourceSenderBase::complete(std::optional<BusError> error) {
    std::weak_ptr<HubPeerResourceSenderBase> weak = weak_from_this();
    loop_.post([weak, error] {
        auto self = weak.lock();
        if (!self) return;
        if (auto block = self->completionBlock_) block(error);
    });
}

void HubPeerResourceSenderBase::transmit() {
    if (cancelled_.load()) {
        running_.store(false);
        return;
    }
    for (;;) {
        const std::vector<uint8_t>* message = nextMessage();
        if (!message) {
            running_.store(false);
            complete(std::nullopt);
            return;
        }
        int32_t result = BusPeerSendMessage(*peer_, *message);
        if (result == BusSendErrorPeerUnavailable) {
            running_.store(false);
            complete(BusError{kOSStatusErrorDomain, BusSendErrorPeerUnavailable, "The peer disconnected"});
            return;
        }
        if (result == BusSendErrorNoBufferSpace) {
            // Paused: the same message goes again once the peer can send. Marked
            // stopped before the resume is posted, which may run at once and
            // must find the sender stopped to start it again.
            running_.store(false);
            std::weak_ptr<HubPeerResourceSenderBase> weak = weak_from_this();
            loop_.post([weak] {
                auto self = weak.lock();
                if (!self || self->cancelled_.load()) return;
                if (self->peer_->hasSocketSendSpace()) {
                    self->start();
                    return;
                }
                if (self->canSendObserver_) return;
                self->canSendObserver_ = self->notifications_.addObserver(
                    kBusPeerCanSendNotification, self->peer_.get(), [weak](const auto&) {
                        auto self = weak.lock();
                        if (!self || !self->peer_->hasSocketSendSpace()) return;
                        self->notifications_.removeObserver(self->canSendObserver_);
                        self->canSendObserver_ = 0;
                        if (!self->cancelled_.load()) self->start();
                    });
            });
            return;
        }
        if (result != BusSendOk) {
            busLog("{}: Received status {} ({:x}) when sending to peer {}", description(), result,
                   static_cast<uint32_t>(result), peer_->description());
        }
        didSendMessage();
        if (cancelled_.load()) {
            running_.store(false);
            return;
        }
    }
}

// ---- the resource sender -------------------------------------------------------

HubPeerResourceSender::HubPeerResourceSender(std::shared_ptr<BusPeer> peer, uint32_t resourceID,
                                             std::shared_ptr<const std::vector<uint8_t>> resource,
                                             BusLocalEndpoint& endpoint, uint32_t firstSegment)
    : HubPeerResourceSenderBase(std::move(peer), endpoint.loop(), endpoint.notifications()),
      endpoint_(endpoint),
      resourceID_(resourceID),
      resource_(std::move(resource)),
      nextSegment_(firstSegment) {
    message_.reserve(static_cast<size_t>(this->peer()->maxPacketSize()));
    endpoint_.addDelegate(this);
}

HubPeerResourceSender::~HubPeerResourceSender() {
    endpoint_.removeDelegate(this);
    stopTransmission();
}

std::string HubPeerResourceSender::description() const {
    return fmt::format("<HubPeerResourceSender #{} {} {}>", resourceID_, peer()->description(),
                       static_cast<const void*>(this));
}

void HubPeerResourceSender::endpoint(BusLocalEndpoint&, const uint8_t* bytes, uint64_t length,
                                     const std::shared_ptr<BusPeer>& peer) {
    if (peer.get() != this->peer().get()) return;
    auto request = resourceRequestIn(bytes, length, *peer, nullptr);
    if (!request || request->resourceID != resourceID_) return;
    nextSegment_.store(request->firstSegment);
}

const std::vector<uint8_t>* HubPeerResourceSender::nextMessage() {
    int64_t next = nextSegment_.load();
    currentSegment_ = static_cast<uint32_t>(std::clamp<int64_t>(next, 0, UINT32_MAX));
    size_t segmentSize = static_cast<size_t>(peer()->maxPacketSize()) - kResourceSegmentHeaderLength;
    size_t length = resource_->size();
    if (length <= size_t(currentSegment_) * segmentSize) return nullptr;
    uint32_t count = static_cast<uint32_t>((length + segmentSize - 1) / segmentSize);
    size_t offset = size_t(currentSegment_) * segmentSize;
    size_t n = std::min(segmentSize, length - offset);
    message_.resize(kResourceSegmentHeaderLength + n);
    writeResourceSegmentHeader(message_.data(), resourceID_, count, currentSegment_, static_cast<uint16_t>(n));
    std::memcpy(message_.data() + kResourceSegmentHeaderLength, resource_->data() + offset, n);
    return &message_;
}

void HubPeerResourceSender::didSendMessage() {
    // A re-request that arrived meanwhile wins.
    int64_t expected = currentSegment_;
    nextSegment_.compare_exchange_strong(expected, int64_t(currentSegment_) + 1);
}

// ---- the host ------------------------------------------------------------------

HubPeerResourceHost::HubPeerResourceHost(BusLocalEndpoint& endpoint, platform::MainBundle& bundle)
    : endpoint_(endpoint),
      bundle_(bundle),
      alive_(std::make_shared<HubPeerResourceHost*>(this)) {
    endpoint_.addDelegate(this);
}

HubPeerResourceHost::~HubPeerResourceHost() {
    endpoint_.removeDelegate(this);
    alive_.reset();
    for (auto& [key, sender] : senders_) sender->cancel();
}

uint32_t HubPeerResourceHost::contentBasedIDFromData(const uint8_t* bytes, size_t length) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int digestLength = 0;
    EVP_Digest(bytes, length, digest, &digestLength, EVP_sha1(), nullptr);
    uint32_t id = readU32(digest);
    return id < 1000 ? id + 1000 : id;
}

uint32_t HubPeerResourceHost::nextFreeID() const {
    std::lock_guard lock(mutex_);
    uint32_t id = 2;
    while (cache_.count(id)) ++id;
    return id;
}

uint32_t HubPeerResourceHost::addResource(std::vector<uint8_t> bytes, bool contentBasedID) {
    uint32_t id = contentBasedID ? contentBasedIDFromData(bytes.data(), bytes.size()) : nextFreeID();
    std::lock_guard lock(mutex_);
    cache_[id] = std::make_shared<const std::vector<uint8_t>>(std::move(bytes));
    return id;
}

void HubPeerResourceHost::removeResourceWithID(uint32_t resourceID) {
    std::lock_guard lock(mutex_);
    cache_.erase(resourceID);
}

uint32_t HubPeerResourceHost::addImageResource(HubImage& image) {
    // The built-in images are shared by every host of the process: one that an
    // earlier host numbered is still served by this one.
    if (image.resourceID() && resourceWithID(image.resourceID())) return image.resourceID();
    uint32_t id = addResource(image.png().data(), true);
    image.setResourceID(id);
    return id;
}

void HubPeerResourceHost::removeImageResource(HubImage& image) {
    if (!image.resourceID()) return;
    removeResourceWithID(image.resourceID());
    image.setResourceID(0);
}

std::shared_ptr<const std::vector<uint8_t>> HubPeerResourceHost::resourceWithID(uint32_t resourceID) const {
    if (resourceID == kHubApplicationIconResourceID) return applicationIcon();
    std::lock_guard lock(mutex_);
    auto it = cache_.find(resourceID);
    return it == cache_.end() ? nullptr : it->second;
}

std::shared_ptr<const std::vector<uint8_t>> HubPeerResourceHost::applicationIcon() const {
    auto usable = [](const std::vector<std::string>& names) {
        return !names.empty() && !(names.size() == 1 && names[0].empty());
    };
    std::vector<std::string> names;
    for (const auto& name : bundle_.resourceNames("AppIcon", "png")) names.push_back(name + ".png");
    if (!usable(names)) names = bundle_.strings({"CFBundleIcons", "CFBundlePrimaryIcon", "CFBundleIconFiles"});
    if (!usable(names)) names = bundle_.strings({"CFBundleIcons~ipad", "CFBundlePrimaryIcon", "CFBundleIconFiles"});
    if (!usable(names)) names = bundle_.strings({"CFBundleIconFiles"});
    if (!usable(names)) names = {bundle_.string({"CFBundleIconFile"}).value_or("")};
    if (!usable(names)) names = {bundle_.string({"CFBundleIcon"}).value_or("")};
    if (!usable(names)) names = {bundle_.pathForResource("Icon@2x", "png") ? "Icon@2x.png" : "Icon.png"};

    std::optional<std::filesystem::path> best;
    std::uintmax_t bestSize = 0;
    for (const auto& name : names) {
        if (name.empty() || name.rfind("Default", 0) == 0) continue;
        std::filesystem::path file(name);
        std::string extension = file.has_extension() ? file.extension().string().substr(1) : "png";
        std::string stem = file.has_extension() ? file.stem().string() : name;
        auto path = bundle_.pathForResource(stem, extension);
        if (!path) path = bundle_.pathForResource(stem + "@2x", extension);
        if (!path) continue;
        std::error_code error;
        auto size = std::filesystem::file_size(*path, error);
        if (error) continue;
        if (!best || size > bestSize) {
            best = path;
            bestSize = size;
        }
    }
    if (best) {
        if (auto bytes = readFile(*best, HubPeerResourceLoader::kMaximumResourceLength)) return bytes;
    }
    static std::once_flag once;
    std::call_once(once, [] {
        busLog("Your app icon could not be found by Wirehub. Please make sure your app has an icon and that it's "
               "correctly registered in Info.plist (CFBundleIcons, etc.).");
    });
    return nullptr;
}

void HubPeerResourceHost::endpoint(BusLocalEndpoint&, const uint8_t* bytes, uint64_t length,
                                   const std::shared_ptr<BusPeer>& peer) {
    auto request = resourceRequestIn(bytes, length, *peer, &endpoint_.peerLog());
    if (!request) return;
    std::weak_ptr<HubPeerResourceHost*> alive = alive_;
    endpoint_.loop().post([this, alive, request = *request, peer] {
        if (alive.lock()) requested(request.resourceID, peer, request.firstSegment);
    });
}

void HubPeerResourceHost::requested(uint32_t resourceID, const std::shared_ptr<BusPeer>& peer, uint32_t firstSegment) {
    auto it = senders_.find({peer.get(), resourceID});
    if (it != senders_.end() && it->second->running()) return;  // the sender takes the request itself
    sendResource(resourceID, peer, firstSegment);
}

void HubPeerResourceHost::sendResource(uint32_t resourceID, const std::shared_ptr<BusPeer>& peer,
                                       uint32_t firstSegment) {
    auto resource = resourceWithID(resourceID);
    if (!resource || resource->empty()) {
        // An empty resource has no segment to send: it is answered as missing,
        // so that the loader does not wait for it.
        uint8_t notFound[kResourceSegmentHeaderLength] = {};
        writeResourceSegmentHeader(notFound, resourceID, 0, 0, 0);
        BusPeerSendMessage(*peer, notFound, sizeof notFound);
        // A peer asking again and again gets its answers, but the log a line a second.
        endpoint_.peerLog().log(peer.get(), "not found", [&] {
            return fmt::format("Resource <{}> not found (requested by {})", resourceID, peer->description());
        });
        return;
    }
    auto key = std::make_pair(static_cast<const BusPeer*>(peer.get()), resourceID);
    if (auto previous = senders_.find(key); previous != senders_.end()) previous->second->cancel();
    auto sender = std::make_shared<HubPeerResourceSender>(peer, resourceID, resource, endpoint_, firstSegment);
    senders_[key] = sender;
    std::weak_ptr<HubPeerResourceHost*> alive = alive_;
    std::weak_ptr<HubPeerResourceSender> weakSender = sender;
    sender->setCompletionBlock([this, alive, key, weakSender](std::optional<BusError>) {
        if (!alive.lock()) return;
        auto it = senders_.find(key);
        if (it != senders_.end() && it->second == weakSender.lock()) senders_.erase(it);
    });
    sender->start();
}

// ---- the loader ----------------------------------------------------------------

std::shared_ptr<HubPeerResourceLoader> HubPeerResourceLoader::make(std::shared_ptr<BusPeer> peer, uint32_t resourceID,
                                                                   BusLocalEndpoint& endpoint) {
    return std::shared_ptr<HubPeerResourceLoader>(new HubPeerResourceLoader(std::move(peer), resourceID, endpoint));
}

HubPeerResourceLoader::HubPeerResourceLoader(std::shared_ptr<BusPeer> peer, uint32_t resourceID,
                                             BusLocalEndpoint& endpoint)
    : peer_(std::move(peer)), resourceID_(resourceID), endpoint_(endpoint) {}

HubPeerResourceLoader::~HubPeerResourceLoader() {
    endpoint_.removeDelegate(this);
    stopTimer();
}

void HubPeerResourceLoader::start() {
    HubVerify(dataBlock_ && completionBlock_, "Must have dataBlock and completionBlock", __FILE__, __LINE__);
    running_.store(true);
    if (!peer_->present()) {
        // Nothing goes to a peer that is gone; the caller hears of it on the loop.
        std::weak_ptr<HubPeerResourceLoader> weak = weak_from_this();
        endpoint_.loop().post([weak] {
            if (auto self = weak.lock()) self->finish(BusError{kHubPeerResourceLoaderErrorDomain, kPeerWentAwayErrorCode, "Peer went away"});
        });
        return;
    }
    retryCount_ = kLoaderRetries;
    scheduleTimer();
    {
        std::lock_guard lock(mutex_);
        expectedSegment_ = 0;
        awaitingRetry_ = false;
        firstCount_ = 0;
        received_ = 0;
    }
    endpoint_.addDelegate(this);
    sendRequestStartingWithSegment(0);
}

void HubPeerResourceLoader::cancel() {
    if (!running_.load()) return;
    stopTimer();
    endpoint_.removeDelegate(this);
    running_.store(false);
}

void HubPeerResourceLoader::sendRequestStartingWithSegment(uint32_t segment) {
    BusPeerSendMessage(*peer_, makeResourceRequest(resourceID_, segment));
}

void HubPeerResourceLoader::scheduleTimer() {
    stopTimer();
    std::weak_ptr<HubPeerResourceLoader> weak = weak_from_this();
    timer_ = endpoint_.loop().schedule(kLoaderTimeout, [weak] {
        if (auto self = weak.lock()) self->timeoutFired();
    });
}

void HubPeerResourceLoader::stopTimer() {
    if (timer_) endpoint_.loop().cancel(timer_);
    timer_ = 0;
}

void HubPeerResourceLoader::timeoutFired() {
    timer_ = 0;
    uint32_t expected;
    {
        std::lock_guard lock(mutex_);
        awaitingRetry_ = true;
        expected = expectedSegment_;
    }
    if (!running_.load()) return;
    if (!peer_->present()) {
        finish(BusError{kHubPeerResourceLoaderErrorDomain, kPeerWentAwayErrorCode, "Peer went away"});
        return;
    }
    if (retryCount_-- != 0) {
        sendRequestStartingWithSegment(expected);
        scheduleTimer();
        return;
    }
    endpoint_.peerLog().log(peer_.get(), kTimedOut, [&] {
        return fmt::format("Timed out getting resource <{}> from {}", resourceID_, peer_->description());
    });
    finish(BusError{kHubPeerResourceLoaderErrorDomain, 0, "Timed out"});
}

void HubPeerResourceLoader::finish(std::optional<BusError> error) {
    stopTimer();
    endpoint_.removeDelegate(this);
    if (!running_.exchange(false)) return;
    if (completionBlock_) completionBlock_(error);
}

void HubPeerResourceLoader::failFromListener(BusError error, const char* kind, std::string logLine) {
    endpoint_.removeDelegate(this);
    std::weak_ptr<HubPeerResourceLoader> weak = weak_from_this();
    endpoint_.loop().post([weak, error, kind, logLine] {
        auto self = weak.lock();
        if (!self || !self->running_.load()) return;
        self->endpoint_.peerLog().log(self->peer_.get(), kind, [&] { return logLine; });
        self->finish(error);
    });
}

void HubPeerResourceLoader::endpoint(BusLocalEndpoint&, const uint8_t* bytes, uint64_t length,
                                     const std::shared_ptr<BusPeer>& peer) {
    if (peer.get() != peer_.get() || !running_.load()) return;
    auto view = readBusMessage(bytes, length);
    if (!view || view->type != BusMessageResourceSegment) return;
    auto segment = readResourceSegment(bytes, length);
    if (!segment) {
        endpoint_.peerLog().log(peer.get(), "Invalid info reply packet",
                                [&] { return fmt::format("Invalid info reply packet from {}", peer->description()); });
        return;
    }
    if (segment->resourceID != resourceID_) return;
    if (segment->segmentCount == 0) {
        failFromListener(BusError{kHubPeerResourceLoaderErrorDomain, 1, "Resource not found"}, kNotFoundFor,
                         fmt::format("Resource <{}> not found for {}", resourceID_, peer->description()));
        return;
    }
    std::unique_lock lock(mutex_);
    if (firstCount_ == 0) {
        firstCount_ = segment->segmentCount;
        uint64_t largest = uint64_t(firstCount_ - 1) * segment->dataLength;
        if (segment->segmentIndex + 1 < firstCount_ && largest > kMaximumResourceLength) {
            lock.unlock();
            failFromListener(BusError{kHubPeerResourceLoaderErrorDomain, 2, "Resource too large"}, kTooLarge,
                             fmt::format("Resource <{}> from {} is too large", resourceID_, peer->description()));
            return;
        }
    } else if (segment->segmentCount != firstCount_) {
        lock.unlock();
        failFromListener(BusError{kHubPeerResourceLoaderErrorDomain, 2, "Invalid response from peer"}, kChangedCount,
                         fmt::format("Resource <{}> from {} changed its segment count", resourceID_,
                                     peer->description()));
        return;
    }
    if (segment->segmentIndex < expectedSegment_) return;  // a repeat
    if (segment->segmentIndex > expectedSegment_) {
        if (!awaitingRetry_) {
            awaitingRetry_ = true;
            uint32_t expected = expectedSegment_;
            lock.unlock();
            sendRequestStartingWithSegment(expected);
        }
        return;
    }
    received_ += segment->dataLength;
    if (received_ > kMaximumResourceLength) {
        lock.unlock();
        failFromListener(BusError{kHubPeerResourceLoaderErrorDomain, 2, "Resource too large"}, kTooLarge,
                         fmt::format("Resource <{}> from {} is too large", resourceID_, peer->description()));
        return;
    }
    bool last = segment->segmentIndex + 1 >= segment->segmentCount;
    if (!last) expectedSegment_ = segment->segmentIndex + 1;
    lock.unlock();
    std::vector<uint8_t> data(segment->data, segment->data + segment->dataLength);
    if (last) endpoint_.removeDelegate(this);
    std::weak_ptr<HubPeerResourceLoader> weak = weak_from_this();
    endpoint_.loop().post([weak, data = std::move(data), last] {
        auto self = weak.lock();
        if (!self || !self->running_.load()) return;
        {
            std::lock_guard lock(self->mutex_);
            self->awaitingRetry_ = false;
        }
        self->scheduleTimer();
        self->dataBlock_(data);
        if (last) self->finish(std::nullopt);
    });
}

// ---- the manager ---------------------------------------------------------------

HubPeerResourceManager::HubPeerResourceManager(BusLocalEndpoint* endpoint, Options options)
    : endpoint_(endpoint),
      resourceHost_(options.resourceHost),
      notifications_(platform::required(options.notifications, "HubPeerResourceManagerOptions::notifications")),
      wallClock_(options.wallClock ? options.wallClock
                                   : [] {
                                         return static_cast<int64_t>(std::chrono::duration_cast<std::chrono::seconds>(
                                                                         std::chrono::system_clock::now().time_since_epoch())
                                                                         .count());
                                     }),
      decoder_(std::make_unique<platform::SerialQueue>("hub images")),
      alive_(std::make_shared<HubPeerResourceManager*>(this)) {
    if (options.cachesFolder.empty()) platform::missingDependency("HubPeerResourceManagerOptions::cachesFolder");
    if (options.displayName.empty()) platform::missingDependency("HubPeerResourceManagerOptions::displayName");
    folder_ = options.cachesFolder / escapedFileName(options.displayName) / "Peer Resources";
    pruneDiskCache();
    memoryWarningObserver_ = notifications_.addObserver(platform::kApplicationDidReceiveMemoryWarningNotification,
                                                        nullptr, [this](const auto&) { memoryWarning(); });
}

HubPeerResourceManager::~HubPeerResourceManager() {
    notifications_.removeObserver(memoryWarningObserver_);
    alive_.reset();
    decoder_.reset();  // an image under way is finished, the rest skipped
    cancelAll();
    if (endpoint_) {
        for (auto& [key, retry] : retries_) endpoint_->loop().cancel(retry.timer);
    }
}

std::string HubPeerResourceManager::escapedFileName(const std::string& peerName) {
    // Letters, digits, spaces and a few marks stay; everything else, a leading
    // ".", and bytes of broken UTF-8 are percent-escaped; long names are cut
    // at a character boundary and keep a hash of the whole name, so the name is
    // stable and distinct.
    std::string escaped;
    for (size_t i = 0; i < peerName.size(); ++i) {
        unsigned char c = static_cast<unsigned char>(peerName[i]);
        bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == ' ' ||
                     c == '-' || c == '_' || c == '(' || c == ')' || (c == '.' && i > 0);
        if (c >= 0x80) {
            if (const size_t length = wellFormedCharacterLength(peerName, i); length > 0) {
                escaped.append(peerName, i, length);
                i += length - 1;
                continue;
            }
        }
        if (plain) {
            escaped += static_cast<char>(c);
        } else {
            escaped += fmt::format("%{:02X}", c);
        }
    }
    constexpr size_t kLongest = 120;
    if (escaped.size() > kLongest || escaped.empty()) {
        uint64_t hash = 1469598103934665603ull;
        for (unsigned char c : peerName) hash = (hash ^ c) * 1099511628211ull;
        escaped = std::string(platform::cutAtCharacter(escaped, kLongest)) + fmt::format("~{:016x}", hash);
    }
    return escaped;
}

std::string HubPeerResourceManager::cacheFileName(const std::string& peerName, uint32_t resourceID) {
    return fmt::format("{}.{}.png", escapedFileName(peerName), resourceID);
}

std::filesystem::path HubPeerResourceManager::cacheFileFor(const std::string& peerName, uint32_t resourceID) const {
    return folder_ / cacheFileName(peerName, resourceID);
}

void HubPeerResourceManager::pruneDiskCache() {
    struct File {
        std::filesystem::path path;
        timespec modified;
    };
    std::vector<File> files;
    std::error_code error;
    for (std::filesystem::directory_iterator it(folder_, error), end; !error && it != end; it.increment(error)) {
        struct stat info {};
        if (::lstat(it->path().c_str(), &info) == 0) files.push_back({it->path(), info.st_mtim});
    }
    if (files.size() <= kMaximumCacheFiles) return;
    std::sort(files.begin(), files.end(), [](const File& a, const File& b) {
        return a.modified.tv_sec != b.modified.tv_sec ? a.modified.tv_sec < b.modified.tv_sec
                                                      : a.modified.tv_nsec < b.modified.tv_nsec;
    });
    for (size_t i = 0; i + kMaximumCacheFiles < files.size(); ++i) std::filesystem::remove(files[i].path, error);
}

std::shared_ptr<HubPeerResourceImageProxy> HubPeerResourceManager::imageResourceWithID(
    uint32_t resourceID, const std::shared_ptr<BusPeer>& peer) {
    if (!peer) return nullptr;
    Key key{peer.get(), resourceID};
    if (auto it = cache_.find(key); it != cache_.end()) return it->second;
    std::shared_ptr<HubPeerResourceImageProxy> proxy;
    if (resourceHost_ && peer->type() == BusPeerTypeSelf) {
        if (auto bytes = resourceHost_->resourceWithID(resourceID)) {
            proxy = HubPeerResourceImageProxy::resourceImageProxyWithImage(HubImage::fromData(*bytes), resourceID);
        }
    } else {
        auto path = cacheFileFor(peer->name(), resourceID);
        struct stat info {};
        if (::stat(path.c_str(), &info) != 0) return nullptr;
        if (wallClock_() - info.st_mtim.tv_sec > kMaximumCacheAge) return nullptr;
        auto bytes = readFile(path, HubPeerResourceLoader::kMaximumResourceLength);
        // Images are cached as they are kept: a larger file is not decoded
        // here, on the loop, but loaded again.
        const auto size = bytes ? platform::PngImage::headerSize(*bytes) : std::nullopt;
        if (!size || size->first > kHubLargestPeerImageSide || size->second > kHubLargestPeerImageSide) return nullptr;
        proxy = HubPeerResourceImageProxy::resourceImageProxyWithImage(HubImage::fromData(*bytes), resourceID);
    }
    if (proxy) cache_[key] = proxy;
    return proxy;
}

void HubPeerResourceManager::startLoadOfResourceWithID(uint32_t resourceID, const std::shared_ptr<BusPeer>& peer,
                                                       LoadBlock block) {
    if (!endpoint_) {
        busLog("Warning: Tried to start resource load without a local endpoint");
        return;
    }
    Key key{peer.get(), resourceID};
    if (loaders_.count(key) || decoding_.count(key)) return;
    auto loader = HubPeerResourceLoader::make(peer, resourceID, *endpoint_);
    auto buffer = std::make_shared<std::vector<uint8_t>>();
    loader->setDataBlock([buffer](const std::vector<uint8_t>& data) {
        buffer->insert(buffer->end(), data.begin(), data.end());
    });
    std::weak_ptr<HubPeerResourceManager*> alive = alive_;
    loader->setCompletionBlock([this, alive, key, resourceID, peer, block, buffer](std::optional<BusError> error) {
        if (alive.lock()) loadFinished(key, resourceID, peer, block, buffer, std::move(error));
    });
    loaders_[key] = loader;
    loader->start();
}

void HubPeerResourceManager::loadFinished(Key key, uint32_t resourceID, std::shared_ptr<BusPeer> peer, LoadBlock block,
                                          std::shared_ptr<std::vector<uint8_t>> buffer, std::optional<BusError> error) {
    loaders_.erase(key);  // the loader's caller holds it until its block returns
    const bool loaderError = error && error->domain == kHubPeerResourceLoaderErrorDomain;
    if (loaderError && error->code == HubPeerResourceLoader::kPeerWentAwayErrorCode) {
        retries_.erase(key);
        return;  // as if cancelled: the peer is asked again when it comes back
    }
    if (loaderError && error->code == 0) {
        Retry& retry = retries_[key];
        if (retry.attempts >= kMaximumRetries) {
            retries_.erase(key);
            endpoint_->peerLog().log(peer.get(), kGaveUp, [&] {
                return fmt::format("Gave up getting resource <{}> from {}", resourceID, peer->description());
            });
            block(nullptr, error);
            return;
        }
        // 10 s, 20 s, 40 s, ...: a peer that does not answer is asked less and less.
        const uint64_t delay = kRetryDelay << retry.attempts;
        ++retry.attempts;
        std::weak_ptr<HubPeerResourceManager*> alive = alive_;
        retry.timer = endpoint_->loop().schedule(delay, [this, alive, key, resourceID, peer, block] {
            if (!alive.lock()) return;
            auto it = retries_.find(key);
            if (it == retries_.end()) return;
            it->second.timer = 0;
            if (!peer->present()) {
                retries_.erase(it);
                return;
            }
            startLoadOfResourceWithID(resourceID, peer, block);
        });
        return;
    }
    retries_.erase(key);
    if (error) {
        block(nullptr, error);
        return;
    }
    // A peer's image may be as large as it likes: decoded, and drawn smaller,
    // on the decoder's thread.
    const uint64_t decoding = ++decodings_;
    decoding_[key] = decoding;
    std::weak_ptr<HubPeerResourceManager*> alive = alive_;
    platform::MainLoop& loop = endpoint_->loop();
    decoder_->async([alive, &loop, key, decoding, resourceID, peer, block, buffer] {
        if (alive.expired()) return;
        std::shared_ptr<HubImage> image = HubImage::fromPeerData(std::move(*buffer));
        loop.post([alive, key, decoding, resourceID, peer, block, image = std::move(image)] {
            if (auto self = alive.lock()) (*self)->decoded(key, decoding, resourceID, peer, block, image);
        });
    });
}

void HubPeerResourceManager::decoded(Key key, uint64_t decoding, uint32_t resourceID,
                                     const std::shared_ptr<BusPeer>& peer, const LoadBlock& block,
                                     std::shared_ptr<HubImage> image) {
    auto it = decoding_.find(key);
    if (it == decoding_.end() || it->second != decoding) return;  // cancelled meanwhile
    decoding_.erase(it);
    if (!image) {
        endpoint_->peerLog().log(peer.get(), kInvalidImage, [&] {
            return fmt::format("Invalid image received from {} for resource <{}>", peer->description(), resourceID);
        });
        block(nullptr, BusError{kHubPeerResourceManagerErrorDomain, 0, "Invalid image"});
        return;
    }
    auto proxy = HubPeerResourceImageProxy::resourceImageProxyWithImage(image, resourceID);
    cache_[key] = proxy;
    if (!writeCacheFile(cacheFileFor(peer->name(), resourceID), image->png().data())) {
        busLog("Couldn't write the cache file of resource <{}> from {}", resourceID, peer->description());
    }
    block(proxy, std::nullopt);
    notifications_.post(kHubPeerResourceManagerDidLoadResourceNotification, this,
                        HubPeerResourceLoadInfo{peer, resourceID});
}

void HubPeerResourceManager::cancelAll() {
    decoding_.clear();
    auto loaders = std::move(loaders_);
    loaders_.clear();
    for (auto& [key, loader] : loaders) loader->cancel();
}

void HubPeerResourceManager::cancelLoadsFromPeer(const BusPeer* peer) {
    std::erase_if(decoding_, [peer](const auto& entry) { return entry.first.first == peer; });
    for (auto it = loaders_.begin(); it != loaders_.end();) {
        if (it->first.first != peer) {
            ++it;
            continue;
        }
        auto loader = std::move(it->second);
        it = loaders_.erase(it);
        loader->cancel();
    }
    for (auto it = retries_.begin(); it != retries_.end();) {
        if (it->first.first != peer) {
            ++it;
            continue;
        }
        if (endpoint_ && it->second.timer) endpoint_->loop().cancel(it->second.timer);
        it = retries_.erase(it);
    }
}

void HubPeerResourceManager::memoryWarning() { cache_.clear(); }

}  // namespace strombel::hub
