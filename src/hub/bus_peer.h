#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "platform/key_value_observing.h"
#include "platform/message_port.h"
#include "platform/notification_center.h"
#include "platform/service_discovery.h"
#include "platform/socket_address.h"

namespace strombel::hub {

class BusLocalEndpoint;

/// Posted on the main loop (sender: the peer) when the socket this peer is
/// reached through can send again.
inline constexpr const char* kBusPeerCanSendNotification = "BusPeerCanSendNotification";

enum BusPeerType : int32_t {
    BusPeerTypeUnresolved = -1,
    BusPeerTypeLocal = 0,
    BusPeerTypeRemote = 1,
    BusPeerTypeSelf = 2,
};
/// True for peers on this device: local and self.
constexpr bool BusPeerTypeIsLocal(int32_t type) { return type == BusPeerTypeLocal || type == BusPeerTypeSelf; }

/// The largest message to a peer of each transport.
constexpr int32_t kBusPeerMaxPacketSize = 16384;
constexpr int32_t kBusMessagePortHeaderLength = 129;

/// One application instance on the bus as this process sees it: another program
/// on this machine, one on another device, or this endpoint itself. Made by the
/// registry (one per discovered service) and by the endpoint (the self peer);
/// held by shared pointer, and the same object for every message of one sender.
class BusPeer : public platform::KeyValueObservable, public std::enable_shared_from_this<BusPeer> {
public:
    /// A peer for a resolved service; absent when its name does not parse.
    static std::shared_ptr<BusPeer> withService(const platform::ServiceRecord& service, BusLocalEndpoint* endpoint);
    /// The self peer of an endpoint.
    static std::shared_ptr<BusPeer> loopback(const std::string& name, BusLocalEndpoint* endpoint);
    ~BusPeer() override;
    BusPeer(const BusPeer&) = delete;
    BusPeer& operator=(const BusPeer&) = delete;

    /// Takes a (re)resolved service: name, metadata, transport; "metadata"
    /// observers hear of metadata that changed. False when its name does not
    /// parse ("Invalid service name %@"); the peer is then unchanged.
    bool setNetService(const platform::ServiceRecord& service);
    /// Takes a TXT update, newer "sequence" numbers only. Main thread.
    void netServiceDidUpdateTXTRecordData(const platform::TxtRecord& txt);

    int32_t type() const { return type_.load(); }
    int32_t maxPacketSize() const { return maxPacketSize_.load(); }
    int32_t version() const { return version_.load(); }
    bool present() const { return present_.load(); }
    void setPresent(bool present) { present_.store(present); }
    uint32_t metadataSequenceNumber() const { return metadataSequenceNumber_.load(); }

    std::string name() const;
    std::string deviceName() const;
    std::string uniqueID() const;
    /// The advertised metadata (TXT record); "metadata" observers hear of changes.
    platform::TxtRecord metadata() const;
    std::optional<platform::ServiceRecord> netService() const;
    /// The name of that service, empty without one.
    std::string serviceName() const;
    /// The socket address the peer is reached at, or absent (message-port peers
    /// are reached by name).
    std::optional<platform::SocketAddress> socketAddress() const;
    BusLocalEndpoint* localEndpoint() const { return endpoint_; }

    /// Free for the controller: its own object for this peer.
    std::shared_ptr<void> userInfo() const { return std::atomic_load(&userInfo_); }
    void setUserInfo(std::shared_ptr<void> info) { std::atomic_store(&userInfo_, std::move(info)); }

    /// True when one of the peer's service addresses is `address` (ports compared).
    bool matchesAddress(const platform::SocketAddress& address) const { return matches(address, true); }
    /// Same host, any port.
    bool isAtHostWithAddress(const platform::SocketAddress& address) const { return matches(address, false); }
    /// A message-port sender name: local peers only; `checkName` compares it.
    bool matchesName(const std::string& name, bool checkName = true) const;

    /// The endpoint's send-space flag for the family of this peer's address.
    bool hasSocketSendSpace() const;

    /// "<Peer name (device, address)>" and the like, names escaped.
    std::string description() const;

private:
    friend int32_t BusPeerSendMessage(BusPeer& peer, const uint8_t* bytes, size_t length);
    BusPeer() = default;
    void observeEndpoint();
    /// Takes a service whose name parsed, under the lock; true when its
    /// metadata differs from what the peer had.
    bool takeService(const platform::ServiceRecord& service, const std::string& peerName,
                     const std::string& deviceName);
    bool matches(const platform::SocketAddress& address, bool checkPort) const;
    bool openMessagePort();
    int32_t send(const uint8_t* bytes, size_t length);

    mutable std::recursive_mutex mutex_;
    BusLocalEndpoint* endpoint_ = nullptr;
    platform::NotificationCenter* notifications_ = nullptr;
    platform::NotificationCenter::ObserverId canSendObserver_ = 0;

    std::atomic<int32_t> type_{BusPeerTypeUnresolved};
    std::atomic<int32_t> maxPacketSize_{kBusPeerMaxPacketSize};
    std::atomic<int32_t> version_{1};
    std::atomic<bool> present_{false};
    std::atomic<uint32_t> metadataSequenceNumber_{0};
    std::string name_;
    std::string deviceName_;
    std::string uniqueID_;
    platform::TxtRecord metadata_;
    std::optional<platform::ServiceRecord> service_;
    std::optional<platform::SocketAddress> address_;
    std::shared_ptr<void> userInfo_;

    // Message-port transport (platform version 7 and below).
    enum class PortState { None, Open, PendingRecreation };
    PortState portState_ = PortState::None;
    platform::MessagePort port_;
    std::vector<uint8_t> sendBuffer_;
    bool reportedError_ = false;
};

/// Sends one message to a peer: through its message port, its socket address or
/// the loopback. Any thread; never blocks; the bytes are copied or sent before it
/// returns. 0, or a BusSendResult (or a negative message-port status). A length
/// over 16384 bytes is a misuse and stops the process.
int32_t BusPeerSendMessage(BusPeer& peer, const uint8_t* bytes, size_t length);
inline int32_t BusPeerSendMessage(BusPeer& peer, const std::vector<uint8_t>& message) {
    return BusPeerSendMessage(peer, message.data(), message.size());
}

}  // namespace strombel::hub
