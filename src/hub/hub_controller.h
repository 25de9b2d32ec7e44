#pragma once

// src/hub/: the inter-app audio hub: the message bus and the controller with its
// ports, peers, connection graph and triggers.
// May include: platform, platform/devices, logging.

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "hub/bus_local_endpoint.h"
#include "hub/bus_log.h"
#include "hub/bus_registry.h"
#include "hub/hub_connection_graph.h"
#include "hub/hub_peer.h"
#include "hub/hub_peer_resource.h"
#include "hub/hub_peer_state.h"
#include "hub/hub_port.h"
#include "hub/hub_signature_validator.h"
#include "hub/hub_trigger.h"
#include "platform/application_state.h"
#include "platform/main_bundle.h"
#include "platform/main_loop.h"
#include "platform/notification_center.h"
#include "platform/service_discovery.h"
#include "platform/user_defaults.h"

namespace strombel::hub {

/// Posted (sender: the controller) at the end of every connection re-evaluation.
inline constexpr const char* kHubConnectionsChangedNotification = "HubConnectionsChangedNotification";
inline constexpr const char* kHubConnectedNotification = "HubConnectedNotification";
inline constexpr const char* kHubDisconnectedNotification = "HubDisconnectedNotification";
/// User info of the peer notifications: the std::shared_ptr<HubPeer> (or, for a
/// port's attributes, the std::shared_ptr<HubPort>).
inline constexpr const char* kHubPeerAppearedNotification = "HubPeerAppearedNotification";
inline constexpr const char* kHubPeerDisappearedNotification = "HubPeerDisappearedNotification";
inline constexpr const char* kHubPeerAttributesChangedNotification = "HubPeerAttributesChangedNotification";
inline constexpr const char* kHubControllerDidLoadPeerIconNotification = "HubControllerDidLoadPeerIconNotification";
/// Posted by the application (any sender) when it finished launching (user
/// info: the launch address, a std::string, when there is one).
inline constexpr const char* kApplicationDidFinishLaunchingNotification = "ApplicationDidFinishLaunchingNotification";
/// The program's own notice that it comes back to the foreground (the desktop
/// session posts it when the window is restored).
inline constexpr const char* kApplicationWillEnterForegroundNotification =
    platform::kApplicationWillEnterForegroundNotification;
/// Posted by a source that hosts another application's audio unit (sender: the
/// HubInterAppAudioSource; user info of the error notification: a BusError; of
/// the ping notification: a bool, the ping's result).
inline constexpr const char* kHubInterAppAudioSourceAudioUnitConnectedNotification =
    "HubInterAppAudioSourceAudioUnitConnectedNotification";
inline constexpr const char* kHubInterAppAudioSourceAudioUnitDisconnectedNotification =
    "HubInterAppAudioSourceAudioUnitDisconnectedNotification";
inline constexpr const char* kHubInterAppAudioSourceAudioUnitErrorNotification =
    "HubInterAppAudioSourceAudioUnitErrorNotification";
inline constexpr const char* kHubInterAppAudioSourceDidPingNotification = "HubInterAppAudioSourceDidPingNotification";
/// The status code of an audio unit that could not be hosted.
constexpr int64_t kHubInterAppAudioHostingFailedStatus = -66750;

/// A local port fed by another application's hosted audio unit. Hosting has no
/// counterpart on this platform; the controller answers what such a source posts.
struct HubInterAppAudioSource {
    std::shared_ptr<HubPort> port;
    const void* audioUnit = nullptr;
};

/// The user-defaults key of the accepted hub sessions.
inline constexpr const char* kPeeredWirehubIdentifiersKey = "Peered Wirehub Identifiers";

/// The hub's check helper: when `condition` is false, prints "file:line: message"
/// to standard output and stops the process. Misuse of the controller stops here.
void HubVerify(bool condition, const char* message, const char* file, int line);

/// A question for the user; `completion` gets the index of the button tapped
/// (0 the cancel button, 1 the first further one).
struct HubAlert {
    std::string title;
    std::string message;
    std::string cancelButton;
    std::vector<std::string> otherButtons;
    std::function<void(int buttonIndex)> completion;
};

/// Lets the hub pull and push this application's state.
class HubControllerStateIODelegate {
public:
    virtual ~HubControllerStateIODelegate() = default;
    virtual std::optional<platform::PropertyValue::Dictionary> hubStateDictionaryForCurrentState() { return std::nullopt; }
    /// Loads a pushed state; `responseMessage` goes back to the hub.
    virtual void loadStateFromHubStateDictionary(const platform::PropertyValue::Dictionary&, std::string& responseMessage) {
        responseMessage.clear();
    }
};

/// The connection panel the controller hosts; the panel's own code fills it.
class HubConnectionPanel {
public:
    virtual ~HubConnectionPanel() = default;
    virtual void setPosition(int32_t position) = 0;
    virtual int32_t position() const = 0;
    virtual void hide() {}
};

struct HubControllerOptions {
    std::string apiKey;
    /// Where the bus publishes and browses (the machine's directory, or Avahi).
    platform::ServiceDiscovery* discovery = nullptr;
    // Required: the controller's loop, notification centre and user defaults.
    platform::MainLoop* loop = nullptr;
    platform::NotificationCenter* notifications = nullptr;
    platform::UserDefaults* defaults = nullptr;
    /// Required: the information dictionary (executable, display name, URL schemes).
    platform::MainBundle* bundle = nullptr;
    /// The verifier of the hub's signed messages (the bundle's key); none refuses them.
    std::shared_ptr<const HubSignatureValidator> signatureValidator;
    /// The platform version the bus compares with 7.
    int32_t platformVersion = 8;
    /// The device part of the service name (empty: the machine's name).
    std::string deviceName;
    /// The endpoint binds this IPv4 address only (a test's "other device").
    std::optional<platform::SocketAddress> bindAddress;
    /// The discovery reaches the network: the endpoint listens on every
    /// interface instead of this machine's loopback addresses.
    bool networkDiscovery = false;
    /// Asks the user the acceptance question; none denies at once.
    std::function<void(HubAlert alert)> alertPresenter;
    /// Opens an address (xdg-open in the program).
    std::function<void(const std::string& url)> urlOpener;
    /// Makes the connection panel; none: a panel that only keeps its position.
    std::function<std::unique_ptr<HubConnectionPanel>(class HubController&)> panelFactory;
    /// Whether the application is active now; read on the listener thread too.
    std::function<bool()> applicationIsActive;
    /// Resource cache: `cachesFolder` is required (the sandbox's caches); the display
    /// name defaults to the bundle's, the clock to the system's.
    HubPeerResourceManager::Options resourceOptions;
    /// Temporary files of pushed state (default: the system's).
    std::filesystem::path stateFolder;
    /// The JACK client of the sender ports is opened when they are added, on
    /// `jackOpener` (required then).
    bool publishSenderPortsOnJack = true;
    platform::JackOpener* jackOpener = nullptr;
    /// Real-time scheduling for the endpoint's listener thread.
    bool realTimeListener = true;
};

/// The one object through which the application takes part in the hub's
/// session. Made at launch on the main thread, kept for the whole run.
class HubController : public BusLocalEndpointDelegate, public platform::KeyValueObservable {
public:
    using Options = HubControllerOptions;
    using PortList = HubPortList;
    using TriggerList = std::vector<std::shared_ptr<HubTrigger>>;

