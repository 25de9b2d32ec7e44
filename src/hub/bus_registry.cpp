#include "hub/bus_registry.h"

#include <algorithm>
#include <cctype>

#include "hub/bus_local_endpoint.h"
#include "hub/bus_log.h"
#include "hub/bus_message.h"
#include "hub/bus_peer.h"
#include "hub/hub_controller.h"
#include "platform/device_info.h"
#include "platform/required.h"
#include "platform/utf8_cut.h"

namespace strombel::hub {

namespace {

constexpr uint64_t kMetadataCoalescing = 100 * platform::kNanosPerMillisecond;
constexpr uint64_t kDisappearanceDelay = 4 * platform::kNanosPerSecond;
constexpr uint64_t kResolveTimeout = 5 * platform::kNanosPerSecond;
constexpr int kMaximumPublishRestarts = 2;
constexpr const char* kEllipsis = "\u2026";
// Lines about peers, each a kind of its own for the endpoint's limit: an entry
// rewritten in place again and again, or a thousand peers, write a few a second.
constexpr char kPeerAppeared[] = "Peer {} appeared";
constexpr char kPeerReappeared[] = "Peer {} reappeared";
constexpr char kPeerWentAway[] = "Peer {} went away";
constexpr const char* kDeprecatedDeviceID = "02:00:00:00:00:00";

// The characters of a UTF-8 text, each as its bytes; a stray byte counts as one.
std::vector<std::string_view> characters(std::string_view text) {
    std::vector<std::string_view> result;
    for (size_t at = 0; at < text.size(); at += result.back().size())
        result.push_back(text.substr(at, platform::utf8CharacterLength(text.data(), text.size(), at)));
    return result;
}

std::string join(const std::vector<std::string_view>& parts, size_t count) {
    std::string text;
    for (size_t i = 0; i < count && i < parts.size(); ++i) text.append(parts[i]);
    return text;
}

std::string replaceAll(std::string text, std::string_view from, std::string_view to) {
    for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size())) {
        text.replace(at, from.size(), to);
    }
    return text;
}

}  // namespace

BusRegistry::BusRegistry(std::string serviceType, BusLocalEndpoint* endpoint, platform::ServiceDiscovery& discovery,
                         Options options)
    : serviceType_(std::move(serviceType)),
      discovery_(discovery),
      loop_(platform::required(options.loop, "BusRegistryOptions::loop")),
      notifications_(platform::required(options.notifications, "BusRegistryOptions::notifications")),
      deviceName_(options.deviceName.empty() ? platform::DeviceInfo::deviceName() : options.deviceName),
      metadataPropagation_(loop_, [this] { propagateMetadataChange(); }),
      peers_(std::make_shared<const std::vector<std::shared_ptr<BusPeer>>>()),
      alive_(std::make_shared<BusRegistry*>(this)) {
    bool lowercase = !serviceType_.empty() &&
                     std::all_of(serviceType_.begin(), serviceType_.end(), [](char c) { return c >= 'a' && c <= 'z'; });
    HubVerify(lowercase, "Service type must be lowercase letters only", __FILE__, __LINE__);
    restartServiceBrowser();
    setLocalEndpoint(endpoint);
    activeObserver_ = notifications_.addObserver(kApplicationDidBecomeActiveNotification, nullptr,
                                                 [this](const auto&) { applicationDidBecomeActive(); });
}

BusRegistry::~BusRegistry() {
    notifications_.removeObserver(activeObserver_);
    disappearances_.clear();
    setLocalEndpoint(nullptr);
    if (browse_) discovery_.stopBrowsing(*browse_);
    for (auto& [peer, watch] : txtWatches_) discovery_.stopWatching(watch);
    alive_.reset();
}

// ---- names -------------------------------------------------------------------

bool BusRegistry::parseRegistryName(const std::string& name, std::string& peerName, std::string& deviceName) {
    size_t at = name.rfind(" (");
    if (at == std::string::npos || name.size() < at + 3) return false;
    peerName = name.substr(0, at);
    std::string device = name.substr(at + 2, name.size() - at - 3);
    device = replaceAll(device, "%28", "(");
    deviceName = replaceAll(device, "%29", ")");
    return true;
}

