#include "ui/kit/animator.h"

#include <algorithm>
#include <cmath>

#include "ui/kit/context.h"
#include "ui/kit/view.h"

namespace strombel::ui::kit {

Animator::Animator(platform::MainLoop& loop) : loop_(loop) {}

Animator::~Animator() {
    if (ticker_ != 0) loop_.cancel(ticker_);
}

Animator& Animator::current() {
    return Context::current().animator();
}

void Animator::animateAlpha(View& view, double to, double seconds, Completion completion) {
    const double values[2] = {to, 0};
    start(view, Property::alpha, values, seconds, std::move(completion));
}

void Animator::animatePosition(View& view, const QPointF& to, double seconds,
                               Completion completion) {
    const double values[2] = {to.x(), to.y()};
    start(view, Property::position, values, seconds, std::move(completion));
}

void Animator::animateRotation(View& view, double radians, double seconds, Completion completion) {
    const double values[2] = {radians, 0};
    start(view, Property::rotation, values, seconds, std::move(completion));
}

void Animator::animateScale(View& view, double to, double seconds, Completion completion) {
    const double values[2] = {to, 0};
    start(view, Property::scale, values, seconds, std::move(completion));
}

void Animator::animateSize(View& view, const QSizeF& to, double seconds, Completion completion) {
    const double values[2] = {to.width(), to.height()};
    start(view, Property::size, values, seconds, std::move(completion));
}

void Animator::animateFrame(View& view, const QRectF& to, double seconds, Completion completion) {
    animateSize(view, to.size(), seconds);
    animatePosition(view, to.topLeft(), seconds, std::move(completion));
}

void Animator::start(View& view, Property property, const double to[2], double seconds,
                     Completion completion) {
    // Cut short the running animation of the same property; begin from what shows now.
    for (size_t i = 0; i < animations_.size(); ++i) {
        if (animations_[i].view == &view && animations_[i].property == property) {
            Animation cut = std::move(animations_[i]);
            animations_.erase(animations_.begin() + static_cast<std::ptrdiff_t>(i));
            finish(std::move(cut), false);
            break;
        }
    }
    Animation animation{&view,          view.lifetime(),  property, {0, 0},
                        {to[0], to[1]}, loop_.nowNanos(), 0,        std::move(completion)};
    switch (property) {
        case Property::alpha:
            animation.from[0] = view.alpha();
            break;
        case Property::position:
            animation.from[0] = view.x();
            animation.from[1] = view.y();
            break;
        case Property::rotation:
            animation.from[0] = view.rotationRadians();
            break;
        case Property::scale:
            animation.from[0] = view.scale();
            break;
        case Property::size:
            animation.from[0] = view.width();
            animation.from[1] = view.height();
            break;
    }
    const double clamped = std::isfinite(seconds) && seconds > 0 ? seconds : 0;
    animation.duration = static_cast<uint64_t>(std::llround(clamped * 1e9));
    const bool immediate = animation.duration == 0;
    if (immediate) apply(animation, 1.0);
    animations_.push_back(std::move(animation));
    ensureTicking();
    if (immediate) {
        // A zero-length animation completes on the next pass of the loop, not inside the call.
        std::weak_ptr<void> alive = alive_;
        loop_.post([this, alive] {
            if (!alive.expired()) step();
        });
    }
}

void Animator::apply(const Animation& animation, double progress) {
    View& view = *animation.view;
    auto at = [&](int i) {
        return animation.from[i] + (animation.to[i] - animation.from[i]) * progress;
    };
    switch (animation.property) {
        case Property::alpha:
            view.setAlpha(at(0));
            break;
        case Property::position:
            view.setPos(at(0), at(1));
            break;  // the origin itself, whatever setFrame adds
        case Property::rotation:
            view.setRotationRadians(at(0));
            break;
        case Property::scale:
            view.setTransformOriginPoint(view.bounds().center());
            view.setScale(at(0));
            break;
        case Property::size:
            view.setFrame(QRectF(view.frame().topLeft(), QSizeF(at(0), at(1))));
            break;
    }
}

void Animator::ensureTicking() {
    if (ticker_ != 0) return;
    ticker_ = loop_.scheduleRepeating(kFrameNanos, [this] { step(); });
}

void Animator::step() {
    const uint64_t now = loop_.nowNanos();
    std::vector<Animation> done;
    for (size_t i = 0; i < animations_.size();) {
        Animation& animation = animations_[i];
        if (animation.alive.expired()) {
            animations_.erase(animations_.begin() + static_cast<std::ptrdiff_t>(i));
            continue;
        }
        const uint64_t elapsed = now - animation.start;
        if (elapsed >= animation.duration) {
            apply(animation, 1.0);
            done.push_back(std::move(animation));
            animations_.erase(animations_.begin() + static_cast<std::ptrdiff_t>(i));
            continue;
        }
        const double t = static_cast<double>(elapsed) / static_cast<double>(animation.duration);
        apply(animation, t * t * (3 - 2 * t));  // ease in and out
        ++i;
    }
    if (animations_.empty() && ticker_ != 0) {
        loop_.cancel(ticker_);
        ticker_ = 0;
    }
    for (Animation& animation : done) finish(std::move(animation), true);
}

void Animator::finish(Animation animation, bool finished) {
    if (!animation.completion) return;
    // Completions run later on the loop, never inside the call that ended them.
    loop_.post([completion = std::move(animation.completion), alive = animation.alive, finished] {
        if (!alive.expired()) completion(finished);
    });
}

void Animator::removeAllAnimations(View& view) {
    std::vector<Animation> removed;
    for (size_t i = 0; i < animations_.size();) {
        if (animations_[i].view == &view) {
            removed.push_back(std::move(animations_[i]));
            animations_.erase(animations_.begin() + static_cast<std::ptrdiff_t>(i));
        } else {
            ++i;
        }
    }
    for (Animation& animation : removed) finish(std::move(animation), false);
}

bool Animator::isAnimating(const View& view) const {
    return std::any_of(animations_.begin(), animations_.end(),
                       [&](const Animation& animation) { return animation.view == &view; });
}

bool Animator::isFadingOut(const View& view) const {
    return std::any_of(animations_.begin(), animations_.end(), [&](const Animation& animation) {
        return animation.view == &view && animation.property == Property::alpha && animation.to[0] < kNoTouchAlpha;
    });
}

std::optional<QPointF> Animator::positionTarget(const View& view) const {
    for (const Animation& animation : animations_) {
        if (animation.view == &view && animation.property == Property::position)
            return QPointF(animation.to[0], animation.to[1]);
    }
    return std::nullopt;
}

void Animator::forgetView(const View* view) {
    std::erase_if(animations_, [&](const Animation& animation) { return animation.view == view; });
}

}  // namespace strombel::ui::kit
