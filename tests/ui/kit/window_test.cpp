#include "ui/kit/window.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QMouseEvent>
#include <QPointingDevice>
#include <QTest>

#include "ui/kit/control.h"
#include "ui/kit/kit_test_support.h"
#include "ui/kit/text_field.h"

namespace strombel::ui::kit {
namespace {

class WindowTest : public testing::KitTest {
  protected:
    WindowTest() {
        View* root = window.setRootView(std::make_unique<View>(QRectF(0, 0, 400, 200)));
        left = root->add(std::make_unique<Control>(QRectF(0, 0, 200, 200)));
        right = root->add(std::make_unique<Control>(QRectF(200, 0, 200, 200)));
        for (const auto& entry : {std::pair{left, &leftLog}, std::pair{right, &rightLog}}) {
            std::vector<std::string>* log = entry.second;
            entry.first->addTarget(touchDown, [log](Control&) { log->push_back("down"); });
            entry.first->addTarget(touchUpInside, [log](Control&) { log->push_back("up"); });
        }
        window.resize(800, 400);  // twice the scene: the view scales it
        window.show();
    }

    QPoint onScreen(QPointF scenePoint) { return window.mapFromScene(scenePoint); }

    Window window;
    Control* left = nullptr;
    Control* right = nullptr;
    std::vector<std::string> leftLog, rightLog;
};

TEST_F(WindowTest, TheSceneKeepsItsPointsAndTheViewScalesThem) {
    EXPECT_EQ(window.sceneRect(), QRectF(0, 0, 400, 200));
    EXPECT_NEAR(window.transform().m11(), 2.0, 0.01);
}

TEST_F(WindowTest, TheMouseIsOneFinger) {
    QTest::mousePress(window.viewport(), Qt::LeftButton, {}, onScreen({300, 100}));
    EXPECT_TRUE(right->isTracking());
    QTest::mouseRelease(window.viewport(), Qt::LeftButton, {}, onScreen({300, 100}));
    EXPECT_EQ(rightLog, (std::vector<std::string>{"down", "up"}));
    EXPECT_TRUE(leftLog.empty());
}

/// Sends one mouse event to the window as the desktop would, from `device`
/// (null: the system's mouse).
void sendMouse(Window& window, QEvent::Type type, QPoint at, const QPointingDevice* device = nullptr) {
    const Qt::MouseButtons held = type == QEvent::MouseButtonRelease ? Qt::NoButton : Qt::LeftButton;
    QMouseEvent event(type, at, window.viewport()->mapToGlobal(at), Qt::LeftButton, held, Qt::NoModifier,
                      device ? device : QPointingDevice::primaryPointingDevice());
    QApplication::sendEvent(window.viewport(), &event);
}

TEST_F(WindowTest, EveryClickOfAQuickPairIsATouch) {
    // What the desktop sends for two quick clicks: the second press comes as a
    // double-click. A drummer's second hit must not be lost.
    const QPoint at = onScreen({300, 100});
    for (int pair = 0; pair < 3; ++pair) {
        sendMouse(window, QEvent::MouseButtonPress, at);
        sendMouse(window, QEvent::MouseButtonRelease, at);
        sendMouse(window, QEvent::MouseButtonDblClick, at);
        sendMouse(window, QEvent::MouseButtonRelease, at);
    }
    EXPECT_EQ(rightLog, (std::vector<std::string>{"down", "up", "down", "up", "down", "up", "down", "up", "down",
                                                  "up", "down", "up"}));
}

TEST_F(WindowTest, AFingerOnATouchScreenCountsOnceAndATouchpadOnlyClicks) {
    // A touch screen: the finger, then the mouse events made up from it.
    QPointingDevice* screen = QTest::createTouchDevice();
    QTest::touchEvent(&window, screen).press(0, onScreen({300, 100}), window.viewport());
    sendMouse(window, QEvent::MouseButtonPress, onScreen({300, 100}), screen);
    QTest::touchEvent(&window, screen).release(0, onScreen({300, 100}), window.viewport());
    sendMouse(window, QEvent::MouseButtonRelease, onScreen({300, 100}), screen);
    EXPECT_EQ(rightLog, (std::vector<std::string>{"down", "up"}));

    // A touchpad: fingers resting and sliding on it are no touches on the
    // screen; its click is one.
    QPointingDevice* pad = QTest::createTouchDevice(QInputDevice::DeviceType::TouchPad);
    QTest::touchEvent(&window, pad).press(0, onScreen({100, 100}), window.viewport());
    QTest::touchEvent(&window, pad).release(0, onScreen({100, 100}), window.viewport());
    EXPECT_TRUE(leftLog.empty());
    sendMouse(window, QEvent::MouseButtonPress, onScreen({100, 100}));
    sendMouse(window, QEvent::MouseButtonRelease, onScreen({100, 100}));
    EXPECT_EQ(leftLog, (std::vector<std::string>{"down", "up"}));
}

TEST_F(WindowTest, TwoFingersHeldOnTwoControlsEachReachTheirOwn) {
    QPointingDevice* screen = QTest::createTouchDevice();
    QTest::touchEvent(&window, screen).press(0, onScreen({100, 100}), window.viewport());
    QTest::touchEvent(&window, screen)
        .stationary(0)
        .press(1, onScreen({300, 100}), window.viewport());
    EXPECT_TRUE(left->isTracking());
    EXPECT_TRUE(right->isTracking());
    // The first finger slides onto the right control: it still belongs to the left one.
    QTest::touchEvent(&window, screen)
        .move(0, onScreen({250, 100}), window.viewport())
        .stationary(1);
    QTest::touchEvent(&window, screen)
        .stationary(0)
        .release(1, onScreen({300, 100}), window.viewport());
    EXPECT_TRUE(left->isTracking());
    EXPECT_FALSE(right->isTracking());
    QTest::touchEvent(&window, screen).release(0, onScreen({100, 100}), window.viewport());
    EXPECT_EQ(leftLog, (std::vector<std::string>{"down", "up"}));
    EXPECT_EQ(rightLog, (std::vector<std::string>{"down", "up"}));
}

TEST(WindowOpeningScale, PhoneLayoutsOpenAtTwiceTheirPointsWhereTheScreenHasRoom) {
    struct Case {
        QSizeF points, available;
        double preferred, expected;
    };
    const Case cases[] = {
        {{480, 320}, {1888, 1016}, 2.0, 2.0},    // phone landscape on a full-HD screen
        {{320, 480}, {1888, 1016}, 2.0, 2.0},    // phone portrait: 960 high fits
        {{320, 480}, {1248, 736}, 2.0, 736.0 / 480},  // a small screen: as large as fits
        {{1024, 768}, {1888, 1016}, 1.0, 1.0},   // the tablet layout reads at one pixel a point
        {{1024, 768}, {992, 704}, 1.0, 704.0 / 768},  // the height decides
        {{480, 320}, {0, 0}, 2.0, 2.0},          // no screen known: the wish
    };
    for (const Case& c : cases) {
        EXPECT_DOUBLE_EQ(Window::openingScale(c.points, c.available, c.preferred), c.expected)
            << c.points.width() << "x" << c.points.height() << " on " << c.available.width() << "x"
            << c.available.height();
    }
}

TEST_F(WindowTest, RenderingDrawsTheSceneAtTheAskedScale) {
    left->setBackgroundColor(Qt::red);
    const QImage picture = window.render(2.0);
    ASSERT_EQ(picture.size(), QSize(800, 400));
    EXPECT_EQ(QColor(picture.pixel(100, 100)), QColor(Qt::red));
    EXPECT_EQ(QColor(picture.pixel(700, 100)), QColor(Qt::black));
}

TEST_F(WindowTest, AClippingViewCutsItsSubviewsAtItsEdgesAndOthersDoNot) {
    View* root = window.rootView();
    View* clipped = root->add(std::make_unique<View>(QRectF(20, 20, 40, 40)));
    View* open = root->add(std::make_unique<View>(QRectF(220, 20, 40, 40)));
    clipped->setClipsToBounds(true);
    for (View* parent : {clipped, open}) {
        View* child = parent->add(std::make_unique<View>(QRectF(-15, 0, 30, 30)));
        child->setBackgroundColor(Qt::green);
    }
    const QImage picture = window.render(1.0);
    EXPECT_EQ(QColor(picture.pixel(10, 30)), QColor(Qt::black));  // left of the clipping view
    EXPECT_EQ(QColor(picture.pixel(25, 30)), QColor(Qt::green));
    EXPECT_EQ(QColor(picture.pixel(210, 30)), QColor(Qt::green));  // sticks out of the other
}

TEST_F(WindowTest, ATextFieldIsARealLineEditInTheScene) {
    TextField* field = window.rootView()->add(std::make_unique<TextField>(QRectF(10, 10, 150, 20)));
    field->setAllCapitals(true);
    QString returned;
    field->onReturn = [&](TextField& f) { returned = f.text(); };
    field->becomeFirstResponder();
    QTest::keyClicks(&field->lineEdit(), "kicks");
    QTest::keyClick(&field->lineEdit(), Qt::Key_Return);
    // Shown in capitals, kept as typed.
    EXPECT_EQ(field->lineEdit().font().capitalization(), QFont::AllUppercase);
    EXPECT_EQ(field->text(), "kicks");
    EXPECT_EQ(returned, "kicks");
    field->setMaxLength(7);
    QTest::keyClicks(&field->lineEdit(), " and snares");
    EXPECT_EQ(field->text(), "kicks a");
}

}  // namespace
}  // namespace strombel::ui::kit
