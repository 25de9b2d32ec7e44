// hub_neighbour: a hostile program of the same user on the hub's bus, for the
// neighbour benchmark and for trying the program by hand. It
// writes into the directory of services and answers on loopback only.
//
//   hub_neighbour [--folder DIR] [--seconds S] [--names RATE[,LIFETIME]]
//                 [--icons COUNT,SIDE] [--graph KEY.pem,OUTPUT] [--junk COUNT]
//                 [--churn] [--latecomer]
//
//   --folder DIR        the directory of services (default: the program's,
//                       under $XDG_RUNTIME_DIR)
//   --seconds S         ends after S seconds (default 20), withdrawing what it
//                       announced
//   --names RATE,LIFE   announces RATE new hub applications a second, each
//                       withdrawn LIFE seconds later (default 6); they never
//                       answer
//   --icons COUNT,SIDE  COUNT hub applications on this machine, each serving a
//                       SIDE x SIDE PNG as its icon
//   --graph KEY,OUTPUT  with --icons: the first of them is the hub "Wirehub",
//                       which signs, with the private key KEY (PEM), a graph of
//                       all of them and the program's port named OUTPUT, once
//                       a second for the first five seconds
//   --junk COUNT        writes COUNT small files named like announcements that
//                       are none
//   --churn             then keeps writing them again, one after the other
//   --latecomer         once the junk is written, announces one real hub
//                       application, "Latecomer (Desk)", and says so on
//                       standard output: "latecomer <CLOCK_MONOTONIC ns>"
//
// Nothing leaves this machine: every socket is bound to 127.0.0.1.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <deque>
#include <fstream>
#include <string>
#include <vector>

#include "hub_signing.h"
#include "platform/directory_service_discovery.h"
#include "platform/png_image.h"

namespace {

using strombel::platform::DirectoryServiceDiscovery;
using strombel::platform::SocketAddress;
using Bytes = std::vector<uint8_t>;

constexpr const char* kType = "_wirehub._udp";
constexpr size_t kSegmentData = 1472;

volatile sig_atomic_t stopping = 0;

uint64_t monotonicNanos() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return uint64_t(now.tv_sec) * 1000000000u + uint64_t(now.tv_nsec);
}

void put16(uint8_t* at, uint16_t value) {
    at[0] = uint8_t(value);
    at[1] = uint8_t(value >> 8);
}
void put32(uint8_t* at, uint32_t value) {
    for (int i = 0; i < 4; ++i) at[i] = uint8_t(value >> (8 * i));
}
uint32_t get32(const uint8_t* at) {
    return uint32_t(at[0]) | uint32_t(at[1]) << 8 | uint32_t(at[2]) << 16 | uint32_t(at[3]) << 24;
}

/// A UDP socket on 127.0.0.1 with a port of the system's choosing.
struct Socket {
    int fd = -1;
    uint16_t port = 0;
    Socket() {
        fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
        socklen_t length = sizeof address;
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
        port = ntohs(address.sin_port);
    }
    ~Socket() { ::close(fd); }
};

/// A hub application's announcement: the hub's metadata, this process as owner.
DirectoryServiceDiscovery::Entry announcement(const std::string& name, uint16_t port, const std::string& deviceID) {
    DirectoryServiceDiscovery::Entry entry;
    entry.record.name = name + " (Desk)";
    entry.record.type = kType;
    entry.record.port = port;
    entry.record.addresses.push_back(*SocketAddress::fromText("127.0.0.1", port));
    entry.record.txt = {{"deviceID", deviceID}, {"BusVersion", "3"}, {"version", "3"}, {"SDK version", "2.1.4"},
                        {"capabilities", "1"}, {"sequence", "0"}};
    entry.owner = ::getpid();
    return entry;
}

void withdraw(const std::string& folder, const std::string& name) {
    ::unlink((folder + "/" + DirectoryServiceDiscovery::fileName(kType, name + " (Desk)")).c_str());
}

/// A PNG of `side` pixels a side: bands of colour, cheap to send, dear to decode.
Bytes bigPng(uint32_t side) {
    std::vector<uint8_t> rgba(size_t(side) * side * 4);
    for (uint32_t y = 0; y < side; ++y)
        for (uint32_t x = 0; x < side; ++x) {
            uint8_t* pixel = &rgba[(size_t(y) * side + x) * 4];
            pixel[0] = uint8_t(x / 64 * 40), pixel[1] = uint8_t(y / 64 * 40), pixel[2] = 128, pixel[3] = 255;
        }
    return strombel::platform::PngImage::fromRgba(side, side, rgba)->data();
}

