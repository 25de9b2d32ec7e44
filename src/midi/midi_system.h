#pragma once

// The MIDI wrapper: one client with an output and an input port over the
// platform's MIDI services, source and destination objects kept in step with the
// system's endpoints, our virtual source and destination, and sending.
//
// Threads: the lists, the delegate messages and the notifications belong to the
// main loop the wrapper was made with (the rescan timer and the backend's
// notifications run there). Packets arrive on the backend's MIDI read thread
// (under JACK, JACK's real-time process thread) and go straight to each source's
// delegates there, without a lock or an allocation. Sending is safe from any
// thread but a real-time one.

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/devices/midi_backend.h"
#include "platform/main_loop.h"
#include "platform/notification_center.h"
#include "platform/published.h"
#include "platform/user_defaults.h"

namespace strombel::midi {

using platform::MidiEndpointRef;
using platform::MidiPacketList;
using platform::MidiStatus;

class MidiSystem;
class MidiConnection;
class MidiSource;
class MidiDestination;

/// The user info of the four connection notifications: "connection" holds the object.
using MidiNotificationUserInfo = std::map<std::string, std::shared_ptr<MidiConnection>>;

inline constexpr const char* kMidiSourceAddedNotification = "MidiSourceAddedNotification";
inline constexpr const char* kMidiSourceRemovedNotification = "MidiSourceRemovedNotification";
inline constexpr const char* kMidiDestinationAddedNotification = "MidiDestinationAddedNotification";
inline constexpr const char* kMidiDestinationRemovedNotification = "MidiDestinationRemovedNotification";
/// The user-defaults key under which the virtual destination's identifier is kept.
inline constexpr const char* kMidiSavedVirtualDestinationIdKey = "MIDI Saved Virtual Destination ID";

/// Told of sources and destinations that come and go, on the main loop. The four
/// messages share their first part (`midi:sourceAdded:` and its kin) and take the
/// same arguments, so each goes by its second part; so does `midiSource:midiReceived:`.
class MidiDelegate {
public:
    virtual ~MidiDelegate() = default;
    virtual void sourceAdded(MidiSystem&, const std::shared_ptr<MidiSource>&) {}
    virtual void sourceRemoved(MidiSystem&, const std::shared_ptr<MidiSource>&) {}
    virtual void destinationAdded(MidiSystem&, const std::shared_ptr<MidiDestination>&) {}
    virtual void destinationRemoved(MidiSystem&, const std::shared_ptr<MidiDestination>&) {}
    /// A MIDI system came (a JACK server started) or went, as a rescan found.
    virtual void systemAvailabilityChanged(MidiSystem&, bool /*available*/) {}
};

/// Receives a source's packets. Called on the backend's MIDI read thread, which
/// may be real-time (JACK's process thread): must not allocate, lock, wait or
/// log. The packets are valid only during the call.
class MidiSourceDelegate {
public:
    virtual ~MidiSourceDelegate() = default;
    virtual void midiReceived(MidiSource&, MidiPacketList) {}
};

/// A source or destination: the endpoint and the name read when it appeared.
class MidiConnection {
public:
    MidiConnection(MidiSystem& midi, MidiEndpointRef endpoint);
    virtual ~MidiConnection() = default;
    MidiConnection(const MidiConnection&) = delete;
    MidiConnection& operator=(const MidiConnection&) = delete;

    MidiSystem& midi() const { return midi_; }
    MidiEndpointRef endpoint() const { return endpoint_; }
    /// The endpoint's name, "Unknown name" when it could not be read.
    const std::string& name() const { return *name_; }
    /// The name as a shared string, so that messages carry it without copying.
    const std::shared_ptr<const std::string>& sharedName() const { return name_; }
    bool isNetworkSession() const { return isNetworkSession_; }

private:
    MidiSystem& midi_;
    const MidiEndpointRef endpoint_;
    std::shared_ptr<const std::string> name_;
    bool isNetworkSession_ = false;
};

/// A source. Its delegate list is published as a whole, never changed in place:
/// a read under way walks the list it took, without a lock.
class MidiSource : public MidiConnection {
public:
    using Delegates = std::vector<MidiSourceDelegate*>;

    using MidiConnection::MidiConnection;

