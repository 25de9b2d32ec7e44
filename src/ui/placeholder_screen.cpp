#include "ui/placeholder_screen.h"

#include "ui/gui_factory.h"
#include "ui/kit/context.h"
#include "ui/kit/control.h"
#include "ui/kit/label.h"
#include "ui/kit/presenters.h"
#include "ui/kit/window.h"
#include "ui/util.h"

namespace strombel::ui {

PlaceholderScreen::PlaceholderScreen(GuiType guiType, const QString& title) : guiType_(guiType) {
    const auto& screen = kit::Context::current().screen();
    const double width = Util::screenHeight(screen), height = Util::screenWidth(screen);
    setFrame(QRectF(0, 0, width, height));
    setBackgroundColor(Qt::black);
    const int32_t size = GuiFactory::textSize(guiType_) * 2;
    auto caption = GuiFactory::labelWithFrame(QRectF(0, height * 0.3, width, size * 2), size);
    caption->setText(title);
    add(std::move(caption));
    auto done = std::make_unique<kit::Button>(QRectF(width / 2 - 60, height * 0.6, 120, size * 2.5));
    done->setTitle("DONE");
    done->setTitleFont(GuiFactory::interfaceFont(size));
    done->setTitleColor(GuiFactory::rustyColor());
    done->addTarget(kit::touchUpInside, [this](kit::Control&) { doneBtnPressed(); });
    add(std::move(done));
}

void PlaceholderScreen::present(std::unique_ptr<PlaceholderScreen> screen, kit::Window& window,
                                std::function<void()> dismissed) {
    screen->window_ = &window;
    screen->dismissed_ = std::move(dismissed);
    kit::Context::current().modals().present(window, std::move(screen), true);
}

void PlaceholderScreen::doneBtnPressed() {
    if (!window_) return;
    auto dismissed = dismissed_;
    kit::Context::current().modals().dismiss(*window_, true, [dismissed] {
        if (dismissed) dismissed();
    });
}

}  // namespace strombel::ui
