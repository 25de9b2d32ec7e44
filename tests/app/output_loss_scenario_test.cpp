// The sound card fails while the sequencer plays, as a card pulled out would,
// and comes back: the pad screen says so in plain words, once, and then that
// sound is back; the pattern keeps its steps; the pads play on meanwhile.

#include "program_test_support.h"
#include "platform/devices/jack_opener.h"
#include "ui/kit/label.h"

namespace strombel::app::scenario {
namespace {

constexpr uint64_t kFailAt = 2'000'000'000;  // host time of the failure (the clock starts at 1 s)

class OutputLossScenarioTest : public ProgramTest {
protected:
    std::unique_ptr<ProgramRun> startWithStandIn() {
        ProgramRun::Options options{};
        options.standInAnchor = kFailAt;
        return std::make_unique<ProgramRun>(temp_ / "root", clock_, loop_, ui::GuiType::tablet, std::nullopt,
                                            options);
    }

    /// Lets time pass up to `until` as `runFor` does, rendering `device`, and
    /// notes each step the sequencer takes with its time.
    int64_t drive(ProgramRun& run, platform::ManualAudioDevice& device, uint64_t until) {
        int64_t loudest = 0;
        while (clock_.nowNanos() < until) {
            run.program().sequencer()->runLoopUntil(clock_.nowNanos());
            run.program().engine()->waitForPreloads();
            while (device.running() && device.nextHostTime() <= clock_.nowNanos()) {
                device.renderBuffer();
                for (int32_t sample : device.left()) loudest = std::max<int64_t>(loudest, std::abs(int64_t(sample)));
            }
            const int32_t step = run.program().sequencer()->currentStep();
            if (steps_.empty() || steps_.back().second != step) steps_.emplace_back(clock_.nowNanos(), step);
            loop_.advance(5 * platform::kNanosPerMillisecond);
        }
        return loudest;
    }

    QString notice(ProgramRun& run) const {
        ui::kit::Label* line = run.screen().outputNotice();
        return line ? line->text() : QString();
    }

    std::vector<std::pair<uint64_t, int32_t>> steps_;
};

TEST_F(OutputLossScenarioTest, ACardThatFailsWhilePlayingIsToldOnceThePatternKeepsItsStepsAndSoundComesBack) {
    auto run = startWithStandIn();
    ASSERT_NE(run->standIn(), nullptr);
    run->screen().startPlayback();
    ASSERT_TRUE(run->program().sequencer()->isRunning());
    drive(*run, run->device(), kFailAt);
    EXPECT_TRUE(notice(*run).isEmpty());

    run->device().fail("the sound card failed: audio write error, No such device");
    loop_.runPending();
    EXPECT_EQ(notice(*run).toStdString(),
              "No sound output: the sound card failed: audio write error, No such device. Strombel plays on in "
              "silence and takes the sound output up again as soon as it is back.");
    EXPECT_TRUE(run->program().sequencer()->isRunning()) << "a lost card does not stop the pattern";

    // The pads play on the stand-in meanwhile, and the meters move.
    const std::string path = run->program().engine()->currentSoundbankFilePathsByIdx().at(2);
    touchDown(*run, run->screen().tapButton(2));
    EXPECT_GT(drive(*run, *run->standIn(), kFailAt + 500'000'000), 0);
    EXPECT_TRUE(run->program().engine()->isPlaying(path));
    touchUp(*run, run->screen().tapButton(2));
    drive(*run, *run->standIn(), kFailAt + 3'000'000'000);
    EXPECT_TRUE(run->program().engine()->outputLost());

    // The card is back: found at the next look, said on the screen for a while.
    run->device().setAvailable(true);
    drive(*run, *run->standIn(), kFailAt + 4'100'000'000);
    EXPECT_FALSE(run->program().engine()->outputLost());
    EXPECT_EQ(notice(*run).toStdString(), "Sound is back: Strombel plays through manual again.");
    touchDown(*run, run->screen().tapButton(2));
    EXPECT_GT(drive(*run, run->device(), kFailAt + 4'300'000'000), 0) << "heard through the card again";
    touchUp(*run, run->screen().tapButton(2));
    drive(*run, run->device(), kFailAt + 4'100'000'000 + 6'100'000'000);
    EXPECT_TRUE(notice(*run).isEmpty()) << "the line that sound is back goes after a while";

    // The steps went on at one pace throughout: every step lasted as long as the first ones.
    ASSERT_GT(steps_.size(), 20u);
    const uint64_t first = steps_[2].first - steps_[1].first;
    for (size_t i = 2; i + 1 < steps_.size(); ++i) {
        const uint64_t length = steps_[i + 1].first - steps_[i].first;
        EXPECT_NEAR(double(length), double(first), 5e6) << "step " << i << " at " << steps_[i].first;
        EXPECT_TRUE(steps_[i + 1].second == steps_[i].second + 1 || steps_[i + 1].second == 0)
            << "from step " << steps_[i].second << " to " << steps_[i + 1].second;
    }
}

TEST_F(OutputLossScenarioTest, AnOutputThatDidNotOpenAtStartIsToldInABoxTakenBackOnceItOpens) {
    auto server = std::make_shared<testing::AfreshAudioDevice::Server>();
    server->set(false, false);
    ProgramRun::Options options{};
    options.afreshServer = server;
    auto run = std::make_unique<ProgramRun>(temp_ / "root", clock_, loop_, ui::GuiType::tablet, std::nullopt, options);
    const QString title = TumblecraftAppDelegate::kOutputProblemTitle;
    ASSERT_TRUE(run->alerts().isAlertVisible(title));
    EXPECT_EQ(run->alerts().shown.back().message.toStdString(),
              "no server. Strombel plays to the null device, which is silent, and takes the sound output up as soon "
              "as it opens.");
    EXPECT_TRUE(notice(*run).isEmpty()) << "told in the box only";

    server->set(true, false);
    loop_.advance(2'000'000'000);
    ASSERT_TRUE(platform::JackOpener::shared().waitIdle(std::chrono::seconds(5)));
    loop_.runPending();
    EXPECT_FALSE(run->program().engine()->outputLost());
    EXPECT_FALSE(run->alerts().isAlertVisible(title)) << "what stopped being true is taken back";
    EXPECT_EQ(notice(*run).toStdString(), "Sound is back: Strombel plays through afresh again.");
    run.reset();
    platform::JackOpener::shared().waitIdle(std::chrono::seconds(5));
}

}  // namespace
}  // namespace strombel::app::scenario
