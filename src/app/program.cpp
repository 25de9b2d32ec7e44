#include "app/program.h"

#include <QString>

#include <utility>

#include "editor/audio_files.h"
#include "library/data_migration_manager.h"
#include "crash/crash_upload_manager.h"
#include "logging/log.h"
#include "http/http_download_cache.h"
#include "platform/audio_file.h"
#include "platform/main_bundle.h"
#include "platform/avahi_service_discovery.h"
#include "platform/devices/failover_audio_device.h"
#include "platform/devices/rtmidi_backend.h"
#include "platform/directory_service_discovery.h"
#include "store/library_store.h"
#include "ui/gui_factory.h"
#include "ui/hub/hub_connection_panel.h"
#include "ui/kit/context.h"
#include "ui/kit/device_orientation.h"
#include "ui/kit/presenters.h"
#include "ui/pad/strombel_iphone_view_controller.h"

namespace strombel::app {

/// The pad screen as the application delegate sees it.
class Program::MainScreen final : public AppMainScreen {
public:
    explicit MainScreen(ui::StrombelViewController& screen) : screen_(screen) {}
    bool playbackIsRunning() const override { return screen_.playbackIsRunning(); }
    void startPlayback() override { screen_.startPlayback(); }
    void stopPlayback() override { screen_.stopPlayback(); }
    bool backgroundAudioEnabled() const override { return screen_.backgroundAudioEnabled(); }

private:
    ui::StrombelViewController& screen_;
};

/// What the engine says of its output, for the application delegate: why it
/// plays to no sound card, and that it does not any more.
class Program::OutputProblemWatch final : public engine::SoundBoxDelegate {
public:
    OutputProblemWatch(engine::SoundBox& engine, std::function<void(const std::string&)> changed)
        : changed_(std::move(changed)) {
        engine.addDelegate(this);
    }

private:
    void audioOutputNotOpened(const std::string& message) override { changed_(message); }
    void audioOutputRestored(const std::string&) override { changed_({}); }

