#pragma once

#include <QPointF>
#include <QString>

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>

#include "library/sound_data_manager.h"
#include "ui/drag_drop_table_view_controller_delegate.h"
#include "ui/gui_type.h"
#include "ui/kit/control.h"
#include "ui/kit/gesture_recognizer.h"
#include "ui/kit/image_view.h"
#include "ui/kit/label.h"
#include "ui/kit/table_view.h"
#include "ui/pad_engine.h"

namespace strombel::ui {

/// The small arrow of a header row: pointing right while its section is
/// collapsed, down while it is expanded.
class CollapseArrowView final : public kit::ImageView {
public:
    static constexpr int kTag = 10;
    explicit CollapseArrowView(GuiType guiType);
    ~CollapseArrowView() override;
    bool isExpanded() const { return expanded_; }
    /// Turns at once.
    void setExpanded(bool expanded);
    /// Turns in 0.3 seconds from where it is.
    void makeExpanded(bool expanded);
    static constexpr double kTurnSeconds = 0.3;

private:
    bool expanded_ = false;
};

/// One row of either table: its text, the separator along its bottom, and the
/// buttons and arrows its kind has (null where it has none).
class DropTableCell final : public kit::TableViewCell {
public:
    static constexpr int kPlayingArrowTag = 20;
    static constexpr int kRemoveButtonTag = 30;
    static constexpr int kRenameButtonTag = 40;

    DropTableCell(const QString& reuseIdentifier, int32_t fontSize);
    kit::Label* textLabel() const { return textLabel_; }
    /// Where the text begins, as in the platform's plain cells.
    static constexpr double kTextInset = 10;

