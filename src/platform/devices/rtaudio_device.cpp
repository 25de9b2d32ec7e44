#include "platform/devices/rtaudio_device.h"

#include <alsa/asoundlib.h>
#include <jack/jack.h>
#include <rtaudio/RtAudio.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <thread>
#include <charconv>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <mutex>
#include <string>

#include "logging/log.h"
#include "platform/clock.h"
#include "platform/realtime.h"
#include "platform/thread_role.h"

namespace strombel::platform {

namespace {

constexpr uint64_t kReanchorNanos = 20 * kNanosPerMillisecond;
// What a backend that shows no output device answers.
constexpr const char* kNoDevice = "no output device";

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

// Called on the stream's thread. Warnings are an ordinary part of a stream's
// life (an underrun), except the ones that say the card took no more data: a
// card that went away answers every buffer that way.
void onRtAudioError(RtAudioError::Type type, const std::string& text) {
    if (type == RtAudioError::DEBUG_WARNING) return;
    if (type == RtAudioError::WARNING && text.find("write error") == std::string::npos &&
        text.find("read error") == std::string::npos)
        return;
    std::lock_guard lock(activeMutex);
    if (activeDevice) activeDevice->streamFailed(text);
}

// --- Watching RtAudio's JACK client ---
// RtAudio watches its JACK client itself and, when the server shuts it down,
// closes the client on a thread of its own: by then libjack may have freed it
// (see jack_clients.h). Our watch takes the place of RtAudio's. RtAudio offers
// no way to reach its client: the member pointers below reach its own fields,
// and its JACK data begins with the client (RtAudio 5). With another major
// version the client is not reached and RtAudio keeps its own way.

struct RtAudioFields : RtAudio {
    static constexpr RtApi* RtAudio::*api = &RtAudioFields::rtapi_;
};
struct RtApiFields : RtApi {
    static constexpr auto stream = &RtApiFields::stream_;
};
struct RtAudioJackData {
    jack_client_t* client;
};

jack_client_t* jackClientOf(RtAudio& rtaudio) {
    static const bool known = RtAudioDevice::knowsJackLayoutOf(RtAudio::getVersion());
    if (!known || rtaudio.getCurrentApi() != RtAudio::UNIX_JACK) return nullptr;
    RtApi* api = rtaudio.*RtAudioFields::api;
    if (!api) return nullptr;
    auto* data = static_cast<RtAudioJackData*>((api->*RtApiFields::stream).apiHandle);
    return data ? data->client : nullptr;
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
    auto* gate = static_cast<RtAudioDevice::CallbackGate*>(user);
    gate->inside.fetch_add(1);
    int result = 0;
    if (RtAudioDevice* device = gate->device.load()) {
        result = device->process(static_cast<float*>(output), static_cast<const float*>(input), frames, status != 0);
    } else {
        std::fill_n(static_cast<float*>(output), size_t(frames) * 2, 0.0f);
    }
    gate->inside.fetch_sub(1);
    return result;
}

/// The rate of the default JACK server, asked by a client of ours; 0 when no
/// server answers. RtAudio asks through a client whose name every process
/// using RtAudio shares, and libjack lets clients of one name in two processes
/// take each other's socket even on two servers: that answer may fail when
/// another program on the machine asks at the same moment.
unsigned jackServerRate() {
    const std::string name = jackClientName("Strombel rate " + std::to_string(::getpid()));
    jack_status_t status{};
    jack_client_t* client = jack_client_open(name.c_str(), JackNoStartServer, &status);
    if (!client) {
        noteFailedJackOpen();
        return 0;
    }
    const unsigned rate = jack_get_sample_rate(client);
    jack_client_close(client);
    return rate;
}

/// The rate to open the device at: the one asked for when the device offers
/// it, else the device's own (a JACK server runs at one rate only).
unsigned rateFor(RtAudio& rtaudio, unsigned device, double preferred) {
    if (rtaudio.getCurrentApi() == RtAudio::UNIX_JACK) {
        if (const unsigned rate = jackServerRate()) return rate;
    }
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

bool RtAudioDevice::knowsJackLayoutOf(const std::string& version) {
    int major = 0;
    const auto [end, error] = std::from_chars(version.data(), version.data() + version.size(), major);
    if (error != std::errc{} || end == version.data()) return false;
    if (end != version.data() + version.size() && *end != '.') return false;
    return major == 5;
}

RtAudioDevice::RtAudioDevice(Backend backend) : choices_{backend}, backend_(backend) {}

RtAudioDevice::RtAudioDevice(std::vector<Backend> choices)
    : choices_(choices.empty() ? std::vector<Backend>{Backend::Jack} : std::move(choices)),
      backend_(choices_.front()) {}

RtAudioDevice::~RtAudioDevice() { close(); }

bool RtAudioDevice::compiledIn(Backend backend) { return compiled(apiOf(backend)); }

bool RtAudioDevice::available(Backend backend) {
    if (!compiled(apiOf(backend))) return false;
    quietenAlsaLibrary();
    try {
        RtAudio probe(apiOf(backend));
        probe.showWarnings(false);
        if (probe.getDeviceCount() > 0) return true;
        if (backend == Backend::Jack) noteFailedJackOpen();
        return false;
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

namespace {

const char* systemName(RtAudioDevice::Backend backend) {
    switch (backend) {
    case RtAudioDevice::Backend::Jack: return "JACK";
    case RtAudioDevice::Backend::Pulse: return "PulseAudio";
    case RtAudioDevice::Backend::Alsa: return "ALSA";
    }
    return "?";
}

}  // namespace

bool RtAudioDevice::configure(const AudioDeviceConfig& config) {
    close();
    quietenAlsaLibrary();
    quietenJackLibrary();
    refusedByAnsweringServer_ = false;
    std::string reasons, systems;
    for (size_t i = 0; i < choices_.size(); ++i) {
        systems += std::string(i == 0 ? "" : i + 1 == choices_.size() ? " or " : ", ") + systemName(choices_[i]);
        if (!compiled(apiOf(choices_[i]))) continue;
        backend_ = choices_[i];
        if (openStream(config)) {
            choices_ = {backend_};
            return true;
        }
        // A JACK server that answers a client of our own is there: RtAudio's
        // refusal is worth another try, and no other system is taken meanwhile.
        if (backend_ == Backend::Jack && jackServerRate() != 0) {
            refusedByAnsweringServer_ = true;
            error_ = "No sound card could be opened (" + name() + ": " + error_ + ")";
            return false;
        }
        if (error_ != kNoDevice) reasons += (reasons.empty() ? "" : "; ") + name() + ": " + error_;
    }
    backend_ = choices_.front();
    if (reasons.empty()) {
        error_ = "No sound device was found: " + (choices_.size() > 1 ? "no sound system (" + systems + ") shows an"
                                                                          : systems + " shows no") +
                 " output device";
    } else {
        error_ = "No sound card could be opened (" + reasons + ")";
    }
    return false;
}

bool RtAudioDevice::openStream(const AudioDeviceConfig& config) {
    error_.clear();
    leftAlone_.store(false);
    try {
        rtaudio_ = std::make_unique<RtAudio>(apiOf(backend_));
        rtaudio_->showWarnings(false);
        if (rtaudio_->getDeviceCount() == 0) {
            if (backend_ == Backend::Jack) noteFailedJackOpen();
            error_ = kNoDevice;
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
        options.streamName = backend_ == Backend::Jack ? jackClientName("Strombel") : "Strombel";
        const double rate = rateFor(*rtaudio_, out.deviceId, config.preferredSampleRate);
        unsigned frames = static_cast<unsigned>(std::clamp(std::round(rate * config.bufferDuration), 16.0, 8192.0));
        gate_ = std::make_unique<CallbackGate>();
        gate_->device.store(this);
        rtaudio_->openStream(&out, config.duplex ? &in : nullptr, RTAUDIO_FLOAT32, static_cast<unsigned>(rate),
                             &frames, &rtCallback, gate_.get(), &options, &onRtAudioError);
        lost_.store(false);
        if (backend_ == Backend::Jack) noteJackClientOpened();
        if (jack_client_t* client = jackClientOf(*rtaudio_)) {
            // Before the stream starts: JACK takes handlers only from clients not yet active.
            jackWatch_ = JackShutdownWatch::install(client, [this](const std::string&) {
                streamFailed("the JACK server stopped");
            });
        }
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
        if (backend_ == Backend::Jack) noteFailedJackOpen();
        error_ = error.getMessage();
        rtaudio_.reset();
        return false;
    }
}

bool RtAudioDevice::start() {
    if (lost_.load()) {
        error_ = "the stream was lost";
        return false;
    }
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
    if (!closable()) return true;  // nothing runs any more
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

bool RtAudioDevice::running() const {
    return rtaudio_ && !lost_.load() && rtaudio_->isStreamOpen() && rtaudio_->isStreamRunning();
}

bool RtAudioDevice::closable() const { return !jackWatch_ || jackWatch_->closable(); }

void RtAudioDevice::close() {
    {
        std::lock_guard lock(activeMutex);
        if (activeDevice == this) activeDevice = nullptr;
    }
    if (!rtaudio_) return;
    if (!closable()) {
        // The server shut the stream's client down, or libjack may have freed
        // it since: RtAudio would close it, so RtAudio is left alone.
        leftAlone_.store(true);
        leaveJackObjectAlone(rtaudio_.get());
        static_cast<void>(rtaudio_.release());
        JackShutdownWatch::leaveAlone(std::move(jackWatch_));
        if (gate_) {
            // A client that still runs (a loss heard by another client) calls
            // the gate, never this device, from now on; a call already inside
            // ends within its buffer.
            gate_->device.store(nullptr);
            for (int waited = 0; gate_->inside.load() != 0 && waited < 200; ++waited)
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            static_cast<void>(gate_.release());
        }
        return;
    }
    if (jackWatch_) jackWatch_->closing();
    try {
        if (rtaudio_->isStreamOpen()) {
            if (rtaudio_->isStreamRunning()) rtaudio_->abortStream();
            rtaudio_->closeStream();
        }
    } catch (const RtAudioError& error) {
        error_ = error.getMessage();
    }
    rtaudio_.reset();
    jackWatch_.reset();
    gate_.reset();
}

int RtAudioDevice::process(float* output, const float* input, unsigned frames, bool xrun) {
    RealtimeScope realtime;
    ThreadRoleScope role(ThreadRole::audio);
    if (leftAlone_.load(std::memory_order_relaxed)) {
        // Its library is never called again: the stream is not even stopped.
        std::fill_n(output, size_t(frames) * 2, 0.0f);
        return 0;
    }
    if (lost_.load(std::memory_order_relaxed)) {
        // A card that failed answers at once: the stream ends here rather than
        // spin through buffers nobody hears.
        std::fill_n(output, size_t(frames) * 2, 0.0f);
        return 2;
    }
    if (xrun) countXrun();
    if (!anchored_.load(std::memory_order_relaxed)) {
        timeline_.anchor(monotonicNanos(), sampleRate_);
        anchored_.store(true, std::memory_order_relaxed);
    }
    uint64_t hostTime = timeline_.next(frames);
    // The counter follows the card's clock. After an underrun, or once that clock
    // has drifted from the monotonic clock by more than the wake-up jitter, it is
    // anchored again, so that host times keep meaning the same moment everywhere.
    const uint64_t now = monotonicNanos();
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

void RtAudioDevice::streamFailed(const std::string& reason) {
    if (lost_.exchange(true)) return;
    if (events_) {
        AudioDeviceEvent event;
        event.type = AudioDeviceEvent::Type::Lost;
        event.reason = reason;
        events_(event);
    }
}

}  // namespace strombel::platform
