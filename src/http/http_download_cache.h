#pragma once

// The on-disk cache of GET answers. An entry is two files named by the MD5 of the
// request's address (no part of a name comes from the network): "<md5>.body"
// with the body as the server sent it, and "<md5>.headers" (http/cache_entry.h).
// Both are written through temporary files and renamed into place.
//
// What goes in: answers with status 200 to GET requests without a body or a
// download destination, unless the server said "Cache-Control: no-store".
// What comes out: a stored ETag or Last-Modified goes out with the next request
// as If-None-Match or If-Modified-Since, and a 304 answer takes the stored body.
// A damaged entry is deleted and the request goes to the network; a cache that
// cannot be written never fails a request.
//
// Safe to use from any thread; the network thread reads and writes entries.

#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "http/http_headers.h"

namespace strombel::http {

class PendingFile;

class HttpDownloadCache {
public:
    /// The folder of the program's cache, under the caches folder.
    static constexpr const char* kFolderName = "HttpRequestCache";

    /// A cache keeping its entries in `storagePath` (made when first needed).
    explicit HttpDownloadCache(std::filesystem::path storagePath);

    /// The program's cache in the sandbox's caches folder, made on the first call.
    static std::shared_ptr<HttpDownloadCache> sharedCache();

    const std::filesystem::path& storagePath() const { return storagePath_; }

    /// A stored answer. The body is as the server sent it: still compressed when
    /// the headers carry a Content-Encoding.
    struct Entry {
        int status = 0;
        HttpHeaders headers;
        std::vector<uint8_t> body;
    };

    /// The entry stored for `url`, if it is whole; a damaged entry is deleted.
    /// An entry whose body is larger than `maximumBodySize` is left alone and not
    /// returned.
    std::optional<Entry> cachedResponseForURL(const std::string& url, uint64_t maximumBodySize);

    /// Deletes the entry for `url`, if any.
    void removeCachedResponseForURL(const std::string& url);

    /// Writes one new entry while its body arrives; nothing is stored unless
    /// `commit` is called. Any write failure quietly abandons the entry.
    class Writer {
    public:
        ~Writer();
        Writer(const Writer&) = delete;
        Writer& operator=(const Writer&) = delete;
        void write(std::span<const uint8_t> bytes);
        /// Stores the entry, replacing an older one for the same address.
        void commit(int status, const HttpHeaders& headers);

    private:
        friend class HttpDownloadCache;
        Writer(HttpDownloadCache& cache, std::string url, std::unique_ptr<PendingFile> body);
        HttpDownloadCache& cache_;
        std::string url_;
        std::unique_ptr<PendingFile> body_;
        uint32_t crc_ = 0;
        bool failed_ = false;
    };

    /// A writer for a new entry of `url`, or null when the folder cannot be used.
    /// The writer must not outlive the cache.
    std::unique_ptr<Writer> beginStoring(const std::string& url);

    /// The name stem of `url`'s entry: its MD5 in 32 lower-case hex digits.
    static std::string keyForURL(const std::string& url);
    std::filesystem::path bodyPathForURL(const std::string& url) const;
    std::filesystem::path headerPathForURL(const std::string& url) const;

private:
    void removeFiles(const std::string& url);

    const std::filesystem::path storagePath_;
    std::mutex mutex_;
};

}  // namespace strombel::http
