// hub_simulator: plays the hub's side of the message bus for the tests, with its
// own byte code written from the protocol tables (never the bus's own), so that
// a layout mistake on either side shows. Driven by lines on standard input, it
// answers one line per command on standard output; it quits on "quit", when
// its input closes, or 60 seconds after it started.
//
//   hub_simulator --directory DIR --key PRIVATE.pem [--bind 127.0.0.1] [--device NAME] [--form A|B]
//                 [--device-id ID] [--name NAME]
//
// Commands: txt KEY VALUE | txthex KEY HEX (a binary value) | peer NAME | ping | serve ID SIZE | serve-file ID PATH |
// skip ID SEGMENT | mute ID | requests ID (how many came) | load ID [short] | pull OUT.plist | push IN.plist [lose N] [type19] [badsig] |
// raw HEX | rawsize N | quit
// JACK (the server JACK_DEFAULT_SERVER names): jack-open | jack-connect CLIENT:PORT (its " L" and " R") |
// jack-disconnect | record FRAMES OUT.raw [armed] (float32 pairs, from the first sound; with "armed", a line
// "armed" comes first, once the ports record)
// Session: connect-app NAME|PORT (a signed graph linking the app's port to our
// input, and the JACK ports "NAME:PORT L/R" to ours) | link-apps NAME|PORT|NAME|PORT (a signed
// graph linking the first app's port to the second's) | disconnect-app | ack |
// fire ID | adjust ID VALUE | trigger-state ID | activate NAME | meta KEY

#include <arpa/inet.h>
#include <netinet/in.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>
#include <jack/jack.h>
#include <plist/plist.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <deque>
#include <fstream>
#include <functional>
#include <iostream>
#include <iterator>
#include <map>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "hub_signing.h"
#include "platform/directory_service_discovery.h"

using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;
using strombel::platform::DirectoryServiceDiscovery;
using strombel::platform::SocketAddress;

namespace {

const auto started = Clock::now();
int udp = -1;
std::string directory;
std::string device = "Stage";
std::string bindHost = "127.0.0.1";
uint16_t port = 0;
char form = 'B';
std::string deviceID = "0A:1B:2C:3D:4E:5F";
std::string hubName = "Wirehub";  // the endpoint's name: a second hub on one machine needs another
EVP_PKEY* privateKey = nullptr;
uint32_t sequence = 0;
std::map<std::string, std::string> txt;
std::optional<SocketAddress> target;
std::map<uint32_t, Bytes> resources;
std::set<std::pair<uint32_t, uint32_t>> skips;  // (resource, segment) to leave out once
std::set<uint32_t> muted;                        // resources whose requests get no answer
std::map<uint32_t, int> requestsSeen;            // requests by resource, answered or not

void put16(Bytes& b, size_t at, uint16_t v) {
    b[at] = uint8_t(v);
    b[at + 1] = uint8_t(v >> 8);
}
void put32(Bytes& b, size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) b[at + i] = uint8_t(v >> (8 * i));
}
uint16_t get16(const uint8_t* p) { return uint16_t(p[0] | (p[1] << 8)); }
uint32_t get32(const uint8_t* p) { return p[0] | (p[1] << 8) | (p[2] << 16) | (uint32_t(p[3]) << 24); }

std::string hexOf(const uint8_t* p, size_t n) {
    std::string s;
    char buffer[3];
    for (size_t i = 0; i < n; ++i) {
        std::snprintf(buffer, sizeof buffer, "%02x", p[i]);
        s += buffer;
    }
    return s;
}

std::string sha1Hex(const Bytes& data) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    EVP_Digest(data.data(), data.size(), digest, &length, EVP_sha1(), nullptr);
    return hexOf(digest, length);
}

bool expired() { return Clock::now() - started > std::chrono::seconds(60); }

void publish() {
    DirectoryServiceDiscovery::Entry entry;
    entry.record.name = hubName + " (" + device + ")";
    entry.record.type = "_wirehub._udp";
    entry.record.port = port;
    entry.record.addresses.push_back(*SocketAddress::fromText(bindHost, port));
    entry.record.txt = txt;
    entry.record.txt["sequence"] = std::to_string(sequence++);
    entry.owner = getpid();
    DirectoryServiceDiscovery::writeEntry(directory, entry, false);
}

