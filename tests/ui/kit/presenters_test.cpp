#include "ui/kit/presenters.h"

#include <gtest/gtest.h>

#include "ui/kit/kit_test_support.h"
#include "ui/kit/window.h"

namespace strombel::ui::kit {
namespace {

class PresentersTest : public testing::KitTest {};

TEST_F(PresentersTest, AnAlertIsAnsweredByTheTitleOfTheButtonPressed) {
    auto recording = std::make_unique<RecordingAlertPresenter>();
    RecordingAlertPresenter* alerts = recording.get();
    context.setAlerts(std::move(recording));
    QString answer;
    context.alerts().showAlert("Delete bank?", "It cannot be undone.", {"Cancel", "Delete"},
                               [&](const QString& title) { answer = title; });
    ASSERT_EQ(alerts->shown.size(), 1u);
    EXPECT_FALSE(alerts->press("Rename"));
    EXPECT_TRUE(alerts->press("Delete"));
    EXPECT_EQ(answer, "Delete");
    EXPECT_TRUE(alerts->shown.empty());
}

TEST_F(PresentersTest, TheEditMenuAnswersWithTheItemPicked) {
    auto recording = std::make_unique<RecordingEditMenuPresenter>();
    RecordingEditMenuPresenter* menu = recording.get();
    context.setEditMenu(std::move(recording));
    QString picked;
    context.editMenu().showMenu(nullptr, QRectF(10, 10, 50, 20), {"Copy", "Paste"},
                                [&](const QString& item) { picked = item; });
    EXPECT_FALSE(menu->pick("Cut"));
    EXPECT_TRUE(menu->pick("Paste"));
    EXPECT_EQ(picked, "Paste");
    EXPECT_FALSE(menu->pick("Copy"));  // the menu closed with the first pick
}

TEST_F(PresentersTest, TheProgramsOpenerHandsOnlyWebAndMailAddressesOver) {
    XdgUrlOpener opener;
    EXPECT_FALSE(opener.openUrl("file:///etc/passwd"));
    EXPECT_FALSE(opener.openUrl("javascript:alert(1)"));
    EXPECT_FALSE(opener.openUrl("-rf"));
}

TEST_F(PresentersTest, AModalScreenSlidesInOverTheRootAndIsTakenAwayAgain) {
    Window window;
    window.setRootView(std::make_unique<View>(QRectF(0, 0, 1024, 768)));
    bool shown = false, dismissed = false;
    View* screen = context.modals().present(window, std::make_unique<View>(QRectF(0, 0, 1024, 768)),
                                            true, [&] { shown = true; });
    ASSERT_NE(screen, nullptr);
    EXPECT_EQ(context.modals().presented(window), screen);
    EXPECT_GT(screen->y(), 0);  // starts below
    advance(0.4);
    EXPECT_TRUE(shown);
    EXPECT_EQ(screen->y(), 0);
    context.modals().dismiss(window, false, [&] { dismissed = true; });
    EXPECT_TRUE(dismissed);
    EXPECT_EQ(context.modals().presented(window), nullptr);
    EXPECT_EQ(window.rootView()->subviews().size(), 0u);
}

}  // namespace
}  // namespace strombel::ui::kit
