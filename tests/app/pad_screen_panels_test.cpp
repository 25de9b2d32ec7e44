// The pad screen's panels as a user works them, on the whole program: the MIDI
// ports, the name field (banks, exports, pasted audio), the library browser's
// requests, tap tempo and the per-pad volumes.

#include <QApplication>
#include <QClipboard>
#include <QTest>

#include <sndfile.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <thread>

#include "program_test_support.h"
#include "ui/editor/exchange_screens.h"
#include "ui/midi_in_out_control.h"

namespace strombel::app::scenario {
namespace {

class PadPanelsTest : public ProgramTest {
protected:
    void open(ProgramRun& run, ui::SmallButtonControl* button) {
        if (!button->isPressedDown()) tap(run, button);
        ASSERT_TRUE(button->isPressedDown());
    }
    /// Lets the name field's fade finish.
    void settle() { loop_.advance(600 * platform::kNanosPerMillisecond); }
    /// Lets the export under way finish and its end reach the screen.
    void finishExport(ProgramRun& run) {
        ASSERT_NE(run.screen().runningExport(), nullptr);
        run.screen().runningExport()->waitUntilRendered();
        loop_.runPending();
        ASSERT_EQ(run.screen().runningExport(), nullptr);
    }
    /// A pattern 1 of `bars` bars at 10 BPM (a bar lasts 24 s), with one hit,
    /// named for export as `name`; the export is under way when it returns.
    void startLongExport(ProgramRun& run, int bars, const QString& name) {
        sequencer::Sequencer& sequencer = *run.program().sequencer();
        sequencer.recordSequencerEventForSample(run.program().engine()->currentSoundbankFilePathsByIdx().at(0),
                                                sequencer::PatternEventType::start);
        sequencer.setBpm(10);
        sequencer.changeNumBarsTo(uint64_t(bars));
        run.screen().exportPatternToItunes(0);
        ASSERT_NE(run.screen().editNameTextfield(), nullptr);
        run.screen().editNameTextfield()->setText(name);
        ASSERT_TRUE(run.screen().textFieldShouldReturn());
        ASSERT_NE(run.screen().runningExport(), nullptr) << "the export runs on while the screen answers";
    }
    /// The files of a folder, hidden ones included.
    static std::vector<std::string> filesIn(const std::filesystem::path& folder) {
        std::vector<std::string> names;
        for (const auto& entry : std::filesystem::directory_iterator(folder)) names.push_back(entry.path().filename());
        std::sort(names.begin(), names.end());
        return names;
    }

