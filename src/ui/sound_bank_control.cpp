#include "ui/sound_bank_control.h"

#include <algorithm>

namespace strombel::ui {

using namespace kit;

void InMemorySoundBankList::addObserver(SoundBankListObserver* observer) {
    if (std::find(observers_.begin(), observers_.end(), observer) == observers_.end())
        observers_.push_back(observer);
}

void InMemorySoundBankList::removeObserver(SoundBankListObserver* observer) {
    std::replace(observers_.begin(), observers_.end(), observer,
                 static_cast<SoundBankListObserver*>(nullptr));
}

void InMemorySoundBankList::setNames(std::vector<std::string> names) {
    names_ = std::move(names);
    // Observers may go away while being told: removal leaves a hole, swept afterwards.
    for (size_t i = 0; i < observers_.size(); ++i) {
        if (SoundBankListObserver* observer = observers_[i]) observer->soundbanksChanged();
    }
    std::erase(observers_, nullptr);
}

size_t InMemorySoundBankList::observerCount() const {
    return static_cast<size_t>(
        std::count_if(observers_.begin(), observers_.end(), [](auto* o) { return o; }));
}

SoundBankControl::SoundBankControl(GuiType guiType, SoundBankList& banks) : banks_(banks) {
    banks_.addObserver(this);
    soundbankNames_.reserve(10);
    soundbanksChanged();
    layOut(guiType, {"soundbankScreen", "slimBtnLeft", "slimBtnLeftPressed", "slimBtnRight",
                     "slimBtnRightPressed"});
    QRectF frame(31, 20, 140, 13);
    if (guiType == GuiType::phoneLandscape) frame = QRectF(14, 9, 63, 7);
    if (guiType == GuiType::phonePortrait) frame = QRectF(22, 14, 90, 8);
    // A bank's name too long for the display is drawn smaller, or cut after a word.
    addScreenLabel(guiType, frame, QString())->setFitting(1, GuiFactory::kNameMinimumScale);
    // One step per touch, no repeat.
    leftButton_->addTarget(touchDown, [this](Control&) { previousSoundbank(); });
    rightButton_->addTarget(touchDown, [this](Control&) { nextSoundbank(); });
    setScreenLabelText();
}

SoundBankControl::~SoundBankControl() {
    banks_.removeObserver(this);
}

void SoundBankControl::setScreenLabelText() {
    if (!screenLabel_) return;
    if (currentBank_ >= soundbankNames_.size()) {
        screenLabel_->setText(QString());
        return;
    }
    screenLabel_->setText(QString::fromStdString(soundbankNames_[currentBank_]).toUpper());
}

void SoundBankControl::setCurrentBank(uint64_t index) {
    const uint64_t count = soundbankNames_.size();
    currentBank_ = count == 0 ? 0 : std::min(index, count - 1);
    setScreenLabelText();
}

void SoundBankControl::stepped() {
    setScreenLabelText();
    if (delegate_) delegate_->activeSoundbankChanged(currentBank_);
}

void SoundBankControl::previousSoundbank() {
    const uint64_t count = soundbankNames_.size();
    if (count == 0) return;  // nothing to step to
    currentBank_ = currentBank_ == 0 || currentBank_ >= count ? count - 1 : currentBank_ - 1;
    stepped();
}

void SoundBankControl::nextSoundbank() {
    const uint64_t count = soundbankNames_.size();
    if (count == 0) return;
    currentBank_ = currentBank_ + 1 < count ? currentBank_ + 1 : 0;
    stepped();
}

void SoundBankControl::soundbanksChanged() {
    soundbankNames_ = banks_.soundbankNames();
    const uint64_t count = soundbankNames_.size();
    if (count == 0) {
        // No bank left: a blank display at index 0, and nobody is told of a bank
        // that does not exist.
        currentBank_ = 0;
        setScreenLabelText();
        return;
    }
    if (currentBank_ < count) {
        setScreenLabelText();
        return;
    }
    currentBank_ = count - 1;
    if (delegate_) delegate_->activeSoundbankChanged(currentBank_);
    setScreenLabelText();
}

}  // namespace strombel::ui
