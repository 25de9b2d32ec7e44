#pragma once

// Peer resources: the images peers show of each other (application icon, port
// and trigger icons), served and fetched over the bus by 32-bit identifier in
// request (type 2) and segment (type 3) messages, and kept in memory and in a
// disk cache.

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "hub/bus_local_endpoint.h"
#include "hub/bus_log.h"
#include "hub/bus_peer_message_exchange.h"
#include "platform/main_bundle.h"
#include "platform/main_loop.h"
#include "platform/notification_center.h"
#include "platform/png_image.h"
#include "platform/serial_queue.h"
#include "platform/worker.h"

namespace strombel::hub {

inline constexpr const char* kHubPeerResourceLoaderErrorDomain = "HubPeerResourceLoaderErrorDomain";
inline constexpr const char* kHubPeerResourceManagerErrorDomain = "HubPeerResourceManagerErrorDomain";
inline constexpr const char* kHubPeerResourceManagerDidLoadResourceNotification =
    "HubPeerResourceManagerDidLoadResourceNotification";
/// The status-code domain of a sender's "The peer disconnected" error.
inline constexpr const char* kOSStatusErrorDomain = "NSOSStatusErrorDomain";

/// Resource 1 is the serving application's icon.
constexpr uint32_t kHubApplicationIconResourceID = 1;
/// The most pixels a side of an image a peer sends, as it is kept and shown:
/// the panel's buttons are 38 points at two pixels a point. Larger ones are
/// drawn smaller as they arrive, off the main loop.
constexpr uint32_t kHubLargestPeerImageSide = 76;

/// An image as the hub shows it: checked PNG bytes, remembering the resource
/// identifier a host gave it.
class HubImage {
public:
    explicit HubImage(platform::PngImage png) : png_(std::move(png)) {}
    /// Absent when the bytes are not a PNG of at most 4096 pixels a side.
    static std::shared_ptr<HubImage> fromData(std::vector<uint8_t> bytes);
    /// An image a peer sent, drawn to fit kHubLargestPeerImageSide when it is
    /// larger. Decodes the whole image: never on the main loop.
    static std::shared_ptr<HubImage> fromPeerData(std::vector<uint8_t> bytes);
    const platform::PngImage& png() const { return png_; }
    uint32_t width() const { return png_.width(); }
    uint32_t height() const { return png_.height(); }
    uint32_t resourceID() const { return resourceID_.load(); }
    void setResourceID(uint32_t id) { resourceID_.store(id); }

private:
    platform::PngImage png_;
    std::atomic<uint32_t> resourceID_{0};
};

/// An image handed out by the manager with the identifier it was loaded under.
struct HubPeerResourceImageProxy {
    uint32_t resourceID = 0;
    std::shared_ptr<HubImage> image;
    static std::shared_ptr<HubPeerResourceImageProxy> resourceImageProxyWithImage(std::shared_ptr<HubImage> image,
                                                                                  uint32_t resourceID);
};

/// The user info of kHubPeerResourceManagerDidLoadResourceNotification.
struct HubPeerResourceLoadInfo {
    std::shared_ptr<BusPeer> peer;
    uint32_t resourceID = 0;
};

using HubCompletionBlock = std::function<void(std::optional<BusError> error)>;

/// Sends a sequence of messages to one peer on a transmission thread of its own,
/// as fast as the socket takes them: a full send buffer pauses it until the peer
/// can send again. Subclasses build the messages. Start, cancel and destroy on
/// the main loop's thread; the completion block runs there.
class HubPeerResourceSenderBase : public std::enable_shared_from_this<HubPeerResourceSenderBase> {
public:
    HubPeerResourceSenderBase(std::shared_ptr<BusPeer> peer, platform::MainLoop& loop,
                              platform::NotificationCenter& notifications);
    virtual ~HubPeerResourceSenderBase();

