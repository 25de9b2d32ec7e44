#include "ui/image_generator.h"

#include <QFont>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QRadialGradient>
#include <algorithm>
#include <cmath>
#include <functional>
#include <map>
#include <tuple>

namespace strombel::ui {

namespace {

// The palette of the instrument.
const QColor kRusty(195, 176, 134);
const QColor kDarkRusty(145, 130, 99);
const QColor kAmber(255, 166, 52);
const QColor kAmberHot(255, 226, 160);
const QColor kInk(9, 9, 10);

int typeOf(ImageVariant variant) {
    switch (variant) {
        case ImageVariant::tablet:
            return 0;
        case ImageVariant::phone:
        case ImageVariant::phoneTall:
            return 1;
        case ImageVariant::portrait:
        case ImageVariant::portraitTall:
            return 2;
    }
    return 0;
}

bool isTall(ImageVariant variant) {
    return variant == ImageVariant::phoneTall || variant == ImageVariant::portraitTall;
}

// Line widths and radii scale with the layout: the tablet is 1.
double unitOf(int type) {
    return type == 0 ? 1.0 : type == 1 ? 0.45 : 0.66;
}

// Inner margin of the value box displays (their buttons sit this far in).
double boxMargin(int type) {
    return type == 0 ? 3 : type == 1 ? 1 : 2;
}

using Painter = std::function<void(QPainter&, const QSizeF&, int type)>;

struct Art {
    QSizeF sizes[3];
    bool tallVariant = false;  // a separate picture for 16:9 phones
    Painter paint;
    /// Pixels per point at most: a picture without fine detail (a soft gradient)
    /// is drawn this coarse and scaled up, for a quarter of the memory at 2x.
    double maxPixelRatio = 0;  // 0: as many as the screen has
    /// A full-screen picture that covers one upright screen, not the portrait
    /// layout's strip of two.
    bool oneUprightScreen = false;
};

QSizeF fullScreen(ImageVariant variant) {
    switch (variant) {
        case ImageVariant::tablet:
            return {1024, 768};
        case ImageVariant::phone:
            return {480, 320};
        case ImageVariant::phoneTall:
            return {568, 320};
        case ImageVariant::portrait:
            return {640, 480};
        case ImageVariant::portraitTall:
            return {640, 568};
    }
    return {};
}

QLinearGradient vertical(const QRectF& rect, const QColor& top, const QColor& bottom) {
    QLinearGradient gradient(rect.topLeft(), rect.bottomLeft());
    gradient.setColorAt(0, top);
    gradient.setColorAt(1, bottom);
    return gradient;
}

QColor withAlpha(QColor color, int alpha) {
    color.setAlpha(alpha);
    return color;
}

// A raised rubber or plastic key: a soft shadow, a body, a highlight at its top edge.
void key(QPainter& p, QRectF rect, double radius, const QColor& top, const QColor& bottom, double u,
         bool pressed) {
    const double lift = pressed ? 0.5 * u : 1.5 * u;
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(0, 0, 0, 150));
    p.drawRoundedRect(rect.adjusted(0, lift + 0.5 * u, 0, 0), radius, radius);
    const QRectF body = rect.adjusted(0, pressed ? lift : 0, 0, -lift);
    p.setBrush(vertical(body, top, bottom));
    p.drawRoundedRect(body, radius, radius);
    p.setBrush(Qt::NoBrush);
    p.setPen(QPen(QColor(255, 255, 255, pressed ? 18 : 40), std::max(0.5, u)));
    p.drawRoundedRect(body.adjusted(0.75 * u, 0.75 * u, -0.75 * u, -0.75 * u), radius * 0.9,
                      radius * 0.9);
    p.setPen(QPen(QColor(0, 0, 0, 200), std::max(0.5, 0.8 * u)));
    p.drawRoundedRect(body.adjusted(0.3, 0.3, -0.3, -0.3), radius, radius);
}

// A round lamp in its bezel, lit or not.
void lamp(QPainter& p, const QSizeF& s, bool lit) {
    const QPointF c(s.width() / 2, s.height() / 2);
    const double r = std::min(s.width(), s.height()) / 2;
    p.setPen(Qt::NoPen);
    if (lit) {
        QRadialGradient glow(c, r);
        glow.setColorAt(0, withAlpha(kAmber, 200));
        glow.setColorAt(0.55, withAlpha(kAmber, 90));
        glow.setColorAt(1, withAlpha(kAmber, 0));
        p.setBrush(glow);
        p.drawEllipse(c, r, r);
    }
    const double bezel = r * 0.62;
    QRadialGradient ring(c - QPointF(0, bezel * 0.4), bezel * 1.3);
    ring.setColorAt(0, QColor(70, 68, 64));
    ring.setColorAt(1, QColor(12, 12, 12));
    p.setBrush(ring);
    p.drawEllipse(c, bezel, bezel);
    const double dome = bezel * 0.72;
    QRadialGradient body(c - QPointF(dome * 0.3, dome * 0.35), dome * 1.4);
    if (lit) {
        body.setColorAt(0, QColor(255, 250, 225));
        body.setColorAt(0.35, kAmberHot);
        body.setColorAt(1, kAmber);
    } else {
        body.setColorAt(0, QColor(96, 66, 38));
        body.setColorAt(1, QColor(36, 22, 12));
    }
    p.setBrush(body);
    p.drawEllipse(c, dome, dome);
    p.setBrush(QColor(255, 255, 255, lit ? 170 : 60));
    p.drawEllipse(c - QPointF(dome * 0.35, dome * 0.4), dome * 0.28, dome * 0.2);
}

void glyph(QPainter& p, const QRectF& rect, const QString& text, const QColor& color, double size) {
    QFont font("DejaVu Sans");
    font.setBold(true);
    font.setPixelSize(std::max(1, static_cast<int>(std::lround(size))));
    p.setFont(font);
    p.setPen(color);
    p.drawText(rect, Qt::AlignCenter, text);
}

// A small push key of the panels.
void smallButton(QPainter& p, const QSizeF& s, int type, bool down, bool dish = true) {
    const double u = unitOf(type);
    const QRectF rect(1.5 * u, 1.5 * u, s.width() - 3 * u, s.height() - 3 * u);
    const double radius = s.width() * 0.16;
    if (down) {
        key(p, rect, radius, QColor(40, 38, 35), QColor(28, 27, 25), u, true);
        QRadialGradient glow(rect.center(), rect.width() * 0.6);
        glow.setColorAt(0, withAlpha(kAmber, 60));
        glow.setColorAt(1, withAlpha(kAmber, 0));
        p.setPen(QPen(withAlpha(kAmber, 110), std::max(0.6, 1.2 * u)));
        p.setBrush(glow);
        p.drawRoundedRect(rect.adjusted(1.2 * u, 1.8 * u, -1.2 * u, -1.2 * u), radius * 0.85,
                          radius * 0.85);
    } else {
        key(p, rect, radius, QColor(74, 72, 67), QColor(38, 37, 34), u, false);
        if (!dish) return;
        // A shallow dish in the cap, lit from above.
        const QRectF dish = rect.adjusted(rect.width() * 0.2, rect.height() * 0.2,
                                          -rect.width() * 0.2, -rect.height() * 0.24);
        QLinearGradient bowl(dish.topLeft(), dish.bottomLeft());
        bowl.setColorAt(0, QColor(0, 0, 0, 70));
        bowl.setColorAt(1, QColor(255, 255, 255, 22));
        p.setPen(Qt::NoPen);
        p.setBrush(bowl);
        p.drawRoundedRect(dish, radius * 0.7, radius * 0.7);
    }
}

void tapPad(QPainter& p, const QSizeF& s, int type, bool down) {
    const double u = unitOf(type);
    const QRectF rect(2 * u, 2 * u, s.width() - 4 * u, s.height() - 4 * u);
    const double radius = s.width() * 0.09;
    // The well the pad sits in.
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(0, 0, 0, 200));
    p.drawRoundedRect(QRectF(QPointF(0, 0), s), radius * 1.2, radius * 1.2);
    if (down) {
        key(p, rect, radius, QColor(92, 62, 30), QColor(58, 36, 16), u, true);
        QRadialGradient glow(rect.center(), rect.width() * 0.62);
        glow.setColorAt(0, withAlpha(kAmberHot, 190));
        glow.setColorAt(0.45, withAlpha(kAmber, 120));
        glow.setColorAt(1, withAlpha(kAmber, 20));
        p.setBrush(glow);
        p.drawRoundedRect(rect.adjusted(2 * u, 2 * u, -2 * u, -2 * u), radius, radius);
        p.setPen(QPen(withAlpha(kAmberHot, 160), std::max(0.6, 1.2 * u)));
        p.setBrush(Qt::NoBrush);
        p.drawRoundedRect(rect.adjusted(1 * u, 1.5 * u, -1 * u, -1 * u), radius, radius);
    } else {
        key(p, rect, radius, QColor(62, 60, 56), QColor(33, 32, 30), u, false);
        // A soft rubber sheen.
        QRadialGradient sheen(QPointF(rect.center().x(), rect.top() + rect.height() * 0.25),
                              rect.width() * 0.7);
        sheen.setColorAt(0, QColor(255, 255, 255, 22));
        sheen.setColorAt(1, QColor(255, 255, 255, 0));
        p.setPen(Qt::NoPen);
        p.setBrush(sheen);
        p.drawRoundedRect(rect.adjusted(3 * u, 3 * u, -3 * u, -3 * u), radius, radius);
    }
}

