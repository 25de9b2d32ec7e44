#include "ui/store/strombel_store_view_controller.h"

#include <QBuffer>
#include <QByteArray>
#include <QImageReader>
#include <QPainter>
#include <QPainterPath>

#include <algorithm>

#include "ui/gui_factory.h"
#include "ui/kit/context.h"
#include "ui/kit/control.h"
#include "ui/kit/image_view.h"
#include "ui/kit/label.h"
#include "ui/kit/presenters.h"
#include "ui/kit/scroll_view.h"
#include "ui/kit/window.h"
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

StrombelStoreViewController::StrombelStoreViewController(library::SoundDataManager* library)
    : StrombelStoreViewController(library, 0) {
    loadView();
}

StrombelStoreViewController::StrombelStoreViewController(library::SoundDataManager* library, int32_t guiType)
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

    list_ = add(std::make_unique<kit::ScrollView>(QRectF(0, metrics.headerHeight, w, h - metrics.headerHeight)));

    const double statusTop = h * 0.35;
    status_ = add(GuiFactory::labelWithFrame(QRectF(0, statusTop, w, metrics.nameSize * 2), int32_t(metrics.nameSize)));
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

void StrombelStoreViewController::present(std::unique_ptr<StrombelStoreViewController> screen, kit::Window& window,
                                          std::function<void()> dismissed) {
    screen->window_ = &window;
    screen->dismissed_ = std::move(dismissed);
    kit::Context::current().modals().present(window, std::move(screen), true);
}

void StrombelStoreViewController::doneBtnPressed() {
    if (!window_) return;
    auto dismissed = dismissed_;
    kit::Context::current().modals().dismiss(*window_, true, [dismissed] {
        if (dismissed) dismissed();
    });
}

// ---- The catalogue ----

void StrombelStoreViewController::retryBtnPressed() {
    if (!soundStore()) return;
    showStatus(kLoadingText, false);
    library_->fetchStoreItems();
}

void StrombelStoreViewController::storeItemsLoaded(const std::vector<library::StoreItem>& items) { showItems(items); }

void StrombelStoreViewController::storeItemsLoadingFailed(const json::Error& error) {
    // The catalogue on screen stays; only a screen without one says so.
    if (!rows_.empty()) return;
    showStatus(QString(kUnreachableText) + "\n" + QString::fromStdString(error.message()), true);
}

void StrombelStoreViewController::showStatus(const QString& text, bool offerRetry) {
    status_->setText(text);
    status_->setNumberOfLines(2);
    status_->setHidden(text.isEmpty());
    retryBtn_->setHidden(!offerRetry);
}

QString StrombelStoreViewController::statusText() const { return status_->isHidden() ? QString() : status_->text(); }

