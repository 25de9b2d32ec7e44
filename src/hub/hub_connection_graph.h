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

/// A port in the graph with its links. The graph owns its nodes, in one block,
/// and their links, in another; a node holds its port and points at its
/// neighbours without owning them.
class HubConnectionGraphNode {
public:
    using Links = std::span<HubConnectionGraphNode* const>;

    HubConnectionGraphNode(std::shared_ptr<HubPort> port, HubPeer* peer) : port_(std::move(port)), peer_(peer) {}

    const std::shared_ptr<HubPort>& port() const { return port_; }
    /// The peer the graph's peer table names for the port; the graph holds it.
    HubPeer* peer() const { return peer_; }
    /// In the order of the record's edges.
    Links sources() const { return {sources_, sourceCount_}; }
    Links destinations() const { return {destinations_, destinationCount_}; }

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

    /// Linear in the nodes.
    const HubConnectionGraphNode* nodeForPort(const HubPort* port) const;
    /// One node per port, in the order the record's edges first name them.
    const std::vector<HubConnectionGraphNode>& nodes() const { return nodes_; }
    /// Each peer of the record's peer table once, in the table's order.
    const std::vector<std::shared_ptr<HubPeer>>& peers() const { return peers_; }
    bool containsPeer(const HubPeer* peer) const;
    /// Same ports, and for each the same sets of source and destination ports.
    bool isEqual(const HubConnectionGraph& other) const;

private:
    std::vector<HubConnectionGraphNode> nodes_;
    std::vector<HubConnectionGraphNode*> links_;
    std::vector<std::shared_ptr<HubPeer>> peers_;
};

}  // namespace strombel::hub
