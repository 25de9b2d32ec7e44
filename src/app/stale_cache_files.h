#pragma once

#include <filesystem>
#include <vector>

#include "platform/data_folder_lock.h"
#include "platform/sandbox.h"

namespace strombel::app {

/// Files a run left half-written in the program's own cache folders: an export
/// or the microphone's take (".NAME.partial"), a paste or a trim (".partial-XXXXXX"),
/// a download or an HTTP cache entry (".NAME.part-XXXXXX"). The folder's owner
/// removes them at its start: no other program runs on the folder to be writing
/// them. Nothing else, and nothing outside those folders, is touched.
class StaleCacheFiles {
public:
    /// `folder`: this program's hold on the data folder; a program that does not
    /// own the folder sweeps nothing. `recovered`: half-written files the sweep
    /// leaves alone, for whoever recovers them (the microphone's take).
    StaleCacheFiles(const platform::Sandbox& sandbox, const platform::DataFolderLock& folder,
                    std::vector<std::filesystem::path> recovered = {});

    /// Removes the half-written files when this program owns the folder;
    /// returns the files removed.
    std::vector<std::filesystem::path> removeStale();

private:
    const std::filesystem::path caches_;
    const platform::DataFolderLock& folder_;
    const std::vector<std::filesystem::path> recovered_;
};

}  // namespace strombel::app
