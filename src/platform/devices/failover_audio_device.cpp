#include "platform/devices/failover_audio_device.h"

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "platform/devices/jack_opener.h"
#include "platform/devices/null_audio_device.h"
#include "platform/main_loop.h"
#include "platform/required.h"

namespace strombel::platform {

/// What stands between a device that opens afresh and this one: its buffers
/// reach the engine only while `renders`, its events only while `held`. A
/// device let go of keeps calling its gate, which then leads nowhere.
struct FailoverAudioDevice::Gate {
    std::atomic<bool> renders{false};
    std::atomic<bool> held{false};
    std::atomic<int> inside{0};  // callbacks under way

    /// Waits until no callback that may have seen the gate open is under way
    /// (one never blocks: it ends within its buffer).
    void drain() const {
        while (inside.load() != 0) std::this_thread::yield();
    }
};

/// What an opening on the opener's thread answers, taken on the main loop.
struct FailoverAudioDevice::Answer {
    std::mutex mutex;
    std::condition_variable changed;
    bool ready = false;          // under mutex; the rest is the opener's until then
    bool taken = false;          // main loop
    AudioDeviceConfig config;    // as configured when it began
    std::shared_ptr<Gate> gate;  // the new device's
    OpenerOwned<AudioDevice> device;  // opened and started; null when it did not open
    double rate = 44100.0;
    uint32_t frames = 256;
    bool duplex = false;
    std::string error;
};

namespace {

bool sameConfig(const AudioDeviceConfig& a, const AudioDeviceConfig& b) {
    return a.duplex == b.duplex && a.preferredSampleRate == b.preferredSampleRate &&
           a.bufferDuration == b.bufferDuration;
}

}  // namespace

FailoverAudioDevice::FailoverAudioDevice(std::unique_ptr<AudioDevice> device, std::unique_ptr<AudioDevice> standIn,
                                         JackOpener* opener)
    : device_(std::move(device)),
      standIn_(standIn ? std::move(standIn) : std::make_unique<NullAudioDevice>()),
      afresh_(device_->makeAnother() != nullptr),
      opener_(opener) {
    if (afresh_) required(opener_, "the JACK opener of a FailoverAudioDevice that opens afresh");
    // A device that opens afresh stands for its kind: each one opened is wired as it is made.
    if (!afresh_) wire(*device_, true);
    wire(*standIn_, false);
}

FailoverAudioDevice::~FailoverAudioDevice() {
    if (afresh_) {
        close();
        // An opening under way finds nobody to hand its device to: it goes to be closed.
        life_.reset();
        destroyOnOpener(*opener_, std::move(device_));
    } else {
        device_->close();
    }
    standIn_->close();
    for (AudioDevice* inner : {device_.get(), standIn_.get()}) {
        if (!inner) continue;
        inner->setRenderCallback({});
        inner->setInputCallback({});
        inner->setRestCheck({});
        inner->setEventHandler({});
    }
}

void FailoverAudioDevice::wire(AudioDevice& inner, bool passEvents, std::shared_ptr<Gate> gate) {
    // The inner device calls back into this one, which hands the buffer to the
    // engine's callbacks and to this device's tap.
    inner.setRenderCallback([this, passEvents, gate](uint32_t frames, uint64_t hostTime, int32_t* left,
                                                     int32_t* right) {
        if (gate) {
            gate->inside.fetch_add(1);
            if (gate->renders.load()) {
                deviceBuffers_.fetch_add(1, std::memory_order_relaxed);
                renderOutput(frames, hostTime, left, right);
            }
            gate->inside.fetch_sub(1);
            return;
        }
        if (passEvents) deviceBuffers_.fetch_add(1, std::memory_order_relaxed);
        renderOutput(frames, hostTime, left, right);
    });
    inner.setInputCallback([this, gate](uint32_t frames, uint64_t hostTime, const int32_t* mono) {
        if (gate) {
            gate->inside.fetch_add(1);
            if (gate->renders.load() && input_) input_(frames, hostTime, mono);
            gate->inside.fetch_sub(1);
            return;
        }
        if (input_) input_(frames, hostTime, mono);
    });
    inner.setRestCheck([this, gate] { return !gate && mayRest(); });
    if (passEvents) {
        inner.setEventHandler([this, gate](const AudioDeviceEvent& event) {
            if (gate) {
                gate->inside.fetch_add(1);
                if (gate->held.load() && events_) events_(event);
                gate->inside.fetch_sub(1);
                return;
            }
            if (events_) events_(event);
        });
    }
}

void FailoverAudioDevice::report(AudioDeviceEvent::Type type, const std::string& reason) {
    AudioDeviceEvent event;
    event.type = type;
    event.reason = reason;
    if (events_) events_(event);
}

std::string FailoverAudioDevice::name() const {
    return standingIn_ ? standIn_->name() + " (for " + device_->name() + ")" : device_->name();
}

bool FailoverAudioDevice::configure(const AudioDeviceConfig& config) {
    config_ = config;
    configured_ = true;
    started_ = false;
    if (!afresh_) return active().configure(config);
    letGo();
    standIn(config);
    beginOpening();
    // The answer is waited for a while: a server that answers at all answers
    // within it. One that keeps the opening waiting (or an opener held by an
    // earlier call that never came back) is not waited for: the stand-in
    // renders meanwhile, and a late answer is taken when it comes.
    const auto deadline = std::chrono::steady_clock::now() + kOpeningPatience;
    const uint64_t patienceNanos = uint64_t(kOpeningPatience.count()) * 1'000'000;
    while (std::shared_ptr<Answer> answer = opening_) {
        if (opener_->busyNanos() > patienceNanos) break;
        {
            std::unique_lock lock(answer->mutex);
            if (!answer->changed.wait_until(lock, deadline, [&] { return answer->ready; })) break;
        }
        if (takeAnswer(answer, false)) return true;
        // Not opened (`error_` says why), or opened as configured before: then another opening began.
        if (!opening_) return false;
    }
    // Still opening: the stand-in plays meanwhile, unless it cannot do what was asked.
    const std::string standInError = standIn_->lastError();
    error_ = standInError.empty() ? "the sound output has not answered yet" : standInError;
    return standInError.empty();
}

void FailoverAudioDevice::standIn(const AudioDeviceConfig& config) {
    standIn_->stop();
    standingIn_ = true;
    standIn_->configure(config);
}

void FailoverAudioDevice::beginOpening() {
    if (opening_ || !configured_) return;
    auto answer = std::make_shared<Answer>();
    answer->config = config_;
    answer->gate = std::make_shared<Gate>();
    // Made here (making one touches nothing), opened there.
    std::unique_ptr<AudioDevice> made = device_->makeAnother();
    wire(*made, true, answer->gate);
    auto fresh = std::make_shared<OpenerOwned<AudioDevice>>(openerOwned(*opener_, std::move(made)));
    std::weak_ptr<int> alive = life_;
    const bool queued = opener_->run(
        required(loop_, "FailoverAudioDevice::setMainLoop"), [answer, fresh, alive, this]() -> JackOpener::Delivery {
            AudioDevice& device = **fresh;
            // Started at once: it renders silence until it is handed the engine.
            // A refusal by a server that answers is not the answer yet.
            bool opened = false;
            for (int tries = 1; !opened; ++tries) {
                opened = device.configure(answer->config) && device.start();
                if (tries == kOpeningTries || !device.mayOpenOnAnotherTry()) break;
            }
            {
                std::lock_guard lock(answer->mutex);
                answer->rate = device.sampleRate();
                answer->frames = device.bufferFrames();
                answer->duplex = device.duplex();
                answer->error = device.lastError();
                if (opened) answer->device = std::move(*fresh);
                answer->ready = true;
                answer->changed.notify_all();
            }
            fresh->reset();  // one that did not open goes here, on this thread
            return [answer, alive, this] {
                if (alive.lock() && !answer->taken) takeAnswer(answer, true);
            };
        });
    if (queued) opening_ = std::move(answer);
}

bool FailoverAudioDevice::takeAnswer(const std::shared_ptr<Answer>& answer, bool told) {
    answer->taken = true;
    if (opening_ == answer) opening_ = nullptr;
    if (!configured_ || !standingIn_ || !sameConfig(answer->config, config_)) {
        // What the engine wants changed meanwhile: what it opened goes, and one
        // as configured now is opened.
        answer->device.reset();
        beginOpening();
        return false;
    }
    if (!answer->device) {
        error_ = answer->error;
        if (told) report(AudioDeviceEvent::Type::NotOpened, error_);
        return false;
    }
    // The stand-in's thread ends before the device is swapped: the engine's
    // render asks this device (its underruns) from whichever thread renders.
    standIn_->stop();
    // The kind it was made from goes; the opened one stands for it from now on.
    destroyOnOpener(*opener_, std::move(device_));
    device_.reset(answer->device.release());
    gate_ = answer->gate;
    gate_->held.store(true);
    open_ = true;
    streamRunning_ = true;
    rate_ = answer->rate;
    frames_ = answer->frames;
    duplex_ = answer->duplex;
    error_.clear();
    standingIn_ = false;
    if (started_) {
        handOver(true);
    } else if (told) {
        // Stopped meanwhile. (Opened in `configure`, it is started next: it renders nothing until then.)
        streamRunning_ = false;
        AudioDevice* device = device_.get();
        opener_->close([device] { device->stop(); });
    }
    standIn_->close();
    if (told) report(AudioDeviceEvent::Type::Opened);
    return true;
}

void FailoverAudioDevice::handOver(bool toDevice) {
    if (!gate_) return;
    // No buffer is rendered by two threads at once: the stand-in has stopped
    // before the device renders, and the device renders no more before the
    // stand-in starts.
    gate_->renders.store(toDevice);
    if (!toDevice) gate_->drain();
}

void FailoverAudioDevice::letGo() {
    if (!open_) return;
    handOver(false);
    gate_->held.store(false);
    gate_->drain();
    gate_.reset();
    xrunsBefore_ += device_->xruns();
    std::unique_ptr<AudioDevice> kind = device_->makeAnother();
    // Closed there, and destroyed: a close that never returns holds the
    // opener's thread, not this one.
    destroyOnOpener(*opener_, std::move(device_));
    device_ = std::move(kind);
    open_ = false;
    streamRunning_ = false;
}

bool FailoverAudioDevice::start() {
    started_ = true;
    if (!afresh_ || standingIn_) return active().start();
    if (!open_) {
        error_ = "no open stream";
        return false;
    }
    if (!streamRunning_) {
        streamRunning_ = true;
        AudioDevice* device = device_.get();
        std::weak_ptr<int> alive = life_;
        std::shared_ptr<Gate> gate = gate_;
        opener_->run(required(loop_, "FailoverAudioDevice::setMainLoop"), [device, alive, gate, this] {
            if (device->start()) return JackOpener::Delivery();
            // A stream that will not start again is a lost one.
            return JackOpener::Delivery([alive, gate, this, reason = device->lastError()] {
                if (alive.lock() && gate_ == gate) report(AudioDeviceEvent::Type::Lost, reason);
            });
        });
    }
    handOver(true);
    return true;
}

bool FailoverAudioDevice::stop() {
    started_ = false;
    if (!afresh_ || standingIn_) return active().stop();
    if (open_ && streamRunning_) {
        handOver(false);
        streamRunning_ = false;
        AudioDevice* device = device_.get();
        opener_->close([device] { device->stop(); });
    }
    return true;
}

void FailoverAudioDevice::close() {
    started_ = false;
    if (!afresh_) {
        active().close();
        return;
    }
    // An opening under way finds nothing configured: what it opens goes.
    configured_ = false;
    standIn_->close();
    standingIn_ = false;
    letGo();
}

bool FailoverAudioDevice::running() const {
    if (!afresh_ || standingIn_) return active().running();
    return open_ && started_;
}

double FailoverAudioDevice::sampleRate() const {
    if (!afresh_ || standingIn_) return active().sampleRate();
    return open_ ? rate_ : config_.preferredSampleRate;
}

uint32_t FailoverAudioDevice::bufferFrames() const {
    if (!afresh_ || standingIn_) return active().bufferFrames();
    return open_ ? frames_ : 0;
}

bool FailoverAudioDevice::duplex() const {
    if (!afresh_ || standingIn_) return active().duplex();
    return open_ && duplex_;
}

std::string FailoverAudioDevice::lastError() const { return afresh_ ? error_ : active().lastError(); }

bool FailoverAudioDevice::resting() const { return (!afresh_ || standingIn_) && active().resting(); }

void FailoverAudioDevice::fallBack() {
    if (standingIn_) return;
    // The stand-in keeps the lost stream's rate and buffer, so that nothing the
    // engine made for that rate has to change.
    AudioDeviceConfig config = config_;
    const double rate = sampleRate();
    const uint32_t frames = bufferFrames();
    if (rate > 0) config.preferredSampleRate = rate;
    if (frames > 0) config.bufferDuration = double(frames) / config.preferredSampleRate;
    const bool wasStarted = started_;
    if (afresh_) {
        letGo();
    } else {
        device_->close();
    }
    standIn(config);
    if (wasStarted) standIn_->start();
}

bool FailoverAudioDevice::reopen() {
    if (!standingIn_) return true;
    if (afresh_) {
        beginOpening();
        return false;
    }
    if (!configured_ || !device_->configure(config_)) return false;
    // No buffer is rendered twice or by two threads at once: the stand-in's
    // thread ends before the device starts.
    standIn_->stop();
    if (started_ && !device_->start()) {
        device_->close();
        standIn_->start();
        return false;
    }
    standIn_->close();
    standingIn_ = false;
    return true;
}

}  // namespace strombel::platform
