#include "ui/kit/problem_reporter.h"

#include <QString>
#include <QStringList>

#include "logging/log.h"
#include "ui/kit/context.h"
#include "ui/kit/presenters.h"

namespace strombel::ui::kit {

ProblemReporter ProblemReporter::onAlertsOf(const Context& context) {
    Presenters presenters;
    presenters.showAlert = [&context](const std::string& title, const std::string& message) {
        context.alerts().showAlert(QString::fromStdString(title), QString::fromStdString(message), {"OK"},
                                   [](const QString&) {});
    };
    presenters.dismissAlert = [&context](const std::string& title) {
        context.alerts().dismissAlert(QString::fromStdString(title));
    };
    return ProblemReporter(std::move(presenters));
}

void ProblemReporter::alert(const std::string& title, const std::string& message, Log log) {
    if (log == Log::asError) STROMBEL_LOG_ERROR("{}", message);
    if (presenters_.showAlert) presenters_.showAlert(title, message);
}

void ProblemReporter::alert(const std::string& title, const platform::Error& error) {
    STROMBEL_LOG_ERROR("{}", error.description());
    alert(title, error.message(), Log::notHere);
}

void ProblemReporter::takeBack(const std::string& title) {
    if (presenters_.dismissAlert) presenters_.dismissAlert(title);
}

}  // namespace strombel::ui::kit