    /// Adds `delegate` unless it is there already (main loop).
    void addDelegate(MidiSourceDelegate* delegate);
    /// Removes `delegate` (main loop). Called from outside a read, it returns only
    /// once no read that could still reach the delegate is under way, so the
    /// delegate may be destroyed right after.
    void removeDelegate(MidiSourceDelegate* delegate);
    std::shared_ptr<const Delegates> delegates() const;
    void setDelegates(std::shared_ptr<const Delegates> delegates);

    /// Called on the MIDI read thread: hands `packets` to each delegate in order.
    /// Never allocates, locks or waits.
    void midiRead(MidiPacketList packets);

private:
    std::mutex changeMutex_;  // changes of the list, one at a time (never taken by a read)
    platform::Published<Delegates> delegates_;
};

/// A destination of the system.
class MidiDestination : public MidiConnection {
public:
    using MidiConnection::MidiConnection;

    /// Drops what is scheduled for the endpoint.
    void flushOutput();
    /// Sends `size` bytes now; `size` of 65536 or more is refused with an error.
    MidiStatus sendBytes(const uint8_t* bytes, uint32_t size);
    virtual MidiStatus sendPacketList(MidiPacketList packets);
};

/// Stands for our virtual source: sending through it publishes the packets as
/// that source's output.
class MidiVirtualSourceDestination final : public MidiDestination {
public:
    using MidiDestination::MidiDestination;
    MidiStatus sendPacketList(MidiPacketList packets) override;
};

class MidiSystem {
public:
    using Destinations = std::vector<std::shared_ptr<MidiDestination>>;

    /// The fixed names of our client and ports.
    static constexpr const char* kClientName = "Strombel MIDI Client";
    static constexpr const char* kOutputPortName = "Strombel Output Port";
    static constexpr const char* kInputPortName = "Strombel Input Port";
    /// The largest byte message a send takes (one less than 65536).
    static constexpr uint32_t kMaxMessageSize = 65535;

    /// Creates the client and the ports, connects the present endpoints and starts
    /// the rescan every second on `mainLoop`. `bundleName` names the virtual
    /// endpoints while no other name is set.
    MidiSystem(platform::MidiBackend& backend, platform::MainLoop& mainLoop,
               platform::NotificationCenter& notificationCenter, platform::UserDefaults& defaults,
               std::string bundleName);
    ~MidiSystem();
    MidiSystem(const MidiSystem&) = delete;
    MidiSystem& operator=(const MidiSystem&) = delete;

    /// Always true here: every system this runs on has MIDI services.
    static bool midiAvailable() { return true; }

    platform::MidiBackend& backend() const { return backend_; }
    size_t numberOfConnections() const;

    bool networkEnabled() const;
    void setNetworkEnabled(bool enabled);
    bool virtualSourceEnabled() const;
    void setVirtualSourceEnabled(bool enabled);
    bool virtualDestinationEnabled() const;
    void setVirtualDestinationEnabled(bool enabled);

    std::shared_ptr<MidiSource> getSource(MidiEndpointRef endpoint) const;
    std::shared_ptr<MidiDestination> getDestination(MidiEndpointRef endpoint) const;

    void connectSource(MidiEndpointRef endpoint);
    void disconnectSource(MidiEndpointRef endpoint);
    void connectDestination(MidiEndpointRef endpoint);
    void disconnectDestination(MidiEndpointRef endpoint);

    /// Brings both lists in step with the system.
    void scanExistingDevices();

    void midiNotify(const platform::MidiNotification& notification);
    void midiNotifyAdd(const platform::MidiNotification& notification);
    void midiNotifyRemove(const platform::MidiNotification& notification);

    /// Sends to each of `destinations`, or to every system destination when it is
    /// null. A failed send is reported and the others still go. Answers the last
    /// failure, or no error.
    MidiStatus sendPacketList(MidiPacketList packets, const Destinations* destinations);
    /// One packet of `size` bytes, now. 65536 bytes or more are refused with an error.
    MidiStatus sendBytes(const uint8_t* bytes, uint32_t size, const Destinations* destinations);
    /// The same at host time `withTime` (host ticks; 0 is now).
    MidiStatus sendBytes(const uint8_t* bytes, uint32_t size, uint64_t withTime, const Destinations* destinations);

