#include "hub/hub_connection_graph.h"

#include <fmt/format.h>

#include <algorithm>
#include <bit>
#include <set>
#include <unordered_map>
#include <utility>

#include "hub/bus_log.h"
#include "hub/bus_message.h"
#include "hub/hub_record.h"

namespace strombel::hub {

namespace {

void walk(const HubConnectionGraphNode& start, bool upstream, std::set<const HubConnectionGraphNode*>& visited,
          const std::function<void(HubConnectionGraphNode&)>& block) {
    for (HubConnectionGraphNode* next : upstream ? start.sources() : start.destinations()) {
        if (!visited.insert(next).second) continue;
        block(*next);
        walk(*next, upstream, visited, block);
    }
}

bool chainsEqual(const HubConnectionGraphNode* a, const HubConnectionGraphNode* b, bool upstream,
                 std::set<std::pair<const HubConnectionGraphNode*, const HubConnectionGraphNode*>>& seen) {
    if (!b) return false;
    if (!seen.insert({a, b}).second) return true;
    const auto& left = upstream ? a->sources() : a->destinations();
    const auto& right = upstream ? b->sources() : b->destinations();
    if (left.size() != right.size()) return false;
    for (size_t i = 0; i < left.size(); ++i) {
        if (!left[i]->isEqual(*right[i]) || !chainsEqual(left[i], right[i], upstream, seen)) return false;
    }
    return true;
}

constexpr const char* kInvalidPeerIndex = "Invalid peer index in graph data representation";

struct PeerEntry {
    size_t at, r, a, b;  // the entry's place in the peer table and its three lengths
};

struct EdgeEntry {
    uint8_t sourceIndex, destinationIndex;
    uint32_t sourcePort, destinationPort;
    bool hasDescription;
    AudioComponentDescription description;
};

std::string textAt(const uint8_t* p, size_t length) { return decodeUtf8Lossy({reinterpret_cast<const char*>(p), length}); }

// Open addressing from 64-bit keys to 32-bit values, for one reading of a
// record: no allocation per key, and a probe or two per lookup.
class FlatIndex {
public:
    explicit FlatIndex(size_t expected) { rehash(std::bit_ceil(std::max<size_t>(16, expected * 2))); }

    /// The value under `key`; `value` is stored there first when the key is new.
    uint32_t findOrInsert(uint64_t key, uint32_t value, bool& inserted) {
        if ((size_ + 1) * 2 > slots_.size()) rehash(slots_.size() * 2);
        Slot& slot = slots_[probe(key)];
        inserted = slot.key != key;
        if (inserted) {
            slot = {key, value};
            ++size_;
        }
        return slot.value;
    }

private:
    static constexpr uint64_t kEmpty = ~uint64_t(0);
    struct Slot {
        uint64_t key;
        uint32_t value;
    };

    size_t probe(uint64_t key) const {
        uint64_t mixed = key ^ (key >> 33);
        mixed *= 0xff51afd7ed558ccdULL;
        size_t at = size_t(mixed ^ (mixed >> 33)) & (slots_.size() - 1);
        while (slots_[at].key != kEmpty && slots_[at].key != key) at = (at + 1) & (slots_.size() - 1);
        return at;
    }

    void rehash(size_t capacity) {
        std::vector<Slot> old = std::exchange(slots_, std::vector<Slot>(capacity, Slot{kEmpty, 0}));
        for (const Slot& slot : old)
            if (slot.key != kEmpty) slots_[probe(slot.key)] = slot;
    }