    /// Runs the start-up; none (logged) when the platform is too old, the bundle
    /// has no ".wirehub" address, or the bus cannot be set up. Stops the process
    /// without an executable name or off the main thread.
    static std::unique_ptr<HubController> create(Options options);
    ~HubController() override;
    HubController(const HubController&) = delete;
    HubController& operator=(const HubController&) = delete;

    /// Forgets every accepted hub session.
    static void resetAllPeeredConnections(platform::UserDefaults& defaults);

    // ---- ports ----
    /// A sender port (type 2) with a name no other port has; anything else stops
    /// the process with the hub's assertion message.
    void addSenderPort(std::shared_ptr<HubPort> port);
    void removeSenderPort(const std::shared_ptr<HubPort>& port);
    void addReceiverPort(std::shared_ptr<HubPort> port);
    void removeReceiverPort(const std::shared_ptr<HubPort>& port);
    void addFilterPort(std::shared_ptr<HubPort> port);
    void removeFilterPort(const std::shared_ptr<HubPort>& port);
    /// Reorders a port list in place (a strict weak order) and republishes it.
    using PortComparator = std::function<bool(const std::shared_ptr<HubPort>&, const std::shared_ptr<HubPort>&)>;
    void sortSenderPortsUsingComparitor(const PortComparator& comparator);
    void sortReceiverPortsUsingComparitor(const PortComparator& comparator);
    void sortFilterPortsUsingComparitor(const PortComparator& comparator);
    /// The first port of the list with that name, or none.
    std::shared_ptr<HubPort> senderPortNamed(const std::string& name) const;
    std::shared_ptr<HubPort> receiverPortNamed(const std::string& name) const;
    std::shared_ptr<HubPort> filterPortNamed(const std::string& name) const;
    bool portNameIsUnique(const std::string& name) const;
    const PortList& senderPorts() const { return senderPorts_; }
    const PortList& receiverPorts() const { return receiverPorts_; }
    const PortList& filterPorts() const { return filterPorts_; }

