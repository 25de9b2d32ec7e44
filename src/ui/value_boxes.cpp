#include "ui/value_boxes.h"

#include <algorithm>
#include <cmath>

#include "ui/gui_factory.h"
#include "ui/kit/image_view.h"

namespace strombel::ui {

using namespace kit;

namespace {
int32_t boxMargin(GuiType guiType) {
    return guiType == GuiType::phoneLandscape ? 1 : guiType == GuiType::phonePortrait ? 2 : 3;
}
}  // namespace

void ValueBoxView::setFrame(const QRectF& frame) {
    View::setFrame(frame.translated(-(leftBtnImageWidth_ / 2), 0));
}

void ValueBoxView::layOut(GuiType guiType, const Pictures& pictures) {
    const QImage displayImage = GuiFactory::imageWithName(pictures.display, guiType);
    const QImage leftImage = GuiFactory::imageWithName(pictures.left, guiType);
    const QImage rightImage = GuiFactory::imageWithName(pictures.right, guiType);
    const QSizeF s = pointSize(displayImage);
    const QSizeF l = pointSize(leftImage);
    const QSizeF r = pointSize(rightImage);
    const int32_t m = boxMargin(guiType);
    leftBtnImageWidth_ = static_cast<int32_t>(l.width()) / 2 * 2;
    setBackgroundColor(Qt::transparent);
    add(std::make_unique<ImageView>(QRectF(QPointF(leftBtnImageWidth_ / 2, 0), s), displayImage));

    auto left = std::make_unique<Button>(QRectF(m, m, 2 * l.width(), l.height()));
    left->setImage(leftImage, normal);
    left->setImage(GuiFactory::imageWithName(pictures.leftPressed, guiType), highlighted);
    leftButton_ = add(std::move(left));
    auto right = std::make_unique<Button>(
        QRectF(s.width() + l.width() - m - 2 * r.width(), m, 2 * r.width(), r.height()));
    right->setImage(rightImage, normal);
    right->setImage(GuiFactory::imageWithName(pictures.rightPressed, guiType), highlighted);
    rightButton_ = add(std::move(right));
    View::setFrame(QRectF(0, 0, s.width() + l.width(), s.height()));
}

Label* ValueBoxView::addScreenLabel(GuiType guiType, const QRectF& frame, const QString& text) {
    const int32_t size = GuiFactory::textSize(guiType);
    auto label = std::make_unique<Label>(frame.translated(leftBtnImageWidth_ / 2, 0));
    label->setFont(GuiFactory::interfaceFont(size));
    label->setBackgroundColor(Qt::transparent);
    label->setTextColor(GuiFactory::rustyColor());
    label->setAlignment(Label::Alignment::center);
    label->setText(text);
    screenLabel_ = add(std::move(label));
    return screenLabel_;
}

void RepeatingValueBox::wireKeys(std::function<void()> minus, std::function<void()> plus) {
    leftButton_->addTarget(touchDown, [minus](Control&) { minus(); });
    rightButton_->addTarget(touchDown, [plus](Control&) { plus(); });
    for (Button* key : {leftButton_, rightButton_}) {
        key->addTarget(touchUpInside | touchUpOutside | touchCancel,
                       [this](Control&) { btnReleased(); });
    }
}

void RepeatingValueBox::layOutStepper(GuiType guiType, const QString& text, std::function<void()> minus,
                                      std::function<void()> plus) {
    layOut(guiType, {"smallScreen", "slimBtnMinus", "slimBtnMinusPressed", "slimBtnPlus",
                     "slimBtnPlusPressed"});
    QRectF frame(32, 20, 64, 13);
    if (guiType == GuiType::phoneLandscape) frame = QRectF(14, 9, 31, 7);
    if (guiType == GuiType::phonePortrait) frame = QRectF(21, 14, 44, 8);
    addScreenLabel(guiType, frame, text)->setLineBreakMode(Label::LineBreak::clip);
    wireKeys(std::move(minus), std::move(plus));
}

void RepeatingValueBox::scheduleRetrigger(double seconds) {
    btnRetriggerTimer_ = Timer::scheduled(seconds, false, [this] { retriggerBtnPress(); });
}

void RepeatingValueBox::retriggerBtnPress() {
    if (auto step = btnRetriggerSelector_) step();
}

void RepeatingValueBox::btnReleased() {
    btnRetriggerTimer_.reset();
    btnRetriggerSelector_ = nullptr;
}

// Dry/wet.

DryWetEffectsControl::DryWetEffectsControl(GuiType guiType) {
    layOut(guiType, {"smallScreen", "slimBtnMinus", "slimBtnMinusPressed", "slimBtnPlus",
                     "slimBtnPlusPressed"});
    QRectF frame(32, 20, 64, 13);
    if (guiType == GuiType::phoneLandscape) frame = QRectF(14, 9, 32, 7);
    if (guiType == GuiType::phonePortrait) frame = QRectF(21, 14, 43, 8);
    addScreenLabel(guiType, frame, "100%");
    wireKeys([this] { decreasePressed(); }, [this] { increasePressed(); });
}

void DryWetEffectsControl::show() {
    screenLabel_->setText(QString("%1%").arg(currentEffectAmount_));
}

void DryWetEffectsControl::decreasePressed() {
    if (currentEffectAmount_ >= 1) {
        currentEffectAmount_ = std::max(0, currentEffectAmount_ - 5);
        show();
        if (delegate_) delegate_->dryWetAmountChanged(currentEffectAmount_ / 100.0f);
        btnRetriggerSelector_ = [this] { decreasePressed(); };
        scheduleRetrigger(0.1);
    } else {
        btnRetriggerTimer_.reset();
    }
}

void DryWetEffectsControl::increasePressed() {
    if (currentEffectAmount_ <= 99) {
        currentEffectAmount_ = std::min(100, currentEffectAmount_ + 5);
        show();
        if (delegate_) delegate_->dryWetAmountChanged(currentEffectAmount_ / 100.0f);
        btnRetriggerSelector_ = [this] { increasePressed(); };
        scheduleRetrigger(0.1);
    } else {
        btnRetriggerTimer_.reset();
    }
}

void DryWetEffectsControl::setEffectAmount(float amount) {
    if (std::isnan(amount)) amount = 0;
    amount = std::clamp(amount, 0.0f, 1.0f);
    currentEffectAmount_ = static_cast<int32_t>(amount * 100);
    show();
    if (delegate_) delegate_->dryWetAmountChanged(currentEffectAmount_ / 100.0f);
}

// Sequencer.

SequencerScreenControl::SequencerScreenControl(GuiType guiType) {
    layOutStepper(guiType, "HELLO", [this] { minusPressed(); }, [this] { plusPressed(); });
}

void SequencerScreenControl::minusPressed() {
    btnRetriggerSelector_ = [this] {
        if (delegate_) delegate_->sequencerControlMinusPressed();
        scheduleRetrigger(0.1);
    };
    if (delegate_) delegate_->sequencerControlMinusPressed();
    scheduleRetrigger(0.5);
}

void SequencerScreenControl::plusPressed() {
    btnRetriggerSelector_ = [this] {
        if (delegate_) delegate_->sequencerControlPlusPressed();
        scheduleRetrigger(0.1);
    };
    if (delegate_) delegate_->sequencerControlPlusPressed();
    scheduleRetrigger(0.5);
}

void SequencerScreenControl::setAmount(int32_t amount, const QString& unitType) {
    screenLabel_->setText(QString("%1 %2").arg(amount).arg(unitType.toUpper()));
}

void SequencerScreenControl::setText(const QString& text) {
    screenLabel_->setText(text.toUpper());
}

// MIDI channel.

MidiChannelControl::MidiChannelControl(GuiType guiType) {
    layOutStepper(guiType, "MIDI", [this] { minusPressed(); }, [this] { plusPressed(); });
}

void MidiChannelControl::setMidiChannel(int32_t channel) {
    currentMidiChannel_ = std::clamp(channel, -1, 15);
    screenLabel_->setText(currentMidiChannel_ == -1 ? QString("OMNI")
                                                    : QString::number(currentMidiChannel_ + 1));
}

void MidiChannelControl::step(int32_t by) {
    setMidiChannel(currentMidiChannel_ + by);
    if (delegate_) delegate_->midiChannelChanged(currentMidiChannel_);
}

void MidiChannelControl::minusPressed() {
    btnRetriggerSelector_ = [this] {
        step(-1);
        scheduleRetrigger(0.1);
    };
    step(-1);
    scheduleRetrigger(0.5);
}

void MidiChannelControl::plusPressed() {
    btnRetriggerSelector_ = [this] {
        step(1);
        scheduleRetrigger(0.1);
    };
    step(1);
    scheduleRetrigger(0.5);
}

}  // namespace strombel::ui
