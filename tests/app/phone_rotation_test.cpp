// The phone's landscape screen turning to the portrait screen and back as the
// device is turned, on the whole program: orientations are reported through the
// kit's device orientation (or a Qt Sensors backend of the test's own), never a
// real sensor.

#include <QApplication>
#include <QMouseEvent>
#include <QOrientationSensor>
#include <QSensorBackend>
#include <QSensorManager>

#include <sstream>

#include "app/orientation_feed.h"
#include "program_test_support.h"
#include "ui/drag_drop_table_view_controller.h"
#include "ui/pad/strombel_iphone_view_controller.h"

namespace strombel::app::scenario {
namespace {

using ui::StrombelIphonePortraitViewController;
using ui::StrombelIphoneViewController;
using ui::kit::DeviceOrientation;

class PhoneRotationTest : public ProgramTest {
protected:
    std::unique_ptr<ProgramRun> startPhone() { return start(ui::GuiType::phoneLandscape); }

    static StrombelIphoneViewController& landscape(ProgramRun& run) {
        return dynamic_cast<StrombelIphoneViewController&>(run.screen());
    }
    static StrombelIphonePortraitViewController* portrait(ProgramRun& run) { return landscape(run).portraitController(); }

    /// Runs a sequence of reports: a number is an orientation; "~" lets every
    /// fade run to its end; "i" is the landscape screen's information button,
    /// "I" the portrait screen's.
    void play(ProgramRun& run, const std::string& steps) {
        std::istringstream words(steps);
        for (std::string word; words >> word;) {
            if (word == "~") {
                loop_.advance(1000 * platform::kNanosPerMillisecond);
            } else if (word == "i") {
                landscape(run).infoBtnPressed();
            } else if (word == "I") {
                ASSERT_NE(portrait(run), nullptr);
                portrait(run)->infoBtnPressed();
            } else {
                run.program().deviceOrientation().setOrientation(std::stoi(word));
            }
        }
    }
};

TEST_F(PhoneRotationTest, TurnsAsTheDeviceTurnsAndOnlyThen) {
    struct Case {
        const char* steps;
        bool portraitShown;
        int64_t last;
    };
    const Case cases[] = {
        {"1 ~", false, 1},                      // upright from the start: the first report is ignored
        {"3 ~ 1 ~", true, 1},                   // another orientation, then upright
        {"3 ~ 4 ~ 3 ~", false, 3},              // landscape to landscape: not even recorded
        {"3 ~ 1 ~ 4 ~", false, 4},              // back to landscape
        {"3 ~ 1 ~ 3 ~ 4 ~", false, 3},          // left to right while back on the landscape screen
        {"5 ~ 1 ~", true, 1},                   // flat, then upright
        {"2 ~ 1 ~", true, 1},                   // upside down, then upright
        {"3 ~ 1 ~ 6 ~", true, 6},               // laid flat: recorded, nothing changes
        {"3 ~ 1 ~ 6 ~ 4 ~", false, 4},          // ... and a later turn to landscape dismisses
        {"3 ~ 1 ~ 2 ~ 1 ~", true, 1},           // upside down and back: nothing is presented twice
        {"3 ~ i ~ 1 ~", false, 1},              // the landscape screen presents another screen
        {"3 ~ 1 ~ I ~ 4 ~ 5 ~", true, 1},       // the portrait screen presents one: ignored altogether
        {"3 ~ 1 3 ~", false, 3},                // turned back before the presentation completed
        {"3 ~ 1 4 ~", false, 4},
        {"3 ~ 1 ~ 4 1 ~", true, 1},             // turned upright before the dismissal completed
        {"3 ~ 1 ~ 4 1 3 ~", false, 3},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.steps);
        auto run = startPhone();
        play(*run, c.steps);
        loop_.advance(2000 * platform::kNanosPerMillisecond);
        ui::kit::Window& window = run->program().window();
        EXPECT_EQ(portrait(*run) != nullptr, c.portraitShown);
        EXPECT_EQ(landscape(*run).lastKnownOrientation(), c.last);
        EXPECT_EQ(window.ownShapeScreen() != nullptr, c.portraitShown);
        const QSizeF shown = window.sceneRect().size();
        EXPECT_EQ(shown, c.portraitShown ? QSizeF(320, 480) : QSizeF(480, 320));
        EXPECT_EQ(ui::kit::Context::current().screen().statusBarOrientation == 1, c.portraitShown);
        if (c.portraitShown) {
            EXPECT_EQ(window.shownView(), portrait(*run)->view());
            EXPECT_EQ(portrait(*run)->view()->alpha(), 1.0) << "faded in whole";
            EXPECT_EQ(portrait(*run)->guiType(), ui::GuiType::phonePortrait);
        }
    }
}

TEST_F(PhoneRotationTest, TheAutorotationAnswers) {
    // Orientation: 0 unknown, 1 portrait, 2 upside down, 3 and 4 landscape, 5 and 6 flat.
    const bool landscapeTurnsTo[7] = {false, false, false, true, true, false, false};
    const bool portraitTurnsTo[7] = {false, true, false, false, false, false, false};
    constexpr auto landscapeAnswers = StrombelIphoneViewController::kAutorotation;
    constexpr auto portraitAnswers = StrombelIphonePortraitViewController::kAutorotation;
    EXPECT_EQ(landscapeAnswers.supportedInterfaceOrientations, 24u);
    EXPECT_EQ(portraitAnswers.supportedInterfaceOrientations, 2u);
    EXPECT_TRUE(landscapeAnswers.shouldAutorotate);
    EXPECT_TRUE(portraitAnswers.shouldAutorotate);
    for (int64_t o = 0; o < 7; ++o) {
        EXPECT_EQ(landscapeAnswers.shouldAutorotateToInterfaceOrientation(o), landscapeTurnsTo[o]) << o;
        EXPECT_EQ(portraitAnswers.shouldAutorotateToInterfaceOrientation(o), portraitTurnsTo[o]) << o;
    }
    EXPECT_FALSE(landscapeAnswers.shouldAutorotateToInterfaceOrientation(-1));
    EXPECT_FALSE(landscapeAnswers.shouldAutorotateToInterfaceOrientation(64));
}

TEST_F(PhoneRotationTest, TheLandscapeScreenTakesItsRolesBackAndThePortraitScreenClearsOnlyWhatItHolds) {
    auto run = startPhone();
    StrombelIphoneViewController& screen = landscape(*run);
    ui::PadMidi& midi = *run->program().padScreenServices().midi;
    tap(*run, screen.inOutBtn());
    tap(*run, screen.midiLearnBtn());
    ASSERT_EQ(midi.midiLearnDelegate(), &screen);
    ASSERT_EQ(midi.midiPortsDelegate(), screen.midiInOutControl());

    play(*run, "3 ~ 1 ~");
    StrombelIphonePortraitViewController* upright = portrait(*run);
    ASSERT_NE(upright, nullptr);
    ASSERT_NE(upright->midiInOutControl(), nullptr) << "the I/O panel opens there too";
    EXPECT_EQ(midi.midiPortsDelegate(), upright->midiInOutControl());
    // The portrait screen learns too (its I/O buttons are on the strip's right side).
    upright->switchVisibleSide();
    loop_.advance(250 * platform::kNanosPerMillisecond);
    tap(*run, upright->midiLearnBtn());
    ASSERT_EQ(midi.midiLearnDelegate(), upright);
    // The sequencer talks to the portrait screen.
    upright->startPlayback();
    runFor(*run, 0.2);
    EXPECT_TRUE(upright->playbackIsRunning());
    upright->stopPlayback();
    runFor(*run, 0.2);

    play(*run, "4 ~");
    ASSERT_EQ(portrait(*run), nullptr);
    EXPECT_TRUE(screen.midiLearnBtn()->isPressedDown());
    EXPECT_EQ(midi.midiLearnDelegate(), &screen) << "the portrait screen cleared a role it no longer held";
    EXPECT_EQ(midi.midiPortsDelegate(), screen.midiInOutControl());
    screen.startPlayback();
    runFor(*run, 0.2);
    EXPECT_TRUE(screen.playbackIsRunning()) << "the sequencer talks to the landscape screen again";
    screen.stopPlayback();
    runFor(*run, 0.2);
    EXPECT_FALSE(screen.playbackIsRunning());
}

TEST_F(PhoneRotationTest, PortraitSortSlidesRightAndTheEditorLeft) {
    auto run = startPhone();
    play(*run, "3 ~ 1 ~");
    StrombelIphonePortraitViewController* upright = portrait(*run);
    ASSERT_NE(upright, nullptr);
    ui::kit::View* strip = upright->baseContainer();
    EXPECT_EQ(strip->x(), 0) << "the strip starts on its left side";

    tap(*run, upright->sortBtn());
    ASSERT_NE(upright->sortController(), nullptr);
    loop_.advance(100 * platform::kNanosPerMillisecond);
    EXPECT_GT(strip->x(), -320) << "it slides";
    EXPECT_LT(strip->x(), 0);
    loop_.advance(150 * platform::kNanosPerMillisecond);
    EXPECT_EQ(strip->x(), -320) << "the browser's side, in 0.2 s";

    // A picture of the portrait screen with the browser, as the window shows it.
    QImage picture = run->program().window().render(1.0);
    EXPECT_EQ(picture.size(), QSize(320, 480));
    EXPECT_TRUE(picture.save(QString(STROMBEL_TEST_OUTPUT_DIR) + "/phone_portrait_browser.png"));

    tap(*run, upright->sortController()->recordSampleButton());
    ASSERT_NE(upright->editSampleViewController(), nullptr);
    loop_.advance(250 * platform::kNanosPerMillisecond);
    EXPECT_EQ(strip->x(), 0) << "the editor's side";

    // SWITCH twice comes back where it was.
    upright->switchVisibleSide();
    loop_.advance(250 * platform::kNanosPerMillisecond);
    EXPECT_EQ(strip->x(), -320);
    upright->switchVisibleSide();
    loop_.advance(250 * platform::kNanosPerMillisecond);
    EXPECT_EQ(strip->x(), 0);
}

TEST_F(PhoneRotationTest, QuickSwitchTapsDuringASlideAreEachASwitch) {
    auto run = startPhone();
    play(*run, "3 ~ 1 ~");
    StrombelIphonePortraitViewController* upright = portrait(*run);
    ASSERT_NE(upright, nullptr);
    ui::kit::View* strip = upright->baseContainer();
    // The SWITCH buttons, one on each side, lie at one place of the screen: the
    // user taps there, wherever the slide shows them.
    QPointF switchPlace;
    for (ui::kit::View* view : strip->subviews())
        if (auto* button = dynamic_cast<ui::kit::Button*>(view); button && view->x() < 320)
            switchPlace = button->mapToScene(button->bounds().center());
    ASSERT_FALSE(switchPlace.isNull());
    auto tapSwitch = [&] {
        run->program().window().touches().begin(1, switchPlace);
        run->program().window().touches().end(1, switchPlace);
        loop_.runPending();
    };
    const struct {
        double betweenMs;
    } cases[] = {{10}, {50}, {150}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.betweenMs);
        for (const double from : {0.0, -320.0}) {
            ASSERT_EQ(strip->x(), from);
            tapSwitch();
            loop_.advance(uint64_t(c.betweenMs * 1e6));
            tapSwitch();
            loop_.advance(250 * platform::kNanosPerMillisecond);
            EXPECT_EQ(strip->x(), from) << "two taps come back where the strip was";
            tapSwitch();  // on to the other side for the next round
            loop_.advance(250 * platform::kNanosPerMillisecond);
        }
    }

