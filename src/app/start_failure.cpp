#include "app/start_failure.h"

#include <QGuiApplication>
#include <QMessageBox>
#include <QString>

#include <cstdio>

namespace strombel::app {

bool showsWindows() {
    const QString platform = QGuiApplication::platformName();
    return !platform.isEmpty() && platform != "offscreen" && platform != "minimal";
}

int endStart(const std::string& reason) {
    std::fprintf(stderr, "strombel: %s\n", reason.c_str());
    if (showsWindows()) {
        // Started from a menu or a file manager, the user sees no standard error.
        QMessageBox box(QMessageBox::Critical, "Strombel",
                        QString::fromStdString("Strombel cannot start: " + reason + "."), QMessageBox::Ok);
        box.setInformativeText("Start it with --root and a folder it may write, or make this one writable.");
        box.exec();
    }
    return 1;
}

}  // namespace strombel::app
