#include "hub/hub_controller.h"

#include <algorithm>
#include <utility>

#include "hub/bus_log.h"
#include "hub/hub_built_in_images.h"
#include "platform/localized_strings.h"

namespace strombel::hub {

// ---- connection state ----------------------------------------------------------------

bool HubController::anyPort(bool (HubPort::*state)() const) const {
    for (const PortList* list : {&senderPorts_, &filterPorts_, &receiverPorts_})
        for (const auto& port : *list)
            if (((*port).*state)()) return true;
    return false;
}

bool HubController::connected() const { return inHubConnectionGraph_ || anyPort(&HubPort::connected); }

bool HubController::hubConnected() const { return inHubConnectionGraph_ || anyPort(&HubPort::hubConnected); }

bool HubController::interAppAudioConnected() const { return anyPort(&HubPort::interAppAudioConnected); }

void HubController::respondToPortConnectionChange() {
    const bool nowConnected = connected(), nowHub = hubConnected(), nowIAA = interAppAudioConnected();
    updatePortConnectionStatus();
    if (nowConnected != wasConnected_) {
        center_.post(nowConnected ? kHubConnectedNotification : kHubDisconnectedNotification, this);
        didChangeValueForKey("connected");
    }
    if (nowHub != wasConnectedViaWirehub_) didChangeValueForKey("hubConnected");
    if (nowIAA != wasConnectedViaIAA_) didChangeValueForKey("interAppAudioConnected");
    if (!nowHub && !wasConnectedViaIAA_ && nowIAA && memberOfActiveHubSession_) {
        std::weak_ptr<HubController*> alive = alive_;
        loop_.schedule(platform::kNanosPerSecond, [this, alive] {
            if (!alive.lock()) return;
            if (!hubConnected() && interAppAudioConnected() && memberOfActiveHubSession_) endMembership();
        });
    }
    wasConnected_ = nowConnected;
    wasConnectedViaWirehub_ = nowHub;
    wasConnectedViaIAA_ = nowIAA;
    center_.post(kHubConnectionsChangedNotification, this);
}

void HubController::endMembership() {
    memberOfActiveHubSession_ = false;
    controllerPeer_.store(nullptr);
    // A hub that starts again sends the same session, sequences and signatures:
    // what an earlier session applied says nothing about the next one.
    appliedConnectionStates_.clear();
}

bool HubController::hasConnectedPortSharingAudioUnit(AudioUnitHandle unit, const HubPort* port) const {
    for (const auto& sender : senderPorts_) {
        auto* other = dynamic_cast<HubSenderPort*>(sender.get());
        if (other && other != port && other->audioUnit() == unit && !other->destinations().empty()) return true;
    }
    return false;
}

void HubController::updatePortConnectionStatus() {
    const bool activeReceiver =
        std::any_of(receiverPorts_.begin(), receiverPorts_.end(), [](const auto& port) { return port->connected(); });
    bool activeSender = false;
    for (const PortList* list : {&senderPorts_, &filterPorts_})
        for (const auto& port : *list) activeSender = activeSender || port->connected();
    for (const auto& port : senderPorts_) {
        auto* sender = dynamic_cast<HubSenderPort*>(port.get());
        if (!sender) continue;
        sender->setSharingAudioUnitWithConnectedPort(sender->audioUnit() &&
                                                     hasConnectedPortSharingAudioUnit(sender->audioUnit(), sender));
        sender->setAppHasActiveReceiverPort(activeReceiver);
        sender->setAppHasActiveSenderOrFilterPort(activeSender);
    }
}

void HubController::applyConnectionGraph(std::unique_ptr<HubConnectionGraph> graph) {
    const bool contains = graph && graph->containsPeer(selfPeer_.get());
    const bool wasInGraph = inHubConnectionGraph_;
    bool connectedSetsChanged = false;
    if (contains) {
        if (!inHubConnectionGraph_) busLog("Connected to Wirehub");
        // The other peers and their ports, taken anew only when they changed.
        size_t peerAt = 0, portAt = 0;
        bool same = true;
        for (const auto& peer : graph->peers()) {
            if (peer == selfPeer_) continue;
            same = same && peerAt < connectedPeers_.size() && connectedPeers_[peerAt] == peer;
            ++peerAt;
        }
        for (const auto* node : graph->nodes()) {
            if (node->peer() == selfPeer_.get()) continue;
            same = same && portAt < connectedPorts_.size() && connectedPorts_[portAt] == node->port();
            ++portAt;
        }
        if (!same || peerAt != connectedPeers_.size() || portAt != connectedPorts_.size()) {
            connectedSetsChanged = true;
            connectedPeers_.clear();
            connectedPeerIdentities_.clear();
            connectedPorts_.clear();
            for (const auto& peer : graph->peers()) {
                if (peer == selfPeer_) continue;
                connectedPeers_.push_back(peer);
                connectedPeerIdentities_.emplace_back(peer->name(), peer->uniqueID());
            }
            for (const auto* node : graph->nodes())
                if (node->peer() != selfPeer_.get()) connectedPorts_.push_back(node->port());
        }
        inHubConnectionGraph_ = true;
    } else {
        if (inHubConnectionGraph_) busLog("Disconnected from Wirehub");
        connectedPeers_.clear();
        connectedPeerIdentities_.clear();
        connectedPorts_.clear();
        inHubConnectionGraph_ = false;
    }
    bool filterConnected = false;
    for (const PortList* list : {&receiverPorts_, &senderPorts_, &filterPorts_}) {
        const PortList copy = *list;
        for (const auto& port : copy) {
            const HubConnectionGraphNode* node = graph ? graph->nodeForPort(port.get()) : nullptr;
            PortList sources, destinations;
            if (node) {
                for (auto* source : node->sources()) sources.push_back(source->port());
                for (auto* destination : node->destinations()) destinations.push_back(destination->port());
            }
            port->setConnections(std::move(sources), std::move(destinations));
            if (list == &filterPorts_ && port->connected()) filterConnected = true;
        }
    }
    connectionGraph_ = std::move(graph);
    // Being in the graph, and with whom, are connections of their own: a change
    // of either is evaluated even when no port's links changed (the panel shows
    // the peers). A graph that changes none of them (one that never names this
    // program, or names it with the same peers and ports) is no change here: the
    // ports tell their own link changes, and the application stops or starts its
    // engine on each evaluation it hears of.
    if (inHubConnectionGraph_ != wasInGraph || connectedSetsChanged) connectionChange_.schedule(0);
    if (!filterConnected) {
        if (filterBypassTrigger_) removeTrigger(filterBypassTrigger_);
        return;
    }
    if (!filterBypassTrigger_) {
        std::weak_ptr<HubController*> alive = alive_;
        filterBypassTrigger_ = HubButtonTrigger::buttonTriggerWithTitle(
            platform::localizedString(bundle_, "Bypass"), HubBuiltInImageNamed("Bypass-On.png"),
            [this, alive](HubTrigger&, const HubTrigger::PortSet&) {
                if (!alive.lock() || filterPorts_.empty()) return;
                auto* last = dynamic_cast<HubFilterPort*>(filterPorts_.back().get());
                const bool bypass = !(last && last->bypassed());
                for (auto& port : filterPorts_)
                    if (auto* filter = dynamic_cast<HubFilterPort*>(port.get())) filter->setBypassed(bypass);
            },
            center_);
        filterBypassTrigger_->setIcon(HubBuiltInImageNamed("Bypass-Off.png"), HubTrigger::Selected);
        filterBypassTrigger_->setNumericIdentifier(kHubBypassTriggerIdentifier);
    }
    addTrigger(filterBypassTrigger_);
}

void HubController::takeReturnedPeerIntoConnections(const std::shared_ptr<HubPeer>& peer) {
    const std::string name = peer->name(), uniqueID = peer->uniqueID();
    bool returned = false;
    for (size_t index = 0; index < connectedPeers_.size(); ++index) {
        const auto& [connectedName, connectedID] = connectedPeerIdentities_[index];
        returned = returned || (connectedPeers_[index] != peer && connectedName == name &&
                                HubRegistry::uniqueIDsEqual(connectedID, uniqueID));
    }
    if (!returned || appliedConnectionStates_.empty()) return;
    // The graph in force is read again, as if the hub had sent it once more:
    // its names now lead to the peer that is here and its port numbers to that
    // peer's ports (placeholders for those it has not published yet), and the
    // links, the connected peers and ports and the stored graph follow.
    const std::vector<uint8_t>& inForce = appliedConnectionStates_.back();
    if (auto graph = HubConnectionGraph::withDataRepresentation(inForce.data(), inForce.size(), *peerRegistry_)) {
        applyConnectionGraph(std::move(graph));
    }
}

HubController::PortList HubController::activePortsConnectedToPeer(const std::shared_ptr<HubPeer>& peer) const {
    PortList ports;
    auto hasPeer = [&](const PortList& remote) {
        return std::any_of(remote.begin(), remote.end(), [&](const auto& port) { return port->peer() == peer; });
    };
    for (const auto& port : receiverPorts_)
        if (hasPeer(port->sources())) ports.push_back(port);
    for (const auto& port : senderPorts_)
        if (hasPeer(port->destinations())) ports.push_back(port);
    for (const auto& port : filterPorts_)
        if (hasPeer(port->sources()) || hasPeer(port->destinations())) ports.push_back(port);
    return ports;
}

}  // namespace strombel::hub
