#pragma once

#include <QImage>
#include <QString>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <vector>

#include "ui/kit/label.h"
#include "ui/kit/touch.h"
#include "ui/kit/view.h"

namespace strombel::ui::kit {

/// The events a control sends its targets; combine them as a mask for addTarget.
enum ControlEvent : uint32_t {
    touchDown = 1 << 0,
    touchDragInside = 1 << 2,
    touchDragOutside = 1 << 3,
    touchDragEnter = 1 << 4,
    touchDragExit = 1 << 5,
    touchUpInside = 1 << 6,
    touchUpOutside = 1 << 7,
    touchCancel = 1 << 8,
    valueChanged = 1 << 12,
};

/// The state a control draws: a mask of these.
enum ControlState : uint32_t {
    normal = 0,
    highlighted = 1 << 0,
    disabled = 1 << 1,
    selected = 1 << 2,
};

/// A view that tracks the touch that began on it and sends events to its targets:
/// touch down, drags inside and outside, up inside, up outside, cancel, and
/// value-changed (sent by the control itself). One touch at a time: further
/// fingers on a control already held are ignored.
class Control : public View {
  public:
    using Action = std::function<void(Control&)>;
    using TargetId = uint64_t;

    explicit Control(const QRectF& frame = {});

    /// Calls `action` for each of the events in `events`; returns an id for removeTarget.
    TargetId addTarget(uint32_t events, Action action);
    void removeTarget(TargetId id);
    /// Calls the targets registered for `event`, in the order they were added.
    void sendActions(ControlEvent event);

    bool isEnabled() const { return enabled_; }
    void setEnabled(bool enabled);
    bool isSelected() const { return selected_; }
    virtual void setSelected(bool selected);
    bool isHighlighted() const { return highlighted_; }
    virtual void setHighlighted(bool highlighted);
    uint32_t state() const;
    bool isTracking() const { return trackingTouch_.has_value(); }
    bool isTouchInside() const { return touchInside_; }

    // Tracking, as a subclass refines it (`beginTrackingWithTouch:withEvent:` and its
    // kin; a touch carries all an event would). beginTracking answers whether to go on.
    virtual bool beginTracking(const Touch& touch);
    virtual bool continueTracking(const Touch& touch);
    virtual void endTracking(const Touch& touch);
    virtual void cancelTracking(const Touch& touch);

    bool handlesTouches() const override { return true; }
    void touchBegan(const Touch& touch) override;
    void touchMoved(const Touch& touch) override;
    void touchEnded(const Touch& touch) override;
    void touchCancelled(const Touch& touch) override;

  private:
    struct Target {
        TargetId id;
        uint32_t events;
        Action action;
    };
    std::vector<Target> targets_;
    TargetId nextTarget_ = 1;
    bool enabled_ = true;
    bool selected_ = false;
    bool highlighted_ = false;
    bool touchInside_ = false;
    bool continueTracking_ = false;
    std::optional<int> trackingTouch_;
};

/// A button of the custom kind: an image per state, centred in its frame, and
/// an optional title drawn over it.
class Button : public Control {
  public:
    explicit Button(const QRectF& frame = {});

    /// `state` is normal, highlighted or selected (or highlighted | selected).
    void setImage(const QImage& image, uint32_t state);
    QImage image(uint32_t state) const;
    /// The image the button shows now.
    QImage currentImage() const;
    void setBackgroundImage(const QImage& image, uint32_t state);

    void setTitle(const QString& title);
    const QString& title() const { return title_; }
    void setTitleFont(const QFont& font);
    const QFont& titleFont() const { return titleFont_; }
    /// The title's colour in `state` (normal, highlighted or selected); a state
    /// without its own colour shows the normal one.
    void setTitleColor(const QColor& color, uint32_t state = normal);
    QColor titleColor(uint32_t state) const;
    /// Whether a glow lights the button's centre while it is highlighted.
    void setShowsTouchWhenHighlighted(bool shows);
    bool showsTouchWhenHighlighted() const { return showsTouch_; }

    void setHighlighted(bool highlighted) override;
    void setSelected(bool selected) override;

  protected:
    void draw(QPainter& painter) override;
    void replaceOwnImages(const ImageReplacer& replace) override;

  private:
    static QImage pick(const std::map<uint32_t, QImage>& images, uint32_t state);
    std::map<uint32_t, QImage> images_;
    std::map<uint32_t, QImage> backgrounds_;
    QString title_;
    QFont titleFont_;
    std::map<uint32_t, QColor> titleColors_{{normal, Qt::white}};
    bool showsTouch_ = false;
};

}  // namespace strombel::ui::kit
