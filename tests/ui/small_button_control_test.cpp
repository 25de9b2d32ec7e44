#include "ui/small_button_control.h"

#include <gtest/gtest.h>

#include "ui/gui_factory.h"
#include "ui/light_view.h"
#include "ui/ui_test_support.h"

namespace strombel::ui {
namespace {

class SmallButtonTest : public testing::UiTest {
  protected:
    SmallButtonTest() {
        GuiFactory(GuiType::tablet).createSmallButtonInto(&button, &lamp, panel, QPointF(14, 14), "SEQ");
        button->addTarget(kit::valueChanged,
                          [this](kit::Control&) { changes.push_back(button->isPressedDown()); });
    }
    QPointF middle() const { return button->bounds().center(); }

    kit::View panel{QRectF(0, 0, 457, 79)};
    kit::TouchDispatcher touches{&panel};
    testing::Finger finger{touches, 1};
    SmallButtonControl* button = nullptr;
    LightView* lamp = nullptr;
    std::vector<bool> changes;
};

TEST_F(SmallButtonTest, PushButtonReportsPressAndReleaseWithItsLamp) {
    finger.down(*button, middle());
    EXPECT_TRUE(button->isPressedDown());
    EXPECT_TRUE(lamp->isTurnedOn());
    finger.up(*button, middle());
    EXPECT_FALSE(button->isPressedDown());
    EXPECT_FALSE(lamp->isTurnedOn());
    EXPECT_EQ(changes, (std::vector<bool>{true, false}));
}

TEST_F(SmallButtonTest, PushButtonReleasedOutsideSendsNothingButPutsItsLampOut) {
    int upInside = 0;
    button->addTarget(kit::touchUpInside, [&](kit::Control&) { ++upInside; });
    finger.down(*button, middle());
    finger.move(*button, QPointF(300, 40));
    finger.up(*button, QPointF(300, 40));
    EXPECT_EQ(changes, (std::vector<bool>{true}));  // only the press
    EXPECT_EQ(upInside, 0);
    EXPECT_FALSE(button->isPressedDown());
    EXPECT_FALSE(lamp->isTurnedOn());
}

TEST_F(SmallButtonTest, ToggleSwitchesOnEachPressAndIgnoresRelease) {
    button->setIsToggle(true);
    finger.tap(*button, middle());
    EXPECT_TRUE(button->isPressedDown());
    EXPECT_TRUE(button->isSelected());
    EXPECT_TRUE(lamp->isTurnedOn());
    finger.tap(*button, middle());
    EXPECT_FALSE(button->isPressedDown());
    EXPECT_FALSE(button->isSelected());
    EXPECT_FALSE(lamp->isTurnedOn());
    EXPECT_EQ(changes, (std::vector<bool>{true, false}));
}

TEST_F(SmallButtonTest, SetIsPressedDownFlipsAToggleSilentlyOnce) {
    button->setIsToggle(true);
    button->setIsPressedDown(true);
    EXPECT_TRUE(button->isPressedDown());
    EXPECT_TRUE(button->isSelected());
    EXPECT_TRUE(lamp->isTurnedOn());
    EXPECT_TRUE(changes.empty());
    button->setIsPressedDown(true);  // already so: nothing, and the next press still reports
    finger.tap(*button, middle());
    EXPECT_EQ(changes, (std::vector<bool>{false}));
}

TEST_F(SmallButtonTest, SetIsPressedDownLeavesAPushButtonAlone) {
    button->setIsPressedDown(true);
    EXPECT_FALSE(button->isPressedDown());
    EXPECT_FALSE(lamp->isTurnedOn());
}

TEST_F(SmallButtonTest, AButtonWhoseLampIsGoneStillWorks) {
    lamp->removeFromSuperview();  // dropped: destroyed
    EXPECT_EQ(button->light(), nullptr);
    finger.tap(*button, middle());
    EXPECT_EQ(changes, (std::vector<bool>{true, false}));
}

TEST_F(SmallButtonTest, IconButtonGivesTheTitleTheRestOfItsWidth) {
    QVButtonWithIcon phone(QRectF(0, 0, 120, 20), "NEW BANK", QImage(), GuiType::phoneLandscape);
    EXPECT_EQ(phone.titleLabel().frame(), QRectF(14, 0, 106, 20));
    EXPECT_EQ(phone.iconImageView().frame(), QRectF(0, 0, 14, 20));
    EXPECT_EQ(phone.title(), "NEW BANK");
    phone.setFontSize(14);
    EXPECT_EQ(phone.fontSize(), 14);
    phone.setWidth(200);
    EXPECT_EQ(phone.titleLabel().frame(), QRectF(14, 0, 186, 20));
}

}  // namespace
}  // namespace strombel::ui
