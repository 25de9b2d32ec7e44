#include "ui/kit/gesture_recognizer.h"

#include <QLineF>

#include "ui/kit/view.h"

namespace strombel::ui::kit {

QPointF Touch::locationIn(const View& view) const {
    return view.mapFromScene(scenePoint);
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

bool PanGestureRecognizer::touchBegan(const Touch& touch) {
    if (activeTouch_ != -1) return false;
    activeTouch_ = touch.id;
    start_ = touch.scenePoint;
    translation_ = {};
    state_ = State::possible;
    return false;
}

bool PanGestureRecognizer::touchMoved(const Touch& touch) {
    if (touch.id != activeTouch_) return false;
    translation_ = touch.scenePoint - start_;
    setLocation(touch);
    if (state_ == State::possible) {
        if (distance(touch.scenePoint, start_) <= kMovementSlop) return false;
        fire(State::began);
        return cancelsTouchesInView();
    }
    fire(State::changed);
    return false;
}

bool PanGestureRecognizer::touchEnded(const Touch& touch) {
    if (touch.id != activeTouch_) return false;
    activeTouch_ = -1;
    if (state_ == State::possible) return false;
    translation_ = touch.scenePoint - start_;
    setLocation(touch);
    fire(State::ended);
    state_ = State::possible;
    return false;
}

}  // namespace strombel::ui::kit
