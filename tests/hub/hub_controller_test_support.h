#pragma once

// The controller in a world of its own: a bundle with the program's name and
// hub address, a directory of services in a temporary folder, the test key as
// the hub's, and "hubs" that are plain UDP sockets of the test, so that what
// the controller sends can be read back byte for byte.

#include <netinet/in.h>
#include <openssl/evp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <fstream>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "bus_test_support.h"
#include "hub/bus_message.h"
#include "hub/hub_controller.h"
#include "hub/hub_peer.h"
#include "hub/hub_signature_validator.h"
#include "platform/main_bundle.h"

namespace strombel::hub::testing {

using Bytes = std::vector<uint8_t>;

/// Signs `content` with the test key (RSASSA-PKCS1-v1_5, SHA-1).
inline Bytes signWithTestKey(const Bytes& content, EVP_PKEY* key = TestKeyPair::shared().key) {
    EVP_MD_CTX* context = EVP_MD_CTX_new();
    EVP_DigestSignInit(context, nullptr, EVP_sha1(), nullptr, key);
    size_t length = 0;
    EVP_DigestSign(context, nullptr, &length, content.data(), content.size());
    Bytes signature(length);
    EVP_DigestSign(context, signature.data(), &length, content.data(), content.size());
    EVP_MD_CTX_free(context);
    return signature;
}

/// A connection state message (type 7), written from the protocol's table.
struct GraphMessage {
    struct Peer {
        std::string uniqueID;
        std::string name;
    };
    struct Edge {
        uint8_t sourceIndex = 0;
        uint32_t sourcePort = 0;
        uint8_t destinationIndex = 0;
        uint32_t destinationPort = 0;
        uint8_t length = 11;
        uint32_t manufacturer = 0, type = 0, subtype = 0;
    };
    uint8_t sequence = 1;
    std::array<uint8_t, 16> session{0x5E, 0x55, 0x10, 0x4E, 0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11};
    std::vector<Peer> peers;
    std::vector<Edge> edges;
    bool sign = true;
    EVP_PKEY* key = TestKeyPair::shared().key;

    Bytes bytes() const {
        Bytes peerTable, edgeTable;
        for (const auto& peer : peers) {
            peerTable.push_back(3);
            peerTable.push_back(uint8_t(peer.uniqueID.size()));
            peerTable.push_back(uint8_t(peer.name.size()));
            peerTable.insert(peerTable.end(), peer.uniqueID.begin(), peer.uniqueID.end());
            peerTable.insert(peerTable.end(), peer.name.begin(), peer.name.end());
        }
        for (const auto& edge : edges) {
            Bytes entry(edge.length, 0);
            entry[0] = edge.length;
            entry[1] = edge.sourceIndex;
            writeU32(entry.data() + 2, edge.sourcePort);
            entry[6] = edge.destinationIndex;
            writeU32(entry.data() + 7, edge.destinationPort);
            if (edge.length >= 23) {
                writeU32(entry.data() + 11, edge.manufacturer);
                writeU32(entry.data() + 15, edge.type);
                writeU32(entry.data() + 19, edge.subtype);
            }
            edgeTable.insert(edgeTable.end(), entry.begin(), entry.end());
        }
        Bytes header(3 + 24, 0);
        header[0] = 3;
        header[1] = 3;
        header[2] = 7;
        header[3] = 24;
        header[4] = sequence;
        std::copy(session.begin(), session.end(), header.begin() + 5);
        Bytes tables = peerTable;
        tables.insert(tables.end(), edgeTable.begin(), edgeTable.end());
        const size_t signatureSize = sign ? size_t(EVP_PKEY_get_size(key)) : 0;
        writeU16(header.data() + 3 + 18, uint16_t(signatureSize));
        writeU16(header.data() + 3 + 20, uint16_t(peerTable.size()));
        writeU16(header.data() + 3 + 22, uint16_t(edgeTable.size()));
        // The signature covers the header and everything after the signature.
        Bytes content(header.size() + tables.size());
        std::copy(header.begin(), header.end(), content.begin());
        std::copy(tables.begin(), tables.end(), content.begin() + long(header.size()));
        const Bytes signature = sign ? signWithTestKey(content, key) : Bytes{};
        Bytes message(header.size() + signature.size() + tables.size());
        auto at = std::copy(header.begin(), header.end(), message.begin());
        at = std::copy(signature.begin(), signature.end(), at);
        std::copy(tables.begin(), tables.end(), at);
        return message;
    }
};

/// A hub played by a UDP socket of the test, known to the controller as a bus
/// peer of this machine (127.0.0.1) or of another device (127.0.0.2). Unless
/// `registered` is false, its peer is in the controller's registry at once;
/// else the controller makes its own when told the bus peer appeared.
class SocketHub {
public:
    SocketHub(HubController& controller, const std::string& name, const std::string& host = "127.0.0.1",
              const std::string& deviceID = "0A:1B:2C:3D:4E:5F", bool registered = true) {
        socket_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        auto local = platform::SocketAddress::fromText(host, 0);
        ::bind(socket_, local->get(), local->length());
        platform::SocketAddress bound;
        socklen_t length = sizeof(sockaddr_storage);
        getsockname(socket_, bound.get(), &length);
        platform::ServiceRecord record;
        record.name = name + " (" + (host == "127.0.0.1" ? "Stage" : "Tablet") + ")";
        record.type = "_wirehub._udp";
        record.port = bound.port();
        record.addresses.push_back(bound);
        record.txt = {{"deviceID", deviceID}, {"BusVersion", "3"}, {"version", "3"}, {"SDK version", "2.1.4"},
                      {"launchURL", "wirehub://"}, {"capabilities", "1"}};
        bus = BusPeer::withService(record, &controller.localEndpoint());
        if (registered) {
            peer = HubPeer::peerWithDBPeer(bus, controller.localEndpoint().loop().clock());
            setHubPeerOf(*bus, peer);
            controller.addPeer(peer);
        }
        to_ = platform::SocketAddress::fromText("127.0.0.1", uint16_t(controller.localEndpoint().socketPort()));
    }
    ~SocketHub() { ::close(socket_); }

