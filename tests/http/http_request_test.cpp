// Requests against the loopback server: bodies both ways, statuses, credentials,
// redirects, cookies, cancelling, time-outs on the manual clock, downloads, TLS.

#include <gtest/gtest.h>

#include <condition_variable>
#include <fstream>
#include <mutex>
#include <random>

#include "http_test_support.h"

namespace strombel::http::testing {
namespace {

std::string readFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

void writeFile(const std::filesystem::path& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary) << bytes;
}

std::string randomBytes(size_t size) {
    std::mt19937 random(static_cast<unsigned>(size));
    std::string bytes(size, '\0');
    for (char& byte : bytes) byte = static_cast<char>(random());
    return bytes;
}

using HttpRequestTest = HttpTest;

TEST_F(HttpRequestTest, BinaryBodiesGoAndComeBackWhole) {
    for (size_t size : {size_t{0}, size_t{1}, size_t{256}, size_t{3} << 20}) {
        SCOPED_TRACE(size);
        std::string body = randomBytes(size);
        auto request = makeRequest(server.url("/echo"));
        RecordingDelegate delegate;
        request->setDelegate(&delegate);
        request->setPostBody(body);
        request->addRequestHeader("Content-Type", "application/octet-stream");
        run(*request);
        EXPECT_EQ(request->responseStatusCode(), 200);
        EXPECT_EQ(request->responseString(), body);
        EXPECT_EQ(delegate.data, body);  // the pieces, and the body is kept as well
        EXPECT_EQ(request->bytesSent(), static_cast<int64_t>(size));
        EXPECT_EQ(request->bytesReceived(), static_cast<int64_t>(size));
        EXPECT_EQ(request->lowercasedResponseHeaders()["x-method"], "POST");
        ASSERT_GE(delegate.events.size(), 3u);
        EXPECT_EQ(delegate.events.front(), "started");
        EXPECT_EQ(delegate.events[1], "headers 200");
        EXPECT_EQ(delegate.events.back(), "finished");
        EXPECT_EQ(delegate.ends, 1);
    }
}

TEST_F(HttpRequestTest, ABodyStreamsFromAFileAndTheMethodIsKept) {
    std::string body = patternBytes(200'000);
    writeFile(dir / "upload.bin", body);
    auto request = makeRequest(server.url("/echo"));
    request->setRequestMethod("PUT");
    request->addRequestHeader("Content-Type", "application/octet-stream");
    request->setPostBodyFilePath(dir / "upload.bin");
    run(*request);
    EXPECT_EQ(request->responseStatusCode(), 200);
    EXPECT_EQ(request->responseHeaders().at("x-method"), "PUT");  // names ignore case
    EXPECT_EQ(request->responseString(), body);
}

TEST_F(HttpRequestTest, AMissingFileToSendFailsWithTheFileError) {
    auto request = makeRequest(server.url("/echo"));
    request->setPostBodyFilePath(dir / "nowhere.bin");
    run(*request);
    EXPECT_EQ(errorCode(*request), code(HttpErrorCode::File));
    EXPECT_EQ(server.requestCount("/echo"), 0u);
}

TEST_F(HttpRequestTest, AnyStatusFinishesAndTheCallerJudgesIt) {
    for (int status : {200, 404, 500, 503}) {
        auto request = makeRequest(server.url("/status/" + std::to_string(status)));
        RecordingDelegate delegate;
        request->setDelegate(&delegate);
        run(*request);
        EXPECT_EQ(delegate.events.back(), "finished") << status;
        EXPECT_EQ(request->responseStatusCode(), status);
        EXPECT_EQ(request->responseString(), "status " + std::to_string(status));
        EXPECT_FALSE(request->error());
    }
}


TEST_F(HttpRequestTest, AnswerHeadersAreReadAsTheServerMeantThem) {
    struct Case {
        const char* name;
        std::string answer;  // sent after the request; the body is always "ok"
        std::map<std::string, std::string> expected;
    };
    const std::string length = "Content-Length: 2\r\n";
    const std::vector<Case> cases = {
        {"a repeated field joins its values", "HTTP/1.1 200 OK\r\nX-Tag: a\r\nx-tag: b\r\nX-TAG: c\r\n" + length,
         {{"x-tag", "a, b, c"}, {"content-length", "2"}}},
        {"a folded line continues its field", "HTTP/1.1 200 OK\r\nX-Folded: first\r\n   second\r\n\tthird\r\n" + length,
         {{"x-folded", "first second third"}, {"content-length", "2"}}},
        {"blanks around names and values go, an empty value stays",
         "HTTP/1.1 200 OK\r\nX-Spaced :   both sides  \r\nX-Empty:\r\n" + length,
         {{"x-spaced", "both sides"}, {"x-empty", ""}, {"content-length", "2"}}},
        {"an interim answer's fields are dropped",
         "HTTP/1.1 100 Continue\r\nX-Interim: yes\r\n\r\nHTTP/1.1 200 OK\r\nX-Final: yes\r\n" + length,
         {{"x-final", "yes"}, {"content-length", "2"}}},
        {"trailers of a chunked body are not fields",
         "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\nTrailer: X-Sum\r\n\r\n2\r\nok\r\n0\r\nX-Sum: 9\r\n",
         {{"transfer-encoding", "chunked"}, {"trailer", "X-Sum"}}},
    };
    for (const Case& test : cases) {
        SCOPED_TRACE(test.name);
        bool chunked = test.answer.find("chunked") != std::string::npos;
        RawServer raw([&](RawConnection& connection) {
            connection.readRequest();
            connection.send(test.answer + (chunked ? "\r\n" : "\r\nok"));
        });
        auto request = makeRequest(raw.url("/fields"));
        run(*request);
        ASSERT_FALSE(request->error()) << request->error()->description();
        EXPECT_EQ(request->responseStatusCode(), 200);
        EXPECT_EQ(request->responseString(), "ok");
        EXPECT_EQ(request->lowercasedResponseHeaders(), test.expected);
    }
    // Names keep the case the server first gave them, and any case finds them.
    RawServer raw([](RawConnection& connection) {
        connection.readRequest();
        connection.send("HTTP/1.1 200 OK\r\nX-Mixed-Case: 1\r\nx-mixed-case: 2\r\nContent-Length: 2\r\n\r\nok");
    });
    auto request = makeRequest(raw.url("/fields"));
    run(*request);
    ASSERT_EQ(request->responseHeaders().count("X-Mixed-Case"), 1u);
    EXPECT_EQ(request->responseHeaders().begin()->first, "Content-Length");
    EXPECT_EQ(std::next(request->responseHeaders().begin())->first, "X-Mixed-Case");
    EXPECT_EQ(headerValue(request->responseHeaders(), "X-MIXED-CASE"), "1, 2");
}
TEST_F(HttpRequestTest, BasicAuthenticationGoesUpFront) {
    struct Case {
        const char* username;
        const char* password;
        bool accepted;
    };
    for (const Case& test : {Case{"user", "secret", true}, Case{"user", "wrong", false}, Case{"", "", false}}) {
        SCOPED_TRACE(test.password);
        auto request = makeRequest(server.url("/auth"));
        RecordingDelegate delegate;
        request->setDelegate(&delegate);
        request->setUsername(test.username);
        request->setPassword(test.password);
        run(*request);
        if (test.accepted) {
            EXPECT_EQ(request->responseString(), "welcome");
            EXPECT_EQ(delegate.events.back(), "finished");
        } else {
            EXPECT_EQ(request->responseStatusCode(), 401);
            EXPECT_EQ(errorCode(*request), code(HttpErrorCode::Authentication));
            std::vector<std::string> tail(delegate.events.end() - 3, delegate.events.end());
            EXPECT_EQ(tail, (std::vector<std::string>{"headers 401", "authentication needed", "failed 3"}));
        }
    }
}

TEST_F(HttpRequestTest, AProxyAskingForCredentialsFailsTheRequest) {
    auto request = makeRequest(server.url("/proxy-auth"));
    RecordingDelegate delegate;
    request->setDelegate(&delegate);
    run(*request);
    EXPECT_TRUE(delegate.heard("proxy authentication needed"));
    EXPECT_FALSE(delegate.heard("authentication needed"));
    EXPECT_EQ(errorCode(*request), code(HttpErrorCode::Authentication));
}

TEST_F(HttpRequestTest, RedirectsChangeTheMethodAsProposedOrResendEverything) {
    struct Case {
        int status;
        bool resend;
        const char* method;  // what reaches the target
        bool keepsBody;
    };
    const Case cases[] = {
        {301, false, "GET", false}, {302, false, "GET", false}, {303, false, "GET", false},
        {307, false, "POST", true}, {308, false, "POST", true},
        {301, true, "POST", true},  {302, true, "POST", true},  {303, true, "POST", true},
        {307, true, "POST", true},
    };
    for (const Case& test : cases) {
        SCOPED_TRACE(std::to_string(test.status) + (test.resend ? " resent" : " proposed"));
        std::string from = server.url("/redirect/" + std::to_string(test.status));
        auto request = makeRequest(from);
        RecordingDelegate delegate;
        request->setDelegate(&delegate);
        request->setPostBody("the crash report");
        request->addRequestHeader("X-Custom", "kept");
        request->setResendsOnRedirect(test.resend);
        run(*request);
        EXPECT_EQ(request->responseStatusCode(), 200);
        EXPECT_EQ(request->responseHeaders().at("X-Method"), test.method);
        EXPECT_EQ(request->responseString(), test.keepsBody ? "the crash report" : "");
        EXPECT_EQ(request->responseHeaders().at("X-Custom"), "kept");
        EXPECT_EQ(request->url(), server.url("/echo"));
        EXPECT_EQ(request->originalURL(), from);
        EXPECT_TRUE(delegate.heard("will redirect " + server.url("/echo")));
        EXPECT_TRUE(delegate.heard("redirected"));
    }
}

TEST_F(HttpRequestTest, CredentialsAndCookiesDoNotFollowToAnotherHost) {
    struct Case {
        std::string target;
        bool keeps;
    };
    LoopbackServer& other = extraServer();
    const Case cases[] = {
        {server.url("/echo"), true},                    // same host and port
        {server.url("/echo", "localhost"), false},      // another host name
        {other.url("/echo"), false},                    // another port
    };
    for (const Case& test : cases) {
        SCOPED_TRACE(test.target);
        auto request = makeRequest(server.url("/redirect/302?to=" + test.target));
        request->setUsername("user");
        request->setPassword("secret");
        request->addRequestHeader("Cookie", "token=42");
        run(*request);
        ASSERT_EQ(request->responseStatusCode(), 200);
        bool toOther = test.target.rfind(other.url("/"), 0) == 0;
        std::vector<RecordedRequest> seen = toOther ? other.requests() : server.requests();
        const RecordedRequest& arrived = seen.back();
        ASSERT_EQ(arrived.path, "/echo");
        EXPECT_EQ(arrived.hasHeader("Authorization"), test.keeps);
        EXPECT_EQ(arrived.hasHeader("Cookie"), test.keeps);
        // The first step had them.
        EXPECT_TRUE(server.requests().front().hasHeader("Authorization"));
    }
}

TEST_F(HttpRequestTest, ARedirectLoopStopsAfterFiveRedirects) {
    auto request = makeRequest(server.url("/loop"));
    RecordingDelegate delegate;
    request->setDelegate(&delegate);
    run(*request);
    EXPECT_EQ(errorCode(*request), code(HttpErrorCode::Redirect));
    EXPECT_EQ(server.requestCount("/loop"), 6u);
    EXPECT_FALSE(delegate.heard("finished"));
}

TEST_F(HttpRequestTest, OnlyHttpAndHttpsAddressesAreFollowedOrOpened) {
    for (const char* target : {"file:///etc/passwd", "ftp://127.0.0.1/pack.zip"}) {
        SCOPED_TRACE(target);
        auto redirected = makeRequest(server.url(std::string("/redirect/302?to=") + target));
        run(*redirected);
        EXPECT_EQ(errorCode(*redirected), code(HttpErrorCode::Redirect));
        auto direct = makeRequest(target);
        run(*direct);
        EXPECT_EQ(errorCode(*direct), code(HttpErrorCode::UnsupportedAddress));
    }
    auto nonsense = makeRequest("not an address");
    run(*nonsense);
    EXPECT_EQ(errorCode(*nonsense), code(HttpErrorCode::UnsupportedAddress));
}

TEST(InvalidDomainTest, AddressesUnderTheInvalidDomainAreKnown) {
    for (const char* url : {"https://store.strombel.invalid/", "http://INVALID:80/x", "http://a.b.Invalid./",
                            "https://user@store.invalid:8443/ItemsList.json"})
        EXPECT_TRUE(isInvalidDomainAddress(url)) << url;
    for (const char* url : {"http://127.0.0.1:9/store/", "http://invalid.example/", "http://[::1]:80/", "http://x/a.invalid"})
        EXPECT_FALSE(isInvalidDomainAddress(url)) << url;
}

TEST_F(HttpRequestTest, AnAddressUnderTheInvalidDomainFailsWithoutBeingAsked) {
    auto direct = makeRequest("http://store.strombel.invalid/ItemsList.json");
    run(*direct);
    EXPECT_EQ(errorCode(*direct), code(HttpErrorCode::ConnectionFailure));
    auto redirected = makeRequest(server.url("/redirect/302?to=http://crashes.strombel.invalid/"));
    run(*redirected);
    EXPECT_EQ(errorCode(*redirected), code(HttpErrorCode::ConnectionFailure));
    EXPECT_EQ(server.requestCount("/redirect/302"), 1u);
}

TEST_F(HttpRequestTest, CookiesAreKeptReturnedLeftOutAndForgotten) {
    auto show = [&](bool usesCookies, const std::string& host = "127.0.0.1") {
        auto request = makeRequest(server.url("/cookie/show", host));
        request->setUsesCookies(usesCookies);
        run(*request);
        return request->responseString();
    };
    auto set = [&](bool usesCookies, const std::string& host = "127.0.0.1") {
        auto request = makeRequest(server.url("/cookie/set", host));
        request->setUsesCookies(usesCookies);
        run(*request);
    };
    set(false);
    EXPECT_EQ(show(true), "");  // a request without cookies keeps none
    set(true);
    set(true, "localhost");
    EXPECT_EQ(show(true), "session=abc");
    EXPECT_EQ(show(false), "");  // and sends none
    network->deleteCookiesForURL(server.url("/"));
    EXPECT_EQ(show(true), "");
    EXPECT_EQ(show(true, "localhost"), "session=abc");  // another host's cookies stay
}

TEST_F(HttpRequestTest, ARequestSendsOnlyWhatItAskedForWhateverRanBeforeIt) {
    // One request after another on one thread: each takes the handle the one
    // before left, so nothing of that one may show in what this one sends.
    struct Step {
        const char* name;
        std::string method;  // "" leaves the default
        std::string body;
        bool credentials;
        std::string custom;  // X-Custom, when not ""
        bool usesCookies;
    };
    const std::vector<Step> steps = {
        {"a plain GET after the one that set the cookie", "", "", false, "", true},
        {"a POST with credentials, a header and cookies", "POST", "payload", true, "one", true},
        {"a plain GET", "", "", false, "", true},
        {"a HEAD", "HEAD", "", false, "", true},
        {"a GET with a header and without cookies", "", "", false, "two", false},
        {"a plain GET again", "", "", false, "", true},
        {"a PUT with credentials", "PUT", "put body", true, "", true},
        {"a GET without cookies", "", "", false, "", false},
        {"a last plain GET", "", "", false, "", true},
    };
    auto setCookie = makeRequest(server.url("/cookie/set"));
    run(*setCookie);
    for (const Step& step : steps) {
        SCOPED_TRACE(step.name);
        auto request = makeRequest(server.url("/echo"));
        if (!step.method.empty()) request->setRequestMethod(step.method);
        if (!step.body.empty()) request->setPostBody(std::string_view(step.body));
        if (step.credentials) {
            request->setUsername("user");
            request->setPassword("secret");
        }
        if (!step.custom.empty()) request->addRequestHeader("X-Custom", step.custom);
        request->setUsesCookies(step.usesCookies);
        run(*request);
        ASSERT_FALSE(request->error()) << request->error()->description();
        std::string method = step.method.empty() ? "GET" : step.method;
        EXPECT_EQ(headerValue(request->responseHeaders(), "X-Method"), method);
        EXPECT_EQ(request->responseString(), method == "HEAD" ? "" : step.body);
        RecordedRequest seen = server.requests().back();
        EXPECT_EQ(seen.method, method);
        EXPECT_EQ(seen.body, step.body);
        EXPECT_EQ(seen.hasHeader("Authorization"), step.credentials);
        EXPECT_EQ(seen.header("X-Custom"), step.custom);
        EXPECT_EQ(seen.header("Cookie"), step.usesCookies ? "session=abc" : "");
    }
}

TEST_F(HttpRequestTest, CancellingMidBodyFailsWithTheCancelledError) {
    auto request = makeRequest(server.url("/partial/100000"));
    RecordingDelegate delegate;
    request->setDelegate(&delegate);
    request->startAsynchronous();
    ASSERT_TRUE(pumpUntil([&] { return delegate.data.size() >= 100000; }));
    request->cancel();
    EXPECT_TRUE(request->isCancelled());
    ASSERT_TRUE(pumpUntilEnded(*request));
    EXPECT_EQ(errorCode(*request), code(HttpErrorCode::Cancelled));
    EXPECT_EQ(delegate.events.back(), "failed 4");
    EXPECT_EQ(delegate.ends, 1);
    request->cancel();  // an ended request stays as it ended
    loop.runPending();
    EXPECT_EQ(delegate.ends, 1);
}

TEST_F(HttpRequestTest, CancellingARequestThatNeverStartedReportsIt) {
    auto request = makeRequest(server.url("/echo"));
    RecordingDelegate delegate;
    request->setDelegate(&delegate);
    request->cancel();
    ASSERT_TRUE(pumpUntilEnded(*request));
    EXPECT_EQ(delegate.events, std::vector<std::string>{"failed 4"});
    request->startAsynchronous();  // used once
    loop.runPending();
    EXPECT_EQ(server.requestCount("/echo"), 0u);
}

TEST_F(HttpRequestTest, ClearingDelegatesDropsMessagesAlreadyOnTheirWay) {
    // The request finishes on the network thread; its messages, the end among
    // them, wait on the main loop when the delegates are cleared.
    auto request = makeRequest(server.url("/bytes/5000"));
    RecordingDelegate delegate;
    request->setDelegate(&delegate);
    request->startAsynchronous();
    ASSERT_TRUE(waitUntilEnded(1));
    request->clearDelegatesAndCancel();
    loop.runPending();
    EXPECT_TRUE(delegate.events.empty());
    EXPECT_TRUE(delegate.data.empty());
    EXPECT_EQ(request->responseStatusCode(), 0);  // nothing of the answer was taken in
    EXPECT_TRUE(request->responseData().empty());
    EXPECT_TRUE(request->isCancelled());
}

TEST_F(HttpRequestTest, DestroyingARunningRequestReportsNothing) {
    RecordingDelegate delegate;
    {
        auto request = makeRequest(server.url("/partial/1000"));
        request->setDelegate(&delegate);
        request->startAsynchronous();
        ASSERT_TRUE(pumpUntil([&] { return delegate.data.size() >= 1000; }));
        delegate.events.clear();
    }
    ASSERT_TRUE(waitUntilEnded(1));
    loop.runPending();
    EXPECT_TRUE(delegate.events.empty());
}

TEST_F(HttpRequestTest, ADelegateMayDestroyItsRequestFromAMessage) {
    struct Dropper : RecordingDelegate {
        std::unique_ptr<HttpRequest> request;
        void requestDidReceiveResponseHeaders(HttpRequest& r, const HttpHeaders& h) override {
            RecordingDelegate::requestDidReceiveResponseHeaders(r, h);
            request.reset();
        }
    } dropper;
    dropper.request = makeRequest(server.url("/bytes/100"));
    dropper.request->setDelegate(&dropper);
    dropper.request->startAsynchronous();
    ASSERT_TRUE(waitUntilEnded(1));
    loop.runPending();
    EXPECT_EQ(dropper.events, (std::vector<std::string>{"started", "headers 200"}));
}

TEST_F(HttpRequestTest, NoByteMovingForTheTimeOutFailsTheRequest) {
    RawServer silent([](RawConnection& connection) {
        connection.readRequest();
        connection.hold();
    });
    auto request = makeRequest(silent.url("/ItemsList.json"));
    RecordingDelegate delegate;
    request->setDelegate(&delegate);
    request->setTimeout(15);
    request->startAsynchronous();
    ASSERT_TRUE(pumpUntil([&] { return silent.requestsRead() == 1; }));

    clock.advance(14'900 * platform::kNanosPerMillisecond);
    // Once another request has come and gone, the network thread has looked at
    // the clock since it moved: the first request must still be waiting.
    auto other = makeRequest(server.url("/bytes/10"));
    run(*other);
    EXPECT_FALSE(request->isFinished());

    clock.advance(200 * platform::kNanosPerMillisecond);
    ASSERT_TRUE(pumpUntilEnded(*request));
    EXPECT_EQ(errorCode(*request), code(HttpErrorCode::TimedOut));
    EXPECT_EQ(delegate.events, (std::vector<std::string>{"started", "failed 2"}));
}

TEST_F(HttpRequestTest, EachArrivingPieceRestartsTheTimeOut) {
    auto request = makeRequest(server.url("/partial/1000"));
    request->setTimeout(20);
    request->startAsynchronous();
    ASSERT_TRUE(pumpUntil([&] { return request->bytesReceived() == 1000; }));
    clock.advance(19 * platform::kNanosPerSecond);
    server.openGate();  // the second half arrives 19 s after the first
    ASSERT_TRUE(pumpUntilEnded(*request));
    EXPECT_EQ(request->responseData().size(), 2000u);
    EXPECT_FALSE(request->error());
}

/// A server whose answer announces `length` bytes and then sends `step` bytes
/// each time the test lets it: a body that trickles in, never silent for long.
class TrickleServer {
public:
    explicit TrickleServer(size_t step = 1, size_t length = 100000)
        : raw_([this, step, length](RawConnection& connection) {
              connection.readRequest();
              if (!connection.send("HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(length) + "\r\n\r\n")) return;
              std::unique_lock lock(mutex_);
              while (!stopping_) {
                  woken_.wait(lock, [&] { return stopping_ || allowed_ > sent_; });
                  if (stopping_) return;
                  ++sent_;
                  lock.unlock();
                  const bool sent = connection.send(std::string(step, 'x'));
                  lock.lock();
                  if (!sent) return;
              }
          }) {}
    ~TrickleServer() {
        {
            std::lock_guard lock(mutex_);
            stopping_ = true;
        }
        woken_.notify_all();
    }
    std::string url() const { return raw_.url("/ItemsList.json"); }
    void sendStep() {
        {
            std::lock_guard lock(mutex_);
            ++allowed_;
        }
        woken_.notify_all();
    }

private:
    std::mutex mutex_;
    std::condition_variable woken_;
    int allowed_ = 0, sent_ = 0;
    bool stopping_ = false;
    RawServer raw_;  // last: its connections end before the rest goes
};

TEST_F(HttpRequestTest, ABodyThatTricklesInFailsAtTheWholeLimitOrTheMinimumSpeed) {
    struct Case {
        const char* name;
        double totalSeconds;
        uint64_t bytesPerSecond;
        int secondsToFail;
        const char* says;
    } cases[] = {
        {"the whole request's limit", 30, 0, 30, "it took longer than 30 seconds"},
        {"the minimum speed", 0, 100, 5, "slower than 100 bytes a second"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TrickleServer trickle;
        auto request = makeRequest(trickle.url());
        request->setTimeout(10);
        request->setTotalTimeout(c.totalSeconds);
        request->setMinimumSpeed(c.bytesPerSecond, 5);
        request->startAsynchronous();
        ASSERT_TRUE(pumpUntil([&] { return request->responseStatusCode() == 200; }));
        // A byte a second: never silent for the time-out of 10 s.
        for (int second = 1; second < c.secondsToFail; ++second) {
            clock.advance(platform::kNanosPerSecond);
            trickle.sendStep();
            ASSERT_TRUE(pumpUntil([&] { return request->bytesReceived() == second || request->isFinished(); }));
            ASSERT_FALSE(request->isFinished()) << "ended after " << second << " s";
        }
        clock.advance(platform::kNanosPerSecond);
        ASSERT_TRUE(pumpUntilEnded(*request));
        EXPECT_EQ(errorCode(*request), code(HttpErrorCode::TimedOut));
        EXPECT_NE(request->error()->message().find(c.says), std::string::npos) << request->error()->message();
    }
}

TEST_F(HttpRequestTest, ABodySteadilyFasterThanTheMinimumSpeedIsNotGivenUp) {
    // 150 bytes a second against a minimum of 100: over each span of 5 s the body
    // alone moves 750 bytes, the headers only once.
    TrickleServer trickle(150, 1500);
    auto request = makeRequest(trickle.url());
    request->setMinimumSpeed(100, 5);
    request->startAsynchronous();
    ASSERT_TRUE(pumpUntil([&] { return request->responseStatusCode() == 200; }));
    for (int second = 1; second <= 10; ++second) {
        clock.advance(platform::kNanosPerSecond);
        trickle.sendStep();
        ASSERT_TRUE(pumpUntil([&] { return request->bytesReceived() == 150 * second || request->isFinished(); }));
        ASSERT_FALSE(request->error()) << "after " << second << " s: " << request->error()->message();
    }
    ASSERT_TRUE(pumpUntilEnded(*request));
    EXPECT_FALSE(request->error());
    EXPECT_EQ(request->responseData().size(), 1500u);
}

TEST_F(HttpRequestTest, ABodyFastEnoughForTheMinimumSpeedAndTheLimitArrivesWhole) {
    auto request = makeRequest(server.url("/bytes/100000"));
    request->setTotalTimeout(30);
    request->setMinimumSpeed(1024, 5);
    run(*request);
    EXPECT_FALSE(request->error());
    EXPECT_EQ(request->responseData().size(), 100000u);
}

TEST_F(HttpRequestTest, ADownloadAppearsWholeAtItsDestination) {
    std::filesystem::create_directories(dir / "downloads");
    auto request = makeRequest(server.url("/bytes/1000000"));
    request->setDownloadDestinationPath(dir / "downloads" / "kit.pack");
    run(*request);
    EXPECT_FALSE(request->error());
    EXPECT_EQ(readFile(dir / "downloads" / "kit.pack"), patternBytes(1000000));
    EXPECT_TRUE(request->responseData().empty());
    EXPECT_EQ(filesIn(dir / "downloads"), std::vector<std::string>{"kit.pack"});
}

TEST_F(HttpRequestTest, AnUnsuccessfulAnswerLeavesTheDestinationAlone) {
    writeFile(dir / "kit.pack", "the old pack");
    auto request = makeRequest(server.url("/status/404"));
    request->setDownloadDestinationPath(dir / "kit.pack");
    run(*request);
    EXPECT_EQ(request->responseStatusCode(), 404);
    EXPECT_EQ(request->responseString(), "status 404");
    EXPECT_EQ(readFile(dir / "kit.pack"), "the old pack");
    EXPECT_EQ(filesIn(dir.path()), std::vector<std::string>{"kit.pack"});
}

TEST_F(HttpRequestTest, ACancelledDownloadLeavesNothingAndKeepsTheOldFile) {
    writeFile(dir / "kit.pack", "the old pack");
    auto request = makeRequest(server.url("/partial/50000"));
    request->setDownloadDestinationPath(dir / "kit.pack");
    request->startAsynchronous();
    ASSERT_TRUE(pumpUntil([&] { return request->bytesReceived() == 50000; }));
    EXPECT_EQ(filesIn(dir.path()).size(), 2u);  // the part-written file beside it
    request->cancel();
    ASSERT_TRUE(pumpUntilEnded(*request));
    EXPECT_EQ(errorCode(*request), code(HttpErrorCode::Cancelled));
    EXPECT_EQ(readFile(dir / "kit.pack"), "the old pack");
    EXPECT_EQ(filesIn(dir.path()), std::vector<std::string>{"kit.pack"});
}

TEST_F(HttpRequestTest, ADownloadIntoAMissingFolderFailsWithTheFileError) {
    auto request = makeRequest(server.url("/bytes/10"));
    request->setDownloadDestinationPath(dir / "gone" / "kit.pack");
    run(*request);
    EXPECT_EQ(errorCode(*request), code(HttpErrorCode::File));
}

TEST_F(HttpRequestTest, HttpsWorksWithATrustedCertificateForTheHost) {
    TlsMaterial tls(dir.path());
    network->setCertificateAuthorityFile(tls.authorityFile());
    LoopbackServer& secure = extraServer(&tls.server());
    auto request = makeRequest(secure.url("/bytes/70000"));
    run(*request);
    EXPECT_FALSE(request->error());
    EXPECT_EQ(request->responseString(), patternBytes(70000));
}

TEST_F(HttpRequestTest, AnUntrustedOrWrongHostCertificateFailsWithTheTlsError) {
    TlsMaterial tls(dir.path());
    network->setCertificateAuthorityFile(tls.authorityFile());
    for (const Identity* identity : {&tls.untrusted(), &tls.wrongHost()}) {
        LoopbackServer& secure = extraServer(identity);
        auto request = makeRequest(secure.url("/bytes/10"));
        RecordingDelegate delegate;
        request->setDelegate(&delegate);
        run(*request);
        EXPECT_EQ(errorCode(*request), code(HttpErrorCode::Tls));
        ASSERT_TRUE(request->error()->underlying);  // libcurl's own words
        EXPECT_FALSE(request->error()->underlying->message().empty());
        EXPECT_EQ(secure.requestCount("/bytes/10"), 0u);
        EXPECT_FALSE(delegate.heard("finished"));
    }
}

TEST_F(HttpRequestTest, StoppingTheNetworkThreadCancelsWhatRunsAndWhatComes) {
    auto running = makeRequest(server.url("/gate"));
    running->startAsynchronous();
    ASSERT_TRUE(pumpUntil([&] { return server.inFlightAtGate() == 1; }));
    network->stop();
    ASSERT_TRUE(pumpUntilEnded(*running));
    EXPECT_EQ(errorCode(*running), code(HttpErrorCode::Cancelled));
    auto late = makeRequest(server.url("/bytes/1"));
    run(*late);
    EXPECT_EQ(errorCode(*late), code(HttpErrorCode::Cancelled));
    server.openGate();
}

}  // namespace
}  // namespace strombel::http::testing
