#include "ui/kit/window.h"

#include <QGraphicsProxyWidget>
#include <QMouseEvent>
#include <QPainter>
#include <QPointingDevice>
#include <QTouchEvent>
#include <QWheelEvent>
#include <algorithm>

namespace strombel::ui::kit {

Window::Window(QWidget* parent)
    : QGraphicsView(parent), scene_(std::make_unique<QGraphicsScene>()) {
    // Lamps and meters change many times a second: no spatial index to keep up.
    scene_->setItemIndexMethod(QGraphicsScene::NoIndex);
    setScene(scene_.get());
    setBackgroundBrush(Qt::black);
    setFrameShape(QFrame::NoFrame);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    setRenderHints(QPainter::Antialiasing | QPainter::SmoothPixmapTransform |
                   QPainter::TextAntialiasing);
    viewport()->setAttribute(Qt::WA_AcceptTouchEvents);
    setMouseTracking(false);
}

Window::~Window() {
    dispatcher_.setRoot(nullptr);
    if (root_) scene_->removeItem(root_.get());
    root_.reset();
}

View* Window::setRootView(std::unique_ptr<View> root) {
    dispatcher_.setRoot(nullptr);
    modals_.clear();
    ownShape_ = nullptr;
    if (root_) scene_->removeItem(root_.get());
    root_ = std::move(root);
    if (root_) {
        scene_->addItem(root_.get());
        root_->setPos(0, 0);
        scene_->setSceneRect(root_->bounds());
    }
    dispatcher_.setRoot(root_.get());
    fit();
    return root_.get();
}

std::unique_ptr<View> Window::takeRootView() {
    dispatcher_.setRoot(nullptr);
    modals_.clear();
    ownShape_ = nullptr;
    if (root_) scene_->removeItem(root_.get());
    return std::move(root_);
}

void Window::setOwnShapeScreen(View* screen) {
    if (screen == ownShape_) return;
    ownShape_ = screen;
    View* shown = shownView();
    dispatcher_.setRoot(shown);
    if (shown) scene_->setSceneRect(shown->mapRectToScene(shown->bounds()));
    fit();
}

QImage Window::render(double scale) {
    View* shown = shownView();
    if (!shown) return {};
    const QRectF area = shown->mapRectToScene(shown->bounds());
    QImage image((area.size() * scale).toSize(), QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::black);
    QPainter painter(&image);
    painter.setRenderHints(QPainter::Antialiasing | QPainter::SmoothPixmapTransform |
                           QPainter::TextAntialiasing);
    scene_->render(&painter, QRectF(QPointF(0, 0), area.size() * scale), area);
    return image;
}

void Window::setDevicePixelRatioHandler(std::function<void(double)> handler) {
    ratioHandler_ = std::move(handler);
    ratio_ = devicePixelRatioF();
}

void Window::replaceImages(const View::ImageReplacer& replace) {
    for (QGraphicsItem* item : scene_->items()) {
        if (item->parentItem()) continue;
        if (auto* view = dynamic_cast<View*>(item)) view->replaceImages(replace);
    }
}

bool Window::event(QEvent* event) {
    if (event->type() == QEvent::WindowBlocked) {
        // A question opened over the window: the press under way gets no release
        // (the window takes none while it is blocked), so it ends here, as a
        // touch the system takes away.
        mouseInScene_ = false;
        dispatcher_.cancelAll();
    }
    const bool handled = QGraphicsView::event(event);
    bool screenChanged = event->type() == QEvent::ScreenChangeInternal;
#if QT_VERSION >= QT_VERSION_CHECK(6, 6, 0)
    screenChanged = screenChanged || event->type() == QEvent::DevicePixelRatioChange;
#endif
    if (screenChanged && ratioHandler_ && devicePixelRatioF() != ratio_) {
        ratio_ = devicePixelRatioF();
        ratioHandler_(ratio_);
    }
    return handled;
}

double Window::openingScale(const QSizeF& points, const QSizeF& available, double preferred) {
    if (points.isEmpty() || available.isEmpty()) return preferred;
    const double fits = std::min(available.width() / points.width(), available.height() / points.height());
    return std::min(preferred, fits);
}

void Window::fit() {
    View* shown = shownView();
    if (!shown || shown->bounds().isEmpty()) return;
    // The whole shown screen, as large as the window allows, centred (no margin).
    const QSizeF area = viewport()->size();
    const double scale = std::min(area.width() / shown->width(), area.height() / shown->height());
    if (scale > 0) setTransform(QTransform::fromScale(scale, scale));
    centerOn(shown->mapRectToScene(shown->bounds()).center());
}

void Window::resizeEvent(QResizeEvent* event) {
    QGraphicsView::resizeEvent(event);
    fit();
}

bool Window::overEmbeddedWidget(const QPoint& viewPoint) const {
    QGraphicsItem* item = itemAt(viewPoint);
    return item && dynamic_cast<QGraphicsProxyWidget*>(item) != nullptr;
}

namespace {

/// A mouse event Qt or the system made up from a finger on a touch screen: the
/// finger itself already arrived as a touch.
bool madeUpFromTouchScreen(const QMouseEvent* event) {
    const QPointingDevice* device = event->pointingDevice();
    return device && device->type() == QInputDevice::DeviceType::TouchScreen;
}

}  // namespace

bool Window::leavesKeyboardFocusAlone(const QPointF& scenePoint) const {
    if (!root_) return false;
    for (const View* view = root_->hitTest(root_->mapFromScene(scenePoint)); view; view = view->superview())
        if (view->leavesKeyboardFocusAlone()) return true;
    return false;
}

void Window::mousePressEvent(QMouseEvent* event) { press(event); }

// The second press of a quick pair comes as a double-click instead of a press:
// a press of its own on what the first one went to (a drummer's second hit).
// Where something else came under the pointer in between, a panel the first
// click opened sliding in there, it was aimed at what is gone and goes nowhere.
void Window::mouseDoubleClickEvent(QMouseEvent* event) {
    if (event->button() == Qt::LeftButton && !madeUpFromTouchScreen(event) &&
        !overEmbeddedWidget(event->position().toPoint())) {
        View* target = dispatcher_.targetAt(mapToScene(event->position().toPoint()));
        const bool firstStillThere = !pressedView_ || !pressedViewAlive_.expired();
        if (target != pressedView_ || !firstStillThere) {
            event->accept();
            return;
        }
    }
    press(event);
}

void Window::press(QMouseEvent* event) {
    if (madeUpFromTouchScreen(event)) {
        event->accept();
        return;
    }
    if (event->button() != Qt::LeftButton || overEmbeddedWidget(event->position().toPoint())) {
        if (event->type() == QEvent::MouseButtonDblClick) {
            QGraphicsView::mouseDoubleClickEvent(event);
        } else {
            QGraphicsView::mousePressEvent(event);
        }
        return;
    }
    // Tapping outside an open text field ends its editing, unless on a layer
    // that leaves the keyboard alone.
    const QPointF point = mapToScene(event->position().toPoint());
    if (scene_->focusItem() && !leavesKeyboardFocusAlone(point)) scene_->clearFocus();
    mouseInScene_ = true;
    pressedView_ = dispatcher_.targetAt(point);
    pressedViewAlive_ = pressedView_ ? pressedView_->lifetime() : std::weak_ptr<void>();
    dispatcher_.begin(kMouseTouchId, point);
}

void Window::mouseMoveEvent(QMouseEvent* event) {
    if (madeUpFromTouchScreen(event)) {
        event->accept();
        return;
    }
    if (!mouseInScene_) {
        QGraphicsView::mouseMoveEvent(event);
        return;
    }
    dispatcher_.move(kMouseTouchId, mapToScene(event->position().toPoint()));
}

void Window::mouseReleaseEvent(QMouseEvent* event) {
    if (madeUpFromTouchScreen(event)) {
        event->accept();
        return;
    }
    if (!mouseInScene_ || event->button() != Qt::LeftButton) {
        QGraphicsView::mouseReleaseEvent(event);
        return;
    }
    mouseInScene_ = false;
    dispatcher_.end(kMouseTouchId, mapToScene(event->position().toPoint()));
}

void Window::wheelEvent(QWheelEvent* event) {
    if (!root_ || overEmbeddedWidget(event->position().toPoint())) {
        QGraphicsView::wheelEvent(event);
        return;
    }
    // A touchpad reports pixels of the window; a wheel reports notches (120 each).
    QPointF delta;
    if (!event->pixelDelta().isNull()) {
        const double scale = transform().m11() > 0 ? transform().m11() : 1.0;
        delta = QPointF(event->pixelDelta()) / scale;
    } else {
        delta = QPointF(event->angleDelta()) / 120.0 * kPointsPerWheelNotch;
    }
    View* shown = shownView();
    const QPointF at = shown->mapFromScene(mapToScene(event->position().toPoint()));
    for (View* view = shown->hitTest(at); view; view = view->superview()) {
        if (view->scrollWheel(delta)) {
            event->accept();
            return;
        }
    }
    event->ignore();
}

bool Window::viewportEvent(QEvent* event) {
    const QEvent::Type type = event->type();
    const bool isTouch = type == QEvent::TouchBegin || type == QEvent::TouchUpdate || type == QEvent::TouchEnd ||
                       type == QEvent::TouchCancel;
    if (isTouch) {
        // Fingers on a touchpad steer the pointer; its clicks arrive as mouse
        // events of the system's pointer. The fingers are taken, so that no mouse
        // event is made up from them besides.
        const QInputDevice* device = static_cast<QTouchEvent*>(event)->device();
        if (device && device->type() == QInputDevice::DeviceType::TouchPad) {
            event->accept();
            return true;
        }
    }
    switch (type) {
        case QEvent::TouchBegin:
        case QEvent::TouchUpdate:
        case QEvent::TouchEnd: {
            auto* touch = static_cast<QTouchEvent*>(event);
            for (const QEventPoint& point : touch->points()) {
                const QPointF at = mapToScene(point.position().toPoint());
                switch (point.state()) {
                    case QEventPoint::Pressed:
                        dispatcher_.begin(point.id(), at);
                        break;
                    case QEventPoint::Updated:
                        dispatcher_.move(point.id(), at);
                        break;
                    case QEventPoint::Released:
                        dispatcher_.end(point.id(), at);
                        break;
                    default:
                        break;
                }
            }
            event->accept();
            return true;
        }
        case QEvent::TouchCancel:
            dispatcher_.cancelAll();
            event->accept();
            return true;
        default:
            return QGraphicsView::viewportEvent(event);
    }
}

}  // namespace strombel::ui::kit
