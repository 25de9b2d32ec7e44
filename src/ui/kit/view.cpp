#include "ui/kit/view.h"

#include <QGraphicsScene>
#include <QPainter>
#include <algorithm>
#include <cmath>
#include <numbers>

#include "ui/kit/animator.h"
#include "ui/kit/context.h"
#include "ui/kit/gesture_recognizer.h"

namespace strombel::ui::kit {

View::View(const QRectF& frame) : size_(frame.size()) {
    setPos(frame.topLeft());
    setFlag(ItemUsesExtendedStyleOption, false);
}

View::~View() {
    Context::current().animator().forgetView(this);
    // Qt deletes child items in QGraphicsItem's destructor; ours are Views whose
    // destructors run then, which is what owning them means.
}

void View::setFrame(const QRectF& frame) {
    setPos(frame.topLeft());
    if (frame.size() != size_) {
        const QSizeF old = size_;
        prepareGeometryChange();
        size_ = frame.size();
        setTransformOriginPoint(bounds().center());
        sizeChanged(old);
    }
}

void View::sizeChanged(const QSizeF&) {}

void View::setX(double x) {
    setFrame(QRectF(QPointF(x, y()), size_));
}
void View::setY(double y) {
    setFrame(QRectF(QPointF(x(), y), size_));
}
void View::setX(double x, double y) {
    setFrame(QRectF(QPointF(x, y), size_));
}
void View::setWidth(double width) {
    setFrame(QRectF(pos(), QSizeF(width, size_.height())));
}
void View::setHeight(double height) {
    setFrame(QRectF(pos(), QSizeF(size_.width(), height)));
}
void View::setCenter(const QPointF& center) {
    setPos(center - QPointF(size_.width() / 2, size_.height() / 2));
}

void View::replaceImages(const ImageReplacer& replace) {
    replaceOwnImages(replace);
    for (View* subview : subviews()) subview->replaceImages(replace);
}

View* View::viewWithTag(int tag) {
    if (tag_ == tag) return this;
    for (View* child : subviews()) {
        if (View* found = child->viewWithTag(tag)) return found;
    }
    return nullptr;
}

View* View::superview() const {
    return dynamic_cast<View*>(parentItem());
}

std::vector<View*> View::subviews() const {
    std::vector<View*> views;
    for (QGraphicsItem* item : childItems()) {
        if (auto* view = dynamic_cast<View*>(item)) views.push_back(view);
    }
    return views;
}

View* View::addSubview(std::unique_ptr<View> view) {
    if (!view) return nullptr;
    View* raw = view.release();  // the parent item owns it from here on
    raw->setParentItem(this);    // a new child draws above its siblings
    return raw;
}

View* View::insertSubviewBelow(std::unique_ptr<View> view, View* sibling) {
    View* raw = addSubview(std::move(view));
    if (raw && sibling && sibling->parentItem() == this) raw->stackBefore(sibling);
    return raw;
}

std::unique_ptr<View> View::removeFromSuperview() {
    if (parentItem() == nullptr) return nullptr;
    setParentItem(nullptr);
    if (scene()) scene()->removeItem(this);
    return std::unique_ptr<View>(this);
}

void View::bringSubviewToFront(View* view) {
    if (!view || view->parentItem() != this) return;
    for (QGraphicsItem* item : childItems()) {
        if (item != view) item->stackBefore(view);
    }
}

bool View::isDescendantOf(const View* ancestor) const {
    for (const View* view = this; view; view = view->superview()) {
        if (view == ancestor) return true;
    }
    return false;
}

void View::setClipsToBounds(bool clips) {
    setFlag(ItemClipsChildrenToShape, clips);
}

void View::setBackgroundColor(const QColor& color) {
    background_ = color;
    update();
}

double View::rotationRadians() const {
    return rotation() * std::numbers::pi / 180.0;
}

void View::setRotationRadians(double radians) {
    setTransformOriginPoint(bounds().center());
    setRotation(radians * 180.0 / std::numbers::pi);
}

namespace {

/// A point of `view`'s superview in `view`'s points, counted from where the view
/// is going when it slides.
QPointF fromParentWhereGoing(const View& view, const QPointF& point) {
    const std::optional<QPointF> target = Context::current().animator().positionTarget(view);
    return view.mapFromParent(target ? point - (*target - view.pos()) : point);
}

}  // namespace

View* View::hitTest(const QPointF& point) {
    if (!isVisible() || !interactive_ || opacity() < kNoTouchAlpha) return nullptr;
    if (Context::current().animator().isFadingOut(*this)) return nullptr;
    if (!pointInside(point)) return nullptr;
    const auto children = childItems();
    for (auto it = children.rbegin(); it != children.rend(); ++it) {
        auto* child = dynamic_cast<View*>(*it);
        if (!child) continue;
        if (View* hit = child->hitTest(fromParentWhereGoing(*child, point))) return hit;
    }
    return this;
}

QPointF View::touchPointFromScene(const QPointF& point) const {
    std::vector<const View*> chain;
    for (const View* view = this; view; view = view->superview()) chain.push_back(view);
    // From the topmost view down; the topmost's parent is the scene.
    QPointF at = chain.back()->mapFromScene(point);
    for (auto it = chain.rbegin() + 1; it != chain.rend(); ++it) at = fromParentWhereGoing(**it, at);
    return at;
}

bool View::pointInside(const QPointF& point) const {
    return bounds().contains(point);
}

GestureRecognizer* View::addGestureRecognizer(std::unique_ptr<GestureRecognizer> recognizer) {
    recognizer->attach(this);
    recognizers_.push_back(std::move(recognizer));
    return recognizers_.back().get();
}

void View::setCornerRadius(double radius) {
    prepareGeometryChange();
    cornerRadius_ = radius;
    update();
}

void View::setShadow(double opacity, const QPointF& offset, double radius) {
    prepareGeometryChange();
    shadowOpacity_ = opacity;
    shadowOffset_ = offset;
    shadowRadius_ = radius;
    update();
}

QRectF View::boundingRect() const {
    if (shadowOpacity_ <= 0) return bounds();
    const double reach = shadowRadius_ + 1;
    return bounds().united(bounds().translated(shadowOffset_).adjusted(-reach, -reach, reach, reach));
}

QPainterPath View::shape() const {
    QPainterPath path;
    path.addRoundedRect(bounds(), cornerRadius_, cornerRadius_);
    return path;
}

void View::paint(QPainter* painter, const QStyleOptionGraphicsItem*, QWidget*) {
    if (shadowOpacity_ > 0 && background_.alpha() > 0) {
        // The shadow fades out over its radius in a few rings of the shape.
        painter->save();
        painter->setRenderHint(QPainter::Antialiasing);
        painter->setPen(Qt::NoPen);
        const int rings = std::max(1, int(std::ceil(shadowRadius_)));
        for (int ring = rings; ring >= 1; --ring) {
            const double grow = shadowRadius_ * ring / rings;
            painter->setBrush(QColor(0, 0, 0, int(255 * shadowOpacity_ / rings)));
            painter->drawRoundedRect(bounds().translated(shadowOffset_).adjusted(-grow, -grow, grow, grow),
                                     cornerRadius_ + grow, cornerRadius_ + grow);
        }
        painter->restore();
    }
    if (background_.alpha() > 0) {
        if (cornerRadius_ > 0) {
            painter->save();
            painter->setRenderHint(QPainter::Antialiasing);
            painter->setPen(Qt::NoPen);
            painter->setBrush(background_);
            painter->drawRoundedRect(bounds(), cornerRadius_, cornerRadius_);
            painter->restore();
        } else {
            painter->fillRect(bounds(), background_);
        }
    }
    draw(*painter);
}

}  // namespace strombel::ui::kit
