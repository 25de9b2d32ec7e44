#include "hub/hub_peer.h"

#include <fmt/format.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>

#include "hub/hub_controller.h"
#include "hub/bus_message.h"
#include "hub/hub_peer_resource.h"
#include "hub/hub_record.h"

namespace strombel::hub {

namespace {

const char* const kPortKeys[] = {"receiverPorts", "filterPorts", "senderPorts"};

std::optional<std::string> metadataValue(const std::shared_ptr<BusPeer>& peer, const std::string& key) {
    if (!peer) return std::nullopt;
    platform::TxtRecord metadata = peer->metadata();
    auto it = metadata.find(key);
    if (it == metadata.end()) return std::nullopt;
    return decodeUtf8Lossy(it->second);
}

bool booleanValue(const std::string& text) {
    // As a property list reads a text: "YES", "true" or a non-zero number.
    if (text.empty()) return false;
    const char c = char(std::tolower(static_cast<unsigned char>(text[0])));
    if (c == 'y' || c == 't') return true;
    return std::atoi(text.c_str()) != 0;
}

std::optional<std::vector<uint8_t>> entry(const platform::TxtRecord& metadata, const std::string& key, int index) {
    auto it = metadata.find(fmt::format("{}[{}]", key, index));
    if (it == metadata.end()) return std::nullopt;
    return std::vector<uint8_t>(it->second.begin(), it->second.end());
}

}  // namespace

// ---- HubPeer --------------------------------------------------------------------

HubPeer::HubPeer(const platform::Clock& clock) : clock_(clock) {}

HubPeer::~HubPeer() {
    if (auto peer = dbPeer(); peer && metadataObserver_) peer->removeObserver(metadataObserver_);
    if (iconCenter_) iconCenter_->removeObserver(iconObserver_);
}

std::shared_ptr<HubPeer> HubPeer::peerWithDBPeer(const std::shared_ptr<BusPeer>& peer, const platform::Clock& clock) {
    auto hubPeer = std::make_shared<HubPeer>(clock);
    hubPeer->setPeer(peer);
    return hubPeer;
}

std::shared_ptr<HubPeer> HubPeer::localStandInPeerWithName(std::string name, std::string launchURL,
                                                           std::string displayName, const platform::Clock& clock) {
    auto peer = std::make_shared<HubPeer>(clock);
    peer->name_ = std::move(name);
    peer->launchURL_ = std::move(launchURL);
    peer->displayName_ = std::move(displayName);
    return peer;
}

void HubPeer::setPeer(const std::shared_ptr<BusPeer>& peer) {
    if (auto old = dbPeer(); old && metadataObserver_) old->removeObserver(metadataObserver_);
    metadataObserver_ = 0;
    peer_.store(peer);
    if (peer) {
        std::weak_ptr<HubPeer> weak = weak_from_this();
        metadataObserver_ = peer->addObserver("metadata", [weak] {
            auto self = weak.lock();
            if (!self) return;
            if (auto bus = self->dbPeer()) self->updateValuesFromMetadata(bus->metadata());
        });
        updateValuesFromMetadata(peer->metadata());
    }
    for (const char* key : {"name", "uniqueID", "deviceName", "type", "present"}) didChangeValueForKey(key);
}

std::string HubPeer::name() const {
    auto peer = dbPeer();
    return peer ? peer->name() : name_;
}

std::string HubPeer::uniqueID() const {
    auto peer = dbPeer();
    return peer ? peer->uniqueID() : uniqueID_;
}

std::string HubPeer::deviceName() const {
    auto peer = dbPeer();
    return peer ? peer->deviceName() : uniqueID_;
}

int32_t HubPeer::type() const {
    auto peer = dbPeer();
    return peer ? peer->type() : Placeholder;
}

bool HubPeer::present() const {
    auto peer = dbPeer();
    return peer && peer->present();
}

std::string HubPeer::displayName() const {
    if (!displayName_.empty()) return displayName_;
    if (auto value = metadataValue(dbPeer(), "displayName")) return *value;
    return name();
}

std::string HubPeer::launchURL() const {
    if (auto value = metadataValue(dbPeer(), "launchURL")) return *value;
    return launchURL_;
}

std::string HubPeer::hubSDKVersion() const { return metadataValue(dbPeer(), "SDK version").value_or(""); }

int64_t HubPeer::capabilities() const {
    auto value = metadataValue(dbPeer(), "capabilities");
    return value ? std::strtoll(value->c_str(), nullptr, 10) : 0;
}

int32_t HubPeer::hubProtocolVersion() const {
    auto value = metadataValue(dbPeer(), "version");
    return value ? int32_t(std::strtol(value->c_str(), nullptr, 10)) : 0;
}

double HubPeer::minimumRemoteLatency() const {
    auto value = metadataValue(dbPeer(), "minimumRemoteLatency");
    return value ? std::strtod(value->c_str(), nullptr) : 0;
}

double HubPeer::maximumRemoteLatency() const {
    auto value = metadataValue(dbPeer(), "maximumRemoteLatency");
    return value ? std::strtod(value->c_str(), nullptr) : std::numeric_limits<double>::infinity();
}

bool HubPeer::usingRetransmission() const {
    auto value = metadataValue(dbPeer(), "usingRetransmission");
    return value && booleanValue(*value);
}

bool HubPeer::allowsConnectionsToSelf() const {
    auto value = metadataValue(dbPeer(), "allowsMultipleInstances");
    return value ? booleanValue(*value) : allowsConnectionsToSelf_;
}

std::vector<std::shared_ptr<HubRemoteTrigger>> HubPeer::panelTriggers() const {
    std::vector<std::shared_ptr<HubRemoteTrigger>> panel;
    for (const auto& trigger : triggers_)
        if (!trigger->offPanel()) panel.push_back(trigger);
    return panel;
}

const HubPortList& HubPeer::portsOfType(int32_t type) const {
    if (type == HubPort::Receiver) return receiverPorts();
    if (type == HubPort::Filter) return filterPorts();
    return senderPorts();
}

HubPortList& HubPeer::mutablePortsOfType(int32_t type) {
    if (type == HubPort::Receiver) return receiverPorts_;
    if (type == HubPort::Filter) return filterPorts_;
    return senderPorts_;
}

void HubPeer::appendPort(int32_t type, std::shared_ptr<HubPort> port) {
    mutablePortsOfType(type).push_back(std::move(port));
    didChangeValueForKey(kPortKeys[std::clamp(type, 0, 2)]);
}

bool HubPeer::removePort(int32_t type, const std::shared_ptr<HubPort>& port) {
    auto& list = mutablePortsOfType(type);
    auto it = std::find(list.begin(), list.end(), port);
    if (it == list.end()) return false;
    list.erase(it);
    didChangeValueForKey(kPortKeys[std::clamp(type, 0, 2)]);
    return true;
}

std::shared_ptr<HubPort> HubPeer::portWithNumericIdentifier(uint32_t identifier) const {
    for (const HubPortList* list : {&receiverPorts(), &filterPorts(), &senderPorts()}) {
        for (const auto& port : *list)
            if (port->numericIdentifier() == identifier) return port;
    }
    return nullptr;
}

void HubPeer::setResourceManager(HubPeerResourceManager* manager) {
    for (auto& trigger : triggers_) trigger->setResourceManager(manager);
    if (manager == resourceManager_) return;
    resourceManager_ = manager;
    if (iconCenter_) iconCenter_->removeObserver(iconObserver_);
    iconCenter_ = manager ? &manager->notifications() : nullptr;
    if (!iconCenter_) return;
    iconObserver_ = iconCenter_->addObserver(kHubControllerDidLoadPeerIconNotification, nullptr,
                                             [this](const platform::Notification& note) {
                                                 auto* peer = std::any_cast<std::shared_ptr<HubPeer>>(&note.userInfo);
                                                 if (peer && peer->get() == this) didChangeValueForKey("icon");
                                             });
}

std::shared_ptr<HubPeerResourceImageProxy> HubPeer::icon() const {
    auto bus = dbPeer();
    if (!resourceManager_ || !bus) return nullptr;
    return resourceManager_->imageResourceWithID(kHubApplicationIconResourceID, bus);
}

void HubPeer::updateValuesFromMetadata(const platform::TxtRecord& metadata) {
    // This application's own ports and triggers are the controller's objects.
    if (dynamic_cast<const HubSelfPeer*>(this)) return;
    updatePortsOfType(HubPort::Receiver, metadata, "inputs");
    updatePortsOfType(HubPort::Filter, metadata, "filters");
    updatePortsOfType(HubPort::Sender, metadata, "outputs");
    std::set<const HubRemoteTrigger*> matched;
    auto triggers = loadTriggersFromMetadata(metadata, "triggers", false, matched);
    auto offPanel = loadTriggersFromMetadata(metadata, "offPanelTriggers", true, matched);
    triggers.insert(triggers.end(), offPanel.begin(), offPanel.end());
    triggers_ = std::move(triggers);
    didChangeValueForKey("triggers");
    for (const char* key : kPortKeys) didChangeValueForKey(key);
}

void HubPeer::updatePortsOfType(int32_t type, const platform::TxtRecord& metadata, const std::string& key) {
    HubPortList& existing = mutablePortsOfType(type);
    HubPortList search = existing;
    const std::string sdk = hubSDKVersion();
    if ((type == HubPort::Receiver || type == HubPort::Sender) && !sdk.empty() &&
        HubVersionNumberFromString(sdk) >= HubVersionNumberFromString("2.1b1")) {
        search.insert(search.end(), filterPorts_.begin(), filterPorts_.end());
    }
    HubPortList updated;
    // A port matched once in this pass is not matched again, so two records of
    // one description or name give two ports.
    auto unmatched = [&](const std::shared_ptr<HubPort>& port) {
        return std::find(updated.begin(), updated.end(), port) == updated.end();
    };
    const double now = mediaTime();
    for (int index = 0;; ++index) {
        auto record = entry(metadata, key, index);
        if (!record) break;
        auto name = HubPort::portNameFromDataRepresentation(*record);
        if (!name) continue;
        std::shared_ptr<HubPort> match;
        const AudioComponentDescription description = HubPort::portAudioComponentDescriptionFromDataRepresentation(*record);
        if (description.componentType != 0) {
            for (const auto& port : search)
                if (unmatched(port) && port->audioComponentDescription() == description) {
                    match = port;
                    break;
                }
        }
        if (!match) {
            for (const auto& port : search)
                if (unmatched(port) && ((port->isStandin() && !port->isNamed()) || port->name() == *name)) {
                    match = port;
                    break;
                }
        }
        if (match) {
            const bool fresh = match->lastStateUpdate() > 0 && now - match->lastStateUpdate() < kHubDirectUpdateFreshness;
            if (!fresh) match->loadFromDataRepresentation(*record);
        } else {
            match = HubPort::portWithPeer(shared_from_this(), *record, type);
        }
        if (match) updated.push_back(match);
    }
    for (const auto& port : existing)
        if (port->isStandin() && unmatched(port)) updated.push_back(port);
    existing = std::move(updated);
}

std::vector<std::shared_ptr<HubRemoteTrigger>> HubPeer::loadTriggersFromMetadata(
    const platform::TxtRecord& metadata, const std::string& key, bool offPanel,
    std::set<const HubRemoteTrigger*>& matched) {
    std::vector<std::shared_ptr<HubRemoteTrigger>> loaded;
    const double now = mediaTime();
    for (int index = 0;; ++index) {
        auto record = entry(metadata, key, index);
        if (!record) break;
        const int64_t identifier = HubRemoteTrigger::identifierFromDataRepresentation(*record);
        std::shared_ptr<HubRemoteTrigger> trigger;
        for (const auto& existing : triggers_) {
            if (int64_t(existing->numericIdentifier()) == identifier && !matched.count(existing.get())) {
                trigger = existing;
                break;
            }
        }
        // A trigger published again as another kind (a button become a slider)
        // is another object; one whose record no longer loads is left out.
        if (trigger && !trigger->takesControlType(record->size() > 6 ? (*record)[6] : -1)) trigger = nullptr;
        if (trigger) {
            const bool fresh = trigger->lastStateUpdate() > 0 && now - trigger->lastStateUpdate() < kHubDirectUpdateFreshness;
            if (!fresh && !trigger->loadFromDataRepresentation(*record)) continue;
        } else {
            trigger = HubRemoteTrigger::remoteTriggerWithPeer(shared_from_this(), *record, resourceManager_);
        }
        if (!trigger) continue;
        matched.insert(trigger.get());
        trigger->setOffPanel(offPanel);
        loaded.push_back(trigger);
    }
    return loaded;
}

std::string HubPeer::description() const {
    return fmt::format("<HubPeer {} ({}) type {}>", escapedForLog(name()), escapedForLog(deviceName()), type());
}

// ---- HubSelfPeer ----------------------------------------------------------------

std::shared_ptr<HubSelfPeer> HubSelfPeer::withDBPeer(const std::shared_ptr<BusPeer>& peer,
                                                     const platform::Clock& clock) {
    auto self = std::make_shared<HubSelfPeer>(clock);
    self->setPeer(peer);
    return self;
}

namespace {
const HubPortList kNoPorts;
}

HubSelfPeer::~HubSelfPeer() { setHubController(nullptr); }

void HubSelfPeer::setHubController(HubController* controller) {
    if (controller_)
        for (auto id : controllerObservers_) controller_->removeObserver(id);
    controllerObservers_.clear();
    controller_ = controller;
    if (!controller_) return;
    for (const char* key : {"senderPorts", "filterPorts", "receiverPorts"}) {
        controllerObservers_.push_back(controller_->addObserver(key, [this, key] { didChangeValueForKey(key); }));
    }
}

const HubPortList& HubSelfPeer::receiverPorts() const { return controller_ ? controller_->receiverPorts() : kNoPorts; }
const HubPortList& HubSelfPeer::senderPorts() const { return controller_ ? controller_->senderPorts() : kNoPorts; }
const HubPortList& HubSelfPeer::filterPorts() const { return controller_ ? controller_->filterPorts() : kNoPorts; }

// ---- HubRegistry ----------------------------------------------------------------

HubRegistry::HubRegistry(std::shared_ptr<HubSelfPeer> selfPeer, platform::NotificationCenter& center)
    : selfPeer_(std::move(selfPeer)), center_(center) {
    if (!selfPeer_) return;
    selfName_ = selfPeer_->name();
    selfNameObserver_ = selfPeer_->addObserver("name", [this] { selfName_ = selfPeer_->name(); });
}

HubRegistry::~HubRegistry() {
    if (selfPeer_) selfPeer_->removeObserver(selfNameObserver_);
    for (const auto& peer : peers_) peer->removeObserver(members_.at(peer.get()).nameObserver);
}

bool HubRegistry::contains(const std::shared_ptr<HubPeer>& peer) const { return members_.count(peer.get()) != 0; }

void HubRegistry::addPeer(const std::shared_ptr<HubPeer>& peer) {
    if (!peer || members_.count(peer.get())) return;
    HubPeer* const member = peer.get();
    members_[member].order = nextOrder_++;
    peers_.push_back(peer);
    members_[member].nameObserver = peer->addObserver("name", [this, member] { fileUnderName(member); });
    fileUnderName(member);
    center_.post(kHubRegistryPeerAddedNotification, this, peer);
}

void HubRegistry::removePeer(const std::shared_ptr<HubPeer>& peer) {
    auto it = peer ? members_.find(peer.get()) : members_.end();
    if (it == members_.end()) return;
    peer->removeObserver(it->second.nameObserver);
    auto filed = byName_.find(it->second.filedName);
    filed->second.erase(it->second.order);
    if (filed->second.empty()) byName_.erase(filed);
    members_.erase(it);
    std::erase(peers_, peer);
}

void HubRegistry::fileUnderName(HubPeer* peer) {
    Member& member = members_.at(peer);
    std::string name = peer->name();
    auto filed = byName_.find(member.filedName);
    if (filed != byName_.end() && filed->second.count(member.order)) {
        if (member.filedName == name) return;
        filed->second.erase(member.order);
        if (filed->second.empty()) byName_.erase(filed);
    }
    byName_[name][member.order] = peer;
    member.filedName = std::move(name);
}

bool HubRegistry::uniqueIDsEqual(const std::string& a, const std::string& b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
           });
}

