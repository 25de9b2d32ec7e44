#include "hub/bus_local_endpoint.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <random>

#include "hub/bus_log.h"
#include "logging/log.h"
#include "hub/bus_message.h"
#include "hub/bus_peer.h"
#include "hub/bus_registry.h"
#include "hub/hub_controller.h"
#include "platform/device_info.h"
#include "platform/main_bundle.h"
#include "platform/platform_version.h"
#include "platform/required.h"
#include "platform/worker.h"

namespace strombel::hub {

namespace {

constexpr size_t kReadBufferLength = 4096;
constexpr const char* kListenerThreadName = "org.thrumwell.listener";

std::string newUuid() {
    std::random_device device;
    std::uniform_int_distribution<int> byte(0, 255);
    uint8_t bytes[16];
    for (auto& b : bytes) b = static_cast<uint8_t>(byte(device));
    bytes[6] = (bytes[6] & 0x0F) | 0x40;
    bytes[8] = (bytes[8] & 0x3F) | 0x80;
    return fmt::format("{:02X}{:02X}{:02X}{:02X}-{:02X}{:02X}-{:02X}{:02X}-{:02X}{:02X}-{:02X}{:02X}{:02X}{:02X}{:02X}{:02X}",
                       bytes[0], bytes[1], bytes[2], bytes[3], bytes[4], bytes[5], bytes[6], bytes[7], bytes[8],
                       bytes[9], bytes[10], bytes[11], bytes[12], bytes[13], bytes[14], bytes[15]);
}

}  // namespace

std::unique_ptr<BusLocalEndpoint> BusLocalEndpoint::create(platform::MainBundle& bundle, Options options) {
    auto executable = bundle.executable();
    HubVerify(executable.has_value() && !executable->empty(), "Your app's Info.plist must have a CFBundleExecutable key.",
              __FILE__, __LINE__);
    return std::make_unique<BusLocalEndpoint>(*executable, std::move(options));
}

BusLocalEndpoint::BusLocalEndpoint(std::string name, Options options)
    : name_(std::move(name)),
      loop_(platform::required(options.loop, "BusLocalEndpointOptions::loop")),
      defaults_(platform::required(options.defaults, "BusLocalEndpointOptions::defaults")),
      notifications_(platform::required(options.notifications, "BusLocalEndpointOptions::notifications")),
      bindAddress_(options.bindAddress),
      networkDiscovery_(options.networkDiscovery),
      realTime_(options.realTime),
      peerLog_(loop_.clock()),
      delegates_(std::make_shared<const std::vector<BusLocalEndpointDelegate*>>()),
      readData_(kReadBufferLength),
      portData_(platform::MessagePort::kMaximumFrame),
      alive_(std::make_shared<BusLocalEndpoint*>(this)) {
    setupMessagePort();
    const bool wakeable = openWakeChannel(options.failWakeForTesting);
    // Without a way to wake the listener nothing could stop it or hand it a
    // message to oneself: such an endpoint has no sockets and no listener.
    if (wakeable && !setupSockets()) nextSetupAttempt_ = loop_.clock().nowNanos() + platform::kNanosPerSecond;
    if (name_ == "Wirehub") {
        uniqueID_ = macAddress().value_or("");
    } else {
        uniqueID_ = defaults_.stringForKey(kBusLocalEndpointIDKey);
        if (uniqueID_.empty()) {
            uniqueID_ = newUuid();
            defaults_.setString(kBusLocalEndpointIDKey, uniqueID_);
            defaults_.synchronize();
        }
    }
    // Of interest when looking into the bus, not at an ordinary start.
    STROMBEL_LOG_DEBUG("Local endpoint is {} ({}), port {}", escapedForLog(name_), uniqueID_, socketPort());
    // Real-time as the bus asks, but under the audio thread, the sequencer
    // and MIDI: a flood of datagrams never outranks the sound.
    if (wakeable)
        listener_ = platform::Worker(
            kListenerThreadName, [this] { listen(); },
            [this] {
                stopping_.store(true);
                wakeListener();
            },
            realTime_ ? std::optional(platform::RealTimeRole::BusListener) : std::nullopt);
}

BusLocalEndpoint::~BusLocalEndpoint() {
    listener_.stop();
    if (wakeWrite_ >= 0 && wakeWrite_ != wakeRead_) ::close(wakeWrite_);
    if (wakeRead_ >= 0) ::close(wakeRead_);
    alive_.reset();
}

bool BusLocalEndpoint::openWakeChannel(Options::WakeFailure failure) {
    int fd = failure == Options::WakeFailure::None ? ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC) : (errno = EMFILE, -1);
    if (fd >= 0) {
        wakeRead_ = wakeWrite_ = fd;
        return true;
    }
    const int eventError = errno;
    int ends[2] = {-1, -1};
    if (failure != Options::WakeFailure::EventFdAndPipe && ::pipe2(ends, O_NONBLOCK | O_CLOEXEC) == 0) {
        wakeRead_ = ends[0];
        wakeWrite_ = ends[1];
        return true;
    }
    if (failure == Options::WakeFailure::EventFdAndPipe) errno = EMFILE;
    busLog("Couldn't create the listener's wake-up channel (eventfd: {}, pipe: {}); the bus is off",
           std::strerror(eventError), std::strerror(errno));
    return false;
}

