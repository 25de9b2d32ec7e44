#include "midi/midi_system.h"

#include <algorithm>
#include <utility>

#include "logging/log.h"

namespace strombel::midi {
namespace {

// The source whose delegates the calling thread is delivering to, if any: a
// delegate that removes itself during delivery must not wait for itself.
thread_local const MidiSource* readingSource = nullptr;

}  // namespace

// --- MidiConnection ---

MidiConnection::MidiConnection(MidiSystem& midi, MidiEndpointRef endpoint) : midi_(midi), endpoint_(endpoint) {
    std::optional<std::string> name = midi.backend().endpointName(endpoint);
    name_ = std::make_shared<const std::string>(name ? *name : std::string("Unknown name"));
    isNetworkSession_ = midi.backend().isNetworkSession(endpoint);
}

// --- MidiSource ---

void MidiSource::addDelegate(MidiSourceDelegate* delegate) {
    std::lock_guard lock(changeMutex_);
    std::shared_ptr<const Delegates> current = delegates_.current();
    if (std::find(current->begin(), current->end(), delegate) != current->end()) return;
    auto next = std::make_shared<Delegates>(*current);
    next->push_back(delegate);
    delegates_.publish(std::move(next));
}

void MidiSource::removeDelegate(MidiSourceDelegate* delegate) {
    std::lock_guard lock(changeMutex_);
    std::shared_ptr<const Delegates> current = delegates_.current();
    if (std::find(current->begin(), current->end(), delegate) == current->end()) return;
    auto next = std::make_shared<Delegates>(*current);
    std::erase(*next, delegate);
    if (readingSource == this) {
        // A delegate leaving during this source's own delivery: it hears nothing
        // more from the next read on; waiting here would wait for itself.
        delegates_.publishWithoutWaiting(std::move(next));
    } else {
        // Reads that began before the change may still hold the old list: publish
        // waits them out.
        delegates_.publish(std::move(next));
    }
}

std::shared_ptr<const MidiSource::Delegates> MidiSource::delegates() const { return delegates_.current(); }

void MidiSource::setDelegates(std::shared_ptr<const Delegates> delegates) {
    std::lock_guard lock(changeMutex_);
    delegates_.publish(delegates ? std::move(delegates) : std::make_shared<const Delegates>());
}

void MidiSource::midiRead(MidiPacketList packets) {
    const MidiSource* outer = readingSource;
    readingSource = this;
    {
        auto list = delegates_.read();
        for (MidiSourceDelegate* delegate : *list) delegate->midiReceived(*this, packets);
    }
    readingSource = outer;
}

// --- MidiDestination ---

void MidiDestination::flushOutput() { midi().backend().flushOutput(endpoint()); }

MidiStatus MidiDestination::sendBytes(const uint8_t* bytes, uint32_t size) {
    if (size > MidiSystem::kMaxMessageSize) {
        MidiSystem::reportError("Sending MIDI", platform::kMidiMessageTooLarge);
        return platform::kMidiMessageTooLarge;
    }
    platform::MidiPacket packet{0, std::span<const uint8_t>(bytes, size)};
    return sendPacketList(MidiPacketList(&packet, 1));
}

MidiStatus MidiDestination::sendPacketList(MidiPacketList packets) {
    MidiStatus status = midi().backend().send(midi().outputPort(), endpoint(), packets);
    if (status != platform::kMidiNoError) MidiSystem::reportError("Sending MIDI", status);
    return status;
}

MidiStatus MidiVirtualSourceDestination::sendPacketList(MidiPacketList packets) {
    // Packets stamped 0 go now; the backend stamps them with the present host time.
    MidiStatus status = midi().backend().received(endpoint(), packets);
    if (status != platform::kMidiNoError) MidiSystem::reportError("Sending MIDI", status);
    return status;
}

// --- MidiSystem ---

void MidiSystem::reportError(const char* operation, MidiStatus status) {
    STROMBEL_LOG_ERROR("Error ({}): {}:{}", operation, status, platform::midiStatusDescription(status));
}

MidiSystem::MidiSystem(platform::MidiBackend& backend, platform::MainLoop& mainLoop,
                       platform::NotificationCenter& notificationCenter, platform::UserDefaults& defaults,
                       std::string bundleName)
    : backend_(backend),
      mainLoop_(mainLoop),
      notificationCenter_(notificationCenter),
      defaults_(defaults),
      bundleName_(std::move(bundleName)) {
    std::weak_ptr<int> alive = alive_;
    MidiStatus status = backend_.createClient(
        kClientName,
        [this, alive](const platform::MidiNotification& notification) {
            mainLoop_.post([this, alive, notification] {
                if (alive.lock()) midiNotify(notification);
            });
        },
        client_);
    if (status != platform::kMidiNoError) reportError("Create MIDI client", status);
    status = backend_.createOutputPort(client_, kOutputPortName, outputPort_);
    if (status != platform::kMidiNoError) reportError("Create output MIDI port", status);
    status = backend_.createInputPort(client_, kInputPortName, inputPort_);
    if (status != platform::kMidiNoError) reportError("Create input MIDI port", status);
    scanExistingDevices();
    rescanTimer_ = mainLoop_.scheduleRepeating(platform::kNanosPerSecond, [this, alive] {
        if (alive.lock()) scanExistingDevices();
    });
}

MidiSystem::~MidiSystem() {
    alive_.reset();
    delegate_ = nullptr;  // nobody is told of the closing down
    if (rescanTimer_) mainLoop_.cancel(rescanTimer_);
    rescanTimer_ = 0;
    if (outputPort_) {
        if (MidiStatus status = backend_.disposePort(outputPort_); status != platform::kMidiNoError) {
            reportError("Dispose MIDI port", status);
        }
    }
    if (inputPort_) {
        // Disposing the input port ends every connection: no read runs after this.
        if (MidiStatus status = backend_.disposePort(inputPort_); status != platform::kMidiNoError) {
            reportError("Dispose MIDI port", status);
        }
    }
    if (client_) {
        if (MidiStatus status = backend_.disposeClient(client_); status != platform::kMidiNoError) {
            reportError("Dispose MIDI client", status);
        }
    }
    virtualEndpointName_.reset();
    setVirtualSourceEnabled(false);
    setVirtualDestinationEnabled(false);
}

size_t MidiSystem::numberOfConnections() const {
    std::lock_guard lock(listMutex_);
    return sources_.size() + destinations_.size();
}

bool MidiSystem::networkEnabled() const { return backend_.networkSessionEnabled(); }

void MidiSystem::setNetworkEnabled(bool enabled) {
    backend_.setNetworkSessionEnabled(enabled, 2);  // anyone may connect
}

bool MidiSystem::virtualSourceEnabled() const { return virtualSourceDestination_ != nullptr; }

bool MidiSystem::virtualDestinationEnabled() const { return virtualDestinationSource() != nullptr; }

std::string MidiSystem::endpointNameForVirtual() const {
    return virtualEndpointName_ ? *virtualEndpointName_ : bundleName_;
}

void MidiSystem::post(const char* name, std::shared_ptr<MidiConnection> connection) {
    notificationCenter_.post(name, this, MidiNotificationUserInfo{{"connection", std::move(connection)}});
}

void MidiSystem::setVirtualSourceEnabled(bool enabled) {
    if (enabled == virtualSourceEnabled()) return;
    if (enabled) {
        MidiStatus status = backend_.createVirtualSource(client_, endpointNameForVirtual(), virtualSourceEndpoint_);
        if (status != platform::kMidiNoError) {
            reportError("Create MIDI virtual source", status);
            virtualSourceEndpoint_ = 0;
            return;
        }
        virtualSourceDestination_ = std::make_shared<MidiVirtualSourceDestination>(*this, virtualSourceEndpoint_);
        if (delegate_) delegate_->destinationAdded(*this, virtualSourceDestination_);
        post(kMidiDestinationAddedNotification, virtualSourceDestination_);
    } else {
        std::shared_ptr<MidiVirtualSourceDestination> leaving = std::move(virtualSourceDestination_);
        virtualSourceDestination_.reset();
        if (delegate_) delegate_->destinationRemoved(*this, leaving);
        post(kMidiDestinationRemovedNotification, leaving);
        if (MidiStatus status = backend_.disposeEndpoint(virtualSourceEndpoint_); status != platform::kMidiNoError) {
            reportError("Dispose MIDI virtual source", status);
        }
        virtualSourceEndpoint_ = 0;
    }
}

void MidiSystem::setVirtualDestinationEnabled(bool enabled) {
    if (enabled == virtualDestinationEnabled()) return;
    if (enabled) {
        // The handler keeps the slot; it reads the source without a lock or a
        // reference of its own, so the read thread never frees anything.
        std::shared_ptr<VirtualDestinationSlot> slot = virtualDestinationSlot_;
        MidiStatus status = backend_.createVirtualDestination(
            client_, endpointNameForVirtual(),
            [slot](MidiPacketList packets) {
                auto source = slot->source.read();
                if (*source) (*source)->midiRead(packets);
            },
            virtualDestinationEndpoint_);
        if (status != platform::kMidiNoError) {
            reportError("Create MIDI virtual destination", status);
            virtualDestinationEndpoint_ = 0;
            return;
        }
        const bool stored = defaults_.hasObject(kMidiSavedVirtualDestinationIdKey);
        const int64_t savedId = defaults_.integerForKey(kMidiSavedVirtualDestinationIdKey);
        MidiStatus setStatus = platform::kMidiNoError;
        if (savedId != 0) {
            setStatus = backend_.setUniqueId(virtualDestinationEndpoint_, static_cast<int32_t>(savedId));
        }
        if (!stored || savedId == 0 || setStatus == platform::kMidiIdNotUnique) {
            int32_t id = 0;
            if (MidiStatus idStatus = backend_.uniqueId(virtualDestinationEndpoint_, id);
                idStatus != platform::kMidiNoError) {
                reportError("Get MIDI virtual destination ID", idStatus);
            } else {
                defaults_.setInteger(kMidiSavedVirtualDestinationIdKey, id);
            }
        }
        auto source = std::make_shared<MidiSource>(*this, virtualDestinationEndpoint_);
        virtualDestinationSlot_->source.publish(std::make_shared<const std::shared_ptr<MidiSource>>(source));
        if (delegate_) delegate_->sourceAdded(*this, source);
        post(kMidiSourceAddedNotification, source);
    } else {
        std::shared_ptr<MidiSource> leaving = *virtualDestinationSlot_->source.current();
        virtualDestinationSlot_->source.publish(std::make_shared<const std::shared_ptr<MidiSource>>());
        if (delegate_) delegate_->sourceRemoved(*this, leaving);
        post(kMidiSourceRemovedNotification, leaving);
        if (MidiStatus status = backend_.disposeEndpoint(virtualDestinationEndpoint_);
            status != platform::kMidiNoError) {
            reportError("Dispose MIDI virtual destination", status);
        }
        virtualDestinationEndpoint_ = 0;
    }
}

std::shared_ptr<MidiSource> MidiSystem::getSource(MidiEndpointRef endpoint) const {
    std::lock_guard lock(listMutex_);
    for (const auto& source : sources_) {
        if (source->endpoint() == endpoint) return source;
    }
    return nullptr;
}

std::shared_ptr<MidiDestination> MidiSystem::getDestination(MidiEndpointRef endpoint) const {
    std::lock_guard lock(listMutex_);
    for (const auto& destination : destinations_) {
        if (destination->endpoint() == endpoint) return destination;
    }
    return nullptr;
}

void MidiSystem::connectSource(MidiEndpointRef endpoint) {
    // A source announced by a notification and found by the rescan is one source.
    if (getSource(endpoint)) return;
    auto source = std::make_shared<MidiSource>(*this, endpoint);
    {
        std::lock_guard lock(listMutex_);
        sources_.push_back(source);
    }
    if (delegate_) delegate_->sourceAdded(*this, source);
    post(kMidiSourceAddedNotification, source);
    // The connection holds the source object, so a read under way never outlives it.
    MidiStatus status = backend_.connectSource(inputPort_, endpoint,
                                               [source](MidiPacketList packets) { source->midiRead(packets); });
    if (status != platform::kMidiNoError) reportError("Connecting to MIDI source", status);
}

void MidiSystem::disconnectSource(MidiEndpointRef endpoint) {
    std::shared_ptr<MidiSource> source = getSource(endpoint);
    if (!source) return;
    if (MidiStatus status = backend_.disconnectSource(inputPort_, endpoint); status != platform::kMidiNoError) {
        reportError("Disconnecting from MIDI source", status);
    }
    {
        std::lock_guard lock(listMutex_);
        std::erase(sources_, source);
    }
    if (delegate_) delegate_->sourceRemoved(*this, source);
    post(kMidiSourceRemovedNotification, source);
}

void MidiSystem::connectDestination(MidiEndpointRef endpoint) {
    if (getDestination(endpoint)) return;
    auto destination = std::make_shared<MidiDestination>(*this, endpoint);
    {
        std::lock_guard lock(listMutex_);
        destinations_.push_back(destination);
    }
    if (delegate_) delegate_->destinationAdded(*this, destination);
    post(kMidiDestinationAddedNotification, destination);
}

void MidiSystem::disconnectDestination(MidiEndpointRef endpoint) {
    std::shared_ptr<MidiDestination> destination = getDestination(endpoint);
    if (!destination) return;
    {
        std::lock_guard lock(listMutex_);
        std::erase(destinations_, destination);
    }
    if (delegate_) delegate_->destinationRemoved(*this, destination);
    post(kMidiDestinationRemovedNotification, destination);
}

bool MidiSystem::isOwnVirtual(MidiEndpointRef endpoint) const {
    return endpoint != 0 && (endpoint == virtualSourceEndpoint_ || endpoint == virtualDestinationEndpoint_);
}

void MidiSystem::scanExistingDevices() {
    const std::vector<MidiEndpointRef> systemDestinations = backend_.destinations();
    const std::vector<MidiEndpointRef> systemSources = backend_.sources();
    std::vector<std::shared_ptr<MidiSource>> unseenSources = sources();
    Destinations unseenDestinations = destinations();

    for (MidiEndpointRef endpoint : systemDestinations) {
        if (endpoint == 0 || isOwnVirtual(endpoint)) continue;
        auto found = std::find_if(unseenDestinations.begin(), unseenDestinations.end(),
                                  [endpoint](const auto& d) { return d->endpoint() == endpoint; });
        if (found != unseenDestinations.end()) {
            unseenDestinations.erase(found);
        } else if (!getDestination(endpoint)) {
            connectDestination(endpoint);
        }
    }
    for (MidiEndpointRef endpoint : systemSources) {
        if (endpoint == 0 || isOwnVirtual(endpoint)) continue;
        auto found = std::find_if(unseenSources.begin(), unseenSources.end(),
                                  [endpoint](const auto& s) { return s->endpoint() == endpoint; });
        if (found != unseenSources.end()) {
            unseenSources.erase(found);
        } else if (!getSource(endpoint)) {
            connectSource(endpoint);
        }
    }
    for (const auto& destination : unseenDestinations) disconnectDestination(destination->endpoint());
    for (const auto& source : unseenSources) disconnectSource(source->endpoint());
    if (const bool available = backend_.available(); available != systemAvailable_) {
        systemAvailable_ = available;
        if (delegate_) delegate_->systemAvailabilityChanged(*this, available);
    }
}

void MidiSystem::midiNotify(const platform::MidiNotification& notification) {
    if (notification.messageId == platform::kMidiMsgObjectAdded) {
        midiNotifyAdd(notification);
    } else if (notification.messageId == platform::kMidiMsgObjectRemoved) {
        midiNotifyRemove(notification);
    }
}

void MidiSystem::midiNotifyAdd(const platform::MidiNotification& notification) {
    if (isOwnVirtual(notification.child)) return;
    if (notification.childType == platform::kMidiObjectTypeSource) {
        connectSource(notification.child);
    } else if (notification.childType == platform::kMidiObjectTypeDestination) {
        connectDestination(notification.child);
    }
}

void MidiSystem::midiNotifyRemove(const platform::MidiNotification& notification) {
    if (isOwnVirtual(notification.child)) return;
    if (notification.childType == platform::kMidiObjectTypeSource) {
        disconnectSource(notification.child);
    } else if (notification.childType == platform::kMidiObjectTypeDestination) {
        disconnectDestination(notification.child);
    }
}

MidiStatus MidiSystem::sendPacketList(MidiPacketList packets, const Destinations* destinations) {
    MidiStatus result = platform::kMidiNoError;
    if (destinations) {
        // Each object sends its own way: our virtual source publishes, the others
        // go through the output port to their endpoint.
        for (const auto& destination : *destinations) {
            if (!destination || destination->endpoint() == 0) continue;
            if (MidiStatus status = destination->sendPacketList(packets); status != platform::kMidiNoError) {
                result = status;
            }
        }
        return result;
    }
    for (MidiEndpointRef endpoint : backend_.destinations()) {
        if (endpoint == 0) continue;
        if (MidiStatus status = backend_.send(outputPort_, endpoint, packets); status != platform::kMidiNoError) {
            reportError("Sending MIDI", status);
            result = status;
        }
    }
    return result;
}

MidiStatus MidiSystem::sendBytes(const uint8_t* bytes, uint32_t size, const Destinations* destinations) {
    return sendBytes(bytes, size, 0, destinations);
}

MidiStatus MidiSystem::sendBytes(const uint8_t* bytes, uint32_t size, uint64_t withTime,
                                 const Destinations* destinations) {
    if (size > kMaxMessageSize) {
        reportError("Sending MIDI", platform::kMidiMessageTooLarge);
        return platform::kMidiMessageTooLarge;
    }
    platform::MidiPacket packet{withTime, std::span<const uint8_t>(bytes, size)};
    return sendPacketList(MidiPacketList(&packet, 1), destinations);
}

std::shared_ptr<MidiSource> MidiSystem::findSourceCalled(const std::string& name) const {
    std::lock_guard lock(listMutex_);
    for (const auto& source : sources_) {
        if (source->name() == name) return source;
    }
    return nullptr;
}

std::shared_ptr<MidiDestination> MidiSystem::findDestinationCalled(const std::string& name) const {
    std::lock_guard lock(listMutex_);
    for (const auto& destination : destinations_) {
        if (destination->name() == name) return destination;
    }
    return nullptr;
}

void MidiSystem::findMatchingSource(std::shared_ptr<MidiSource>& source,
                                    std::shared_ptr<MidiDestination>& andDestination,
                                    const std::vector<std::string>* avoidNames) const {
    source.reset();
    andDestination.reset();
    for (const auto& candidate : sources()) {
        if (candidate->isNetworkSession()) continue;
        if (avoidNames && std::find(avoidNames->begin(), avoidNames->end(), candidate->name()) != avoidNames->end()) {
            continue;
        }
        if (auto destination = findDestinationCalled(candidate->name())) {
            source = candidate;
            andDestination = destination;
            return;
        }
    }
}

std::vector<std::shared_ptr<MidiSource>> MidiSystem::sources() const {
    std::lock_guard lock(listMutex_);
    return sources_;
}

MidiSystem::Destinations MidiSystem::destinations() const {
    std::lock_guard lock(listMutex_);
    return destinations_;
}

std::shared_ptr<MidiVirtualSourceDestination> MidiSystem::virtualSourceDestination() const {
    return virtualSourceDestination_;
}

std::shared_ptr<MidiSource> MidiSystem::virtualDestinationSource() const {
    return *virtualDestinationSlot_->source.current();
}

std::optional<std::string> MidiSystem::virtualEndpointName() const { return virtualEndpointName_; }

void MidiSystem::setVirtualEndpointName(std::optional<std::string> name) { virtualEndpointName_ = std::move(name); }

void MidiSystem::setRescanTimer(platform::MainLoop::TimerId timer) {
    if (rescanTimer_ && rescanTimer_ != timer) mainLoop_.cancel(rescanTimer_);
    rescanTimer_ = timer;
}

// --- MidiAllSources ---

MidiAllSources::~MidiAllSources() { setMidi(nullptr); }

void MidiAllSources::setMidi(MidiSystem* midi) {
    if (midi_) {
        if (midi_->delegate() == this) midi_->setDelegate(nullptr);
        for (const auto& source : midi_->sources()) source->removeDelegate(this);
    }
    midi_ = midi;
    if (midi_) {
        midi_->setDelegate(this);
        for (const auto& source : midi_->sources()) source->addDelegate(this);
    }
}

void MidiAllSources::sourceAdded(MidiSystem&, const std::shared_ptr<MidiSource>& source) {
    source->addDelegate(this);
}

void MidiAllSources::midiReceived(MidiSource& source, MidiPacketList packets) {
    if (MidiSourceDelegate* delegate = delegate_.load()) delegate->midiReceived(source, packets);
}

}  // namespace strombel::midi
