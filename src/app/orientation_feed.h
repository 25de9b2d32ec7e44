#pragma once

#include <QByteArray>

#include <memory>

#include "ui/kit/device_orientation.h"

class QOrientationSensor;

namespace strombel::app {

/// Reports the orientation sensor's readings (Qt Sensors; on Linux tablets and
/// convertibles, iio-sensor-proxy's) to the kit's device orientation: top up 1,
/// top down 2, right side up 3, left side up 4, face up 5, face down 6. Readings
/// the sensor cannot tell are not reported. Without a sensor nothing is ever
/// reported, and the phone screen never turns. Main thread only.
class OrientationFeed {
public:
    /// Follows the sensor of `identifier`, or the system's default one when empty.
    OrientationFeed(ui::kit::DeviceOrientation& orientation, const QByteArray& identifier = {});
    ~OrientationFeed();
    OrientationFeed(const OrientationFeed&) = delete;
    OrientationFeed& operator=(const OrientationFeed&) = delete;

    /// Whether a sensor was found and started.
    bool active() const { return active_; }
    /// The device orientation for a Qt Sensors reading (0 for one it cannot tell).
    static int64_t deviceOrientationOf(int reading);

private:
    void report();

    ui::kit::DeviceOrientation& orientation_;
    std::unique_ptr<QOrientationSensor> sensor_;
    bool active_ = false;
};

}  // namespace strombel::app