std::shared_ptr<HubPeer> HubRegistry::peerWithName(const std::string& name,
                                                   const std::optional<std::string>& uniqueID) const {
    // A peer whose bus peer is gone answers to its own name, empty for most,
    // without telling: the empty name is looked for among all peers.
    const bool everyPeer = name.empty();
    if (selfPeer_ && (everyPeer || selfName_ == name) && selfPeer_->name() == name) {
        if (!uniqueID || uniqueIDsEqual(selfPeer_->uniqueID(), *uniqueID)) return selfPeer_;
        // Another instance of this application: look among the peers.
    }
    auto matches = [&](const HubPeer& peer) {
        if (peer.name() != name) return false;
        if (uniqueID) return uniqueIDsEqual(peer.uniqueID(), *uniqueID);
        const int32_t type = peer.type();
        return BusPeerTypeIsLocal(type) || type == HubPeer::Placeholder;
    };
    if (everyPeer) {
        auto it = std::find_if(peers_.begin(), peers_.end(), [&](const auto& peer) { return matches(*peer); });
        return it == peers_.end() ? nullptr : *it;
    }
    auto filed = byName_.find(name);
    if (filed == byName_.end()) return nullptr;
    for (const auto& [order, peer] : filed->second)
        if (matches(*peer)) return peer->shared_from_this();
    return nullptr;
}

// ---- sending and lookup ---------------------------------------------------------

int32_t HubPeerSendMessage(const HubPeer& peer, const uint8_t* bytes, size_t length) {
    auto bus = peer.dbPeer();
    // Nothing is sent to a peer whose bus peer is gone, and the caller hears so.
    if (!bus) return BusSendErrorPeerUnavailable;
    return BusPeerSendMessage(*bus, bytes, length);
}

std::shared_ptr<HubPeer> hubPeerOf(const BusPeer& peer) {
    auto info = std::static_pointer_cast<std::weak_ptr<HubPeer>>(peer.userInfo());
    return info ? info->lock() : nullptr;
}

void setHubPeerOf(BusPeer& peer, const std::shared_ptr<HubPeer>& hubPeer) {
    peer.setUserInfo(std::make_shared<std::weak_ptr<HubPeer>>(hubPeer));
}

}  // namespace strombel::hub
