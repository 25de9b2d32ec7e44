#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <shared_mutex>
#include <string>
#include <thread>
#include <vector>

#include "hub/bus_log.h"
#include "platform/key_value_observing.h"
#include "platform/main_loop.h"
#include "platform/message_port.h"
#include "platform/notification_center.h"
#include "platform/service_discovery.h"
#include "platform/socket_address.h"
#include "platform/udp_socket.h"
#include "platform/user_defaults.h"
#include "platform/worker.h"

namespace strombel::platform {
class MainBundle;
}

namespace strombel::hub {

class BusLocalEndpoint;
class BusPeer;
class BusRegistry;

/// Send results of the bus.
enum BusSendResult : int32_t {
    BusSendOk = 0,
    BusSendErrorFailed = -1232,
    BusSendErrorNoBufferSpace = -1233,
    BusSendErrorPeerUnavailable = -1234,
    BusSendErrorNoAddress = -1235,
};

/// Posted on the main loop (sender: the endpoint) when a socket whose send
/// buffer was full can write again.
inline constexpr const char* kBusLocalEndpointCanSendNotification = "BusLocalEndpointCanSendNotification";

/// The user-defaults key of the endpoint's persistent identifier.
inline constexpr const char* kBusLocalEndpointIDKey = "BusLocalEndpoint ID";

/// Receives every message that reaches the endpoint.
class BusLocalEndpointDelegate {
public:
    virtual ~BusLocalEndpointDelegate() = default;
    /// Called on the endpoint's listener thread for every message from a known
    /// peer, with the endpoint's lock held. `bytes` is valid only during the call:
    /// copy what you keep. Must be quick, must not wait for the main thread, and
    /// may add or remove delegates (the change takes effect with the next message).
    /// `peer` is the same object for every message of one sender.
    virtual void endpoint(BusLocalEndpoint& endpoint, const uint8_t* bytes, uint64_t length,
                          const std::shared_ptr<BusPeer>& peer) = 0;
};

struct BusLocalEndpointOptions {
    // Required: the endpoint's loop, user defaults and notification centre.
    platform::MainLoop* loop = nullptr;
    platform::UserDefaults* defaults = nullptr;
    platform::NotificationCenter* notifications = nullptr;
    /// Bind to this IPv4 address only (a test's "other device", 127.0.0.2).
    std::optional<platform::SocketAddress> bindAddress;
    /// Listen on every interface (0.0.0.0 and ::), for peers the network
    /// discovery finds; otherwise on 127.0.0.1 and ::1 alone.
    bool networkDiscovery = false;
    /// Ask real-time scheduling for the listener thread.
    bool realTime = true;
    /// For tests: the wake-up channels of the listener that cannot be made.
    enum class WakeFailure { None, EventFd, EventFdAndPipe };
    WakeFailure failWakeForTesting = WakeFailure::None;
};

/// This process's end of the message bus: a UDP port (IPv4 and IPv6), a local
/// message port at platform version 7 and below, and a loopback, all read by one
/// real-time listener thread ("org.thrumwell.listener") that turns every message
/// into a call of the delegates with the peer that sent it.
class BusLocalEndpoint : public platform::KeyValueObservable {
public:
    using Options = BusLocalEndpointOptions;

    /// An endpoint named after `bundle`'s executable; stops the process with
    /// "Your app's Info.plist must have a CFBundleExecutable key." without one.
    static std::unique_ptr<BusLocalEndpoint> create(platform::MainBundle& bundle, Options options);
    /// `options` names the loop, defaults and notification centre to use.
    BusLocalEndpoint(std::string name, Options options);
    ~BusLocalEndpoint() override;
    BusLocalEndpoint(const BusLocalEndpoint&) = delete;
    BusLocalEndpoint& operator=(const BusLocalEndpoint&) = delete;

    /// Adds a delegate once; safe from any thread, including inside a delivery.
    void addDelegate(BusLocalEndpointDelegate* delegate);
    /// Removes a delegate. Once this returns from a thread other than the
    /// listener's, the delegate is not called again.
    void removeDelegate(BusLocalEndpointDelegate* delegate);
    size_t delegateCount() const;

    /// The peer standing for this endpoint (type self), made on first use.
    std::shared_ptr<BusPeer> selfPeer();

    const std::string& name() const { return name_; }
    const std::string& uniqueID() const { return uniqueID_; }
    /// The advertised metadata; "metadata" observers are told of a change. Main thread.
    const platform::TxtRecord& metadata() const { return metadata_; }
    void setMetadata(platform::TxtRecord metadata);

    /// The registry that names senders; set by the controller (not owned).
    void setRegistry(BusRegistry* registry);
    BusRegistry* registry() const;

    /// The UDP port of both sockets (0 before the first bind); "socketPort"
    /// observers are told, on the main loop, when a rebind changes it.
    int32_t socketPort() const { return socketPort_.load(); }
    bool hasSocketSendBufferSpace() const { return hasSocketSendBufferSpace_.load(); }
    bool hasSocketv6SendBufferSpace() const { return hasSocketv6SendBufferSpace_.load(); }
    bool hasSockets() const;
    /// Listening on every interface for peers the network discovery finds;
    /// otherwise on this machine's loopback alone.
    bool networkDiscovery() const { return networkDiscovery_; }
    bool hasMessagePort() const { return messagePort_.isOpen(); }

