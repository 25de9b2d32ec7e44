#pragma once

#include <QPointF>
#include <QRectF>
#include <QSizeF>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "platform/main_loop.h"

namespace strombel::ui::kit {

class View;

/// Animates views' alpha, position, rotation and scale on the main loop's clock.
/// One animation per view and property: a new one cuts the running one short
/// (its completion gets `false`) and begins from the value shown at that moment.
/// Completions run on the main loop after the step that ends them, `true` when
/// the animation ran to its end. A zero duration sets the value at once and
/// still completes on the loop.
class Animator {
  public:
    enum class Property { alpha, position, rotation, scale, size };
    using Completion = std::function<void(bool finished)>;

    explicit Animator(platform::MainLoop& loop);
    ~Animator();
    Animator(const Animator&) = delete;
    Animator& operator=(const Animator&) = delete;

    static Animator& current();

    void animateAlpha(View& view, double to, double seconds, Completion completion = {});
    /// Moves the view's frame origin to `to`.
    void animatePosition(View& view, const QPointF& to, double seconds, Completion completion = {});
    void animateRotation(View& view, double radians, double seconds, Completion completion = {});
    /// Scales the view about its centre (1 is its own size).
    void animateScale(View& view, double to, double seconds, Completion completion = {});
    /// Changes the view's size, its origin staying where it is.
    void animateSize(View& view, const QSizeF& to, double seconds, Completion completion = {});
    /// Moves and sizes the view to `to` together; the completion comes with the move's.
    void animateFrame(View& view, const QRectF& to, double seconds, Completion completion = {});

    /// Stops every animation of the view where it is; completions get `false`.
    void removeAllAnimations(View& view);
    bool isAnimating(const View& view) const;
    /// Whether the view's alpha is on its way to (nearly) nothing: a view fading
    /// out takes no touches, as one already gone takes none.
    bool isFadingOut(const View& view) const;
    /// Where a running move takes the view's frame origin; none when it is not moving.
    std::optional<QPointF> positionTarget(const View& view) const;
    size_t runningCount() const { return animations_.size(); }

    /// Stops tracking a view that is being destroyed; its completions never run.
    void forgetView(const View* view);

    static constexpr uint64_t kFrameNanos = 16'666'667;

  private:
    struct Animation {
        View* view;
        std::weak_ptr<void> alive;
        Property property;
        double from[2];
        double to[2];
        uint64_t start;
        uint64_t duration;
        Completion completion;
    };
    void start(View& view, Property property, const double to[2], double seconds,
               Completion completion);
    void apply(const Animation& animation, double progress);
    void step();
    void finish(Animation animation, bool finished);
    void ensureTicking();

    platform::MainLoop& loop_;
    std::vector<Animation> animations_;
    platform::MainLoop::TimerId ticker_ = 0;
    std::shared_ptr<int> alive_ = std::make_shared<int>(0);
};

}  // namespace strombel::ui::kit
