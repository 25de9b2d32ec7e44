#include "app/stale_cache_files.h"

#include <algorithm>
#include <string>

#include "editor/audio_files.h"
#include "http/http_download_cache.h"
#include "http/pending_file.h"
#include "logging/log.h"
#include "platform/audio_file.h"

namespace strombel::app {
namespace {

bool isHalfWritten(const std::string& name) {
    return platform::WaveWriter::isPartialFileName(name) || editor::isTemporaryAudioFileName(name) ||
           http::PendingFile::isPendingFileName(name);
}

void removeHalfWrittenIn(const std::filesystem::path& folder, const std::vector<std::filesystem::path>& recovered,
                         std::vector<std::filesystem::path>& removed) {
    std::error_code error;
    for (std::filesystem::directory_iterator it(folder, error), end; !error && it != end; it.increment(error)) {
        // Regular files only, never what a link points to.
        if (!it->is_regular_file(error) || it->is_symlink(error)) continue;
        if (!isHalfWritten(it->path().filename().string())) continue;
        if (std::find(recovered.begin(), recovered.end(), it->path()) != recovered.end()) continue;
        std::error_code ignored;
        if (std::filesystem::remove(it->path(), ignored)) removed.push_back(it->path());
    }
}

}  // namespace

StaleCacheFiles::StaleCacheFiles(const platform::Sandbox& sandbox, const platform::DataFolderLock& folder,
                                 std::vector<std::filesystem::path> recovered)
    : caches_(sandbox.caches()), folder_(folder), recovered_(std::move(recovered)) {}

std::vector<std::filesystem::path> StaleCacheFiles::removeStale() {
    std::vector<std::filesystem::path> removed;
    if (!folder_.owned()) return removed;  // the owner may be writing them
    // The exports, pastes and the audio exchange's file; downloaded samples (and
    // trims of them); the store's staging folders, one per pack; the HTTP cache;
    // the microphone's take, at the top.
    removeHalfWrittenIn(caches_, recovered_, removed);
    removeHalfWrittenIn(caches_ / "export", recovered_, removed);
    removeHalfWrittenIn(caches_ / "downloads", recovered_, removed);
    removeHalfWrittenIn(caches_ / http::HttpDownloadCache::kFolderName, recovered_, removed);
    std::error_code error;
    const std::filesystem::path staging = caches_ / "StoreDownloads";
    for (std::filesystem::directory_iterator it(staging, error), end; !error && it != end; it.increment(error)) {
        if (it->is_directory(error) && !it->is_symlink(error)) removeHalfWrittenIn(it->path(), recovered_, removed);
    }
    for (const auto& path : removed) STROMBEL_LOG_INFO("removed {}, left half-written by an earlier run", path.string());
    return removed;
}

}  // namespace strombel::app