void StrombelStoreViewController::showItems(const std::vector<library::StoreItem>& items) {
    showStatus(items.empty() ? QString("The store offers nothing at the moment.") : QString(), false);
    for (kit::View* old : list_->contentView().subviews()) old->removeFromSuperview();
    rows_.clear();
    const Metrics& m = metrics_;
    const double w = list_->width(), gap = m.rowHeight * 0.1;
    double top = 0;
    for (const library::StoreItem& item : items) {
        auto row = std::make_unique<kit::View>(QRectF(0, top, w, m.rowHeight));
        Row entry;
        entry.identifier = item.identifier;
        entry.icon = row->add(std::make_unique<kit::ImageView>(
            QRectF(gap, (m.rowHeight - m.iconSide) / 2, m.iconSide, m.iconSide), placeholderIcon(item)));
        entry.icon->setContentMode(kit::ImageView::ContentMode::aspectFit);
        const double textLeft = gap * 2 + m.iconSide;
        const double textWidth = w - textLeft - m.controlSize.width() - gap * 3;
        auto name = textLabel(QRectF(textLeft, gap, textWidth, m.nameSize * 1.3), m.nameSize, Qt::white);
        name->setText(QString::fromStdString(item.title.empty() ? item.identifier : item.title));
        row->add(std::move(name));
        const double lineHeight = m.textSize * 1.35;
        double lineTop = gap + m.nameSize * 1.4;
        if (m.compact) {
            auto line = textLabel(QRectF(textLeft, lineTop, textWidth, lineHeight), m.textSize, QColor(200, 200, 200));
            QString text = QString::fromStdString(item.descriptionText);
            if (!item.contents.empty()) text += (text.isEmpty() ? "" : " - ") + QString::fromStdString(item.contents);
            line->setText(text);
            row->add(std::move(line));
        } else {
            auto description =
                textLabel(QRectF(textLeft, lineTop, textWidth, lineHeight * 2), m.textSize, QColor(200, 200, 200));
            description->setNumberOfLines(2);
            description->setLineBreakMode(kit::Label::LineBreak::wordWrap);
            description->setText(QString::fromStdString(item.descriptionText));
            row->add(std::move(description));
            lineTop += lineHeight * 2;
            auto contents = textLabel(QRectF(textLeft, lineTop, textWidth, lineHeight), m.textSize, QColor(140, 140, 140));
            contents->setText(QString::fromStdString(item.contents));
            row->add(std::move(contents));
        }
        const QSizeF control = m.controlSize;
        const double controlLeft = w - control.width() - gap * 2;
        entry.control = row->add(textButton(QRectF(controlLeft, gap, control.width(), control.height()), {}, m.textSize));
        const std::string identifier = item.identifier;
        entry.control->addTarget(kit::touchUpInside, [this, identifier](kit::Control&) { itemBtnPressed(identifier); });
        entry.failure = row->add(textLabel(
            QRectF(controlLeft - control.width() * 0.5, gap + control.height() + 4, control.width() * 1.5,
                   m.textSize * 2.8),
            m.textSize * 0.85, QColor(230, 80, 60)));
        entry.failure->setNumberOfLines(2);
        entry.failure->setLineBreakMode(kit::Label::LineBreak::wordWrap);
        entry.failure->setAlignment(kit::Label::Alignment::right);
        auto separator = std::make_unique<kit::View>(QRectF(gap, m.rowHeight - 1, w - gap * 2, 1));
        separator->setBackgroundColor(QColor(60, 60, 60));
        row->add(std::move(separator));
        list_->contentView().add(std::move(row));
        rows_.push_back(entry);
        top += m.rowHeight;

        if (library::SoundStore* store = soundStore(); store && !item.iconURL.empty()) {
            std::weak_ptr<bool> alive = lifetime_;
            store->fetchStoreItemIcon(item, [this, alive, identifier](std::vector<uint8_t> bytes) {
                if (!alive.expired()) iconArrived(identifier, bytes);
            });
        }
    }
    list_->setContentHeight(top);
    refreshRows();
}

void StrombelStoreViewController::iconArrived(const std::string& identifier, const std::vector<uint8_t>& bytes) {
    const QImage image = decodeIcon(bytes);
    if (image.isNull()) return;  // the drawn placeholder stays
    for (Row& row : rows_) {
        if (row.identifier != identifier) continue;
        row.icon->setImage(image);
        row.iconLoaded = true;
    }
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
    library::SoundStore* store = soundStore();
    if (!store) return;
    for (Row& row : rows_) {
        const library::StoreItemProgress progress = store->progressOfStoreItem(row.identifier);
        QString text = "DOWNLOAD";
        QString failure;
        bool enabled = true;
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
                failure = "FAILED: " + QString::fromStdString(progress.failure);
                break;
        }
        row.control->setTitle(text);
        row.control->setEnabled(enabled);
        row.control->setTitleColor(enabled ? GuiFactory::rustyColor() : QColor(150, 150, 150));
        row.failure->setText(failure);
    }
}

std::vector<std::string> StrombelStoreViewController::itemIdentifiers() const {
    std::vector<std::string> identifiers;
    for (const Row& row : rows_) identifiers.push_back(row.identifier);
    return identifiers;
}

kit::Button* StrombelStoreViewController::controlOfItem(const std::string& identifier) const {
    for (const Row& row : rows_) {
        if (row.identifier == identifier) return row.control;
    }
    return nullptr;
}

QString StrombelStoreViewController::controlTextOfItem(const std::string& identifier) const {
    kit::Button* control = controlOfItem(identifier);
    return control ? control->title() : QString();
}

QString StrombelStoreViewController::failureTextOfItem(const std::string& identifier) const {
    for (const Row& row : rows_) {
        if (row.identifier == identifier) return row.failure->text();
    }
    return {};
}

bool StrombelStoreViewController::iconOfItemIsLoaded(const std::string& identifier) const {
    for (const Row& row : rows_) {
        if (row.identifier == identifier) return row.iconLoaded;
    }
    return false;
}

// ---- The phone ----

StrombelIphoneStoreViewController::StrombelIphoneStoreViewController(library::SoundDataManager* library)
    : StrombelStoreViewController(library, 1) {
    loadView();
}

void StrombelIphoneStoreViewController::loadView() {
    buildView(Metrics{40, 18, 64, 52, 14, 10, QSizeF(120, 28), true});
}

}  // namespace strombel::store
