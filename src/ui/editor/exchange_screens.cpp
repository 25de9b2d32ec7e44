#include "ui/editor/exchange_screens.h"

#include "ui/gui_factory.h"
#include "ui/kit/context.h"
#include "ui/kit/control.h"
#include "ui/kit/label.h"
#include "ui/kit/presenters.h"
#include "ui/kit/window.h"

namespace strombel::editor {

ExchangeSheet::ExchangeSheet(const QString& title) {
    const double width = 540, height = 320;
    setFrame(QRectF(0, 0, width, height));
    setBackgroundColor(QColor(30, 30, 30));
    auto label = ui::GuiFactory::labelWithFrame(QRectF(0, 60, width, 30), 16);
    label->setText(title);
    add(std::move(label));
    auto done = std::make_unique<ui::kit::Button>(QRectF(width / 2 - 60, 200, 120, 40));
    done->setTitle("DONE");
    done->setTitleFont(ui::GuiFactory::interfaceFont(14));
    done->addTarget(ui::kit::touchUpInside, [this](ui::kit::Control&) { doneBtnPressed(); });
    add(std::move(done));
}

void ExchangeSheet::present(std::unique_ptr<ExchangeSheet> sheet, ui::kit::Window& window,
                            std::function<void()> dismissed) {
    sheet->window_ = &window;
    sheet->dismissed_ = std::move(dismissed);
    ui::kit::Context::current().modals().present(window, std::move(sheet), true);
}

void ExchangeSheet::doneBtnPressed() {
    if (!window_) return;
    auto dismissed = dismissed_;
    ui::kit::Context::current().modals().dismiss(*window_, true, [dismissed] {
        if (dismissed) dismissed();
    });
}

AudioExchangeViewController::AudioExchangeViewController(std::string path)
    : ExchangeSheet("COPY TO AUDIO EXCHANGE"), path_(std::move(path)) {}

ExchangePasteViewController::ExchangePasteViewController(std::string folder)
    : ExchangeSheet("PASTE FROM AUDIO EXCHANGE"), folder_(std::move(folder)) {}

}  // namespace strombel::editor
