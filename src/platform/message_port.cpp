#include "platform/message_port.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace strombel::platform {

namespace {

constexpr const char* kPrefix = "strombel.messageport.";

// An abstract address: a zero byte, then the name; its length is exact.
socklen_t addressFor(const std::string& name, sockaddr_un& address) {
    std::memset(&address, 0, sizeof address);
    address.sun_family = AF_UNIX;
    std::string full = std::string(kPrefix) + name;
    size_t room = sizeof(address.sun_path) - 1;
    size_t length = std::min(full.size(), room);
    std::memcpy(address.sun_path + 1, full.data(), length);
    return static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + length);
}

}  // namespace

bool MessagePort::listen(const std::string& name) {
    close();
    fd_ = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd_ < 0) return false;
    sockaddr_un address;
    socklen_t length = addressFor(name, address);
    if (::bind(fd_, reinterpret_cast<sockaddr*>(&address), length) != 0) {
        int error = errno;
        close();
        errno = error;
        return false;
    }
    return true;
}

bool MessagePort::openForSending() {
    close();
    fd_ = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    return fd_ >= 0;
}

void MessagePort::close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}

int MessagePort::send(const std::string& name, const void* bytes, size_t length) const {
    if (fd_ < 0) return -EBADF;
    sockaddr_un address;
    socklen_t addressLength = addressFor(name, address);
    for (int attempt = 0; attempt < 2; ++attempt) {
        ssize_t sent = ::sendto(fd_, bytes, length, MSG_DONTWAIT | MSG_NOSIGNAL, reinterpret_cast<sockaddr*>(&address),
                                addressLength);
        if (sent >= 0) return 0;
        if (errno != EAGAIN || attempt == 1) return -errno;
        pollfd pfd{fd_, POLLOUT, 0};
        ::poll(&pfd, 1, 1);  // the send time-out of 1 ms
    }
    return -EAGAIN;
}

MessagePort::Receive MessagePort::receive(void* buffer, size_t capacity, size_t& length) const {
    ssize_t received = ::recv(fd_, buffer, capacity, MSG_DONTWAIT | MSG_TRUNC);
    if (received < 0) {
        if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) return Receive::Nothing;
        return Receive::Failed;
    }
    if (static_cast<size_t>(received) > capacity) return Receive::Truncated;
    length = static_cast<size_t>(received);
    return Receive::Frame;
}

bool MessagePort::exists(const std::string& name) {
    int probe = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (probe < 0) return false;
    sockaddr_un address;
    socklen_t length = addressFor(name, address);
    bool connected = ::connect(probe, reinterpret_cast<sockaddr*>(&address), length) == 0;
    ::close(probe);
    return connected;
}

}  // namespace strombel::platform
