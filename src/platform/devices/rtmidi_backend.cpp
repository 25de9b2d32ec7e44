#include "platform/devices/rtmidi_backend.h"

#include <RtMidi.h>
#include <jack/jack.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <charconv>
#include <filesystem>
#include <forward_list>
#include <map>
#include <type_traits>
#include <mutex>
#include <string>
#include <utility>

#include "logging/log.h"
#include "platform/host_time.h"
#include "platform/devices/jack_clients.h"
#include "platform/devices/jack_opener.h"
#include "platform/devices/midi_send_scheduler.h"
#include "platform/devices/rtmidi_ports.h"
#include "platform/realtime.h"
#include "platform/thread_role.h"


namespace strombel::platform {

using namespace rtmidi_detail;

bool RtMidiBackend::knowsJackLayoutOf(std::string_view version) {
    int major = 0;
    const auto [end, error] = std::from_chars(version.data(), version.data() + version.size(), major);
    if (error != std::errc{} || end == version.data()) return false;
    if (end != version.data() + version.size() && *end != '.') return false;
    return major >= 4 && major <= 6;
}

struct RtMidiBackend::Impl : std::enable_shared_from_this<RtMidiBackend::Impl> {
    enum class Kind { source, destination };
    struct Endpoint {
        Kind kind = Kind::source;
        std::string rtName;   // as RtMidi lists it
        std::string name;     // as shown
        bool ours = false;    // one of our virtual endpoints
        int32_t uniqueId = 0;
        // The JACK port it stands for: a port of the same name registered
        // again (its device restarted) is another endpoint.
        const jack_port_t* jackPort = nullptr;
    };
    // One open RtMidi input: a connection to a source, or our virtual destination.
    struct Input {
        std::unique_ptr<RtMidiIn> in;
        MidiReadHandler read;
        // Called by RtMidi on its input thread: under JACK, JACK's real-time
        // process thread, so the read handler runs as real-time code.
        static void callback(double, std::vector<unsigned char>* message, void* userData) {
            if (!message || message->empty()) return;
            RealtimeScope realtime;
            ThreadRoleScope role(ThreadRole::midiInput);
            auto* self = static_cast<Input*>(userData);
            MidiPacket packet{hostTimeNow(), std::span<const uint8_t>(message->data(), message->size())};
            self->read(MidiPacketList(&packet, 1));
        }
    };

    Impl(System system, Clock& clock, JackOpener& opener) : system(system), clock(clock), opener(opener) {}

    ~Impl() {
        // RtMidi objects of a server that went away are never closed (see bury).
        for (auto& in : buriedIns) leaveAlone(std::move(in));
        for (auto& input : buriedInputs) leaveAlone(std::move(input));
        for (auto& out : buriedOuts) leaveAlone(std::move(out));
    }

    // --- A JACK server that goes away, and perhaps comes back ---
    // A client of ours, with no ports, that only listens for the server's end.
    // Once the server is gone, every RtMidi object on it is left alone for good:
    // closing one would touch a client that libjack has already torn down.

    static void onShutdown(void* flag) {
        noteJackLoss();
        static_cast<std::atomic<bool>*>(flag)->store(true);
    }

    // At start: the first connection, on the JACK opener's thread, waited for
    // a while. A server that keeps it waiting holds that thread, never the
    // caller's: the ports are published whenever it answers.
    void connectAtStart() {
        {
            std::lock_guard lock(mutex);
            reconnecting = true;
            lastReconnectAttempt = clock.nowNanos();
        }
        opener.runAndWait([self = shared_from_this()] { reconnectOnOpener(self); },
                          JackOpener::kPatience);
    }

    // Opens and activates the watch client; null without a server. No lock.
    jack_client_t* openWatchClient(uint64_t& madeAfterLosses) {
        jack_status_t status{};
        quietenJackLibrary();
        jack_client_t* client = jack_client_open(jackClientName(ownClientName("Strombel MIDI watch")).c_str(),
                                                 JackNoStartServer, &status);
        if (!client) {
            noteFailedJackOpen();
            return nullptr;
        }
        noteJackClientOpened();
        madeAfterLosses = lossesSeen();
        jack_on_shutdown(client, &Impl::onShutdown, &serverGone);
        jack_set_port_registration_callback(client, &PortsGone::onRegistration, &portsGone);
        jack_activate(client);
        return client;
    }

