#pragma once

#include <functional>
#include <string>
#include <utility>

#include "platform/error.h"

namespace strombel::ui::kit {

class Context;

/// The one way the program tells the user that something went wrong: alerts (a
/// title, a message and an OK button), the red line on the pad screen, and the
/// log, which hears every alert as an error unless the part that found the
/// problem logs it itself. Each context has one (`Context::problems()`), which
/// the screens and the program tell their failures to. Main loop only.
class ProblemReporter {
public:
    struct Presenters {
        std::function<void(const std::string& title, const std::string& message)> showAlert;
        /// Closes the alert of `title` if it is still open.
        std::function<void(const std::string& title)> dismissAlert;
        /// Shows `text` in the red line; empty clears it.
        std::function<void(const std::string& text)> showLine;
    };
    /// Whether an alert goes to the log here, or where the problem was found.
    enum class Log { asError, notHere };

    explicit ProblemReporter(Presenters presenters) : presenters_(std::move(presenters)) {}
    /// On `context`'s alerts, with no line until one is set.
    static ProblemReporter onAlertsOf(const Context& context);

    void alert(const std::string& title, const std::string& message, Log log = Log::asError);
    /// Shows `error`'s message; the log gets its whole description (domain,
    /// code, details and causes).
    void alert(const std::string& title, const platform::Error& error);
    /// Takes back what was told under `title` that is no longer true.
    void takeBack(const std::string& title);

    /// The pad screen's line, once the screen is there.
    void setLinePresenter(std::function<void(const std::string& text)> showLine) {
        presenters_.showLine = std::move(showLine);
    }
    void showLine(const std::string& text) {
        if (presenters_.showLine) presenters_.showLine(text);
    }

private:
    Presenters presenters_;
};

}  // namespace strombel::ui::kit
