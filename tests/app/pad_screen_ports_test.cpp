// The MIDI ports panel on the whole program with a MIDI world of loopback
// devices: a keyboard's notes play the pads only once its NOTES switch is on,
// the panel takes the hub's ports role back when its screen comes back, and a
// row whose port went never acts on the port that took its place.

#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <optional>
#include <thread>

#include "program_test_support.h"
#include "support/recording_logger.h"
#include "ui/midi_in_out_control.h"

namespace strombel::app::scenario {
namespace {

/// Sets an environment variable for one test and puts it back after.
class ScopedEnvironment {
public:
    ScopedEnvironment(const char* name, const std::string& value) : name_(name) {
        if (const char* old = std::getenv(name)) old_ = old;
        ::setenv(name, value.c_str(), 1);
    }
    ~ScopedEnvironment() {
        if (old_) ::setenv(name_, old_->c_str(), 1);
        else ::unsetenv(name_);
    }

private:
    const char* name_;
    std::optional<std::string> old_;
};

class PortsPanelTest : public ProgramTest {
protected:
    ui::MidiInOutControl* openPorts(ProgramRun& run) {
        if (!run.screen().inOutBtn()->isPressedDown()) tap(run, run.screen().inOutBtn());
        return run.screen().midiInOutControl();
    }
    static QString nameOf(ui::kit::TableView* table, int row) {
        ui::kit::TableViewCell* cell = table->cellForRow({0, row});
        if (!cell) return {};
        return static_cast<ui::kit::Label*>(cell->viewWithTag(ui::MidiInOutControl::kNameTag))->text();
    }
    static int rowNamed(ui::kit::TableView* table, const QString& name) {
        for (int row = 0; row < table->numberOfRows(0); ++row)
            if (nameOf(table, row) == name) return row;
        return -1;
    }
    static ui::kit::Button* switchOf(ui::kit::TableView* table, int row, int tag) {
        return static_cast<ui::kit::Button*>(table->cellForRow({0, row})->viewWithTag(tag));
    }
    static std::optional<midi::MidiPort> hubPort(ProgramRun& run, const std::string& name) {
        for (const midi::MidiPort& port : run.program().midiHub()->sources())
            if (port.name == name) return port;
        return std::nullopt;
    }
    /// A device plays `bytes` on its own thread (as the backend's read thread
    /// would), and the hub's action thread carries them out before this returns.
    void play(ProgramRun& run, platform::MidiEndpointRef source, std::vector<uint8_t> bytes) {
        std::thread device([&] { run.midi().play(source, std::move(bytes)); });
        device.join();
        run.program().midiHub()->waitUntilActionThreadIdle();
    }
    /// Renders what the engine plays now; the loudest left sample.
    int64_t listen(ProgramRun& run) { return runFor(run, 0.05); }
};

TEST_F(PortsPanelTest, WithoutAnyMidiSystemTheStartSaysSoAndTheListsSayWhy) {
    if (std::filesystem::exists("/dev/snd/seq")) GTEST_SKIP() << "this machine has an ALSA sequencer";
    // No ALSA sequencer here, and the JACK server named is not running.
    ScopedEnvironment server("JACK_DEFAULT_SERVER", "strombel-absent-" + std::to_string(::getpid()));
    ScopedEnvironment noStart("JACK_NO_START_SERVER", "1");
    auto logger = std::make_shared<logging::testing::RecordingLogger>();
    logging::Log::addLogger(logger);
    logging::setLogLevel(logging::LogFlagError | logging::LogFlagWarning);
    ProgramRun::Options options{};
    options.ownMidiSystem = true;
    auto run = std::make_unique<ProgramRun>(temp_ / "root", clock_, loop_, ui::GuiType::tablet, std::nullopt, options);
    loop_.advance(midi::MidiController::kAbsenceGrace);  // an absence is told once it has lasted
    logging::Log::flushLog();
    const auto lines = logger->lines();
    logging::testing::resetLogging();
    EXPECT_TRUE(std::any_of(lines.begin(), lines.end(),
                            [](const std::string& line) { return line.find("No MIDI system found") != std::string::npos; }))
        << "the start says that MIDI is off";

    ui::MidiInOutControl* ports = openPorts(*run);
    ASSERT_NE(ports, nullptr);
    EXPECT_EQ(nameOf(ports->sourcesTableView(), 0), "NO MIDI SYSTEM");
    EXPECT_EQ(nameOf(ports->destinationsTableView(), 0), "NO MIDI SYSTEM");
}

TEST_F(PortsPanelTest, AKeyboardsNotesPlayAPadOnlyOnceItsNotesSwitchIsOn) {
    auto run = start();
    ui::StrombelViewController& screen = run->screen();
    engine::SoundBox& engine = *run->program().engine();
    const platform::MidiEndpointRef keys = run->midi().addSource("Keys");
    loop_.runPending();
    ui::MidiInOutControl* ports = openPorts(*run);
    ASSERT_NE(ports, nullptr);
    ui::kit::TableView* receive = ports->sourcesTableView();
    const int row = rowNamed(receive, "KEYS");
    ASSERT_GE(row, 0);
    const std::string third = engine.currentSoundbankFilePathsByIdx().at(2);
    ASSERT_EQ(listen(*run), 0) << "silence before any note";

    // Note 62 (pad 3 in the stock note map) from a keyboard not switched on: nothing.
    play(*run, keys, {0x90, 62, 100});
    EXPECT_EQ(listen(*run), 0);
    EXPECT_FALSE(engine.isPlaying(third));
    EXPECT_FALSE(screen.tapButtonLight(2)->isTurnedOn());
    play(*run, keys, {0x80, 62, 0});

    tap(*run, switchOf(receive, row, ui::MidiInOutControl::kNotesTag));
    ASSERT_TRUE(hubPort(*run, "Keys") && hubPort(*run, "Keys")->processNotes);
    play(*run, keys, {0x90, 62, 100});
    EXPECT_GT(listen(*run), 0) << "the keyboard plays pad 3";
    EXPECT_TRUE(engine.isPlaying(third));
    EXPECT_TRUE(screen.tapButtonLight(2)->isTurnedOn()) << "and its lamp lights as for a touch";

    // Switched off again: its notes are ignored once more.
    play(*run, keys, {0x80, 62, 0});
    engine.stopAllTracksIncludeTapPadTriggered(true);
    runFor(*run, 0.3);
    tap(*run, switchOf(receive, row, ui::MidiInOutControl::kNotesTag));
    ASSERT_FALSE(hubPort(*run, "Keys")->processNotes);
    play(*run, keys, {0x90, 63, 100});
    EXPECT_EQ(listen(*run), 0);
    EXPECT_FALSE(engine.isPlaying(engine.currentSoundbankFilePathsByIdx().at(3)));
}

TEST_F(PortsPanelTest, WhileRecOnlyTouchesAreRecordedAKeyboardsNotesPlayButAreNot) {
    auto run = start();
    ui::StrombelViewController& screen = run->screen();
    sequencer::Sequencer& sequencer = *run->program().sequencer();
    const platform::MidiEndpointRef keys = run->midi().addSource("Keys");
    loop_.runPending();
    ui::MidiInOutControl* ports = openPorts(*run);
    ASSERT_NE(ports, nullptr);
    tap(*run, switchOf(ports->sourcesTableView(), rowNamed(ports->sourcesTableView(), "KEYS"),
                       ui::MidiInOutControl::kNotesTag));
    tap(*run, screen.sequencerBtn());
    const double bar = 4 * 60.0 / sequencer.bpm();
    // A take of one hit on pad 3, played first from the keyboard, then by a touch.
    for (bool touch : {false, true}) {
        SCOPED_TRACE(touch ? "touch" : "keyboard");
        tap(*run, screen.recBtn());
        runFor(*run, bar + 0.1);  // the count-in
        if (touch) {
            touchDown(*run, screen.tapButton(2));
        } else {
            play(*run, keys, {0x90, 62, 100});
        }
        EXPECT_GT(listen(*run), 0) << "the pad sounds";
        if (touch) {
            touchUp(*run, screen.tapButton(2));
        } else {
            play(*run, keys, {0x80, 62, 0});
        }
        runFor(*run, 0.3);
        tap(*run, screen.playBtn());
        loop_.runPending();
        EXPECT_EQ(sequencer.patternHasEvents(0), touch);
    }
}

TEST_F(PortsPanelTest, AnOpenPanelTakesThePortsRoleBackWhenItsScreenComesBack) {
    auto run = start();
    ui::StrombelViewController& screen = run->screen();
    midi::MidiController& hub = *run->program().midiHub();
    ui::MidiInOutControl* ports = openPorts(*run);
    ASSERT_NE(ports, nullptr);
    // The information screen comes; meanwhile another panel (as a second pad
    // screen has) takes the role and goes, and a keyboard is plugged in.
    ASSERT_NO_FATAL_FAILURE(visitInformationScreen(*run, [&] {
        {
            ui::MidiInOutControl other(ui::GuiType::tablet, *run->program().padScreenServices().midi);
            EXPECT_NE(hub.midiPortsDelegate(), nullptr);
        }
        EXPECT_EQ(hub.midiPortsDelegate(), nullptr);
        run->midi().addSource("Keys");
        loop_.runPending();
        EXPECT_EQ(rowNamed(ports->sourcesTableView(), "KEYS"), -1) << "nobody told the panel";
    }));

    ASSERT_EQ(screen.midiInOutControl(), ports) << "the same panel stays open";
    EXPECT_EQ(run->program().padScreenServices().midi->midiPortsDelegate(), ports) << "it holds the role again";
    EXPECT_GE(rowNamed(ports->sourcesTableView(), "KEYS"), 0) << "the list is shown as it is now";
    run->midi().addSource("Drums");
    loop_.runPending();
    EXPECT_GE(rowNamed(ports->sourcesTableView(), "DRUMS"), 0) << "and follows the hub again";
}

TEST_F(PortsPanelTest, ASwitchOfAPortThatWentNeverActsOnThePortNowInItsRow) {
    auto run = start();
    midi::MidiController& hub = *run->program().midiHub();
    const platform::MidiEndpointRef keys = run->midi().addSource("Keys");
    run->midi().addSource("Pads");
    loop_.runPending();
    ui::MidiInOutControl* ports = openPorts(*run);
    ASSERT_NE(ports, nullptr);
    ui::kit::TableView* receive = ports->sourcesTableView();
    const int row = rowNamed(receive, "KEYS");
    ASSERT_GE(row, 0);
    ASSERT_EQ(nameOf(receive, row + 1), "PADS");
    ui::kit::Button* stale = switchOf(receive, row, ui::MidiInOutControl::kNotesTag);

    // The keyboard goes while the panel does not hold the role: "PADS" moves up
    // into the row still showing "KEYS".
    midi::MidiPortsDelegate* role = hub.midiPortsDelegate();
    hub.setMidiPortsDelegate(nullptr);
    run->midi().removeEndpoint(keys);
    loop_.runPending();
    hub.setMidiPortsDelegate(role);
    ASSERT_EQ(nameOf(receive, row), "KEYS");

    tap(*run, stale);
    ASSERT_TRUE(hubPort(*run, "Pads").has_value());
    EXPECT_FALSE(hubPort(*run, "Pads")->processNotes) << "the press on KEYS switched on PADS";
    EXPECT_EQ(nameOf(receive, row), "PADS") << "the list was reloaded instead";
    EXPECT_FALSE(switchOf(receive, row, ui::MidiInOutControl::kNotesTag)->isSelected());
}

}  // namespace
}  // namespace strombel::app::scenario