void unpublish() {
    std::string file = directory + "/" + DirectoryServiceDiscovery::fileName("_wirehub._udp", hubName + " (" + device + ")");
    unlink(file.c_str());
}

void sendTo(const SocketAddress& to, const Bytes& message) {
    sendto(udp, message.data(), message.size(), 0, to.get(), to.length());
}
void send(const Bytes& message) {
    if (target) sendTo(*target, message);
}

// ---- signatures ------------------------------------------------------------------

Bytes sign(const uint8_t* content, size_t length) {
    return strombel::hub::testing::signContent(privateKey, content, length, form);
}

// ---- receiving -------------------------------------------------------------------

struct Message {
    Bytes bytes;
    SocketAddress from;
    uint8_t type() const { return bytes.size() >= 3 ? bytes[2] : 0xFF; }
    const uint8_t* payload() const { return bytes.data() + bytes[1]; }
};

void serveRequest(const Message& message);

// Waits up to `milliseconds` for a datagram; pings are answered and resource
// requests served on the way, and returned too.
std::optional<Message> receive(int milliseconds) {
    pollfd fd{udp, POLLIN, 0};
    if (poll(&fd, 1, milliseconds) <= 0) return std::nullopt;
    Message message;
    message.bytes.resize(65536);
    socklen_t length = sizeof(sockaddr_storage);
    ssize_t n = recvfrom(udp, message.bytes.data(), message.bytes.size(), 0, message.from.get(), &length);
    if (n < 3) return std::nullopt;
    message.bytes.resize(size_t(n));
    if (message.bytes[1] < 3 || message.bytes[1] > n) return std::nullopt;
    if (message.type() == 9 && n >= 11) {
        Bytes reply(19);
        reply[0] = 3;
        reply[1] = 3;
        reply[2] = 10;
        std::memcpy(reply.data() + 3, message.payload(), 8);
        uint64_t now = uint64_t(std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - started).count());
        for (int i = 0; i < 8; ++i) reply[11 + i] = uint8_t(now >> (8 * i));
        sendTo(message.from, reply);
    }
    if (message.type() == 2) serveRequest(message);
    return message;
}

void serveRequest(const Message& message) {
    if (message.bytes.size() < size_t(message.bytes[1]) + 9) return;
    uint32_t id = get32(message.payload() + 1);
    uint32_t first = get32(message.payload() + 5);
    ++requestsSeen[id];
    if (muted.count(id)) return;
    auto it = resources.find(id);
    if (it == resources.end()) {
        Bytes notFound(20, 0);
        notFound[0] = 3;
        notFound[1] = 3;
        notFound[2] = 3;
        notFound[3] = 17;
        put32(notFound, 4, id);
        sendTo(message.from, notFound);
        return;
    }
    const Bytes& data = it->second;
    const size_t chunk = 1492 - 20;
    uint32_t count = uint32_t((data.size() + chunk - 1) / chunk);
    for (uint32_t index = first; index < count; ++index) {
        if (skips.erase({id, index})) continue;
        size_t n = std::min(chunk, data.size() - size_t(index) * chunk);
        Bytes segment(20 + n);
        segment[0] = 3;
        segment[1] = 3;
        segment[2] = 3;
        segment[3] = 17;
        put32(segment, 4, id);
        segment[8] = count < 256 ? uint8_t(count) : 0;
        segment[9] = count < 256 ? uint8_t(index) : 0;
        put16(segment, 10, uint16_t(n));
        put32(segment, 12, count);
        put32(segment, 16, index);
        std::memcpy(segment.data() + 20, data.data() + size_t(index) * chunk, n);
        sendTo(message.from, segment);
    }
}

// ---- commands --------------------------------------------------------------------

std::string ping() {
    Bytes message(11, 0);
    message[0] = 3;
    message[1] = 3;
    message[2] = 9;
    for (int i = 0; i < 8; ++i) message[3 + i] = uint8_t(0x40 + i);
    send(message);
    auto deadline = Clock::now() + std::chrono::seconds(2);
    while (Clock::now() < deadline) {
        auto reply = receive(50);
        if (reply && reply->type() == 10 && reply->bytes.size() == 19 && std::memcmp(reply->bytes.data() + 3, message.data() + 3, 8) == 0) {
            return "pong";
        }
    }
    return "timeout";
}

