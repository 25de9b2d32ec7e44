#include "info/social_client.h"

#include <gtest/gtest.h>

#include "http/network_thread.h"
#include "support/recording_logger.h"

#include <string>
#include <vector>

namespace strombel::info {
namespace {

using namespace std::chrono_literals;

struct RecordingDelegate : SocialSessionDelegate {
    int logins = 0, logouts = 0;
    std::vector<bool> failures;  // one entry per failed login: cancelled or not
    void socialDidLogin() override { ++logins; }
    void socialDidNotLogin(bool cancelled) override { failures.push_back(cancelled); }
    void socialDidLogout() override { ++logouts; }
};

struct RecordingOpener : SocialUrlOpener {
    bool answer = false;
    std::vector<std::string> opened;
    bool openURL(const std::string& url) override {
        opened.push_back(url);
        return answer;
    }
};

class SocialClientTest : public ::testing::Test {
protected:
    SocialClientTest() : client("123456789012345", &delegate) {
        client.setClock([this] { return now; });
        client.setUrlOpener(&opener);
        client.setNetworkThread(&http::NetworkThread::shared());
    }
    RecordingDelegate delegate;
    RecordingOpener opener;
    SocialClient::TimePoint now = SocialClient::TimePoint(1'700'000'000s);
    SocialClient client;

    /// Starts a login in the social application (unless one is under way) and
    /// hands the client its answer `url` with the login's state added, as the
    /// application would.
    bool answer(std::string url) {
        if (!client.pendingLoginState()) {
            const bool was = opener.answer;
            opener.answer = true;
            client.authorize({});
            opener.answer = was;
            opener.opened.clear();
        }
        const char last = url.back();
        return client.handleOpenURL(url + (last == '#' || last == '?' ? "" : "&") + "state=" +
                                    client.pendingLoginState().value_or(""));
    }
};

TEST_F(SocialClientTest, OwnBaseAddressIsSchemeSnWithTheIdentifier) {
    EXPECT_EQ(client.getOwnBaseUrl(), "sn123456789012345://authorize");
    SocialClient suffixed("42", std::string("lite"), nullptr);
    EXPECT_EQ(suffixed.getOwnBaseUrl(), "sn42lite://authorize");
}

TEST_F(SocialClientTest, TokenWithoutExpiryNeverExpires) {
    EXPECT_TRUE(answer("sn123456789012345://authorize#access_token=abc%20d&expires_in=0"));
    EXPECT_EQ(delegate.logins, 1);
    EXPECT_EQ(client.accessToken(), "abc d");
    EXPECT_EQ(client.expirationDate(), SocialClient::TimePoint::max());
    now += 10000h;
    EXPECT_TRUE(client.isSessionValid());
}

TEST_F(SocialClientTest, TokenExpiresAfterTheGivenSeconds) {
    EXPECT_TRUE(answer("sn123456789012345://authorize#expires_in=3600&access_token=t"));
    EXPECT_EQ(client.expirationDate(), now + 3600s);
    EXPECT_TRUE(client.isSessionValid());
    now += 3600s;
    EXPECT_FALSE(client.isSessionValid());  // the expiry must lie strictly ahead
}

TEST_F(SocialClientTest, FailedLoginsAreCancelledOnlyWithoutErrorCode) {
    struct Case {
        const char* url;
        bool cancelled;
    } cases[] = {
        {"sn123456789012345://authorize#error=access_denied", true},
        {"sn123456789012345://authorize#", true},
        {"sn123456789012345://authorize?error=access_denied&error_code=200", false},
        {"sn123456789012345://authorize#error=other", false},
        // The fragment wins over the query.
        {"sn123456789012345://authorize?access_token=q#error=access_denied", true},
    };
    for (const auto& row : cases) {
        SCOPED_TRACE(row.url);
        delegate.failures.clear();
        EXPECT_TRUE(answer(row.url));
        EXPECT_EQ(delegate.failures, std::vector<bool>{row.cancelled});
    }
    EXPECT_EQ(delegate.logins, 0);
    EXPECT_FALSE(client.accessToken());
}

TEST_F(SocialClientTest, OtherAddressesAreRefusedAndChangeNothing) {
    for (const char* url : {"sn999://authorize#access_token=x", "http://example.com/#access_token=x",
                            "sn123456789012345:/authorize#access_token=x", ""}) {
        EXPECT_FALSE(client.handleOpenURL(url)) << url;
    }
    EXPECT_EQ(delegate.logins, 0);
    EXPECT_TRUE(delegate.failures.empty());
}

TEST_F(SocialClientTest, ServiceDisabledRetriesInTheBrowserOrTheInAppDialog) {
    opener.answer = false;
    EXPECT_TRUE(answer("sn123456789012345://authorize#error=service_disabled_use_browser"));
    ASSERT_EQ(opener.opened.size(), 1u);  // browser only, no application switch
    EXPECT_EQ(opener.opened[0].rfind(client.hosts().dialogBaseURL + "oauth?", 0), 0u);
    EXPECT_NE(opener.opened[0].find("redirect_uri=sn123456789012345%3A%2F%2Fauthorize"), std::string::npos);
    ASSERT_NE(client.loginDialog(), nullptr);  // the browser did not open: in-app dialog

    opener.opened.clear();
    SocialClient fresh("1", &delegate);
    fresh.setUrlOpener(&opener);
    opener.answer = true;
    fresh.authorize({});
    opener.opened.clear();
    EXPECT_TRUE(fresh.handleOpenURL("sn1://authorize#error=service_disabled&state=" + *fresh.pendingLoginState()));
    EXPECT_TRUE(opener.opened.empty());
    ASSERT_NE(fresh.loginDialog(), nullptr);
    EXPECT_EQ(fresh.loginDialog()->params().at("redirect_uri"), "socialconnect://success");
    EXPECT_EQ(fresh.loginDialog()->params().at("client_id"), "1");
}

TEST_F(SocialClientTest, WithoutABrowserTheInAppDialogFinishesTheLogin) {
    // A desktop without xdg-open: neither the social application nor the browser
    // opens, and the login page shows in the program's own dialog.
    opener.answer = false;
    client.authorize({});
    EXPECT_EQ(opener.opened.size(), 2u);
    ASSERT_NE(client.loginDialog(), nullptr);
    // The page ends on the address the dialog catches, not the browser's.
    EXPECT_EQ(client.loginDialog()->params().at("redirect_uri"), "socialconnect://success");
    EXPECT_NE(client.loginDialog()->loadingURL().find("redirect_uri=socialconnect%3A%2F%2Fsuccess"), std::string::npos);
    EXPECT_FALSE(client.loginDialog()->shouldStartLoad("socialconnect://success#access_token=one&expires_in=60",
                                                       SocialNavigationType::other));
    EXPECT_EQ(client.accessToken(), "one");
    EXPECT_FALSE(client.pendingLoginState()) << "the dialog's answer ends the login";

    // A page that ends on the client's own address finishes it as well.
    client.authorize({});
    EXPECT_FALSE(client.loginDialog()->shouldStartLoad(
        "sn123456789012345://authorize#access_token=two&state=" + client.pendingLoginState().value_or(""),
        SocialNavigationType::other));
    EXPECT_EQ(client.accessToken(), "two");

    // The login stays under way while the dialog shows: an answer handed back
    // through the program's address handling is taken once.
    client.authorize({});
    ASSERT_TRUE(client.pendingLoginState());
    const std::string answer =
        "sn123456789012345://authorize#access_token=three&state=" + *client.pendingLoginState();
    EXPECT_TRUE(client.handleOpenURL(answer));
    EXPECT_EQ(client.accessToken(), "three");
    EXPECT_FALSE(client.handleOpenURL(answer));
    EXPECT_EQ(delegate.logins, 3);
}

TEST_F(SocialClientTest, AFloodOfRefusedAnswersWritesALineASecondAndNeverTheState) {
    auto logger = std::make_shared<logging::testing::RecordingLogger>();
    logging::Log::addLogger(logger);
    logging::setLogLevel(logging::LogFlagError | logging::LogFlagWarning);
    opener.answer = true;
    client.authorize({});
    const std::string state = client.pendingLoginState().value_or("");
    const std::string base = "sn123456789012345://authorize#access_token=planted&state=";
    for (int i = 0; i < 5000; ++i) EXPECT_FALSE(client.handleOpenURL(base + std::to_string(i)));
    now += 999ms;
    EXPECT_FALSE(client.handleOpenURL(base + "late"));
    now += 1ms;
    EXPECT_FALSE(client.handleOpenURL(base + "next second"));
    logging::Log::flushLog();
    const auto lines = logger->lines();
    logging::testing::resetLogging();
    EXPECT_EQ(lines, (std::vector<std::string>{
                         "Refused a login answer: it answers another login than the one under way",
                         "Refused a login answer: it answers another login than the one under way (5000 more since)"}));
    for (const auto& line : lines) EXPECT_EQ(line.find(state), std::string::npos);
    EXPECT_TRUE(client.handleOpenURL(base + state));  // the login's own answer is still taken
}

TEST_F(SocialClientTest, AuthorizeSwitchesToTheSocialApplicationFirst) {
    opener.answer = true;
    client.authorize({"publish_stream", "email"});
    ASSERT_EQ(opener.opened.size(), 1u);
    EXPECT_EQ(opener.opened[0].rfind("socialauth://authorize?", 0), 0u);
    EXPECT_NE(opener.opened[0].find("scope=publish_stream%2Cemail"), std::string::npos);
    EXPECT_EQ(client.loginDialog(), nullptr);
}

TEST_F(SocialClientTest, LogoutEndsTheSession) {
    answer("sn123456789012345://authorize#access_token=t");
    RecordingDelegate other;
    client.logout(&other);
    EXPECT_EQ(other.logouts, 1);
    EXPECT_FALSE(client.isSessionValid());
    EXPECT_FALSE(client.accessToken());
}

TEST_F(SocialClientTest, AnswersNoLoginOfThisClientAskedForAreRefusedAndChangeNothing) {
    auto logger = std::make_shared<logging::testing::RecordingLogger>();
    logging::Log::addLogger(logger);
    logging::setLogLevel(logging::LogFlagError | logging::LogFlagWarning);
    const std::string base = "sn123456789012345://authorize";
    // Nothing under way: planted tokens, errors that would open the browser or a
    // dialog, and cancels are all refused.
    std::vector<std::string> planted = {base + "#access_token=planted&expires_in=0",
                                        base + "?error=service_disabled_use_browser",
                                        base + "#error=service_disabled", base + "#error=access_denied",
                                        base + "#access_token=planted&state="};
    // A second apart each, so that every refusal writes its line.
    for (const auto& url : planted) {
        now += 1s;
        EXPECT_FALSE(client.handleOpenURL(url)) << url;
    }
    // A login under way: answers without its state, or with another, are refused too.
    opener.answer = true;
    client.authorize({});
    ASSERT_EQ(opener.opened.size(), 1u);
    const std::string state = client.pendingLoginState().value_or("");
    EXPECT_EQ(state.size(), 32u);
    EXPECT_NE(opener.opened[0].find("state=" + state), std::string::npos) << opener.opened[0];
    opener.opened.clear();
    for (const auto& url : {base + "#access_token=planted", base + "#access_token=planted&state=" + state + "0",
                            base + "?state=" + state + "#access_token=planted"}) {
        planted.push_back(url);
        now += 1s;
        EXPECT_FALSE(client.handleOpenURL(url)) << url;
    }
    logging::Log::flushLog();
    const auto lines = logger->lines();
    logging::testing::resetLogging();
    EXPECT_EQ(lines.size(), planted.size());  // one line each
    for (const auto& line : lines) EXPECT_EQ(line.find("planted"), std::string::npos) << line;
    EXPECT_FALSE(client.accessToken());
    EXPECT_EQ(delegate.logins, 0);
    EXPECT_TRUE(delegate.failures.empty());
    EXPECT_TRUE(opener.opened.empty());  // no browser
    EXPECT_EQ(client.loginDialog(), nullptr);

    // The login's own answer is taken once.
    EXPECT_TRUE(client.handleOpenURL(base + "#access_token=mine&state=" + state));
    EXPECT_EQ(client.accessToken(), "mine");
    EXPECT_FALSE(client.handleOpenURL(base + "#access_token=again&state=" + state));
    EXPECT_EQ(client.accessToken(), "mine");
    EXPECT_EQ(delegate.logins, 1);
}

TEST(SocialClientParams, SplitsPairsAndResolvesEscapes) {
    auto params = SocialClient::parseURLParams("a=1&b=%C3%A9t%C3%A9&a=2&flag&c=x%2");
    EXPECT_EQ(params.at("a"), "2");
    EXPECT_EQ(params.at("b"), "\xC3\xA9t\xC3\xA9");
    EXPECT_EQ(params.at("flag"), "");
    EXPECT_EQ(params.at("c"), "x%2");
    EXPECT_TRUE(SocialClient::parseURLParams("").empty());
}

TEST_F(SocialClientTest, ExpiryBeyondTheClocksRangeSaturatesToTheDistantFuture) {
    for (const char* seconds : {"9223372036854775807", "99999999999999999999", "9223372036"}) {
        SCOPED_TRACE(seconds);
        EXPECT_TRUE(answer(std::string("sn123456789012345://authorize#access_token=t&expires_in=") +
                                         seconds));
        EXPECT_EQ(client.expirationDate(), SocialClient::TimePoint::max());
        EXPECT_TRUE(client.isSessionValid());
    }
    EXPECT_TRUE(answer("sn123456789012345://authorize#access_token=t&expires_in=-99999999999999999999"));
    EXPECT_FALSE(client.isSessionValid());
}

TEST_F(SocialClientTest, ASessionDelegateThatWentHearsNothing) {
    auto gone = std::make_unique<RecordingDelegate>();
    client.setSessionDelegate(gone.get());
    gone.reset();
    EXPECT_TRUE(answer("sn123456789012345://authorize#access_token=t"));
    EXPECT_TRUE(client.isSessionValid());
    EXPECT_EQ(client.sessionDelegate(), nullptr);
}

TEST_F(SocialClientTest, InAppLoginWithoutMultitaskingShowsTheLoginDialog) {
    client.setMultitaskingSupported(false);
    opener.answer = true;
    client.authorize({});
    EXPECT_TRUE(opener.opened.empty());
    ASSERT_NE(client.loginDialog(), nullptr);
    EXPECT_EQ(client.loginDialog()->params().at("scope"), "");
    EXPECT_EQ(client.loginDialog()->loadingURL().rfind(client.hosts().dialogBaseURL + "oauth?", 0), 0u);
    // The page ends on the success address: the session begins.
    EXPECT_FALSE(client.loginDialog()->shouldStartLoad(
        "socialconnect://success#access_token=abc&expires_in=60", SocialNavigationType::other));
    EXPECT_EQ(delegate.logins, 1);
    EXPECT_EQ(client.accessToken(), "abc");
    EXPECT_EQ(client.expirationDate(), now + 60s);
}

}  // namespace
}  // namespace strombel::info
