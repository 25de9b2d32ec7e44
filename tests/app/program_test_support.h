#pragma once

// A whole Strombel, headless: the real library in a sandbox of its own with the
// stock packs of the bundle, the real engine on a manual audio device, the real
// sequencer driven by hand, the real MIDI hub on a loopback MIDI world, and the
// pad screen in an offscreen window. Time moves only when the test says so.

#include <gtest/gtest.h>

#include <QApplication>

#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "app/program.h"
#include "platform/clock.h"
#include "platform/devices/loopback_midi_backend.h"
#include "platform/directory_service_discovery.h"
#include "platform/main_loop.h"
#include "platform/devices/failover_audio_device.h"
#include "platform/devices/manual_audio_device.h"
#include "platform/sandbox.h"
#include "platform/thread_role.h"
#include "platform/user_defaults.h"
#include "support/afresh_audio_device.h"
#include "support/temp_dir.h"
#include "ui/kit/context.h"
#include "ui/kit/presenters.h"
#include "ui/info/strombel_information_view_controller.h"
#include "ui/kit/window.h"

namespace strombel::app::scenario {

/// Remembers each edit menu and lets the test pick an item.
class RecordingEditMenu final : public ui::kit::EditMenuPresenter {
public:
    struct Shown {
        QRectF target;
        QStringList items;
        Choice choice;
    };
    void showMenu(ui::kit::Window*, const QRectF& target, const QStringList& items, Choice choice) override {
        shown.push_back({target, items, std::move(choice)});
    }
    void hideMenu() override {}
    /// Picks `item` in the last menu shown; false when it offered no such item.
    bool pick(const QString& item) {
        if (shown.empty() || !shown.back().items.contains(item)) return false;
        auto choice = shown.back().choice;
        choice(item);
        return true;
    }
    std::vector<Shown> shown;
};


/// What few runs of the program ask for besides. Outside `ProgramRun`, so that
/// its defaults hold where the constructor's default argument is read (inside
/// the class, GCC reads that argument before the members' defaults).
struct ProgramRunOptions {
    /// A Qt Sensors orientation backend of the test's own; none: no sensor.
    std::optional<QByteArray> orientationSensor;
    /// A stand-in for the device, driven by hand too, whose frame counter
    /// starts at this host time (none: the engine's null device).
    std::optional<uint64_t> standInAnchor;
    /// The program opens the machine's MIDI system itself, as it does for a
    /// user, instead of the loopback world `midi()`.
    bool ownMidiSystem = false;
    /// In place of the manual device, one opened afresh off the main loop
    /// on this server, as the sound server's client is.
    std::shared_ptr<testing::AfreshAudioDevice::Server> afreshServer;
};

/// One run of the program on a sandbox that outlives it (so a test can start
/// the program again on the same settings and library).
class ProgramRun {
public:
    using Options = ProgramRunOptions;

    ProgramRun(const std::filesystem::path& root, platform::ManualClock& clock, platform::MainLoop& loop,
               ui::GuiType guiType = ui::GuiType::tablet, std::optional<store::StoreSettings> store = std::nullopt,
               Options options = {})
        : sandbox_(root, platform::Sandbox::defaultBundle(), root.parent_path() / "Trash"),
          defaults_(((void)sandbox_.createFolders(), sandbox_.preferences() / "defaults.sqlite")),
          midi_(clock),
          context_(loop, guiType == ui::GuiType::tablet ? ui::kit::Screen::tablet() : ui::kit::Screen::phone()),
          discovery_(root / "services", loop) {
        auto alerts = std::make_unique<ui::kit::RecordingAlertPresenter>();
        alerts_ = alerts.get();
        context_.setAlerts(std::move(alerts));
        auto menu = std::make_unique<RecordingEditMenu>();
        menu_ = menu.get();
        context_.setEditMenu(std::move(menu));

        ProgramSetup setup(sandbox_, defaults_, loop, clock, platform::NotificationCenter::shared());
        auto device = std::make_unique<platform::ManualAudioDevice>(44100.0, 256, clock.nowNanos());
        device_ = device.get();
        if (options.afreshServer) {
            device_ = nullptr;
            setup.audioDevice = std::make_unique<testing::AfreshAudioDevice>(options.afreshServer);
        } else if (options.standInAnchor) {
            auto standIn = std::make_unique<platform::ManualAudioDevice>(44100.0, 256, *options.standInAnchor);
            standIn_ = standIn.get();
            setup.audioDevice = std::make_unique<platform::FailoverAudioDevice>(std::move(device), std::move(standIn), nullptr);
        } else {
            setup.audioDevice = std::move(device);
        }
        setup.midiBackend = options.ownMidiSystem ? nullptr : &midi_;
        setup.sequencerDriver = sequencer::LoopDriver::manual;
        setup.guiType = guiType;
        setup.showWindow = false;
        setup.exchangePort = 0;  // no test asks a server it did not start
        setup.store = std::move(store);
        // The hub on a directory of services of the test's own, on loopback.
        setup.hubDiscovery = &discovery_;
        setup.hubBindAddress = platform::SocketAddress::fromText("127.0.0.1", 0);
        setup.orientationSensor = std::move(options.orientationSensor);
        program_ = std::make_unique<Program>(std::move(setup));
        EXPECT_TRUE(program_->launch());
        loop.runPending();
        program_->engine()->waitForPreloads();
    }
    ~ProgramRun() { program_.reset(); }