    void setCompletionBlock(HubCompletionBlock block) { completionBlock_ = std::move(block); }
    void start();
    /// Stops the transmission and waits for its thread. Never on that thread.
    void cancel();
    bool running() const { return running_.load(); }
    const std::shared_ptr<BusPeer>& peer() const { return peer_; }
    virtual std::string description() const;

protected:
    /// The next message to send, or nothing when done (transmission thread). The
    /// bytes stay valid until the next call.
    virtual const std::vector<uint8_t>* nextMessage() = 0;
    /// The message last returned was sent (transmission thread).
    virtual void didSendMessage() = 0;
    /// Subclasses call this first in their destructors.
    void stopTransmission();

private:
    void transmit();
    void complete(std::optional<BusError> error);

    std::shared_ptr<BusPeer> peer_;
    platform::MainLoop& loop_;
    platform::NotificationCenter& notifications_;
    HubCompletionBlock completionBlock_;
    std::atomic<bool> cancelled_{false};
    std::atomic<bool> running_{false};
    platform::Worker thread_;  // woken by `cancelled_`
    platform::NotificationCenter::ObserverId canSendObserver_ = 0;
};

/// Sends one resource in segments, from a requested segment on; a re-request
/// from its peer moves it back.
class HubPeerResourceSender : public HubPeerResourceSenderBase, public BusLocalEndpointDelegate {
public:
    HubPeerResourceSender(std::shared_ptr<BusPeer> peer, uint32_t resourceID,
                          std::shared_ptr<const std::vector<uint8_t>> resource, BusLocalEndpoint& endpoint,
                          uint32_t firstSegment = 0);
    ~HubPeerResourceSender() override;
    uint32_t resourceID() const { return resourceID_; }
    std::string description() const override;

    void endpoint(BusLocalEndpoint& endpoint, const uint8_t* bytes, uint64_t length,
                  const std::shared_ptr<BusPeer>& peer) override;

protected:
    const std::vector<uint8_t>* nextMessage() override;
    void didSendMessage() override;

private:
    BusLocalEndpoint& endpoint_;
    uint32_t resourceID_;
    std::shared_ptr<const std::vector<uint8_t>> resource_;
    std::atomic<int64_t> nextSegment_;
    uint32_t currentSegment_ = 0;
    std::vector<uint8_t> message_;
};

/// Serves this application's resources to every peer that asks.
class HubPeerResourceHost : public BusLocalEndpointDelegate {
public:
    HubPeerResourceHost(BusLocalEndpoint& endpoint, platform::MainBundle& bundle);
    ~HubPeerResourceHost() override;

    uint32_t addResource(std::vector<uint8_t> bytes) { return addResource(std::move(bytes), false); }
    uint32_t addResource(std::vector<uint8_t> bytes, bool contentBasedID);
    void removeResourceWithID(uint32_t resourceID);
    uint32_t addImageResource(HubImage& image);
    void removeImageResource(HubImage& image);
    /// The first 4 bytes of SHA-1(bytes), little-endian; 1000 added below 1000.
    static uint32_t contentBasedIDFromData(const uint8_t* bytes, size_t length);
    uint32_t nextFreeID() const;
    /// Identifier 1: the bundle's application icon file; others: what was added.
    std::shared_ptr<const std::vector<uint8_t>> resourceWithID(uint32_t resourceID) const;
    void sendResource(uint32_t resourceID, const std::shared_ptr<BusPeer>& peer, uint32_t firstSegment);
    size_t runningSenders() const { return senders_.size(); }

    void endpoint(BusLocalEndpoint& endpoint, const uint8_t* bytes, uint64_t length,
                  const std::shared_ptr<BusPeer>& peer) override;

private:
    std::shared_ptr<const std::vector<uint8_t>> applicationIcon() const;
    void requested(uint32_t resourceID, const std::shared_ptr<BusPeer>& peer, uint32_t firstSegment);

