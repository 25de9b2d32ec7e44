#pragma once

// src/app/: the application delegate, the desktop session, start-up and the whole
// program wired together. The top layer.
// May include: ui/pad, ui/hub, ui/kit, ui, library/adapters, midi/adapters, sequencer/adapters,
//   library, store, http, engine, midi, sequencer, hub, crash, info, analytics, platform/devices,
//   platform, logging, Qt.

#include <QByteArray>

#include <memory>
#include <optional>
#include <string>

#include "app/app_adapters.h"
#include "app/app_services.h"
#include "app/editor_adapters.h"
#include "app/information_wiring.h"
#include "app/orientation_feed.h"
#include "app/stale_cache_files.h"
#include "app/storage_problems.h"
#include "app/tumblecraft_app_delegate.h"
#include "http/network_thread.h"
#include "library/adapters/library_adapters.h"
#include "midi/adapters/sound_box_midi_link.h"
#include "platform/clock.h"
#include "platform/data_folder_lock.h"
#include "platform/devices/audio_device.h"
#include "platform/devices/midi_backend.h"
#include "platform/main_loop.h"
#include "platform/notification_center.h"
#include "platform/sandbox.h"
#include "platform/service_discovery.h"
#include "platform/socket_address.h"
#include "platform/user_defaults.h"
#include "sequencer/adapters/sound_box_adapter.h"
#include "sequencer/sequencer.h"
#include "store/store_settings.h"
#include "ui/gui_type.h"
#include "ui/kit/context.h"
#include "ui/kit/problem_reporter.h"
#include "ui/kit/window.h"
#include "ui/pad/strombel_view_controller.h"

namespace strombel::app {

/// What the program runs on. The program itself passes the machine's own; tests
/// pass a sandbox of their own, a manual audio device, a loopback MIDI world and
/// a manual clock.
/// The user default that turns the hub's discovery on the local network on.
inline constexpr const char* kHubLanDiscoveryKey = "Wirehub LAN Discovery";

struct ProgramSetup {
    ProgramSetup(platform::Sandbox& sandbox, platform::UserDefaults& defaults, platform::MainLoop& mainLoop,
                 platform::Clock& clock, platform::NotificationCenter& notificationCenter)
        : sandbox(sandbox),
          defaults(defaults),
          mainLoop(mainLoop),
          clock(clock),
          notificationCenter(notificationCenter) {}

    platform::Sandbox& sandbox;
    platform::UserDefaults& defaults;
    platform::MainLoop& mainLoop;
    /// Host time of the sequencer's timing and of the MIDI backend the program makes.
    platform::Clock& clock;
    platform::NotificationCenter& notificationCenter;
    /// This program's hold on the sandbox's folder, taken by the start before
    /// anything else. Null: the program tries to take it itself at its launch
    /// (tests), and runs without sweeping the caches when another holds it.
    const platform::DataFolderLock* dataFolder = nullptr;
    /// Null: the best device of the machine (the null device when there is none).
    std::unique_ptr<platform::AudioDevice> audioDevice;
    /// Null: the machine's MIDI (none at all is fine).
    platform::MidiBackend* midiBackend = nullptr;
    sequencer::LoopDriver sequencerDriver = sequencer::LoopDriver::thread;
    /// The layout of the pad screen.
    ui::GuiType guiType = ui::GuiType::tablet;
    /// False for headless runs: the window is made but never shown on a display.
    bool showWindow = true;
    /// Pixels per point of the window when it first shows.
    double windowScale = 1.0;
    /// The local audio exchange's port on 127.0.0.1; 0 for none (tests).
    int exchangePort = editor::AudioExchangeClient::kDefaultPort;
    /// Counts launches; null for none.
    info::RatingPrompt* ratingPrompt = nullptr;
    std::function<void()> installLoggers;
    /// The sound pack store the library fetches from; none: the program runs
    /// without one (and its store screen says the store cannot be reached).
    std::optional<store::StoreSettings> store;
    /// The hub: its launch address from the command line, and where it finds
    /// its peers (null: the machine's directory of services, or Avahi when the
    /// user turned LAN discovery on).
    std::string hubLaunchURL;
    platform::ServiceDiscovery* hubDiscovery = nullptr;
    /// The hub's endpoint binds this IPv4 address only (tests: loopback).
    std::optional<platform::SocketAddress> hubBindAddress;
    /// Opens the addresses the hub asks for (xdg-open); null opens nothing.
    std::function<void(const std::string& url)> openURL;
    /// False: the program makes no hub controller.
    bool hub = true;
    /// The phone landscape screen follows this orientation sensor (a Qt Sensors
    /// identifier; empty: the system's default). None: no sensor is asked, and
    /// the orientation changes only as `Program::deviceOrientation` is told.
    std::optional<QByteArray> orientationSensor;
    /// Asked between the launch's steps: true ends the launch there (the program
    /// is being ended while it starts). None: the launch runs whole.
    std::function<bool()> launchCancelled;
};

/// The whole program wired together: library, engine, MIDI hub, sequencer, the
/// pad screen in its window and the application delegate. The subsystems are made
/// in the order the launch asks for them.
class Program final : public AppWindow, public AppEngine, public AppSequencer, public AppLibrary {
public:
    explicit Program(ProgramSetup setup);
    ~Program() override;
    Program(const Program&) = delete;
    Program& operator=(const Program&) = delete;

    /// Runs the application delegate's launch.
    bool launch();
    /// Writes the library (at shutdown).
    void flush();

