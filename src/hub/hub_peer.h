#pragma once

// The applications on the bus as the controller knows them: peers built from a
// bus peer's metadata (or placeholders the hub's graph names first), this
// application's own peer, and the registry of all of them.

#include <atomic>
#include <cstdint>
#include <limits>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "hub/bus_peer.h"
#include "hub/hub_port.h"
#include "hub/hub_remote_trigger.h"
#include "platform/clock.h"
#include "platform/key_value_observing.h"
#include "platform/notification_center.h"
#include "platform/service_discovery.h"

namespace strombel::hub {

class HubController;
class HubPeerResourceManager;

/// Posted (sender: the registry; user info: the std::shared_ptr<HubPeer>) when
/// a peer joins the registry.
inline constexpr const char* kHubRegistryPeerAddedNotification = "HubRegistryPeerAddedNotification";

/// Metadata entries newer than this many seconds of a direct update are not
/// reloaded from the (older) metadata.
constexpr double kHubDirectUpdateFreshness = 10.0;

using HubPortList = std::vector<std::shared_ptr<HubPort>>;

/// One application on the bus. Main thread, except `dbPeer()` and sending.
class HubPeer : public platform::KeyValueObservable, public std::enable_shared_from_this<HubPeer> {
public:
    enum Type : int32_t { Local = 0, Remote = 1, Self = 2, Placeholder = 5 };
    /// The `state` bit of a peer reported as appeared.
    static constexpr uint32_t kAppearedState = 2;

    explicit HubPeer(const platform::Clock& clock);
    ~HubPeer() override;

    static std::shared_ptr<HubPeer> peerWithDBPeer(const std::shared_ptr<BusPeer>& peer,
                                                   const platform::Clock& clock);
    static std::shared_ptr<HubPeer> localStandInPeerWithName(std::string name, std::string launchURL,
                                                             std::string displayName,
                                                             const platform::Clock& clock);

    /// Attaches the bus peer (held weakly) and reads its metadata; observes it.
    void setPeer(const std::shared_ptr<BusPeer>& peer);
    std::shared_ptr<BusPeer> dbPeer() const { return peer_.load().lock(); }

    std::string name() const;
    std::string uniqueID() const;
    void setUniqueID(std::string uniqueID) { uniqueID_ = std::move(uniqueID); }
    std::string deviceName() const;
    int32_t type() const;
    bool present() const;
    std::string displayName() const;
    std::string launchURL() const;
    std::string hubSDKVersion() const;
    int64_t capabilities() const;
    int32_t hubProtocolVersion() const;
    double minimumRemoteLatency() const;
    double maximumRemoteLatency() const;
    bool usingRetransmission() const;
    bool allowsConnectionsToSelf() const;

    uint32_t state() const { return state_; }
    void setState(uint32_t state) { state_ = state; }

    const std::vector<std::shared_ptr<HubRemoteTrigger>>& triggers() const { return triggers_; }
    std::vector<std::shared_ptr<HubRemoteTrigger>> panelTriggers() const;

    virtual const HubPortList& receiverPorts() const { return receiverPorts_; }
    virtual const HubPortList& senderPorts() const { return senderPorts_; }
    virtual const HubPortList& filterPorts() const { return filterPorts_; }
    /// The list of a port type (0 receiver, 1 filter, 2 sender).
    const HubPortList& portsOfType(int32_t type) const;
    /// Appends to, or removes from, the list of a type; this application's own
    /// lists belong to the controller and are left alone.
    virtual void appendPort(int32_t type, std::shared_ptr<HubPort> port);
    virtual bool removePort(int32_t type, const std::shared_ptr<HubPort>& port);

    /// Receivers, then filters, then senders.
    std::shared_ptr<HubPort> portWithNumericIdentifier(uint32_t identifier) const;

    void updateValuesFromMetadata(const platform::TxtRecord& metadata);
    HubPeerResourceManager* resourceManager() const { return resourceManager_; }
    /// Also hears, on the manager's centre, that this peer's icon arrived
    /// ("HubControllerDidLoadPeerIconNotification"): "icon" observers are told.
    void setResourceManager(HubPeerResourceManager* manager);
    /// The application's icon (resource 1) as the resource manager has it, or
    /// none (not loaded yet, or no manager).
    std::shared_ptr<HubPeerResourceImageProxy> icon() const;

