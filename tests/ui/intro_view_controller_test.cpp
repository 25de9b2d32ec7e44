#include "ui/intro_view_controller.h"

#include <gtest/gtest.h>

#include <QGraphicsScene>
#include <QPainter>

#include <filesystem>

#include "ui/ui_test_support.h"

namespace strombel::ui {
namespace {

struct CountingIntroDelegate final : IntroDelegate {
    void introFinished() override { ++finished; }
    int finished = 0;
};

class IntroTest : public testing::UiTest {
protected:
    explicit IntroTest(kit::Screen screen = kit::Screen::tablet()) : UiTest(screen) {}
    QImage render(kit::View& view) {
        QImage image(view.bounds().size().toSize(), QImage::Format_ARGB32_Premultiplied);
        image.fill(Qt::black);
        QPainter painter(&image);
        scene.addItem(&view);
        scene.render(&painter, QRectF(QPointF(0, 0), view.bounds().size()), view.sceneBoundingRect());
        scene.removeItem(&view);
        return image;
    }
    QGraphicsScene scene;
};

TEST_F(IntroTest, TheGlowFadesInAndTheIntroEndsOnceAtAboutTwoSeconds) {
    IntroViewController intro;
    CountingIntroDelegate delegate;
    intro.setDelegate(&delegate);
    kit::View* view = intro.view();
    EXPECT_EQ(view->frame(), QRectF(0, 0, 1024, 768));
    EXPECT_EQ(intro.glowView()->pos(), QPointF(273, 121));
    const QImage start = render(*view);
    advance(0.3);
    EXPECT_DOUBLE_EQ(intro.glowView()->alpha(), 0.0);
    advance(1.3);
    EXPECT_NEAR(intro.glowView()->alpha(), 1.0, 0.01);
    const QImage end = render(*view);
    // The glow lights the middle of the picture.
    const QPoint middle(512, 384);
    EXPECT_GT(qGray(end.pixel(middle)), qGray(start.pixel(middle)) + 20);
    std::filesystem::create_directories(STROMBEL_GALLERY_DIR);
    EXPECT_TRUE(start.save(QString(STROMBEL_GALLERY_DIR) + "/intro_start.png"));
    EXPECT_TRUE(end.save(QString(STROMBEL_GALLERY_DIR) + "/intro_end.png"));
    advance(0.55);
    EXPECT_EQ(delegate.finished, 0);
    advance(0.1);
    EXPECT_EQ(delegate.finished, 1);
    advance(5);
    EXPECT_EQ(delegate.finished, 1);
}

TEST_F(IntroTest, WithoutADelegateOrDestroyedEarlyItEndsQuietly) {
    {
        IntroViewController intro;
        intro.view();
        advance(3);  // ends with no one to tell
    }
    CountingIntroDelegate delegate;
    for (double life : {0.1, 1.0, 1.8}) {
        SCOPED_TRACE(life);
        auto intro = std::make_unique<IntroViewController>();
        intro->setDelegate(&delegate);
        intro->view();
        advance(life);
        intro.reset();
        advance(3);
    }
    EXPECT_EQ(delegate.finished, 0);
}

class PhoneIntroTest : public IntroTest {
protected:
    PhoneIntroTest() : IntroTest(kit::Screen::phone()) {}
};

TEST_F(PhoneIntroTest, ThePhoneIntroFillsItsScreen) {
    IntroViewController intro;
    EXPECT_EQ(intro.view()->frame(), QRectF(0, 0, 480, 320));
    EXPECT_EQ(intro.glowView()->frame(), QRectF(0, 0, 480, 320));
    EXPECT_FALSE(intro.glowView()->image().isNull());
}

}  // namespace
}  // namespace strombel::ui
