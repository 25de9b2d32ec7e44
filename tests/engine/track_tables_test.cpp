// The track tables on their own: readers see what was published last, and the
// tables a publish replaced live on until the audio thread has taken every
// request sent while they were published.

#include "engine/track_tables.h"

#include "engine_test_support.h"

namespace strombel::engine::testing {
namespace {

TEST(TrackTablesTest, ReplacedTablesLiveUntilTheRequestsSentWithThemAreTaken) {
    platform::ManualClock clock(0);
    size_t claimed = 0, taken = 0;
    TrackTables tables([&] { return claimed; }, [&] { return taken; });
    EXPECT_EQ(tables.lookUp("a.wav"), nullptr);

    auto first = tables.edit();
    auto track = std::make_shared<Track>(44100.0, clock);
    first->tracksByFilePath["a.wav"] = track;
    first->trackFilePathByMidiNote[36] = "a.wav";
    tables.publish(first);
    EXPECT_EQ(tables.lookUp("a.wav"), track);
    EXPECT_EQ(tables.pathFor(&TrackTables::Tables::trackFilePathByMidiNote, 36), "a.wav");
    EXPECT_EQ(tables.pathFor(&TrackTables::Tables::trackFilePathByMidiNote, 37), std::nullopt);

    std::weak_ptr<const TrackTables::Tables> replaced = tables.current();
    first.reset();
    claimed = 3;  // three requests were sent while these tables were published
    auto second = tables.edit();
    second->tracksByFilePath.clear();
    tables.publish(std::move(second));
    EXPECT_EQ(tables.lookUp("a.wav"), nullptr);
    for (const auto& [takenNow, alive] : std::vector<std::pair<size_t, bool>>{{2, true}, {3, false}}) {
        taken = takenNow;
        tables.freeRetired();
        EXPECT_EQ(!replaced.expired(), alive) << "taken " << takenNow;
    }
}

}  // namespace
}  // namespace strombel::engine::testing