// A panel of the control surface: a dark plate with a fine rusty outline.
void panel(QPainter& p, const QSizeF& s, int type) {
    const double u = unitOf(type);
    const QRectF rect(0.5 * u, 0.5 * u, s.width() - u, s.height() - u);
    const double radius = 8 * u;
    p.setPen(Qt::NoPen);
    p.setBrush(vertical(rect, QColor(30, 29, 27, 235), QColor(18, 18, 17, 235)));
    p.drawRoundedRect(rect, radius, radius);
    p.setBrush(Qt::NoBrush);
    p.setPen(QPen(QColor(0, 0, 0, 220), std::max(0.8, 2 * u)));
    p.drawRoundedRect(rect.adjusted(u, u, -u, -u), radius, radius);
    p.setPen(QPen(withAlpha(kRusty, 120), std::max(0.5, u)));
    p.drawRoundedRect(rect, radius, radius);
    p.setPen(QPen(QColor(255, 255, 255, 14), std::max(0.5, u)));
    p.drawLine(QPointF(rect.left() + radius, rect.top() + 1.5 * u),
               QPointF(rect.right() - radius, rect.top() + 1.5 * u));
    // Four screws.
    const double screw = 2.2 * u;
    for (const QPointF& at : {QPointF(rect.left() + 5 * u, rect.top() + 5 * u),
                              QPointF(rect.right() - 5 * u, rect.top() + 5 * u),
                              QPointF(rect.left() + 5 * u, rect.bottom() - 5 * u),
                              QPointF(rect.right() - 5 * u, rect.bottom() - 5 * u)}) {
        QRadialGradient head(at - QPointF(screw * 0.3, screw * 0.3), screw * 1.4);
        head.setColorAt(0, QColor(110, 106, 98));
        head.setColorAt(1, QColor(30, 29, 27));
        p.setPen(Qt::NoPen);
        p.setBrush(head);
        p.drawEllipse(at, screw, screw);
        p.setPen(QPen(QColor(0, 0, 0, 180), std::max(0.4, 0.6 * u)));
        p.drawLine(at - QPointF(screw * 0.7, -screw * 0.3),
                   at + QPointF(screw * 0.7, -screw * 0.3));
    }
}