/// Answers resource requests (type 2) on `socket` with `icon` as resource 1.
void serveRequests(const Socket& socket, const Bytes& icon) {
    uint8_t request[4096];
    sockaddr_storage from{};
    for (;;) {
        socklen_t length = sizeof from;
        ssize_t n = ::recvfrom(socket.fd, request, sizeof request, 0, reinterpret_cast<sockaddr*>(&from), &length);
        if (n < 0) return;
        if (n < 12 || request[0] != 3 || request[2] != 2) continue;
        const uint32_t id = get32(request + 4);
        const uint32_t count = id == 1 ? uint32_t((icon.size() + kSegmentData - 1) / kSegmentData) : 0;
        for (uint32_t index = get32(request + 8); index < count || (count == 0 && index == 0); ++index) {
            const size_t offset = size_t(index) * kSegmentData;
            const size_t size = count ? std::min(kSegmentData, icon.size() - offset) : 0;
            Bytes segment(20 + size, 0);
            segment[0] = 3, segment[1] = 3, segment[2] = 3, segment[3] = 17;
            put32(&segment[4], id);
            segment[8] = count < 256 ? uint8_t(count) : 0;
            segment[9] = count < 256 ? uint8_t(index) : 0;
            put16(&segment[10], uint16_t(size));
            put32(&segment[12], count);
            put32(&segment[16], index);
            if (size) std::memcpy(&segment[20], icon.data() + offset, size);
            while (::sendto(socket.fd, segment.data(), segment.size(), 0, reinterpret_cast<sockaddr*>(&from), length) < 0 &&
                   errno == EAGAIN) {
                pollfd out{socket.fd, POLLOUT, 0};
                ::poll(&out, 1, 10);
            }
            if (count == 0) break;
        }
    }
}

/// The connection state message (type 7) of `peers` (unique id, name), the
/// program's output linked to the first peer, signed with `key`.
Bytes graphMessage(EVP_PKEY* key, uint8_t sequence, const std::vector<std::pair<std::string, std::string>>& peers,
                   uint8_t programIndex, uint32_t output) {
    Bytes tables;
    for (const auto& [id, name] : peers) {
        tables.push_back(3);
        tables.push_back(uint8_t(id.size()));
        tables.push_back(uint8_t(name.size()));
        tables.insert(tables.end(), id.begin(), id.end());
        tables.insert(tables.end(), name.begin(), name.end());
    }
    const size_t peerTable = tables.size();
    uint8_t edge[11] = {11, programIndex};
    put32(edge + 2, output);
    edge[6] = 0;
    put32(edge + 7, 77);
    tables.insert(tables.end(), edge, edge + sizeof edge);
    const size_t signatureLength = size_t(EVP_PKEY_get_size(key));
    Bytes header(27, 0);
    header[0] = 3, header[1] = 3, header[2] = 7, header[3] = 24, header[4] = sequence;
    for (int i = 0; i < 16; ++i) header[5 + i] = uint8_t(0x40 + i);
    put16(&header[21], uint16_t(signatureLength));
    put16(&header[23], uint16_t(peerTable));
    put16(&header[25], uint16_t(tables.size() - peerTable));
    // Signed: the header and everything after the signature.
    Bytes content(header.size() + tables.size());
    std::copy(tables.begin(), tables.end(), std::copy(header.begin(), header.end(), content.begin()));
    const Bytes signature = strombel::hub::testing::signContent(key, content.data(), content.size(), 'B');
    Bytes message(header.size() + signature.size() + tables.size());
    auto at = std::copy(header.begin(), header.end(), message.begin());
    std::copy(tables.begin(), tables.end(), std::copy(signature.begin(), signature.end(), at));
    return message;
}

/// The program's announcement in the folder: its port, once it published.
std::optional<uint16_t> programPort(const std::string& folder) {
    for (const auto& entry : DirectoryServiceDiscovery::readFolder(folder))
        if (entry.record.name.rfind("strombel (", 0) == 0) return entry.record.port;
    return std::nullopt;
}

uint32_t portIdentifier(const std::string& name) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    EVP_Digest(name.data(), name.size(), digest, &length, EVP_sha1(), nullptr);
    const uint32_t id = get32(digest);
    return id == 0 ? 1 : id;
}

}  // namespace