    TumblecraftAppDelegate& delegate() { return *delegate_; }
    ui::StrombelViewController* padScreen() const { return padScreen_.get(); }
    ui::kit::Window& window() { return *window_; }
    library::SoundDataManager* library() const { return library_.get(); }
    engine::SoundBox* engine() const { return engine_.get(); }
    sequencer::Sequencer* sequencer() const { return sequencer_.get(); }
    midi::MidiController* midiHub() const { return midiHub_.get(); }
    /// How the device is held, as the phone screen reads it.
    ui::kit::DeviceOrientation& deviceOrientation() { return *deviceOrientation_; }
    /// The sensor feeding it, or null.
    OrientationFeed* orientationFeed() const { return orientationFeed_.get(); }
    const std::vector<std::string>& launchProblems() const { return delegate_->launchProblems(); }
    /// What cannot be saved now, as the pad screen's line says it (empty when all is).
    std::string storageLine() const { return storageProblems_ ? storageProblems_->line() : std::string(); }
    /// The pad screen's views of the subsystems (another screen may share them).
    ui::PadScreenServices padScreenServices() const {
        return {padEngine_.get(), padSequencer_.get(), padLibrary_.get(), padMidi_.get(),
                setup_.store ? library_.get() : nullptr, library_.get(), deviceOrientation_.get()};
    }
    PadEngineAdapter* padEngineAdapter() const { return padEngine_.get(); }
    PadSequencerAdapter* padSequencerAdapter() const { return padSequencer_.get(); }
    PadLibraryAdapter* padLibraryAdapter() const { return padLibrary_.get(); }
    /// The engine's audio device.
    platform::AudioDevice* audioDevice() const { return engine_ ? &engine_->audioUnit() : nullptr; }

    // AppLibrary
    std::string makeDataUpToDate() override;
    std::string noteMapProblem() const override;
    void save() override { flush(); }
    // AppWindow
    void setBackgroundBlack() override;
    AppMainScreen& engageMainScreen(bool isIpad, ui::StrombelViewControllerDelegate* delegate) override;
    void makeKeyAndVisible() override;
    void setIdleTimerDisabled(bool disabled) override { idleTimerDisabled_ = disabled; }
    bool idleTimerDisabled() const { return idleTimerDisabled_; }
    void showLaunchProblem(const std::string& title, const std::string& message) override;
    void takeBackLaunchProblem(const std::string& title) override;
    // AppEngine
    bool start() override;
    void startOverrideIsPlayingCheck(bool overrideCheck) override;
    void stop() override;
    bool isRecording() const override { return engine_ && engine_->isRecording(); }
    void clearUnusedCache() override;
    hub::AudioUnitHandle audioUnit() const override { return audioDevice(); }
    std::string lastError() const override;
    void watchOutputProblem(std::function<void(const std::string& problem)> changed) override {
        outputProblemChanged_ = std::move(changed);
    }
    // AppSequencer
    bool isRunning() const override { return sequencer_ && sequencer_->isRunning(); }

private:
    class MainScreen;
    class OutputProblemWatch;
    void makeSubsystems();
    platform::Clock& clock() const { return setup_.clock; }
    platform::NotificationCenter& notificationCenter() const { return setup_.notificationCenter; }

    ProgramSetup setup_;
    /// The network thread of the store and the crash upload client: the shared
    /// one on the shared main loop, else one of the program's own (`network_`).
    http::NetworkThread& network();
    /// The program's network thread when it runs on a main loop of its own.
    std::unique_ptr<http::NetworkThread> network_;
    std::unique_ptr<library::SoundDataManager> library_;
    std::unique_ptr<library::EngineSoundLibrary> engineLibrary_;
    std::unique_ptr<engine::SoundBox> engine_;
    std::unique_ptr<OutputProblemWatch> outputProblemWatch_;
    std::unique_ptr<platform::MidiBackend> ownMidiBackend_;
    std::unique_ptr<midi::MidiController> midiHub_;
    std::unique_ptr<midi::SoundBoxMidiLink> engineMidiLink_;
    std::unique_ptr<sequencer::SoundBoxSequencerEngine> sequencerEngine_;
    std::unique_ptr<library::SequencerPatternStore> patternStore_;
    std::unique_ptr<sequencer::MidiControllerClockOut> sequencerClockOut_;
    std::unique_ptr<sequencer::Sequencer> sequencer_;
    std::unique_ptr<sequencer::MidiClockFollower> sequencerClockFollower_;
    std::unique_ptr<PadEngineAdapter> padEngine_;
    std::unique_ptr<PadSequencerAdapter> padSequencer_;
    std::unique_ptr<PadLibraryAdapter> padLibrary_;
    std::unique_ptr<ui::PadMidi> padMidi_;
    std::unique_ptr<SampleEditorEngineAdapter> sampleEditorEngine_;
    std::unique_ptr<ui::kit::DeviceOrientation> deviceOrientation_;
    std::unique_ptr<OrientationFeed> orientationFeed_;
    std::unique_ptr<ui::kit::Window> window_;
    std::unique_ptr<ui::StrombelViewController> padScreen_;
    std::unique_ptr<MainScreen> mainScreen_;
    std::unique_ptr<crash::CrashUploadManager> crashUploadManager_;
    /// Alerts, the pad screen's red line and their log lines all go through it.
    /// The context's reporter, which the screens tell their failures to as well.
    ui::kit::ProblemReporter& problems_ = ui::kit::Context::current().problems();
    std::unique_ptr<StorageProblems> storageProblems_;
    std::unique_ptr<platform::ServiceDiscovery> hubDiscovery_;
    /// The program's own hold on its folder when the start gave it none.
    std::unique_ptr<platform::DataFolderLock> ownDataFolder_;

    std::unique_ptr<hub::HubController> makeHubController();
    std::unique_ptr<TumblecraftAppDelegate> delegate_;
    std::unique_ptr<InformationWiring> information_;
    bool idleTimerDisabled_ = false;
    std::function<void(const std::string&)> outputProblemChanged_;
};

}  // namespace strombel::app
