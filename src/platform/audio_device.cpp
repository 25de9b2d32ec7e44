#include "platform/audio_device.h"

#include <cstdlib>
#include <cstring>

#include "logging/log.h"
#include "platform/null_audio_device.h"
#include "platform/rtaudio_device.h"

namespace strombel::platform {

std::unique_ptr<AudioDevice> makeAudioDevice(std::string* problem) {
    const char* forced = std::getenv("STROMBEL_AUDIO");
    if (forced && std::strcmp(forced, "null") == 0) return std::make_unique<NullAudioDevice>();
    std::string reasons;
    for (auto backend : {RtAudioDevice::Backend::Jack, RtAudioDevice::Backend::Pulse, RtAudioDevice::Backend::Alsa}) {
        if (!RtAudioDevice::available(backend)) continue;
        auto device = std::make_unique<RtAudioDevice>(backend);
        if (device->configure(AudioDeviceConfig{})) {
            device->close();
            return device;
        }
        reasons += (reasons.empty() ? "" : "; ") + device->name() + ": " + device->lastError();
    }
    if (reasons.empty()) reasons = "no sound system (JACK, PulseAudio or ALSA) shows an output device";
    const std::string told = "No sound card could be opened (" + reasons + "). Strombel plays to no output.";
    STROMBEL_LOG_ERROR("{}", told);
    if (problem) *problem = told;
    return std::make_unique<NullAudioDevice>();
}

}  // namespace strombel::platform