    // On the JACK opener's thread: takes the server up again. Every client is
    // opened here without a lock, and only then handed over under the locks, so
    // that the callers' threads never wait for a server that keeps an open
    // waiting. `self` keeps the backend's state while the backend may go.
    static void reconnectOnOpener(const std::shared_ptr<Impl>& self) {
        uint64_t madeAfter = 0;
        jack_client_t* client = self->openWatchClient(madeAfter);
        std::vector<std::pair<MidiEndpointRef, std::string>> destinations, sources;
        std::string name;
        {
            std::lock_guard lock(self->mutex);
            self->reconnecting = false;
            if (!client) return;
            if (self->closed || self->watch) {
                // Nobody needs it: left alone with the rest (it may be closed
                // only while no loss happened, see jack_clients.h).
                return;
            }
            self->watch = client;
            self->watchMadeAfterLosses = madeAfter;
            name = self->clientName;
            // Before any client of ours was made (the start): its ports are
            // opened by the callers, as they ask for them.
            if (name.empty()) self->openOnCaller = true;
            for (auto& [ref, input] : self->virtualDestinations)
                if (!input->in) destinations.emplace_back(ref, self->endpoints[ref].name);
            for (auto& [ref, out] : self->virtualSources)
                if (!out) sources.emplace_back(ref, self->endpoints[ref].name);
        }
        if (name.empty()) return;
        std::vector<std::pair<MidiEndpointRef, std::unique_ptr<RtMidiIn>>> ins;
        std::vector<std::pair<MidiEndpointRef, std::unique_ptr<RtMidiOut>>> outs;
        for (const auto& [ref, endpoint] : destinations) {
            auto in = self->make<RtMidiIn>(name);
            if (!in) continue;
            in->ignoreTypes(false, false, true);
            in->openVirtualPort(endpoint);
            ins.emplace_back(ref, std::move(in));
        }
        for (const auto& [ref, endpoint] : sources) {
            auto out = self->make<RtMidiOut>(name);
            if (!out) continue;
            out->openVirtualPort(endpoint);
            outs.emplace_back(ref, std::move(out));
        }
        auto scanIn = self->make<RtMidiIn>(name);
        auto scanOut = self->make<RtMidiOut>(name);
        std::lock_guard scanning(self->scanMutex);
        std::lock_guard lock(self->mutex);
        std::lock_guard sending(self->sendMutex);
        auto keep = [&](auto& object, auto& buried) {
            if (object) buried.push_back(std::move(object));
        };
        for (auto& [ref, in] : ins) {
            auto input = self->virtualDestinations.find(ref);
            if (self->closed || self->watch != client || input == self->virtualDestinations.end() ||
                input->second->in) {
                keep(in, self->buriedIns);
                continue;
            }
            in->setCallback(&Input::callback, input->second.get());
            input->second->in = std::move(in);
        }
        for (auto& [ref, out] : outs) {
            auto source = self->virtualSources.find(ref);
            if (self->closed || self->watch != client || source == self->virtualSources.end() || source->second) {
                keep(out, self->buriedOuts);
                continue;
            }
            source->second = std::move(out);
        }
        if (self->closed || self->watch != client || self->scanIn) keep(scanIn, self->buriedIns);
        else self->scanIn = std::move(scanIn);
        if (self->closed || self->watch != client || self->scanOut) keep(scanOut, self->buriedOuts);
        else self->scanOut = std::move(scanOut);
    }

    // Closes ports let go of, their callbacks cancelled first: on JACK on the
    // opener's thread, where a server that hangs holds nobody else. The inputs
    // the callbacks were given go after their ports.
    void letGo(std::vector<std::unique_ptr<Input>> inputs, std::vector<std::unique_ptr<RtMidiIn>> ins,
               std::vector<std::unique_ptr<RtMidiOut>> outs) {
        for (auto& input : inputs)
            if (input && input->in) ins.push_back(std::move(input->in));
        for (auto& in : ins)
            if (in) in->cancelCallback();
        if (system != System::jack) {
            for (auto& in : ins) closeInOrder(in);
            for (auto& out : outs) closeInOrder(out);
            return;
        }
        struct Closing {
            std::vector<std::unique_ptr<Input>> inputs;
            std::vector<std::unique_ptr<RtMidiIn>> ins;
            std::vector<std::unique_ptr<RtMidiOut>> outs;
        };
        auto closing = std::make_shared<Closing>(Closing{std::move(inputs), std::move(ins), std::move(outs)});
        const bool queued = opener.close([closing] {
            for (auto& in : closing->ins) closeInOrder(in);
            for (auto& out : closing->outs) closeInOrder(out);
        });
        if (queued) return;
        // The program is ending: nothing of JACK's is touched any more.
        for (auto& in : closing->ins) leaveAlone(std::move(in));
        for (auto& out : closing->outs) leaveAlone(std::move(out));
        for (auto& input : closing->inputs) leaveAlone(std::move(input));
    }

