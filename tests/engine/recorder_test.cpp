// The take on its own: its clock turns missing input into silence in the file,
// and a file that cannot be opened leaves no take running.

#include "engine/recorder.h"

#include "engine_test_support.h"
#include "platform/thread_role.h"

namespace strombel::engine::testing {
namespace {

class RecorderTest : public ::testing::Test {
protected:
    RecorderTest() : clock_(0), loop_(clock_) { loop_.bindToCurrentThread(); }

    void input(const std::vector<int32_t>& samples, uint64_t hostTime) {
        platform::ThreadRoleScope audio(platform::ThreadRole::audio);
        recorder_.input(static_cast<uint32_t>(samples.size()), hostTime, samples.data());
    }

    strombel::testing::TempDir temp_;
    platform::ManualClock clock_;
    platform::MainLoop loop_;
    std::vector<std::string> failures_;
    Recorder recorder_{loop_, [] {}, [this](const std::string& reason) { failures_.push_back(reason); }};
};

TEST_F(RecorderTest, InputThatDidNotComeIsKeptAsSilenceInTheTake) {
    constexpr double kRate = 8000;
    const auto path = temp_ / "take.wav";
    const platform::Result<void> begun = recorder_.begin(path, kRate);
    ASSERT_TRUE(begun) << begun.error().message();
    EXPECT_TRUE(recorder_.running());
    std::vector<int32_t> block(100);
    for (size_t i = 0; i < block.size(); ++i) block[i] = static_cast<int32_t>(i + 1) * kFixedPer16Bit;
    const uint64_t blockNanos = 12'500'000;  // 100 frames at 8 kHz
    input(block, 1'000'000'000);
    input(block, 1'000'000'000 + blockNanos);  // on time: no gap
    input(block, 1'000'000'000 + 2 * blockNanos + 250'000'000);  // a quarter second late
    recorder_.stopInput();
    input(block, 1'000'000'000 + 3 * blockNanos + 250'000'000);  // no longer counts
    const Recorder::Ending ended = recorder_.finish();
    ASSERT_TRUE(ended.written) << ended.error;
    EXPECT_DOUBLE_EQ(ended.silencedSeconds, 0.25);
    EXPECT_TRUE(failures_.empty());

    const platform::Result<platform::DecodedAudio> decoded = platform::decodeAudioFile(path, kRate);
    ASSERT_TRUE(decoded) << decoded.error().message();
    const platform::DecodedAudio& audio = *decoded;
    const std::vector<int32_t>& samples = audio.channels[0];
    ASSERT_EQ(samples.size(), 200u + 2000u + 100u);
    for (size_t i = 0; i < samples.size(); ++i) {
        const bool silence = i >= 200 && i < 2200;
        const int32_t expected = silence ? 0 : block[(i < 200 ? i : i - 2200) % 100];
        ASSERT_EQ(samples[i], expected) << "frame " << i;
    }
}

TEST_F(RecorderTest, AFileThatCannotBeOpenedStartsNoTake) {
    const auto blocker = temp_ / "not-a-folder";
    writeWave(blocker, constantMono(1, 0));
    const platform::Result<void> begun = recorder_.begin(blocker / "take.wav", 44100);
    ASSERT_FALSE(begun);
    EXPECT_FALSE(begun.error().message().empty());
    EXPECT_FALSE(recorder_.running());
    input(std::vector<int32_t>(64, 1), 1'000'000'000);  // ignored, not written anywhere
    EXPECT_EQ(recorder_.overruns(), 0u);
}

}  // namespace
}  // namespace strombel::engine::testing
