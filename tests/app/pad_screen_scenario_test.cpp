// The pad screen as a user plays it: the real engine, library, sequencer and MIDI
// hub behind the screen, touches on its pads and buttons.

#include <QImage>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <functional>

#include "platform/audio_file.h"
#include "program_test_support.h"
#include "ui/audio_output_meter.h"
#include "ui/editor/exchange_screens.h"
#include "ui/pad/strombel_iphone_view_controller.h"

#include <thread>

namespace strombel::app::scenario {
namespace {

class PadScreenTest : public ProgramTest {
protected:
    std::string pathOfPad(ProgramRun& run, int pad) {
        auto paths = run.program().engine()->currentSoundbankFilePathsByIdx();
        auto found = paths.find(pad);
        return found == paths.end() ? std::string() : found->second;
    }
    std::vector<QString> labels(ProgramRun& run) {
        std::vector<QString> texts;
        for (int pad = 0; pad < 12; ++pad) texts.push_back(run.screen().tapButtonLabel(pad)->text());
        return texts;
    }
    /// Opens a panel as the user does, by touching its button.
    void open(ProgramRun& run, ui::SmallButtonControl* button) {
        if (!button->isPressedDown()) tap(run, button);
        ASSERT_TRUE(button->isPressedDown());
    }
    /// Records one hit on `pad` into pattern 1 as the user does: SEQ, REC, the
    /// count-in bar, the hit, then stop.
    void recordOneHit(ProgramRun& run, int pad) {
        ui::StrombelViewController& screen = run.screen();
        sequencer::Sequencer& sequencer = *run.program().sequencer();
        open(run, screen.sequencerBtn());
        tap(run, screen.recBtn());
        runFor(run, 4 * 60.0 / sequencer.bpm() + 0.1);
        touchDown(run, screen.tapButton(pad));
        runFor(run, 0.1);
        touchUp(run, screen.tapButton(pad));
        runFor(run, 0.3);
        tap(run, screen.playBtn());
        loop_.runPending();
        ASSERT_TRUE(sequencer.patternHasEvents(0));
    }
};

TEST_F(PadScreenTest, TappingPadThreePlaysItsSampleOnTheNextBufferAndLightsItsLamp) {
    auto run = start();
    ui::StrombelViewController& screen = run->screen();
    const std::string path = pathOfPad(*run, 2);
    ASSERT_FALSE(path.empty()) << "the stock bank has a sample on pad 3";
    EXPECT_EQ(nextBuffer(*run), 0) << "silence before any tap";

    touchDown(*run, screen.tapButton(2));
    EXPECT_GT(nextBuffer(*run), 0) << "the sample sounds in the very next buffer";
    loop_.advance(5 * platform::kNanosPerMillisecond);
    EXPECT_TRUE(screen.tapButtonLight(2)->isTurnedOn());
    EXPECT_FALSE(screen.tapButtonLight(3)->isTurnedOn());

    // A pad plays its sample to the end: the release does not cut it, and the
    // lamp goes out when the sample has finished.
    touchUp(*run, screen.tapButton(2));
    runFor(*run, 0.01);
    EXPECT_TRUE(run->program().engine()->isPlaying(path));
    runFor(*run, 10.0);
    EXPECT_FALSE(run->program().engine()->isPlaying(path));
    EXPECT_EQ(nextBuffer(*run), 0);
    EXPECT_FALSE(screen.tapButtonLight(2)->isTurnedOn());
}

TEST_F(PadScreenTest, WithHoldOnReleasingAPadStopsItsSample) {
    auto run = start();
    ui::StrombelViewController& screen = run->screen();
    open(*run, screen.sampleOptionsBtn());
    tap(*run, screen.holdToggleBtn());
    ASSERT_TRUE(run->defaults().boolForKey("HoldToggle"));
    const std::string path = pathOfPad(*run, 2);

    touchDown(*run, screen.tapButton(2));
    EXPECT_GT(nextBuffer(*run), 0);
    runFor(*run, 0.02);
    EXPECT_TRUE(screen.tapButtonLight(2)->isTurnedOn());
    touchUp(*run, screen.tapButton(2));
    runFor(*run, 0.05);
    EXPECT_FALSE(run->program().engine()->isPlaying(path)) << "released, it stops";
    EXPECT_EQ(nextBuffer(*run), 0);
    EXPECT_FALSE(screen.tapButtonLight(2)->isTurnedOn());
}

TEST_F(PadScreenTest, WithHoldOnAPadReleasedAfterAnotherFingerChangedTheBankStopsWhatItStarted) {
    auto run = start();
    ui::StrombelViewController& screen = run->screen();
    open(*run, screen.sampleOptionsBtn());
    tap(*run, screen.holdToggleBtn());
    const std::string held = pathOfPad(*run, 2);

    touchDown(*run, screen.tapButton(2));
    runFor(*run, 0.02);
    ASSERT_TRUE(run->program().engine()->isPlaying(held));
    // A second finger steps to the next bank while the first holds the pad.
    touchDown(*run, &screen.soundBankControl()->rightButton(), 2);
    touchUp(*run, &screen.soundBankControl()->rightButton(), 2);
    loop_.runPending();
    ASSERT_EQ(run->program().engine()->currentSoundBankIdx(), 1u);
    ASSERT_NE(pathOfPad(*run, 2), held);

    touchUp(*run, screen.tapButton(2));
    runFor(*run, 0.05);
    EXPECT_FALSE(run->program().engine()->isPlaying(held)) << "the sample the touch started stops at its release";
    EXPECT_EQ(nextBuffer(*run), 0);
}

TEST_F(PadScreenTest, ADamagedLibraryIsToldAndTheStockSoundsStillPlay) {
    const auto documents = temp_ / "root" / "Documents";
    std::filesystem::create_directories(documents);
    {
        std::ofstream damaged(documents / ".strombel.xcdatamodeld", std::ios::binary);
        damaged << std::string(4096, '\x5a');
    }
    auto run = start();
    ASSERT_EQ(run->program().launchProblems().size(), 1u);
    EXPECT_NE(run->program().launchProblems()[0].find("damaged"), std::string::npos);
    ASSERT_EQ(run->alerts().shown.size(), 1u) << "the user is told once the window shows";
    EXPECT_EQ(run->alerts().shown[0].buttons, QStringList{"OK"});

    // What can run, runs: a new library with the stock packs, and the pads play.
    touchDown(*run, run->screen().tapButton(0));
    EXPECT_GT(nextBuffer(*run), 0);
    touchUp(*run, run->screen().tapButton(0));
}

TEST_F(PadScreenTest, ALibraryThatCannotBeOpenedIsToldAndTheProgramRunsOn) {
    std::filesystem::create_directories(temp_ / "root");
    { std::ofstream blocker(temp_ / "root" / "Documents"); }  // a file where the folder belongs
    auto run = start();
    ASSERT_FALSE(run->program().launchProblems().empty());
    ASSERT_FALSE(run->alerts().shown.empty());
    EXPECT_NE(run->alerts().shown[0].message.toStdString().find("library"), std::string::npos);
    // The screen is there and answers touches.
    tap(*run, run->screen().tapButton(0));
    open(*run, run->screen().sequencerBtn());
    EXPECT_NE(run->screen().sequencerScreen(), nullptr);
}

// The pad screen compares the indexes the sequencer and the MIDI hub hand it
// with its own "none": with nothing pending, copied or being learned, all agree.
TEST_F(PadScreenTest, NothingPendingCopiedOrLearnedIsTheSameNoneInEveryPart) {
    auto run = start();
    Program& program = run->program();
    const uint64_t none = run->screen().copiedPatternIdx();
    EXPECT_EQ(none, ui::StrombelViewController::kNotFound);
    EXPECT_EQ(program.padScreenServices().sequencer->pendingPatternIdx(), none);
    EXPECT_EQ(program.padScreenServices().midi->midiLearnBtnIdx(), none);
}

TEST_F(PadScreenTest, TheThreeLayoutsWithTheStockLibraryRenderToPictures) {
    const char* names[3] = {"strombel_tablet.png", "strombel_phone.png", "strombel_phone_portrait.png"};
    for (int32_t number = 0; number < 3; ++number) {
        SCOPED_TRACE(number);
        const ui::GuiType guiType = *ui::guiTypeFromNumber(number);
        auto run = start(guiType);
        EXPECT_EQ(run->screen().guiType(), guiType);
        // A launch on a working device and a sound library has nothing to tell.
        EXPECT_EQ(run->program().launchProblems(), std::vector<std::string>{});
        touchDown(*run, run->screen().tapButton(5));
        runFor(*run, 0.1);  // one pad sounds: its lamp and the meter show it
        QImage picture = run->program().window().render(2.0);
        ASSERT_FALSE(picture.isNull());
        const std::filesystem::path file = std::filesystem::path(STROMBEL_TEST_OUTPUT_DIR) / names[number];
        EXPECT_TRUE(picture.save(QString::fromStdString(file.string())));
        touchUp(*run, run->screen().tapButton(5));
    }
}

TEST_F(PadScreenTest, AnEmptyPadPlaysNothing) {
    auto run = start();
    // Take the sample off pad 12 of the current bank.
    auto& library = *run->program().library();
    library.removeSampleFromSoundbank(run->program().engine()->currentSoundBankIdx(), 11);
    loop_.runPending();
    ASSERT_TRUE(pathOfPad(*run, 11).empty());
    EXPECT_EQ(run->screen().tapButtonLabel(11)->text(), "[ 12]");
    tap(*run, run->screen().tapButton(11));
    EXPECT_EQ(nextBuffer(*run), 0);
}

TEST_F(PadScreenTest, SwitchingBankShowsTheNewBanksNames) {
    auto run = start();
    auto& library = *run->program().library();
    ASSERT_GE(library.soundbanks().size(), 2u);
    const auto before = labels(*run);

    run->screen().soundBankControl()->nextSoundbank();
    loop_.runPending();

    EXPECT_EQ(run->program().engine()->currentSoundBankIdx(), 1u);
    EXPECT_EQ(run->defaults().integerForKey("CurrentSoundBank"), 1);
    const auto after = labels(*run);
    EXPECT_NE(before, after);
    for (const auto& assignment : library.soundbankSamplesOfSoundbank(1)) {
        ASSERT_LT(assignment->orderId(), 12u);
        EXPECT_EQ(after[assignment->orderId()], QString::fromStdString(assignment->sample()->name()).toUpper());
    }
}

TEST_F(PadScreenTest, InMuteModeATapMutesInsteadOfPlaying) {
    auto run = start();
    ui::StrombelViewController& screen = run->screen();
    open(*run, screen.sampleOptionsBtn());
    open(*run, screen.sampleMuteBtn());
    ASSERT_EQ(screen.tapPadsState(), ui::TapPadsMute);
    EXPECT_TRUE(screen.tapButtonLight(0)->isTurnedOn()) << "heard samples are lit";

    touchDown(*run, screen.tapButton(0));
    EXPECT_EQ(nextBuffer(*run), 0) << "silent";
    touchUp(*run, screen.tapButton(0));
    EXPECT_TRUE(run->program().engine()->trackIsMuted(pathOfPad(*run, 0)));
    EXPECT_FALSE(screen.tapButtonLight(0)->isTurnedOn());

    tap(*run, screen.tapButton(0));
    EXPECT_FALSE(run->program().engine()->trackIsMuted(pathOfPad(*run, 0)));
    EXPECT_TRUE(screen.tapButtonLight(0)->isTurnedOn());
}

TEST_F(PadScreenTest, TwelveMutedPadsSilenceThePatternAndASoloOnAndOffKeepsThemMuted) {
    auto run = start();
    ui::StrombelViewController& screen = run->screen();
    recordOneHit(*run, 0);
    // Another sample takes pad 1: the pattern still plays the one it recorded,
    // which no pad shows now.
    library::SoundDataManager& library = *run->program().library();
    const auto bank = run->program().engine()->currentSoundbankFilePathsByIdx();
    std::shared_ptr<library::Sample> other;
    for (const auto& sample : library.samples()) {
        const bool onBank = std::any_of(bank.begin(), bank.end(), [&](const auto& pad) {
            return pad.second == sample->filepath();
        });
        if (!onBank) other = sample;
    }
    ASSERT_NE(other, nullptr);
    library.setSample(other, run->program().engine()->currentSoundBankIdx(), 0);
    loop_.runPending();

    open(*run, screen.sampleOptionsBtn());
    open(*run, screen.sampleMuteBtn());
    for (int pad = 0; pad < 12; ++pad) tap(*run, screen.tapButton(pad));
    open(*run, screen.sampleSoloBtn());
    tap(*run, screen.tapButton(3));
    tap(*run, screen.tapButton(3));  // the solo ends: the mutes from before it are back
    for (int pad = 0; pad < 12; ++pad) EXPECT_FALSE(screen.tapButtonLight(pad)->isTurnedOn()) << pad;

    const double bar = 4 * 60.0 / run->program().sequencer()->bpm();
    open(*run, screen.sequencerBtn());
    tap(*run, screen.playBtn());
    ASSERT_TRUE(run->program().sequencer()->isRunning());
    EXPECT_EQ(runFor(*run, 2 * bar), 0) << "every lamp is off, and nothing sounds";
}

TEST_F(PadScreenTest, ASampleWhoseFileCannotBeReadIsToldOnce) {
    auto run = start();
    ui::StrombelViewController& screen = run->screen();
    const std::filesystem::path file = run->sandbox().documents() / "snap.wav";
    auto writeSnap = [&] {
        platform::WaveWriter writer;
        const std::vector<int32_t> frames(4410, 1000 << 9);
        const int32_t* channels[1] = {frames.data()};
        return writer.open(file, 1, 44100, 44100) && writer.write(channels, uint32_t(frames.size())) && writer.close();
    };
    ASSERT_TRUE(writeSnap());
    runFor(*run, 6.0);  // the library's scan finds it
    library::SoundDataManager& library = *run->program().library();
    auto sample = library.sampleWithFilepath("Documents/snap.wav");
    ASSERT_NE(sample, nullptr);
    std::filesystem::resize_file(file, 30);  // damaged on the disk after it was found
    const size_t before = run->alerts().shown.size();
    library.setSample(sample, 0, 0);  // on pad 1: the engine reads it
    run->program().engine()->waitForPreloads();
    loop_.runPending();
    ASSERT_EQ(run->alerts().shown.size(), before + 1);
    EXPECT_EQ(run->alerts().shown.back().title, "Sample");
    EXPECT_EQ(run->alerts().shown.back().message.toStdString().rfind(
                  "The sample 'snap' cannot be played: Documents/snap.wav could not be read (", 0),
              0u);
    for (int touch = 0; touch < 2; ++touch) {
        tap(*run, screen.tapButton(0));
        EXPECT_EQ(runFor(*run, 2.0), 0) << "silence";
    }
    EXPECT_EQ(run->alerts().shown.size(), before + 1) << "told once";
    // The file comes back: the very next touch plays it.
    tap(*run, screen.tapButton(0));
    runFor(*run, 0.1);
    ASSERT_TRUE(writeSnap());
    tap(*run, screen.tapButton(0));
    EXPECT_GT(runFor(*run, 0.1), 0);
}

TEST_F(PadScreenTest, SoloLightsOnlyTheSoloedPadAndPerPadVolumesReachTheLibrary) {
    auto run = start();
    ui::StrombelViewController& screen = run->screen();
    open(*run, screen.sampleOptionsBtn());
    open(*run, screen.sampleSoloBtn());
    tap(*run, screen.tapButton(3));
    for (int pad = 0; pad < 12; ++pad)
        EXPECT_EQ(screen.tapButtonLight(pad)->isTurnedOn(), pad == 3) << pad;
    tap(*run, screen.tapButton(3));  // the same pad again ends the solo
    for (int pad = 0; pad < 12; ++pad) EXPECT_TRUE(screen.tapButtonLight(pad)->isTurnedOn()) << pad;

    // VOL.: a slider on each pad; pad 4's at the top gives its sample 1.5.
    open(*run, screen.sampleVolumeBtn());
    ASSERT_EQ(screen.tapPadsState(), ui::TapPadsSampleVolume);
    EXPECT_FALSE(screen.sampleSoloBtn()->isPressedDown());
    const std::string path = pathOfPad(*run, 3);
    screen.trackVolumeSlider(3)->setCurrentPosition(1.0f);
    screen.trackVolumeChanged(3);
    EXPECT_FLOAT_EQ(run->program().engine()->volumeForTrack(path), 1.5f);
    tap(*run, screen.sampleVolumeBtn());  // leaving the mode stores the volumes
    EXPECT_FLOAT_EQ(run->program().library()->sampleWithFilepath(path)->volume(), 1.5f);
}

TEST_F(PadScreenTest, HitsRecordedWithRecPlayBackAndEraseAndCopyPasteWork) {
    auto run = start();
    ui::StrombelViewController& screen = run->screen();
    sequencer::Sequencer& sequencer = *run->program().sequencer();
    open(*run, screen.sequencerBtn());

    // REC from stop: playback starts with a count-in bar.
    tap(*run, screen.recBtn());
    loop_.runPending();
    EXPECT_TRUE(sequencer.isRunning());
    EXPECT_TRUE(screen.playBtn()->isPressedDown());
    const double bar = 4 * 60.0 / sequencer.bpm();
    runFor(*run, bar + 0.1);  // past the count-in

    // Three hits on pads 1 and 2.
    for (int pad : {0, 1, 0}) {
        touchDown(*run, screen.tapButton(pad));
        runFor(*run, 0.1);
        touchUp(*run, screen.tapButton(pad));
        runFor(*run, 0.3);
    }
    tap(*run, screen.playBtn());  // stop
    loop_.runPending();
    EXPECT_FALSE(sequencer.isRunning());
    EXPECT_FALSE(screen.recBtn()->isPressedDown());
    ASSERT_TRUE(sequencer.patternHasEvents(0)) << "the hits went into pattern 1";

    // Playback alone starts the recorded samples again.
    const std::string first = pathOfPad(*run, 0);
    tap(*run, screen.playBtn());
    bool heard = false;
    for (int i = 0; i < int(bar / 0.01) + 20 && !heard; ++i) {
        runFor(*run, 0.01);
        heard = run->program().engine()->isPlaying(first);
    }
    EXPECT_TRUE(heard) << "the recorded hit plays back";
    tap(*run, screen.playBtn());
    loop_.runPending();

    // Pattern mode: copy pattern 1 onto pattern 2 with the edit menu.
    tap(*run, screen.patternBtn());
    ASSERT_EQ(screen.tapPadsState(), ui::TapPadsPattern);
    EXPECT_EQ(screen.tapButtonLabel(0)->text(), "01");
    auto longPress = [&](int pad) {
        touchDown(*run, screen.tapButton(pad));
        loop_.advance(600 * platform::kNanosPerMillisecond);
        touchUp(*run, screen.tapButton(pad));
        loop_.runPending();
    };
    longPress(0);
    EXPECT_FALSE(run->menu().shown.back().items.contains("Paste")) << "no paste while the clipboard is empty";
    ASSERT_TRUE(run->menu().pick("Copy"));
    longPress(1);
    ASSERT_TRUE(run->menu().pick("Paste"));
    loop_.runPending();
    EXPECT_TRUE(sequencer.patternHasEvents(1));
    EXPECT_TRUE(screen.tapButtonLight(1)->isTurnedOn() || screen.tapButtonLight(1)->keepsFlashing());

    // ERASE, then pattern 1: asked first, erased on "Erase".
    tap(*run, screen.eraseBtn());
    tap(*run, screen.tapButton(0));
    ASSERT_FALSE(run->alerts().shown.empty());
    EXPECT_EQ(run->alerts().shown.back().title, "Erase");
    EXPECT_EQ(run->alerts().shown.back().message, "Are you sure you want to erase Pattern 01?");
    ASSERT_TRUE(run->alerts().press("Erase"));
    loop_.runPending();
    EXPECT_FALSE(sequencer.patternHasEvents(0));
    EXPECT_TRUE(sequencer.patternHasEvents(1)) << "the copy stays";
    EXPECT_EQ(screen.copiedPatternIdx(), ui::StrombelViewController::kNotFound) << "the clipboard held pattern 1";
}

TEST_F(PadScreenTest, ExportModeWritesANamedPatternOnceAndHandsACopyToTheAudioExchange) {
    auto run = start();
    ui::StrombelViewController& screen = run->screen();
    ASSERT_NO_FATAL_FAILURE(recordOneHit(*run, 1));

    open(*run, screen.inOutBtn());
    tap(*run, screen.exportBtn());
    ASSERT_EQ(screen.tapPadsState(), ui::TapPadsExport);
    EXPECT_EQ(screen.tapButtonLabel(6)->text(), "07");

    tap(*run, screen.tapButton(6));  // empty
    ASSERT_FALSE(run->alerts().shown.empty());
    EXPECT_EQ(run->alerts().shown.back().message, "Can't export pattern 07, it is empty");
    ASSERT_TRUE(run->alerts().press("OK"));

    const auto documents = run->sandbox().documents();
    auto shown = [](const std::filesystem::path& path) { return QString::fromStdString(path.string()); };
    for (int attempt = 0; attempt < 2; ++attempt) {
        tap(*run, screen.tapButton(0));
        EXPECT_EQ(run->alerts().shown.back().message, "Export pattern 01 with current BPM, swing and volume to ...");
        // The first choice saves a WAVE into Documents, and says where.
        EXPECT_EQ(run->alerts().shown.back().buttons, (QStringList{"Never mind", "Documents", "AudioExchange"}));
        ASSERT_TRUE(run->alerts().press("Documents"));
        ASSERT_NE(screen.editNameTextfield(), nullptr);
        // The proposal is kept as written; the field shows it in capitals.
        EXPECT_EQ(screen.editNameTextfield()->text(), "Pattern 01");
        screen.editNameTextfield()->setText("My Beat");
        bool accepted = screen.textFieldShouldReturn();
        if (attempt == 0) {
            EXPECT_TRUE(accepted);
            ASSERT_NE(screen.runningExport(), nullptr);
            screen.runningExport()->waitUntilRendered();
            loop_.runPending();
            EXPECT_EQ(run->alerts().shown.back().message,
                      "Pattern 1 has been exported to " + shown(documents / "My Beat.wav"));
            EXPECT_TRUE(std::filesystem::exists(documents / "My Beat.wav"));
            run->alerts().press("OK");
        } else {
            // A taken name: the next free one is offered, never an overwrite.
            EXPECT_FALSE(accepted);
            EXPECT_EQ(run->alerts().shown.back().message, "A file named 'My Beat.wav' is already in " + shown(documents) +
                                                              ".\nExport pattern 1 as 'My Beat 2.wav' instead?");
            EXPECT_NE(screen.editNameTextfield(), nullptr) << "Cancel would leave the field for another name";
            const auto before = std::filesystem::last_write_time(documents / "My Beat.wav");
            ASSERT_TRUE(run->alerts().press("Export"));
            ASSERT_NE(screen.runningExport(), nullptr);
            screen.runningExport()->waitUntilRendered();
            loop_.runPending();
            EXPECT_EQ(run->alerts().shown.back().message,
                      "Pattern 1 has been exported to " + shown(documents / "My Beat 2.wav"));
            EXPECT_EQ(std::filesystem::last_write_time(documents / "My Beat.wav"), before);
        }
        loop_.advance(600 * platform::kNanosPerMillisecond);
    }
    ASSERT_EQ(screen.editNameTextfield(), nullptr);

    // To the audio exchange: the pattern goes to AUDIOEXCHANGE.wav in the export
    // folder, over what was there, and the copy sheet shows until its DONE.
    const auto exchangeFile = run->program().library()->exportTempFolder() / "AUDIOEXCHANGE.wav";
    { std::ofstream stale(exchangeFile); stale << "stale"; }
    const QImage beforeSheet = run->program().window().render(1.0).convertToFormat(QImage::Format_RGB32);
    tap(*run, screen.tapButton(0));
    ASSERT_TRUE(run->alerts().press("AudioExchange"));
    ASSERT_NE(screen.runningExport(), nullptr);
    screen.runningExport()->waitUntilRendered();
    loop_.runPending();
    loop_.advance(1000 * platform::kNanosPerMillisecond);
    ui::kit::ModalPresenter& modals = ui::kit::Context::current().modals();
    auto* sheet = dynamic_cast<editor::AudioExchangeViewController*>(modals.presented(run->program().window()));
    ASSERT_NE(sheet, nullptr);
    // The form sheet covers the whole screen: the pads below it are dimmed,
    // its panel stands in the middle.
    const QRectF screenArea = run->program().window().shownView()->mapRectToScene(run->program().window().shownView()->bounds());
    EXPECT_EQ(sheet->mapRectToScene(sheet->bounds()), screenArea);
    const QImage withSheet = run->program().window().render(1.0).convertToFormat(QImage::Format_RGB32);
    ui::kit::View* lastPad = screen.tapButton(8);
    const QRect padPixels = lastPad->mapRectToScene(lastPad->bounds()).toAlignedRect().intersected(withSheet.rect());
    int dimmed = 0, pixels = 0;
    for (int y = padPixels.top(); y <= padPixels.bottom(); y += 3)
        for (int x = padPixels.left(); x <= padPixels.right(); x += 3, ++pixels)
            dimmed += qGray(withSheet.pixel(x, y)) < qGray(beforeSheet.pixel(x, y)) || qGray(beforeSheet.pixel(x, y)) < 8;
    EXPECT_EQ(dimmed, pixels) << "pad 9 shows beside the sheet as it was";
    EXPECT_EQ(sheet->path(), exchangeFile.string());
    EXPECT_EQ(sheet->modalPresentationStyle(), 2) << "a form sheet";
    std::ifstream wave(exchangeFile, std::ios::binary);
    std::string head(4, '\0');
    wave.read(head.data(), 4);
    EXPECT_EQ(head, "RIFF");
    EXPECT_GT(std::filesystem::file_size(exchangeFile), 44u);

    ui::kit::View* done = nullptr;
    std::function<void(ui::kit::View*)> find = [&](ui::kit::View* view) {
        for (ui::kit::View* child : view->subviews()) {
            if (auto* button = dynamic_cast<ui::kit::Button*>(child); button && button->title() == "DONE") done = child;
            find(child);
        }
    };
    find(sheet);
    ASSERT_NE(done, nullptr);
    tap(*run, done);
    loop_.advance(1000 * platform::kNanosPerMillisecond);
    EXPECT_EQ(modals.presented(run->program().window()), nullptr);
    // The screen is as it was, and its pads answer again.
    EXPECT_EQ(screen.tapPadsState(), ui::TapPadsExport);
    EXPECT_TRUE(screen.exportBtn()->isPressedDown());
    EXPECT_EQ(screen.tapButtonLabel(0)->text(), "01");
    const size_t alerts = run->alerts().shown.size();
    tap(*run, screen.tapButton(0));
    EXPECT_EQ(run->alerts().shown.size(), alerts + 1);
}

TEST_F(PadScreenTest, AnExportNamedAsAnotherSampleIsShownIsOfferedTheNextNameNoSampleShows) {
    // "my beat" beside "My Beat": a file of its own, but two rows of the
    // library both showing MY BEAT.
    auto run = start();
    ui::StrombelViewController& screen = run->screen();
    const auto documents = run->sandbox().documents();
    const std::string stock = run->program().engine()->currentSoundbankFilePathsByIdx().at(0);
    for (const char* name : {"My Beat.wav", "My Beat 2.wav"})
        std::filesystem::copy_file(run->sandbox().bundle() / std::filesystem::path(stock).filename(), documents / name);
    ASSERT_NO_FATAL_FAILURE(recordOneHit(*run, 1));
    runFor(*run, 5.5);  // the documents folder's scan
    ASSERT_EQ(run->program().library()->userSamples().size(), 2u);

    open(*run, screen.inOutBtn());
    tap(*run, screen.exportBtn());
    tap(*run, screen.tapButton(0));
    ASSERT_TRUE(run->alerts().press("Documents"));
    ASSERT_NE(screen.editNameTextfield(), nullptr);
    screen.editNameTextfield()->setText("my beat");
    EXPECT_FALSE(screen.textFieldShouldReturn());
    EXPECT_EQ(run->alerts().shown.back().message,
              "Another sample is shown as 'MY BEAT'.\nExport pattern 1 as 'my beat 3.wav' instead?");
    ASSERT_TRUE(run->alerts().press("Export"));
    ASSERT_NE(screen.runningExport(), nullptr);
    screen.runningExport()->waitUntilRendered();
    loop_.runPending();
    EXPECT_TRUE(std::filesystem::exists(documents / "my beat 3.wav"));
    EXPECT_FALSE(std::filesystem::exists(documents / "my beat.wav"));
    EXPECT_FALSE(std::filesystem::exists(documents / "my beat 2.wav"));
}

TEST_F(PadScreenTest, EraseInPlayModeStopsTheSampleAndRemovesItsEvents) {
    auto run = start();
    ui::StrombelViewController& screen = run->screen();
    sequencer::Sequencer& sequencer = *run->program().sequencer();
    ASSERT_NO_FATAL_FAILURE(recordOneHit(*run, 4));

    const std::string path = pathOfPad(*run, 4);
    while (run->program().engine()->isPlaying(path)) runFor(*run, 0.1);  // the hit rings out

    tap(*run, screen.eraseBtn());
    touchDown(*run, screen.tapButton(4));
    EXPECT_EQ(nextBuffer(*run), 0) << "no sound with ERASE down";
    touchUp(*run, screen.tapButton(4));
    loop_.runPending();
    EXPECT_FALSE(sequencer.patternHasEvents(0));
}

TEST_F(PadScreenTest, SettingsComeBackAfterARestart) {
    {
        auto run = start();
        ui::StrombelViewController& screen = run->screen();
        EXPECT_EQ(run->defaults().integerForKey("BeatsPerMinute"), 125);
        EXPECT_EQ(run->defaults().doubleForKey("PitchAmount"), 0.5);
        EXPECT_FALSE(run->defaults().hasObject("SwingPercentage"));
        tap(*run, screen.orientationBtn());
        screen.soundBankControl()->nextSoundbank();
        open(*run, screen.sequencerBtn());
        screen.sequencerControlPlusPressed();  // 126 BPM
        loop_.runPending();
        run->program().flush();
    }
    auto run = start();
    ui::StrombelViewController& screen = run->screen();
    EXPECT_TRUE(screen.orientationBtn()->isPressedDown());
    EXPECT_EQ(screen.tapButtonsContainer()->x(), screen.gf().controlsRightX()) << "pads on the right";
    EXPECT_EQ(run->program().engine()->currentSoundBankIdx(), 1u);
    EXPECT_EQ(run->program().sequencer()->bpm(), 126);
    EXPECT_TRUE(screen.sequencerBtn()->isPressedDown()) << "the SEQ panel opens again";
    EXPECT_NE(screen.sequencerScreen(), nullptr);
}

TEST_F(PadScreenTest, AScreenThatGoesLeavesItsObserverListsAndStopsItsTimers) {
    auto run = start();
    Program& program = run->program();
    const size_t engineObservers = program.padEngineAdapter()->observerCount();
    const size_t libraryObservers = program.padLibraryAdapter()->observerCount();
    {
        // A second screen on the same engine, shown and then gone (as a phone's
        // portrait screen comes and goes).
        ui::StrombelIphonePortraitViewController portrait(program.padScreenServices(), run->defaults());
        auto view = portrait.takeView();
        portrait.viewWillAppear();
        EXPECT_EQ(program.padEngineAdapter()->observerCount(), engineObservers + 1);
        EXPECT_EQ(program.padLibraryAdapter()->observerCount(), libraryObservers + 1);
        EXPECT_TRUE(portrait.hasEngineTimer());
    }
    EXPECT_EQ(program.padEngineAdapter()->observerCount(), engineObservers);
    EXPECT_EQ(program.padLibraryAdapter()->observerCount(), libraryObservers);
    EXPECT_FALSE(program.padSequencerAdapter()->hasDelegate()) << "it was the sequencer's delegate last";

    // The engine's messages and the timers' beats still run without it.
    touchDown(*run, run->screen().tapButton(0));
    runFor(*run, 0.2);
    touchUp(*run, run->screen().tapButton(0));
    runFor(*run, 0.2);

    // And when the whole program goes, nothing of it stays due on the loop.
    run.reset();
    EXPECT_FALSE(loop_.nextTimerDue().has_value());
}

TEST_F(PadScreenTest, AnOutsideClockStartsAndStopsPlaybackOnTheMainLoopAndTheHubButtonFollows) {
    auto run = start();
    ui::StrombelViewController& screen = run->screen();
    open(*run, screen.sequencerBtn());
    run->program().midiHub()->receiveClockFrom("Drum Machine", true);
    auto clock = std::make_shared<const std::string>("Drum Machine");

    // Clock start arrives on the MIDI action thread.
    std::thread start([&] {
        platform::ThreadRoleScope role(platform::ThreadRole::midiAction);
        run->program().midiHub()->handleMidiMessage(midi::MidiMessage(clock, 0xFA, 0, 0));
    });
    start.join();
    EXPECT_FALSE(screen.playbackIsRunning()) << "nothing of the screen changes off the main loop";
    loop_.runPending();
    EXPECT_TRUE(run->program().sequencer()->isRunning());
    EXPECT_TRUE(screen.playbackIsRunning());
    EXPECT_TRUE(screen.playBtn()->isPressedDown());
    EXPECT_EQ(run->program().delegate().playTrigger()->state(), 1) << "the hub's play button shows playing";

    std::thread stop([&] {
        platform::ThreadRoleScope role(platform::ThreadRole::midiAction);
        run->program().midiHub()->handleMidiMessage(midi::MidiMessage(clock, 0xFC, 0, 0));
    });
    stop.join();
    loop_.runPending();
    EXPECT_FALSE(screen.playbackIsRunning());
    EXPECT_FALSE(screen.playBtn()->isPressedDown());
    EXPECT_EQ(run->program().delegate().playTrigger()->state(), 0);

    // The hub's play button starts and stops the screen's playback.
    run->program().delegate().playTrigger()->fire();
    loop_.runPending();
    EXPECT_TRUE(screen.playbackIsRunning());
    run->program().delegate().playTrigger()->fire();
    loop_.runPending();
    EXPECT_FALSE(screen.playbackIsRunning());
}

TEST_F(PadScreenTest, MidiLearnMessagesFromTheMidiThreadReachTheScreenOnTheMainLoop) {
    auto run = start();
    ui::StrombelViewController& screen = run->screen();
    open(*run, screen.inOutBtn());
    tap(*run, screen.midiLearnBtn());
    ASSERT_EQ(screen.tapPadsState(), ui::TapPadsMidiLearn);
    tap(*run, screen.tapButton(4));
    EXPECT_TRUE(screen.tapButtonLight(4)->isTurnedOn());
    EXPECT_EQ(run->program().midiHub()->midiLearnBtnIdx(), 4u);

    // A note arrives on the MIDI action thread from a keyboard the user plays notes from.
    run->program().midiHub()->receiveNotesFrom("Keys", true);
    midi::MidiMessage note(std::make_shared<const std::string>("Keys"), 0x90, 42, 100);
    const QString before = screen.tapButtonLabel(4)->text();
    std::thread midiThread([&] {
        platform::ThreadRoleScope role(platform::ThreadRole::midiAction);
        run->program().midiHub()->handleMidiMessage(note);
    });
    midiThread.join();
    EXPECT_EQ(screen.tapButtonLabel(4)->text(), before) << "labels change only on the main loop";
    loop_.runPending();
    EXPECT_EQ(screen.tapButtonLabel(4)->text(), "42");
}

TEST_F(PadScreenTest, TheMeterRestsWhileNothingSoundsAndWakesWhenAPadPlays) {
    auto run = start();
    ui::StrombelViewController& screen = run->screen();
    ui::AudioOutputMeter& meter = *screen.audioOutputMeter();
    runFor(*run, 0.5);
    EXPECT_FALSE(screen.hasEngineTimer()) << "the meter polls a silent engine";

    touchDown(*run, screen.tapButton(2));
    runFor(*run, 0.1);
    EXPECT_TRUE(screen.hasEngineTimer());
    EXPECT_GT(meter.litCount(true), 0) << "the meter shows the pad";
    touchUp(*run, screen.tapButton(2));
    // The sample, then any echo, dies away; the lamps go out and the meter rests.
    for (int second = 0; second < 60 && screen.hasEngineTimer(); ++second) runFor(*run, 1.0);
    EXPECT_FALSE(screen.hasEngineTimer());
    EXPECT_EQ(meter.litCount(true) + meter.litCount(false), 0);
    EXPECT_EQ(nextBuffer(*run), 0);
}

}  // namespace
}  // namespace strombel::app::scenario
