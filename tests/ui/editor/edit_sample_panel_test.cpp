// The sample editor panel on the real engine (a manual device) and a real
// library: waveform, recording, selection preview, trim, rename, and its three
// layouts rendered to PNG.

#include <gtest/gtest.h>

#include <QImage>
#include <QKeyEvent>
#include <QTest>

#include <condition_variable>
#include <fstream>
#include <functional>
#include <mutex>

#include "app/editor_adapters.h"
#include "editor/audio_files.h"
#include "library/adapters/library_adapters.h"
#include "logging/log.h"
#include "logging/log_core.h"
#include "platform/devices/failover_audio_device.h"
#include "platform/devices/manual_audio_device.h"
#include "platform/devices/null_audio_device.h"
#include "platform/sample_format.h"
#include "support/manual_pacer.h"
#include "support/recording_logger.h"
#include "support/temp_dir.h"
#include "support/test_mounts.h"
#include "ui/editor/edit_sample_view_controller.h"
#include "ui/editor/screen_finders.h"
#include "ui/kit/presenters.h"
#include "ui/kit/text_field.h"
#include "ui/kit/window.h"
#include "ui/light_view.h"
#include "ui/ui_test_support.h"
#include "../../editor/wave_files.h"

namespace strombel::editor {
namespace {

using strombel::testing::readWave;
using strombel::testing::writeWave;

struct NotedAlerts final : ui::kit::AlertPresenter {
    void showAlert(const QString& title, const QString& message, const QStringList&, Answer answer) override {
        shown->push_back((title + ": " + message).toStdString());
        answer("OK");
    }
    std::vector<std::string>* shown;
};

class EditSamplePanelTest : public strombel::testing::UiTest {
protected:
    EditSamplePanelTest() {
        loop.bindToCurrentThread();
        std::filesystem::create_directories(sandbox.documents());
        std::filesystem::create_directories(sandbox.caches());
        auto alerts = std::make_unique<NotedAlerts>();
        alerts->shown = &alertsShown;
        context.setAlerts(std::move(alerts));
        auto device = std::make_unique<platform::ManualAudioDevice>();
        device_ = device.get();
        engine = std::make_unique<engine::SoundBox>(std::move(device), sandbox, loop, &engineLibrary);
        engineAdapter = std::make_unique<app::SampleEditorEngineAdapter>(*engine);
        editor = std::make_unique<EditSampleViewController>(ui::GuiType::tablet, defaults, SampleEditorServices{engineAdapter.get(), &library, {}});
        window.setRootView(editor->takeView());
    }
    ~EditSamplePanelTest() override {
        editor.reset();
        engine.reset();
    }

    /// A user sample of the library, written as 16-bit mono.
    std::string addUserSample(const std::string& name, const std::vector<int16_t>& samples) {
        const std::string relative = "Documents/" + name + ".wav";
        EXPECT_TRUE(writeWave(sandbox.root() / relative, samples, 1));
        EXPECT_TRUE(library.notifyOfNewUserSample(relative));
        advance(0.01);
        return relative;
    }
    void open(const std::string& relative) {
        editor->openSample(relative);
        editor->waitForWaveform();
        advance(0.01);
    }
    /// Renders until the engine has been silent for a while; the left channel.
    std::vector<int32_t> renderUntilSilent() {
        std::vector<int32_t> out;
        size_t silentBuffers = 0;
        for (int i = 0; i < 400 && silentBuffers < 4; ++i) {
            engine->waitForPreloads();
            device_->renderBuffer();
            const auto& left = device_->left();
            silentBuffers = std::all_of(left.begin(), left.end(), [](int32_t s) { return s == 0; }) ? silentBuffers + 1 : 0;
            out.insert(out.end(), left.begin(), left.end());
            advance(0.001);
        }
        return out;
    }
    static size_t soundingFrames(const std::vector<int32_t>& out) {
        return size_t(std::count_if(out.begin(), out.end(), [](int32_t s) { return s != 0; }));
    }

