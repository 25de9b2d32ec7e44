// The engine's calls kept for one thread abort on another (in builds with the
// thread checks).

#include <array>

#include "engine_test_support.h"
#include "platform/thread_role.h"

#if defined(STROMBEL_THREAD_CHECKS)

namespace strombel::engine {
namespace {

class SoundBoxThreadRoleTest : public testing::EngineTest {
protected:
    SoundBoxThreadRoleTest() { GTEST_FLAG_SET(death_test_style, "threadsafe"); }
};

TEST_F(SoundBoxThreadRoleTest, TheRenderCallbackRunsOnTheAudioThreadOnly) {
    const std::string kick = addSample("kick", testing::constantMono(64, 1000));
    SoundBox& box = makeEngine(64);  // running from the start
    ASSERT_TRUE(box.startTrack(kick, 0, false, false, false, 1.0f));
    render();  // the device's thread is the audio thread
    EXPECT_NE(device_->left()[0], 0);

    std::array<int32_t, 64> left{}, right{};
    EXPECT_DEATH(box.soundBoxRenderCallback(64, 0, left.data(), right.data()),
                 R"(wrong thread: .*SoundBox::soundBoxRenderCallback\(.*\) called on a thread of role "main loop", )"
                 R"(expected "audio")");
}

TEST_F(SoundBoxThreadRoleTest, TheAudioThreadMayNotStartTracksOrRebuildTheTable) {
    const std::string kick = addSample("kick", testing::constantMono(64, 1000));
    SoundBox& box = makeEngine(64);
    EXPECT_DEATH(
        {
            platform::ThreadRoleScope audio(platform::ThreadRole::audio);
            box.startTrack(kick, 0, false, false, false, 1.0f);
        },
        R"(SoundBox::startTrack\(.*\) called on a thread of role "audio", expected "main loop" or "sequencer" or )"
        R"("MIDI action")");
    EXPECT_DEATH(
        {
            platform::ThreadRoleScope audio(platform::ThreadRole::audio);
            box.reloadTracks();
        },
        R"(SoundBox::reloadTracks\(\) called on a thread of role "audio", expected "main loop")");
    // The sequencer's timing thread and the MIDI action thread start tracks.
    for (platform::ThreadRole role : {platform::ThreadRole::sequencer, platform::ThreadRole::midiAction}) {
        platform::ThreadRoleScope scope(role);
        EXPECT_TRUE(box.startTrack(kick, 0, false, false, false, 1.0f));
    }
}

}  // namespace
}  // namespace strombel::engine

#endif
