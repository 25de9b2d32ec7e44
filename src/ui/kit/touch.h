#pragma once

#include <QPointF>
#include <cstdint>

namespace strombel::ui::kit {

class View;

/// The touch id the mouse uses: it is one finger of its own.
inline constexpr int kMouseTouchId = -1;

/// One finger on the glass (the mouse counts as one finger). A touch belongs to
/// the view it began on until it ends, wherever it moves.
struct Touch {
    enum class Phase { began, moved, ended, cancelled };
    int id = 0;
    Phase phase = Phase::began;
    QPointF scenePoint;       // where it is now, in the root's points
    QPointF startScenePoint;  // where it began
    uint64_t timestampNanos = 0;
    View* view = nullptr;  // the view it began on

    /// The touch's place in `view`'s own points, counted from where the views
    /// that slide are going (as hit testing counts).
    QPointF locationIn(const View& view) const;
};

}  // namespace strombel::ui::kit
