#include "ui/kit/gesture_recognizer.h"

#include <QLineF>

#include "ui/kit/view.h"

namespace strombel::ui::kit {

QPointF Touch::locationIn(const View& view) const {
    return view.touchPointFromScene(scenePoint);
}

void GestureRecognizer::touchCancelled(const Touch&) {
    state_ = State::possible;
}

void GestureRecognizer::fire(State state) {
    state_ = state;
    if (action_) action_(*this);
}

void GestureRecognizer::setLocation(const Touch& touch) {
    if (view_) location_ = touch.locationIn(*view_);
}

namespace {
double distance(const QPointF& a, const QPointF& b) {
    return QLineF(a, b).length();
}
}  // namespace

TapGestureRecognizer::TapGestureRecognizer(Action action, int numberOfTaps)
    : GestureRecognizer(std::move(action)), taps_(numberOfTaps < 1 ? 1 : numberOfTaps) {}

bool TapGestureRecognizer::touchBegan(const Touch& touch) {
    if (activeTouch_ != -1) {  // a second finger: not a tap
        seen_ = 0;
        activeTouch_ = -1;
        return false;
    }
    const bool continues = seen_ > 0 && touch.timestampNanos - lastEnd_ <= kMaximumTapNanos &&
                           distance(touch.scenePoint, firstPoint_) <= kMovementSlop * 3;
    if (!continues) {
        seen_ = 0;
        firstPoint_ = touch.scenePoint;
    }
    activeTouch_ = touch.id;
    lastBegin_ = touch.timestampNanos;
    state_ = State::possible;
    return false;
}

bool TapGestureRecognizer::touchMoved(const Touch& touch) {
    if (touch.id != activeTouch_) return false;
    if (distance(touch.scenePoint, touch.startScenePoint) > kMovementSlop) {
        seen_ = 0;
        activeTouch_ = -1;
        state_ = State::failed;
    }
    return false;
}

bool TapGestureRecognizer::touchEnded(const Touch& touch) {
    if (touch.id != activeTouch_) return false;
    activeTouch_ = -1;
    if (touch.timestampNanos - lastBegin_ > kMaximumTapNanos) {
        seen_ = 0;
        state_ = State::failed;
        return false;
    }
    ++seen_;
    lastEnd_ = touch.timestampNanos;
    if (seen_ < taps_) return false;
    seen_ = 0;
    setLocation(touch);
    fire(State::ended);
    state_ = State::possible;
    return cancelsTouchesInView();
}

LongPressGestureRecognizer::LongPressGestureRecognizer(Action action, double minimumPressDuration)
    : GestureRecognizer(std::move(action)), duration_(minimumPressDuration) {}

bool LongPressGestureRecognizer::touchBegan(const Touch& touch) {
    if (activeTouch_ != -1) return false;
    activeTouch_ = touch.id;
    start_ = touch.scenePoint;
    cancelPending_ = false;
    state_ = State::possible;
    Touch copy = touch;
    timer_ = Timer::scheduled(duration_, false, [this, copy] {
        timer_.reset();
        setLocation(copy);
        cancelPending_ = cancelsTouchesInView();
        // The view lets go of the touch as the press is recognised: what the
        // action shows (a menu that takes the mouse) may keep the touch from
        // ever ending here, and a button would stay drawn pressed.
        if (cancelPending_) cancelTouchInViewNow(copy.id);
        fire(State::began);
    });
    return false;
}

bool LongPressGestureRecognizer::touchMoved(const Touch& touch) {
    if (touch.id != activeTouch_) return false;
    if (state_ == State::possible) {
        if (distance(touch.scenePoint, start_) > kMovementSlop) {
            timer_.reset();
            activeTouch_ = -1;
            state_ = State::failed;
        }
        return false;
    }
    setLocation(touch);
    fire(State::changed);
    const bool cancel = cancelPending_;
    cancelPending_ = false;
    return cancel;
}

bool LongPressGestureRecognizer::touchEnded(const Touch& touch) {
    if (touch.id != activeTouch_) return false;
    activeTouch_ = -1;
    timer_.reset();
    if (state_ == State::possible) {
        state_ = State::failed;
        return false;
    }
    setLocation(touch);
    fire(State::ended);
    state_ = State::possible;
    const bool cancel = cancelPending_;
    cancelPending_ = false;
    return cancel;
}

void LongPressGestureRecognizer::touchCancelled(const Touch& touch) {
    if (touch.id != activeTouch_) return;
    activeTouch_ = -1;
    timer_.reset();
    if (state_ == State::began || state_ == State::changed) fire(State::cancelled);
    state_ = State::possible;
}

QPointF PanGestureRecognizer::startLocation() const {
    return view() ? view()->mapFromScene(touchStart_) : touchStart_;
}

void PanGestureRecognizer::setTranslation(const QPointF& translation) {
    start_ += translation_ - translation;
    translation_ = translation;
}

bool PanGestureRecognizer::begin(const Touch& touch) {
    if (shouldBegin && !shouldBegin(touch)) {
        activeTouch_ = -1;
        holdTimer_.reset();
        state_ = State::failed;
        return false;
    }
    setLocation(touch);
    fire(State::began);
    return true;
}

bool PanGestureRecognizer::takeCancelPending() {
    const bool cancel = cancelPending_;
    cancelPending_ = false;
    return cancel;
}

bool PanGestureRecognizer::touchBegan(const Touch& touch) {
    if (activeTouch_ != -1) return false;
    activeTouch_ = touch.id;
    start_ = touchStart_ = touch.scenePoint;
    translation_ = {};
    cancelPending_ = false;
    state_ = State::possible;
    holdTimer_.reset();
    if (holdDuration_ > 0 && touch.id != kMouseTouchId) {
        Touch held = touch;
        holdTimer_ = Timer::scheduled(holdDuration_, false, [this, held] {
            holdTimer_.reset();
            if (begin(held)) cancelPending_ = cancelsTouchesInView();
        });
    }
    return false;
}

bool PanGestureRecognizer::touchMoved(const Touch& touch) {
    if (touch.id != activeTouch_) return false;
    translation_ = touch.scenePoint - start_;
    if (state_ == State::possible) {
        const double moved = distance(touch.scenePoint, touch.startScenePoint);
        if (holdDuration_ > 0 && touch.id != kMouseTouchId) {
            // Moving before the hold is over: the finger scrolls, it does not pan.
            if (moved >= kMovementSlop) {
                holdTimer_.reset();
                activeTouch_ = -1;
                state_ = State::failed;
            }
            return false;
        }
        const double slop = holdDuration_ > 0 ? kMouseSlop : kMovementSlop;
        if (moved < slop) return false;
        if (!begin(touch)) return false;
        return cancelsTouchesInView();
    }
    setLocation(touch);
    fire(State::changed);
    return takeCancelPending();
}

bool PanGestureRecognizer::touchEnded(const Touch& touch) {
    if (touch.id != activeTouch_) return false;
    activeTouch_ = -1;
    holdTimer_.reset();
    if (state_ == State::possible || state_ == State::failed) return false;
    translation_ = touch.scenePoint - start_;
    setLocation(touch);
    fire(State::ended);
    state_ = State::possible;
    return takeCancelPending();
}

void PanGestureRecognizer::touchCancelled(const Touch& touch) {
    if (touch.id != activeTouch_) return;
    activeTouch_ = -1;
    holdTimer_.reset();
    cancelPending_ = false;
    if (state_ == State::began || state_ == State::changed) fire(State::cancelled);
    state_ = State::possible;
}

}  // namespace strombel::ui::kit