// The effect sliders' panel also carries a scale beside each of its six faders.
void sliderPanel(QPainter& p, const QSizeF& s, int type) {
    panel(p, s, type);
    const double u = unitOf(type);
    const double pitch[3] = {76, 34, 50};
    const double left[3] = {16, 7, 7};
    const double width[3] = {46, 20, 36};
    const double top[3] = {4 + 20 + 2, 2 + 9 + 1, 2 + 14 + 2};
    const double travel[3] = {397, 175, 256};
    for (int i = 0; i < 6; ++i) {
        // A scale on both sides of the fader's slot, longer marks at the ends and the middle.
        const double centre = pitch[type] * i + left[type] + width[type] / 2;
        const double gap = std::max(3.0, width[type] * 0.16) / 2 + 4 * u;
        for (int t = 0; t <= 10; ++t) {
            const double y = top[type] + travel[type] * t / 10.0;
            const bool major = t % 5 == 0;
            const double len = (major ? 9 : 5) * u;
            p.setPen(
                QPen(withAlpha(kRusty, major ? 130 : 70), std::max(0.4, (major ? 1.2 : 0.8) * u)));
            p.drawLine(QPointF(centre - gap - len, y), QPointF(centre - gap, y));
            p.drawLine(QPointF(centre + gap, y), QPointF(centre + gap + len, y));
        }
    }
}

void background(QPainter& p, const QSizeF& s, int type) {
    const double u = unitOf(type);
    const QRectF rect(QPointF(0, 0), s);
    p.fillRect(rect, vertical(rect, QColor(24, 23, 22), kInk));
    // A fine brushed grain, the same on every start.
    uint32_t seed = 0x5eed1234u;
    auto next = [&seed] {
        seed = seed * 1664525u + 1013904223u;
        return seed >> 8;
    };
    p.setPen(Qt::NoPen);
    const int strokes = static_cast<int>(s.width() * s.height() / 90);
    for (int i = 0; i < strokes; ++i) {
        const double x = (next() % 100000) / 100000.0 * s.width();
        const double y = (next() % 100000) / 100000.0 * s.height();
        const int shade = static_cast<int>(next() % 2) == 0 ? 0 : 255;
        p.setBrush(QColor(shade, shade, shade, 5 + static_cast<int>(next() % 6)));
        p.drawRect(QRectF(x, y, (6 + next() % 24) * u, 0.6));
    }
    // The name plate, in each half of a portrait sheet (the strip of two screens).
    const int halves = type == 2 && s.width() > s.height() ? 2 : 1;
    for (int h = 0; h < halves; ++h) {
        const double x0 = h * s.width() / halves;
        const double w = s.width() / halves;
        const double plateY = type == 0 ? 18 : type == 1 ? 2 : 4;
        const double plateH = type == 0 ? 26 : type == 1 ? 9 : 12;
        QFont font("DejaVu Sans");
        font.setBold(true);
        font.setPixelSize(static_cast<int>(std::max(6.0, plateH * 0.62)));
        font.setLetterSpacing(QFont::AbsoluteSpacing, plateH * 0.18);
        p.setFont(font);
        p.setPen(withAlpha(kRusty, 210));
        const double inset = type == 0 ? 40 : type == 1 ? 27 : 9;
        if (type == 0 || type == 2) {
            p.drawText(QRectF(x0 + inset, plateY, w / 2, plateH), Qt::AlignLeft | Qt::AlignVCenter,
                       "STROMBEL");
            QFont small = font;
            small.setPixelSize(static_cast<int>(std::max(5.0, plateH * 0.38)));
            small.setLetterSpacing(QFont::AbsoluteSpacing, plateH * 0.12);
            p.setFont(small);
            p.setPen(withAlpha(kDarkRusty, 200));
            p.drawText(QRectF(x0 + w / 2, plateY, w / 2 - inset, plateH),
                       Qt::AlignRight | Qt::AlignVCenter, "SAMPLE PAD COMPUTER");
            p.setPen(QPen(withAlpha(kRusty, 60), std::max(0.5, u)));
            p.drawLine(QPointF(x0 + inset, plateY + plateH + 3 * u),
                       QPointF(x0 + w - inset, plateY + plateH + 3 * u));
        }
    }
}

// The launch picture: the surface's sheet with the name across it.
void launchPicture(QPainter& p, const QSizeF& s, int type) {
    background(p, s, type);
    QFont font("DejaVu Sans");
    font.setBold(true);
    font.setPixelSize(static_cast<int>(s.height() * 0.09));
    font.setLetterSpacing(QFont::AbsoluteSpacing, s.height() * 0.02);
    p.setFont(font);
    p.setPen(withAlpha(kRusty, 230));
    p.drawText(QRectF(QPointF(0, 0), s), Qt::AlignCenter, "STROMBEL");
}

// The intro's glow: amber light behind the name, fading out to the edges.
void introGlow(QPainter& p, const QSizeF& s, int) {
    QRadialGradient glow(QPointF(s.width() / 2, s.height() / 2), std::min(s.width(), s.height()) / 2);
    glow.setColorAt(0, withAlpha(kAmberHot, 150));
    glow.setColorAt(0.45, withAlpha(kAmber, 70));
    glow.setColorAt(1, withAlpha(kAmber, 0));
    p.setPen(Qt::NoPen);
    p.setBrush(glow);
    p.drawRect(QRectF(QPointF(0, 0), s));
}

