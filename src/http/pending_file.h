#pragma once

// A download written beside its destination and moved into place only when
// whole (a platform::WholeFile under the name the stale-file sweep knows). A
// pending file that is not committed removes itself, so a failed or cancelled
// write leaves nothing behind and an existing destination as it was.

#include <cstdint>
#include <filesystem>
#include <memory>
#include <span>
#include <string>
#include <string_view>

#include "platform/result.h"
#include "platform/whole_file.h"

namespace strombel::http {

class PendingFile {
public:
    /// A new empty temporary file in `destination`'s folder. Without `synced` the
    /// bytes are not forced to disk before the rename (for files that check
    /// themselves, such as cache entries).
    static platform::Result<std::unique_ptr<PendingFile>> createBeside(const std::filesystem::path& destination,
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
    platform::Result<void> commit();

    const std::filesystem::path& temporaryPath() const { return temporary_; }
    const std::filesystem::path& destination() const { return file_->target(); }
    uint64_t size() const { return file_->size(); }
    /// Why the last write or sync failed; empty while nothing failed.
    std::string failure() const { return file_->failure() ? std::string() : file_->failure().error().message(); }

  private:
    explicit PendingFile(std::unique_ptr<platform::WholeFile> file);

    std::unique_ptr<platform::WholeFile> file_;
    std::filesystem::path temporary_;
};

}  // namespace strombel::http
