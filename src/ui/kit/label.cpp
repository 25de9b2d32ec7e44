#include "ui/kit/label.h"

#include <QFontMetricsF>
#include <QPainter>

namespace strombel::ui::kit {

Label::Label(const QRectF& frame) : View(frame) {
    setUserInteractionEnabled(false);
    font_.setPixelSize(17);
}

void Label::setText(const QString& text) {
    text_ = text;
    update();
}

void Label::setFont(const QFont& font) {
    font_ = font;
    update();
}

void Label::setTextColor(const QColor& color) {
    color_ = color;
    update();
}

void Label::setAlignment(Alignment alignment) {
    alignment_ = alignment;
    update();
}

void Label::setLineBreakMode(LineBreak mode) {
    lineBreak_ = mode;
    update();
}

void Label::setNumberOfLines(int lines) {
    lines_ = lines;
    update();
}

QString Label::displayedText() const {
    const QFontMetricsF metrics(font_);
    Qt::TextElideMode elide = Qt::ElideNone;
    switch (lineBreak_) {
        case LineBreak::truncateHead:
            elide = Qt::ElideLeft;
            break;
        case LineBreak::truncateTail:
            elide = Qt::ElideRight;
            break;
        case LineBreak::truncateMiddle:
            elide = Qt::ElideMiddle;
            break;
        default:
            return text_;
    }
    return metrics.elidedText(text_, elide, width());
}

void Label::draw(QPainter& painter) {
    if (text_.isEmpty()) return;
    painter.save();
    painter.setFont(font_);
    painter.setPen(color_);
    painter.setRenderHint(QPainter::TextAntialiasing);
    Qt::Alignment align = Qt::AlignVCenter;
    switch (alignment_) {
        case Alignment::left:
            align |= Qt::AlignLeft;
            break;
        case Alignment::center:
            align |= Qt::AlignHCenter;
            break;
        case Alignment::right:
            align |= Qt::AlignRight;
            break;
    }
    if (lines_ != 1 && (lineBreak_ == LineBreak::wordWrap || lineBreak_ == LineBreak::charWrap)) {
        const int wrap =
            lineBreak_ == LineBreak::wordWrap ? Qt::TextWordWrap : Qt::TextWrapAnywhere;
        painter.drawText(bounds(), static_cast<int>(align) | wrap, text_);
    } else {
        // One line, clipped at the frame (the text may stand out vertically, as
        // captions of small fonts do, but never spills sideways).
        painter.setClipRect(QRectF(0, -height(), width(), height() * 3), Qt::IntersectClip);
        const QString shown = displayedText();
        const QFontMetricsF metrics(font_);
        // A line wider than the frame has no room to be aligned: it starts at the
        // left edge and loses its tail, so a long name keeps its beginning.
        if (metrics.horizontalAdvance(shown) > width())
            align = (align & ~Qt::AlignHorizontal_Mask) | Qt::AlignLeft;
        QRectF line = bounds();
        if (metrics.height() > line.height())
            line.adjust(0, -(metrics.height() - line.height()) / 2, 0,
                        (metrics.height() - line.height()) / 2);
        painter.drawText(line, static_cast<int>(align) | Qt::TextSingleLine, shown);
    }
    painter.restore();
}

}  // namespace strombel::ui::kit
