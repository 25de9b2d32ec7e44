#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace strombel::platform {

/// The local message ports of the older hub protocol (platform version 7 and
/// below): AF_UNIX datagram sockets in the abstract namespace, one per endpoint,
/// named after it. Nothing appears in the file system.
class MessagePort {
public:
    /// The largest frame a port carries.
    static constexpr size_t kMaximumFrame = 16384;

    MessagePort() = default;
    ~MessagePort() { close(); }
    MessagePort(const MessagePort&) = delete;
    MessagePort& operator=(const MessagePort&) = delete;

    /// Creates the receiving port `name`; false (with errno kept) when another
    /// process holds it or the socket cannot be made.
    bool listen(const std::string& name);
    /// Creates an unbound sending socket.
    bool openForSending();
    void close();
    int fd() const { return fd_; }
    bool isOpen() const { return fd_ >= 0; }

    /// Sends one frame to the port `name`, waiting at most 1 ms for room.
    /// Returns 0, or a negative errno.
    int send(const std::string& name, const void* bytes, size_t length) const;

    enum class Receive { Frame, Nothing, Truncated, Failed };
    /// Reads one frame without waiting; a frame longer than `capacity` is
    /// consumed and reported Truncated.
    Receive receive(void* buffer, size_t capacity, size_t& length) const;

    /// True when a port of that name is being listened to.
    static bool exists(const std::string& name);

private:
    int fd_ = -1;
};

}  // namespace strombel::platform
