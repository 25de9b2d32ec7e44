#include "ui/drag_drop_table_view_controller.h"

#include <QStringList>

#include <algorithm>
#include <numbers>

#include "logging/log.h"
#include "ui/gui_factory.h"
#include "ui/kit/animator.h"
#include "ui/kit/context.h"
#include "ui/kit/control.h"
#include "ui/kit/presenters.h"
#include "ui/kit/problem_reporter.h"
#include "ui/small_button_control.h"
#include "ui/util.h"

namespace strombel::ui {

namespace {

const QString kSrcHeaderIdentifier = "SrcHeaderDropTableCell";
const QString kSrcIdentifier = "SrcDropTableCell";
const QString kDstHeaderIdentifier = "DstHeaderDropTableCell";
const QString kDstIdentifier = "DstDropTableCell";
constexpr int kPadsPerBank = 12;
/// The row of the bank being played: the dark rust of the lines, dimmed.
const QColor kCurrentRowColor(72, 60, 38);

QString upper(const std::string& text) {
    return QString::fromStdString(text).toUpper();
}

}  // namespace

// ---- The collapse arrow -------------------------------------------------------------------

CollapseArrowView::CollapseArrowView(GuiType guiType) : kit::ImageView(GuiFactory::imageWithName("arrow", guiType)) {
    setTag(kTag);
}

CollapseArrowView::~CollapseArrowView() {
    kit::Context::current().animator().removeAllAnimations(*this);
}

void CollapseArrowView::setExpanded(bool expanded) {
    expanded_ = expanded;
    kit::Context::current().animator().removeAllAnimations(*this);
    setRotationRadians(expanded ? std::numbers::pi / 2 : 0);
}

void CollapseArrowView::makeExpanded(bool expanded) {
    expanded_ = expanded;
    kit::Context::current().animator().animateRotation(*this, expanded ? std::numbers::pi / 2 : 0, kTurnSeconds);
}

// ---- Cells --------------------------------------------------------------------------------

DropTableCell::DropTableCell(const QString& reuseIdentifier, int32_t fontSize) : kit::TableViewCell(reuseIdentifier) {
    setBackgroundColor(Qt::black);
    auto label = std::make_unique<kit::Label>();
    label->setFont(GuiFactory::interfaceFont(fontSize));
    label->setBackgroundColor(Qt::transparent);
    label->setUserInteractionEnabled(false);
    // A name too long for its row is drawn smaller, or on a second line.
    label->setFitting(2, GuiFactory::kNameMinimumScale);
    textLabel_ = add(std::move(label));
    auto separator = std::make_unique<kit::View>();
    separator->setBackgroundColor(GuiFactory::darkRustyColor());
    separator->setUserInteractionEnabled(false);
    separator_ = add(std::move(separator));
}

void DropTableCell::setCurrent(bool current) {
    current_ = current;
    // The row's buttons are see-through, so the lit row shows around their icons.
    setBackgroundColor(current ? kCurrentRowColor : QColor(Qt::black));
    textLabel_->setTextColor(current ? QColor(Qt::white) : GuiFactory::rustyColor());
}

void DropTableCell::sizeChanged(const QSizeF& oldSize) {
    kit::TableViewCell::sizeChanged(oldSize);
    layoutText();
    separator_->setFrame(QRectF(0, height() - 1, width(), 1));
}

void DropTableCell::layoutText() {
    double right = width();
    const double middle = height() / 2;
    for (const kit::View* button : {static_cast<kit::View*>(deleteButton), static_cast<kit::View*>(renameButton),
                                    static_cast<kit::View*>(removeButton)}) {
        // Buttons above the text's line (a pack's header) leave it alone.
        if (button && !button->isHidden() && button->frame().top() < middle && button->frame().bottom() > middle)
            right = std::min(right, button->x());
    }
    textLabel_->setFrame(QRectF(kTextInset, 0, std::max(0.0, right - kTextInset), height()));
}

// ---- Building ---------------------------------------------------------------------------

DragDropTableViewController::Metrics DragDropTableViewController::metricsFor(GuiType guiType) {
    switch (guiType) {
        case GuiType::phoneLandscape: return {206, 291, 4, 6, 25, 6, 12, -2};
        case GuiType::phonePortrait: return {301, 426, 4, 8, 35, 8, 18, -3};
        case GuiType::tablet: break;
    }
    return {457, 646, 5, 15, 45, 12, 25, -6};
}

DragDropTableViewController::DragDropTableViewController(GuiType guiType, library::SoundDataManager& library,
                                                         PadEngine& engine)
    : guiType_(guiType), metrics_(metricsFor(guiType)), library_(library), engine_(engine) {}

DragDropTableViewController::~DragDropTableViewController() {
    engine_.removeDelegate(this);
    library_.removeDelegate(this);
    if (viewGone()) return;
    if (draggedCell_) draggedCell_->removeFromSuperview();
    // The tables may ask their data source while they go: they forget it first.
    for (kit::TableView* table : {srcTableView_, dstTableView_}) {
        table->setDataSource(nullptr);
        table->setDelegate(nullptr);
    }
    if (!ownView_) view_->removeFromSuperview();
}

kit::View* DragDropTableViewController::view() {
    if (!view_) loadView();
    return view_;
}

std::unique_ptr<kit::View> DragDropTableViewController::takeView() {
    view();
    return std::move(ownView_);
}

void DragDropTableViewController::loadView() {
    const Metrics& m = metrics_;
    const int32_t h = m.half(), C = m.tableCellHeight, M = m.margin, I = m.iconButtonMargin;
    ownView_ = std::make_unique<kit::View>(QRectF(0, 0, m.width, m.height));
    view_ = ownView_.get();
    viewAlive_ = view_->lifetime();
    view_->setBackgroundColor(Qt::transparent);
    view_->add(std::make_unique<kit::ImageView>(GuiFactory::imageWithName("sortControlBack", guiType_)));

    auto makeTable = [&](double x) {
        auto table = std::make_unique<kit::TableView>(QRectF(x, M, m.tableWidth(), m.tableHeight()));
        table->setBackgroundColor(Qt::black);
        table->setRowHeight(C);
        table->setDataSource(this);
        table->setDelegate(this);
        return view_->add(std::move(table));
    };
    srcTableView_ = makeTable(M);
    dstTableView_ = makeTable(h + M);

    for (const QRectF& frame : {QRectF(h, 0, 1, m.height), QRectF(0, m.tableHeight() + 2 * M, m.width, 1)}) {
        auto line = std::make_unique<kit::View>(frame);
        line->setBackgroundColor(GuiFactory::darkRustyColor());
        line->setUserInteractionEnabled(false);
        view_->add(std::move(line));
    }

    auto iconButton = [&](const QRectF& frame, const char* title, const char* icon, void (DragDropTableViewController::*action)()) {
        auto button = std::make_unique<QVButtonWithIcon>(frame, title, GuiFactory::imageWithName(icon, guiType_), guiType_);
        button->setFontSize(m.fontSize);
        button->addTarget(kit::touchUpInside, [this, action](kit::Control&) { (this->*action)(); });
        return view_->add(std::move(button));
    };
    const double buttonWidth = m.tableWidth() - I, buttonHeight = C - M;
    recordButton_ = iconButton(QRectF(I, m.height - 2 * C + 2 * M, buttonWidth, buttonHeight), "RECORD SAMPLE",
                               "recordIcon", &DragDropTableViewController::recordSampleBtnPressed);
    pasteButton_ = iconButton(QRectF(I, m.height - C + M, buttonWidth, buttonHeight), "PASTE SAMPLE", "pasteIcon",
                              &DragDropTableViewController::exchangePasteBtnPressed);
    addBankButton_ = iconButton(QRectF(h + I, m.height - C + M, buttonWidth, buttonHeight), "ADD NEW SOUND BANK",
                                "addIcon", &DragDropTableViewController::addSoundbankPressed);

    for (const auto& [x, text] : {std::pair{0, "SOUND PACKS"}, std::pair{h, "SOUND BANKS"}}) {
        auto caption = GuiFactory::labelForGuiType(guiType_, QPointF(x, m.labelY), h);
        caption->setText(text);
        view_->add(std::move(caption));
    }

    auto pan = std::make_unique<kit::PanGestureRecognizer>([this](kit::GestureRecognizer& gesture) {
        handlePanning(gesture);
    });
    pan->setHoldDuration(kPickUpHoldSeconds);
    pan->shouldBegin = [this](const kit::Touch& touch) { return canPickUpAt(view_->mapFromScene(touch.startScenePoint)); };
    pan_ = static_cast<kit::PanGestureRecognizer*>(view_->addGestureRecognizer(std::move(pan)));

    engine_.addDelegate(this);
    library_.addDelegate(this);
    observing_ = true;
    delegate_ = nullptr;
    draggedCell_ = nullptr;
    draggedIndexPath_.reset();
    srcTableView_->reloadData();
    dstTableView_->reloadData();
}

void DragDropTableViewController::viewWillAppear() {
    view();
    followExpandedSections();
    srcTableView_->reloadData();
    dstTableView_->reloadData();
}

void DragDropTableViewController::reloadSoundbanks() {
    if (viewGone()) return;
    followExpandedSections();
    dstTableView_->reloadData();
}

void DragDropTableViewController::currentSoundbankChanged() {
    if (viewGone()) return;
    // Called while a change of the library may be under way, before the rows
    // have moved with it: each row is marked by the bank it shows, not by its place.
    const auto current = library_.soundbankAtIndex(engine_.currentSoundBankIdx());
    for (int section = 0; section < dstTableView_->numberOfSections(); ++section) {
        auto* cell = dynamic_cast<DropTableCell*>(dstTableView_->cellForRow({section, 0}));
        if (cell && cell->bank) cell->setCurrent(cell->bank == current);
    }
}

void DragDropTableViewController::samplesChanged() {
    if (viewGone()) return;
    followExpandedSections();
    srcTableView_->reloadData();
    dstTableView_->reloadData();
}

void DragDropTableViewController::rememberExpandedSections() {
    const auto packs = library_.soundpacks();
    expandedPacks_.clear();
    for (int section : expandedSrcSections_)
        if (size_t(section) < packs.size()) expandedPacks_.push_back(packs[size_t(section)]);
    const auto banks = library_.soundbanks();
    expandedBanks_.clear();
    for (int section : expandedDstSections_)
        if (size_t(section) < banks.size()) expandedBanks_.push_back(banks[size_t(section)]);
}

void DragDropTableViewController::followExpandedSections() {
    expandedSrcSections_.clear();
    for (const auto& pack : expandedPacks_)
        if (const auto section = currentIndexOfPack(pack)) expandedSrcSections_.insert(*section);
    expandedDstSections_.clear();
    for (const auto& bank : expandedBanks_)
        if (const auto section = currentIndexOfBank(bank)) expandedDstSections_.insert(*section);
    rememberExpandedSections();
}

template <typename Change>
bool DragDropTableViewController::unobserved(Change change) {
    library_.removeDelegate(this);
    const bool done = change();
    if (observing_) library_.addDelegate(this);
    return done;
}

// ---- Rows ---------------------------------------------------------------------------------

int DragDropTableViewController::numberOfSections(kit::TableView& table) {
    if (&table == srcTableView_) return int(library_.soundpackSamplesResultsController().sections().size());
    return int(library_.soundbankCount());
}

int DragDropTableViewController::numberOfRows(kit::TableView& table, int section) {
    if (&table == srcTableView_) {
        const auto& sections = library_.soundpackSamplesResultsController().sections();
        if (size_t(section) >= sections.size()) return 0;
        return 1 + (expandedSrcSections_.count(section) ? int(sections[size_t(section)].samples.size()) : 0);
    }
    return 1 + (expandedDstSections_.count(section) ? kPadsPerBank : 0);
}

double DragDropTableViewController::heightForRow(kit::TableView& table, const kit::IndexPath& path) {
    const double C = metrics_.tableCellHeight;
    return &table == srcTableView_ && path.row == 0 ? 2 * C : C;
}

bool DragDropTableViewController::heightsForRows(kit::TableView& table, int section, std::span<double> heights) {
    std::fill(heights.begin(), heights.end(), double(metrics_.tableCellHeight));
    if (!heights.empty()) heights[0] = heightForRow(table, {section, 0});
    return true;
}

std::unique_ptr<kit::TableViewCell> DragDropTableViewController::cellForRow(kit::TableView& table,
                                                                            const kit::IndexPath& path) {
    if (&table == srcTableView_) return srcTableCellForRowAtIndexPath(path, true);
    return dstTableCellForRowAtIndexPath(path, true);
}

std::unique_ptr<kit::Button> DragDropTableViewController::rowButton(
    const char* imageName, const QRectF& frame, void (DragDropTableViewController::*action)(kit::View*)) {
    auto button = std::make_unique<kit::Button>(frame);
    button->setBackgroundColor(Qt::transparent);
    button->setImage(GuiFactory::imageWithName(imageName, guiType_), kit::normal);
    button->addTarget(kit::touchUpInside, [this, action](kit::Control& pressed) { (this->*action)(&pressed); });
    return button;
}

namespace {

/// A taken cell of the right kind, or null.
std::unique_ptr<DropTableCell> reused(kit::TableView& table, const QString& identifier) {
    auto cell = table.dequeueReusableCell(identifier);
    auto* drop = dynamic_cast<DropTableCell*>(cell.get());
    if (!drop) return nullptr;
    cell.release();
    return std::unique_ptr<DropTableCell>(drop);
}

}  // namespace

std::unique_ptr<DropTableCell> DragDropTableViewController::srcTableCellForRowAtIndexPath(const kit::IndexPath& path,
                                                                                          bool reuse) {
    const Metrics& m = metrics_;
    const int32_t C = m.tableCellHeight, M = m.margin, B = m.buttonSpace, W = m.tableWidth();
    const auto& sections = library_.soundpackSamplesResultsController().sections();
    const bool header = path.row == 0;
    const QString& identifier = header ? kSrcHeaderIdentifier : kSrcIdentifier;
    std::unique_ptr<DropTableCell> cell = reuse ? reused(*srcTableView_, identifier) : nullptr;
    if (!cell) {
        cell = std::make_unique<DropTableCell>(identifier, m.fontSize);
        cell->setFrame(QRectF(0, 0, W, header ? 2 * C : C));
        if (header) {
            auto arrow = std::make_unique<CollapseArrowView>(guiType_);
            arrow->setX(W - M - arrow->width(), C / 2 - arrow->height() / 2);
            cell->deleteButton = cell->add(rowButton("deleteIcon", QRectF(W - 2 * B, 0, B, C),
                                                     &DragDropTableViewController::removeSoundpackPressed));
            // The button lies beneath the text.
            cell->deleteButton->stackBefore(cell->textLabel());
            cell->collapseArrow = cell->add(std::move(arrow));
        } else {
            auto arrow = std::make_unique<kit::ImageView>(GuiFactory::imageWithName("arrow", guiType_));
            arrow->setTag(DropTableCell::kPlayingArrowTag);
            arrow->setX(M, C / 2 - arrow->height() / 2);
            cell->playingArrow = cell->add(std::move(arrow));
            cell->deleteButton = cell->add(
                rowButton("deleteIcon", QRectF(W - B, 0, B, C), &DragDropTableViewController::removeSamplePressed));
            auto rename = rowButton("renameIcon", QRectF(W - M - 2 * B, 0, B, C),
                                    &DragDropTableViewController::renameUserSamplePressed);
            rename->setTag(DropTableCell::kRenameButtonTag);
            cell->renameButton = cell->add(std::move(rename));
        }
        cell->raiseSeparator();
    }
    if (size_t(path.section) >= sections.size()) return cell;
    const auto& section = sections[size_t(path.section)];
    if (header) {
        cell->textLabel()->setTextColor(GuiFactory::rustyColor());
        cell->textLabel()->setText(upper(section.name));
        cell->collapseArrow->setExpanded(expandedSrcSections_.count(path.section) > 0);
        cell->layoutText();
        return cell;
    }
    cell->textLabel()->setTextColor(Qt::white);
    const size_t index = size_t(path.row - 1);
    if (index >= section.samples.size()) return cell;
    const auto& sample = section.samples[index];
    cell->textLabel()->setText("     " + upper(sample->name()).left(kPackNameLength));
    const auto playing = playingSamplesToSrcIndexPath_.find(sample->filepath());
    cell->playingArrow->setHidden(playing == playingSamplesToSrcIndexPath_.end());
    const auto pack = sample->soundpack();
    cell->renameButton->setHidden(!pack || pack->packId() != library::SoundDataManager::kUserSamplesPackId);
    cell->layoutText();
    return cell;
}

std::unique_ptr<DropTableCell> DragDropTableViewController::dstTableCellForRowAtIndexPath(const kit::IndexPath& path,
                                                                                          bool reuse) {
    const Metrics& m = metrics_;
    const int32_t C = m.tableCellHeight, M = m.margin, B = m.buttonSpace, W = m.tableWidth();
    const bool header = path.row == 0;
    const QString& identifier = header ? kDstHeaderIdentifier : kDstIdentifier;
    std::unique_ptr<DropTableCell> cell = reuse ? reused(*dstTableView_, identifier) : nullptr;
    if (!cell) {
        cell = std::make_unique<DropTableCell>(identifier, m.fontSize);
        cell->setFrame(QRectF(0, 0, W, C));
        if (header) {
            auto arrow = std::make_unique<CollapseArrowView>(guiType_);
            arrow->setX(0, C / 2 - arrow->height() / 2);
            cell->collapseArrow = cell->add(std::move(arrow));
            cell->deleteButton = cell->add(
                rowButton("deleteIcon", QRectF(W - B, 0, B, C), &DragDropTableViewController::removeSoundbankPressed));
            cell->renameButton = cell->add(rowButton("renameIcon", QRectF(W - 2 * B, 0, B, C),
                                                     &DragDropTableViewController::renameSoundbankPressed));
        } else {
            auto arrow = std::make_unique<kit::ImageView>(GuiFactory::imageWithName("arrow", guiType_));
            arrow->setTag(DropTableCell::kPlayingArrowTag);
            arrow->setX(M, C / 2 - arrow->height() / 2);
            cell->playingArrow = cell->add(std::move(arrow));
            auto remove = rowButton("removeIcon", QRectF(W - B, 0, B, C),
                                    &DragDropTableViewController::removeFromSoundbankPressed);
            remove->setTag(DropTableCell::kRemoveButtonTag);
            cell->removeButton = cell->add(std::move(remove));
        }
        cell->raiseSeparator();
    }
    fillDstCell(*cell, path);
    return cell;
}

void DragDropTableViewController::fillDstCell(DropTableCell& cell, const kit::IndexPath& path) {
    const bool header = path.row == 0;
    const auto bank = library_.soundbankAtIndex(uint64_t(path.section));
    if (!bank) return;
    if (header) {
        const QString indent = guiType_ == GuiType::phoneLandscape ? " " : "    ";
        cell.textLabel()->setText(indent + upper(bank->name()));
        cell.bank = bank;
        cell.setCurrent(bank == library_.soundbankAtIndex(engine_.currentSoundBankIdx()));
        cell.collapseArrow->setExpanded(expandedDstSections_.count(path.section) > 0);
        cell.layoutText();
        return;
    }
    cell.textLabel()->setTextColor(Qt::white);
    const auto assignment = library::SoundDataManager::soundbankSampleOnPad(*bank, uint64_t(path.row - 1));
    const auto sample = assignment ? assignment->sample() : nullptr;
    if (!sample) {
        cell.textLabel()->setText(QString("     [ %1 ]").arg(path.row));
        cell.playingArrow->setHidden(true);
        cell.removeButton->setHidden(true);
        cell.layoutText();
        return;
    }
    cell.textLabel()->setText("     " + upper(sample->name()));
    cell.playingArrow->setHidden(!playingSamplesToDstIndexPath_.count(sample->filepath()));
    cell.removeButton->setHidden(false);
    cell.layoutText();
}

// ---- Expanding and previewing ----------------------------------------------------------

void DragDropTableViewController::collapseExpandSection(int section, kit::TableView& table, std::set<int>& expanded,
                                                        int rowCount) {
    std::vector<kit::IndexPath> rows;
    for (int row = 1; row <= rowCount; ++row) rows.push_back({section, row});
    if (!expanded.count(section)) {
        expanded.insert(section);
        table.beginUpdates();  // one layout for the new rows and the scroll
        table.insertRows(rows);
        table.scrollToRowAtTop({section, 0});
        table.endUpdates();
    } else {
        expanded.erase(section);
        table.deleteRows(rows);
    }
    rememberExpandedSections();
}

void DragDropTableViewController::didSelectRow(kit::TableView& table, const kit::IndexPath& path) {
    const bool source = &table == srcTableView_;
    if (path.row == 0) {
        auto* cell = dynamic_cast<DropTableCell*>(table.cellForRow(path));
        if (source) {
            const auto& sections = library_.soundpackSamplesResultsController().sections();
            if (size_t(path.section) >= sections.size()) return;
            collapseExpandSection(path.section, table, expandedSrcSections_,
                                  int(sections[size_t(path.section)].samples.size()));
            if (cell && cell->collapseArrow) cell->collapseArrow->makeExpanded(expandedSrcSections_.count(path.section));
        } else {
            collapseExpandSection(path.section, table, expandedDstSections_, kPadsPerBank);
            if (cell && cell->collapseArrow) cell->collapseArrow->makeExpanded(expandedDstSections_.count(path.section));
            if (delegate_) delegate_->soundbankSelected(uint64_t(path.section));
        }
        return;
    }
    const auto sample = source ? library_.soundpackSamplesResultsController().objectAtIndexPath(
                                     size_t(path.section), size_t(path.row - 1))
                               : library_.sampleForSoundbank(uint64_t(path.section), uint64_t(path.row - 1));
    if (!sample) return;
    const std::string& file = sample->filepath();
    auto& playing = source ? playingSamplesToSrcIndexPath_ : playingSamplesToDstIndexPath_;
    if (engine_.isPlaying(file)) {
        engine_.stopTrack(file);
        playing.erase(file);
        setArrowShown(table, path, false);
        return;
    }
    if (engine_.startTrack(file, 0, false, false, true, 1.0f)) {
        playing[file] = path;
        setArrowShown(table, path, true);
    }
}

void DragDropTableViewController::setArrowShown(kit::TableView& table, const kit::IndexPath& path, bool shown) {
    auto* cell = dynamic_cast<DropTableCell*>(table.cellForRow(path));
    if (cell && cell->playingArrow) cell->playingArrow->setHidden(!shown);
}

void DragDropTableViewController::removePlayingArrowForFilePath(const std::string& path) {
    if (viewGone()) return;
    for (auto [table, playing] : {std::pair{srcTableView_, &playingSamplesToSrcIndexPath_},
                                  std::pair{dstTableView_, &playingSamplesToDstIndexPath_}}) {
        auto found = playing->find(path);
        if (found == playing->end()) continue;
        if (table) setArrowShown(*table, found->second, false);
        playing->erase(found);
        return;
    }
}

void DragDropTableViewController::trackStopped(const std::string& path, bool) {
    removePlayingArrowForFilePath(path);
}

void DragDropTableViewController::trackFinishedPlaying(const std::string& path) {
    removePlayingArrowForFilePath(path);
}

// ---- Dragging ------------------------------------------------------------------------------

bool DragDropTableViewController::canPickUpAt(const QPointF& point) const {
    if (srcTableView_->bounds().contains(srcTableView_->mapFromItem(view_, point))) {
        const auto path = srcTableView_->indexPathForRow(srcTableView_->mapFromItem(view_, point));
        return path && path->row != 0;
    }
    const QPointF inDst = dstTableView_->mapFromItem(view_, point);
    return dstTableView_->bounds().contains(inDst) && dstTableView_->indexPathForRow(inDst).has_value();
}

void DragDropTableViewController::handlePanning(kit::GestureRecognizer& gesture) {
    auto& pan = static_cast<kit::PanGestureRecognizer&>(gesture);
    switch (gesture.state()) {
        case kit::GestureRecognizer::State::began: startDragging(pan); break;
        case kit::GestureRecognizer::State::changed: doDrag(pan); break;
        case kit::GestureRecognizer::State::ended:
        case kit::GestureRecognizer::State::cancelled:
        case kit::GestureRecognizer::State::failed: stopDragging(pan); break;
        case kit::GestureRecognizer::State::possible: break;
    }
}

void DragDropTableViewController::startDragging(kit::PanGestureRecognizer& gesture) {
    // The row where the touch began, though the mouse may have moved a little since.
    const QPointF point = gesture.startLocation();
    if (srcTableView_->bounds().contains(srcTableView_->mapFromItem(view_, point))) {
        startDraggingFromSrcAtPoint(srcTableView_->mapFromItem(view_, point));
        dragFromSource_ = true;
    } else if (dstTableView_->bounds().contains(dstTableView_->mapFromItem(view_, point))) {
        startDraggingFromDstAtPoint(dstTableView_->mapFromItem(view_, point));
        dragFromSource_ = false;
    }
}

void DragDropTableViewController::placeDraggedCell(std::unique_ptr<DropTableCell> cell, kit::TableView& table,
                                                   kit::TableViewCell& own, double alpha) {
    // The row's place in the browser's view: the cell's place in the content,
    // less what the table has scrolled.
    const QPointF origin = own.pos() + table.pos() - QPointF(0, table.contentOffset());
    if (draggedCell_) draggedCell_->removeFromSuperview();
    cell->setFrame(QRectF(origin, QSizeF(table.width(), own.height())));
    cell->setAlpha(alpha);
    cell->setUserInteractionEnabled(false);
    draggedCell_ = view_->add(std::move(cell));
}

void DragDropTableViewController::startDraggingFromSrcAtPoint(const QPointF& point) {
    const auto path = srcTableView_->indexPathForRow(point);
    if (!path || path->row == 0) return;
    kit::TableViewCell* own = srcTableView_->cellForRow(*path);
    if (!own) {
        STROMBEL_LOG_ERROR("no SRC cell found for indexpath: {}, {}", path->section, path->row);
        return;
    }
    const auto sample =
        library_.soundpackSamplesResultsController().objectAtIndexPath(size_t(path->section), size_t(path->row - 1));
    if (!sample) return;
    placeDraggedCell(srcTableCellForRowAtIndexPath(*path, false), *srcTableView_, *own, 0.8);
    draggedIndexPath_ = path;
    dragged_ = Picked{sample, nullptr, nullptr, -1};
}

void DragDropTableViewController::startDraggingFromDstAtPoint(const QPointF& point) {
    const auto path = dstTableView_->indexPathForRow(point);
    if (!path) return;
    kit::TableViewCell* own = dstTableView_->cellForRow(*path);
    if (!own) {
        STROMBEL_LOG_ERROR("no DST cell found for indexpath: {}, {}", path->section, path->row);
        return;
    }
    const auto banks = library_.soundbanks();
    if (size_t(path->section) >= banks.size()) return;
    placeDraggedCell(dstTableCellForRowAtIndexPath(*path, false), *dstTableView_, *own, 0.6);
    draggedIndexPath_ = path;
    dragged_ = Picked{nullptr, nullptr, banks[size_t(path->section)], path->row - 1};
    if (path->row == 0 && !expandedDstSections_.empty()) {
        // A whole bank is picked up: every bank folds, so that banks are what lies below.
        const std::set<int> folded = std::move(expandedDstSections_);
        expandedDstSections_.clear();
        rememberExpandedSections();
        dstTableView_->reloadSections(folded);
    }
}

void DragDropTableViewController::doDrag(kit::PanGestureRecognizer& gesture) {
    if (!draggedCell_ || !draggedIndexPath_) return;
    draggedCell_->setCenter(draggedCell_->center() + gesture.translation());
    gesture.setTranslation({});
}

void DragDropTableViewController::stopDragging(kit::PanGestureRecognizer& gesture) {
    if (!draggedCell_ || !draggedIndexPath_) return;
    const QPointF point = gesture.location();
    const QPointF inDst = dstTableView_->mapFromItem(view_, point);
    if (gesture.state() == kit::GestureRecognizer::State::ended && dstTableView_->bounds().contains(inDst)) {
        if (const auto target = dstTableView_->indexPathForRow(inDst)) {
            if (dragFromSource_) setDraggedSrcSampleAtDstIndexPath(*target);
            else moveDraggedDstSampleToDstIndexPath(*target);
        }
    } else if (dragFromSource_ && delegate_) {
        if (const auto now = currentPathOfSample(dragged_.sample)) {
            DragDropTableViewControllerDelegate* delegate = delegate_;
            endDrag();
            delegate->soundpackSampleWithIndexPath(*now, point);
            return;
        }
    }
    endDrag();
}

void DragDropTableViewController::endDrag() {
    if (draggedCell_) draggedCell_->removeFromSuperview();
    draggedCell_ = nullptr;
    draggedIndexPath_.reset();
    dragged_ = {};
}

void DragDropTableViewController::setDraggedSrcSampleAtDstIndexPath(const kit::IndexPath& target) {
    if (target.row == 0 || !dragged_.sample || dragged_.sample->isDeleted()) return;
    const auto sample = dragged_.sample;
    const bool set = unobserved([&] {
        return library_.setSample(sample, uint64_t(target.section), uint64_t(target.row - 1));
    });
    if (set) dstTableView_->reloadRows({target});
}

void DragDropTableViewController::moveDraggedDstSampleToDstIndexPath(const kit::IndexPath& target) {
    const auto from = currentIndexOfBank(dragged_.bank);
    if (!from) return;
    if (dragged_.pad < 0) {
        if (target.section == *from) return;
        const bool moved = unobserved([&] {
            return library_.moveSoundbankFromIndex(uint64_t(*from), uint64_t(target.section));
        });
        if (moved) dstTableView_->moveSection(*from, target.section);
        return;
    }
    if (target.section != *from || target.row == 0 || target.row - 1 == dragged_.pad) return;
    const int pad = dragged_.pad;
    const bool switched = unobserved([&] {
        return library_.switchSamplesInSoundbank(uint64_t(*from), uint64_t(pad), uint64_t(target.row - 1));
    });
    if (!switched) return;
    // The rows shown may be where the drag began, or not (the bank moved meanwhile).
    if (!expandedDstSections_.count(*from)) return;
    dstTableView_->beginUpdates();
    dstTableView_->moveRow({*from, pad + 1}, target);
    dstTableView_->moveRow(target, {*from, pad + 1});
    dstTableView_->endUpdates();
    // The rows travel with their cells, but an empty pad's row shows its own
    // number: both cells say what their new rows hold.
    for (const kit::IndexPath& path : {kit::IndexPath{*from, pad + 1}, target}) {
        if (auto* cell = dynamic_cast<DropTableCell*>(dstTableView_->cellForRow(path))) fillDstCell(*cell, path);
    }
}

// ---- Finding what was picked -------------------------------------------------------------

std::optional<kit::IndexPath> DragDropTableViewController::currentPathOfSample(
    const std::shared_ptr<library::Sample>& sample) const {
    if (!sample || sample->isDeleted()) return std::nullopt;
    const auto& sections = library_.soundpackSamplesResultsController().sections();
    for (size_t section = 0; section < sections.size(); ++section) {
        const auto& samples = sections[section].samples;
        const auto found = std::find(samples.begin(), samples.end(), sample);
        if (found != samples.end()) return kit::IndexPath{int(section), int(found - samples.begin())};
    }
    return std::nullopt;
}

std::optional<int> DragDropTableViewController::currentIndexOfPack(
    const std::shared_ptr<library::Soundpack>& pack) const {
    if (!pack || pack->isDeleted()) return std::nullopt;
    const auto packs = library_.soundpacks();
    const auto found = std::find(packs.begin(), packs.end(), pack);
    if (found == packs.end()) return std::nullopt;
    return int(found - packs.begin());
}

std::optional<int> DragDropTableViewController::currentIndexOfBank(
    const std::shared_ptr<library::Soundbank>& bank) const {
    if (!bank || bank->isDeleted()) return std::nullopt;
    const auto banks = library_.soundbanks();
    const auto found = std::find(banks.begin(), banks.end(), bank);
    if (found == banks.end()) return std::nullopt;
    return int(found - banks.begin());
}

std::optional<kit::IndexPath> DragDropTableViewController::pathOfButton(kit::View* button,
                                                                        kit::TableView& table) const {
    return table.indexPathForCell(Util::findParentTableViewCellFor(button));
}

// ---- Row buttons and removals ----------------------------------------------------------

void DragDropTableViewController::askRemoval(const QString& title, const QString& message, Picked picked,
                                             const kit::IndexPath& path, bool fromSource) {
    // One removal question at a time; one that no longer shows (taken away
    // unanswered, or never shown) holds nothing.
    if (editIndexPath_ && kit::Context::current().alerts().isAlertVisible(editAlertTitle_)) return;
    editIndexPath_ = path;
    editAlertTitle_ = title;
    const Removal removal{std::move(picked), fromSource, path.row >= 1};
    std::weak_ptr<int> alive = lifetime_;
    kit::Context::current().alerts().showAlert(title, message, {"No wait!", "Remove"},
                                               [this, alive, removal](const QString& answer) {
                                                   if (!alive.expired()) removalAnswered(answer, removal);
                                               });
}

void DragDropTableViewController::removeSoundpackPressed(kit::View* button) {
    const auto path = pathOfButton(button, *srcTableView_);
    if (!path) return;
    const auto& sections = library_.soundpackSamplesResultsController().sections();
    if (size_t(path->section) >= sections.size() || sections[size_t(path->section)].samples.empty()) return;
    const auto pack = sections[size_t(path->section)].samples.front()->soundpack();
    if (!pack) return;
    if (pack->packId() == library::SoundDataManager::kUserSamplesPackId) {
        askRemoval("User Samples",
                   QString("Remove all user samples?\n\nTheir files go to the trash. New samples are added by "
                           "putting sound files into the folder %1.")
                       .arg(QString::fromStdString(library_.applicationDocumentsDirectory().string())),
                   Picked{nullptr, pack, nullptr, -1}, *path, true);
        return;
    }
    askRemoval("Soundpack",
               QString("Remove '%1'?\n\nThe pack and all its samples will be removed from Strombel. It can be "
                       "redownloaded from the shop for free.")
                   .arg(QString::fromStdString(pack->name())),
               Picked{nullptr, pack, nullptr, -1}, *path, true);
}

void DragDropTableViewController::removeSamplePressed(kit::View* button) {
    const auto path = pathOfButton(button, *srcTableView_);
    if (!path || path->row < 1) return;
    const auto sample = library_.soundpackSamplesResultsController().objectAtIndexPath(size_t(path->section),
                                                                                      size_t(path->row - 1));
    if (!sample) return;
    // A file of the user's own cannot be downloaded again: it goes to the trash.
    const QString message = library::SoundDataManager::isUsersOwnFile(sample->filepath())
                                ? QString("Remove sample '%1'?\n\nIt will be removed from Strombel and its file "
                                          "goes to the trash, from where it can be restored.")
                                : QString("Remove sample '%1'?\n\nIt will be removed from Strombel and can only be "
                                          "recovered by redownloading the corresponding pack from the shop.");
    askRemoval("Sample", message.arg(QString::fromStdString(sample->name())),
               Picked{sample, nullptr, nullptr, -1}, *path, true);
}

void DragDropTableViewController::removeSoundbankPressed(kit::View* button) {
    const auto path = pathOfButton(button, *dstTableView_);
    if (!path) return;
    const auto banks = library_.soundbanks();
    if (size_t(path->section) >= banks.size()) return;
    const auto bank = banks[size_t(path->section)];
    askRemoval("Soundbank", QString("Remove '%1'?").arg(QString::fromStdString(bank->name())),
               Picked{nullptr, nullptr, bank, -1}, *path, false);
}

void DragDropTableViewController::removeFromSoundbankPressed(kit::View* button) {
    const auto path = pathOfButton(button, *dstTableView_);
    if (!path || path->row < 1) return;
    const bool removed = unobserved([&] {
        return library_.removeSampleFromSoundbank(uint64_t(path->section), uint64_t(path->row - 1));
    });
    if (removed) dstTableView_->reloadRows({*path});
}

void DragDropTableViewController::renameSoundbankPressed(kit::View* button) {
    const auto path = pathOfButton(button, *dstTableView_);
    if (path && delegate_) delegate_->renameSoundbank(uint64_t(path->section));
}

void DragDropTableViewController::renameUserSamplePressed(kit::View* button) {
    const auto path = pathOfButton(button, *srcTableView_);
    if (path && path->row >= 1 && delegate_) delegate_->editUserSample(uint64_t(path->row - 1));
}

void DragDropTableViewController::addSoundbankPressed() {
    const int before = int(library_.soundbanks().size());
    const bool made = unobserved([&] {
        if (!library_.createNewSoundbank()) return false;
        library_.saveSoundbanks();
        return true;
    });
    if (!made) return;
    dstTableView_->insertSections({before});
    if (delegate_) delegate_->renameSoundbank(uint64_t(before));
}

void DragDropTableViewController::recordSampleBtnPressed() {
    if (delegate_) delegate_->toggleSampleRecording();
}

void DragDropTableViewController::exchangePasteBtnPressed() {
    if (delegate_) delegate_->engageExchangePaste();
}

void DragDropTableViewController::sectionRemoved(std::set<int>& expanded, int removed) {
    std::set<int> moved;
    for (int section : expanded) {
        if (section < removed) moved.insert(section);
        else if (section > removed) moved.insert(section - 1);
    }
    expanded = std::move(moved);
}

void DragDropTableViewController::removalAnswered(const QString& buttonTitle, const Removal& removal) {
    const Picked& picked = removal.picked;
    const bool fromSource = removal.fromSource;
    const bool sampleRow = removal.sampleRow;
    editIndexPath_.reset();
    if (buttonTitle != "Remove" || viewGone()) return;

    if (fromSource && sampleRow) {
        const auto path = currentPathOfSample(picked.sample);
        if (!path) return;
        const size_t sectionsBefore = library_.soundpackSamplesResultsController().sections().size();
        const bool removed = unobserved([&] { return library_.removeSample(picked.sample, true); });
        if (!removed) {
            if (!library_.removalProblem().empty())
                kit::Context::current().problems().alert("Sample", library_.removalProblem(),
                                                         kit::ProblemReporter::Log::notHere);
            return;
        }
        if (library_.soundpackSamplesResultsController().sections().size() != sectionsBefore) {
            sectionRemoved(expandedSrcSections_, path->section);
            srcTableView_->reloadData();
        } else if (expandedSrcSections_.count(path->section)) {
            srcTableView_->deleteRows({{path->section, path->row + 1}});
        } else {
            srcTableView_->reloadData();
        }
        dstTableView_->reloadData();
        return;
    }
    if (fromSource) {
        const auto section = currentIndexOfPack(picked.pack);
        if (!section) return;
        const bool removed = unobserved([&] { return library_.removeSoundpackAtIndex(uint64_t(*section)); });
        if (!removed) {
            // Some files could not be deleted: their samples, and with them the
            // pack and its section, stay. The rows show what is left, the
            // expanded sections stay as they were, and the user hears which stayed.
            srcTableView_->reloadData();
            dstTableView_->reloadData();
            if (picked.pack->isDeleted()) return;
            QStringList names;
            for (const auto& sample : picked.pack->samplesInPack()) names << QString::fromStdString(sample->name());
            names.sort(Qt::CaseInsensitive);
            kit::Context::current().problems().alert(
                "Soundpack",
                QString("'%1' could not be removed whole. These samples could not be deleted and stay:\n\n%2")
                    .arg(QString::fromStdString(picked.pack->name()), names.join("\n"))
                    .toStdString(),
                kit::ProblemReporter::Log::notHere);
            return;
        }
        sectionRemoved(expandedSrcSections_, *section);
        srcTableView_->deleteSections({*section});
        dstTableView_->reloadData();
        return;
    }
    const auto section = currentIndexOfBank(picked.bank);
    if (!section) return;
    const size_t banksBefore = library_.soundbanks().size();
    const bool removed = unobserved([&] { return library_.removeSoundbankAtIndex(uint64_t(*section)); });
    if (!removed) return;
    if (banksBefore == 1) {
        // The library keeps one bank: the last one's section shows what took its place.
        expandedDstSections_.clear();
        dstTableView_->reloadSections({*section});
    } else {
        sectionRemoved(expandedDstSections_, *section);
        dstTableView_->deleteSections({*section});
    }
}

}  // namespace strombel::ui
