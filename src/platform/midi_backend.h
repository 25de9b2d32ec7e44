#pragma once

// The MIDI services the program sits on: a client with ports, the system's
// endpoints (sources send to us, destinations receive from us), virtual endpoints
// that other programs see under our name, and timed sends.
//
// Two implementations live beside this header: RtMidiBackend (ALSA sequencer or
// JACK MIDI, or nothing at all when neither is there) and LoopbackMidiBackend (an
// in-process MIDI world for tests and benchmarks).

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace strombel::platform {

/// A reference to a client, port or endpoint; 0 is none.
using MidiObjectRef = uint32_t;
using MidiClientRef = MidiObjectRef;
using MidiPortRef = MidiObjectRef;
using MidiEndpointRef = MidiObjectRef;

/// 0 for success, a negative status otherwise (the constants below).
using MidiStatus = int32_t;

constexpr MidiStatus kMidiNoError = 0;
constexpr MidiStatus kMidiInvalidClient = -10830;
constexpr MidiStatus kMidiInvalidPort = -10831;
constexpr MidiStatus kMidiWrongEndpointType = -10832;
constexpr MidiStatus kMidiNoConnection = -10833;
constexpr MidiStatus kMidiUnknownEndpoint = -10834;
constexpr MidiStatus kMidiUnknownProperty = -10835;
constexpr MidiStatus kMidiMessageSendErr = -10837;
constexpr MidiStatus kMidiServerStartErr = -10839;
constexpr MidiStatus kMidiIdNotUnique = -10843;
constexpr MidiStatus kMidiNotPermitted = -10844;
/// A send of more bytes than `kMidiMaxSendSize`.
constexpr MidiStatus kMidiMessageTooLarge = -10850;

/// The largest number of bytes one send may carry (all packets together).
constexpr size_t kMidiMaxSendSize = 65535;

/// A short description of a status, for error reports.
std::string midiStatusDescription(MidiStatus status);

/// The length of the message a status byte starts (1 to 3), 0 for SysEx (F0:
/// open-ended) and for data bytes.
size_t midiMessageLength(uint8_t status);

/// One packet: a time stamp in host ticks (0: now) and the bytes of one or more
/// whole messages, or a piece of a SysEx message. The bytes are borrowed: valid
/// only during the call that hands the packet over.
struct MidiPacket {
    uint64_t timeStamp = 0;
    std::span<const uint8_t> bytes;
};

/// Packets in order. Borrowed like the packets in it.
using MidiPacketList = std::span<const MidiPacket>;

/// Message ids of client notifications.
constexpr int32_t kMidiMsgSetupChanged = 1;
constexpr int32_t kMidiMsgObjectAdded = 2;
constexpr int32_t kMidiMsgObjectRemoved = 3;
/// Object types of an added or removed child.
constexpr int32_t kMidiObjectTypeSource = 2;
constexpr int32_t kMidiObjectTypeDestination = 3;

struct MidiNotification {
    int32_t messageId = 0;
    MidiEndpointRef child = 0;
    int32_t childType = 0;
};

/// Told of endpoints that come and go. Called on any thread; the receiver moves
/// the work to its own thread.
using MidiNotifyHandler = std::function<void(const MidiNotification&)>;

/// Called on the backend's MIDI read thread with the packets received from one
/// connected source (or sent to one virtual destination). Calls for one
/// connection never overlap. The thread may be real-time (under JACK it is JACK's
/// process thread; the backend marks it so): must not allocate, lock, wait or log.
using MidiReadHandler = std::function<void(MidiPacketList)>;

/// The platform's MIDI services. Every function is safe from any thread.
/// Failures are answered as statuses; nothing throws.
class MidiBackend {
public:
    virtual ~MidiBackend() = default;

    /// True when a MIDI system (ALSA sequencer, JACK) is there. Without one the
    /// backend still answers every call, has no system endpoints and sends nowhere.
    virtual bool available() const = 0;
    /// "ALSA", "JACK", "loopback" or "none".
    virtual std::string systemName() const = 0;

    virtual MidiStatus createClient(const std::string& name, MidiNotifyHandler notify, MidiClientRef& client) = 0;
    virtual MidiStatus disposeClient(MidiClientRef client) = 0;
    virtual MidiStatus createOutputPort(MidiClientRef client, const std::string& name, MidiPortRef& port) = 0;
    virtual MidiStatus createInputPort(MidiClientRef client, const std::string& name, MidiPortRef& port) = 0;
    virtual MidiStatus disposePort(MidiPortRef port) = 0;

    /// The system's sources and destinations now, in the system's order. Other
    /// programs' virtual endpoints are among them, and so are ours.
    virtual std::vector<MidiEndpointRef> sources() = 0;
    virtual std::vector<MidiEndpointRef> destinations() = 0;
    /// The display name, or none when it cannot be read.
    virtual std::optional<std::string> endpointName(MidiEndpointRef endpoint) = 0;
    /// True for an endpoint of a network session (never here: there is none).
    virtual bool isNetworkSession(MidiEndpointRef endpoint) = 0;

    /// Starts delivering `source`'s packets to `read`. After `disconnectSource`
    /// returns, `read` is never called again for it and no call is under way.
    virtual MidiStatus connectSource(MidiPortRef inputPort, MidiEndpointRef source, MidiReadHandler read) = 0;
    virtual MidiStatus disconnectSource(MidiPortRef inputPort, MidiEndpointRef source) = 0;

    /// Sends `packets` to `destination`: a packet with time stamp 0 or one already
    /// due goes at once, later ones at their time. More than `kMidiMaxSendSize`
    /// bytes in all is refused with `kMidiMessageTooLarge`.
    virtual MidiStatus send(MidiPortRef outputPort, MidiEndpointRef destination, MidiPacketList packets) = 0;
    /// Drops what is scheduled for `destination` (every destination when 0).
    virtual MidiStatus flushOutput(MidiEndpointRef destination) = 0;

    /// Publishes a source / destination of our own that other programs see.
    virtual MidiStatus createVirtualSource(MidiClientRef client, const std::string& name,
                                           MidiEndpointRef& endpoint) = 0;
    virtual MidiStatus createVirtualDestination(MidiClientRef client, const std::string& name, MidiReadHandler read,
                                                MidiEndpointRef& endpoint) = 0;
    virtual MidiStatus disposeEndpoint(MidiEndpointRef endpoint) = 0;
    /// Publishes `packets` as the output of our virtual source (timed like `send`).
    virtual MidiStatus received(MidiEndpointRef virtualSource, MidiPacketList packets) = 0;

    /// The endpoint's unique identifier, and setting it (`kMidiIdNotUnique` when
    /// another endpoint has it).
    virtual MidiStatus uniqueId(MidiEndpointRef endpoint, int32_t& id) = 0;
    virtual MidiStatus setUniqueId(MidiEndpointRef endpoint, int32_t id) = 0;

    /// The network MIDI session switch. There is no network session here: the
    /// switch is remembered and does nothing else.
    virtual bool networkSessionEnabled() const = 0;
    virtual void setNetworkSessionEnabled(bool enabled, int32_t connectionPolicy) = 0;
};

}  // namespace strombel::platform