    // ---- triggers ----
    void addTrigger(std::shared_ptr<HubTrigger> trigger) { addTrigger(std::move(trigger), true); }
    void addTrigger(std::shared_ptr<HubTrigger> trigger, bool showInConnectionPanel);
    void removeTrigger(const std::shared_ptr<HubTrigger>& trigger);
    std::shared_ptr<HubTrigger> triggerMatchingIdentifier(uint32_t identifier) const;
    /// The panel's triggers, ordered rewind, toggle play, record, custom, skip.
    const TriggerList& triggers() const { return triggers_; }
    const TriggerList& offPanelTriggers() const { return offPanelTriggers_; }

    // ---- connection state ----
    bool connected() const;
    bool hubConnected() const;
    bool interAppAudioConnected() const;
    const std::vector<std::shared_ptr<HubPeer>>& connectedPeers() const { return connectedPeers_; }
    const PortList& connectedPorts() const { return connectedPorts_; }
    bool memberOfActiveHubSession() const { return memberOfActiveHubSession_; }
    bool hubAppRunning() const { return hubAppRunning_; }
    bool inHubConnectionGraph() const { return inHubConnectionGraph_; }
    std::shared_ptr<HubPeer> controllerPeer() const { return controllerPeer_.load(); }
    const HubConnectionGraph* connectionGraph() const { return connectionGraph_.get(); }

    // ---- peers ----
    const std::vector<std::shared_ptr<HubPeer>>& peers() const { return peerRegistry_->peers(); }
    /// Peers in view whose icon is still on its way (not reported as appeared yet).
    const std::vector<std::shared_ptr<HubPeer>>& initializingPeers() const { return initializingPeers_; }
    void addPeer(const std::shared_ptr<HubPeer>& peer) { peerRegistry_->addPeer(peer); }
    /// Brings another application to the foreground: opens its address when it
    /// is on this device and this application is active, else asks the peers on
    /// its device to.
    void activatePeer(const std::shared_ptr<HubPeer>& peer);
    PortList activePortsConnectedToPeer(const std::shared_ptr<HubPeer>& peer) const;
    /// Whether any of this program's ports answers `state` with true.
    bool anyPort(bool (HubPort::*state)() const) const;
    void requestPeerImageResources(const std::shared_ptr<HubPeer>& peer);
    void reportPeerAttributesChanged(std::any object);

    // ---- panel and publication ----
    void setConnectionPanelPosition(int32_t position);
    int32_t connectionPanelPosition() const;
    bool allowsConnectionsToSelf() const { return allowsConnectionsToSelf_; }
    void setAllowsConnectionsToSelf(bool allows) { allowsConnectionsToSelf_ = allows; }
    void setAllowsMultipleInstancesInConnectionGraph(bool allows);
    bool enableNetwork() const { return registry_->enableNetwork(); }
    void setEnableNetwork(bool enable) { registry_->setEnableNetwork(enable); }
    int64_t capabilities() const { return 1; }
    platform::TxtRecord registrationMetadata() const;
    void updateRegistrationMetadata();
    void setStateIODelegate(HubControllerStateIODelegate* delegate) { stateIODelegate_ = delegate; }
    HubControllerStateIODelegate* stateIODelegate() const { return stateIODelegate_; }
    const std::string& launchURL() const { return launchURL_; }

