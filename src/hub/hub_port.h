#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/key_value_observing.h"

namespace strombel::platform {
class AudioDevice;
class JackOpener;
class MainLoop;
}  // namespace strombel::platform

namespace strombel::hub {

class BusLocalEndpoint;
class HubController;
class HubImage;
class HubPeer;
class HubPeerResourceHost;
class HubVariableTrigger;
class JackSenderOutput;
struct JackSenderOutputOptions;

/// A four-character code as the hub protocol writes it ('auri' is 0x61757269).
constexpr uint32_t fourCharCode(const char (&code)[5]) {
    return (uint32_t(uint8_t(code[0])) << 24) | (uint32_t(uint8_t(code[1])) << 16) |
           (uint32_t(uint8_t(code[2])) << 8) | uint32_t(uint8_t(code[3]));
}

/// The five fields by which a hosting application finds an audio component.
struct AudioComponentDescription {
    uint32_t componentType = 0;
    uint32_t componentSubType = 0;
    uint32_t componentManufacturer = 0;
    uint32_t componentFlags = 0;
    uint32_t componentFlagsMask = 0;

    bool operator==(const AudioComponentDescription&) const = default;
};

/// The output a sender port publishes: the engine's audio device, whose rendered
/// buffers the port taps.
using AudioUnitHandle = platform::AudioDevice*;

/// A version text as a number that orders releases: "2.1" is 2.01, and a beta
/// ranks below its release ("2.1b1" < "2.1").
double HubVersionNumberFromString(std::string_view version);

/// An audio port of the hub session: receiver, filter or sender; this
/// application's own ports and the ports other peers publish in their metadata.
/// Main thread. Observable keys: "attributes", "title", "icon", "latency",
/// "sources", "destinations", "connected", "bypassed".
class HubPort : public platform::KeyValueObservable {
public:
    enum Type : int32_t { Receiver = 0, Filter = 1, Sender = 2 };

    /// The fixed part of the port record this application writes.
    static constexpr uint8_t kRecordHeaderLength = 29;

    HubPort(Type type, std::string name, std::string title);
    ~HubPort() override;

    /// A port of `peer` read from its record, or none (logged) when the record
    /// cannot be read.
    static std::shared_ptr<HubPort> portWithPeer(const std::shared_ptr<HubPeer>& peer,
                                                 const std::vector<uint8_t>& record, int32_t type);
    /// A placeholder for a port the hub's graph names before the metadata does.
    static std::shared_ptr<HubPort> standinPortWithPeer(const std::shared_ptr<HubPeer>& peer, int32_t type);
    /// The name in a record: n UTF-8 bytes at R; none when the record is shorter
    /// than 2 bytes or R + n runs past it.
    static std::optional<std::string> portNameFromDataRepresentation(const std::vector<uint8_t>& record);
    /// The component description of a record of at least 21 bytes whose header
    /// length is at least 21; all zero otherwise.
    static AudioComponentDescription portAudioComponentDescriptionFromDataRepresentation(
        const std::vector<uint8_t>& record);

    /// Takes the record's name, title, icon identifier, attribute bits and, as its
    /// header length allows, component description and latency; the type stays.
    /// False, with the port unchanged, when the record is short or its texts do
    /// not fit.
    bool loadFromDataRepresentation(const std::vector<uint8_t>& record);
    /// The record as published in the metadata; registers the icon with `host`.
    std::vector<uint8_t> dataRepresentationWithResourceHost(HubPeerResourceHost* host) const;

    int32_t type() const { return type_; }
    void setType(int32_t type) { type_ = type; }
    const std::string& name() const { return name_; }
    const std::string& title() const { return title_; }
    void setTitle(std::string title);
    bool isNamed() const { return !name_.empty(); }
    bool isStandin() const { return standin_; }

