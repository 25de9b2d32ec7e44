#include "platform/network_reachability.h"

#include "platform/worker.h"

#include <arpa/inet.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <net/if.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <mutex>
#include <vector>

namespace strombel::platform {

namespace {

using namespace reachability_flags;

// A netlink route socket, closed when it goes.
class RouteSocket {
public:
    explicit RouteSocket(uint32_t groups = 0) {
        fd_ = ::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE);
        if (fd_ < 0) return;
        sockaddr_nl local{};
        local.nl_family = AF_NETLINK;
        local.nl_groups = groups;
        if (::bind(fd_, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
            ::close(fd_);
            fd_ = -1;
        }
    }
    ~RouteSocket() {
        if (fd_ >= 0) ::close(fd_);
    }
    RouteSocket(const RouteSocket&) = delete;
    RouteSocket& operator=(const RouteSocket&) = delete;
    int fd() const { return fd_; }
    bool valid() const { return fd_ >= 0; }

    bool send(const void* message, size_t length) const {
        sockaddr_nl kernel{};
        kernel.nl_family = AF_NETLINK;
        for (;;) {
            ssize_t sent = ::sendto(fd_, message, length, 0, reinterpret_cast<sockaddr*>(&kernel), sizeof kernel);
            if (sent == static_cast<ssize_t>(length)) return true;
            if (sent < 0 && errno == EINTR) continue;
            return false;
        }
    }

