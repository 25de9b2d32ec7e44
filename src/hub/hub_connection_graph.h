#pragma once

// The hub's connection graph: which ports of which peers are linked, read from
// the signed connection state message.

#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "hub/hub_peer.h"
#include "hub/hub_port.h"

namespace strombel::hub {

/// A port in the graph with its links. A graph read from a record owns its
/// nodes in one block and their links in another; a node points at its
/// neighbours without owning them (nodes of the same graph).
class HubConnectionGraphNode {
public:
    using Links = std::span<HubConnectionGraphNode* const>;

    /// A node of `port`, of the port's own peer.
    explicit HubConnectionGraphNode(std::shared_ptr<HubPort> port);
    HubConnectionGraphNode(std::shared_ptr<HubPort> port, HubPeer* peer) : port_(std::move(port)), peer_(peer) {}

    const std::shared_ptr<HubPort>& port() const { return port_; }
    /// The peer the graph's peer table names for the port; the graph holds it.
    HubPeer* peer() const { return peer_; }
    /// In the order the links were made (the record's edges).
    Links sources() const { return {sources_, sourceCount_}; }
    Links destinations() const { return {destinations_, destinationCount_}; }
    /// Replace the links, which stay non-owning: nodes of the same graph.
    void setSources(std::vector<HubConnectionGraphNode*> sources);
    void setDestinations(std::vector<HubConnectionGraphNode*> destinations);

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
    friend class HubConnectionGraph;
    std::shared_ptr<HubPort> port_;
    HubPeer* peer_;
    HubConnectionGraphNode** sources_ = nullptr;
    HubConnectionGraphNode** destinations_ = nullptr;
    uint32_t sourceCount_ = 0;
    uint32_t destinationCount_ = 0;
    // The links of a node whose links were set (the read ones lie in the graph's block).
    std::vector<HubConnectionGraphNode*> ownSources_, ownDestinations_;
};

class HubConnectionGraph {
public:
    HubConnectionGraph() = default;
    /// A graph of these nodes (one per port: a later node of a port takes the
    /// place of an earlier one), peers and ports.
    HubConnectionGraph(std::vector<std::unique_ptr<HubConnectionGraphNode>> nodes,
                       std::vector<std::shared_ptr<HubPeer>> peers, std::vector<std::shared_ptr<HubPort>> ports);
    HubConnectionGraph(const HubConnectionGraph&) = delete;
    HubConnectionGraph& operator=(const HubConnectionGraph&) = delete;

    /// Reads a whole type 7 message. None, logged, when the record is invalid;
    /// the record is checked whole before placeholder peers join `registry` or
    /// placeholder ports join their peers.
    static std::unique_ptr<HubConnectionGraph> withDataRepresentation(const uint8_t* bytes, size_t length,
                                                                      HubRegistry& registry);

    /// Adds a node under its port (in place of the port's node, if any), its
    /// port's peer to the peers and its port to the ports. The nodes already
    /// there stay where they are.
    void addNode(std::unique_ptr<HubConnectionGraphNode> node);

    /// Linear in the nodes.
    const HubConnectionGraphNode* nodeForPort(const HubPort* port) const;
    /// One node per port, in the order the record's edges first name them.
    const std::vector<HubConnectionGraphNode*>& nodes() const { return nodes_; }
    /// Each peer of the record's peer table once, in the table's order.
    const std::vector<std::shared_ptr<HubPeer>>& peers() const { return peers_; }
    /// Every port that is an end of an edge, once: the nodes' ports, then any
    /// port the graph was made with that has no node.
    std::vector<std::shared_ptr<HubPort>> ports() const;
    bool containsPeer(const HubPeer* peer) const;
    /// Same ports, and for each the same sets of source and destination ports.
    bool isEqual(const HubConnectionGraph& other) const;

private:
    std::vector<HubConnectionGraphNode> block_;  // the nodes a record gave, never moved
    std::vector<std::unique_ptr<HubConnectionGraphNode>> added_;
    std::vector<HubConnectionGraphNode*> nodes_;
    std::vector<HubConnectionGraphNode*> links_;
    std::vector<std::shared_ptr<HubPeer>> peers_;
    std::vector<std::shared_ptr<HubPort>> ports_;  // given when the graph was made
};

}  // namespace strombel::hub
