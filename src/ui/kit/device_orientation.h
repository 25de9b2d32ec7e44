#pragma once

#include <cstdint>

#include "platform/notification_center.h"

namespace strombel::ui::kit {

/// The way the device is held, as the platform numbers it, and the news of each
/// change on a notification center. Something outside (a sensor, a test) reports
/// the orientation; the screens read it when the notification comes. Main thread
/// only.
class DeviceOrientation {
public:
    static constexpr const char* kDidChangeNotification = "UIDeviceOrientationDidChangeNotification";

    enum Orientation : int64_t {
        unknown = 0,
        portrait = 1,            // top up
        portraitUpsideDown = 2,  // top down
        landscapeLeft = 3,       // right side up
        landscapeRight = 4,      // left side up
        faceUp = 5,
        faceDown = 6,
    };

    explicit DeviceOrientation(platform::NotificationCenter& center) : center_(center) {}
    DeviceOrientation(const DeviceOrientation&) = delete;
    DeviceOrientation& operator=(const DeviceOrientation&) = delete;

    int64_t orientation() const { return orientation_; }
    platform::NotificationCenter& notificationCenter() const { return center_; }

    /// A report of the orientation: posts the notification (sender: this) when it
    /// differs from the last one. Values outside 0 to 6 are ignored.
    void setOrientation(int64_t orientation);

    static bool isLandscape(int64_t orientation) { return orientation == landscapeLeft || orientation == landscapeRight; }

private:
    platform::NotificationCenter& center_;
    int64_t orientation_ = unknown;
};

/// The answers a screen gives about turning with the device. Interface
/// orientation masks are bits (1 << orientation): portrait 2, landscape 24.
struct AutorotationAnswers {
    static constexpr uint64_t kPortraitMask = uint64_t(1) << DeviceOrientation::portrait;
    static constexpr uint64_t kLandscapeMask =
        (uint64_t(1) << DeviceOrientation::landscapeLeft) | (uint64_t(1) << DeviceOrientation::landscapeRight);

    uint64_t supportedInterfaceOrientations = kLandscapeMask;
    bool shouldAutorotate = true;
    /// Whether the screen turns to `orientation`: its bit is in the mask.
    bool shouldAutorotateToInterfaceOrientation(int64_t orientation) const {
        return orientation >= 0 && orientation < 64 && (supportedInterfaceOrientations & (uint64_t(1) << orientation)) != 0;
    }
};

}  // namespace strombel::ui::kit
