// The offline export renderer: timed starts and stops of samples mixed chunk by
// chunk into a 16-bit stereo WAVE file, faster than real time. What plays live is
// stopped first; the export then reads the tracks' decoded frames with read
// positions of its own, so it never moves a track's live position or state.

#include <algorithm>
#include <cmath>
#include <map>

#include "engine/sound_box.h"
#include "logging/log.h"

namespace strombel::engine {

namespace {

struct Voice {
    std::shared_ptr<const platform::DecodedAudio> audio;
    uint32_t position = 0;
    float gain = 1.0f;
    bool active = false;
};

/// Mixes frames [from, to) of the chunk from every sounding voice (float sums,
/// turned into samples with saturation when the chunk is written), as live
/// playback mixes into its effect window.
void mixVoices(std::map<std::string, Voice>& voices, float* left, float* right, uint32_t from, uint32_t to) {
    for (auto& [path, voice] : voices) {
        if (!voice.active || from >= to) continue;
        const platform::DecodedAudio& audio = *voice.audio;
        const uint32_t available = audio.frames() > voice.position ? audio.frames() - voice.position : 0;
        const uint32_t count = std::min(to - from, available);
        const int32_t* sourceL = audio.channels[0].data() + voice.position;
        const int32_t* sourceR = (audio.numChannels > 1 ? audio.channels[1].data() : audio.channels[0].data()) +
                                 voice.position;
        addFrames(sourceL, sourceR, count, voice.gain, left + from, right + from);
        voice.position += count;
        if (voice.position >= audio.frames()) voice.active = false;  // played to its end
    }
}

}  // namespace

bool SoundBox::exportEvents(const std::vector<ExportEvent>& events, const std::string& path, double duration,
                            const std::function<void(float)>& progress, std::string* error) {
    if (progress) progress(0.0f);
    stopAllTracks();

    const double rate = sampleRate_.load();
    platform::WaveWriter writer;
    if (!writer.open(path, 2, 44100.0, rate)) {
        STROMBEL_LOG_ERROR("Error creating file to export to: {}", writer.error());
        if (error) *error = writer.error();
        return false;
    }
    const uint32_t chunk = std::max<uint32_t>(1, static_cast<uint32_t>(rate * 0.05));
    const uint64_t total = duration > 0 && std::isfinite(duration) ? static_cast<uint64_t>(rate * duration) : 0;
    const uint64_t fullChunks = total / chunk;
    const double loops = static_cast<double>(fullChunks + 1);
    STROMBEL_LOG_DEBUG("writing {} exportEvents", events.size());

    std::vector<float> left(chunk), right(chunk);
    std::vector<int32_t> leftSamples(chunk), rightSamples(chunk);
    std::map<std::string, Voice> voices;
    size_t next = 0;
    bool ok = true;
    for (uint64_t i = 0; i <= fullChunks; ++i) {
        const uint64_t start = i * chunk;
        const uint32_t length = i < fullChunks ? chunk : static_cast<uint32_t>(total - fullChunks * chunk);
        if (length == 0) break;
        std::fill_n(left.data(), length, 0.0f);
        std::fill_n(right.data(), length, 0.0f);

        uint32_t cursor = 0;
        while (next < events.size()) {
            const ExportEvent& event = events[next];
            const double time = std::isfinite(event.eventTime()) ? std::max(0.0, event.eventTime()) : 0.0;
            const uint64_t frame = static_cast<uint64_t>(time * rate);
            if (frame >= start + length) break;  // for a later chunk
            ++next;
            const uint32_t offset = frame > start ? static_cast<uint32_t>(frame - start) : 0;
            auto track = lookUp(event.sampleFilePath());
            if (!track) continue;
            // Everything sounding plays up to the event's own frame.
            mixVoices(voices, left.data(), right.data(), cursor, std::max(cursor, offset));
            cursor = std::max(cursor, offset);
            if (event.eventType() == ExportEvent::kStart) {
                Voice& voice = voices[event.sampleFilePath()];
                voice.audio = track->cachedAudio();
                if (!voice.audio || voice.audio->frames() == 0) {
                    STROMBEL_LOG_ERROR("could not read frames from restarted already playing track: {}",
                                       track->relativeFileName());
                    voice.active = false;
                    continue;
                }
                voice.position = 0;
                voice.gain = track->volume() * volume_.load();
                voice.active = true;
            } else if (event.eventType() == ExportEvent::kStop) {
                auto found = voices.find(event.sampleFilePath());
                if (found != voices.end()) found->second.active = false;
            }
        }
        mixVoices(voices, left.data(), right.data(), cursor, length);

        for (uint32_t k = 0; k < length; ++k) {
            leftSamples[k] = saturatingFromFloat(left[k]);
            rightSamples[k] = saturatingFromFloat(right[k]);
        }
        const int32_t* channels[2] = {leftSamples.data(), rightSamples.data()};
        if (!writer.write(channels, length)) {
            STROMBEL_LOG_ERROR("OSStatus error: ({}) {}, {}", -1, path, writer.error());
            if (error) *error = writer.error();
            ok = false;
            break;
        }
        if (progress) progress(static_cast<float>(static_cast<double>(i) / loops));
    }
    if (progress) progress(1.0f);
    if (!writer.close() && ok) {
        if (error) *error = writer.error().empty() ? "the file could not be closed" : writer.error();
        ok = false;
    }
    return ok;
}

}  // namespace strombel::engine
