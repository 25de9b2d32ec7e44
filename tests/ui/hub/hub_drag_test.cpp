// The panel's drag: when it begins, how long it waits, and the speed it reports.

#include <gtest/gtest.h>

#include <vector>

#include "kit_test_support.h"
#include "ui/hub/hub_drag.h"

namespace strombel::ui::hub {
namespace {

using State = kit::GestureRecognizer::State;

class HubDragTest : public testing::KitTest {
  protected:
    HubDragTest() : touches(&root) {
        root.setFrame({0, 0, 400, 400});
        auto made = std::make_unique<HubDrag>([this](kit::GestureRecognizer& g) {
            states.push_back(g.state());
            if (g.state() == State::ended) endVelocity = drag->velocityInView(nullptr);
        });
        drag = static_cast<HubDrag*>(root.addGestureRecognizer(std::move(made)));
    }
    kit::View root;
    kit::TouchDispatcher touches;
    HubDrag* drag = nullptr;
    std::vector<State> states;
    QPointF endVelocity{-1, -1};
};

TEST_F(HubDragTest, BeginsAtItsMinimumDistanceMeasuredByDirection) {
    struct Case {
        int32_t direction;
        QPointF move;
        bool begins;
    };
    const std::vector<Case> cases = {
        {HubDrag::straight, {3, 0}, false}, {HubDrag::straight, {4, 0}, true},
        {HubDrag::straight, {0, -4}, true}, {HubDrag::vertical, {10, 3}, false},
        {HubDrag::vertical, {0, -4}, true}, {HubDrag::horizontal, {0, 10}, false},
        {HubDrag::horizontal, {-4, 0}, true},
    };
    for (const auto& c : cases) {
        states.clear();
        drag->direction = c.direction;
        drag->minimumDistance = 4;
        touches.begin(1, {100, 100});
        touches.move(1, QPointF(100, 100) + c.move);
        EXPECT_EQ(drag->recognized(), c.begins) << c.move.x() << "," << c.move.y() << " dir " << c.direction;
        EXPECT_EQ(!states.empty() && states.front() == State::began, c.begins);
        touches.end(1, QPointF(100, 100) + c.move);
    }
}

TEST_F(HubDragTest, VelocityComesFromTheLastTwoMovesAndIsZeroAfterARest) {
    drag->minimumDistance = 4;
    touches.begin(1, {100, 100});
    advance(0.01);
    touches.move(1, {110, 100});
    advance(0.02);
    touches.move(1, {130, 100});
    EXPECT_NEAR(drag->velocityInView(nullptr).x(), 1000, 1e-6);  // 20 points in 0.02 s
    touches.end(1, {130, 100});
    EXPECT_NEAR(endVelocity.x(), 1000, 1e-6) << "a lift right after the move keeps the speed";

    touches.begin(1, {100, 100});
    advance(0.01);
    touches.move(1, {120, 100});
    advance(0.1);
    touches.end(1, {120, 100});
    EXPECT_EQ(endVelocity, QPointF(0, 0)) << "a finger at rest for 0.1 s has no speed";
    EXPECT_EQ(drag->offsetInView(nullptr), QPointF(20, 0));
}

TEST_F(HubDragTest, TwoMovesAtTheSameTimeGiveNoSpeedRatherThanAnEndlessOne) {
    drag->minimumDistance = 4;
    touches.begin(1, {100, 100});
    touches.move(1, {110, 100});
    touches.move(1, {130, 100});
    EXPECT_EQ(drag->velocityInView(nullptr), QPointF(0, 0));
}

TEST_F(HubDragTest, TimesOutBeforeItsDistanceAndWaitsOutItsMinimumDuration) {
    drag->minimumDistance = 4;
    drag->timeoutDuration = 0.5;
    touches.begin(1, {100, 100});
    advance(0.6);
    touches.move(1, {120, 100});
    EXPECT_FALSE(drag->recognized()) << "the time-out failed it";
    touches.end(1, {120, 100});

    drag->timeoutDuration = 0;
    drag->minimumDuration = 0.3;
    states.clear();
    touches.begin(1, {100, 100});
    advance(0.1);
    touches.move(1, {120, 100});
    EXPECT_FALSE(drag->recognized());
    advance(0.19);
    EXPECT_FALSE(drag->recognized());
    advance(0.02);
    EXPECT_TRUE(drag->recognized()) << "recognised once the minimum duration passed";
    ASSERT_FALSE(states.empty());
    EXPECT_EQ(states.back(), State::began);
    touches.end(1, {120, 100});
}

// Fingers land one at a time: a drag of two starts once both are down,
// measures and reports the point between them, and fails at a third finger.
TEST_F(HubDragTest, ADragOfTwoFingersFollowsThePointBetweenThem) {
    drag->numberOfTouches = 2;
    drag->minimumDistance = 4;
    touches.begin(1, {100, 100});
    EXPECT_FALSE(drag->started()) << "waiting for the second finger";
    touches.begin(2, {200, 100});
    ASSERT_TRUE(drag->started());
    EXPECT_EQ(drag->firstTouchLocationInView(nullptr), QPointF(150, 100));
    advance(0.01);
    touches.move(1, {103, 100});
    EXPECT_FALSE(drag->recognized()) << "the middle moved 1.5 points";
    advance(0.01);
    touches.move(2, {205, 100});
    ASSERT_TRUE(drag->recognized()) << "the middle moved 4 points";
    EXPECT_EQ(drag->offsetInView(nullptr), QPointF(4, 0));
    EXPECT_EQ(drag->location(), QPointF(154, 100));
    EXPECT_NEAR(drag->velocityInView(nullptr).x(), 250, 1e-6);  // 2.5 points in 0.01 s
    touches.end(2, {205, 100});
    EXPECT_EQ(states.back(), State::ended) << "one finger lifting ends it";
    touches.end(1, {103, 100});

    states.clear();
    touches.begin(1, {100, 100});
    touches.begin(2, {200, 100});
    touches.begin(3, {300, 100});
    EXPECT_FALSE(drag->started()) << "a third finger is no drag of two";
    for (int finger : {1, 2, 3}) touches.end(finger, {100, 100});
    touches.begin(4, {100, 100});
    touches.begin(5, {120, 100});
    EXPECT_TRUE(drag->started()) << "once all lifted, two new fingers start one";
    touches.end(4, {100, 100});
    touches.end(5, {120, 100});
}

TEST_F(HubDragTest, WithoutDistanceOrDurationItBeginsAtTheTouchAndASecondFingerFailsIt) {
    touches.begin(1, {10, 10});
    EXPECT_TRUE(drag->recognized());
    touches.begin(2, {50, 50});
    EXPECT_FALSE(drag->recognized());
    EXPECT_EQ(states.back(), State::cancelled);
}

}  // namespace
}  // namespace strombel::ui::hub
