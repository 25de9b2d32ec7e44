#include "ui/kit/touch_dispatcher.h"

#include "ui/kit/context.h"
#include "ui/kit/gesture_recognizer.h"
#include "ui/kit/view.h"

namespace strombel::ui::kit {

namespace {
uint64_t now() {
    return Context::current().loop().nowNanos();
}
}  // namespace

void TouchDispatcher::setRoot(View* root) {
    cancelAll();
    root_ = root;
}

void TouchDispatcher::begin(int id, const QPointF& point) {
    if (!root_) return;
    if (touches_.count(id)) cancel(id);
    View* hit = root_->hitTest(root_->mapFromScene(point));
    View* owner = hit;
    while (owner && !owner->handlesTouches()) owner = owner->superview();
    if (!hit) return;
    Active active;
    active.touch.id = id;
    active.touch.phase = Touch::Phase::began;
    active.touch.scenePoint = point;
    active.touch.startScenePoint = point;
    active.touch.timestampNanos = now();
    active.touch.view = owner;
    active.viewAlive = owner ? owner->lifetime() : std::weak_ptr<void>();
    for (View* view = hit; view; view = view->superview()) {
        for (const auto& recognizer : view->gestureRecognizers()) {
            if (recognizer->isEnabled()) {
                recognizer->setCancelTouchInView([this](int touchId) { cancelInView(touchId); });
                active.recognizers.push_back(recognizer.get());
                active.recognizerOwners.push_back(view->lifetime());
            }
        }
    }
    if (!owner && active.recognizers.empty()) return;
    auto& stored = touches_[id] = std::move(active);
    deliver(stored, Touch::Phase::began);
}

void TouchDispatcher::move(int id, const QPointF& point) {
    auto it = touches_.find(id);
    if (it == touches_.end()) return;
    it->second.touch.scenePoint = point;
    it->second.touch.timestampNanos = now();
    deliver(it->second, Touch::Phase::moved);
}

void TouchDispatcher::end(int id, const QPointF& point) {
    auto it = touches_.find(id);
    if (it == touches_.end()) return;
    Active active = std::move(it->second);
    touches_.erase(it);
    active.touch.scenePoint = point;
    active.touch.timestampNanos = now();
    deliver(active, Touch::Phase::ended);
}

void TouchDispatcher::cancel(int id) {
    auto it = touches_.find(id);
    if (it == touches_.end()) return;
    Active active = std::move(it->second);
    touches_.erase(it);
    active.touch.timestampNanos = now();
    deliver(active, Touch::Phase::cancelled);
}

void TouchDispatcher::cancelInView(int id) {
    auto it = touches_.find(id);
    if (it == touches_.end()) return;
    Active& active = it->second;
    if (!active.touch.view || active.cancelledInView || !viewAlive(active)) return;
    active.cancelledInView = true;
    Touch cancelled = active.touch;
    cancelled.phase = Touch::Phase::cancelled;
    active.touch.view->touchCancelled(cancelled);
}

void TouchDispatcher::cancelAll() {
    while (!touches_.empty()) cancel(touches_.begin()->first);
}

View* TouchDispatcher::targetAt(const QPointF& point) const {
    if (!root_) return nullptr;
    View* hit = root_->hitTest(root_->mapFromScene(point));
    for (View* owner = hit; owner; owner = owner->superview())
        if (owner->handlesTouches()) return owner;
    return hit;
}

View* TouchDispatcher::viewOf(int id) const {
    auto it = touches_.find(id);
    if (it == touches_.end() || !viewAlive(it->second)) return nullptr;
    return it->second.touch.view;
}

void TouchDispatcher::deliver(Active& active, Touch::Phase phase) {
    active.touch.phase = phase;
    const Touch touch = active.touch;
    bool cancelInView = false;
    for (size_t i = 0; i < active.recognizers.size(); ++i) {
        if (active.recognizerOwners[i].expired()) continue;
        GestureRecognizer* recognizer = active.recognizers[i];
        switch (phase) {
            case Touch::Phase::began:
                cancelInView |= recognizer->touchBegan(touch);
                break;
            case Touch::Phase::moved:
                cancelInView |= recognizer->touchMoved(touch);
                break;
            case Touch::Phase::ended:
                cancelInView |= recognizer->touchEnded(touch);
                break;
            case Touch::Phase::cancelled:
                recognizer->touchCancelled(touch);
                break;
        }
    }
    if (!active.touch.view || active.cancelledInView || !viewAlive(active)) return;
    View& view = *active.touch.view;
    if (cancelInView) {
        active.cancelledInView = true;
        Touch cancelled = touch;
        cancelled.phase = Touch::Phase::cancelled;
        if (phase != Touch::Phase::began) {
            view.touchCancelled(cancelled);
            return;
        }
        view.touchBegan(touch);
        if (viewAlive(active)) view.touchCancelled(cancelled);
        return;
    }
    switch (phase) {
        case Touch::Phase::began:
            view.touchBegan(touch);
            break;
        case Touch::Phase::moved:
            view.touchMoved(touch);
            break;
        case Touch::Phase::ended:
            view.touchEnded(touch);
            break;
        case Touch::Phase::cancelled:
            view.touchCancelled(touch);
            break;
    }
}

}  // namespace strombel::ui::kit
