#pragma once

#include <QColor>
#include <QGraphicsItem>
#include <QImage>
#include <QPainterPath>
#include <QPointF>
#include <QRectF>
#include <functional>
#include <memory>
#include <vector>

namespace strombel::ui::kit {

class GestureRecognizer;
struct Touch;

/// A view of less alpha than this takes no touches.
inline constexpr double kNoTouchAlpha = 0.01;

/// A rectangle of the screen in points, the building block of every screen.
/// Views form a tree: a parent owns its subviews (added as unique_ptrs, handed back
/// by removeFromSuperview), later subviews draw above earlier ones, alpha multiplies
/// down the tree, and subviews may lie outside their parent unless it clips.
class View : public QGraphicsItem {
  public:
    explicit View(const QRectF& frame = {});
    ~View() override;
    View(const View&) = delete;
    View& operator=(const View&) = delete;

    // Frame (in the superview's points) and its shortcuts.
    QRectF frame() const { return QRectF(pos(), size_); }
    virtual void setFrame(const QRectF& frame);
    QRectF bounds() const { return QRectF(QPointF(0, 0), size_); }
    QSizeF size() const { return size_; }
    double x() const { return pos().x(); }
    double y() const { return pos().y(); }
    double width() const { return size_.width(); }
    double height() const { return size_.height(); }
    double bottomY() const { return y() + height(); }
    double rightX() const { return x() + width(); }
    void setX(double x);
    void setY(double y);
    void setX(double x, double y);
    void setWidth(double width);
    void setHeight(double height);
    QPointF center() const { return frame().center(); }
    void setCenter(const QPointF& center);

    int tag() const { return tag_; }
    void setTag(int tag) { tag_ = tag; }
    /// This view or the first subview, depth first, with the tag.
    View* viewWithTag(int tag);

    // The tree.
    View* superview() const;
    std::vector<View*> subviews() const;
    /// Adds `view` above every other subview and returns it.
    View* addSubview(std::unique_ptr<View> view);
    template <typename T>
    T* add(std::unique_ptr<T> view) {
        T* raw = view.get();
        addSubview(std::unique_ptr<View>(std::move(view)));
        return raw;
    }
    /// Adds `view` just below `sibling` (a subview of this view).
    View* insertSubviewBelow(std::unique_ptr<View> view, View* sibling);
    /// Takes the view off its parent; the caller gets it back (drop it to destroy it).
    std::unique_ptr<View> removeFromSuperview();
    void bringSubviewToFront(View* view);
    bool isDescendantOf(const View* ancestor) const;

    /// Gives every picture this view and its subviews show to `replace` and shows
    /// what it answers instead (pictures drawn anew for another pixel ratio).
    using ImageReplacer = std::function<QImage(const QImage&)>;
    void replaceImages(const ImageReplacer& replace);

    // Looks.
    double alpha() const { return opacity(); }
    void setAlpha(double alpha) { setOpacity(alpha); }
    bool isHidden() const { return !isVisible(); }
    void setHidden(bool hidden) { setVisible(!hidden); }
    bool clipsToBounds() const { return flags() & ItemClipsChildrenToShape; }
    void setClipsToBounds(bool clips);
    QColor backgroundColor() const { return background_; }
    void setBackgroundColor(const QColor& color);
    /// Rotation in radians about the view's centre.
    double rotationRadians() const;
    void setRotationRadians(double radians);
    void setNeedsDisplay() { update(); }
    /// Rounded corners: the background is drawn in them and, when the view
    /// clips, so are its subviews.
    double cornerRadius() const { return cornerRadius_; }
    void setCornerRadius(double radius);
    /// A soft shadow under the background's shape (opacity 0: none).
    void setShadow(double opacity, const QPointF& offset, double radius);
    double shadowOpacity() const { return shadowOpacity_; }

    // Touches.
    bool isUserInteractionEnabled() const { return interactive_; }
    void setUserInteractionEnabled(bool enabled) { interactive_ = enabled; }
    /// The deepest visible, interactive view under `point` (in this view's points),
    /// or null. Subviews outside this view's bounds do not take touches, and
    /// neither do views (nearly) transparent or fading out, nor what they hold.
    /// A subview sliding somewhere is found where it is going: the slide only
    /// shows the way (a second tap on a button that slides away meets the button
    /// sliding in to that place).
    virtual View* hitTest(const QPointF& point);
    virtual bool pointInside(const QPointF& point) const;
    /// Whether this view consumes touches; the others pass them to their superview.
    virtual bool handlesTouches() const { return false; }
    /// Whether a touch that begins on this view (or inside it) leaves the
    /// keyboard with the text field being edited, as a layer over the screen
    /// that never takes the keyboard does; otherwise such a touch ends the editing.
    virtual bool leavesKeyboardFocusAlone() const { return false; }
    virtual void touchBegan(const Touch&) {}
    virtual void touchMoved(const Touch&) {}
    virtual void touchEnded(const Touch&) {}
    virtual void touchCancelled(const Touch&) {}
    /// The wheel or the touchpad under the pointer moved by `delta` points (y grows
    /// when the wheel turns away from the user). Answers whether the view took it;
    /// the window offers it to the superviews until one does.
    virtual bool scrollWheel(const QPointF& delta) {
        (void)delta;
        return false;
    }

    GestureRecognizer* addGestureRecognizer(std::unique_ptr<GestureRecognizer> recognizer);
    const std::vector<std::unique_ptr<GestureRecognizer>>& gestureRecognizers() const {
        return recognizers_;
    }

    /// Converts a point of the scene (the window's root) into this view's points.
    QPointF convertFromScene(const QPointF& point) const { return mapFromScene(point); }
    /// The same, counted from where this view and its superviews are going, as
    /// hit testing counts (a touch's place in a view that slides).
    QPointF touchPointFromScene(const QPointF& point) const;

    /// A token that lives as long as the view: callbacks queued for later hold it weakly.
    std::weak_ptr<void> lifetime() const { return alive_; }

    // QGraphicsItem
    QRectF boundingRect() const override;
    QPainterPath shape() const override;
    void paint(QPainter* painter, const QStyleOptionGraphicsItem* option, QWidget* widget) override;

  protected:
    /// This view's own pictures, for replaceImages (none by default).
    virtual void replaceOwnImages(const ImageReplacer&) {}
    /// Draws the view's own content over its background, in its own points.
    virtual void draw(QPainter&) {}
    virtual void sizeChanged(const QSizeF& oldSize);

  private:
    QSizeF size_;
    int tag_ = 0;
    bool interactive_ = true;
    QColor background_ = Qt::transparent;
    double cornerRadius_ = 0;
    double shadowOpacity_ = 0, shadowRadius_ = 0;
    QPointF shadowOffset_;
    std::vector<std::unique_ptr<GestureRecognizer>> recognizers_;
    std::shared_ptr<int> alive_ = std::make_shared<int>(0);
};

}  // namespace strombel::ui::kit
