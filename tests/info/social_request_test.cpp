#include "info/social_request.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "info/console.h"
#include "info/social_client.h"
#include "social_network_server.h"

namespace strombel::info {
namespace {

using test_support::LoopbackSocialNetwork;
using test_support::NetworkLoop;

std::string text(const std::vector<uint8_t>& bytes) { return std::string(bytes.begin(), bytes.end()); }

/// Collects the console lines written while it lives.
struct ConsoleLines {
    ConsoleLines() {
        setConsoleSink([this](const std::string& line) { lines.push_back(line); });
    }
    ~ConsoleLines() { setConsoleSink({}); }
    std::vector<std::string> lines;
};

TEST(SocialRequestSerialization, WritesPairsAfterTheRightSeparator) {
    const std::vector<uint8_t> png{0x89, 'P', 'N', 'G'};
    struct Case {
        std::string base;
        SocialParams params;
        std::string method;
        std::string expected;
        size_t consoleLines;
    } cases[] = {
        {"https://h/x?a=1", {{"msg", "a b"}}, "GET", "https://h/x?a=1&msg=a%20b", 0},
        {"https://h/x?a=1", {}, "GET", "https://h/x?a=1&", 0},
        {"https://h/x", {}, "GET", "https://h/x?", 0},
        // Keys stand as they are; values escape the reserved characters too.
        {"https://h/x", {{"k y", "!*'();:@&=+$,/?%#[]"}}, "GET",
         "https://h/x?k y=%21%2A%27%28%29%3B%3A%40%26%3D%2B%24%2C%2F%3F%25%23%5B%5D", 0},
        {"https://h/x", {{"a", "1"}, {"b", "\xC3\xA9"}}, "GET", "https://h/x?a=1&b=%C3%A9", 0},
        // Files travel only in a body; GET says so.
        {"https://h/x", {{"a", "1"}, {"pic", SocialValue::image(png)}}, "GET", "https://h/x?a=1", 1},
        {"https://h/x", {{"a", "1"}, {"blob", SocialValue::data(png)}}, "POST", "https://h/x?a=1", 0},
    };
    for (const auto& row : cases) {
        SCOPED_TRACE(row.expected);
        ConsoleLines console;
        EXPECT_EQ(SocialRequest::serializeURL(row.base, row.params, row.method), row.expected);
        ASSERT_EQ(console.lines.size(), row.consoleLines);
        if (row.consoleLines) {
            EXPECT_EQ(console.lines[0], "can not use GET to upload a file");
        }
    }
}

TEST(SocialRequestBody, IsMultipartWithTheFixedBoundaryAndNoClosingDashes) {
    const std::vector<uint8_t> png{0x89, 'P', 'N', 'G', 0, 1};
    auto request = SocialRequest::getRequestWithParams(
        {{"message", "hi"}, {"picture", SocialValue::image(png)}, {"raw", SocialValue::data({7, 8})}}, "POST",
        nullptr, "http://127.0.0.1:1/graph/me/photos", http::NetworkThread::shared());
    const std::string b = "3i2ndDfv2rTHiSisAbouNdArYfORhtTPEefj3q2f";
    const std::string expected = "--" + b + "\r\n" +
                                 "Content-Disposition: form-data; name=\"message\"\r\n\r\nhi" + "\r\n--" + b + "\r\n" +
                                 "Content-Disposition: form-data; filename=\"picture\"\r\n" +
                                 "Content-Type: image/png\r\n\r\n" + std::string("\x89PNG\0\1", 6) + "\r\n--" + b +
                                 "\r\n" + "Content-Disposition: form-data; filename=\"raw\"\r\n" +
                                 "Content-Type: content/unknown\r\n\r\n\x07\x08" + "\r\n--" + b + "\r\n";
    EXPECT_EQ(text(request->generatePostBody()), expected);
}

TEST(SocialRequestReply, DecodesEveryKindOfReply) {
    struct Case {
        std::string reply;
        bool hasResult;
        std::string result;  // the result's compact text
        int64_t errorCode;   // 0: no error
    } cases[] = {
        {"true", true, "result=true", 0},
        {"false", false, "", 10000},
        {"[1,2]", true, "array 2", 0},
        {R"({"error":{"type":"OAuthException"}})", false, "", 10000},
        {R"({"error_code":190,"error_msg":"expired"})", false, "", 190},
        {R"({"error_code":190,"error":{"type":"OAuthException"}})", false, "", 10000},  // "error" goes first
        {R"({"error_code":"17"})", false, "", 17},
        {R"({"error_msg":"odd"})", true, "error_msg=odd", 10000},
        {R"({"error_reason":"user_denied"})", true, "error_reason=user_denied", 10000},
        {R"({"id":"42"})", true, "id=42", 0},
        {"not json", false, "", 0},
        {"12", false, "", 0},
        {"", false, "", 0},
    };
    for (const auto& row : cases) {
        SCOPED_TRACE(row.reply);
        auto parsed = SocialRequest::parseJsonResponse(std::vector<uint8_t>(row.reply.begin(), row.reply.end()));
        ASSERT_EQ(parsed.result.has_value(), row.hasResult);
        if (row.hasResult) {
            const json::Value& value = *parsed.result;
            if (value.isArray()) {
                EXPECT_EQ(row.result, "array " + std::to_string(value.size()));
            } else {
                const std::string key = row.result.substr(0, row.result.find('='));
                EXPECT_EQ(value[key].asString(), row.result.substr(row.result.find('=') + 1));
            }
        }
        ASSERT_EQ(parsed.error.has_value(), row.errorCode != 0);
        if (parsed.error) {
            EXPECT_EQ(parsed.error->domain, "socialErrDomain");
            EXPECT_EQ(parsed.error->code, row.errorCode);
        }
    }
    auto refused = SocialRequest::parseJsonResponse({'f', 'a', 'l', 's', 'e'});
    EXPECT_EQ(refused.error->userInfo["error_msg"].asString(), "This operation can not be completed");
}

struct RecordingRequestDelegate : SocialRequestDelegate {
    std::vector<std::string> events;
    json::Value result;
    std::optional<platform::Error> error;
    bool decodes = true;
    std::function<void()> onLoading;
    void requestLoading(SocialRequest&) override {
        events.push_back("loading");
        if (onLoading) onLoading();
    }
    void requestDidReceiveResponse(SocialRequest&, int status) override {
        events.push_back("response " + std::to_string(status));
    }
    void requestDidLoadRawResponse(SocialRequest&, const std::vector<uint8_t>& body) override {
        events.push_back("raw " + std::to_string(body.size()));
    }
    void requestDidLoad(SocialRequest&, const json::Value& value) override {
        events.push_back("load");
        result = value;
    }
    void requestDidFailWithError(SocialRequest&, const platform::Error& e) override {
        events.push_back("fail " + std::to_string(e.code));
        error = e;
    }
    bool wantsDecodedResponse() const override { return decodes; }
    bool ended() const {
        return !events.empty() && (events.back() == "load" || events.back().rfind("fail", 0) == 0);
    }
};

class SocialRequestTest : public ::testing::Test {
protected:
    SocialRequestTest() : client("123456789012345", nullptr) {
        client.setHosts(network.hosts());
        client.setNetworkThread(net.network.get());
    }
    LoopbackSocialNetwork network;
    NetworkLoop net;
    SocialClient client;
    RecordingRequestDelegate delegate;
};

TEST_F(SocialRequestTest, GraphGetCarriesTheStandardParametersAndTheToken) {
    client.socialDialogLogin("tok/1", SocialClient::TimePoint::max());
    network.answer("/graph/me", R"({"id":"7","name":"Drummer"})");
    SocialParams params{{"fields", "id,name"}};
    SocialRequest* request = client.requestWithGraphPath("me", params, &delegate);
    ASSERT_NE(request, nullptr);
    EXPECT_TRUE(request->loading());
    EXPECT_EQ(params.at("format").text, "json");  // the caller's parameters gain them
    ASSERT_TRUE(net.pumpUntil([&] { return delegate.ended(); }));
    EXPECT_EQ(delegate.events, (std::vector<std::string>{"loading", "response 200", "raw 27", "load"}));
    EXPECT_EQ(delegate.result["name"].asString(), "Drummer");
    EXPECT_FALSE(request->loading());
    const auto seen = network.requests().back();
    EXPECT_EQ(seen.method, "GET");
    EXPECT_EQ(seen.header("User-Agent"), "SocialConnect");
    EXPECT_EQ(seen.query, "access_token=tok%2F1&fields=id%2Cname&format=json&sdk=ios&sdk_version=2");
}

TEST_F(SocialRequestTest, PostSendsTheParametersInTheAddressAndTheBody) {
    network.answer("/method/stream.publish", "true");
    SocialParams params{{"message", "new beat"}};
    client.requestWithMethodName("stream.publish", params, "POST", &delegate);
    ASSERT_TRUE(net.pumpUntil([&] { return delegate.ended(); }));
    EXPECT_EQ(delegate.result["result"].asString(), "true");
    const auto seen = network.requests().back();
    EXPECT_EQ(seen.method, "POST");
    EXPECT_EQ(seen.header("Content-Type"),
              "multipart/form-data; boundary=3i2ndDfv2rTHiSisAbouNdArYfORhtTPEefj3q2f");
    EXPECT_NE(seen.query.find("message=new%20beat"), std::string::npos);
    // The server's form reader took every part apart.
    EXPECT_EQ(seen.body, "format=json\nmessage=new beat\nsdk=ios\nsdk_version=2");
}

TEST_F(SocialRequestTest, ServiceErrorsAndTransportErrorsReachTheDelegate) {
    network.answer("/graph/expired", R"({"error_code":190,"error_msg":"Session has expired"})", 400);
    client.requestWithGraphPath("expired", &delegate);
    ASSERT_TRUE(net.pumpUntil([&] { return delegate.ended(); }));
    EXPECT_EQ(delegate.events.back(), "fail 190");
    EXPECT_EQ(delegate.error->userInfo["error_msg"].asString(), "Session has expired");

    // Nobody listens on port 1 of the loopback: the transport's own error arrives.
    RecordingRequestDelegate refused;
    SocialHosts hosts = network.hosts();
    hosts.graphBaseURL = "http://127.0.0.1:1/graph/";
    client.setHosts(hosts);
    client.requestWithGraphPath("me", &refused);
    ASSERT_TRUE(net.pumpUntil([&] { return refused.ended(); }));
    ASSERT_TRUE(refused.error);
    EXPECT_EQ(refused.error->domain, "HttpRequestErrorDomain");
}

TEST_F(SocialRequestTest, AServerErrorIsAFailureWhateverItsBodyHolds) {
    struct Case {
        const char* path;
        int status;
        std::string body;
        std::string message;
    } cases[] = {
        {"html", 500, "<html><body><h1>Internal Server Error</h1></body></html>",
         "The server answered with HTTP status 500"},
        {"plain", 503, "", "The server answered with HTTP status 503"},
        {"object", 502, R"({"id":"7"})", "The server answered with HTTP status 502"},
        {"message", 500, R"({"error_reason":"x","error_msg":"down for repairs"})", "down for repairs"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        RecordingRequestDelegate listener;
        network.answer(std::string("/graph/") + c.path, c.body, c.status);
        client.requestWithGraphPath(c.path, &listener);
        ASSERT_TRUE(net.pumpUntil([&] { return listener.ended(); }));
        EXPECT_EQ(listener.events.back(), "fail 10000");
        ASSERT_TRUE(listener.error);
        EXPECT_EQ(listener.error->domain, "socialErrDomain");
        EXPECT_EQ(listener.error->userInfo["error_msg"].asString(), c.message);
        EXPECT_EQ(listener.error->userInfo["http_status"].asInt64(), c.status);
    }
}

TEST_F(SocialRequestTest, ARequestTheClientListensToWritesItsFailureToTheConsole) {
    ConsoleLines console;
    SocialHosts hosts = network.hosts();
    hosts.graphBaseURL = "http://127.0.0.1:1/graph/";
    client.setHosts(hosts);
    SocialRequest* request = client.requestWithGraphPath("me", &client);
    ASSERT_TRUE(net.pumpUntil([&] { return !request->loading(); }));
    EXPECT_EQ(console.lines, std::vector<std::string>{"Failed to expire the session"});
}

TEST_F(SocialRequestTest, ARequestWithoutResultListenersIsReadButNotDecoded) {
    network.answer("/graph/me", R"({"error":"x"})");
    delegate.decodes = false;
    client.requestWithGraphPath("me", &delegate);
    ASSERT_TRUE(net.pumpUntil([&] { return delegate.events.size() == 3; }));
    EXPECT_EQ(delegate.events.back(), "raw 13");
}

TEST_F(SocialRequestTest, ReleasedRequestsAndGoneDelegatesHearNothing) {
    network.answer("/graph/me", R"({"id":"1"})");
    client.requestWithGraphPath("me", &delegate);
    // The next request replaces (and so releases) the one in flight.
    RecordingRequestDelegate second;
    client.requestWithGraphPath("me", &second);
    ASSERT_TRUE(net.pumpUntil([&] { return second.ended(); }));
    EXPECT_EQ(delegate.events, std::vector<std::string>{"loading"});

    auto gone = std::make_unique<RecordingRequestDelegate>();
    SocialRequest* request = client.requestWithGraphPath("me", gone.get());
    gone.reset();
    EXPECT_EQ(request->delegate(), nullptr);
    ASSERT_TRUE(net.pumpUntil([&] { return !request->loading(); }));
}

TEST_F(SocialRequestTest, AReplyOverSixteenMebibytesFailsClearly) {
    network.answer("/graph/huge", std::string(SocialRequest::kMaximumBodySize + 1, ' '));
    client.requestWithGraphPath("huge", &delegate);
    ASSERT_TRUE(net.pumpUntil([&] { return delegate.ended(); }));
    ASSERT_TRUE(delegate.error);
    EXPECT_EQ(delegate.error->domain, "HttpRequestErrorDomain");
    EXPECT_EQ(delegate.error->code, 6);  // too large
}

TEST_F(SocialRequestTest, LogoutDeletesTheLoginHostsCookies) {
    auto fetch = [&](const std::string& path) {
        http::HttpRequest request(network.url(path), *net.network);
        request.startAsynchronous();
        EXPECT_TRUE(net.pumpUntil([&] { return request.isFinished(); }));
        return request.responseString();
    };
    fetch("/cookie/set");
    EXPECT_EQ(fetch("/cookie/show"), "session=abc");
    std::vector<std::string> erased;
    client.setWebCookieEraser([&](const std::string& url) { erased.push_back(url); });
    client.socialDialogLogin("t", SocialClient::TimePoint::max());
    client.logout(nullptr);
    EXPECT_FALSE(client.isSessionValid());
    EXPECT_EQ(fetch("/cookie/show"), "");
    EXPECT_EQ(erased, std::vector<std::string>{network.url("")});
}

TEST_F(SocialRequestTest, RequestWithParamsNeedsAMethod) {
    ConsoleLines console;
    SocialParams none{{"a", "1"}};
    EXPECT_EQ(client.requestWithParams(none, &delegate), nullptr);
    EXPECT_EQ(console.lines, std::vector<std::string>{"API Method must be specified"});

    network.answer("/method/users.getInfo", "[]");
    SocialParams params{{"method", "users.getInfo"}, {"uids", "4"}};
    ASSERT_NE(client.requestWithParams(params, &delegate), nullptr);
    EXPECT_EQ(params.count("method"), 0u);
    ASSERT_TRUE(net.pumpUntil([&] { return delegate.ended(); }));
    EXPECT_EQ(network.requests().back().path, "/method/users.getInfo");
}

}  // namespace
}  // namespace strombel::info