    Program& program() { return *program_; }
    ui::StrombelViewController& screen() { return *program_->padScreen(); }
    platform::ManualAudioDevice& device() { return *device_; }
    platform::ManualAudioDevice* standIn() { return standIn_; }
    platform::UserDefaults& defaults() { return defaults_; }
    platform::Sandbox& sandbox() { return sandbox_; }
    /// The MIDI world outside the program: devices come and go, keys are played.
    platform::LoopbackMidiBackend& midi() { return midi_; }
    ui::kit::RecordingAlertPresenter& alerts() { return *alerts_; }
    RecordingEditMenu& menu() { return *menu_; }

private:
    platform::Sandbox sandbox_;
    platform::UserDefaults defaults_;
    platform::LoopbackMidiBackend midi_{platform::SystemClock::shared()};
    ui::kit::Context context_;
    ui::kit::RecordingAlertPresenter* alerts_ = nullptr;
    RecordingEditMenu* menu_ = nullptr;
    platform::ManualAudioDevice* device_ = nullptr;
    platform::ManualAudioDevice* standIn_ = nullptr;
    platform::DirectoryServiceDiscovery discovery_;
    std::unique_ptr<Program> program_;
};

/// The fixture: a clock, a main loop on it, and a way to let time pass for the
/// sequencer, the engine's buffers and the main loop together.
class ProgramTest : public ::testing::Test {
protected:
    ProgramTest() : clock_(1'000'000'000), loop_(clock_) {
        loop_.bindToCurrentThread();
        // As in the program: a thread calling in must have its role.
        platform::requireThreadRoles();
    }
    ~ProgramTest() override { platform::requireThreadRoles(false); }

    std::unique_ptr<ProgramRun> start(ui::GuiType guiType = ui::GuiType::tablet) {
        return std::make_unique<ProgramRun>(temp_ / "root", clock_, loop_, guiType);
    }

    /// Lets `seconds` pass in 5 ms steps: the sequencer schedules what is due, the
    /// device renders every buffer that has begun, the main loop delivers.
    /// Returns the largest absolute left-channel sample rendered.
    int64_t runFor(ProgramRun& run, double seconds) {
        int64_t loudest = 0;
        const uint64_t end = clock_.nowNanos() + uint64_t(seconds * 1e9);
        while (clock_.nowNanos() < end) {
            run.program().sequencer()->runLoopUntil(clock_.nowNanos());
            run.program().engine()->waitForPreloads();
            while (run.device().nextHostTime() <= clock_.nowNanos()) {
                run.device().renderBuffer();
                for (int32_t sample : run.device().left()) loudest = std::max<int64_t>(loudest, std::abs(int64_t(sample)));
            }
            loop_.advance(5 * platform::kNanosPerMillisecond);
        }
        return loudest;
    }

    /// Renders the next buffer and answers its loudest left sample.
    int64_t nextBuffer(ProgramRun& run) {
        run.program().engine()->waitForPreloads();
        run.device().renderBuffer();
        int64_t loudest = 0;
        for (int32_t sample : run.device().left()) loudest = std::max<int64_t>(loudest, std::abs(int64_t(sample)));
        return loudest;
    }

    /// A finger down on the middle of `view` (and, with `release`, up again).
    void touchDown(ProgramRun& run, ui::kit::View* view, int finger = 1) {
        run.program().window().touches().begin(finger, view->mapToScene(view->bounds().center()));
    }
    void touchUp(ProgramRun& run, ui::kit::View* view, int finger = 1) {
        run.program().window().touches().end(finger, view->mapToScene(view->bounds().center()));
    }
    void tap(ProgramRun& run, ui::kit::View* view) {
        touchDown(run, view);
        touchUp(run, view);
        loop_.runPending();
    }

    /// Shows the information screen over the pad screen, runs `meanwhile` while
    /// it is up, and comes back with its BACK key (the pad screen then
    /// appears again). Fails the test when a step does not happen.
    void visitInformationScreen(ProgramRun& run, const std::function<void()>& meanwhile = {}) {
        ui::kit::Window& window = run.program().window();
        run.screen().infoBtnPressed();
        loop_.advance(1000 * platform::kNanosPerMillisecond);
        ui::kit::View* presented = ui::kit::Context::current().modals().presented(window);
        ASSERT_NE(presented, nullptr);
        if (meanwhile) meanwhile();
        auto* information = dynamic_cast<info::StrombelInformationViewController*>(presented);
        ASSERT_NE(information, nullptr);
        tap(run, information->backBtn());
        loop_.advance(1000 * platform::kNanosPerMillisecond);
        ASSERT_EQ(ui::kit::Context::current().modals().presented(window), nullptr);
    }

    strombel::testing::TempDir temp_;
    platform::ManualClock clock_;
    platform::MainLoop loop_{platform::SystemClock::shared()};
};

}  // namespace strombel::app::scenario
