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

SoundBox::SoundBox(std::unique_ptr<platform::AudioDevice> device, const platform::Sandbox& sandbox,
                   platform::MainLoop& mainLoop, SoundLibrary* library)
    : session_(std::move(device), mainLoop, *this), sandbox_(sandbox), mainLoop_(mainLoop) {
    delegates_.reserve(2);
    eventSignal_ = mainLoop_.addSignal([this] { deliverPendingEvents(); });

    session_.device().setRenderCallback([this](uint32_t frames, uint64_t time, int32_t* left, int32_t* right) {
        soundBoxRenderCallback(frames, time, left, right);
    });
    session_.device().setInputCallback(
        [this](uint32_t frames, uint64_t time, const int32_t* mono) { recordingInputCallback(frames, time, mono); });
    session_.device().setRestCheck([this] { return mixer_.rests(); });

    setup(false);
    setLibrary(library);
    // A device that did not open at start (a JACK server not there yet) is
    // watched for like one lost later; the stand-in plays meanwhile.
    if (session_.errorState() != 0 && session_.device().opensAfresh())
        session_.notOpened(session_.device().lastError());
    start();
    sweepTimer_ = mainLoop_.scheduleRepeating(60 * platform::kNanosPerSecond, [this] { clearUnusedCache(); });
    session_.startAnswerChecks();
}

SoundBox::~SoundBox() {
    mainLoop_.cancel(sweepTimer_);
    session_.shutDown();
    if (heldCountersTimer_) mainLoop_.cancel(heldCountersTimer_);
    mainLoop_.removeSignal(eventSignal_);
    if (recorder_.running()) stopSampleRecord();
    session_.detach();
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
    return DeviceSession::preferredBufferDuration(machine);
}

void SoundBox::setup(bool recording) {
    STROMBEL_EXPECT_THREAD(kMainLoopThread);
    setupAudioSession(recording);
    setupAudioUnit(recording);
    session_.setObserving(true);
}

void SoundBox::teardown() {
    STROMBEL_EXPECT_THREAD(kMainLoopThread);
    stop();
    session_.setObserving(false);
    session_.close();
}

void SoundBox::setupAudioSession(bool recording) {
    STROMBEL_EXPECT_THREAD(kMainLoopThread);
    (void)recording;
    session_.chooseBufferDuration();
}

void SoundBox::setupAudioUnit(bool recording) {
    STROMBEL_EXPECT_THREAD(kMainLoopThread);
    if (!session_.configure(recording)) return;
    double rate = session_.device().sampleRate();
    if (rate > 0 && rate != sampleRate()) {
        // The engine runs at the device's rate. No callback runs while the
        // stream is being set up: the echo histories are sized for it here.
        // Frames are decoded at the engine's rate: a new rate needs new tracks.
        mixer_.setSampleRate(rate);
        if (!tables_.current()->tracksByFilePath.empty()) reloadTracks();
    }
}

bool SoundBox::start() { return startOverrideIsPlayingCheck(false); }

bool SoundBox::startOverrideIsPlayingCheck(bool overrideCheck) {
    STROMBEL_EXPECT_THREAD(kMainLoopThread);
    if (!overrideCheck && running()) return false;
    return session_.start();
}

bool SoundBox::stop() {
    STROMBEL_EXPECT_THREAD(kMainLoopThread);
    stopAllTracks();
    if (!session_.stop()) return false;
    mixer_.resetPeaks();
    return true;
}

bool SoundBox::running() const { return session_.running(); }

bool SoundBox::outputLost() const { return session_.outputLost(); }

void SoundBox::audioOutputLost(const std::string& reason) { session_.lost(reason); }