    // Sets every RtMidi object of the old server aside and forgets its endpoints;
    // our virtual endpoints stay, to be published again when a server returns.
    void bury() {
        std::lock_guard scanning(scanMutex);
        std::lock_guard lock(mutex);
        std::lock_guard sending(sendMutex);
        if (!serverGone.load()) return;  // another thread did it
        if (scanIn) buriedIns.push_back(std::move(scanIn));
        if (scanOut) buriedOuts.push_back(std::move(scanOut));
        for (auto& [ref, out] : outputs) buriedOuts.push_back(std::move(out));
        outputs.clear();
        // A client taken for lost may still run (a loss another client heard
        // of): its input callbacks are cancelled, and the inputs they were
        // given stay, so that a call already under way reaches nothing freed.
        for (auto& [key, input] : connections) {
            if (input->in) {
                input->in->cancelCallback();
                buriedIns.push_back(std::move(input->in));
            }
            buriedInputs.push_back(std::move(input));
        }
        connections.clear();
        for (auto& [ref, out] : virtualSources) {
            if (out) buriedOuts.push_back(std::move(out));
        }
        for (auto& [ref, input] : virtualDestinations) {
            if (input->in) {
                input->in->cancelCallback();
                buriedIns.push_back(std::move(input->in));
            }
        }
        std::erase_if(endpoints, [](const auto& entry) { return !entry.second.ours; });
        sourceNames.clear();
        destinationNames.clear();
        sourcePortsGone.clear();
        destinationPortsGone.clear();
        portsGone.take();  // ports of the old server
        watch = nullptr;  // left alone like the rest
        openOnCaller = false;
        serverGone.store(false);
        // The first look for a server after a loss goes at once: one that still
        // answers (a refused opening counts as a loss) is taken up again within
        // the rescan that follows.
        lastReconnectAttempt = 0;
    }

    // Answers whether the JACK server is there (always true for the other
    // systems). With `reconnect`, a server that came back is taken up again and
    // our virtual endpoints are published on it; the rescan does this every second.
    bool serverReady(bool reconnect) {
        if (system != System::jack) return true;
        {
            // The watch's own notice of the server's end does not always come:
            // a loss heard by another client of the process counts too.
            std::lock_guard lock(mutex);
            if (watch && watchMadeAfterLosses != lossesSeen()) serverGone.store(true);
        }
        if (serverGone.load()) bury();
        std::lock_guard lock(mutex);
        // At most one attempt a second (each failed one has libjack complain),
        // and one at a time, on the JACK opener's thread.
        if (!watch && reconnect && !reconnecting && !closed &&
            clock.nowNanos() - lastReconnectAttempt >= kNanosPerSecond) {
            lastReconnectAttempt = clock.nowNanos();
            reconnecting = opener.run([self = shared_from_this()] { reconnectOnOpener(self); });
        }
        return watch != nullptr;
    }

    template <class Port>
    std::unique_ptr<Port> make(const std::string& client) {
        rtMidiCallFailed = false;
        if (system == System::jack) quietenJackLibrary();
        try {
            for (int tries = 1;; ++tries) {
                std::string said;
                auto port = madeQuietly<Port>(apiOf(system), system == System::jack ? jackClientName(client) : client,
                                              said);
                RtMidiJackData* data = system == System::jack ? jackDataOf(*port) : nullptr;
                const bool refused = system == System::jack &&
                                     (data ? !data->client : said.find("JACK server not running") != std::string::npos);
                if (!refused) return readied(std::move(port));
                // It holds nothing of JACK's: it goes at once.
                port.reset();
                rememberError(said.empty() ? "the JACK server refused a client" : said);
                // A server that answers a client of our own refused this one (another
                // process opened one of the same name at that moment): no loss, once
                // more (see openJackClient).
                if (!jackServerAnswers()) {
                    serverGone.store(true);  // counted there
                    return nullptr;
                }
                if (tries == kJackOpeningTries) return nullptr;
            }
        } catch (const RtMidiError& error) {
            rememberError(error.getMessage());
            return nullptr;
        }
    }

    // A port just made, its JACK client open: from now on it reports to us.
    template <class Port>
    std::unique_ptr<Port> readied(std::unique_ptr<Port> port) {
        port->setErrorCallback(&onRtMidiError, system == System::jack ? &serverGone : nullptr);
        // An RtMidi whose fields we do not know: its input's client is surely
        // open, and its name known as ours, once it has been asked for its ports.
        if constexpr (std::is_same_v<Port, RtMidiIn>) {
            if (system == System::jack && !jackDataOf(*port)) port->getPortCount();
        }
        if (RtMidiJackData* data = jackDataOf(*port); data && data->client) {
            rememberOwnClient(port.get(), jack_get_client_name(data->client));
        }
        if (system == System::jack) noteJackClientOpened();
        rememberMade(port.get());
        return port;
    }

    bool isOurs(const std::string& rtName) const {
        // On JACK, the clients this process made; another Strombel's carry the
        // same names and are not ours.
        if (system == System::jack && loadedRtMidiHasKnownJackLayout()) {
            return isOwnJackClient(rtName.substr(0, rtName.find(':')));
        }
        // Elsewhere, by name: our ports all belong to clients named after ours
        // (JACK adds "-01", "-02", ... to repeated client names).
        if (clientName.empty() || rtName.compare(0, clientName.size(), clientName) != 0) return false;
        const char next = rtName.size() > clientName.size() ? rtName[clientName.size()] : '\0';
        return next == ':' || next == '-';
    }

