#include "ui/kit/table_view.h"

#include <QPainter>
#include <algorithm>
#include <climits>
#include <utility>
#include <cmath>

#include "logging/log.h"
#include "ui/kit/animator.h"
#include "ui/kit/touch.h"

namespace strombel::ui::kit {

namespace {

/// How far a finger moves before a touch becomes a drag instead of a tap.
constexpr double kDragThreshold = 8;

/// `rank`-th index (from 0) that is not one of `taken` (sorted).
int nthFree(int rank, const std::vector<int>& taken) {
    int index = rank;
    for (int slot : taken) {
        if (slot <= index) ++index;
        else break;
    }
    return index;
}

}  // namespace

// ---- TableViewCell -----------------------------------------------------------------

TableViewCell::TableViewCell(const QString& reuseIdentifier) : reuseIdentifier_(reuseIdentifier) {}

void TableViewCell::draw(QPainter& painter) {
    if (separatorColor_.alpha() == 0) return;
    painter.fillRect(QRectF(0, height() - 1, width(), 1), separatorColor_);
}

// ---- TableView -----------------------------------------------------------------------

TableView::TableView(const QRectF& frame) : View(frame) {
    setClipsToBounds(true);
    content_ = add(std::make_unique<View>(QRectF(0, 0, frame.width(), 0)));
}

TableView::~TableView() = default;

bool TableView::Update::empty() const {
    return deletedSections.empty() && insertedSections.empty() && reloadedSections.empty() &&
           movedSections.empty() && deletedRows.empty() && insertedRows.empty() && reloadedRows.empty() &&
           movedRows.empty();
}

void TableView::setSeparatorColor(const QColor& color) {
    separatorColor_ = color;
    for (const auto& [path, cell] : visible_) {
        cell->separatorColor_ = color;
        cell->update();
    }
}

std::unique_ptr<TableViewCell> TableView::dequeueReusableCell(const QString& identifier) {
    auto found = reusable_.find(identifier);
    if (found == reusable_.end() || found->second.empty()) return nullptr;
    TableViewCell* cell = found->second.back();
    found->second.pop_back();
    Animator::current().removeAllAnimations(*cell);
    cell->setAlpha(1);
    cell->setZValue(0);
    if (auto given = std::find(givenUp_.begin(), givenUp_.end(), cell); given != givenUp_.end()) {
        givenUp_.erase(given);  // still shown
    } else {
        cell->setHidden(false);
    }
    // Still a subview of the content: adding it there again leaves the scene as
    // it is; dropped instead, it leaves the content as it goes.
    return std::unique_ptr<TableViewCell>(cell);
}

int TableView::numberOfRows(int section) const {
    return section >= 0 && section < int(rowCounts_.size()) ? rowCounts_[size_t(section)] : 0;
}

void TableView::ensureLoaded() {
    if (!loaded_) reloadData();
}

void TableView::measure() {
    const int sections = dataSource_ ? std::max(0, dataSource_->numberOfSections(*this)) : 0;
    // The sections' lists keep their room from one measure to the next.
    rowCounts_.resize(size_t(sections));
    rowTops_.resize(size_t(sections));
    if (!dataSource_) return;
    double top = 0;
    for (int section = 0; section < sections; ++section) {
        const int rows = std::max(0, dataSource_->numberOfRows(*this, section));
        std::vector<double>& tops = rowTops_[size_t(section)];
        tops.resize(size_t(rows) + 1);
        // The heights first, in place of the tops they become.
        if (!delegate_ || !delegate_->heightsForRows(*this, section, std::span(tops.data(), size_t(rows)))) {
            for (int row = 0; row < rows; ++row)
                tops[size_t(row)] = delegate_ ? delegate_->heightForRow(*this, {section, row}) : -1;
        }
        for (int row = 0; row < rows; ++row) {
            const double height = tops[size_t(row)];
            tops[size_t(row)] = top;
            top += height < 0 ? rowHeight_ : height;
        }
        tops[size_t(rows)] = top;
        rowCounts_[size_t(section)] = rows;
    }
    content_->setFrame(QRectF(0, -offset_, width(), top));
}

QRectF TableView::rectForRow(const IndexPath& path) const {
    if (path.section < 0 || path.section >= numberOfSections() || path.row < 0 || path.row >= numberOfRows(path.section))
        return {};
    const auto& tops = rowTops_[size_t(path.section)];
    return QRectF(0, tops[size_t(path.row)], width(), tops[size_t(path.row) + 1] - tops[size_t(path.row)]);
}

std::optional<IndexPath> TableView::indexPathForRow(const QPointF& point) const {
    if (!bounds().contains(point)) return std::nullopt;
    const double y = point.y() + offset_;
    for (int section = 0; section < numberOfSections(); ++section) {
        const auto& tops = rowTops_[size_t(section)];
        if (y < tops.front() || y >= tops.back()) continue;
        auto after = std::upper_bound(tops.begin(), tops.end() - 1, y);
        return IndexPath{section, int(after - tops.begin()) - 1};
    }
    return std::nullopt;
}

TableViewCell* TableView::cellForRow(const IndexPath& path) const {
    auto found = visible_.find(path);
    return found == visible_.end() ? nullptr : found->second;
}

std::optional<IndexPath> TableView::indexPathForCell(const TableViewCell* cell) const {
    for (const auto& [path, shown] : visible_)
        if (shown == cell) return path;
    return std::nullopt;
}

std::vector<TableViewCell*> TableView::visibleCells() const {
    std::vector<TableViewCell*> cells;
    for (const auto& [path, cell] : visible_) cells.push_back(cell);
    return cells;
}

void TableView::enqueue(TableViewCell* cell) {
    cell->setHidden(true);
    reusable_[cell->reuseIdentifier()].push_back(cell);
}

void TableView::fadeOut(TableViewCell* leaving) {
    leaving->setZValue(1);  // above the cells that stay while it fades
    leaving->setUserInteractionEnabled(false);
    std::weak_ptr<void> alive = leaving->lifetime();
    Animator::current().animateAlpha(*leaving, 0, kFadeSeconds, [this, leaving, alive](bool) {
        if (!alive.expired()) enqueue(leaving);
    });
}

void TableView::layoutCells(const std::vector<IndexPath>& fadeIn) {
    content_->setY(-offset_);
    const double top = offset_, bottom = offset_ + height();
    std::vector<IndexPath> wanted;
    for (int section = 0; section < numberOfSections(); ++section) {
        const auto& tops = rowTops_[size_t(section)];
        if (tops.back() <= top || tops.front() >= bottom) continue;
        auto first = std::upper_bound(tops.begin(), tops.end() - 1, top);
        for (int row = std::max(0, int(first - tops.begin()) - 1); row < rowCounts_[size_t(section)]; ++row) {
            if (tops[size_t(row)] >= bottom) break;
            if (tops[size_t(row) + 1] > tops[size_t(row)]) wanted.push_back({section, row});
        }
    }
    // Rows gone out of view give their cells up first, so that the rows coming
    // in can take them; those no row takes are hidden at the end.
    for (auto it = visible_.begin(); it != visible_.end();) {
        if (std::binary_search(wanted.begin(), wanted.end(), it->first)) {
            ++it;
            continue;
        }
        reusable_[it->second->reuseIdentifier()].push_back(it->second);
        givenUp_.push_back(it->second);
        it = visible_.erase(it);
    }
    for (const IndexPath& path : wanted) {
        const QRectF frame = rectForRow(path);
        auto shown = visible_.find(path);
        if (shown != visible_.end()) {
            shown->second->setFrame(frame);
            continue;
        }
        std::unique_ptr<TableViewCell> cell = dataSource_->cellForRow(*this, path);
        if (!cell) continue;
        cell->setFrame(frame);
        cell->separatorColor_ = separatorColor_;
        TableViewCell* added = content_->add(std::move(cell));
        visible_[path] = added;
        if (std::binary_search(fadeIn.begin(), fadeIn.end(), path)) {
            added->setAlpha(0);
            Animator::current().animateAlpha(*added, 1, kFadeSeconds);
        }
    }
    for (TableViewCell* cell : givenUp_) cell->setHidden(true);
    givenUp_.clear();
}

void TableView::clampOffset() { offset_ = std::clamp(offset_, 0.0, std::max(0.0, contentHeight() - height())); }

void TableView::setContentOffset(double offset) {
    ensureLoaded();
    offset_ = offset;
    clampOffset();
    layoutCells();
}

void TableView::scrollToRowAtTop(const IndexPath& path) {
    if (updateDepth_ > 0) {
        pendingScroll_ = path;
        return;
    }
    ensureLoaded();
    const QRectF row = rectForRow(path);
    if (row.isNull()) return;
    setContentOffset(row.top());
}

void TableView::reloadData() {
    loaded_ = true;
    for (auto& [path, cell] : visible_) {
        enqueue(cell);
    }
    visible_.clear();
    measure();
    clampOffset();
    if (dataSource_) layoutCells();
}

void TableView::sizeChanged(const QSizeF& oldSize) {
    View::sizeChanged(oldSize);
    if (!content_) return;
    content_->setWidth(width());
    for (const auto& [path, cell] : visible_) cell->setWidth(width());
    if (!loaded_) return;
    clampOffset();
    layoutCells();
}

// ---- Updates -------------------------------------------------------------------------

void TableView::beginUpdates() { ++updateDepth_; }

void TableView::endUpdates() {
    if (updateDepth_ == 0) return;
    if (--updateDepth_ > 0) return;
    Update update = std::move(pending_);
    pending_ = {};
    const std::optional<IndexPath> scroll = std::exchange(pendingScroll_, std::nullopt);
    // An update that laid out no rows of its own still scrolls.
    if (!apply(std::move(update), scroll) && scroll) scrollToRowAtTop(*scroll);
}

void TableView::insertRows(const std::vector<IndexPath>& paths) {
    beginUpdates();
    pending_.insertedRows.insert(paths.begin(), paths.end());
    endUpdates();
}

void TableView::deleteRows(const std::vector<IndexPath>& paths) {
    beginUpdates();
    pending_.deletedRows.insert(paths.begin(), paths.end());
    endUpdates();
}

void TableView::reloadRows(const std::vector<IndexPath>& paths) {
    beginUpdates();
    pending_.reloadedRows.insert(paths.begin(), paths.end());
    endUpdates();
}

void TableView::moveRow(const IndexPath& from, const IndexPath& to) {
    beginUpdates();
    pending_.movedRows[from] = to;
    endUpdates();
}

void TableView::insertSections(const std::set<int>& sections) {
    beginUpdates();
    pending_.insertedSections.insert(sections.begin(), sections.end());
    endUpdates();
}

void TableView::deleteSections(const std::set<int>& sections) {
    beginUpdates();
    pending_.deletedSections.insert(sections.begin(), sections.end());
    endUpdates();
}

void TableView::reloadSections(const std::set<int>& sections) {
    beginUpdates();
    pending_.reloadedSections.insert(sections.begin(), sections.end());
    endUpdates();
}

void TableView::moveSection(int from, int to) {
    beginUpdates();
    pending_.movedSections[from] = to;
    endUpdates();
}

namespace {

/// Where an old section goes: none when deleted, its target when moved, else the
/// next free place once the inserted and moved-in sections hold theirs.
std::optional<int> newSectionIndex(int old, const std::set<int>& deleted, const std::map<int, int>& moved,
                                   const std::vector<int>& taken) {
    if (deleted.count(old)) return std::nullopt;
    if (auto found = moved.find(old); found != moved.end()) return found->second;
    int rank = old;
    for (int gone : deleted)
        if (gone < old) --rank;
    for (const auto& [from, to] : moved)
        if (from < old) --rank;
    return nthFree(rank, taken);
}

}  // namespace

std::optional<IndexPath> TableView::newPathOf(const IndexPath& old, const Update& update) const {
    std::vector<int> takenSections(update.insertedSections.begin(), update.insertedSections.end());
    for (const auto& [from, to] : update.movedSections) takenSections.push_back(to);
    std::sort(takenSections.begin(), takenSections.end());
    auto section = newSectionIndex(old.section, update.deletedSections, update.movedSections, takenSections);
    if (!section || update.reloadedSections.count(old.section)) return std::nullopt;
    if (update.deletedRows.count(old) || update.reloadedRows.count(old)) return std::nullopt;
    if (auto moved = update.movedRows.find(old); moved != update.movedRows.end()) return moved->second;
    // The rows sets are ordered by section, then row: only the section's own are looked at.
    int rank = old.row - int(std::distance(update.deletedRows.lower_bound({old.section, INT_MIN}),
                                           update.deletedRows.lower_bound(old)));
    for (auto from = update.movedRows.lower_bound({old.section, INT_MIN}); from != update.movedRows.lower_bound(old);
         ++from)
        --rank;
    std::vector<int> taken;
    for (auto added = update.insertedRows.lower_bound({*section, INT_MIN});
         added != update.insertedRows.end() && added->section == *section; ++added)
        taken.push_back(added->row);
    for (const auto& [from, to] : update.movedRows)
        if (to.section == *section) taken.push_back(to.row);
    std::sort(taken.begin(), taken.end());
    return IndexPath{*section, nthFree(rank, taken)};
}

bool TableView::apply(Update update, const std::optional<IndexPath>& scroll) {
    if (!loaded_ || !dataSource_) {
        reloadData();
        return false;
    }
    if (update.empty()) return false;
    // What the data source must answer now, from the counts before and the update.
    const int oldSections = numberOfSections();
    const int newSections = dataSource_->numberOfSections(*this);
    bool consistent = newSections == oldSections - int(update.deletedSections.size()) +
                                         int(update.insertedSections.size());
    // Per new section, the rows it must have; -1: unchecked (inserted and reloaded sections).
    std::vector<int> expectedRows(size_t(std::max(0, newSections)), -1);
    if (consistent) {
        std::vector<int> takenSections(update.insertedSections.begin(), update.insertedSections.end());
        for (const auto& [from, to] : update.movedSections) takenSections.push_back(to);
        std::sort(takenSections.begin(), takenSections.end());
        for (int old = 0; old < oldSections && consistent; ++old) {
            auto section = newSectionIndex(old, update.deletedSections, update.movedSections, takenSections);
            if (!section || update.reloadedSections.count(old)) continue;
            int rows = numberOfRows(old) -
                       int(std::distance(update.deletedRows.lower_bound({old, INT_MIN}),
                                         update.deletedRows.lower_bound({old + 1, INT_MIN})));
            for (const auto& [from, to] : update.movedRows) rows -= from.section == old;
            if (*section < 0 || *section >= newSections) {
                STROMBEL_LOG_ERROR("table update does not match its data: section {} should have {} rows, has {}",
                                   *section, rows, 0);
                consistent = false;
                break;
            }
            int& expected = expectedRows[size_t(*section)];
            expected = std::max(expected, 0) + rows;
        }
        auto count = [&](int section) {
            if (section >= 0 && section < newSections && expectedRows[size_t(section)] >= 0)
                ++expectedRows[size_t(section)];
        };
        for (const IndexPath& added : update.insertedRows) count(added.section);
        for (const auto& [from, to] : update.movedRows) count(to.section);
        for (int section = 0; section < newSections && consistent; ++section) {
            const int rows = expectedRows[size_t(section)];
            if (rows < 0) continue;
            if (const int has = dataSource_->numberOfRows(*this, section); has != rows) {
                STROMBEL_LOG_ERROR("table update does not match its data: section {} should have {} rows, has {}",
                                   section, rows, has);
                consistent = false;
            }
        }
    } else {
        STROMBEL_LOG_ERROR("table update does not match its data: {} sections expected, {} found",
                           oldSections - int(update.deletedSections.size()) + int(update.insertedSections.size()),
                           newSections);
    }
    if (!consistent) {
        reloadData();
        return false;
    }

    // The cells in view keep their rows where the rows survive; the others fade out.
    std::map<IndexPath, TableViewCell*> kept;
    std::vector<IndexPath> fadeIn;  // sorted before the layout
    for (auto& [old, cell] : visible_) {
        if (auto moved = newPathOf(old, update)) {
            kept[*moved] = cell;
        } else {
            fadeOut(cell);
        }
    }
    visible_ = std::move(kept);
    measure();
    if (scroll) {
        if (const QRectF row = rectForRow(*scroll); !row.isNull()) offset_ = row.top();
    }
    clampOffset();
    fadeIn.assign(update.insertedRows.begin(), update.insertedRows.end());
    for (const IndexPath& reloaded : update.reloadedRows) {
        Update asKept = update;
        asKept.reloadedRows.erase(reloaded);
        if (auto now = newPathOf(reloaded, asKept)) fadeIn.push_back(*now);
    }
    std::set<int> freshSections = update.insertedSections;
    for (int reloaded : update.reloadedSections) {
        std::vector<int> takenSections(update.insertedSections.begin(), update.insertedSections.end());
        for (const auto& [from, to] : update.movedSections) takenSections.push_back(to);
        std::sort(takenSections.begin(), takenSections.end());
        if (auto now = newSectionIndex(reloaded, update.deletedSections, update.movedSections, takenSections))
            freshSections.insert(*now);
    }
    for (int section : freshSections)
        for (int row = 0; row < numberOfRows(section); ++row) fadeIn.push_back({section, row});
    std::sort(fadeIn.begin(), fadeIn.end());
    // A kept cell whose row became empty or moved out of view leaves in layoutCells.
    layoutCells(fadeIn);
    return true;
}

// ---- Scrolling by hand -----------------------------------------------------------------

void TableView::touchBegan(const Touch& touch) {
    tracking_ = true;
    dragging_ = false;
    lastTouch_ = touch.locationIn(*this);
}

void TableView::touchMoved(const Touch& touch) {
    if (!tracking_) return;
    const QPointF point = touch.locationIn(*this);
    if (!dragging_) {
        const QPointF start = mapFromScene(touch.startScenePoint);
        if (std::hypot(point.x() - start.x(), point.y() - start.y()) < kDragThreshold) return;
        dragging_ = true;
    }
    setContentOffset(offset_ - (point.y() - lastTouch_.y()));
    lastTouch_ = point;
}

void TableView::touchEnded(const Touch& touch) {
    const bool tap = tracking_ && !dragging_;
    tracking_ = dragging_ = false;
    if (!tap || !delegate_) return;
    if (auto path = indexPathForRow(touch.locationIn(*this))) delegate_->didSelectRow(*this, *path);
}

void TableView::touchCancelled(const Touch&) { tracking_ = dragging_ = false; }

bool TableView::scrollWheel(const QPointF& delta) {
    ensureLoaded();
    if (contentHeight() <= height() || delta.y() == 0) return false;
    setContentOffset(offset_ - delta.y());
    return true;
}

}  // namespace strombel::ui::kit