    double mediaTime() const { return double(clock_.nowNanos()) / 1e9; }
    std::string description() const;

protected:
    void updatePortsOfType(int32_t type, const platform::TxtRecord& metadata, const std::string& key);
    std::vector<std::shared_ptr<HubRemoteTrigger>> loadTriggersFromMetadata(const platform::TxtRecord& metadata,
                                                                           const std::string& key, bool offPanel,
                                                                           std::set<const HubRemoteTrigger*>& matched);
    HubPortList& mutablePortsOfType(int32_t type);

private:
    const platform::Clock& clock_;
    bool allowsConnectionsToSelf_ = false;
    uint32_t state_ = 0;
    std::string name_, displayName_, launchURL_, uniqueID_;
    // Read by the listener thread too (sending, describing a sender).
    std::atomic<std::weak_ptr<BusPeer>> peer_;
    platform::KeyValueObservable::ObserverId metadataObserver_ = 0;
    std::vector<std::shared_ptr<HubRemoteTrigger>> triggers_;
    HubPortList receiverPorts_, senderPorts_, filterPorts_;
    HubPeerResourceManager* resourceManager_ = nullptr;
    platform::NotificationCenter* iconCenter_ = nullptr;
    platform::NotificationCenter::ObserverId iconObserver_ = 0;
};

/// This application: its ports are the controller's.
class HubSelfPeer : public HubPeer {
public:
    using HubPeer::HubPeer;
    static std::shared_ptr<HubSelfPeer> withDBPeer(const std::shared_ptr<BusPeer>& peer,
                                                   const platform::Clock& clock);
    ~HubSelfPeer() override;
    HubController* hubController() const { return controller_; }
    /// The self peer's port lists are the controller's: a change of one of them is
    /// told to the self peer's observers under the same key.
    void setHubController(HubController* controller);

    const HubPortList& receiverPorts() const override;
    const HubPortList& senderPorts() const override;
    const HubPortList& filterPorts() const override;
    void appendPort(int32_t, std::shared_ptr<HubPort>) override {}
    bool removePort(int32_t, const std::shared_ptr<HubPort>&) override { return false; }

private:
    HubController* controller_ = nullptr;
    std::vector<platform::KeyValueObservable::ObserverId> controllerObservers_;
};

/// The peers known in this run: every peer that came into view or that a
/// graph named, until it goes away.
class HubRegistry {
public:
    HubRegistry(std::shared_ptr<HubSelfPeer> selfPeer,
                platform::NotificationCenter& center);
    ~HubRegistry();
    HubRegistry(const HubRegistry&) = delete;
    HubRegistry& operator=(const HubRegistry&) = delete;

    const std::shared_ptr<HubSelfPeer>& selfPeer() const { return selfPeer_; }
    const std::vector<std::shared_ptr<HubPeer>>& peers() const { return peers_; }
    bool contains(const std::shared_ptr<HubPeer>& peer) const;
    /// Adds the peer once and posts "HubRegistryPeerAddedNotification".
    void addPeer(const std::shared_ptr<HubPeer>& peer);
    /// Forgets a peer (one that went away).
    void removePeer(const std::shared_ptr<HubPeer>& peer);
    /// The self peer by name (and identifier when given); else the first peer of
    /// that name which, without an identifier, is on this device or a
    /// placeholder, or with one, has that identifier (ASCII case aside).
    std::shared_ptr<HubPeer> peerWithName(const std::string& name, const std::optional<std::string>& uniqueID) const;

    /// Unique identifiers compare ignoring ASCII letter case only. Diacritics are
    /// not folded: the identifiers are the UUID (or hardware address) texts peers
    /// announce, written in ASCII hex, whose only variation is case.
    static bool uniqueIDsEqual(const std::string& a, const std::string& b);

private:
    struct Member {
        uint64_t order = 0;  // of addition: lookups take the earliest
        std::string filedName;
        platform::KeyValueObservable::ObserverId nameObserver = 0;
    };
    /// Files a member under its name as it is now.
    void fileUnderName(HubPeer* peer);

    std::shared_ptr<HubSelfPeer> selfPeer_;
    platform::NotificationCenter& center_;
    std::vector<std::shared_ptr<HubPeer>> peers_;
    std::unordered_map<const HubPeer*, Member> members_;
    uint64_t nextOrder_ = 0;
    // The members by the name each was filed under, in order of addition;
    // "name" observers keep them current.
    std::unordered_map<std::string, std::map<uint64_t, HubPeer*>> byName_;
    std::string selfName_;
    platform::KeyValueObservable::ObserverId selfNameObserver_ = 0;
};

/// Sends a message to a peer's bus peer: its result, or
/// BusSendErrorPeerUnavailable and nothing sent when it has none. Any thread.
int32_t HubPeerSendMessage(const HubPeer& peer, const uint8_t* bytes, size_t length);

/// The `HubPeer` a bus peer leads back to (through its user info), or none.
/// Any thread.
std::shared_ptr<HubPeer> hubPeerOf(const BusPeer& peer);
void setHubPeerOf(BusPeer& peer, const std::shared_ptr<HubPeer>& hubPeer);

}  // namespace strombel::hub