std::string BusRegistry::registryName(const std::string& peerName, const std::string& deviceName, int collisionIndex) {
    auto peer = characters(peerName);
    auto device = characters(deviceName);
    const long p = static_cast<long>(peer.size()), d = static_cast<long>(device.size());
    const long m = std::min(d, 10L);
    auto candidate = [&](long budget) {
        long deviceKeep = std::max(budget - p, m);
        long peerKeep = budget - p >= m ? p : std::max(budget - m, 0L);
        std::string devicePart = join(device, static_cast<size_t>(std::min(deviceKeep, d)));
        if (deviceKeep < d) devicePart += kEllipsis;
        devicePart = replaceAll(replaceAll(devicePart, "(", "%28"), ")", "%29");
        if (collisionIndex >= 2) devicePart += " " + std::to_string(collisionIndex);
        std::string peerPart = join(peer, static_cast<size_t>(peerKeep));
        if (peerKeep < p) peerPart += kEllipsis;
        return peerPart + " (" + devicePart + ")";
    };
    long budget = p + d;
    std::string name = candidate(budget);
    for (;;) {
        --budget;
        if (name.size() < 64 || budget < 1) return name;
        name = candidate(budget);
    }
}

std::string BusRegistry::registryNameForPeerWithName(const std::string& peerName, const std::string& deviceName) const {
    return registryName(peerName, deviceName, collisionIndex_);
}

std::optional<std::string> BusRegistry::publishedName() const {
    if (!published_) return std::nullopt;
    return published_->name;
}

// ---- the endpoint and publishing ---------------------------------------------

void BusRegistry::setLocalEndpoint(BusLocalEndpoint* endpoint) {
    if (endpoint_) {
        metadataPropagation_.cancel();
        endpoint_->removeObserver(metadataObserver_);
        endpoint_->removeObserver(portObserver_);
        if (publication_) discovery_.unpublish(*publication_);
        publication_.reset();
        published_.reset();
        // The endpoint's lock is taken before the map's (as the listener does),
        // never while the map's is held.
        if (endpoint_->registry() == this) endpoint_->setRegistry(nullptr);
        std::lock_guard lock(mapMutex_);
        namesToPeers_.erase(endpoint_->name());
    }
    endpoint_ = endpoint;
    if (!endpoint_) return;
    setPublishing(publishing_);
    metadataObserver_ = endpoint_->addObserver("metadata", [this] { metadataPropagation_.schedule(kMetadataCoalescing); });
    portObserver_ = endpoint_->addObserver("socketPort", [this] {
        if (published_ && endpoint_ && published_->port != endpoint_->socketPort()) restartServicePublisher();
    });
    endpoint_->setRegistry(this);
    auto self = endpoint_->selfPeer();
    {
        std::lock_guard lock(mapMutex_);
        namesToPeers_[endpoint_->name()] = self;
    }
}

platform::ServiceRecord BusRegistry::ownServiceRecord() const {
    platform::ServiceRecord record;
    if (!published_) return record;
    record.name = published_->name;
    record.type = published_->type;
    record.port = published_->port;
    record.txt = published_->txt;
    return record;
}

void BusRegistry::setPublishing(bool publishing) {
    publishing_ = publishing;
    if (!publishing) {
        if (publication_) discovery_.unpublish(*publication_);
        publication_.reset();
        published_.reset();
        ++publishGeneration_;
        return;
    }
    if (publication_ || !endpoint_) return;
    platform::ServicePublication publication;
    publication.name = registryNameForPeerWithName(endpoint_->name(), deviceName_);
    publication.type = fullServiceType();
    publication.port = static_cast<uint16_t>(endpoint_->socketPort());
    publication.txt = metadataDictionaryFromDictionary(endpoint_->metadata());
    published_ = publication;
    uint64_t generation = ++publishGeneration_;
    std::weak_ptr<BusRegistry*> alive = alive_;
    publication_ = discovery_.publish(publication, [this, alive, generation](int32_t result) {
        if (alive.lock()) publishResult(generation, result);
    });
    endpoint_->selfPeer()->setNetService(ownServiceRecord());
}

void BusRegistry::publishResult(uint64_t generation, int32_t result) {
    if (generation != publishGeneration_) return;  // an earlier publication's answer
    if (result == 0) {
        restartCount_ = 0;
        collisionsInARow_ = 0;
        return;
    }
    if (result == platform::ServiceDiscovery::ErrorNameCollision) {
        if (++collisionsInARow_ > kMaximumCollisionRenames) {
            busLog("Gave up publishing service");
            setPublishing(false);
            return;
        }
        ++collisionIndex_;
        busLog("Wirehub name collision: Using suffix {}", collisionIndex_);
        setPublishing(false);
        setPublishing(true);
        return;
    }
    if (result != platform::ServiceDiscovery::ErrorUnknown) busLog("Could not publish service: {}", result);
    if (restartCount_ > kMaximumPublishRestarts) {
        busLog("Gave up publishing service");
        setPublishing(false);
        return;
    }
    ++restartCount_;
    setPublishing(false);
    setPublishing(true);
}

void BusRegistry::handleError(int32_t code, const platform::ServiceRecord& service) {
    busLog("An error occurred with service {}.{}.{}, error code = {}", service.name, service.type, "local.", code);
}

