// The sound output's set-up, its loss and its return.

#include "engine/device_session.h"

#include "logging/log.h"
#include "platform/host_time.h"
#include "platform/thread_role.h"

namespace strombel::engine {

namespace {

/// The device with a stand-in behind it; one that has its stand-in already is
/// taken as it is (a device that opens afresh comes so, with its JACK opener).
std::unique_ptr<platform::FailoverAudioDevice> withStandIn(std::unique_ptr<platform::AudioDevice> device) {
    if (auto* failover = dynamic_cast<platform::FailoverAudioDevice*>(device.get())) {
        static_cast<void>(device.release());
        return std::unique_ptr<platform::FailoverAudioDevice>(failover);
    }
    return std::make_unique<platform::FailoverAudioDevice>(std::move(device), nullptr, nullptr);
}

}  // namespace

DeviceSession::DeviceSession(std::unique_ptr<platform::AudioDevice> device, platform::MainLoop& mainLoop,
                             Listener& listener)
    : device_(withStandIn(std::move(device))), mainLoop_(mainLoop), listener_(listener) {
    std::weak_ptr<int> alive = lifeToken_;
    device_->setEventHandler([this, alive](const platform::AudioDeviceEvent& event) {
        mainLoop_.post([this, alive, event] {
            if (alive.lock()) applyEvent(event);
        });
    });
    device_->setMainLoop(mainLoop_);
}

DeviceSession::~DeviceSession() {
    shutDown();
    device_->setEventHandler({});
}

void DeviceSession::shutDown() {
    if (watch_) mainLoop_.cancel(watch_);
    if (answerCheck_) mainLoop_.cancel(answerCheck_);
    watch_ = answerCheck_ = 0;
}

void DeviceSession::detach() {
    device_->stop();
    device_->close();
    device_->setRenderCallback({});
    device_->setInputCallback({});
    device_->setRestCheck({});
    device_->setEventHandler({});
}

double DeviceSession::preferredBufferDuration(const std::string& machine) {
    for (const char* slow : {"iPhone1", "iPhone2", "iPhone3", "iPod1", "iPod2", "iPod3"}) {
        if (machine.rfind(slow, 0) == 0) return 0.01;
    }
    return 0.005;
}

void DeviceSession::chooseBufferDuration() {
    STROMBEL_LOG_DEBUG("setup audio session");
    // 44100 Hz is asked of the device (configure); the engine's rate stays the
    // one it runs at until the device gives another, so that switching the
    // microphone on and off at 48 kHz rebuilds nothing.
    std::string machine = platform::devicePlatform();
    STROMBEL_LOG_DEBUG("current device: {}", machine);
    preferredBufferDuration_ = preferredBufferDuration(machine);
    if (preferredBufferDuration_ > 0.005) {
        STROMBEL_LOG_DEBUG(" ** increasing latency, device {} not powerful enough **", machine);
    }
    STROMBEL_LOG_DEBUG("preferred IO buffer duration: {:.3f}", preferredBufferDuration_);
}

bool DeviceSession::configure(bool duplex) {
    platform::AudioDeviceConfig config;
    config.duplex = duplex;
    config.preferredSampleRate = 44100.0;
    config.bufferDuration = preferredBufferDuration_;
    if (device_->configure(config)) {
        errorState_ = 0;
        return true;
    }
    errorState_ = -1;
    // A device opened off the main loop says why in words of its own (notOpened).
    if (!device_->opensAfresh())
        STROMBEL_LOG_ERROR("OSStatus error: ({}) {}, {}", errorState_, device_->name(), device_->lastError());
    return false;
}

bool DeviceSession::start() {
    if (!device_->start()) {
        STROMBEL_LOG_ERROR("OSStatus error: ({}) {}, {}", -1, device_->name(), device_->lastError());
        return false;
    }
    STROMBEL_LOG_DEBUG("SoundBox AudioUnit started");
    return true;
}

bool DeviceSession::stop() {
    if (!device_->stop()) {
        STROMBEL_LOG_ERROR("OSStatus error: ({}) {}, {}", -1, device_->name(), device_->lastError());
        return false;
    }
    STROMBEL_LOG_DEBUG("SoundBox AudioUnit halted");
    return true;
}

void DeviceSession::applyEvent(const platform::AudioDeviceEvent& event) {
    switch (event.type) {
    case platform::AudioDeviceEvent::Type::InterruptionBegan:
        if (observing_) listener_.sessionInterruption(true);
        break;
    case platform::AudioDeviceEvent::Type::InterruptionEnded:
        if (observing_) listener_.sessionInterruption(false);
        break;
    case platform::AudioDeviceEvent::Type::RouteChanged: listener_.sessionRouteChanged(event.routeChangeReason); break;
    case platform::AudioDeviceEvent::Type::Lost: lost(event.reason); break;
    case platform::AudioDeviceEvent::Type::Opened: opened(); break;
    case platform::AudioDeviceEvent::Type::NotOpened: notOpened(event.reason); break;
    }
}

void DeviceSession::lost(const std::string& reason) {
    STROMBEL_EXPECT_THREAD(kMainLoopThread);
    if (watch_) return;  // told already; the output is looked for
    const std::string gone = device_->name();
    device_->fallBack();
    const std::string message = "No sound output: " + (reason.empty() ? gone + " failed" : reason) +
                                ". Strombel plays on in silence and takes the sound output up again as soon as it "
                                "is back.";
    STROMBEL_LOG_ERROR("{}", message);
    watch_ = mainLoop_.scheduleRepeating(kWatchInterval, [this] { watch(); });
    listener_.sessionOutputLost(message);
}

void DeviceSession::notOpened(const std::string& reason) {
    STROMBEL_EXPECT_THREAD(kMainLoopThread);
    if (watch_) return;  // quietly: the output is looked for every two seconds
    device_->fallBack();
    const std::string message =
        (reason.empty() ? device_->device().name() + " could not be opened" : reason) +
        ". Strombel plays to the null device, which is silent, and takes the sound output up as soon as it opens.";
    STROMBEL_LOG_ERROR("{}", message);
    watch_ = mainLoop_.scheduleRepeating(kWatchInterval, [this] { watch(); });
    // Told on the main loop: at start, the observers are added after the engine is made.
    std::weak_ptr<int> alive = lifeToken_;
    mainLoop_.post([this, alive, message] {
        if (alive.lock() && watch_) listener_.sessionOutputNotOpened(message);
    });
}

void DeviceSession::watch() {
    STROMBEL_EXPECT_THREAD(kMainLoopThread);
    // A device opened off the main loop answers later, with an event.
    if (!device_->standingIn() || !device_->reopen()) return;  // quietly: the next look is in two seconds
    isBack();
}

void DeviceSession::opened() {
    STROMBEL_EXPECT_THREAD(kMainLoopThread);
    // Taken up quietly when nothing was told (an output that opened late at start).
    if (!watch_) {
        listener_.sessionOutputOpened();
        return;
    }
    isBack();
}

void DeviceSession::isBack() {
    mainLoop_.cancel(watch_);
    watch_ = 0;
    listener_.sessionOutputOpened();
    const std::string message = "Sound is back: Strombel plays through " + device_->name() + " again.";
    STROMBEL_LOG_WARN("{}", message);
    listener_.sessionOutputRestored(message);
}

void DeviceSession::startAnswerChecks() {
    if (device_->device().pacedByItself())
        answerCheck_ = mainLoop_.scheduleRepeating(kAnswerCheckInterval, [this] { checkAnswers(); });
}

void DeviceSession::checkAnswers() {
    const uint64_t buffers = device_->deviceBuffers();
    // An opening the server keeps waiting, with nothing told yet, is an output
    // that does not answer; a resting device renders nothing by design, until
    // a request wakes it.
    const bool openingUnanswered = device_->standingIn() && device_->opening() && !watch_;
    if (!openingUnanswered &&
        (device_->standingIn() || !device_->running() || device_->resting() || buffers != buffersSeen_)) {
        buffersSeen_ = buffers;
        quietChecks_ = 0;
        return;
    }
    if (++quietChecks_ < 2) return;
    quietChecks_ = 0;
    lost("the sound output stopped answering");
}

}  // namespace strombel::engine
