#include "ui/kit/label.h"

#include <QFontMetricsF>
#include <QPainter>
#include <QTextLayout>

#include <algorithm>

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
            // Clipping and wrapping modes on one line: a text too wide for the
            // frame is not cut through a letter, it ends with "…".
            elide = Qt::ElideRight;
            break;
    }
    return metrics.elidedText(text_, elide, width());
}

QStringList Label::wrappedLines() const {
    const QFontMetricsF metrics(font_);
    const int fit = std::max(1, int(height() / metrics.lineSpacing()));
    const int most = lines_ > 0 ? std::min(lines_, fit) : fit;
    QTextOption option;
    option.setWrapMode(lineBreak_ == LineBreak::charWrap ? QTextOption::WrapAnywhere
                                                          : QTextOption::WrapAtWordBoundaryOrAnywhere);
    // A newline in the text starts a line of its own.
    QString text = text_;
    text.replace(QLatin1Char('\n'), QChar::LineSeparator);
    QTextLayout layout(text, font_);
    layout.setTextOption(option);
    QStringList lines;
    layout.beginLayout();
    for (QTextLine line = layout.createLine(); line.isValid(); line = layout.createLine()) {
        line.setLineWidth(width());
        const int end = line.textStart() + line.textLength();
        if (int(lines.size()) == most - 1 && end < text.size()) {
            lines << metrics.elidedText(text.mid(line.textStart()).simplified(), Qt::ElideRight, width());
            break;
        }
        lines << text.mid(line.textStart(), line.textLength()).trimmed();
    }
    layout.endLayout();
    return lines;
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
        // The lines that fit the frame (no more than asked for), the block centred
        // in it; the last line shown loses its tail when the text goes on.
        const QStringList lines = wrappedLines();
        const double spacing = QFontMetricsF(font_).lineSpacing();
        QRectF line(0, (height() - spacing * lines.size()) / 2, width(), spacing);
        painter.setClipRect(bounds(), Qt::IntersectClip);
        for (const QString& shown : lines) {
            painter.drawText(line, static_cast<int>(align) | Qt::TextSingleLine, shown);
            line.translate(0, spacing);
        }
    } else {
        // One line within the frame (the text may stand out vertically, as
        // captions of small fonts do, but never spills sideways). A text too
        // wide for the frame was shortened to fit with "…" at its end; the
        // clip only keeps the last fraction of a point of rounding inside.
        painter.setClipRect(QRectF(0, -height(), width(), height() * 3), Qt::IntersectClip);
        const QString shown = displayedText();
        const QFontMetricsF metrics(font_);
        QRectF line = bounds();
        if (metrics.height() > line.height())
            line.adjust(0, -(metrics.height() - line.height()) / 2, 0,
                        (metrics.height() - line.height()) / 2);
        painter.drawText(line, static_cast<int>(align) | Qt::TextSingleLine, shown);
    }
    painter.restore();
}

}  // namespace strombel::ui::kit
