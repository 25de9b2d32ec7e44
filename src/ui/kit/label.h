#pragma once

#include <QColor>
#include <QFont>
#include <QString>
#include <QStringList>

#include <optional>
#include <utility>

#include "ui/kit/view.h"

namespace strombel::ui::kit {

/// One line (or several) of text in a frame; takes no touches.
class Label : public View {
  public:
    enum class Alignment { left, center, right };
    enum class LineBreak {
        wordWrap = 0,
        charWrap = 1,
        clip = 2,
        truncateHead = 3,
        truncateTail = 4,
        truncateMiddle = 5
    };

    explicit Label(const QRectF& frame = {});

    const QString& text() const { return text_; }
    void setText(const QString& text);
    const QFont& font() const { return font_; }
    void setFont(const QFont& font);
    QColor textColor() const { return color_; }
    void setTextColor(const QColor& color);
    Alignment alignment() const { return alignment_; }
    void setAlignment(Alignment alignment);
    LineBreak lineBreakMode() const { return lineBreak_; }
    void setLineBreakMode(LineBreak mode);
    /// 0 for as many as fit; 1 by default.
    int numberOfLines() const { return lines_; }
    void setNumberOfLines(int lines);

    /// Lets a text too wide for the frame shrink and wrap rather than lose its
    /// tail: it is drawn smaller, down to `minimumScale` of the font's size; where
    /// that is not enough, on up to `lines` lines broken between words (again from
    /// the font's size down). A text that fits none of these is drawn at the
    /// smallest size with its last line cut after a word, with "…". The lines
    /// stand centred on the frame's middle, out of a frame shorter than they are
    /// as one line of a small font may. Leading spaces indent every line.
    void setFitting(int lines, double minimumScale);
    /// What a fitting label draws: its font and lines.
    struct Fitted {
        QFont font;
        QStringList lines;
    };
    Fitted fitted() const;

    /// The text as drawn on one line: when too wide for the frame, shortened by
    /// the truncating modes where they say, and at its end with "…" in the others.
    /// A fitting label's lines, joined by newlines.
    QString displayedText() const;
    /// The lines a wrapping label draws: as many as its frame holds and no more
    /// than `numberOfLines` (unless 0), the last one cut after a word, with "…",
    /// when the text goes on. A word longer than a line is broken after a "_",
    /// ".", "-", "/", "\\" or ":" of its own where one fits, else where the line ends.
    QStringList wrappedLines() const;

    /// The frame, and above and below it what the text may draw there: a view
    /// on the label repaints this much when the text changes, so no line drawn
    /// outside the frame stays behind.
    QRectF boundingRect() const override;

  protected:
    void draw(QPainter& painter) override;
    void sizeChanged(const QSizeF& oldSize) override;

  private:
    QString text_;
    QFont font_;
    QColor color_ = Qt::black;
    Alignment alignment_ = Alignment::left;
    LineBreak lineBreak_ = LineBreak::truncateTail;
    int lines_ = 1;
    int fittingLines_ = 0;  // 0: the label does not fit its text
    double minimumScale_ = 1.0;
    // The last fit worked out, for the width it was worked out for: a label is
    // drawn far more often than its text changes.
    Fitted fitFor(double width) const;
    mutable std::optional<std::pair<double, Fitted>> lastFit_;
    // Where the text may draw, in the label's points; the draw is clipped to it.
    QRectF textArea() const;
    void textAreaChanged();
    QRectF textArea_;
};

}  // namespace strombel::ui::kit
