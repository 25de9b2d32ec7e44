// Answers no proper server gives, from a raw loopback socket: each fails with
// its error, without a finished message, and leaves no file behind.

#include <gtest/gtest.h>

#include <atomic>
#include <fstream>

#include "http_test_support.h"

namespace strombel::http::testing {
namespace {

struct BadAnswer {
    const char* name;
    std::string bytes;        // sent after the request, then the connection closes
    HttpErrorCode expected;
    uint64_t maximumBodySize = HttpRequest::kDefaultMaximumBodySize;  // a smaller one limits a download too
    bool alsoAsDownload = true;  // fails the same way when written to a file
};

std::string head(const std::string& fields) { return "HTTP/1.1 200 OK\r\n" + fields + "\r\n"; }

std::vector<BadAnswer> badAnswers() {
    std::string zeros(200'000, '\0');
    std::string gzipped = compress(compressibleText(), Compression::Gzip);
    std::string cutGzip = gzipped.substr(0, gzipped.size() / 2);
    return {
        {"body shorter than its length", head("Content-Length: 100\r\n") + "only this", HttpErrorCode::ConnectionFailure},
        {"cut chunked stream", head("Transfer-Encoding: chunked\r\n") + "5\r\nhello\r\n10\r\nabc",
         HttpErrorCode::ConnectionFailure},
        {"close before the status line", "", HttpErrorCode::ConnectionFailure},
        {"malformed status line", "HTTX/1.1 abc\r\n\r\nhello", HttpErrorCode::ConnectionFailure},
        {"status line of another protocol", "SSH-2.0-OpenSSH_9.2\r\n", HttpErrorCode::ConnectionFailure},
        {"endless header line", "HTTP/1.1 200 OK\r\nX-Long: " + std::string(300'000, 'a'),
         HttpErrorCode::ConnectionFailure},
        {"endless header block", "HTTP/1.1 200 OK\r\n" + [] {
             std::string lines;
             for (int i = 0; i < 40'000; ++i) lines += "X-Pad: 1234\r\n";
             return lines;
         }(), HttpErrorCode::TooLarge},
        {"length of 2^63-1", head("Content-Length: 9223372036854775807\r\n") + "abc", HttpErrorCode::TooLarge, 
         HttpRequest::kDefaultMaximumBodySize, /*alsoAsDownload=*/true},
        {"length past 64 bits", head("Content-Length: 99999999999999999999999\r\n") + "abc",
         HttpErrorCode::ConnectionFailure},
        {"two lengths that disagree", head("Content-Length: 3\r\nContent-Length: 4\r\n") + "abcd",
         HttpErrorCode::ConnectionFailure},
        {"length past the limit", head("Content-Length: 5000\r\n") + std::string(5000, 'x'), HttpErrorCode::TooLarge,
         1000},
        {"body without length past the limit", head("Connection: close\r\n") + std::string(5000, 'x'),
         HttpErrorCode::TooLarge, 1000},
        {"gzip that does not inflate", head("Content-Encoding: gzip\r\nContent-Length: 12\r\n") + "not gzip at all",
         HttpErrorCode::BadCompressedData},
        {"gzip cut short", head("Content-Encoding: gzip\r\nContent-Length: " + std::to_string(cutGzip.size()) + "\r\n") +
                               cutGzip,
         HttpErrorCode::BadCompressedData},
        {"gzip inflating past the limit",
         [&] {
             std::string bomb = compress(zeros, Compression::Gzip);
             return head("Content-Encoding: gzip\r\nContent-Length: " + std::to_string(bomb.size()) + "\r\n") + bomb;
         }(),
         HttpErrorCode::TooLarge, 10'000},
    };
}

class BadResponseTest : public HttpTest {
protected:
    // Runs one bad answer, in memory or into a download, and checks the common ground.
    void expectFailure(const BadAnswer& answer, bool download) {
        SCOPED_TRACE(std::string(answer.name) + (download ? " (download)" : ""));
        RawServer raw([&](RawConnection& connection) {
            connection.readRequest();
            connection.send(answer.bytes);
        });
        std::filesystem::path folder = dir / "downloads";
        std::filesystem::create_directories(folder);
        auto request = makeRequest(raw.url("/pack"));
        RecordingDelegate delegate;
        request->setDelegate(&delegate);
        request->setMaximumBodySize(answer.maximumBodySize);
        if (download) {
            request->setDownloadDestinationPath(folder / "pack");
            if (answer.maximumBodySize != HttpRequest::kDefaultMaximumBodySize)
                request->setMaximumDownloadSize(answer.maximumBodySize);
        }
        run(*request);
        EXPECT_EQ(errorCode(*request), code(answer.expected)) << request->error()->description();
        EXPECT_FALSE(delegate.heard("finished"));
        EXPECT_EQ(delegate.ends, 1);
        EXPECT_TRUE(filesIn(folder).empty());
        std::filesystem::remove_all(folder);
    }
};

TEST_F(BadResponseTest, EachBadAnswerFailsWithItsErrorAndLeavesNothing) {
    for (const BadAnswer& answer : badAnswers()) {
        expectFailure(answer, false);
        if (answer.alsoAsDownload) expectFailure(answer, true);
    }
}

TEST_F(BadResponseTest, AHugeLengthFailsBeforeAnyOfTheBodyIsTaken) {
    RawServer raw([](RawConnection& connection) {
        connection.readRequest();
        connection.send(head("Content-Length: 9223372036854775807\r\n") + std::string(10'000, 'x'));
        connection.hold();
    });
    auto request = makeRequest(raw.url("/pack"));
    RecordingDelegate delegate;
    request->setDelegate(&delegate);
    run(*request);
    EXPECT_EQ(errorCode(*request), code(HttpErrorCode::TooLarge));
    EXPECT_EQ(request->bytesReceived(), 0);
    EXPECT_TRUE(delegate.data.empty());
    raw.release();
}

TEST_F(BadResponseTest, AnEndlessChunkedDownloadStopsAtItsLimitAndLeavesNoFile) {
    constexpr uint64_t kLimit = 1024 * 1024;
    std::atomic<uint64_t> streamed{0};
    std::atomic<bool> streaming{true};
    RawServer raw([&](RawConnection& connection) {
        connection.readRequest();
        connection.send(head("Transfer-Encoding: chunked\r\n"));
        const std::string chunk = "10000\r\n" + std::string(0x10000, 'x') + "\r\n";
        while (connection.send(chunk)) streamed += 0x10000;  // until the client hangs up
        streaming = false;
    });
    auto request = makeRequest(raw.url("/kit.pack"));
    request->setDownloadDestinationPath(dir / "kit.pack");
    request->setMaximumDownloadSize(kLimit);
    run(*request);
    EXPECT_EQ(errorCode(*request), code(HttpErrorCode::TooLarge)) << request->error()->description();
    EXPECT_EQ(request->error()->message(), "The download is larger than 1 MB");
    EXPECT_TRUE(filesIn(dir.path()).empty());
    // Taken: the limit and at most the one piece that passed it.
    EXPECT_GT(request->bytesReceived(), int64_t(kLimit));
    EXPECT_LE(request->bytesReceived(), int64_t(kLimit + 0x10000));
    ASSERT_TRUE(pumpUntil([&] { return !streaming.load(); })) << "the connection was closed";
    EXPECT_LT(streamed.load(), kLimit + 16 * 1024 * 1024);
}

TEST_F(BadResponseTest, ALengthPastTheDownloadLimitFailsBeforeAnyOfTheBodyIsTaken) {
    RawServer raw([](RawConnection& connection) {
        connection.readRequest();
        connection.send(head("Content-Length: 2000000\r\n") + std::string(10'000, 'x'));
        connection.hold();
    });
    auto request = makeRequest(raw.url("/kit.pack"));
    request->setDownloadDestinationPath(dir / "kit.pack");
    request->setMaximumDownloadSize(1'000'000);
    run(*request);
    EXPECT_EQ(errorCode(*request), code(HttpErrorCode::TooLarge));
    EXPECT_EQ(request->bytesReceived(), 0);
    EXPECT_TRUE(filesIn(dir.path()).empty());
    raw.release();
}

TEST_F(BadResponseTest, AServerThatStopsHalfwayTimesOutAndLeavesNoFile) {
    RawServer raw([](RawConnection& connection) {
        connection.readRequest();
        connection.send(head("Content-Length: 20000\r\n") + std::string(10'000, 'x'));
        connection.hold();
    });
    std::ofstream(dir / "kit.pack") << "the old pack";
    auto request = makeRequest(raw.url("/kit.pack"));
    request->setTimeout(20);
    request->setDownloadDestinationPath(dir / "kit.pack");
    request->startAsynchronous();
    ASSERT_TRUE(pumpUntil([&] { return request->bytesReceived() == 10'000; }));
    clock.advance(20 * platform::kNanosPerSecond);
    ASSERT_TRUE(pumpUntilEnded(*request));
    EXPECT_EQ(errorCode(*request), code(HttpErrorCode::TimedOut));
    EXPECT_EQ(filesIn(dir.path()), std::vector<std::string>{"kit.pack"});
    std::ifstream kept(dir / "kit.pack");
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(kept), {}), "the old pack");
    raw.release();
}

TEST_F(BadResponseTest, TrailingBytesAfterADeflateStreamAreBadData) {
    std::string deflated = compress("pad", Compression::Zlib) + "junk";
    RawServer raw([&](RawConnection& connection) {
        connection.readRequest();
        connection.send(head("Content-Encoding: deflate\r\nContent-Length: " + std::to_string(deflated.size()) +
                             "\r\n") +
                        deflated);
    });
    auto request = makeRequest(raw.url("/pack"));
    run(*request);
    EXPECT_EQ(errorCode(*request), code(HttpErrorCode::BadCompressedData));
}

}  // namespace
}  // namespace strombel::http::testing
