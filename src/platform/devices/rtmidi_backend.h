#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "platform/clock.h"
#include "platform/devices/midi_backend.h"

namespace strombel::platform {

class JackOpener;

/// The real MIDI backend on RtMidi: the ALSA sequencer where there is one, JACK
/// MIDI otherwise, and no system at all when neither is there (every call still
/// answers; there are simply no endpoints). RtMidi sends at once, so timed sends
/// wait in a MidiSendScheduler thread of ours and go out at their time.
///
/// RtMidi offers no notifications of devices coming and going; the endpoint lists
/// are read afresh on every `sources()`/`destinations()` call, which the MIDI
/// wrapper's rescan does every second. Our own ports (named after the client) are
/// left out of the lists. Endpoint references are handed out per port name and
/// stay the same while the port is there.
class RtMidiBackend final : public MidiBackend {
public:
    enum class System { alsa, jack, none };

    /// The ALSA sequencer if it opens, else JACK (whose server may come later).
    /// JACK's clients open and close on `opener`.
    static std::unique_ptr<RtMidiBackend> open(Clock& clock, JackOpener& opener);
    /// True when a JACK server answers (it is never started for us).
    static bool jackServerRunning();
    /// True when RtMidi of this version (as `RtMidi::getVersion()` gives it) keeps
    /// its JACK client where we reach for it to close ports in order.
    static bool knowsJackLayoutOf(std::string_view version);

    RtMidiBackend(System system, Clock& clock, JackOpener& opener);
    ~RtMidiBackend() override;
    RtMidiBackend(const RtMidiBackend&) = delete;
    RtMidiBackend& operator=(const RtMidiBackend&) = delete;

    System system() const { return system_; }
    /// The last error RtMidi reported, for the log.
    std::string lastError() const;

    /// The ALSA sequencer, or a JACK server that answers now.
    bool available() const override;
    std::string systemName() const override;
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
    struct Impl;
    const System system_;
    // Shared with a reconnection under way on the JACK opener's thread.
    std::shared_ptr<Impl> impl_;
};

}  // namespace strombel::platform
