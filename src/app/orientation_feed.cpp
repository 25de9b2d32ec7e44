#include "app/orientation_feed.h"

#include <QOrientationSensor>

#include "logging/log.h"

namespace strombel::app {

using ui::kit::DeviceOrientation;

int64_t OrientationFeed::deviceOrientationOf(int reading) {
    switch (QOrientationReading::Orientation(reading)) {
        case QOrientationReading::TopUp:
            return DeviceOrientation::portrait;
        case QOrientationReading::TopDown:
            return DeviceOrientation::portraitUpsideDown;
        case QOrientationReading::RightUp:
            return DeviceOrientation::landscapeLeft;
        case QOrientationReading::LeftUp:
            return DeviceOrientation::landscapeRight;
        case QOrientationReading::FaceUp:
            return DeviceOrientation::faceUp;
        case QOrientationReading::FaceDown:
            return DeviceOrientation::faceDown;
        case QOrientationReading::Undefined:
            break;
    }
    return DeviceOrientation::unknown;
}

OrientationFeed::OrientationFeed(DeviceOrientation& orientation, const QByteArray& identifier)
    : orientation_(orientation), sensor_(std::make_unique<QOrientationSensor>()) {
    if (!identifier.isEmpty()) sensor_->setIdentifier(identifier);
    QObject::connect(sensor_.get(), &QSensor::readingChanged, [this] { report(); });
    active_ = sensor_->connectToBackend() && sensor_->start();
    if (active_) {
        STROMBEL_LOG_INFO("Following the orientation sensor {}", sensor_->identifier().toStdString());
        report();
    } else {
        STROMBEL_LOG_INFO("No orientation sensor: the screen keeps its layout");
    }
}

OrientationFeed::~OrientationFeed() {
    if (active_) sensor_->stop();
}

void OrientationFeed::report() {
    const QOrientationReading* reading = sensor_->reading();
    if (!reading) return;
    const int64_t orientation = deviceOrientationOf(reading->orientation());
    if (orientation != DeviceOrientation::unknown) orientation_.setOrientation(orientation);
}

}  // namespace strombel::app
