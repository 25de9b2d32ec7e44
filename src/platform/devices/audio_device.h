#pragma once

// src/platform/devices/: the sound card (RtAudio, null and manual devices) and
// the MIDI ports (RtMidi, loopback). Above logging, since they log.
// May include: platform, logging.

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "platform/sample_format.h"

namespace strombel::platform {

/// How the engine wants its device: output only, or output plus the microphone.
struct AudioDeviceConfig {
    /// Also capture the microphone (play-and-record).
    bool duplex = false;
    /// The rate asked for; the device may answer another (read `sampleRate()`).
    double preferredSampleRate = 44100.0;
    /// The I/O buffer duration asked for, in seconds.
    double bufferDuration = 0.005;
};

/// Things the device reports outside the buffers: an interruption by another
/// program (began / ended), route changes (reason 2: the old output became
/// unavailable) and the loss of the stream itself (`Lost`: the sound server went
/// away or the card failed while playing; `reason` says why, in plain words).
/// After `Lost` the device renders nothing more until it is configured again.
/// A device opened off the main loop (see FailoverAudioDevice) answers late:
/// `Opened` once it renders in its stand-in's place, `NotOpened` (with the
/// reason) when it could not be opened.
struct AudioDeviceEvent {
    enum class Type { InterruptionBegan, InterruptionEnded, RouteChanged, Lost, Opened, NotOpened };
    Type type = Type::RouteChanged;
    int routeChangeReason = 0;
    std::string reason;
};

constexpr int kRouteChangeReasonOldDeviceUnavailable = 2;

/// Receives a copy of every output buffer, right after the render callback filled
/// it (the inter-app audio sender publishes the engine's output this way).
class AudioOutputTap {
public:
    virtual ~AudioOutputTap() = default;
    /// Called on the audio thread with the buffer just rendered (8.24 fixed point)
    /// and the stream's rate. Must not allocate, lock, wait, log or touch files.
    /// The buffers are valid only until the call returns.
    virtual void tapOutput(uint32_t frames, double sampleRate, const int32_t* left, const int32_t* right) = 0;
};

/// The sound card as the engine sees it: one output stream in the engine's
/// format (non-interleaved 8.24 fixed point, left and right) and, when configured
/// duplex, one mono microphone stream.
///
/// Threads: configure/start/stop/close run on the caller's (main) thread. The
/// callbacks run on the device's own audio thread; the event handler on any thread.
class AudioDevice {
public:
    /// Called on the audio thread for every buffer. Fill `left` and `right` with
    /// exactly `frames` frames of 8.24 fixed point (full scale 1 << 24).
    /// `hostTimeNanos` is the host time (monotonic clock) of the buffer's first
    /// frame, taken from a frame counter anchored when the stream started, not from
    /// when the callback woke. Must not allocate, free, lock, wait, log or touch
    /// files. The buffers are valid only until the call returns.
    using RenderCallback =
        std::function<void(uint32_t frames, uint64_t hostTimeNanos, int32_t* left, int32_t* right)>;

    /// Called on the audio thread with `frames` microphone samples (mono, 8.24),
    /// only when configured duplex. Same rules as the render callback.
    using InputCallback = std::function<void(uint32_t frames, uint64_t hostTimeNanos, const int32_t* mono)>;

    using EventHandler = std::function<void(const AudioDeviceEvent&)>;

    virtual ~AudioDevice() = default;

    /// A short name for logs ("RtAudio (JACK)", "null", "manual").
    virtual std::string name() const = 0;

    /// Opens the stream (closing any open one). False, with `lastError()` set, on
    /// failure. Callbacks must be set before `start()`.
    virtual bool configure(const AudioDeviceConfig& config) = 0;
    /// Starts the open stream; false when there is none or the device refuses.
    virtual bool start() = 0;
    /// Stops the stream; false when it cannot be stopped. Returns once no callback runs.
    virtual bool stop() = 0;
    virtual bool running() const = 0;
    /// Stops and closes the stream; `configure` opens it again.
    virtual void close() = 0;

    /// The rate of the open stream (the preferred rate until one is open).
    virtual double sampleRate() const = 0;
    /// Frames per buffer of the open stream.
    virtual uint32_t bufferFrames() const = 0;
    /// Whether the open stream captures the microphone.
    virtual bool duplex() const = 0;

    virtual std::string lastError() const = 0;
    /// Whether the device renders at its own pace once started (a sound card, the
    /// null device), so that a running device that renders nothing for a while
    /// has stopped answering; false for a device a test drives by hand.
    virtual bool pacedByItself() const { return true; }

    /// Whether the last `configure` was refused by a server that does answer:
    /// another try at once may open (see FailoverAudioDevice).
    virtual bool mayOpenOnAnotherTry() const { return false; }

    /// A new, unopened device of the same kind, for a device that can be opened
    /// afresh on another thread while this one is lost (see
    /// FailoverAudioDevice::reopening); null for one that is only reopened in place.
    virtual std::unique_ptr<AudioDevice> makeAnother() const { return nullptr; }

