// The offline export renderer: the chunked mix of timed starts and stops, its
// conversion to the file's samples, and the export's own thread.

#include <algorithm>
#include <array>
#include <cmath>
#include <map>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "engine/effects.h"
#include "engine/exporter.h"
#include "logging/log.h"
#include "platform/audio_file.h"

namespace strombel::engine {

using platform::ExportEvent;

namespace {

struct Voice {
    std::shared_ptr<const platform::DecodedAudio> audio;
    uint32_t position = 0;
    float gain = 1.0f;
    bool active = false;
};

/// One voice's frames over a stretch of the chunk.
struct Source {
    const int32_t* left;
    const int32_t* right;
    float gain;
    uint32_t count;  // frames it has for the stretch
};

/// Adds `Voices` sources over their first `count` frames in one pass over the
/// mix, each frame's sum taken in the sources' order (the same float sums as
/// adding them one after the other).
template <int Voices>
void addSources(const Source* sources, uint32_t count, float* __restrict mixL, float* __restrict mixR) {
    for (uint32_t k = 0; k < count; ++k) {
        float l = mixL[k], r = mixR[k];
        for (int v = 0; v < Voices; ++v) {
            l += sources[v].gain * static_cast<float>(sources[v].left[k]);
            r += sources[v].gain * static_cast<float>(sources[v].right[k]);
        }
        mixL[k] = l;
        mixR[k] = r;
    }
}

/// Mixes frames [from, to) of the chunk from every sounding voice (float sums,
/// turned into samples with saturation when the chunk is written), as live
/// playback mixes into its effect window. Voices go four at a time, so that the
/// mix is read and written once per four voices.
/// Sources are not added into integer samples one after the other, where a loud
/// sum would wrap round to the other sign: the float sum is saturated when it is
/// written, so it clips at full scale, and once per chunk rather than per source.
void mixVoices(std::map<std::string, Voice>& voices, float* left, float* right, uint32_t from, uint32_t to) {
    if (from >= to) return;
    std::array<Source, 4> group;
    int grouped = 0;
    auto flush = [&] {
        uint32_t common = to - from;
        for (int v = 0; v < grouped; ++v) common = std::min(common, group[size_t(v)].count);
        switch (grouped) {
        case 4: addSources<4>(group.data(), common, left + from, right + from); break;
        case 3: addSources<3>(group.data(), common, left + from, right + from); break;
        case 2: addSources<2>(group.data(), common, left + from, right + from); break;
        case 1: addSources<1>(group.data(), common, left + from, right + from); break;
        default: break;
        }
        // Frames past the shortest: each voice in turn keeps every frame's order of sums.
        for (int v = 0; v < grouped; ++v) {
            const Source& source = group[size_t(v)];
            if (source.count > common)
                addFrames(source.left + common, source.right + common, source.count - common, source.gain,
                          left + from + common, right + from + common);
        }
        grouped = 0;
    };
    for (auto& [path, voice] : voices) {
        if (!voice.active) continue;
        const platform::DecodedAudio& audio = *voice.audio;
        const uint32_t available = audio.frames() > voice.position ? audio.frames() - voice.position : 0;
        const uint32_t count = std::min(to - from, available);
        const int32_t* sourceL = audio.channels[0].data() + voice.position;
        const int32_t* sourceR = (audio.numChannels > 1 ? audio.channels[1].data() : audio.channels[0].data()) +
                                 voice.position;
        if (count > 0) group[size_t(grouped++)] = Source{sourceL, sourceR, voice.gain, count};
        if (grouped == 4) flush();
        voice.position += count;
        if (voice.position >= audio.frames()) voice.active = false;  // played to its end
    }
    flush();
}

/// A float sum as the file's 16-bit sample: the same as saturating it to an 8.24
/// sample and that to 16 bits, in one clamp of the float.
inline int16_t sumToInt16(float value) {
    float v = value == value ? value : 0.0f;
    v = v > -16777216.0f ? v : -16777216.0f;  // full scale, 1 << 24
    v = v < 16777215.0f ? v : 16777215.0f;
    return static_cast<int16_t>(static_cast<int32_t>(v) >> 9);
}

/// The chunk's float sums as the file's 16-bit frames, left and right interleaved.
void toInterleaved16(const float* left, const float* right, uint32_t frames, int16_t* out) {
    uint32_t k = 0;
#if defined(__SSE2__)
    // Eight frames at a time, as sumToInt16 does each.
    const __m128 low = _mm_set1_ps(-16777216.0f), high = _mm_set1_ps(16777215.0f);
    auto samples = [&](const float* from) {
        __m128 v = _mm_loadu_ps(from);
        v = _mm_and_ps(v, _mm_cmpord_ps(v, v));  // not a number: 0
        v = _mm_min_ps(_mm_max_ps(v, low), high);
        return _mm_srai_epi32(_mm_cvttps_epi32(v), 9);
    };
    for (; k + 8 <= frames; k += 8) {
        const __m128i l = _mm_packs_epi32(samples(left + k), samples(left + k + 4));
        const __m128i r = _mm_packs_epi32(samples(right + k), samples(right + k + 4));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 2 * k), _mm_unpacklo_epi16(l, r));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 2 * k + 8), _mm_unpackhi_epi16(l, r));
    }
#endif
    for (; k < frames; ++k) {
        out[2 * k] = sumToInt16(left[k]);
        out[2 * k + 1] = sumToInt16(right[k]);
    }
}

}  // namespace

