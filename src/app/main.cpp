// Strombel: the program. `strombel --help` lists the options.

#include <QApplication>
#include <QProcess>
#include <QScreen>

#include <algorithm>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/command_line.h"
#include "app/crash_upload_alert.h"
#include "app/desktop_session.h"
#include "app/launch_watch.h"
#include "app/loggers.h"
#include "app/main_loop_pump.h"
#include "app/open_url_handover.h"
#include "app/program.h"
#include "app/shared_services.h"
#include "app/start_failure.h"
#include "crash/crash_upload_manager.h"
#include "info/rating_prompt.h"
#include "ui/info/social_dialog_panel.h"
#include "logging/log.h"
#include "platform/data_folder_lock.h"
#include "platform/device_facts.h"
#include "platform/sandbox.h"
#include "platform/termination_signals.h"
#include "platform/thread_role.h"
#include "platform/user_defaults.h"
#include "ui/image_store.h"
#include "ui/kit/context.h"
#include "ui/kit/window.h"

namespace {

/// While Qt looks for its display: a display that cannot be reached ends the
/// program with our word for it instead of Qt's abort.
void onQtMessageWhileConnecting(QtMsgType type, const QMessageLogContext&, const QString& message) {
    if (type == QtFatalMsg) {
        std::fprintf(stderr, "strombel: %s\n", strombel::app::unreachableDisplayProblem().c_str());
        std::_Exit(1);
    }
    STROMBEL_LOG_DEBUG("Qt: {}", message.toStdString());
}

/// Once the display is there: Qt's own notes (debug and info, such as the web
/// engine's set-up) go to the debug log; its warnings go where Qt puts them.
QtMessageHandler qtDefaultHandler = nullptr;
void onQtMessage(QtMsgType type, const QMessageLogContext& context, const QString& message) {
    if (type == QtDebugMsg || type == QtInfoMsg) {
        STROMBEL_LOG_DEBUG("Qt: {}", message.toStdString());
        return;
    }
    if (qtDefaultHandler) qtDefaultHandler(type, context, message);
}

// SIGTERM and SIGINT are held from the program's first instruction, before any
// library's initialisers run (the loader calls this before them): from then on
// they end the program the one way below, never half made.
void holdTerminationSignalsFirst(int, char**, char**) { strombel::platform::holdTerminationSignals(); }
[[gnu::section(".preinit_array"), gnu::used]] void (*const kHoldTerminationSignalsFirst)(int, char**, char**) =
    holdTerminationSignalsFirst;

int run(int argc, char** argv, std::optional<strombel::platform::DataFolderLock>& folder);

}  // namespace

int main(int argc, char** argv) {
    // Before anything else (again, for a loader that runs no early hook).
    strombel::platform::holdTerminationSignals();
    // A write to a pipe nobody reads any more (standard error piped to a reader
    // that ended, a peer's socket gone) fails with EPIPE and is told like any
    // failed write; it does not end the program.
    std::signal(SIGPIPE, SIG_IGN);
    // The data folder is this program's until the process ends, after the
    // last write of anything in it.
    std::optional<strombel::platform::DataFolderLock> folder;
    const int status = run(argc, argv, folder);
    // Everything run() made is taken down; what lives for the whole process ends
    // now, its threads joined, before any static object is destroyed.
    if (!strombel::app::endSharedServices()) {
        // A JACK open still waits inside libjack on a thread of its own: no
        // static destructor runs under it. The log is written already.
        std::fflush(nullptr);
        std::_Exit(status);
    }
    return status;
}

