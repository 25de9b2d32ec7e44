#pragma once

#include <optional>
#include <string>
#include <vector>

#include "platform/socket_address.h"

namespace strombel::platform {

/// What the program knows of the machine it runs on.
class DeviceInfo {
public:
    /// The user-visible name: the pretty host name of /etc/machine-info, else the
    /// host name.
    static std::string deviceName();
    /// The hardware address of the first network interface that is not a loopback
    /// (the platform's "en0"), as "AA:BB:CC:DD:EE:FF"; absent when there is none.
    static std::optional<std::string> primaryHardwareAddress();
    /// The IPv4 and IPv6 addresses of every interface (port 0).
    static std::vector<SocketAddress> interfaceAddresses();
    /// True when one of `addresses` is an address of this machine.
    static bool isLocal(const std::vector<SocketAddress>& addresses);
};

}  // namespace strombel::platform
