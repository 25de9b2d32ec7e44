#include "app/launch_watch.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "platform/termination_signals.h"

namespace strombel::app {

LaunchWatch::LaunchWatch(int graceMilliseconds) {
    const int pending = platform::terminationSignalDescriptor();
    over_ = ::eventfd(0, EFD_CLOEXEC);
    if (pending < 0 || over_ < 0) return;
    auto watch = [this, pending, graceMilliseconds] {
        // Polled, never read: the signal stays pending for the start to take.
        pollfd both[2] = {{over_, POLLIN, 0}, {pending, POLLIN, 0}};
        int ready;
        do ready = ::poll(both, 2, -1);
        while (ready < 0 && errno == EINTR);
        if (ready < 0 || both[0].revents) return;
        pollfd over{over_, POLLIN, 0};
        if (::poll(&over, 1, graceMilliseconds) != 0) return;
        std::fprintf(stderr,
                     "strombel: ended while starting: a step of the start did not come back within %d s of the "
                     "signal\n",
                     graceMilliseconds / 1000);
        std::fflush(stderr);
        std::_Exit(0);
    };
    thread_ = platform::Worker("launch watch", watch, [this] {
        const uint64_t one = 1;
        (void)!::write(over_, &one, sizeof one);
    });
}

LaunchWatch::~LaunchWatch() {
    thread_.stop();
    if (over_ >= 0) ::close(over_);
}

}  // namespace strombel::app
