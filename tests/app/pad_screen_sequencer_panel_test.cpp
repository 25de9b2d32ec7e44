// The SEQ panel as a user works it on the whole program: the value box's three
// modes at the sequencer's limits, the two seconds an edit stays in view, the
// tempo lamp, REC's count-in and what a stop leaves sounding.

#include <QRegularExpression>

#include <cmath>
#include <optional>
#include <thread>

#include "midi/midi_message.h"
#include "program_test_support.h"
#include "ui/light_view.h"

namespace strombel::app::scenario {
namespace {

class SequencerPanelTest : public ProgramTest {
protected:
    void open(ProgramRun& run, ui::SmallButtonControl* button) {
        if (!button->isPressedDown()) tap(run, button);
        ASSERT_TRUE(button->isPressedDown());
    }
    static QString shown(ProgramRun& run) { return run.screen().sequencerScreen()->screenLabel().text(); }
    static bool showsBarPosition(ProgramRun& run) {
        static const QRegularExpression position("^\\d+\\.\\d+$");
        return position.match(shown(run)).hasMatch();
    }
    /// Lets the main loop's time pass without the sequencer moving on.
    void wait(double seconds) { loop_.advance(uint64_t(seconds * 1e9)); }
};

enum class Mode { none, tempo, bars, swing };

struct ValueStep {
    const char* name;
    Mode mode;
    double from;  // tempo, bars or swing before the key
    bool plus;
    const char* shows;
    double after;            // the sequencer's value after the key
    const char* storedKey;   // the setting written, if any
};

std::ostream& operator<<(std::ostream& out, const ValueStep& step) { return out << step.name; }

class ValueBoxSteps : public SequencerPanelTest, public ::testing::WithParamInterface<ValueStep> {};

TEST_P(ValueBoxSteps, TheBoxShowsTheSequencersValueAfterEachKey) {
    const ValueStep& step = GetParam();
    auto run = start();
    ui::StrombelViewController& screen = run->screen();
    sequencer::Sequencer& sequencer = *run->program().sequencer();
    open(*run, screen.sequencerBtn());
    ASSERT_TRUE(screen.bpmBtn()->isPressedDown()) << "the panel opens on the tempo";

    switch (step.mode) {
        case Mode::none: tap(*run, screen.bpmBtn()); break;
        case Mode::tempo: sequencer.setBpm(int32_t(step.from)); break;
        case Mode::bars:
            sequencer.changeNumBarsTo(uint64_t(step.from));
            tap(*run, screen.barsBtn());
            break;
        case Mode::swing:
            sequencer.setSwing(float(step.from));
            tap(*run, screen.swingBtn());
            break;
    }
    EXPECT_EQ(screen.bpmBtn()->isPressedDown(), step.mode == Mode::tempo) << "one mode button at a time";
    EXPECT_EQ(screen.barsBtn()->isPressedDown(), step.mode == Mode::bars);
    EXPECT_EQ(screen.swingBtn()->isPressedDown(), step.mode == Mode::swing);
    const int32_t tempoBefore = sequencer.bpm();
    const uint64_t barsBefore = sequencer.activePatternNumBars();
    const float swingBefore = sequencer.swing();
    const bool hadSwing = run->defaults().hasObject("SwingPercentage");

    ui::SequencerScreenControl* box = screen.sequencerScreen();
    tap(*run, step.plus ? &box->rightButton() : &box->leftButton());

    EXPECT_EQ(shown(*run), step.shows);
    switch (step.mode) {
        case Mode::none:
            EXPECT_EQ(sequencer.bpm(), tempoBefore);
            EXPECT_EQ(sequencer.activePatternNumBars(), barsBefore);
            EXPECT_EQ(sequencer.swing(), swingBefore);
            EXPECT_EQ(run->defaults().hasObject("SwingPercentage"), hadSwing);
            break;
        case Mode::tempo: EXPECT_EQ(sequencer.bpm(), int32_t(step.after)); break;
        case Mode::bars: EXPECT_EQ(sequencer.activePatternNumBars(), uint64_t(step.after)); break;
        case Mode::swing: EXPECT_NEAR(sequencer.swing(), step.after, 1e-5); break;
    }
    if (step.storedKey) {
        ASSERT_TRUE(run->defaults().hasObject(step.storedKey));
        EXPECT_NEAR(run->defaults().doubleForKey(step.storedKey), step.after, 1e-5);
    }
}

INSTANTIATE_TEST_SUITE_P(
    AtTheLimits, ValueBoxSteps,
    ::testing::Values(ValueStep{"TempoUpToTheFastest", Mode::tempo, 299, true, "300 BPM", 300, "BeatsPerMinute"},
                      ValueStep{"TempoHeldAtTheFastest", Mode::tempo, 300, true, "300 BPM", 300, "BeatsPerMinute"},
                      ValueStep{"TempoHeldAtTheSlowest", Mode::tempo, 10, false, "10 BPM", 10, "BeatsPerMinute"},
                      ValueStep{"TempoDownOne", Mode::tempo, 125, false, "124 BPM", 124, "BeatsPerMinute"},
                      // One bar reads "1 BAR", not the unit's plural.
                      ValueStep{"BarsHeldAtOne", Mode::bars, 1, false, "1 BAR", 1, nullptr},
                      ValueStep{"BarsDownToOne", Mode::bars, 2, false, "1 BAR", 1, nullptr},
                      ValueStep{"BarsUpOne", Mode::bars, 1, true, "2 BARS", 2, nullptr},
                      ValueStep{"BarsHeldAtTheMost", Mode::bars, 99, true, "99 BARS", 99, nullptr},
                      ValueStep{"SwingHeldAtNone", Mode::swing, 0, false, "0%", 0, "SwingPercentage"},
                      ValueStep{"SwingUpToFull", Mode::swing, 0.95, true, "100%", 1.0, "SwingPercentage"},
                      ValueStep{"SwingHeldAtFull", Mode::swing, 1.0, true, "100%", 1.0, "SwingPercentage"},
                      ValueStep{"SwingDownATenth", Mode::swing, 0.5, false, "40%", 0.4, "SwingPercentage"},
                      ValueStep{"NoModeChangesNothing", Mode::none, 0, true, "-.-", 0, nullptr}),
    [](const ::testing::TestParamInfo<ValueStep>& info) { return std::string(info.param.name); });

TEST_F(SequencerPanelTest, AnEditStaysInViewForTwoSecondsThenBarPositionsComeBack) {
    auto run = start();
    ui::StrombelViewController& screen = run->screen();
    open(*run, screen.sequencerBtn());
    tap(*run, screen.playBtn());
    const double beat = 60.0 / run->program().sequencer()->bpm();
    runFor(*run, beat + 0.05);
    EXPECT_TRUE(showsBarPosition(*run)) << shown(*run).toStdString();

    const int32_t tempo = run->program().sequencer()->bpm();
    tap(*run, &screen.sequencerScreen()->rightButton());
    const QString edited = QString("%1 BPM").arg(tempo + 1);
    EXPECT_EQ(shown(*run), edited);
    runFor(*run, 1.95);
    EXPECT_EQ(shown(*run), edited) << "bar positions within two seconds of the edit are skipped";
    runFor(*run, beat + 0.1);
    EXPECT_TRUE(showsBarPosition(*run)) << "the first beat after the two seconds: " << shown(*run).toStdString();

    // With no mode the box has nothing to hold: positions show at once.
    tap(*run, screen.bpmBtn());
    EXPECT_EQ(shown(*run), "-.-");
    runFor(*run, beat + 0.05);
    EXPECT_TRUE(showsBarPosition(*run)) << shown(*run).toStdString();
}

TEST_F(SequencerPanelTest, TapChoosesTheTempoSoThatPlusSetsWhatTheBoxShows) {
    for (ui::SmallButtonControl* (ui::StrombelViewController::*chosen)() const :
         {&ui::StrombelViewController::swingBtn, &ui::StrombelViewController::barsBtn}) {
        auto run = start();
        ui::StrombelViewController& screen = run->screen();
        sequencer::Sequencer& sequencer = *run->program().sequencer();
        open(*run, screen.sequencerBtn());
        tap(*run, (screen.*chosen)());
        const float swing = sequencer.swing();
        const uint64_t bars = sequencer.activePatternNumBars();
        tap(*run, screen.tapTimerBtn());
        wait(0.5);
        tap(*run, screen.tapTimerBtn());
        EXPECT_EQ(sequencer.bpm(), 120);
        EXPECT_EQ(shown(*run), "120 BPM");
        EXPECT_TRUE(screen.bpmBtn()->isPressedDown());
        EXPECT_FALSE((screen.*chosen)()->isPressedDown());

        tap(*run, &screen.sequencerScreen()->rightButton());
        EXPECT_EQ(sequencer.bpm(), 121);
        EXPECT_EQ(shown(*run), "121 BPM");
        EXPECT_EQ(sequencer.swing(), swing);
        EXPECT_EQ(sequencer.activePatternNumBars(), bars);
        run.reset();
    }
}

TEST_F(SequencerPanelTest, ATempoChangeRestartsTheTempoLampOnlyWhileStopped) {
    auto run = start();
    ui::StrombelViewController& screen = run->screen();
    open(*run, screen.sequencerBtn());
    ui::LightView* lamp = screen.tapTimerLight();
    ASSERT_NE(lamp, nullptr);

    // 60 BPM: one flash a second, counted from the change.
    screen.changeBpmTo(60);
    wait(0.9);
    EXPECT_FALSE(lamp->showsLitView());
    wait(0.15);
    EXPECT_TRUE(lamp->showsLitView()) << "a beat after the change";

    // 30 BPM 0.3 s into the next beat: the old beat (at 2.0) is gone, the new
    // one comes two seconds after the change.
    wait(0.25);
    screen.changeBpmTo(30);
    wait(0.8);
    EXPECT_FALSE(lamp->showsLitView()) << "the beat of the old tempo does not come";
    wait(1.25);
    EXPECT_TRUE(lamp->showsLitView());

    // While playing, the lamp follows the bars only: a tempo change starts no timer.
    tap(*run, screen.playBtn());
    ASSERT_TRUE(run->program().sequencer()->isRunning());
    wait(0.5);
    tap(*run, &screen.sequencerScreen()->rightButton());
    for (int step = 0; step < 30; ++step) {
        wait(0.1);
        ASSERT_FALSE(lamp->showsLitView()) << "lit " << (step + 1) * 0.1 << " s after the change";
    }

    // The stop starts the lamp again.
    tap(*run, screen.playBtn());
    ASSERT_FALSE(run->program().sequencer()->isRunning());
    bool lit = false;
    for (int step = 0; step < 25 && !lit; ++step) {
        wait(0.1);
        lit = lamp->showsLitView();
    }
    EXPECT_TRUE(lit) << "within a beat of the stop";
}

TEST_F(SequencerPanelTest, RecWhileStoppedCountsInAndReleasesEraseRecDuringPlaybackDoesNot) {
    auto run = start();
    ui::StrombelViewController& screen = run->screen();
    sequencer::Sequencer& sequencer = *run->program().sequencer();
    open(*run, screen.sequencerBtn());
    tap(*run, screen.eraseBtn());
    ASSERT_TRUE(screen.eraseBtn()->isPressedDown());

    tap(*run, screen.recBtn());
    EXPECT_TRUE(sequencer.isRunning());
    EXPECT_TRUE(screen.playBtn()->isPressedDown());
    EXPECT_FALSE(screen.eraseBtn()->isPressedDown());
    runFor(*run, 0.05);
    EXPECT_TRUE(shown(*run).startsWith("0.")) << "the count-in bar: " << shown(*run).toStdString();
    runFor(*run, 4 * 60.0 / sequencer.bpm());
    EXPECT_TRUE(shown(*run).startsWith("1.")) << shown(*run).toStdString();

    // Stopping releases both.
    tap(*run, screen.playBtn());
    EXPECT_FALSE(sequencer.isRunning());
    EXPECT_FALSE(screen.recBtn()->isPressedDown());
    EXPECT_FALSE(screen.playBtn()->isPressedDown());

    // REC during playback records at once: no count-in.
    tap(*run, screen.playBtn());
    runFor(*run, 60.0 / sequencer.bpm() + 0.05);
    ASSERT_TRUE(shown(*run).startsWith("1.")) << shown(*run).toStdString();
    tap(*run, screen.eraseBtn());
    tap(*run, screen.recBtn());
    EXPECT_FALSE(screen.eraseBtn()->isPressedDown());
    for (int step = 0; step < 20; ++step) {
        runFor(*run, 0.05);
        ASSERT_TRUE(shown(*run).startsWith("1.")) << shown(*run).toStdString();
        ASSERT_GE(sequencer.currentStep(), 0);
    }
    tap(*run, screen.playBtn());
}

TEST_F(SequencerPanelTest, AStopKeepsThePadsSamplesSounding) {
    auto run = start();
    ui::StrombelViewController& screen = run->screen();
    open(*run, screen.sequencerBtn());
    tap(*run, screen.playBtn());
    runFor(*run, 0.1);
    const std::string path = run->program().engine()->currentSoundbankFilePathsByIdx().at(2);
    touchDown(*run, screen.tapButton(2));
    ASSERT_GT(runFor(*run, 0.02), 0);
    ASSERT_TRUE(run->program().engine()->isPlaying(path));

    tap(*run, screen.playBtn());
    ASSERT_FALSE(run->program().sequencer()->isRunning());
    EXPECT_TRUE(run->program().engine()->isPlaying(path));
    EXPECT_GT(nextBuffer(*run), 0) << "the pad's sample is still heard after the stop";
    touchUp(*run, screen.tapButton(2));
}

TEST_F(SequencerPanelTest, TheTransportButtonsStartFromTheSequencerAndTheEngine) {
    auto run = start();
    ui::StrombelViewController& screen = run->screen();
    run->program().sequencer()->setUseMetronome(true);
    run->program().engine()->setApplyFxToTapPadOnly(false);
    open(*run, screen.sequencerBtn());
    EXPECT_TRUE(screen.metronomeBtn()->isPressedDown());
    EXPECT_TRUE(screen.fxBtn()->isPressedDown()) << "FX on: effects on everything the engine plays";
    EXPECT_FALSE(screen.playBtn()->isPressedDown());
    EXPECT_FALSE(screen.recBtn()->isPressedDown());

    tap(*run, screen.metronomeBtn());
    EXPECT_FALSE(run->program().sequencer()->useMetronome());
    tap(*run, screen.fxBtn());
    EXPECT_TRUE(run->program().engine()->applyFxToTapPadOnly());
}

TEST_F(SequencerPanelTest, ComingBackFromAnotherScreenEndsPatternModeAndShowsTheTempo) {
    auto run = start();
    ui::StrombelViewController& screen = run->screen();
    open(*run, screen.sequencerBtn());
    tap(*run, screen.swingBtn());
    tap(*run, screen.patternBtn());
    ASSERT_EQ(screen.tapPadsState(), ui::TapPadsPattern);
    ASSERT_TRUE(run->defaults().boolForKey("PatternMode"));

    ASSERT_NO_FATAL_FAILURE(visitInformationScreen(*run));

    ASSERT_NE(screen.patternBtn(), nullptr) << "the panel is open again";
    EXPECT_FALSE(screen.patternBtn()->isPressedDown());
    EXPECT_FALSE(run->defaults().boolForKey("PatternMode"));
    EXPECT_EQ(screen.tapPadsState(), ui::TapPadsPlay);
    EXPECT_NE(screen.tapButtonLabel(0)->text(), "01") << "the pads show their samples again";
    EXPECT_TRUE(screen.bpmBtn()->isPressedDown());
    EXPECT_FALSE(screen.swingBtn()->isPressedDown());
    EXPECT_EQ(shown(*run), QString("%1 BPM").arg(run->program().sequencer()->bpm()));
}

// An outside clock's start or stop comes from the MIDI action thread and reaches
// the screen on the main loop, after a tap on PLAY that came later but ran at
// once: the screen ends up showing what the sequencer does, and a stop it has
// outlived leaves the sequencer's samples sounding.
struct ClockRace {
    const char* name;
    bool playingBefore;  // PLAY was on before the clock spoke
    bool clockStops;     // the clock stops again before the tap
    bool playingAfter;   // what the tap leaves the sequencer doing
};

std::ostream& operator<<(std::ostream& out, const ClockRace& race) { return out << race.name; }

class ClockRaces : public SequencerPanelTest, public ::testing::WithParamInterface<ClockRace> {};

TEST_P(ClockRaces, TheScreenShowsWhatTheSequencerDoesWhateverOrderTheMessagesCameIn) {
    const ClockRace& race = GetParam();
    auto run = start();
    ui::StrombelViewController& screen = run->screen();
    open(*run, screen.sequencerBtn());
    if (race.playingBefore) tap(*run, screen.playBtn());
    run->program().midiHub()->receiveClockFrom("Drum Machine", true);
    auto source = std::make_shared<const std::string>("Drum Machine");
    std::thread clock([&] {
        platform::ThreadRoleScope role(platform::ThreadRole::midiAction);
        run->program().midiHub()->handleMidiMessage(midi::MidiMessage(source, 0xFA, 0, 0));
        if (race.clockStops) run->program().midiHub()->handleMidiMessage(midi::MidiMessage(source, 0xFC, 0, 0));
    });
    clock.join();

    // The tap, before the main loop has delivered the clock's messages.
    touchDown(*run, screen.playBtn());
    touchUp(*run, screen.playBtn());
    ASSERT_EQ(run->program().sequencer()->isRunning(), race.playingAfter);
    const std::string path = run->program().engine()->currentSoundbankFilePathsByIdx().at(3);
    if (race.playingAfter) run->program().engine()->startTrackFromSequencer(path, clock_.nowNanos());
    runFor(*run, 0.05);

    EXPECT_EQ(run->program().sequencer()->isRunning(), race.playingAfter);
    EXPECT_EQ(screen.playbackIsRunning(), race.playingAfter);
    EXPECT_EQ(screen.playBtn()->isPressedDown(), race.playingAfter);
    EXPECT_EQ(run->program().delegate().playTrigger()->state(), race.playingAfter ? 1 : 0);
    if (race.playingAfter) {
        EXPECT_TRUE(run->program().engine()->isPlaying(path)) << "a stop it outlived ended it";
        tap(*run, screen.playBtn());
    }
}

INSTANTIATE_TEST_SUITE_P(
    , ClockRaces,
    ::testing::Values(ClockRace{"AStartAndStopOvertakenByTheUsersStart", false, true, true},
                      ClockRace{"AStartOvertakenByTheUsersStop", true, false, false}),
    [](const ::testing::TestParamInfo<ClockRace>& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace strombel::app::scenario
