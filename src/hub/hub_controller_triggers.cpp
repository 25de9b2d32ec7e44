#include "hub/hub_controller.h"

#include <algorithm>
#include <cmath>
#include <utility>

#include "hub/bus_message.h"

namespace strombel::hub {

// ---- triggers ------------------------------------------------------------------------

void HubController::sortTriggers(TriggerList& list) {
    std::stable_sort(list.begin(), list.end(), [](const auto& left, const auto& right) {
        return HubTrigger::rankOfSystemType(left->systemType()) < HubTrigger::rankOfSystemType(right->systemType());
    });
}

namespace {
// The lists hold one trigger per identifier: an equal one counts as the same.
auto equalTo(const HubTrigger& trigger) {
    return [&trigger](const std::shared_ptr<HubTrigger>& listed) { return listed->isEqual(trigger); };
}
}  // namespace

void HubController::addTrigger(std::shared_ptr<HubTrigger> trigger, bool showInConnectionPanel) {
    if (!trigger) return;
    for (const TriggerList* list : {&triggers_, &offPanelTriggers_})
        if (std::any_of(list->begin(), list->end(), equalTo(*trigger))) return;
    auto& list = showInConnectionPanel ? triggers_ : offPanelTriggers_;
    list.push_back(std::move(trigger));
    sortTriggers(list);
    updateRegistrationMetadata();
}

void HubController::removeTrigger(const std::shared_ptr<HubTrigger>& trigger) {
    if (!trigger) return;
    size_t removed = 0;
    for (TriggerList* list : {&triggers_, &offPanelTriggers_}) removed += std::erase_if(*list, equalTo(*trigger));
    if (removed) updateRegistrationMetadata();
}

std::shared_ptr<HubTrigger> HubController::triggerMatchingIdentifier(uint32_t identifier) const {
    for (const TriggerList* list : {&triggers_, &offPanelTriggers_})
        for (const auto& trigger : *list)
            if (trigger->numericIdentifier() == identifier) return trigger;
    return nullptr;
}

// ---- what peers do to triggers ------------------------------------------------------

void HubController::triggerActivate(uint32_t identifier, const std::shared_ptr<HubPeer>& peer) {
    auto trigger = triggerMatchingIdentifier(identifier);
    if (!trigger || !dynamic_cast<HubButtonTrigger*>(trigger.get())) return;
    trigger->fire(activePortsConnectedToPeer(peer));
}

void HubController::triggerAdjust(uint32_t identifier, double value, const std::shared_ptr<HubPeer>& peer) {
    if (!std::isfinite(value)) return;
    auto trigger = std::dynamic_pointer_cast<HubVariableTrigger>(triggerMatchingIdentifier(identifier));
    if (!trigger) return;
    trigger->setValue(static_cast<float>(std::clamp(value, -3.4e38, 3.4e38)));
    trigger->fire(activePortsConnectedToPeer(peer));
}

void HubController::triggerState(std::vector<uint8_t> record, const std::shared_ptr<HubPeer>& peer) {
    const uint32_t identifier = readU32(record.data() + 2);
    for (const auto& trigger : peer->triggers()) {
        if (trigger->numericIdentifier() != identifier) continue;
        if (trigger->loadFromDataRepresentation(record)) {
            trigger->setLastStateUpdate(peer->mediaTime());
            requestPeerImageResources(peer);
            coalescePeerReport(peer, peer.get());
        }
        return;
    }
}

void HubController::triggerAttributeChanged(const HubTrigger* trigger) {
    if (!trigger) return;
    bool listed = false;
    for (const TriggerList* list : {&triggers_, &offPanelTriggers_})
        listed = listed || std::any_of(list->begin(), list->end(), equalTo(*trigger));
    if (!listed) return;
    if (!dynamic_cast<const HubAnimatedTrigger*>(trigger)) updateRegistrationMetadata();
    const auto record = trigger->dataRepresentationWithResourceHost(resourceHost_.get());
    std::vector<uint8_t> message{kBusMessageMarker, kBusHeaderLength, BusMessageTriggerState};
    message.insert(message.end(), record.begin(), record.end());
    for (const auto& peer : peerRegistry_->peers()) HubPeerSendMessage(*peer, message.data(), message.size());
    HubPeerSendMessage(*selfPeer_, message.data(), message.size());
}

}  // namespace strombel::hub
