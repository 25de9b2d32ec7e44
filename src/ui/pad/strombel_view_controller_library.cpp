// The name field (bank names, export names, names of pasted samples), the choice
// of the current bank, the library browser's requests and the library's messages.

#include <QStringList>

#include <algorithm>
#include <filesystem>

#include "logging/log.h"
#include "platform/file_move.h"
#include "ui/pad/strombel_view_controller.h"

namespace strombel::ui {

namespace {

constexpr int kMaxNameLength = 22;

}  // namespace

// ---- The name field -------------------------------------------------------------------

bool StrombelViewController::editNameAppearWithValue(const QString& value) {
    if (editNameTextfield_ || !rootViewPointer_) return false;
    const QSizeF size = AppDimensions::currentSize(screen());
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
    editNameTextfield_->becomeFirstResponder();
    kit::Animator& animator = kit::Context::current().animator();
    animator.animateAlpha(*blackOverlay_, 0.6, 0.5);
    animator.animateAlpha(*editNameTextfield_, 1.0, 0.5);
    return true;
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
    for (kit::View* view : {blackOverlay_, static_cast<kit::View*>(editNameTextfield_)}) {
        if (!view) continue;
        std::weak_ptr<void> alive = view->lifetime();
        animator.animateAlpha(*view, 0, 0.5, [view, alive](bool) {
            if (!alive.expired()) view->removeFromSuperview();
        });
    }
    blackOverlay_ = nullptr;
    editNameTextfield_ = nullptr;
}

bool StrombelViewController::shouldChangeCharacters(const kit::TextField& field, int start, int length,
                                                    const QString& replacement) {
    (void)start;
    if (&field != editNameTextfield_) return true;
    const int current = int(field.text().size());
    const int after = current - length + int(replacement.size());
    return after <= kMaxNameLength || after <= current;
}

bool StrombelViewController::textFieldShouldReturn() {
    if (!editNameTextfield_) return true;
    const QString name = editNameTextfield_->text();
    if (name.isEmpty()) {
        showAlert("Empty name", "You have to supply a name before proceeding", {"OK"}, 0, false);
        return false;
    }
    if (editExchangePasteSampleName_) {
        if (!pasteNamed(name)) return false;
    } else if (editPatternNameIdx_ != kNotFound) {
        if (!exportPatternNamed(name)) return false;
    } else if (editSoundboxIdx_ != kNotFound) {
        if (!services_.library->renameSoundbank(editSoundboxIdx_, name.toStdString()))
            STROMBEL_LOG_ERROR("no bank {} to rename", editSoundboxIdx_);
    }
    dismissEditNameTextField();
    return true;
}

std::filesystem::path StrombelViewController::newDocumentsFile(const QString& name, const QString& title,
                                                              const QString& taken, int tag) {
    // The name becomes a file of the documents folder and nothing else.
    if (name.contains('/') || name.contains(QChar(0)) || name == "." || name == "..") {
        showAlert(title, QString("'%1' cannot be used as a name: it may not contain '/' or be '.' or '..'").arg(name),
                  {"OK"}, 0, false);
        return {};
    }
    const QString fileName = QString("%1.wav").arg(name).toLower();
    const std::filesystem::path file =
        std::filesystem::path(services_.library->documentsFolder()) / fileName.toStdString();
    std::error_code ignored;
    if (std::filesystem::exists(file, ignored)) {
        showAlert(title, taken.arg(fileName), {"OK"}, tag, false);
        return {};
    }
    return file;
}

bool StrombelViewController::exportPatternNamed(const QString& name) {
    const int pattern = int(editPatternNameIdx_);
    const std::filesystem::path file =
        newDocumentsFile(name, "Export", "A file already exists with name '%1'", pattern);
    if (file.empty()) return false;
    const QString fileName = QString::fromStdString(file.filename().string());
    stopPlayback();
    // The export is written aside and moved into the documents folder only when
    // whole: the scan of that folder never meets half a file.
    const std::filesystem::path partial =
        std::filesystem::path(services_.library->exportTempFolder()) / (".export-" + fileName.toStdString());
    std::error_code ignored;
    std::filesystem::remove(partial, ignored);
    std::string error;
    if (services_.sequencer->exportPattern(uint64_t(pattern), partial.string(), &error))
        error = platform::moveFileWithoutReplacing(partial, file);
    else if (error.empty())
        error = "the pattern could not be rendered";
    if (!error.empty()) {
        std::filesystem::remove(partial, ignored);
        STROMBEL_LOG_ERROR("Pattern {} could not be exported to {}: {}", pattern + 1, file.string(), error);
        showAlert("Export",
                  QString("Pattern %1 could not be exported to %2: %3")
                      .arg(pattern + 1)
                      .arg(fileName)
                      .arg(QString::fromStdString(error)),
                  {"OK"}, pattern, false);
        return true;
    }
    showAlert("Export", QString("Pattern %1 has been exported to %2").arg(pattern + 1).arg(fileName), {"OK"}, pattern,
              false);
    return true;
}

bool StrombelViewController::pasteNamed(const QString& name) {
    const std::filesystem::path file =
        newDocumentsFile(name, "ExchangePaste", "A user sample already exists with name '%1'", 0);
    if (file.empty()) return false;
    const QString fileName = QString::fromStdString(file.filename().string());
    const std::string error = platform::moveFileWithoutReplacing(exchangePasteTargetFilePath_, file);
    if (!error.empty()) {
        // The pasted file stays where the paste put it; the user may try another name.
        STROMBEL_LOG_ERROR("could not move pasted audio {} to {}: {}", exchangePasteTargetFilePath_, file.string(),
                           error);
        showAlert("ExchangePaste",
                  QString("The pasted audio could not be saved as '%1': %2").arg(fileName, QString::fromStdString(error)),
                  {"OK"}, 0, false);
        return false;
    }
    exchangePasteTargetFilePath_.clear();
    return true;
}

// ---- Paste from the audio exchange -------------------------------------------------------

void StrombelViewController::engageExchangePaste() {
    if (!window_) return;
    auto sheet = std::make_unique<editor::ExchangePasteViewController>(services_.library->exportTempFolder(),
                                                                       sampleEditorServices_.exchange);
    sheet->setModalPresentationStyle(2);
    sheet->setDelegate(this);
    editor::ExchangeSheet::present(std::move(sheet), *window_);
}

void StrombelViewController::didPaste(editor::ExchangePasteViewController&, const std::string& path,
                                      const std::string&, const void*) {
    if (!editNameAppearWithValue("pastedaudio")) {
        STROMBEL_LOG_INFO("pasted audio left at {}: a name is being asked for already", path);
        return;
    }
    exchangePasteTargetFilePath_ = path;
    editExchangePasteSampleName_ = true;
}

// ---- Banks ------------------------------------------------------------------------------

void StrombelViewController::activeSoundbankChanged(uint64_t bankIndex) {
    services_.engine->currentSoundbankChanged(bankIndex);
    defaults_.setInteger("CurrentSoundBank", int64_t(bankIndex));
    rememberCurrentSoundbank();
    displayCurrentSoundBank();
}

void StrombelViewController::rememberCurrentSoundbank() {
    const std::vector<int64_t> ids = services_.library->soundbankIds();
    const uint64_t current = services_.engine->currentSoundBankIdx();
    currentSoundbankId_ = current < ids.size() ? ids[current] : 0;
}

void StrombelViewController::soundbankSelected(uint64_t bankIndex) {
    if (bankIndex == services_.engine->currentSoundBankIdx()) return;
    soundBankControl_->setCurrentBank(bankIndex);
    activeSoundbankChanged(bankIndex);
}

void StrombelViewController::renameSoundbank(uint64_t bankIndex) {
    const std::vector<std::string> names = services_.library->soundbankNames();
    if (bankIndex >= names.size()) return;
    if (editNameAppearWithValue(QString::fromStdString(names[bankIndex]))) editSoundboxIdx_ = bankIndex;
}

void StrombelViewController::soundbanksChanged() {
    // The bank being played stays current wherever it moved; banks added or
    // removed before it change its place, not the bank.
    const std::vector<int64_t> ids = services_.library->soundbankIds();
    const uint64_t current = services_.engine->currentSoundBankIdx();
    const auto found = std::find(ids.begin(), ids.end(), currentSoundbankId_);
    if (currentSoundbankId_ != 0 && found != ids.end()) {
        const uint64_t now = uint64_t(found - ids.begin());
        if (now != current) {
            if (soundBankControl_) soundBankControl_->setCurrentBank(now);
            activeSoundbankChanged(now);
            return;
        }
    } else if (!ids.empty() && current >= ids.size()) {
        // The current bank went and was the last: the last bank takes its place.
        const uint64_t last = ids.size() - 1;
        if (soundBankControl_) soundBankControl_->setCurrentBank(last);
        activeSoundbankChanged(last);
        return;
    }
    rememberCurrentSoundbank();
    displayCurrentSoundBank();
}

// ---- The sample editor panel and the browser's other requests ---------------------------

void StrombelViewController::toggleSampleRecording() {
    if (editSampleViewController_) dismissEditSampleControl();
    else showEditSampleControl();
}

void StrombelViewController::editUserSample(uint64_t userSampleIndex) {
    const std::string path = services_.library->userSamplePath(userSampleIndex);
    if (path.empty()) return;
    showEditSampleControl();
    editSampleViewController_->openSample(path);
}

void StrombelViewController::soundpackSampleWithIndexPath(const kit::IndexPath& indexPath, const QPointF& droppedAt) {
    // While the editor panel holds the pads' place nothing can be dropped on them.
    if (!tapButtonsContainer_ || !tapButtonsContainer_->superview() || indexPath.section < 0 || indexPath.row < 0)
        return;
    // The point is in the browser view's points; that view stands at the top of
    // the right column.
    const QPointF inBase = droppedAt + QPointF(gf_->controlsRightX(), gf_->topControlsY());
    for (kit::Button* pad : tapButtons_) {
        if (!pad->pointInside(pad->mapFromItem(baseContainer_, inBase))) continue;
        const uint64_t bank = soundBankControl_->currentBank();
        if (!services_.library->setPackSampleOnPad(uint64_t(indexPath.section), uint64_t(indexPath.row), bank,
                                                   uint64_t(pad->tag())))
            STROMBEL_LOG_INFO("the library kept pad {} of bank {} as it was", pad->tag(), bank);
        else if (sortController_)
            sortController_->reloadSoundbanks();
        return;
    }
}

void StrombelViewController::micInBtnPressed() {
    // The recording is made in the editor panel; the library browser that comes
    // with it opens when SORT can open it.
    press(sortBtn_, true, &StrombelViewController::sortBtnPressed);
    showEditSampleControl();
}

}  // namespace strombel::ui
