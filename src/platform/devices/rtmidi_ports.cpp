// RtMidi's objects on JACK: how they are told apart as ours, closed in order or
// left alone, and what they report. Used by the RtMidi backend alone.

#include "platform/devices/rtmidi_ports.h"

#include <unistd.h>

#include <algorithm>
#include <forward_list>
#include <map>
#include <mutex>

#include "platform/devices/jack_clients.h"

namespace strombel::platform::rtmidi_detail {

struct RtMidiFields : RtMidi {
    static constexpr MidiApi* RtMidi::*api = &RtMidiFields::rtapi_;
};
struct MidiApiFields : MidiApi {
    static constexpr void* MidiApi::*data = &MidiApiFields::apiData_;
};
bool loadedRtMidiHasKnownJackLayout() {
    static const bool known = RtMidiBackend::knowsJackLayoutOf(RtMidi::getVersion());
    return known;
}

RtMidiJackData* jackDataOf(RtMidi& port) {
    if (!loadedRtMidiHasKnownJackLayout()) return nullptr;
    MidiApi* api = port.*RtMidiFields::api;
    if (!api || api->getCurrentApi() != RtMidi::UNIX_JACK) return nullptr;
    return static_cast<RtMidiJackData*>(api->*MidiApiFields::data);
}

namespace {

// The JACK client names our RtMidi objects were given (JACK numbers repeated
// names, "Strombel MIDI Client-02", and a second Strombel's clients carry the
// same names as ours): how our own ports are told from everybody else's.
std::mutex ownClientsMutex;
std::map<const void*, std::string> ownJackClients;  // RtMidi object -> its JACK client's name

std::mutex madeMutex;
std::map<const void*, uint64_t> madeAfterLosses;  // RtMidi object -> jackLosses when made

std::mutex lastErrorMutex;
std::string lastErrorText;

}  // namespace

void rememberOwnClient(const void* port, const char* jackName) {
    if (!jackName) return;
    std::lock_guard lock(ownClientsMutex);
    ownJackClients[port] = jackName;
}

void forgetOwnClient(const void* port) {
    std::lock_guard lock(ownClientsMutex);
    ownJackClients.erase(port);
}

bool isOwnJackClient(const std::string& jackName) {
    std::lock_guard lock(ownClientsMutex);
    return std::any_of(ownJackClients.begin(), ownJackClients.end(),
                       [&jackName](const auto& entry) { return entry.second == jackName; });
}

std::mutex& quietMakingMutex() {
    static std::mutex mutex;
    return mutex;
}

uint64_t lossesSeen() { return jackLosses(); }

void rememberMade(const void* port) {
    std::lock_guard lock(madeMutex);
    madeAfterLosses[port] = lossesSeen();
}

bool forgetMade(const void* port) {
    std::lock_guard lock(madeMutex);
    auto made = madeAfterLosses.find(port);
    const bool safe = made != madeAfterLosses.end() && made->second == lossesSeen();
    if (made != madeAfterLosses.end()) madeAfterLosses.erase(made);
    return safe;
}

void stopForClosing(RtMidi& port) {
    if (RtMidiJackData* data = jackDataOf(port); data && data->client) {
        jack_deactivate(data->client);
        // Closing the client unregisters its port; RtMidi need not (and its
        // output would wait a second for a callback that no longer comes).
        data->port = nullptr;
    }
}

// RtMidi reports errors through this callback once it is set, instead of throwing.
thread_local bool rtMidiCallFailed = false;

// `lostClients` is the backend's flag that its JACK clients are no longer safe
// to touch. A JACK client that cannot be opened ("JACK server not running?") is
// such a sign: libjack, failing to open a client on a server that does not
// answer in time, releases clients of ours that were open, whose memory it
// then hands out again. Those are set aside, never closed (see bury).
void onRtMidiError(RtMidiError::Type type, const std::string& text, void* lostClients) {
    if (lostClients && text.find("JACK server not running") != std::string::npos) {
        noteFailedJackOpen();
        static_cast<std::atomic<bool>*>(lostClients)->store(true);
    }
    if (type == RtMidiError::WARNING || type == RtMidiError::DEBUG_WARNING) return;
    rtMidiCallFailed = true;
    std::lock_guard lock(lastErrorMutex);
    lastErrorText = text;
}

std::string ownClientName(const std::string& name) { return name + " " + std::to_string(::getpid()); }

std::string lastError() {
    std::lock_guard lock(lastErrorMutex);
    return lastErrorText;
}

void rememberError(const std::string& text) {
    std::lock_guard lock(lastErrorMutex);
    lastErrorText = text;
}

RtMidi::Api apiOf(RtMidiBackend::System system) {
    switch (system) {
        case RtMidiBackend::System::alsa: return RtMidi::LINUX_ALSA;
        case RtMidiBackend::System::jack: return RtMidi::UNIX_JACK;
        case RtMidiBackend::System::none: break;
    }
    return RtMidi::RTMIDI_DUMMY;
}

std::string displayName(RtMidiBackend::System system, const std::string& rtName) {
    if (system != RtMidiBackend::System::alsa) return rtName;
    const size_t space = rtName.rfind(' ');
    if (space == std::string::npos) return rtName;
    const std::string tail = rtName.substr(space + 1);
    const size_t colon = tail.find(':');
    auto digits = [](const std::string& text) {
        return !text.empty() && std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
    };
    if (colon == std::string::npos || !digits(tail.substr(0, colon)) || !digits(tail.substr(colon + 1))) return rtName;
    return rtName.substr(0, space);
}

std::atomic<bool>& keptServerGoneFlag() {
    static std::mutex mutex;
    // Never destroyed: a backend kept by a static may ask its flag at exit.
    static auto* flags = new std::forward_list<std::atomic<bool>>;
    std::lock_guard lock(mutex);
    return flags->emplace_front(false);
}

PortsGone& keptPortsGone() {
    static std::mutex mutex;
    static auto* logs = new std::forward_list<PortsGone>;
    std::lock_guard lock(mutex);
    return logs->emplace_front();
}


}  // namespace strombel::platform::rtmidi_detail