    // The editor slides the strip to its left side; a tap as it opens goes right.
    tap(*run, upright->sortBtn());
    loop_.advance(250 * platform::kNanosPerMillisecond);
    ASSERT_EQ(strip->x(), -320);
    tap(*run, upright->sortController()->recordSampleButton());
    ASSERT_NE(upright->editSampleViewController(), nullptr);
    loop_.advance(100 * platform::kNanosPerMillisecond);
    tapSwitch();
    loop_.advance(250 * platform::kNanosPerMillisecond);
    EXPECT_EQ(strip->x(), -320) << "the tap is not swallowed";
}

TEST_F(PhoneRotationTest, APortraitScreenComingWithTheBrowserOpenStartsOnItsRightSide) {
    auto run = startPhone();
    tap(*run, landscape(*run).sortBtn());
    ASSERT_NE(landscape(*run).sortController(), nullptr);
    play(*run, "3 ~ 1");
    // The presentation has only begun: the strip is already on its right side.
    ui::kit::View* shown = run->program().window().ownShapeScreen();
    ASSERT_NE(shown, nullptr);
    ui::kit::View* strip = shown->subviews().at(0);
    EXPECT_EQ(strip->x(), -320);
    play(*run, "~");
    ASSERT_NE(portrait(*run), nullptr);
    EXPECT_EQ(portrait(*run)->baseContainer()->x(), -320);
    EXPECT_NE(portrait(*run)->sortController(), nullptr);

    // Touches reach the portrait screen over its whole height (below the
    // landscape root's bottom edge too).
    ui::kit::View* switchButton = nullptr;
    for (ui::kit::View* view : portrait(*run)->baseContainer()->subviews())
        if (auto* button = dynamic_cast<ui::kit::Button*>(view); button && view->x() > 320) switchButton = button;
    ASSERT_NE(switchButton, nullptr);
    ASSERT_GT(switchButton->mapToScene(switchButton->bounds().center()).y(), 320);
    tap(*run, switchButton);
    loop_.advance(250 * platform::kNanosPerMillisecond);
    EXPECT_EQ(portrait(*run)->baseContainer()->x(), 0);
}