    template <class Port>
    std::vector<std::string> portNames(Port& port) {
        std::vector<std::string> names;
        try {
            const unsigned count = port.getPortCount();
            for (unsigned i = 0; i < count; ++i) names.push_back(port.getPortName(i));
        } catch (const RtMidiError& error) {
            rememberError(error.getMessage());
        }
        return names;
    }

    template <class Port>
    std::optional<unsigned> indexOf(Port& port, const std::string& rtName) {
        const std::vector<std::string> names = portNames(port);
        auto found = std::find(names.begin(), names.end(), rtName);
        if (found == names.end()) return std::nullopt;
        return static_cast<unsigned>(found - names.begin());
    }

    // Brings the endpoints of one kind in step with the system; answers them in
    // order. The listing runs under its own lock, so sends never wait for it.
    std::vector<MidiEndpointRef> refresh(Kind kind) {
        std::vector<MidiEndpointRef> refs;
        std::string client;
        {
            std::lock_guard lock(mutex);
            client = clientName;
        }
        if (system == System::none || client.empty()) return refs;
        if (!serverReady(true)) return refs;
        // Taken before the listing: a port gone before it and listed by it has
        // come back. Each kind's rescan looks at every port that went.
        std::vector<jack_port_id_t> portsGoneIds;
        if (system == System::jack) {
            std::vector<jack_port_id_t> taken = portsGone.take();
            std::lock_guard lock(mutex);
            for (auto* pending : {&sourcePortsGone, &destinationPortsGone}) {
                pending->insert(pending->end(), taken.begin(), taken.end());
            }
            portsGoneIds = std::exchange(kind == Kind::source ? sourcePortsGone : destinationPortsGone, {});
        }
        std::vector<std::string> names;
        {
            std::lock_guard scanning(scanMutex);
            // After the start, JACK clients are opened by the reconnection only.
            const bool mayOpen = system != System::jack || openOnCaller;
            if (kind == Kind::source) {
                if (!scanIn && mayOpen) scanIn = make<RtMidiIn>(client);
                if (scanIn) names = portNames(*scanIn);
            } else {
                if (!scanOut && mayOpen) scanOut = make<RtMidiOut>(client);
                if (scanOut) names = portNames(*scanOut);
            }
        }
        // A client that could not open: nothing is known, and nothing is touched.
        if (serverGone.load()) return refs;
        std::vector<MidiEndpointRef> gone;
        {
            std::lock_guard lock(mutex);
            std::vector<const jack_port_t*> portsGoneNow;
            for (jack_port_id_t id : portsGoneIds) {
                if (watch) portsGoneNow.push_back(jack_port_by_id(watch, id));
            }
            std::map<std::string, MidiEndpointRef>& known = kind == Kind::source ? sourceNames : destinationNames;
            std::map<std::string, MidiEndpointRef> seen;
            for (const std::string& rtName : names) {
                if (isOurs(rtName) || seen.count(rtName)) continue;
                MidiEndpointRef ref = 0;
                auto found = known.find(rtName);
                if (found != known.end()) {
                    const jack_port_t* port = endpoints[found->second].jackPort;
                    if (port && std::find(portsGoneNow.begin(), portsGoneNow.end(), port) != portsGoneNow.end()) {
                        // Gone and back between two rescans: the old endpoint
                        // leaves, and a new one is connected afresh.
                        endpoints.erase(found->second);
                        gone.push_back(found->second);
                        known.erase(found);
                    } else {
                        ref = found->second;
                    }
                }
                if (!ref) {
                    ref = ++nextRef;
                    endpoints[ref] = Endpoint{kind, rtName, displayName(system, rtName), false, ++nextUniqueId};
                    if (system == System::jack && watch) endpoints[ref].jackPort = jack_port_by_name(watch, rtName.c_str());
                }
                seen[rtName] = ref;
                refs.push_back(ref);
            }
            for (const auto& [rtName, ref] : known) {
                if (!seen.count(rtName)) {
                    endpoints.erase(ref);
                    gone.push_back(ref);
                }
            }
            known = std::move(seen);
        }
        if (!gone.empty()) {
            std::vector<std::unique_ptr<RtMidiOut>> closing;
            {
                std::lock_guard sending(sendMutex);
                for (MidiEndpointRef ref : gone) {
                    if (auto out = outputs.find(ref); out != outputs.end()) {
                        closing.push_back(std::move(out->second));
                        outputs.erase(out);
                    }
                }
            }
            letGo({}, {}, std::move(closing));
        }
        return refs;
    }

