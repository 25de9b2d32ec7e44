#include "ui/kit/label.h"

#include <QFontMetricsF>
#include <QPainter>
#include <QTextLayout>

#include <algorithm>
#include <cmath>
#include <optional>
#include <vector>

namespace strombel::ui::kit {

namespace {

const QChar kEllipsis(0x2026);
const QChar kLineMayEnd(0x200B);  // a zero width space: a place where a line may end

/// `text` on one line of `width`: cut after its last whole word that fits with
/// "…" after it; through a letter only when not even its first word fits.
QString elidedAfterWord(const QString& text, const QFontMetricsF& metrics, double width) {
    const QString whole = text.simplified();
    if (metrics.horizontalAdvance(whole) <= width) return whole;
    QStringList words = whole.split(' ');
    while (words.size() > 1) {
        words.removeLast();
        const QString shown = words.join(' ') + kEllipsis;
        if (metrics.horizontalAdvance(shown) <= width) return shown;
    }
    return metrics.elidedText(whole, Qt::ElideRight, width);
}

/// `text` with places to end a line inside each word too long for one: after
/// its "_", ".", "-", "/", "\\" and ":" (a file name or an address breaks there
/// rather than through a letter).
QString withBreaksInLongWords(const QString& text, const QFontMetricsF& metrics, double width) {
    QString result;
    qsizetype start = 0;
    for (qsizetype i = 0; i <= text.size(); ++i) {
        if (i < text.size() && !text[i].isSpace()) continue;
        const QString word = text.mid(start, i - start);
        if (metrics.horizontalAdvance(word) <= width) {
            result += word;
        } else {
            for (qsizetype c = 0; c < word.size(); ++c) {
                result += word[c];
                if (c + 1 < word.size() && QStringLiteral("_.-/\\:").contains(word[c])) result += kLineMayEnd;
            }
        }
        if (i < text.size()) result += text[i];
        start = i + 1;
    }
    return result;
}

QString withoutBreaks(QString text) {
    text.remove(kLineMayEnd);
    return text;
}

/// `font` and the smaller ones down to `scale` of its size: whole pixels for a
/// font sized in pixels, half points for one sized in points.
std::vector<QFont> fontsDownTo(const QFont& font, double scale) {
    std::vector<QFont> fonts{font};
    if (font.pixelSize() > 0) {
        const int smallest = std::max(1, int(std::ceil(font.pixelSize() * scale)));
        for (int pixels = font.pixelSize() - 1; pixels >= smallest; --pixels) {
            fonts.push_back(font);
            fonts.back().setPixelSize(pixels);
        }
    } else {
        const double smallest = font.pointSizeF() * scale;
        for (double points = font.pointSizeF() - 0.5; points >= smallest - 1e-9 && points > 0; points -= 0.5) {
            fonts.push_back(font);
            fonts.back().setPointSizeF(points);
        }
    }
    return fonts;
}

/// `words` laid into lines no wider than `width`, as many on each as fit; a
/// word wider than a line stands on one of its own.
QStringList packedWords(const QStringList& words, const QFontMetricsF& metrics, double width) {
    QStringList lines;
    for (const QString& word : words) {
        if (!lines.isEmpty() && metrics.horizontalAdvance(lines.back() + ' ' + word) <= width) {
            lines.back() += ' ' + word;
        } else {
            lines << word;
        }
    }
    return lines;
}

}  // namespace

Label::Label(const QRectF& frame) : View(frame), textArea_(bounds()) {
    setUserInteractionEnabled(false);
    font_.setPixelSize(17);
}

QRectF Label::boundingRect() const { return View::boundingRect().united(textArea_); }

void Label::sizeChanged(const QSizeF& oldSize) {
    View::sizeChanged(oldSize);
    textAreaChanged();
}

QRectF Label::textArea() const {
    if (text_.isEmpty() || (fittingLines_ == 0 && lines_ != 1 &&
                            (lineBreak_ == LineBreak::wordWrap || lineBreak_ == LineBreak::charWrap)))
        return bounds();
    // The lines stand centred on the frame's middle, and may be taller than it;
    // an accent or a descender may reach a little past its line.
    const Fitted shown = fittingLines_ > 0 ? fitted() : Fitted{font_, {text_}};
    const QFontMetricsF metrics(shown.font);
    const double lines = fittingLines_ > 0 ? std::max(metrics.lineSpacing() * double(shown.lines.size()), metrics.height())
                                           : std::max(metrics.height(), height());
    const double reach = metrics.height() / 4;
    return bounds().united(QRectF(0, (height() - lines) / 2 - reach, width(), lines + 2 * reach));
}

void Label::textAreaChanged() {
    const QRectF area = textArea();
    if (area == textArea_) return;
    // The view repaints what the label covered before as well as what it covers now.
    prepareGeometryChange();
    textArea_ = area;
}

void Label::setText(const QString& text) {
    if (text == text_) return;  // the pads' names are set again at every library change
    text_ = text;
    lastFit_.reset();
    textAreaChanged();
    update();
}

void Label::setFont(const QFont& font) {
    font_ = font;
    lastFit_.reset();
    textAreaChanged();
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
    textAreaChanged();
    update();
}

void Label::setNumberOfLines(int lines) {
    lines_ = lines;
    textAreaChanged();
    update();
}

void Label::setFitting(int lines, double minimumScale) {
    fittingLines_ = std::max(0, lines);
    minimumScale_ = std::clamp(minimumScale, 0.1, 1.0);
    lastFit_.reset();
    textAreaChanged();
    update();
}

Label::Fitted Label::fitted() const {
    if (!lastFit_ || lastFit_->first != width()) lastFit_.emplace(width(), fitFor(width()));
    return lastFit_->second;
}

Label::Fitted Label::fitFor(double width) const {
    qsizetype indentLength = 0;
    while (indentLength < text_.size() && text_[indentLength] == ' ') ++indentLength;
    const QString indent = text_.left(indentLength);
    const QStringList words = text_.mid(indentLength).simplified().split(' ', Qt::SkipEmptyParts);
    if (words.isEmpty()) return {font_, {text_}};
    if (fittingLines_ == 0) return {font_, {displayedText()}};
    auto indented = [&](QStringList lines) {
        for (QString& line : lines) line.prepend(indent);
        return lines;
    };
    const std::vector<QFont> fonts = fontsDownTo(font_, minimumScale_);
    // A smaller size first, then more lines, each from the font's own size down.
    for (int most = 1; most <= fittingLines_; ++most) {
        for (const QFont& font : fonts) {
            const QFontMetricsF metrics(font);
            const double room = width - metrics.horizontalAdvance(indent);
            const QStringList lines = packedWords(words, metrics, room);
            if (lines.size() <= most &&
                std::all_of(lines.begin(), lines.end(),
                            [&](const QString& line) { return metrics.horizontalAdvance(line) <= room; }))
                return {font, indented(lines)};
        }
    }
    // Too long for every size: the smallest, its last line cut after a word.
    const QFontMetricsF metrics(fonts.back());
    const double room = width - metrics.horizontalAdvance(indent);
    const QStringList lines = packedWords(words, metrics, room);
    QStringList shown;
    for (qsizetype i = 0; i < lines.size(); ++i) {
        if (shown.size() == fittingLines_ - 1) {
            shown << elidedAfterWord(lines.mid(i).join(' '), metrics, room);
            break;
        }
        shown << elidedAfterWord(lines[i], metrics, room);
    }
    return {fonts.back(), indented(shown)};
}

QString Label::displayedText() const {
    if (fittingLines_ > 0) return fitted().lines.join('\n');
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
    const bool byWords = lineBreak_ != LineBreak::charWrap;
    if (byWords) text = withBreaksInLongWords(text, metrics, width());
    QTextLayout layout(text, font_);
    layout.setTextOption(option);
    QStringList lines;
    layout.beginLayout();
    for (QTextLine line = layout.createLine(); line.isValid(); line = layout.createLine()) {
        line.setLineWidth(width());
        const int end = line.textStart() + line.textLength();
        if (int(lines.size()) == most - 1 && end < text.size()) {
            const QString rest = withoutBreaks(text.mid(line.textStart()));
            lines << (byWords ? elidedAfterWord(rest, metrics, width())
                              : metrics.elidedText(rest.simplified(), Qt::ElideRight, width()));
            break;
        }
        lines << withoutBreaks(text.mid(line.textStart(), line.textLength())).trimmed();
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
    if (fittingLines_ > 0) {
        // The lines that fit, at the size that fits, centred on the frame's
        // middle; nothing spills sideways.
        const Fitted shown = fitted();
        const QFontMetricsF metrics(shown.font);
        painter.setFont(shown.font);
        const double spacing = metrics.lineSpacing();
        const double block = std::max(spacing * double(shown.lines.size()), metrics.height());
        painter.setClipRect(textArea_, Qt::IntersectClip);
        QRectF line(0, (height() - block) / 2, width(), shown.lines.size() == 1 ? block : spacing);
        for (const QString& text : shown.lines) {
            painter.drawText(line, static_cast<int>(align) | Qt::TextSingleLine, text);
            line.translate(0, spacing);
        }
    } else if (lines_ != 1 && (lineBreak_ == LineBreak::wordWrap || lineBreak_ == LineBreak::charWrap)) {
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
        painter.setClipRect(textArea_, Qt::IntersectClip);
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
