#include "platform/devices/audio_device.h"

#include <cstdlib>
#include <cstring>
#include <thread>

#include "logging/log.h"
#include "platform/devices/null_audio_device.h"
#include "platform/devices/rtaudio_device.h"

namespace strombel::platform {

void AudioDevice::setOutputTap(AudioOutputTap* tap) {
    tap_.store(tap, std::memory_order_seq_cst);
    // The audio thread may still be inside the tap it read before the store.
    while (tapBusy_.load(std::memory_order_seq_cst) != 0) std::this_thread::yield();
}

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
    // A JACK server may come later (or be just starting): the engine, finding
    // the device closed, plays on its stand-in and watches for the server.
    if (RtAudioDevice::compiledIn(RtAudioDevice::Backend::Jack))
        return std::make_unique<RtAudioDevice>(RtAudioDevice::Backend::Jack);
    return std::make_unique<NullAudioDevice>();
}

}  // namespace strombel::platform