    static ui::kit::TableViewCell* row(ui::kit::TableView* table, int index) { return table->cellForRow({0, index}); }
    static QString nameOf(ui::kit::TableViewCell* cell) {
        return static_cast<ui::kit::Label*>(cell->viewWithTag(ui::MidiInOutControl::kNameTag))->text();
    }
    static ui::kit::Button* switchOf(ui::kit::TableViewCell* cell, int tag) {
        return static_cast<ui::kit::Button*>(cell->viewWithTag(tag));
    }
};

// ---- The MIDI ports panel ---------------------------------------------------------------

TEST_F(PadPanelsTest, PortsPanelSwitchesNotesAndTempoPerPort) {
    auto run = start();
    ui::StrombelViewController& screen = run->screen();
    const size_t builtInSources = run->program().midiHub()->sources().size();
    open(*run, screen.inOutBtn());
    ui::MidiInOutControl* ports = screen.midiInOutControl();
    ASSERT_NE(ports, nullptr);
    EXPECT_EQ(ports->superview(), screen.baseContainer());
    EXPECT_EQ(ports->frame().topLeft(), QPointF(screen.gf().controlsRightX(), screen.gf().bottomControlY()));
    ui::kit::TableView* receive = ports->sourcesTableView();
    ui::kit::TableView* send = ports->destinationsTableView();
    if (builtInSources == 0) {
        EXPECT_EQ(nameOf(row(receive, 0)), "NO PORTS");
        EXPECT_TRUE(switchOf(row(receive, 0), ui::MidiInOutControl::kNotesTag)->isHidden());
    }

    // A keyboard and a drum machine are plugged in; the hub reports them.
    run->midi().addSource("Keys");
    run->midi().addSource("Drum Machine with a very long port name indeed");
    run->midi().addDestination("Synth A");
    run->midi().addDestination("Synth B");
    loop_.runPending();
    ASSERT_EQ(receive->numberOfRows(0), int(builtInSources) + 2);
    int keys = -1, drums = -1;
    for (int index = 0; index < receive->numberOfRows(0); ++index) {
        if (nameOf(row(receive, index)) == "KEYS") keys = index;
        if (nameOf(row(receive, index)).startsWith("DRUM MACHINE")) drums = index;
    }
    ASSERT_GE(keys, 0);
    ASSERT_GE(drums, 0);
    auto* longName = static_cast<ui::kit::Label*>(row(receive, drums)->viewWithTag(ui::MidiInOutControl::kNameTag));
    EXPECT_LE(longName->rightX(), switchOf(row(receive, drums), ui::MidiInOutControl::kNotesTag)->x())
        << "a long name is clipped before the switches";
    EXPECT_FALSE(switchOf(row(receive, keys), ui::MidiInOutControl::kNotesTag)->isHidden());

    // NOTES on the keyboard: the hub stores it and the keyboard's notes play pads.
    tap(*run, switchOf(row(receive, keys), ui::MidiInOutControl::kNotesTag));
    EXPECT_TRUE(switchOf(row(receive, keys), ui::MidiInOutControl::kNotesTag)->isSelected());
    EXPECT_TRUE(run->program().midiHub()->sources()[size_t(keys)].processNotes);
    EXPECT_TRUE(run->defaults().hasObject(midi::kNotesInWhitelistKey));

    // TEMPO: one clock source at a time.
    tap(*run, switchOf(row(receive, keys), ui::MidiInOutControl::kTempoTag));
    EXPECT_TRUE(switchOf(row(receive, keys), ui::MidiInOutControl::kTempoTag)->isSelected());
    tap(*run, switchOf(row(receive, drums), ui::MidiInOutControl::kTempoTag));
    EXPECT_TRUE(switchOf(row(receive, drums), ui::MidiInOutControl::kTempoTag)->isSelected());
    EXPECT_FALSE(switchOf(row(receive, keys), ui::MidiInOutControl::kTempoTag)->isSelected())
        << "the list is reloaded after the hub let go of the first clock source";

    // Clock to both synths: both stay on.
    ASSERT_EQ(send->numberOfRows(0), 2);
    tap(*run, switchOf(row(send, 0), ui::MidiInOutControl::kTempoTag));
    tap(*run, switchOf(row(send, 1), ui::MidiInOutControl::kTempoTag));
    for (const midi::MidiPort& port : run->program().midiHub()->destinations()) EXPECT_TRUE(port.processTempo);
    EXPECT_TRUE(switchOf(row(send, 0), ui::MidiInOutControl::kTempoTag)->isSelected());

    // A switch of a port that went before the list heard of it does nothing.
    ui::kit::Button* stale = switchOf(row(send, 1), ui::MidiInOutControl::kNotesTag);
    midi::MidiPortsDelegate* panelsRole = run->program().midiHub()->midiPortsDelegate();
    run->program().midiHub()->setMidiPortsDelegate(nullptr);
    run->midi().removeEndpoint(run->midi().destinations().back());
    loop_.runPending();
    run->program().midiHub()->setMidiPortsDelegate(panelsRole);
    ASSERT_EQ(send->numberOfRows(0), 2) << "the panel has not heard yet";
    tap(*run, stale);
    EXPECT_EQ(send->numberOfRows(0), 1) << "the list was reloaded instead";

    // Closing I/O takes the panel away and leaves the hub's ports role free.
    tap(*run, screen.inOutBtn());
    EXPECT_EQ(screen.midiInOutControl(), nullptr);
    EXPECT_EQ(run->program().midiHub()->midiPortsDelegate(), nullptr);
}

// ---- The name field --------------------------------------------------------------------

TEST_F(PadPanelsTest, TheNameFieldTypingRule) {
    auto run = start();
    ui::StrombelViewController& screen = run->screen();
    screen.renameSoundbank(0);
    ui::kit::TextField* field = screen.editNameTextfield();
    ASSERT_NE(field, nullptr);
    QLineEdit& edit = field->lineEdit();
    struct Case {
        QString before;
        const char* action;  // "type", "paste", "replace all", "erase"
        QString input;
        QString after;
        bool refused;  // the prompt then says why
    };
    const QString twenty(20, 'A');
    const Case cases[] = {
        {twenty, "type", "BC", twenty + "BC", false},           // 22 characters
        {twenty + "BC", "type", "D", twenty + "BC", true},     // a 23rd cannot be typed
        {twenty, "paste", "XYZ", twenty, true},                // a paste past 22 is refused whole
        {twenty + "BC", "replace all", "SHORT", "SHORT", false},  // replacing by less is allowed
        {QString(30, 'L'), "erase", "", QString(29, 'L'), false},  // a longer name can still be shortened
        {QString(30, 'L'), "replace all", QString(31, 'M'), QString(30, 'L'), true},
        // Kept as typed, counted as typed: the field only shows capitals
        // ("ß" would be "SS" in capitals, 24 letters here).
        {"", "paste", "Straßenmusik Großstadt", "Straßenmusik Großstadt", false},
        {"", "type", "Straßenmusik Großstadt!", "Straßenmusik Großstadt", true},
        {QString(21, 'a'), "type", QString(QChar(0xDF)), QString(21, 'a') + QChar(0xDF), false},
    };
    for (const Case& c : cases) {
        field->setText(c.before);
        edit.setFocus();
        edit.end(false);
        const QString action = c.action;
        if (action == "type") {
            QTest::keyClicks(&edit, c.input);
        } else if (action == "paste") {
            QApplication::clipboard()->setText(c.input);
            edit.paste();
        } else if (action == "replace all") {
            edit.selectAll();
            QApplication::clipboard()->setText(c.input);
            edit.paste();
        } else {
            QTest::keyClick(&edit, Qt::Key_Backspace);
        }
        EXPECT_EQ(field->text(), c.after) << c.action << " " << c.input.toStdString();
        // A refused edit says why where the question stands.
        EXPECT_EQ(screen.editNamePrompt()->text() == "A NAME HAS AT MOST 22 CHARACTERS", c.refused)
            << c.action << " " << c.input.toStdString();
    }
    EXPECT_EQ(field->lineEdit().font().capitalization(), QFont::AllUppercase) << "shown in capitals";
    field->setText(QString(25, 'Q'));
    EXPECT_EQ(field->text(), QString(25, 'Q')) << "a stored name longer than 22 shows whole";
}

TEST_F(PadPanelsTest, APadTouchedWhileTheNameFieldFadesOutPlays) {
    // The field and its shade take half a second to fade: what fades out takes
    // no touch, so a pad hit right after the name is given (or not) sounds.
    for (const bool confirmed : {true, false}) {
        SCOPED_TRACE(confirmed ? "named" : "cancelled by a tap on the shade");
        auto run = std::make_unique<ProgramRun>(temp_ / (confirmed ? "named" : "cancelled"), clock_, loop_);
        ui::StrombelViewController& screen = run->screen();
        screen.renameSoundbank(0);
        ASSERT_NE(screen.editNameTextfield(), nullptr);
        settle();
        if (confirmed) {
            screen.editNameTextfield()->setText("Breaks");
            ASSERT_TRUE(screen.textFieldShouldReturn());
        } else {
            tap(*run, screen.tapButton(11));
        }
        ASSERT_EQ(screen.editNameTextfield(), nullptr);
        loop_.advance(100 * platform::kNanosPerMillisecond);
        touchDown(*run, screen.tapButton(2));
        EXPECT_GT(nextBuffer(*run), 0) << "the pad sounds";
        touchUp(*run, screen.tapButton(2));
        loop_.advance(5 * platform::kNanosPerMillisecond);
        EXPECT_TRUE(screen.tapButtonLight(2)->isTurnedOn());
    }
}

TEST_F(PadPanelsTest, RenamingABankAndWhatLeavesTheNameUnchanged) {
    auto run = start();
    ui::StrombelViewController& screen = run->screen();
    const std::string before = run->program().library()->soundbanks()[0]->name();

    // Empty: told, the field stays.
    screen.renameSoundbank(0);
    ASSERT_NE(screen.editNameTextfield(), nullptr);
    EXPECT_EQ(screen.editNameTextfield()->text(), QString::fromStdString(before));
    screen.editNameTextfield()->setText("");
    EXPECT_FALSE(screen.textFieldShouldReturn());
    EXPECT_EQ(run->alerts().shown.back().title, "Empty name");
    run->alerts().press("OK");
    EXPECT_NE(screen.editNameTextfield(), nullptr);

    // A tap on the shade: nothing changes, and no purpose is left behind.
    screen.editNameTextfield()->setText("NOT THIS");
    settle();  // the shade has faded in
    tap(*run, screen.tapButton(11));
    settle();
    EXPECT_EQ(screen.editNameTextfield(), nullptr);
    EXPECT_EQ(screen.editSoundboxIdx(), ui::StrombelViewController::kNotFound);
    EXPECT_EQ(run->program().library()->soundbanks()[0]->name(), before);

    // A request while the field is shown is ignored and sets no purpose.
    screen.renameSoundbank(1);
    screen.exportPatternToItunes(3);
    EXPECT_EQ(screen.editSoundboxIdx(), 1u);
    EXPECT_EQ(screen.editPatternNameIdx(), ui::StrombelViewController::kNotFound);
    screen.editNameTextfield()->setText("Breaks");
    EXPECT_TRUE(screen.textFieldShouldReturn());
    settle();
    EXPECT_EQ(run->program().library()->soundbanks()[1]->name(), "Breaks");

    run.reset();
    run = start();
    EXPECT_EQ(run->program().library()->soundbanks()[1]->name(), "Breaks");
    EXPECT_EQ(run->screen().soundBankControl()->soundbankNames().at(1), "Breaks") << "the selector shows the new name";
}

TEST_F(PadPanelsTest, ExportNamesBecomeFilesOfTheDocumentsFolderOnly) {
    auto run = start();
    ui::StrombelViewController& screen = run->screen();
    const auto documents = run->sandbox().documents();
    // A pattern with one event, recorded as the sequencer stores it.
    run->program().sequencer()->recordSequencerEventForSample(
        run->program().engine()->currentSoundbankFilePathsByIdx().at(0), sequencer::PatternEventType::start);

    auto exportAs = [&](const QString& name) {
        screen.exportPatternToItunes(0);
        EXPECT_NE(screen.editNameTextfield(), nullptr);
        screen.editNameTextfield()->setText(name);
        const bool accepted = screen.textFieldShouldReturn();
        if (accepted) finishExport(*run);
        return accepted;
    };
    // The name as typed, and the folder it went to.
    EXPECT_TRUE(exportAs("My Beat"));
    EXPECT_EQ(run->alerts().shown.back().message,
              QString("Pattern 1 has been exported to %1").arg(QString::fromStdString((documents / "My Beat.wav").string())));
    settle();
    SF_INFO info{};
    SNDFILE* wave = sf_open((documents / "My Beat.wav").c_str(), SFM_READ, &info);
    ASSERT_NE(wave, nullptr);
    sf_close(wave);
    EXPECT_EQ(info.format & SF_FORMAT_TYPEMASK, SF_FORMAT_WAV);
    EXPECT_EQ(info.format & SF_FORMAT_SUBMASK, SF_FORMAT_PCM_16);
    EXPECT_EQ(info.channels, 2);
    EXPECT_EQ(info.samplerate, 44100);

    const auto filesBefore = std::distance(std::filesystem::directory_iterator(documents), {});
    // A hidden file (".loop.wav") would never become a sample: one rule for
    // every name the user gives a file, the sample editor's rename's too.
    for (const QString& refused : {QString("My Beat"), QString("../x"), QString("/x"), QString(".."),
                                   QString("a") + QChar(0) + "b", QString(".loop"), QString("--")}) {
        EXPECT_FALSE(exportAs(refused)) << refused.toStdString();
        EXPECT_EQ(run->alerts().shown.back().title, "Export");
        EXPECT_NE(screen.editNameTextfield(), nullptr) << "the field stays for another name";
        EXPECT_EQ(screen.editPatternNameIdx(), 0u);
        settle();
        tap(*run, screen.tapButton(11));
        settle();
    }
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(documents), {}), filesBefore);
    EXPECT_EQ(run->alerts().shown[run->alerts().shown.size() - 2].message,
              "'.loop' cannot be used as a name: a file name beginning with '.' is hidden");
    EXPECT_FALSE(std::filesystem::exists(documents.parent_path() / "x.wav"));
    EXPECT_FALSE(std::filesystem::exists("/x.wav"));

