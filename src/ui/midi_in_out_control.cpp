#include "ui/midi_in_out_control.h"

#include <QFontMetricsF>
#include <QPainter>
#include <QString>

#include <algorithm>
#include <cmath>
#include <tuple>

#include "logging/log.h"
#include "ui/gui_factory.h"
#include "ui/kit/control.h"
#include "ui/kit/label.h"
#include "ui/util.h"

namespace strombel::ui {

namespace {

struct InOutMetrics {
    int32_t margin, portNameMarginLeft, tableCellHeight, fontSize, buttonSpace, labelY;
};

InOutMetrics inOutMetricsFor(GuiType guiType) {
    switch (guiType) {
        case GuiType::phoneLandscape: return {3, 4, 25, 6, 20, -2};
        case GuiType::phonePortrait: return {4, 7, 35, 8, 28, -3};
        case GuiType::tablet: break;
    }
    return {5, 10, 45, 12, 45, -6};
}

/// A NOTES or TEMPO switch: a key standing inside its place in the row (clear
/// of the row's line and of the list's edge), dark with a gray word while off,
/// lit amber with a dark word while on, and rimmed bright while held.
class PortSwitch final : public kit::Button {
public:
    PortSwitch(const QRectF& frame, const QString& title, double fontSize) : kit::Button(frame), fontSize_(fontSize) {
        setBackgroundColor(Qt::transparent);
        setTitle(title);
    }
    /// The key's rectangle in the switch.
    QRectF key() const {
        const double inset = std::max(1.5, std::round(width() * 0.07));
        const double insetY = std::max(2.0, std::round(height() * 0.2));
        return bounds().adjusted(inset, insetY, -inset, -insetY);
    }

protected:
    void draw(QPainter& painter) override {
        const QRectF rect = key();
        const bool on = isSelected();
        painter.save();
        painter.setRenderHint(QPainter::Antialiasing);
        const double radius = std::max(1.5, rect.height() * 0.18);
        painter.setPen(QPen(isHighlighted() ? kHeldRim : on ? kLitRim : GuiFactory::darkRustyColor(), 1.0));
        painter.setBrush(on ? kLit : kDark);
        painter.drawRoundedRect(rect.adjusted(0.5, 0.5, -0.5, -0.5), radius, radius);
        // The word made smaller where the key is too narrow for it, so that it
        // keeps clear of the rim in every layout.
        const QFont font = GuiFactory::interfaceFont(fontSize_);
        const double room = rect.width() - 2 * std::max(1.0, rect.height() * 0.12);
        const double wide = QFontMetricsF(font).horizontalAdvance(title());
        const double shrink = wide > room && room > 0 ? room / wide : 1.0;
        painter.setFont(font);
        painter.setPen(on ? kLitWord : kDarkWord);
        painter.translate(rect.center());
        painter.scale(shrink, shrink);
        painter.drawText(QRectF(-wide, -rect.height(), 2 * wide, 2 * rect.height()), Qt::AlignCenter, title());
        painter.restore();
    }

private:
    static inline const QColor kLit{226, 168, 72};
    static inline const QColor kLitRim{255, 214, 140};
    static inline const QColor kLitWord{28, 18, 6};
    static inline const QColor kDark{26, 26, 26};
    static inline const QColor kDarkWord{150, 150, 150};
    static inline const QColor kHeldRim{255, 255, 255};
    double fontSize_;
};

}  // namespace

MidiInOutControl::MidiInOutControl(GuiType guiType, MidiPorts& ports)
    : kit::ImageView(GuiFactory::imageWithName("midiInOutControlBack", guiType)), ports_(ports), guiType_(guiType) {
    setUserInteractionEnabled(true);
    ports_.setMidiPortsDelegate(this);
    const int32_t W = int32_t(width()), H = int32_t(height());
    const int32_t h = W / 2;
    const InOutMetrics m = inOutMetricsFor(guiType);
    margin_ = m.margin;
    portNameMarginLeft_ = m.portNameMarginLeft;
    tableCellHeight_ = m.tableCellHeight;
    fontSize_ = m.fontSize;
    buttonSpace_ = m.buttonSpace;
    labelY_ = m.labelY;
    tableWidth_ = h - 1 - 2 * margin_;
    tableHeight_ = H - 2 * margin_;

    auto makeList = [this](double x) {
        auto table = std::make_unique<kit::TableView>(QRectF(x, margin_, tableWidth_, tableHeight_));
        table->setDataSource(this);
        table->setDelegate(this);
        table->setBackgroundColor(Qt::black);
        table->setSeparatorColor(GuiFactory::darkRustyColor());
        table->setRowHeight(tableCellHeight_);
        return add(std::move(table));
    };
    sourcesTableView_ = makeList(margin_);
    destinationsTableView_ = makeList(margin_ + h);
    auto divider = std::make_unique<kit::View>(QRectF(h, 0, 1, H));
    divider->setBackgroundColor(GuiFactory::darkRustyColor());
    add(std::move(divider));
    for (const auto& [x, text] : {std::pair{0, "MIDI RECEIVE"}, std::pair{h, "MIDI SEND"}}) {
        if (auto caption = GuiFactory::labelForGuiType(guiType, QPointF(x, labelY_), h)) {
            caption->setText(text);
            add(std::move(caption));
        }
    }
    sourcesTableView_->reloadData();
    destinationsTableView_->reloadData();
}

MidiInOutControl::~MidiInOutControl() {
    // Another panel may have taken the role meanwhile; that one keeps it.
    if (ports_.midiPortsDelegate() == this) ports_.setMidiPortsDelegate(nullptr);
}

void MidiInOutControl::takePortsDelegate() {
    ports_.setMidiPortsDelegate(this);
    sourcesTableView_->reloadData();
    destinationsTableView_->reloadData();
}

void MidiInOutControl::sourcePortsChanged() { sourcesTableView_->reloadData(); }

void MidiInOutControl::destinationPortsChanged() { destinationsTableView_->reloadData(); }

int MidiInOutControl::numberOfRows(kit::TableView& table, int) {
    size_t count = 0;
    if (&table == sourcesTableView_) count = ports_.sources().size();
    else if (&table == destinationsTableView_) count = ports_.destinations().size();
    else return 0;
    return count == 0 ? 1 : int(count);
}

std::unique_ptr<kit::TableViewCell> MidiInOutControl::cellForRow(kit::TableView& table, const kit::IndexPath& path) {
    const bool sources = &table == sourcesTableView_;
    if (!sources && &table != destinationsTableView_) return nullptr;
    const std::vector<MidiPortRow> ports = sources ? ports_.sources() : ports_.destinations();
    const MidiPortRow* port = size_t(path.row) < ports.size() ? &ports[size_t(path.row)] : nullptr;
    return rowForTable(table, port, sources ? kSourcesCellId : kDestinationsCellId);
}

std::unique_ptr<kit::TableViewCell> MidiInOutControl::rowForTable(kit::TableView& table, const MidiPortRow* port,
                                                                  const QString& cellId) {
    const double T = table.width();
    std::unique_ptr<kit::TableViewCell> cell = table.dequeueReusableCell(cellId);
    if (!cell) {
        cell = std::make_unique<kit::TableViewCell>(cellId);
        cell->setBackgroundColor(Qt::black);
        auto name = std::make_unique<kit::Label>(QRectF(portNameMarginLeft_, 0,
                                                        tableWidth_ - portNameMarginLeft_ - 2 * buttonSpace_,
                                                        tableCellHeight_));
        name->setTag(kNameTag);
        name->setTextColor(GuiFactory::rustyColor());
        name->setFont(GuiFactory::interfaceFont(fontSize_));
        name->setLineBreakMode(kit::Label::LineBreak::clip);
        cell->add(std::move(name));
        for (const auto& [tag, title, x] : {std::tuple{kNotesTag, "NOTES", T - 2 * buttonSpace_},
                                            std::tuple{kTempoTag, "TEMPO", T - buttonSpace_}}) {
            auto button = std::make_unique<PortSwitch>(QRectF(x, 0, buttonSpace_, tableCellHeight_), title, fontSize_);
            button->setTag(tag);
            const bool notes = tag == kNotesTag;
            button->addTarget(kit::touchUpInside, [this, notes](kit::Control& control) {
                auto& pressed = static_cast<kit::Button&>(control);
                if (notes) notesBtnPressed(pressed);
                else tempoBtnPressed(pressed);
            });
            cell->add(std::move(button));
        }
    }
    auto* name = static_cast<kit::Label*>(cell->viewWithTag(kNameTag));
    auto* notes = static_cast<kit::Button*>(cell->viewWithTag(kNotesTag));
    auto* tempo = static_cast<kit::Button*>(cell->viewWithTag(kTempoTag));
    const char* empty = ports_.midiSystemAvailable() ? "NO PORTS" : "NO MIDI SYSTEM";
    name->setText(port ? QString::fromStdString(port->name).toUpper() : QString(empty));
    notes->setHidden(!port);
    tempo->setHidden(!port);
    notes->setSelected(port && port->processNotes);
    tempo->setSelected(port && port->processTempo);
    return cell;
}

std::optional<MidiPortRow> MidiInOutControl::portOf(kit::Button& button, bool& isSource) {
    kit::TableViewCell* cell = Util::findParentTableViewCellFor(&button);
    if (!cell) return std::nullopt;
    isSource = cell->isDescendantOf(sourcesTableView_);
    kit::TableView* table = isSource ? sourcesTableView_ : destinationsTableView_;
    const auto path = table->indexPathForCell(cell);
    const std::vector<MidiPortRow> ports = isSource ? ports_.sources() : ports_.destinations();
    // The row must still show the hub's port at its place: when a port went before
    // the list heard of it, the next port has moved up into the pressed row.
    const auto* shown = static_cast<kit::Label*>(cell->viewWithTag(kNameTag));
    if (!path || size_t(path->row) >= ports.size() ||
        (shown && shown->text() != QString::fromStdString(ports[size_t(path->row)].name).toUpper())) {
        STROMBEL_LOG_INFO("MIDI port row {} is gone; the list is reloaded", path ? path->row : -1);
        table->reloadData();
        return std::nullopt;
    }
    return ports[size_t(path->row)];
}

void MidiInOutControl::notesBtnPressed(kit::Button& button) {
    bool isSource = false;
    auto port = portOf(button, isSource);
    if (!port) return;
    button.setSelected(!button.isSelected());
    if (isSource) ports_.receiveNotesFrom(port->name, button.isSelected());
    else ports_.sendNotesTo(port->name, button.isSelected());
}

void MidiInOutControl::tempoBtnPressed(kit::Button& button) {
    bool isSource = false;
    auto port = portOf(button, isSource);
    if (!port) return;
    button.setSelected(!button.isSelected());
    if (isSource) {
        ports_.receiveClockFrom(port->name, button.isSelected());
        // One clock source at a time: the others' TEMPO went off.
        sourcesTableView_->reloadData();
    } else {
        ports_.sendClockTo(port->name, button.isSelected());
    }
}

}  // namespace strombel::ui
