#pragma once

#include <netinet/in.h>
#include <sys/socket.h>

#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>

namespace strombel::platform {

/// An IPv4 or IPv6 socket address as Linux lays it out (`sockaddr_in`, 16 bytes,
/// or `sockaddr_in6`, 28 bytes; the family is the 16-bit field at offset 0).
/// Two addresses are equal when family, host address, port and (IPv6) scope are;
/// the padding and the flow label never take part, so the same sender always
/// compares equal however the kernel filled the rest.
class SocketAddress {
public:
    SocketAddress() { std::memset(&storage_, 0, sizeof storage_); }

    /// From raw socket-address bytes; absent unless they hold a whole AF_INET or
    /// AF_INET6 address.
    static std::optional<SocketAddress> fromBytes(const void* bytes, size_t length);
    /// From numeric host text ("127.0.0.1", "::1", "fe80::1%lo") and a port.
    static std::optional<SocketAddress> fromText(std::string_view host, uint16_t port);
    static SocketAddress ipv4(uint32_t hostOrderAddress, uint16_t port);

    int family() const { return storage_.ss_family; }
    bool isIPv4() const { return family() == AF_INET; }
    bool isIPv6() const { return family() == AF_INET6; }
    bool valid() const { return isIPv4() || isIPv6(); }
    uint16_t port() const;
    void setPort(uint16_t port);
    /// 16 for IPv4, 28 for IPv6, 0 otherwise.
    socklen_t length() const;

    const sockaddr* get() const { return reinterpret_cast<const sockaddr*>(&storage_); }
    sockaddr* get() { return reinterpret_cast<sockaddr*>(&storage_); }

    /// Numeric host text without the port.
    std::string hostText() const;
    /// "host:port" ("[host]:port" for IPv6).
    std::string text() const;

    /// A host of this machine's loopback: 127.0.0.0/8, ::1, or 127.0.0.0/8
    /// mapped into IPv6.
    bool isLoopback() const;
    /// One host's address: not multicast, broadcast or unspecified (a datagram
    /// to it reaches one place).
    bool isUnicast() const;

    /// Same family and host address, ports not compared.
    bool sameHost(const SocketAddress& other) const;
    bool operator==(const SocketAddress& other) const;
    bool operator<(const SocketAddress& other) const;

private:
    sockaddr_storage storage_;
};

}  // namespace strombel::platform