    BusLocalEndpoint& localEndpoint() const { return *endpoint_; }
    BusRegistry& registry() const { return *registry_; }
    HubRegistry& peerRegistry() const { return *peerRegistry_; }
    const std::shared_ptr<HubSelfPeer>& selfPeer() const { return selfPeer_; }
    HubPeerResourceHost& resourceHost() const { return *resourceHost_; }
    HubPeerResourceManager& resourceManager() const { return *resourceManager_; }
    platform::NotificationCenter& notificationCenter() const { return center_; }

    // ---- messages (the endpoint's delegate) ----
    void endpoint(BusLocalEndpoint& endpoint, const uint8_t* bytes, uint64_t length,
                  const std::shared_ptr<BusPeer>& peer) override;
    /// Checks a message on the listener thread and hands it on.
    void handleMessageBytes(const uint8_t* bytes, size_t length, const std::shared_ptr<HubPeer>& peer);
    void sendConnectionStateAckWithStatus(uint8_t status, uint8_t sequence, const HubPeer& peer);
    /// Signatures checked so far, and signed messages refused before a check
    /// (a peer's flood of wrong ones); for tests and benchmarks.
    uint64_t signatureChecks() const { return signatureChecks_.load(); }
    uint64_t signaturesHeldBack() const { return signatureGate_.heldBack(); }

private:
    explicit HubController(Options options);
    bool start();

    struct PortObservation {
        std::shared_ptr<HubPort> port;
        std::vector<platform::KeyValueObservable::ObserverId> ids;
    };
    void addPort(std::shared_ptr<HubPort> port, int32_t type, PortList& list, const char* key, const char* failure);
    void removePort(const std::shared_ptr<HubPort>& port, PortList& list, const char* key);
    void sortPorts(const PortComparator& comparator, PortList& list, const char* key);
    void observePort(const std::shared_ptr<HubPort>& port);
    void stopObservingPort(const HubPort* port);
    void portAttributesChanged(const std::shared_ptr<HubPort>& port);
    void sortTriggers(TriggerList& list);

    void respondToPortConnectionChange();
    void updatePortConnectionStatus();
    bool hasConnectedPortSharingAudioUnit(AudioUnitHandle unit, const HubPort* port) const;
    void applyConnectionGraph(std::unique_ptr<HubConnectionGraph> graph);
    /// A peer of the current graph that went away comes back as a new peer:
    /// it takes the old one's place (and its ports theirs) in the links, among
    /// the connected and in the stored graph.
    void takeReturnedPeerIntoConnections(const std::shared_ptr<HubPeer>& peer);
    void endMembership();

    void peerDidAppearNotification(const std::shared_ptr<BusPeer>& bus);
    void peerDidDisappearNotification(const std::shared_ptr<BusPeer>& bus);
    void reportPeerAppeared(const std::shared_ptr<HubPeer>& peer);
    void peerDidAppear(const std::shared_ptr<HubPeer>& peer);
    void peerDidDisappear(const std::shared_ptr<HubPeer>& peer);
    void peerRegistryAddedPeer(const std::shared_ptr<HubPeer>& peer);
    void iconLoaded(const std::shared_ptr<HubPeer>& peer, bool newToRegistry,
                    std::shared_ptr<HubPeerResourceImageProxy> image, std::optional<BusError> error);
    void forgetPeer(const std::shared_ptr<HubPeer>& peer);
    void loadImageChain(const std::shared_ptr<HubPeer>& peer, std::vector<uint32_t> identifiers, size_t index);
    void coalescePeerReport(std::any object, const void* key);

