#pragma once

#include <QPainterPath>
#include <QString>
#include <any>
#include <cstdint>
#include <functional>

#include "ui/kit/control.h"
#include "ui/kit/view.h"

namespace strombel::ui::hub {

/// The panel's edges.
enum HubPanelPosition : int32_t { kPanelRight = 0, kPanelLeft = 1, kPanelBottom = 2 };

/// The layer over the application's screen that holds the panel. Touches that
/// hit none of its views fall through to the screen below, except, while a pull
/// tab's drag is attached, those within 50 points of its first view. A view of
/// the application's window, not a window of its own, it never takes the
/// keyboard (nor key status, which it has none of to keep): touching the panel
/// leaves a text field of the screen below in its editing.
class HubConnectionPanelWindow final : public kit::View {
  public:
    using kit::View::View;
    bool leavesKeyboardFocusAlone() const override { return true; }
    /// The pull tab's drag while a tab is shown (the window owns it); null otherwise.
    kit::GestureRecognizer* gestureRecognizer() const { return tabDrag_; }
    void setGestureRecognizer(kit::GestureRecognizer* recognizer) { tabDrag_ = recognizer; }
    kit::View* hitTest(const QPointF& point) override;
    bool pointInside(const QPointF& point) const override;
    /// The band around the first view that keeps touches while a tab is shown.
    static constexpr double kTouchMargin = 50;

  private:
    kit::GestureRecognizer* tabDrag_ = nullptr;
};

/// The grey shape an unfolded peer's controls sit on, with a 6-point pointer
/// toward the peer's button.
class HubConnectionPanelInsetView final : public kit::View {
  public:
    using kit::View::View;
    int32_t position() const { return position_; }
    void setPosition(int32_t position);
    /// The outline for `rect` (the view's bounds).
    QPainterPath renderPath(const QRectF& rect) const;

  protected:
    void draw(QPainter& painter) override;

  private:
    int32_t position_ = kPanelRight;
};

/// The panel's handle: a chevron pointing toward the edge, or a grip.
class HubConnectionPanelHandle final : public kit::View {
  public:
    using kit::View::View;
    int32_t position() const { return position_; }
    void setPosition(int32_t position);
    bool horizontal() const { return horizontal_; }
    void setHorizontal(bool horizontal);
    bool chevronMode() const { return chevronMode_; }
    void setChevronMode(bool chevron);

  protected:
    void draw(QPainter& painter) override;

  private:
    int32_t position_ = kPanelRight;
    bool horizontal_ = false;
    bool chevronMode_ = false;
};

/// A button that calls its target with itself; the target reads the context.
class HubButton final : public kit::Button {
  public:
    using Target = std::function<void(HubButton&)>;
    using kit::Button::Button;
    /// Calls `target` on touch-up inside, with this button.
    void setTarget(Target target, std::any context);
    void triggerAction();
    const std::any& context() const { return context_; }
    /// Where the image of the current state sits: at its own size, centred and
    /// rounded, from the content's origin.
    QRectF imageRectForContentRect(const QRectF& content) const;

    /// Rounded corners the image is clipped to, and a border (0: none).
    void setCornerRadius(double radius) { cornerRadius_ = radius; }
    double cornerRadius() const { return cornerRadius_; }
    void setBorder(double width, const QColor& color);
    /// What assistive technology reads for the button.
    QString accessibilityLabel, accessibilityHint;
    /// Fills the frame with the image instead of centring it at its own size.
    bool scalesImageToFill = false;

  protected:
    void draw(QPainter& painter) override;

  private:
    Target target_;
    std::any context_;
    kit::Control::TargetId targetId_ = 0;
    double cornerRadius_ = 0, borderWidth_ = 0;
    QColor borderColor_ = Qt::black;
};

}  // namespace strombel::ui::hub
