#include "app/start_failure.h"

#include <QGuiApplication>
#include <QMessageBox>
#include <QSocketNotifier>
#include <QString>

#include <cstdio>
#include <optional>

#include "platform/termination_signals.h"

namespace strombel::app {

bool showsWindows() {
    const QString platform = QGuiApplication::platformName();
    return !platform.isEmpty() && platform != "offscreen" && platform != "minimal";
}

int endStart(const std::string& reason, const std::string& advice) {
    std::fprintf(stderr, "strombel: %s\n", reason.c_str());
    if (showsWindows()) {
        // Started from a menu or a file manager, the user sees no standard error.
        QMessageBox box(QMessageBox::Critical, "Strombel",
                        QString::fromStdString("Strombel cannot start: " + reason + "."), QMessageBox::Ok);
        box.setInformativeText(QString::fromStdString(advice));
        // Ctrl-C or SIGTERM ends it as they end the program, with the same status.
        std::optional<QSocketNotifier> signal;
        if (const int pending = platform::terminationSignalDescriptor(); pending >= 0) {
            signal.emplace(pending, QSocketNotifier::Read);
            QObject::connect(&*signal, &QSocketNotifier::activated, &box, [&box] {
                platform::takeTerminationSignals();
                box.reject();
            });
        }
        if (!platform::terminationRequested()) box.exec();
    }
    return 1;
}

}  // namespace strombel::app