    BusLocalEndpoint& endpoint_;
    platform::MainBundle& bundle_;
    mutable std::mutex mutex_;
    std::map<uint32_t, std::shared_ptr<const std::vector<uint8_t>>> cache_;
    // Keyed by (peer, identifier): one sender per pair, never a colliding sum.
    std::map<std::pair<const BusPeer*, uint32_t>, std::shared_ptr<HubPeerResourceSender>> senders_;
    std::shared_ptr<HubPeerResourceHost*> alive_;
};

/// Fetches one resource from one peer, segment by segment, re-requesting gaps
/// and on each 0.5 s time-out; fails at the eleventh time-out, on "not found",
/// past 8 MiB, or when a segment's count differs from the first's. A peer that
/// went away (no longer present) is asked nothing more: the load ends at the
/// next time-out with kPeerWentAwayErrorCode.
class HubPeerResourceLoader : public BusLocalEndpointDelegate,
                              public std::enable_shared_from_this<HubPeerResourceLoader> {
public:
    /// The largest resource a loader takes.
    static constexpr size_t kMaximumResourceLength = 8 * 1024 * 1024;
    /// The loader error code of a load whose peer went away.
    static constexpr int kPeerWentAwayErrorCode = 3;

    static std::shared_ptr<HubPeerResourceLoader> make(std::shared_ptr<BusPeer> peer, uint32_t resourceID,
                                                       BusLocalEndpoint& endpoint);
    ~HubPeerResourceLoader() override;

    /// Each segment's data, in order (main loop).
    void setDataBlock(std::function<void(const std::vector<uint8_t>& data)> block) { dataBlock_ = std::move(block); }
    void setCompletionBlock(HubCompletionBlock block) { completionBlock_ = std::move(block); }
    void start();
    void cancel();
    bool running() const { return running_.load(); }
    void sendRequestStartingWithSegment(uint32_t segment);

    void endpoint(BusLocalEndpoint& endpoint, const uint8_t* bytes, uint64_t length,
                  const std::shared_ptr<BusPeer>& peer) override;

private:
    HubPeerResourceLoader(std::shared_ptr<BusPeer> peer, uint32_t resourceID, BusLocalEndpoint& endpoint);
    void timeoutFired();
    void scheduleTimer();
    void stopTimer();
    void finish(std::optional<BusError> error);
    /// Ends the load on the loop with `error`, logging `logLine` as a line of `kind`.
    void failFromListener(BusError error, const char* kind, std::string logLine);

    std::shared_ptr<BusPeer> peer_;
    uint32_t resourceID_;
    BusLocalEndpoint& endpoint_;
    std::function<void(const std::vector<uint8_t>&)> dataBlock_;
    HubCompletionBlock completionBlock_;
    int32_t retryCount_ = 0;
    platform::MainLoop::TimerId timer_ = 0;
    std::atomic<bool> running_{false};
    // Listener-thread state.
    std::mutex mutex_;
    bool awaitingRetry_ = false;
    uint32_t expectedSegment_ = 0;
    uint32_t firstCount_ = 0;
    size_t received_ = 0;
};

struct HubPeerResourceManagerOptions {
    HubPeerResourceHost* resourceHost = nullptr;
    /// Required: where "<display name>/Peer Resources" goes (the sandbox's caches).
    std::filesystem::path cachesFolder;
    /// Required: the bundle's "CFBundleDisplayName".
    std::string displayName;
    /// Wall-clock seconds for the age of cache files; default: the system's.
    std::function<int64_t()> wallClock;
    /// Required.
    platform::NotificationCenter* notifications = nullptr;
};

/// The image cache in memory and on disk, and the loads that fill it.
class HubPeerResourceManager {
public:
    using Options = HubPeerResourceManagerOptions;
    /// Cache files older than this are not used.
    static constexpr int64_t kMaximumCacheAge = 432000;
    static constexpr size_t kMaximumCacheFiles = 200;
    /// A load that timed out is started again after kRetryDelay, then after
    /// twice as long each time, at most kMaximumRetries times; then its block
    /// gets the time-out. A peer that went away is not tried again.
    static constexpr uint64_t kRetryDelay = 10 * platform::kNanosPerSecond;
    static constexpr int kMaximumRetries = 4;

