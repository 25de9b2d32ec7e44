#include "hub/hub_controller.h"

#include <fmt/format.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <utility>

#include "hub/bus_log.h"
#include "hub/bus_message.h"
#include "hub/hub_controller_parts.h"
#include "platform/required.h"

namespace strombel::hub {

using controller_parts::endsWith;
using controller_parts::kCoalesceNanos;

void HubVerify(bool condition, const char* message, const char* file, int line) {
    if (condition) return;
    std::fprintf(stdout, "%s:%d: %s\n", file, line, message);
    std::fflush(stdout);
    std::abort();
}

namespace {

/// A panel that only keeps its position, until the panel's own code replaces it.
class PositionOnlyPanel final : public HubConnectionPanel {
public:
    void setPosition(int32_t position) override { position_ = position; }
    int32_t position() const override { return position_; }

private:
    int32_t position_ = 0;
};

}  // namespace

// ---- start-up and teardown --------------------------------------------------------

HubController::HubController(Options options)
    : options_(std::move(options)),
      loop_(platform::required(options_.loop, "HubControllerOptions::loop")),
      center_(platform::required(options_.notifications, "HubControllerOptions::notifications")),
      defaults_(platform::required(options_.defaults, "HubControllerOptions::defaults")),
      bundle_(platform::required(options_.bundle, "HubControllerOptions::bundle")),
      metadataUpdate_(loop_, [this] { updateRegistrationMetadata(); }),
      connectionChange_(loop_, [this] { respondToPortConnectionChange(); }),
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
    if (resourceOptions.displayName.empty()) resourceOptions.displayName = bundle_.displayName().value_or("Strombel");
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
        if (options_.publishSenderPortsOnJack)
            sender->startPublishing(executableName_, loop_,
                                    platform::required(options_.jackOpener, "HubControllerOptions::jackOpener"));
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

}  // namespace strombel::hub
