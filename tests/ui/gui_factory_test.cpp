#include "ui/gui_factory.h"

#include <gtest/gtest.h>

#include "ui/light_view.h"
#include "ui/small_button_control.h"
#include "ui/ui_test_support.h"

namespace strombel::ui {
namespace {

class GuiFactoryTest : public testing::UiTest {};

struct MetricsRow {
    const char* layout;
    GuiType guiType;
    kit::Screen screen;
    std::array<int32_t, 16> values;  // the fifteen fields in order, then controlsMargin
};

std::array<int32_t, 16> read(const GuiFactory& f) {
    return {f.sliderSpace(),
            f.tapBtnXSpace(),
            f.tapBtnYSpace(),
            f.smallBtnXSpace(),
            f.labelY(),
            f.controlsLeftX(),
            f.controlsRightX(),
            f.controlsWidth(),
            f.controlsHeight(),
            f.controlsSquareHeight(),
            f.topControlsY(),
            f.middleControlsY(),
            f.bottomControlY(),
            f.innerControlLeftMargin(),
            f.innerControlTopMargin(),
            f.controlsMargin()};
}

TEST_F(GuiFactoryTest, MetricTablesPerGuiTypeAndScreen) {
    const kit::Screen phone = kit::Screen::phone();
    const kit::Screen tall = kit::Screen::tallPhone();
    const MetricsRow rows[] = {
        {"tablet",
         GuiType::tablet,
         kit::Screen::tablet(),
         {76, 111, 165, 76, -6, 40, 527, 457, 79, 456, 65, 159, 255, 14, 14, 15}},
        {"phone landscape",
         GuiType::phoneLandscape,
         phone,
         {34, 50, 74, 34, -2, 27, 246, 206, 36, 206, 14, 57, 100, 7, 7, 7}},
        {"phone landscape 16:9",
         GuiType::phoneLandscape,
         tall,
         {34, 50, 74, 34, -2, 71, 290, 206, 36, 206, 14, 57, 100, 7, 7, 7}},
        {"phone portrait",
         GuiType::phonePortrait,
         phone,
         {50, 73, 108, 50, -3, 9, 330, 301, 52, 301, 24, 86, 149, 9, 9, 10}},
        {"phone portrait 16:9",
         GuiType::phonePortrait,
         tall,
         {50, 73, 108, 50, -3, 9, 330, 301, 52, 301, 68, 130, 193, 9, 9, 10}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.layout);
        EXPECT_EQ(read(GuiFactory(row.guiType, row.screen)), row.values);
    }
}

TEST_F(GuiFactoryTest, CaptionLabelsBySizeOfTheGuiType) {
    auto label = GuiFactory::labelForGuiType(GuiType::phonePortrait, QPointF(10, -3), 45);
    ASSERT_TRUE(label);
    EXPECT_EQ(label->frame(), QRectF(10, -3, 45, 8));
    EXPECT_EQ(label->font().pixelSize(), 8);
    EXPECT_EQ(label->textColor(), QColor(Qt::white));
    EXPECT_EQ(label->alignment(), kit::Label::Alignment::center);
    EXPECT_EQ(label->lineBreakMode(), kit::Label::LineBreak::clip);
    EXPECT_EQ(GuiFactory::labelWithFrame(QRectF(0, 0, 10, 10))->font().pixelSize(), 12);
}

TEST_F(GuiFactoryTest, ANumberThatNamesNoLayoutPlacesNothingAndMakesNoCaption) {
    const GuiFactory none(static_cast<GuiType>(5));
    for (const int32_t metric : {none.sliderSpace(), none.tapBtnXSpace(), none.controlsLeftX(), none.controlsRightX(),
                                 none.controlsWidth(), none.topControlsY(), none.bottomControlY(), none.labelY(),
                                 none.innerControlLeftMargin(), none.controlsMargin()})
        EXPECT_EQ(metric, 0);
    EXPECT_EQ(GuiFactory::labelForGuiType(static_cast<GuiType>(5), QPointF(10, 10), 40), nullptr);
}

TEST_F(GuiFactoryTest, SmallButtonGetsItsTouchSquareCaptionAndLamp) {
    kit::View panel(QRectF(0, 0, 457, 79));
    SmallButtonControl* button = nullptr;
    GuiFactory(GuiType::tablet).createSmallButtonInto(&button, panel, QPointF(166, 14), "SORT");
    ASSERT_NE(button, nullptr);
    // The 50-point key in a 76-point square centred on it.
    EXPECT_EQ(button->frame(), QRectF(153, 1, 76, 76));
    const auto views = panel.subviews();
    ASSERT_EQ(views.size(), 3u);
    auto* caption = dynamic_cast<kit::Label*>(views[1]);
    ASSERT_NE(caption, nullptr);
    EXPECT_EQ(caption->text(), "SORT");
    EXPECT_EQ(caption->frame(), QRectF(166, -6, 50, 12));
    auto* lamp = dynamic_cast<LightView*>(views[2]);
    ASSERT_NE(lamp, nullptr);
    EXPECT_EQ(lamp->frame().topLeft(), QPointF(148, -18));
    EXPECT_EQ(button->light(), lamp);
}

TEST_F(GuiFactoryTest, PortraitSmallButtonPlacesCaptionAndLampByItsOwnOffsets) {
    kit::View panel(QRectF(0, 0, 301, 52));
    SmallButtonControl* button = nullptr;
    LightView* lamp = nullptr;
    GuiFactory(GuiType::phonePortrait, kit::Screen::phone())
        .createSmallButtonInto(&button, &lamp, panel, QPointF(9, 9), "INFO");
    ASSERT_NE(lamp, nullptr);
    EXPECT_EQ(lamp->frame().topLeft(), QPointF(-3, -12));
    EXPECT_EQ(button->frame(), QRectF(9 - 8, 9 - 8, 50, 50));
}

TEST_F(GuiFactoryTest, StyledTextFieldBySizeOfTheGuiType) {
    const std::pair<GuiType, QRectF> cases[] = {{GuiType::tablet, QRectF(0, 0, 216, 30)},
                                                {GuiType::phoneLandscape, QRectF(0, 0, 108, 15)},
                                                {GuiType::phonePortrait, QRectF(0, 0, 144, 20)}};
    for (const auto& [type, frame] : cases) {
        auto field = GuiFactory::textfieldWithValue("kick", "name", type);
        EXPECT_EQ(field->frame(), frame);
        // Shown in capitals but kept as given (not turned to capitals): a name
        // typed into it is stored as the user typed it.
        EXPECT_EQ(field->text(), "kick");
        EXPECT_EQ(field->lineEdit().font().capitalization(), QFont::AllUppercase);
        EXPECT_EQ(field->placeholder(), "NAME");
    }
    EXPECT_EQ(GuiFactory::textfieldWithValue("", "", GuiType::phoneLandscape)->textEdgeInsets().left, 4);
    EXPECT_EQ(GuiFactory::textfieldWithValue("", "", GuiType::phonePortrait)->textEdgeInsets().left, 5);
    auto field = GuiFactory::textfieldWithValue("", "", GuiType::tablet);
    EXPECT_EQ(field->textEdgeInsets().left, 10);
    EXPECT_EQ(field->textRectForBounds(QRectF(0, 0, 216, 30)), QRectF(10, 0, 206, 30));
}

TEST_F(GuiFactoryTest, ApplicationSizeSwapsSidesForLandscape) {
    kit::Screen screen = kit::Screen::phone();  // 320 x 480, status bar shown
    EXPECT_EQ(AppDimensions::sizeInOrientation(3, screen), QSizeF(480, 300));
    EXPECT_EQ(AppDimensions::sizeInOrientation(4, screen), QSizeF(480, 300));
    EXPECT_EQ(AppDimensions::sizeInOrientation(1, screen), QSizeF(320, 460));
    screen.statusBarHidden = true;
    EXPECT_EQ(AppDimensions::sizeInOrientation(1, screen), QSizeF(320, 480));
}

TEST_F(GuiFactoryTest, TabletIsAskedOfTheScreen) {
    EXPECT_TRUE(GuiFactory::isIpad());
    context.setScreen(kit::Screen::phone());
    EXPECT_FALSE(GuiFactory::isIpad());
}

}  // namespace
}  // namespace strombel::ui
