#pragma once

// The library on the pad screen: the library browser SORT opens in place of the
// right-hand panels (and what it asks of the screen), and the library's messages
// about banks and samples.

#include <QPointF>
#include <QString>

#include <cstdint>
#include <memory>
#include <string>

#include "library/sound_data_manager.h"
#include "ui/drag_drop_table_view_controller.h"
#include "ui/drag_drop_table_view_controller_delegate.h"
#include "ui/pad/pad_screen_controls.h"
#include "ui/pad/pad_screen_services.h"

namespace strombel::ui {

/// What the library hooks ask of the screen they serve. Main loop only.
class PadLibraryPanelHost {
public:
    virtual ~PadLibraryPanelHost() = default;
    /// The bank the bank selector shows.
    virtual uint64_t shownBank() const = 0;
    /// Makes `bank` current: the selector, the engine, the settings and the pads follow.
    virtual void showBank(uint64_t bank) = 0;
    /// The pads show the current bank again (its samples changed).
    virtual void showCurrentBank() = 0;
    /// The pad under `inBase` (in the base container's points), or -1, also while
    /// the pads are off the screen.
    virtual int padAt(const QPointF& inBase) const = 0;
    /// Shows the name field with `value` under `prompt` for renaming `bank`.
    virtual void askBankName(uint64_t bank, const QString& value, const QString& prompt) = 0;
    /// Opens the sample editor panel on the user sample at `path`.
    virtual void editSample(const std::string& path) = 0;
    /// Opens the sample editor panel, or closes it.
    virtual void toggleSampleRecording() = 0;
    /// Presents the paste sheet.
    virtual void engagePaste() = 0;
};

/// Holds the library browser while it is open, as its delegate, and keeps the
/// bank being played current wherever the library moves it, as the library's
/// observer (between `joinLibrary` and `leaveLibrary`). Main loop only.
class PadLibraryPanel final : public DragDropTableViewControllerDelegate, public PadLibraryObserver {
public:
    /// Without `soundLibrary` there is nothing to browse.
    PadLibraryPanel(PadLibrary& library, PadEngine& engine, library::SoundDataManager* soundLibrary,
                    const GuiFactory& gf, PadLibraryPanelHost& host);
    ~PadLibraryPanel() override;
    PadLibraryPanel(const PadLibraryPanel&) = delete;
    PadLibraryPanel& operator=(const PadLibraryPanel&) = delete;

    void joinLibrary();
    void leaveLibrary();
    bool joinedLibrary() const { return joined_; }

    bool canBrowse() const { return soundLibrary_ != nullptr; }
    /// Opens the browser at the top of the right column of `base`, below `below`
    /// (nothing when it is open or there is no library to browse).
    void openBrowser(kit::View& base, kit::View* below);
    void closeBrowser() { browser_.reset(); }
    /// The browser while it is open, else null.
    DragDropTableViewController* browser() const { return browser_.get(); }

    /// Notes which bank is current, so that it stays current when banks move.
    void rememberCurrentBank();
    /// The current bank changed: the browser shows it.
    void currentBankChanged();

    void soundpackSampleWithIndexPath(const kit::IndexPath& indexPath, const QPointF& droppedAt) override;
    void renameSoundbank(uint64_t bankIndex) override;
    void editUserSample(uint64_t userSampleIndex) override;
    void soundbankSelected(uint64_t bankIndex) override;
    void engageExchangePaste() override { host_.engagePaste(); }
    void toggleSampleRecording() override { host_.toggleSampleRecording(); }

    void samplesChanged() override { host_.showCurrentBank(); }
    void soundbanksChanged() override;

private:
    PadLibrary& library_;
    PadEngine& engine_;
    library::SoundDataManager* soundLibrary_;
    const GuiFactory& gf_;
    PadLibraryPanelHost& host_;
    bool joined_ = false;
    /// The library's identity of the current bank (0: not known yet).
    int64_t currentSoundbankId_ = 0;
    std::unique_ptr<DragDropTableViewController> browser_;
};

}  // namespace strombel::ui
