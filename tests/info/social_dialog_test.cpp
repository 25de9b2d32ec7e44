#include "info/social_dialog.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "info/social_client.h"
#include "info/url_text.h"

namespace strombel::info {
namespace {

using namespace std::chrono_literals;

struct RecordingDialogDelegate : SocialDialogDelegate {
    std::vector<std::string> events;
    bool allowBrowser = true;
    std::optional<platform::Error> error;
    void dialogDidComplete(SocialDialog&) override { events.push_back("complete"); }
    void dialogCompleteWithUrl(const std::string& url) override { events.push_back("complete " + url); }
    void dialogDidNotCompleteWithUrl(const std::string& url) override { events.push_back("not complete " + url); }
    void dialogDidNotComplete(SocialDialog&) override { events.push_back("not complete"); }
    void dialogDidFailWithError(SocialDialog&, const platform::Error& e) override {
        events.push_back("fail " + std::to_string(e.code));
        error = e;
    }
    bool dialogShouldOpenURLInExternalBrowser(SocialDialog&, const std::string& url) override {
        events.push_back("may open " + url);
        return allowBrowser;
    }
};

/// A panel that writes down what the dialog asked of it.
struct RecordingView : SocialDialogView {
    std::vector<std::string>* log;
    explicit RecordingView(std::vector<std::string>* log) : log(log) {}
    void load(const std::string& url) override { log->push_back("load " + url); }
    void present() override { log->push_back("present"); }
    void appear() override { log->push_back("appear"); }
    void dismiss(bool animated) override { log->push_back(animated ? "dismiss animated" : "dismiss"); }
};

struct Opener : SocialUrlOpener {
    std::vector<std::string> opened;
    bool openURL(const std::string& url) override {
        opened.push_back(url);
        return true;
    }
};

class SocialDialogTest : public ::testing::Test {
protected:
    SocialDialogTest() : client("123456789012345", nullptr) {
        client.setClock([this] { return now; });
        client.setUrlOpener(&opener);
        client.setDialogViewFactory([this](SocialDialog&) { return std::make_unique<RecordingView>(&panel); });
    }
    SocialDialog& feed() {
        SocialClient::Params params{{"name", "Strombel"}};
        return client.dialog("feed", params, &delegate);
    }
    SocialClient::TimePoint now = SocialClient::TimePoint(1'700'000'000s);
    std::vector<std::string> panel;
    RecordingDialogDelegate delegate;
    Opener opener;
    SocialClient client;
};

TEST_F(SocialDialogTest, FeedDialogGetsTheDialogParametersAndTheToken) {
    client.socialDialogLogin("a%20b", SocialClient::TimePoint::max());
    SocialClient::Params params{{"name", "Strombel"}};
    SocialDialog& dialog = client.dialog("feed", params, &delegate);
    EXPECT_EQ(params, (SocialClient::Params{{"name", "Strombel"},
                                            {"display", "touch"},
                                            {"sdk", "2"},
                                            {"redirect_uri", "socialconnect://success"},
                                            {"app_id", "123456789012345"},
                                            {"access_token", "a b"}}));
    EXPECT_EQ(dialog.loadingURL(), "https://m.social.example.com/dialog/feed?access_token=a%20b&app_id=123456789012345"
                                   "&display=touch&name=Strombel&redirect_uri=socialconnect%3A%2F%2Fsuccess&sdk=2");
    EXPECT_EQ(panel, (std::vector<std::string>{"load " + dialog.loadingURL(), "present", "appear"}));
    EXPECT_EQ(client.socialDialog(), &dialog);
    EXPECT_EQ(SocialDialog::generateURL("https://x/y", {}), "https://x/y");
}

TEST_F(SocialDialogTest, PageDecisionsEndTheDialogOrLoad) {
    struct Case {
        std::string url;
        SocialNavigationType type;
        bool loads;
        std::vector<std::string> events;
        std::vector<std::string> opened;
    } cases[] = {
        {"socialconnect://success?post_id=1", SocialNavigationType::formSubmitted, false,
         {"complete socialconnect://success?post_id=1", "complete"}, {}},
        {"socialconnect://cancel", SocialNavigationType::linkClicked, false,
         {"not complete socialconnect://cancel", "not complete"}, {}},
        {"socialconnect://cancel?error_code=190&error_msg=Bad%20token", SocialNavigationType::other, false,
         {"fail 190"}, {}},
        {"https://m.social.example.com/login", SocialNavigationType::other, true, {}, {}},
        {"https://m.social.example.com/login", SocialNavigationType::formSubmitted, true, {}, {}},
        {"http://elsewhere.example.com/", SocialNavigationType::linkClicked, false,
         {"may open http://elsewhere.example.com/"}, {"http://elsewhere.example.com/"}},
    };
    for (const auto& row : cases) {
        SCOPED_TRACE(row.url);
        SocialDialog& dialog = feed();
        delegate.events.clear();
        opener.opened.clear();
        panel.clear();
        EXPECT_EQ(dialog.shouldStartLoad(row.url, row.type), row.loads);
        EXPECT_EQ(delegate.events, row.events);
        EXPECT_EQ(opener.opened, row.opened);
        const bool ended = !row.events.empty() && row.events[0].rfind("may open", 0) != 0;
        EXPECT_EQ(panel, ended ? std::vector<std::string>{"dismiss animated"} : std::vector<std::string>{});
        EXPECT_EQ(dialog.loadingURL().empty(), ended);
    }
    EXPECT_EQ(delegate.error->domain, "socialErrDomain");
    EXPECT_EQ(delegate.error->userInfo["error_msg"].asString(), "Bad token");
}

TEST_F(SocialDialogTest, TheLoadingAddressLoadsAndRefusedLinksStayClosed) {
    SocialDialog& dialog = feed();
    EXPECT_TRUE(dialog.shouldStartLoad(dialog.loadingURL(), SocialNavigationType::linkClicked));
    delegate.allowBrowser = false;
    EXPECT_FALSE(dialog.shouldStartLoad("http://elsewhere.example.com/", SocialNavigationType::linkClicked));
    EXPECT_TRUE(opener.opened.empty());
}

TEST_F(SocialDialogTest, CloseButtonCancelsAndLoadFailuresFail) {
    SocialDialog& dialog = feed();
    dialog.cancel();
    EXPECT_EQ(delegate.events, (std::vector<std::string>{"not complete ", "not complete"}));
    delegate.events.clear();
    SocialDialog& second = feed();
    second.didFailLoadWithError(platform::Error{"WebKitErrorDomain", 102, {}, nullptr});
    EXPECT_TRUE(delegate.events.empty());
    second.didFailLoadWithError(platform::Error{"NSURLErrorDomain", -1004, {}, nullptr});
    EXPECT_EQ(delegate.events, std::vector<std::string>{"fail -1004"});
}

TEST_F(SocialDialogTest, ADelegateThatWentHearsNothing) {
    auto gone = std::make_unique<RecordingDialogDelegate>();
    SocialClient::Params params;
    SocialDialog& dialog = client.dialog("feed", params, gone.get());
    gone.reset();
    EXPECT_FALSE(dialog.shouldStartLoad("socialconnect://success", SocialNavigationType::other));
    EXPECT_EQ(dialog.delegate(), nullptr);
}

struct LoginRecorder : SocialLoginDialogDelegate {
    std::vector<std::string> events;
    std::optional<TimePoint> expiry;
    void socialDialogLogin(const std::string& token, std::optional<TimePoint> expirationDate) override {
        events.push_back("login " + token);
        expiry = expirationDate;
    }
    void socialDialogNotLogin(bool cancelled) override { events.push_back(cancelled ? "cancelled" : "failed"); }
};

TEST(SocialDialogHooks, ThePanelAppearsAfterTheLoadAndTheHookAndTheHooksHearTheAddress) {
    // Load, the panel's place on the window, the hook, then the bounce and the
    // observers; on the way out, the hook before the address goes.
    std::vector<std::string> steps;
    struct Hooked : SocialDialog {
        explicit Hooked(std::vector<std::string>& steps)
            : SocialDialog("https://social.example.com/dialog/feed", {{"a", "b c"}}, nullptr), steps(steps) {}
        std::vector<std::string>& steps;
        void dialogWillAppear() override { steps.push_back("will appear, loading " + loadingURL()); }
        void dialogWillDisappear() override { steps.push_back("will disappear, loading " + loadingURL()); }
    };
    Hooked dialog(steps);
    dialog.setViewFactory([&](SocialDialog&) { return std::make_unique<RecordingView>(&steps); });
    dialog.show();
    dialog.dismiss(false);
    const std::string url = "https://social.example.com/dialog/feed?a=b%20c";
    EXPECT_EQ(steps, (std::vector<std::string>{"load " + url, "present", "will appear, loading " + url, "appear",
                                               "will disappear, loading " + url, "dismiss"}));
    EXPECT_TRUE(dialog.loadingURL().empty());
}

TEST(SocialLoginDialogTest, TakesTheTokenAndExpiryFromTheFinalAddress) {
    const auto now = std::chrono::system_clock::time_point(1'700'000'000s);
    struct Case {
        std::string url;
        std::vector<std::string> events;
        std::optional<std::chrono::system_clock::time_point> expiry;
    } cases[] = {
        {"socialconnect://success#access_token=ab%2Fc&expires_in=3600", {"login ab/c"}, now + 3600s},
        {"socialconnect://success#access_token=ab&expires_in=0", {"login ab"}, std::chrono::system_clock::time_point::max()},
        // Further back than the clock's nanoseconds reach in one step, yet within its range.
        {"socialconnect://success#access_token=ab&expires_in=-9722222222", {"login ab"},
         std::chrono::system_clock::time_point(-8'022'222'222s)},
        {"socialconnect://success#access_token=ab", {"login ab"}, std::nullopt},
        {"socialconnect://success#access_token=&expires_in=5", {"cancelled"}, std::nullopt},
        {"socialconnect://success#expires_in=5", {"cancelled"}, std::nullopt},
        {"socialconnect://cancel", {"cancelled"}, std::nullopt},
    };
    for (const auto& row : cases) {
        SCOPED_TRACE(row.url);
        LoginRecorder recorder;
        SocialLoginDialog dialog("https://m/dialog/oauth", {}, &recorder);
        dialog.setClock([now] { return now; });
        dialog.show();
        EXPECT_FALSE(dialog.shouldStartLoad(row.url, SocialNavigationType::other));
        EXPECT_EQ(recorder.events, row.events);
        EXPECT_EQ(recorder.expiry, row.expiry);
    }
}

TEST(SocialLoginDialogTest, LoadFailuresReportAFailedLoginExceptCancelledLoads) {
    LoginRecorder recorder;
    SocialLoginDialog dialog("https://m/dialog/oauth", {}, &recorder);
    dialog.didFailLoadWithError(platform::Error{"NSURLErrorDomain", -999, {}, nullptr});
    dialog.didFailLoadWithError(platform::Error{"WebKitErrorDomain", 102, {}, nullptr});
    EXPECT_TRUE(recorder.events.empty());
    dialog.didFailLoadWithError(platform::Error{"NSURLErrorDomain", -1009, {}, nullptr});
    EXPECT_EQ(recorder.events, std::vector<std::string>{"failed"});
}

TEST(UrlText, ReadsValuesAndIntegersAsThePlatformDoes) {
    EXPECT_EQ(getStringFromUrl("a://b?x=1&error_code=190&m=2", "error_code="), "190");
    EXPECT_EQ(getStringFromUrl("a://b?error_msg=A%20B", "error_msg="), "A B");
    EXPECT_EQ(getStringFromUrl("a://b?x=1", "error_code="), std::nullopt);
    EXPECT_EQ(getStringFromUrl("a://b?x=", "x="), "");
    EXPECT_EQ(integerValue(" 42abc"), 42);
    EXPECT_EQ(integerValue("-7"), -7);
    EXPECT_EQ(integerValue("abc"), 0);
    EXPECT_EQ(integerValue("99999999999999999999"), std::numeric_limits<int64_t>::max());
    EXPECT_EQ(integerValue("-99999999999999999999"), std::numeric_limits<int64_t>::min());
    EXPECT_EQ(percentDecode("%41%4"), "A%4");
    // Hosts as the web engine names them: what a dialog's page may reach.
    EXPECT_EQ(hostOf("https://M.Social.example.com/dialog/"), "m.social.example.com");
    EXPECT_EQ(hostOf("http://user:pw@127.0.0.1:8080/x?y=@z"), "127.0.0.1");
    EXPECT_EQ(hostOf("http://[::1]:99/"), "::1");
    EXPECT_EQ(hostOf("http://login.example.com"), "login.example.com");
    EXPECT_EQ(hostOf("no address"), "");
}

}  // namespace
}  // namespace strombel::info
