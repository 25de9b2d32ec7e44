#include "http/http_download_cache.h"

#include <fmt/format.h>
#include <openssl/evp.h>
#include <zlib.h>

#include <fstream>
#include <iterator>
#include <system_error>

#include "http/cache_entry.h"
#include "http/pending_file.h"
#include "logging/log.h"
#include "platform/sandbox.h"

namespace strombel::http {

namespace {

std::mutex sharedCacheMutex;

// Reads at most `limit` bytes of `path`; nothing when it is missing, unreadable
// or longer than the limit.
std::optional<std::string> readSmallFile(const std::filesystem::path& path, uint64_t limit) {
    std::error_code error;
    uint64_t size = std::filesystem::file_size(path, error);
    if (error || size > limit) return std::nullopt;
    std::ifstream in(path, std::ios::binary);
    if (!in) return std::nullopt;
    std::string bytes(static_cast<size_t>(size), '\0');
    in.read(bytes.data(), static_cast<std::streamsize>(size));
    if (static_cast<uint64_t>(in.gcount()) != size || in.peek() != std::char_traits<char>::eof()) {
        return std::nullopt;
    }
    return bytes;
}

uint32_t crcOf(std::span<const uint8_t> bytes, uint32_t crc = 0) {
    while (!bytes.empty()) {
        size_t piece = std::min<size_t>(bytes.size(), 1u << 30);
        crc = static_cast<uint32_t>(::crc32(crc, bytes.data(), static_cast<uInt>(piece)));
        bytes = bytes.subspan(piece);
    }
    return crc;
}

}  // namespace

HttpDownloadCache::HttpDownloadCache(std::filesystem::path storagePath) : storagePath_(std::move(storagePath)) {}

std::shared_ptr<HttpDownloadCache> HttpDownloadCache::sharedCache() {
    std::lock_guard lock(sharedCacheMutex);
    static std::shared_ptr<HttpDownloadCache> cache;
    if (!cache) cache = std::make_shared<HttpDownloadCache>(platform::Sandbox::shared().caches() / kFolderName);
    return cache;
}

std::string HttpDownloadCache::keyForURL(const std::string& url) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    EVP_Digest(url.data(), url.size(), digest, &length, EVP_md5(), nullptr);
    std::string key;
    for (unsigned int i = 0; i < length; ++i) key += fmt::format("{:02x}", digest[i]);
    return key;
}

std::filesystem::path HttpDownloadCache::bodyPathForURL(const std::string& url) const {
    return storagePath_ / (keyForURL(url) + ".body");
}

std::filesystem::path HttpDownloadCache::headerPathForURL(const std::string& url) const {
    return storagePath_ / (keyForURL(url) + ".headers");
}

void HttpDownloadCache::removeFiles(const std::string& url) {
    std::error_code ignored;
    std::filesystem::remove(headerPathForURL(url), ignored);
    std::filesystem::remove(bodyPathForURL(url), ignored);
}

void HttpDownloadCache::removeCachedResponseForURL(const std::string& url) {
    std::lock_guard lock(mutex_);
    removeFiles(url);
}

std::optional<HttpDownloadCache::Entry> HttpDownloadCache::cachedResponseForURL(const std::string& url,
                                                                                uint64_t maximumBodySize) {
    std::lock_guard lock(mutex_);
    std::filesystem::path headerPath = headerPathForURL(url);
    std::error_code error;
    if (!std::filesystem::exists(headerPath, error)) return std::nullopt;

    auto damaged = [&](const char* why) -> std::optional<Entry> {
        STROMBEL_LOG_WARN("HttpDownloadCache: deleting the damaged entry of {} ({})", url, why);
        removeFiles(url);
        return std::nullopt;
    };

    std::optional<std::string> headerText = readSmallFile(headerPath, kMaximumCacheHeaderSize);
    if (!headerText) return damaged("unreadable header file");
    std::optional<CacheEntryHeader> header = readCacheEntryHeader(*headerText);
    if (!header) return damaged("malformed header file");
    if (header->url != url) return damaged("header file of another address");
    if (header->length > maximumBodySize) return std::nullopt;
    std::optional<std::string> body = readSmallFile(bodyPathForURL(url), header->length);
    if (!body || body->size() != header->length) return damaged("body file missing or of the wrong size");
    std::span<const uint8_t> bytes(reinterpret_cast<const uint8_t*>(body->data()), body->size());
    if (crcOf(bytes) != header->crc32) return damaged("body file does not match its checksum");

    Entry entry;
    entry.status = header->status;
    entry.headers = std::move(header->headers);
    entry.body.assign(bytes.begin(), bytes.end());
    return entry;
}

std::unique_ptr<HttpDownloadCache::Writer> HttpDownloadCache::beginStoring(const std::string& url) {
    std::error_code error;
    std::filesystem::create_directories(storagePath_, error);
    if (error) {
        STROMBEL_LOG_WARN("HttpDownloadCache: cannot use {}: {}", storagePath_.string(), error.message());
        return nullptr;
    }
    auto body = PendingFile::createBeside(bodyPathForURL(url), /*synced=*/false);
    if (!body.ok()) {
        STROMBEL_LOG_WARN("HttpDownloadCache: {}", body.error().message());
        return nullptr;
    }
    return std::unique_ptr<Writer>(new Writer(*this, url, std::move(body).value()));
}

HttpDownloadCache::Writer::Writer(HttpDownloadCache& cache, std::string url, std::unique_ptr<PendingFile> body)
    : cache_(cache), url_(std::move(url)), body_(std::move(body)) {}

HttpDownloadCache::Writer::~Writer() = default;

void HttpDownloadCache::Writer::write(std::span<const uint8_t> bytes) {
    if (failed_) return;
    crc_ = crcOf(bytes, crc_);
    if (!body_->write(bytes)) {
        STROMBEL_LOG_WARN("HttpDownloadCache: {}", body_->failure());
        failed_ = true;
    }
}

void HttpDownloadCache::Writer::commit(int status, const HttpHeaders& headers) {
    if (failed_) return;
    failed_ = true;  // one commit per writer
    if (!body_->finishWriting()) {
        STROMBEL_LOG_WARN("HttpDownloadCache: {}", body_->failure());
        return;
    }
    CacheEntryHeader header{url_, status, body_->size(), crc_, headers};
    std::string text = writeCacheEntryHeader(header);
    auto headerFile = PendingFile::createBeside(cache_.headerPathForURL(url_), /*synced=*/false);
    if (!headerFile.ok()) return;
    std::unique_ptr<PendingFile> headerWriter = std::move(headerFile).value();
    if (!headerWriter->write(std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(text.data()), text.size())) ||
        !headerWriter->finishWriting()) {
        STROMBEL_LOG_WARN("HttpDownloadCache: {}", headerWriter->failure());
        return;
    }
    std::lock_guard lock(cache_.mutex_);
    // The body goes first: a header file never names a body that is not there yet,
    // and a mismatch left by a crash between the renames fails the checksum.
    if (!body_->commit().ok() || !headerWriter->commit().ok()) {
        STROMBEL_LOG_WARN("HttpDownloadCache: could not store the entry of {}", url_);
        cache_.removeFiles(url_);
    }
}

}  // namespace strombel::http