    /// The next datagram to this hub, within `milliseconds`.
    std::optional<Bytes> receive(int milliseconds = 2000) {
        pollfd fd{socket_, POLLIN, 0};
        if (poll(&fd, 1, milliseconds) <= 0) return std::nullopt;
        Bytes bytes(4096);
        ssize_t n = recv(socket_, bytes.data(), bytes.size(), 0);
        if (n < 0) return std::nullopt;
        bytes.resize(size_t(n));
        return bytes;
    }
    /// The next datagram of a type, skipping others.
    std::optional<Bytes> receiveType(uint8_t type, int milliseconds = 2000) {
        for (;;) {
            auto bytes = receive(milliseconds);
            if (!bytes || (bytes->size() >= 3 && (*bytes)[2] == type)) return bytes;
        }
    }

    std::shared_ptr<BusPeer> bus;
    std::shared_ptr<HubPeer> peer;

private:
    int socket_ = -1;
    std::optional<platform::SocketAddress> to_;
};

/// The program's bundle as the controller reads it.
inline void writeBundle(const std::filesystem::path& folder) {
    std::filesystem::create_directories(folder);
    std::ofstream(folder / "Info.plist")
        << "<?xml version=\"1.0\" encoding=\"UTF-8\"?><plist version=\"1.0\"><dict>"
           "<key>CFBundleExecutable</key><string>strombel</string>"
           "<key>CFBundleDisplayName</key><string>Strombel</string>"
           "<key>CFBundleURLTypes</key><array><dict><key>CFBundleURLSchemes</key>"
           "<array><string>strombel.wirehub</string></array></dict></array></dict></plist>";
}

struct ControllerWorld : BusWorld {
    std::filesystem::path bundleFolder = temp / "bundle";
    bool bundleWritten = (writeBundle(bundleFolder), true);
    platform::MainBundle bundle{bundleFolder};
    std::vector<HubAlert> alerts;
    std::vector<std::string> opened;
    bool active = true;

    HubController::Options options() {
        HubController::Options options;
        options.discovery = &discovery;
        options.loop = &loop;
        options.notifications = &notifications;
        options.defaults = &defaults;
        options.bundle = &bundle;
        options.signatureValidator = HubSignatureValidator::withKey(TestKeyPair::shared().publicKey);
        options.bindAddress = platform::SocketAddress::fromText("127.0.0.1", 0);
        options.deviceName = "Desk";
        options.alertPresenter = [this](HubAlert alert) { alerts.push_back(std::move(alert)); };
        options.urlOpener = [this](const std::string& url) { opened.push_back(url); };
        options.applicationIsActive = [this] { return active; };
        options.publishSenderPortsOnJack = false;
        options.realTimeListener = false;
        options.resourceOptions.cachesFolder = temp / "caches";
        options.stateFolder = temp / "state";
        return options;
    }
};

}  // namespace strombel::hub::testing
