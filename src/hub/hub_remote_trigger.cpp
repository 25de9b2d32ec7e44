#include "hub/hub_remote_trigger.h"

#include <fmt/format.h>

#include <cmath>
#include <typeinfo>

#include "hub/bus_message.h"
#include "hub/hub_peer.h"
#include "hub/hub_peer_resource.h"
#include "hub/hub_record.h"

namespace strombel::hub {

namespace {

std::string titleAt(const std::vector<uint8_t>& record, size_t offset, size_t length) {
    if (length == 0) return {};
    return decodeUtf8Lossy({reinterpret_cast<const char*>(record.data()) + offset, length});
}

HubColor colorAt(const uint8_t* p) { return {p[0] / 255.0, p[1] / 255.0, p[2] / 255.0, 1}; }

float toFloat(double value) {
    // A value beyond float's range would be undefined to convert.
    if (std::isnan(value)) return std::nanf("");
    if (value > 3.4e38) return std::numeric_limits<float>::infinity();
    if (value < -3.4e38) return -std::numeric_limits<float>::infinity();
    return static_cast<float>(value);
}

}  // namespace

int64_t HubRemoteTrigger::identifierFromDataRepresentation(const std::vector<uint8_t>& record) {
    if (record.size() < 8 || record.size() < readU16(record.data())) return 0;
    return readU32(record.data() + 2);
}

std::shared_ptr<HubRemoteTrigger> HubRemoteTrigger::remoteTriggerWithPeer(const std::shared_ptr<HubPeer>& peer,
                                                                         const std::vector<uint8_t>& record,
                                                                         HubPeerResourceManager* resourceManager) {
    if (record.size() < 8 || record.size() < readU16(record.data()) || record[6] >= 3) return nullptr;
    std::shared_ptr<HubRemoteTrigger> trigger;
    if (record[6] == HubTrigger::VariableControl) trigger = std::make_shared<HubRemoteVariableTrigger>();
    else trigger = std::make_shared<HubRemoteButtonTrigger>();
    trigger->resourceManager_ = resourceManager;
    trigger->peer_ = peer;
    if (!trigger->loadFromDataRepresentation(record)) return nullptr;
    return trigger;
}

bool HubRemoteTrigger::loadFromDataRepresentation(const std::vector<uint8_t>& record) {
    if (record.size() < 8 || record.size() < readU16(record.data())) return false;
    numericIdentifier_ = readU32(record.data() + 2);
    state_ = record[7];
    return true;
}

bool HubRemoteTrigger::isEqual(const HubRemoteTrigger& other) const {
    return typeid(other) == typeid(*this) && peer() == other.peer() && numericIdentifier_ == other.numericIdentifier_;
}

size_t HubRemoteTrigger::hash() const {
    const size_t peerHash = std::hash<const HubPeer*>{}(peer().get());
    return std::hash<std::string>{}(fmt::format("{}:{}", peerHash, int32_t(numericIdentifier_)));
}

std::shared_ptr<HubPeerResourceImageProxy> HubRemoteTrigger::image(uint32_t resourceID) const {
    auto owner = peer();
    if (resourceID == 0 || !resourceManager_ || !owner || !owner->dbPeer()) return nullptr;
    return resourceManager_->imageResourceWithID(resourceID, owner->dbPeer());
}

bool HubRemoteTrigger::lacksImage(uint32_t resourceID) const { return resourceID != 0 && !image(resourceID); }

void HubRemoteTrigger::sendToPeer(const std::vector<uint8_t>& message) const {
    if (auto owner = peer()) HubPeerSendMessage(*owner, message.data(), message.size());
}

bool HubRemoteButtonTrigger::loadFromDataRepresentation(const std::vector<uint8_t>& record) {
    if (record.size() < 35) return false;
    const size_t header = readU16(record.data());
    // Records shorter in their header than the fields read here are refused.
    if (header < 35) return false;
    const size_t lengths[3] = {readU16(record.data() + 29), readU16(record.data() + 31), readU16(record.data() + 33)};
    if (header + lengths[0] + lengths[1] + lengths[2] > record.size()) return false;
    if (record[6] != HubTrigger::ButtonControl && record[6] != HubTrigger::AnimatedControl) return false;
    iconID_ = readU32(record.data() + 8);
    selectedIconID_ = readU32(record.data() + 12);
    alternateIconID_ = readU32(record.data() + 16);
    color_ = colorAt(record.data() + 20);
    selectedColor_ = colorAt(record.data() + 23);
    alternateColor_ = colorAt(record.data() + 26);
    title_ = titleAt(record, header, lengths[0]);
    selectedTitle_ = titleAt(record, header + lengths[0], lengths[1]);
    alternateTitle_ = titleAt(record, header + lengths[0] + lengths[1], lengths[2]);
    HubRemoteTrigger::loadFromDataRepresentation(record);
    for (const char* key : {"iconID", "icon", "selectedIconID", "selectedIcon", "alternateIconID", "alternateIcon"})
        didChangeValueForKey(key);
    return true;
}

std::vector<uint32_t> HubRemoteButtonTrigger::remoteResourceIDsToLoad() const {
    std::vector<uint32_t> identifiers;
    for (uint32_t id : {iconID_, selectedIconID_, alternateIconID_})
        if (lacksImage(id)) identifiers.push_back(id);
    return identifiers;
}

std::shared_ptr<HubPeerResourceImageProxy> HubRemoteButtonTrigger::selectedIcon() const {
    return selectedIconID_ ? image(selectedIconID_) : nullptr;
}

std::shared_ptr<HubPeerResourceImageProxy> HubRemoteButtonTrigger::alternateIcon() const {
    return alternateIconID_ ? image(alternateIconID_) : nullptr;
}

std::vector<uint8_t> HubRemoteButtonTrigger::activationMessage(uint32_t identifier) {
    std::vector<uint8_t> message{kBusMessageMarker, kBusHeaderLength, BusMessageTriggerActivate, 5, 0, 0, 0, 0};
    writeU32(message.data() + 4, identifier);
    return message;
}

void HubRemoteButtonTrigger::activate() const {
    if (state() == HubTrigger::Disabled) return;
    sendToPeer(activationMessage(numericIdentifier()));
}

bool HubRemoteVariableTrigger::loadFromDataRepresentation(const std::vector<uint8_t>& record) {
    if (record.size() < 43) return false;
    const size_t header = readU16(record.data());
    if (header < 43) return false;
    const size_t titleLength = readU16(record.data() + 41);
    if (header + titleLength > record.size()) return false;
    if (record[6] != HubTrigger::VariableControl) return false;
    displayType_ = record[8];
    minimumValue_ = toFloat(readF64BigEndian(record.data() + 25));
    maximumValue_ = toFloat(readF64BigEndian(record.data() + 17));
    maximumIconID_ = readU32(record.data() + 37);
    minimumIconID_ = readU32(record.data() + 33);
    value_ = toFloat(readF64BigEndian(record.data() + 9));
    title_ = titleAt(record, header, titleLength);
    HubRemoteTrigger::loadFromDataRepresentation(record);
    for (const char* key : {"value", "maximumIconID", "maximumImage", "minimumIconID", "minimumImage"})
        didChangeValueForKey(key);
    return true;
}

std::vector<uint32_t> HubRemoteVariableTrigger::remoteResourceIDsToLoad() const {
    std::vector<uint32_t> identifiers;
    for (uint32_t id : {maximumIconID_, minimumIconID_})
        if (lacksImage(id)) identifiers.push_back(id);
    return identifiers;
}

std::vector<uint8_t> HubRemoteVariableTrigger::adjustmentMessage(uint32_t identifier, float value) {
    std::vector<uint8_t> message(17, 0);
    message[0] = kBusMessageMarker;
    message[1] = kBusHeaderLength;
    message[2] = BusMessageTriggerAdjust;
    message[3] = 5;
    message[4] = 2;
    writeU32(message.data() + 5, identifier);
    writeF64BigEndian(message.data() + 9, value);
    return message;
}

void HubRemoteVariableTrigger::setValue(float value) {
    if (state() == HubTrigger::Disabled) return;
    value_ = value;
    sendToPeer(adjustmentMessage(numericIdentifier(), value));
}

}  // namespace strombel::hub
