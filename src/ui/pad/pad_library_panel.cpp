#include "ui/pad/pad_library_panel.h"

#include <algorithm>
#include <vector>

#include "logging/log.h"

namespace strombel::ui {

PadLibraryPanel::PadLibraryPanel(PadLibrary& library, PadEngine& engine, library::SoundDataManager* soundLibrary,
                                 const GuiFactory& gf, PadLibraryPanelHost& host)
    : library_(library), engine_(engine), soundLibrary_(soundLibrary), gf_(gf), host_(host) {}

PadLibraryPanel::~PadLibraryPanel() { leaveLibrary(); }

void PadLibraryPanel::joinLibrary() {
    library_.addDelegate(this);
    joined_ = true;
}

void PadLibraryPanel::leaveLibrary() {
    if (!joined_) return;
    library_.removeDelegate(this);
    joined_ = false;
}

void PadLibraryPanel::openBrowser(kit::View& base, kit::View* below) {
    if (browser_ || !soundLibrary_) return;
    browser_ = std::make_unique<DragDropTableViewController>(gf_.guiType(), *soundLibrary_, engine_);
    auto view = browser_->takeView();
    view->setX(gf_.controlsRightX(), gf_.topControlsY());
    // Building the view clears the delegate: it is set after.
    browser_->setDelegate(this);
    base.insertSubviewBelow(std::move(view), below);
}

void PadLibraryPanel::rememberCurrentBank() {
    const std::vector<int64_t> ids = library_.soundbankIds();
    const uint64_t current = engine_.currentSoundBankIdx();
    currentSoundbankId_ = current < ids.size() ? ids[current] : 0;
}

void PadLibraryPanel::currentBankChanged() {
    if (browser_) browser_->currentSoundbankChanged();
}

void PadLibraryPanel::soundbanksChanged() {
    // The bank being played stays current wherever it moved; banks added or
    // removed before it change its place, not the bank.
    const std::vector<int64_t> ids = library_.soundbankIds();
    const uint64_t current = engine_.currentSoundBankIdx();
    const auto found = std::find(ids.begin(), ids.end(), currentSoundbankId_);
    if (currentSoundbankId_ != 0 && found != ids.end()) {
        const uint64_t now = uint64_t(found - ids.begin());
        if (now != current) {
            host_.showBank(now);
            return;
        }
    } else if (!ids.empty() && current >= ids.size()) {
        // The current bank went and was the last: the last bank takes its place.
        host_.showBank(ids.size() - 1);
        return;
    }
    rememberCurrentBank();
    host_.showCurrentBank();
}

void PadLibraryPanel::soundbankSelected(uint64_t bankIndex) {
    if (bankIndex == engine_.currentSoundBankIdx()) return;
    host_.showBank(bankIndex);
}

void PadLibraryPanel::renameSoundbank(uint64_t bankIndex) {
    const std::vector<std::string> names = library_.soundbankNames();
    if (bankIndex >= names.size()) return;
    const QString name = QString::fromStdString(names[bankIndex]);
    host_.askBankName(bankIndex, name, QString("NEW NAME FOR THE SOUND BANK '%1'").arg(name.toUpper()));
}

void PadLibraryPanel::editUserSample(uint64_t userSampleIndex) {
    const std::string path = library_.userSamplePath(userSampleIndex);
    if (!path.empty()) host_.editSample(path);
}

void PadLibraryPanel::soundpackSampleWithIndexPath(const kit::IndexPath& indexPath, const QPointF& droppedAt) {
    if (indexPath.section < 0 || indexPath.row < 0) return;
    // The point is in the browser view's points; that view stands at the top of
    // the right column. While the editor panel holds the pads' place nothing can
    // be dropped on them.
    const int pad = host_.padAt(droppedAt + QPointF(gf_.controlsRightX(), gf_.topControlsY()));
    if (pad < 0) return;
    const uint64_t bank = host_.shownBank();
    if (!library_.setPackSampleOnPad(uint64_t(indexPath.section), uint64_t(indexPath.row), bank, uint64_t(pad)))
        STROMBEL_LOG_INFO("the library kept pad {} of bank {} as it was", pad, bank);
    else if (browser_)
        browser_->reloadSoundbanks();
}

}  // namespace strombel::ui
