#include "platform/devices/rtaudio_device.h"

#include <alsa/asoundlib.h>
#include <rtaudio/RtAudio.h>

#include <algorithm>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <mutex>

#include "logging/log.h"
#include "platform/clock.h"
#include "platform/realtime.h"

namespace strombel::platform {

namespace {

constexpr uint64_t kReanchorNanos = 20 * kNanosPerMillisecond;

RtAudio::Api apiOf(RtAudioDevice::Backend backend) {
    switch (backend) {
    case RtAudioDevice::Backend::Jack: return RtAudio::UNIX_JACK;
    case RtAudioDevice::Backend::Pulse: return RtAudio::LINUX_PULSE;
    case RtAudioDevice::Backend::Alsa: return RtAudio::LINUX_ALSA;
    }
    return RtAudio::UNSPECIFIED;
}

bool compiled(RtAudio::Api api) {
    std::vector<RtAudio::Api> apis;
    RtAudio::getCompiledApi(apis);
    return std::find(apis.begin(), apis.end(), api) != apis.end();
}

// RtAudio's error callback carries no context: the device whose stream runs is
// remembered here so that a failure can be reported as a lost device.
std::mutex activeMutex;
RtAudioDevice* activeDevice = nullptr;

void onRtAudioError(RtAudioError::Type type, const std::string& text) {
    if (type == RtAudioError::WARNING || type == RtAudioError::DEBUG_WARNING) return;
    STROMBEL_LOG_ERROR("audio device error: {}", text);
    std::lock_guard lock(activeMutex);
    if (activeDevice) activeDevice->streamFailed();
}

// The ALSA library writes its complaints (no card, no such device) to standard
// error while devices are probed; they go to the debug log instead, since the
// program says in its own words when no sound card can be opened.
void onAlsaLibraryError(const char* file, int line, const char* function, int, const char* format, ...) {
    char text[512];
    va_list arguments;
    va_start(arguments, format);
    std::vsnprintf(text, sizeof text, format, arguments);
    va_end(arguments);
    STROMBEL_LOG_DEBUG("ALSA {}:{} ({}): {}", file ? file : "?", line, function ? function : "?", text);
}

void quietenAlsaLibrary() {
    static std::once_flag once;
    std::call_once(once, [] { snd_lib_error_set_handler(&onAlsaLibraryError); });
}

int rtCallback(void* output, void* input, unsigned frames, double, RtAudioStreamStatus status, void* user) {
    return static_cast<RtAudioDevice*>(user)->process(static_cast<float*>(output),
                                                       static_cast<const float*>(input), frames, status != 0);
}

/// The rate to open the device at: the one asked for when the device offers
/// it, else the device's own (a JACK server runs at one rate only).
unsigned rateFor(RtAudio& rtaudio, unsigned device, double preferred) {
    const unsigned asked = static_cast<unsigned>(preferred > 0 ? preferred : 44100.0);
    try {
        const RtAudio::DeviceInfo info = rtaudio.getDeviceInfo(device);
        if (info.sampleRates.empty() ||
            std::find(info.sampleRates.begin(), info.sampleRates.end(), asked) != info.sampleRates.end())
            return asked;
        if (info.preferredSampleRate > 0) return info.preferredSampleRate;
        return info.sampleRates.front();
    } catch (const RtAudioError&) {
        return asked;
    }
}

}  // namespace

RtAudioDevice::RtAudioDevice(Backend backend) : backend_(backend) {}

RtAudioDevice::~RtAudioDevice() { close(); }

bool RtAudioDevice::available(Backend backend) {
    if (!compiled(apiOf(backend))) return false;
    quietenAlsaLibrary();
    try {
        RtAudio probe(apiOf(backend));
        probe.showWarnings(false);
        return probe.getDeviceCount() > 0;
    } catch (const RtAudioError&) {
        return false;
    }
}

std::string RtAudioDevice::name() const {
    switch (backend_) {
    case Backend::Jack: return "RtAudio (JACK)";
    case Backend::Pulse: return "RtAudio (PulseAudio)";
    case Backend::Alsa: return "RtAudio (ALSA)";
    }
    return "RtAudio";
}

bool RtAudioDevice::configure(const AudioDeviceConfig& config) {
    close();
    error_.clear();
    try {
        rtaudio_ = std::make_unique<RtAudio>(apiOf(backend_));
        rtaudio_->showWarnings(false);
        if (rtaudio_->getDeviceCount() == 0) {
            error_ = "no audio device";
            rtaudio_.reset();
            return false;
        }
        RtAudio::StreamParameters out;
        out.deviceId = rtaudio_->getDefaultOutputDevice();
        out.nChannels = 2;
        RtAudio::StreamParameters in;
        in.deviceId = rtaudio_->getDefaultInputDevice();
        in.nChannels = 1;
        RtAudio::StreamOptions options;
        options.flags = RTAUDIO_NONINTERLEAVED | RTAUDIO_MINIMIZE_LATENCY;
        options.streamName = "Strombel";
        const double rate = rateFor(*rtaudio_, out.deviceId, config.preferredSampleRate);
        unsigned frames = static_cast<unsigned>(std::clamp(std::round(rate * config.bufferDuration), 16.0, 8192.0));
        rtaudio_->openStream(&out, config.duplex ? &in : nullptr, RTAUDIO_FLOAT32, static_cast<unsigned>(rate),
                             &frames, &rtCallback, this, &options, &onRtAudioError);
        sampleRate_ = rtaudio_->getStreamSampleRate();
        if (sampleRate_ <= 0) sampleRate_ = rate;
        frames_ = frames;
        duplexOpen_ = config.duplex;
        // Scratch for the largest buffer the server may hand us.
        size_t room = std::max<size_t>(frames_, 8192);
        left_.assign(room, 0);
        right_.assign(room, 0);
        microphone_.assign(room, 0);
        return true;
    } catch (const RtAudioError& error) {
        error_ = error.getMessage();
        rtaudio_.reset();
        return false;
    }
}

bool RtAudioDevice::start() {
    if (!rtaudio_ || !rtaudio_->isStreamOpen()) {
        error_ = "no open stream";
        return false;
    }
    if (rtaudio_->isStreamRunning()) return true;
    try {
        anchored_.store(false);
        {
            std::lock_guard lock(activeMutex);
            activeDevice = this;
        }
        rtaudio_->startStream();
        return true;
    } catch (const RtAudioError& error) {
        error_ = error.getMessage();
        return false;
    }
}

bool RtAudioDevice::stop() {
    if (!rtaudio_ || !rtaudio_->isStreamOpen()) return true;
    try {
        // Aborting does not wait for the server to drain the last buffers: a
        // client the server has dropped would otherwise wait forever.
        if (rtaudio_->isStreamRunning()) rtaudio_->abortStream();
        return true;
    } catch (const RtAudioError& error) {
        error_ = error.getMessage();
        return false;
    }
}

bool RtAudioDevice::running() const { return rtaudio_ && rtaudio_->isStreamOpen() && rtaudio_->isStreamRunning(); }

void RtAudioDevice::close() {
    {
        std::lock_guard lock(activeMutex);
        if (activeDevice == this) activeDevice = nullptr;
    }
    if (!rtaudio_) return;
    try {
        if (rtaudio_->isStreamOpen()) {
            if (rtaudio_->isStreamRunning()) rtaudio_->abortStream();
            rtaudio_->closeStream();
        }
    } catch (const RtAudioError& error) {
        error_ = error.getMessage();
    }
    rtaudio_.reset();
}

int RtAudioDevice::process(float* output, const float* input, unsigned frames, bool xrun) {
    RealtimeScope realtime;
    if (xrun) countXrun();
    if (!anchored_.load(std::memory_order_relaxed)) {
        timeline_.anchor(SystemClock::shared().nowNanos(), sampleRate_);
        anchored_.store(true, std::memory_order_relaxed);
    }
    uint64_t hostTime = timeline_.next(frames);
    // The counter follows the card's clock. After an underrun, or once that clock
    // has drifted from the monotonic clock by more than the wake-up jitter, it is
    // anchored again, so that host times keep meaning the same moment everywhere.
    const uint64_t now = SystemClock::shared().nowNanos();
    const uint64_t drift = now > hostTime ? now - hostTime : hostTime - now;
    if (drift > kReanchorNanos) {
        timeline_.anchor(now, sampleRate_);
        hostTime = timeline_.next(frames);
    }
    unsigned done = 0;
    // Larger buffers than the scratch holds are served in pieces.
    while (done < frames) {
        unsigned piece = std::min<unsigned>(frames - done, static_cast<unsigned>(left_.size()));
        uint64_t pieceTime = hostTime + static_cast<uint64_t>(static_cast<double>(done) * 1e9 / sampleRate_);
        if (duplexOpen_ && input && input_) {
            for (unsigned i = 0; i < piece; ++i) microphone_[i] = floatToFixed824(input[done + i]);
            input_(piece, pieceTime, microphone_.data());
        }
        std::fill_n(left_.data(), piece, 0);
        std::fill_n(right_.data(), piece, 0);
        renderOutput(piece, pieceTime, left_.data(), right_.data());
        for (unsigned i = 0; i < piece; ++i) {
            output[done + i] = fixed824ToFloat(left_[i]);
            output[frames + done + i] = fixed824ToFloat(right_[i]);
        }
        done += piece;
    }
    return 0;
}

void RtAudioDevice::streamFailed() {
    if (events_) {
        AudioDeviceEvent event;
        event.type = AudioDeviceEvent::Type::RouteChanged;
        event.routeChangeReason = kRouteChangeReasonOldDeviceUnavailable;
        events_(event);
    }
}

}  // namespace strombel::platform