    std::function<void(const std::string&)> changed_;
};

Program::Program(ProgramSetup setup) : setup_(std::move(setup)) {
    AppParts parts;
    parts.engine = this;
    parts.sequencer = this;
    parts.library = this;
    parts.window = this;
    parts.notificationCenter = &notificationCenter();
    parts.network = &network();
    parts.ratingPrompt = setup_.ratingPrompt;
    parts.installLoggers = setup_.installLoggers;
    parts.launchCancelled = setup_.launchCancelled;
    if (&setup_.sandbox != &platform::Sandbox::shared()) {
        // A program on a sandbox of its own (a test's) keeps its crash upload
        // client's folder and settings there too.
        crash::CrashUploadServices services;
        services.sandbox = &setup_.sandbox;
        services.defaults = &setup_.defaults;
        services.loop = &setup_.mainLoop;
        services.notifications = &notificationCenter();
        services.bundle = &platform::MainBundle::shared();
        services.network = &network();
        crashUploadManager_ = std::make_unique<crash::CrashUploadManager>(std::move(services));
        parts.crashUploadManager = crashUploadManager_.get();
    } else {
        parts.crashUploadManager = &crash::CrashUploadManager::sharedCrashUploadManager();
    }
    if (setup_.hub) parts.makeHubController = [this] { return makeHubController(); };
    deviceOrientation_ = std::make_unique<ui::kit::DeviceOrientation>(notificationCenter());
    AppConfiguration configuration;
    configuration.isIpad = setup_.guiType == ui::GuiType::tablet;
    configuration.launchURL = setup_.hubLaunchURL;
    delegate_ = std::make_unique<TumblecraftAppDelegate>(std::move(parts), configuration);
    information_ = std::make_unique<InformationWiring>(setup_.defaults, setup_.mainLoop, setup_.ratingPrompt,
                                                       setup_.sandbox.bundle());
}

namespace {

/// Asks the hub's question with the kit's alerts: the cancel button first, the
/// answer handed back as the index of the button chosen (0 the cancel button).
void presentHubAlert(hub::HubAlert alert) {
    QStringList buttons{QString::fromStdString(alert.cancelButton)};
    for (const auto& title : alert.otherButtons) buttons << QString::fromStdString(title);
    auto completion = std::move(alert.completion);
    ui::kit::Context::current().alerts().showAlert(
        QString::fromStdString(alert.title), QString::fromStdString(alert.message), buttons,
        [buttons, completion](const QString& chosen) {
            const auto index = buttons.indexOf(chosen);
            if (completion) completion(index < 0 ? 0 : int(index));
        });
}

}  // namespace

std::unique_ptr<hub::HubController> Program::makeHubController() {
    if (!platform::MainBundle::shared().executable()) {
        STROMBEL_LOG_ERROR("The bundle names no executable: the program runs without the hub");
        return nullptr;
    }
    platform::ServiceDiscovery* discovery = setup_.hubDiscovery;
    // Peers on this machine only, unless the user turned LAN discovery on.
    const bool lanDiscovery = !discovery && setup_.defaults.boolForKey(kHubLanDiscoveryKey);
    if (!discovery) {
        if (lanDiscovery) {
            hubDiscovery_ = std::make_unique<platform::AvahiServiceDiscovery>(setup_.mainLoop);
        } else {
            auto directory = std::make_unique<platform::DirectoryServiceDiscovery>(
                platform::DirectoryServiceDiscovery::defaultFolder(), setup_.mainLoop);
            // A folder other users could reach is not used: the program goes on without the hub.
            if (!directory->refusal().empty()) {
                STROMBEL_LOG_ERROR("{}: the program runs without the hub", directory->refusal());
                return nullptr;
            }
            hubDiscovery_ = std::move(directory);
        }
        discovery = hubDiscovery_.get();
    }
    hub::HubController::Options options;
    options.discovery = discovery;
    options.loop = &setup_.mainLoop;
    options.notifications = &notificationCenter();
    options.defaults = &setup_.defaults;
    options.bundle = &platform::MainBundle::shared();
    options.jackOpener = &platform::JackOpener::shared();
    options.signatureValidator = hub::HubSignatureValidator::shared();
    options.urlOpener = setup_.openURL;
    options.bindAddress = setup_.hubBindAddress;
    options.networkDiscovery = lanDiscovery;
    options.applicationIsActive = [] { return true; };
    options.alertPresenter = presentHubAlert;
    // Peers' images are cached in the program's own folder (a test's, say).
    options.resourceOptions.cachesFolder = setup_.sandbox.caches();
    // The panel lies over whatever screen the window shows.
    options.panelFactory = [this](hub::HubController& controller) -> std::unique_ptr<hub::HubConnectionPanel> {
        return std::make_unique<ui::hub::HubConnectionPanel>(controller, [this]() -> ui::kit::View* {
            return window_ ? window_->shownView() : nullptr;
        });
    };
    return hub::HubController::create(std::move(options));
}

http::NetworkThread& Program::network() {
    if (&setup_.mainLoop == &platform::MainLoop::shared()) return http::NetworkThread::shared();
    if (!network_) network_ = std::make_unique<http::NetworkThread>(setup_.mainLoop);
    return *network_;
}

Program::~Program() {
    // The information screen's services let go of the window and the client first.
    information_.reset();
    // The screen leaves its observer lists first; then the MIDI hub stops its
    // action thread before what it calls goes, then the sequencer its timing loop.
    delegate_.reset();
    storageProblems_.reset();
    problems_.setLinePresenter({});  // the context outlives the screen
    mainScreen_.reset();
    orientationFeed_.reset();
    padScreen_.reset();
    // The window's views (the bank selector among them) leave the library's
    // lists as they go, so they go while the library's views still stand.
    window_.reset();
    if (midiHub_) midiHub_->setMidiLearnDelegate(nullptr);
    padMidi_.reset();
    padLibrary_.reset();
    padSequencer_.reset();
    padEngine_.reset();
    if (sequencer_) sequencer_->stop();
    // The follower leaves the hub's clock delegate and waits out a clock message
    // already under way.
    sequencerClockFollower_.reset();
    engineMidiLink_.reset();
    sequencer_.reset();
    sequencerClockOut_.reset();
    midiHub_.reset();
    engine_.reset();
    engineLibrary_.reset();
    library_.reset();
}

bool Program::launch() {
    const bool launched = delegate_->didFinishLaunchingWithOptions();
    if (window_) information_->connectSocialClient(*delegate_, *window_, notificationCenter());
    return launched;
}

void Program::flush() {
    // Volumes set with VOL. still down are kept as leaving the mode keeps them.
    if (padScreen_) padScreen_->keepEditedTrackVolumes();
    // A take under way is finished and kept as a recording.
    if (padScreen_) padScreen_->finishSampleRecording();
    if (library_) library_->save();
    setup_.defaults.writeUnwritten();
    setup_.defaults.synchronize();
}

// ---- The launch's steps --------------------------------------------------------------

std::string Program::makeDataUpToDate() {
    if (!setup_.sandbox.createFolders().ok())
        STROMBEL_LOG_ERROR("The folders of {} could not be made", setup_.sandbox.root().string());
    // What an earlier run left half-written (it was killed while exporting, say)
    // goes before anything writes there again.
    // The microphone's take is not swept: it is kept below, as a recording.
    const std::filesystem::path take = setup_.sandbox.caches() / engine::SoundBox::kSampleRecordFileName;
    if (!setup_.dataFolder && !ownDataFolder_)
        ownDataFolder_ = std::make_unique<platform::DataFolderLock>(setup_.sandbox.root());
    StaleCacheFiles(setup_.sandbox, setup_.dataFolder ? *setup_.dataFolder : *ownDataFolder_,
                    std::vector<std::filesystem::path>{platform::WaveWriter::partialPathFor(take)})
        .removeStale();
    library_ = std::make_unique<library::SoundDataManager>(setup_.sandbox, setup_.defaults, setup_.mainLoop);
    if (setup_.store) {
        // The library's store part: its download cache and queue, then the first
        // catalogue fetch.
        // The program's own library takes the shared download cache; one on a
        // sandbox of its own (a test's) keeps one in its caches folder.
        std::shared_ptr<http::HttpDownloadCache> cache;
        if (&setup_.sandbox == &platform::Sandbox::shared()) cache = http::HttpDownloadCache::sharedCache();
        library_->setStore(std::make_unique<store::LibraryStore>(
            store::StoreServices{*library_, *setup_.store, network(), std::move(cache)}));
    }
    AppLibraryAdapter adapter(*library_);
    std::string problems = adapter.makeDataUpToDate();
    // A take the last run did not keep (it ended while recording) becomes a
    // recording now, or the user hears where it still is.
    for (const editor::RecoveredTake& outcome : editor::recoverTakes(take, setup_.sandbox.documents())) {
        std::string told;
        if (outcome.kept) {
            library_->notifyOfNewUserSample(std::filesystem::relative(*outcome.kept, setup_.sandbox.root()).string());
            told =
                "A recording under way when Strombel last ended was kept as '" + outcome.kept->stem().string() + "'.";
        } else {
            told = "A recording under way when Strombel last ended could not be kept (" +
                   outcome.kept.error().message() + "). It is still in " + outcome.file.string() +
                   "; Strombel tries again at its next start.";
        }
        problems += (problems.empty() ? "" : "\n\n") + told;
    }
    // The settings are stored data too: what went wrong with them at open is told here.
    std::string settings;
    if (!setup_.defaults.writeProblem().empty()) {
        settings = "Strombel's settings cannot be saved: " + setup_.defaults.writeProblem() +
                   ".\nThey work until Strombel quits; changes are not kept.";
    } else if (!setup_.defaults.setAsidePath().empty()) {
        settings = "The settings file was damaged; it was set aside as " + setup_.defaults.setAsidePath().string() +
                   " and Strombel starts with its usual settings.";
    }
    if (!settings.empty()) problems += (problems.empty() ? "" : "\n\n") + settings;
    return problems;
}

std::string Program::noteMapProblem() const { return midiHub_ ? app::noteMapProblem(*midiHub_) : std::string(); }

void Program::setBackgroundBlack() {
    if (!window_) window_ = std::make_unique<ui::kit::Window>();
    window_->setBackgroundBrush(Qt::black);
    window_->setWindowTitle("Strombel");
}

void Program::makeSubsystems() {
    if (engine_) return;
    if (!library_) makeDataUpToDate();

    // The engine, on the library.
    engineLibrary_ = std::make_unique<library::EngineSoundLibrary>(*library_);
    std::unique_ptr<platform::AudioDevice> device = std::move(setup_.audioDevice);
    // Opened off the main loop; without a sound card the engine plays to the
    // null device (and says so).
    if (!device) device = platform::makeAudioDevice();
    // One that opens afresh (the sound server's clients) opens and closes on
    // the process's JACK opener, with a stand-in behind it.
    if (!dynamic_cast<platform::FailoverAudioDevice*>(device.get()) && device->makeAnother())
        device = std::make_unique<platform::FailoverAudioDevice>(std::move(device), nullptr,
                                                                 &platform::JackOpener::shared());
    engine_ = std::make_unique<engine::SoundBox>(std::move(device), setup_.sandbox, setup_.mainLoop,
                                                 engineLibrary_.get());
    outputProblemWatch_ = std::make_unique<OutputProblemWatch>(*engine_, [this](const std::string& problem) {
        if (outputProblemChanged_) outputProblemChanged_(problem);
    });

    // The MIDI hub, playing the engine; fine without any MIDI at all (it says so).
    platform::MidiBackend* backend = setup_.midiBackend;
    if (!backend) {
        ownMidiBackend_ = platform::RtMidiBackend::open(clock(), platform::JackOpener::shared());
        backend = ownMidiBackend_.get();
    }
    midiHub_ = std::make_unique<midi::MidiController>(midi::MidiController::Setup{
        *backend, setup_.mainLoop, notificationCenter(), setup_.defaults, setup_.sandbox.documents(),
        std::filesystem::path(platform::Sandbox::kBundleFolderName).stem().string(), nullptr});
    engineMidiLink_ = std::make_unique<midi::SoundBoxMidiLink>(*engine_, *midiHub_);

    // The sequencer, on the engine, the library's patterns and the hub's clock.
    sequencerEngine_ = std::make_unique<sequencer::SoundBoxSequencerEngine>(*engine_);
    patternStore_ = std::make_unique<library::SequencerPatternStore>(*library_);
    sequencerClockOut_ = std::make_unique<sequencer::MidiControllerClockOut>(*midiHub_);
    sequencer_ = std::make_unique<sequencer::Sequencer>(sequencer::SequencerServices{
        *sequencerEngine_, *patternStore_, sequencerClockOut_.get(), setup_.mainLoop, clock(),
        setup_.sequencerDriver});
    sequencerClockFollower_ = std::make_unique<sequencer::MidiClockFollower>(*midiHub_, *sequencer_);

    // The pad screen's views of all four.
    padEngine_ = std::make_unique<PadEngineAdapter>(*engine_, setup_.mainLoop);
    padSequencer_ = std::make_unique<PadSequencerAdapter>(*sequencer_, *engine_, setup_.mainLoop);
    padLibrary_ = std::make_unique<PadLibraryAdapter>(*library_);
    padMidi_ = std::make_unique<PadMidiAdapter>(*midiHub_, setup_.mainLoop);
    sampleEditorEngine_ = std::make_unique<SampleEditorEngineAdapter>(*engine_);
}

AppMainScreen& Program::engageMainScreen(bool isIpad, ui::StrombelViewControllerDelegate* delegate) {
    makeSubsystems();
    if (!window_) setBackgroundBlack();
    ui::PadScreenServices services = padScreenServices();
    if (isIpad) {
        padScreen_ = std::make_unique<ui::StrombelViewController>(services, setup_.defaults);
    } else if (setup_.guiType == ui::GuiType::phonePortrait) {
        // The upright screen is up from the start, and the status bar with it.
        ui::kit::Screen upright = ui::kit::Context::current().screen();
        upright.statusBarOrientation = int(ui::kit::DeviceOrientation::portrait);
        ui::kit::Context::current().setScreen(upright);
        padScreen_ = std::make_unique<ui::StrombelIphonePortraitViewController>(services, setup_.defaults);
    } else {
        padScreen_ = std::make_unique<ui::StrombelIphoneViewController>(services, setup_.defaults);
    }
    padScreen_->setDelegate(delegate);
    padScreen_->setSampleEditorServices({sampleEditorEngine_.get(), library_.get(), {setup_.exchangePort, &network()}});
    padScreen_->setWindow(window_.get());
    window_->setRootView(padScreen_->takeView());
    // Only the phone landscape screen turns with the device.
    if (setup_.guiType == ui::GuiType::phoneLandscape && setup_.orientationSensor)
        orientationFeed_ = std::make_unique<OrientationFeed>(*deviceOrientation_, *setup_.orientationSensor);
    mainScreen_ = std::make_unique<MainScreen>(*padScreen_);
    problems_.setLinePresenter([this](const std::string& text) {
        if (padScreen_) padScreen_->setStorageWarning(QString::fromStdString(text));
    });
    storageProblems_ = std::make_unique<StorageProblems>(library_.get(), setup_.defaults, setup_.mainLoop, problems_);
    if (midiHub_) storageProblems_->watchNoteMap(*midiHub_);
    return *mainScreen_;
}

void Program::makeKeyAndVisible() {
    if (!window_) return;
    // The pad screen comes on screen: its settings come back.
    if (padScreen_) padScreen_->viewWillAppear();
    if (setup_.showWindow) {
        const QRectF scene = window_->sceneRect();
        window_->resize(int(scene.width() * setup_.windowScale), int(scene.height() * setup_.windowScale));
        window_->show();
    }
}

void Program::showLaunchProblem(const std::string& title, const std::string& message) {
    // The application delegate logs what it met at start as it meets it.
    problems_.alert(title, message, ui::kit::ProblemReporter::Log::notHere);
}

void Program::takeBackLaunchProblem(const std::string& title) { problems_.takeBack(title); }

// ---- The engine, as the life-cycle drives it ------------------------------------------

bool Program::start() {
    makeSubsystems();
    // An output that already runs (the engine starts it when it is made) is fine.
    return engine_->start() || engine_->running();
}

void Program::startOverrideIsPlayingCheck(bool overrideCheck) {
    if (engine_) engine_->startOverrideIsPlayingCheck(overrideCheck);
}

void Program::stop() {
    if (engine_) engine_->stop();
}

void Program::clearUnusedCache() {
    if (engine_) engine_->clearUnusedCache();
}

std::string Program::lastError() const { return engine_ ? engine_->audioUnit().lastError() : std::string(); }

}  // namespace strombel::app