    // Main-loop handlers of the messages.
    void triggerActivate(uint32_t identifier, const std::shared_ptr<HubPeer>& peer);
    void triggerAdjust(uint32_t identifier, double value, const std::shared_ptr<HubPeer>& peer);
    void triggerState(std::vector<uint8_t> record, const std::shared_ptr<HubPeer>& peer);
    void portAttributes(uint32_t identifier, uint8_t attributes, const std::shared_ptr<HubPeer>& peer);
    void connectionState(std::vector<uint8_t> message, const std::shared_ptr<HubPeer>& peer);
    void activationRequest(std::string name);
    void statePull(std::vector<uint8_t> message, const std::shared_ptr<HubPeer>& peer);
    void statePush(std::vector<uint8_t> message, const std::shared_ptr<HubPeer>& peer);
    void performHubPeeringWithPeer(const std::shared_ptr<HubPeer>& peer, const std::string& identifier);
    void triggerAttributeChanged(const HubTrigger* trigger);
    void iaaHostStatusUpdate(const platform::Notification& notification);
    void iaaHostPing(const platform::Notification& notification);
    void openURL(const std::string& url);
    bool isActive() const;
    /// Checks a signed message from `peer` on the main loop; a refusal is
    /// noted by the gate and logged as `refusal` (at most once a second).
    bool signatureIsValid(const std::vector<uint8_t>& message, const std::shared_ptr<HubPeer>& peer,
                          const char* refusal);

    Options options_;
    platform::MainLoop& loop_;
    platform::NotificationCenter& center_;
    platform::UserDefaults& defaults_;
    platform::MainBundle& bundle_;
    std::string executableName_;
    std::string launchURL_;
    std::shared_ptr<const HubSignatureValidator> validator_;

    std::unique_ptr<BusLocalEndpoint> endpoint_;
    std::unique_ptr<BusRegistry> registry_;
    std::shared_ptr<HubSelfPeer> selfPeer_;
    std::unique_ptr<HubRegistry> peerRegistry_;
    std::unique_ptr<HubPeerResourceHost> resourceHost_;
    std::unique_ptr<HubPeerResourceManager> resourceManager_;
    std::unique_ptr<HubConnectionPanel> connectionPanel_;
    std::vector<std::shared_ptr<HubPeer>> initializingPeers_;

    PortList senderPorts_, receiverPorts_, filterPorts_;
    std::vector<PortObservation> portObservations_;
    TriggerList triggers_, offPanelTriggers_;
    std::map<const HubPeer*, std::vector<platform::KeyValueObservable::ObserverId>> peerObservations_;

    bool wasConnected_ = false, wasConnectedViaWirehub_ = false, wasConnectedViaIAA_ = false;
    bool inHubConnectionGraph_ = false;
    bool allowsConnectionsToSelf_ = false;
    bool memberOfActiveHubSession_ = false;
    bool hubAppRunning_ = false;
    std::vector<std::shared_ptr<HubPeer>> connectedPeers_;
    // The name and unique identifier of each connected peer as the graph named
    // it: a peer whose bus peer went knows neither any more.
    std::vector<std::pair<std::string, std::string>> connectedPeerIdentities_;
    PortList connectedPorts_;
    std::atomic<std::shared_ptr<HubPeer>> controllerPeer_;
    std::unique_ptr<HubConnectionGraph> connectionGraph_;
    std::set<std::string> rejectedIdentifiers_;
    std::string incomingIdentifier_;
    std::shared_ptr<HubButtonTrigger> filterBypassTrigger_;
    HubControllerStateIODelegate* stateIODelegate_ = nullptr;
    std::shared_ptr<HubPeerStateSender> stateSender_;
    std::shared_ptr<HubPeerStateReceiver> stateReceiver_;
    std::atomic<bool> stateReceiverActive_{false};
    // The connection states applied since the controller peer came, newest at
    // the back (the graph in force), to refuse replays and to read the graph
    // again for a peer that returns; forgotten when it goes or the membership ends.
    std::deque<std::vector<uint8_t>> appliedConnectionStates_;

    platform::DeferredCall metadataUpdate_;
    platform::DeferredCall connectionChange_;
    std::map<const void*, std::unique_ptr<platform::DeferredCall>> peerReports_;
    std::vector<platform::NotificationCenter::ObserverId> notificationObservers_;
    // The flood guard of the signature check (lines a peer's datagrams cause
    // are limited by the endpoint's log).
    HubSignatureGate signatureGate_;
    std::atomic<uint64_t> signatureChecks_{0};
    std::shared_ptr<HubController*> alive_;
};

}  // namespace strombel::hub
