// The device session on its own, on a manual device with a manual stand-in: a
// lost output is told once, looked for every watch interval and taken up again;
// a self-paced output that renders nothing for two checks is taken as lost.

#include "engine/device_session.h"

#include "engine_test_support.h"

namespace strombel::engine::testing {
namespace {

struct ListenerLog final : DeviceSession::Listener {
    std::vector<std::string> log;
    void sessionOutputOpened() override { log.push_back("opened"); }
    void sessionOutputLost(const std::string& message) override { log.push_back("lost " + message); }
    void sessionOutputRestored(const std::string& message) override { log.push_back("restored " + message); }
    void sessionOutputNotOpened(const std::string& message) override { log.push_back("notOpened " + message); }
    void sessionInterruption(bool began) override { log.push_back(began ? "interrupted" : "resumed"); }
    void sessionRouteChanged(int reason) override { log.push_back("route " + std::to_string(reason)); }
};

class DeviceSessionTest : public EngineTest {
protected:
    DeviceSession& makeSession(bool pacedByItself) {
        auto device = std::make_unique<platform::ManualAudioDevice>(44100.0, 256, platform::kNanosPerSecond);
        device->setPacedByItself(pacedByItself);
        device_ = device.get();
        session_ = std::make_unique<DeviceSession>(
            std::make_unique<platform::FailoverAudioDevice>(
                std::move(device), std::make_unique<platform::ManualAudioDevice>(44100.0, 256, 0), nullptr),
            loop_, listener_);
        session_->chooseBufferDuration();
        EXPECT_TRUE(session_->configure(false));
        EXPECT_TRUE(session_->start());
        session_->setObserving(true);
        return *session_;
    }

    ListenerLog listener_;
    std::unique_ptr<DeviceSession> session_;
};

TEST_F(DeviceSessionTest, ALostOutputIsToldOnceLookedForAndTakenUpAgain) {
    DeviceSession& session = makeSession(false);
    device_->postEvent({platform::AudioDeviceEvent::Type::InterruptionBegan, 0, {}});
    device_->fail("the card went away");
    device_->fail("the card went away");
    pump();
    EXPECT_TRUE(session.outputLost());
    ASSERT_EQ(listener_.log.size(), 2u);
    EXPECT_EQ(listener_.log[0], "interrupted");
    EXPECT_EQ(listener_.log[1].rfind("lost No sound output: the card went away.", 0), 0u) << listener_.log[1];

    const int tries = device_->configureCount();
    loop_.advance(DeviceSession::kWatchInterval);
    EXPECT_EQ(device_->configureCount(), tries + 1) << "looked for once a watch interval";
    EXPECT_TRUE(session.outputLost());
    device_->setAvailable(true);
    loop_.advance(DeviceSession::kWatchInterval);
    EXPECT_FALSE(session.outputLost());
    EXPECT_EQ(listener_.log, (std::vector<std::string>{listener_.log[0], listener_.log[1], "opened",
                                                       "restored Sound is back: Strombel plays through manual again."}));
}

TEST_F(DeviceSessionTest, ASelfPacedOutputThatRendersNothingForTwoChecksIsLost) {
    DeviceSession& session = makeSession(true);
    session.startAnswerChecks();
    for (int check = 0; check < 4; ++check) {  // rendering between checks: it answers
        device_->renderBuffer();
        loop_.advance(DeviceSession::kAnswerCheckInterval);
    }
    EXPECT_TRUE(listener_.log.empty());
    loop_.advance(DeviceSession::kAnswerCheckInterval);
    EXPECT_TRUE(listener_.log.empty()) << "one quiet check is not enough";
    loop_.advance(DeviceSession::kAnswerCheckInterval);
    ASSERT_EQ(listener_.log.size(), 1u);
    EXPECT_NE(listener_.log[0].find("the sound output stopped answering"), std::string::npos) << listener_.log[0];
    EXPECT_TRUE(session.outputLost());
}

}  // namespace
}  // namespace strombel::engine::testing