    std::shared_ptr<MidiSource> findSourceCalled(const std::string& name) const;
    std::shared_ptr<MidiDestination> findDestinationCalled(const std::string& name) const;
    /// The first source (not of a network session, not named in `avoidNames`)
    /// that has a destination of the same name; both none when there is none.
    void findMatchingSource(std::shared_ptr<MidiSource>& source, std::shared_ptr<MidiDestination>& andDestination,
                            const std::vector<std::string>* avoidNames = nullptr) const;

    MidiDelegate* delegate() const { return delegate_; }
    void setDelegate(MidiDelegate* delegate) { delegate_ = delegate; }
    std::vector<std::shared_ptr<MidiSource>> sources() const;
    Destinations destinations() const;
    std::shared_ptr<MidiVirtualSourceDestination> virtualSourceDestination() const;
    std::shared_ptr<MidiSource> virtualDestinationSource() const;
    std::optional<std::string> virtualEndpointName() const;
    void setVirtualEndpointName(std::optional<std::string> name);
    platform::MainLoop::TimerId rescanTimer() const { return rescanTimer_; }
    void setRescanTimer(platform::MainLoop::TimerId timer);
    platform::MidiPortRef outputPort() const { return outputPort_; }
    platform::MidiPortRef inputPort() const { return inputPort_; }
    platform::MidiEndpointRef virtualSourceEndpoint() const { return virtualSourceEndpoint_; }
    platform::MidiEndpointRef virtualDestinationEndpoint() const { return virtualDestinationEndpoint_; }

    /// Writes "Error (operation): status:description" to the log.
    static void reportError(const char* operation, MidiStatus status);

private:
    // The slot through which the virtual destination's packets reach its source
    // object: read without a lock on the MIDI read thread.
    struct VirtualDestinationSlot {
        platform::Published<std::shared_ptr<MidiSource>> source{std::make_shared<const std::shared_ptr<MidiSource>>()};
    };

    std::string endpointNameForVirtual() const;
    void post(const char* name, std::shared_ptr<MidiConnection> connection);
    bool isOwnVirtual(MidiEndpointRef endpoint) const;

    platform::MidiBackend& backend_;
    platform::MainLoop& mainLoop_;
    platform::NotificationCenter& notificationCenter_;
    platform::UserDefaults& defaults_;
    const std::string bundleName_;
    bool systemAvailable_ = false;  // as the last rescan found it

    platform::MidiClientRef client_ = 0;
    platform::MidiPortRef outputPort_ = 0;
    platform::MidiPortRef inputPort_ = 0;
    std::optional<std::string> virtualEndpointName_;
    platform::MidiEndpointRef virtualSourceEndpoint_ = 0;
    platform::MidiEndpointRef virtualDestinationEndpoint_ = 0;
    std::shared_ptr<VirtualDestinationSlot> virtualDestinationSlot_ = std::make_shared<VirtualDestinationSlot>();
    std::shared_ptr<MidiVirtualSourceDestination> virtualSourceDestination_;

    mutable std::mutex listMutex_;  // sources_ and destinations_ are read from other threads too
    std::vector<std::shared_ptr<MidiSource>> sources_;
    Destinations destinations_;

    MidiDelegate* delegate_ = nullptr;
    platform::MainLoop::TimerId rescanTimer_ = 0;
    std::shared_ptr<int> alive_ = std::make_shared<int>(0);  // posted work checks it is still wanted
};

/// Fans in every source: makes itself the wrapper's delegate and a delegate of
/// every source, and hands every packet list to its own delegate.
class MidiAllSources final : public MidiDelegate, public MidiSourceDelegate {
public:
    MidiAllSources() = default;
    ~MidiAllSources() override;

    void setMidi(MidiSystem* midi);
    MidiSystem* midi() const { return midi_; }
    MidiSourceDelegate* delegate() const { return delegate_.load(); }
    void setDelegate(MidiSourceDelegate* delegate) { delegate_.store(delegate); }

    void sourceAdded(MidiSystem& midi, const std::shared_ptr<MidiSource>& source) override;
    void midiReceived(MidiSource& source, MidiPacketList packets) override;

private:
    MidiSystem* midi_ = nullptr;
    std::atomic<MidiSourceDelegate*> delegate_{nullptr};
};

}  // namespace strombel::midi
