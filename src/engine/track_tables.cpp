// Publishing the track tables and keeping the old ones while requests name them.

#include "engine/track_tables.h"

#include "platform/thread_role.h"

namespace strombel::engine {

void TrackTables::publish(std::shared_ptr<const Tables> tables) {
    STROMBEL_EXPECT_THREAD(kMainLoopThread);
    // Once publish returns no control thread reads the old tables: every command
    // naming one of their tracks has claimed its slot by then.
    std::shared_ptr<const Tables> old = published_.publish(std::move(tables));
    retired_.push_back(Retired{std::move(old), claimed_()});
    freeRetired();
}

void TrackTables::freeRetired() {
    const size_t taken = taken_();
    std::erase_if(retired_, [taken](const Retired& retired) { return retired.commandsClaimed <= taken; });
}

std::shared_ptr<Track> TrackTables::lookUp(const std::string& path) const {
    auto tables = published_.read();
    auto found = tables->tracksByFilePath.find(path);
    return found == tables->tracksByFilePath.end() ? nullptr : found->second;
}

std::optional<std::string> TrackTables::pathFor(std::map<int, std::string> Tables::*paths, int key) const {
    auto tables = published_.read();
    const std::map<int, std::string>& map = (*tables).*paths;
    auto found = map.find(key);
    if (found == map.end()) return std::nullopt;
    return found->second;
}

}  // namespace strombel::engine
