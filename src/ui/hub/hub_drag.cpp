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
    firstTouchTime_ = previousTouchTime_ = lastTouchTime_ = 0;
    hasPrevious_ = false;
    previousPoint_ = lastPoint_ = QPointF();
}

void HubDrag::fail() {
    const bool wasRecognized = recognized_;
    reset();
    if (wasRecognized) fire(State::cancelled);
    state_ = State::possible;
    spent_ = !fingers_.empty();
}

void HubDrag::recognize() {
    stopTimers();
    recognized_ = true;
    fire(State::began);
}

QPointF HubDrag::centre() const {
    QPointF sum;
    for (const Finger& finger : fingers_) sum += finger.point;
    return fingers_.empty() ? sum : sum / double(fingers_.size());
}

std::vector<HubDrag::Finger>::iterator HubDrag::finger(int id) {
    return std::find_if(fingers_.begin(), fingers_.end(), [id](const Finger& finger) { return finger.id == id; });
}

bool HubDrag::touchBegan(const kit::Touch& touch) {
    fingers_.push_back({touch.id, touch.scenePoint});
    if (spent_) return false;
    // One finger more than the drag's, or one after it started: no drag.
    if (started_ || int64_t(fingers_.size()) > numberOfTouches) {
        fail();
        return false;
    }
    if (int64_t(fingers_.size()) < numberOfTouches) return false;  // the others are still to come
    return start(touch);
}

bool HubDrag::start(const kit::Touch& touch) {
    started_ = true;
    originalPoint_ = lastPoint_ = previousPoint_ = centre();
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
    auto moved = finger(touch.id);
    if (moved == fingers_.end()) {
        if (started_) fail();
        return false;
    }
    moved->point = touch.scenePoint;
    if (!started_) return false;
    const QPointF origin = toView(view(), originalPoint_), now = toView(view(), centre());
    double distance = QLineF(origin, now).length();
    if (direction == vertical) distance = now.y() - origin.y();
    if (direction == horizontal) distance = now.x() - origin.x();
    previousPoint_ = lastPoint_;
    previousTouchTime_ = lastTouchTime_;
    hasPrevious_ = true;
    lastPoint_ = centre();
    lastTouchTime_ = seconds(touch);
    kit::Touch at = touch;
    at.scenePoint = lastPoint_;
    setLocation(at);
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
    auto lifted = finger(touch.id);
    if (lifted == fingers_.end()) return false;
    lifted->point = touch.scenePoint;
    kit::Touch at = touch;
    at.scenePoint = centre();
    fingers_.erase(lifted);
    if (!started_) {
        if (fingers_.empty()) spent_ = false;
        return false;
    }
    // A started drag ends with the first of its fingers to lift.
    stopTimers();
    const bool wasRecognized = recognized_;
    if (wasRecognized) {
        if (seconds(touch) - lastTouchTime_ > kRestSeconds) hasPrevious_ = false;
        setLocation(at);
        fire(State::ended);
    } else {
        fire(State::cancelled);
    }
    started_ = recognized_ = false;
    state_ = State::possible;
    spent_ = !fingers_.empty();
    return wasRecognized && cancelsTouchesInView();
}

void HubDrag::touchCancelled(const kit::Touch& touch) {
    if (auto cancelled = finger(touch.id); cancelled != fingers_.end()) fingers_.erase(cancelled);
    stopTimers();
    if (started_) fire(State::cancelled);
    reset();
    state_ = State::possible;
    spent_ = !fingers_.empty();
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
