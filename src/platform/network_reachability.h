#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "platform/main_loop.h"

namespace strombel::platform {

/// The reachability flags as the tablet platform reports them.
namespace reachability_flags {
inline constexpr uint32_t kTransientConnection = 1;
inline constexpr uint32_t kReachable = 2;
inline constexpr uint32_t kConnectionRequired = 4;
inline constexpr uint32_t kConnectionOnTraffic = 8;
inline constexpr uint32_t kInterventionRequired = 0x10;
inline constexpr uint32_t kConnectionOnDemand = 0x20;
inline constexpr uint32_t kIsLocalAddress = 0x10000;
inline constexpr uint32_t kIsDirect = 0x20000;
inline constexpr uint32_t kIsWWAN = 0x40000;
}  // namespace reachability_flags

/// Whether a host or an address could be reached, from the kernel's routing
/// table (netlink): no daemon, no name lookup, no packet sent.
///
/// An address is asked with a route query (RTM_GETROUTE): a route makes it
/// reachable; a local route adds the local-address flag; a route without a
/// gateway (on-link) adds is-direct; an output device that is a mobile broadband
/// modem adds is-cellular. A host name, and the address 0.0.0.0 (any internet
/// connection), are judged by the default route in the same way.
///
/// The notifier watches link, address and route events and tells the main loop
/// it was started on whenever the flags change.
class NetworkReachability {
public:
    /// A reachability for a host name; null for an empty name. A numeric name is
    /// asked as its address.
    static std::unique_ptr<NetworkReachability> forHostName(const std::string& host);
    /// A reachability for an IPv4 address (host byte order).
    static std::unique_ptr<NetworkReachability> forIPv4Address(uint32_t hostOrderAddress);

    ~NetworkReachability();
    NetworkReachability(const NetworkReachability&) = delete;
    NetworkReachability& operator=(const NetworkReachability&) = delete;

    /// The flags now; absent when the kernel could not be asked.
    std::optional<uint32_t> flags() const;

    /// Watches the kernel's link, address and route events on a thread of its own
    /// and calls `changed` with the new flags on `loop` whenever they differ from
    /// the last ones seen. False when the watch could not be set up. Never calls
    /// `changed` after `stopNotifier` or destruction.
    bool startNotifier(MainLoop& loop, std::function<void(uint32_t flags)> changed);
    void stopNotifier();

    /// Where the interfaces' facts are read ("/sys" normally; tests hand in a
    /// synthesized tree).
    void setSysfsRoot(std::filesystem::path root) { sysfsRoot_ = std::move(root); }

    /// True when the interface is a mobile broadband modem: its uevent says
    /// DEVTYPE=wwan, or its name begins with "ww".
    static bool isCellularInterface(const std::filesystem::path& sysfsRoot, const std::string& name);

private:
    struct Notifier;
    NetworkReachability() = default;

    bool usesDefaultRoute_ = true;
    uint32_t address_ = 0;  // host order, when not the default route
    std::filesystem::path sysfsRoot_ = "/sys";
    std::unique_ptr<Notifier> notifier_;
};

}  // namespace strombel::platform