    // One datagram from the kernel; empty on failure.
    std::vector<uint8_t> receive() const {
        std::vector<uint8_t> buffer(32 * 1024);
        for (;;) {
            ssize_t got = ::recv(fd_, buffer.data(), buffer.size(), 0);
            if (got < 0 && errno == EINTR) continue;
            if (got <= 0) return {};
            buffer.resize(static_cast<size_t>(got));
            return buffer;
        }
    }

private:
    int fd_ = -1;
};

// NLMSG_OK without comparing the header's unsigned length to the signed count
// the NLMSG_NEXT steps keep.
bool messageFits(const nlmsghdr* header, int length) {
    return length >= static_cast<int>(sizeof(nlmsghdr)) && header->nlmsg_len >= sizeof(nlmsghdr) &&
           header->nlmsg_len <= static_cast<unsigned>(length);
}

// What a route says about reaching its destination.
struct Route {
    unsigned char type = RTN_UNSPEC;
    bool hasGateway = false;
    bool linkDown = false;
    int outputInterface = 0;
};

Route readRoute(const nlmsghdr* header) {
    Route route;
    const auto* message = static_cast<const rtmsg*>(NLMSG_DATA(header));
    route.type = message->rtm_type;
    route.linkDown = (message->rtm_flags & RTNH_F_LINKDOWN) != 0;
    int remaining = static_cast<int>(RTM_PAYLOAD(header));
    for (const rtattr* attribute = RTM_RTA(message); RTA_OK(attribute, remaining);
         attribute = RTA_NEXT(attribute, remaining)) {
        if (attribute->rta_type == RTA_GATEWAY || attribute->rta_type == RTA_VIA) route.hasGateway = true;
        if (attribute->rta_type == RTA_MULTIPATH) route.hasGateway = true;
        if (attribute->rta_type == RTA_OIF && RTA_PAYLOAD(attribute) >= sizeof(int)) {
            std::memcpy(&route.outputInterface, RTA_DATA(attribute), sizeof(int));
        }
    }
    return route;
}

// True when the route's table is the main one (RTA_TABLE wins over rtm_table).
bool inMainTable(const nlmsghdr* header) {
    const auto* message = static_cast<const rtmsg*>(NLMSG_DATA(header));
    uint32_t table = message->rtm_table;
    int remaining = static_cast<int>(RTM_PAYLOAD(header));
    for (const rtattr* attribute = RTM_RTA(message); RTA_OK(attribute, remaining);
         attribute = RTA_NEXT(attribute, remaining)) {
        if (attribute->rta_type == RTA_TABLE && RTA_PAYLOAD(attribute) >= sizeof(uint32_t)) {
            std::memcpy(&table, RTA_DATA(attribute), sizeof table);
        }
    }
    return table == RT_TABLE_MAIN;
}

std::string interfaceName(int index) {
    char name[IF_NAMESIZE + 1] = {};
    if (index <= 0 || !::if_indextoname(static_cast<unsigned>(index), name)) return {};
    return name;
}

uint32_t flagsOfRoute(const Route& route, const std::filesystem::path& sysfsRoot) {
    switch (route.type) {
        case RTN_UNICAST:
        case RTN_LOCAL:
        case RTN_BROADCAST:
        case RTN_ANYCAST:
        case RTN_MULTICAST:
            break;
        default:
            return 0;  // unreachable, blackhole, prohibit, throw
    }
    if (route.linkDown) return 0;
    uint32_t flags = kReachable;
    if (route.type == RTN_LOCAL) flags |= kIsLocalAddress;
    if (!route.hasGateway) flags |= kIsDirect;
    std::string name = interfaceName(route.outputInterface);
    if (!name.empty() && NetworkReachability::isCellularInterface(sysfsRoot, name)) flags |= kIsWWAN;
    return flags;
}

// A route query for one IPv4 destination.
std::optional<uint32_t> queryAddress(uint32_t hostOrderAddress, const std::filesystem::path& sysfsRoot) {
    RouteSocket socket;
    if (!socket.valid()) return std::nullopt;
    struct {
        nlmsghdr header;
        rtmsg message;
        char attributes[32];
    } request{};
    request.header.nlmsg_len = NLMSG_LENGTH(sizeof(rtmsg));
    request.header.nlmsg_type = RTM_GETROUTE;
    request.header.nlmsg_flags = NLM_F_REQUEST;
    request.header.nlmsg_seq = 1;
    request.message.rtm_family = AF_INET;
    request.message.rtm_dst_len = 32;
    auto* attribute = reinterpret_cast<rtattr*>(reinterpret_cast<char*>(&request) + NLMSG_ALIGN(request.header.nlmsg_len));
    attribute->rta_type = RTA_DST;
    attribute->rta_len = RTA_LENGTH(sizeof(uint32_t));
    uint32_t networkOrder = htonl(hostOrderAddress);
    std::memcpy(RTA_DATA(attribute), &networkOrder, sizeof networkOrder);
    request.header.nlmsg_len = NLMSG_ALIGN(request.header.nlmsg_len) + RTA_LENGTH(sizeof(uint32_t));
    if (!socket.send(&request, request.header.nlmsg_len)) return std::nullopt;
    std::vector<uint8_t> answer = socket.receive();
    if (answer.empty()) return std::nullopt;
    int length = static_cast<int>(answer.size());
    for (auto* header = reinterpret_cast<const nlmsghdr*>(answer.data()); messageFits(header, length);
         header = NLMSG_NEXT(header, length)) {
        if (header->nlmsg_type == NLMSG_ERROR) {
            if (header->nlmsg_len < NLMSG_LENGTH(sizeof(nlmsgerr))) return std::nullopt;
            const auto* error = static_cast<const nlmsgerr*>(NLMSG_DATA(header));
            // No route to the destination: not reachable. Anything else: unknown.
            if (error->error == -ENETUNREACH || error->error == -EHOSTUNREACH || error->error == -EACCES ||
                error->error == -EINVAL) {
                return 0u;
            }
            return std::nullopt;
        }
        if (header->nlmsg_type == RTM_NEWROUTE && header->nlmsg_len >= NLMSG_LENGTH(sizeof(rtmsg))) {
            return flagsOfRoute(readRoute(header), sysfsRoot);
        }
    }
    return std::nullopt;
}

// The flags of the main table's default route (IPv4 first, then IPv6); 0 when
// there is none.
std::optional<uint32_t> queryDefaultRoute(const std::filesystem::path& sysfsRoot) {
    RouteSocket socket;
    if (!socket.valid()) return std::nullopt;
    struct {
        nlmsghdr header;
        rtmsg message;
    } request{};
    request.header.nlmsg_len = NLMSG_LENGTH(sizeof(rtmsg));
    request.header.nlmsg_type = RTM_GETROUTE;
    request.header.nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
    request.header.nlmsg_seq = 1;
    request.message.rtm_family = AF_UNSPEC;
    if (!socket.send(&request, request.header.nlmsg_len)) return std::nullopt;
    uint32_t ipv4 = 0, ipv6 = 0;
    for (;;) {
        std::vector<uint8_t> answer = socket.receive();
        if (answer.empty()) return std::nullopt;
        int length = static_cast<int>(answer.size());
        for (auto* header = reinterpret_cast<const nlmsghdr*>(answer.data()); messageFits(header, length);
             header = NLMSG_NEXT(header, length)) {
            if (header->nlmsg_type == NLMSG_DONE) return ipv4 ? ipv4 : ipv6;
            if (header->nlmsg_type == NLMSG_ERROR) return std::nullopt;
            if (header->nlmsg_type != RTM_NEWROUTE || header->nlmsg_len < NLMSG_LENGTH(sizeof(rtmsg))) continue;
            const auto* message = static_cast<const rtmsg*>(NLMSG_DATA(header));
            if (message->rtm_dst_len != 0 || !inMainTable(header)) continue;
            uint32_t flags = flagsOfRoute(readRoute(header), sysfsRoot);
            if (message->rtm_family == AF_INET && !ipv4) ipv4 = flags;
            if (message->rtm_family == AF_INET6 && !ipv6) ipv6 = flags;
        }
    }
}

}  // namespace

struct NetworkReachability::Notifier {
    std::shared_ptr<std::atomic<bool>> alive = std::make_shared<std::atomic<bool>>(true);
    std::unique_ptr<RouteSocket> socket;
    int stopEvent = -1;
    Worker thread;  // woken through stopEvent