// `shortRequests`: requests of the identifier alone (P = 5), which ask from
// segment 0.
std::string load(uint32_t id, bool shortRequests) {
    auto request = [&](uint32_t first) {
        Bytes message(shortRequests ? 8 : 12, 0);
        message[0] = 3;
        message[1] = 3;
        message[2] = 2;
        message[3] = shortRequests ? 5 : 9;
        put32(message, 4, id);
        if (!shortRequests) put32(message, 8, first);
        send(message);
    };
    Bytes data;
    uint32_t expected = 0;
    request(0);
    int idle = 0;
    while (idle < 25) {
        auto message = receive(200);
        if (!message) {
            ++idle;
            request(expected);
            continue;
        }
        if (message->type() != 3 || message->bytes.size() < 20) continue;
        const uint8_t* p = message->payload();
        if (get32(p + 1) != id) continue;
        uint32_t count = get32(p + 9), index = get32(p + 13);
        uint16_t n = get16(p + 7);
        if (count == 0) return "notfound";
        if (index != expected) {
            if (index > expected) request(expected);
            continue;
        }
        if (message->bytes.size() < size_t(message->bytes[1]) + p[0] + n) return "failed";
        idle = 0;
        data.insert(data.end(), p + p[0], p + p[0] + n);
        if (++expected == count) return "loaded " + std::to_string(data.size()) + " " + sha1Hex(data);
    }
    return "failed";
}

plist_t readPlistFile(const std::string& path) {
    std::ifstream stream(path, std::ios::binary);
    std::string text((std::istreambuf_iterator<char>(stream)), std::istreambuf_iterator<char>());
    plist_t root = nullptr;
    plist_from_memory(text.data(), uint32_t(text.size()), &root);
    return root;
}