platform::TxtRecord BusRegistry::metadataDictionaryFromDictionary(const platform::TxtRecord& metadata) {
    platform::TxtRecord txt = metadata;
    txt["deviceID"] = endpoint_ ? endpoint_->uniqueID() : std::string();
    txt["BusVersion"] = "3";
    txt["sequence"] = std::to_string(metadataSequenceNumber_++);
    for (const auto& key : platform::ServiceDiscovery::dropOversizedEntries(txt)) {
        busLog("Warning: metadata entry {} is longer than 255 bytes and is left out", escapedForLog(key));
    }
    return txt;
}

void BusRegistry::propagateMetadataChange() {
    if (!publishing_ || !publication_ || !endpoint_) return;
    auto txt = metadataDictionaryFromDictionary(endpoint_->metadata());
    if (discovery_.updateTxt(*publication_, txt)) {
        published_->txt = txt;
        endpoint_->selfPeer()->setNetService(ownServiceRecord());
    }
}

void BusRegistry::restartServicePublisher() {
    // The service is made anew so that a changed port is announced.
    if (publication_) {
        discovery_.unpublish(*publication_);
        publication_.reset();
        published_.reset();
    }
    setPublishing(true);
}

void BusRegistry::applicationDidBecomeActive() {
    if (publication_ || !endpoint_) return;
    restartCount_ = 0;
    collisionsInARow_ = 0;
    restartServicePublisher();
}

// ---- browsing and resolution -------------------------------------------------

void BusRegistry::restartServiceBrowser() {
    resolvingServices_.clear();
    if (browse_) discovery_.stopBrowsing(*browse_);
    std::weak_ptr<BusRegistry*> alive = alive_;
    platform::ServiceDiscovery::BrowseHandlers handlers;
    handlers.found = [this, alive](const std::string& name) {
        if (alive.lock()) serviceFound(name);
    };
    handlers.removed = [this, alive](const std::string& name) {
        if (alive.lock()) serviceRemoved(name);
    };
    handlers.failed = [this, alive](int32_t) {
        if (alive.lock()) restartServiceBrowser();
    };
    browse_ = discovery_.browse(fullServiceType(), std::move(handlers));
}

void BusRegistry::serviceFound(const std::string& name) {
    resolvingServices_.insert(name);
    std::weak_ptr<BusRegistry*> alive = alive_;
    discovery_.resolve(name, fullServiceType(), kResolveTimeout,
                       [this, alive, name](std::optional<platform::ServiceRecord> record) {
                           if (alive.lock()) serviceResolved(name, std::move(record));
                       });
}

void BusRegistry::serviceRemoved(const std::string& name) {
    if (published_ && name == published_->name) {
        restartServicePublisher();  // someone removed our own name
        return;
    }
    auto peer = peerMatchingService(name);
    if (!peer) return;
    auto& call = disappearances_[peer.get()];
    std::weak_ptr<BusPeer> weak = peer;
    call = std::make_unique<platform::DeferredCall>(loop_, [this, weak] {
        if (auto peer = weak.lock()) reportPeerDisappeared(peer);
    });
    call->schedule(kDisappearanceDelay);
}

void BusRegistry::cancelDisappearance(BusPeer* peer) {
    auto it = disappearances_.find(peer);
    if (it != disappearances_.end()) it->second->cancel();
}

void BusRegistry::reportPeerDisappeared(const std::shared_ptr<BusPeer>& peer) {
    peerLine(*peer, kPeerWentAway);
    peer->setPresent(false);
    postPeerNotification(kBusRegistryPeerDidDisappearNotification, peer);
}

