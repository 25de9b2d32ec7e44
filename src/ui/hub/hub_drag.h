#pragma once

// src/ui/hub/: the hub's connection panel over the application's screen: its
// window layer, views, drag recogniser and buttons.
// May include: ui/kit, hub, platform, logging, Qt.

#include <QPointF>
#include <cstdint>
#include <memory>
#include <vector>

#include "ui/kit/gesture_recognizer.h"
#include "ui/kit/timer.h"

namespace strombel::ui::hub {

/// A drag of an exact number of fingers that begins after a minimum distance
/// (measured along one axis or straight) and, when asked, a minimum duration;
/// it fails when a time-out passes first. The fingers come down one at a time:
/// the drag starts once all of them are down (one more fails it) and follows
/// the point between them. Its velocity comes from the last two moves, and
/// reads 0 when the fingers rested before one lifted.
class HubDrag final : public kit::GestureRecognizer {
  public:
    enum Direction : int32_t { straight = 0, vertical = 1, horizontal = 2 };

    explicit HubDrag(Action action) : GestureRecognizer(std::move(action)) {}
    ~HubDrag() override;

    int64_t numberOfTouches = 1;
    int32_t direction = straight;
    double minimumDistance = 0;
    double timeoutDuration = 0;
    double minimumDuration = 0;

    bool started() const { return started_; }
    bool recognized() const { return recognized_; }

    /// Last point minus first point, in `view`'s points (the scene's when null).
    QPointF offsetInView(const kit::View* view) const;
    QPointF locationInView(const kit::View* view) const;
    QPointF firstTouchLocationInView(const kit::View* view) const;
    /// Points per second between the last two moves; (0, 0) when they share a
    /// time or the finger rested before lifting.
    QPointF velocityInView(const kit::View* view) const;

    bool touchBegan(const kit::Touch& touch) override;
    bool touchMoved(const kit::Touch& touch) override;
    bool touchEnded(const kit::Touch& touch) override;
    void touchCancelled(const kit::Touch& touch) override;
    void reset();

    /// A lift this long after the last move reads as a finger at rest.
    static constexpr double kRestSeconds = 0.05;

  private:
    struct Finger {
        int id;
        QPointF point;
    };
    void fail();
    void recognize();
    void stopTimers();
    /// Starts the drag once all its fingers are down, at the point between them.
    bool start(const kit::Touch& touch);
    QPointF centre() const;
    std::vector<Finger>::iterator finger(int id);
    QPointF toView(const kit::View* view, const QPointF& scenePoint) const;

    bool started_ = false, recognized_ = false;
    // The fingers down on the view: gathered until there are numberOfTouches,
    // the drag's own once it started. After a failure or an end the fingers
    // still down count for nothing until they all lifted.
    std::vector<Finger> fingers_;
    bool spent_ = false;
    QPointF originalPoint_, previousPoint_, lastPoint_;
    bool hasPrevious_ = false;
    double firstTouchTime_ = 0, previousTouchTime_ = 0, lastTouchTime_ = 0;
    std::unique_ptr<kit::Timer> timeoutTimer_, recogniseTimer_;
};

}  // namespace strombel::ui::hub
