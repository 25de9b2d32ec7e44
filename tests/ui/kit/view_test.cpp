#include "ui/kit/view.h"

#include <gtest/gtest.h>

#include <QFontMetricsF>
#include <QImage>
#include <QPainter>

#include "ui/kit/animator.h"
#include "ui/kit/control.h"
#include "ui/kit/image_view.h"
#include "ui/kit/kit_test_support.h"
#include "ui/kit/label.h"
#include "ui/kit/touch.h"

namespace strombel::ui::kit {
namespace {

class ViewTest : public testing::KitTest {};

TEST_F(ViewTest, FrameShortcutsChangeOneComponentEach) {
    View view(QRectF(10, 20, 30, 40));
    EXPECT_EQ(view.rightX(), 40);
    EXPECT_EQ(view.bottomY(), 60);
    view.setX(5);
    view.setY(6);
    view.setWidth(7);
    view.setHeight(8);
    EXPECT_EQ(view.frame(), QRectF(5, 6, 7, 8));
    view.setX(1, 2);
    EXPECT_EQ(view.frame(), QRectF(1, 2, 7, 8));
    EXPECT_EQ(view.bounds(), QRectF(0, 0, 7, 8));
}

TEST_F(ViewTest, SubviewsKeepTheirOrderAndInsertBelowPutsOneUnderASibling) {
    View root(QRectF(0, 0, 100, 100));
    View* first = root.addSubview(std::make_unique<View>(QRectF(0, 0, 10, 10)));
    View* second = root.addSubview(std::make_unique<View>(QRectF(0, 0, 10, 10)));
    View* under = root.insertSubviewBelow(std::make_unique<View>(QRectF(0, 0, 10, 10)), second);
    EXPECT_EQ(root.subviews(), (std::vector<View*>{first, under, second}));
    root.bringSubviewToFront(first);
    EXPECT_EQ(root.subviews(), (std::vector<View*>{under, second, first}));
}

TEST_F(ViewTest, RemovedViewComesBackToItsTakerAndCanBePutBack) {
    View root(QRectF(0, 0, 100, 100));
    View* panel = root.addSubview(std::make_unique<View>(QRectF(0, 0, 50, 50)));
    panel->setTag(7);
    std::unique_ptr<View> kept = panel->removeFromSuperview();
    ASSERT_EQ(kept.get(), panel);
    EXPECT_EQ(root.subviews().size(), 0u);
    EXPECT_EQ(root.viewWithTag(7), nullptr);
    root.addSubview(std::move(kept));
    EXPECT_EQ(root.viewWithTag(7), panel);
    EXPECT_EQ(panel->superview(), &root);
}

TEST_F(ViewTest, AlphaMultipliesDownTheTree) {
    View root(QRectF(0, 0, 100, 100));
    View* panel = root.addSubview(std::make_unique<View>(QRectF(0, 0, 50, 50)));
    View* lamp = panel->addSubview(std::make_unique<View>(QRectF(0, 0, 10, 10)));
    root.setAlpha(0.5);
    panel->setAlpha(0.5);
    lamp->setAlpha(0.8);
    EXPECT_NEAR(lamp->effectiveOpacity(), 0.2, 1e-9);
}

TEST_F(ViewTest, HitTestingSkipsHiddenAndNonInteractiveViewsAndPointsOutsideTheParent) {
    View root(QRectF(0, 0, 200, 200));
    View* panel = root.addSubview(std::make_unique<View>(QRectF(50, 50, 100, 100)));
    Control* button = panel->add(std::make_unique<Control>(QRectF(10, 10, 30, 30)));
    Control* sticksOut = panel->add(std::make_unique<Control>(QRectF(-40, 0, 30, 30)));
    Label* caption = panel->add(
        std::make_unique<Label>(QRectF(10, 10, 30, 10)));  // above the button, takes no touches

    EXPECT_EQ(root.hitTest({65, 65}), button);
    EXPECT_EQ(caption->isUserInteractionEnabled(), false);
    // A subview outside its parent's bounds does not take touches there.
    EXPECT_EQ(root.hitTest({15, 55}), &root);
    (void)sticksOut;
    button->setHidden(true);
    EXPECT_EQ(root.hitTest({65, 65}), panel);
    button->setHidden(false);
    panel->setUserInteractionEnabled(false);
    EXPECT_EQ(root.hitTest({65, 65}), &root);
    panel->setUserInteractionEnabled(true);
    panel->setAlpha(0);
    EXPECT_EQ(root.hitTest({65, 65}), &root);
    EXPECT_EQ(root.hitTest({250, 10}), nullptr);
}

TEST_F(ViewTest, TouchesFindViewsWhereTheyAreGoingAndNotOnesFadingOut) {
    View root(QRectF(0, 0, 400, 100));
    View* strip = root.addSubview(std::make_unique<View>(QRectF(0, 0, 400, 100)));
    Control* button = strip->add(std::make_unique<Control>(QRectF(50, 0, 50, 50)));
    View* shade = root.addSubview(std::make_unique<View>(QRectF(0, 0, 400, 100)));
    shade->setHidden(true);

    // Halfway through a slide of 200 points, the button is found at its end.
    context.animator().animatePosition(*strip, QPointF(200, 0), 0.2);
    advance(0.1);
    ASSERT_GT(strip->x(), 0);
    ASSERT_LT(strip->x(), 200);
    EXPECT_EQ(root.hitTest({275, 25}), button);
    EXPECT_EQ(root.hitTest({75, 25}), &root);
    Touch touch;
    touch.scenePoint = {275, 25};
    EXPECT_EQ(touch.locationIn(*button), QPointF(25, 25)) << "the touch is in the button, where it goes";
    advance(0.2);

    // A shade fading out takes no touches from its first step on; one fading in does.
    shade->setHidden(false);
    EXPECT_EQ(root.hitTest({275, 25}), shade);
    context.animator().animateAlpha(*shade, 0, 0.5);
    advance(0.02);
    ASSERT_GT(shade->alpha(), 0.5);
    EXPECT_EQ(root.hitTest({275, 25}), button);
    context.animator().animateAlpha(*shade, 1, 0.5);
    EXPECT_EQ(root.hitTest({275, 25}), shade);
}

TEST_F(ViewTest, ClippingIsOptional) {
    View panel(QRectF(0, 0, 10, 10));
    EXPECT_FALSE(panel.clipsToBounds());
    panel.setClipsToBounds(true);
    EXPECT_TRUE(panel.clipsToBounds());
}

TEST_F(ViewTest, ImageViewTakesItsImagesSizeInPoints) {
    QImage image(40, 20, QImage::Format_ARGB32_Premultiplied);
    image.setDevicePixelRatio(2.0);
    ImageView view(image);
    EXPECT_EQ(view.frame(), QRectF(0, 0, 20, 10));
    EXPECT_FALSE(view.isUserInteractionEnabled());
}

TEST_F(ViewTest, LabelTruncatesTheTailOrClipsAsAsked) {
    Label label(QRectF(0, 0, 40, 12));
    label.setText("A VERY LONG BANK NAME");
    label.setLineBreakMode(Label::LineBreak::truncateTail);
    EXPECT_TRUE(label.displayedText().endsWith(QChar(0x2026)))
        << label.displayedText().toStdString();
    EXPECT_LT(label.displayedText().size(), label.text().size());
    // Clipping never cuts through a letter: the line ends with "…" as well.
    for (const Label::LineBreak mode : {Label::LineBreak::clip, Label::LineBreak::wordWrap}) {
        label.setLineBreakMode(mode);
        EXPECT_TRUE(label.displayedText().endsWith(QChar(0x2026))) << label.displayedText().toStdString();
        EXPECT_TRUE(label.displayedText().startsWith("A")) << label.displayedText().toStdString();
        EXPECT_LE(QFontMetricsF(label.font()).horizontalAdvance(label.displayedText()), label.width());
    }
    label.setText("OK");
    label.setLineBreakMode(Label::LineBreak::truncateTail);
    EXPECT_EQ(label.displayedText(), "OK");
}

TEST_F(ViewTest, AWrappingLabelShowsTheLinesItsFrameHoldsAndEndsTheLastWithAnEllipsis) {
    const QString reason = "two.wav could not be fetched: the connection was reset by the other side";
    struct Case {
        int numberOfLines;
        double lines;  // the frame's height in lines
        int shown;
    };
    for (const Case& c : {Case{2, 4.0, 2}, Case{0, 3.2, 3}, Case{3, 1.5, 1}, Case{2, 0.5, 1}}) {
        SCOPED_TRACE(c.numberOfLines);
        Label label;
        label.setFont(QFont());
        label.setFrame(QRectF(0, 0, 90, QFontMetricsF(label.font()).lineSpacing() * c.lines));
        label.setText(reason);
        label.setLineBreakMode(Label::LineBreak::wordWrap);
        label.setNumberOfLines(c.numberOfLines);
        const QStringList lines = label.wrappedLines();
        ASSERT_EQ(lines.size(), c.shown) << lines.join('|').toStdString();
        EXPECT_TRUE(lines.front().startsWith(c.shown == 1 ? "two.wav" : "two.wav could")) << lines.join('|').toStdString();
        EXPECT_TRUE(lines.back().endsWith(QChar(0x2026))) << lines.join('|').toStdString();
        EXPECT_TRUE(reason.contains(lines.back().chopped(1) + ' ')) << "cut in a word: " << lines.back().toStdString();
        for (const QString& line : lines) EXPECT_LE(QFontMetricsF(label.font()).horizontalAdvance(line), 90.0);
    }
    // A newline starts a line; a text that fits loses nothing.
    Label label(QRectF(0, 0, 600, 60));
    label.setLineBreakMode(Label::LineBreak::wordWrap);
    label.setNumberOfLines(0);
    label.setText("The store cannot be reached.\nThe store answered with HTTP status 503");
    EXPECT_EQ(label.wrappedLines(),
              QStringList({"The store cannot be reached.", "The store answered with HTTP status 503"}));
}

TEST_F(ViewTest, AFittingLabelShrinksThenTakesASecondLineAndLosesOnlyWholeWords) {
    QFont font;
    font.setPixelSize(12);
    auto advance = [&](const QString& text, int pixels) {
        QFont sized = font;
        sized.setPixelSize(pixels);
        return QFontMetricsF(sized).horizontalAdvance(text);
    };
    const QString crash = "SNARE CRASH", words = "WWWW WWWW WWWW WWWW WWWW";
    struct Case {
        const char* what;
        QString text;
        double width;
        int pixels;  // the size drawn at
        QStringList lines;
    };
    const double twoWords = std::max(advance("SNARE", 12), advance("CRASH", 12)) + 1;
    ASSERT_GT(advance(crash, 9), twoWords) << "the case needs a name too wide for one line at every size";
    for (const Case& c : {
             Case{"fits", "KICK", 200, 12, {"KICK"}},
             Case{"blank", "", 200, 12, {""}},
             Case{"a little smaller", crash, advance(crash, 11) + 0.5, 11, {crash}},
             Case{"two lines at its size", crash, twoWords, 12, {"SNARE", "CRASH"}},
             Case{"indented, every line", "  " + crash, twoWords + advance("  ", 12), 12, {"  SNARE", "  CRASH"}},
             Case{"whole words lost", words, advance("WWWW WWWW", 9) + 1, 9, {"WWWW WWWW", "WWWW…"}},
         }) {
        SCOPED_TRACE(c.what);
        Label label(QRectF(0, 0, c.width, 12));
        label.setFont(font);
        label.setText(c.text);
        label.setFitting(2, 0.75);
        const Label::Fitted fitted = label.fitted();
        EXPECT_EQ(fitted.font.pixelSize(), c.pixels);
        EXPECT_EQ(fitted.lines, c.lines) << fitted.lines.join('|').toStdString();
        for (const QString& line : fitted.lines)
            EXPECT_LE(QFontMetricsF(fitted.font).horizontalAdvance(line), c.width) << line.toStdString();
        EXPECT_EQ(label.displayedText(), c.lines.join('\n'));
    }
}

TEST_F(ViewTest, AWrappingLabelBreaksAWordLongerThanALineAfterItsOwnSeparators) {
    QFont font;
    font.setPixelSize(12);
    const QString file = "calderwick_2012_short_vocals_aah_c.wav:";
    const double width = QFontMetricsF(font).horizontalAdvance("calderwick_2012_shor");
    Label label(QRectF(0, 0, width, 200));
    label.setFont(font);
    label.setLineBreakMode(Label::LineBreak::wordWrap);
    label.setNumberOfLines(0);
    const QString text = "FAILED: " + file + " the store answered with HTTP status 404";
    label.setText(text);
    const QStringList lines = label.wrappedLines();
    ASSERT_GE(lines.size(), 3) << lines.join('|').toStdString();
    // Read back in order, the lines are the text; each ends between words or
    // after a separator, never between two letters.
    qsizetype at = 0;
    for (const QString& line : lines) {
        SCOPED_TRACE(line.toStdString());
        while (at < text.size() && text[at] == ' ') ++at;
        ASSERT_EQ(text.mid(at, line.size()), line);
        at += line.size();
        EXPECT_TRUE(at == text.size() || text[at] == ' ' || QString("_.:").contains(text[at - 1]));
        EXPECT_LE(QFontMetricsF(font).horizontalAdvance(line), width);
    }
    EXPECT_EQ(at, text.size());
}

/// The label as drawn on a transparent picture of its own size, at two pixels a point.
QImage picture(Label& label, double width) {
    QImage image(QSize(int(width * 2), int(label.height() * 2)), QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QPainter painter(&image);
    painter.scale(2, 2);
    label.paint(&painter, nullptr, nullptr);
    return image;
}

/// The first pixel column with ink, or -1 for a blank picture.
int firstInkColumn(const QImage& image) {
    for (int x = 0; x < image.width(); ++x)
        for (int y = 0; y < image.height(); ++y)
            if (qAlpha(image.pixel(x, y)) > 0) return x;
    return -1;
}

/// The last pixel column with ink, or -1 for a blank picture.
int lastInkColumn(const QImage& image) {
    for (int x = image.width() - 1; x >= 0; --x)
        for (int y = 0; y < image.height(); ++y)
            if (qAlpha(image.pixel(x, y)) > 0) return x;
    return -1;
}

TEST_F(ViewTest, AClippedLineTooWideForItsFrameEndsWithAnEllipsisInsideTheFrameWhateverTheAlignment) {
    const QString name = "SNARE CRACK";
    const double narrow = 40;
    for (const Label::Alignment alignment :
         {Label::Alignment::left, Label::Alignment::center, Label::Alignment::right}) {
        SCOPED_TRACE(int(alignment));
        Label label(QRectF(0, 0, narrow, 12));
        label.setText(name);
        label.setTextColor(Qt::white);
        label.setLineBreakMode(Label::LineBreak::clip);
        label.setAlignment(alignment);
        const QString shown = label.displayedText();
        EXPECT_TRUE(shown.endsWith(QChar(0x2026))) << shown.toStdString();
        EXPECT_TRUE(name.startsWith(shown.chopped(1))) << shown.toStdString();
        EXPECT_LE(QFontMetricsF(label.font()).horizontalAdvance(shown), narrow);
        // Drawn on a picture wider than the frame: ink only inside the frame.
        const QImage image = picture(label, narrow + 40);
        ASSERT_NE(firstInkColumn(image), -1);
        EXPECT_LT(lastInkColumn(image), int(narrow * 2));
    }
}

TEST_F(ViewTest, AClippedLineThatFitsKeepsItsAlignment) {
    int leftInk = -1;
    for (const Label::Alignment alignment :
         {Label::Alignment::left, Label::Alignment::center, Label::Alignment::right}) {
        SCOPED_TRACE(int(alignment));
        Label label(QRectF(0, 0, 120, 12));
        label.setText("KICK");
        label.setTextColor(Qt::white);
        label.setLineBreakMode(Label::LineBreak::clip);
        label.setAlignment(alignment);
        const int ink = firstInkColumn(picture(label, 120));
        ASSERT_NE(ink, -1);
        if (alignment == Label::Alignment::left) {
            leftInk = ink;
            EXPECT_LT(ink, 10);
        } else {
            EXPECT_GT(ink, leftInk + 40);
        }
    }
}

}  // namespace
}  // namespace strombel::ui::kit
