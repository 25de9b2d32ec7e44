#include "hub/hub_connection_graph.h"

#include <fmt/format.h>

#include <algorithm>
#include <set>

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

struct PeerEntry {
    std::optional<std::string> uniqueID;
    std::string name;
};

struct EdgeEntry {
    uint8_t sourceIndex, destinationIndex;
    uint32_t sourcePort, destinationPort;
    bool hasDescription;
    AudioComponentDescription description;
};

std::string textAt(const uint8_t* p, size_t length) { return decodeUtf8Lossy({reinterpret_cast<const char*>(p), length}); }

}  // namespace

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

HubConnectionGraphNode* HubConnectionGraph::nodeForPort(const HubPort* port) const {
    auto it = graph_.find(port);
    return it == graph_.end() ? nullptr : it->second.get();
}

std::vector<HubConnectionGraphNode*> HubConnectionGraph::nodes() const {
    std::vector<HubConnectionGraphNode*> all;
    for (const auto& [port, node] : graph_) all.push_back(node.get());
    return all;
}

void HubConnectionGraph::addPeer(const std::shared_ptr<HubPeer>& peer) {
    if (peer && peerSet_.insert(peer.get()).second) peers_.push_back(peer);
}

HubConnectionGraphNode* HubConnectionGraph::addNode(std::unique_ptr<HubConnectionGraphNode> node) {
    auto peer = node->port()->peer();
    return addNode(std::move(node), peer);
}

HubConnectionGraphNode* HubConnectionGraph::addNode(std::unique_ptr<HubConnectionGraphNode> node,
                                                    const std::shared_ptr<HubPeer>& peer) {
    addPeer(peer);
    auto& slot = graph_[node->port().get()];
    // The ports are those of the nodes: each once.
    if (!slot) ports_.push_back(node->port());
    slot = std::move(node);
    return slot.get();
}

bool HubConnectionGraph::containsPeer(const HubPeer* peer) const { return peerSet_.count(peer) != 0; }

bool HubConnectionGraph::isEqual(const HubConnectionGraph& other) const {
    if (this == &other) return true;
    if (graph_.size() != other.graph_.size()) return false;
    auto portsOf = [](const std::vector<HubConnectionGraphNode*>& nodes) {
        std::set<const HubPort*> ports;
        for (auto* node : nodes) ports.insert(node->port().get());
        return ports;
    };
    for (const auto& [port, node] : graph_) {
        HubConnectionGraphNode* mine = node.get();
        HubConnectionGraphNode* theirs = other.nodeForPort(port);
        if (!theirs) return false;
        if (portsOf(mine->sources()) != portsOf(theirs->sources())) return false;
        if (portsOf(mine->destinations()) != portsOf(theirs->destinations())) return false;
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
    const uint8_t* table = payload + p + signatureLength;
    for (size_t at = 0; at < peerTableLength;) {
        const size_t left = peerTableLength - at;
        if (left < 3) return invalid();
        const size_t r = table[at], a = table[at + 1], b = table[at + 2];
        if (r < 3 || r + a + b > left) return invalid();
        PeerEntry entry;
        if (a > 0) entry.uniqueID = textAt(table + at + r, a);
        entry.name = textAt(table + at + r + a, b);
        peerEntries.push_back(std::move(entry));
        at += r + a + b;
    }
    std::vector<EdgeEntry> edgeEntries;
    table += peerTableLength;
    for (size_t at = 0; at < edgeTableLength;) {
        const size_t left = edgeTableLength - at;
        const size_t entryLength = table[at];
        if (entryLength < 11 || entryLength > left) return invalid();
        const uint8_t* e = table + at;
        EdgeEntry edge{e[1], e[6], readU32(e + 2), readU32(e + 7), entryLength >= 23, {}};
        if (edge.hasDescription) {
            edge.description = {readU32(e + 15), readU32(e + 19), readU32(e + 11), 0, 0};
        }
        const bool sourcePresent = edge.sourceIndex != 0 || edge.sourcePort != 0;
        const bool destinationPresent = edge.destinationIndex != 0 || edge.destinationPort != 0;
        if ((sourcePresent && edge.sourceIndex >= peerEntries.size()) ||
            (destinationPresent && edge.destinationIndex >= peerEntries.size())) {
            busLog("Invalid peer index in graph data representation");
            return nullptr;
        }
        edgeEntries.push_back(edge);
        at += entryLength;
    }

    auto graph = std::make_unique<HubConnectionGraph>();
    graph->graph_.reserve(edgeEntries.size() * 2);
    graph->ports_.reserve(edgeEntries.size() * 2);
    std::vector<std::shared_ptr<HubPeer>> tablePeers;
    std::vector<bool> tablePeerIsSelf;
    for (const PeerEntry& entry : peerEntries) {
        std::shared_ptr<HubPeer> peer = registry.peerWithName(entry.name, entry.uniqueID);
        if (!peer) peer = registry.peerWithName(entry.name, std::nullopt);
        if (!peer) {
            peer = HubPeer::localStandInPeerWithName(entry.name);
            if (entry.uniqueID) peer->setUniqueID(*entry.uniqueID);
            registry.addPeer(peer);
        }
        tablePeers.push_back(peer);
        tablePeerIsSelf.push_back(peer->type() == HubPeer::Self);
        graph->addPeer(peer);
    }

    // One side of an edge: the port, made a placeholder when the peer lacks it,
    // and its node.
    auto resolve = [&](size_t index, uint32_t identifier, int32_t placeholderType,
                       int32_t becomesFilter) -> HubConnectionGraphNode* {
        const std::shared_ptr<HubPeer>& peer = tablePeers[index];
        std::shared_ptr<HubPort> port = peer->portWithNumericIdentifier(identifier);
        if (!port) {
            port = HubPort::standinPortWithPeer(peer, placeholderType);
            port->setNumericIdentifier(identifier);
            peer->appendPort(placeholderType, port);
        }
        // A receiver that is a source, or a sender that is a destination, is a
        // filter; this application's own ports keep their type.
        if (port->type() == becomesFilter && !tablePeerIsSelf[index]) {
            port->setType(HubPort::Filter);
            if (peer->removePort(becomesFilter, port)) peer->appendPort(HubPort::Filter, port);
        }
        if (HubConnectionGraphNode* node = graph->nodeForPort(port.get())) return node;
        return graph->addNode(std::make_unique<HubConnectionGraphNode>(port), peer);
    };

    for (const EdgeEntry& edge : edgeEntries) {
        HubConnectionGraphNode* source = nullptr;
        HubConnectionGraphNode* destination = nullptr;
        if (edge.sourceIndex != 0 || edge.sourcePort != 0) {
            source = resolve(edge.sourceIndex, edge.sourcePort, HubPort::Sender, HubPort::Receiver);
            if (!tablePeerIsSelf[edge.sourceIndex] && edge.hasDescription && edge.description.componentType != 0) {
                source->port()->setAudioComponentDescription(edge.description);
            }
        }
        if (edge.destinationIndex != 0 || edge.destinationPort != 0) {
            destination = resolve(edge.destinationIndex, edge.destinationPort, HubPort::Receiver, HubPort::Sender);
        }
        if (source && destination) {
            destination->addSource(source);
            source->addDestination(destination);
        }
    }
    return graph;
}

}  // namespace strombel::hub
