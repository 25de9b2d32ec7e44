#include "ui/kit/gesture_recognizer.h"

#include <gtest/gtest.h>

#include <vector>

#include "ui/kit/control.h"
#include "ui/kit/kit_test_support.h"

namespace strombel::ui::kit {
namespace {

class GestureTest : public testing::KitTest {
  protected:
    View root{QRectF(0, 0, 300, 300)};
    TouchDispatcher touches{&root};
};

TEST_F(GestureTest, TwoQuickTapsMakeADoubleTapAndCancelTheSecondTouchInTheControl) {
    Control* control = root.add(std::make_unique<Control>(QRectF(0, 0, 100, 100)));
    int doubleTaps = 0, upInside = 0, cancelled = 0;
    control->addGestureRecognizer(
        std::make_unique<TapGestureRecognizer>([&](GestureRecognizer&) { ++doubleTaps; }, 2));
    control->addTarget(touchUpInside, [&](Control&) { ++upInside; });
    control->addTarget(touchCancel, [&](Control&) { ++cancelled; });
    touches.begin(1, {50, 50});
    advance(0.05);
    touches.end(1, {50, 50});
    advance(0.1);
    touches.begin(1, {52, 51});
    advance(0.05);
    touches.end(1, {52, 51});
    EXPECT_EQ(doubleTaps, 1);
    EXPECT_EQ(upInside, 1);
    EXPECT_EQ(cancelled, 1);
}

TEST_F(GestureTest, SlowTapsOrAWanderingFingerAreNoDoubleTap) {
    int doubleTaps = 0;
    root.addGestureRecognizer(
        std::make_unique<TapGestureRecognizer>([&](GestureRecognizer&) { ++doubleTaps; }, 2));
    touches.begin(1, {50, 50});
    touches.end(1, {50, 50});
    advance(0.6);
    touches.begin(1, {50, 50});
    touches.end(1, {50, 50});
    EXPECT_EQ(doubleTaps, 0);
    advance(0.6);
    touches.begin(1, {50, 50});
    touches.move(1, {90, 50});
    touches.end(1, {90, 50});
    touches.begin(1, {90, 50});
    touches.end(1, {90, 50});
    EXPECT_EQ(doubleTaps, 0);
}

TEST_F(GestureTest, LongPressBeginsAfterHoldingStillAndEndsOnLift) {
    std::vector<GestureRecognizer::State> states;
    root.addGestureRecognizer(std::make_unique<LongPressGestureRecognizer>(
        [&](GestureRecognizer& recognizer) { states.push_back(recognizer.state()); }, 0.5));
    touches.begin(1, {10, 10});
    advance(0.4);
    EXPECT_TRUE(states.empty());
    advance(0.2);
    ASSERT_EQ(states.size(), 1u);
    EXPECT_EQ(states[0], GestureRecognizer::State::began);
    touches.end(1, {10, 10});
    ASSERT_EQ(states.size(), 2u);
    EXPECT_EQ(states[1], GestureRecognizer::State::ended);
    // A finger that moves away first is no long press.
    touches.begin(2, {10, 10});
    touches.move(2, {60, 10});
    advance(1.0);
    touches.end(2, {60, 10});
    EXPECT_EQ(states.size(), 2u);
}

TEST_F(GestureTest, PanReportsTheTranslationFromWhereItBegan) {
    QPointF last;
    std::vector<GestureRecognizer::State> states;
    root.addGestureRecognizer(
        std::make_unique<PanGestureRecognizer>([&](GestureRecognizer& recognizer) {
            states.push_back(recognizer.state());
            last = static_cast<PanGestureRecognizer&>(recognizer).translation();
        }));
    touches.begin(1, {100, 100});
    touches.move(1, {104, 100});  // within the slop
    EXPECT_TRUE(states.empty());
    touches.move(1, {130, 90});
    touches.move(1, {150, 80});
    touches.end(1, {160, 80});
    EXPECT_EQ(states, (std::vector<GestureRecognizer::State>{GestureRecognizer::State::began,
                                                             GestureRecognizer::State::changed,
                                                             GestureRecognizer::State::ended}));
    EXPECT_EQ(last, QPointF(60, -20));
}

}  // namespace
}  // namespace strombel::ui::kit
