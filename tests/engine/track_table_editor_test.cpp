// The table's changes on their own: what a rebuilt table keeps, a solo's holds
// and their end, a rename.

#include "engine/track_table_editor.h"

#include "engine_test_support.h"

namespace strombel::engine::testing {
namespace {

class TrackTableEditorTest : public EngineTest {
protected:
    TrackTableEditorTest() {
        for (const char* name : {"a", "b", "c"}) addSample(name, constantMono(100, 1000));
        library_.setSamples(samples_);
        setBank(0, {samples_[0].filePath, samples_[1].filePath});
        library_.setBank(0, banks_[0]);
    }

    std::shared_ptr<Track> track(const std::string& name) const { return tables_.lookUp("Documents/" + name + ".wav"); }

    std::atomic<double> rate_{44100.0};
    TrackTables tables_{[] { return size_t{0}; }, [] { return size_t{0}; }};
    int stops_ = 0;
    std::vector<std::pair<std::shared_ptr<Track>, bool>> loads_;
    TrackTableEditor editor_{tables_, sandbox_, clock_, rate_, {"Bundle/metronome.wav"}, [this] { ++stops_; },
                             [this](const std::shared_ptr<Track>& t, bool force) { loads_.emplace_back(t, force); }};
};

TEST_F(TrackTableEditorTest, ARebuildKeepsMutesAndFramesAndASoloHoldsOffWhatIsOnNoPadUntilItEnds) {
    editor_.rebuild(&library_);
    EXPECT_EQ(editor_.setPads(&library_, 0).size(), 2u);
    const std::shared_ptr<Track> oldA = track("a");
    ASSERT_TRUE(oldA && oldA->preloadForPlayback());
    track("b")->setMuted(true);

    editor_.rebuild(&library_);
    ASSERT_NE(track("a"), oldA);
    EXPECT_EQ(track("a")->loadState(), TrackLoadState::Loaded);
    EXPECT_TRUE(track("b")->muted());
    EXPECT_FALSE(track("c")->heldSilent());

    EXPECT_EQ(editor_.toggleSolo(track("a")->relativeFileName()), track("a"));
    EXPECT_EQ(stops_, 1);  // c, on no pad, went silent
    EXPECT_TRUE(track("c")->heldSilent());
    EXPECT_TRUE(editor_.isMuted(track("b")->relativeFileName()));
    EXPECT_FALSE(editor_.isMuted(track("a")->relativeFileName()));

    EXPECT_EQ(editor_.toggleSolo(track("a")->relativeFileName()), std::nullopt);
    EXPECT_TRUE(track("b")->muted());  // the mute from before the solo
    EXPECT_FALSE(track("c")->muted());
    EXPECT_FALSE(track("c")->heldSilent());
}

TEST_F(TrackTableEditorTest, ARenamedSamplePlaysUnderBothPathsWithItsFramesMuteAndVolume) {
    editor_.rebuild(&library_);
    const std::shared_ptr<Track> before = track("c");
    ASSERT_TRUE(before->preloadForPlayback());
    before->setMuted(true);
    before->setVolume(0.25f);
    std::filesystem::rename(sandbox_.absolutePath(before->relativeFileName()), sandbox_.absolutePath("Documents/d.wav"));

    editor_.rename(before->relativeFileName(), "Documents/d.wav");
    const std::shared_ptr<Track> after = track("d");
    ASSERT_TRUE(after);
    EXPECT_EQ(track("c"), before);
    EXPECT_TRUE(after->muted());
    EXPECT_FLOAT_EQ(after->volume(), 0.25f);
    EXPECT_EQ(after->loadState(), TrackLoadState::Loaded);
    EXPECT_TRUE(loads_.empty());

    editor_.rename(before->relativeFileName(), "Documents/d.wav");  // already there: its frames are asked for
    ASSERT_EQ(loads_.size(), 1u);
    EXPECT_EQ(loads_[0].first, after);
    EXPECT_FALSE(loads_[0].second);
}

}  // namespace
}  // namespace strombel::engine::testing