// ---- The sensor ----------------------------------------------------------------------------

/// An orientation sensor of the test's own, registered with Qt Sensors.
class TestOrientationBackend final : public QSensorBackend {
public:
    explicit TestOrientationBackend(QSensor* sensor) : QSensorBackend(sensor) { setReading<QOrientationReading>(&reading_); }
    void start() override { started = true; }
    void stop() override { started = false; }
    void report(QOrientationReading::Orientation orientation) {
        reading_.setOrientation(orientation);
        reading_.setTimestamp(++time_);
        newReadingAvailable();
    }
    bool started = false;

private:
    QOrientationReading reading_;
    quint64 time_ = 0;
};

class TestOrientationFactory final : public QSensorBackendFactory {
public:
    static constexpr const char* kIdentifier = "strombel.test.orientation";
    QSensorBackend* createBackend(QSensor* sensor) override {
        last = new TestOrientationBackend(sensor);  // the sensor owns it
        return last;
    }
    TestOrientationBackend* last = nullptr;
};

TestOrientationFactory& testSensor() {
    static TestOrientationFactory factory;
    static const bool registered = [] {
        if (!QSensorManager::isBackendRegistered(QOrientationSensor::sensorType, TestOrientationFactory::kIdentifier))
            QSensorManager::registerBackend(QOrientationSensor::sensorType, TestOrientationFactory::kIdentifier, &factory);
        return true;
    }();
    (void)registered;
    return factory;
}

