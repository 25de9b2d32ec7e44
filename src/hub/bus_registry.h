#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "platform/application_state.h"
#include "platform/key_value_observing.h"
#include "platform/main_loop.h"
#include "platform/notification_center.h"
#include "platform/service_discovery.h"
#include "platform/socket_address.h"

namespace strombel::hub {

class BusLocalEndpoint;
class BusPeer;

/// Posted on the main loop (sender: the registry; user info: the
/// std::shared_ptr<BusPeer>) when a peer is resolved, first or again, and when
/// it goes away.
inline constexpr const char* kBusRegistryPeerDidAppearNotification = "BusRegistryPeerDidAppearNotification";
inline constexpr const char* kBusRegistryPeerDidDisappearNotification = "BusRegistryPeerDidDisappearNotification";
/// Posted by the application (any sender) when it becomes active.
inline constexpr const char* kApplicationDidBecomeActiveNotification = platform::kApplicationDidBecomeActiveNotification;

struct BusRegistryOptions {
    // Required: the registry's loop and notification centre.
    platform::MainLoop* loop = nullptr;
    platform::NotificationCenter* notifications = nullptr;
    /// The device name in the service name; empty: the machine's pretty name.
    std::string deviceName;
};

/// Makes the endpoint visible on the bus and finds the others: publishes the
/// endpoint as "<name> (<device>)" with its metadata in the TXT record, browses
/// for the same service type, turns each resolved service into a `BusPeer`, keeps
/// the map from sender addresses to peers the endpoint reads, and reports peers
/// appearing and going away. Lives on the main loop's thread; only the address
/// lookups are called from the listener thread.
class BusRegistry {
public:
    using Options = BusRegistryOptions;

    /// Peers kept at most; the oldest absent one makes room for a new one.
    static constexpr size_t kMaximumPeers = 1024;
    /// Name collisions in a row after which publishing gives up.
    static constexpr int kMaximumCollisionRenames = 32;

    /// `serviceType` is lower-case letters only ("wirehub"); anything else stops
    /// the process with "Service type must be lowercase letters only".
    BusRegistry(std::string serviceType, BusLocalEndpoint* endpoint, platform::ServiceDiscovery& discovery,
                Options options);
    ~BusRegistry();
    BusRegistry(const BusRegistry&) = delete;
    BusRegistry& operator=(const BusRegistry&) = delete;

    void setLocalEndpoint(BusLocalEndpoint* endpoint);
    BusLocalEndpoint* localEndpoint() const { return endpoint_; }
    void setPublishing(bool publishing);
    bool publishing() const { return publishing_; }
    void setEnableNetwork(bool enable) { enableNetwork_ = enable; }
    bool enableNetwork() const { return enableNetwork_; }

    /// Every peer resolved so far, in order of appearance. Any thread.
    std::vector<std::shared_ptr<BusPeer>> peers() const;
    /// The peer of a sender address or a message-port sender name. Any thread.
    std::shared_ptr<BusPeer> peerMatchingAddress(const platform::SocketAddress& address) const;
    std::shared_ptr<BusPeer> peerMatchingName(std::string_view name) const;
    /// The peer of a service name.
    std::shared_ptr<BusPeer> peerMatchingService(const std::string& serviceName) const;

    /// Splits "<peer> (<device>)" at the last " (": false when there is none.
    static bool parseRegistryName(const std::string& name, std::string& peerName, std::string& deviceName);
    /// The service name for the current collision index.
    std::string registryNameForPeerWithName(const std::string& peerName, const std::string& deviceName) const;
    static std::string registryName(const std::string& peerName, const std::string& deviceName, int collisionIndex);

    /// "_<type>._udp".
    std::string fullServiceType() const { return "_" + serviceType_ + "._udp"; }
    /// The name published now, if any.
    std::optional<std::string> publishedName() const;
    int collisionIndex() const { return collisionIndex_; }
    const std::string& deviceName() const { return deviceName_; }

    void propagateMetadataChange();
    platform::TxtRecord metadataDictionaryFromDictionary(const platform::TxtRecord& metadata);
    void restartServiceBrowser();
    void restartServicePublisher();
    void reportPeerDisappeared(const std::shared_ptr<BusPeer>& peer);
    void applicationDidBecomeActive();
    /// Logs a service's failure; for callers that watch services of their own.
    static void handleError(int32_t code, const platform::ServiceRecord& service);

private:
    void publishResult(uint64_t generation, int32_t result);
    void serviceFound(const std::string& name);
    void serviceRemoved(const std::string& name);
    void serviceResolved(const std::string& name, std::optional<platform::ServiceRecord> record);
    bool addPeer(const std::shared_ptr<BusPeer>& peer);
    void postPeerNotification(const char* name, const std::shared_ptr<BusPeer>& peer);
    /// A line of `kind` (a format with one "{}" for the peer) under the
    /// endpoint's limit.
    void peerLine(const BusPeer& peer, const char* kind) const;
    void cancelDisappearance(BusPeer* peer);
    platform::ServiceRecord ownServiceRecord() const;

    const std::string serviceType_;
    platform::ServiceDiscovery& discovery_;
    platform::MainLoop& loop_;
    platform::NotificationCenter& notifications_;
    std::string deviceName_;
    BusLocalEndpoint* endpoint_ = nullptr;

    std::set<std::string> resolvingServices_;
    uint32_t metadataSequenceNumber_ = 0;
    int restartCount_ = 0;
    int collisionIndex_ = 1;
    int collisionsInARow_ = 0;
    bool enableNetwork_ = true;
    bool publishing_ = false;

    // The published service.
    std::optional<platform::ServiceDiscovery::Id> publication_;
    std::optional<platform::ServicePublication> published_;
    uint64_t publishGeneration_ = 0;
    std::optional<platform::ServiceDiscovery::Id> browse_;
    platform::DeferredCall metadataPropagation_;
    platform::KeyValueObservable::ObserverId metadataObserver_ = 0;
    platform::KeyValueObservable::ObserverId portObserver_ = 0;
    platform::NotificationCenter::ObserverId activeObserver_ = 0;
    std::map<BusPeer*, std::unique_ptr<platform::DeferredCall>> disappearances_;
    std::map<BusPeer*, platform::ServiceDiscovery::Id> txtWatches_;

    mutable std::mutex peersMutex_;
    std::shared_ptr<const std::vector<std::shared_ptr<BusPeer>>> peers_;

    mutable std::mutex mapMutex_;
    std::map<platform::SocketAddress, std::shared_ptr<BusPeer>> addressesToPeers_;
    std::map<std::string, std::shared_ptr<BusPeer>, std::less<>> namesToPeers_;

    std::shared_ptr<BusRegistry*> alive_;
};

}  // namespace strombel::hub