    // The export folder cannot be written: nothing reaches the documents, and the
    // user is told it failed.
    const auto exportFolder = run->program().library()->exportTempFolder();
    std::filesystem::remove_all(exportFolder);
    { std::ofstream blocker(exportFolder); blocker << "not a folder"; }
    EXPECT_TRUE(exportAs("Failing"));
    EXPECT_EQ(run->alerts().shown.back().message.left(35), "Pattern 1 could not be exported to ");
    EXPECT_FALSE(std::filesystem::exists(documents / "Failing.wav"));
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(documents), {}), filesBefore);
    settle();
    std::filesystem::remove(exportFolder);
}

TEST_F(PadPanelsTest, ALongExportShowsItsProgressAndItsCancelLeavesNoFile) {
    auto run = start();
    ui::StrombelViewController& screen = run->screen();
    const auto exportFolder = run->program().library()->exportTempFolder();
    const size_t alerts = run->alerts().shown.size();
    ASSERT_NO_FATAL_FAILURE(startLongExport(*run, 99, "Long"));  // 39:36
    ASSERT_NE(screen.exportProgressLabel(), nullptr);
    ASSERT_NE(screen.exportCancelButton(), nullptr);
    // The main loop goes on: the progress reaches the screen as it is made.
    for (const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(60);
         screen.runningExport() && screen.exportProgressLabel()->text() == "0 %" &&
         std::chrono::steady_clock::now() < until;) {
        loop_.runPending();
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    ASSERT_NE(screen.runningExport(), nullptr) << "the export ended before it could be cancelled";
    EXPECT_TRUE(screen.exportProgressLabel()->text().endsWith(" %"));
    EXPECT_NE(screen.exportProgressLabel()->text(), "0 %");

    tap(*run, screen.exportCancelButton());
    ASSERT_NE(screen.runningExport(), nullptr) << "it ends at its next chunk";
    finishExport(*run);
    EXPECT_EQ(screen.exportProgressLabel(), nullptr) << "the progress went";
    EXPECT_EQ(run->alerts().shown.size(), alerts) << "a cancel needs no answer";
    EXPECT_FALSE(std::filesystem::exists(run->sandbox().documents() / "Long.wav"));
    EXPECT_EQ(filesIn(exportFolder), std::vector<std::string>{}) << "no half-written file is left";
}

TEST_F(PadPanelsTest, QuittingDuringAnExportEndsItAndLeavesNoFile) {
    auto run = start();
    const auto documents = run->sandbox().documents();
    const auto exportFolder = run->program().library()->exportTempFolder();
    ASSERT_NO_FATAL_FAILURE(startLongExport(*run, 99, "Long"));
    run.reset();  // the program ends as a quit ends it
    EXPECT_FALSE(std::filesystem::exists(documents / "Long.wav"));
    EXPECT_EQ(filesIn(exportFolder), std::vector<std::string>{});
}

TEST_F(PadPanelsTest, AnExportLongerThanASampleMayLastIsWrittenAndSaysSo) {
    auto run = start();
    ASSERT_NO_FATAL_FAILURE(startLongExport(*run, 26, "Set"));  // 10:24
    finishExport(*run);
    const auto file = run->sandbox().documents() / "Set.wav";
    EXPECT_TRUE(std::filesystem::exists(file));
    EXPECT_EQ(run->alerts().shown.back().message,
              QString("Pattern 1 has been exported to %1\nIt lasts 10:24, longer than the 10 minutes a sample may last: "
                      "it is too long to be played as a sample.")
                  .arg(QString::fromStdString(file.string())));
    // The next scan of the documents folder leaves it out.
    runFor(*run, 5.5);
    for (const auto& sample : run->program().library()->userSamples()) EXPECT_NE(sample->filepath(), "Documents/Set.wav");
}

TEST_F(PadPanelsTest, EveryNameFieldSaysWhatItAsksAndOffersOkAndCancel) {
    for (const ui::GuiType layout : {ui::GuiType::tablet, ui::GuiType::phoneLandscape, ui::GuiType::phonePortrait}) {
        auto run = start(layout);
        ui::StrombelViewController& screen = run->screen();
        const std::string bank = run->program().library()->soundbanks()[1]->name();
        screen.engageExchangePaste();
        loop_.advance(1000 * platform::kNanosPerMillisecond);
        auto* sheet = dynamic_cast<editor::ExchangePasteViewController*>(
            ui::kit::Context::current().modals().presented(run->program().window()));
        ASSERT_NE(sheet, nullptr);
        const std::string pasted = (run->program().library()->exportTempFolder() / "pasted.wav").string();
        struct Case {
            std::function<void()> open;
            QString asks;
        };
        const Case cases[] = {
            {[&] { screen.renameSoundbank(1); }, "NEW NAME FOR THE SOUND BANK '" + QString::fromStdString(bank).toUpper() + "'"},
            {[&] { screen.exportPatternToItunes(2); }, "NAME THE WAVE FILE OF PATTERN 3 (IT GOES TO THE DOCUMENTS FOLDER)"},
            {[&] { sheet->delegate()->didPaste(*sheet, pasted, "Loop", nullptr); },
             "NAME THE PASTED AUDIO: IT BECOMES A USER SAMPLE"},
        };
        const QRectF screenArea = run->program().window().shownView()->bounds();
        for (const Case& c : cases) {
            c.open();
            settle();
            ASSERT_NE(screen.editNameTextfield(), nullptr) << c.asks.toStdString();
            ASSERT_NE(screen.editNamePrompt(), nullptr);
            EXPECT_EQ(screen.editNamePrompt()->text(), c.asks);
            const QRectF field = screen.editNameTextfield()->frame();
            EXPECT_NEAR(field.center().x(), screenArea.center().x(), 1.0) << "the field stands in the middle";
            EXPECT_LE(screen.editNamePrompt()->frame().bottom(), field.top());
            EXPECT_TRUE(screenArea.contains(screen.editNamePrompt()->frame()));
            for (ui::kit::Button* button : {screen.editNameCancelButton(), screen.editNameOkButton()}) {
                ASSERT_NE(button, nullptr);
                EXPECT_GE(button->frame().top(), field.bottom()) << button->title().toStdString();
                EXPECT_TRUE(screenArea.contains(button->frame())) << button->title().toStdString();
                EXPECT_EQ(button->alpha(), 1.0);
            }
            EXPECT_EQ(screen.editNameCancelButton()->title(), "CANCEL");
            EXPECT_EQ(screen.editNameOkButton()->title(), "OK");
            EXPECT_LT(screen.editNameCancelButton()->frame().left(), screen.editNameOkButton()->frame().left());
            // CANCEL closes it and applies nothing.
            screen.editNameTextfield()->setText("Not This");
            tap(*run, screen.editNameCancelButton());
            settle();
            EXPECT_EQ(screen.editNameTextfield(), nullptr);
            EXPECT_EQ(screen.editNamePrompt(), nullptr);
            EXPECT_EQ(screen.runningExport(), nullptr);
        }
        EXPECT_EQ(run->program().library()->soundbanks()[1]->name(), bank);
        EXPECT_FALSE(std::filesystem::exists(run->sandbox().documents() / "Not This.wav"));
        // OK applies it, as Return does.
        screen.renameSoundbank(1);
        settle();
        screen.editNameTextfield()->setText("Breaks");
        tap(*run, screen.editNameOkButton());
        settle();
        EXPECT_EQ(screen.editNameTextfield(), nullptr);
        EXPECT_EQ(run->program().library()->soundbanks()[1]->name(), "Breaks");
    }
}

TEST_F(PadPanelsTest, PastedAudioIsNamedIntoAUserSample) {
    auto run = start();
    ui::StrombelViewController& screen = run->screen();
    const auto exportFolder = run->program().library()->exportTempFolder();
    const auto documents = run->sandbox().documents();
    const std::string stock = run->program().engine()->currentSoundbankFilePathsByIdx().at(0);
    auto pasteFile = [&](const std::string& name) {
        std::filesystem::copy_file(run->sandbox().bundle() / std::filesystem::path(stock).filename(), exportFolder / name,
                                   std::filesystem::copy_options::overwrite_existing);
        return (exportFolder / name).string();
    };

    screen.engageExchangePaste();
    loop_.advance(1000 * platform::kNanosPerMillisecond);
    auto* sheet = dynamic_cast<editor::ExchangePasteViewController*>(
        ui::kit::Context::current().modals().presented(run->program().window()));
    ASSERT_NE(sheet, nullptr);
    EXPECT_EQ(sheet->folder(), exportFolder.string());
    EXPECT_EQ(sheet->delegate(), &screen);
    EXPECT_EQ(sheet->modalPresentationStyle(), 2);

    // Cancelled: the file stays where the paste wrote it.
    const std::string first = pasteFile("paste1.wav");
    sheet->delegate()->didPaste(*sheet, first, "Loop", nullptr);
    ASSERT_NE(screen.editNameTextfield(), nullptr);
    // Kept as proposed, shown in capitals by the field.
    EXPECT_EQ(screen.editNameTextfield()->text(), "pastedaudio");
    settle();
    tap(*run, screen.tapButton(11));
    settle();
    EXPECT_TRUE(std::filesystem::exists(first));
    EXPECT_FALSE(screen.editExchangePasteSampleName());

    // Named: moved into the documents folder, a user sample after the next scan.
    sheet->delegate()->didPaste(*sheet, first, "Loop", nullptr);
    QLineEdit& typed = screen.editNameTextfield()->lineEdit();
    typed.setFocus();
    typed.selectAll();
    QTest::keyClicks(&typed, "My Loop");
    QTest::keyClick(&typed, Qt::Key_Return);
    settle();
    EXPECT_FALSE(std::filesystem::exists(first));
    EXPECT_TRUE(std::filesystem::exists(documents / "My Loop.wav")) << "the name as typed";
    runFor(*run, 5.5);
    bool found = false;
    for (const auto& sample : run->program().library()->userSamples())
        found |= sample->filepath().find("My Loop.wav") != std::string::npos;
    EXPECT_TRUE(found);

    // The same name again: refused, nothing replaced, the paste waits.
    const std::string second = pasteFile("paste2.wav");
    sheet->delegate()->didPaste(*sheet, second, "Loop", nullptr);
    screen.editNameTextfield()->setText("My Loop");
    EXPECT_FALSE(screen.textFieldShouldReturn());
    // The alert's title is its window's title: a plain word, not the paste
    // screen's code name.
    EXPECT_EQ(run->alerts().shown.back().title, "Paste");
    EXPECT_EQ(run->alerts().shown.back().message, "A user sample already exists with name 'My Loop.wav'");
    EXPECT_TRUE(std::filesystem::exists(second));
    // Names the rename refuses too: told why, nothing written, the paste waits.
    auto refused = [&](const std::string& name, const std::string& why) {
        SCOPED_TRACE(name);
        screen.editNameTextfield()->setText(QString::fromStdString(name));
        EXPECT_FALSE(screen.textFieldShouldReturn());
        EXPECT_EQ(run->alerts().shown.back().message,
                  QString::fromStdString("'" + name + "' cannot be used as a name: " + why));
        EXPECT_TRUE(std::filesystem::exists(second));
        EXPECT_FALSE(std::filesystem::exists(documents / (name + ".wav")));
    };
    // A file of its own, but the library would show it as MY LOOP twice.
    refused("my loop", "another sample is shown as 'MY LOOP'");
    refused(".loop", "a file name beginning with '.' is hidden");

    // The file went meanwhile: told, the field stays.
    std::filesystem::remove(second);
    screen.editNameTextfield()->setText("Other Loop");
    EXPECT_FALSE(screen.textFieldShouldReturn());
    EXPECT_EQ(run->alerts().shown.back().title, "Paste");
    EXPECT_NE(screen.editNameTextfield(), nullptr);
    EXPECT_FALSE(std::filesystem::exists(documents / "other loop.wav"));
}

// ---- Banks, the browser's requests -------------------------------------------------------

TEST_F(PadPanelsTest, BankChoiceDropsAndTheEditorPanelFromTheBrowser) {
    auto run = start();
    ui::StrombelViewController& screen = run->screen();
    library::SoundDataManager& library = *run->program().library();
    ASSERT_GE(library.soundbanks().size(), 2u);

    screen.soundbankSelected(0);
    EXPECT_EQ(run->program().engine()->currentSoundBankIdx(), 0u);
    screen.soundbankSelected(1);
    EXPECT_EQ(screen.soundBankControl()->currentBank(), 1u);
    EXPECT_EQ(run->program().engine()->currentSoundBankIdx(), 1u);
    EXPECT_EQ(run->defaults().integerForKey("CurrentSoundBank"), 1);

    // A pack sample dropped over pad 7 (its middle, in the browser view's points).
    const auto& results = library.soundpackSamplesResultsController();
    ASSERT_FALSE(results.sections().empty());
    const auto sample = results.objectAtIndexPath(0, 0);
    ASSERT_NE(sample, nullptr);
    const QPointF browserOrigin(screen.gf().controlsRightX(), screen.gf().topControlsY());
    auto dropPointOf = [&](QPointF inBase) { return inBase - browserOrigin; };
    ui::kit::Button* pad7 = screen.tapButton(6);
    const QPointF middle = pad7->mapToItem(screen.baseContainer(), pad7->bounds().center());
    screen.soundpackSampleWithIndexPath({0, 0}, dropPointOf(middle));
    loop_.runPending();
    EXPECT_EQ(library.samplePathsOfSoundbank(1).at(6), sample->filepath());
    EXPECT_EQ(run->program().engine()->currentSoundbankFilePathsByIdx().at(6), sample->filepath());
    tap(*run, screen.tapButton(6));
    EXPECT_GT(runFor(*run, 0.1), 0) << "the dropped sample plays from its pad";

    // Outside every pad, and over the editor panel: nothing.
    const auto banksBefore = library.samplePathsOfSoundbank(1);
    screen.soundpackSampleWithIndexPath({0, 1}, dropPointOf(QPointF(-500, -500)));
    screen.toggleSampleRecording();
    ASSERT_NE(screen.editSampleViewController(), nullptr);
    EXPECT_EQ(screen.tapButtonsContainer()->superview(), nullptr);
    screen.soundpackSampleWithIndexPath({0, 1}, dropPointOf(middle));
    EXPECT_EQ(library.samplePathsOfSoundbank(1), banksBefore);
    screen.toggleSampleRecording();
    EXPECT_EQ(screen.editSampleViewController(), nullptr);
    EXPECT_NE(screen.tapButtonsContainer()->superview(), nullptr);

    // A user sample opens in the editor.
    std::filesystem::copy_file(run->sandbox().bundle() / std::filesystem::path(sample->filepath()).filename(),
                               run->sandbox().documents() / "mine.wav");
    library.scanUserSamplesChanges();
    loop_.runPending();
    ASSERT_FALSE(library.userSamples().empty());
    screen.editUserSample(0);
    ASSERT_NE(screen.editSampleViewController(), nullptr);
    EXPECT_EQ(screen.editSampleViewController()->openedSample(), library.userSamples()[0]->filepath());
}

TEST_F(PadPanelsTest, WhenTheCurrentBankGoesTheLastBankBecomesCurrent) {
    auto run = start();
    ui::StrombelViewController& screen = run->screen();
    library::SoundDataManager& library = *run->program().library();
    library.createNewSoundbank();
    library.saveSoundbanks();
    loop_.runPending();
    const uint64_t last = library.soundbanks().size() - 1;
    screen.soundbankSelected(last);
    ASSERT_TRUE(library.removeSoundbankAtIndex(last));
    library.saveSoundbanks();
    loop_.runPending();
    EXPECT_EQ(run->program().engine()->currentSoundBankIdx(), last - 1);
    EXPECT_EQ(screen.soundBankControl()->currentBank(), last - 1);
    EXPECT_EQ(run->defaults().integerForKey("CurrentSoundBank"), int64_t(last - 1));
}

// ---- Tap tempo and the per-pad volumes ------------------------------------------------------

TEST_F(PadPanelsTest, TapsAtOneInstantSetNoTempo) {
    auto run = start();
    ui::StrombelViewController& screen = run->screen();
    open(*run, screen.sequencerBtn());
    const int32_t before = run->program().sequencer()->bpm();
    screen.tapTimerBtnPressed();
    screen.tapTimerBtnPressed();
    screen.tapTimerBtnPressed();
    EXPECT_EQ(run->program().sequencer()->bpm(), before);
    loop_.advance(5 * platform::kNanosPerMillisecond);
    screen.tapTimerBtnPressed();
    EXPECT_EQ(run->program().sequencer()->bpm(), 300) << "a run of very fast taps is held to the fastest tempo";
}

TEST_F(PadPanelsTest, VolumesSetOnTwoBanksWhileVolIsOnSurviveARestart) {
    auto run = start();
    ui::StrombelViewController& screen = run->screen();
    open(*run, screen.sampleOptionsBtn());
    tap(*run, screen.sampleVolumeBtn());
    ASSERT_NE(screen.trackVolumeSlider(2), nullptr);
    const std::string firstPath = run->program().engine()->currentSoundbankFilePathsByIdx().at(2);
    screen.trackVolumeSlider(2)->setCurrentPosition(1.0f);
    screen.trackVolumeChanged(2);
    screen.activeSoundbankChanged(1);
    const std::string secondPath = run->program().engine()->currentSoundbankFilePathsByIdx().at(4);
    ASSERT_NE(firstPath, secondPath);
    screen.trackVolumeSlider(4)->setCurrentPosition(0.2f);
    screen.trackVolumeChanged(4);
    tap(*run, screen.sampleVolumeBtn());

    run.reset();
    run = start();
    EXPECT_FLOAT_EQ(run->program().library()->sampleWithFilepath(firstPath)->volume(), 1.5f);
    EXPECT_FLOAT_EQ(run->program().library()->sampleWithFilepath(secondPath)->volume(), 0.3f);
}

TEST_F(PadPanelsTest, VolumesSetWhileVolIsStillOnAtTheEndSurviveARestart) {
    auto run = start();
    ui::StrombelViewController& screen = run->screen();
    open(*run, screen.sampleOptionsBtn());
    tap(*run, screen.sampleVolumeBtn());
    ASSERT_NE(screen.trackVolumeSlider(3), nullptr);
    const std::string path = run->program().engine()->currentSoundbankFilePathsByIdx().at(3);
    screen.trackVolumeSlider(3)->setCurrentPosition(0.4f);
    screen.trackVolumeChanged(3);
    // The program ends as closing the window ends it, with VOL. still on.
    run->program().flush();
    run.reset();

    run = start();
    EXPECT_TRUE(run->screen().sampleVolumeBtn()->isPressedDown()) << "VOL. comes back on";
    EXPECT_FLOAT_EQ(run->program().library()->sampleWithFilepath(path)->volume(), 0.6f);
    EXPECT_FLOAT_EQ(run->program().engine()->volumeForTrack(path), 0.6f);
}

}  // namespace
}  // namespace strombel::app::scenario
