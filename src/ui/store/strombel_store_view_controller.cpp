#include "ui/store/strombel_store_view_controller.h"

#include <QBuffer>
#include <QByteArray>
#include <QFontMetricsF>
#include <QImageReader>
#include <QPainter>
#include <QPainterPath>

#include <algorithm>

#include "ui/gui_factory.h"
#include "ui/kit/context.h"
#include "ui/kit/control.h"
#include "ui/kit/image_view.h"
#include "ui/kit/label.h"
#include "ui/util.h"

namespace strombel::store {
namespace {

using Phase = library::StoreItemProgress::Phase;
using ui::GuiFactory;
namespace kit = ui::kit;

constexpr const char* kLoadingText = "Loading the store...";
constexpr const char* kUnreachableText = "The store cannot be reached.";

std::unique_ptr<kit::Label> textLabel(const QRectF& frame, double size, const QColor& color) {
    auto label = GuiFactory::labelWithFrame(frame, int32_t(size));
    label->setAlignment(kit::Label::Alignment::left);
    label->setLineBreakMode(kit::Label::LineBreak::truncateTail);
    label->setTextColor(color);
    return label;
}

/// The label of an item's failure, as wide as its place in a row.
std::unique_ptr<kit::Label> failureLabelWithFrame(const QRectF& frame, double textSize) {
    auto label = textLabel(frame, textSize * 0.85, QColor(230, 80, 60));
    label->setNumberOfLines(0);
    label->setLineBreakMode(kit::Label::LineBreak::wordWrap);
    label->setAlignment(kit::Label::Alignment::right);
    return label;
}

std::unique_ptr<kit::Button> textButton(const QRectF& frame, const QString& title, double size) {
    auto button = std::make_unique<kit::Button>(frame);
    button->setTitle(title);
    button->setTitleFont(GuiFactory::interfaceFont(size));
    button->setTitleColor(GuiFactory::rustyColor());
    button->setBackgroundColor(QColor(40, 40, 40));
    return button;
}

/// Decodes an icon, refusing pictures larger than kMaximumIconSide a side before
/// any pixel is decoded.
QImage decodeIcon(const std::vector<uint8_t>& bytes) {
    if (bytes.empty()) return {};
    QByteArray data(reinterpret_cast<const char*>(bytes.data()), qsizetype(bytes.size()));
    QBuffer buffer(&data);
    buffer.open(QIODevice::ReadOnly);
    QImageReader reader(&buffer);
    const QSize size = reader.size();
    constexpr int side = StrombelStoreViewController::kMaximumIconSide;
    if (!size.isValid() || size.width() > side || size.height() > side) return {};
    QImage image;
    if (!reader.read(&image)) return {};
    return image;
}

}  // namespace

// ---- Life ----

std::unique_ptr<kit::Label> StrombelStoreViewController::failureLabel(const Metrics& m) const {
    const double w = list_->width(), gap = m.rowHeight * 0.1;
    const double controlRight = w - gap * 2;
    // Below the control to its right edge, from where the title and the
    // description end; in the compact layout from the text's left edge, the
    // reason taking the description's place. The row keeps its height: a row
    // that grew moved the rows below it, and their buttons, under the pointer.
    const double left = m.compact ? gap * 2 + m.iconSide : controlRight - m.controlSize.width() - gap;
    const double top = failureTop();
    auto label = failureLabelWithFrame(QRectF(left, top, controlRight - left, m.rowHeight - top - 2), m.textSize);
    if (m.compact) label->setAlignment(kit::Label::Alignment::left);
    return label;
}

StrombelStoreViewController::StrombelStoreViewController(library::SoundDataManager* library)
    : StrombelStoreViewController(library, ui::GuiType::tablet) {
    loadView();
}

StrombelStoreViewController::StrombelStoreViewController(library::SoundDataManager* library, ui::GuiType guiType)
    : library_(library), guiType_(guiType) {
    const auto& screen = kit::Context::current().screen();
    setFrame(QRectF(0, 0, ui::Util::screenHeight(screen), ui::Util::screenWidth(screen)));
    setBackgroundColor(Qt::black);
}

StrombelStoreViewController::~StrombelStoreViewController() {
    if (library_) library_->removeDelegate(this);
}

void StrombelStoreViewController::loadView() {
    buildView(Metrics{80, 28, 120, 96, 22, 15, QSizeF(210, 44), false});
}

void StrombelStoreViewController::buildView(const Metrics& metrics) {
    metrics_ = metrics;
    const double w = width(), h = height();
    auto title = GuiFactory::labelWithFrame(QRectF(0, 0, w, metrics.headerHeight), int32_t(metrics.titleSize));
    title->setText("SOUND STORE");
    title->setTextColor(GuiFactory::rustyColor());
    add(std::move(title));

    list_ = add(std::make_unique<kit::TableView>(QRectF(0, metrics.headerHeight, w, h - metrics.headerHeight)));
    list_->setRowHeight(metrics.rowHeight);
    list_->setSeparatorColor(QColor(60, 60, 60));
    list_->setDataSource(this);
    list_->setDelegate(this);

    const double statusTop = h * 0.35;
    status_ = add(GuiFactory::labelWithFrame(QRectF(0, statusTop, w, metrics.nameSize * 2.6), int32_t(metrics.nameSize)));
    status_->setLineBreakMode(kit::Label::LineBreak::wordWrap);
    const QSizeF control = metrics.controlSize;
    retryBtn_ = add(textButton(QRectF((w - control.width()) / 2, statusTop + metrics.nameSize * 3, control.width(),
                                      control.height()),
                               "RETRY", metrics.textSize));
    retryBtn_->addTarget(kit::touchUpInside, [this](kit::Control&) { retryBtnPressed(); });

    // DONE is the last button of the screen.
    doneBtn_ = add(textButton(QRectF(w - control.width() / 2 - 12, (metrics.headerHeight - control.height()) / 2,
                                     control.width() / 2, control.height()),
                              "DONE", metrics.textSize));
    doneBtn_->addTarget(kit::touchUpInside, [this](kit::Control&) { doneBtnPressed(); });

    if (library_) library_->addDelegate(this);
    library::SoundStore* store = soundStore();
    if (store && store->storeItems()) {
        showItems(*store->storeItems());
    } else if (store) {
        showStatus(kLoadingText, false);
        library_->fetchStoreItems();
    } else {
        showStatus(kUnreachableText, false);
    }
}

void StrombelStoreViewController::doneBtnPressed() { dismiss(); }

// ---- The catalogue ----

void StrombelStoreViewController::retryBtnPressed() {
    if (!soundStore()) return;
    ++catalogueTries_;
    showStatus(kLoadingText, false);
    library_->fetchStoreItems();
}

void StrombelStoreViewController::storeItemsLoaded(const std::vector<library::StoreItem>& items) { showItems(items); }

void StrombelStoreViewController::storeItemsLoadingFailed(const platform::Error& error) {
    // The catalogue on screen stays; only a screen without one says so.
    if (!items_.empty()) return;
    // After RETRY the heading says that it tried again.
    const QString heading = catalogueTries_ > 1
                                ? QString("The store still cannot be reached (try %1).").arg(catalogueTries_)
                                : QString(kUnreachableText);
    showStatus(heading + "\n" + QString::fromStdString(error.message()), true);
}

void StrombelStoreViewController::showStatus(const QString& text, bool offerRetry) {
    status_->setText(text);
    // The reason in as many lines as it needs (it may name the settings to set),
    // RETRY below its last line.
    status_->setNumberOfLines(0);
    const QRectF frame = status_->frame();
    status_->setFrame(QRectF(frame.x(), frame.y(), frame.width(), 100000));
    const double lines = std::max<double>(2, status_->wrappedLines().size());
    const double height = std::max(metrics_.nameSize * 2.6, lines * QFontMetricsF(status_->font()).lineSpacing());
    status_->setFrame(QRectF(frame.x(), frame.y(), frame.width(), height));
    QRectF retry = retryBtn_->frame();
    retry.moveTop(frame.y() + height + metrics_.nameSize * 0.4);
    retryBtn_->setFrame(retry);
    status_->setHidden(text.isEmpty());
    retryBtn_->setHidden(!offerRetry);
}

QString StrombelStoreViewController::statusText() const { return status_->isHidden() ? QString() : status_->text(); }

/// One item's row: icon, title, description, contents, its control and what failed.
class StrombelStoreViewController::ItemCell final : public kit::TableViewCell {
public:
    ItemCell() : kit::TableViewCell("item") {}
    std::string identifier;
    kit::ImageView* icon = nullptr;
    kit::Label* name = nullptr;
    kit::Label* description = nullptr;
    kit::Label* contents = nullptr;  // null in the compact layout
    kit::Button* control = nullptr;
    kit::Label* failure = nullptr;
};

std::unique_ptr<StrombelStoreViewController::ItemCell> StrombelStoreViewController::makeCell() {
    const Metrics& m = metrics_;
    const double w = list_->width(), gap = m.rowHeight * 0.1;
    auto cell = std::make_unique<ItemCell>();
    cell->setFrame(QRectF(0, 0, w, m.rowHeight));
    cell->icon = cell->add(std::make_unique<kit::ImageView>(
        QRectF(gap, (m.rowHeight - m.iconSide) / 2, m.iconSide, m.iconSide), QImage()));
    cell->icon->setContentMode(kit::ImageView::ContentMode::aspectFit);
    const double textLeft = gap * 2 + m.iconSide;
    const double textWidth = w - textLeft - m.controlSize.width() - gap * 3;
    cell->name = cell->add(textLabel(QRectF(textLeft, gap, textWidth, m.nameSize * 1.3), m.nameSize, Qt::white));
    const double lineHeight = m.textSize * 1.35;
    const double lineTop = gap + m.nameSize * 1.4;
    if (m.compact) {
        cell->description =
            cell->add(textLabel(QRectF(textLeft, lineTop, textWidth, lineHeight), m.textSize, QColor(200, 200, 200)));
    } else {
        cell->description = cell->add(
            textLabel(QRectF(textLeft, lineTop, textWidth, lineHeight * 2), m.textSize, QColor(200, 200, 200)));
        cell->description->setNumberOfLines(2);
        cell->description->setLineBreakMode(kit::Label::LineBreak::wordWrap);
        cell->contents = cell->add(textLabel(QRectF(textLeft, lineTop + lineHeight * 2, textWidth, lineHeight),
                                             m.textSize, QColor(140, 140, 140)));
    }
    const QSizeF control = m.controlSize;
    const double controlLeft = w - control.width() - gap * 2;
    cell->control = cell->add(textButton(QRectF(controlLeft, gap, control.width(), control.height()), {}, m.textSize));
    ItemCell* raw = cell.get();
    cell->control->addTarget(kit::touchUpInside, [this, raw](kit::Control&) { itemBtnPressed(raw->identifier); });
    cell->failure = cell->add(failureLabel(m));
    return cell;
}

int StrombelStoreViewController::numberOfRows(kit::TableView&, int) { return int(items_.size()); }

std::unique_ptr<kit::TableViewCell> StrombelStoreViewController::cellForRow(kit::TableView& table,
                                                                            const kit::IndexPath& path) {
    if (path.row < 0 || size_t(path.row) >= items_.size()) return nullptr;
    std::unique_ptr<ItemCell> cell;
    if (auto reused = table.dequeueReusableCell("item")) cell.reset(static_cast<ItemCell*>(reused.release()));
    else cell = makeCell();
    const library::StoreItem& item = items_[size_t(path.row)];
    cell->identifier = item.identifier;
    auto icon = icons_.find(item.identifier);
    cell->icon->setImage(icon != icons_.end() ? icon->second : placeholderIcon(item));
    cell->name->setText(QString::fromStdString(item.title.empty() ? item.identifier : item.title));
    QString description = QString::fromStdString(item.descriptionText);
    if (!cell->contents && !item.contents.empty()) {
        description += (description.isEmpty() ? "" : " - ") + QString::fromStdString(item.contents);
    }
    cell->description->setText(description);
    if (cell->contents) cell->contents->setText(QString::fromStdString(item.contents));
    fill(*cell, item);
    return cell;
}

double StrombelStoreViewController::failureTop() const {
    return metrics_.rowHeight * 0.1 + metrics_.controlSize.height() + 2;
}

QString StrombelStoreViewController::failureText(const library::StoreItem& item) const {
    library::SoundStore* store = soundStore();
    if (!store) return {};
    const library::StoreItemProgress progress = store->progressOfStoreItem(item.identifier);
    if (progress.phase != Phase::failed) return {};
    const QString reason = QString::fromStdString(progress.failure);
    // A RETRY that failed as the first try did says that it tried.
    if (progress.tries > 1) return QString("FAILED AGAIN (TRY %1): %2").arg(progress.tries).arg(reason);
    return "FAILED: " + reason;
}

void StrombelStoreViewController::fill(ItemCell& cell, const library::StoreItem& item) const {
    library::SoundStore* store = soundStore();
    const library::StoreItemProgress progress =
        store ? store->progressOfStoreItem(item.identifier) : library::StoreItemProgress{};
    QString text = "DOWNLOAD";
    bool enabled = store != nullptr;
    switch (progress.phase) {
        case Phase::idle:
            break;
        case Phase::downloading:
            text = QString("%1 of %2 files").arg(progress.filesDone).arg(progress.filesTotal);
            enabled = false;
            break;
        case Phase::installed:
            text = "INSTALLED";
            enabled = false;
            break;
        case Phase::failed:
            text = "RETRY";
            break;
    }
    cell.control->setTitle(text);
    cell.control->setEnabled(enabled);
    cell.control->setTitleColor(enabled ? GuiFactory::rustyColor() : QColor(150, 150, 150));
    const QString failure = failureText(item);
    cell.failure->setText(failure);
    // The whole reason under the pointer, where its last line is cut short.
    cell.failure->setToolTip(failure);
    if (metrics_.compact) cell.description->setHidden(!failure.isEmpty());
}

void StrombelStoreViewController::showItems(const std::vector<library::StoreItem>& items) {
    showStatus(items.empty() ? QString("The store offers nothing at the moment.") : QString(), false);
    items_ = items;
    list_->reloadData();
    library::SoundStore* store = soundStore();
    if (!store) return;
    for (const library::StoreItem& item : items_) {
        if (item.iconURL.empty() || icons_.count(item.identifier)) continue;
        std::weak_ptr<bool> alive = lifetime_;
        const std::string identifier = item.identifier;
        store->fetchStoreItemIcon(item, [this, alive, identifier](std::vector<uint8_t> bytes) {
            if (!alive.expired()) iconArrived(identifier, bytes);
        });
    }
}

void StrombelStoreViewController::iconArrived(const std::string& identifier, const std::vector<uint8_t>& bytes) {
    const QImage image = decodeIcon(bytes);
    if (image.isNull()) return;  // the drawn placeholder stays
    icons_[identifier] = image;
    if (ItemCell* cell = cellOfItem(identifier)) cell->icon->setImage(image);
}

QImage StrombelStoreViewController::placeholderIcon(const library::StoreItem& item) const {
    const int side = int(metrics_.iconSide * 2);
    QImage image(side, side, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing);
    QPainterPath frame;
    frame.addRoundedRect(QRectF(2, 2, side - 4, side - 4), side * 0.12, side * 0.12);
    painter.fillPath(frame, QColor(50, 45, 40));
    painter.setPen(QPen(GuiFactory::darkRustyColor(), side * 0.03));
    painter.drawPath(frame);
    const std::string& name = item.title.empty() ? item.identifier : item.title;
    painter.setPen(GuiFactory::rustyColor());
    painter.setFont(GuiFactory::interfaceFont(side * 0.45));
    painter.drawText(QRectF(0, 0, side, side), Qt::AlignCenter, QString::fromStdString(name.substr(0, 1)).toUpper());
    return image;
}

// ---- The items ----

void StrombelStoreViewController::itemBtnPressed(const std::string& identifier) {
    library::SoundStore* store = soundStore();
    if (!store) return;
    store->downloadStoreItem(identifier);
    refreshRows();
}

void StrombelStoreViewController::refreshRows() {
    for (const library::StoreItem& item : items_) {
        if (ItemCell* cell = cellOfItem(item.identifier)) fill(*cell, item);
    }
}

StrombelStoreViewController::ItemCell* StrombelStoreViewController::cellOfItem(const std::string& identifier) const {
    for (kit::TableViewCell* visible : list_->visibleCells()) {
        auto* cell = static_cast<ItemCell*>(visible);
        if (cell->identifier == identifier) return cell;
    }
    return nullptr;
}

std::vector<std::string> StrombelStoreViewController::itemIdentifiers() const {
    std::vector<std::string> identifiers;
    for (const library::StoreItem& item : items_) identifiers.push_back(item.identifier);
    return identifiers;
}

kit::Button* StrombelStoreViewController::controlOfItem(const std::string& identifier) const {
    ItemCell* cell = cellOfItem(identifier);
    return cell ? cell->control : nullptr;
}

QString StrombelStoreViewController::controlTextOfItem(const std::string& identifier) const {
    kit::Button* control = controlOfItem(identifier);
    return control ? control->title() : QString();
}

QString StrombelStoreViewController::failureTextOfItem(const std::string& identifier) const {
    ItemCell* cell = cellOfItem(identifier);
    return cell ? cell->failure->text() : QString();
}

kit::Label* StrombelStoreViewController::failureLabelOfItem(const std::string& identifier) const {
    ItemCell* cell = cellOfItem(identifier);
    return cell ? cell->failure : nullptr;
}

bool StrombelStoreViewController::iconOfItemIsLoaded(const std::string& identifier) const {
    return icons_.count(identifier) > 0;
}

// ---- The phone ----

StrombelIphoneStoreViewController::StrombelIphoneStoreViewController(library::SoundDataManager* library, bool upright)
    : StrombelStoreViewController(library, ui::GuiType::phoneLandscape) {
    if (upright) setFrame(QRectF(0, 0, height(), width()));
    loadView();
}

void StrombelIphoneStoreViewController::loadView() {
    buildView(Metrics{40, 18, 64, 52, 14, 10, QSizeF(120, 28), true});
}

}  // namespace strombel::store