void shade(QPainter& p, const QSizeF& s, int) {
    const QRectF rect(QPointF(0, 0), s);
    QRadialGradient vignette(rect.center(), std::hypot(s.width(), s.height()) * 0.6);
    vignette.setColorAt(0, QColor(0, 0, 0, 0));
    vignette.setColorAt(0.6, QColor(0, 0, 0, 40));
    vignette.setColorAt(1, QColor(0, 0, 0, 230));
    p.fillRect(rect, vignette);
}

// A vertical fader's slot with its end stops.
void sliderTrack(QPainter& p, const QSizeF& s, int type) {
    const double u = unitOf(type);
    const double slot = std::max(3.0, s.width() * 0.16);
    const QRectF groove(s.width() / 2 - slot / 2, 0, slot, s.height());
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(0, 0, 0, 235));
    p.drawRoundedRect(groove, slot / 2, slot / 2);
    p.setPen(QPen(QColor(255, 255, 255, 28), std::max(0.5, u)));
    p.drawLine(groove.bottomLeft() + QPointF(slot * 0.2, -slot / 2),
               groove.bottomRight() + QPointF(-slot * 0.2, -slot / 2));
    p.setPen(QPen(withAlpha(kAmber, 45), std::max(0.5, u)));
    p.drawLine(QPointF(s.width() / 2, slot), QPointF(s.width() / 2, s.height() - slot));
}

void sliderKnob(QPainter& p, const QSizeF& s, int type, bool horizontal) {
    const double u = unitOf(type);
    const QRectF rect(u, u, s.width() - 2 * u, s.height() - 2 * u);
    const double radius = std::min(rect.width(), rect.height()) * 0.14;
    key(p, rect, radius, QColor(88, 86, 80), QColor(34, 33, 31), u, false);
    // Ridges across the grip and the rusty index line.
    p.setPen(QPen(QColor(0, 0, 0, 120), std::max(0.4, 0.8 * u)));
    for (int i = 1; i <= 4; ++i) {
        const double f = i / 5.0;
        if (horizontal) {
            const double x = rect.left() + rect.width() * f;
            if (i != 2 && i != 3)
                p.drawLine(QPointF(x, rect.top() + 3 * u), QPointF(x, rect.bottom() - 4 * u));
        } else {
            const double y = rect.top() + rect.height() * f;
            if (i != 2 && i != 3)
                p.drawLine(QPointF(rect.left() + 3 * u, y), QPointF(rect.right() - 3 * u, y));
        }
    }
    p.setPen(QPen(kRusty, std::max(0.8, 2 * u)));
    if (horizontal) {
        p.drawLine(QPointF(rect.center().x(), rect.top() + 2 * u),
                   QPointF(rect.center().x(), rect.bottom() - 3 * u));
    } else {
        p.drawLine(QPointF(rect.left() + 2 * u, rect.center().y()),
                   QPointF(rect.right() - 2 * u, rect.center().y()));
    }
}

void horizontalTrack(QPainter& p, const QSizeF& s, int type) {
    const double u = unitOf(type);
    const double slot = std::max(3.0, s.height() * 0.16);
    const QRectF groove(0, s.height() / 2 - slot / 2, s.width(), slot);
    p.setPen(QPen(withAlpha(kRusty, 80), std::max(0.4, 0.8 * u)));
    for (int t = 0; t <= 20; ++t) {
        const double x = 2 * u + (s.width() - 4 * u) * t / 20.0;
        const double len = (t % 5 == 0 ? 8 : 4) * u;
        p.drawLine(QPointF(x, groove.top() - 3 * u - len), QPointF(x, groove.top() - 3 * u));
        p.drawLine(QPointF(x, groove.bottom() + 3 * u), QPointF(x, groove.bottom() + 3 * u + len));
    }
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(0, 0, 0, 235));
    p.drawRoundedRect(groove, slot / 2, slot / 2);
    QLinearGradient level(groove.topLeft(), groove.topRight());
    level.setColorAt(0, withAlpha(kAmber, 10));
    level.setColorAt(1, withAlpha(kAmber, 70));
    p.setPen(QPen(QBrush(level), std::max(0.5, u)));
    p.drawLine(QPointF(slot, s.height() / 2), QPointF(s.width() - slot, s.height() / 2));
}

void volumeTrack(QPainter& p, const QSizeF& s, int type) {
    const double u = unitOf(type);
    const QRectF rect(s.width() * 0.25, 0, s.width() * 0.5, s.height());
    p.setPen(QPen(QColor(0, 0, 0, 220), std::max(0.5, u)));
    p.setBrush(QColor(6, 6, 6, 230));
    p.drawRoundedRect(rect, rect.width() / 2, rect.width() / 2);
    p.setPen(QPen(withAlpha(kRusty, 90), std::max(0.4, 0.7 * u)));
    p.setBrush(Qt::NoBrush);
    p.drawRoundedRect(rect.adjusted(-1.5 * u, 0.5, 1.5 * u, -0.5), rect.width() / 2 + 1.5 * u,
                      rect.width() / 2 + 1.5 * u);
}

void volumeFill(QPainter& p, const QSizeF& s, int) {
    const QRectF rect(s.width() * 0.3, 0, s.width() * 0.4, s.height());
    QLinearGradient gradient(rect.topLeft(), rect.bottomLeft());
    gradient.setColorAt(0, kAmberHot);
    gradient.setColorAt(0.25, kAmber);
    gradient.setColorAt(1, QColor(150, 70, 10));
    p.setPen(Qt::NoPen);
    p.setBrush(gradient);
    p.drawRoundedRect(rect, rect.width() / 2, rect.width() / 2);
}

