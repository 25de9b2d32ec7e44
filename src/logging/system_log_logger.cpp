#include "logging/system_log_logger.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <fmt/format.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <ctime>

#include "logging/text_output.h"

namespace strombel::logging {
namespace {

constexpr int kFacilityUser = 1;

std::string processName() {
    std::array<char, 256> name{};
    int fd = ::open("/proc/self/comm", O_RDONLY | O_CLOEXEC);
    if (fd >= 0) {
        ssize_t length = ::read(fd, name.data(), name.size() - 1);
        ::close(fd);
        if (length > 0) {
            std::string text(name.data(), static_cast<size_t>(length));
            while (!text.empty() && text.back() == '\n') text.pop_back();
            return text;
        }
    }
    return "strombel";
}

}  // namespace

DevLogSink::DevLogSink(std::string socketPath) : socketPath_(std::move(socketPath)), tag_(processName()) {}

DevLogSink::~DevLogSink() {
    if (socket_ >= 0) ::close(socket_);
}

bool DevLogSink::connect() {
    if (socket_ >= 0) return true;
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (socketPath_.size() >= sizeof(address.sun_path)) return false;
    std::memcpy(address.sun_path, socketPath_.c_str(), socketPath_.size() + 1);
    int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0) {
        ::close(fd);
        return false;
    }
    socket_ = fd;
    return true;
}

// The longest datagram the socket takes: its send buffer less the kernel's own
// share (a datagram of the whole buffer is refused with EMSGSIZE).
size_t DevLogSink::largestDatagram() const {
    int sendBuffer = 0;
    socklen_t length = sizeof sendBuffer;
    if (::getsockopt(socket_, SOL_SOCKET, SO_SNDBUF, &sendBuffer, &length) != 0 || sendBuffer <= 64) return 2048;
    return static_cast<size_t>(sendBuffer) - 64;
}

void DevLogSink::send(int severity, std::string_view text) {
    if (!connect()) return;  // no listener: the entry is dropped, next time we try again
    std::time_t now = std::time(nullptr);
    std::tm local{};
    ::localtime_r(&now, &local);
    std::array<char, 32> stamp{};
    size_t stampLength = std::strftime(stamp.data(), stamp.size(), "%b %e %H:%M:%S", &local);
    std::string entry = fmt::format("<{}>{} {}[{}]: {}", kFacilityUser * 8 + severity,
                                    std::string_view(stamp.data(), stampLength), tag_, ::getpid(), text);
    const size_t header = entry.size() - text.size();
    for (;;) {
        ssize_t sent;
        do {
            sent = ::send(socket_, entry.data(), entry.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
        } while (sent < 0 && errno == EINTR);
        if (sent >= 0 || errno == EAGAIN || errno == EWOULDBLOCK) return;
        if (errno != EMSGSIZE) {
            // The listener went away (or was restarted): reconnect with the next entry.
            ::close(socket_);
            socket_ = -1;
            return;
        }
        // Too long for one datagram: the text is cut to what fits, at a character's
        // start, and the entry says how much was left out.
        const size_t limit = std::min(largestDatagram(), entry.size() - 1);
        if (limit <= header + 128) return;
        size_t keep = limit - header - 64;
        while (keep > 0 && (static_cast<unsigned char>(text[keep]) & 0xC0) == 0x80) --keep;
        std::string note = fmt::format(" [{} of {} bytes cut]", text.size() - keep, text.size());
        entry.resize(header + keep);
        entry += note;
    }
}

std::shared_ptr<ASLLogger> ASLLogger::sharedInstance() {
    static const std::shared_ptr<ASLLogger> instance = std::make_shared<ASLLogger>(std::make_unique<DevLogSink>());
    return instance;
}

std::shared_ptr<ASLLogger> ASLLogger::makeWithSink(std::unique_ptr<SystemLogSink> sink) {
    return std::make_shared<ASLLogger>(std::move(sink));
}

ASLLogger::ASLLogger(std::unique_ptr<SystemLogSink> sink)
    : AbstractLogger("strombel.logging.aslLogger"), client_(std::move(sink)) {}

int ASLLogger::severityForFlag(int32_t flag) {
    static constexpr int kSeverities[] = {2, 3, 5, 4};
    if (flag >= 1 && flag <= 4) return kSeverities[flag - 1];
    return 5;
}

void ASLLogger::logMessage(const LogMessage& message) {
    FormattedMessage formatted = formatter() ? formatter()->formatLogMessage(message) : FormattedMessage::messageText();
    const std::string* text = formatted.text(message);
    if (!text || !client_) return;
    if (isValidUtf8(*text)) {
        client_->send(severityForFlag(message.logFlag()), *text);
    } else {
        client_->send(severityForFlag(message.logFlag()), withReplacementCharacters(*text));
    }
}

}  // namespace strombel::logging
