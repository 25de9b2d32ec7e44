#include "ui/editor/edit_sample_view_controller.h"

#include <filesystem>

#include "ui/gui_factory.h"
#include "ui/kit/control.h"
#include "ui/kit/label.h"

namespace strombel::editor {

EditSampleViewController::EditSampleViewController(ui::GuiType guiType, platform::UserDefaults& defaults)
    : guiType_(guiType), defaults_(defaults) {
    ui::GuiFactory factory(guiType_);
    const double width = factory.controlsWidth(), height = factory.controlsSquareHeight();
    view_ = std::make_unique<ui::kit::View>(QRectF(0, 0, width, height));
    viewPointer_ = view_.get();
    view_->setBackgroundColor(QColor(20, 20, 20));
    const int32_t size = ui::GuiFactory::textSize(guiType_);
    auto name = ui::GuiFactory::labelWithFrame(QRectF(0, height * 0.4, width, size * 2), size);
    name->setText("NO SAMPLE");
    nameLabel_ = view_->add(std::move(name));
    auto close = std::make_unique<ui::kit::Button>(QRectF(width / 2 - 50, height * 0.7, 100, size * 3));
    close->setTitle("CLOSE");
    close->setTitleFont(ui::GuiFactory::interfaceFont(size));
    close->addTarget(ui::kit::touchUpInside, [this](ui::kit::Control&) { closeBtnPressed(); });
    view_->add(std::move(close));
}

void EditSampleViewController::openSample(const std::string& relativePath) {
    if (recording_) return;
    openedSample_ = relativePath;
    static_cast<ui::kit::Label*>(nameLabel_)
        ->setText(QString::fromStdString(std::filesystem::path(relativePath).stem().string()).toUpper());
    defaults_.setString(kOpenedSampleKey, relativePath);
}

void EditSampleViewController::prepareForDismissal() { recording_ = false; }

void EditSampleViewController::closeBtnPressed() {
    if (!recording_ && delegate_) delegate_->editSampleViewControllerWantsToClose(*this);
}

}  // namespace strombel::editor
