#include "platform/devices/loopback_midi_backend.h"

#include <algorithm>
#include <utility>

#include "platform/host_time.h"
#include "platform/realtime.h"
#include "platform/thread_role.h"

namespace strombel::platform {

LoopbackMidiBackend::LoopbackMidiBackend(Clock& clock, bool ownThread) : clock_(clock) {
    scheduler_ = std::make_unique<MidiSendScheduler>(
        clock_,
        [this](MidiEndpointRef destination, std::span<const uint8_t> bytes, uint64_t dueNanos) {
            deliver(destination, bytes, dueNanos);
        },
        ownThread);
}

LoopbackMidiBackend::~LoopbackMidiBackend() { scheduler_.reset(); }

MidiEndpointRef LoopbackMidiBackend::addEndpoint(Kind kind, std::optional<std::string> name, bool networkSession,
                                                 MidiClientRef owner, bool announce) {
    MidiEndpointRef ref = 0;
    {
        std::lock_guard lock(mutex_);
        ref = ++nextRef_;
        Endpoint endpoint;
        endpoint.kind = kind;
        endpoint.name = std::move(name);
        endpoint.networkSession = networkSession;
        endpoint.owner = owner;
        endpoint.uniqueId = ++nextUniqueId_;
        endpoints_.emplace(ref, std::move(endpoint));
    }
    if (announce) notify(kMidiMsgObjectAdded, ref, kind);
    return ref;
}

MidiEndpointRef LoopbackMidiBackend::addSource(std::optional<std::string> name, bool announce, bool networkSession) {
    return addEndpoint(Kind::source, std::move(name), networkSession, 0, announce);
}

MidiEndpointRef LoopbackMidiBackend::addDestination(std::optional<std::string> name, bool announce) {
    return addEndpoint(Kind::destination, std::move(name), false, 0, announce);
}

void LoopbackMidiBackend::removeEndpoint(MidiEndpointRef endpoint, bool announce) {
    Kind kind;
    {
        std::lock_guard lock(mutex_);
        auto found = endpoints_.find(endpoint);
        if (found == endpoints_.end()) return;
        kind = found->second.kind;
        endpoints_.erase(found);
        std::erase_if(connections_, [endpoint](const Connection& c) { return c.source == endpoint; });
    }
    scheduler_->flush(endpoint);
    if (announce) notify(kMidiMsgObjectRemoved, endpoint, kind);
}

void LoopbackMidiBackend::notify(int32_t messageId, MidiEndpointRef child, Kind kind) {
    std::vector<MidiNotifyHandler> handlers;
    {
        std::lock_guard lock(mutex_);
        for (const auto& [client, handler] : clients_) {
            if (handler) handlers.push_back(handler);
        }
    }
    MidiNotification notification{messageId, child,
                                  kind == Kind::source ? kMidiObjectTypeSource : kMidiObjectTypeDestination};
    for (const auto& handler : handlers) handler(notification);
}

size_t LoopbackMidiBackend::play(MidiEndpointRef source, MidiPacketList packets) {
    // Copy the handlers out, so that a port disconnected meanwhile finishes this
    // delivery on its own copy and is not called again afterwards.
    std::vector<std::shared_ptr<MidiReadHandler>> handlers;
    {
        std::lock_guard lock(mutex_);
        for (const Connection& connection : connections_) {
            if (connection.source == source) handlers.push_back(connection.read);
        }
    }
    // The handlers run as on a platform's MIDI read thread, which may be real-time.
    RealtimeScope realtime;
    ThreadRoleScope role(ThreadRole::midiInput);
    for (const auto& handler : handlers) (*handler)(packets);
    return handlers.size();
}

size_t LoopbackMidiBackend::play(MidiEndpointRef source, std::vector<uint8_t> bytes) {
    MidiPacket packet{0, bytes};
    return play(source, MidiPacketList(&packet, 1));
}

bool LoopbackMidiBackend::sendToVirtualDestination(MidiEndpointRef destination, MidiPacketList packets) {
    std::shared_ptr<MidiReadHandler> read;
    {
        std::lock_guard lock(mutex_);
        auto found = endpoints_.find(destination);
        if (found == endpoints_.end() || !found->second.virtualRead) return false;
        read = found->second.virtualRead;
    }
    RealtimeScope realtime;
    ThreadRoleScope role(ThreadRole::midiInput);
    (*read)(packets);
    return true;
}

std::vector<LoopbackMidiBackend::Received> LoopbackMidiBackend::receivedBy(MidiEndpointRef destination) const {
    std::lock_guard lock(mutex_);
    auto found = received_.find(destination);
    return found == received_.end() ? std::vector<Received>{} : found->second;
}

void LoopbackMidiBackend::clearReceived() {
    std::lock_guard lock(mutex_);
    received_.clear();
}

void LoopbackMidiBackend::setKeepsReceived(bool keeps) {
    std::lock_guard lock(mutex_);
    keepsReceived_ = keeps;
}

void LoopbackMidiBackend::setDeliveryHook(
    std::function<void(MidiEndpointRef, std::span<const uint8_t>, uint64_t dueNanos)> hook) {
    std::lock_guard lock(mutex_);
    hook_ = std::move(hook);
}

size_t LoopbackMidiBackend::deliverDue() { return scheduler_->dispatchDue(); }

size_t LoopbackMidiBackend::scheduledCount() const { return scheduler_->pending(); }

void LoopbackMidiBackend::setSendFails(MidiEndpointRef destination, bool fails) {
    std::lock_guard lock(mutex_);
    auto found = endpoints_.find(destination);
    if (found != endpoints_.end()) found->second.sendFails = fails;
}

void LoopbackMidiBackend::failNextClientCreation(MidiStatus status) {
    std::lock_guard lock(mutex_);
    clientFailure_ = status;
}

void LoopbackMidiBackend::takeUniqueId(int32_t id) {
    std::lock_guard lock(mutex_);
    outsideIds_.push_back(id);
}

size_t LoopbackMidiBackend::connectionCount(MidiEndpointRef source) const {
    std::lock_guard lock(mutex_);
    return static_cast<size_t>(
        std::count_if(connections_.begin(), connections_.end(), [source](const Connection& c) { return c.source == source; }));
}

size_t LoopbackMidiBackend::virtualEndpointCount() const {
    std::lock_guard lock(mutex_);
    return static_cast<size_t>(
        std::count_if(endpoints_.begin(), endpoints_.end(), [](const auto& entry) { return entry.second.owner != 0; }));
}

MidiStatus LoopbackMidiBackend::createClient(const std::string&, MidiNotifyHandler notify, MidiClientRef& client) {
    std::lock_guard lock(mutex_);
    if (clientFailure_) {
        MidiStatus status = *clientFailure_;
        clientFailure_.reset();
        client = 0;
        return status;
    }
    client = ++nextRef_;
    clients_.emplace(client, std::move(notify));
    return kMidiNoError;
}

MidiStatus LoopbackMidiBackend::disposeClient(MidiClientRef client) {
    std::lock_guard lock(mutex_);
    return clients_.erase(client) ? kMidiNoError : kMidiInvalidClient;
}

MidiStatus LoopbackMidiBackend::createOutputPort(MidiClientRef client, const std::string&, MidiPortRef& port) {
    std::lock_guard lock(mutex_);
    if (!clients_.count(client)) {
        port = 0;
        return kMidiInvalidClient;
    }
    port = ++nextRef_;
    ports_.emplace(port, client);
    return kMidiNoError;
}

MidiStatus LoopbackMidiBackend::createInputPort(MidiClientRef client, const std::string& name, MidiPortRef& port) {
    return createOutputPort(client, name, port);
}

MidiStatus LoopbackMidiBackend::disposePort(MidiPortRef port) {
    std::lock_guard lock(mutex_);
    if (!ports_.erase(port)) return kMidiInvalidPort;
    std::erase_if(connections_, [port](const Connection& c) { return c.port == port; });
    return kMidiNoError;
}

std::vector<MidiEndpointRef> LoopbackMidiBackend::sources() {
    std::lock_guard lock(mutex_);
    std::vector<MidiEndpointRef> refs;
    for (const auto& [ref, endpoint] : endpoints_) {
        if (endpoint.kind == Kind::source) refs.push_back(ref);
    }
    return refs;
}

std::vector<MidiEndpointRef> LoopbackMidiBackend::destinations() {
    std::lock_guard lock(mutex_);
    std::vector<MidiEndpointRef> refs;
    for (const auto& [ref, endpoint] : endpoints_) {
        if (endpoint.kind == Kind::destination) refs.push_back(ref);
    }
    return refs;
}

std::optional<std::string> LoopbackMidiBackend::endpointName(MidiEndpointRef endpoint) {
    std::lock_guard lock(mutex_);
    auto found = endpoints_.find(endpoint);
    if (found == endpoints_.end()) return std::nullopt;
    return found->second.name;
}

bool LoopbackMidiBackend::isNetworkSession(MidiEndpointRef endpoint) {
    std::lock_guard lock(mutex_);
    auto found = endpoints_.find(endpoint);
    return found != endpoints_.end() && found->second.networkSession;
}

MidiStatus LoopbackMidiBackend::connectSource(MidiPortRef inputPort, MidiEndpointRef source, MidiReadHandler read) {
    std::lock_guard lock(mutex_);
    if (!ports_.count(inputPort)) return kMidiInvalidPort;
    auto found = endpoints_.find(source);
    if (found == endpoints_.end()) return kMidiUnknownEndpoint;
    if (found->second.kind != Kind::source) return kMidiWrongEndpointType;
    connections_.push_back({inputPort, source, std::make_shared<MidiReadHandler>(std::move(read))});
    return kMidiNoError;
}

MidiStatus LoopbackMidiBackend::disconnectSource(MidiPortRef inputPort, MidiEndpointRef source) {
    std::lock_guard lock(mutex_);
    const size_t removed = std::erase_if(
        connections_, [&](const Connection& c) { return c.port == inputPort && c.source == source; });
    return removed ? kMidiNoError : kMidiNoConnection;
}

MidiStatus LoopbackMidiBackend::checkSize(MidiPacketList packets) const {
    size_t total = 0;
    for (const MidiPacket& packet : packets) total += packet.bytes.size();
    return total > kMidiMaxSendSize ? kMidiMessageTooLarge : kMidiNoError;
}

MidiStatus LoopbackMidiBackend::queue(MidiEndpointRef destination, MidiPacketList packets) {
    const uint64_t now = clock_.nowNanos();
    for (const MidiPacket& packet : packets) {
        const uint64_t due = packet.timeStamp == 0 ? now : hostTimeToNanos(packet.timeStamp);
        if (due <= now) {
            deliver(destination, packet.bytes, due);
        } else {
            scheduler_->schedule(destination, due, packet.bytes);
        }
    }
    return kMidiNoError;
}

MidiStatus LoopbackMidiBackend::send(MidiPortRef outputPort, MidiEndpointRef destination, MidiPacketList packets) {
    if (MidiStatus status = checkSize(packets); status != kMidiNoError) return status;
    {
        std::lock_guard lock(mutex_);
        if (!ports_.count(outputPort)) return kMidiInvalidPort;
        auto found = endpoints_.find(destination);
        if (found == endpoints_.end()) return kMidiUnknownEndpoint;
        if (found->second.kind != Kind::destination) return kMidiWrongEndpointType;
        if (found->second.sendFails) return kMidiMessageSendErr;
    }
    return queue(destination, packets);
}

void LoopbackMidiBackend::deliver(MidiEndpointRef destination, std::span<const uint8_t> bytes, uint64_t dueNanos) {
    std::shared_ptr<MidiReadHandler> virtualRead;
    std::function<void(MidiEndpointRef, std::span<const uint8_t>, uint64_t)> hook;
    {
        std::lock_guard lock(mutex_);
        auto found = endpoints_.find(destination);
        if (found == endpoints_.end()) return;
        if (keepsReceived_) {
            received_[destination].push_back({std::vector<uint8_t>(bytes.begin(), bytes.end()), dueNanos, clock_.nowNanos()});
        }
        virtualRead = found->second.virtualRead;
        hook = hook_;
    }
    if (hook) hook(destination, bytes, dueNanos);
    if (virtualRead) {
        // Sending to a virtual destination of a client reaches that client, on
        // what stands for its MIDI read thread.
        MidiPacket packet{dueNanos, bytes};
        RealtimeScope realtime;
        ThreadRoleScope role(ThreadRole::midiInput);
        (*virtualRead)(MidiPacketList(&packet, 1));
    }
}

MidiStatus LoopbackMidiBackend::flushOutput(MidiEndpointRef destination) {
    scheduler_->flush(destination);
    return kMidiNoError;
}

MidiStatus LoopbackMidiBackend::createVirtualSource(MidiClientRef client, const std::string& name,
                                                    MidiEndpointRef& endpoint) {
    {
        std::lock_guard lock(mutex_);
        if (!clients_.count(client)) {
            endpoint = 0;
            return kMidiInvalidClient;
        }
    }
    endpoint = addEndpoint(Kind::source, name, false, client, false);
    return kMidiNoError;
}

MidiStatus LoopbackMidiBackend::createVirtualDestination(MidiClientRef client, const std::string& name,
                                                         MidiReadHandler read, MidiEndpointRef& endpoint) {
    {
        std::lock_guard lock(mutex_);
        if (!clients_.count(client)) {
            endpoint = 0;
            return kMidiInvalidClient;
        }
    }
    endpoint = addEndpoint(Kind::destination, name, false, client, false);
    std::lock_guard lock(mutex_);
    endpoints_[endpoint].virtualRead = std::make_shared<MidiReadHandler>(std::move(read));
    return kMidiNoError;
}

MidiStatus LoopbackMidiBackend::disposeEndpoint(MidiEndpointRef endpoint) {
    {
        std::lock_guard lock(mutex_);
        auto found = endpoints_.find(endpoint);
        if (found == endpoints_.end() || found->second.owner == 0) return kMidiUnknownEndpoint;
    }
    removeEndpoint(endpoint, false);
    return kMidiNoError;
}

MidiStatus LoopbackMidiBackend::received(MidiEndpointRef virtualSource, MidiPacketList packets) {
    if (MidiStatus status = checkSize(packets); status != kMidiNoError) return status;
    {
        std::lock_guard lock(mutex_);
        auto found = endpoints_.find(virtualSource);
        if (found == endpoints_.end() || found->second.owner == 0 || found->second.kind != Kind::source) {
            return kMidiUnknownEndpoint;
        }
    }
    // Published packets are recorded under the virtual source, at their time.
    return queue(virtualSource, packets);
}

MidiStatus LoopbackMidiBackend::uniqueId(MidiEndpointRef endpoint, int32_t& id) {
    std::lock_guard lock(mutex_);
    auto found = endpoints_.find(endpoint);
    if (found == endpoints_.end()) return kMidiUnknownEndpoint;
    id = found->second.uniqueId;
    return kMidiNoError;
}

MidiStatus LoopbackMidiBackend::setUniqueId(MidiEndpointRef endpoint, int32_t id) {
    std::lock_guard lock(mutex_);
    auto found = endpoints_.find(endpoint);
    if (found == endpoints_.end()) return kMidiUnknownEndpoint;
    if (std::find(outsideIds_.begin(), outsideIds_.end(), id) != outsideIds_.end()) return kMidiIdNotUnique;
    for (const auto& [ref, other] : endpoints_) {
        if (ref != endpoint && other.uniqueId == id) return kMidiIdNotUnique;
    }
    found->second.uniqueId = id;
    return kMidiNoError;
}

bool LoopbackMidiBackend::networkSessionEnabled() const {
    std::lock_guard lock(mutex_);
    return networkEnabled_;
}

void LoopbackMidiBackend::setNetworkSessionEnabled(bool enabled, int32_t) {
    std::lock_guard lock(mutex_);
    networkEnabled_ = enabled;
}

}  // namespace strombel::platform
