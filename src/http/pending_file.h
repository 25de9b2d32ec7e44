#pragma once

// A file written beside its destination and moved into place only when whole:
// the bytes go to a temporary file in the destination's folder, are synced to
// disk, and a rename replaces the destination at once. A pending file that is
// not committed removes itself, so a failed or cancelled write leaves nothing
// behind and an existing destination as it was.

#include <cstdint>
#include <filesystem>
#include <memory>
#include <span>
#include <string>
#include <string_view>

#include "json/result.h"

namespace strombel::http {

class PendingFile {
public:
    /// A new empty temporary file in `destination`'s folder. Without `synced` the
    /// bytes are not forced to disk before the rename (for files that check
    /// themselves, such as cache entries).
    static json::Result<std::unique_ptr<PendingFile>> createBeside(const std::filesystem::path& destination,
                                                                   bool synced = true);
    /// Whether `fileName` is the name such a temporary file gets (".NAME.part-XXXXXX").
    static bool isPendingFileName(std::string_view fileName);

    ~PendingFile();
    PendingFile(const PendingFile&) = delete;
    PendingFile& operator=(const PendingFile&) = delete;

    /// Appends bytes; false (with the reason in `failure()`) when the disk refuses.
    bool write(std::span<const uint8_t> bytes);
    /// Syncs the bytes to disk (when made `synced`) and closes the file; false when that fails.
    bool finishWriting();
    /// Renames the synced file onto the destination and syncs the folder.
    json::Result<void> commit();

    const std::filesystem::path& temporaryPath() const { return temporary_; }
    const std::filesystem::path& destination() const { return destination_; }
    uint64_t size() const { return size_; }
    /// Why the last write or sync failed.
    const std::string& failure() const { return failure_; }

private:
    PendingFile(std::filesystem::path destination, std::filesystem::path temporary, int fd, bool synced);

    std::filesystem::path destination_;
    std::filesystem::path temporary_;
    int fd_ = -1;
    uint64_t size_ = 0;
    bool synced_ = true;
    bool committed_ = false;
    std::string failure_;
};

}  // namespace strombel::http
