#include "ui/util.h"

#include <gtest/gtest.h>

#include <stdexcept>

#include "ui/ui_test_support.h"

namespace strombel::ui {
namespace {

class UtilTest : public testing::UiTest {};

TEST_F(UtilTest, ALibraryColourBecomesTheSameQtColour) {
    EXPECT_EQ(Util::toQColor(library::Util::colorForHex("#FF8000")), QColor(255, 128, 0));
    EXPECT_EQ(Util::toQColor(library::Util::colorForHex("#FFF")), QColor(0, 0, 0));
    EXPECT_EQ(Util::toQColor(library::Color{0, 0, 1, 0.5f}).alpha(), 128);
}

TEST_F(UtilTest, SixteenByNinePhones) {
    kit::Screen screen = kit::Screen::phone();
    EXPECT_FALSE(Util::isIphone5(screen));
    screen.bounds = {320, 568};
    EXPECT_TRUE(Util::isIphone5(screen));
    screen.bounds = {375, 667};
    EXPECT_TRUE(Util::isIphone5(screen));
    EXPECT_FALSE(Util::isIphone5(kit::Screen::tablet()));
    EXPECT_EQ(Util::screenWidth(screen), 375);
    EXPECT_EQ(Util::screenHeight(screen), 667);
}

TEST_F(UtilTest, ColouredMaskKeepsTheShapeAndTakesTheColour) {
    QImage mask(4, 4, QImage::Format_ARGB32);
    mask.fill(Qt::transparent);
    mask.setPixelColor(1, 1, QColor(10, 20, 30, 255));
    const QImage coloured = Util::coloredImageFromMask(mask, QColor(200, 0, 0));
    EXPECT_EQ(coloured.pixelColor(1, 1), QColor(200, 0, 0));
    EXPECT_EQ(qAlpha(coloured.pixel(0, 0)), 0);
}

TEST_F(UtilTest, ResizeToFillCoversASquareOfTheLongerSide) {
    QImage image(200, 100, QImage::Format_ARGB32);
    image.fill(Qt::white);
    const QImage resized = Util::resizeImage(image, QSizeF(50, 40), 2.0);
    EXPECT_EQ(resized.size(), QSize(200, 100));  // side 100 px: ratio 1
    const QImage small = Util::resizeImage(image, QSizeF(20, 10), 1.0);
    EXPECT_EQ(small.size(), QSize(40, 20));
}

TEST_F(UtilTest, ResizeByContentModePlacesAndRefusesTheUnsupported) {
    QImage image(100, 50, QImage::Format_ARGB32);
    image.fill(Qt::white);
    EXPECT_EQ(Util::resizeImage(image, QSizeF(50, 50), Util::aspectFill, 3).size(),
              QSize(100, 50));
    EXPECT_EQ(Util::resizeImage(image, QSizeF(50, 50), Util::topLeft, 3).size(),
              QSize(50, 50));
    for (int64_t mode : {int64_t{0}, int64_t{3}, int64_t{4}, int64_t{13}, int64_t{-1}}) {
        try {
            Util::resizeImage(image, QSizeF(50, 50), mode, 3);
            ADD_FAILURE() << "mode " << mode << " accepted";
        } catch (const std::invalid_argument& error) {
            EXPECT_EQ(std::string(error.what()),
                      "Unsupported content mode: " + std::to_string(mode));
        }
    }
}

TEST_F(UtilTest, FindParentTableViewCellFor) {
    kit::View outside;
    kit::TableViewCell cell("ROW");
    kit::View* label = cell.add(std::make_unique<kit::View>());
    kit::View* inner = label->add(std::make_unique<kit::View>());
    EXPECT_EQ(Util::findParentTableViewCellFor(inner), &cell);
    EXPECT_EQ(Util::findParentTableViewCellFor(&cell), &cell);
    EXPECT_EQ(Util::findParentTableViewCellFor(&outside), nullptr);
    EXPECT_EQ(Util::findParentTableViewCellFor(nullptr), nullptr);
}

}  // namespace
}  // namespace strombel::ui