    /// Marks a bank's header row as the bank being played (lit, its name
    /// white) or not (black, its name in rust).
    void setCurrent(bool current);
    /// The bank a bank's header row shows; null in other rows.
    std::shared_ptr<library::Soundbank> bank;
    bool isCurrent() const { return current_; }
    /// Puts the separator above the row's buttons, whose black would hide it.
    void raiseSeparator() { bringSubviewToFront(separator_); }
    /// Gives the text the row's width up to the first button shown in its
    /// line, so a long name ends with "…" before the icons instead of under them.
    void layoutText();
    kit::ImageView* playingArrow = nullptr;
    CollapseArrowView* collapseArrow = nullptr;
    kit::Button* deleteButton = nullptr;
    kit::Button* renameButton = nullptr;
    kit::Button* removeButton = nullptr;

protected:
    void sizeChanged(const QSizeF& oldSize) override;

private:
    kit::Label* textLabel_ = nullptr;
    kit::View* separator_ = nullptr;
    bool current_ = false;
};

/// The library browser: "SOUND PACKS" on the left (each pack with its samples),
/// "SOUND BANKS" on the right (each bank with its twelve pads). Rows are dragged
/// with the mouse or a finger: a pack sample onto a pad, a pad onto another pad
/// of its bank, a bank onto another bank's place; a pack sample released
/// anywhere else goes to the delegate. A tap on a sample row previews it.
///
/// Every removal and drop acts on what was picked (the sample, the pack, the
/// bank), wherever a library change meanwhile has moved it; when it is gone,
/// nothing happens. Main loop only.
class DragDropTableViewController final : public kit::TableViewDataSource,
                                          public kit::TableViewDelegate,
                                          public PadEngineObserver,
                                          public library::SoundDataManagerDelegate {
public:
    /// A finger held this long on a row picks it up; one that moves sooner scrolls.
    static constexpr double kPickUpHoldSeconds = 0.3;
    static constexpr int kPackNameLength = 19;

    /// `library` and `engine` must outlive the browser.
    DragDropTableViewController(GuiType guiType, library::SoundDataManager& library, PadEngine& engine);
    ~DragDropTableViewController() override;
    DragDropTableViewController(const DragDropTableViewController&) = delete;
    DragDropTableViewController& operator=(const DragDropTableViewController&) = delete;

    /// The browser's view, built on first use (which clears the delegate).
    kit::View* view();
    /// Hands the view to its superview; the browser keeps a pointer to it.
    std::unique_ptr<kit::View> takeView();
    void setDelegate(DragDropTableViewControllerDelegate* delegate) { delegate_ = delegate; }
    DragDropTableViewControllerDelegate* delegate() const { return delegate_; }

    void viewWillAppear();
    void reloadSoundbanks();
    /// The bank being played changed: its header row is marked instead.
    void currentSoundbankChanged();
    /// Yes for the two landscape orientations (3 and 4) only.
    static bool shouldAutorotateToInterfaceOrientation(int64_t orientation) {
        return orientation == 3 || orientation == 4;
    }

    // --- What the pad screen and tests look at --------------------------------------
    GuiType guiType() const { return guiType_; }
    struct Metrics {
        int32_t width, height, margin, iconButtonMargin, tableCellHeight, fontSize, buttonSpace, labelY;
        int32_t half() const { return width / 2; }
        int32_t tableWidth() const { return half() - 1 - 2 * margin; }
        int32_t tableHeight() const { return height - margin - 2 * tableCellHeight; }
    };
    static Metrics metricsFor(GuiType guiType);
    const Metrics& metrics() const { return metrics_; }
    kit::TableView* srcTableView() const { return srcTableView_; }
    kit::TableView* dstTableView() const { return dstTableView_; }
    kit::PanGestureRecognizer* panRecognizer() const { return pan_; }
    kit::View* draggedCell() const { return draggedCell_; }
    std::optional<kit::IndexPath> draggedIndexPath() const { return draggedIndexPath_; }
    const std::set<int>& expandedSrcSections() const { return expandedSrcSections_; }
    const std::set<int>& expandedDstSections() const { return expandedDstSections_; }
    kit::View* recordSampleButton() const { return recordButton_; }
    kit::View* pasteSampleButton() const { return pasteButton_; }
    kit::View* addSoundbankButton() const { return addBankButton_; }

    // --- Row buttons (actions; `button` lies in a row of the table) ----------------
    void removeSoundpackPressed(kit::View* button);
    void removeSamplePressed(kit::View* button);
    void removeSoundbankPressed(kit::View* button);
    void removeFromSoundbankPressed(kit::View* button);
    void renameSoundbankPressed(kit::View* button);
    void renameUserSamplePressed(kit::View* button);
    void addSoundbankPressed();
    void recordSampleBtnPressed();
    void exchangePasteBtnPressed();

    // --- Table data source and delegate ---------------------------------------------
    int numberOfSections(kit::TableView& table) override;
    int numberOfRows(kit::TableView& table, int section) override;
    std::unique_ptr<kit::TableViewCell> cellForRow(kit::TableView& table, const kit::IndexPath& path) override;
    double heightForRow(kit::TableView& table, const kit::IndexPath& path) override;
    bool heightsForRows(kit::TableView& table, int section, std::span<double> heights) override;
    void didSelectRow(kit::TableView& table, const kit::IndexPath& path) override;

    // --- Engine and library messages ------------------------------------------------
    void trackStarted(const std::string&, bool) override {}
    void trackStopped(const std::string& path, bool fromTapPad) override;
    void trackFinishedPlaying(const std::string& path) override;
    void audioRouteChangedStopAudio() override {}
    void soundbanksChanged() override { reloadSoundbanks(); }
    void samplesChanged() override;

private:
    /// What a drag or a removal picked: it is found again by identity when acted on.
    struct Picked {
        std::shared_ptr<library::Sample> sample;
        std::shared_ptr<library::Soundpack> pack;
        std::shared_ptr<library::Soundbank> bank;
        int pad = -1;
    };

    void loadView();
    std::unique_ptr<DropTableCell> srcTableCellForRowAtIndexPath(const kit::IndexPath& path, bool reuse);
    std::unique_ptr<DropTableCell> dstTableCellForRowAtIndexPath(const kit::IndexPath& path, bool reuse);
    /// Shows in `cell` what the bank row at `path` holds.
    void fillDstCell(DropTableCell& cell, const kit::IndexPath& path);
    std::unique_ptr<kit::Button> rowButton(const char* imageName, const QRectF& frame,
                                           void (DragDropTableViewController::*action)(kit::View*));
    void collapseExpandSection(int section, kit::TableView& table, std::set<int>& expanded, int rowCount);
    void removePlayingArrowForFilePath(const std::string& path);
    void setArrowShown(kit::TableView& table, const kit::IndexPath& path, bool shown);

    void handlePanning(kit::GestureRecognizer& gesture);
    bool canPickUpAt(const QPointF& pointInView) const;
    void startDragging(kit::PanGestureRecognizer& gesture);
    void startDraggingFromSrcAtPoint(const QPointF& point);
    void startDraggingFromDstAtPoint(const QPointF& point);
    void doDrag(kit::PanGestureRecognizer& gesture);
    void stopDragging(kit::PanGestureRecognizer& gesture);
    void placeDraggedCell(std::unique_ptr<DropTableCell> cell, kit::TableView& table, kit::TableViewCell& own,
                          double alpha);
    void endDrag();
    void setDraggedSrcSampleAtDstIndexPath(const kit::IndexPath& target);
    void moveDraggedDstSampleToDstIndexPath(const kit::IndexPath& target);

    /// Where the picked things are now; none when they are gone.
    std::optional<kit::IndexPath> currentPathOfSample(const std::shared_ptr<library::Sample>& sample) const;
    std::optional<int> currentIndexOfPack(const std::shared_ptr<library::Soundpack>& pack) const;
    std::optional<int> currentIndexOfBank(const std::shared_ptr<library::Soundbank>& bank) const;
    std::optional<kit::IndexPath> pathOfButton(kit::View* button, kit::TableView& table) const;
    /// One removal the user is asked about: what it removes is fixed when asked.
    struct Removal {
        Picked picked;
        bool fromSource = false;
        bool sampleRow = false;
    };
    /// Asks about one removal; while a question waits for its answer, other
    /// removal buttons ask nothing.
    void askRemoval(const QString& title, const QString& message, Picked picked, const kit::IndexPath& path,
                    bool fromSource);
    void removalAnswered(const QString& buttonTitle, const Removal& removal);
    /// Expanded sections above `removed` move down by one; `removed` goes.
    static void sectionRemoved(std::set<int>& expanded, int removed);
    /// Notes which packs and banks the expanded sections show, after the
    /// browser changed them or the library by itself.
    void rememberExpandedSections();
    /// After a change of the library from outside (a download, a scan, the pad
    /// screen), the expanded sections are those of the same packs and banks,
    /// wherever they moved; those gone are forgotten.
    void followExpandedSections();
    /// Library changes made by the browser itself, which updates its own rows.
    template <typename Change>
    bool unobserved(Change change);

    GuiType guiType_;
    Metrics metrics_;
    library::SoundDataManager& library_;
    PadEngine& engine_;
    DragDropTableViewControllerDelegate* delegate_ = nullptr;

    std::unique_ptr<kit::View> ownView_;
    kit::View* view_ = nullptr;
    /// The view may go before the browser (with its window): nothing in it is touched then.
    std::weak_ptr<void> viewAlive_;
    bool viewGone() const { return !view_ || viewAlive_.expired(); }
    kit::TableView* srcTableView_ = nullptr;
    kit::TableView* dstTableView_ = nullptr;
    kit::PanGestureRecognizer* pan_ = nullptr;
    kit::View *recordButton_ = nullptr, *pasteButton_ = nullptr, *addBankButton_ = nullptr;

    std::set<int> expandedSrcSections_;
    std::set<int> expandedDstSections_;
    std::vector<std::shared_ptr<library::Soundpack>> expandedPacks_;
    std::vector<std::shared_ptr<library::Soundbank>> expandedBanks_;
    kit::View* draggedCell_ = nullptr;
    std::optional<kit::IndexPath> draggedIndexPath_;
    bool dragFromSource_ = false;
    Picked dragged_;
    /// The row whose removal waits for the user's answer.
    std::optional<kit::IndexPath> editIndexPath_;
    QString editAlertTitle_;  // the title of the question `editIndexPath_` waits on
    std::map<std::string, kit::IndexPath> playingSamplesToSrcIndexPath_;
    std::map<std::string, kit::IndexPath> playingSamplesToDstIndexPath_;
    bool observing_ = false;
    /// Held weakly by alert answers, which may come after the browser is gone.
    std::shared_ptr<int> lifetime_ = std::make_shared<int>(0);
};

}  // namespace strombel::ui
