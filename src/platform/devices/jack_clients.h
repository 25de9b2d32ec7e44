#pragma once

// What every JACK client of ours must know about a server that goes away.
//
// Once a server has shut a client of this process down, libjack frees every
// client of the process at the next client anybody opens (a probe, a rescan, a
// reopening). A client from before such a loss may therefore be gone under our
// feet: it is never deactivated, closed or otherwise touched again, only left
// alone. Each client remembers `jackLosses()` when it opens and is closed only
// while that count has not moved.

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

typedef struct _jack_client jack_client_t;

namespace strombel::platform {

/// libjack writes to standard error when no server runs, which is an ordinary
/// answer to our probes: its messages go to the debug log instead. And the
/// threads it makes for any client of the process, ours or a library's, are
/// named "JACK client". Before the first client is opened.
void quietenJackLibrary();

/// Servers that shut a client of ours down, and opens that failed, since start.
uint64_t jackLosses();
/// Counts a loss (any thread, JACK's included).
void noteJackLoss();
/// A client of ours could not be opened. libjack, failing to open a client on
/// a server that does not answer in time, may release the clients of ours that
/// were open: this counts as a loss.
void noteFailedJackOpen();

/// How often an open that a server refused while it answers a client of ours
/// is tried in all: two processes opening clients of one name at once can
/// refuse each other's (libjack names a client's socket after the client).
inline constexpr int kJackOpeningTries = 5;

/// Whether a JACK server answers now: a client named after this process, which
/// no other process's open meets, opens and closes. One that does not open
/// counts as a failed open. Not on the main loop (see jack_opener.h).
bool jackServerAnswers();

/// Opens a client under `jackClientName(name)` without starting a server; an
/// open refused while a server answers is tried again, up to
/// `kJackOpeningTries` in all. A refusal is no loss while a client of our own
/// opens on the server right after it (the server answers, and left the
/// process's clients as they were); one the server does not answer after
/// counts as a failed open. Null when none opened. Not on the main loop.
jack_client_t* openJackClient(const std::string& name);

/// The name to open a client under. A client left alone keeps libjack's
/// threads waiting on the wake-ups of its name, and JACK keeps those wake-ups
/// in files named after the server and the client that outlive the server: a
/// client of that name on a server started again under the same name would
/// share them with the left-alone one, which then takes its wake-ups (the new
/// client hangs, and the server with it, for tens of seconds). So a name used
/// before a loss is never used again: until the first loss it is `name`
/// itself, after it `name` with a number that grows with each loss that
/// followed an open ("Strombel-2"). Any thread.
std::string jackClientName(const std::string& name);
/// A client opened under a name `jackClientName` gave: the next loss changes names.
void noteJackClientOpened();

/// Tells its owner, once, that the server shut one client down. Installed
/// before the client is activated; it takes the place of any shutdown handler the
/// client's library installed (which would close the client itself).
class JackShutdownWatch {
public:
    /// Called on JACK's notification thread with JACK's reason; keep it short.
    using Gone = std::function<void(const std::string& reason)>;

    /// Installs the watch on `client`, opened just now.
    static std::unique_ptr<JackShutdownWatch> install(jack_client_t* client, Gone gone);
    ~JackShutdownWatch();
    JackShutdownWatch(const JackShutdownWatch&) = delete;
    JackShutdownWatch& operator=(const JackShutdownWatch&) = delete;

    /// The server shut the client down.
    bool gone() const { return gone_.load(); }
    /// Whether the client may still be deactivated and closed: its server has
    /// not gone and no loss happened since it was opened.
    bool closable() const { return !gone() && jackLosses() == openedAt_; }
    /// The owner closes the client itself: what JACK reports while it does so
    /// is no loss (libjack may call the shutdown handlers of a client it closes).
    void closing();
    /// Gives up on the client for good: `gone` is never called again. The watch
    /// object itself stays, since JACK may still call into it; its owner may go.
    static void leaveAlone(std::unique_ptr<JackShutdownWatch> watch);

private:
    explicit JackShutdownWatch(Gone gone);
    static void onShutdown(int code, const char* reason, void* self);

    std::mutex mutex_;  // `gone_` callback against `leaveAlone`
    Gone callback_;
    std::atomic<bool> gone_{false};
    bool closing_ = false;  // under mutex_
    uint64_t openedAt_ = 0;
};

/// Leaves an object of a library that holds a lost JACK client alone for good:
/// destroying it would touch what libjack has already freed. Not a leak to the
/// leak checker.
void leaveJackObjectAlone(const void* object);

}  // namespace strombel::platform