    /// Under- and overruns the device reported since it was made (any thread).
    virtual uint64_t xruns() const { return xruns_.load(std::memory_order_relaxed); }

    /// Asked on the audio thread right after a buffer was rendered: whether every
    /// buffer will be silent until the next `wake()`. A device that can (the null
    /// device) then stops rendering until woken, and goes on at the first buffer
    /// of its frame clock that is not yet due, as if it had rendered the silence
    /// in between. Same rules as the render callback. Set before `start()`.
    using RestCheck = std::function<bool()>;
    void setRestCheck(RestCheck check) { restCheck_ = std::move(check); }
    /// Something may sound soon (a request went to the render): a resting device
    /// renders again from its next due buffer on. Any thread, real-time ones too:
    /// never allocates, locks or waits.
    virtual void wake() noexcept {}
    /// Whether the device rests: it renders nothing, and keeps time (any thread).
    virtual bool resting() const { return false; }

    void setRenderCallback(RenderCallback callback) { render_ = std::move(callback); }
    void setInputCallback(InputCallback callback) { input_ = std::move(callback); }
    void setEventHandler(EventHandler handler) { events_ = std::move(handler); }

    /// Installs the tap that sees every rendered buffer, or none. Any thread but
    /// the audio thread; once it returns, the audio thread no longer calls the
    /// tap it replaced, which may then be destroyed.
    void setOutputTap(AudioOutputTap* tap);
    AudioOutputTap* outputTap() const { return tap_.load(std::memory_order_acquire); }

protected:
    /// Calls the render callback, then the output tap, on the audio thread.
    void renderOutput(uint32_t frames, uint64_t hostTimeNanos, int32_t* left, int32_t* right) {
        if (render_) render_(frames, hostTimeNanos, left, right);
        tapBusy_.fetch_add(1, std::memory_order_seq_cst);
        if (AudioOutputTap* tap = tap_.load(std::memory_order_seq_cst)) tap->tapOutput(frames, sampleRate(), left, right);
        tapBusy_.fetch_sub(1, std::memory_order_release);
    }

    /// Called by the device on its audio thread when the stream under- or overran.
    void countXrun() { xruns_.fetch_add(1, std::memory_order_relaxed); }

    /// Audio thread, after a buffer: whether the device may rest until woken. Never
    /// while an output tap is installed: it wants every buffer.
    bool mayRest() const { return restCheck_ && outputTap() == nullptr && restCheck_(); }

    RenderCallback render_;
    RestCheck restCheck_;
    InputCallback input_;
    EventHandler events_;

private:
    std::atomic<uint64_t> xruns_{0};
    std::atomic<AudioOutputTap*> tap_{nullptr};
    std::atomic<uint32_t> tapBusy_{0};
};

/// The real device of this machine, unopened: the first of JACK, PulseAudio
/// and ALSA that opens, tried when it is configured (which counts and opens
/// the sound systems' devices, and so belongs on the JACK opener's thread).
/// The null device where no sound system is compiled in, or when the
/// environment variable STROMBEL_AUDIO=null asks for it. Touches no device.
std::unique_ptr<AudioDevice> makeAudioDevice();

}  // namespace strombel::platform

namespace strombel::platform {

/// The host time of each buffer, from a frame counter anchored to the monotonic
/// clock when the stream starts: buffer k starts at anchor + frames(k) / rate.
class BufferTimeline {
public:
    void anchor(uint64_t hostTimeNanos, double sampleRate) {
        anchorNanos_ = hostTimeNanos;
        sampleRate_ = sampleRate > 0 ? sampleRate : 44100.0;
        frames_ = 0;
    }
    /// The host time of the next buffer's first frame; then counts `frames` more.
    uint64_t next(uint32_t frames) {
        uint64_t time = timeOf(frames_);
        frames_ += frames;
        return time;
    }
    uint64_t framesCounted() const { return frames_; }
    /// Counts whole buffers of `frames` without their being rendered, up to the
    /// first whose first frame is at or after `hostTimeNanos`.
    void skipTo(uint64_t hostTimeNanos, uint32_t frames) {
        if (frames == 0 || timeOf(frames_) >= hostTimeNanos) return;
        // Whole buffers that end at or before the time, then the one that starts at or after it.
        const double behind =
            static_cast<double>(hostTimeNanos - anchorNanos_) * sampleRate_ * 1e-9 - static_cast<double>(frames_);
        if (behind > 0) frames_ += static_cast<uint64_t>(behind / frames) * frames;
        while (timeOf(frames_) < hostTimeNanos) frames_ += frames;
    }

private:
    uint64_t timeOf(uint64_t frames) const {
        return anchorNanos_ + static_cast<uint64_t>(static_cast<double>(frames) * 1e9 / sampleRate_);
    }

    uint64_t anchorNanos_ = 0;
    double sampleRate_ = 44100.0;
    uint64_t frames_ = 0;
};

}  // namespace strombel::platform
