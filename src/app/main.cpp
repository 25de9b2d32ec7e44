// Strombel: the program. `strombel --help` lists the options.

#include <QApplication>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "app/command_line.h"
#include "app/desktop_session.h"
#include "app/loggers.h"
#include "app/main_loop_pump.h"
#include "app/program.h"
#include "info/rating_prompt.h"
#include "logging/log.h"
#include "platform/sandbox.h"
#include "platform/user_defaults.h"
#include "ui/kit/context.h"

namespace {

/// While Qt looks for its display: a display that cannot be reached ends the
/// program with our word for it instead of Qt's abort.
void onQtMessageWhileConnecting(QtMsgType type, const QMessageLogContext&, const QString& message) {
    if (type == QtFatalMsg) {
        std::fprintf(stderr, "strombel: %s\n", strombel::app::kNoDisplayMessage);
        std::_Exit(1);
    }
    STROMBEL_LOG_DEBUG("Qt: {}", message.toStdString());
}

}  // namespace

int main(int argc, char** argv) {
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
    if (std::string problem = app::missingDisplayProblem(); !problem.empty()) {
        std::fprintf(stderr, "strombel: %s\n", problem.c_str());
        return 1;
    }

    QtMessageHandler qtHandler = qInstallMessageHandler(onQtMessageWhileConnecting);
    QApplication application(argc, argv);
    qInstallMessageHandler(qtHandler);
    QApplication::setApplicationName("Strombel");

    if (options.root)
        platform::Sandbox::setShared(std::make_unique<platform::Sandbox>(*options.root, platform::Sandbox::defaultBundle()));
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

    app::DesktopSession session(program.delegate(), [&] {
        program.flush();
        app::flushLoggers();
    });
    session.catchTerminationSignals();
    if (!session.watchMemoryPressure()) {
        STROMBEL_LOG_INFO("The system reports no memory pressure here: Strombel gets no memory warnings");
    }
    session.watch(&program.window());
    int result = QApplication::exec();
    session.shutdown();
    return result;
}