    ~Notifier() {
        alive->store(false);
        thread.stop();
        if (stopEvent >= 0) ::close(stopEvent);
    }
};

std::unique_ptr<NetworkReachability> NetworkReachability::forHostName(const std::string& host) {
    if (host.empty()) return nullptr;
    std::unique_ptr<NetworkReachability> reachability(new NetworkReachability());
    in_addr numeric{};
    if (::inet_pton(AF_INET, host.c_str(), &numeric) == 1 && numeric.s_addr != 0) {
        reachability->usesDefaultRoute_ = false;
        reachability->address_ = ntohl(numeric.s_addr);
    }
    return reachability;
}

std::unique_ptr<NetworkReachability> NetworkReachability::forIPv4Address(uint32_t hostOrderAddress) {
    std::unique_ptr<NetworkReachability> reachability(new NetworkReachability());
    reachability->usesDefaultRoute_ = hostOrderAddress == 0;
    reachability->address_ = hostOrderAddress;
    return reachability;
}

NetworkReachability::~NetworkReachability() { stopNotifier(); }

std::optional<uint32_t> NetworkReachability::flags() const {
    return usesDefaultRoute_ ? queryDefaultRoute(sysfsRoot_) : queryAddress(address_, sysfsRoot_);
}

bool NetworkReachability::isCellularInterface(const std::filesystem::path& sysfsRoot, const std::string& name) {
    if (name.rfind("ww", 0) == 0) return true;
    std::ifstream uevent(sysfsRoot / "class/net" / name / "uevent");
    std::string line;
    while (std::getline(uevent, line)) {
        if (line == "DEVTYPE=wwan") return true;
    }
    return false;
}

bool NetworkReachability::startNotifier(MainLoop& loop, std::function<void(uint32_t)> changed) {
    stopNotifier();
    auto notifier = std::make_unique<Notifier>();
    notifier->socket = std::make_unique<RouteSocket>(RTMGRP_LINK | RTMGRP_IPV4_IFADDR | RTMGRP_IPV6_IFADDR |
                                                     RTMGRP_IPV4_ROUTE | RTMGRP_IPV6_ROUTE);
    if (!notifier->socket->valid()) return false;
    notifier->stopEvent = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (notifier->stopEvent < 0) return false;
    const int socketFd = notifier->socket->fd();
    const int stopFd = notifier->stopEvent;
    auto alive = notifier->alive;
    // The flags as they are when the watch starts; only changes from them are told.
    std::optional<uint32_t> last = flags();
    auto query = [usesDefault = usesDefaultRoute_, address = address_, sysfs = sysfsRoot_] {
        return usesDefault ? queryDefaultRoute(sysfs) : queryAddress(address, sysfs);
    };
    auto watch = [&loop, socketFd, stopFd, alive, last, query, changed = std::move(changed)]() mutable {
        std::vector<uint8_t> buffer(64 * 1024);
        for (;;) {
            pollfd waits[2] = {{socketFd, POLLIN, 0}, {stopFd, POLLIN, 0}};
            int ready = ::poll(waits, 2, -1);
            if (ready < 0 && errno == EINTR) continue;
            if (ready < 0 || (waits[1].revents & POLLIN) || !alive->load()) return;
            if (!(waits[0].revents & (POLLIN | POLLERR))) continue;
            // Drain what came in one go: a burst of events is one change. An
            // overrun (ENOBUFS) is read off the socket here too, and the query
            // below catches up with whatever was lost.
            for (;;) {
                ssize_t got = ::recv(socketFd, buffer.data(), buffer.size(), MSG_DONTWAIT);
                if (got > 0 || (got < 0 && (errno == EINTR || errno == ENOBUFS))) continue;
                break;
            }
            std::optional<uint32_t> now = query();
            if (!now || now == last) continue;
            last = now;
            uint32_t value = *now;
            loop.post([alive, changed, value] {
                if (alive->load()) changed(value);
            });
        }
    };
    notifier->thread = Worker("reachability", std::move(watch), [stopFd] {
        uint64_t one = 1;
        [[maybe_unused]] ssize_t written = ::write(stopFd, &one, sizeof one);
    });
    notifier_ = std::move(notifier);
    return true;
}

void NetworkReachability::stopNotifier() { notifier_.reset(); }

}  // namespace strombel::platform
