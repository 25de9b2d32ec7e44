#pragma once

// A main loop over a manual clock with a network thread delivering to it, as the
// exchange tests pump it.

#include <chrono>
#include <functional>
#include <thread>

#include "http/network_thread.h"
#include "platform/clock.h"
#include "platform/main_loop.h"

namespace strombel::testing {

struct ExchangeLoop {
    ExchangeLoop() { loop.bindToCurrentThread(); }
    ~ExchangeLoop() { network.stop(); }

    /// Pumps until `done` answers true, moving the clock on by `step` each slice
    /// (so a silent peer times out); false if it never does (the limit only guards
    /// against a hung test).
    bool pumpUntil(const std::function<bool()>& done, uint64_t step = 0) {
        const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        for (;;) {
            loop.runPending();
            if (done()) return true;
            if (std::chrono::steady_clock::now() > limit) return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
            if (step) clock.advance(step);
        }
    }

    platform::ManualClock clock{1'000'000'000};
    platform::MainLoop loop{clock};
    http::NetworkThread network{loop};
};

}  // namespace strombel::testing