    platform::MainLoop& loop() const { return loop_; }
    platform::NotificationCenter& notifications() const { return notifications_; }
    /// The limit on lines that peers cause, shared by everything on this
    /// endpoint (the controller, the registry, resource loads and hosts).
    BusLogLimiter& peerLog() const { return peerLog_; }

    /// Sends one datagram to `address` without waiting (BusLocalEndpointSendToAddress).
    int32_t sendToAddress(const platform::SocketAddress& address, const uint8_t* bytes, size_t length);
    /// Queues a message to this endpoint's own delegates; delivered on the listener
    /// thread in the order sent (BusLocalEndpointSendLoopback). Returns 0.
    int32_t sendLoopback(const uint8_t* bytes, size_t length);

    /// The hardware address of the first non-loopback interface, or absent.
    static std::optional<std::string> macAddress();

    /// Whether the listener runs: false when its wake-up channel could not be
    /// made (logged); the endpoint then has no sockets and delivers nothing.
    bool listening() const { return listener_.running(); }

    /// For tests: counts of what the listener dropped, and its attempts to make
    /// the sockets anew.
    struct Counters {
        std::atomic<uint64_t> truncated{0};
        std::atomic<uint64_t> unknownSender{0};
        std::atomic<uint64_t> invalidFrames{0};
        std::atomic<uint64_t> socketRecreations{0};
    };
    const Counters& counters() const { return counters_; }
    /// For tests: closes the sockets under the listener, as a dead interface would.
    void breakSocketsForTesting();
    /// For tests: the next `sends` sends to an address find the socket's send
    /// buffer full, as a flooded socket's are (the listener then watches for
    /// room, which the socket has).
    void fillSendBufferForTesting(uint32_t sends) { fullSendsForTesting_.store(sends); }

private:
    bool setupMessagePort();
    bool setupSockets();
    bool openWakeChannel(Options::WakeFailure failure);
    /// Closes the sockets after a read failure; the listener makes them anew.
    void dropBrokenSockets();
    /// Makes missing sockets anew, at most once a second; returns the poll
    /// time-out in milliseconds until the next attempt (-1: none is due).
    int remakeSocketsIfDue();
    void listen();
    void wakeListener();
    void drainWakeChannel();
    void readSocket(int socket);
    void readMessagePort();
    void drainLoopback();
    void deliver(const uint8_t* bytes, size_t length, const std::shared_ptr<BusPeer>& peer);
    void socketCanWrite(bool v6);
    std::shared_ptr<BusPeer> peerForAddress(const platform::SocketAddress& address);
    std::shared_ptr<BusPeer> peerForName(const std::string& name);

    const std::string name_;
    platform::MainLoop& loop_;
    platform::UserDefaults& defaults_;
    platform::NotificationCenter& notifications_;
    std::optional<platform::SocketAddress> bindAddress_;
    bool networkDiscovery_;
    bool realTime_;
    std::string uniqueID_;
    platform::TxtRecord metadata_;
    mutable BusLogLimiter peerLog_;

    // The delegate list and the registry pointer, under the re-entrant lock
    // held for each whole delivery.
    mutable std::recursive_mutex lock_;
    std::shared_ptr<const std::vector<BusLocalEndpointDelegate*>> delegates_;
    BusRegistry* registry_ = nullptr;

    std::mutex selfPeerMutex_;
    std::shared_ptr<BusPeer> selfPeer_;

    // Senders on any thread share the sockets; the listener replaces them.
    mutable std::shared_mutex socketsMutex_;
    platform::UdpSocketPair sockets_;
    std::atomic<int32_t> socketPort_{0};
    std::atomic<bool> hasSocketSendBufferSpace_{true};
    std::atomic<bool> hasSocketv6SendBufferSpace_{true};
    platform::MessagePort messagePort_;

    std::mutex loopbackMutex_;
    std::deque<std::vector<uint8_t>> loopback_;

    // The listener's preallocated buffers.
    std::vector<uint8_t> readData_;
    std::vector<uint8_t> portData_;

    // The listener's wake-up channel: an eventfd (both ends the same), or a pipe.
    int wakeRead_ = -1;
    int wakeWrite_ = -1;
    // The listener's own: sockets lost to a read failure are made anew on the
    // same port, one attempt a second, and a failure is logged once until its
    // text changes.
    uint64_t nextSetupAttempt_ = 0;
    std::string lastSetupFailure_;
    std::atomic<bool> stopping_{false};
    std::atomic<bool> breakSockets_{false};
    std::atomic<uint32_t> fullSendsForTesting_{0};
    platform::Worker listener_;
    Counters counters_;
    std::shared_ptr<BusLocalEndpoint*> alive_;
};

}  // namespace strombel::hub
