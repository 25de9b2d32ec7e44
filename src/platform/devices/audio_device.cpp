#include "platform/devices/audio_device.h"

#include <cstdlib>
#include <cstring>
#include <thread>
#include <vector>

#include "logging/log.h"
#include "platform/devices/null_audio_device.h"
#include "platform/devices/rtaudio_device.h"

namespace strombel::platform {

void AudioDevice::setOutputTap(AudioOutputTap* tap) {
    tap_.store(tap, std::memory_order_seq_cst);
    // The audio thread may still be inside the tap it read before the store.
    while (tapBusy_.load(std::memory_order_seq_cst) != 0) std::this_thread::yield();
}

std::unique_ptr<AudioDevice> makeAudioDevice() {
    const char* forced = std::getenv("STROMBEL_AUDIO");
    if (forced && std::strcmp(forced, "null") == 0) return std::make_unique<NullAudioDevice>();
    std::vector<RtAudioDevice::Backend> choices;
    for (auto backend : {RtAudioDevice::Backend::Jack, RtAudioDevice::Backend::Pulse, RtAudioDevice::Backend::Alsa})
        if (RtAudioDevice::compiledIn(backend)) choices.push_back(backend);
    if (choices.empty()) {
        STROMBEL_LOG_WARN("No sound system (JACK, PulseAudio or ALSA) is built into RtAudio here: Strombel plays to "
                          "the null device, which is silent");
        return std::make_unique<NullAudioDevice>();
    }
    return std::make_unique<RtAudioDevice>(std::move(choices));
}

}  // namespace strombel::platform
