#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <string>

#include "platform/devices/audio_device.h"
#include "platform/devices/jack_opener.h"

namespace strombel::platform {

class MainLoop;

/// A device with a stand-in behind it. While the device plays, the stand-in
/// rests; once the device is lost (its sound server went away, its card failed),
/// `fallBack` lets the stand-in (the null device, unless another is given) run
/// in its place at the same rate and buffer size, so that the engine's clock,
/// the sequencer and the screen go on; `reopen` tries the device again.
///
/// To the engine it is one device: its callbacks, its output tap and its events
/// are the device's, whichever of the two renders. The device's events are
/// passed on; the stand-in's are not.
///
/// A device that opens afresh (`makeAnother`: the sound server's clients) is
/// never called on the main thread: each one is made there unopened, then
/// opened, started, stopped and closed on the JACK opener's thread, and the
/// stand-in renders until an opened one comes back. `configure` waits for the
/// opening at most `kOpeningPatience`; an answer that comes later is taken on
/// the main loop and reported as an `Opened` or `NotOpened` event. A device
/// let go of (lost, closed) is closed there too, and one whose close never
/// returns is left there.
///
/// Threads: everything but the callbacks on the main thread, as for any device.
class FailoverAudioDevice final : public AudioDevice {
public:
    /// How long `configure` waits for a device opened on the opener's thread.
    static constexpr std::chrono::milliseconds kOpeningPatience = JackOpener::kPatience;
    /// How often an opening is tried at once while the device's server refuses
    /// it but answers (`mayOpenOnAnotherTry`).
    static constexpr int kOpeningTries = 5;

    /// `standIn` plays while `device` cannot (the null device when none is
    /// given). `opener` runs the openings and closings of a device that opens
    /// afresh; such a device without one stops the program, saying so.
    FailoverAudioDevice(std::unique_ptr<AudioDevice> device, std::unique_ptr<AudioDevice> standIn, JackOpener* opener);
    ~FailoverAudioDevice() override;

    /// Where answers of the opener's thread are taken (a device that opens
    /// afresh). Required before `configure` of such a device.
    void setMainLoop(MainLoop& loop) { loop_ = &loop; }

    std::string name() const override;
    bool configure(const AudioDeviceConfig& config) override;
    bool start() override;
    bool stop() override;
    bool running() const override;
    void close() override;
    double sampleRate() const override;
    uint32_t bufferFrames() const override;
    bool duplex() const override;
    std::string lastError() const override;
    uint64_t xruns() const override { return xrunsBefore_ + device_->xruns() + standIn_->xruns(); }
    /// Wakes both: a wake must not miss the one that renders, whichever it is.
    /// (A device that opens afresh is swapped on the main thread while others
    /// wake: it is not woken, and must not rest.)
    void wake() noexcept override {
        if (!afresh_) device_->wake();
        standIn_->wake();
    }
    bool resting() const override;

    /// Whether the stand-in renders in the device's place.
    bool standingIn() const { return standingIn_; }
    /// Whether the device opens afresh on the opener's thread.
    bool opensAfresh() const { return afresh_; }
    /// Whether an opening of the device is under way on the opener's thread.
    bool opening() const { return opening_ != nullptr; }
    /// The device is lost: closes it (a lost device leaves alone whatever its
    /// server tore down) and lets the stand-in run in its place, started when
    /// the device was. Nothing happens when the stand-in already runs.
    void fallBack();
    /// Opens the device again as it was last configured; once it opens (and
    /// starts, when it was started) the stand-in stops and the device renders
    /// again. False, with nothing changed, while the device cannot be opened.
    /// A device that opens afresh is opened on the opener's thread (one opening
    /// at a time): false now, and an `Opened` event once it renders.
    bool reopen();

    /// The device (while one that opens afresh is away, an unopened one of its kind).
    AudioDevice& device() { return *device_; }
    /// Buffers the device (not the stand-in) rendered so far (any thread).
    uint64_t deviceBuffers() const { return deviceBuffers_.load(std::memory_order_relaxed); }
    AudioDevice& standIn() { return *standIn_; }

private:
    struct Gate;
    struct Answer;
    const AudioDevice& active() const { return standingIn_ ? *standIn_ : *device_; }
    AudioDevice& active() { return standingIn_ ? *standIn_ : *device_; }
    void wire(AudioDevice& inner, bool passEvents, std::shared_ptr<Gate> gate = nullptr);
    void report(AudioDeviceEvent::Type type, const std::string& reason = {});
    // Afresh: the stand-in renders in the device's place (configured as the engine wants it).
    void standIn(const AudioDeviceConfig& config);
    // Afresh: queues an opening of a new device as configured, unless one is under way.
    void beginOpening();
    // Afresh, main loop: takes what an opening answered; true when the device renders (or is ready to).
    bool takeAnswer(const std::shared_ptr<Answer>& answer, bool told);
    // Afresh: the open device goes to the opener's thread to be closed there.
    void letGo();
    // Afresh: hands rendering to the open device, or takes it back (waiting for a buffer under way).
    void handOver(bool toDevice);

    std::unique_ptr<AudioDevice> device_;
    std::unique_ptr<AudioDevice> standIn_;
    AudioDeviceConfig config_;
    bool configured_ = false;
    bool started_ = false;  // the engine wants the output running
    bool standingIn_ = false;
    std::atomic<uint64_t> deviceBuffers_{0};
    uint64_t xrunsBefore_ = 0;  // of devices let go of

    // A device that opens afresh: `device_` is open only while `open_`. What the
    // main thread knows of it comes from the opener's answers, never from the
    // device itself, which the opener's thread may be calling.
    const bool afresh_;
    JackOpener* const opener_;
    MainLoop* loop_ = nullptr;
    bool open_ = false;
    bool streamRunning_ = false;  // asked to run on the opener's thread
    double rate_ = 44100.0;
    uint32_t frames_ = 256;
    bool duplex_ = false;
    std::string error_;
    std::shared_ptr<Gate> gate_;        // the open device's
    std::shared_ptr<Answer> opening_;   // the opening under way, if any
    std::shared_ptr<int> life_ = std::make_shared<int>(0);  // answers reach this device while it lives
};

}  // namespace strombel::platform