void BusRegistry::serviceResolved(const std::string& name, std::optional<platform::ServiceRecord> record) {
    if (!record) {
        resolvingServices_.erase(name);
        return;
    }
    // A peer is reached at one host's address, and while the bus listens on
    // loopback alone, only at this machine's: whatever else an entry names is
    // never sent to.
    const bool network = endpoint_ && endpoint_->networkDiscovery();
    std::erase_if(record->addresses, [network](const platform::SocketAddress& address) {
        return !address.isUnicast() || (!network && !address.isLoopback());
    });
    if (record->addresses.empty()) {
        static constexpr char kNoAddress[] = "Ignoring peer {}: it announces no address this endpoint may use";
        auto line = [&] { return fmt::format(kNoAddress, escapedForLog(record->name)); };
        if (endpoint_) {
            endpoint_->peerLog().log(nullptr, kNoAddress, line);
        } else {
            busLogLine(line());
        }
        resolvingServices_.erase(name);
        return;
    }
    bool local = platform::DeviceInfo::isLocal(record->addresses);
    if (!enableNetwork_ && !local) return;
    auto deviceID = record->txt.find("deviceID");
    if (deviceID != record->txt.end() && deviceID->second == kDeprecatedDeviceID && !local) {
        busLog("Ignoring remote peer {} with deprecated ID", escapedForLog(record->name));
        resolvingServices_.erase(name);
        return;
    }
    if (local && published_ && record->port == published_->port) {
        resolvingServices_.erase(name);  // ourselves
        return;
    }
    auto peer = peerMatchingService(record->name);
    if (!peer) {
        peer = BusPeer::withService(*record, endpoint_);
        if (!peer) {
            resolvingServices_.erase(name);
            return;
        }
        if (!addPeer(peer)) {
            resolvingServices_.erase(name);
            return;
        }
        peerLine(*peer, kPeerAppeared);
    } else {
        cancelDisappearance(peer.get());
        peer->setNetService(*record);
        peerLine(*peer, kPeerReappeared);
        std::lock_guard lock(mapMutex_);
        std::erase_if(addressesToPeers_, [&](const auto& entry) { return entry.second == peer; });
        std::erase_if(namesToPeers_, [&](const auto& entry) { return entry.second == peer; });
    }
    {
        std::lock_guard lock(mapMutex_);
        for (auto address : record->addresses) {
            address.setPort(record->port);
            addressesToPeers_[address] = peer;
        }
        if (BusPeerTypeIsLocal(peer->type())) namesToPeers_[peer->name()] = peer;
    }
    if (!txtWatches_.count(peer.get())) {
        std::weak_ptr<BusPeer> weak = peer;
        txtWatches_[peer.get()] = discovery_.watchTxt(record->name, record->type, [weak](const platform::TxtRecord& txt) {
            if (auto peer = weak.lock()) peer->netServiceDidUpdateTXTRecordData(txt);
        });
    }
    resolvingServices_.erase(name);
    postPeerNotification(kBusRegistryPeerDidAppearNotification, peer);
}

bool BusRegistry::addPeer(const std::shared_ptr<BusPeer>& peer) {
    std::lock_guard lock(peersMutex_);
    auto next = std::make_shared<std::vector<std::shared_ptr<BusPeer>>>(*peers_);
    if (next->size() >= kMaximumPeers) {
        auto absent = std::find_if(next->begin(), next->end(), [](const auto& p) { return !p->present(); });
        if (absent == next->end()) {
            busLog("Too many peers: {} is left out", peer->description());
            return false;
        }
        std::shared_ptr<BusPeer> dropped = *absent;
        next->erase(absent);
        std::lock_guard mapLock(mapMutex_);
        std::erase_if(addressesToPeers_, [&](const auto& entry) { return entry.second == dropped; });
        std::erase_if(namesToPeers_, [&](const auto& entry) { return entry.second == dropped; });
        disappearances_.erase(dropped.get());
        if (auto watch = txtWatches_.find(dropped.get()); watch != txtWatches_.end()) {
            discovery_.stopWatching(watch->second);
            txtWatches_.erase(watch);
        }
    }
    next->push_back(peer);
    peers_ = std::move(next);
    return true;
}

std::vector<std::shared_ptr<BusPeer>> BusRegistry::peers() const {
    std::lock_guard lock(peersMutex_);
    return *peers_;
}

std::shared_ptr<BusPeer> BusRegistry::peerMatchingAddress(const platform::SocketAddress& address) const {
    std::lock_guard lock(mapMutex_);
    auto it = addressesToPeers_.find(address);
    return it == addressesToPeers_.end() ? nullptr : it->second;
}

std::shared_ptr<BusPeer> BusRegistry::peerMatchingName(std::string_view name) const {
    std::lock_guard lock(mapMutex_);
    auto it = namesToPeers_.find(name);
    return it == namesToPeers_.end() ? nullptr : it->second;
}

std::shared_ptr<BusPeer> BusRegistry::peerMatchingService(const std::string& serviceName) const {
    for (const auto& peer : peers()) {
        std::string name = peer->serviceName();
        if (!name.empty()) {
            if (name == serviceName) return peer;
        } else if (BusPeerTypeIsLocal(peer->type()) &&
                   serviceName == registryNameForPeerWithName(peer->name(), peer->deviceName())) {
            return peer;
        }
    }
    return nullptr;
}

void BusRegistry::peerLine(const BusPeer& peer, const char* kind) const {
    auto line = [&] { return fmt::format(fmt::runtime(kind), peer.description()); };
    if (endpoint_) {
        endpoint_->peerLog().log(&peer, kind, line);
    } else {
        busLogLine(line());
    }
}

void BusRegistry::postPeerNotification(const char* name, const std::shared_ptr<BusPeer>& peer) {
    notifications_.post(name, this, peer);
}

}  // namespace strombel::hub