    // Sends one packet's bytes at once, message by message (RtMidi takes one
    // message per call). Runs under the send lock only, besides a short look-up.
    MidiStatus sendNow(MidiEndpointRef destination, std::span<const uint8_t> bytes) {
        if (!serverReady(false)) return kMidiServerStartErr;
        std::string rtName;
        std::string client;
        {
            std::lock_guard lock(mutex);
            auto endpoint = endpoints.find(destination);
            if (endpoint == endpoints.end()) return kMidiUnknownEndpoint;
            if (!endpoint->second.ours && endpoint->second.kind != Kind::destination) return kMidiWrongEndpointType;
            rtName = endpoint->second.rtName;
            client = clientName;
        }
        std::lock_guard sending(sendMutex);
        RtMidiOut* out = nullptr;
        if (auto virtualSource = virtualSources.find(destination); virtualSource != virtualSources.end()) {
            out = virtualSource->second.get();
        } else {
            auto open = outputs.find(destination);
            if (open == outputs.end()) {
                auto port = make<RtMidiOut>(client);
                if (!port) return kMidiMessageSendErr;
                auto index = indexOf(*port, rtName);
                if (!index) return kMidiUnknownEndpoint;
                rtMidiCallFailed = false;
                port->openPort(*index, outputPortName);
                if (rtMidiCallFailed || !port->isPortOpen()) return kMidiMessageSendErr;
                open = outputs.emplace(destination, std::move(port)).first;
            }
            out = open->second.get();
        }
        if (!out) return kMidiServerStartErr;
        size_t at = 0;
        while (at < bytes.size()) {
            size_t length = midiMessageLength(bytes[at]);
            if (bytes[at] == 0xF0) {
                auto end = std::find(bytes.begin() + static_cast<std::ptrdiff_t>(at), bytes.end(), uint8_t{0xF7});
                length = static_cast<size_t>(end - bytes.begin()) - at + (end == bytes.end() ? 0 : 1);
            }
            if (length == 0) length = 1;  // a stray data byte goes on its own
            length = std::min(length, bytes.size() - at);
            rtMidiCallFailed = false;
            out->sendMessage(bytes.data() + at, length);
            if (rtMidiCallFailed) return kMidiMessageSendErr;
            at += length;
        }
        return kMidiNoError;
    }

    MidiStatus queue(MidiEndpointRef destination, MidiPacketList packets) {
        size_t total = 0;
        for (const MidiPacket& packet : packets) total += packet.bytes.size();
        if (total > kMidiMaxSendSize) return kMidiMessageTooLarge;
        MidiStatus result = kMidiNoError;
        const uint64_t now = clock.nowNanos();
        for (const MidiPacket& packet : packets) {
            const uint64_t due = packet.timeStamp == 0 ? 0 : hostTimeToNanos(packet.timeStamp);
            if (due <= now) {
                if (MidiStatus status = sendNow(destination, packet.bytes); status != kMidiNoError) result = status;
            } else {
                scheduler->schedule(destination, due, packet.bytes);
            }
        }
        return result;
    }

