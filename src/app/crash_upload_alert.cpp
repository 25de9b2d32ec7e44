#include "app/crash_upload_alert.h"

#include <QString>
#include <QStringList>

#include "ui/kit/context.h"
#include "ui/kit/presenters.h"

namespace strombel::app {

void KitCrashUploadAlert::showAlert(const std::string& title, const std::string& message,
                                    const std::vector<std::string>& buttons,
                                    std::function<void(int64_t buttonIndex)> answer) {
    QStringList titles;
    for (const std::string& button : buttons) titles << QString::fromStdString(button);
    ui::kit::Context::current().alerts().showAlert(
        QString::fromStdString(title), QString::fromStdString(message), titles,
        [titles, answer = std::move(answer)](const QString& chosen) { answer(titles.indexOf(chosen)); });
}

}  // namespace strombel::app
