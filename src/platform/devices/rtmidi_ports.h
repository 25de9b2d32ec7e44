#pragma once

// RtMidi's objects on JACK for the RtMidi backend (rtmidi_backend.cpp): how
// they are told apart as ours, closed in order or left alone, and what they
// report. Private to this folder.
//
// Closing an RtMidi port on JACK in the right order: each RtMidi object on JACK
// is a JACK client of its own whose process callback runs on JACK's thread
// until the client closes. RtMidi's destructors unregister the port while that
// callback may be using it, free the buffer the callback reads, and close the
// client last. We stop the callbacks first (deactivating the client), then let
// the client's closing take its port along, then RtMidi frees: stop, close,
// free, each once. RtMidi offers no way to reach its client: member pointers
// reach RtMidi's own fields, and its JACK data begins with the client and the
// port (RtMidi 4 to 6). The library loaded at run time may not be the one we
// were built against: with another major version the fields are not touched
// and RtMidi closes its ports its own way.

#include <RtMidi.h>
#include <jack/jack.h>

#include <atomic>
#include <cstdint>
#include <iostream>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "platform/devices/jack_clients.h"
#include "platform/devices/rtmidi_backend.h"

namespace strombel::platform::rtmidi_detail {

struct RtMidiJackData {
    jack_client_t* client;
    jack_port_t* port;
};

bool loadedRtMidiHasKnownJackLayout();
/// RtMidi's JACK data of a port, or null for a port on another system or of an
/// RtMidi whose fields we do not know.
RtMidiJackData* jackDataOf(RtMidi& port);

/// Our RtMidi objects' JACK client names, as JACK gave them.
void rememberOwnClient(const void* port, const char* jackName);
void forgetOwnClient(const void* port);
bool isOwnJackClient(const std::string& jackName);

/// Leaves an RtMidi object (or what holds one) alone for good.
template <class T>
void leaveAlone(std::unique_ptr<T> object) {
    forgetOwnClient(object.get());
    // Objects left alone on purpose are not leaks to the leak checker.
    leaveJackObjectAlone(object.release());
}

// A port made before a server shut a client of this process down, or before an
// open failed (jackLosses, jack_clients.h), is never closed, only left alone.
uint64_t lossesSeen();
void rememberMade(const void* port);
/// Forgets `port` as made; answers whether no loss happened since it was.
bool forgetMade(const void* port);
/// Deactivates the port's JACK client, so that its callbacks stop.
void stopForClosing(RtMidi& port);

/// Stops the port's callbacks, then lets RtMidi close and free it; a port whose
/// client libjack may have released is left alone.
template <class Port>
void closeInOrder(std::unique_ptr<Port>& port) {
    if (!port) return;
    forgetOwnClient(port.get());
    if (!forgetMade(port.get())) {
        leaveAlone(std::move(port));
        return;
    }
    stopForClosing(*port);
    port.reset();
}

/// Held while an RtMidi object is made with its warnings taken (`madeQuietly`).
std::mutex& quietMakingMutex();

/// Makes an RtMidi object on `api` under the client name `name`. RtMidi opens
/// its JACK client as it makes the object, before it can be given our error
/// handler, and writes what went wrong to standard error: that text goes to
/// `said` instead. Nothing else of ours writes to std::cerr, and RtMidi objects
/// are made one at a time here.
template <class Port>
std::unique_ptr<Port> madeQuietly(RtMidi::Api api, const std::string& name, std::string& said) {
    std::lock_guard lock(quietMakingMutex());
    std::ostringstream caught;
    std::streambuf* const errors = std::cerr.rdbuf(caught.rdbuf());
    try {
        auto port = std::make_unique<Port>(api, name);
        std::cerr.rdbuf(errors);
        said = caught.str();
        return port;
    } catch (...) {
        std::cerr.rdbuf(errors);
        said = caught.str();
        throw;
    }
}

/// RtMidi reports errors through `onRtMidiError` once it is set, instead of
/// throwing; a call that failed sets this flag of the calling thread.
extern thread_local bool rtMidiCallFailed;
/// `lostClients` is the backend's flag that its JACK clients are no longer safe
/// to touch. A JACK client that cannot be opened ("JACK server not running?") is
/// such a sign: libjack, failing to open a client on a server that does not
/// answer in time, releases clients of ours that were open, whose memory it
/// then hands out again. Those are set aside, never closed (see bury).
void onRtMidiError(RtMidiError::Type type, const std::string& text, void* lostClients);
/// The last error RtMidi reported, and a way to set it.
std::string lastError();
void rememberError(const std::string& text);

/// libjack gives each client a socket named after the client alone, not after
/// its server: two processes with clients of one name, even on two servers, take
/// each other's socket, and one of the opens fails ("JACK server not running?").
/// Clients nobody sees (no ports) carry the process's id, so that they never meet.
std::string ownClientName(const std::string& name);

RtMidi::Api apiOf(RtMidiBackend::System system);
/// ALSA port names end in " client:port" numbers that change between sessions;
/// names are what the user's choices are stored under, so the numbers go.
std::string displayName(RtMidiBackend::System system, const std::string& rtName);

/// A backend's "the server went" flag, kept for the whole run: JACK and RtMidi
/// hand it to clients that may be left alone, and such a client may still
/// set it after its backend is gone.
std::atomic<bool>& keptServerGoneFlag();

/// The JACK ports that went away since the rescan last looked, as the watch
/// client hears of them (on JACK's notification thread). Kept for the whole run
/// like the flag above: a watch client left alone may still be told.
struct PortsGone {
    std::mutex mutex;
    std::vector<jack_port_id_t> ids;

    static void onRegistration(jack_port_id_t id, int registered, void* self) {
        if (registered) return;
        auto* gone = static_cast<PortsGone*>(self);
        std::lock_guard lock(gone->mutex);
        gone->ids.push_back(id);
    }
    std::vector<jack_port_id_t> take() {
        std::lock_guard lock(mutex);
        return std::exchange(ids, {});
    }
};
PortsGone& keptPortsGone();

}  // namespace strombel::platform::rtmidi_detail