    const std::shared_ptr<HubImage>& icon() const { return icon_; }
    /// The old icon is handed to "icon" observers through `previousIcon()`.
    void setIcon(std::shared_ptr<HubImage> icon);
    const std::shared_ptr<HubImage>& previousIcon() const { return previousIcon_; }
    uint32_t iconID() const { return iconID_; }

    uint32_t numericIdentifier() const { return numericIdentifier_; }
    void setNumericIdentifier(uint32_t identifier) { numericIdentifier_ = identifier; }
    uint8_t attributes() const { return attributes_; }
    /// Tells "attributes" observers; `previousAttributes()` holds the old bits.
    void setAttributes(uint8_t attributes);
    uint8_t previousAttributes() const { return previousAttributes_; }
    double latency() const { return latency_; }
    void setLatency(double latency);

    const AudioComponentDescription& audioComponentDescription() const { return description_; }
    /// Changes the description; no notice when it stays the same.
    void setAudioComponentDescription(const AudioComponentDescription& description);

    std::shared_ptr<HubPeer> peer() const { return peer_.lock(); }
    void setPeer(const std::shared_ptr<HubPeer>& peer) { peer_ = peer; }
    double lastStateUpdate() const { return lastStateUpdate_; }
    void setLastStateUpdate(double mediaTime) { lastStateUpdate_ = mediaTime; }

    /// Set by the controller on the ports it registers.
    void setEndpoint(BusLocalEndpoint* endpoint) { endpoint_ = endpoint; }
    BusLocalEndpoint* endpoint() const { return endpoint_; }
    virtual void setHubController(HubController* controller) { controller_ = controller; }
    HubController* hubController() const { return controller_; }
    /// The remote ends of the port's links in the hub's connection graph; tells
    /// "sources", "destinations" and, when it changes, "connected" observers.
    void setConnections(std::vector<std::shared_ptr<HubPort>> sources,
                        std::vector<std::shared_ptr<HubPort>> destinations);

    /// Remote ports feeding this one (receivers, filters) and fed by it
    /// (senders, filters), from the graph.
    const std::vector<std::shared_ptr<HubPort>>& sources() const { return sources_; }
    const std::vector<std::shared_ptr<HubPort>>& destinations() const { return destinations_; }

    /// Connected through the hub's session: the graph gives this port a link.
    bool hubConnected() const;
    /// Connected by the platform's inter-app audio (JACK for the sender port).
    virtual bool interAppAudioConnected() const { return false; }
    bool connected() const { return hubConnected() || interAppAudioConnected(); }

protected:
    /// Tells "connected" observers when `connected()` differs from the last told.
    void reportConnectionChange();

private:
    friend class HubSenderPort;
    int32_t type_;
    // Beside the type: reading the hub's graph looks at both.
    uint32_t numericIdentifier_ = 0;
    std::string name_;
    std::string title_;
    bool standin_ = false;
    std::shared_ptr<HubImage> icon_;
    std::shared_ptr<HubImage> previousIcon_;
    uint32_t iconID_ = 0;
    uint8_t attributes_ = 0;
    uint8_t previousAttributes_ = 0;
    double latency_ = 0;
    AudioComponentDescription description_;
    std::weak_ptr<HubPeer> peer_;
    double lastStateUpdate_ = 0;
    BusLocalEndpoint* endpoint_ = nullptr;
    HubController* controller_ = nullptr;
    std::vector<std::shared_ptr<HubPort>> sources_;
    std::vector<std::shared_ptr<HubPort>> destinations_;
    bool lastToldConnected_ = false;
};

/// The port that publishes the audio an output device of this application
/// renders: on JACK, a client named after the endpoint whose output ports
/// "<name> L" and "<name> R" carry the device's output at the port's volume.
class HubSenderPort : public HubPort, public std::enable_shared_from_this<HubSenderPort> {
public:
    HubSenderPort(std::string name, std::string title, const AudioComponentDescription& description,
                  AudioUnitHandle audioUnit, bool hubOnly = false);
    ~HubSenderPort() override;

