// The panel's window layer, its drawn views and its button.

#include <gtest/gtest.h>

#include <QPainter>
#include <QTest>

#include "hub/hub_built_in_images.h"
#include "kit_test_support.h"
#include "ui/hub/hub_connection_panel_views.h"
#include "ui/hub/hub_drag.h"
#include "ui/kit/control.h"
#include "ui/kit/text_field.h"
#include "ui/kit/window.h"

namespace strombel::ui::hub {
namespace {

class HubPanelViewsTest : public testing::KitTest {};

QImage rendered(kit::View& view, double scale = 1) {
    QImage image(view.size().toSize() * scale, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QPainter painter(&image);
    painter.scale(scale, scale);
    view.paint(&painter, nullptr, nullptr);
    return image;
}

TEST_F(HubPanelViewsTest, TouchesOutsideThePanelFallThroughUnlessATabIsPulledNearby) {
    kit::View screen({0, 0, 1024, 768});
    auto* window = screen.add(std::make_unique<HubConnectionPanelWindow>(QRectF(954, 0, 70, 768)));
    auto* panel = window->add(std::make_unique<kit::View>(QRectF(20, 300, 59, 168)));
    EXPECT_EQ(screen.hitTest({980, 350}), panel);
    EXPECT_EQ(screen.hitTest({960, 100}), &screen) << "the empty strip lets the touch reach the screen";
    EXPECT_EQ(screen.hitTest({100, 100}), &screen);

    HubDrag tabDrag({});
    window->setGestureRecognizer(&tabDrag);
    EXPECT_EQ(screen.hitTest({960, 280}), window) << "within 50 points of the panel";
    EXPECT_EQ(screen.hitTest({960, 100}), &screen) << "farther away";
}

// The panel takes no keyboard: a name being typed on the screen below stays
// in its field when the panel is touched, and only a touch elsewhere ends it.
TEST_F(HubPanelViewsTest, TouchingThePanelLeavesTheKeyboardWithTheScreenBelow) {
    kit::Window window;
    kit::View* screen = window.setRootView(std::make_unique<kit::View>(QRectF(0, 0, 1024, 768)));
    auto* field = screen->add(std::make_unique<kit::TextField>(QRectF(10, 10, 200, 30)));
    auto* layer = screen->add(std::make_unique<HubConnectionPanelWindow>(QRectF(954, 0, 70, 768)));
    auto* panel = layer->add(std::make_unique<kit::Control>(QRectF(20, 300, 59, 168)));
    window.resize(1024, 768);
    window.show();
    window.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&window));
    field->becomeFirstResponder();
    ASSERT_TRUE(field->isFirstResponder());
    auto click = [&](QPointF scenePoint) {
        const QPoint at = window.mapFromScene(scenePoint);
        QTest::mousePress(window.viewport(), Qt::LeftButton, {}, at);
        QTest::mouseRelease(window.viewport(), Qt::LeftButton, {}, at);
    };
    click(panel->mapToScene(panel->bounds().center()));
    EXPECT_TRUE(field->isFirstResponder()) << "the panel took the keyboard";
    click({500, 400});
    EXPECT_FALSE(field->isFirstResponder());
}

TEST_F(HubPanelViewsTest, TheInsetIsGreyWithItsPointerTowardThePeer) {
    HubConnectionPanelInsetView side({0, 0, 38, 189});
    const QImage image = rendered(side);
    EXPECT_EQ(image.pixel(19, 100), qRgb(230, 230, 230)) << "the body";
    EXPECT_EQ(image.pixelColor(19, 1).alpha() > 0, true) << "the pointer's tip on the top edge";
    EXPECT_EQ(image.pixelColor(3, 3).alpha(), 0) << "beside the pointer, above the body";
    EXPECT_EQ(image.pixelColor(19, 188).alpha(), 0) << "the body ends a point short";

    HubConnectionPanelInsetView bottom({0, 0, 188, 39});
    bottom.setPosition(kPanelBottom);
    const QImage across = rendered(bottom);
    EXPECT_GT(across.pixelColor(1, 19).alpha(), 0) << "the pointer on the left edge";
    EXPECT_EQ(across.pixelColor(2, 3).alpha(), 0);
    EXPECT_EQ(across.pixel(100, 20), qRgb(230, 230, 230));
}

TEST_F(HubPanelViewsTest, TheHandleDrawsAChevronTowardItsEdgeOrAGrip) {
    HubConnectionPanelHandle handle({0, 0, 50, 50});
    handle.setChevronMode(true);
    const QImage right = rendered(handle);
    const QRgb grey = qRgb(128, 128, 128);
    EXPECT_EQ(right.pixel(27, 25), grey) << "the chevron's point, right of centre";
    EXPECT_EQ(right.pixelColor(18, 25).alpha(), 0);
    handle.setPosition(kPanelLeft);
    const QImage left = rendered(handle);
    EXPECT_EQ(left.pixel(22, 25), grey);
    EXPECT_EQ(left.pixelColor(32, 25).alpha(), 0);

    handle.setChevronMode(false);
    const QImage grip = rendered(handle);
    EXPECT_EQ(grip.pixel(25, 14), grey);
    EXPECT_EQ(grip.pixelColor(25, 10).alpha(), 0) << "the grip is 25 tall";
    handle.setHorizontal(true);
    EXPECT_EQ(rendered(handle).pixel(14, 25), grey);
}

TEST_F(HubPanelViewsTest, AButtonCallsItsTargetWithItselfAndCentresItsImage) {
    kit::View screen({0, 0, 200, 200});
    auto* button = screen.add(std::make_unique<HubButton>(QRectF(10, 10, 38, 38)));
    std::string seen;
    button->setTarget([&](HubButton& b) { seen = std::any_cast<std::string>(b.context()); }, std::string("hub"));
    kit::TouchDispatcher touches(&screen);
    testing::Finger(touches, 1).tap(*button, {19, 19});
    EXPECT_EQ(seen, "hub");

    QImage image(21, 13, QImage::Format_ARGB32);
    button->setImage(image, kit::normal);
    EXPECT_EQ(button->imageRectForContentRect({0, 0, 38, 38}), QRectF(9, 13, 21, 13)) << "rounded half-way offsets";
}

TEST_F(HubPanelViewsTest, BuiltInImagesAreFoundByTheirExactNames) {
    auto play = strombel::hub::HubBuiltInImageNamed("Play.png");
    ASSERT_TRUE(play);
    EXPECT_EQ(play, strombel::hub::HubBuiltInImageNamed("Play.png"));
    EXPECT_FALSE(strombel::hub::HubBuiltInImageNamed("play.png"));
}

}  // namespace
}  // namespace strombel::ui::hub
