#include "platform/device_info.h"

#include <ifaddrs.h>
#include <net/if.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>

#include "platform/device_facts.h"

namespace strombel::platform {

std::string DeviceInfo::deviceName() {
    const std::optional<std::string> pretty = DeviceFacts().machineInfo("PRETTY_HOSTNAME");
    if (pretty && !pretty->empty()) return *pretty;
    char name[256] = {};
    if (::gethostname(name, sizeof name - 1) == 0 && name[0]) return name;
    return "localhost";
}

std::optional<std::string> DeviceInfo::primaryHardwareAddress() {
    std::error_code error;
    std::vector<std::string> names;
    for (std::filesystem::directory_iterator it("/sys/class/net", error), end; !error && it != end;
         it.increment(error)) {
        names.push_back(it->path().filename().string());
    }
    // The kernel's interface order: by index.
    std::sort(names.begin(), names.end(), [](const std::string& a, const std::string& b) {
        return if_nametoindex(a.c_str()) < if_nametoindex(b.c_str());
    });
    for (const auto& name : names) {
        std::ifstream flagsFile("/sys/class/net/" + name + "/flags");
        unsigned long flags = 0;
        flagsFile >> std::hex >> flags;
        if (flags & IFF_LOOPBACK) continue;
        std::ifstream addressFile("/sys/class/net/" + name + "/address");
        std::string address;
        addressFile >> address;
        if (address.size() != 17) continue;
        std::transform(address.begin(), address.end(), address.begin(), ::toupper);
        return address;
    }
    return std::nullopt;
}

std::vector<SocketAddress> DeviceInfo::interfaceAddresses() {
    std::vector<SocketAddress> addresses;
    ifaddrs* list = nullptr;
    if (::getifaddrs(&list) != 0) return addresses;
    for (ifaddrs* it = list; it; it = it->ifa_next) {
        if (!it->ifa_addr) continue;
        size_t length = it->ifa_addr->sa_family == AF_INET    ? sizeof(sockaddr_in)
                        : it->ifa_addr->sa_family == AF_INET6 ? sizeof(sockaddr_in6)
                                                              : 0;
        if (length == 0) continue;
        if (auto address = SocketAddress::fromBytes(it->ifa_addr, length)) {
            address->setPort(0);
            addresses.push_back(*address);
        }
    }
    ::freeifaddrs(list);
    return addresses;
}

bool DeviceInfo::isLocal(const std::vector<SocketAddress>& addresses) {
    auto own = interfaceAddresses();
    for (const auto& address : addresses) {
        for (const auto& mine : own) {
            if (address.family() != mine.family()) continue;
            // Link-local IPv6 addresses carry their interface as scope; the host part decides.
            SocketAddress a = address, b = mine;
            if (a.isIPv6()) {
                auto* a6 = reinterpret_cast<sockaddr_in6*>(a.get());
                auto* b6 = reinterpret_cast<sockaddr_in6*>(b.get());
                if (std::equal(std::begin(a6->sin6_addr.s6_addr), std::end(a6->sin6_addr.s6_addr),
                               std::begin(b6->sin6_addr.s6_addr)))
                    return true;
                continue;
            }
            if (a.sameHost(b)) return true;
        }
    }
    return false;
}

}  // namespace strombel::platform
