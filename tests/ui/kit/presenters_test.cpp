#include "ui/kit/presenters.h"

#include <gtest/gtest.h>

#include "support/recording_logger.h"

#include <QAbstractButton>
#include <QMessageBox>
#include <QTest>
#include <QWindow>

#include "ui/kit/control.h"
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

TEST_F(PresentersTest, AnAlertBelongsToTheWindowWhichTakesNoClicksAndQuestionsComeOneAtATime) {
    Window window;
    View* root = window.setRootView(std::make_unique<View>(QRectF(0, 0, 400, 200)));
    Control* pad = root->add(std::make_unique<Control>(QRectF(0, 0, 200, 200)));
    int padTouches = 0;
    pad->addTarget(touchDown, [&](Control&) { ++padTouches; });
    window.resize(400, 200);
    window.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
    auto* alerts = dynamic_cast<QtAlertPresenter*>(&context.alerts());
    ASSERT_NE(alerts, nullptr) << "the program's presenter";

    std::vector<QString> answers;
    alerts->showAlert("Sample", "Remove sample 'China'?", {"No wait!", "Remove"},
                      [&](const QString& answer) { answers.push_back("China: " + answer); });
    alerts->showAlert("Sample", "Remove sample 'Clap'?", {"No wait!", "Remove"},
                      [&](const QString& answer) { answers.push_back("Clap: " + answer); });
    auto* first = qobject_cast<QMessageBox*>(alerts->openAlert());
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(first->text(), "Remove sample 'China'?") << "the second waits for the first";
    // Above the window it belongs to, not above a hidden window of Qt's.
    EXPECT_EQ(first->parentWidget(), &window);
    EXPECT_EQ(first->windowModality(), Qt::WindowModal);
    ASSERT_NE(first->windowHandle(), nullptr);
    EXPECT_EQ(first->windowHandle()->transientParent(), window.windowHandle());

    // A click on the window while the question is open reaches nothing. (It
    // goes the way the desktop's clicks go, through the window, not the widget.)
    auto clickPad = [&] {
        const QPoint at = window.viewport()->mapTo(&window, window.mapFromScene(QPointF(100, 100)));
        QTest::mouseClick(window.windowHandle(), Qt::LeftButton, {}, at);
    };
    clickPad();
    EXPECT_EQ(padTouches, 0);

    auto press = [](QMessageBox* box, const QString& title) {
        for (QAbstractButton* button : box->buttons())
            if (button->text() == title) button->click();
        QApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    };
    press(first, "Remove");
    auto* second = qobject_cast<QMessageBox*>(alerts->openAlert());
    ASSERT_NE(second, nullptr);
    EXPECT_EQ(second->text(), "Remove sample 'Clap'?");
    press(second, "No wait!");
    EXPECT_EQ(alerts->openAlert(), nullptr);
    EXPECT_EQ(answers, (std::vector<QString>{"China: Remove", "Clap: No wait!"}));
    clickPad();
    EXPECT_EQ(padTouches, 1) << "the window takes clicks again";
}

TEST_F(PresentersTest, AQuestionClosedWithoutAButtonIsAnsweredAsCancelledAndHoldsNoOther) {
    Window window;
    window.setRootView(std::make_unique<View>(QRectF(0, 0, 400, 200)));
    window.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
    auto* alerts = dynamic_cast<QtAlertPresenter*>(&context.alerts());
    ASSERT_NE(alerts, nullptr);
    std::vector<QString> answers;
    alerts->showAlert("Soundpack", "Remove 'Deep Kit'?", {"No wait!", "Remove"},
                      [&](const QString& answer) { answers.push_back("pack: " + answer); });
    alerts->showAlert("Export", "Can't export pattern 3, it is empty", {"OK"},
                      [&](const QString& answer) { answers.push_back("export: " + answer); });
    // Closed as the window manager's close button closes it.
    for (const char* title : {"Soundpack", "Export"}) {
        SCOPED_TRACE(title);
        auto* box = qobject_cast<QMessageBox*>(alerts->openAlert());
        ASSERT_NE(box, nullptr);
        EXPECT_EQ(box->windowTitle(), title);
        box->close();
        QApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }
    EXPECT_EQ(alerts->openAlert(), nullptr);
    EXPECT_EQ(answers, (std::vector<QString>{"pack: No wait!", "export: OK"}));
}

TEST_F(PresentersTest, AButtonHeldWhenAQuestionOpensIsLetGoAndLightsNoLonger) {
    // A pattern pad asks its question as it goes down; the window takes no
    // release while the question is open, so the press must end there.
    Window window;
    View* root = window.setRootView(std::make_unique<View>(QRectF(0, 0, 400, 200)));
    Control* pad = root->add(std::make_unique<Control>(QRectF(0, 0, 200, 200)));
    window.resize(400, 200);
    window.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
    auto* alerts = dynamic_cast<QtAlertPresenter*>(&context.alerts());
    ASSERT_NE(alerts, nullptr);
    int cancelled = 0, ups = 0;
    pad->addTarget(touchDown,
                   [&](Control&) { alerts->showAlert("Export", "Can't export pattern 01, it is empty", {"OK"}, {}); });
    pad->addTarget(touchCancel, [&](Control&) { ++cancelled; });
    pad->addTarget(touchUpInside | touchUpOutside, [&](Control&) { ++ups; });
    const QPoint at = window.viewport()->mapTo(&window, window.mapFromScene(QPointF(100, 100)));
    QTest::mousePress(window.windowHandle(), Qt::LeftButton, {}, at);
    auto* box = qobject_cast<QMessageBox*>(alerts->openAlert());
    ASSERT_NE(box, nullptr);
    EXPECT_FALSE(pad->isHighlighted()) << "the pad still lights under the question";
    EXPECT_FALSE(pad->isTracking());
    EXPECT_EQ(cancelled, 1);
    QTest::mouseRelease(window.windowHandle(), Qt::LeftButton, {}, at);
    box->close();
    QApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    EXPECT_FALSE(pad->isHighlighted());
    EXPECT_EQ(ups, 0) << "a cancelled press ends in no release";
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

    // A refused address is no error of the user's (a login tries the social
    // network's program first): a debug line, without its query and fragment
    // (a login's state), and nothing at the program's level.
    auto logger = std::make_shared<logging::testing::RecordingLogger>();
    logging::Log::addLogger(logger);
    for (const int level : {int(logging::LogFlagError | logging::LogFlagWarning), int(logging::LogFlagDebug)}) {
        logging::setLogLevel(level);
        EXPECT_FALSE(opener.openUrl("socialauth://authorize?client_id=1&state=0123abcd#state=0123abcd"));
    }
    logging::Log::flushLog();
    const auto lines = logger->lines();
    logging::testing::resetLogging();
    EXPECT_EQ(lines, std::vector<std::string>{"refusing to open address socialauth://authorize"});
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
