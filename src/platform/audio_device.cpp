#include "platform/audio_device.h"

#include <cstdlib>
#include <cstring>

#include "logging/log.h"
#include "platform/null_audio_device.h"
#include "platform/rtaudio_device.h"

namespace strombel::platform {

std::unique_ptr<AudioDevice> makeAudioDevice() {
    const char* forced = std::getenv("STROMBEL_AUDIO");
    if (!forced || std::strcmp(forced, "null") != 0) {
        for (auto backend : {RtAudioDevice::Backend::Jack, RtAudioDevice::Backend::Pulse, RtAudioDevice::Backend::Alsa}) {
            if (!RtAudioDevice::available(backend)) continue;
            auto device = std::make_unique<RtAudioDevice>(backend);
            if (device->configure(AudioDeviceConfig{})) {
                device->close();
                return device;
            }
        }
        STROMBEL_LOG_WARN("no sound card could be opened; playing to the null device");
    }
    return std::make_unique<NullAudioDevice>();
}

}  // namespace strombel::platform
