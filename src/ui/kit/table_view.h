#pragma once

#include <QColor>
#include <QPointF>
#include <QString>
#include <compare>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <span>
#include <vector>

#include "ui/kit/view.h"

namespace strombel::ui::kit {

class TableView;

/// A row of a table: a section and a row within it.
struct IndexPath {
    int section = 0;
    int row = 0;
    auto operator<=>(const IndexPath&) const = default;
};

/// One row on the screen. Subclass it or add subviews to it; the table places it,
/// hands it back to the data source for reuse when it scrolls out, and draws the
/// separator line along its bottom edge.
class TableViewCell : public View {
  public:
    explicit TableViewCell(const QString& reuseIdentifier);
    const QString& reuseIdentifier() const { return reuseIdentifier_; }

  protected:
    void draw(QPainter& painter) override;

  private:
    friend class TableView;
    QString reuseIdentifier_;
    QColor separatorColor_ = Qt::transparent;
};

/// What the rows are. Called on the main loop while the table lays itself out.
/// The messages all begin with the table (`tableView:numberOfRowsInSection:` and
/// its kin), so each goes by the part that tells it apart.
class TableViewDataSource {
  public:
    virtual ~TableViewDataSource() = default;
    virtual int numberOfSections(TableView&) { return 1; }
    virtual int numberOfRows(TableView& table, int section) = 0;
    /// The cell of a row: one from `table.dequeueReusableCell(...)` filled in
    /// anew, or a new one. A null answer leaves the row empty.
    virtual std::unique_ptr<TableViewCell> cellForRow(TableView& table, const IndexPath& path) = 0;
};

/// Row heights and row taps (optional messages).
class TableViewDelegate {
  public:
    virtual ~TableViewDelegate() = default;
    /// A negative answer means the table's `rowHeight`.
    virtual double heightForRow(TableView&, const IndexPath&) { return -1; }
    /// The heights of all of a section's rows at once, in `heights` (one per row,
    /// negative as above), answering true; false (the default) has the table ask
    /// `heightForRow` row by row. Asked whenever the table measures, as that is.
    virtual bool heightsForRows(TableView&, int /*section*/, std::span<double> /*heights*/) { return false; }
    virtual void didSelectRow(TableView&, const IndexPath&) {}
};

/// A vertical list of rows in sections, clipped to its frame. Only the rows in
/// view have cells; cells that scroll out are kept by reuse identifier for the
/// data source to take again. It scrolls with the wheel or the touchpad and with
/// a drag that no gesture recogniser claims; a touch that ends where it began
/// selects the row under it.
///
/// Updates (insert, delete, move, reload) may be batched between `beginUpdates`
/// and `endUpdates`: deletions and reloads name rows as they were, insertions
/// and move targets as they will be. Rows that come fade in, rows that go fade
/// out. The owner calls `reloadData` once the data source is set. When the data source's counts after an update do not match the update,
/// the mismatch is logged and the table reloads everything.
class TableView : public View {
  public:
    explicit TableView(const QRectF& frame = {});
    ~TableView() override;

    void setDataSource(TableViewDataSource* source) { dataSource_ = source; }
    void setDelegate(TableViewDelegate* delegate) { delegate_ = delegate; }
    double rowHeight() const { return rowHeight_; }
    void setRowHeight(double height) { rowHeight_ = height; }
    void setSeparatorColor(const QColor& color);

    /// A cell kept for reuse under `identifier`, or null. Kept cells stay hidden
    /// in the table's content, so that taking one back costs the scene nothing.
    std::unique_ptr<TableViewCell> dequeueReusableCell(const QString& identifier);