TEST(OrientationFeedTest, ReportsEachReadingAsTheDeviceOrientationAndUndefinedNot) {
    platform::NotificationCenter center;
    DeviceOrientation orientation(center);
    int posted = 0;
    center.addObserver(DeviceOrientation::kDidChangeNotification, &orientation,
                       [&](const platform::Notification&) { ++posted; });
    TestOrientationFactory& factory = testSensor();
    OrientationFeed feed(orientation, TestOrientationFactory::kIdentifier);
    ASSERT_TRUE(feed.active());
    ASSERT_NE(factory.last, nullptr);
    EXPECT_TRUE(factory.last->started);

    const std::pair<QOrientationReading::Orientation, int64_t> readings[] = {
        {QOrientationReading::TopUp, 1},   {QOrientationReading::TopDown, 2}, {QOrientationReading::RightUp, 3},
        {QOrientationReading::LeftUp, 4},  {QOrientationReading::FaceUp, 5}, {QOrientationReading::FaceDown, 6},
        {QOrientationReading::Undefined, 6},  // not told: the last one stands
    };
    int expectedPosts = 0;
    for (const auto& [reading, expected] : readings) {
        const int64_t before = orientation.orientation();
        factory.last->report(reading);
        EXPECT_EQ(orientation.orientation(), expected) << int(reading);
        if (expected != before) ++expectedPosts;
        EXPECT_EQ(posted, expectedPosts);
    }
    factory.last->report(QOrientationReading::FaceDown);
    EXPECT_EQ(posted, expectedPosts) << "the same orientation again is no change";
}

