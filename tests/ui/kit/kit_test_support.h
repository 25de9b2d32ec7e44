#pragma once

#include <gtest/gtest.h>

#include <QApplication>
#include <cmath>
#include <cstdint>
#include <memory>

#include "platform/clock.h"
#include "platform/main_loop.h"
#include "ui/kit/context.h"
#include "ui/kit/touch_dispatcher.h"
#include "ui/kit/view.h"

namespace strombel::testing {

/// The Qt application every widget test needs (offscreen in tests), made once.
inline QApplication& application() {
    static int argc = 1;
    static char name[] = "strombel-ui-tests";
    static char* argv[] = {name, nullptr};
    // Never destroyed: Qt's input devices must outlive every window, and the
    // process ends right after the tests.
    static QApplication* app = std::make_unique<QApplication>(argc, argv).release();
    return *app;
}

/// A test with its own main loop over a manual clock, and a kit context on it.
class KitTest : public ::testing::Test {
  protected:
    explicit KitTest(ui::kit::Screen screen = ui::kit::Screen::tablet()) : context(loop, screen) {
        application();
    }

    /// Moves time on by `seconds`, firing timers and animation steps on the way.
    void advance(double seconds) {
        loop.advance(static_cast<uint64_t>(std::llround(seconds * 1e9)));
    }
    void pump() { loop.runPending(); }

    platform::ManualClock clock;
    platform::MainLoop loop{clock};
    ui::kit::Context context;
};

/// A finger for tests: touches a view at a point of its own.
class Finger {
  public:
    Finger(ui::kit::TouchDispatcher& touches, int id) : touches_(touches), id_(id) {}
    void down(const ui::kit::View& view, QPointF point) {
        touches_.begin(id_, view.mapToScene(point));
    }
    void move(const ui::kit::View& view, QPointF point) {
        touches_.move(id_, view.mapToScene(point));
    }
    void up(const ui::kit::View& view, QPointF point) { touches_.end(id_, view.mapToScene(point)); }
    void tap(const ui::kit::View& view, QPointF point) {
        down(view, point);
        up(view, point);
    }

  private:
    ui::kit::TouchDispatcher& touches_;
    int id_;
};

}  // namespace strombel::testing