int main(int argc, char** argv) {
    std::string folder = DirectoryServiceDiscovery::defaultFolder().string();
    double seconds = 20, lifetime = 6;
    int rate = 0, icons = 0, junk = 0;
    uint32_t side = 0;
    std::string keyFile, output;
    bool latecomer = false, churn = false;
    for (int i = 1; i < argc; ++i) {
        const std::string option = argv[i];
        const char* value = i + 1 < argc ? argv[i + 1] : "";
        if (option == "--folder") folder = value, ++i;
        else if (option == "--seconds") seconds = std::atof(value), ++i;
        else if (option == "--names") std::sscanf(value, "%d,%lf", &rate, &lifetime), ++i;
        else if (option == "--icons") std::sscanf(value, "%d,%u", &icons, &side), ++i;
        else if (option == "--junk") junk = std::atoi(value), ++i;
        else if (option == "--latecomer") latecomer = true;
        else if (option == "--churn") churn = true;
        else if (option == "--graph") {
            const std::string text = value;
            keyFile = text.substr(0, text.find(','));
            output = text.find(',') == std::string::npos ? "" : text.substr(text.find(',') + 1);
            ++i;
        } else {
            std::fprintf(stderr, "hub_neighbour: unknown option %s\n", option.c_str());
            return 2;
        }
    }
    signal(SIGTERM, [](int) { stopping = 1; });
    signal(SIGINT, [](int) { stopping = 1; });
    ::mkdir(folder.c_str(), 0700);
    const uint64_t start = monotonicNanos();
    auto elapsed = [&] { return double(monotonicNanos() - start) / 1e9; };

    auto writeJunk = [&](int i) {
        std::ofstream(folder + "/junk-" + std::to_string(i) + ".service") << "not an announcement " << i << "\n";
    };
    for (int i = 0; i < junk && !stopping; ++i) writeJunk(i);
    int nextJunk = 0;
    Socket latecomerSocket;
    if (latecomer) {
        DirectoryServiceDiscovery::writeEntry(folder, announcement("Latecomer", latecomerSocket.port, "77:77:77:77:77:77"),
                                              false);
        std::printf("latecomer %llu\n", static_cast<unsigned long long>(monotonicNanos()));
        std::fflush(stdout);
    }

    // The icon servers, the first of them the hub when a graph is asked for.
    std::vector<std::unique_ptr<Socket>> servers;
    std::vector<std::pair<std::string, std::string>> graphPeers;
    const Bytes icon = icons ? bigPng(side) : Bytes{};
    for (int i = 0; i < icons; ++i) {
        servers.push_back(std::make_unique<Socket>());
        const std::string name = i == 0 && !keyFile.empty() ? "Wirehub" : "Synth " + std::to_string(i);
        char deviceID[32];
        std::snprintf(deviceID, sizeof deviceID, "0A:1B:2C:3D:%02X:%02X", i >> 8, i & 255);
        DirectoryServiceDiscovery::writeEntry(folder, announcement(name, servers.back()->port, deviceID), false);
        graphPeers.emplace_back(deviceID, name);
    }
    EVP_PKEY* key = nullptr;
    if (!keyFile.empty()) {
        if (FILE* file = std::fopen(keyFile.c_str(), "r")) {
            key = PEM_read_PrivateKey(file, nullptr, nullptr, nullptr);
            std::fclose(file);
        }
        graphPeers.emplace_back("", "strombel");
    }

    std::deque<std::pair<double, std::string>> named;
    int nextName = 0;
    double nextGraph = 1;
    uint8_t sequence = 0;
    while (!stopping && elapsed() < seconds) {
        const double now = elapsed();
        while (rate > 0 && nextName < int(now * rate)) {
            const std::string name = "Noise " + std::to_string(::getpid()) + "-" + std::to_string(nextName++);
            DirectoryServiceDiscovery::writeEntry(folder, announcement(name, latecomerSocket.port, "99:99:99:99:99:99"),
                                                  false);
            named.emplace_back(now + lifetime, name);
        }
        while (!named.empty() && named.front().first <= now) {
            withdraw(folder, named.front().second);
            named.pop_front();
        }
        if (key && !servers.empty() && now >= nextGraph && nextGraph <= 5) {
            nextGraph += 1;
            if (auto port = programPort(folder)) {
                const Bytes message =
                    graphMessage(key, ++sequence, graphPeers, uint8_t(graphPeers.size() - 1), portIdentifier(output));
                sockaddr_in to{};
                to.sin_family = AF_INET;
                to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
                to.sin_port = htons(*port);
                ::sendto(servers.front()->fd, message.data(), message.size(), 0, reinterpret_cast<sockaddr*>(&to),
                         sizeof to);
            }
        }
        for (int i = 0; churn && junk > 0 && i < 500; ++i) writeJunk(nextJunk++ % junk);
        std::vector<pollfd> fds;
        for (const auto& server : servers) fds.push_back({server->fd, POLLIN, 0});
        ::poll(fds.data(), fds.size(), churn ? 0 : 5);
        for (const auto& server : servers) serveRequests(*server, icon);
        char drain[4096];
        while (::recv(latecomerSocket.fd, drain, sizeof drain, 0) > 0) {
        }
    }

    for (const auto& entry : named) withdraw(folder, entry.second);
    for (const auto& [id, name] : graphPeers)
        if (name != "strombel") withdraw(folder, name);
    if (latecomer) withdraw(folder, "Latecomer");
    for (int i = 0; i < junk; ++i) ::unlink((folder + "/junk-" + std::to_string(i) + ".service").c_str());
    if (key) EVP_PKEY_free(key);
    return 0;
}
