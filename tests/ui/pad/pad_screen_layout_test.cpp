// Where the pad screen puts its panels and controls in the three layouts, and
// what each layout looks like (rendered to PNG in the build folder); and the
// take under way that the screen keeps when the program ends.

#include <gtest/gtest.h>

#include <QApplication>
#include <QImage>

#include <algorithm>
#include <filesystem>
#include <map>

#include "platform/clock.h"
#include "platform/main_loop.h"
#include "platform/sandbox.h"
#include "platform/user_defaults.h"
#include "library/sound_data_manager.h"
#include "support/still_pad_engine.h"
#include "support/temp_dir.h"
#include "ui/editor/edit_sample_view_controller.h"
#include "../../editor/wave_files.h"
#include "ui/image_store.h"
#include "ui/kit/context.h"
#include "ui/kit/label.h"
#include "ui/info/strombel_information_view_controller.h"
#include "ui/kit/window.h"
#include "ui/pad/strombel_iphone_view_controller.h"
#include "ui/pad/strombel_view_controller.h"
#include "ui/slider_control.h"
#include "still_pad_services.h"

namespace strombel::ui {
namespace {

class PadScreenLayoutTest : public ::testing::Test {
protected:
    PadScreenLayoutTest() : clock_(1'000'000'000), loop_(clock_) {
        loop_.bindToCurrentThread();
        engine_.fxOnTapPadOnly = true;
        engine_.leftVolume = 9000000;
        engine_.rightVolume = 6000000;
    }

    template <typename Screen>
    std::unique_ptr<Screen> show(kit::Context& context, kit::Window& window) {
        (void)context;
        auto screen = std::make_unique<Screen>(services(), defaults_);
        screen->setWindow(&window);
        window.setRootView(screen->takeView());
        screen->viewWillAppear();
        loop_.advance(500 * platform::kNanosPerMillisecond);
        return screen;
    }

    void render(kit::Window& window, const char* name) {
        QImage picture = window.render(2.0);
        ASSERT_FALSE(picture.isNull());
        const auto path = std::filesystem::path(STROMBEL_TEST_OUTPUT_DIR) / name;
        EXPECT_TRUE(picture.save(QString::fromStdString(path.string())));
        // Every picture the layout asked for exists, in the bundle or drawn.
        EXPECT_EQ(ImageStore::shared().missingNames(), std::vector<std::string>{});
    }

    PadScreenServices services() { return {&engine_, &sequencer_, &library_, &midi_}; }

    /// The first subview of `parent` of the kind `T`.
    template <typename T>
    static T* child(kit::View* parent) {
        for (kit::View* view : parent->subviews())
            if (auto* found = dynamic_cast<T*>(view)) return found;
        return nullptr;
    }

    static QRectF frameIn(kit::View* view, kit::View* ancestor) {
        return QRectF(view->mapToItem(ancestor, QPointF(0, 0)), view->size());
    }

