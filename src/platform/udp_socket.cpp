#include "platform/udp_socket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace strombel::platform {

namespace {

constexpr int kTypeOfService = 16;
// Room for a burst of resource segments while the listener is busy (the kernel
// caps it at net.core.rmem_max).
constexpr int kReceiveBufferSize = 1024 * 1024;

std::string errorText(const char* what, int error) { return std::string(what) + ": " + std::strerror(error); }

void setOptions(int socket, bool v6) {
    int one = 1;
    setsockopt(socket, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    int receiveBuffer = kReceiveBufferSize;
    setsockopt(socket, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
    int tos = kTypeOfService;
    if (v6) {
        setsockopt(socket, IPPROTO_IPV6, IPV6_V6ONLY, &one, sizeof one);
        setsockopt(socket, IPPROTO_IPV6, IPV6_TCLASS, &tos, sizeof tos);
    } else {
        setsockopt(socket, IPPROTO_IP, IP_TOS, &tos, sizeof tos);
    }
}

}  // namespace

UdpSocketPair::OpenReport UdpSocketPair::open(uint16_t port, const SocketAddress* bindAddress, Reach reach) {
    close();
    OpenReport report;
    ipv4_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (ipv4_ < 0) {
        report.ipv4Error = errorText("socket", errno);
        return report;
    }
    setOptions(ipv4_, false);
    const bool network = reach == Reach::Network;
    SocketAddress local = SocketAddress::ipv4(network ? INADDR_ANY : INADDR_LOOPBACK, 0);
    if (bindAddress && bindAddress->isIPv4()) local = *bindAddress;
    local.setPort(port);
    if (::bind(ipv4_, local.get(), local.length()) != 0) {
        report.ipv4Error = errorText("bind", errno);
        close();
        return report;
    }
    SocketAddress bound;
    socklen_t length = sizeof(sockaddr_storage);
    getsockname(ipv4_, bound.get(), &length);
    port_ = bound.port();
    report.ok = true;
    if (bindAddress) return report;

    ipv6_ = ::socket(AF_INET6, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (ipv6_ < 0) {
        report.ipv6Error = errorText("socket", errno);
        return report;
    }
    setOptions(ipv6_, true);
    sockaddr_in6 any6{};
    any6.sin6_family = AF_INET6;
    any6.sin6_addr = network ? in6addr_any : in6addr_loopback;
    any6.sin6_port = htons(port_);
    if (::bind(ipv6_, reinterpret_cast<sockaddr*>(&any6), sizeof any6) != 0) {
        report.ipv6Error = errorText("bind", errno);
        ::close(ipv6_);
        ipv6_ = -1;
    }
    return report;
}

void UdpSocketPair::close() {
    if (ipv4_ >= 0) ::close(ipv4_);
    if (ipv6_ >= 0) ::close(ipv6_);
    ipv4_ = ipv6_ = -1;
}

int32_t UdpSocketPair::sendTo(const SocketAddress& address, const void* bytes, size_t length, int* error) const {
    int socket = address.isIPv4() ? ipv4_ : address.isIPv6() ? ipv6_ : -1;
    if (socket < 0) {
        if (error) *error = EAFNOSUPPORT;
        return UdpSendFailed;
    }
    ssize_t sent;
    do {
        sent = ::sendto(socket, bytes, length, MSG_DONTWAIT | MSG_NOSIGNAL, address.get(), address.length());
    } while (sent < 0 && errno == EINTR);
    if (sent >= 0) return UdpSendOk;
    if (error) *error = errno;
    if (errno == EAGAIN || errno == EWOULDBLOCK || errno == ENOBUFS) return UdpSendNoBufferSpace;
    return UdpSendFailed;
}

UdpSocketPair::Receive UdpSocketPair::receive(int socket, void* buffer, size_t capacity, size_t& length,
                                              SocketAddress& from, int* error) {
    socklen_t addressLength = sizeof(sockaddr_storage);
    ssize_t received = ::recvfrom(socket, buffer, capacity, MSG_DONTWAIT | MSG_TRUNC, from.get(), &addressLength);
    if (received < 0) {
        if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) return Receive::Nothing;
        // An ICMP "port unreachable" for an earlier send surfaces here on Linux:
        // it says nothing about this socket, which goes on working.
        if (errno == ECONNREFUSED || errno == EHOSTUNREACH || errno == ENETUNREACH) return Receive::Nothing;
        if (error) *error = errno;
        return Receive::Failed;
    }
    if (static_cast<size_t>(received) > capacity) return Receive::Truncated;
    length = static_cast<size_t>(received);
    return Receive::Datagram;
}

}  // namespace strombel::platform
