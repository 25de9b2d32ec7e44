#include "ui/hub/hub_drag.h"

#include <algorithm>
#include <cmath>

#include "ui/kit/view.h"

namespace strombel::ui::hub {

namespace {
double seconds(const kit::Touch& touch) {
    return double(touch.timestampNanos) / 1e9;
}
}  // namespace

HubDrag::~HubDrag() = default;

void HubDrag::stopTimers() {
    timeoutTimer_.reset();
    recogniseTimer_.reset();
}

void HubDrag::reset() {
    stopTimers();
    started_ = recognized_ = false;
    activeTouch_ = -2;
    firstTouchTime_ = previousTouchTime_ = lastTouchTime_ = 0;
    hasPrevious_ = false;
    previousPoint_ = lastPoint_ = QPointF();
}

void HubDrag::fail() {
    const bool wasRecognized = recognized_;
    reset();
    if (wasRecognized) fire(State::cancelled);
    state_ = State::possible;
}

void HubDrag::recognize() {
    stopTimers();
    recognized_ = true;
    fire(State::began);
}

bool HubDrag::touchBegan(const kit::Touch& touch) {
    ++touchesDown_;
    if (touchesDown_ != numberOfTouches || started_) {
        fail();
        return false;
    }
    started_ = true;
    activeTouch_ = touch.id;
    originalPoint_ = lastPoint_ = previousPoint_ = touch.scenePoint;
    firstTouchTime_ = lastTouchTime_ = seconds(touch);
    hasPrevious_ = false;
    if (minimumDistance == 0 && minimumDuration == 0) {
        recognize();
        return cancelsTouchesInView();
    }
    if (timeoutDuration > 0) {
        timeoutTimer_ = kit::Timer::scheduled(timeoutDuration, false, [this] {
            if (!recognized_) fail();
        });
    }
    return false;
}

bool HubDrag::touchMoved(const kit::Touch& touch) {
    if (!started_ || touch.id != activeTouch_) {
        if (started_) fail();
        return false;
    }
    const QPointF origin = toView(view(), originalPoint_), now = toView(view(), touch.scenePoint);
    double distance = QLineF(origin, now).length();
    if (direction == vertical) distance = now.y() - origin.y();
    if (direction == horizontal) distance = now.x() - origin.x();
    previousPoint_ = lastPoint_;
    previousTouchTime_ = lastTouchTime_;
    hasPrevious_ = true;
    lastPoint_ = touch.scenePoint;
    lastTouchTime_ = seconds(touch);
    setLocation(touch);
    if (recognized_) {
        fire(State::changed);
        return false;
    }
    if (std::fabs(distance) >= minimumDistance && !recogniseTimer_) {
        timeoutTimer_.reset();
        const double held = lastTouchTime_ - firstTouchTime_;
        if (minimumDuration != 0 && held < minimumDuration) {
            recogniseTimer_ = kit::Timer::scheduled(minimumDuration - held, false, [this] { recognize(); });
        } else {
            recognize();
            return cancelsTouchesInView();
        }
    }
    return false;
}

bool HubDrag::touchEnded(const kit::Touch& touch) {
    touchesDown_ = std::max(0, touchesDown_ - 1);
    if (!started_ || touch.id != activeTouch_) return false;
    stopTimers();
    const bool wasRecognized = recognized_;
    if (wasRecognized) {
        if (seconds(touch) - lastTouchTime_ > kRestSeconds) hasPrevious_ = false;
        setLocation(touch);
        fire(State::ended);
    } else {
        fire(State::cancelled);
    }
    started_ = recognized_ = false;
    activeTouch_ = -2;
    state_ = State::possible;
    return wasRecognized && cancelsTouchesInView();
}

void HubDrag::touchCancelled(const kit::Touch&) {
    touchesDown_ = std::max(0, touchesDown_ - 1);
    stopTimers();
    if (started_) fire(State::cancelled);
    reset();
    state_ = State::possible;
}

QPointF HubDrag::toView(const kit::View* view, const QPointF& scenePoint) const {
    return view ? view->convertFromScene(scenePoint) : scenePoint;
}

QPointF HubDrag::offsetInView(const kit::View* view) const {
    return toView(view, lastPoint_) - toView(view, originalPoint_);
}

QPointF HubDrag::locationInView(const kit::View* view) const {
    return toView(view, lastPoint_);
}

QPointF HubDrag::firstTouchLocationInView(const kit::View* view) const {
    return toView(view, originalPoint_);
}

QPointF HubDrag::velocityInView(const kit::View* view) const {
    const double elapsed = lastTouchTime_ - previousTouchTime_;
    // Two events of the same time carry no speed: 0, never an endless one.
    if (!hasPrevious_ || elapsed <= 0) return {0, 0};
    return (toView(view, lastPoint_) - toView(view, previousPoint_)) / elapsed;
}

}  // namespace strombel::ui::hub