bool BusLocalEndpoint::setupMessagePort() {
    if (platform::PlatformVersion::major() > 7) return true;
    if (!messagePort_.listen(name_)) {
        busLog("Couldn't create message port");
        return false;
    }
    return true;
}

bool BusLocalEndpoint::setupSockets() {
    std::unique_lock lock(socketsMutex_);
    int32_t previousPort = socketPort_.load();
    auto failed = [this](std::string text) {
        if (text != lastSetupFailure_) busLogLine(text);
        lastSetupFailure_ = std::move(text);
        return false;
    };
    auto report = sockets_.open(static_cast<uint16_t>(previousPort), bindAddress_ ? &*bindAddress_ : nullptr,
                                networkDiscovery_ ? platform::UdpSocketPair::Reach::Network
                                                  : platform::UdpSocketPair::Reach::ThisMachine);
    if (!report.ok) {
        if (report.ipv4Error.rfind("socket", 0) == 0) {
            return failed(fmt::format("Couldn't create listener socket: {}", report.ipv4Error));
        }
        return failed(fmt::format("Couldn't set up IPv4 listen socket (error {}, {})", -1L, report.ipv4Error));
    }
    if (!report.ipv6Error.empty()) {
        if (report.ipv6Error.rfind("socket", 0) == 0) {
            failed(fmt::format("Couldn't create IPv6 listener socket: {}", report.ipv6Error));
        } else {
            failed(fmt::format("Couldn't set up IPv6 listen socket (error {}, {})", -1L, report.ipv6Error));
        }
    } else {
        lastSetupFailure_.clear();
    }
    int32_t port = sockets_.port();
    if (previousPort != 0 && previousPort != port) {
        std::weak_ptr<BusLocalEndpoint*> alive = alive_;
        loop_.post([this, alive, previousPort, port] {
            if (!alive.lock()) return;
            busLog("Socket port changed from {} to {}", previousPort, port);
            socketPort_.store(port);
            didChangeValueForKey("socketPort");
        });
    } else {
        socketPort_.store(port);
    }
    hasSocketSendBufferSpace_.store(true);
    hasSocketv6SendBufferSpace_.store(true);
    return true;
}

bool BusLocalEndpoint::hasSockets() const {
    std::shared_lock lock(socketsMutex_);
    return sockets_.ipv4() >= 0;
}

void BusLocalEndpoint::breakSocketsForTesting() {
    breakSockets_.store(true);
    wakeListener();
}

void BusLocalEndpoint::addDelegate(BusLocalEndpointDelegate* delegate) {
    std::lock_guard lock(lock_);
    if (std::find(delegates_->begin(), delegates_->end(), delegate) != delegates_->end()) return;
    auto next = std::make_shared<std::vector<BusLocalEndpointDelegate*>>(*delegates_);
    next->push_back(delegate);
    delegates_ = std::move(next);
}

void BusLocalEndpoint::removeDelegate(BusLocalEndpointDelegate* delegate) {
    std::lock_guard lock(lock_);
    if (std::find(delegates_->begin(), delegates_->end(), delegate) == delegates_->end()) return;
    auto next = std::make_shared<std::vector<BusLocalEndpointDelegate*>>(*delegates_);
    std::erase(*next, delegate);
    delegates_ = std::move(next);
}

size_t BusLocalEndpoint::delegateCount() const {
    std::lock_guard lock(lock_);
    return delegates_->size();
}

std::shared_ptr<BusPeer> BusLocalEndpoint::selfPeer() {
    std::lock_guard lock(selfPeerMutex_);
    if (!selfPeer_) selfPeer_ = BusPeer::loopback(name_, this);
    return selfPeer_;
}

void BusLocalEndpoint::setMetadata(platform::TxtRecord metadata) {
    if (metadata == metadata_) return;
    metadata_ = std::move(metadata);
    didChangeValueForKey("metadata");
}

void BusLocalEndpoint::setRegistry(BusRegistry* registry) {
    std::lock_guard lock(lock_);
    registry_ = registry;
}

BusRegistry* BusLocalEndpoint::registry() const {
    std::lock_guard lock(lock_);
    return registry_;
}

