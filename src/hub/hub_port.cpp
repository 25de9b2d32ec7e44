#include "hub/hub_port.h"

#include <cmath>
#include <cstdlib>
#include <mutex>
#include <utility>

#include "hub/bus_log.h"
#include "hub/bus_message.h"
#include "hub/hub_peer.h"
#include "hub/hub_peer_resource.h"
#include "hub/hub_record.h"
#include "hub/hub_trigger.h"
#include "hub/jack_sender_output.h"
#include "platform/devices/jack_opener.h"
#include "logging/log.h"
#include "platform/utf8_cut.h"

namespace strombel::hub {

double HubVersionNumberFromString(std::string_view version) {
    const size_t beta = version.find('b');
    std::string_view release = version.substr(0, beta);
    double number = 0;
    double scale = 1;
    int components = 0;
    for (size_t start = 0;;) {
        const size_t dot = release.find('.', start);
        number += std::atoi(std::string(release.substr(start, dot - start)).c_str()) * scale;
        scale /= 100;
        ++components;
        if (dot == std::string_view::npos) break;
        start = dot + 1;
    }
    if (beta != std::string_view::npos) {
        const int betaNumber = std::atoi(std::string(version.substr(beta + 1)).c_str());
        number += (betaNumber * 0.001 - 1) * std::pow(100.0, -components);
    }
    return number;
}

HubPort::HubPort(Type type, std::string name, std::string title)
    : type_(type), name_(std::move(name)), title_(std::move(title)) {
    if (!name_.empty()) numericIdentifier_ = portIdentifierFromName(name_);
}

HubPort::~HubPort() = default;

std::shared_ptr<HubPort> HubPort::portWithPeer(const std::shared_ptr<HubPeer>& peer,
                                               const std::vector<uint8_t>& record, int32_t type) {
    auto port = std::make_shared<HubPort>(static_cast<Type>(type), "", "");
    port->type_ = type;
    port->peer_ = peer;
    if (!port->loadFromDataRepresentation(record)) {
        busLog("Unable to parse HubPort data representation from peer {}", peer ? peer->description() : std::string("(none)"));
        return nullptr;
    }
    return port;
}

std::shared_ptr<HubPort> HubPort::standinPortWithPeer(const std::shared_ptr<HubPeer>& peer, int32_t type) {
    auto port = std::make_shared<HubPort>(static_cast<Type>(type), "", "");
    port->type_ = type;
    port->peer_ = peer;
    port->standin_ = true;
    return port;
}

std::optional<std::string> HubPort::portNameFromDataRepresentation(const std::vector<uint8_t>& record) {
    if (record.size() < 2) return std::nullopt;
    const size_t header = record[0], length = record[1];
    if (header + length > record.size()) return std::nullopt;
    return decodeUtf8Lossy({reinterpret_cast<const char*>(record.data()) + header, length});
}

AudioComponentDescription HubPort::portAudioComponentDescriptionFromDataRepresentation(
    const std::vector<uint8_t>& record) {
    AudioComponentDescription description;
    if (record.size() < 21 || record[0] < 21) return description;
    description.componentManufacturer = readU32(record.data() + 9);
    description.componentType = readU32(record.data() + 13);
    description.componentSubType = readU32(record.data() + 17);
    return description;
}

bool HubPort::loadFromDataRepresentation(const std::vector<uint8_t>& record) {
    if (record.size() < 4) return false;
    const size_t header = record[0], nameLength = record[1], titleLength = record[2];
    if (header < 4 || header + nameLength + titleLength > record.size()) return false;
    const char* text = reinterpret_cast<const char*>(record.data());
    std::string name = decodeUtf8Lossy({text + header, nameLength});
    std::string title = decodeUtf8Lossy({text + header + nameLength, titleLength});
    standin_ = false;
    if (name != name_) {
        name_ = std::move(name);
        numericIdentifier_ = portIdentifierFromName(name_);
    }
    if (title != title_) setTitle(std::move(title));
    iconID_ = header >= 8 ? readU32(record.data() + 4) : 0;
    if (record[3] != attributes_) setAttributes(record[3]);
    if (header >= 21) setAudioComponentDescription(portAudioComponentDescriptionFromDataRepresentation(record));
    if (header >= 29) {
        const double latency = readF64BigEndian(record.data() + 21);
        if (std::isfinite(latency) && latency != latency_) setLatency(latency);
    }
    return true;
}

std::vector<uint8_t> HubPort::dataRepresentationWithResourceHost(HubPeerResourceHost* host) const {
    const std::string_view name = platform::cutAtCharacter(name_, 255);
    const std::string_view title = platform::cutAtCharacter(title_, 255);
    std::vector<uint8_t> record(kRecordHeaderLength + name.size() + title.size(), 0);
    record[0] = kRecordHeaderLength;
    record[1] = uint8_t(name.size());
    record[2] = uint8_t(title.size());
    record[3] = attributes_;
    writeU32(record.data() + 4, icon_ && host ? host->addImageResource(*icon_) : 0);
    writeU32(record.data() + 9, description_.componentManufacturer);
    writeU32(record.data() + 13, description_.componentType);
    writeU32(record.data() + 17, description_.componentSubType);
    writeF64BigEndian(record.data() + 21, latency_);
    std::copy(name.begin(), name.end(), record.begin() + kRecordHeaderLength);
    std::copy(title.begin(), title.end(), record.begin() + kRecordHeaderLength + long(name.size()));
    return record;
}

void HubPort::setTitle(std::string title) {
    title_ = std::move(title);
    didChangeValueForKey("title");
}

void HubPort::setIcon(std::shared_ptr<HubImage> icon) {
    previousIcon_ = std::exchange(icon_, std::move(icon));
    didChangeValueForKey("icon");
    previousIcon_.reset();
}

void HubPort::setAttributes(uint8_t attributes) {
    previousAttributes_ = std::exchange(attributes_, attributes);
    didChangeValueForKey("attributes");
}

void HubPort::setLatency(double latency) {
    latency_ = latency;
    didChangeValueForKey("latency");
}

void HubPort::setAudioComponentDescription(const AudioComponentDescription& description) {
    if (description == description_) return;
    description_ = description;
    didChangeValueForKey("audioComponentDescription");
}

void HubPort::setConnections(std::vector<std::shared_ptr<HubPort>> sources,
                             std::vector<std::shared_ptr<HubPort>> destinations) {
    const bool sourcesChanged = sources != sources_, destinationsChanged = destinations != destinations_;
    sources_ = std::move(sources);
    destinations_ = std::move(destinations);
    if (sourcesChanged) didChangeValueForKey("sources");
    if (destinationsChanged) didChangeValueForKey("destinations");
    reportConnectionChange();
}

bool HubPort::hubConnected() const {
    switch (type_) {
        case Receiver: return !sources_.empty();
        case Sender: return !destinations_.empty();
        default: return !sources_.empty() || !destinations_.empty();
    }
}

void HubPort::reportConnectionChange() {
    const bool now = connected();
    if (now == lastToldConnected_) return;
    lastToldConnected_ = now;
    didChangeValueForKey("connected");
}

void HubFilterPort::setBypassed(bool bypassed) {
    bypassed_ = bypassed;
    didChangeValueForKey("bypassed");
}

HubSenderPort::HubSenderPort(std::string name, std::string title, const AudioComponentDescription& description,
                             AudioUnitHandle audioUnit, bool hubOnly)
    : HubPort(Sender, std::move(name), std::move(title)), audioUnit_(audioUnit), hubOnly_(hubOnly) {
    setAudioComponentDescription(description);
}

struct HubSenderPort::Opening {
    std::mutex mutex;
    platform::OpenerOwned<JackSenderOutput> output;  // let go on the opener when nobody took it

