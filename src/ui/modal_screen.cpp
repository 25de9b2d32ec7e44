#include "ui/modal_screen.h"

#include "ui/kit/context.h"
#include "ui/kit/presenters.h"
#include "ui/kit/window.h"

namespace strombel::ui {

void ModalScreen::present(std::unique_ptr<ModalScreen> screen, kit::Window& window, std::function<void()> dismissed) {
    screen->window_ = &window;
    screen->dismissed_ = std::move(dismissed);
    kit::Context::current().modals().present(window, std::move(screen), true);
}

void ModalScreen::dismiss() {
    if (!window_) return;
    auto dismissed = dismissed_;
    kit::Context::current().modals().dismiss(*window_, true, [dismissed] {
        if (dismissed) dismissed();
    });
}

}  // namespace strombel::ui