void SoundBox::followOutputRate() {
    const double rate = session_.device().sampleRate();
    if (rate > 0 && rate != sampleRate()) {
        // An output at another rate (a server that came back at another one):
        // what was made for the old one is made again while no callback runs.
        const bool wasRunning = session_.device().running();
        session_.device().stop();
        mixer_.setSampleRate(rate);
        if (!tables_.current()->tracksByFilePath.empty()) reloadTracks();
        if (wasRunning) session_.device().start();
    }
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

void SoundBox::setVolume(float value) { mixer_.settings().volume.store(clampParameter(value, 0.0f, 1.0f, volume())); }
void SoundBox::setEffectWetness(float value) {
    mixer_.settings().effectWetness.store(clampParameter(value, 0.0f, 1.0f, effectWetness()));
}
void SoundBox::setPitchAmount(float value) { mixer_.settings().pitchAmount.store(clampParameter(value, 0.0f, 1.0f, pitchAmount())); }
void SoundBox::setDelayIntensity(float value) {
    mixer_.settings().delayIntensity.store(clampParameter(value, 0.0f, 1.0f, delayIntensity()));
}
void SoundBox::setDelayTime(float value) { mixer_.settings().delayTime.store(clampParameter(value, 0.0f, 2.9f, delayTime())); }
void SoundBox::setReverbAmount(float value) {
    mixer_.settings().reverbAmount.store(clampParameter(value, 0.0f, 1.0f, reverbAmount()));
}
void SoundBox::setCutOffAmount(float value) {
    mixer_.settings().cutOffAmount.store(clampParameter(value, 0.0f, 1.0f, cutOffAmount()));
}
void SoundBox::setPhaseAmount(float value) { mixer_.settings().phaseAmount.store(clampParameter(value, 0.0f, 1.0f, phaseAmount())); }
void SoundBox::setCrushAmount(float value) { mixer_.settings().crushAmount.store(clampParameter(value, 0.0f, 1.0f, crushAmount())); }

void SoundBox::clearEchoBuffer() {
    sendCommand([](Command& command) { command.type = Command::Type::clearEcho; });
}

// --- Real-time callbacks ---------------------------------------------------------

// Both run on the device's audio thread inside a platform::RealtimeScope: the
// mix is the Mixer's, the take the Recorder's; here only what concerns the device.
void SoundBox::soundBoxRenderCallback(uint32_t frames, uint64_t hostTimeNanos, int32_t* left, int32_t* right) {
    STROMBEL_EXPECT_THREAD(kAudioThread);
    platform::RealtimeScope realtime;
    const uint64_t began = platform::monotonicNanos();
    bool tell = mixer_.render(frames, hostTimeNanos, left, right);

    const double needed = static_cast<double>(platform::monotonicNanos() - began) * 1e-9;
    const double available = frames / sampleRate();
    if (needed > available) {
        lastLagNeeded_.store(needed, std::memory_order_relaxed);
        lastLagAvailable_.store(available, std::memory_order_relaxed);
        lateBuffers_.fetch_add(1, std::memory_order_relaxed);
        tell = true;
    }
    if (const uint64_t xruns = session_.device().xruns(); xruns != xrunsSeen_) {
        xrunsSeen_ = xruns;
        tell = true;
    }
    if (tell) mainLoop_.raise(eventSignal_);
}

void SoundBox::recordingInputCallback(uint32_t frames, uint64_t hostTimeNanos, const int32_t* mono) {
    recorder_.input(frames, hostTimeNanos, mono);
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
    if (session_.device().standingIn() || dynamic_cast<platform::NullAudioDevice*>(&session_.device().device())) {
        STROMBEL_LOG_INFO("can't record: no sound device is open");
        started.problem = Problem::noSoundDevice;
        started.reason = session_.device().name();
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
    if (session_.errorState() != 0 || !session_.device().duplex()) {
        started.reason = session_.device().lastError();
        STROMBEL_LOG_ERROR("can't record: the microphone could not be opened ({})", started.reason);
        started.problem = Problem::microphone;
        restoreOutput();
        return started;
    }
    std::filesystem::path path = sandbox_.caches() / kSampleRecordFileName;
    std::error_code ignored;
    std::filesystem::create_directories(path.parent_path(), ignored);
    // The file takes the rate the microphone really captures.
    const double rate = session_.device().sampleRate();
    if (platform::Result<void> begun = recorder_.begin(path, rate); !begun) {
        started.reason = begun.error().message();
        STROMBEL_LOG_ERROR("can't record: {} ({})", path.string(), started.reason);
        started.problem = Problem::file;
        restoreOutput();
        return started;
    }
    session_.setObserving(true);
    if (!start()) {
        started.reason = session_.device().lastError();
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
    ended.inputLostAtEnd = session_.device().standingIn();
    teardown();
    setupAudioSession(false);
    setupAudioUnit(false);
    session_.setObserving(true);
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
        if (auto track = tables_.lookUp(event.sampleFilePath()))
            tracks.emplace(event.sampleFilePath(), std::move(track));
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