    void keep(platform::OpenerOwned<JackSenderOutput> opened) {
        std::lock_guard lock(mutex);
        output = std::move(opened);
    }
    /// What the try opened, to the first who asks.
    std::unique_ptr<JackSenderOutput> take() {
        std::lock_guard lock(mutex);
        return std::unique_ptr<JackSenderOutput>(output.release());
    }
};

HubSenderPort::~HubSenderPort() { stopPublishing(); }

void HubSenderPort::startPublishing(const std::string& clientName, platform::MainLoop& loop,
                                    platform::JackOpener& opener) {
    if (output_ || !audioUnit_ || hubOnly_) return;
    clientName_ = clientName;
    loop_ = &loop;
    opener_ = &opener;
    // Opened on the opener's thread, now and at every later look: the server
    // may keep the open waiting, never the caller.
    watchForServer();
    lookForServer(false);
}

JackSenderOutputOptions HubSenderPort::outputOptions(bool quiet) {
    JackSenderOutput::Options options;
    options.clientName = clientName_;
    options.portName = name();
    options.title = title();
    options.device = audioUnit_;
    options.volume = volume_.get();
    options.volumeOwner = volume_;
    options.loop = loop_;
    options.quiet = quiet;
    std::weak_ptr<HubSenderPort> weak = weak_from_this();
    options.connectionChanged = [weak](bool connected) {
        if (auto port = weak.lock()) port->setInterAppAudioConnected(connected);
    };
    options.serverGone = [weak] {
        if (auto port = weak.lock()) port->serverGone();
    };
    return options;
}

void HubSenderPort::takeOutput(std::unique_ptr<JackSenderOutput> output) {
    output_ = std::move(output);
    output_->startTapping();
    // The server's notice of its end does not always reach this client: the
    // losses other clients of the process heard of count too.
    if (!lossCheck_ && loop_) {
        std::weak_ptr<HubSenderPort> weak = weak_from_this();
        lossCheck_ = loop_->scheduleRepeating(kServerWatchInterval, [weak] {
            if (auto port = weak.lock()) port->serverGone();
        });
    }
}

void HubSenderPort::serverGone() {
    if (!output_ || !output_->serverGone() || !loop_) return;
    STROMBEL_LOG_WARN("The JACK server went away: \"{}\" is published again when it is back", name());
    JackSenderOutput::abandon(std::move(output_));  // leaves the client alone
    setInterAppAudioConnected(false);
    watchForServer();
}

void HubSenderPort::watchForServer() {
    if (serverWatch_ || !loop_) return;
    std::weak_ptr<HubSenderPort> weak = weak_from_this();
    serverWatch_ = loop_->scheduleRepeating(kServerWatchInterval, [weak] {
        if (auto port = weak.lock()) port->lookForServer(true);
    });
}

void HubSenderPort::lookForServer(bool again) {
    if (opening_ || output_ || !loop_) return;
    // The server may keep the open waiting for a long time: never on the
    // main thread. The opening owns its options; the port is reached weakly.
    // What it opened and nobody took is closed on the opener's thread too.
    std::weak_ptr<HubSenderPort> weak = weak_from_this();
    auto opening = std::make_shared<Opening>();
    const bool queued =
        opener_->run(*loop_, [weak, again, options = outputOptions(again), opener = opener_, opening] {
            opening->keep(platform::openerOwned(*opener, JackSenderOutput::open(options)));
            return [weak, again, opener, opening] {
                auto port = weak.lock();
                if (port && port->opening_ == opening) port->opening_.reset();
                std::unique_ptr<JackSenderOutput> opened = opening->take();
                if (!port || !opened || port->output_ || !port->serverWatch_) {
                    JackSenderOutput::close(*opener, std::move(opened));  // nobody publishes through it
                    return;
                }
                port->loop_->cancel(port->serverWatch_);
                port->serverWatch_ = 0;
                port->takeOutput(std::move(opened));
                if (again) STROMBEL_LOG_WARN("A JACK server runs: \"{}\" is published on it", port->name());
            };
        });
    if (queued) opening_ = std::move(opening);
}

void HubSenderPort::stopPublishing() {
    if (serverWatch_ && loop_) loop_->cancel(serverWatch_);
    serverWatch_ = 0;
    if (lossCheck_ && loop_) loop_->cancel(lossCheck_);
    lossCheck_ = 0;
    // Closed on the opener's thread, or kept for good when its server went (and
    // was not yet heard of): its left-alone client's thread may still call it.
    if (output_) JackSenderOutput::close(*opener_, std::move(output_));
    // A try still under way: what it opens is closed on the opener's thread
    // right after it, before a later try opens a client of the same name (the
    // server would name that one apart, where no hub looks for it).
    if (opening_) {
        opener_->close([opening = std::move(opening_), loop = loop_] {
            std::unique_ptr<JackSenderOutput> opened = opening->take();
            if (!opened || !opened->serverGone()) return;  // closed here, on the opener's thread
            // A client whose server went is left alone, as the main loop does it.
            auto gone = std::make_shared<std::unique_ptr<JackSenderOutput>>(std::move(opened));
            if (!platform::MainLoop::postIfAlive(loop, [gone] { JackSenderOutput::abandon(std::move(*gone)); }))
                platform::detail::leaveAloneForGood(gone->release());
        });
        opening_.reset();
    }
    interAppAudioConnected_ = false;
}

void HubSenderPort::setVolume(float volume) {
    if (!std::isfinite(volume)) return;
    volume_->store(std::clamp(volume, 0.0f, 1.0f), std::memory_order_relaxed);
}

std::shared_ptr<HubVariableTrigger> HubSenderPort::volumeTrigger() {
    if (volumeTrigger_) return volumeTrigger_;
    std::weak_ptr<HubSenderPort> weak = weak_from_this();
    volumeTrigger_ = HubVariableTrigger::variableTriggerWithTitle(
        name() + " Volume",
        [weak](HubTrigger& trigger, const HubTrigger::PortSet&) {
            if (auto port = weak.lock()) port->setVolume(static_cast<HubVariableTrigger&>(trigger).value());
        },
        platform::NotificationCenter::shared());
    volumeTrigger_->setMinimumValue(0);
    volumeTrigger_->setMaximumValue(1);
    volumeTrigger_->setValue(1);
    return volumeTrigger_;
}

void HubSenderPort::setInterAppAudioConnected(bool connected) {
    if (connected == interAppAudioConnected_) return;
    interAppAudioConnected_ = connected;
    reportConnectionChange();
}

}  // namespace strombel::hub
