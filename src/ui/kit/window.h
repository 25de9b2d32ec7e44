#pragma once

#include <QGraphicsScene>
#include <QGraphicsView>
#include <QImage>
#include <functional>
#include <memory>
#include <vector>

#include "ui/kit/touch_dispatcher.h"
#include "ui/kit/view.h"

namespace strombel::ui::kit {

/// A top-level window showing one screen: the root view's points are kept exactly
/// and scaled to fit the window. Mouse and touch-screen input become touches
/// (the mouse is one finger); text fields inside the scene get their keys as usual.
/// Every press is a touch that begins, however quickly it follows the last one:
/// what the desktop calls a double-click is two touches. A finger on a touch
/// screen counts once (the mouse events made up from it are dropped); fingers on
/// a touchpad move the pointer, and only its clicks count.
class Window : public QGraphicsView {
  public:
    explicit Window(QWidget* parent = nullptr);
    ~Window() override;

    /// Shows `root` (its frame's size is the scene's size in points).
    View* setRootView(std::unique_ptr<View> root);
    View* rootView() const { return root_.get(); }
    std::unique_ptr<View> takeRootView();

    TouchDispatcher& touches() { return dispatcher_; }
    /// Screens presented over the root, topmost last (kept by the modal presenter).
    std::vector<View*>& modalStack() { return modals_; }

    /// A presented screen of a shape other than the root's (a phone's portrait
    /// screen over its landscape one): while it is set, the window shows that
    /// screen's area alone, touches go to it, and screens it presents lie on it.
    /// Null: the root again.
    void setOwnShapeScreen(View* screen);
    View* ownShapeScreen() const { return ownShape_; }
    /// What the window shows and touches reach: the own-shape screen, else the root.
    View* shownView() const { return ownShape_ ? ownShape_ : root_.get(); }

    /// Draws the scene at `scale` pixels per point, as a finished picture.
    QImage render(double scale = 2.0);

    /// Called with the new ratio when the window has come to a screen of another
    /// device pixel ratio, as far as Qt tells it.
    void setDevicePixelRatioHandler(std::function<void(double)> handler);
    /// Gives every picture of every screen in the scene to `replace` (see View).
    void replaceImages(const View::ImageReplacer& replace);

    static constexpr int kMouseTouchId = kit::kMouseTouchId;
    /// Points a wheel moves the content per notch.
    static constexpr double kPointsPerWheelNotch = 40;

    /// Pixels per point for a window first shown on a desktop: `preferred` (the
    /// phone layouts want 2, so that their text reads as on the phone), less when
    /// the layout of `points` would not fit in `available` (logical pixels).
    static double openingScale(const QSizeF& points, const QSizeF& available, double preferred);

  protected:
    bool event(QEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void mouseDoubleClickEvent(QMouseEvent* event) override;
    bool viewportEvent(QEvent* event) override;
    /// The wheel and touchpad scrolling go to the view under the pointer, or the
    /// nearest of its superviews that takes them.
    void wheelEvent(QWheelEvent* event) override;

  private:
    bool overEmbeddedWidget(const QPoint& viewPoint) const;
    void press(QMouseEvent* event);
    /// A touch at `scenePoint` begins on a view that leaves the keyboard alone.
    bool leavesKeyboardFocusAlone(const QPointF& scenePoint) const;
    void fit();

    std::unique_ptr<QGraphicsScene> scene_;
    std::unique_ptr<View> root_;
    TouchDispatcher dispatcher_;
    std::vector<View*> modals_;
    View* ownShape_ = nullptr;
    bool mouseInScene_ = false;
    // What the last press of the mouse went to, to tell a double-click's second
    // press whether it comes down on the same.
    View* pressedView_ = nullptr;
    std::weak_ptr<void> pressedViewAlive_;
    std::function<void(double)> ratioHandler_;
    double ratio_ = 0;  // the device pixel ratio last told
};

}  // namespace strombel::ui::kit
