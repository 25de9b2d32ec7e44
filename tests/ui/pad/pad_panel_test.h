#pragma once

// What a test of one of the pad screen's panel controllers stands on: a main loop
// over a manual clock and a kit context on it, in the QApplication the test
// program's main makes.

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>

#include "platform/clock.h"
#include "platform/main_loop.h"
#include "ui/kit/context.h"

namespace strombel::ui {

class PadPanelTest : public ::testing::Test {
protected:
    PadPanelTest() { loop.bindToCurrentThread(); }

    /// Moves time on by `seconds`, firing timers on the way.
    void advance(double seconds) { loop.advance(static_cast<uint64_t>(std::llround(seconds * 1e9))); }

    platform::ManualClock clock{1'000'000'000};
    platform::MainLoop loop{clock};
    kit::Context context{loop, kit::Screen::tablet()};
};

}  // namespace strombel::ui