void meterSegment(QPainter& p, const QSizeF& s, int type, bool lit) {
    const double u = unitOf(type);
    // The top few points stay clear, so a caption above the meter has room.
    const QRectF well(0, 4 * u, s.width(), s.height() - 4 * u);
    const QRectF rect = well.adjusted(1.5 * u, 1.5 * u, -1.5 * u, -1.5 * u);
    const double radius = 2.5 * u;
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(0, 0, 0, 230));
    p.drawRoundedRect(well, radius * 1.5, radius * 1.5);
    if (lit) {
        QRadialGradient glass(rect.center(), rect.width() * 0.7);
        glass.setColorAt(0, QColor(255, 246, 215));
        glass.setColorAt(0.35, kAmberHot);
        glass.setColorAt(1, kAmber);
        p.setBrush(glass);
        p.drawRoundedRect(rect, radius, radius);
        p.setBrush(withAlpha(QColor(255, 255, 255), 80));
        p.drawRoundedRect(QRectF(rect.left() + 2 * u, rect.top() + 1.5 * u, rect.width() - 4 * u,
                                 rect.height() * 0.28),
                          radius, radius);
    } else {
        p.setBrush(vertical(rect, QColor(60, 38, 18), QColor(34, 21, 10)));
        p.drawRoundedRect(rect, radius, radius);
        p.setBrush(withAlpha(QColor(255, 255, 255), 16));
        p.drawRoundedRect(QRectF(rect.left() + 2 * u, rect.top() + 1.5 * u, rect.width() - 4 * u,
                                 rect.height() * 0.28),
                          radius, radius);
    }
}

// The value box's display: a metal bezel with the dark window in the middle,
// between the places of its two slim keys.
void display(QPainter& p, const QSizeF& s, int type, double keyWidth) {
    const double u = unitOf(type);
    const double m = boxMargin(type);
    const QRectF rect(0.5, 0.5, s.width() - 1, s.height() - 1);
    const double radius = 6 * u;
    p.setPen(QPen(QColor(0, 0, 0, 220), std::max(0.6, 1.2 * u)));
    p.setBrush(vertical(rect, QColor(52, 50, 47), QColor(26, 25, 24)));
    p.drawRoundedRect(rect, radius, radius);
    const QRectF window(m + keyWidth + 2 * u, m + 3 * u, s.width() - 2 * (m + keyWidth + 2 * u),
                        s.height() - 2 * m - 6 * u);
    p.setPen(QPen(QColor(0, 0, 0), std::max(0.6, 1.5 * u)));
    QLinearGradient glass(window.topLeft(), window.bottomLeft());
    glass.setColorAt(0, QColor(34, 24, 10));
    glass.setColorAt(1, QColor(16, 11, 5));
    p.setBrush(glass);
    p.drawRoundedRect(window, 3 * u, 3 * u);
    p.setPen(QPen(withAlpha(kAmber, 28), std::max(0.4, 0.6 * u)));
    for (double y = window.top() + 2 * u; y < window.bottom() - u; y += 2.2 * u) {
        p.drawLine(QPointF(window.left() + 2 * u, y), QPointF(window.right() - 2 * u, y));
    }
    p.setPen(QPen(QColor(255, 255, 255, 30), std::max(0.4, 0.7 * u)));
    p.setBrush(Qt::NoBrush);
    p.drawLine(QPointF(window.left() + 3 * u, window.bottom() + 0.8 * u),
               QPointF(window.right() - 3 * u, window.bottom() + 0.8 * u));
}

enum class Sign { minus, plus, left, right };

// A wide, low key with rounded ends (the portrait SWITCH keys); its caption is a
// label laid over it.
void wideKey(QPainter& p, const QSizeF& s, int type, bool pressed) {
    const double u = unitOf(type);
    const QRectF rect(0.5 * u, 0.5 * u, s.width() - u, s.height() - u);
    const double radius = s.height() * 0.3;
    if (pressed) {
        key(p, rect, radius, QColor(34, 32, 30), QColor(22, 21, 20), u, true);
        p.setPen(QPen(withAlpha(kAmber, 110), std::max(0.6, u)));
        p.setBrush(Qt::NoBrush);
        p.drawRoundedRect(rect.adjusted(u, 1.5 * u, -u, -u), radius * 0.85, radius * 0.85);
    } else {
        key(p, rect, radius, QColor(70, 68, 63), QColor(36, 35, 32), u, false);
    }
}

void slimKey(QPainter& p, const QSizeF& s, int type, Sign sign, bool pressed) {
    const double u = unitOf(type);
    const QRectF rect(0.5 * u, 0.5 * u, s.width() - u, s.height() - u);
    const double radius = s.width() * 0.3;
    if (pressed) {
        key(p, rect, radius, QColor(34, 32, 30), QColor(22, 21, 20), u, true);
    } else {
        key(p, rect, radius, QColor(70, 68, 63), QColor(36, 35, 32), u, false);
    }
    const QColor ink = pressed ? kAmberHot : kRusty;
    const QPointF c = rect.center() + QPointF(0, pressed ? 0.5 * u : -0.5 * u);
    const double a = s.width() * 0.22;
    p.setPen(QPen(ink, std::max(0.8, s.width() * 0.11), Qt::SolidLine, Qt::RoundCap));
    p.setBrush(ink);
    switch (sign) {
        case Sign::minus:
            p.drawLine(c - QPointF(a, 0), c + QPointF(a, 0));
            break;
        case Sign::plus:
            p.drawLine(c - QPointF(a, 0), c + QPointF(a, 0));
            p.drawLine(c - QPointF(0, a), c + QPointF(0, a));
            break;
        case Sign::left:
        case Sign::right: {
            const double d = sign == Sign::left ? -1 : 1;
            QPainterPath arrow;
            arrow.moveTo(c + QPointF(d * a, 0));
            arrow.lineTo(c + QPointF(-d * a * 0.7, -a * 1.1));
            arrow.lineTo(c + QPointF(-d * a * 0.7, a * 1.1));
            arrow.closeSubpath();
            p.setPen(Qt::NoPen);
            p.drawPath(arrow);
            break;
        }
    }
    if (pressed) {
        QRadialGradient glow(c, s.width());
        glow.setColorAt(0, withAlpha(kAmber, 50));
        glow.setColorAt(1, withAlpha(kAmber, 0));
        p.setPen(Qt::NoPen);
        p.setBrush(glow);
        p.drawRoundedRect(rect, radius, radius);
    }
}

