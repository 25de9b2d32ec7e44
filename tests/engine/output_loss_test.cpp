// The output lost while playing (a sound server that stops, a card pulled out)
// and found again: the engine renders to its stand-in at the same rate and
// keeps its timing, tells its observers once, and looks for the output every
// two seconds of the main loop's clock until it is back.

#include <chrono>
#include <thread>

#include "engine_test_support.h"
#include "platform/devices/failover_audio_device.h"
#include "platform/devices/jack_opener.h"
#include "platform/devices/null_audio_device.h"
#include "platform/devices/rtaudio_device.h"
#include "support/afresh_audio_device.h"
#include "support/manual_pacer.h"

namespace strombel::engine::testing {
namespace {

constexpr uint64_t kSecond = platform::kNanosPerSecond;

/// Counts the buffers the output's tap sees.
struct CountingTap final : platform::AudioOutputTap {
    std::atomic<int> buffers{0};
    void tapOutput(uint32_t, double, const int32_t*, const int32_t*) override { buffers.fetch_add(1); }
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
            std::make_unique<platform::FailoverAudioDevice>(std::move(device), std::move(standIn), nullptr), sandbox_, loop_,
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
                                          std::move(device), std::make_unique<platform::NullAudioDevice>(pacer), nullptr),
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

TEST_F(OutputLossTest, AStandInWhoseDeviceDidNotStartAtALookRendersUntilTheLookThatStartsIt) {
    SoundBox& box = makeEngineWithStandIn(3 * kSecond);
    CountingTap tap;
    box.audioUnit().setOutputTap(&tap);
    device_->fail("the sound card failed: no such device");
    pump();
    ASSERT_TRUE(box.outputLost());

    // The card opens again at the next look, but does not start.
    device_->setAvailable(true);
    device_->failNextStart(true);
    loop_.advance(2 * kSecond);
    EXPECT_TRUE(box.outputLost());
    EXPECT_TRUE(standIn_->running()) << "the stand-in goes on after the failed look";
    const int tapped = tap.buffers.load();
    standIn_->renderBuffer();
    EXPECT_EQ(tap.buffers.load(), tapped + 1);

    // The look after that starts it.
    loop_.advance(2 * kSecond);
    EXPECT_FALSE(box.outputLost());
    EXPECT_TRUE(device_->running());
    EXPECT_FALSE(standIn_->running());
    box.audioUnit().setOutputTap(nullptr);
}

/// The engine on a device opened afresh, off the main loop, on a server the test controls.
class AfreshOutputTest : public OutputLossTest {
protected:
    using Server = strombel::testing::AfreshAudioDevice::Server;
    ~AfreshOutputTest() override {
        server_->set(true, false);
        server_->keepClosesWaiting(false);
        box_.reset();
        // What was let go of is closed on the opener's thread.
        platform::JackOpener::shared().waitIdle(std::chrono::seconds(10));
    }
    void makeEngine() {
        box_ = std::make_unique<SoundBox>(
            std::make_unique<platform::FailoverAudioDevice>(std::make_unique<strombel::testing::AfreshAudioDevice>(server_),
                                                            nullptr, &platform::JackOpener::shared()),
            sandbox_, loop_, &library_);
        box_->addDelegate(&observer_);
        pump();
    }
    /// Lets the opener's thread answer and the main loop take its answer.
    void settle() {
        ASSERT_TRUE(platform::JackOpener::shared().waitIdle(std::chrono::seconds(5)));
        pump();
    }
    /// What the observer was told about the output, in order.
    std::vector<std::string> told() const {
        std::vector<std::string> output;
        for (const std::string& entry : observer_.log)
            if (entry.rfind("output", 0) == 0 || entry.rfind("notOpened", 0) == 0) output.push_back(entry);
        return output;
    }
    std::shared_ptr<Server> server_ = std::make_shared<Server>();
};

TEST_F(AfreshOutputTest, AReturningServerThatKeepsTheOpeningWaitingNeverHoldsTheMainLoop) {
    makeEngine();
    ASSERT_FALSE(box_->outputLost());
    ASSERT_TRUE(box_->running());
    EXPECT_NE(server_->openedOnThread(), std::this_thread::get_id()) << "opened on the main thread";
    server_->lose("the JACK server stopped");
    pump();
    ASSERT_TRUE(box_->outputLost());

    // The server is back but keeps the opening waiting: the main loop goes on.
    server_->set(true, true);
    const int opensBefore = server_->openCount();
    loop_.advance(2 * kSecond);
    ASSERT_TRUE(server_->waitForOpens(opensBefore + 1));
    EXPECT_NE(server_->openedOnThread(), std::this_thread::get_id()) << "opened on the main thread";
    loop_.advance(4 * kSecond);
    EXPECT_TRUE(box_->outputLost());
    EXPECT_EQ(server_->openCount(), opensBefore + 1) << "one try at a time";

    // It answers: the device it opened takes the stand-in's place on the main loop.
    server_->set(true, false);
    settle();
    EXPECT_FALSE(box_->outputLost());
    EXPECT_TRUE(box_->running());
    EXPECT_EQ(told(), (std::vector<std::string>{
                          "outputLost No sound output: the JACK server stopped. Strombel plays on in silence and "
                          "takes the sound output up again as soon as it is back.",
                          "outputBack Sound is back: Strombel plays through afresh again."}));
}

TEST_F(AfreshOutputTest, AnOutputThatStopsAnsweringIsClosedOffTheMainLoopAndAStuckCloseHoldsNothing) {
    makeEngine();
    ASSERT_TRUE(server_->render());
    loop_.advance(kSecond);
    // The server hangs: no more buffers, and closing its client never returns.
    server_->keepClosesWaiting(true);
    loop_.advance(2 * kSecond);
    ASSERT_TRUE(box_->outputLost());
    ASSERT_TRUE(server_->waitForCloses(1));
    EXPECT_NE(server_->closedOnThread(), std::this_thread::get_id()) << "closed on the main thread";
    EXPECT_TRUE(box_->running()) << "the stand-in plays";
    EXPECT_EQ(told(), (std::vector<std::string>{"outputLost No sound output: the sound output stopped answering. "
                                                "Strombel plays on in silence and takes the sound output up again "
                                                "as soon as it is back."}));
    // Looks go on while the close waits; quitting lets go of what is open.
    loop_.advance(4 * kSecond);
    EXPECT_TRUE(box_->outputLost());
}

// At start the opening is waited for a while only: a server that keeps it
// waiting longer is told as one that does not answer once two answer checks
// found nothing, and one that answers before that is taken up without a word.
TEST_F(AfreshOutputTest, AnOpeningKeptWaitingAtStartIsToldOnlyWhenTheOutputHasNotAnsweredForTwoChecks) {
    struct Case {
        int checksBeforeAnswer;
        std::vector<std::string> told;
    };
    const std::vector<Case> cases = {
        {1, {}},
        {2,
         {"outputLost No sound output: the sound output stopped answering. Strombel plays on in silence and takes "
          "the sound output up again as soon as it is back.",
          "outputBack Sound is back: Strombel plays through afresh again."}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.checksBeforeAnswer);
        server_->set(true, true);
        observer_.log.clear();
        makeEngine();
        EXPECT_NE(server_->openedOnThread(), std::this_thread::get_id()) << "opened on the main thread";
        EXPECT_TRUE(box_->outputLost()) << "the stand-in plays meanwhile";
        EXPECT_TRUE(box_->running());
        for (int check = 0; check < c.checksBeforeAnswer; ++check) loop_.advance(kSecond);
        server_->set(true, false);
        settle();
        EXPECT_FALSE(box_->outputLost());
        EXPECT_EQ(box_->sampleRate(), 48000.0) << "the engine took the output's rate";
        EXPECT_EQ(told(), c.told);
        box_.reset();
    }
}

TEST_F(AfreshOutputTest, AFirstOpenRefusedByAServerThatAnswersIsTriedAgainAndNothingIsTold) {
    server_->refusals = 2;
    makeEngine();
    EXPECT_FALSE(box_->outputLost());
    EXPECT_EQ(server_->openCount(), 3);
    for (int second = 0; second < 4; ++second) {
        server_->render();
        loop_.advance(kSecond);
    }
    EXPECT_TRUE(told().empty()) << ::testing::PrintToString(told());
}

TEST_F(AfreshOutputTest, AnOutputThatDidNotOpenAtStartIsToldOnceWatchedForAndTakenWhenItAnswers) {
    server_->set(false, false);
    makeEngine();
    EXPECT_TRUE(box_->outputLost()) << "the stand-in plays meanwhile";
    EXPECT_TRUE(box_->running());
    loop_.advance(4 * kSecond);
    settle();
    server_->set(true, false);
    loop_.advance(2 * kSecond);
    settle();
    EXPECT_FALSE(box_->outputLost());
    EXPECT_EQ(told(), (std::vector<std::string>{
                          "notOpened no server. Strombel plays to the null device, which is silent, and takes the "
                          "sound output up as soon as it opens.",
                          "outputBack Sound is back: Strombel plays through afresh again."}));
}

}  // namespace
}  // namespace strombel::engine::testing
