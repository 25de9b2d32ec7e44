#include "hub/hub_controller.h"

#include <fmt/format.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <utility>

#include "hub/bus_log.h"
#include "hub/bus_message.h"
#include "hub/hub_built_in_images.h"
#include "hub/hub_record.h"
#include "platform/host_time.h"
#include "platform/localized_strings.h"

namespace strombel::hub {

void HubVerify(bool condition, const char* message, const char* file, int line) {
    if (condition) return;
    std::fprintf(stdout, "%s:%d: %s\n", file, line, message);
    std::fflush(stdout);
    std::abort();
}

namespace {

constexpr uint64_t kCoalesceNanos = 10 * platform::kNanosPerMillisecond;
constexpr size_t kRememberedConnectionStates = 128;
// Lines of refused signed messages; their addresses tell their kinds apart.
constexpr const char* kInvalidMessageFromPeer = "Invalid message from peer {}";
constexpr const char* kInvalidStatePullFrom = "Invalid state pull from {}";

/// A panel that only keeps its position, until the panel's own code replaces it.
class PositionOnlyPanel final : public HubConnectionPanel {
public:
    void setPosition(int32_t position) override { position_ = position; }
    int32_t position() const override { return position_; }

private:
    int32_t position_ = 0;
};

bool endsWith(const std::string& text, const std::string& end) {
    return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

/// Addresses the hub may ask this application to open: "<scheme>://" whose
/// scheme ends in ".wirehub", nothing more.
bool isHubLaunchAddress(const std::string& url) {
    const size_t colon = url.find("://");
    if (colon == std::string::npos || colon + 3 != url.size()) return false;
    const std::string scheme = url.substr(0, colon);
    if (!endsWith(scheme, ".wirehub") || scheme.size() <= 8) return false;
    return std::all_of(scheme.begin(), scheme.end(), [](char c) {
        return std::isalnum(static_cast<unsigned char>(c)) || c == '.' || c == '-' || c == '+';
    });
}

std::string uuidText(const uint8_t* bytes) {
    std::string text;
    for (int i = 0; i < 16; ++i) {
        if (i == 4 || i == 6 || i == 8 || i == 10) text += '-';
        text += fmt::format("{:02X}", bytes[i]);
    }
    return text;
}

std::string describe(const std::shared_ptr<HubPeer>& peer) { return peer ? peer->description() : "(none)"; }

}  // namespace

// ---- start-up and teardown --------------------------------------------------------

HubController::HubController(Options options)
    : options_(std::move(options)),
      loop_(options_.loop ? *options_.loop : platform::MainLoop::shared()),
      center_(options_.notifications ? *options_.notifications : platform::NotificationCenter::shared()),
      defaults_(options_.defaults ? *options_.defaults : platform::UserDefaults::shared()),
      bundle_(options_.bundle ? *options_.bundle : platform::MainBundle::shared()),
      metadataUpdate_(loop_, [this] { updateRegistrationMetadata(); }),
      connectionChange_(loop_, [this] { respondToPortConnectionChange(); }),
      limitedLog_(loop_.clock()),
      signatureGate_(loop_.clock()),
      alive_(std::make_shared<HubController*>(this)) {}

std::unique_ptr<HubController> HubController::create(Options options) {
    std::unique_ptr<HubController> controller(new HubController(std::move(options)));
    if (!controller->start()) return nullptr;
    return controller;
}

bool HubController::start() {
    auto executable = bundle_.executable();
    HubVerify(executable.has_value(), "Your app's Info.plist must have a CFBundleExecutable value.", __FILE__, __LINE__);
    HubVerify(loop_.isMainThread(), "You must initialise Wirehub on the main thread only", __FILE__, __LINE__);
    executableName_ = *executable;
    if (options_.platformVersion <= 6) {
        busLog("Wirehub is only supported on iOS 7 and up");
        return false;
    }
    int found = 0;
    for (const std::string& scheme : bundle_.urlSchemes()) {
        if (!endsWith(scheme, ".wirehub")) continue;
        if (found++ > 0) {
            busLog("Warning: More than one Wirehub URL found in your Info.plist. Please remove all but the most current "
                   "Wirehub URL.");
        }
        launchURL_ = scheme + "://";
    }
    if (launchURL_.empty()) {
        busLog("No Wirehub URL was found in this app's Info.plist");
        return false;
    }
    validator_ = options_.signatureValidator;

    BusLocalEndpoint::Options endpointOptions;
    endpointOptions.loop = &loop_;
    endpointOptions.defaults = &defaults_;
    endpointOptions.notifications = &center_;
    endpointOptions.bindAddress = options_.bindAddress;
    endpointOptions.networkDiscovery = options_.networkDiscovery;
    endpointOptions.realTime = options_.realTimeListener;
    endpoint_ = std::make_unique<BusLocalEndpoint>(executableName_, endpointOptions);
    if (!endpoint_->hasSockets()) {
        busLog("There was a problem setting up Wirehub communication. Wirehub will be disabled.");
        return false;
    }
    endpoint_->setMetadata(registrationMetadata());
    HubVerify(options_.discovery != nullptr, "Wirehub needs a service discovery", __FILE__, __LINE__);
    BusRegistry::Options registryOptions;
    registryOptions.loop = &loop_;
    registryOptions.notifications = &center_;
    registryOptions.deviceName = options_.deviceName;
    registry_ = std::make_unique<BusRegistry>("wirehub", endpoint_.get(), *options_.discovery, registryOptions);
    endpoint_->setRegistry(registry_.get());

    selfPeer_ = HubSelfPeer::withDBPeer(endpoint_->selfPeer(), loop_.clock());
    selfPeer_->setHubController(this);
    setHubPeerOf(*endpoint_->selfPeer(), selfPeer_);
    peerRegistry_ = std::make_unique<HubRegistry>(selfPeer_, center_);

    resourceHost_ = std::make_unique<HubPeerResourceHost>(*endpoint_, bundle_);
    HubPeerResourceManager::Options resourceOptions = options_.resourceOptions;
    resourceOptions.resourceHost = resourceHost_.get();
    if (!resourceOptions.notifications) resourceOptions.notifications = &center_;
    resourceManager_ = std::make_unique<HubPeerResourceManager>(endpoint_.get(), resourceOptions);
    selfPeer_->setResourceManager(resourceManager_.get());
    // The self peer's contents are watched like those of every registered peer.
    peerRegistryAddedPeer(selfPeer_);

    std::weak_ptr<HubController*> alive = alive_;
    auto guarded = [alive](auto work) {
        return [alive, work](const platform::Notification& note) {
            if (alive.lock()) work(note);
        };
    };
    notificationObservers_.push_back(center_.addObserver(
        kApplicationDidFinishLaunchingNotification, nullptr, guarded([this](const platform::Notification& note) {
            const auto* url = std::any_cast<std::string>(&note.userInfo);
            if (!url || !endsWith(url->substr(0, url->find(':')), ".wirehub")) return;
            memberOfActiveHubSession_ = true;
            // Started by the hub: until it connects nothing shows why nothing plays to it.
            if (!hubConnected()) {
                busLog("Started with the hub's launch address {}: waiting for the hub to connect",
                       escapedForLog(*url));
            }
        })));
    notificationObservers_.push_back(center_.addObserver(
        kApplicationWillEnterForegroundNotification, nullptr, guarded([this, alive](const platform::Notification&) {
            loop_.post([this, alive] {
                if (alive.lock() && !hubConnected() && memberOfActiveHubSession_) endMembership();
            });
        })));
    notificationObservers_.push_back(center_.addObserver(
        kBusRegistryPeerDidAppearNotification, registry_.get(), guarded([this](const platform::Notification& note) {
            if (auto* peer = std::any_cast<std::shared_ptr<BusPeer>>(&note.userInfo)) peerDidAppearNotification(*peer);
        })));
    notificationObservers_.push_back(center_.addObserver(
        kBusRegistryPeerDidDisappearNotification, registry_.get(), guarded([this](const platform::Notification& note) {
            if (auto* peer = std::any_cast<std::shared_ptr<BusPeer>>(&note.userInfo)) peerDidDisappearNotification(*peer);
        })));
    notificationObservers_.push_back(center_.addObserver(
        kHubTriggerAttributeChangedNotification, nullptr, guarded([this](const platform::Notification& note) {
            triggerAttributeChanged(static_cast<const HubTrigger*>(note.sender));
        })));
    notificationObservers_.push_back(center_.addObserver(
        kHubRegistryPeerAddedNotification, peerRegistry_.get(), guarded([this](const platform::Notification& note) {
            if (auto* peer = std::any_cast<std::shared_ptr<HubPeer>>(&note.userInfo)) peerRegistryAddedPeer(*peer);
        })));
    for (const char* name : {kHubInterAppAudioSourceAudioUnitErrorNotification,
                             kHubInterAppAudioSourceAudioUnitConnectedNotification,
                             kHubInterAppAudioSourceAudioUnitDisconnectedNotification}) {
        notificationObservers_.push_back(center_.addObserver(
            name, nullptr, guarded([this](const platform::Notification& note) { iaaHostStatusUpdate(note); })));
    }
    notificationObservers_.push_back(center_.addObserver(
        kHubInterAppAudioSourceDidPingNotification, nullptr,
        guarded([this](const platform::Notification& note) { iaaHostPing(note); })));
    endpoint_->addDelegate(this);
    connectionPanel_ = options_.panelFactory ? options_.panelFactory(*this) : nullptr;
    if (!connectionPanel_) connectionPanel_ = std::make_unique<PositionOnlyPanel>();
    // Publication starts after this turn of the loop, once the application has
    // added its ports and triggers.
    loop_.post([this, alive] {
        if (alive.lock()) registry_->setPublishing(true);
    });
    return true;
}

HubController::~HubController() {
    // The listener thread reads the guard while it delivers: it goes only once
    // no delivery can come.
    if (endpoint_) endpoint_->removeDelegate(this);
    alive_.reset();
    if (resourceManager_) resourceManager_->cancelAll();
    for (auto id : notificationObservers_) center_.removeObserver(id);
    for (auto& observation : portObservations_)
        for (auto id : observation.ids) observation.port->removeObserver(id);
    std::vector<std::shared_ptr<HubPeer>> observed = peerRegistry_ ? peerRegistry_->peers() : std::vector<std::shared_ptr<HubPeer>>{};
    if (selfPeer_) observed.push_back(selfPeer_);
    for (const auto& peer : observed) {
        auto it = peerObservations_.find(peer.get());
        if (it == peerObservations_.end()) continue;
        for (auto id : it->second) peer->removeObserver(id);
    }
    for (auto& port : senderPorts_) port->setHubController(nullptr);
    if (registry_) registry_->setPublishing(false);
    if (endpoint_) endpoint_->setRegistry(nullptr);
    if (selfPeer_) selfPeer_->setHubController(nullptr);
    if (connectionPanel_) connectionPanel_->hide();
    for (auto& port : senderPorts_)
        if (auto* sender = dynamic_cast<HubSenderPort*>(port.get())) sender->stopPublishing();
    stateReceiver_.reset();
    stateSender_.reset();
    resourceManager_.reset();
    resourceHost_.reset();
    registry_.reset();
    endpoint_.reset();
}

void HubController::resetAllPeeredConnections(platform::UserDefaults& defaults) {
    defaults.removeObject(kPeeredWirehubIdentifiersKey);
    defaults.synchronize();
}

// ---- ports -----------------------------------------------------------------------

bool HubController::portNameIsUnique(const std::string& name) const {
    for (const PortList* list : {&senderPorts_, &filterPorts_, &receiverPorts_})
        for (const auto& port : *list)
            if (port->name() == name) return false;
    return true;
}

namespace {

std::shared_ptr<HubPort> portNamed(const HubPortList& list, const std::string& name) {
    for (const auto& port : list)
        if (port->name() == name) return port;
    return nullptr;
}

}  // namespace

std::shared_ptr<HubPort> HubController::senderPortNamed(const std::string& name) const {
    return portNamed(senderPorts_, name);
}
std::shared_ptr<HubPort> HubController::receiverPortNamed(const std::string& name) const {
    return portNamed(receiverPorts_, name);
}
std::shared_ptr<HubPort> HubController::filterPortNamed(const std::string& name) const {
    return portNamed(filterPorts_, name);
}

void HubController::sortPorts(const PortComparator& comparator, PortList& list, const char* key) {
    std::stable_sort(list.begin(), list.end(), comparator);
    updateRegistrationMetadata();
    didChangeValueForKey(key);
}

void HubController::sortSenderPortsUsingComparitor(const PortComparator& comparator) {
    sortPorts(comparator, senderPorts_, "senderPorts");
}
void HubController::sortReceiverPortsUsingComparitor(const PortComparator& comparator) {
    sortPorts(comparator, receiverPorts_, "receiverPorts");
}
void HubController::sortFilterPortsUsingComparitor(const PortComparator& comparator) {
    sortPorts(comparator, filterPorts_, "filterPorts");
}

void HubController::addPort(std::shared_ptr<HubPort> port, int32_t type, PortList& list, const char* key,
                            const char* failure) {
    HubVerify(port && port->type() == type, failure, __FILE__, __LINE__);
    HubVerify(portNameIsUnique(port->name()), "You must provide a unique port name", __FILE__, __LINE__);
    port->setEndpoint(endpoint_.get());
    port->setPeer(selfPeer_);
    port->setHubController(this);
    list.push_back(port);
    observePort(port);
    updateRegistrationMetadata();
    if (auto* sender = dynamic_cast<HubSenderPort*>(port.get())) {
        if (options_.publishSenderPortsOnJack) sender->startPublishing(executableName_, loop_);
        // The volume trigger takes the first free volume identifier.
        auto volume = sender->volumeTrigger();
        uint32_t n = 0;
        while (std::any_of(offPanelTriggers_.begin(), offPanelTriggers_.end(), [&](const auto& trigger) {
            return trigger->numericIdentifier() == kHubVolumeTriggerIdentifier + n;
        })) {
            ++n;
        }
        volume->setNumericIdentifier(kHubVolumeTriggerIdentifier + n);
        addTrigger(volume, false);
    }
    didChangeValueForKey(key);
}

void HubController::removePort(const std::shared_ptr<HubPort>& port, PortList& list, const char* key) {
    auto it = std::find(list.begin(), list.end(), port);
    if (it == list.end()) return;
    if (auto* sender = dynamic_cast<HubSenderPort*>(port.get())) {
        removeTrigger(sender->volumeTrigger());
        sender->stopPublishing();
    }
    stopObservingPort(port.get());
    port->setHubController(nullptr);
    list.erase(it);
    if (&list == &filterPorts_ && filterPorts_.empty() && filterBypassTrigger_) {
        removeTrigger(filterBypassTrigger_);
        filterBypassTrigger_.reset();
    }
    updateRegistrationMetadata();
    didChangeValueForKey(key);
}

void HubController::addSenderPort(std::shared_ptr<HubPort> port) {
    addPort(std::move(port), HubPort::Sender, senderPorts_, "senderPorts", "You must provide a sender port");
}
void HubController::removeSenderPort(const std::shared_ptr<HubPort>& port) { removePort(port, senderPorts_, "senderPorts"); }
void HubController::addReceiverPort(std::shared_ptr<HubPort> port) {
    addPort(std::move(port), HubPort::Receiver, receiverPorts_, "receiverPorts", "You must provide a receiver port");
}
void HubController::removeReceiverPort(const std::shared_ptr<HubPort>& port) {
    removePort(port, receiverPorts_, "receiverPorts");
}
void HubController::addFilterPort(std::shared_ptr<HubPort> port) {
    addPort(std::move(port), HubPort::Filter, filterPorts_, "filterPorts", "You must provide a filter port");
}
void HubController::removeFilterPort(const std::shared_ptr<HubPort>& port) { removePort(port, filterPorts_, "filterPorts"); }

void HubController::observePort(const std::shared_ptr<HubPort>& port) {
    PortObservation observation{port, {}};
    std::weak_ptr<HubPort> weak = port;
    auto configuration = [this] { metadataUpdate_.schedule(kCoalesceNanos); };
    observation.ids.push_back(port->addObserver("title", configuration));
    observation.ids.push_back(port->addObserver("latency", configuration));
    observation.ids.push_back(port->addObserver("icon", [this, weak] {
        auto p = weak.lock();
        if (!p) return;
        if (p->previousIcon()) resourceHost_->removeImageResource(*p->previousIcon());
        if (p->icon()) resourceHost_->addImageResource(*p->icon());
        metadataUpdate_.schedule(kCoalesceNanos);
    }));
    observation.ids.push_back(port->addObserver("attributes", [this, weak] {
        metadataUpdate_.schedule(kCoalesceNanos);
        auto p = weak.lock();
        if (p && p->attributes() != p->previousAttributes()) portAttributesChanged(p);
    }));
    auto connection = [this] { connectionChange_.schedule(0); };
    for (const char* key : {"sources", "destinations", "connected"}) observation.ids.push_back(port->addObserver(key, connection));
    if (auto* filter = dynamic_cast<HubFilterPort*>(port.get())) {
        observation.ids.push_back(port->addObserver("bypassed", [this, filter] {
            if (filterBypassTrigger_) filterBypassTrigger_->setState(filter->bypassed() ? 1 : 0);
        }));
    }
    portObservations_.push_back(std::move(observation));
}

void HubController::stopObservingPort(const HubPort* port) {
    auto it = std::find_if(portObservations_.begin(), portObservations_.end(),
                           [&](const auto& observation) { return observation.port.get() == port; });
    if (it == portObservations_.end()) return;
    for (auto id : it->ids) it->port->removeObserver(id);
    portObservations_.erase(it);
}

void HubController::portAttributesChanged(const std::shared_ptr<HubPort>& port) {
    std::vector<uint8_t> message{kBusMessageMarker, kBusHeaderLength, BusMessagePortAttributes, 6, 0, 0, 0, 0, 0};
    writeU32(message.data() + 4, port->numericIdentifier());
    message[8] = port->attributes();
    for (const auto& peer : connectedPeers_) {
        // Twice: a datagram may be lost.
        HubPeerSendMessage(*peer, message.data(), message.size());
        HubPeerSendMessage(*peer, message.data(), message.size());
    }
}

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

// ---- publication ----------------------------------------------------------------------

platform::TxtRecord HubController::registrationMetadata() const {
    platform::TxtRecord metadata;
    metadata["version"] = "3";
    metadata["SDK version"] = "2.1.4";
    metadata["launchURL"] = launchURL_;
    metadata["capabilities"] = std::to_string(capabilities());
    if (auto display = bundle_.displayName()) metadata["displayName"] = *display;
    auto records = [&](const char* key, const auto& list) {
        int index = 0;
        for (const auto& item : list) {
            auto record = item->dataRepresentationWithResourceHost(resourceHost_.get());
            metadata[fmt::format("{}[{}]", key, index++)] = std::string(record.begin(), record.end());
        }
    };
    records("triggers", triggers_);
    records("offPanelTriggers", offPanelTriggers_);
    records("inputs", receiverPorts_);
    records("outputs", senderPorts_);
    records("filters", filterPorts_);
    metadata["allowsMultipleInstances"] = allowsConnectionsToSelf_ ? "1" : "0";
    return metadata;
}

void HubController::updateRegistrationMetadata() {
    if (endpoint_) endpoint_->setMetadata(registrationMetadata());
}

void HubController::setAllowsMultipleInstancesInConnectionGraph(bool allows) {
    allowsConnectionsToSelf_ = allows;
    updateRegistrationMetadata();
}

void HubController::setConnectionPanelPosition(int32_t position) { connectionPanel_->setPosition(position); }
int32_t HubController::connectionPanelPosition() const { return connectionPanel_->position(); }

// ---- connection state ----------------------------------------------------------------

bool HubController::connected() const {
    if (inHubConnectionGraph_) return true;
    for (const PortList* list : {&senderPorts_, &filterPorts_, &receiverPorts_})
        for (const auto& port : *list)
            if (port->connected()) return true;
    return false;
}

bool HubController::hubConnected() const {
    if (inHubConnectionGraph_) return true;
    for (const PortList* list : {&senderPorts_, &filterPorts_, &receiverPorts_})
        for (const auto& port : *list)
            if (port->hubConnected()) return true;
    return false;
}

bool HubController::interAppAudioConnected() const {
    for (const PortList* list : {&senderPorts_, &filterPorts_, &receiverPorts_})
        for (const auto& port : *list)
            if (port->interAppAudioConnected()) return true;
    return false;
}

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
        for (const auto& node : graph->nodes()) {
            if (node.peer() == selfPeer_.get()) continue;
            same = same && portAt < connectedPorts_.size() && connectedPorts_[portAt] == node.port();
            ++portAt;
        }
        if (!same || peerAt != connectedPeers_.size() || portAt != connectedPorts_.size()) {
            connectedPeers_.clear();
            connectedPorts_.clear();
            for (const auto& peer : graph->peers())
                if (peer != selfPeer_) connectedPeers_.push_back(peer);
            for (const auto& node : graph->nodes())
                if (node.peer() != selfPeer_.get()) connectedPorts_.push_back(node.port());
        }
        inHubConnectionGraph_ = true;
    } else {
        if (inHubConnectionGraph_) busLog("Disconnected from Wirehub");
        connectedPeers_.clear();
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
    // A connection change is evaluated even when no port's links changed: being
    // in the graph is a connection of its own.
    connectionChange_.schedule(0);
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

// ---- peers ---------------------------------------------------------------------------

void HubController::peerDidAppearNotification(const std::shared_ptr<BusPeer>& bus) {
    std::shared_ptr<HubPeer> peer = hubPeerOf(*bus);
    if (!peer) {
        peer = peerRegistry_->peerWithName(bus->name(), bus->uniqueID());
        if (!peer && bus->type() == BusPeerTypeLocal) peer = peerRegistry_->peerWithName(bus->name(), std::nullopt);
        if (peer && peer != selfPeer_) {
            busLog("Recognized peer {}", bus->description());
            peer->setResourceManager(resourceManager_.get());
            setHubPeerOf(*bus, peer);
            peer->setPeer(bus);
        } else {
            peer = HubPeer::peerWithDBPeer(bus, loop_.clock());
            peer->setResourceManager(resourceManager_.get());
            if (peer->hubProtocolVersion() == 0) {
                busLog("Peer {} has no metadata - ignoring", bus->description());
                return;
            }
            busLog("Saw new peer {}", bus->description());
            setHubPeerOf(*bus, peer);
            initializingPeers_.push_back(peer);
        }
    }
    const bool known = peerRegistry_->contains(peer);
    auto icon = resourceManager_->imageResourceWithID(kHubApplicationIconResourceID, bus);
    if (!known) peerRegistry_->addPeer(peer);
    if (icon) {
        // With its icon at hand the peer is complete at once; without, "peers"
        // changes once the icon's load ends.
        if (!known) didChangeValueForKey("peers");
        std::erase(initializingPeers_, peer);
        reportPeerAppeared(peer);
        peerDidAppear(peer);
        requestPeerImageResources(peer);
        return;
    }
    std::weak_ptr<HubController*> alive = alive_;
    resourceManager_->startLoadOfResourceWithID(
        kHubApplicationIconResourceID, bus,
        [this, alive, peer, known](std::shared_ptr<HubPeerResourceImageProxy> image, std::optional<BusError> error) {
            if (alive.lock()) iconLoaded(peer, !known, false, std::move(image), std::move(error));
        });
}

void HubController::iconLoaded(const std::shared_ptr<HubPeer>& peer, bool newToRegistry, bool retried,
                               std::shared_ptr<HubPeerResourceImageProxy> image, std::optional<BusError> error) {
    if (!retried) {
        if (newToRegistry) didChangeValueForKey("peers");
        std::erase(initializingPeers_, peer);
        reportPeerAppeared(peer);
        peerDidAppear(peer);
    }
    if (image && !error) {
        reportPeerAttributesChanged(peer);
        center_.post(kHubControllerDidLoadPeerIconNotification, this, peer);
    } else if (!retried) {
        busLog("Error loading icon for peer: {}", error ? error->description : std::string("no image"));
        if (auto bus = peer->dbPeer()) {
            std::weak_ptr<HubController*> alive = alive_;
            resourceManager_->startLoadOfResourceWithID(
                kHubApplicationIconResourceID, bus,
                [this, alive, peer](std::shared_ptr<HubPeerResourceImageProxy> again, std::optional<BusError> failure) {
                    if (alive.lock()) iconLoaded(peer, false, true, std::move(again), std::move(failure));
                });
        }
    }
    if (!retried) requestPeerImageResources(peer);
}

void HubController::reportPeerAppeared(const std::shared_ptr<HubPeer>& peer) {
    if (peer->state() & HubPeer::kAppearedState) return;
    peer->setState(peer->state() | HubPeer::kAppearedState);
    center_.post(kHubPeerAppearedNotification, this, peer);
}

void HubController::peerDidAppear(const std::shared_ptr<HubPeer>& peer) {
    if (!controllerPeer() && peer->name() == "Wirehub" && peer->type() == HubPeer::Local) hubAppRunning_ = true;
}

void HubController::peerDidDisappearNotification(const std::shared_ptr<BusPeer>& bus) {
    // Nothing more is asked of a peer that went away; it is asked again when it comes back.
    if (resourceManager_) resourceManager_->cancelLoadsFromPeer(bus.get());
    if (auto peer = hubPeerOf(*bus)) peerDidDisappear(peer);
}

void HubController::peerDidDisappear(const std::shared_ptr<HubPeer>& peer) {
    peer->setState(peer->state() & ~HubPeer::kAppearedState);
    if (controllerPeer() == peer) {
        controllerPeer_.store(nullptr);
        appliedConnectionStates_.clear();
        applyConnectionGraph(nullptr);
        hubAppRunning_ = false;
        memberOfActiveHubSession_ = false;
    } else if (!controllerPeer() && peer->name() == "Wirehub" && peer->type() == HubPeer::Local) {
        hubAppRunning_ = false;
    }
    center_.post(kHubPeerDisappearedNotification, this, peer);
}

void HubController::peerRegistryAddedPeer(const std::shared_ptr<HubPeer>& peer) {
    std::weak_ptr<HubPeer> weak = peer;
    std::vector<platform::KeyValueObservable::ObserverId> ids;
    for (const char* key : {"receiverPorts", "senderPorts", "filterPorts", "triggers"}) {
        ids.push_back(peer->addObserver(key, [this, weak] {
            auto p = weak.lock();
            if (!p) return;
            requestPeerImageResources(p);
            coalescePeerReport(p, p.get());
        }));
    }
    peerObservations_[peer.get()] = std::move(ids);
}

void HubController::requestPeerImageResources(const std::shared_ptr<HubPeer>& peer) {
    auto bus = peer->dbPeer();
    if (!bus) return;
    std::vector<uint32_t> identifiers;
    for (const auto& trigger : peer->triggers())
        for (uint32_t id : trigger->remoteResourceIDsToLoad()) identifiers.push_back(id);
    for (const PortList* list : {&peer->receiverPorts(), &peer->filterPorts(), &peer->senderPorts()})
        for (const auto& port : *list)
            if (port->iconID() != 0 && !resourceManager_->imageResourceWithID(port->iconID(), bus))
                identifiers.push_back(port->iconID());
    if (identifiers.empty()) return;
    loadImageChain(peer, std::move(identifiers), 0);
}

void HubController::loadImageChain(const std::shared_ptr<HubPeer>& peer, std::vector<uint32_t> identifiers,
                                   size_t index) {
    auto bus = peer->dbPeer();
    if (!bus || index >= identifiers.size()) return;
    std::weak_ptr<HubController*> alive = alive_;
    const uint32_t id = identifiers[index];
    resourceManager_->startLoadOfResourceWithID(
        id, bus,
        [this, alive, peer, identifiers = std::move(identifiers), index](std::shared_ptr<HubPeerResourceImageProxy> image,
                                                                         std::optional<BusError> error) mutable {
            if (!alive.lock() || error) return;
            if (image) reportPeerAttributesChanged(peer);
            loadImageChain(peer, std::move(identifiers), index + 1);
        });
}

void HubController::reportPeerAttributesChanged(std::any object) {
    center_.post(kHubPeerAttributesChangedNotification, this, std::move(object));
}

void HubController::coalescePeerReport(std::any object, const void* key) {
    auto& call = peerReports_[key];
    std::weak_ptr<HubController*> alive = alive_;
    call = std::make_unique<platform::DeferredCall>(loop_, [this, alive, object] {
        if (alive.lock()) reportPeerAttributesChanged(object);
    });
    call->schedule(kCoalesceNanos);
}

// ---- messages: checks on the listener thread ----------------------------------------------

bool HubController::isActive() const { return !options_.applicationIsActive || options_.applicationIsActive(); }

void HubController::endpoint(BusLocalEndpoint&, const uint8_t* bytes, uint64_t length,
                             const std::shared_ptr<BusPeer>& peer) {
    if (auto hubPeer = peer ? hubPeerOf(*peer) : nullptr) handleMessageBytes(bytes, size_t(length), hubPeer);
}

void HubController::handleMessageBytes(const uint8_t* bytes, size_t length, const std::shared_ptr<HubPeer>& peer) {
    // Too short, a header below 3 or past the end, or a type not ours: ignored.
    if (length < 3 || bytes[1] < 3 || bytes[1] > length) return;
    const uint8_t type = bytes[2];
    if (type < 5 || type > 17) return;
    const size_t h = bytes[1];
    const uint8_t* payload = bytes + h;
    // Lines about a peer's datagrams: at most one a second per peer and kind.
    auto limitedLine = [&](const char* text) {
        limitedLog_.log(peer.get(), text, [&] { return fmt::format(fmt::runtime(text), describe(peer)); });
    };
    auto invalid = [&](const char* text) { limitedLine(text); };
    std::weak_ptr<HubController*> alive = alive_;
    auto later = [&](auto work) {
        loop_.post([alive, work = std::move(work)]() mutable {
            if (alive.lock()) work();
        });
    };
    switch (type) {
        case BusMessageTriggerActivate: {
            if (length < h + 5 || h + payload[0] > length) return invalid("Invalid trigger activate message from {}");
            const uint32_t identifier = readU32(payload + 1);
            later([this, identifier, peer] { triggerActivate(identifier, peer); });
            return;
        }
        case BusMessageTriggerState: {
            if (length < h + 8 || h + readU16(payload) > length) {
                return invalid("Invalid trigger state update message from {}");
            }
            std::vector<uint8_t> record(payload, bytes + length);
            later([this, record = std::move(record), peer]() mutable { triggerState(std::move(record), peer); });
            return;
        }
        case BusMessageConnectionState: {
            if (length < h + 24 || payload[0] < 24 ||
                h + payload[0] + readU16(payload + 18) + readU16(payload + 20) + readU16(payload + 22) > length) {
                return invalid("Invalid connection state update message from {}");
            }
            // A flood of wrongly signed graphs is held back here, before it
            // reaches the check on the main loop.
            if (!signatureGate_.admit(peer.get(), bytes, length)) return limitedLine(kInvalidMessageFromPeer);
            std::vector<uint8_t> message(bytes, bytes + length);
            later([this, message = std::move(message), peer]() mutable { connectionState(std::move(message), peer); });
            return;
        }
        case BusMessagePing: {
            if (length < h + 8) return;
            auto reply = makePingReply(bytes, length, platform::hostTimeToNanos(platform::hostTimeNow()));
            if (reply) HubPeerSendMessage(*peer, reply->data(), reply->size());
            return;
        }
        case BusMessageActivationRequest: {
            if (!isActive()) return;
            if (length < h + 2 || h + payload[0] + payload[1] > length) {
                return invalid("Invalid remote activation request from {}");
            }
            std::string name = decodeUtf8Lossy({reinterpret_cast<const char*>(payload + payload[0]), payload[1]});
            later([this, name = std::move(name)]() mutable { activationRequest(std::move(name)); });
            return;
        }
        case BusMessagePortAttributes: {
            if (length < h + 6 || h + payload[0] > length) {
                return invalid("Invalid port attribute update message from {}");
            }
            const uint32_t identifier = readU32(payload + 1);
            const uint8_t attributes = payload[5];
            later([this, identifier, attributes, peer] { portAttributes(identifier, attributes, peer); });
            return;
        }
        case BusMessageTriggerAdjust: {
            if (length < h + 14 || h + payload[0] > length) return invalid("Invalid trigger adjust message from {}");
            const uint32_t identifier = readU32(payload + 2);
            const double value = readF64BigEndian(payload + 6);
            later([this, identifier, value, peer] { triggerAdjust(identifier, value, peer); });
            return;
        }
        case BusMessageStatePull: {
            if (length < h + 7 || h + payload[0] > length) return invalid(kInvalidStatePullFrom);
            if (controllerPeer_.load() != peer) return limitedLine("State pull from peer {} that is not controller");
            if (!signatureGate_.admit(peer.get(), bytes, length)) return limitedLine(kInvalidStatePullFrom);
            std::vector<uint8_t> message(bytes, bytes + length);
            later([this, message = std::move(message), peer]() mutable { statePull(std::move(message), peer); });
            return;
        }
        case BusMessageStatePushPacket: {
            if (stateReceiverActive_.load()) return;
            if (length < h + 16 || h + payload[0] + readU16(payload + 14) > length) {
                return invalid("Invalid state push message from {}");
            }
            if (controllerPeer_.load() != peer) return limitedLine("State push from peer {} that is not controller");
            if (stateReceiverActive_.exchange(true)) return;
            std::vector<uint8_t> message(bytes, bytes + length);
            later([this, message = std::move(message), peer]() mutable { statePush(std::move(message), peer); });
            return;
        }
        default:
            return;
    }
}

void HubController::sendConnectionStateAckWithStatus(uint8_t status, uint8_t sequence, const HubPeer& peer) {
    const uint8_t message[5] = {kBusMessageMarker, kBusHeaderLength, BusMessageAcknowledgement, sequence, status};
    HubPeerSendMessage(peer, message, sizeof message);
}

// ---- messages: handlers on the main loop ------------------------------------------------------

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

void HubController::portAttributes(uint32_t identifier, uint8_t attributes, const std::shared_ptr<HubPeer>& peer) {
    auto port = peer->portWithNumericIdentifier(identifier);
    if (!port || port->attributes() == attributes) return;
    port->setAttributes(attributes);
    port->setLastStateUpdate(peer->mediaTime());
    coalescePeerReport(port, port.get());
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
    limitedLog_.log(peer.get(), refusal, [&] { return fmt::format(fmt::runtime(refusal), describe(peer)); });
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

void HubController::openURL(const std::string& url) {
    if (!isHubLaunchAddress(url)) {
        busLog("Refusing to open {}: not a Wirehub launch address", escapedForLog(url));
        return;
    }
    if (options_.urlOpener) options_.urlOpener(url);
}

void HubController::activationRequest(std::string name) {
    auto peer = peerRegistry_->peerWithName(name, std::nullopt);
    if (peer && !peer->launchURL().empty()) openURL(peer->launchURL());
}

void HubController::activatePeer(const std::shared_ptr<HubPeer>& target) {
    if (!target) return;
    const bool local = BusPeerTypeIsLocal(target->type()) || target->type() == HubPeer::Placeholder;
    if (local && isActive()) {
        if (!target->launchURL().empty()) openURL(target->launchURL());
        return;
    }
    const std::string name(cutToUtf8Boundary(target->name(), 255));
    std::vector<uint8_t> message{kBusMessageMarker, kBusHeaderLength, BusMessageActivationRequest, 2, uint8_t(name.size())};
    message.insert(message.end(), name.begin(), name.end());
    auto targetBus = target->dbPeer();
    for (const auto& peer : peerRegistry_->peers()) {
        if (peer == target) continue;
        auto bus = peer->dbPeer();
        if (!bus) continue;
        bool reaches = BusPeerTypeIsLocal(target->type()) && BusPeerTypeIsLocal(peer->type());
        if (!reaches && targetBus) {
            auto address = targetBus->socketAddress();
            reaches = address && bus->isAtHostWithAddress(*address);
        }
        if (reaches) HubPeerSendMessage(*peer, message.data(), message.size());
    }
}

void HubController::statePull(std::vector<uint8_t> message, const std::shared_ptr<HubPeer>& peer) {
    if (stateSender_) return;
    if (!signatureIsValid(message, peer, kInvalidStatePullFrom)) return;
    auto bus = peer->dbPeer();
    if (!bus) return;
    std::optional<platform::PropertyValue::Dictionary> dictionary;
    if (stateIODelegate_) dictionary = stateIODelegate_->hubStateDictionaryForCurrentState();
    if (dictionary) stateSender_ = HubPeerStateSender::make(bus, *dictionary, *endpoint_);
    if (!stateSender_) {
        auto empty = HubPeerStateSender::emptyStatePacket();
        HubPeerSendMessage(*peer, empty.data(), empty.size());
        return;
    }
    std::weak_ptr<HubController*> alive = alive_;
    stateSender_->setCompletionBlock([this, alive](std::optional<BusError>) {
        if (alive.lock()) stateSender_.reset();
    });
    stateSender_->start();
}

void HubController::statePush(std::vector<uint8_t> message, const std::shared_ptr<HubPeer>& peer) {
    auto bus = peer->dbPeer();
    if (!bus) {
        stateReceiverActive_.store(false);
        return;
    }
    stateReceiver_ = HubPeerStateReceiver::make(bus, *endpoint_, validator_, options_.stateFolder);
    std::weak_ptr<HubController*> alive = alive_;
    stateReceiver_->setCompletionBlock(
        [this, alive, peer](std::optional<platform::PropertyValue::Dictionary> dictionary, std::optional<BusError> error) {
            if (!alive.lock()) return;
            // Dropped after this turn: the receiver is still running its completion.
            loop_.post([receiver = std::move(stateReceiver_)] {});
            stateReceiverActive_.store(false);
            if (error || !dictionary || !stateIODelegate_) return;
            std::string response;
            stateIODelegate_->loadStateFromHubStateDictionary(*dictionary, response);
            const std::string_view text = cutToUtf8Boundary(response, 65535);
            std::vector<uint8_t> reply{kBusMessageMarker, kBusHeaderLength, BusMessageStateLoadResponse, 4, 1, 0, 0};
            writeU16(reply.data() + 5, uint16_t(text.size()));
            reply.insert(reply.end(), text.begin(), text.end());
            HubPeerSendMessage(*peer, reply.data(), reply.size());
        });
    stateReceiver_->startLoadWithFirstPacket(message.data(), message.size());
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

void HubController::iaaHostStatusUpdate(const platform::Notification& notification) {
    auto controller = controllerPeer();
    const auto* source = static_cast<const HubInterAppAudioSource*>(notification.sender);
    if (!controller || !source || !source->port) return;
    uint8_t status;
    if (const auto* error = std::any_cast<BusError>(&notification.userInfo)) {
        status = error->domain == kOSStatusErrorDomain && error->code == kHubInterAppAudioHostingFailedStatus ? 1 : 2;
    } else {
        status = source->audioUnit ? 0 : 2;
    }
    auto peer = source->port->peer();
    const std::string uniqueID(cutToUtf8Boundary(peer ? peer->uniqueID() : "", 255));
    const std::string name(cutToUtf8Boundary(peer ? peer->name() : "", 255));
    std::vector<uint8_t> message(12 + uniqueID.size() + name.size(), 0);
    message[0] = kBusMessageMarker;
    message[1] = kBusHeaderLength;
    message[2] = BusMessageHostStatus;
    message[3] = 9;
    message[4] = status;
    writeU32(message.data() + 5, source->port->numericIdentifier());
    message[9] = 3;
    message[10] = uint8_t(uniqueID.size());
    message[11] = uint8_t(name.size());
    std::copy(name.begin(), name.end(), std::copy(uniqueID.begin(), uniqueID.end(), message.begin() + 12));
    HubPeerSendMessage(*controller, message.data(), message.size());
}

void HubController::iaaHostPing(const platform::Notification& notification) {
    const auto* source = static_cast<const HubInterAppAudioSource*>(notification.sender);
    const auto* result = std::any_cast<bool>(&notification.userInfo);
    if (!source || !source->port || !result) return;
    auto peer = source->port->peer();
    auto bus = peer ? peer->dbPeer() : nullptr;
    if (bus && bus->present() != *result) bus->setPresent(*result);
}

}  // namespace strombel::hub