    strombel::testing::TempDir temp_;
    platform::UserDefaults defaults_{temp_ / "defaults.sqlite"};
    platform::ManualClock clock_;
    platform::MainLoop loop_{platform::SystemClock::shared()};
    strombel::testing::StillPadEngine engine_;
    StillSequencer sequencer_;
    StillLibrary library_;
    StillMidi midi_;
};

TEST_F(PadScreenLayoutTest, TabletPadsLabelsLampsAndTopRow) {
    kit::Context context(loop_, kit::Screen::tablet());
    kit::Window window;
    auto screen = show<StrombelViewController>(context, window);

    // Pads row by row, each touch area one whole grid cell.
    EXPECT_EQ(screen->tapButton(5)->frame(), QRectF(118, 145, 111, 165));
    EXPECT_EQ(screen->tapButtonLabel(5)->frame().topLeft(), QPointF(132, 159));
    EXPECT_EQ(screen->tapButtonLight(5)->frame().topLeft(), QPointF(107, 147));
    EXPECT_EQ(screen->tapButton(0)->frame().y(), -20) << "a top-row pad starts 20 points above its panel";
    for (int pad = 0; pad < 12; ++pad) {
        EXPECT_EQ(screen->tapButton(pad)->tag(), pad);
        EXPECT_EQ(screen->tapButton(pad)->frame().size(), QSizeF(111, 165));
    }
    EXPECT_LT(screen->tapButton(0)->x(), screen->tapButton(3)->x());
    EXPECT_GT(screen->tapButton(8)->y(), screen->tapButton(0)->y());

    // The top right row: I/O, SMP, SEQ, L/R one button pitch (76) apart, I/O in
    // the same place of its panel as SORT in the left one.
    EXPECT_EQ(screen->sampleOptionsBtn()->x() - screen->inOutBtn()->x(), 76);
    EXPECT_EQ(screen->sequencerBtn()->x() - screen->sampleOptionsBtn()->x(), 76);
    EXPECT_EQ(screen->orientationBtn()->x() - screen->sequencerBtn()->x(), 76);
    EXPECT_EQ(screen->sortBtn()->x(), screen->inOutBtn()->x());

    // First start: the defaults are written, no panel opens, pads on the left.
    EXPECT_EQ(defaults_.integerForKey("CurrentSoundBank"), 0);
    EXPECT_EQ(defaults_.doubleForKey("EffectDryWet"), 1.0);
    EXPECT_EQ(defaults_.integerForKey("BeatsPerMinute"), 125);
    EXPECT_EQ(defaults_.integerForKey("ActivePattern"), 0);
    EXPECT_EQ(defaults_.doubleForKey("Volume"), 1.0);
    EXPECT_EQ(defaults_.doubleForKey("PitchAmount"), 0.5);
    for (const char* key : {"DelayIntensity", "ReverbAmount", "CutOffAmount", "PhaseAmount", "CrushAmount"})
        EXPECT_TRUE(defaults_.hasObject(key)) << key;
    for (const char* key : {"FlipOrientation", "Sequencer", "SampleOptions", "SoundbankManagement", "InOutMode"}) {
        EXPECT_TRUE(defaults_.hasObject(key)) << key;
        EXPECT_FALSE(defaults_.boolForKey(key)) << key;
    }
    EXPECT_FALSE(defaults_.hasObject("SwingPercentage"));
    EXPECT_EQ(screen->tapButtonsContainer()->x(), screen->gf().controlsLeftX());
    EXPECT_EQ(screen->slidersContainer()->x(), screen->gf().controlsRightX());
    EXPECT_EQ(screen->tapButtonLabel(0)->text(), "KICK");
    EXPECT_FLOAT_EQ(engine_.setting(PadEngine::Setting::delayTime), 0.24f) << "half a beat at 125 BPM";

    // The meter shows the engine's level twenty times a second.
    loop_.advance(100 * platform::kNanosPerMillisecond);
    EXPECT_GT(screen->audioOutputMeter()->litCount(true), screen->audioOutputMeter()->litCount(false));
    render(window, "pad_screen_tablet.png");
}

TEST_F(PadScreenLayoutTest, EachEffectSliderSetsItsAmountAndStoresIt) {
    kit::Context context(loop_, kit::Screen::tablet());
    kit::Window window;
    auto screen = show<StrombelViewController>(context, window);
    std::vector<SliderControl*> sliders;
    for (kit::View* view : screen->slidersContainer()->subviews())
        if (auto* slider = dynamic_cast<SliderControl*>(view)) sliders.push_back(slider);
    ASSERT_EQ(sliders.size(), 6u);
    struct Case {
        void (StrombelViewController::*operation)();
        PadEngine::Setting setting;
        const char* key;
    };
    const Case cases[6] = {
        {&StrombelViewController::pitchSliderChanged, PadEngine::Setting::pitchAmount, "PitchAmount"},
        {&StrombelViewController::delaySliderChanged, PadEngine::Setting::delayIntensity, "DelayIntensity"},
        {&StrombelViewController::reverbSliderChanged, PadEngine::Setting::reverbAmount, "ReverbAmount"},
        {&StrombelViewController::cutoffSliderChanged, PadEngine::Setting::cutOffAmount, "CutOffAmount"},
        {&StrombelViewController::phaseSliderChanged, PadEngine::Setting::phaseAmount, "PhaseAmount"},
        {&StrombelViewController::crushSliderChanged, PadEngine::Setting::crushAmount, "CrushAmount"},
    };
    for (size_t i = 0; i < 6; ++i) {
        SCOPED_TRACE(cases[i].key);
        for (size_t other = 0; other < 6; ++other) sliders[other]->setCurrentPosition(0.125f);
        sliders[i]->setCurrentPosition(0.25f);
        ((*screen).*cases[i].operation)();
        EXPECT_FLOAT_EQ(engine_.setting(cases[i].setting), 0.25f);
        EXPECT_EQ(defaults_.doubleForKey(cases[i].key), 0.25);
    }
}

TEST_F(PadScreenLayoutTest, PanelsExcludeEachOtherAndLRWaitsForTheIOPanel) {
    kit::Context context(loop_, kit::Screen::tablet());
    kit::Window window;
    auto screen = show<StrombelViewController>(context, window);

    screen->sequencerBtn()->setIsPressedDown(true);
    screen->sequencerBtnPressed();
    ASSERT_NE(screen->sequencerScreen(), nullptr);
    EXPECT_TRUE(defaults_.boolForKey("Sequencer"));
    render(window, "pad_screen_tablet_sequencer.png");

    // SMP closes SEQ; I/O closes SMP.
    screen->sampleOptionsBtn()->setIsPressedDown(true);
    screen->sampleOptionsBtnPressed();
    EXPECT_EQ(screen->sequencerScreen(), nullptr);
    EXPECT_FALSE(screen->sequencerBtn()->isPressedDown());
    EXPECT_FALSE(defaults_.boolForKey("Sequencer"));
    screen->orientationBtn()->setIsPressedDown(true);
    screen->orientationBtnPressed();
    ASSERT_EQ(screen->tapButtonsContainer()->x(), screen->gf().controlsRightX());
    screen->inOutBtn()->setIsPressedDown(true);
    screen->inOutBtnPressed();
    EXPECT_FALSE(screen->sampleOptionsBtn()->isPressedDown());
    EXPECT_EQ(screen->slidersContainer()->superview(), nullptr) << "the I/O panel takes the sliders' place";

    // The I/O panel holds the pads on the left: L/R says so, unlit and out of
    // reach, instead of staying lit and waiting to be applied on closing. It
    // keeps its side, and closing I/O brings it back.
    EXPECT_EQ(screen->tapButtonsContainer()->x(), screen->gf().controlsLeftX());
    EXPECT_FALSE(screen->orientationBtn()->isPressedDown());
    EXPECT_FALSE(screen->orientationBtn()->isEnabled());
    const QPointF onLR = screen->orientationBtn()->mapToScene(screen->orientationBtn()->bounds().center());
    window.touches().begin(1, onLR);
    window.touches().end(1, onLR);
    EXPECT_FALSE(screen->orientationBtn()->isPressedDown()) << "a tap on it does nothing";
    EXPECT_TRUE(defaults_.boolForKey("FlipOrientation"));
    screen->inOutBtn()->setIsPressedDown(false);
    screen->inOutBtnPressed();
    EXPECT_TRUE(screen->orientationBtn()->isPressedDown());
    EXPECT_TRUE(screen->orientationBtn()->isEnabled());
    EXPECT_TRUE(defaults_.boolForKey("FlipOrientation"));
    EXPECT_EQ(screen->tapButtonsContainer()->x(), screen->gf().controlsRightX());
    EXPECT_EQ(screen->slidersContainer()->x(), screen->gf().controlsLeftX());
    EXPECT_NE(screen->slidersContainer()->superview(), nullptr);
}

TEST_F(PadScreenLayoutTest, TheInformationAndStoreScreensComeAndGoAndTheSettingsComeBack) {
    kit::Context context(loop_, kit::Screen::tablet());
    kit::Window window;
    auto screen = show<StrombelViewController>(context, window);
    screen->sequencerBtn()->setIsPressedDown(true);
    screen->sequencerBtnPressed();
    screen->sequencerControlPlusPressed();  // 126 BPM
    ASSERT_NE(screen->sequencerScreen(), nullptr);

    for (auto press : {&StrombelViewController::infoBtnPressed, &StrombelViewController::shopBtnPressed}) {
        // The value box edits swing when the other screen comes.
        screen->swingBtn()->setIsPressedDown(true);
        screen->swingBtnPressed();
        ASSERT_EQ(screen->sequencerScreen()->screenLabel().text(), "0%");
        ((*screen).*press)();
        loop_.advance(1000 * platform::kNanosPerMillisecond);
        kit::View* presented = context.modals().presented(window);
        ASSERT_NE(presented, nullptr);
        // The BACK key of the information screen, the last button of the store's.
        kit::Button* done = nullptr;
        for (kit::View* child : presented->subviews())
            if (auto* button = dynamic_cast<kit::Button*>(child)) done = button;
        if (auto* information = dynamic_cast<info::StrombelInformationViewController*>(presented))
            done = information->backBtn();
        ASSERT_NE(done, nullptr);
        done->sendActions(kit::touchUpInside);
        loop_.advance(1000 * platform::kNanosPerMillisecond);
        EXPECT_EQ(context.modals().presented(window), nullptr);
        // Coming back runs the restoration: the SEQ panel is made afresh and its
        // value box edits the tempo again.
        ASSERT_NE(screen->sequencerScreen(), nullptr);
        EXPECT_EQ(screen->sequencerScreen()->screenLabel().text(), "126 BPM");
        EXPECT_EQ(sequencer_.bpm(), 126);
    }
}

// The sample editor panel that was open when the program ended comes back in the
// pads' place on its sample, stays one panel across later appearances, and its
// CLOSE button puts the pads back and forgets the sample.
TEST_F(PadScreenLayoutTest, TheSampleEditorPanelComesBackOnItsSampleAndCloseBringsBackThePads) {
    for (GuiType guiType : {GuiType::tablet, GuiType::phonePortrait}) {
        SCOPED_TRACE(guiTypeNumber(guiType));
        kit::Context context(loop_, guiType == GuiType::tablet ? kit::Screen::tablet() : kit::Screen::phone());
        kit::Window window;
        defaults_.setString("SampleEditor-relativeSoundPath", "Documents/my kick.wav");
        std::unique_ptr<StrombelViewController> screen;
        if (guiType == GuiType::tablet) screen = show<StrombelViewController>(context, window);
        else screen = show<StrombelIphonePortraitViewController>(context, window);
        auto tap = [&](kit::View* view) {
            const QPointF at = view->mapToScene(view->bounds().center());
            window.touches().begin(1, at);
            window.touches().end(1, at);
            loop_.advance(1000 * platform::kNanosPerMillisecond);
        };

        editor::EditSampleViewController* editor = screen->editSampleViewController();
        ASSERT_NE(editor, nullptr);
        kit::View* panel = editor->view();
        EXPECT_EQ(panel->superview(), screen->baseContainer());
        EXPECT_EQ(panel->frame().topLeft(), QPointF(screen->gf().controlsLeftX(), screen->gf().bottomControlY()));
        EXPECT_EQ(screen->tapButtonsContainer()->superview(), nullptr) << "the panel takes the pads' place";
        ASSERT_NE(child<kit::Label>(panel), nullptr);
        EXPECT_EQ(child<kit::Label>(panel)->text(), "MY KICK");

        // Coming back from the information screen restores the same panel; on the
        // portrait strip it slides the strip to the panel's side.
        if (guiType == GuiType::phonePortrait) {
            screen->switchVisibleSide();
            loop_.advance(500 * platform::kNanosPerMillisecond);
            ASSERT_LT(screen->baseContainer()->x(), 0);
        }
        const size_t panels = screen->baseContainer()->subviews().size();
        screen->infoBtnPressed();
        loop_.advance(1000 * platform::kNanosPerMillisecond);
        ASSERT_NE(context.modals().presented(window), nullptr);
        auto* information = dynamic_cast<info::StrombelInformationViewController*>(context.modals().presented(window));
        ASSERT_NE(information, nullptr);
        tap(information->backBtn());
        ASSERT_EQ(context.modals().presented(window), nullptr);
        EXPECT_EQ(screen->editSampleViewController(), editor);
        EXPECT_EQ(screen->baseContainer()->subviews().size(), panels);
        EXPECT_EQ(screen->baseContainer()->x(), 0);

        kit::Button* close = nullptr;
        for (kit::View* view : panel->subviews())
            if (auto* button = dynamic_cast<kit::Button*>(view); button && button->title() == "CLOSE") close = button;
        ASSERT_NE(close, nullptr);
        tap(close);
        EXPECT_EQ(screen->editSampleViewController(), nullptr);
        EXPECT_FALSE(defaults_.hasObject("SampleEditor-relativeSoundPath"));
        const auto views = screen->baseContainer()->subviews();
        const auto pads = std::find(views.begin(), views.end(), screen->tapButtonsContainer());
        ASSERT_NE(pads, views.end()) << "the pads are back";
        ASSERT_NE(pads + 1, views.end());
        EXPECT_EQ(pads[1], screen->slidersContainer()) << "just below the sliders";
        EXPECT_EQ(screen->tapButtonsContainer()->x(), screen->gf().controlsLeftX());
        EXPECT_EQ(screen->baseContainer()->subviews().size(), panels);
    }
}

TEST_F(PadScreenLayoutTest, TapTempoSetsTheTempoFromTheMeanIntervalAndTheEchoFollows) {
    kit::Context context(loop_, kit::Screen::tablet());
    kit::Window window;
    auto screen = show<StrombelViewController>(context, window);
    screen->sequencerBtn()->setIsPressedDown(true);
    screen->sequencerBtnPressed();

    for (int tap = 0; tap < 3; ++tap) {
        screen->tapTimerBtnPressed();
        clock_.advance(500 * platform::kNanosPerMillisecond);
    }
    EXPECT_EQ(sequencer_.bpm(), 120);
    EXPECT_FLOAT_EQ(engine_.setting(PadEngine::Setting::delayTime), 0.25f);
    EXPECT_EQ(defaults_.integerForKey("BeatsPerMinute"), 120);
    clock_.advance(700 * platform::kNanosPerMillisecond);  // 1.2 s after the last tap
    screen->tapTimerBtnPressed();
    EXPECT_EQ(sequencer_.bpm(), 120) << "a tap after a pause only starts a new run";

    for (int tap = 0; tap < 2; ++tap) {
        clock_.advance(470 * platform::kNanosPerMillisecond);
        screen->tapTimerBtnPressed();
    }
    EXPECT_EQ(sequencer_.bpm(), 128);

    // The echo stays within 0.1 and 2.5 seconds.
    screen->changeBpmTo(300);
    EXPECT_FLOAT_EQ(engine_.setting(PadEngine::Setting::delayTime), 0.1f);
    screen->changeBpmTo(10);
    EXPECT_FLOAT_EQ(engine_.setting(PadEngine::Setting::delayTime), 2.5f);
}

TEST_F(PadScreenLayoutTest, PhoneLandscapeLayout) {
    kit::Context context(loop_, kit::Screen::phone());
    kit::Window window;
    auto screen = show<StrombelIphoneViewController>(context, window);
    EXPECT_EQ(screen->guiType(), GuiType::phoneLandscape);
    EXPECT_EQ(screen->tapButton(0)->frame(), QRectF(4, -8, 50, 74));
    EXPECT_EQ(screen->view()->frame().size(), QSizeF(480, 320));
    render(window, "pad_screen_phone.png");
}

TEST_F(PadScreenLayoutTest, PhonePortraitLayoutWithItsSwitchButtons) {
    kit::Context context(loop_, kit::Screen::phone());
    kit::Window window;
    auto screen = show<StrombelIphonePortraitViewController>(context, window);
    EXPECT_EQ(screen->guiType(), GuiType::phonePortrait);
    EXPECT_EQ(screen->tapButton(11)->frame(), QRectF(224, 203, 73, 108));
    EXPECT_EQ(screen->view()->frame().size(), QSizeF(320, 480));
    EXPECT_EQ(screen->baseContainer()->frame().size(), QSizeF(640, 480));
    std::vector<double> switches;
    for (kit::View* child : screen->baseContainer()->subviews())
        if (auto* button = dynamic_cast<kit::Button*>(child)) switches.push_back(button->x());
    EXPECT_EQ(switches, (std::vector<double>{123, 443}));
    render(window, "pad_screen_phone_portrait.png");

    screen->switchVisibleSide();
    loop_.advance(300 * platform::kNanosPerMillisecond);
    EXPECT_EQ(screen->baseContainer()->x(), -320);
}

/// The microphone as the editor records it: the take is a file the test writes
/// meanwhile, finished when the recording stops.
struct TakeWritingEngine final : editor::SampleEditorEngine {
    editor::RecordingStart startSampleRecord() override { return {take.string(), {}, {}}; }
    editor::RecordingEnd stopSampleRecord() override {
        stops += 1;
        return {strombel::testing::writeWave(take, std::vector<int16_t>(4410, 1000), 1), {}, 0, false};
    }
    bool startTrack(const std::string&, double, double) override { return false; }
    void stopTrack(const std::string&) override {}
    std::filesystem::path take;
    int stops = 0;
};

TEST_F(PadScreenLayoutTest, ATakeUnderWayWhenTheProgramEndsIsKeptAsARecording) {
    kit::Context context(loop_, kit::Screen::tablet());
    kit::Window window;
    platform::Sandbox sandbox(temp_ / "root", temp_ / "bundle");
    library::SoundDataManager library(sandbox, defaults_, loop_);
    TakeWritingEngine microphone;
    microphone.take = sandbox.caches() / "micinput.wav";
    auto screen = show<StrombelViewController>(context, window);
    screen->setSampleEditorServices({&microphone, &library, {}});
    screen->toggleSampleRecording();
    ASSERT_NE(screen->editSampleViewController(), nullptr);
    screen->editSampleViewController()->recordBtnPressed();
    ASSERT_TRUE(screen->editSampleViewController()->isRecording());

    // What the program runs when it is asked to end (SIGTERM, the window closed).
    screen->finishSampleRecording();
    EXPECT_EQ(microphone.stops, 1);
    EXPECT_FALSE(screen->editSampleViewController()->isRecording());
    EXPECT_NE(library.sampleWithFilepath("Documents/recording 01.wav"), nullptr);
    EXPECT_EQ(strombel::testing::readWave(sandbox.documents() / "recording 01.wav"), std::vector<int16_t>(4410, 1000));
}

}  // namespace
}  // namespace strombel::ui