std::shared_ptr<BusPeer> BusLocalEndpoint::peerForAddress(const platform::SocketAddress& address) {
    return registry_ ? registry_->peerMatchingAddress(address) : nullptr;
}

std::shared_ptr<BusPeer> BusLocalEndpoint::peerForName(const std::string& name) {
    return registry_ ? registry_->peerMatchingName(name) : nullptr;
}

int32_t BusLocalEndpoint::sendToAddress(const platform::SocketAddress& address, const uint8_t* bytes, size_t length) {
    if (!address.valid()) return BusSendErrorFailed;
    std::shared_lock lock(socketsMutex_);
    int error = 0;
    uint32_t full = fullSendsForTesting_.load(std::memory_order_relaxed);
    while (full > 0 && !fullSendsForTesting_.compare_exchange_weak(full, full - 1)) {
    }
    int32_t result = full > 0 ? platform::UdpSendNoBufferSpace : sockets_.sendTo(address, bytes, length, &error);
    if (result == platform::UdpSendNoBufferSpace) {
        (address.isIPv6() ? hasSocketv6SendBufferSpace_ : hasSocketSendBufferSpace_).store(false);
        lock.unlock();
        wakeListener();  // to watch for room again
        return BusSendErrorNoBufferSpace;
    }
    if (result != platform::UdpSendOk) {
        errno = error;
        return BusSendErrorFailed;
    }
    return BusSendOk;
}

int32_t BusLocalEndpoint::sendLoopback(const uint8_t* bytes, size_t length) {
    if (!listening()) return BusSendErrorFailed;
    {
        std::lock_guard lock(loopbackMutex_);
        loopback_.emplace_back(bytes, bytes + length);
    }
    wakeListener();
    return BusSendOk;
}

std::optional<std::string> BusLocalEndpoint::macAddress() {
    auto address = platform::DeviceInfo::primaryHardwareAddress();
    // No interface with a hardware address: the machine's network interface
    // could not be found.
    if (!address) busLog("if_nametoindex failed getting device ID");
    return address;
}

void BusLocalEndpoint::wakeListener() {
    // A full pipe already holds a wake-up: a failed write loses nothing.
    uint64_t one = 1;
    if (wakeWrite_ >= 0) (void)!::write(wakeWrite_, &one, sizeof one);
}

void BusLocalEndpoint::drainWakeChannel() {
    uint64_t ignored[8];
    while (::read(wakeRead_, ignored, wakeRead_ == wakeWrite_ ? sizeof ignored[0] : sizeof ignored) > 0) {
    }
}

void BusLocalEndpoint::dropBrokenSockets() {
    {
        std::unique_lock lock(socketsMutex_);
        sockets_.close();
    }
    busLog("Network receive socket gone - recreating");
    nextSetupAttempt_ = 0;  // the first attempt at once
}

int BusLocalEndpoint::remakeSocketsIfDue() {
    if (hasSockets()) return -1;
    const uint64_t now = loop_.clock().nowNanos();
    if (now >= nextSetupAttempt_) {
        counters_.socketRecreations.fetch_add(1);
        if (setupSockets()) return -1;
        nextSetupAttempt_ = now + platform::kNanosPerSecond;
    }
    const uint64_t wait = nextSetupAttempt_ > now ? nextSetupAttempt_ - now : 0;
    return int(std::clamp<uint64_t>(wait / platform::kNanosPerMillisecond, 1, 1000));
}

void BusLocalEndpoint::deliver(const uint8_t* bytes, size_t length, const std::shared_ptr<BusPeer>& peer) {
    // The caller holds lock_. Delivery walks the list current when it began.
    auto delegates = delegates_;
    for (BusLocalEndpointDelegate* delegate : *delegates) delegate->endpoint(*this, bytes, length, peer);
}