    using LoadBlock = std::function<void(std::shared_ptr<HubPeerResourceImageProxy> image, std::optional<BusError> error)>;

    HubPeerResourceManager(BusLocalEndpoint* endpoint, Options options = {});
    ~HubPeerResourceManager();

    void setResourceHost(HubPeerResourceHost* host) { resourceHost_ = host; }
    /// The image from memory, the host (self peer) or the disk cache; no traffic.
    std::shared_ptr<HubPeerResourceImageProxy> imageResourceWithID(uint32_t resourceID,
                                                                   const std::shared_ptr<BusPeer>& peer);
    /// Fetches an image over the bus. A second load of the same pair while one
    /// runs is not started and its block not called.
    void startLoadOfResourceWithID(uint32_t resourceID, const std::shared_ptr<BusPeer>& peer, LoadBlock block);
    void cancelAll();
    /// Ends every load from `peer` and every retry waiting for it (its blocks
    /// are not called): the peer went away.
    void cancelLoadsFromPeer(const BusPeer* peer);
    /// Empties the memory cache; the program's memory warning (on the
    /// manager's centre) calls it.
    void memoryWarning();
    /// Loads under way, the decoding of what they brought included.
    size_t runningLoads() const { return loaders_.size() + decoding_.size(); }
    /// Where the manager posts, and hears the program's memory warnings.
    platform::NotificationCenter& notifications() const { return notifications_; }

    /// The cache file of a peer's resource: the peer's name escaped into one
    /// plain, bounded, stable file name.
    std::filesystem::path cacheFileFor(const std::string& peerName, uint32_t resourceID) const;
    static std::string cacheFileName(const std::string& peerName, uint32_t resourceID);
    /// A name as one plain path component: no "/", no leading ".", at most 140
    /// bytes, the same for the same name.
    static std::string escapedFileName(const std::string& name);
    const std::filesystem::path& cacheFolder() const { return folder_; }

private:
    using Key = std::pair<const BusPeer*, uint32_t>;
    void pruneDiskCache();
    void loadFinished(Key key, uint32_t resourceID, std::shared_ptr<BusPeer> peer, LoadBlock block,
                      std::shared_ptr<std::vector<uint8_t>> buffer, std::optional<BusError> error);
    /// The image a load brought, decoded off the loop (none: not an image).
    void decoded(Key key, uint64_t decoding, uint32_t resourceID, const std::shared_ptr<BusPeer>& peer,
                 const LoadBlock& block, std::shared_ptr<HubImage> image);

    BusLocalEndpoint* endpoint_;
    HubPeerResourceHost* resourceHost_;
    platform::NotificationCenter& notifications_;
    std::function<int64_t()> wallClock_;
    std::filesystem::path folder_;
    std::map<Key, std::shared_ptr<HubPeerResourceImageProxy>> cache_;
    std::map<Key, std::shared_ptr<HubPeerResourceLoader>> loaders_;
    struct Retry {
        platform::MainLoop::TimerId timer = 0;
        int attempts = 0;
    };
    std::map<Key, Retry> retries_;
    // Loads whose images are being decoded, each by the number of its decoding
    // (a load cancelled meanwhile is forgotten here, and its image dropped).
    std::map<Key, uint64_t> decoding_;
    uint64_t decodings_ = 0;
    // Images are decoded here, one at a time, in order; what is queued when
    // the manager goes is skipped.
    std::unique_ptr<platform::SerialQueue> decoder_;
    platform::NotificationCenter::ObserverId memoryWarningObserver_ = 0;
    std::shared_ptr<HubPeerResourceManager*> alive_;
};

}  // namespace strombel::hub
