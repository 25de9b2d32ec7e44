#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/clock.h"
#include "platform/devices/midi_backend.h"
#include "platform/devices/midi_send_scheduler.h"

namespace strombel::platform {

/// A MIDI world inside the process, for tests and benchmarks. The test plays the
/// outside devices: it adds and removes endpoints, plays packets from a source,
/// sends to our virtual destination and reads what each destination received.
///
/// Timed sends wait in a scheduler on the given clock. With `ownThread` false
/// (the default) nothing is delivered until `deliverDue()` is called, so a test
/// over a ManualClock decides when time passes; with `ownThread` true a thread of
/// its own delivers them on time over a real clock.
class LoopbackMidiBackend final : public MidiBackend {
public:
    explicit LoopbackMidiBackend(Clock& clock, bool ownThread = false);
    ~LoopbackMidiBackend() override;

    /// What one destination received: bytes of one packet and when.
    struct Received {
        std::vector<uint8_t> bytes;
        uint64_t dueNanos = 0;        // the time the send asked for (now for 0)
        uint64_t deliveredNanos = 0;  // the clock when it was delivered
    };

    // --- The outside world, played by the test ---

    /// Adds a device's source or destination; `announce` false adds it without a
    /// notification (only a rescan finds it). A name of none cannot be read.
    MidiEndpointRef addSource(std::optional<std::string> name, bool announce = true, bool networkSession = false);
    MidiEndpointRef addDestination(std::optional<std::string> name, bool announce = true);
    void removeEndpoint(MidiEndpointRef endpoint, bool announce = true);

    /// Plays `packets` from `source` to every port connected to it, on the calling
    /// thread, which stands for the MIDI read thread: the read handlers run inside
    /// a RealtimeScope, as they may under JACK. Answers how many connections got them.
    size_t play(MidiEndpointRef source, MidiPacketList packets);
    /// Plays bytes as one packet with time stamp 0.
    size_t play(MidiEndpointRef source, std::vector<uint8_t> bytes);
    /// Sends `packets` to a virtual destination of a client (another program sending to us).
    bool sendToVirtualDestination(MidiEndpointRef destination, MidiPacketList packets);

    /// Everything delivered so far to `destination` (or published by a virtual source).
    std::vector<Received> receivedBy(MidiEndpointRef destination) const;
    void clearReceived();
    /// Whether deliveries are kept for `receivedBy` (on by default; benchmarks
    /// turn it off so that delivering allocates nothing).
    void setKeepsReceived(bool keeps);
    /// Called on delivery, on the delivering thread (benchmarks measure with it).
    void setDeliveryHook(std::function<void(MidiEndpointRef, std::span<const uint8_t>, uint64_t dueNanos)> hook);

    /// Delivers the timed sends that are due on the clock; answers how many.
    size_t deliverDue();
    size_t scheduledCount() const;

    /// Makes sends to `destination` fail with kMidiMessageSendErr (or succeed again).
    void setSendFails(MidiEndpointRef destination, bool fails);
    /// Makes the next `createClient` fail with `status`.
    void failNextClientCreation(MidiStatus status);
    /// Gives `id` to an endpoint outside, so that it is not unique for ours.
    void takeUniqueId(int32_t id);
    /// The ports connected to `source` now.
    size_t connectionCount(MidiEndpointRef source) const;
    /// How many virtual sources / destinations exist now.
    size_t virtualEndpointCount() const;

    /// The MIDI system goes away (false) or comes back (true); its ports stay.
    void setAvailable(bool available) { available_.store(available); }

    // --- MidiBackend ---
    bool available() const override { return available_.load(); }
    std::string systemName() const override { return "loopback"; }
    MidiStatus createClient(const std::string& name, MidiNotifyHandler notify, MidiClientRef& client) override;
    MidiStatus disposeClient(MidiClientRef client) override;
    MidiStatus createOutputPort(MidiClientRef client, const std::string& name, MidiPortRef& port) override;
    MidiStatus createInputPort(MidiClientRef client, const std::string& name, MidiPortRef& port) override;
    MidiStatus disposePort(MidiPortRef port) override;
    std::vector<MidiEndpointRef> sources() override;
    std::vector<MidiEndpointRef> destinations() override;
    std::optional<std::string> endpointName(MidiEndpointRef endpoint) override;
    bool isNetworkSession(MidiEndpointRef endpoint) override;
    MidiStatus connectSource(MidiPortRef inputPort, MidiEndpointRef source, MidiReadHandler read) override;
    MidiStatus disconnectSource(MidiPortRef inputPort, MidiEndpointRef source) override;
    MidiStatus send(MidiPortRef outputPort, MidiEndpointRef destination, MidiPacketList packets) override;
    MidiStatus flushOutput(MidiEndpointRef destination) override;
    MidiStatus createVirtualSource(MidiClientRef client, const std::string& name, MidiEndpointRef& endpoint) override;
    MidiStatus createVirtualDestination(MidiClientRef client, const std::string& name, MidiReadHandler read,
                                        MidiEndpointRef& endpoint) override;
    MidiStatus disposeEndpoint(MidiEndpointRef endpoint) override;
    MidiStatus received(MidiEndpointRef virtualSource, MidiPacketList packets) override;
    MidiStatus uniqueId(MidiEndpointRef endpoint, int32_t& id) override;
    MidiStatus setUniqueId(MidiEndpointRef endpoint, int32_t id) override;
    bool networkSessionEnabled() const override;
    void setNetworkSessionEnabled(bool enabled, int32_t connectionPolicy) override;

private:
    enum class Kind { source, destination };
    struct Endpoint {
        Kind kind = Kind::source;
        std::optional<std::string> name;
        bool networkSession = false;
        MidiClientRef owner = 0;  // the client of a virtual endpoint, 0 for a device's
        int32_t uniqueId = 0;
        std::shared_ptr<MidiReadHandler> virtualRead;  // a virtual destination's handler
        bool sendFails = false;
    };
    struct Connection {
        MidiPortRef port = 0;
        MidiEndpointRef source = 0;
        std::shared_ptr<MidiReadHandler> read;
    };

    MidiStatus checkSize(MidiPacketList packets) const;
    MidiStatus queue(MidiEndpointRef destination, MidiPacketList packets);
    void deliver(MidiEndpointRef destination, std::span<const uint8_t> bytes, uint64_t dueNanos);
    void notify(int32_t messageId, MidiEndpointRef child, Kind kind);
    MidiEndpointRef addEndpoint(Kind kind, std::optional<std::string> name, bool networkSession, MidiClientRef owner,
                                bool announce);

    Clock& clock_;
    mutable PriorityInheritanceMutex mutex_;
    MidiObjectRef nextRef_ = 0x1000;
    int32_t nextUniqueId_ = 0x4000;
    std::map<MidiClientRef, MidiNotifyHandler> clients_;
    std::map<MidiPortRef, MidiClientRef> ports_;
    std::map<MidiEndpointRef, Endpoint> endpoints_;  // in order of creation
    std::vector<int32_t> outsideIds_;
    std::vector<Connection> connections_;
    std::map<MidiEndpointRef, std::vector<Received>> received_;
    std::function<void(MidiEndpointRef, std::span<const uint8_t>, uint64_t)> hook_;
    std::optional<MidiStatus> clientFailure_;
    bool networkEnabled_ = false;
    bool keepsReceived_ = true;
    std::atomic<bool> available_{true};
    std::unique_ptr<MidiSendScheduler> scheduler_;  // last: its thread goes first
};

}  // namespace strombel::platform
