#pragma once

// The engine's hold on its sound output: the device with the null device behind
// it, its set-up (rate, buffer duration, duplex for the microphone), and what
// keeps sound going when the output goes: a lost output (or one that stopped
// answering, or never opened) falls back to the null device at the same rate, is
// looked for every watch interval, and is taken up again once it opens. What the
// engine must do about it (follow a new rate, tell its observers, stop what plays
// on a route change or an interruption) comes back through a Listener.

#include <cstdint>
#include <memory>
#include <string>

#include "platform/devices/audio_device.h"
#include "platform/devices/failover_audio_device.h"
#include "platform/main_loop.h"

namespace strombel::engine {

class DeviceSession {
public:
    /// What the session asks of the engine, on the main loop.
    class Listener {
    public:
        /// The device's rate may differ from the engine's: follow it.
        virtual void sessionOutputOpened() = 0;
        /// The output was lost, came back, or could not be opened (`message` in words for the user).
        virtual void sessionOutputLost(const std::string& message) = 0;
        virtual void sessionOutputRestored(const std::string& message) = 0;
        virtual void sessionOutputNotOpened(const std::string& message) = 0;
        /// The device reported an interruption (while observed) or a route change.
        virtual void sessionInterruption(bool began) = 0;
        virtual void sessionRouteChanged(int reason) = 0;

    protected:
        ~Listener() = default;
    };

    /// Takes `device` with the null device behind it (one that has its stand-in
    /// already is taken as it is), on `mainLoop`, telling `listener`.
    DeviceSession(std::unique_ptr<platform::AudioDevice> device, platform::MainLoop& mainLoop, Listener& listener);
    ~DeviceSession();
    DeviceSession(const DeviceSession&) = delete;
    DeviceSession& operator=(const DeviceSession&) = delete;

    platform::FailoverAudioDevice& device() { return *device_; }
    const platform::FailoverAudioDevice& device() const { return *device_; }

    /// The preferred I/O buffer duration chosen for a machine identifier.
    static double preferredBufferDuration(const std::string& machineIdentifier);
    /// Chooses the buffer duration for this machine.
    void chooseBufferDuration();
    /// Configures the device at 44100 Hz (asked; it may give another rate),
    /// `duplex` with the microphone; false, with `errorState` -1, when it fails.
    bool configure(bool duplex);
    int32_t errorState() const { return errorState_; }
    /// Starts or stops the device's stream, logging a failure.
    bool start();
    bool stop();
    bool running() const { return device_->running(); }
    /// Whether interruptions are heeded (between set-up and teardown).
    void setObserving(bool observing) { observing_ = observing; }
    /// Closes the device's stream.
    void close() { device_->close(); }

    /// The output is lost (`reason` in words): the null device renders in its
    /// place; told once, then looked for every `kWatchInterval`.
    void lost(const std::string& reason);
    /// The output could not be opened: told once (on the main loop, after the
    /// engine's observers are added), then looked for every watch interval.
    void notOpened(const std::string& reason);
    /// Whether the output is lost and the null device renders in its place.
    bool outputLost() const { return device_->standingIn(); }
    /// Checks every `kAnswerCheckInterval` that a self-paced device still renders.
    void startAnswerChecks();
    /// Main loop, every answer check interval: whether the device still renders.
    void checkAnswers();
    /// Cancels the watch and the checks; stopped and closed, the device tells nothing more.
    void shutDown();
    void detach();

    static constexpr uint64_t kWatchInterval = 2'000'000'000;
    static constexpr uint64_t kAnswerCheckInterval = 1'000'000'000;

private:
    void applyEvent(const platform::AudioDeviceEvent& event);
    /// Every watch interval while the output is lost: tries it again (a device
    /// that opens afresh answers later, with an event).
    void watch();
    /// A device opened off the main loop renders in the stand-in's place.
    void opened();
    void isBack();

    std::unique_ptr<platform::FailoverAudioDevice> device_;
    platform::MainLoop& mainLoop_;
    Listener& listener_;
    double preferredBufferDuration_ = 0.005;
    int32_t errorState_ = 0;
    bool observing_ = false;
    platform::MainLoop::TimerId watch_ = 0;  // set while a lost or unopened output was told
    platform::MainLoop::TimerId answerCheck_ = 0;
    uint64_t buffersSeen_ = 0;
    int quietChecks_ = 0;
    std::shared_ptr<int> lifeToken_ = std::make_shared<int>(0);
};

}  // namespace strombel::engine
