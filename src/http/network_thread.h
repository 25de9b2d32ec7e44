#pragma once

// The one long-lived thread on which every HTTP transfer runs (libcurl's multi
// interface, so that connections are reused), with the cookie store that
// requests share. Messages go back to the main loop the thread was made with.

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>

#include "platform/main_loop.h"

namespace strombel::http {

namespace detail {
class NetworkCore;
}

class NetworkThread {
public:
    /// A thread delivering to `loop` and measuring time-outs on the loop's clock,
    /// so that a test advancing a manual clock times requests out.
    explicit NetworkThread(platform::MainLoop& loop);
    /// Stops the thread (see `stop`).
    ~NetworkThread();
    NetworkThread(const NetworkThread&) = delete;
    NetworkThread& operator=(const NetworkThread&) = delete;

    /// The program's thread, on the program's main loop, made on first use.
    static NetworkThread& shared();
    /// At the program's end: stops the shared thread (see `stop`), if it was made.
    static void stopShared();

    platform::MainLoop& mainLoop() const;

    /// Trusts the certificate authorities in `file` (PEM) instead of the system's.
    /// For tests with their own authority; set before the first request.
    void setCertificateAuthorityFile(std::filesystem::path file);

    /// Forgets every cookie the shared store would send to `url`'s host (logout).
    /// Requests started afterwards no longer send them.
    void deleteCookiesForURL(std::string url);

    /// Cancels every running request (each reports the cancelled error, unless its
    /// delegates were cleared) and joins the thread. Requests started afterwards
    /// fail at once with the cancelled error. Safe to call twice.
    void stop();

    /// How many requests the thread has ended (finished, failed or cancelled). Once
    /// it counts a request, every message of that request is on its way to the main
    /// loop (a message on its way is dropped if the request's delegates are cleared).
    uint64_t endedTransferCount() const;

    /// For HttpRequest: the part that outlives this object while requests hold it.
    const std::shared_ptr<detail::NetworkCore>& core() const { return core_; }

private:
    std::shared_ptr<detail::NetworkCore> core_;
};

}  // namespace strombel::http
