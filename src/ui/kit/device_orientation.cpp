#include "ui/kit/device_orientation.h"

namespace strombel::ui::kit {

void DeviceOrientation::setOrientation(int64_t orientation) {
    if (orientation < unknown || orientation > faceDown || orientation == orientation_) return;
    orientation_ = orientation;
    center_.post(kDidChangeNotification, this);
}

}  // namespace strombel::ui::kit
