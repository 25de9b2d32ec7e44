#include "ui/kit/context.h"

#include "platform/required.h"
#include "ui/kit/animator.h"
#include "ui/kit/presenters.h"
#include "ui/kit/problem_reporter.h"

namespace strombel::ui::kit {

namespace {
Context* currentContext = nullptr;
}

Context::Context(platform::MainLoop& loop, Screen screen)
    : loop_(loop),
      screen_(screen),
      animator_(std::make_unique<Animator>(loop)),
      alerts_(std::make_unique<QtAlertPresenter>()),
      editMenu_(std::make_unique<QtEditMenuPresenter>()),
      modals_(std::make_unique<OverlayModalPresenter>()),
      urlOpener_(std::make_unique<XdgUrlOpener>()),
      problems_(std::make_unique<ProblemReporter>(ProblemReporter::onAlertsOf(*this))),
      previous_(currentContext) {
    currentContext = this;
}

Context::~Context() {
    if (currentContext == this) currentContext = previous_;
}

Context& Context::current() {
    // The program makes its own at its start, a test its own.
    if (currentContext == nullptr) platform::missingDependency("a ui::kit::Context (none is live)");
    return *currentContext;
}

void Context::setAlerts(std::unique_ptr<AlertPresenter> presenter) {
    alerts_ = std::move(presenter);
}
void Context::setEditMenu(std::unique_ptr<EditMenuPresenter> presenter) {
    editMenu_ = std::move(presenter);
}
void Context::setModals(std::unique_ptr<ModalPresenter> presenter) {
    modals_ = std::move(presenter);
}
void Context::setUrlOpener(std::unique_ptr<UrlOpener> opener) {
    urlOpener_ = std::move(opener);
}

}  // namespace strombel::ui::kit
