// The preload thread on its own: loads what it is asked, and tells a sample
// whose file cannot be read once, until it has loaded again.

#include "engine/preloader.h"

#include <fstream>

#include "engine_test_support.h"

namespace strombel::engine::testing {
namespace {

class PreloaderTest : public EngineTest {
protected:
    std::vector<std::string> told_;
    Preloader preloader_{loop_, [this](const std::string& path, const std::string& message) {
                             told_.push_back(path + ": " + message.substr(0, message.find(':')));
                         }};
};

TEST_F(PreloaderTest, LoadsWhatItIsAskedAndTellsAnUnreadableSampleOnceUntilItLoadsAgain) {
    const std::string path = addSample("kick", constantMono(500, 1000));
    auto track = std::make_shared<Track>(44100.0, clock_);
    ASSERT_TRUE(track->prepareWithFile(path, sandbox_));
    const auto spoil = [&] { std::ofstream(sandbox_.absolutePath(path), std::ios::trunc) << "not a sound"; };
    const std::string told = path + ": The sample 'kick' cannot be played";
    struct Step {
        bool readable;
        size_t toldSoFar;
    };
    // Unreadable twice (told once), readable (loaded), unreadable again in the
    // track that replaces it (told again).
    for (const Step& step : {Step{false, 1}, Step{false, 1}, Step{true, 1}, Step{false, 2}}) {
        if (track->loadState() == TrackLoadState::Loaded) {
            track = std::make_shared<Track>(44100.0, clock_);
            ASSERT_TRUE(track->prepareWithFile(path, sandbox_));
        }
        if (step.readable) {
            writeWave(sandbox_.absolutePath(path), constantMono(500, 1000));
        } else {
            spoil();
        }
        preloader_.request(track, true);
        preloader_.waitUntilDone();
        pump();
        EXPECT_EQ(told_, std::vector<std::string>(step.toldSoFar, told));
        EXPECT_EQ(track->loadState() == TrackLoadState::Loaded, step.readable);
    }
}

TEST_F(PreloaderTest, AnUnforcedRequestForATrackAskedForAlreadyLoadsNothingMore) {
    const std::string path = addSample("snare", constantMono(500, 1000));
    auto track = std::make_shared<Track>(44100.0, clock_);
    ASSERT_TRUE(track->prepareWithFile(path, sandbox_));
    int loads = 0;
    preloader_.setGate([&] { ++loads; });
    preloader_.request(track, false);
    preloader_.request(track, false);
    preloader_.waitUntilDone();
    EXPECT_EQ(loads, 1);
    EXPECT_EQ(track->loadState(), TrackLoadState::Loaded);
    preloader_.request(track, true);
    preloader_.waitUntilDone();
    EXPECT_EQ(loads, 2);
}

}  // namespace
}  // namespace strombel::engine::testing