void BusLocalEndpoint::listen() {
    if (realTime_ && !platform::Worker::realTimeError().empty()) {
        std::fputs("Failed to change priority.\n", stdout);
        std::fflush(stdout);
    }
    while (!stopping_.load()) {
        if (breakSockets_.exchange(false)) dropBrokenSockets();
        const int timeout = remakeSocketsIfDue();
        pollfd fds[4];
        int count = 0;
        int v4, v6;
        {
            std::shared_lock lock(socketsMutex_);
            v4 = sockets_.ipv4();
            v6 = sockets_.ipv6();
        }
        fds[count++] = {wakeRead_, POLLIN, 0};
        int v4Index = -1, v6Index = -1, portIndex = -1;
        if (v4 >= 0) {
            v4Index = count;
            fds[count++] = {v4, short(POLLIN | (hasSocketSendBufferSpace_.load() ? 0 : POLLOUT)), 0};
        }
        if (v6 >= 0) {
            v6Index = count;
            fds[count++] = {v6, short(POLLIN | (hasSocketv6SendBufferSpace_.load() ? 0 : POLLOUT)), 0};
        }
        if (messagePort_.isOpen()) {
            portIndex = count;
            fds[count++] = {messagePort_.fd(), POLLIN, 0};
        }
        if (::poll(fds, count, timeout) < 0) {
            if (errno == EINTR) continue;
            busLog("Listener poll failed: {}", std::strerror(errno));
            return;
        }
        if (fds[0].revents & POLLIN) {
            drainWakeChannel();
            drainLoopback();
        }
        if (stopping_.load()) break;
        bool broken = false;
        for (int index : {v4Index, v6Index}) {
            if (index < 0) continue;
            short events = fds[index].revents;
            if (events & POLLOUT) socketCanWrite(index == v6Index);
            if (events & (POLLERR | POLLNVAL)) broken = true;
            if (events & POLLIN) readSocket(fds[index].fd);
            if (!hasSockets()) break;
        }
        if (portIndex >= 0 && (fds[portIndex].revents & POLLIN)) readMessagePort();
        if (broken) {
            // An error the socket reports: an ICMP answer to an earlier send
            // says nothing about the socket; anything else makes them anew.
            int pending = 0;
            socklen_t length = sizeof pending;
            if (getsockopt(v4, SOL_SOCKET, SO_ERROR, &pending, &length) == 0 && pending != 0 &&
                pending != ECONNREFUSED && pending != EHOSTUNREACH && pending != ENETUNREACH && hasSockets()) {
                dropBrokenSockets();
            }
        }
    }
}

void BusLocalEndpoint::readSocket(int socket) {
    // Drain what is waiting; a real error ends the round and the sockets are
    // made anew.
    for (int round = 0; round < 64; ++round) {
        size_t length = 0;
        platform::SocketAddress from;
        int error = 0;
        auto outcome = platform::UdpSocketPair::receive(socket, readData_.data(), readData_.size(), length, from, &error);
        if (outcome == platform::UdpSocketPair::Receive::Nothing) return;
        if (outcome == platform::UdpSocketPair::Receive::Truncated) {
            counters_.truncated.fetch_add(1);
            continue;
        }
        if (outcome == platform::UdpSocketPair::Receive::Failed) {
            dropBrokenSockets();  // made anew at the top of the listener's loop
            return;
        }
        if (length == 0) continue;  // an empty datagram carries no message
        std::lock_guard lock(lock_);
        auto peer = peerForAddress(from);
        if (!peer) {
            counters_.unknownSender.fetch_add(1);
            continue;
        }
        deliver(readData_.data(), length, peer);
    }
}

void BusLocalEndpoint::readMessagePort() {
    for (int round = 0; round < 64; ++round) {
        size_t length = 0;
        auto outcome = messagePort_.receive(portData_.data(), portData_.size(), length);
        if (outcome == platform::MessagePort::Receive::Nothing || outcome == platform::MessagePort::Receive::Failed) {
            return;
        }
        if (outcome == platform::MessagePort::Receive::Truncated) {
            counters_.truncated.fetch_add(1);
            continue;
        }
        if (length < static_cast<size_t>(kBusMessagePortHeaderLength)) {
            std::fputs("Invalid incoming message\n", stdout);
            counters_.invalidFrames.fetch_add(1);
            continue;
        }
        size_t nameLength = portData_[0];
        std::string_view name(reinterpret_cast<const char*>(portData_.data() + 1),
                              std::min<size_t>(nameLength, kBusMessagePortHeaderLength - 1));
        if (nameLength > kBusMessagePortHeaderLength - 1 || !isValidUtf8(name)) {
            counters_.invalidFrames.fetch_add(1);
            continue;
        }
        std::lock_guard lock(lock_);
        auto peer = peerForName(std::string(name));
        if (!peer) {
            counters_.unknownSender.fetch_add(1);
            continue;
        }
        deliver(portData_.data() + kBusMessagePortHeaderLength, length - kBusMessagePortHeaderLength, peer);
    }
}

void BusLocalEndpoint::drainLoopback() {
    for (;;) {
        std::vector<uint8_t> message;
        {
            std::lock_guard lock(loopbackMutex_);
            if (loopback_.empty()) return;
            message = std::move(loopback_.front());
            loopback_.pop_front();
        }
        auto self = selfPeer();
        std::lock_guard lock(lock_);
        deliver(message.data(), message.size(), self);
    }
}

void BusLocalEndpoint::socketCanWrite(bool v6) {
    (v6 ? hasSocketv6SendBufferSpace_ : hasSocketSendBufferSpace_).store(true);
    std::weak_ptr<BusLocalEndpoint*> alive = alive_;
    loop_.post([this, alive] {
        if (alive.lock()) notifications_.post(kBusLocalEndpointCanSendNotification, this);
    });
}

}  // namespace strombel::hub
