#pragma once

#include <filesystem>
#include <vector>

#include "platform/sandbox.h"

namespace strombel::app {

/// Files a run left half-written in the program's own cache folders: an export
/// or the microphone's take (".NAME.partial"), a paste or a trim (".partial-XXXXXX"),
/// a download or an HTTP cache entry (".NAME.part-XXXXXX"). They are removed at
/// start, unless another program runs on the same folder (it may be writing
/// them); nothing else, and nothing outside those folders, is touched.
///
/// Each program holds a shared lock on a file in the caches folder for as long as
/// it runs; the sweep needs it alone for a moment.
class StaleCacheFiles {
public:
    /// `recovered`: half-written files the sweep leaves alone, for whoever
    /// recovers them (the microphone's take).
    explicit StaleCacheFiles(const platform::Sandbox& sandbox, std::vector<std::filesystem::path> recovered = {});
    ~StaleCacheFiles();
    StaleCacheFiles(const StaleCacheFiles&) = delete;
    StaleCacheFiles& operator=(const StaleCacheFiles&) = delete;

    /// Removes the half-written files when no other program runs on the folder;
    /// returns the files removed.
    std::vector<std::filesystem::path> removeStale();

private:
    const std::filesystem::path caches_;
    const std::vector<std::filesystem::path> recovered_;
    int lock_ = -1;
};

}  // namespace strombel::app