std::string pull(const std::string& out) {
    Bytes message{3, 3, 16, 4, 1, 0, 0};
    Bytes signature = sign(message.data(), message.size());
    message.insert(message.end(), signature.begin(), signature.end());
    send(message);
    Bytes dictionary;
    std::map<std::string, Bytes> items;
    std::string currentKey;
    uint16_t item = 0;
    uint32_t segment = 0;
    int idle = 0;
    auto rerequest = [&]() {
        Bytes r(12, 0);
        r[0] = 3;
        r[1] = 3;
        r[2] = 18;
        r[3] = 7;
        put16(r, 4, item);
        put32(r, 6, segment);
        send(r);
    };
    while (idle < 15) {
        auto packet = receive(200);
        if (!packet) {
            ++idle;
            rerequest();
            continue;
        }
        if (packet->type() != 19 || packet->bytes.size() < 19) continue;
        const uint8_t* p = packet->payload();
        uint16_t itemCount = get16(p + 2), itemIndex = get16(p + 4);
        uint32_t segmentCount = get32(p + 6), segmentIndex = get32(p + 10);
        uint16_t n = get16(p + 14);
        if (itemCount == 0 && segmentCount == 0) return "pulled-empty";
        if (itemIndex != item || segmentIndex != segment) {
            rerequest();
            continue;
        }
        idle = 0;
        const uint8_t* data = p + p[0];
        if (item == 0) {
            dictionary.insert(dictionary.end(), data, data + n);
        } else {
            size_t skip = 0;
            if (segment == 0) {
                uint16_t total = get16(data + 1), keyLength = get16(data + 3);
                currentKey.assign(reinterpret_cast<const char*>(data + 5), keyLength);
                skip = total;
            }
            items[currentKey].insert(items[currentKey].end(), data + skip, data + n);
        }
        if (++segment == segmentCount) {
            segment = 0;
            if (++item == itemCount) break;
        }
    }
    if (idle >= 15) return "failed";
    plist_t root = nullptr;
    plist_from_bin(reinterpret_cast<const char*>(dictionary.data()), uint32_t(dictionary.size()), &root);
    if (!root) return "failed";
    for (auto& [key, bytes] : items) {
        plist_dict_set_item(root, key.c_str(), plist_new_data(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
    }
    char* xml = nullptr;
    uint32_t length = 0;
    plist_to_xml(root, &xml, &length);
    std::ofstream(out, std::ios::binary).write(xml, length);
    free(xml);
    plist_free(root);
    return "pulled " + std::to_string(items.size() + 1);
}

std::string push(const std::string& path, int lose, bool unsigned19, bool badSignature) {
    plist_t root = readPlistFile(path);
    if (!root) return "failed";
    std::vector<std::pair<std::string, Bytes>> large;
    plist_dict_iter iter = nullptr;
    plist_dict_new_iter(root, &iter);
    std::vector<std::string> keys;
    for (;;) {
        char* key = nullptr;
        plist_t value = nullptr;
        plist_dict_next_item(root, iter, &key, &value);
        if (!value) break;
        if (plist_get_node_type(value) == PLIST_DATA) {
            char* bytes = nullptr;
            uint64_t length = 0;
            plist_get_data_val(value, &bytes, &length);
            if (length > 2048) {
                large.push_back({key, Bytes(bytes, bytes + length)});
                keys.push_back(key);
            }
            free(bytes);
        }
        free(key);
    }
    free(iter);
    for (auto& key : keys) plist_dict_remove_item(root, key.c_str());
    char* bin = nullptr;
    uint32_t binLength = 0;
    plist_to_bin(root, &bin, &binLength);
    plist_free(root);
    std::vector<Bytes> itemData{Bytes(bin, bin + binLength)};
    free(bin);
    for (auto& [key, bytes] : large) {
        Bytes item(5 + key.size());
        item[0] = 5;
        put16(item, 1, uint16_t(5 + key.size()));
        put16(item, 3, uint16_t(key.size()));
        std::memcpy(item.data() + 5, key.data(), key.size());
        item.insert(item.end(), bytes.begin(), bytes.end());
        itemData.push_back(std::move(item));
    }
    const size_t signatureSize = unsigned19 ? 0 : size_t(EVP_PKEY_get_size(privateKey));
    const size_t capacity = 1492 - 19 - signatureSize;
    auto packetFor = [&](uint16_t item, uint32_t segment) {
        const Bytes& data = itemData[item];
        uint32_t count = uint32_t((data.size() + capacity - 1) / capacity);
        size_t n = std::min(capacity, data.size() - size_t(segment) * capacity);
        Bytes packet(19 + n);
        packet[0] = 3;
        packet[1] = 3;
        packet[2] = unsigned19 ? 19 : 17;
        packet[3] = 16;
        packet[4] = item == 0 ? 0 : 1;
        put16(packet, 5, uint16_t(itemData.size()));
        put16(packet, 7, item);
        put32(packet, 9, count);
        put32(packet, 13, segment);
        put16(packet, 17, uint16_t(n));
        std::memcpy(packet.data() + 19, data.data() + size_t(segment) * capacity, n);
        if (!unsigned19) {
            Bytes signature = sign(packet.data(), packet.size());
            if (badSignature) signature[10] ^= 0x01;
            packet.insert(packet.end(), signature.begin(), signature.end());
        }
        return packet;
    };
    auto segmentsOf = [&](uint16_t item) { return uint32_t((itemData[item].size() + capacity - 1) / capacity); };
    uint16_t item = 0;
    uint32_t segment = 0;
    int sent = 0;
    int idle = 0;
    bool done = false;
    while (!done && idle < 10) {
        if (item < itemData.size()) {
            Bytes packet = packetFor(item, segment);
            if (sent++ != lose) send(packet);
            if (++segment >= segmentsOf(item)) {
                segment = 0;
                ++item;
            }
        }
        // Take re-requests: the receiver says where to go on from.
        auto message = receive(item < itemData.size() ? 0 : 150);
        if (!message) {
            if (item >= itemData.size()) ++idle;
            continue;
        }
        idle = 0;
        if (message->type() == 18 && message->bytes.size() >= 12) {
            uint16_t wanted = get16(message->payload() + 1);
            if (wanted == 65535) done = true;
            else if (wanted < itemData.size()) {
                item = wanted;
                segment = std::min(get32(message->payload() + 3), segmentsOf(wanted) - 1);
            }
        }
    }
    return done ? "pushed stopped" : "pushed";
}

// ---- JACK input ports --------------------------------------------------------------

jack_client_t* jackClient = nullptr;
jack_port_t* jackInputs[2] = {nullptr, nullptr};
std::vector<std::string> jackSources;
// The recording: armed by the main thread, filled by JACK's thread from the
// first non-silent frame on.
std::vector<float> recording;
std::atomic<size_t> recordingWanted{0};
std::atomic<size_t> recordingFilled{0};
std::atomic<bool> recordingArmed{false};

int jackProcess(jack_nframes_t frames, void*) {
    if (!recordingArmed.load(std::memory_order_acquire)) return 0;
    auto* left = static_cast<const float*>(jack_port_get_buffer(jackInputs[0], frames));
    auto* right = static_cast<const float*>(jack_port_get_buffer(jackInputs[1], frames));
    size_t filled = recordingFilled.load(std::memory_order_relaxed);
    const size_t wanted = recordingWanted.load(std::memory_order_relaxed);
    for (jack_nframes_t i = 0; i < frames && filled < wanted; ++i) {
        if (filled == 0 && left[i] == 0.0f && right[i] == 0.0f) continue;
        recording[2 * filled] = left[i];
        recording[2 * filled + 1] = right[i];
        ++filled;
    }
    recordingFilled.store(filled, std::memory_order_release);
    return 0;
}

std::string jackOpen() {
    if (jackClient) return "ok";
    jack_status_t status;
    jackClient = jack_client_open("Wirehub", JackNoStartServer, &status);
    if (!jackClient) return "nojack";
    jackInputs[0] = jack_port_register(jackClient, "input L", JACK_DEFAULT_AUDIO_TYPE, JackPortIsInput, 0);
    jackInputs[1] = jack_port_register(jackClient, "input R", JACK_DEFAULT_AUDIO_TYPE, JackPortIsInput, 0);
    jack_set_process_callback(jackClient, jackProcess, nullptr);
    if (jack_activate(jackClient) != 0) return "failed";
    return "ok " + std::to_string(jack_get_sample_rate(jackClient));
}

std::string jackDisconnect() {
    if (!jackClient) return "nojack";
    for (size_t i = 0; i < jackSources.size(); ++i) {
        jack_disconnect(jackClient, jackSources[i].c_str(), jack_port_name(jackInputs[i % 2]));
    }
    jackSources.clear();
    return "ok";
}

std::string jackConnect(const std::string& left, const std::string& right) {
    if (!jackClient) return "nojack";
    jackDisconnect();
    const std::string sources[2] = {left, right};
    for (int i = 0; i < 2; ++i) {
        if (jack_connect(jackClient, sources[i].c_str(), jack_port_name(jackInputs[i])) != 0) return "failed";
        jackSources.push_back(sources[i]);
    }
    return "ok";
}

std::string record(size_t frames, const std::string& out, bool tellArmed) {
    if (!jackClient) return "nojack";
    recordingArmed.store(false, std::memory_order_release);
    recording.assign(frames * 2, 0.0f);
    recordingFilled.store(0);
    recordingWanted.store(frames);
    recordingArmed.store(true, std::memory_order_release);
    if (tellArmed) {
        std::printf("armed\n");
        std::fflush(stdout);
    }
    auto deadline = Clock::now() + std::chrono::seconds(15);
    while (recordingFilled.load(std::memory_order_acquire) < frames && Clock::now() < deadline) receive(5);
    recordingArmed.store(false, std::memory_order_release);
    const size_t filled = recordingFilled.load(std::memory_order_acquire);
    std::ofstream(out, std::ios::binary)
        .write(reinterpret_cast<const char*>(recording.data()), std::streamsize(filled * 2 * sizeof(float)));
    return "recorded " + std::to_string(filled);
}

// ---- the session -------------------------------------------------------------------

uint32_t portIdentifier(const std::string& name) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    EVP_Digest(name.data(), name.size(), digest, &length, EVP_sha1(), nullptr);
    uint32_t id = get32(digest);
    return id == 0 ? 1 : id;
}

uint8_t graphSequence = 0;
constexpr uint32_t kInputPort = 1;

// A connection state (type 7): the peer table, the edge table, signed.
std::string sendGraph(const std::vector<std::string>& peers, const Bytes& edges) {
    Bytes table;
    for (const auto& name : peers) {
        const std::string unique = name == hubName ? txt["deviceID"] : "";
        table.push_back(3);
        table.push_back(uint8_t(unique.size()));
        table.push_back(uint8_t(name.size()));
        table.insert(table.end(), unique.begin(), unique.end());
        table.insert(table.end(), name.begin(), name.end());
    }
    Bytes header(27, 0);
    header[0] = 3;
    header[1] = 3;
    header[2] = 7;
    header[3] = 24;
    header[4] = ++graphSequence;
    for (int i = 0; i < 16; ++i) header[5 + i] = uint8_t(0xA0 + i);
    const size_t signatureSize = size_t(EVP_PKEY_get_size(privateKey));
    put16(header, 21, uint16_t(signatureSize));
    put16(header, 23, uint16_t(table.size()));
    put16(header, 25, uint16_t(edges.size()));
    Bytes content = header;
    content.insert(content.end(), table.begin(), table.end());
    content.insert(content.end(), edges.begin(), edges.end());
    Bytes signature = sign(content.data(), content.size());
    Bytes message = header;
    message.insert(message.end(), signature.begin(), signature.end());
    message.insert(message.end(), table.begin(), table.end());
    message.insert(message.end(), edges.begin(), edges.end());
    send(message);
    return "sent " + std::to_string(graphSequence);
}

std::string connectApp(const std::string& app, const std::string& port) {
    Bytes edge(11, 0);
    edge[0] = 11;
    edge[1] = 1;
    put32(edge, 2, portIdentifier(port));
    edge[6] = 0;
    put32(edge, 7, kInputPort);
    std::string answer = sendGraph({hubName, app}, edge);
    if (jackClient) answer += " jack " + jackConnect(app + ":" + port + " L", app + ":" + port + " R");
    return answer;
}

std::string linkApps(const std::string& source, const std::string& sourcePort, const std::string& destination,
                     const std::string& destinationPort) {
    Bytes edge(11, 0);
    edge[0] = 11;
    edge[1] = 1;
    put32(edge, 2, portIdentifier(sourcePort));
    edge[6] = 2;
    put32(edge, 7, portIdentifier(destinationPort));
    return sendGraph({hubName, source, destination}, edge);
}

std::string disconnectApp() {
    if (jackClient) jackDisconnect();
    return sendGraph({hubName}, {});
}

// Messages that came while no command waited for them; commands that wait for a
// type look here first.
std::deque<Message> inbox;

void keep(std::optional<Message> message) {
    if (!message) return;
    inbox.push_back(std::move(*message));
    if (inbox.size() > 256) inbox.pop_front();
}

std::string awaitType(uint8_t type, const std::function<std::string(const Message&)>& read, int seconds = 5) {
    for (auto it = inbox.begin(); it != inbox.end(); ++it) {
        if (it->type() != type) continue;
        std::string answer = read(*it);
        if (answer.empty()) continue;
        inbox.erase(it);
        return answer;
    }
    auto deadline = Clock::now() + std::chrono::seconds(seconds);
    while (Clock::now() < deadline) {
        auto message = receive(50);
        if (!message || message->type() != type) continue;
        std::string answer = read(*message);
        if (!answer.empty()) return answer;
    }
    return "timeout";
}

std::map<std::string, std::string> targetTxt;

Bytes fromHex(const std::string& text) {
    Bytes bytes;
    for (size_t i = 0; i + 1 < text.size(); i += 2) bytes.push_back(uint8_t(std::stoi(text.substr(i, 2), nullptr, 16)));
    return bytes;
}

std::string command(const std::string& line) {
    std::istringstream words(line);
    std::string verb;
    words >> verb;
    if (verb == "txt" || verb == "txthex") {
        std::string key, value;
        words >> key;
        std::getline(words >> std::ws, value);
        if (verb == "txthex") {
            const Bytes bytes = fromHex(value);
            value.assign(bytes.begin(), bytes.end());
        }
        txt[key] = value;
        publish();
        return "ok";
    }
    if (verb == "peer") {
        std::string name;
        std::getline(words >> std::ws, name);
        for (auto& entry : DirectoryServiceDiscovery::readFolder(directory)) {
            if (entry.record.name.rfind(name + " (", 0) != 0) continue;
            for (auto address : entry.record.addresses) {
                if (!address.isIPv4()) continue;
                address.setPort(entry.record.port);
                target = address;
                targetTxt = entry.record.txt;
                std::string sequenceText = entry.record.txt.count("sequence") ? entry.record.txt.at("sequence") : "";
                return "peer " + std::to_string(entry.record.port) + " " + entry.record.name + " sequence=" + sequenceText;
            }
        }
        return "nopeer";
    }
    if (verb == "ping") return ping();
    if (verb == "serve") {
        uint32_t id;
        size_t size;
        words >> id >> size;
        Bytes data(size);
        for (size_t i = 0; i < size; ++i) data[i] = uint8_t(i * 7 + id);
        resources[id] = std::move(data);
        return "ok " + sha1Hex(resources[id]);
    }
    if (verb == "serve-file") {
        uint32_t id;
        std::string path;
        words >> id >> path;
        std::ifstream stream(path, std::ios::binary);
        resources[id] = Bytes((std::istreambuf_iterator<char>(stream)), std::istreambuf_iterator<char>());
        return "ok " + sha1Hex(resources[id]);
    }
    if (verb == "mute") {
        uint32_t id;
        words >> id;
        muted.insert(id);
        return "ok";
    }
    if (verb == "requests") {
        uint32_t id = 0;
        words >> id;
        while (receive(0)) {
        }
        return "requests " + std::to_string(requestsSeen[id]);
    }
    if (verb == "skip") {
        uint32_t id, segment;
        words >> id >> segment;
        skips.insert({id, segment});
        return "ok";
    }
    if (verb == "load") {
        uint32_t id;
        std::string option;
        words >> id >> option;
        return load(id, option == "short");
    }
    if (verb == "pull") {
        std::string out;
        words >> out;
        return pull(out);
    }
    if (verb == "push") {
        std::string path, option;
        words >> path;
        int lose = -1;
        bool type19 = false, badsig = false;
        while (words >> option) {
            if (option == "lose") words >> lose;
            if (option == "type19") type19 = true;
            if (option == "badsig") badsig = true;
        }
        return push(path, lose, type19, badsig);
    }
    if (verb == "raw") {
        std::string hex;
        words >> hex;
        send(fromHex(hex));
        return "ok";
    }
    if (verb == "rawsize") {
        size_t size;
        words >> size;
        Bytes bytes(size, 0x41);
        if (size >= 3) {
            bytes[0] = 3;
            bytes[1] = 3;
            bytes[2] = 9;
        }
        send(bytes);
        return "ok";
    }
    if (verb == "connect-app") {
        std::string rest;
        std::getline(words >> std::ws, rest);
        const size_t bar = rest.find('|');
        if (bar == std::string::npos) return "usage";
        return connectApp(rest.substr(0, bar), rest.substr(bar + 1));
    }
    if (verb == "link-apps") {
        std::string rest;
        std::getline(words >> std::ws, rest);
        std::vector<std::string> fields;
        for (size_t start = 0;;) {
            const size_t bar = rest.find('|', start);
            fields.push_back(rest.substr(start, bar - start));
            if (bar == std::string::npos) break;
            start = bar + 1;
        }
        if (fields.size() != 4) return "usage";
        return linkApps(fields[0], fields[1], fields[2], fields[3]);
    }
    if (verb == "disconnect-app") return disconnectApp();
    if (verb == "ack") {
        return awaitType(8, [](const Message& m) {
            if (m.bytes.size() != 5) return std::string();
            return "ack " + std::to_string(m.bytes[3]) + " " + std::to_string(m.bytes[4]);
        });
    }
    if (verb == "fire" || verb == "adjust") {
        uint32_t id = 0;
        double value = 0;
        words >> id >> value;
        if (verb == "fire") {
            Bytes message{3, 3, 5, 5, 0, 0, 0, 0};
            put32(message, 4, id);
            send(message);
        } else {
            Bytes message(17, 0);
            message[0] = 3, message[1] = 3, message[2] = 15, message[3] = 5, message[4] = 2;
            put32(message, 5, id);
            uint64_t bits;
            std::memcpy(&bits, &value, 8);
            for (int i = 0; i < 8; ++i) message[9 + i] = uint8_t(bits >> (8 * (7 - i)));
            send(message);
        }
        return "ok";
    }
    if (verb == "trigger-state") {
        uint32_t id = 0;
        words >> id;
        return awaitType(6, [id](const Message& m) {
            if (m.bytes.size() < 3 + 8 || get32(m.bytes.data() + 5) != id) return std::string();
            return "state " + std::to_string(id) + " " + std::to_string(m.bytes[3 + 7]);
        });
    }
    if (verb == "activate") {
        std::string name;
        std::getline(words >> std::ws, name);
        Bytes message{3, 3, 13, 2, uint8_t(name.size())};
        message.insert(message.end(), name.begin(), name.end());
        send(message);
        return "ok";
    }
    if (verb == "meta") {
        std::string key;
        std::getline(words >> std::ws, key);
        auto it = targetTxt.find(key);
        if (it == targetTxt.end()) return "none";
        return "meta " + hexOf(reinterpret_cast<const uint8_t*>(it->second.data()), it->second.size());
    }
    if (verb == "jack-open") return jackOpen();
    if (verb == "jack-connect") {
        // "client:port name": its " L" and " R" ports.
        std::string prefix;
        std::getline(words >> std::ws, prefix);
        return jackConnect(prefix + " L", prefix + " R");
    }
    if (verb == "jack-disconnect") return jackDisconnect();
    if (verb == "record") {
        size_t frames = 0;
        std::string out, armed;
        words >> frames >> out >> armed;
        return record(frames, out, armed == "armed");
    }
    if (verb == "drain") {
        while (receive(100)) {
        }
        return "ok";
    }
    return "unknown " + verb;
}

}  // namespace