TEST(OrientationFeedTest, WithoutSuchASensorNothingIsEverReported) {
    platform::NotificationCenter center;
    DeviceOrientation orientation(center);
    OrientationFeed feed(orientation, "strombel.test.no-such-sensor");
    EXPECT_FALSE(feed.active());
    EXPECT_EQ(orientation.orientation(), DeviceOrientation::unknown);
}

class PhoneSensorTest : public ProgramTest {};

TEST_F(PhoneSensorTest, TheProgramFollowsItsSensorOnThePhoneLandscapeScreen) {
    TestOrientationFactory& factory = testSensor();
    ProgramRun::Options options;
    options.orientationSensor = QByteArray(TestOrientationFactory::kIdentifier);
    auto run = std::make_unique<ProgramRun>(temp_ / "root", clock_, loop_, ui::GuiType::phoneLandscape,
                                            std::nullopt, options);
    ASSERT_NE(run->program().orientationFeed(), nullptr);
    ASSERT_TRUE(run->program().orientationFeed()->active());
    auto& screen = dynamic_cast<StrombelIphoneViewController&>(run->screen());
    factory.last->report(QOrientationReading::RightUp);
    factory.last->report(QOrientationReading::TopUp);
    loop_.advance(1000 * platform::kNanosPerMillisecond);
    EXPECT_NE(screen.portraitController(), nullptr);
    factory.last->report(QOrientationReading::LeftUp);
    loop_.advance(1000 * platform::kNanosPerMillisecond);
    EXPECT_EQ(screen.portraitController(), nullptr);
}

}  // namespace
}  // namespace strombel::app::scenario

