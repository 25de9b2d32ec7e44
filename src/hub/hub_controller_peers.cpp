#include "hub/hub_controller.h"

#include <algorithm>
#include <utility>

#include "hub/bus_log.h"
#include "hub/bus_message.h"
#include "hub/hub_controller_parts.h"
#include "hub/hub_record.h"
#include "platform/utf8_cut.h"

namespace strombel::hub {

using controller_parts::endsWith;
using controller_parts::kCoalesceNanos;

namespace {

// Lines about peers, limited per peer and kind (told apart by address).
constexpr char kRecognizedPeer[] = "Recognized peer {}";
constexpr char kPeerWithoutMetadata[] = "Peer {} has no metadata - ignoring";
constexpr char kSawNewPeer[] = "Saw new peer {}";
constexpr char kErrorLoadingIcon[] = "Error loading icon for peer: {}";

/// Addresses the hub may ask this application to open: "<scheme>://" whose
/// scheme is the hub's own, "wirehub", or a program's, ending in ".wirehub";
/// nothing more.
bool isHubLaunchAddress(const std::string& url) {
    const size_t colon = url.find("://");
    if (colon == std::string::npos || colon + 3 != url.size()) return false;
    const std::string scheme = url.substr(0, colon);
    const bool program = endsWith(scheme, ".wirehub") && scheme.size() > 8;
    if (scheme != "wirehub" && !program) return false;
    return std::all_of(scheme.begin(), scheme.end(), [](char c) {
        return std::isalnum(static_cast<unsigned char>(c)) || c == '.' || c == '-' || c == '+';
    });
}

}  // namespace

// ---- peers ---------------------------------------------------------------------------

void HubController::peerDidAppearNotification(const std::shared_ptr<BusPeer>& bus) {
    // Any program may announce itself under new names as fast as it likes: the
    // lines about peers coming are limited as the registry's are.
    auto peerLine = [&](const char* kind) {
        endpoint_->peerLog().log(bus.get(), kind, [&] { return fmt::format(fmt::runtime(kind), bus->description()); });
    };
    std::shared_ptr<HubPeer> peer = hubPeerOf(*bus);
    const bool cameNow = !peer;
    if (!peer) {
        peer = peerRegistry_->peerWithName(bus->name(), bus->uniqueID());
        if (!peer && bus->type() == BusPeerTypeLocal) peer = peerRegistry_->peerWithName(bus->name(), std::nullopt);
        if (peer && peer != selfPeer_) {
            peerLine(kRecognizedPeer);
            peer->setResourceManager(resourceManager_.get());
            setHubPeerOf(*bus, peer);
            peer->setPeer(bus);
        } else {
            peer = HubPeer::peerWithDBPeer(bus, loop_.clock());
            peer->setResourceManager(resourceManager_.get());
            if (peer->hubProtocolVersion() == 0) {
                peerLine(kPeerWithoutMetadata);
                return;
            }
            peerLine(kSawNewPeer);
            setHubPeerOf(*bus, peer);
            initializingPeers_.push_back(peer);
        }
    }
    const bool known = peerRegistry_->contains(peer);
    auto icon = resourceManager_->imageResourceWithID(kHubApplicationIconResourceID, bus);
    if (!known) peerRegistry_->addPeer(peer);
    // Once in the registry, where the graph in force finds it by its name.
    if (cameNow) takeReturnedPeerIntoConnections(peer);
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
            if (alive.lock()) iconLoaded(peer, !known, std::move(image), std::move(error));
        });
}

void HubController::iconLoaded(const std::shared_ptr<HubPeer>& peer, bool newToRegistry,
                               std::shared_ptr<HubPeerResourceImageProxy> image, std::optional<BusError> error) {
    if (newToRegistry) didChangeValueForKey("peers");
    std::erase(initializingPeers_, peer);
    reportPeerAppeared(peer);
    peerDidAppear(peer);
    if (image && !error) {
        reportPeerAttributesChanged(peer);
        center_.post(kHubControllerDidLoadPeerIconNotification, this, peer);
    } else {
        // The manager asked again as long as it would (longer and longer
        // pauses, then it gave up): the peer is shown without its icon, not
        // asked all over again.
        endpoint_->peerLog().log(peer.get(), kErrorLoadingIcon, [&] {
            return fmt::format(kErrorLoadingIcon, error ? error->description : std::string("no image"));
        });
    }
    requestPeerImageResources(peer);
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
    auto peer = hubPeerOf(*bus);
    if (!peer) return;
    peerDidDisappear(peer);
    forgetPeer(peer);
    bus->setUserInfo(nullptr);
}

void HubController::forgetPeer(const std::shared_ptr<HubPeer>& peer) {
    // A peer that went away is made anew from its metadata when it comes back:
    // peers that come and go leave nothing behind (the current graph keeps
    // what it names until the next one).
    std::erase(initializingPeers_, peer);
    if (auto it = peerObservations_.find(peer.get()); it != peerObservations_.end()) {
        for (auto id : it->second) peer->removeObserver(id);
        peerObservations_.erase(it);
    }
    std::erase_if(peerReports_, [&](const auto& report) {
        if (report.first == peer.get()) return true;
        for (const PortList* list : {&peer->receiverPorts(), &peer->filterPorts(), &peer->senderPorts()})
            for (const auto& port : *list)
                if (report.first == port.get()) return true;
        return false;
    });
    if (!peerRegistry_->contains(peer)) return;
    peerRegistry_->removePeer(peer);
    didChangeValueForKey("peers");
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

// ---- activation ----------------------------------------------------------------------

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
    const std::string name(platform::cutAtCharacter(target->name(), 255));
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

}  // namespace strombel::hub
