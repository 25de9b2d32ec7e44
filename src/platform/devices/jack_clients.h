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
/// answer to our probes: its messages go to the debug log instead.
void quietenJackLibrary();

/// Servers that shut a client of ours down, and opens that failed, since start.
uint64_t jackLosses();
/// Counts a loss (any thread, JACK's included).
void noteJackLoss();

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
