#include <gtest/gtest.h>

#include <QImage>
#include <fstream>

#include "logging/log_core.h"
#include "support/recording_logger.h"
#include "support/temp_dir.h"
#include "ui/gui_factory.h"
#include "ui/image_generator.h"
#include "ui/image_store.h"
#include "ui/kit/control.h"
#include "ui/kit/image_view.h"
#include "ui/kit/window.h"
#include "ui/ui_test_support.h"

namespace strombel::ui {
namespace {

/// Writes a one-colour picture of `size` pixels under `name` into `folder`.
void writeImage(const std::filesystem::path& folder, const std::string& name, QSize size,
                QColor color) {
    QImage image(size, QImage::Format_ARGB32);
    image.fill(color);
    ASSERT_TRUE(image.save(QString::fromStdString((folder / name).string())));
}

class ImageLookupTest : public testing::UiTest {
  protected:
    testing::TempDir bundle;
    ImageStore store{bundle.path()};
    ImageStore empty{std::filesystem::path()};
};

TEST_F(ImageLookupTest, SuffixRuleWithTheSixteenByNineFallbacks) {
    // Bundle files of recognisable sizes, one per suffix.
    writeImage(bundle.path(), "knob.png", {10, 10}, Qt::red);
    writeImage(bundle.path(), "knob-phone.png", {11, 11}, Qt::red);
    writeImage(bundle.path(), "knob-phone568h.png", {12, 12}, Qt::red);
    writeImage(bundle.path(), "knob-phoneportrait.png", {13, 13}, Qt::red);
    writeImage(bundle.path(), "plate-phone.png", {21, 21}, Qt::red);
    writeImage(bundle.path(), "plate-phoneportrait.png", {23, 23}, Qt::red);
    const kit::Screen phone = kit::Screen::phone();
    const kit::Screen tall = kit::Screen::tallPhone();
    const kit::Screen tablet = kit::Screen::tablet();
    struct Case {
        const char* name;
        GuiType type;
        kit::Screen screen;
        int width;  // 0: no image
    } cases[] = {
        {"knob", GuiType::tablet, tablet, 10},
        {"knob", GuiType::phoneLandscape, phone, 11},
        {"knob", GuiType::phoneLandscape, tall, 12},
        {"knob", GuiType::phonePortrait, phone, 13},
        {"knob", GuiType::phonePortrait, tall, 13},    // no portrait 16:9 art: the plain portrait
                                                       // one
        {"plate", GuiType::phoneLandscape, tall, 21},  // only the "-phone" form: that one
        {"plate", GuiType::tablet, tablet, 0},
        {"nothing", GuiType::phoneLandscape, tall, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.name) + " type " + std::to_string(guiTypeNumber(c.type)));
        const QImage image = GuiFactory::imageWithName(c.name, c.type, store, c.screen);
        EXPECT_EQ(image.width(), c.width);
    }
}

TEST_F(ImageLookupTest, AMissingPictureIsNullAndLogsNothing) {
    auto logger = std::make_shared<logging::testing::RecordingLogger>();
    logging::Log::addLogger(logger);
    logging::setLogLevel(logging::LogFlagError | logging::LogFlagWarning);
    EXPECT_TRUE(GuiFactory::imageWithName("nothing", GuiType::phoneLandscape, store,
                                          kit::Screen::tallPhone())
                    .isNull());
    EXPECT_TRUE(GuiFactory::imageWithName("nothing", GuiType::tablet, store, kit::Screen::tablet())
                    .isNull());
    logging::Log::flushLog();
    const auto lines = logger->lines();
    logging::testing::resetLogging();
    EXPECT_EQ(lines, std::vector<std::string>{});
}

TEST_F(ImageLookupTest, AnUnknownGuiTypeHasNoPictureAndSaysSo) {
    writeImage(bundle.path(), "knob.png", {10, 10}, Qt::red);
    auto logger = std::make_shared<logging::testing::RecordingLogger>();
    logging::Log::addLogger(logger);
    logging::setLogLevel(logging::LogFlagError | logging::LogFlagWarning);
    const QImage image =
        GuiFactory::imageWithName("knob", static_cast<GuiType>(7), store, kit::Screen::tablet());
    logging::Log::flushLog();
    const auto lines = logger->lines();
    logging::testing::resetLogging();
    EXPECT_TRUE(image.isNull());
    EXPECT_EQ(lines, std::vector<std::string>{"image not found: knob"});
}

TEST_F(ImageLookupTest, ABundleFileWinsOverTheGeneratedPicture) {
    writeImage(bundle.path(), "lightOn.png", {3, 5}, Qt::green);
    EXPECT_EQ(
        GuiFactory::imageWithName("lightOn", GuiType::tablet, store, kit::Screen::tablet()).size(),
        QSize(3, 5));
    // Not in the bundle: drawn, at the size the layouts expect.
    EXPECT_EQ(kit::pointSize(GuiFactory::imageWithName("lightOff", GuiType::tablet, store,
                                                       kit::Screen::tablet())),
              QSizeF(16, 16));
}

TEST_F(ImageLookupTest, AtAnotherPixelRatioDrawnPicturesAreDrawnAnewAndReplacedOnTheScreens) {
    writeImage(bundle.path(), "lightOn.png", {3, 5}, Qt::green);
    ASSERT_EQ(store.pixelRatio(), 2.0);
    const QImage lamp = store.image("lightOn.png"), pad = store.image("tapButton.png"),
                 light = store.image("lightOff.png"), own(4, 4, QImage::Format_ARGB32);
    ASSERT_EQ(pad.size(), QSize(194, 194));
    kit::Window window;
    auto root = std::make_unique<kit::View>(QRectF(0, 0, 200, 200));
    auto* button = root->add(std::make_unique<kit::Button>(QRectF(0, 0, 97, 97)));
    button->setImage(pad, kit::normal);
    button->setBackgroundImage(own, kit::highlighted);
    auto* nested = root->add(std::make_unique<kit::View>())->add(std::make_unique<kit::ImageView>(light));
    auto* bundled = root->add(std::make_unique<kit::ImageView>(lamp));
    window.setRootView(std::move(root));

    EXPECT_FALSE(store.setPixelRatio(2.0));
    ASSERT_TRUE(store.setPixelRatio(1.0));
    window.replaceImages([&](const QImage& old) { return store.redrawn(old); });
    // Drawn anew at one pixel per point, the same size in points.
    EXPECT_EQ(button->image(kit::normal).size(), QSize(97, 97));
    EXPECT_EQ(button->image(kit::normal).devicePixelRatio(), 1.0);
    EXPECT_EQ(button->image(kit::normal).cacheKey(), store.image("tapButton.png").cacheKey());
    EXPECT_EQ(nested->image().size(), QSize(16, 16));
    EXPECT_EQ(kit::pointSize(nested->image()), kit::pointSize(light));
    // Pictures the store did not draw stay as they are.
    EXPECT_EQ(bundled->image().cacheKey(), lamp.cacheKey());
    EXPECT_EQ(store.redrawn(own).cacheKey(), own.cacheKey());
}

TEST_F(ImageLookupTest, AnUnreadableBundleFileFallsBackToTheGeneratedPicture) {
    std::ofstream(bundle.path() / "tapButton.png") << "not a picture";
    EXPECT_EQ(kit::pointSize(GuiFactory::imageWithName("tapButton", GuiType::tablet, store,
                                                       kit::Screen::tablet())),
              QSizeF(97, 97));
}

TEST_F(ImageLookupTest, GeneratedArtFallsBackFromTallPhoneExceptForFullScreenPictures) {
    const kit::Screen tall = kit::Screen::tallPhone();
    EXPECT_EQ(kit::pointSize(
                  GuiFactory::imageWithName("background", GuiType::phoneLandscape, empty, tall)),
              QSizeF(568, 320));
    EXPECT_EQ(kit::pointSize(GuiFactory::imageWithName("background", GuiType::phoneLandscape, empty,
                                                       kit::Screen::phone())),
              QSizeF(480, 320));
    EXPECT_EQ(kit::pointSize(
                  GuiFactory::imageWithName("background", GuiType::phonePortrait, empty, tall)),
              QSizeF(640, 568));
    EXPECT_TRUE(empty.image("buttonSmall-phone568h.png").isNull());
    EXPECT_EQ(kit::pointSize(
                  GuiFactory::imageWithName("buttonSmall", GuiType::phoneLandscape, empty, tall)),
              QSizeF(23, 23));
}

TEST_F(ImageLookupTest, EveryNamedPictureIsDrawnForEveryGuiType) {
    for (const std::string& name : ImageGenerator::names()) {
        for (GuiType type : {GuiType::tablet, GuiType::phoneLandscape, GuiType::phonePortrait}) {
            SCOPED_TRACE(name + " type " + std::to_string(guiTypeNumber(type)));
            const QImage image = GuiFactory::imageWithName(name, type, empty, kit::Screen::phone());
            ASSERT_FALSE(image.isNull());
            // Not blank: some pixel is not transparent.
            bool painted = false;
            for (int y = 0; y < image.height() && !painted; y += 2) {
                for (int x = 0; x < image.width() && !painted; x += 2)
                    painted = qAlpha(image.pixel(x, y)) > 0;
            }
            EXPECT_TRUE(painted);
        }
    }
}

TEST_F(ImageLookupTest, FileNamesSplitIntoBaseAndVariant) {
    std::string base;
    ImageVariant variant;
    ASSERT_TRUE(ImageGenerator::parseFileName("lightOn-phoneportrait568h.png", base, variant));
    EXPECT_EQ(base, "lightOn");
    EXPECT_EQ(variant, ImageVariant::portraitTall);
    ASSERT_TRUE(ImageGenerator::parseFileName("switchBtn-phoneportrait.png", base, variant));
    EXPECT_EQ(base, "switchBtn");
    EXPECT_EQ(variant, ImageVariant::portrait);
    ASSERT_TRUE(ImageGenerator::parseFileName("tapButton.png", base, variant));
    EXPECT_EQ(variant, ImageVariant::tablet);
    EXPECT_FALSE(ImageGenerator::parseFileName("tapButton.jpg", base, variant));
}

TEST_F(ImageLookupTest, NamesThatClimbOutOfTheBundleAreNeverRead) {
    writeImage(bundle.path(), "inside.png", {4, 4}, Qt::red);
    EXPECT_FALSE(store.image("inside.png").isNull());
    EXPECT_TRUE(store.image("../inside.png").isNull());
    EXPECT_TRUE(store.image("/etc/inside.png").isNull());
}

}  // namespace
}  // namespace strombel::ui