    // --- Rows -----------------------------------------------------------------
    int numberOfSections() const { return int(rowCounts_.size()); }
    int numberOfRows(int section) const;
    /// The row under `point` (in the table's own points), or none.
    std::optional<IndexPath> indexPathForRow(const QPointF& point) const;
    /// The cell shown for a row, or null when it is not in view.
    TableViewCell* cellForRow(const IndexPath& path) const;
    std::optional<IndexPath> indexPathForCell(const TableViewCell* cell) const;
    std::vector<TableViewCell*> visibleCells() const;
    /// The row's rectangle in the content (offset 0 at the first row).
    QRectF rectForRow(const IndexPath& path) const;
    double contentHeight() const { return rowTops_.empty() ? 0 : rowTops_.back().back(); }

    // --- Scrolling ------------------------------------------------------------
    double contentOffset() const { return offset_; }
    /// Scrolls so that the content at `offset` is at the top (held inside the content).
    void setContentOffset(double offset);
    /// Between beginUpdates and endUpdates, the scroll waits for the updates and
    /// goes to where the row is after them, with one layout for both.
    void scrollToRowAtTop(const IndexPath& path);

    // --- Updates --------------------------------------------------------------
    void reloadData();
    void beginUpdates();
    void endUpdates();
    void insertRows(const std::vector<IndexPath>& paths);
    void deleteRows(const std::vector<IndexPath>& paths);
    void reloadRows(const std::vector<IndexPath>& paths);
    void moveRow(const IndexPath& from, const IndexPath& to);
    void insertSections(const std::set<int>& sections);
    void deleteSections(const std::set<int>& sections);
    void reloadSections(const std::set<int>& sections);
    void moveSection(int from, int to);

    static constexpr double kFadeSeconds = 0.25;

    bool handlesTouches() const override { return true; }
    void touchBegan(const Touch& touch) override;
    void touchMoved(const Touch& touch) override;
    void touchEnded(const Touch& touch) override;
    void touchCancelled(const Touch& touch) override;
    bool scrollWheel(const QPointF& delta) override;

  protected:
    void sizeChanged(const QSizeF& oldSize) override;

  private:
    struct Update {
        std::set<int> deletedSections, insertedSections, reloadedSections;
        std::map<int, int> movedSections;  // old to new
        std::set<IndexPath> deletedRows, insertedRows, reloadedRows;
        std::map<IndexPath, IndexPath> movedRows;  // old to new
        bool empty() const;
    };
    void ensureLoaded();
    /// Reads the counts and heights of every row from the data source.
    void measure();
    /// Makes cells for the rows in view and lets the others go; `fadeIn` rows fade in.
    void layoutCells(const std::vector<IndexPath>& fadeIn = {});
    /// Keeps a cell of the content for reuse, hidden where it is.
    void enqueue(TableViewCell* cell);
    /// Fades a cell of the content out, then keeps it for reuse.
    void fadeOut(TableViewCell* cell);
    /// Applies the updates and lays the rows out, at `scroll`'s row when given;
    /// false when it reloaded or had nothing to do instead.
    bool apply(Update update, const std::optional<IndexPath>& scroll = std::nullopt);
    std::optional<IndexPath> newPathOf(const IndexPath& old, const Update& update) const;
    void clampOffset();

    TableViewDataSource* dataSource_ = nullptr;
    TableViewDelegate* delegate_ = nullptr;
    double rowHeight_ = 44;
    QColor separatorColor_ = Qt::transparent;
    View* content_ = nullptr;
    bool loaded_ = false;
    double offset_ = 0;
    std::vector<int> rowCounts_;
    /// Per section, the top of each row in the content and, last, the section's end.
    std::vector<std::vector<double>> rowTops_;
    std::map<IndexPath, TableViewCell*> visible_;
    std::map<QString, std::vector<TableViewCell*>> reusable_;  // hidden subviews of the content
    /// Cells a layout under way gave up: kept for reuse, hidden only at its end
    /// if no row took them (hiding and showing again costs the scene).
    std::vector<TableViewCell*> givenUp_;
    int updateDepth_ = 0;
    Update pending_;
    std::optional<IndexPath> pendingScroll_;  // asked for during updates
    // The drag in progress.
    bool tracking_ = false;
    bool dragging_ = false;
    QPointF lastTouch_;
};

}  // namespace strombel::ui::kit