namespace {

/// The program from its command line to the end of its session, on the data
/// folder it takes into `folder`. A termination signal ends the start-up at its
/// next step and takes the same way out as a quit from the window.
int run(int argc, char** argv, std::optional<strombel::platform::DataFolderLock>& folder) {
    using namespace strombel;
    const app::CommandLine options = app::parseCommandLine(std::vector<std::string>(argv, argv + argc));
    if (options.help) {
        std::fputs(app::commandLineHelp().c_str(), stdout);
        return 0;
    }
    if (!options.error.empty()) {
        std::fprintf(stderr, "strombel: %s\nTry 'strombel --help'.\n", options.error.c_str());
        return app::kCommandLineErrorStatus;
    }
    // A signal during the start is taken at its next step, or by the watch when
    // a step does not come back.
    std::optional<app::LaunchWatch> launchWatch(std::in_place);
    if (options.root)
        platform::Sandbox::setShared(std::make_unique<platform::Sandbox>(*options.root, platform::Sandbox::defaultBundle()));
    platform::Sandbox& sandbox = platform::Sandbox::shared();
    // One program per data folder: the first start holds it until it ends. A
    // later start hands its address over to that one, or ends.
    std::string cannotStart;  // told once a message box can be shown
    std::string advice = app::kFolderAdvice;
    if (platform::Result<void> folders = sandbox.createFolders(); !folders) {
        cannotStart = folders.error().message();
    } else {
        folder.emplace(sandbox.root());
        if (folder->ownedElsewhere()) {
            app::HandOverTries tries;
            tries.clock = &platform::SystemClock::shared();
            app::SecondStart second = app::startOnOwnedFolder(*folder, sandbox.root(), options.openUrl, tries);
            if (second.status) return *second.status;
            cannotStart = second.reason;
            if (!second.advice.empty()) advice = second.advice;
        } else if (!folder->owned()) {
            cannotStart = folder->problem();
        }
    }
    // The address is for a Strombel that runs: with none, nothing starts for it.
    if (options.openUrl && cannotStart.empty() && folder && folder->owned())
        return app::refuseWithNoOwner(*options.openUrl, sandbox.root());
    if (std::string problem = app::missingDisplayProblem(); !problem.empty()) {
        std::fprintf(stderr, "strombel: %s\n", (cannotStart.empty() ? problem : cannotStart).c_str());
        return 1;
    }

    if (platform::terminationRequested()) return 0;

    info::prepareWebEngine();
    QtMessageHandler qtHandler = qInstallMessageHandler(onQtMessageWhileConnecting);
    QApplication application(argc, argv);
    qtDefaultHandler = qtHandler;
    qInstallMessageHandler(onQtMessage);
    QApplication::setApplicationName("Strombel");
    if (platform::terminationRequested()) return 0;

    if (!cannotStart.empty()) return app::endStart(cannotStart, advice);
    if (std::string problem = platform::Sandbox::bundleProblem(sandbox.bundle()); !problem.empty())
        std::fprintf(stderr, "strombel: %s\n", problem.c_str());
    platform::UserDefaults& defaults = platform::UserDefaults::shared();
    platform::MainLoop& loop = platform::MainLoop::shared();
    app::MainLoopPump pump(loop);
    // The main loop's thread has its role now; every other thread that calls an
    // API kept for one thread must have its own (development builds check).
    platform::requireThreadRoles();
    ui::kit::Context context(loop, options.guiType == ui::GuiType::tablet ? ui::kit::Screen::tablet()
                                                                      : ui::kit::Screen::phone());

    // The layouts are in points of the tablet or the phone: the phone's want
    // twice the pixels to read as on the phone, and pictures are drawn for every
    // pixel of the screen, at the screen's own pixel ratio.
    const QSizeF points = options.guiType == ui::GuiType::tablet           ? QSizeF(1024, 768)
                          : options.guiType == ui::GuiType::phoneLandscape ? QSizeF(480, 320)
                                                                           : QSizeF(320, 480);
    double windowScale = options.guiType == ui::GuiType::tablet ? 1.0 : 2.0;
    double pixelRatio = 1.0;
    if (QScreen* screen = QGuiApplication::primaryScreen()) {
        // Room for the window manager's frame and a panel.
        const QSizeF available = QSizeF(screen->availableGeometry().size()) - QSizeF(32, 64);
        windowScale = ui::kit::Window::openingScale(points, available, windowScale);
        pixelRatio = screen->devicePixelRatio();
    }
    ui::ImageStore::setShared(std::make_unique<ui::ImageStore>(sandbox.bundle(), std::ceil(windowScale * pixelRatio)));

    app::ProgramSetup setup(sandbox, defaults, loop, platform::SystemClock::shared(),
                            platform::NotificationCenter::shared());
    setup.dataFolder = &*folder;
    setup.guiType = options.guiType;
    setup.windowScale = windowScale;
    setup.ratingPrompt = &info::RatingPrompt::sharedInstance();
    setup.installLoggers = app::installLoggers;
    setup.hubLaunchURL = options.launchURL;
    setup.openURL = [](const std::string& url) { QProcess::startDetached("xdg-open", {QString::fromStdString(url)}); };
    setup.store = store::StoreSettings::fromEnvironment();
    if (options.storeURL) setup.store->setBaseURL(*options.storeURL);
    setup.orientationSensor = QByteArray();  // the system's own, when it has one
    setup.launchCancelled = platform::terminationRequested;
    if (platform::terminationRequested()) return 0;
    app::Program program(std::move(setup));
    program.launch();
    // Addresses the desktop opens come through the local socket.
    std::optional<app::OpenUrlServer> openUrls;
    if (auto socket = app::OpenUrlServer::socketPathFor(sandbox.root())) {
        openUrls.emplace(*socket, app::OpenUrlServer::ExplainingHandler(
                                      [&program](const std::string& url) { return program.delegate().openURL(url); }),
                         loop);
        // A start whose runtime folder is another finds the socket through the data folder.
        if (openUrls->isListening() && !openUrls->announceIn(sandbox.root()))
            STROMBEL_LOG_WARN("Addresses opened from another session cannot reach Strombel: {}", openUrls->error());
    } else {
        STROMBEL_LOG_ERROR("Addresses opened by the desktop cannot reach Strombel: {}", socket.error().message());
    }
    // The analytics client (never started) would read the device class and the
    // screen from the platform's facts.
    const ui::kit::Screen& screen = context.screen();
    platform::DeviceFacts::setScreen({screen.idiom == ui::kit::Screen::Idiom::pad, screen.bounds.width(),
                                      screen.bounds.height(), screen.statusBarOrientation, screen.scale});

    launchWatch.reset();
    app::DesktopSession session(
        program.delegate(),
        [&] {
            program.flush();
            app::flushLoggers();
        },
        platform::NotificationCenter::shared());
    session.catchTerminationSignals();
    if (!session.watchMemoryPressure()) {
        STROMBEL_LOG_INFO("The system reports no memory pressure here: Strombel gets no memory warnings");
    }
    // The crash upload client (never started) would ask the session and show its
    // alert with the kit's presenter.
    app::KitCrashUploadAlert crashUploadAlert;
    crash::CrashUploadManager& crashUpload = crash::CrashUploadManager::sharedCrashUploadManager();
    crashUpload.setAlertPresenter(&crashUploadAlert);
    crashUpload.setApplicationActiveQuery([&session] { return session.isActive(); });
    // A launch ended early may have made no window.
    if (program.delegate().launchCompleted()) {
        session.watch(&program.window());
        // On a screen of another pixel ratio the pictures are drawn anew for it.
        program.window().setDevicePixelRatioHandler([&program, windowScale](double ratio) {
            ui::ImageStore& images = ui::ImageStore::shared();
            if (images.setPixelRatio(std::ceil(windowScale * ratio)))
                program.window().replaceImages([&images](const QImage& old) { return images.redrawn(old); });
        });
    }
    // A signal that came during the launch skips the loop; one that comes later
    // ends it through the session.
    int result = 0;
    if (!platform::terminationRequested()) result = QApplication::exec();
    // The one way out: the terminate hook, the background tasks' grace, the log
    // and the library written. Then everything made above goes in the reverse
    // order of its making: the session, the address server, the program (which
    // stops and joins every thread it started: the engine's, the sequencer's,
    // MIDI, the hub's), the kit and Qt.
    session.shutdown();
    crashUpload.setAlertPresenter(nullptr);
    crashUpload.setApplicationActiveQuery({});
    return result;
}

}  // namespace
