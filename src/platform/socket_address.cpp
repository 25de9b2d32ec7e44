#include "platform/socket_address.h"

#include <arpa/inet.h>
#include <net/if.h>

#include <array>
#include <cstdlib>
#include <tuple>

namespace strombel::platform {

namespace {

// The fields that make an address: family, host bytes, port, scope.
auto identity(const sockaddr_storage& storage) {
    std::array<uint8_t, 16> host{};
    uint16_t port = 0;
    uint32_t scope = 0;
    if (storage.ss_family == AF_INET) {
        const auto& in = reinterpret_cast<const sockaddr_in&>(storage);
        std::memcpy(host.data(), &in.sin_addr, 4);
        port = in.sin_port;
    } else if (storage.ss_family == AF_INET6) {
        const auto& in6 = reinterpret_cast<const sockaddr_in6&>(storage);
        std::memcpy(host.data(), &in6.sin6_addr, 16);
        port = in6.sin6_port;
        scope = in6.sin6_scope_id;
    }
    return std::make_tuple(int(storage.ss_family), host, port, scope);
}

}  // namespace

std::optional<SocketAddress> SocketAddress::fromBytes(const void* bytes, size_t length) {
    if (!bytes || length < sizeof(sa_family_t)) return std::nullopt;
    sa_family_t family;
    std::memcpy(&family, bytes, sizeof family);
    SocketAddress address;
    if (family == AF_INET && length >= sizeof(sockaddr_in)) {
        std::memcpy(&address.storage_, bytes, sizeof(sockaddr_in));
    } else if (family == AF_INET6 && length >= sizeof(sockaddr_in6)) {
        std::memcpy(&address.storage_, bytes, sizeof(sockaddr_in6));
    } else {
        return std::nullopt;
    }
    return address;
}

std::optional<SocketAddress> SocketAddress::fromText(std::string_view host, uint16_t port) {
    std::string text(host);
    SocketAddress address;
    auto* in = reinterpret_cast<sockaddr_in*>(&address.storage_);
    if (inet_pton(AF_INET, text.c_str(), &in->sin_addr) == 1) {
        in->sin_family = AF_INET;
        in->sin_port = htons(port);
        return address;
    }
    auto* in6 = reinterpret_cast<sockaddr_in6*>(&address.storage_);
    std::string bare = text;
    uint32_t scope = 0;
    if (auto percent = text.find('%'); percent != std::string::npos) {
        bare = text.substr(0, percent);
        std::string zone = text.substr(percent + 1);
        scope = if_nametoindex(zone.c_str());
        if (scope == 0) {
            char* end = nullptr;
            unsigned long number = std::strtoul(zone.c_str(), &end, 10);
            if (zone.empty() || *end != '\0') return std::nullopt;
            scope = static_cast<uint32_t>(number);
        }
    }
    std::memset(&address.storage_, 0, sizeof address.storage_);
    if (inet_pton(AF_INET6, bare.c_str(), &in6->sin6_addr) == 1) {
        in6->sin6_family = AF_INET6;
        in6->sin6_port = htons(port);
        in6->sin6_scope_id = scope;
        return address;
    }
    return std::nullopt;
}

SocketAddress SocketAddress::ipv4(uint32_t hostOrderAddress, uint16_t port) {
    SocketAddress address;
    auto* in = reinterpret_cast<sockaddr_in*>(&address.storage_);
    in->sin_family = AF_INET;
    in->sin_addr.s_addr = htonl(hostOrderAddress);
    in->sin_port = htons(port);
    return address;
}

uint16_t SocketAddress::port() const {
    if (isIPv4()) return ntohs(reinterpret_cast<const sockaddr_in&>(storage_).sin_port);
    if (isIPv6()) return ntohs(reinterpret_cast<const sockaddr_in6&>(storage_).sin6_port);
    return 0;
}

void SocketAddress::setPort(uint16_t port) {
    if (isIPv4()) reinterpret_cast<sockaddr_in&>(storage_).sin_port = htons(port);
    if (isIPv6()) reinterpret_cast<sockaddr_in6&>(storage_).sin6_port = htons(port);
}

socklen_t SocketAddress::length() const {
    if (isIPv4()) return sizeof(sockaddr_in);
    if (isIPv6()) return sizeof(sockaddr_in6);
    return 0;
}

std::string SocketAddress::hostText() const {
    char buffer[INET6_ADDRSTRLEN + IF_NAMESIZE + 2] = {};
    if (isIPv4()) {
        inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in&>(storage_).sin_addr, buffer, sizeof buffer);
    } else if (isIPv6()) {
        const auto& in6 = reinterpret_cast<const sockaddr_in6&>(storage_);
        inet_ntop(AF_INET6, &in6.sin6_addr, buffer, sizeof buffer);
        if (in6.sin6_scope_id != 0) return std::string(buffer) + "%" + std::to_string(in6.sin6_scope_id);
    }
    return buffer;
}

std::string SocketAddress::text() const {
    if (isIPv6()) return "[" + hostText() + "]:" + std::to_string(port());
    if (isIPv4()) return hostText() + ":" + std::to_string(port());
    return "(no address)";
}

namespace {

// The IPv4 address of an AF_INET address, or of an IPv4-mapped IPv6 one.
std::optional<uint32_t> ipv4HostOrder(const sockaddr_storage& storage) {
    if (storage.ss_family == AF_INET) {
        return ntohl(reinterpret_cast<const sockaddr_in*>(&storage)->sin_addr.s_addr);
    }
    if (storage.ss_family == AF_INET6) {
        const auto& address = reinterpret_cast<const sockaddr_in6*>(&storage)->sin6_addr;
        if (IN6_IS_ADDR_V4MAPPED(&address)) {
            const uint8_t* b = address.s6_addr + 12;
            return (uint32_t(b[0]) << 24) | (uint32_t(b[1]) << 16) | (uint32_t(b[2]) << 8) | b[3];
        }
    }
    return std::nullopt;
}

}  // namespace

bool SocketAddress::isLoopback() const {
    if (auto v4 = ipv4HostOrder(storage_)) return (*v4 >> 24) == 127;
    if (!isIPv6()) return false;
    return IN6_IS_ADDR_LOOPBACK(&reinterpret_cast<const sockaddr_in6*>(&storage_)->sin6_addr);
}

bool SocketAddress::isUnicast() const {
    if (auto v4 = ipv4HostOrder(storage_)) {
        // Not 0.0.0.0/8 (this network), 224.0.0.0/4 (multicast), nor
        // 240.0.0.0/4 (reserved, the broadcast address among them).
        return (*v4 >> 24) != 0 && (*v4 >> 28) != 0xE && (*v4 >> 28) != 0xF;
    }
    if (!isIPv6()) return false;
    const auto& address = reinterpret_cast<const sockaddr_in6*>(&storage_)->sin6_addr;
    return !IN6_IS_ADDR_UNSPECIFIED(&address) && !IN6_IS_ADDR_MULTICAST(&address);
}

bool SocketAddress::sameHost(const SocketAddress& other) const {
    auto [family, host, port, scope] = identity(storage_);
    auto [otherFamily, otherHost, otherPort, otherScope] = identity(other.storage_);
    (void)port;
    (void)otherPort;
    return family == otherFamily && host == otherHost && scope == otherScope;
}

bool SocketAddress::operator==(const SocketAddress& other) const {
    return identity(storage_) == identity(other.storage_);
}

bool SocketAddress::operator<(const SocketAddress& other) const {
    return identity(storage_) < identity(other.storage_);
}

}  // namespace strombel::platform
