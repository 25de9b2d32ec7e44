#pragma once

// The hub's connection graph: which ports of which peers are linked, read from
// the signed connection state message.

#include <cstdint>
#include <functional>
#include <unordered_map>
#include <unordered_set>
#include <memory>
#include <string>
#include <vector>

#include "hub/hub_peer.h"
#include "hub/hub_port.h"

namespace strombel::hub {

/// A port in the graph with its links. The graph owns its nodes; a node owns its
/// port and points at its neighbours without owning them.
class HubConnectionGraphNode {
public:
    explicit HubConnectionGraphNode(std::shared_ptr<HubPort> port) : port_(std::move(port)) {}

    const std::shared_ptr<HubPort>& port() const { return port_; }
    const std::vector<HubConnectionGraphNode*>& sources() const { return sources_; }
    const std::vector<HubConnectionGraphNode*>& destinations() const { return destinations_; }
    void setSources(std::vector<HubConnectionGraphNode*> sources) { sources_ = std::move(sources); }
    void setDestinations(std::vector<HubConnectionGraphNode*> destinations) { destinations_ = std::move(destinations); }
    void addSource(HubConnectionGraphNode* node) { sources_.push_back(node); }
    void addDestination(HubConnectionGraphNode* node) { destinations_.push_back(node); }

    /// Depth first, pre-order, each node once (a cycle ends the walk).
    void iterateUpstreamNodesWithBlock(const std::function<void(HubConnectionGraphNode&)>& block) const;
    void iterateDownstreamNodesWithBlock(const std::function<void(HubConnectionGraphNode&)>& block) const;
    bool hasPeerUpstream(const HubPeer& peer) const;
    bool upstreamChainIsEqual(const HubConnectionGraphNode* other) const { return chainIsEqual(other, true); }
    bool downstreamChainIsEqual(const HubConnectionGraphNode* other) const { return chainIsEqual(other, false); }
    /// The neighbours along one direction equal element by element (same ports),
    /// and so on down the chain; a pair met again on the walk counts as equal.
    bool chainIsEqual(const HubConnectionGraphNode* other, bool upstream) const;
    bool isEqual(const HubConnectionGraphNode& other) const { return port_ == other.port_; }
    std::string description() const;

private:
    std::shared_ptr<HubPort> port_;
    std::vector<HubConnectionGraphNode*> sources_;
    std::vector<HubConnectionGraphNode*> destinations_;
};

class HubConnectionGraph {
public:
    HubConnectionGraph() = default;
    HubConnectionGraph(const HubConnectionGraph&) = delete;
    HubConnectionGraph& operator=(const HubConnectionGraph&) = delete;

    /// Reads a whole type 7 message. None, logged, when the record is invalid;
    /// the record is checked whole before placeholder peers join `registry` or
    /// placeholder ports join their peers.
    static std::unique_ptr<HubConnectionGraph> withDataRepresentation(const uint8_t* bytes, size_t length,
                                                                      HubRegistry& registry);

    HubConnectionGraphNode* nodeForPort(const HubPort* port) const;
    std::vector<HubConnectionGraphNode*> nodes() const;
    /// Adds the node under its port, with the port's peer and the port.
    HubConnectionGraphNode* addNode(std::unique_ptr<HubConnectionGraphNode> node);
    HubConnectionGraphNode* addNode(std::unique_ptr<HubConnectionGraphNode> node, const std::shared_ptr<HubPeer>& peer);
    const std::vector<std::shared_ptr<HubPeer>>& peers() const { return peers_; }
    const std::vector<std::shared_ptr<HubPort>>& ports() const { return ports_; }
    bool containsPeer(const HubPeer* peer) const;
    /// Same ports, and for each the same sets of source and destination ports.
    bool isEqual(const HubConnectionGraph& other) const;

private:
    void addPeer(const std::shared_ptr<HubPeer>& peer);

    std::unordered_map<const HubPort*, std::unique_ptr<HubConnectionGraphNode>> graph_;
    std::vector<std::shared_ptr<HubPeer>> peers_;
    std::unordered_set<const HubPeer*> peerSet_;
    std::vector<std::shared_ptr<HubPort>> ports_;
};

}  // namespace strombel::hub
