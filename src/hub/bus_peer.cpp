#include "hub/bus_peer.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "hub/bus_local_endpoint.h"
#include "hub/bus_log.h"
#include "hub/bus_message.h"
#include "hub/bus_registry.h"
#include "hub/hub_controller.h"
#include "platform/device_info.h"
#include "platform/platform_version.h"

namespace strombel::hub {

namespace {

std::optional<uint32_t> sequenceOf(const platform::TxtRecord& txt) {
    auto it = txt.find("sequence");
    if (it == txt.end()) return std::nullopt;
    return static_cast<uint32_t>(std::strtoll(it->second.c_str(), nullptr, 10));
}

// n is newer than s in 32-bit serial arithmetic.
bool isNewer(uint32_t n, uint32_t s) {
    int64_t next = n, stored = s;
    return (stored < next && next <= stored + 2147483647) || next <= stored - 2147483647;
}

std::string valueOr(const platform::TxtRecord& txt, const char* key, std::string fallback = {}) {
    auto it = txt.find(key);
    return it == txt.end() ? fallback : it->second;
}

}  // namespace

std::shared_ptr<BusPeer> BusPeer::withService(const platform::ServiceRecord& service, BusLocalEndpoint* endpoint) {
    std::shared_ptr<BusPeer> peer(new BusPeer());
    peer->sendBuffer_.resize(kBusPeerMaxPacketSize);
    peer->endpoint_ = endpoint;
    peer->observeEndpoint();
    if (!peer->setNetService(service)) return nullptr;
    return peer;
}

std::shared_ptr<BusPeer> BusPeer::loopback(const std::string& name, BusLocalEndpoint* endpoint) {
    std::shared_ptr<BusPeer> peer(new BusPeer());
    peer->name_ = name;
    peer->endpoint_ = endpoint;
    peer->uniqueID_ = endpoint ? endpoint->uniqueID() : std::string();
    peer->deviceName_ = platform::DeviceInfo::deviceName();
    peer->type_ = BusPeerTypeSelf;
    peer->present_ = true;
    peer->observeEndpoint();
    return peer;
}

BusPeer::~BusPeer() {
    // The centre outlives the endpoint, which may already be gone.
    if (notifications_ && canSendObserver_) notifications_->removeObserver(canSendObserver_);
}

void BusPeer::observeEndpoint() {
    if (!endpoint_) return;
    // The notification is posted on the main loop; so is ours.
    std::weak_ptr<BusPeer> weak = weak_from_this();
    auto& center = endpoint_->notifications();
    notifications_ = &center;
    canSendObserver_ = center.addObserver(kBusLocalEndpointCanSendNotification, endpoint_, [weak, &center](const auto&) {
        if (auto peer = weak.lock()) center.post(kBusPeerCanSendNotification, peer.get());
    });
}

bool BusPeer::setNetService(const platform::ServiceRecord& service) {
    std::string peerName, deviceName;
    if (!BusRegistry::parseRegistryName(service.name, peerName, deviceName)) {
        busLog("Invalid service name {}", escapedForLog(service.name));
        return false;
    }
    bool metadataChanged = false;
    {
        std::lock_guard lock(mutex_);
        metadataChanged = takeService(service, peerName, deviceName);
    }
    // A service resolved again may announce other ports and triggers: its
    // observers read the metadata anew, as after a TXT update.
    if (metadataChanged) didChangeValueForKey("metadata");
    return true;
}

bool BusPeer::takeService(const platform::ServiceRecord& service, const std::string& peerName,
                          const std::string& deviceName) {
    service_ = service;
    const bool metadataChanged = metadata_ != service.txt;
    metadata_ = service.txt;
    if (metadata_.empty()) busLog("Warning: No peer metadata available");
    if (type_ == BusPeerTypeSelf) return metadataChanged;
    name_ = peerName;
    uniqueID_ = valueOr(metadata_, "deviceID");
    deviceName_ = deviceName;
    auto versionText = valueOr(metadata_, "BusVersion");
    version_ = versionText.empty() ? 1 : std::atoi(versionText.c_str());
    if (auto sequence = sequenceOf(metadata_)) metadataSequenceNumber_ = *sequence;
    bool serviceIsLocal = platform::DeviceInfo::isLocal(service.addresses);

    if (version_ < 3 && (type_ == BusPeerTypeLocal || serviceIsLocal) && platform::PlatformVersion::current() < 8.0) {
        type_ = BusPeerTypeLocal;
        address_.reset();
        if (endpoint_) {
            if (!openMessagePort()) {
                busLog("Couldn't create a remote message port endpoint for \"{}\"", escapedForLog(name_));
                portState_ = PortState::PendingRecreation;
            }
            maxPacketSize_ = kBusPeerMaxPacketSize - kBusMessagePortHeaderLength;
        }
    } else {
        if (type_ != BusPeerTypeLocal) type_ = serviceIsLocal ? BusPeerTypeLocal : BusPeerTypeRemote;
        address_.reset();
        for (const auto& address : service.addresses) {
            if (address.valid()) {
                address_ = address;
                address_->setPort(service.port);
                break;
            }
        }
        if (endpoint_) maxPacketSize_ = static_cast<int32_t>(kBusUdpPacketSize);
    }
    present_ = true;
    return metadataChanged;
}

void BusPeer::netServiceDidUpdateTXTRecordData(const platform::TxtRecord& txt) {
    {
        std::lock_guard lock(mutex_);
        if (auto sequence = sequenceOf(txt)) {
            if (!isNewer(*sequence, metadataSequenceNumber_)) return;
            metadataSequenceNumber_ = *sequence;
        }
        if (txt == metadata_) return;
        metadata_ = txt;
        auto versionText = valueOr(metadata_, "BusVersion");
        version_ = versionText.empty() ? 1 : std::atoi(versionText.c_str());
    }
    didChangeValueForKey("metadata");
}

std::string BusPeer::name() const {
    std::lock_guard lock(mutex_);
    return name_;
}

std::string BusPeer::deviceName() const {
    std::lock_guard lock(mutex_);
    return deviceName_;
}

std::string BusPeer::uniqueID() const {
    std::lock_guard lock(mutex_);
    return uniqueID_;
}

platform::TxtRecord BusPeer::metadata() const {
    std::lock_guard lock(mutex_);
    return metadata_;
}

std::optional<platform::ServiceRecord> BusPeer::netService() const {
    std::lock_guard lock(mutex_);
    return service_;
}

std::string BusPeer::serviceName() const {
    std::lock_guard lock(mutex_);
    return service_ ? service_->name : std::string();
}

std::optional<platform::SocketAddress> BusPeer::socketAddress() const {
    std::lock_guard lock(mutex_);
    return address_;
}

bool BusPeer::matches(const platform::SocketAddress& address, bool checkPort) const {
    std::lock_guard lock(mutex_);
    if (!service_ || !address.valid()) return false;
    for (auto candidate : service_->addresses) {
        candidate.setPort(service_->port);
        if (checkPort ? candidate == address : candidate.sameHost(address)) return true;
    }
    return false;
}

bool BusPeer::matchesName(const std::string& name, bool checkName) const {
    if (!BusPeerTypeIsLocal(type_)) return false;
    if (!checkName) return true;
    std::lock_guard lock(mutex_);
    return name == name_;
}

bool BusPeer::hasSocketSendSpace() const {
    if (!endpoint_) return true;
    auto address = socketAddress();
    return address && address->isIPv6() ? endpoint_->hasSocketv6SendBufferSpace()
                                        : endpoint_->hasSocketSendBufferSpace();
}

std::string BusPeer::description() const {
    // What the user reads in the log: the peer's name and where it is, no heap address.
    std::lock_guard lock(mutex_);
    std::string name = escapedForLog(name_);
    switch (type_.load()) {
    case BusPeerTypeSelf:
        return fmt::format("<Peer {} (self)>", name);
    case BusPeerTypeLocal:
        return fmt::format("<Peer {} (local)>", name);
    case BusPeerTypeRemote:
        return fmt::format("<Peer {} ({}, {})>", name, escapedForLog(deviceName_),
                           address_ ? address_->text() : std::string("no address"));
    default:
        return fmt::format("<Peer {} (unresolved)>", name);
    }
}

bool BusPeer::openMessagePort() {
    if (!platform::MessagePort::exists(name_)) return false;
    if (!port_.openForSending()) return false;
    portState_ = PortState::Open;
    return true;
}

int32_t BusPeerSendMessage(BusPeer& peer, const uint8_t* bytes, size_t length) {
    HubVerify(length <= kBusMaximumMessageLength, "length <= kSendBufferLength", __FILE__, __LINE__);
    return peer.send(bytes, length);
}

int32_t BusPeer::send(const uint8_t* bytes, size_t length) {
    std::lock_guard lock(mutex_);
    if (portState_ != PortState::None) {
        if (platform::PlatformVersion::major() > 7) return BusSendOk;
        if (portState_ == PortState::PendingRecreation) {
            if (!present_) return BusSendErrorPeerUnavailable;
            if (!openMessagePort()) return BusSendErrorPeerUnavailable;
        }
        HubVerify(kBusMessagePortHeaderLength + length <= static_cast<size_t>(kBusPeerMaxPacketSize),
                  "length + messagePortHeaderBufferLength <= kSendBufferLength", __FILE__, __LINE__);
        // The frame names the sender: this endpoint, by its UTF-8 name, cut at
        // 128 bytes (a longer name is then not recognised by the receiver).
        std::memset(sendBuffer_.data(), 0, kBusMessagePortHeaderLength);
        const std::string& own = endpoint_->name();
        size_t nameLength = std::min<size_t>(own.size(), kBusMessagePortHeaderLength - 1);
        sendBuffer_[0] = static_cast<uint8_t>(nameLength);
        std::memcpy(sendBuffer_.data() + 1, own.data(), nameLength);
        std::memcpy(sendBuffer_.data() + kBusMessagePortHeaderLength, bytes, length);
        size_t frameLength = kBusMessagePortHeaderLength + length;
        int status = port_.send(name_, sendBuffer_.data(), frameLength);
        if (status == 0) {
            reportedError_ = false;  // the next failure is told again
            return BusSendOk;
        }
        port_.close();
        if (!present_) {
            portState_ = PortState::PendingRecreation;
            return BusSendErrorPeerUnavailable;
        }
        if (!openMessagePort()) {
            if (!reportedError_) busLog("Couldn't recreate message port for peer {}", escapedForLog(name_));
            reportedError_ = true;
            portState_ = PortState::PendingRecreation;
            return BusSendErrorPeerUnavailable;
        }
        reportedError_ = false;
        status = port_.send(name_, sendBuffer_.data(), frameLength);
        if (status != 0) {
            if (!reportedError_) busLog("Couldn't send message to {}: Error {}", description(), status);
            reportedError_ = true;
            return status;
        }
        return BusSendOk;
    }
    if (type_ == BusPeerTypeSelf) return endpoint_ ? endpoint_->sendLoopback(bytes, length) : BusSendErrorFailed;
    HubVerify(endpoint_ != nullptr, "THIS->_localEndpoint", __FILE__, __LINE__);
    if (!address_) return BusSendErrorNoAddress;
    int32_t result = endpoint_->sendToAddress(*address_, bytes, length);
    if (result != BusSendOk) {
        if (!reportedError_ && result != BusSendErrorNoBufferSpace) {
            reportedError_ = true;
            busLog("Couldn't send message to {}: {}", description(), std::strerror(errno ? errno : EIO));
        }
        return result;
    }
    reportedError_ = false;
    return BusSendOk;
}

}  // namespace strombel::hub
