#pragma once

#include <QPointF>
#include <cstdint>
#include <functional>
#include <memory>

#include "ui/kit/timer.h"
#include "ui/kit/touch.h"

namespace strombel::ui::kit {

class View;

/// Watches the touches that begin on its view (or inside it) and calls its action
/// when it sees its gesture. A recognised gesture cancels the touches in the view
/// (the view gets touchCancelled instead of touchEnded) unless told otherwise.
class GestureRecognizer {
  public:
    enum class State { possible, began, changed, ended, cancelled, failed };
    using Action = std::function<void(GestureRecognizer&)>;

    explicit GestureRecognizer(Action action) : action_(std::move(action)) {}
    virtual ~GestureRecognizer() = default;

    View* view() const { return view_; }
    State state() const { return state_; }
    bool isEnabled() const { return enabled_; }
    void setEnabled(bool enabled) { enabled_ = enabled; }
    bool cancelsTouchesInView() const { return cancelsTouches_; }
    void setCancelsTouchesInView(bool cancels) { cancelsTouches_ = cancels; }
    /// Where the gesture is, in its view's points.
    QPointF location() const { return location_; }

    // Called by the touch dispatcher. Each answers whether the touch should now be
    // cancelled in the view.
    virtual bool touchBegan(const Touch& touch) = 0;
    virtual bool touchMoved(const Touch& touch) = 0;
    virtual bool touchEnded(const Touch& touch) = 0;
    virtual void touchCancelled(const Touch& touch);

    void attach(View* view) { view_ = view; }
    /// Set by the touch dispatcher: cancels a touch in its view at once, for a
    /// gesture recognised between touch events (a long press held still).
    void setCancelTouchInView(std::function<void(int touchId)> cancel) { cancelTouchInView_ = std::move(cancel); }

  protected:
    void fire(State state);
    /// Cancels the touch in the view now rather than at its next event.
    void cancelTouchInViewNow(int touchId) {
        if (cancelTouchInView_) cancelTouchInView_(touchId);
    }
    void setLocation(const Touch& touch);
    static constexpr double kMovementSlop = 10.0;  // points a tap may wander

    State state_ = State::possible;

  private:
    Action action_;
    std::function<void(int)> cancelTouchInView_;
    View* view_ = nullptr;
    bool enabled_ = true;
    bool cancelsTouches_ = true;
    QPointF location_;
};

/// Recognises `numberOfTaps` quick taps of one finger in the same place.
class TapGestureRecognizer final : public GestureRecognizer {
  public:
    explicit TapGestureRecognizer(Action action, int numberOfTaps = 1);
    int numberOfTapsRequired() const { return taps_; }

    bool touchBegan(const Touch& touch) override;
    bool touchMoved(const Touch& touch) override;
    bool touchEnded(const Touch& touch) override;

    static constexpr uint64_t kMaximumTapNanos = 350'000'000;  // per tap and between taps

  private:
    int taps_;
    int seen_ = 0;
    int activeTouch_ = -1;
    uint64_t lastEnd_ = 0;
    uint64_t lastBegin_ = 0;
    QPointF firstPoint_;
};

/// Recognises one finger held still for `minimumPressDuration`; reports began,
/// changed while it moves, and ended when it lifts.
class LongPressGestureRecognizer final : public GestureRecognizer {
  public:
    explicit LongPressGestureRecognizer(Action action, double minimumPressDuration = 0.5);
    bool touchBegan(const Touch& touch) override;
    bool touchMoved(const Touch& touch) override;
    bool touchEnded(const Touch& touch) override;
    void touchCancelled(const Touch& touch) override;

  private:
    double duration_;
    int activeTouch_ = -1;
    QPointF start_;
    std::unique_ptr<Timer> timer_;
    bool cancelPending_ = false;
};

/// Recognises one finger dragging further than the slop; reports began, changed
/// and ended with the translation from where it began, or cancelled when the
/// system takes the touch away.
///
/// With a hold duration, a finger must rest that long before the pan begins (it
/// begins then, where the finger rests); a finger that moves sooner fails the
/// pan and stays with its view, which may scroll with it. The mouse needs no
/// hold: it begins as soon as it moves past a few points.
class PanGestureRecognizer final : public GestureRecognizer {
  public:
    explicit PanGestureRecognizer(Action action) : GestureRecognizer(std::move(action)) {}
    QPointF translation() const { return translation_; }
    /// Where the touch began, in the view's points.
    QPointF startLocation() const;
    /// Sets the translation; later ones are counted from there.
    void setTranslation(const QPointF& translation);
    double holdDuration() const { return holdDuration_; }
    void setHoldDuration(double seconds) { holdDuration_ = seconds; }
    /// Asked, with the touch, when the pan would begin; false fails the pan for
    /// that touch and leaves it with the view.
    std::function<bool(const Touch&)> shouldBegin;

    bool touchBegan(const Touch& touch) override;
    bool touchMoved(const Touch& touch) override;
    bool touchEnded(const Touch& touch) override;
    void touchCancelled(const Touch& touch) override;

    static constexpr double kMouseSlop = 3.0;

  private:
    /// Begins the pan, unless `shouldBegin` refuses; false when it did not begin.
    bool begin(const Touch& touch);
    /// Answers once whether the view must lose the touch (set when a hold began the pan).
    bool takeCancelPending();

    int activeTouch_ = -1;
    QPointF start_;  // where translations count from
    QPointF touchStart_;
    QPointF translation_;
    double holdDuration_ = 0;
    std::unique_ptr<Timer> holdTimer_;
    bool cancelPending_ = false;
};

}  // namespace strombel::ui::kit
