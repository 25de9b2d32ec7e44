// The output lost while playing (a sound server that stops, a card pulled out)
// and found again: the engine renders to its stand-in at the same rate and
// keeps its timing, tells its observers once, and looks for the output every
// two seconds of the main loop's clock until it is back.

#include <condition_variable>
#include <mutex>
#include <thread>

#include "engine_test_support.h"
#include "platform/devices/failover_audio_device.h"
#include "platform/devices/jack_opener.h"
#include "platform/devices/null_audio_device.h"
#include "platform/devices/rtaudio_device.h"
#include "support/manual_pacer.h"

namespace strombel::engine::testing {
namespace {

constexpr uint64_t kSecond = platform::kNanosPerSecond;

/// Counts the buffers the output's tap sees.
struct CountingTap final : platform::AudioOutputTap {
    std::atomic<int> buffers{0};
    void tapOutput(uint32_t, double, const int32_t*, const int32_t*) override { buffers.fetch_add(1); }
};

/// A device opened afresh on another thread once lost, as the JACK device is,
/// whose server keeps the opening waiting until the test lets it through.
class AfreshDevice final : public platform::AudioDevice {
public:
    struct Server {
        std::mutex mutex;
        std::condition_variable changed;
        bool answering = true;
        bool keepsWaiting = false;
        std::thread::id openedOn;
        int opens = 0;
        void set(bool answers, bool waits) {
            std::lock_guard lock(mutex);
            answering = answers;
            keepsWaiting = waits;
            changed.notify_all();
        }
        int openCount() {
            std::lock_guard lock(mutex);
            return opens;
        }
        bool waitForOpens(int count) {
            std::unique_lock lock(mutex);
            return changed.wait_for(lock, std::chrono::seconds(5), [&] { return opens >= count; });
        }
    };
    explicit AfreshDevice(std::shared_ptr<Server> server) : server_(std::move(server)) {}
    std::string name() const override { return "afresh"; }
    bool configure(const platform::AudioDeviceConfig&) override {
        std::unique_lock lock(server_->mutex);
        server_->openedOn = std::this_thread::get_id();
        ++server_->opens;
        server_->changed.notify_all();
        // Bounded, so that a wait on the main thread fails the test instead of hanging it.
        server_->changed.wait_for(lock, std::chrono::seconds(3), [&] { return !server_->keepsWaiting; });
        open_ = server_->answering && !server_->keepsWaiting;
        return open_;
    }
    bool start() override { return running_ = open_; }
    bool stop() override {
        running_ = false;
        return true;
    }
    bool running() const override { return running_; }
    void close() override { open_ = running_ = false; }
    double sampleRate() const override { return 44100.0; }
    uint32_t bufferFrames() const override { return 256; }
    bool duplex() const override { return false; }
    std::string lastError() const override { return open_ ? "" : "no server"; }
    std::unique_ptr<platform::AudioDevice> makeAnother() const override {
        return std::make_unique<AfreshDevice>(server_);
    }
    void lose() {
        platform::AudioDeviceEvent event;
        event.type = platform::AudioDeviceEvent::Type::Lost;
        event.reason = "the JACK server stopped";
        if (events_) events_(event);
    }

private:
    std::shared_ptr<Server> server_;
    bool open_ = false, running_ = false;
};

class OutputLossTest : public EngineTest {
protected:
    /// The engine on a manual device with a manual stand-in behind it, which
    /// starts counting frames at `standInAnchor`.
    SoundBox& makeEngineWithStandIn(uint64_t standInAnchor, bool pacedByItself = false) {
        library_.setSamples(samples_);
        for (auto& [bank, pads] : banks_) library_.setBank(bank, pads);
        auto device = std::make_unique<platform::ManualAudioDevice>(44100.0, 256, 1'000'000'000);
        device->setPacedByItself(pacedByItself);
        auto standIn = std::make_unique<platform::ManualAudioDevice>(44100.0, 256, standInAnchor);
        device_ = device.get();
        standIn_ = standIn.get();
        box_ = std::make_unique<SoundBox>(
            std::make_unique<platform::FailoverAudioDevice>(std::move(device), std::move(standIn)), sandbox_, loop_,
            &library_);
        box_->waitForPreloads();
        box_->addDelegate(&observer_);
        return *box_;
    }

    platform::ManualAudioDevice* standIn_ = nullptr;
    RecordingDelegate observer_;
};

TEST_F(OutputLossTest, TheStandInKeepsTimingTheObserversHearOnceAndTheOutputIsTriedEveryTwoSeconds) {
    const std::string ramp = addSample("ramp", rampMono(2000));
    SoundBox& box = makeEngineWithStandIn(3 * kSecond);
    CountingTap tap;
    box.audioUnit().setOutputTap(&tap);
    for (int i = 0; i < 4; ++i) render();
    const int tappedBeforeLoss = tap.buffers.load();

    // The card goes away; a second report of the same loss changes nothing.
    device_->fail("the sound card failed: no such device");
    device_->fail("the sound card failed: no such device");
    pump();
    EXPECT_TRUE(box.outputLost());
    EXPECT_TRUE(box.running()) << "the stand-in runs in the card's place";
    EXPECT_EQ(box.sampleRate(), 44100.0);
    ASSERT_EQ(observer_.count("outputLost "), 1u);
    EXPECT_NE(observer_.log.back().find("No sound output: the sound card failed: no such device."), std::string::npos)
        << observer_.log.back();
    EXPECT_EQ(box.audioUnit().name(), "manual (for manual)");

    // A start queued for 100 frames into the stand-in's first buffer lands there.
    const uint64_t at = 3 * kSecond + uint64_t(100 * 1e9 / 44100.0) + 1;
    ASSERT_TRUE(box.startTrack(ramp, at, false, false, true, 1.0f));
    box.waitForPreloads();
    standIn_->renderBuffer();
    EXPECT_EQ(firstNonZero(standIn_->left()), 100u);
    EXPECT_GT(tap.buffers.load(), tappedBeforeLoss) << "the output's tap hears the stand-in";

    // Looked for every two seconds, never sooner; while it is away nothing changes.
    const int tries = device_->configureCount();
    loop_.advance(2 * kSecond - 10'000'000);
    EXPECT_EQ(device_->configureCount(), tries);
    loop_.advance(10'000'000);
    EXPECT_EQ(device_->configureCount(), tries + 1);
    loop_.advance(2 * kSecond);
    EXPECT_EQ(device_->configureCount(), tries + 2);
    EXPECT_TRUE(box.outputLost());

    // It is back: found at the next look, the stand-in rests, the card renders.
    device_->setAvailable(true);
    loop_.advance(2 * kSecond);
    EXPECT_FALSE(box.outputLost());
    EXPECT_TRUE(device_->running());
    EXPECT_FALSE(standIn_->running());
    ASSERT_EQ(observer_.count("outputBack "), 1u);
    EXPECT_EQ(observer_.log.back(), "outputBack Sound is back: Strombel plays through manual again.");
    const int tappedWhenBack = tap.buffers.load();
    render();
    EXPECT_EQ(tap.buffers.load(), tappedWhenBack + 1);
    loop_.advance(10 * kSecond);
    EXPECT_EQ(device_->configureCount(), tries + 3) << "no more looking once it is back";
    EXPECT_EQ(observer_.count("outputLost "), 1u);
    box.audioUnit().setOutputTap(nullptr);
}

TEST_F(OutputLossTest, TheNullStandInRestsInSilenceAndAStartWakesItOnTheLostStreamsGrid) {
    const std::string kick = addSample("kick", constantMono(300, 1000));
    library_.setSamples(samples_);
    constexpr uint64_t kStandInAnchor = 7 * kSecond;
    auto pacer = std::make_shared<strombel::testing::ManualPacer>(kStandInAnchor);
    auto device = std::make_unique<platform::ManualAudioDevice>(44100.0, 256, kSecond);
    device_ = device.get();
    box_ = std::make_unique<SoundBox>(std::make_unique<platform::FailoverAudioDevice>(
                                          std::move(device), std::make_unique<platform::NullAudioDevice>(pacer)),
                                      sandbox_, loop_, &library_);
    box_->addDelegate(&observer_);
    box_->waitForPreloads();
    render();
    device_->fail("the JACK server stopped");
    pump();
    ASSERT_TRUE(box_->outputLost());
    ASSERT_TRUE(pacer->runUntilResting());

    pacer->advance(60 * kSecond);
    auto bufferTime = [](uint64_t k) { return kStandInAnchor + static_cast<uint64_t>(k * 256 * 1e9 / 44100.0); };
    uint64_t next = 0;
    while (bufferTime(next) < pacer->nowNanos()) ++next;
    ASSERT_TRUE(box_->startTrack(kick, bufferTime(next + 1), false, false, true, 1.0f));
    EXPECT_EQ(pacer->nextWait(), bufferTime(next)) << "the stand-in was woken through the failover device";
    pacer->advanceTo(bufferTime(next));
    ASSERT_TRUE(pacer->runUntilResting());
    pump();
    EXPECT_TRUE(observer_.saw("finished " + kick));
}

TEST_F(OutputLossTest, AStoppedOutputThatIsLostStaysStoppedOnTheStandInAndWhenItIsBack) {
    SoundBox& box = makeEngineWithStandIn(3 * kSecond);
    ASSERT_TRUE(box.stop());
    device_->fail("the JACK server stopped");
    pump();
    EXPECT_TRUE(box.outputLost());
    EXPECT_FALSE(standIn_->running());
    device_->setAvailable(true);
    loop_.advance(2 * kSecond);
    EXPECT_FALSE(box.outputLost());
    EXPECT_FALSE(device_->running());
    // Starting it afterwards starts the card, not the stand-in.
    EXPECT_TRUE(box.start());
    EXPECT_TRUE(device_->running());
    EXPECT_FALSE(standIn_->running());
}

TEST_F(OutputLossTest, ADeviceThatFallsSilentWhileRunningIsTakenAsLostAfterTwoChecks) {
    SoundBox& box = makeEngineWithStandIn(3 * kSecond, true);
    // Rendering in time: never lost, however long.
    for (int second = 0; second < 3; ++second) {
        render();
        loop_.advance(kSecond);
    }
    EXPECT_FALSE(box.outputLost());
    // Stopped by the engine: silence is expected.
    ASSERT_TRUE(box.stop());
    loop_.advance(3 * kSecond);
    EXPECT_FALSE(box.outputLost());
    ASSERT_TRUE(box.start());
    render();
    // Running, and silent (no notice of an end ever came): lost at the second
    // check that finds nothing new.
    loop_.advance(kSecond);  // the buffer above
    loop_.advance(kSecond);  // nothing: once
    EXPECT_FALSE(box.outputLost());
    loop_.advance(kSecond);  // nothing: twice
    EXPECT_TRUE(box.outputLost());
    EXPECT_EQ(observer_.count("outputLost No sound output: the sound output stopped answering."), 1u);
}

TEST(RtAudioDeviceLossTest, AFailedStreamIsReportedLostOnceAndStartsNoMore) {
    platform::RtAudioDevice device(platform::RtAudioDevice::Backend::Alsa);
    std::vector<std::string> lost;
    device.setEventHandler([&](const platform::AudioDeviceEvent& event) {
        if (event.type == platform::AudioDeviceEvent::Type::Lost) lost.push_back(event.reason);
    });
    device.streamFailed("the sound card failed: audio write error, No such device");
    device.streamFailed("the sound card failed: audio write error, No such device");
    EXPECT_EQ(lost, std::vector<std::string>{"the sound card failed: audio write error, No such device"});
    EXPECT_TRUE(device.lost());
    EXPECT_FALSE(device.running());
    EXPECT_FALSE(device.start());
}

// The JACK client is reached inside RtAudio only for the versions whose layout is known.
TEST(RtAudioDeviceLossTest, RtAudiosJackClientIsReachedOnlyInVersionsOfAKnownLayout) {
    const std::vector<std::pair<std::string, bool>> cases = {
        {"5.2.0", true}, {"5", true}, {"5.0", true}, {"4.1.2", false}, {"6.0.1", false},
        {"", false},     {"five", false}, {"5x", false}, {"55.0", false}};
    for (const auto& [version, known] : cases)
        EXPECT_EQ(platform::RtAudioDevice::knowsJackLayoutOf(version), known) << '"' << version << '"';
}

TEST_F(OutputLossTest, ADeviceOpenedAfreshIsOpenedOffTheMainLoopWhichAServerKeepingItWaitingNeverHolds) {
    auto server = std::make_shared<AfreshDevice::Server>();
    auto device = std::make_unique<AfreshDevice>(server);
    AfreshDevice* first = device.get();
    box_ = std::make_unique<SoundBox>(std::move(device), sandbox_, loop_, &library_);
    box_->addDelegate(&observer_);
    ASSERT_TRUE(box_->running());
    first->lose();
    pump();
    ASSERT_TRUE(box_->outputLost());

    // The server is back but keeps the opening waiting: the main loop goes on.
    server->set(true, true);
    const int opensBefore = server->openCount();
    loop_.advance(2 * kSecond);
    ASSERT_TRUE(server->waitForOpens(opensBefore + 1));
    EXPECT_NE(server->openedOn, std::this_thread::get_id()) << "opened on the main thread";
    loop_.advance(4 * kSecond);
    EXPECT_TRUE(box_->outputLost());
    EXPECT_EQ(server->openCount(), opensBefore + 1) << "one try at a time";

    // It answers: the device it opened takes the stand-in's place on the main loop.
    server->set(true, false);
    ASSERT_TRUE(platform::JackOpener::shared().waitIdle(std::chrono::seconds(5)));
    pump();
    EXPECT_FALSE(box_->outputLost());
    EXPECT_TRUE(box_->running());
    EXPECT_EQ(observer_.count("outputBack Sound is back: Strombel plays through afresh again."), 1u);
}

TEST_F(OutputLossTest, ADeviceThatDidNotOpenAtStartIsWatchedForAndTakenWhenItAnswers) {
    auto server = std::make_shared<AfreshDevice::Server>();
    server->set(false, false);
    box_ = std::make_unique<SoundBox>(std::make_unique<AfreshDevice>(server), sandbox_, loop_, &library_);
    box_->addDelegate(&observer_);
    EXPECT_TRUE(box_->outputLost()) << "the stand-in plays meanwhile";
    EXPECT_TRUE(box_->running());
    server->set(true, false);
    loop_.advance(2 * kSecond);
    ASSERT_TRUE(platform::JackOpener::shared().waitIdle(std::chrono::seconds(5)));
    pump();
    EXPECT_FALSE(box_->outputLost());
    EXPECT_EQ(observer_.count("outputBack "), 1u);
}

}  // namespace
}  // namespace strombel::engine::testing
