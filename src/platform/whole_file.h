#pragma once

// Replacing a file whole: the bytes go to a file aside in the target's folder,
// are forced to disk, and a rename puts them under the target's name at once; the
// folder is synced so that the rename lasts too. A reader sees the old file or
// the new one, never part of one, and a failure at any step leaves nothing aside
// and the target as it was.

#include <sys/types.h>

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "platform/posix_error.h"
#include "platform/result.h"

namespace strombel::platform {

struct WholeFileOptions {
    /// The name of the file aside, in the target's folder; a trailing "XXXXXX"
    /// becomes six letters and digits no file there has. Empty: "." + the
    /// target's name + ".tmp-XXXXXX". Sweeps of stale files know these names.
    std::string asideName;
    /// The mode of the new file. None: the mode of the file it replaces, or for
    /// a new name 0644 as the process's creation mask allows.
    std::optional<mode_t> mode;
    /// Whether the bytes and the rename are forced to disk. Files that check
    /// themselves when read (cache entries) may skip it.
    bool synced = true;
    /// Forces one descriptor's bytes to disk: the file's before the rename, its
    /// folder's after it. Empty: fsync (a test may count the calls).
    std::function<int(int fd)> sync;

    WholeFileOptions& named(std::string name) {
        asideName = std::move(name);
        return *this;
    }
    WholeFileOptions& withMode(mode_t newMode) {
        mode = newMode;
        return *this;
    }
    WholeFileOptions& unsynced() {
        synced = false;
        return *this;
    }
};

/// A file being written aside of its target. Until `commit` it lies under its
/// aside name; one that is not committed is removed when the object goes.
/// Belongs to one thread at a time; does file I/O (never on a real-time thread).
class WholeFile {
public:
    /// Makes the file aside of `target`; `isOpen()` is false, with `failure()`
    /// set, when it cannot be made.
    explicit WholeFile(std::filesystem::path target, WholeFileOptions options = {});
    ~WholeFile();
    WholeFile(const WholeFile&) = delete;
    WholeFile& operator=(const WholeFile&) = delete;

    bool isOpen() const { return fd_ >= 0; }
    /// The open descriptor, for writers that want one (libsndfile); -1 once
    /// finished. Whoever writes through it reports its own failures.
    int fd() const { return fd_; }
    const std::filesystem::path& target() const { return target_; }
    const std::filesystem::path& asidePath() const { return aside_; }
    uint64_t size() const { return size_; }
    /// The first failure (a posixError naming the step and the file); ok while there was none.
    const Result<void>& failure() const { return failure_; }

    /// Appends all of `bytes`; false, with `failure()` set, when the disk refuses.
    bool write(std::span<const uint8_t> bytes);
    bool write(std::string_view text);
    /// Forces the bytes to disk (when synced) and closes the file; false, with
    /// `failure()` set and the file removed, when that fails. `commit` does it
    /// when it has not been done.
    bool finish();
    /// Finishes the file and renames it over the target. On failure the file
    /// aside is removed and the target stays as it was.
    Result<void> commit();
    /// Finishes the file and gives it `name`, in the same folder, only when no
    /// file has that name. A taken name fails with EEXIST and keeps the file
    /// aside, to be tried under another name; any other failure removes it.
    Result<void> commitWithoutReplacing(const std::filesystem::path& name);
    /// Removes the file aside, unless it was committed.
    void abandon();

private:
    void fail(int code, std::string_view step, const std::filesystem::path& path);
    /// Settles a rename to `name` that ended with `error` (0: it went well):
    /// the folder is synced, or the file aside removed.
    Result<void> renamed(int error, const std::filesystem::path& name);
    void syncFolder();

    std::filesystem::path target_, aside_;
    int fd_ = -1;
    uint64_t size_ = 0;
    bool synced_ = true;
    std::function<int(int fd)> sync_;
    bool finished_ = false;
    Result<void> failure_;
};

/// Replaces `target` with `bytes` whole (see `WholeFile`).
Result<void> writeFileWhole(const std::filesystem::path& target, std::span<const uint8_t> bytes,
                            WholeFileOptions options = {});
Result<void> writeFileWhole(const std::filesystem::path& target, std::string_view text, WholeFileOptions options = {});

}  // namespace strombel::platform