    const System system;
    Clock& clock;
    JackOpener& opener;  // where every JACK client of ours opens and closes
    // The timed-send thread takes `mutex` and `sendMutex`; with priority
    // inheritance it never waits behind a preempted thread of lower priority.
    mutable PriorityInheritanceMutex mutex;  // the tables below, except where noted
    std::mutex scanMutex;                    // scanIn and scanOut
    PriorityInheritanceMutex sendMutex;      // outputs, virtualSources and every RtMidi send
    std::string clientName;
    std::string inputPortName = "Input";
    std::string outputPortName = "Output";
    MidiObjectRef nextRef = 0x100;
    int32_t nextUniqueId = 0x2000;
    std::map<MidiClientRef, MidiNotifyHandler> clients;
    std::map<MidiPortRef, bool> ports;  // true for input ports
    std::map<MidiEndpointRef, Endpoint> endpoints;
    std::map<std::string, MidiEndpointRef> sourceNames, destinationNames;
    std::unique_ptr<RtMidiIn> scanIn;
    std::unique_ptr<RtMidiOut> scanOut;
    std::map<std::pair<MidiPortRef, MidiEndpointRef>, std::unique_ptr<Input>> connections;
    std::map<MidiEndpointRef, std::unique_ptr<RtMidiOut>> outputs;
    std::map<MidiEndpointRef, std::unique_ptr<RtMidiOut>> virtualSources;
    std::map<MidiEndpointRef, std::unique_ptr<Input>> virtualDestinations;
    bool networkEnabled = false;
    std::atomic<bool>& serverGone = keptServerGoneFlag();
    PortsGone& portsGone = keptPortsGone();
    std::vector<jack_port_id_t> sourcePortsGone, destinationPortsGone;  // not yet looked at by each kind's rescan
    bool closed = false;        // the backend went (under mutex)
    bool reconnecting = false;  // a reconnection is under way (under mutex)
    bool openOnCaller = false;  // JACK clients may still be opened on the callers' threads
    jack_client_t* watch = nullptr;
    uint64_t watchMadeAfterLosses = 0;
    uint64_t lastReconnectAttempt = 0;
    std::vector<std::unique_ptr<RtMidiIn>> buriedIns;  // never destroyed
    std::vector<std::unique_ptr<Input>> buriedInputs;
    std::vector<std::unique_ptr<RtMidiOut>> buriedOuts;
    std::unique_ptr<MidiSendScheduler> scheduler;
};

std::unique_ptr<RtMidiBackend> RtMidiBackend::open(Clock& clock, JackOpener& opener) {
    std::error_code ignored;
    if (std::filesystem::exists("/dev/snd/seq", ignored)) {
        try {
            RtMidiIn probe(RtMidi::LINUX_ALSA, "Strombel probe");
            return std::make_unique<RtMidiBackend>(System::alsa, clock, opener);
        } catch (const RtMidiError& error) {
            rememberError(error.getMessage());
        }
    }
    // Without the ALSA sequencer, JACK: a server not there yet (or just
    // starting) is taken up by the rescan when it answers.
    return std::make_unique<RtMidiBackend>(System::jack, clock, opener);
}

bool RtMidiBackend::jackServerRunning() { return jackServerAnswers(); }

RtMidiBackend::RtMidiBackend(System system, Clock& clock, JackOpener& opener)
    : system_(system), impl_(std::make_shared<Impl>(system, clock, opener)) {
    impl_->scheduler = std::make_unique<MidiSendScheduler>(
        clock,
        [impl = impl_.get()](MidiEndpointRef destination, std::span<const uint8_t> bytes, uint64_t) {
            impl->sendNow(destination, bytes);
        },
        true);
    if (system == System::jack) impl_->connectAtStart();
}

RtMidiBackend::~RtMidiBackend() {
    {
        // A reconnection under way hands over nothing from now on.
        std::lock_guard lock(impl_->mutex);
        impl_->closed = true;
    }
    // Nothing sends any more; a server that went away keeps what it had.
    impl_->scheduler.reset();
    if (impl_->serverGone.load()) impl_->bury();
    std::lock_guard scanning(impl_->scanMutex);
    std::lock_guard lock(impl_->mutex);
    std::lock_guard sending(impl_->sendMutex);
    // Every port once, each stopped, closed and freed in turn (see letGo).
    std::vector<std::unique_ptr<Impl::Input>> inputs;
    std::vector<std::unique_ptr<RtMidiOut>> outs;
    for (auto& [key, input] : impl_->connections) inputs.push_back(std::move(input));
    for (auto& [ref, input] : impl_->virtualDestinations) inputs.push_back(std::move(input));
    for (auto* table : {&impl_->outputs, &impl_->virtualSources}) {
        for (auto& [ref, out] : *table) outs.push_back(std::move(out));
    }
    std::vector<std::unique_ptr<RtMidiIn>> ins;
    ins.push_back(std::move(impl_->scanIn));
    outs.push_back(std::move(impl_->scanOut));
    impl_->letGo(std::move(inputs), std::move(ins), std::move(outs));
    // The watch client goes last, where the ports went.
    jack_client_t* watch = std::exchange(impl_->watch, nullptr);
    if (watch) {
        // Closed only while no loss happened since it opened (see jack_clients.h);
        // once the opener has finished, it is left alone.
        impl_->opener.close([watch, madeAfter = impl_->watchMadeAfterLosses] {
            if (jackLosses() == madeAfter) jack_client_close(watch);
        });
    }
    impl_->connections.clear();
    impl_->virtualDestinations.clear();
    impl_->outputs.clear();
    impl_->virtualSources.clear();
}

std::string RtMidiBackend::lastError() const { return rtmidi_detail::lastError(); }

bool RtMidiBackend::available() const {
    // JACK is there only while a server answers; the rescan takes up one that comes.
    return system_ == System::alsa || (system_ == System::jack && impl_->serverReady(false));
}

std::string RtMidiBackend::systemName() const {
    switch (system_) {
        case System::alsa: return "ALSA";
        case System::jack: return "JACK";
        case System::none: break;
    }
    return "none";
}

MidiStatus RtMidiBackend::createClient(const std::string& name, MidiNotifyHandler notify, MidiClientRef& client) {
    std::lock_guard lock(impl_->mutex);
    if (impl_->clientName.empty()) impl_->clientName = name;
    client = ++impl_->nextRef;
    impl_->clients.emplace(client, std::move(notify));
    return kMidiNoError;
}

MidiStatus RtMidiBackend::disposeClient(MidiClientRef client) {
    std::lock_guard lock(impl_->mutex);
    return impl_->clients.erase(client) ? kMidiNoError : kMidiInvalidClient;
}

MidiStatus RtMidiBackend::createOutputPort(MidiClientRef client, const std::string& name, MidiPortRef& port) {
    std::lock_guard lock(impl_->mutex);
    if (!impl_->clients.count(client)) return kMidiInvalidClient;
    impl_->outputPortName = name;
    port = ++impl_->nextRef;
    impl_->ports[port] = false;
    return kMidiNoError;
}

MidiStatus RtMidiBackend::createInputPort(MidiClientRef client, const std::string& name, MidiPortRef& port) {
    std::lock_guard lock(impl_->mutex);
    if (!impl_->clients.count(client)) return kMidiInvalidClient;
    impl_->inputPortName = name;
    port = ++impl_->nextRef;
    impl_->ports[port] = true;
    return kMidiNoError;
}

MidiStatus RtMidiBackend::disposePort(MidiPortRef port) {
    impl_->serverReady(false);  // inputs of a server that went away are set aside, never closed
    std::vector<std::unique_ptr<Impl::Input>> closing;
    {
        std::lock_guard lock(impl_->mutex);
        if (!impl_->ports.erase(port)) return kMidiInvalidPort;
        for (auto it = impl_->connections.begin(); it != impl_->connections.end();) {
            if (it->first.first == port) {
                closing.push_back(std::move(it->second));
                it = impl_->connections.erase(it);
            } else {
                ++it;
            }
        }
    }
    impl_->letGo(std::move(closing), {}, {});  // outside the lock
    return kMidiNoError;
}

std::vector<MidiEndpointRef> RtMidiBackend::sources() { return impl_->refresh(Impl::Kind::source); }

std::vector<MidiEndpointRef> RtMidiBackend::destinations() { return impl_->refresh(Impl::Kind::destination); }

std::optional<std::string> RtMidiBackend::endpointName(MidiEndpointRef endpoint) {
    std::lock_guard lock(impl_->mutex);
    auto found = impl_->endpoints.find(endpoint);
    if (found == impl_->endpoints.end() || found->second.name.empty()) return std::nullopt;
    return found->second.name;
}

bool RtMidiBackend::isNetworkSession(MidiEndpointRef) { return false; }

MidiStatus RtMidiBackend::connectSource(MidiPortRef inputPort, MidiEndpointRef source, MidiReadHandler read) {
    if (!impl_->serverReady(false)) return kMidiNoConnection;
    std::lock_guard lock(impl_->mutex);
    auto port = impl_->ports.find(inputPort);
    if (port == impl_->ports.end() || !port->second) return kMidiInvalidPort;
    auto endpoint = impl_->endpoints.find(source);
    if (endpoint == impl_->endpoints.end()) return kMidiUnknownEndpoint;
    if (endpoint->second.kind != Impl::Kind::source) return kMidiWrongEndpointType;
    auto input = std::make_unique<Impl::Input>();
    // The handler is in place before the RtMidi object starts its thread.
    input->read = std::move(read);
    input->in = impl_->make<RtMidiIn>(impl_->clientName);
    if (!input->in) return kMidiNoConnection;
    auto index = impl_->indexOf(*input->in, endpoint->second.rtName);
    if (!index) return kMidiUnknownEndpoint;
    input->in->ignoreTypes(false, false, true);  // keep SysEx and clock, drop active sensing
    input->in->setCallback(&Impl::Input::callback, input.get());
    rtMidiCallFailed = false;
    input->in->openPort(*index, impl_->inputPortName);
    if (rtMidiCallFailed || !input->in->isPortOpen()) return kMidiNoConnection;
    impl_->connections[{inputPort, source}] = std::move(input);
    return kMidiNoError;
}

MidiStatus RtMidiBackend::disconnectSource(MidiPortRef inputPort, MidiEndpointRef source) {
    impl_->serverReady(false);
    std::unique_ptr<Impl::Input> closing;
    {
        std::lock_guard lock(impl_->mutex);
        auto found = impl_->connections.find({inputPort, source});
        if (found == impl_->connections.end()) return kMidiNoConnection;
        closing = std::move(found->second);
        impl_->connections.erase(found);
    }
    std::vector<std::unique_ptr<Impl::Input>> inputs;
    inputs.push_back(std::move(closing));
    impl_->letGo(std::move(inputs), {}, {});
    return kMidiNoError;
}

MidiStatus RtMidiBackend::send(MidiPortRef outputPort, MidiEndpointRef destination, MidiPacketList packets) {
    {
        std::lock_guard lock(impl_->mutex);
        auto port = impl_->ports.find(outputPort);
        if (port == impl_->ports.end() || port->second) return kMidiInvalidPort;
        if (system_ == System::none) return kMidiNoError;
    }
    return impl_->queue(destination, packets);
}

MidiStatus RtMidiBackend::flushOutput(MidiEndpointRef destination) {
    impl_->scheduler->flush(destination);
    return kMidiNoError;
}

MidiStatus RtMidiBackend::createVirtualSource(MidiClientRef client, const std::string& name,
                                              MidiEndpointRef& endpoint) {
    // Without a JACK server just now, the endpoint is published when one comes.
    const bool ready = impl_->serverReady(false);
    std::lock_guard lock(impl_->mutex);
    if (!impl_->clients.count(client)) return kMidiInvalidClient;
    std::unique_ptr<RtMidiOut> out;
    if (system_ != System::none && ready) {
        out = impl_->make<RtMidiOut>(impl_->clientName);
        if (!out) return kMidiServerStartErr;
        rtMidiCallFailed = false;
        out->openVirtualPort(name);
        if (rtMidiCallFailed) return kMidiServerStartErr;
    }
    endpoint = ++impl_->nextRef;
    impl_->endpoints[endpoint] = Impl::Endpoint{Impl::Kind::source, name, name, true, ++impl_->nextUniqueId};
    if (system_ != System::none) {
        std::lock_guard sending(impl_->sendMutex);
        impl_->virtualSources[endpoint] = std::move(out);
    }
    return kMidiNoError;
}

MidiStatus RtMidiBackend::createVirtualDestination(MidiClientRef client, const std::string& name, MidiReadHandler read,
                                                   MidiEndpointRef& endpoint) {
    const bool ready = impl_->serverReady(false);
    std::lock_guard lock(impl_->mutex);
    if (!impl_->clients.count(client)) return kMidiInvalidClient;
    auto input = std::make_unique<Impl::Input>();
    input->read = std::move(read);
    if (system_ != System::none && ready) {
        input->in = impl_->make<RtMidiIn>(impl_->clientName);
        if (!input->in) return kMidiServerStartErr;
        input->in->ignoreTypes(false, false, true);
        input->in->setCallback(&Impl::Input::callback, input.get());
        rtMidiCallFailed = false;
        input->in->openVirtualPort(name);
        if (rtMidiCallFailed) return kMidiServerStartErr;
    }
    endpoint = ++impl_->nextRef;
    impl_->endpoints[endpoint] = Impl::Endpoint{Impl::Kind::destination, name, name, true, ++impl_->nextUniqueId};
    impl_->virtualDestinations[endpoint] = std::move(input);
    return kMidiNoError;
}

MidiStatus RtMidiBackend::disposeEndpoint(MidiEndpointRef endpoint) {
    impl_->serverReady(false);
    std::unique_ptr<Impl::Input> closing;
    std::unique_ptr<RtMidiOut> closingOut;
    {
        std::lock_guard lock(impl_->mutex);
        auto found = impl_->endpoints.find(endpoint);
        if (found == impl_->endpoints.end() || !found->second.ours) return kMidiUnknownEndpoint;
        impl_->endpoints.erase(found);
        if (auto input = impl_->virtualDestinations.find(endpoint); input != impl_->virtualDestinations.end()) {
            closing = std::move(input->second);
            impl_->virtualDestinations.erase(input);
        }
        std::lock_guard sending(impl_->sendMutex);
        if (auto out = impl_->virtualSources.find(endpoint); out != impl_->virtualSources.end()) {
            closingOut = std::move(out->second);
            impl_->virtualSources.erase(out);
        }
    }
    impl_->scheduler->flush(endpoint);
    std::vector<std::unique_ptr<Impl::Input>> inputs;
    inputs.push_back(std::move(closing));
    std::vector<std::unique_ptr<RtMidiOut>> outs;
    outs.push_back(std::move(closingOut));
    impl_->letGo(std::move(inputs), {}, std::move(outs));
    return kMidiNoError;
}

MidiStatus RtMidiBackend::received(MidiEndpointRef virtualSource, MidiPacketList packets) {
    {
        std::lock_guard lock(impl_->mutex);
        auto found = impl_->endpoints.find(virtualSource);
        if (found == impl_->endpoints.end() || !found->second.ours || found->second.kind != Impl::Kind::source) {
            return kMidiUnknownEndpoint;
        }
        if (system_ == System::none) return kMidiNoError;
    }
    return impl_->queue(virtualSource, packets);
}

MidiStatus RtMidiBackend::uniqueId(MidiEndpointRef endpoint, int32_t& id) {
    std::lock_guard lock(impl_->mutex);
    auto found = impl_->endpoints.find(endpoint);
    if (found == impl_->endpoints.end()) return kMidiUnknownEndpoint;
    id = found->second.uniqueId;
    return kMidiNoError;
}

MidiStatus RtMidiBackend::setUniqueId(MidiEndpointRef endpoint, int32_t id) {
    std::lock_guard lock(impl_->mutex);
    auto found = impl_->endpoints.find(endpoint);
    if (found == impl_->endpoints.end()) return kMidiUnknownEndpoint;
    for (const auto& [ref, other] : impl_->endpoints) {
        if (ref != endpoint && other.uniqueId == id) return kMidiIdNotUnique;
    }
    found->second.uniqueId = id;
    return kMidiNoError;
}

bool RtMidiBackend::networkSessionEnabled() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->networkEnabled;
}

void RtMidiBackend::setNetworkSessionEnabled(bool enabled, int32_t) {
    std::lock_guard lock(impl_->mutex);
    impl_->networkEnabled = enabled;
}

}  // namespace strombel::platform
