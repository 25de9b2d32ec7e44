#include "info/strombel_information_view_controller.h"

#include "ui/gui_factory.h"
#include "ui/kit/context.h"
#include "ui/kit/control.h"
#include "ui/kit/label.h"
#include "ui/kit/presenters.h"
#include "ui/kit/window.h"
#include "ui/util.h"

namespace strombel::info {

StrombelInformationViewController::StrombelInformationViewController(int32_t guiType) : guiType_(guiType) {
    const auto& screen = ui::kit::Context::current().screen();
    const double width = ui::Util::screenHeight(screen), height = ui::Util::screenWidth(screen);
    setFrame(QRectF(0, 0, width, height));
    setBackgroundColor(Qt::black);
    const int32_t size = ui::GuiFactory::textSize(guiType_) * 2;
    auto title = ui::GuiFactory::labelWithFrame(QRectF(0, height * 0.3, width, size * 2), size);
    title->setText("STROMBEL");
    add(std::move(title));
    auto done = std::make_unique<ui::kit::Button>(QRectF(width / 2 - 60, height * 0.6, 120, size * 2.5));
    done->setTitle("DONE");
    done->setTitleFont(ui::GuiFactory::interfaceFont(size));
    done->setTitleColor(ui::GuiFactory::rustyColor());
    done->addTarget(ui::kit::touchUpInside, [this](ui::kit::Control&) { doneBtnPressed(); });
    add(std::move(done));
}

void StrombelInformationViewController::present(std::unique_ptr<StrombelInformationViewController> screen,
                                                ui::kit::Window& window, std::function<void()> dismissed) {
    screen->window_ = &window;
    screen->dismissed_ = std::move(dismissed);
    ui::kit::Context::current().modals().present(window, std::move(screen), true);
}

void StrombelInformationViewController::doneBtnPressed() {
    if (!window_) return;
    auto dismissed = dismissed_;
    ui::kit::Context::current().modals().dismiss(*window_, true, [dismissed] {
        if (dismissed) dismissed();
    });
}

}  // namespace strombel::info
