// The download cache against the loopback server: stored answers revalidated
// with a 304, "no-store", damaged entries, a replaced default, a cache that
// cannot be written, and compressed bodies.

#include <gtest/gtest.h>

#include <fstream>

#include "http/http_download_cache.h"
#include "http_test_support.h"
#include "platform/sandbox.h"

namespace strombel::http::testing {
namespace {

class HttpDownloadCacheTest : public HttpTest {
protected:
    std::unique_ptr<HttpRequest> cachedRequest(const std::string& path,
                                               std::shared_ptr<HttpDownloadCache> with = nullptr) {
        auto request = makeRequest(server.url(path));
        request->setDownloadCache(with ? with : cache);
        return request;
    }
    // The If-None-Match the server saw on its last request for `path`.
    std::string lastValidator(const std::string& path) const {
        std::string validator = "(none)";
        for (const auto& request : server.requests()) {
            if (request.path == path) validator = request.hasHeader("If-None-Match") ? request.header("If-None-Match") : "";
        }
        return validator;
    }

    std::shared_ptr<HttpDownloadCache> cache = std::make_shared<HttpDownloadCache>(dir / "HttpRequestCache");
};

TEST_F(HttpDownloadCacheTest, ANotModifiedAnswerTakesTheStoredBody) {
    auto first = cachedRequest("/cached");
    run(*first);
    EXPECT_EQ(first->responseString(), "cached body");
    EXPECT_FALSE(first->didUseCachedResponse());
    EXPECT_EQ(lastValidator("/cached"), "");
    std::string key = HttpDownloadCache::keyForURL(server.url("/cached"));
    EXPECT_EQ(filesIn(cache->storagePath()), (std::vector<std::string>{key + ".body", key + ".headers"}));

    auto second = cachedRequest("/cached");
    RecordingDelegate delegate;
    second->setDelegate(&delegate);
    run(*second);
    EXPECT_EQ(lastValidator("/cached"), "\"v1\"");
    EXPECT_TRUE(second->didUseCachedResponse());
    EXPECT_EQ(second->responseStatusCode(), 200);
    EXPECT_EQ(second->responseString(), "cached body");
    EXPECT_EQ(delegate.data, "cached body");
    EXPECT_EQ(headerValue(second->responseHeaders(), "ETag"), "\"v1\"");
}

TEST_F(HttpDownloadCacheTest, LastModifiedGoesBackAsIfModifiedSince) {
    run(*cachedRequest("/modified"));
    auto second = cachedRequest("/modified");
    run(*second);
    EXPECT_EQ(server.requests().back().header("If-Modified-Since"), "Wed, 01 Jan 2025 10:00:00 GMT");
    EXPECT_TRUE(second->didUseCachedResponse());
    EXPECT_EQ(second->responseString(), "modified body");
}

TEST_F(HttpDownloadCacheTest, NoStoreAnswersAndOtherRequestsAreNotKept) {
    run(*cachedRequest("/nostore"));
    run(*cachedRequest("/status/404"));
    auto posted = cachedRequest("/echo");
    posted->setPostBody("body");
    run(*posted);
    auto downloaded = cachedRequest("/cached");
    downloaded->setDownloadDestinationPath(dir / "cached.txt");
    run(*downloaded);
    EXPECT_TRUE(filesIn(cache->storagePath()).empty());

    auto again = cachedRequest("/nostore");
    run(*again);
    EXPECT_EQ(lastValidator("/nostore"), "");
    EXPECT_FALSE(again->didUseCachedResponse());
}

TEST_F(HttpDownloadCacheTest, ADamagedEntryIsDeletedAndTheRequestGoesToTheNetwork) {
    struct Damage {
        const char* name;
        std::function<void(const std::filesystem::path& body, const std::filesystem::path& headers)> apply;
    };
    auto rewrite = [](const std::filesystem::path& path, const std::string& bytes) {
        std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
    };
    const Damage damages[] = {
        {"body cut short", [&](auto& body, auto&) { rewrite(body, "cached"); }},
        {"body changed", [&](auto& body, auto&) { rewrite(body, "cached bodY"); }},
        {"body missing", [](auto& body, auto&) { std::filesystem::remove(body); }},
        {"header file of garbage", [&](auto&, auto& headers) { rewrite(headers, "\x01\x02 not a header file"); }},
        {"header file cut short", [&](auto&, auto& headers) {
             std::ifstream in(headers);
             std::string text(std::istreambuf_iterator<char>(in), {});
             rewrite(headers, text.substr(0, text.size() / 2));
         }},
        {"header file of another address", [&](auto&, auto& headers) {
             std::ifstream in(headers);
             std::string text(std::istreambuf_iterator<char>(in), {});
             size_t at = text.find("/cached");
             rewrite(headers, text.replace(at, 7, "/forged"));
         }},
    };
    for (const Damage& damage : damages) {
        SCOPED_TRACE(damage.name);
        run(*cachedRequest("/cached"));
        std::string url = server.url("/cached");
        damage.apply(cache->bodyPathForURL(url), cache->headerPathForURL(url));

        auto request = cachedRequest("/cached");
        run(*request);
        EXPECT_EQ(lastValidator("/cached"), "");  // asked as if nothing were stored
        EXPECT_FALSE(request->didUseCachedResponse());
        EXPECT_EQ(request->responseString(), "cached body");
        // ... and the fresh answer took the damaged entry's place.
        ASSERT_TRUE(cache->cachedResponseForURL(url, 1000));
        cache->removeCachedResponseForURL(url);
    }
}

TEST_F(HttpDownloadCacheTest, ARequestKeepsItsCacheWhenTheDefaultIsReplaced) {
    auto first = std::make_shared<HttpDownloadCache>(dir / "first");
    auto second = std::make_shared<HttpDownloadCache>(dir / "second");
    HttpRequest::setDefaultCache(first);
    auto early = makeRequest(server.url("/cached"));
    HttpRequest::setDefaultCache(second);
    first.reset();  // only the early request holds it now
    auto late = makeRequest(server.url("/modified"));
    run(*early);
    run(*late);
    HttpRequest::setDefaultCache(nullptr);
    EXPECT_EQ(filesIn(dir / "first").size(), 2u);
    EXPECT_EQ(filesIn(dir / "second").size(), 2u);
    EXPECT_TRUE(second->cachedResponseForURL(server.url("/modified"), 1000));
    EXPECT_FALSE(second->cachedResponseForURL(server.url("/cached"), 1000));
    EXPECT_FALSE(makeRequest(server.url("/cached"))->isFinished());  // made without a default: no cache
}

TEST_F(HttpDownloadCacheTest, ACacheThatCannotBeWrittenNeverFailsARequest) {
    std::ofstream(dir / "not-a-folder") << "a file where the cache folder should be";
    auto blocked = std::make_shared<HttpDownloadCache>(dir / "not-a-folder");
    auto request = cachedRequest("/cached", blocked);
    run(*request);
    EXPECT_FALSE(request->error());
    EXPECT_EQ(request->responseString(), "cached body");
}

TEST_F(HttpDownloadCacheTest, CompressedBodiesInflateFromTheNetworkAndFromTheCache) {
    for (const char* path : {"/gzip", "/deflate", "/raw-deflate"}) {
        auto request = makeRequest(server.url(path));
        RecordingDelegate delegate;
        request->setDelegate(&delegate);
        run(*request);
        EXPECT_EQ(request->responseString(), compressibleText()) << path;
        EXPECT_EQ(delegate.data, compressibleText()) << path;
        EXPECT_LT(request->bytesReceived(), static_cast<int64_t>(compressibleText().size()) / 4) << path;
    }
    run(*cachedRequest("/cached-gzip"));
    auto fromCache = cachedRequest("/cached-gzip");
    run(*fromCache);
    EXPECT_TRUE(fromCache->didUseCachedResponse());
    EXPECT_EQ(fromCache->responseString(), compressibleText());
    // The stored body stays as it came: compressed.
    std::error_code error;
    EXPECT_LT(std::filesystem::file_size(cache->bodyPathForURL(server.url("/cached-gzip")), error),
              compressibleText().size() / 4);
}

TEST_F(HttpDownloadCacheTest, ABodyThatArrivesInPiecesIsStoredWholeAndReadBack) {
    // Pieces as a network read hands them over: of uneven sizes, one of them empty.
    std::vector<uint8_t> body(70'000);
    for (size_t i = 0; i < body.size(); ++i) body[i] = static_cast<uint8_t>(i * 7 + i / 251);
    const size_t cuts[] = {0, 1, 1, 16'384, 16'385, 50'000, body.size()};
    const std::string url = "http://127.0.0.1:1/pieces";
    auto writer = cache->beginStoring(url);
    ASSERT_TRUE(writer);
    for (size_t i = 0; i + 1 < std::size(cuts); ++i) {
        writer->write(std::span<const uint8_t>(body.data() + cuts[i], cuts[i + 1] - cuts[i]));
    }
    writer->commit(200, {{"ETag", "\"p1\""}});
    writer.reset();

    auto entry = cache->cachedResponseForURL(url, body.size());
    ASSERT_TRUE(entry) << "the entry's checksum covers every piece";
    EXPECT_EQ(entry->status, 200);
    EXPECT_EQ(entry->body, body);
    EXPECT_EQ(headerValue(entry->headers, "ETag"), "\"p1\"");
}

TEST_F(HttpDownloadCacheTest, TheSharedCacheLivesInTheCachesFolder) {
    platform::Sandbox::setShared(std::make_unique<platform::Sandbox>(dir / "root", dir / "bundle"));
    std::shared_ptr<HttpDownloadCache> shared = HttpDownloadCache::sharedCache();
    EXPECT_EQ(shared, HttpDownloadCache::sharedCache());
    EXPECT_EQ(shared->storagePath(), dir / "root" / "Library" / "Caches" / "HttpRequestCache");
}

}  // namespace
}  // namespace strombel::http::testing
