#include "ui/kit/control.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ui/kit/kit_test_support.h"
#include "ui/kit/touch_dispatcher.h"
#include "ui/kit/window.h"

namespace strombel::ui::kit {
namespace {

class ControlTest : public testing::KitTest {
  protected:
    ControlTest() {
        auto made = std::make_unique<Button>(QRectF(100, 100, 50, 50));
        button = root.add(std::move(made));
        const std::pair<ControlEvent, const char*> names[] = {{touchDown, "down"},
                                                              {touchDragInside, "drag-inside"},
                                                              {touchDragOutside, "drag-outside"},
                                                              {touchUpInside, "up-inside"},
                                                              {touchUpOutside, "up-outside"},
                                                              {touchCancel, "cancel"}};
        for (const auto& [event, name] : names) {
            const std::string text = name;
            button->addTarget(event, [this, text](Control&) { events.push_back(text); });
        }
    }

    View root{QRectF(0, 0, 400, 300)};
    Button* button = nullptr;
    TouchDispatcher touches{&root};
    std::vector<std::string> events;
};

TEST_F(ControlTest, ATapSendsDownThenUpInsideAndHighlightsWhileHeld) {
    touches.begin(1, {120, 120});
    EXPECT_TRUE(button->isHighlighted());
    EXPECT_TRUE(button->isTracking());
    touches.end(1, {121, 121});
    EXPECT_FALSE(button->isHighlighted());
    EXPECT_EQ(events, (std::vector<std::string>{"down", "up-inside"}));
}

TEST_F(ControlTest, DraggingOutAndReleasingSendsDragOutsideAndUpOutside) {
    touches.begin(1, {120, 120});
    touches.move(1, {300, 250});
    EXPECT_FALSE(button->isHighlighted());
    touches.end(1, {300, 250});
    EXPECT_EQ(events, (std::vector<std::string>{"down", "drag-outside", "up-outside"}));
}

TEST_F(ControlTest, ATouchStaysWithTheControlItBeganOn) {
    Button* other = root.add(std::make_unique<Button>(QRectF(200, 100, 50, 50)));
    int otherEvents = 0;
    other->addTarget(touchDown | touchUpInside | touchUpOutside, [&](Control&) { ++otherEvents; });
    touches.begin(1, {120, 120});
    touches.move(1, {220, 120});
    touches.end(1, {220, 120});
    EXPECT_EQ(otherEvents, 0);
    EXPECT_EQ(events.back(), "up-outside");
}

TEST_F(ControlTest, ASecondFingerOnAHeldControlIsIgnored) {
    touches.begin(1, {120, 120});
    touches.begin(2, {130, 130});
    touches.end(2, {130, 130});
    EXPECT_TRUE(button->isTracking());
    touches.end(1, {120, 120});
    EXPECT_EQ(events, (std::vector<std::string>{"down", "up-inside"}));
}

TEST_F(ControlTest, RemovedTargetHearsNothingAndAControlRemovedByItsTargetIsSafe) {
    int heard = 0;
    const auto id = button->addTarget(touchDown, [&](Control&) { ++heard; });
    button->removeTarget(id);
    std::unique_ptr<View> taken;
    button->addTarget(touchDown, [&](Control& control) { taken = control.removeFromSuperview(); });
    touches.begin(1, {120, 120});
    touches.end(1, {120, 120});
    EXPECT_EQ(heard, 0);
    ASSERT_TRUE(taken);
    taken.reset();  // destroyed while nothing refers to it
    touches.begin(2, {120, 120});
    EXPECT_EQ(touches.viewOf(2), nullptr);  // the bare root handles no touches
}

TEST_F(ControlTest, ButtonShowsTheImageOfItsState) {
    QImage normalImage(4, 4, QImage::Format_ARGB32);
    normalImage.fill(Qt::red);
    QImage down(4, 4, QImage::Format_ARGB32);
    down.fill(Qt::blue);
    button->setImage(normalImage, normal);
    button->setImage(down, highlighted);
    EXPECT_EQ(button->currentImage(), normalImage);
    touches.begin(1, {120, 120});
    EXPECT_EQ(button->currentImage(), down);
    touches.end(1, {120, 120});
    button->setSelected(true);
    EXPECT_EQ(button->currentImage(), normalImage);  // no selected image: the normal one
    button->setImage(down, selected);
    EXPECT_EQ(button->currentImage(), down);
}

TEST_F(ControlTest, ButtonTitleColoursByStateAndTheGlowWhileHighlighted) {
    button->setTitleColor(QColor(167, 184, 216));
    button->setTitleColor(Qt::white, highlighted);
    EXPECT_EQ(button->titleColor(normal), QColor(167, 184, 216));
    EXPECT_EQ(button->titleColor(highlighted), QColor(Qt::white));
    EXPECT_EQ(button->titleColor(selected), QColor(167, 184, 216));  // none of its own: the normal one

    // The glow lights the centre while the button is held, and only then.
    Window window;
    auto scene = std::make_unique<View>(QRectF(0, 0, 200, 200));
    scene->setBackgroundColor(Qt::black);
    Button* held = scene->add(std::make_unique<Button>(QRectF(50, 50, 50, 50)));
    window.setRootView(std::move(scene));
    auto centre = [&] { return QColor(window.render(1.0).pixel(75, 75)).lightness(); };
    held->setHighlighted(true);
    EXPECT_LT(centre(), 10) << "no glow unless asked for";
    held->setShowsTouchWhenHighlighted(true);
    EXPECT_GT(centre(), 150);
    held->setHighlighted(false);
    EXPECT_LT(centre(), 10);
}

TEST_F(ControlTest, DisabledControlTakesNoTouches) {
    button->setEnabled(false);
    touches.begin(1, {120, 120});
    touches.end(1, {120, 120});
    EXPECT_TRUE(events.empty());
}

}  // namespace
}  // namespace strombel::ui::kit
