// The scroll view: its offset held inside the content, dragging and the wheel,
// and indicators that show only where the content does not fit.

#include "ui/kit/scroll_view.h"

#include <gtest/gtest.h>

#include "kit_test_support.h"
#include "ui/kit/control.h"

namespace strombel::ui::kit {
namespace {

class ScrollViewTest : public testing::KitTest {};

TEST_F(ScrollViewTest, TheOffsetStaysInsideTheContentAndMovesIt) {
    ScrollView scroll({0, 0, 50, 100});
    scroll.setContentSize({50, 300});
    EXPECT_TRUE(scroll.scrolls());
    const struct {
        QPointF asked, held;
    } cases[] = {{{0, 120}, {0, 120}}, {{0, 250}, {0, 200}}, {{0, -5}, {0, 0}}, {{30, 40}, {0, 40}}};
    for (const auto& c : cases) {
        scroll.setContentOffset(c.asked);
        EXPECT_EQ(scroll.contentOffset(), c.held);
        EXPECT_EQ(scroll.contentView()->frame(), QRectF(-c.held, QSizeF(50, 300)));
    }
    // Content that fits holds the offset at 0.
    scroll.setContentSize({50, 80});
    EXPECT_FALSE(scroll.scrolls());
    EXPECT_EQ(scroll.contentOffset(), QPointF(0, 0));
    EXPECT_FALSE(scroll.scrollWheel({0, 30}));
}

TEST_F(ScrollViewTest, AFingerDragsTheContentAndTheButtonUnderItLetsGo) {
    View screen({0, 0, 200, 200});
    auto* scroll = screen.add(std::make_unique<ScrollView>(QRectF(0, 0, 50, 100)));
    scroll->setContentSize({50, 300});
    int pressed = 0;
    auto* button = scroll->contentView()->add(std::make_unique<Button>(QRectF(0, 0, 50, 50)));
    button->addTarget(touchUpInside, [&pressed](Control&) { ++pressed; });
    TouchDispatcher touches(&screen);
    testing::Finger finger(touches, 1);
    finger.down(screen, {25, 40});
    for (double y = 35; y >= 0; y -= 5) {
        advance(0.016);
        finger.move(screen, {25, y});
    }
    EXPECT_EQ(scroll->contentOffset(), QPointF(0, 40));
    EXPECT_FALSE(scroll->verticalIndicator()->isHidden()) << "shown while dragging";
    EXPECT_TRUE(scroll->horizontalIndicator()->isHidden()) << "the width fits";
    advance(2);
    EXPECT_TRUE(scroll->indicatorsVisible()) << "the finger is still down";
    finger.up(screen, {25, 0});
    EXPECT_EQ(pressed, 0) << "a drag is no press";
    advance(0.6);
    EXPECT_FALSE(scroll->indicatorsVisible());

    scroll->setContentSize({50, 90});
    finger.down(screen, {25, 40});
    advance(0.016);
    finger.move(screen, {25, 10});
    finger.up(screen, {25, 10});
    EXPECT_EQ(scroll->contentOffset(), QPointF(0, 0)) << "content that fits does not move";
}

TEST_F(ScrollViewTest, FlashedIndicatorsShowWhereTheViewIsAndGoAfterASecond) {
    ScrollView scroll({0, 0, 300, 50});
    scroll.setContentSize({600, 50});
    scroll.setContentOffset({300, 0});
    scroll.flashScrollIndicators();
    ASSERT_TRUE(scroll.indicatorsVisible());
    EXPECT_TRUE(scroll.verticalIndicator()->isHidden());
    // Half the content shows, at its end: the bar is half the room long, at its end.
    const QRectF bar = scroll.horizontalIndicator()->frame();
    EXPECT_DOUBLE_EQ(bar.width(), (300 - 4) / 2.0);
    EXPECT_DOUBLE_EQ(bar.right(), 298);
    EXPECT_DOUBLE_EQ(bar.bottom(), 48);
    advance(0.9);
    EXPECT_TRUE(scroll.indicatorsVisible());
    advance(0.2);
    EXPECT_FALSE(scroll.indicatorsVisible());

    // The wheel scrolls a horizontal content too.
    EXPECT_TRUE(scroll.scrollWheel({0, 100}));
    EXPECT_EQ(scroll.contentOffset(), QPointF(200, 0));
}

TEST_F(ScrollViewTest, TheWheelScrollsAsInTheTableView) {
    ScrollView scroll({0, 0, 50, 100});
    scroll.setContentSize({50, 300});
    EXPECT_TRUE(scroll.scrollWheel({0, -40}));
    EXPECT_EQ(scroll.contentOffset(), QPointF(0, 40)) << "a notch towards the user moves down";
    EXPECT_TRUE(scroll.scrollWheel({0, 15}));
    EXPECT_EQ(scroll.contentOffset(), QPointF(0, 25));
}

}  // namespace
}  // namespace strombel::ui::kit
