// Contention: two control threads use the engine as fast as they can while the
// render runs 100,000 blocks on the manual device (under the real-time guard,
// like every render of this binary). No block may be lost, and the timed starts
// must render sample for sample as they do without the two threads.

#include <atomic>
#include <thread>

#include "engine_test_support.h"
#include "platform/thread_role.h"

namespace strombel::engine::testing {
namespace {

#if defined(__SANITIZE_THREAD__) || defined(__SANITIZE_ADDRESS__)
constexpr int kBlocks = 20'000;  // the sanitizers' runs are ten times slower: a fifth of the blocks
#else
constexpr int kBlocks = 100'000;
#endif
constexpr uint32_t kBlockFrames = 256;
constexpr uint64_t kFramesBetweenStarts = 3001;  // the probe lasts 2000 frames
constexpr int kQueueAheadBlocks = 64;

class ContentionTest : public EngineTest {
protected:
    void SetUp() override {
        probe_ = addSample("probe", rampMono(2000));
        for (int i = 0; i < 12; ++i) quiet_.push_back(addSample("quiet" + std::to_string(i), constantMono(1500, 0)));
        for (int i = 0; i < 4; ++i) reloaded_.push_back(addSample("spare" + std::to_string(i), constantMono(500, 0)));
        setBank(0, {quiet_.begin(), quiet_.begin() + 6});
        setBank(1, {quiet_.begin() + 6, quiet_.end()});
    }

    /// The host time of the probe's k-th start: every 3001 frames, at a point
    /// between frames that moves through the block.
    static uint64_t startTime(uint64_t anchor, uint64_t k) {
        const double frames = static_cast<double>(k * kFramesBetweenStarts) + static_cast<double>(k % 7) * 0.31;
        return anchor + static_cast<uint64_t>(frames * 1e9 / 44100.0);
    }

    struct Run {
        std::vector<uint64_t> checksums;  // of each block, left and right
        SoundBox::Counters counters;
        size_t heardBlocks = 0;
    };

    Run render(bool contended) {
        SoundBox& box = makeEngine(kBlockFrames);
        box.currentSoundbankChanged(0);
        // Every effect at work (the control threads' taps go through them).
        box.setCrushAmount(0.5f);
        box.setCutOffAmount(0.6f);
        box.setPhaseAmount(0.5f);
        box.setDelayIntensity(0.5f);
        box.setReverbAmount(0.5f);
        box.setPitchAmount(0.6f);
        box.preloadTrack(probe_);
        for (const auto& path : quiet_) box.preloadTrack(path);
        box.waitForPreloads();
        const uint64_t anchor = device_->nextHostTime() + 10'000'000;

        std::atomic<int> rendered{0};
        std::atomic<uint64_t> queuedUpTo{0};  // the probe's starts are queued for every block before this
        std::atomic<bool> done{false};
        // The sequencer's part: the timed starts, queued ahead as its timing loop
        // does (marked real-time like its passes, so it never waits for room).
        std::thread sequencer([&] {
            platform::setThreadRole(platform::ThreadRole::sequencer);
            uint64_t k = 0;
            while (!done.load()) {
                const uint64_t horizon = static_cast<uint64_t>(rendered.load() + kQueueAheadBlocks);
                const uint64_t limit = anchor + horizon * kBlockFrames * 1'000'000'000ull / 44100;
                {
                    platform::RealtimeScope realtime;
                    while (startTime(anchor, k) < limit) {
                        box.startTrackFromSequencer(probe_, startTime(anchor, k));
                        ++k;
                    }
                }
                queuedUpTo.store(horizon);
                std::this_thread::yield();
            }
        });
        std::vector<std::thread> hammers;
        if (contended) {
            hammers.emplace_back([&] {  // the main loop's part
                loop_.bindToCurrentThread();
                uint64_t bank = 0;
                for (size_t i = 0; !done.load(); ++i) {
                    box.currentSoundbankChanged(bank ^= 1);
                    box.loadTrackForFile(reloaded_[i % reloaded_.size()]);
                    if (i % 16 == 0) box.reloadSoundbanks();
                    EXPECT_LE(box.playingTracks().size(), SoundBox::kMaxPlayingTracks);
                    EXPECT_EQ(box.currentSoundbankFilePathsByIdx().size(), 6u);
                    loop_.runPending();
                }
            });
            hammers.emplace_back([&] {  // a MIDI keyboard's part, and the pads'
                platform::setThreadRole(platform::ThreadRole::midiAction);
                for (size_t i = 0; !done.load(); ++i) {
                    const std::string& path = quiet_[i % quiet_.size()];
                    box.startTrack(path, 0, true, false, false, 1.0f);
                    box.startSoundbankSample(static_cast<int>(i % 6), 1.1f);
                    box.setVolume(0.5f + static_cast<float>(i % 3) * 0.25f, path);
                    EXPECT_TRUE(box.isTrackReady(path));
                    EXPECT_GT(box.volumeForTrack(path), 0.0f);
                    box.isPlaying(quiet_[(i + 5) % quiet_.size()]);
                    box.stopTrack(quiet_[(i + 7) % quiet_.size()]);
                }
            });
        }

        Run run;
        run.checksums.reserve(kBlocks);
        for (int block = 0; block < kBlocks; ++block) {
            // The render never runs ahead of the starts queued for it.
            while (queuedUpTo.load() < static_cast<uint64_t>(block + 1)) std::this_thread::yield();
            device_->renderBuffer();
            uint64_t checksum = 1469598103934665603ull;
            for (uint32_t i = 0; i < kBlockFrames; ++i) {
                checksum = (checksum ^ static_cast<uint32_t>(device_->left()[i])) * 1099511628211ull;
                checksum = (checksum ^ static_cast<uint32_t>(device_->right()[i])) * 1099511628211ull;
            }
            run.checksums.push_back(checksum);
            if (firstNonZero(device_->left()) < kBlockFrames) ++run.heardBlocks;
            rendered.store(block + 1);
            if (!contended && block % 64 == 0) loop_.runPending();
        }
        done.store(true);
        sequencer.join();
        for (auto& hammer : hammers) hammer.join();
        loop_.bindToCurrentThread();
        loop_.runPending();
        run.counters = box.counters();
        return run;
    }

    std::string probe_;
    std::vector<std::string> quiet_, reloaded_;
};

TEST_F(ContentionTest, TwoControlThreadsHammeringTheEngineCostNoBlockAndMoveNoTimedStart) {
    const Run alone = render(false);
    const Run hammered = render(true);
    ASSERT_GT(alone.heardBlocks, 10'000u) << "the probe sounded throughout";
    // (Reports to the main loop may be dropped under a flood of a million taps a
    // second; what sounds may not.)
    EXPECT_EQ(hammered.counters.skippedBlocks, 0u) << "no block lost a sounding track";
    size_t differing = 0;
    for (size_t i = 0; i < alone.checksums.size(); ++i) differing += alone.checksums[i] != hammered.checksums[i];
    EXPECT_EQ(differing, 0u) << "the timed starts render sample-identical under contention";
}

}  // namespace
}  // namespace strombel::engine::testing