// Line icons of the library browser, in the rusty ink.
void icon(QPainter& p, const QSizeF& s, int type, const std::string& which) {
    const double u = unitOf(type);
    const double w = s.width();
    const QPointF c(w / 2, s.height() / 2);
    const double r = w * 0.34;
    p.setPen(QPen(kRusty, std::max(0.8, w * 0.09), Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    p.setBrush(Qt::NoBrush);
    if (which == "addIcon") {
        p.drawEllipse(c, r, r);
        p.drawLine(c - QPointF(r * 0.55, 0), c + QPointF(r * 0.55, 0));
        p.drawLine(c - QPointF(0, r * 0.55), c + QPointF(0, r * 0.55));
    } else if (which == "removeIcon") {
        p.drawEllipse(c, r, r);
        p.drawLine(c - QPointF(r * 0.55, 0), c + QPointF(r * 0.55, 0));
    } else if (which == "deleteIcon") {
        p.drawLine(c - QPointF(r * 0.75, r * 0.75), c + QPointF(r * 0.75, r * 0.75));
        p.drawLine(c + QPointF(-r * 0.75, r * 0.75), c + QPointF(r * 0.75, -r * 0.75));
    } else if (which == "renameIcon") {
        p.drawLine(c + QPointF(-r, r), c + QPointF(r * 0.7, -r * 0.7));
        p.drawLine(c + QPointF(-r, r), c + QPointF(-r * 0.6, r * 0.2));
        p.drawLine(c + QPointF(-r, r), c + QPointF(-r * 0.2, r * 0.6));
    } else if (which == "pasteIcon") {
        p.drawRoundedRect(QRectF(c.x() - r * 0.8, c.y() - r, r * 1.6, r * 2), 2 * u, 2 * u);
        p.drawLine(c + QPointF(-r * 0.4, -r * 0.3), c + QPointF(r * 0.4, -r * 0.3));
        p.drawLine(c + QPointF(-r * 0.4, r * 0.2), c + QPointF(r * 0.4, r * 0.2));
    } else if (which == "recordIcon") {
        p.setPen(Qt::NoPen);
        p.setBrush(QColor(220, 70, 40));
        p.drawEllipse(c, r * 0.75, r * 0.75);
    }
}

void arrow(QPainter& p, const QSizeF& s, int) {
    QPainterPath path;
    path.moveTo(s.width() * 0.25, s.height() * 0.15);
    path.lineTo(s.width() * 0.8, s.height() * 0.5);
    path.lineTo(s.width() * 0.25, s.height() * 0.85);
    p.setPen(
        QPen(kRusty, std::max(0.8, s.width() * 0.16), Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    p.drawPath(path);
}

// The program's icon: four pads on a dark plate, one of them lit.
void appIcon(QPainter& p, const QSizeF& s, int) {
    const double side = std::min(s.width(), s.height());
    p.setPen(Qt::NoPen);
    p.setBrush(vertical(QRectF(QPointF(0, 0), s), QColor(40, 38, 35), QColor(14, 13, 12)));
    p.drawRoundedRect(QRectF(QPointF(0, 0), s), side * 0.18, side * 0.18);
    const double gap = side * 0.08, pad = (side - 3 * gap) / 2;
    for (int row = 0; row < 2; ++row) {
        for (int column = 0; column < 2; ++column) {
            p.save();
            p.translate(gap + column * (pad + gap), gap + row * (pad + gap));
            tapPad(p, QSizeF(pad, pad), 0, row == 0 && column == 1);
            p.restore();
        }
    }
}

// The information screen's backdrop: the plain background with the product's
// plate and a few lines about it.
void infoBackground(QPainter& p, const QSizeF& s, int type) {
    background(p, s, type);
    // Sized by the shorter side; upright, the words stand across the top.
    const double k = std::min(s.width(), s.height()) / 768.0;
    const bool upright = s.height() > s.width();
    QFont title("DejaVu Sans");
    title.setBold(true);
    title.setPixelSize(std::max(8, static_cast<int>(64 * k)));
    title.setLetterSpacing(QFont::AbsoluteSpacing, 10 * k);
    p.setFont(title);
    p.setPen(kRusty);
    const QRectF text = upright ? QRectF(s.width() * 0.075, s.height() * 0.08, s.width() * 0.85, s.height() * 0.09)
                                : QRectF(s.width() * 0.3, s.height() * 0.3, s.width() * 0.62, s.height() * 0.14);
    p.drawText(text, Qt::AlignLeft | Qt::AlignVCenter, "STROMBEL");
    QFont body("DejaVu Sans");
    body.setPixelSize(std::max(5, static_cast<int>(18 * k)));
    p.setFont(body);
    p.setPen(withAlpha(kRusty, 200));
    p.drawText(QRectF(text.left(), text.bottom(), text.width(), s.height() * (upright ? 0.2 : 0.3)),
               Qt::AlignLeft | Qt::TextWordWrap,
               "A new dimension in live sets.\nTwelve pads, sound banks of A-list artists and producers, "
               "your own samples in a custom sound bank.\n\nVersion 1.0");
}

// A link of the information screen: its words on a dark key.
void infoLink(QPainter& p, const QSizeF& s, int type, const QString& words) {
    const double u = unitOf(type);
    key(p, QRectF(QPointF(0, 0), s).adjusted(0.5, 0.5, -0.5, -0.5), 3 * u, QColor(52, 50, 47), QColor(28, 27, 25), u,
        false);
    QFont font("DejaVu Sans");
    font.setBold(true);
    // One size for every key of a size: words that do not fit one line wrap,
    // and only a word too long for the key makes the letters smaller.
    qsizetype longest = 1;
    for (const QString& word : words.split(' ')) longest = std::max(longest, word.size());
    const double fits = s.width() / (double(longest) * 0.72);
    font.setPixelSize(std::max(4, static_cast<int>(std::min({s.height() * 0.42, 12 * u, fits}))));
    p.setFont(font);
    p.setPen(kRusty);
    p.drawText(QRectF(QPointF(0, 0), s).adjusted(2 * u, 0, -2 * u, 0), Qt::AlignCenter | Qt::TextWordWrap, words);
}

const std::map<std::string, Art>& catalogue() {
    static const std::map<std::string, Art> art = [] {
        std::map<std::string, Art> a;
        const QSizeF row[3] = {{457, 79}, {206, 36}, {301, 52}};
        const QSizeF square[3] = {{457, 456}, {206, 206}, {301, 301}};
        auto add = [&a](const std::string& name, QSizeF s0, QSizeF s1, QSizeF s2, Painter paint) {
            a[name] = Art{{s0, s1, s2}, false, std::move(paint)};
        };
        for (const char* name :
             {"linesSoundbankControls", "linesDryWetControls", "linesVolumeControl",
              "linesAudioControl", "linesInOutControls", "linesSequencerControls",
              "linesRhythmControls"}) {
            add(name, row[0], row[1], row[2], panel);
        }
        add("linesTapButtons", square[0], square[1], square[2], panel);
        // The MIDI ports panel takes the sliders' place, and their size.
        add("midiInOutControlBack", square[0], square[1], square[2], panel);
        add("linesSliderControls", square[0], square[1], square[2], sliderPanel);
        // The intro's pictures, asked for by their whole file names.
        add("Default-Landscape~ipad", {1024, 768}, {1024, 768}, {1024, 768}, launchPicture);
        add("Default-Landscape", {480, 320}, {480, 320}, {480, 320}, launchPicture);
        add("introGlow", {478, 526}, {480, 320}, {480, 320}, introGlow);
        // The library browser's panel, the size of its view.
        add("sortControlBack", {457, 646}, {206, 291}, {301, 426}, panel);
        a["background"] = Art{{}, true, background};
        a["fullscreenShade"] = Art{{}, true, shade, 1.0};
        add("lightOff", {16, 16}, {8, 8}, {11, 11},
            [](QPainter& p, const QSizeF& s, int) { lamp(p, s, false); });
        add("lightOn", {16, 16}, {8, 8}, {11, 11},
            [](QPainter& p, const QSizeF& s, int) { lamp(p, s, true); });
        const QSizeF small[3] = {{50, 50}, {23, 23}, {33, 33}};
        add("buttonSmall", small[0], small[1], small[2],
            [](QPainter& p, const QSizeF& s, int t) { smallButton(p, s, t, false); });
        add("buttonSmallDown", small[0], small[1], small[2],
            [](QPainter& p, const QSizeF& s, int t) { smallButton(p, s, t, true); });
        add("infoBtn", small[0], small[1], small[2], [](QPainter& p, const QSizeF& s, int t) {
            smallButton(p, s, t, false, false);
            glyph(p, QRectF(QPointF(0, -s.height() * 0.03), s), "i", kRusty, s.height() * 0.42);
        });
        add("tapButton", {97, 97}, {44, 44}, {64, 64},
            [](QPainter& p, const QSizeF& s, int t) { tapPad(p, s, t, false); });
        add("tapButtonDown", {97, 97}, {44, 44}, {64, 64},
            [](QPainter& p, const QSizeF& s, int t) { tapPad(p, s, t, true); });
        add("sliderBase", {46, 400}, {20, 176}, {36, 260}, sliderTrack);
        add("slider", {46, 40}, {20, 18}, {36, 28},
            [](QPainter& p, const QSizeF& s, int t) { sliderKnob(p, s, t, false); });
        add("horizontalSliderBase", {409, 50}, {184, 24}, {271, 34}, horizontalTrack);
        add("horizontalSlider", {40, 44}, {18, 20}, {26, 30},
            [](QPainter& p, const QSizeF& s, int t) { sliderKnob(p, s, t, true); });
        // A pad's volume fader stands on the pad's face (97, 44 and 64 points),
        // clear of the pad's name above it: its track is shorter than the face,
        // and its fill is the track less the fill's margin at each end.
        add("sampleVolumeSlider", {24, 85}, {11, 38}, {16, 56}, volumeTrack);
        add("sampleVolumeSliderFill", {24, 61}, {11, 28}, {16, 40}, volumeFill);
        add("sampleVolumeSliderThumb", {44, 16}, {20, 8}, {30, 11},
            [](QPainter& p, const QSizeF& s, int t) { sliderKnob(p, s, t, false); });
        add("audioOutputLight", {40, 28}, {18, 13}, {26, 19},
            [](QPainter& p, const QSizeF& s, int t) { meterSegment(p, s, t, false); });
        add("audioOutputLightOn", {40, 28}, {18, 13}, {26, 19},
            [](QPainter& p, const QSizeF& s, int t) { meterSegment(p, s, t, true); });
        const QSizeF slim[3] = {{24, 46}, {11, 22}, {16, 32}};
        const double slimWidth[3] = {24, 11, 16};
        add("smallScreen", {128, 52}, {60, 24}, {85, 36},
            [slimWidth](QPainter& p, const QSizeF& s, int t) { display(p, s, t, slimWidth[t]); });
        add("soundbankScreen", {202, 52}, {91, 24}, {134, 36},
            [slimWidth](QPainter& p, const QSizeF& s, int t) { display(p, s, t, slimWidth[t]); });
        const std::pair<const char*, Sign> slims[] = {{"slimBtnMinus", Sign::minus},
                                                      {"slimBtnPlus", Sign::plus},
                                                      {"slimBtnLeft", Sign::left},
                                                      {"slimBtnRight", Sign::right}};
        for (const auto& [name, sign] : slims) {
            const Sign shown = sign;
            add(name, slim[0], slim[1], slim[2],
                [shown](QPainter& p, const QSizeF& s, int t) { slimKey(p, s, t, shown, false); });
            add(std::string(name) + "Pressed", slim[0], slim[1], slim[2],
                [shown](QPainter& p, const QSizeF& s, int t) { slimKey(p, s, t, shown, true); });
        }
        for (const char* name :
             {"addIcon", "deleteIcon", "pasteIcon", "recordIcon", "removeIcon", "renameIcon"}) {
            const std::string which = name;
            add(name, {24, 24}, {14, 14}, {20, 20},
                [which](QPainter& p, const QSizeF& s, int t) { icon(p, s, t, which); });
        }
        add("arrow", {10, 16}, {6, 10}, {8, 13}, arrow);
        // Written into the bundle at build time, where the hub looks for it.
        add("AppIcon60x60", {60, 60}, {60, 60}, {60, 60}, appIcon);
        add("switchBtn", {150, 44}, {68, 20}, {75, 22},
            [](QPainter& p, const QSizeF& s, int t) { wideKey(p, s, t, false); });
        add("switchBtnDown", {150, 44}, {68, 20}, {75, 22},
            [](QPainter& p, const QSizeF& s, int t) { wideKey(p, s, t, true); });
        // The information screen.
        a["infoBack"] = Art{{}, true, infoBackground, 0, true};
        // The two links and the four keys of the left column, each group of one
        // size (the information screen stands them on one edge and pitch).
        const QSizeF link[3] = {{218, 25}, {99, 20}, {143, 29}};
        const QSizeF infoKey[3] = {{120, 48}, {59, 26}, {85, 38}};
        const std::pair<const char*, const char*> links[] = {
            {"infoEmailBtn", "MAIL THE MAKER"},
            {"infoWebsiteBtn", "STROMBEL ON THE WEB"},
            {"infoFbBtn", "SHARE"},
            {"ravellePresentedByBtn", "PRESENTED BY RAVELLE"},
            {"tutorialBtn", "TUTORIAL VIDEO"},
            {"rateUsBtn", "RATE US"},
        };
        for (size_t i = 0; i < std::size(links); ++i) {
            const QSizeF* sizes = i < 2 ? link : infoKey;
            const QString text = links[i].second;
            add(links[i].first, sizes[0], sizes[1], sizes[2],
                [text](QPainter& p, const QSizeF& s, int t) { infoLink(p, s, t, text); });
        }
        return a;
    }();
    return art;
}

}  // namespace

QSizeF ImageGenerator::size(const std::string& name, ImageVariant variant) {
    const auto& art = catalogue();
    auto it = art.find(name);
    if (it == art.end()) return {};
    if (it->second.tallVariant) {
        const QSizeF full = fullScreen(variant);
        return it->second.oneUprightScreen && typeOf(variant) == 2 ? QSizeF(full.width() / 2, full.height()) : full;
    }
    if (isTall(variant)) return {};
    return it->second.sizes[typeOf(variant)];
}

QImage ImageGenerator::draw(const std::string& name, ImageVariant variant, double pixelRatio) {
    const QSizeF points = size(name, variant);
    if (points.isEmpty()) return {};
    const auto& art = catalogue().at(name);
    if (art.maxPixelRatio > 0) pixelRatio = std::min(pixelRatio, art.maxPixelRatio);
    const QSize pixels(static_cast<int>(std::ceil(points.width() * pixelRatio)),
                       static_cast<int>(std::ceil(points.height() * pixelRatio)));
    QImage image(pixels, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    image.setDevicePixelRatio(pixelRatio);
    QPainter painter(&image);
    painter.setRenderHints(QPainter::Antialiasing | QPainter::TextAntialiasing |
                           QPainter::SmoothPixmapTransform);
    art.paint(painter, points, typeOf(variant));
    painter.end();
    return image;
}

std::vector<std::string> ImageGenerator::names() {
    std::vector<std::string> all;
    for (const auto& [name, art] : catalogue()) all.push_back(name);
    return all;
}

bool ImageGenerator::parseFileName(const std::string& fileName, std::string& base,
                                   ImageVariant& variant) {
    static const std::string png = ".png";
    if (fileName.size() <= png.size() ||
        fileName.compare(fileName.size() - png.size(), png.size(), png) != 0) {
        return false;
    }
    const std::string stem = fileName.substr(0, fileName.size() - png.size());
    // Longest suffixes first: "-phoneportrait568h" before "-phoneportrait" before "-phone".
    static const std::pair<const char*, ImageVariant> suffixes[] = {
        {"-phoneportrait568h", ImageVariant::portraitTall},
        {"-phoneportrait", ImageVariant::portrait},
        {"-phone568h", ImageVariant::phoneTall},
        {"-phone", ImageVariant::phone},
    };
    for (const auto& [suffix, kind] : suffixes) {
        const std::string s = suffix;
        if (stem.size() > s.size() && stem.compare(stem.size() - s.size(), s.size(), s) == 0) {
            base = stem.substr(0, stem.size() - s.size());
            variant = kind;
            return true;
        }
    }
    base = stem;
    variant = ImageVariant::tablet;
    return true;
}

}  // namespace strombel::ui
