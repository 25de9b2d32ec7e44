#include "ui/modal_screen.h"

#include <algorithm>

#include "ui/kit/context.h"
#include "ui/kit/presenters.h"
#include "ui/kit/window.h"

namespace strombel::ui {

void ModalScreen::present(std::unique_ptr<ModalScreen> screen, kit::Window& window, std::function<void()> dismissed) {
    screen->window_ = &window;
    screen->dismissed_ = std::move(dismissed);
    if (const kit::View* shown = window.shownView()) screen->fitInto(shown->bounds().size());
    kit::Context::current().modals().present(window, std::move(screen), true);
}

void ModalScreen::fitInto(const QSizeF& shown) {
    const QSizeF own = size();
    if (own.isEmpty() || shown.isEmpty() || (own.width() <= shown.width() && own.height() <= shown.height())) return;
    auto layout = std::make_unique<kit::View>(QRectF(QPointF(0, 0), own));
    layout->setBackgroundColor(backgroundColor());
    for (kit::View* child : subviews()) layout->add(child->removeFromSuperview());
    const double scale = std::min(shown.width() / own.width(), shown.height() / own.height());
    setFrame(QRectF(QPointF(0, 0), shown));
    setBackgroundColor(Qt::black);
    layout->setScale(scale);
    layout->setX((shown.width() - own.width() * scale) / 2, (shown.height() - own.height() * scale) / 2);
    add(std::move(layout));
}

void ModalScreen::dismiss() {
    if (!window_) return;
    auto dismissed = dismissed_;
    kit::Context::current().modals().dismiss(*window_, true, [dismissed] {
        if (dismissed) dismissed();
    });
}

}  // namespace strombel::ui