std::unique_ptr<ExportJob> Exporter::start(std::vector<ExportEvent> events, Tracks tracks, std::string path,
                                           double duration, std::function<void(float)> progress,
                                           std::function<void(const ExportOutcome&)> done) const {
    std::unique_ptr<ExportJob> job(new ExportJob());
    ExportJob* shown = job.get();
    platform::MainLoop* loop = &mainLoop_;
    std::weak_ptr<int> alive = job->alive_;
    auto work = [this, shown, loop, alive, events = std::move(events), tracks = std::move(tracks),
                 path = std::move(path), duration, progress = std::move(progress), done = std::move(done),
                 stop = job->stop_.get_token()] {
        int percentTold = 0;
        // Each whole percent once: a long export posts a hundred times, not once a chunk.
        auto report = [&](float share) {
            shown->progress_.store(share, std::memory_order_relaxed);
            const int percent = static_cast<int>(share * 100.0f);
            if (!progress || percent == percentTold) return;
            percentTold = percent;
            loop->post([alive, progress, share] {
                if (!alive.expired()) progress(share);
            });
        };
        ExportOutcome outcome = render(events, tracks, path, duration, report, stop);
        loop->post([alive, done, outcome = std::move(outcome)] {
            if (!alive.expired() && done) done(outcome);
        });
    };
    job->thread_ = platform::Worker("Export", std::move(work), [shown] { shown->cancel(); });
    return job;
}

ExportJob::~ExportJob() { thread_.stop(); }

void ExportJob::cancel() { stop_.request_stop(); }

void ExportJob::waitUntilRendered() { thread_.join(); }

ExportOutcome Exporter::render(const std::vector<ExportEvent>& events, const Tracks& tracks, const std::string& path,
                               double duration, const std::function<void(float)>& progress,
                               std::stop_token stop) const {
    ExportOutcome outcome;
    const double rate = sampleRate_.load();
    platform::WaveWriter writer;
    if (!writer.open(path, 2, 44100.0, rate)) {
        STROMBEL_LOG_ERROR("Error creating file to export to: {}", writer.error());
        return ExportOutcome{ExportOutcome::Status::failed, writer.error(), 0};
    }
    const uint32_t chunk = std::max<uint32_t>(1, static_cast<uint32_t>(rate * 0.05));
    const uint64_t total = duration > 0 && std::isfinite(duration) ? static_cast<uint64_t>(rate * duration) : 0;
    const uint64_t fullChunks = total / chunk;
    const double loops = static_cast<double>(fullChunks + 1);
    STROMBEL_LOG_DEBUG("writing {} exportEvents", events.size());

    std::vector<float> left(chunk), right(chunk);
    std::vector<int32_t> leftSamples(chunk), rightSamples(chunk);
    std::vector<int16_t> interleaved(2 * static_cast<size_t>(chunk));
    std::map<std::string, Voice> voices;
    size_t next = 0;
    for (uint64_t i = 0; i <= fullChunks; ++i) {
        if (stop.stop_requested()) {
            writer.abandon();
            return ExportOutcome{ExportOutcome::Status::cancelled, {}, 0};
        }
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
            const auto found = tracks.find(event.sampleFilePath());
            if (found == tracks.end()) continue;
            const Track& track = *found->second;
            // Everything sounding plays up to the event's own frame.
            mixVoices(voices, left.data(), right.data(), cursor, std::max(cursor, offset));
            cursor = std::max(cursor, offset);
            if (event.eventType() == ExportEvent::kStart) {
                Voice& voice = voices[event.sampleFilePath()];
                auto audio = found->second->cachedAudio();
                if (!audio || audio->frames() == 0) {
                    // A first start of a sample that cannot be read stays silent; its
                    // load has said why. A restart cuts what sounded so far.
                    if (voice.active)
                        STROMBEL_LOG_ERROR("could not read frames from restarted already playing track: {}",
                                           track.relativeFileName());
                    voice.active = false;
                    continue;
                }
                voice.audio = std::move(audio);
                voice.position = 0;
                voice.gain = track.volume() * volume_.load();
                voice.active = true;
            } else if (event.eventType() == ExportEvent::kStop) {
                auto sounding = voices.find(event.sampleFilePath());
                if (sounding != voices.end()) sounding->second.active = false;
            }
        }
        mixVoices(voices, left.data(), right.data(), cursor, length);

        bool written = false;
        if (writer.convertsRate()) {
            for (uint32_t k = 0; k < length; ++k) {
                leftSamples[k] = saturatingFromFloat(left[k]);
                rightSamples[k] = saturatingFromFloat(right[k]);
            }
            const int32_t* channels[2] = {leftSamples.data(), rightSamples.data()};
            written = writer.write(channels, length);
        } else {
            toInterleaved16(left.data(), right.data(), length, interleaved.data());
            written = writer.writeInterleaved16(interleaved.data(), length);
        }
        if (!written) {
            STROMBEL_LOG_ERROR("OSStatus error: ({}) {}, {}", -1, path, writer.error());
            outcome = ExportOutcome{ExportOutcome::Status::failed, writer.error(), 0};
            break;
        }
        if (progress) progress(static_cast<float>(static_cast<double>(i) / loops));
    }
    if (progress) progress(1.0f);
    const uint64_t frames = writer.framesWritten();
    if (!writer.close() && outcome.status == ExportOutcome::Status::written)
        outcome = ExportOutcome{ExportOutcome::Status::failed,
                                writer.error().empty() ? "the file could not be closed" : writer.error(), 0};
    if (outcome.status == ExportOutcome::Status::written) outcome.seconds = static_cast<double>(frames) / 44100.0;
    return outcome;
}

}  // namespace strombel::engine
