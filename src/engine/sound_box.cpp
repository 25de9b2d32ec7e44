// Set-up, start and stop, parameters, recording, export and the observer list.

#include "engine/sound_box.h"

#include <algorithm>
#include <cmath>
#include <filesystem>

#include "logging/log.h"
#include "platform/devices/null_audio_device.h"
#include "platform/host_time.h"

namespace strombel::engine {

namespace {

std::unique_ptr<SoundBox>& sharedSlot() {
    static std::unique_ptr<SoundBox> engine;
    return engine;
}

constexpr size_t kMaxBlockFrames = 512;

float clampParameter(float value, float low, float high, float current) {
    if (!(value == value)) return current;
    return std::clamp(value, low, high);
}

}  // namespace

SoundBox& SoundBox::shared() {
    auto& slot = sharedSlot();
    if (!slot) {
        slot = std::make_unique<SoundBox>(std::make_unique<platform::FailoverAudioDevice>(
                                              platform::makeAudioDevice(), nullptr, &platform::JackOpener::shared()),
                                          platform::Sandbox::shared(), platform::MainLoop::shared());
    }
    return *slot;
}

void SoundBox::setShared(std::unique_ptr<SoundBox> engine) { sharedSlot() = std::move(engine); }

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

SoundBox::SoundBox(std::unique_ptr<platform::AudioDevice> device, const platform::Sandbox& sandbox,
                   platform::MainLoop& mainLoop, SoundLibrary* library)
    : device_(withStandIn(std::move(device))), sandbox_(sandbox), mainLoop_(mainLoop) {
    delegates_.reserve(2);
    metronomeClickOn1File_ = std::string(platform::Sandbox::kBundleFolderName) + "/metronomeOn1.wav";
    metronomeClickOn234File_ = std::string(platform::Sandbox::kBundleFolderName) + "/metronomeOn234.wav";
    effectBufferL_.assign(kEffectWindowFrames, 0.0f);
    effectBufferR_.assign(kEffectWindowFrames, 0.0f);
    for (auto* scratch : {&scratchA_, &scratchB_, &scratchC_, &scratchD_}) scratch->assign(kEffectWindowFrames, 0.0f);
    outL_.assign(kMaxBlockFrames, 0);
    outR_.assign(kMaxBlockFrames, 0);
    sizeEchoHistories(sampleRate_.load());
    eventSignal_ = mainLoop_.addSignal([this] { deliverPendingEvents(); });
    preloader_ = platform::Worker("sound preloader", [this] { preloaderMain(); }, [this] {
        preloaderStopping_.store(true);
        preloadWakeup_.signal();
    });

    device_->setRenderCallback([this](uint32_t frames, uint64_t time, int32_t* left, int32_t* right) {
        soundBoxRenderCallback(frames, time, left, right);
    });
    device_->setInputCallback(
        [this](uint32_t frames, uint64_t time, const int32_t* mono) { recordingInputCallback(frames, time, mono); });
    device_->setRestCheck([this] { return outputRests(); });
    std::weak_ptr<int> alive = lifeToken_;
    device_->setEventHandler([this, alive](const platform::AudioDeviceEvent& event) {
        mainLoop_.post([this, alive, event] {
            if (alive.lock()) applyDeviceEvent(event);
        });
    });

    device_->setMainLoop(mainLoop_);
    setup(false);
    setLibrary(library);
    // A device that did not open at start (a JACK server not there yet) is
    // watched for like one lost later; the stand-in plays meanwhile.
    if (audioUnitErrorState_ != 0 && device_->opensAfresh()) outputNotOpened(device_->lastError());
    start();
    sweepTimer_ = mainLoop_.scheduleRepeating(60 * platform::kNanosPerSecond, [this] { clearUnusedCache(); });
    if (device_->device().pacedByItself())
        answerCheck_ = mainLoop_.scheduleRepeating(kOutputAnswerCheckInterval, [this] { checkOutputAnswers(); });
}

SoundBox::~SoundBox() {
    mainLoop_.cancel(sweepTimer_);
    if (outputWatch_) mainLoop_.cancel(outputWatch_);
    if (answerCheck_) mainLoop_.cancel(answerCheck_);
    if (heldCountersTimer_) mainLoop_.cancel(heldCountersTimer_);
    mainLoop_.removeSignal(eventSignal_);
    if (recorder_.running()) stopSampleRecord();
    device_->stop();
    device_->close();
    device_->setRenderCallback({});
    device_->setInputCallback({});
    device_->setRestCheck({});
    device_->setEventHandler({});
    if (library_) library_->removeDelegate(this);
    for (SoundBoxDelegate* delegate : delegates_) {
        auto& engines = delegate->observedEngines_;
        engines.erase(std::remove(engines.begin(), engines.end(), this), engines.end());
    }
    preloader_.stop();
}

void SoundBox::setLibrary(SoundLibrary* library) {
    STROMBEL_EXPECT_THREAD(kMainLoopThread);
    if (library_) library_->removeDelegate(this);
    library_ = library;
    if (library_) library_->addDelegate(this);
    reloadTracks();
    reloadSoundbanks();
}

// --- Set-up ------------------------------------------------------------------

double SoundBox::preferredBufferDuration(const std::string& machine) {
    for (const char* slow : {"iPhone1", "iPhone2", "iPhone3", "iPod1", "iPod2", "iPod3"}) {
        if (machine.rfind(slow, 0) == 0) return 0.01;
    }
    return 0.005;
}

void SoundBox::setup(bool recording) {
    STROMBEL_EXPECT_THREAD(kMainLoopThread);
    setupAudioSession(recording);
    setupAudioUnit(recording);
    observingDevice_ = true;
}

void SoundBox::teardown() {
    STROMBEL_EXPECT_THREAD(kMainLoopThread);
    stop();
    observingDevice_ = false;
    device_->close();
}

void SoundBox::setupAudioSession(bool recording) {
    STROMBEL_EXPECT_THREAD(kMainLoopThread);
    (void)recording;
    STROMBEL_LOG_DEBUG("setup audio session");
    // 44100 Hz is asked of the device (setupAudioUnit); the engine's rate stays
    // the one it runs at until the device gives another, so that switching the
    // microphone on and off at 48 kHz rebuilds nothing.
    std::string machine = platform::devicePlatform();
    STROMBEL_LOG_DEBUG("current device: {}", machine);
    preferredBufferDuration_ = preferredBufferDuration(machine);
    if (preferredBufferDuration_ > 0.005) {
        STROMBEL_LOG_DEBUG(" ** increasing latency, device {} not powerful enough **", machine);
    }
    STROMBEL_LOG_DEBUG("preferred IO buffer duration: {:.3f}", preferredBufferDuration_);
}

void SoundBox::setupAudioUnit(bool recording) {
    STROMBEL_EXPECT_THREAD(kMainLoopThread);
    platform::AudioDeviceConfig config;
    config.duplex = recording;
    config.preferredSampleRate = 44100.0;
    config.bufferDuration = preferredBufferDuration_;
    if (device_->configure(config)) {
        audioUnitErrorState_ = 0;
        double rate = device_->sampleRate();
        if (rate > 0 && rate != sampleRate_.load()) {
            // The engine runs at the device's rate. No callback runs while the
            // stream is being set up: the echo histories are sized for it here.
            // Frames are decoded at the engine's rate: a new rate needs new tracks.
            sampleRate_.store(rate);
            sizeEchoHistories(rate);
            if (!tables_.current()->tracksByFilePath.empty()) reloadTracks();
        }
    } else {
        audioUnitErrorState_ = -1;
        // A device opened off the main loop says why in words of its own (outputNotOpened).
        if (!device_->opensAfresh())
            STROMBEL_LOG_ERROR("OSStatus error: ({}) {}, {}", audioUnitErrorState_, device_->name(),
                               device_->lastError());
    }
}

bool SoundBox::start() { return startOverrideIsPlayingCheck(false); }

bool SoundBox::startOverrideIsPlayingCheck(bool overrideCheck) {
    STROMBEL_EXPECT_THREAD(kMainLoopThread);
    if (!overrideCheck && running()) return false;
    if (!device_->start()) {
        STROMBEL_LOG_ERROR("OSStatus error: ({}) {}, {}", -1, device_->name(), device_->lastError());
        return false;
    }
    STROMBEL_LOG_DEBUG("SoundBox AudioUnit started");
    return true;
}

bool SoundBox::stop() {
    STROMBEL_EXPECT_THREAD(kMainLoopThread);
    stopAllTracks();
    if (!device_->stop()) {
        STROMBEL_LOG_ERROR("OSStatus error: ({}) {}, {}", -1, device_->name(), device_->lastError());
        return false;
    }
    STROMBEL_LOG_DEBUG("SoundBox AudioUnit halted");
    currentVolumeLeftChannel_.store(0.0f);
    currentVolumeRightChannel_.store(0.0f);
    return true;
}

bool SoundBox::running() const { return device_->running(); }

void SoundBox::sizeEchoHistories(double rate) {
    const auto frames = static_cast<int32_t>(kEchoHistorySeconds * rate);
    if (echoBufferLeft_ && echoBufferLeft_->maxTotalBufSize() == frames) return;
    echoBufferLeft_ = std::make_unique<EchoBuffer>(frames);
    echoBufferRight_ = std::make_unique<EchoBuffer>(frames);
}

void SoundBox::applyDeviceEvent(const platform::AudioDeviceEvent& event) {
    switch (event.type) {
    case platform::AudioDeviceEvent::Type::InterruptionBegan:
        if (observingDevice_) audioInterruption(true);
        break;
    case platform::AudioDeviceEvent::Type::InterruptionEnded:
        if (observingDevice_) audioInterruption(false);
        break;
    case platform::AudioDeviceEvent::Type::RouteChanged: audioRouteChanged(event.routeChangeReason); break;
    case platform::AudioDeviceEvent::Type::Lost: audioOutputLost(event.reason); break;
    case platform::AudioDeviceEvent::Type::Opened: outputOpened(); break;
    case platform::AudioDeviceEvent::Type::NotOpened: outputNotOpened(event.reason); break;
    }
}

bool SoundBox::outputLost() const { return device_->standingIn(); }

void SoundBox::audioOutputLost(const std::string& reason) {
    STROMBEL_EXPECT_THREAD(kMainLoopThread);
    if (outputWatch_) return;  // told already; the output is looked for
    const std::string lost = device_->name();
    device_->fallBack();
    const std::string message = "No sound output: " + (reason.empty() ? lost + " failed" : reason) +
                                ". Strombel plays on in silence and takes the sound output up again as soon as it "
                                "is back.";
    STROMBEL_LOG_ERROR("{}", message);
    outputWatch_ = mainLoop_.scheduleRepeating(kOutputWatchInterval, [this] { watchForOutput(); });
    informDelegatesOfOutput(false, message);
}

void SoundBox::outputNotOpened(const std::string& reason) {
    STROMBEL_EXPECT_THREAD(kMainLoopThread);
    if (outputWatch_) return;  // quietly: the output is looked for every two seconds
    device_->fallBack();
    const std::string message =
        (reason.empty() ? device_->device().name() + " could not be opened" : reason) +
        ". Strombel plays to the null device, which is silent, and takes the sound output up as soon as it opens.";
    STROMBEL_LOG_ERROR("{}", message);
    outputWatch_ = mainLoop_.scheduleRepeating(kOutputWatchInterval, [this] { watchForOutput(); });
    // Told on the main loop: at start, the observers are added after the engine is made.
    std::weak_ptr<int> alive = lifeToken_;
    mainLoop_.post([this, alive, message] {
        if (alive.lock() && outputWatch_) informDelegatesOfOutputNotOpened(message);
    });
}

void SoundBox::watchForOutput() {
    STROMBEL_EXPECT_THREAD(kMainLoopThread);
    // A device opened off the main loop answers later, with an event.
    if (!device_->standingIn() || !device_->reopen()) return;  // quietly: the next look is in two seconds
    outputIsBack();
}

void SoundBox::outputOpened() {
    STROMBEL_EXPECT_THREAD(kMainLoopThread);
    // Taken up quietly when nothing was told (an output that opened late at start).
    if (!outputWatch_) {
        followOutputRate();
        return;
    }
    outputIsBack();
}

void SoundBox::outputIsBack() {
    mainLoop_.cancel(outputWatch_);
    outputWatch_ = 0;
    followOutputRate();
    const std::string message = "Sound is back: Strombel plays through " + device_->name() + " again.";
    STROMBEL_LOG_WARN("{}", message);
    informDelegatesOfOutput(true, message);
}

void SoundBox::followOutputRate() {
    const double rate = device_->sampleRate();
    if (rate > 0 && rate != sampleRate_.load()) {
        // An output at another rate (a server that came back at another one):
        // what was made for the old one is made again while no callback runs.
        const bool wasRunning = device_->running();
        device_->stop();
        sampleRate_.store(rate);
        sizeEchoHistories(rate);
        if (!tables_.current()->tracksByFilePath.empty()) reloadTracks();
        if (wasRunning) device_->start();
    }
}

void SoundBox::checkOutputAnswers() {
    const uint64_t buffers = device_->deviceBuffers();
    // An opening the server keeps waiting, with nothing told yet, is an output
    // that does not answer; a resting device renders nothing by design, until
    // a request wakes it.
    const bool openingUnanswered = device_->standingIn() && device_->opening() && !outputWatch_;
    if (!openingUnanswered &&
        (device_->standingIn() || !device_->running() || device_->resting() || buffers != buffersSeen_)) {
        buffersSeen_ = buffers;
        quietChecks_ = 0;
        return;
    }
    if (++quietChecks_ < 2) return;
    quietChecks_ = 0;
    audioOutputLost("the sound output stopped answering");
}

void SoundBox::audioInterruption(bool began) {
    if (began) {
        stop();
        return;
    }
    if (!start()) {
        teardown();
        setup(false);
        start();
    }
}

void SoundBox::audioRouteChanged(int reason) {
    if (!running() || reason != platform::kRouteChangeReasonOldDeviceUnavailable) return;
    STROMBEL_LOG_INFO("Audio output device was removed; stopping audio playback.");
    stopAllTracks();
    clearEchoBuffer();
    std::weak_ptr<int> alive = lifeToken_;
    mainLoop_.post([this, alive] {
        if (alive.lock()) informDelegatesOfAudioRouteChanged();
    });
}

// --- Parameters ----------------------------------------------------------------

void SoundBox::setVolume(float value) { volume_.store(clampParameter(value, 0.0f, 1.0f, volume_.load())); }
void SoundBox::setEffectWetness(float value) {
    effectWetness_.store(clampParameter(value, 0.0f, 1.0f, effectWetness_.load()));
}
void SoundBox::setPitchAmount(float value) { pitchAmount_.store(clampParameter(value, 0.0f, 1.0f, pitchAmount_.load())); }
void SoundBox::setDelayIntensity(float value) {
    delayIntensity_.store(clampParameter(value, 0.0f, 1.0f, delayIntensity_.load()));
}
void SoundBox::setDelayTime(float value) { delayTime_.store(clampParameter(value, 0.0f, 2.9f, delayTime_.load())); }
void SoundBox::setReverbAmount(float value) {
    reverbAmount_.store(clampParameter(value, 0.0f, 1.0f, reverbAmount_.load()));
}
void SoundBox::setCutOffAmount(float value) {
    cutOffAmount_.store(clampParameter(value, 0.0f, 1.0f, cutOffAmount_.load()));
}
void SoundBox::setPhaseAmount(float value) { phaseAmount_.store(clampParameter(value, 0.0f, 1.0f, phaseAmount_.load())); }
void SoundBox::setCrushAmount(float value) { crushAmount_.store(clampParameter(value, 0.0f, 1.0f, crushAmount_.load())); }

void SoundBox::clearEchoBuffer() {
    sendCommand([](Command& command) { command.type = Command::Type::clearEcho; });
}

// --- Recording -------------------------------------------------------------------

SoundBox::SampleRecordStart SoundBox::startSampleRecord() {
    STROMBEL_EXPECT_THREAD(kMainLoopThread);
    using Problem = SampleRecordStart::Problem;
    SampleRecordStart started;
    if (recorder_.running()) {
        started.problem = Problem::alreadyRecording;
        return started;
    }
    // The null device, and the stand-in for a lost device, have no microphone:
    // nothing to open, and no reason to stop what plays.
    if (device_->standingIn() || dynamic_cast<platform::NullAudioDevice*>(&device_->device())) {
        STROMBEL_LOG_INFO("can't record: no sound device is open");
        started.problem = Problem::noSoundDevice;
        started.reason = device_->name();
        return started;
    }
    auto restoreOutput = [this] {
        teardown();
        setup(false);
        start();
    };
    teardown();
    setupAudioSession(true);
    setupAudioUnit(true);
    if (audioUnitErrorState_ != 0 || !device_->duplex()) {
        started.reason = device_->lastError();
        STROMBEL_LOG_ERROR("can't record: the microphone could not be opened ({})", started.reason);
        started.problem = Problem::microphone;
        restoreOutput();
        return started;
    }
    std::filesystem::path path = sandbox_.caches() / kSampleRecordFileName;
    std::error_code ignored;
    std::filesystem::create_directories(path.parent_path(), ignored);
    // The file takes the rate the microphone really captures.
    const double rate = device_->sampleRate();
    if (!recorder_.begin(path, rate, started.reason)) {
        STROMBEL_LOG_ERROR("can't record: {} ({})", path.string(), started.reason);
        started.problem = Problem::file;
        restoreOutput();
        return started;
    }
    observingDevice_ = true;
    if (!start()) {
        started.reason = device_->lastError();
        started.problem = Problem::microphone;
        recorder_.abandon(path);
        restoreOutput();
        return started;
    }
    started.path = path.string();
    return started;
}

SoundBox::SampleRecordEnd SoundBox::stopSampleRecord() {
    STROMBEL_EXPECT_THREAD(kMainLoopThread);
    SampleRecordEnd ended;
    if (!recorder_.running()) return ended;
    recorder_.stopInput();
    ended.inputLostAtEnd = device_->standingIn();
    teardown();
    setupAudioSession(false);
    setupAudioUnit(false);
    observingDevice_ = true;
    start();
    const Recorder::Ending take = recorder_.finish();
    ended.silencedSeconds = take.silencedSeconds;
    ended.written = take.written;
    if (!ended.written) {
        ended.error = take.error;
        STROMBEL_LOG_ERROR("the recording could not be written: {}", ended.error);
    }
    return ended;
}

// --- Offline export ------------------------------------------------------------------

bool SoundBox::exportEvents(const std::vector<ExportEvent>& events, const std::string& path, double duration,
                            const std::function<void(float)>& progress) {
    return writeExport(events, path, duration, progress).ok();
}

platform::Result<void> SoundBox::writeExport(const std::vector<ExportEvent>& events, const std::string& path,
                                             double duration, const std::function<void(float)>& progress) {
    if (progress) progress(0.0f);
    stopAllTracks();
    const ExportOutcome outcome = exporter_.render(events, exportTracks(events), path, duration, progress, {});
    if (outcome.status != ExportOutcome::Status::written) {
        return platform::Error::make(kSoundBoxExportErrorDomain, 1, outcome.error);
    }
    return {};
}

std::unique_ptr<ExportJob> SoundBox::startExport(std::vector<ExportEvent> events, std::string path, double duration,
                                                 std::function<void(float)> progress,
                                                 std::function<void(const ExportOutcome&)> done) {
    STROMBEL_EXPECT_THREAD(kMainLoopThread);
    if (progress) progress(0.0f);
    stopAllTracks();
    Exporter::Tracks tracks = exportTracks(events);
    return exporter_.start(std::move(events), std::move(tracks), std::move(path), duration, std::move(progress),
                           std::move(done));
}

Exporter::Tracks SoundBox::exportTracks(const std::vector<ExportEvent>& events) const {
    Exporter::Tracks tracks;
    for (const ExportEvent& event : events) {
        if (tracks.count(event.sampleFilePath())) continue;
        if (auto track = lookUp(event.sampleFilePath())) tracks.emplace(event.sampleFilePath(), std::move(track));
    }
    return tracks;
}

// --- Observers -----------------------------------------------------------------------

void SoundBox::addDelegate(SoundBoxDelegate* delegate) {
    STROMBEL_EXPECT_THREAD(kMainLoopThread);
    if (!delegate || std::find(delegates_.begin(), delegates_.end(), delegate) != delegates_.end()) return;
    delegates_.push_back(delegate);
    delegate->observedEngines_.push_back(this);
}

void SoundBox::removeDelegate(SoundBoxDelegate* delegate) {
    STROMBEL_EXPECT_THREAD(kMainLoopThread);
    delegates_.erase(std::remove(delegates_.begin(), delegates_.end(), delegate), delegates_.end());
    if (delegate) {
        auto& engines = delegate->observedEngines_;
        engines.erase(std::remove(engines.begin(), engines.end(), this), engines.end());
    }
}

}  // namespace strombel::engine