    strombel::testing::TempDir temp;
    platform::Sandbox sandbox{temp / "root", temp / "bundle"};
    platform::UserDefaults defaults{temp / "defaults.sqlite"};
    library::SoundDataManager library{sandbox, defaults, loop};
    library::EngineSoundLibrary engineLibrary{library};
    platform::ManualAudioDevice* device_ = nullptr;
    std::unique_ptr<engine::SoundBox> engine;
    std::unique_ptr<app::SampleEditorEngineAdapter> engineAdapter;
    std::vector<std::string> alertsShown;
    ui::kit::Window window;
    std::unique_ptr<EditSampleViewController> editor;
};

std::vector<int16_t> constant(int16_t value, size_t frames) { return std::vector<int16_t>(frames, value); }

TEST_F(EditSamplePanelTest, OpensOnlySamplesTheLibraryKnowsAndShowsTheirPeaks) {
    // Four frames a cycle: 0, +16000, 0, -16000.
    const auto tone = strombel::testing::sineSamples(11025, 44100, 44100);
    const std::string path = addUserSample("tone", tone);
    open(path);
    EXPECT_EQ(editor->nameText(), "TONE");
    EXPECT_EQ(defaults.stringForKey(EditSampleViewController::kOpenedSampleKey), path);
    const WaveformPeaks& peaks = editor->peaks();
    EXPECT_EQ(peaks.frames, 44100u);
    ASSERT_FALSE(peaks.maximum.empty());
    // Every point covers many cycles of the tone: each reaches both peaks.
    for (size_t p = 0; p < peaks.maximum.size(); ++p) {
        ASSERT_NEAR(peaks.maximum[p], 16000.0 / 32768, 0.01) << p;
        ASSERT_NEAR(peaks.minimum[p], -16000.0 / 32768, 0.01) << p;
    }

    // A stale setting, or a path outside the library: nothing opens, the key goes.
    open("Documents/never there.wav");
    EXPECT_EQ(editor->nameText(), "NO SAMPLE");
    EXPECT_FALSE(defaults.hasObject(EditSampleViewController::kOpenedSampleKey));
    EXPECT_TRUE(editor->peaks().maximum.empty());

    // A sample whose file cannot be read shows its name and says so.
    std::filesystem::remove(sandbox.root() / path);
    std::ofstream(sandbox.root() / path) << "no longer audio";
    open(path);
    EXPECT_EQ(editor->nameText(), "TONE");
    EXPECT_EQ(editor->statusText(), "cannot read this sample");

    // Removing the open sample empties the panel.
    ASSERT_TRUE(library.removeSampleWithFilePath(path));
    advance(0.01);
    EXPECT_EQ(editor->nameText(), "NO SAMPLE");
    EXPECT_EQ(editor->openedSample(), "");
    EXPECT_FALSE(defaults.hasObject(EditSampleViewController::kOpenedSampleKey));
}

TEST_F(EditSamplePanelTest, RecordingATakeMakesAUserSampleThatThePanelOpens) {
    editor->recordBtnPressed();
    ASSERT_TRUE(editor->isRecording());
    EXPECT_TRUE(editor->recordLamp()->keepsFlashing());
    struct Asked : EditSampleViewControllerDelegate {
        void editSampleViewControllerWantsToClose(EditSampleViewController&) override { ++asked; }
        int asked = 0;
    } delegate;
    editor->setDelegate(&delegate);
    editor->closeBtnPressed();
    EXPECT_EQ(delegate.asked, 0) << "CLOSE does nothing while recording";
    editor->openSample("Documents/anything.wav");
    EXPECT_TRUE(editor->isRecording()) << "opening does nothing while recording";

    // A known tone into the microphone.
    const auto tone = strombel::testing::sineSamples(1000, 44100, 4410);
    std::vector<int32_t> input(tone.size());
    for (size_t i = 0; i < tone.size(); ++i) input[i] = int32_t(tone[i]) * 512;  // one 16-bit step in 8.24
    device_->deliverInput(input);
    advance(1.0);
    EXPECT_EQ(editor->timeText(), "0:01.0");
    editor->recordBtnPressed();
    EXPECT_FALSE(editor->isRecording());
    EXPECT_FALSE(editor->recordLamp()->keepsFlashing());
    editor->waitForWaveform();
    advance(0.01);
    EXPECT_EQ(editor->openedSample(), "Documents/recording 01.wav");
    EXPECT_EQ(editor->nameText(), "RECORDING 01");
    ASSERT_NE(library.sampleWithFilepath("Documents/recording 01.wav"), nullptr);
    EXPECT_TRUE(editor->openedIsUserSample());
    EXPECT_EQ(readWave(sandbox.documents() / "recording 01.wav"), tone);
    editor->closeBtnPressed();
    EXPECT_EQ(delegate.asked, 1);

    // Going away while recording keeps the take.
    editor->recordBtnPressed();
    device_->deliverInput(input);
    editor->prepareForDismissal();
    EXPECT_FALSE(editor->isRecording());
    EXPECT_NE(library.sampleWithFilepath("Documents/recording 02.wav"), nullptr);

    // A take without frames adds nothing, and says so.
    editor->recordBtnPressed();
    editor->recordBtnPressed();
    EXPECT_EQ(editor->statusText(), "Nothing was recorded: the take holds no sound.");
    EXPECT_FALSE(std::filesystem::exists(sandbox.documents() / "recording 03.wav"));
    EXPECT_TRUE(alertsShown.empty());

    // A microphone that cannot be opened is an alert, and nothing changes.
    device_->failNextConfigure(true);
    editor->recordBtnPressed();
    EXPECT_FALSE(editor->isRecording());
    ASSERT_EQ(alertsShown.size(), 1u);
    EXPECT_EQ(alertsShown[0].rfind("Recording: The microphone could not be opened", 0), 0u);
}

TEST_F(EditSamplePanelTest, RecOnTheNullDeviceSaysThereIsNoSoundDeviceAndRecordsNothing) {
    // Without a sound card the program plays to the null device, which has no microphone.
    // Its buffers follow the test's time, as the engine's output check does: paced by
    // the wall clock, a device that had not yet come to rest when the test moved the
    // loop's clock two seconds on in an instant looked as if it had stopped answering.
    auto pacer = std::make_shared<testing::ManualPacer>();
    engine::SoundBox silent(std::make_unique<platform::NullAudioDevice>(pacer), sandbox, loop, &engineLibrary);
    ASSERT_TRUE(silent.running());
    ASSERT_TRUE(pacer->runUntilResting()) << "nothing plays: the device rests";
    app::SampleEditorEngineAdapter adapter(silent);
    EditSampleViewController panel(ui::GuiType::tablet, defaults, SampleEditorServices{&adapter, &library, {}});
    ui::kit::Window own;
    own.setRootView(panel.takeView());
    auto logger = std::make_shared<logging::testing::RecordingLogger>();
    logging::Log::addLogger(logger);
    logging::setLogLevel(3);  // errors and warnings, as the program logs

    panel.recordBtnPressed();
    EXPECT_FALSE(panel.isRecording());
    EXPECT_FALSE(panel.recordLamp()->keepsFlashing());
    const std::string told = "Recording: There is no microphone to record from: no sound device is open, so Strombel "
                             "plays to no output. Recording works again once a sound device is there.";
    EXPECT_EQ(alertsShown, std::vector<std::string>{told});
    EXPECT_TRUE(silent.running()) << "the output plays on";
    advance(2.0);
    panel.recordBtnPressed();  // a second press asks again; it does not stop a recording
    EXPECT_FALSE(panel.isRecording());
    EXPECT_EQ(alertsShown.size(), 2u);
    EXPECT_TRUE(library.userSamples().empty());
    EXPECT_FALSE(std::filesystem::exists(sandbox.documents() / "recording 01.wav"));
    logging::testing::resetLogging();
    EXPECT_EQ(logger->lines(), std::vector<std::string>{}) << "the alert says it all";
}

TEST_F(EditSamplePanelTest, RecIntoAFullOrReadOnlyCachesFolderSaysSoNotThatTheMicrophoneFailed) {
    const struct {
        const char* name;
        bool full;  // else read-only
        const char* reason;
    } cases[] = {{"full", true, "No space left on device"}, {"read-only", false, "Read-only file system"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        alertsShown.clear();
        std::string why;
        auto disk = c.full ? strombel::testing::TestMount::tmpfs(sandbox.caches(), 64 * 1024, why)
                           : strombel::testing::TestMount::readOnly(sandbox.caches(), sandbox.caches(), why);
        if (!disk) GTEST_SKIP() << "mounting is refused here (" << why << ")";
        if (c.full) strombel::testing::fillDisk(sandbox.caches() / "filler");
        editor->recordBtnPressed();
        EXPECT_FALSE(editor->isRecording());
        EXPECT_EQ(alertsShown, std::vector<std::string>{std::string("Recording: The recording cannot be written: ") +
                                                        c.reason + ". Nothing was recorded."});
    }
}

TEST_F(EditSamplePanelTest, ATakeTheDiskCouldNotHoldIsToldAndNothingIsKept) {
    std::string why;
    auto disk = strombel::testing::TestMount::tmpfs(sandbox.caches(), 128 * 1024, why);
    if (!disk) GTEST_SKIP() << "mounting is refused here (" << why << "): no small disk to fill";
    const std::vector<int32_t> second(44100, 1000 * 512);
    editor->recordBtnPressed();  // a take that fits
    device_->deliverInput(std::vector<int32_t>(4410, 1000 * 512));
    editor->recordBtnPressed();
    ASSERT_EQ(editor->openedSample(), "Documents/recording 01.wav");

    editor->recordBtnPressed();  // one that fills the disk
    for (int i = 0; i < 3; ++i) device_->deliverInput(second);
    editor->recordBtnPressed();
    EXPECT_FALSE(editor->isRecording());
    ASSERT_EQ(alertsShown.size(), 1u);
    EXPECT_EQ(alertsShown[0].rfind("Recording: The recording could not be written (", 0), 0u) << alertsShown[0];
    EXPECT_NE(alertsShown[0].find("), so nothing was kept."), std::string::npos) << alertsShown[0];
    EXPECT_EQ(editor->statusText(), "Nothing was kept: the recording could not be written.");
    EXPECT_FALSE(std::filesystem::exists(sandbox.documents() / "recording 02.wav")) << "no earlier take in its place";
    EXPECT_EQ(library.userSamples().size(), 1u);
}

TEST_F(EditSamplePanelTest, ATakeWhoseDiskFillsEndsAtOnceAndSaysNothingIsKept) {
    std::string why;
    auto disk = strombel::testing::TestMount::tmpfs(sandbox.caches(), 128 * 1024, why);
    if (!disk) GTEST_SKIP() << "mounting is refused here (" << why << "): no small disk to fill";
    std::mutex woken;
    std::condition_variable posted;
    bool wake = false;
    loop.setWakeupHandler([&] {
        std::lock_guard lock(woken);
        wake = true;
        posted.notify_all();
    });
    editor->recordBtnPressed();
    for (int i = 0; i < 3; ++i) device_->deliverInput(std::vector<int32_t>(44100, 1000 * 512));  // 260 kB
    // REC is not pressed again: the writer finding the disk full is enough.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (editor->isRecording() && std::chrono::steady_clock::now() < deadline) {
        std::unique_lock lock(woken);
        posted.wait_until(lock, deadline, [&] { return wake; });
        wake = false;
        lock.unlock();
        loop.runPending();
    }
    loop.setWakeupHandler({});
    EXPECT_FALSE(editor->isRecording());
    EXPECT_FALSE(editor->recordLamp()->keepsFlashing());
    ASSERT_EQ(alertsShown.size(), 1u);
    EXPECT_EQ(alertsShown[0].rfind("Recording: The recording could not be written (No space left on device", 0), 0u)
        << alertsShown[0];
    EXPECT_EQ(editor->statusText(), "Nothing was kept: the recording could not be written.");
}

TEST_F(EditSamplePanelTest, ATakeSpanningALostSoundDeviceKeepsItsTimelineAndSaysSo) {
    for (bool back : {true, false}) {
        SCOPED_TRACE(back ? "the device comes back" : "it is still away at the end");
        auto lost = std::make_unique<platform::ManualAudioDevice>();
        platform::ManualAudioDevice& microphone = *lost;
        engine::SoundBox box(std::make_unique<platform::FailoverAudioDevice>(
                                 std::move(lost), std::make_unique<platform::ManualAudioDevice>(), nullptr),
                             sandbox, loop, &engineLibrary);
        app::SampleEditorEngineAdapter adapter(box);
        EditSampleViewController panel(ui::GuiType::tablet, defaults, SampleEditorServices{&adapter, &library, {}});
        ui::kit::Window own;
        own.setRootView(panel.takeView());

        const std::vector<int32_t> half(22050, 1000 * 512);  // half a second
        panel.recordBtnPressed();
        const uint64_t began = microphone.nextHostTime();
        microphone.deliverInputAt(began, half);
        microphone.fail("the JACK server stopped");
        advance(0.01);
        ASSERT_TRUE(box.outputLost());
        if (back) {
            microphone.setAvailable(true);
            advance(2.5);  // the output is looked for every two seconds
            ASSERT_FALSE(box.outputLost());
            microphone.deliverInputAt(began + 2 * platform::kNanosPerSecond, half);
        }
        panel.recordBtnPressed();
        panel.waitForWaveform();
        advance(0.01);
        const std::filesystem::path take = sandbox.root() / panel.openedSample();
        const std::vector<int16_t> samples = readWave(take);
        if (back) {
            // Half a second, a second and a half of silence, half a second.
            std::vector<int16_t> expected(22050, 1000);
            expected.insert(expected.end(), 66150, 0);
            expected.insert(expected.end(), 22050, 1000);
            EXPECT_EQ(samples, expected);
            EXPECT_EQ(panel.statusText(), "The sound input was lost for 1.5 s during the take: silence stands in for it.");
        } else {
            EXPECT_EQ(samples, std::vector<int16_t>(22050, 1000));
            EXPECT_EQ(panel.statusText(), "The sound input was lost before the recording ended: the take ends there.");
        }
        std::filesystem::remove(take);
    }
}

TEST_F(EditSamplePanelTest, ASelectionPreviewsOnlyItsFramesAndTrimKeepsExactlyThem) {
    std::vector<int16_t> ramp(4000);
    for (size_t i = 0; i < ramp.size(); ++i) ramp[i] = int16_t(1000 + i);
    const std::string path = addUserSample("ramp", ramp);
    open(path);
    engine->waitForPreloads();

    editor->playBtnPressed();
    EXPECT_EQ(soundingFrames(renderUntilSilent()), 4000u) << "no selection plays it all";
    editor->setSelection(0.25, 0.5);
    editor->playBtnPressed();
    EXPECT_EQ(soundingFrames(renderUntilSilent()), 1000u);

    editor->trimBtnPressed();
    editor->waitForWaveform();
    advance(0.01);
    EXPECT_TRUE(alertsShown.empty());
    EXPECT_EQ(readWave(sandbox.root() / path), std::vector<int16_t>(ramp.begin() + 1000, ramp.begin() + 2000));
    EXPECT_EQ(editor->peaks().frames, 1000u);
    advance(0.01);
    engine->waitForPreloads();
    editor->playBtnPressed();
    EXPECT_EQ(soundingFrames(renderUntilSilent()), 1000u) << "the engine plays the trimmed sample";
}

TEST_F(EditSamplePanelTest, AFailedTrimKeepsTheOriginalWhole) {
    std::string why;
    auto full = strombel::testing::TestMount::tmpfs(sandbox.documents(), 160 * 1024, why);
    if (!full) GTEST_SKIP() << "cannot mount a tmpfs: " << why;
    const std::string path = addUserSample("long", strombel::testing::sineSamples(100, 44100, 60000));
    open(path);
    const std::string before = strombel::testing::fileBytes(sandbox.root() / path);
    editor->setSelection(0.0, 0.9);
    editor->trimBtnPressed();
    ASSERT_EQ(alertsShown.size(), 1u);
    EXPECT_EQ(alertsShown[0].rfind("Trim: The sample was not trimmed", 0), 0u);
    EXPECT_EQ(strombel::testing::fileBytes(sandbox.root() / path), before);
}

TEST_F(EditSamplePanelTest, NameRenamesTheUserSampleByTheLibrarysRules) {
    const std::string path = addUserSample("take", constant(3000, 1000));
    addUserSample("kick", constant(3000, 1000));
    open(path);
    EXPECT_FALSE(editor->renameSample("   "));
    EXPECT_FALSE(editor->renameSample("kick"));
    EXPECT_EQ(editor->openedSample(), path);
    EXPECT_TRUE(editor->renameSample("Big Snare"));
    EXPECT_NE(editor->openedSample(), path);
    EXPECT_NE(library.sampleWithFilepath(editor->openedSample()), nullptr);
    EXPECT_EQ(defaults.stringForKey(EditSampleViewController::kOpenedSampleKey), editor->openedSample());
}

TEST_F(EditSamplePanelTest, NameRefusesANameAnotherSampleShowsAndOneWithAFolderSayingWhy) {
    const std::string first = addUserSample("first", constant(3000, 1000));
    addUserSample("second", constant(2000, 1000));
    std::ofstream(sandbox.documents() / "third.wav") << "the user's notes, not a sound";
    open(first);
    const struct {
        const char* typed;
        const char* told;
    } cases[] = {
        {"second", "Rename: 'second' cannot be used as a name: another sample is shown as 'SECOND'"},
        {"Second", "Rename: 'Second' cannot be used as a name: another sample is shown as 'SECOND'"},
        // The paste screen's own words for a name with a folder in it.
        {"../../evil", "Rename: '../../evil' cannot be used as a name: it may not contain '/' or be '.' or '..'"},
        // Refused when the file is moved: the screen says why, not only that it failed.
        {"third", "Rename: 'third' cannot be used as a name: a file third.wav is in the documents folder already"},
    };
    for (const auto& c : cases) {
        alertsShown.clear();
        EXPECT_FALSE(editor->renameSample(c.typed)) << c.typed;
        EXPECT_EQ(alertsShown, std::vector<std::string>{c.told});
        EXPECT_EQ(editor->statusText().toStdString(), std::string(c.told).substr(8));
    }
    EXPECT_EQ(editor->openedSample(), first);
    EXPECT_EQ(editor->nameText(), "FIRST");
    std::vector<std::string> files;
    for (const auto& entry : std::filesystem::directory_iterator(sandbox.documents()))
        if (entry.path().filename().string().front() != '.') files.push_back(entry.path().filename().string());
    std::sort(files.begin(), files.end());
    EXPECT_EQ(files, (std::vector<std::string>{"first.wav", "second.wav", "third.wav"}));
    EXPECT_FALSE(std::filesystem::exists(temp / "evil.wav"));
}

TEST_F(EditSamplePanelTest, NameTakesItsKeysAtOnceAndReturnRenamesFromInsideTheFieldsOwnKeyPress) {
    const std::string path = addUserSample("take", constant(3000, 1000));
    open(path);
    editor->nameBtnPressed();
    ui::kit::TextField* field = strombel::testing::child<ui::kit::TextField>(editor->view());
    ASSERT_NE(field, nullptr);
    EXPECT_TRUE(field->lineEdit().hasFocus() || field->childItems().front()->hasFocus() ||
                window.scene()->focusItem() == field->childItems().front())
        << "typing goes into the field without a click first";
    // It offers the name as kept, and keeps what is typed as typed: the file
    // takes the name with its spaces and small letters.
    EXPECT_EQ(field->text(), "take");
    field->lineEdit().selectAll();
    QTest::keyClicks(&field->lineEdit(), "My Hit");
    EXPECT_EQ(field->text(), "My Hit");
    // Return reaches the field as a key does: through its proxy in the scene. The
    // field leaves while that key is still being handled.
    ASSERT_FALSE(field->childItems().empty());
    QGraphicsItem* proxy = field->childItems().front();
    QKeyEvent press(QEvent::KeyPress, Qt::Key_Return, Qt::NoModifier, "\r");
    window.scene()->sendEvent(proxy, &press);
    advance(0.01);
    EXPECT_EQ(strombel::testing::child<ui::kit::TextField>(editor->view()), nullptr);
    EXPECT_EQ(editor->openedSample(), "Documents/My Hit.wav");
    EXPECT_TRUE(std::filesystem::exists(sandbox.documents() / "My Hit.wav"));
    EXPECT_NE(library.sampleWithFilepath(editor->openedSample()), nullptr);
    EXPECT_EQ(editor->nameText(), "MY HIT") << "shown in capitals, as every name";
}

TEST_F(EditSamplePanelTest, TheNameFieldSaysWhatItAsksAndOffersOkAndCancel) {
    const std::string path = addUserSample("take", constant(3000, 1000));
    open(path);
    auto press = [&](ui::kit::Button* button) {
        ASSERT_NE(button, nullptr);
        const QPointF at = button->mapToScene(button->bounds().center());
        window.touches().begin(1, at);
        window.touches().end(1, at);
        advance(0.01);
    };
    struct Case {
        const char* typed;
        bool ok;
        std::string file;
    };
    const Case cases[] = {{"Gone", false, "take.wav"}, {"Straßenmusik Großstadt", true, "Straßenmusik Großstadt.wav"}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.typed);
        editor->nameBtnPressed();
        auto* field = strombel::testing::child<ui::kit::TextField>(editor->view());
        ASSERT_NE(field, nullptr);
        EXPECT_EQ(editor->statusText(), "NEW NAME FOR THE SAMPLE (IT NAMES ITS FILE TOO)");
        field->lineEdit().selectAll();
        QTest::keyClicks(&field->lineEdit(), QString::fromUtf8(c.typed));
        press(c.ok ? editor->nameOkButton() : editor->nameCancelButton());
        EXPECT_EQ(strombel::testing::child<ui::kit::TextField>(editor->view()), nullptr) << "the field closes";
        EXPECT_EQ(editor->nameOkButton(), nullptr);
        EXPECT_EQ(editor->openedSample(), "Documents/" + c.file);
        EXPECT_TRUE(std::filesystem::exists(sandbox.documents() / c.file));
    }
}

// A name typed for one sample never lands on another: the field goes when the
// panel turns to another sample (a take, another opening, the sample removed).
TEST_F(EditSamplePanelTest, ANameTypedForOneSampleNeverRenamesTheNextOneShown) {
    const std::string first = addUserSample("first", constant(3000, 1000));
    const std::string second = addUserSample("second", constant(2000, 1000));
    const std::vector<int32_t> input(4410, 1000 * 512);
    const struct {
        const char* what;
        std::function<void()> turn;
        std::string shownAfter;
    } cases[] = {
        {"a take", [&] {
             editor->recordBtnPressed();
             ASSERT_TRUE(editor->isRecording());
             device_->deliverInput(input);
             editor->recordBtnPressed();
             editor->waitForWaveform();
         }, "Documents/recording 01.wav"},
        {"another sample opened", [&] { editor->openSample(second); }, second},
        {"the sample removed", [&] { ASSERT_TRUE(library.removeSampleWithFilePath(first)); }, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        open(first);
        editor->nameBtnPressed();
        auto* field = strombel::testing::child<ui::kit::TextField>(editor->view());
        ASSERT_NE(field, nullptr);
        field->lineEdit().selectAll();
        QTest::keyClicks(&field->lineEdit(), "My Hit");
        c.turn();
        advance(0.01);
        EXPECT_EQ(editor->openedSample(), c.shownAfter);
        EXPECT_EQ(strombel::testing::child<ui::kit::TextField>(editor->view()), nullptr) << "the field went";
        // Whatever OK is still there renames nothing it was not typed for.
        if (ui::kit::Button* ok = editor->nameOkButton()) {
            const QPointF at = ok->mapToScene(ok->bounds().center());
            window.touches().begin(1, at);
            window.touches().end(1, at);
            advance(0.01);
        }
        EXPECT_FALSE(std::filesystem::exists(sandbox.documents() / "My Hit.wav"));
        EXPECT_EQ(editor->openedSample(), c.shownAfter);
        EXPECT_EQ(editor->statusText(), "");
    }
    EXPECT_TRUE(std::filesystem::exists(sandbox.documents() / "recording 01.wav"));
    EXPECT_TRUE(std::filesystem::exists(sandbox.documents() / "second.wav"));
}

TEST_F(EditSamplePanelTest, ThreeLayoutsRenderedToPng) {
    const std::string path = addUserSample("tone", strombel::testing::sineSamples(220, 44100, 22050));
    for (ui::GuiType guiType : {ui::GuiType::tablet, ui::GuiType::phoneLandscape, ui::GuiType::phonePortrait}) {
        SCOPED_TRACE(ui::guiTypeNumber(guiType));
        EditSampleViewController panel(guiType, defaults, SampleEditorServices{engineAdapter.get(), &library, {}});
        ui::kit::Window own;
        own.setRootView(panel.takeView());
        panel.openSample(path);
        panel.waitForWaveform();
        advance(0.01);
        panel.setSelection(0.2, 0.6);
        QImage picture = own.render(2.0);
        ASSERT_FALSE(picture.isNull());
        const auto file = std::filesystem::path(STROMBEL_TEST_OUTPUT_DIR) / ("sample_editor_" + std::to_string(ui::guiTypeNumber(guiType)) + ".png");
        EXPECT_TRUE(picture.save(QString::fromStdString(file.string())));
        // Every control lies inside the panel.
        for (ui::kit::View* view : panel.view()->subviews())
            EXPECT_TRUE(panel.view()->bounds().contains(view->frame())) << view->frame().x() << "," << view->frame().y();
    }
}

}  // namespace
}  // namespace strombel::editor