    AudioUnitHandle audioUnit() const { return audioUnit_; }
    bool hubOnly() const { return hubOnly_; }

    /// Opens the JACK client named `clientName` on `opener`'s thread (where it is
    /// closed too) and, once it is open, starts tapping the audio unit on `loop`, which receives
    /// JACK's connection reports. Without a JACK server the port stays
    /// unpublished (warned once per process) until one runs: the port looks for
    /// it every `kServerWatchInterval` on `loop`'s clock (never starting one),
    /// and so again once a server it was published on goes away. Main thread.
    void startPublishing(const std::string& clientName, platform::MainLoop& loop, platform::JackOpener& opener);
    void stopPublishing();
    bool publishing() const { return output_ != nullptr; }
    /// The server went away and the port waits for it.
    bool waitingForServer() const { return serverWatch_ != 0; }
    static constexpr uint64_t kServerWatchInterval = 2'000'000'000;
    /// The JACK side, while publishing (tests read its counters).
    JackSenderOutput* output() const { return output_.get(); }

    /// The level the port publishes at: finite values only, clamped to 0..1.
    float volume() const { return volume_->load(std::memory_order_relaxed); }
    void setVolume(float volume);

    /// The port's volume control, made on first request: "<name> Volume", 0 to 1,
    /// value 1; its action sets the volume. The controller numbers it.
    std::shared_ptr<HubVariableTrigger> volumeTrigger();

    bool interAppAudioConnected() const override { return interAppAudioConnected_; }
    /// JACK's report, on the main loop: some JACK port is connected to ours.
    void setInterAppAudioConnected(bool connected);

    void setSharingAudioUnitWithConnectedPort(bool sharing) { sharingAudioUnit_ = sharing; }
    void setAppHasActiveReceiverPort(bool active) { appHasActiveReceiverPort_ = active; }
    void setAppHasActiveSenderOrFilterPort(bool active) { appHasActiveSenderOrFilterPort_ = active; }

private:
    AudioUnitHandle audioUnit_;
    bool hubOnly_;
    // Shared with the JACK side, whose thread may read it after the port went.
    std::shared_ptr<std::atomic<float>> volume_ = std::make_shared<std::atomic<float>>(1.0f);
    std::shared_ptr<HubVariableTrigger> volumeTrigger_;
    /// What opens the JACK side (false without a server), on any thread.
    JackSenderOutputOptions outputOptions(bool quiet);
    /// Publishes through `output`, opened just now.
    void takeOutput(std::unique_ptr<JackSenderOutput> output);
    void serverGone();
    /// Looks for the server every watch interval until the port is published.
    void watchForServer();
    /// One look, on the opener's thread (`again`: a look after the first, said
    /// only when it finds the server).
    void lookForServer(bool again);
    /// A try under way on the opener's thread, and the output it opened until
    /// the port takes it or lets it go.
    struct Opening;

    std::unique_ptr<JackSenderOutput> output_;
    std::string clientName_;
    platform::MainLoop* loop_ = nullptr;
    platform::JackOpener* opener_ = nullptr;
    platform::MainLoop::TimerId serverWatch_ = 0;
    platform::MainLoop::TimerId lossCheck_ = 0;  // while published
    std::shared_ptr<Opening> opening_;  // while a try runs on the JACK opener's thread
    bool interAppAudioConnected_ = false;
    bool sharingAudioUnit_ = false;
    bool appHasActiveReceiverPort_ = false;
    bool appHasActiveSenderOrFilterPort_ = false;
};

/// A port that processes audio between a source and a destination.
class HubFilterPort : public HubPort {
public:
    HubFilterPort(std::string name, std::string title) : HubPort(Filter, std::move(name), std::move(title)) {}
    bool bypassed() const { return bypassed_; }
    /// Tells "bypassed" observers.
    void setBypassed(bool bypassed);

private:
    bool bypassed_ = false;
};

}  // namespace strombel::hub