    std::vector<Slot> slots_;
    size_t size_ = 0;
};

uint64_t pointerKey(const void* pointer) { return uint64_t(reinterpret_cast<uintptr_t>(pointer)); }
// A port of a peer table entry by its numeric identifier.
uint64_t sideKey(uint32_t slot, uint32_t identifier) { return (uint64_t(slot) << 32) | identifier; }

}  // namespace

HubConnectionGraphNode::HubConnectionGraphNode(std::shared_ptr<HubPort> port)
    : port_(std::move(port)), peer_(port_ ? port_->peer().get() : nullptr) {}

void HubConnectionGraphNode::setSources(std::vector<HubConnectionGraphNode*> sources) {
    ownSources_ = std::move(sources);
    sources_ = ownSources_.data();
    sourceCount_ = uint32_t(ownSources_.size());
}

void HubConnectionGraphNode::setDestinations(std::vector<HubConnectionGraphNode*> destinations) {
    ownDestinations_ = std::move(destinations);
    destinations_ = ownDestinations_.data();
    destinationCount_ = uint32_t(ownDestinations_.size());
}

void HubConnectionGraphNode::iterateUpstreamNodesWithBlock(const std::function<void(HubConnectionGraphNode&)>& block) const {
    std::set<const HubConnectionGraphNode*> visited{this};
    walk(*this, true, visited, block);
}

void HubConnectionGraphNode::iterateDownstreamNodesWithBlock(
    const std::function<void(HubConnectionGraphNode&)>& block) const {
    std::set<const HubConnectionGraphNode*> visited{this};
    walk(*this, false, visited, block);
}

bool HubConnectionGraphNode::hasPeerUpstream(const HubPeer& peer) const {
    bool found = false;
    iterateUpstreamNodesWithBlock([&](HubConnectionGraphNode& node) {
        if (node.port()->peer().get() == &peer) found = true;
    });
    return found;
}

bool HubConnectionGraphNode::chainIsEqual(const HubConnectionGraphNode* other, bool upstream) const {
    std::set<std::pair<const HubConnectionGraphNode*, const HubConnectionGraphNode*>> seen;
    return chainsEqual(this, other, upstream, seen);
}

std::string HubConnectionGraphNode::description() const {
    return fmt::format("<HubConnectionGraphNode: {} {}>", escapedForLog(port_->name()), static_cast<const void*>(this));
}

HubConnectionGraph::HubConnectionGraph(std::vector<std::unique_ptr<HubConnectionGraphNode>> nodes,
                                       std::vector<std::shared_ptr<HubPeer>> peers,
                                       std::vector<std::shared_ptr<HubPort>> ports)
    : peers_(std::move(peers)), ports_(std::move(ports)) {
    for (auto& node : nodes) {
        if (!node) continue;
        auto it = std::find_if(nodes_.begin(), nodes_.end(), [&](auto* mine) { return mine->port_ == node->port_; });
        if (it != nodes_.end()) {
            *it = node.get();
        } else {
            nodes_.push_back(node.get());
        }
        added_.push_back(std::move(node));
    }
}

void HubConnectionGraph::addNode(std::unique_ptr<HubConnectionGraphNode> node) {
    if (!node || !node->port_) return;
    auto it = std::find_if(nodes_.begin(), nodes_.end(), [&](auto* mine) { return mine->port_ == node->port_; });
    if (it != nodes_.end()) {
        *it = node.get();  // the node it replaces stays: others may still link to it
    } else {
        nodes_.push_back(node.get());
    }
    if (auto peer = node->port_->peer(); peer && !containsPeer(peer.get())) peers_.push_back(std::move(peer));
    added_.push_back(std::move(node));
}

std::vector<std::shared_ptr<HubPort>> HubConnectionGraph::ports() const {
    std::vector<std::shared_ptr<HubPort>> ports;
    ports.reserve(nodes_.size() + ports_.size());
    for (const auto* node : nodes_) ports.push_back(node->port_);
    for (const auto& port : ports_)
        if (!nodeForPort(port.get())) ports.push_back(port);
    return ports;
}

const HubConnectionGraphNode* HubConnectionGraph::nodeForPort(const HubPort* port) const {
    auto it = std::find_if(nodes_.begin(), nodes_.end(), [&](const auto* node) { return node->port_.get() == port; });
    return it == nodes_.end() ? nullptr : *it;
}

bool HubConnectionGraph::containsPeer(const HubPeer* peer) const {
    return std::any_of(peers_.begin(), peers_.end(), [&](const auto& mine) { return mine.get() == peer; });
}

bool HubConnectionGraph::isEqual(const HubConnectionGraph& other) const {
    if (this == &other) return true;
    if (nodes_.size() != other.nodes_.size()) return false;
    std::unordered_map<const HubPort*, const HubConnectionGraphNode*> theirs;
    for (const auto* node : other.nodes_) theirs.emplace(node->port_.get(), node);
    auto portsOf = [](HubConnectionGraphNode::Links links) {
        std::set<const HubPort*> ports;
        for (auto* node : links) ports.insert(node->port().get());
        return ports;
    };
    for (const auto* mine : nodes_) {
        auto it = theirs.find(mine->port_.get());
        if (it == theirs.end()) return false;
        if (portsOf(mine->sources()) != portsOf(it->second->sources())) return false;
        if (portsOf(mine->destinations()) != portsOf(it->second->destinations())) return false;
    }
    return true;
}

std::unique_ptr<HubConnectionGraph> HubConnectionGraph::withDataRepresentation(const uint8_t* bytes, size_t length,
                                                                               HubRegistry& registry) {
    auto invalid = [] {
        busLog("Invalid graph data representation");
        return nullptr;
    };
    if (length < 27 || bytes[1] < 3 || bytes[1] + 24u > length) return invalid();
    const size_t h = bytes[1];
    const uint8_t* payload = bytes + h;
    const size_t p = payload[0];
    if (p < 24) return invalid();
    const size_t signatureLength = readU16(payload + 18);
    const size_t peerTableLength = readU16(payload + 20);
    const size_t edgeTableLength = readU16(payload + 22);
    if (h + p + signatureLength + peerTableLength + edgeTableLength > length) return invalid();

    // Read and check the whole record before anything is looked up or made.
    std::vector<PeerEntry> peerEntries;
    peerEntries.reserve(peerTableLength / 3);
    const uint8_t* peerTable = payload + p + signatureLength;
    for (size_t at = 0; at < peerTableLength;) {
        const size_t left = peerTableLength - at;
        if (left < 3) return invalid();
        const size_t r = peerTable[at], a = peerTable[at + 1], b = peerTable[at + 2];
        if (r < 3 || r + a + b > left) return invalid();
        peerEntries.push_back({at, r, a, b});
        at += r + a + b;
    }
    // The edges are read again, without copies, once the peers are known.
    const uint8_t* edgeTable = peerTable + peerTableLength;
    auto edgeAt = [&](size_t at) {
        const uint8_t* e = edgeTable + at;
        EdgeEntry edge{e[1], e[6], readU32(e + 2), readU32(e + 7), e[0] >= 23, {}};
        if (edge.hasDescription) edge.description = {readU32(e + 15), readU32(e + 19), readU32(e + 11), 0, 0};
        return edge;
    };
    size_t edgeCount = 0;
    for (size_t at = 0; at < edgeTableLength; ++edgeCount) {
        const size_t left = edgeTableLength - at;
        const size_t entryLength = edgeTable[at];
        if (entryLength < 11 || entryLength > left) return invalid();
        // Both indexes, an absent side's 0 too: an edge of a record without
        // peers names nobody.
        const EdgeEntry edge = edgeAt(at);
        if (edge.sourceIndex >= peerEntries.size() || edge.destinationIndex >= peerEntries.size()) {
            busLog(kInvalidPeerIndex);
            return nullptr;
        }
        at += entryLength;
    }

    // The peers, each once however often the table names it: every entry leads
    // to the slot of the first entry naming its peer.
    auto graph = std::make_unique<HubConnectionGraph>();
    const size_t slotCount = peerEntries.size();
    std::vector<uint32_t> slotOf(slotCount);
    std::vector<HubPeer*> slotPeers(slotCount, nullptr);
    std::vector<bool> slotIsSelf(slotCount, false);
    size_t knownPorts = 0;
    graph->peers_.reserve(slotCount);
    FlatIndex peerSlots(slotCount);
    for (size_t index = 0; index < slotCount; ++index) {
        const PeerEntry& entry = peerEntries[index];
        const uint8_t* text = peerTable + entry.at + entry.r;
        std::optional<std::string> uniqueID;
        if (entry.a > 0) uniqueID = textAt(text, entry.a);
        const std::string name = textAt(text + entry.a, entry.b);
        std::shared_ptr<HubPeer> peer = registry.peerWithName(name, uniqueID);
        if (!peer) {
            peer = registry.peerWithName(name, std::nullopt);
            // By name alone our own name finds this program; an entry with
            // another device's identifier is another instance of it.
            if (peer && uniqueID && peer == registry.selfPeer()) peer = nullptr;
        }
        if (!peer) {
            // Host time, as every peer the graph names but the registry does not know.
            peer = HubPeer::localStandInPeerWithName(name, {}, {}, platform::SystemClock::shared());
            if (uniqueID) peer->setUniqueID(*uniqueID);
            registry.addPeer(peer);
        }
        bool firstEntry = false;
        slotOf[index] = peerSlots.findOrInsert(pointerKey(peer.get()), uint32_t(index), firstEntry);
        if (!firstEntry) continue;
        slotPeers[index] = peer.get();
        slotIsSelf[index] = peer == registry.selfPeer() || peer->type() == HubPeer::Self;
        knownPorts += peer->receiverPorts().size() + peer->filterPorts().size() + peer->senderPorts().size();
        graph->peers_.push_back(std::move(peer));
    }

    // The ports the edges name, by slot and numeric identifier; a peer's ports
    // are indexed when an edge first names the peer, and each becomes a node
    // when an edge first names the port. Two nodes per edge at most: the block
    // never moves, so links may point into it.
    struct Side {
        std::shared_ptr<HubPort> port;
        uint32_t node = UINT32_MAX;
    };
    std::vector<Side> sides;
    sides.reserve(knownPorts + edgeCount * 2);
    FlatIndex sideIndex(knownPorts + edgeCount);
    std::vector<uint8_t> slotIndexed(slotCount, 0);
    std::vector<HubConnectionGraphNode>& nodes = graph->block_;
    nodes.reserve(edgeCount * 2);

    // One side of an edge: its node, the port made a placeholder when the peer
    // lacks it; none for an index past the table (which the check above
    // refused already: this read never leaves the table whatever it is given).
    auto resolve = [&](size_t index, uint32_t identifier, int32_t placeholderType,
                       int32_t becomesFilter) -> HubConnectionGraphNode* {
        if (index >= slotCount) return nullptr;
        const uint32_t slot = slotOf[index];
        HubPeer& peer = *slotPeers[slot];
        bool inserted = false;
        if (!slotIndexed[slot]) {
            slotIndexed[slot] = 1;
            // The first port of an identifier wins: receivers, then filters, then senders.
            for (const HubPortList* list : {&peer.receiverPorts(), &peer.filterPorts(), &peer.senderPorts()}) {
                for (const auto& port : *list) {
                    sideIndex.findOrInsert(sideKey(slot, port->numericIdentifier()), uint32_t(sides.size()), inserted);
                    if (inserted) sides.push_back({port});
                }
            }
        }
        const uint32_t at = sideIndex.findOrInsert(sideKey(slot, identifier), uint32_t(sides.size()), inserted);
        if (inserted) {
            auto port = HubPort::standinPortWithPeer(peer.shared_from_this(), placeholderType);
            port->setNumericIdentifier(identifier);
            peer.appendPort(placeholderType, port);
            sides.push_back({std::move(port)});
        }
        Side& side = sides[at];
        if (side.node == UINT32_MAX) {
            side.node = uint32_t(nodes.size());
            nodes.emplace_back(std::move(side.port), &peer);
        }
        HubConnectionGraphNode& node = nodes[side.node];
        // A receiver that is a source, or a sender that is a destination, is a
        // filter, this application's own ports too; those stay in the
        // controller's lists, which only the application changes.
        if (node.port_->type() == becomesFilter) {
            node.port_->setType(HubPort::Filter);
            if (peer.removePort(becomesFilter, node.port_)) peer.appendPort(HubPort::Filter, node.port_);
        }
        return &node;
    };

    std::vector<std::pair<HubConnectionGraphNode*, HubConnectionGraphNode*>> edges;
    edges.reserve(edgeCount);
    for (size_t at = 0; at < edgeTableLength; at += edgeTable[at]) {
        const EdgeEntry edge = edgeAt(at);
        HubConnectionGraphNode* source = nullptr;
        HubConnectionGraphNode* destination = nullptr;
        const bool sourcePresent = edge.sourceIndex != 0 || edge.sourcePort != 0;
        const bool destinationPresent = edge.destinationIndex != 0 || edge.destinationPort != 0;
        if (sourcePresent) source = resolve(edge.sourceIndex, edge.sourcePort, HubPort::Sender, HubPort::Receiver);
        if (destinationPresent) {
            destination = resolve(edge.destinationIndex, edge.destinationPort, HubPort::Receiver, HubPort::Sender);
        }
        if ((sourcePresent && !source) || (destinationPresent && !destination)) {
            busLog(kInvalidPeerIndex);
            return nullptr;
        }
        if (source && !slotIsSelf[slotOf[edge.sourceIndex]] && edge.hasDescription &&
            edge.description.componentType != 0) {
            source->port_->setAudioComponentDescription(edge.description);
        }
        if (source && destination) {
            edges.emplace_back(source, destination);
            ++source->destinationCount_;
            ++destination->sourceCount_;
        }
    }

    // The links in one block: each node's sources, then its destinations, in
    // the order of the edges.
    graph->links_.resize(edges.size() * 2);
    HubConnectionGraphNode** next = graph->links_.data();
    graph->nodes_.reserve(nodes.size());
    for (HubConnectionGraphNode& node : nodes) {
        node.sources_ = next;
        next += node.sourceCount_;
        node.destinations_ = next;
        next += node.destinationCount_;
        node.sourceCount_ = node.destinationCount_ = 0;
        graph->nodes_.push_back(&node);
    }
    for (auto [source, destination] : edges) {
        source->destinations_[source->destinationCount_++] = destination;
        destination->sources_[destination->sourceCount_++] = source;
    }
    return graph;
}

}  // namespace strombel::hub
