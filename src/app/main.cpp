// Strombel: the program. Options:
//   --gui 0|1|2   the layout: 0 tablet (the default), 1 phone landscape, 2 phone portrait
//   --root DIR    keep the library, settings and recordings in DIR

#include <QApplication>

#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>
#include <string>

#include "app/crash_upload_alert.h"
#include "app/desktop_session.h"
#include "app/loggers.h"
#include "app/main_loop_pump.h"
#include "app/program.h"
#include "crash/crash_upload_manager.h"
#include "info/rating_prompt.h"
#include "logging/log.h"
#include "platform/device_facts.h"
#include "platform/sandbox.h"
#include "platform/user_defaults.h"
#include "ui/kit/context.h"

namespace {

struct Options {
    int guiType = 0;
    bool help = false;
    std::string error;
};

Options parse(int argc, char** argv) {
    Options options;
    for (int i = 1; i < argc; ++i) {
        std::string argument = argv[i];
        std::string value;
        if (argument == "--help" || argument == "-h") {
            options.help = true;
            continue;
        }
        if (argument == "--gui" && i + 1 < argc) {
            value = argv[++i];
        } else if (argument.rfind("--gui=", 0) == 0) {
            value = argument.substr(6);
        } else if (argument == "--gui") {
            options.error = "--gui needs a value: 0, 1 or 2";
            continue;
        } else {
            continue;
        }
        if (value == "0" || value == "1" || value == "2") {
            options.guiType = value[0] - '0';
        } else {
            options.error = "--gui takes 0 (tablet), 1 (phone landscape) or 2 (phone portrait), not \"" + value + "\"";
        }
    }
    return options;
}

}  // namespace

int main(int argc, char** argv) {
    using namespace strombel;
    Options options = parse(argc, argv);
    if (options.help) {
        std::printf("Usage: strombel [--gui 0|1|2] [--root DIR]\n"
                    "  --gui 0|1|2   layout: 0 tablet (default), 1 phone landscape, 2 phone portrait\n"
                    "  --root DIR    keep the library, settings and recordings in DIR\n");
        return 0;
    }
    if (!options.error.empty()) {
        std::fprintf(stderr, "strombel: %s\n", options.error.c_str());
        return 2;
    }

    QApplication application(argc, argv);
    QApplication::setApplicationName("Strombel");

    if (auto root = platform::Sandbox::rootFromArguments(argc, argv))
        platform::Sandbox::setShared(std::make_unique<platform::Sandbox>(*root, platform::Sandbox::defaultBundle()));
    platform::Sandbox& sandbox = platform::Sandbox::shared();
    if (!sandbox.createFolders()) {
        std::fprintf(stderr, "strombel: the folder %s cannot be made or written\n", sandbox.root().c_str());
        return 1;
    }
    platform::UserDefaults& defaults = platform::UserDefaults::shared();
    platform::MainLoop& loop = platform::MainLoop::shared();
    app::MainLoopPump pump(loop);
    ui::kit::Context context(loop, options.guiType == 0 ? ui::kit::Screen::tablet() : ui::kit::Screen::phone());

    app::ProgramSetup setup(sandbox, defaults, loop);
    setup.guiType = options.guiType;
    setup.ratingPrompt = &info::RatingPrompt::sharedInstance();
    setup.installLoggers = app::installLoggers;
    app::Program program(std::move(setup));
    program.launch();
    // The analytics client (never started) would read the device class and the
    // screen from the platform's facts.
    const ui::kit::Screen& screen = context.screen();
    platform::DeviceFacts::setScreen({screen.idiom == ui::kit::Screen::Idiom::pad, screen.bounds.width(),
                                      screen.bounds.height(), screen.statusBarOrientation, screen.scale});

    app::DesktopSession session(program.delegate(), [&] {
        program.flush();
        app::flushLoggers();
    });
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
    session.watch(&program.window());
    int result = QApplication::exec();
    session.shutdown();
    crashUpload.setAlertPresenter(nullptr);
    crashUpload.setApplicationActiveQuery({});
    return result;
}