namespace strombel::app::scenario {
namespace {

class PortraitClicksTest : public ProgramTest {};

TEST_F(PortraitClicksTest, ASecondQuickClickOnSortReachesNoRowOfTheBrowserSlidingIn) {
    auto run = start(ui::GuiType::phonePortrait);
    ui::StrombelViewController& screen = run->screen();
    ui::kit::View* strip = screen.baseContainer();
    const QPointF sortPlace = screen.sortBtn()->mapToScene(screen.sortBtn()->bounds().center());
    auto click = [&] {
        run->program().window().touches().begin(1, sortPlace);
        run->program().window().touches().end(1, sortPlace);
        loop_.runPending();
    };
    click();
    ASSERT_NE(screen.sortController(), nullptr);
    // The browser's first pack row, its X included, slides in under the pointer.
    loop_.advance(50 * platform::kNanosPerMillisecond);
    click();
    EXPECT_TRUE(run->alerts().shown.empty()) << run->alerts().shown.front().message.toStdString();
    loop_.advance(250 * platform::kNanosPerMillisecond);
    ASSERT_EQ(strip->x(), -320);
    ASSERT_NE(screen.sortController(), nullptr);
    // Come to rest, the browser takes clicks.
    click();
    ASSERT_EQ(run->alerts().shown.size(), 1u) << "the X under the pointer asks";
    EXPECT_EQ(run->alerts().shown[0].title, "Soundpack");
}

TEST_F(PortraitClicksTest, ADoubleClickOnSortOpensTheBrowserAndAsksNothingWhenTheBrowserIsAtRestByItsSecondPress) {
    // A double-click as people make it, 250 ms from press to press: the browser
    // has come to rest under the pointer by the second press, which the desktop
    // sends as a double-click.
    auto run = start(ui::GuiType::phonePortrait);
    ui::StrombelViewController& screen = run->screen();
    ui::kit::Window& window = run->program().window();
    const QPoint at = window.mapFromScene(screen.sortBtn()->mapToScene(screen.sortBtn()->bounds().center()));
    auto send = [&](QEvent::Type type) {
        const Qt::MouseButtons held = type == QEvent::MouseButtonRelease ? Qt::NoButton : Qt::LeftButton;
        QMouseEvent event(type, at, window.viewport()->mapToGlobal(at), Qt::LeftButton, held, Qt::NoModifier);
        QApplication::sendEvent(window.viewport(), &event);
        loop_.runPending();
    };
    send(QEvent::MouseButtonPress);
    send(QEvent::MouseButtonRelease);
    ASSERT_NE(screen.sortController(), nullptr);
    loop_.advance(250 * platform::kNanosPerMillisecond);
    ASSERT_EQ(screen.baseContainer()->x(), -320) << "the browser at rest";
    send(QEvent::MouseButtonDblClick);
    send(QEvent::MouseButtonRelease);
    EXPECT_TRUE(run->alerts().shown.empty()) << run->alerts().shown.front().message.toStdString();
    // A click of its own there is for the row's X.
    send(QEvent::MouseButtonPress);
    send(QEvent::MouseButtonRelease);
    ASSERT_EQ(run->alerts().shown.size(), 1u);
    EXPECT_EQ(run->alerts().shown[0].title, "Soundpack");
}

TEST_F(PortraitClicksTest, APanelButtonLetGoElsewhereSwitchesBackWithItsLamp) {
    auto run = start(ui::GuiType::phonePortrait);
    ui::StrombelViewController& screen = run->screen();
    screen.sampleOptionsBtn()->setIsPressedDown(true);
    screen.sampleOptionsBtnPressed();
    struct Case {
        const char* name;
        ui::SmallButtonControl* button;
        std::function<bool()> opened;
        bool onRightSide;
    };
    const Case cases[] = {
        {"SORT", screen.sortBtn(), [&] { return screen.sortController() != nullptr; }, false},
        {"SEQ", screen.sequencerBtn(), [&] { return screen.sequencerScreen() != nullptr; }, true},
        {"HOLD", screen.holdToggleBtn(), [&] { return run->defaults().boolForKey("HoldToggle"); }, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        if (c.onRightSide) {
            screen.switchVisibleSide();
            loop_.advance(300 * platform::kNanosPerMillisecond);
        }
        ASSERT_NE(c.button, nullptr);
        const QPointF on = c.button->mapToScene(c.button->bounds().center());
        run->program().window().touches().begin(1, on);
        EXPECT_TRUE(c.button->isPressedDown()) << "it switches as the finger goes down";
        run->program().window().touches().move(1, on + QPointF(0, 120));
        run->program().window().touches().end(1, on + QPointF(0, 120));
        loop_.runPending();
        EXPECT_FALSE(c.button->isPressedDown());
        ASSERT_NE(c.button->light(), nullptr);
        EXPECT_FALSE(c.button->light()->isTurnedOn()) << "a lit lamp with nothing open";
        EXPECT_FALSE(c.opened());
    }
}

}  // namespace
}  // namespace strombel::app::scenario
