#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/socket_address.h"

namespace strombel::platform {

/// Results of a datagram send, as the message bus reports them.
enum UdpSendResult : int32_t {
    UdpSendOk = 0,
    UdpSendFailed = -1232,
    UdpSendNoBufferSpace = -1233,
};

/// One IPv4 socket and one IPv6 socket (v6-only, so that the second bind on the
/// same port succeeds), sharing one UDP port: on 127.0.0.1 and ::1 for peers on
/// this machine, on 0.0.0.0 and :: for peers on the network too. Both have
/// SO_REUSEADDR and a type of service / traffic class of 16, and are
/// non-blocking. Either socket may be missing (the IPv6 one on a host without
/// IPv6); `open` says which failed and why.
class UdpSocketPair {
public:
    UdpSocketPair() = default;
    ~UdpSocketPair() { close(); }
    UdpSocketPair(const UdpSocketPair&) = delete;
    UdpSocketPair& operator=(const UdpSocketPair&) = delete;

    /// What went wrong in `open`, in the words the endpoint logs.
    struct OpenReport {
        bool ok = false;
        std::string ipv4Error;
        std::string ipv6Error;
    };

    /// Whom the sockets listen to: this machine alone (the loopback addresses)
    /// or the network as well (the wildcard addresses).
    enum class Reach { ThisMachine, Network };

    /// Opens both sockets on `port` (0: the system chooses one). With `bindAddress`
    /// (an IPv4 address such as 127.0.0.2) only an IPv4 socket is opened, bound to
    /// that address. Fails when the IPv4 socket cannot be made or bound.
    OpenReport open(uint16_t port, const SocketAddress* bindAddress = nullptr, Reach reach = Reach::ThisMachine);
    void close();

    int ipv4() const { return ipv4_; }
    int ipv6() const { return ipv6_; }
    uint16_t port() const { return port_; }

    /// Sends one datagram from the socket of the address's family without
    /// waiting. EAGAIN and ENOBUFS give UdpSendNoBufferSpace; `error` receives
    /// errno on failure.
    int32_t sendTo(const SocketAddress& address, const void* bytes, size_t length, int* error = nullptr) const;

    /// What one receive found.
    enum class Receive { Datagram, Nothing, Truncated, Failed };
    /// Reads one datagram from `socket` into `buffer` without waiting. Nothing:
    /// no datagram was waiting or the call was interrupted. Truncated: the
    /// datagram was longer than the buffer; it has been consumed and is not
    /// delivered. Failed: a real socket error (errno in `error`).
    static Receive receive(int socket, void* buffer, size_t capacity, size_t& length, SocketAddress& from,
                           int* error = nullptr);

private:
    int ipv4_ = -1;
    int ipv6_ = -1;
    uint16_t port_ = 0;
};

}  // namespace strombel::platform
