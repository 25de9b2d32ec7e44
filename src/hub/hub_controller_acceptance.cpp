#include "hub/hub_controller.h"

#include <fmt/format.h>

#include <algorithm>
#include <utility>

#include "hub/bus_log.h"
#include "hub/bus_message.h"
#include "hub/hub_controller_parts.h"
#include "platform/localized_strings.h"

namespace strombel::hub {

using controller_parts::describe;
using controller_parts::kInvalidMessageFromPeer;

namespace {

constexpr size_t kRememberedConnectionStates = 128;

std::string uuidText(const uint8_t* bytes) {
    std::string text;
    for (int i = 0; i < 16; ++i) {
        if (i == 4 || i == 6 || i == 8 || i == 10) text += '-';
        text += fmt::format("{:02X}", bytes[i]);
    }
    return text;
}

}  // namespace

// ---- accepting a hub ------------------------------------------------------------------

void HubController::resetAllPeeredConnections(platform::UserDefaults& defaults) {
    defaults.removeObject(kPeeredWirehubIdentifiersKey);
    defaults.synchronize();
}

void HubController::sendConnectionStateAckWithStatus(uint8_t status, uint8_t sequence, const HubPeer& peer) {
    const uint8_t message[5] = {kBusMessageMarker, kBusHeaderLength, BusMessageAcknowledgement, sequence, status};
    HubPeerSendMessage(peer, message, sizeof message);
}

bool HubController::signatureIsValid(const std::vector<uint8_t>& message, const std::shared_ptr<HubPeer>& peer,
                                     const char* refusal) {
    signatureChecks_.fetch_add(1, std::memory_order_relaxed);
    auto content = splitSignedContent(message.data(), message.size());
    if (content && validateSignature(validator_, content->signature, content->signatureLength, content->content.data(),
                                     content->content.size())) {
        return true;
    }
    signatureGate_.refused(peer.get(), message.data(), message.size());
    endpoint_->peerLog().log(peer.get(), refusal, [&] { return fmt::format(fmt::runtime(refusal), describe(peer)); });
    return false;
}

void HubController::connectionState(std::vector<uint8_t> message, const std::shared_ptr<HubPeer>& peer) {
    if (!signatureIsValid(message, peer, kInvalidMessageFromPeer)) return;
    const size_t h = message[1];
    const uint8_t sequence = message[h + 1];
    auto controller = controllerPeer();
    if (controller && controller != peer) return sendConnectionStateAckWithStatus(3, sequence, *peer);
    if (peer->type() != HubPeer::Local && peer->type() != HubPeer::Self) {
        const std::string identifier = uuidText(message.data() + h + 2);
        if (rejectedIdentifiers_.count(identifier)) return sendConnectionStateAckWithStatus(2, sequence, *peer);
        const auto accepted = defaults_.stringArrayForKey(kPeeredWirehubIdentifiersKey);
        if (std::find(accepted.begin(), accepted.end(), identifier) == accepted.end()) {
            if (incomingIdentifier_.empty()) performHubPeeringWithPeer(peer, identifier);
            return sendConnectionStateAckWithStatus(1, sequence, *peer);
        }
    }
    // A replay of an older state of this session is dropped unanswered. The
    // latest one again (its acknowledgement was lost) is applied again: it is
    // what stands, and only what was applied is acknowledged.
    const bool latest = !appliedConnectionStates_.empty() && appliedConnectionStates_.back() == message;
    if (!latest && std::find(appliedConnectionStates_.begin(), appliedConnectionStates_.end(), message) !=
                       appliedConnectionStates_.end()) {
        busLog("Replayed connection graph update from {} dropped", describe(peer));
        return;
    }
    busLog("Connection graph update from {}.", describe(peer));
    auto graph = HubConnectionGraph::withDataRepresentation(message.data(), message.size(), *peerRegistry_);
    if (!graph) return;
    if (!latest) {
        appliedConnectionStates_.push_back(std::move(message));
        if (appliedConnectionStates_.size() > kRememberedConnectionStates) appliedConnectionStates_.pop_front();
    }
    controllerPeer_.store(peer);
    hubAppRunning_ = true;
    memberOfActiveHubSession_ = true;
    applyConnectionGraph(std::move(graph));
    sendConnectionStateAckWithStatus(0, sequence, *peer);
}

void HubController::performHubPeeringWithPeer(const std::shared_ptr<HubPeer>& peer, const std::string& identifier) {
    if (!incomingIdentifier_.empty()) return;
    incomingIdentifier_ = identifier;
    HubAlert alert;
    alert.title = platform::localizedString(bundle_, "Wirehub connection");
    alert.message = platform::localizedString(bundle_, "Accept incoming Wirehub connection from %@?");
    if (size_t at = alert.message.find("%@"); at != std::string::npos) alert.message.replace(at, 2, peer->deviceName());
    alert.cancelButton = platform::localizedString(bundle_, "Deny");
    alert.otherButtons = {platform::localizedString(bundle_, "Accept")};
    std::weak_ptr<HubController*> alive = alive_;
    alert.completion = [this, alive, identifier](int button) {
        if (!alive.lock()) return;
        if (button == 1) {
            busLog("Wirehub: Accepted incoming connection");
            auto accepted = defaults_.stringArrayForKey(kPeeredWirehubIdentifiersKey);
            accepted.push_back(identifier);
            defaults_.setStringArray(kPeeredWirehubIdentifiersKey, accepted);
            defaults_.synchronize();
        } else {
            busLog("Wirehub: Denied incoming connection");
            rejectedIdentifiers_.insert(identifier);
        }
        incomingIdentifier_.clear();
    };
    if (options_.alertPresenter) options_.alertPresenter(std::move(alert));
    else alert.completion(0);
}

}  // namespace strombel::hub
