#include "http/pending_file.h"

#include "http/http_error.h"

namespace strombel::http {

namespace {

constexpr std::string_view kMark = ".part-";

}  // namespace

platform::Result<std::unique_ptr<PendingFile>> PendingFile::createBeside(const std::filesystem::path& destination,
                                                                         bool synced) {
    platform::WholeFileOptions options;
    options.named("." + destination.filename().string() + std::string(kMark) + "XXXXXX");
    if (!synced) options.unsynced();
    auto file = std::make_unique<platform::WholeFile>(destination, std::move(options));
    if (!file->isOpen()) return httpError(HttpErrorCode::File, file->failure().error().message());
    return std::unique_ptr<PendingFile>(new PendingFile(std::move(file)));
}

bool PendingFile::isPendingFileName(std::string_view fileName) {
    constexpr size_t kSuffix = 6;  // the unique letters of the name
    if (fileName.size() < 1 + 1 + kMark.size() + kSuffix || fileName.front() != '.') return false;
    return fileName.substr(fileName.size() - kSuffix - kMark.size(), kMark.size()) == kMark;
}

PendingFile::PendingFile(std::unique_ptr<platform::WholeFile> file)
    : file_(std::move(file)), temporary_(file_->asidePath()) {}

PendingFile::~PendingFile() = default;

bool PendingFile::write(std::span<const uint8_t> bytes) { return file_->write(bytes); }

bool PendingFile::finishWriting() { return file_->finish(); }

platform::Result<void> PendingFile::commit() {
    const platform::Result<void> committed = file_->commit();
    if (!committed) return httpError(HttpErrorCode::File, committed.error().message());
    return {};
}

}  // namespace strombel::http
