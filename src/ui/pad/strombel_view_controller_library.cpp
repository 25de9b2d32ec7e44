// The name field (bank names, export names, names of pasted samples), the choice
// of the current bank, the library browser's requests and the library's messages.

#include <QStringList>

#include <algorithm>
#include <filesystem>

#include "logging/log.h"
#include "ui/kit/problem_reporter.h"
#include "ui/pad/strombel_view_controller.h"

namespace strombel::ui {

namespace {

constexpr int kMaxNameLength = 22;

}  // namespace

// ---- The name field -------------------------------------------------------------------

bool StrombelViewController::editNameAppearWithValue(const QString& value, const QString& prompt) {
    if (editNameTextfield_ || !rootViewPointer_) return false;
    const QSizeF size = shownSize();
    const double w = size.width(), h = size.height();
    auto overlay = std::make_unique<kit::View>(QRectF(0, 0, w, h));
    overlay->setBackgroundColor(Qt::black);
    overlay->setAlpha(0);
    overlay->setUserInteractionEnabled(true);
    overlay->addGestureRecognizer(std::make_unique<kit::TapGestureRecognizer>([this](kit::GestureRecognizer& tap) {
        if (tap.state() == kit::GestureRecognizer::State::ended) dismissEditNameTextField();
    }));
    blackOverlay_ = rootViewPointer_->add(std::move(overlay));

    auto field = GuiFactory::textfieldWithValue(value, "NAME", guiType_);
    field->setX(w * 0.5 - field->width() * 0.5, h * 0.25);
    field->setAlpha(0);
    // The typing rule, not a cut: a longer stored name shows whole, and a paste
    // that would pass the limit is refused whole.
    field->setMaxLength(32767);
    field->shouldChangeCharacters = [this](kit::TextField& edited, int start, int length, const QString& replacement) {
        return shouldChangeCharacters(edited, start, length, replacement);
    };
    field->onReturn = [this](kit::TextField&) { textFieldShouldReturn(); };
    editNameTextfield_ = rootViewPointer_->add(std::move(field));
    addNameFieldControls(prompt);
    editNameTextfield_->becomeFirstResponder();
    kit::Animator& animator = kit::Context::current().animator();
    animator.animateAlpha(*blackOverlay_, 0.6, 0.5);
    for (kit::View* shown : nameFieldViews()) animator.animateAlpha(*shown, 1.0, 0.5);
    return true;
}

void StrombelViewController::addNameFieldControls(const QString& prompt) {
    // What is asked above the field; below it, CANCEL under its left end and OK
    // under its right end (Return in the field is OK too, a tap on the shade CANCEL).
    const double s = GuiFactory::textSize(guiType_);
    const QRectF field = editNameTextfield_->frame();
    const double promptWidth = std::min(shownSize().width() - 2 * s, 40 * s);
    auto question = GuiFactory::labelWithFrame(
        QRectF(field.center().x() - promptWidth / 2, field.top() - 3.2 * s, promptWidth, 2.6 * s), s);
    question->setLineBreakMode(kit::Label::LineBreak::wordWrap);
    question->setNumberOfLines(2);
    question->setText(prompt);
    editNamePromptText_ = prompt;
    question->setAlpha(0);
    editNamePrompt_ = rootViewPointer_->add(std::move(question));
    auto button = [&](double x, const QString& title, void (StrombelViewController::*pressed)()) {
        auto made = std::make_unique<kit::Button>(QRectF(x, field.bottom() + 0.8 * s, 7 * s, 2.5 * s));
        made->setTitle(title);
        made->setTitleFont(GuiFactory::interfaceFont(s));
        made->setBackgroundColor(QColor(60, 60, 60));
        made->setAlpha(0);
        made->addTarget(kit::touchUpInside, [this, pressed](kit::Control&) { (this->*pressed)(); });
        return rootViewPointer_->add(std::move(made));
    };
    editNameCancelButton_ = button(field.left(), "CANCEL", &StrombelViewController::dismissEditNameTextField);
    editNameOkButton_ = button(field.right() - 7 * s, "OK", &StrombelViewController::confirmEditName);
}

std::vector<kit::View*> StrombelViewController::nameFieldViews() const {
    std::vector<kit::View*> views;
    for (kit::View* view : {static_cast<kit::View*>(editNameTextfield_), static_cast<kit::View*>(editNamePrompt_),
                            static_cast<kit::View*>(editNameOkButton_), static_cast<kit::View*>(editNameCancelButton_)})
        if (view) views.push_back(view);
    return views;
}

void StrombelViewController::dismissEditNameTextField() {
    editSoundboxIdx_ = kNotFound;
    editPatternNameIdx_ = kNotFound;
    editExchangePasteSampleName_ = false;
    if (!editNameTextfield_) return;
    editNameTextfield_->resignFirstResponder();
    // The overlay and the field fade out and then leave; the screen forgets them
    // at once, so that a new name can be asked for meanwhile.
    kit::Animator& animator = kit::Context::current().animator();
    std::vector<kit::View*> fading = nameFieldViews();
    fading.push_back(blackOverlay_);
    for (kit::View* view : fading) {
        if (!view) continue;
        std::weak_ptr<void> alive = view->lifetime();
        animator.animateAlpha(*view, 0, 0.5, [view, alive](bool) {
            if (!alive.expired()) view->removeFromSuperview();
        });
    }
    blackOverlay_ = nullptr;
    editNameTextfield_ = nullptr;
    editNamePrompt_ = nullptr;
    editNameOkButton_ = editNameCancelButton_ = nullptr;
}

bool StrombelViewController::shouldChangeCharacters(const kit::TextField& field, int /*start*/, int length,
                                                    const QString& replacement) {
    if (&field != editNameTextfield_) return true;
    // The name counts as it is kept, as typed (the field only shows it in capitals).
    const int current = int(field.text().size());
    const int after = current - length + int(replacement.size());
    const bool allowed = after <= kMaxNameLength || after <= current;
    // A refused key says why, where the question stands; the next edit asks again.
    if (editNamePrompt_)
        editNamePrompt_->setText(allowed ? editNamePromptText_
                                         : QString("A NAME HAS AT MOST %1 CHARACTERS").arg(kMaxNameLength));
    return allowed;
}

bool StrombelViewController::textFieldShouldReturn() {
    if (!editNameTextfield_) return true;
    const QString name = editNameTextfield_->text();
    if (name.isEmpty()) {
        kit::Context::current().problems().alert("Empty name", "You have to supply a name before proceeding",
                                                 kit::ProblemReporter::Log::notHere);
        return false;
    }
    if (editExchangePasteSampleName_) {
        if (!exchangePanel_.pasteNamed(name)) return false;
    } else if (editPatternNameIdx_ != kNotFound) {
        if (!exchangePanel_.exportPatternNamed(int(editPatternNameIdx_), name)) return false;
    } else if (editSoundboxIdx_ != kNotFound) {
        if (!services_.library->renameSoundbank(editSoundboxIdx_, name.toStdString()))
            STROMBEL_LOG_ERROR("no bank {} to rename", editSoundboxIdx_);
    }
    dismissEditNameTextField();
    return true;
}

// ---- Banks ------------------------------------------------------------------------------

void StrombelViewController::activeSoundbankChanged(uint64_t bankIndex) {
    services_.engine->currentSoundbankChanged(bankIndex);
    defaults_.setInteger("CurrentSoundBank", int64_t(bankIndex));
    rememberCurrentSoundbank();
    displayCurrentSoundBank();
    libraryPanel_.currentBankChanged();
}

// ---- The sample editor panel ------------------------------------------------------------

void StrombelViewController::toggleSampleRecording() {
    if (editSampleViewController()) dismissEditSampleControl();
    else showEditSampleControl();
}

void StrombelViewController::micInBtnPressed() {
    // The recording is made in the editor panel; the library browser that comes
    // with it opens when SORT can open it.
    press(sortBtn_, true, &StrombelViewController::sortBtnPressed);
    showEditSampleControl();
}

// ---- What export and paste ask of the screen -----------------------------------------------

bool StrombelViewController::PanelHost::askExportName(int pattern, const QString& value, const QString& prompt) {
    // The purpose is set only with a field actually shown.
    if (!screen_.editNameAppearWithValue(value, prompt)) return false;
    screen_.editPatternNameIdx_ = uint64_t(pattern);
    return true;
}

bool StrombelViewController::PanelHost::askPasteName(const QString& value, const QString& prompt) {
    if (!screen_.editNameAppearWithValue(value, prompt)) return false;
    screen_.editExchangePasteSampleName_ = true;
    return true;
}

void StrombelViewController::PanelHost::tell(const QString& title, const QString& message) {
    // The panels log their failures where they meet them.
    kit::Context::current().problems().alert(title.toStdString(), message.toStdString(),
                                             kit::ProblemReporter::Log::notHere);
}

// ---- What the library panel asks of the screen --------------------------------------------

void StrombelViewController::PanelHost::showBank(uint64_t bank) {
    if (screen_.soundBankControl_) screen_.soundBankControl_->setCurrentBank(bank);
    screen_.activeSoundbankChanged(bank);
}

int StrombelViewController::PanelHost::padAt(const QPointF& inBase) const {
    kit::View* pads = screen_.tapButtonsContainer_;
    if (!pads || !pads->superview()) return -1;
    for (kit::Button* pad : screen_.tapButtons_)
        if (pad->pointInside(pad->mapFromItem(screen_.baseContainer_, inBase))) return pad->tag();
    return -1;
}

void StrombelViewController::PanelHost::askBankName(uint64_t bank, const QString& value, const QString& prompt) {
    if (screen_.editNameAppearWithValue(value, prompt)) screen_.editSoundboxIdx_ = bank;
}

void StrombelViewController::PanelHost::editSample(const std::string& path) {
    screen_.showEditSampleControl();
    screen_.editSampleViewController()->openSample(path);
}

}  // namespace strombel::ui