int main(int argc, char** argv) {
    std::string keyPath;
    for (int i = 1; i + 1 < argc; i += 2) {
        std::string option = argv[i], value = argv[i + 1];
        if (option == "--directory") directory = value;
        if (option == "--key") keyPath = value;
        if (option == "--bind") bindHost = value;
        if (option == "--device") device = value;
        if (option == "--form") form = value.empty() ? 'B' : value[0];
        if (option == "--device-id") deviceID = value;
        if (option == "--name") hubName = value;
    }
    if (FILE* file = std::fopen(keyPath.c_str(), "r")) {
        privateKey = PEM_read_PrivateKey(file, nullptr, nullptr, nullptr);
        std::fclose(file);
    }
    if (directory.empty() || !privateKey) {
        std::fprintf(stderr, "usage: hub_simulator --directory DIR --key PRIVATE.pem [--bind ADDR] [--device NAME] [--form A|B]\n");
        return 2;
    }
    udp = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    int size = 8 * 1024 * 1024;
    setsockopt(udp, SOL_SOCKET, SO_RCVBUFFORCE, &size, sizeof size);
    auto local = SocketAddress::fromText(bindHost, 0);
    if (!local || bind(udp, local->get(), local->length()) != 0) {
        std::perror("bind");
        return 2;
    }
    SocketAddress bound;
    socklen_t length = sizeof(sockaddr_storage);
    getsockname(udp, bound.get(), &length);
    port = bound.port();
    txt = {{"deviceID", deviceID}, {"BusVersion", "3"}, {"version", "3"}, {"SDK version", "2.1.4"},
           {"launchURL", "wirehub://"}, {"capabilities", "1"}, {"displayName", "Wirehub"}};
    publish();
    std::printf("ready %u\n", port);
    std::fflush(stdout);
    std::string buffer;
    while (!expired()) {
        pollfd fds[2] = {{0, POLLIN, 0}, {udp, POLLIN, 0}};
        if (poll(fds, 2, 200) < 0) continue;
        if (fds[1].revents & POLLIN) keep(receive(0));
        if (!(fds[0].revents & (POLLIN | POLLHUP))) continue;
        char chunk[4096];
        ssize_t n = read(0, chunk, sizeof chunk);
        if (n <= 0) break;
        buffer.append(chunk, size_t(n));
        for (size_t end; (end = buffer.find('\n')) != std::string::npos;) {
            std::string line = buffer.substr(0, end);
            buffer.erase(0, end + 1);
            if (line == "quit") {
                if (jackClient) jack_client_close(jackClient);
                unpublish();
                return 0;
            }
            std::printf("%s\n", command(line).c_str());
            std::fflush(stdout);
        }
    }
    unpublish();
    return 0;
}
