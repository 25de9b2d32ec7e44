#pragma once

// src/info/: the information screen's services (rating prompt, social network
// client), without Qt; the screen itself is in src/ui/info/.
// May include: platform, logging, json, http.
//
//   social_client.h    SocialClient: the session, the login, the dialog and request factories
//   social_dialog.h    SocialDialog, SocialLoginDialog: a dialog page and its outcome
//   social_request.h   SocialRequest: one call to the programming interfaces
//   rating_prompt.h    RatingPrompt: counts uses and asks for a rating
//   url_text.h         escapes and the readings of addresses they share

#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "info/social_dialog.h"
#include "info/social_request.h"
#include "info/weak_reference.h"
#include "platform/result.h"

namespace strombel::info {

/// The domain of an address that the client refused as a login answer (code 1).
inline constexpr std::string_view kSocialClientErrorDomain = "SocialClientErrorDomain";

/// Told of the outcome of a login or a logout; every message is optional.
class SocialSessionDelegate : public Referable {
public:
    virtual ~SocialSessionDelegate() = default;
    virtual void socialDidLogin() {}
    /// `cancelled` is true when the user cancelled rather than the login failing.
    virtual void socialDidNotLogin(bool cancelled) { (void)cancelled; }
    virtual void socialDidLogout() {}
};

/// Opens an address in another application or the browser; false when nothing
/// could open it. The program opens with xdg-open; tests record.
class SocialUrlOpener {
public:
    virtual ~SocialUrlOpener() = default;
    virtual bool openURL(const std::string& url) = 0;
};

/// Where the social network lives. Settings: the program has its own hosts, tests
/// point every one at a loopback server.
struct SocialHosts {
    /// The mobile dialog pages ("oauth", "feed", ...), ending in "/".
    std::string dialogBaseURL = "https://m.social.example.com/dialog/";
    /// The graph interface's objects, ending in "/".
    std::string graphBaseURL = "https://graph.social.example.com/";
    /// The older method interface, ending in "/".
    std::string methodBaseURL = "https://api.social.example.com/method/";
    /// The login host, whose cookies a logout deletes.
    std::string loginURL = "http://login.social.example.com";
};

/// The application's client of the social network: the login session (a token
/// and its expiry, in memory only), the login by application switch, browser or
/// in-app dialog, whose answer comes back through `handleOpenURL`, and the
/// factory of dialogs and requests. Main loop only.
class SocialClient : public SocialLoginDialogDelegate, public SocialRequestDelegate {
public:
    using TimePoint = std::chrono::system_clock::time_point;
    using Params = std::map<std::string, std::string>;

    /// The client with no URL scheme suffix.
    SocialClient(std::string appId, SocialSessionDelegate* delegate)
        : SocialClient(std::move(appId), std::nullopt, delegate) {}
    SocialClient(std::string appId, std::optional<std::string> urlSchemeSuffix, SocialSessionDelegate* delegate);
    ~SocialClient() override;

    // ---- Seams for the platform ----
    void setHosts(SocialHosts hosts) { hosts_ = std::move(hosts); }
    const SocialHosts& hosts() const { return hosts_; }
    /// URL opening (application switch and browser); none opens nothing.
    void setUrlOpener(SocialUrlOpener* opener) { opener_ = opener; }
    /// Makes the panel of a dialog; without one, dialogs are made but not shown.
    void setDialogViewFactory(SocialDialog::ViewFactory factory) { viewFactory_ = std::move(factory); }
    /// Deletes the web view's cookies for an address (logout).
    void setWebCookieEraser(std::function<void(const std::string& url)> eraser) { webCookieEraser_ = std::move(eraser); }
    /// The thread requests and the logout's cookie removal run on; required
    /// before either (a client without one stops the program there, naming it).
    void setNetworkThread(http::NetworkThread* network) { network_ = network; }
    void setClock(std::function<TimePoint()> now) { now_ = std::move(now); }
    /// Whether the device can switch between applications (yes on a desktop).
    void setMultitaskingSupported(bool supported) { multitaskingSupported_ = supported; }

    // ---- The session ----
    /// Logs in asking for `permissions`, by application switch, then browser.
    void authorize(std::vector<std::string> permissions);
    void authorizeWithFBAppAuth(bool tryFBAppAuth, bool trySafariAuth);
    /// True when `url` is this client's own login redirect, which it then reads.
    /// A redirect is taken only while a login this client started is under way (by
    /// application switch, browser, or the in-app dialog, which it then closes),
    /// and only with the "state" value that login sent; any other is refused
    /// (false, a log line at most once a second) and changes nothing.
    bool handleOpenURL(const std::string& url);
    /// handleOpenURL saying why an address was refused: an Error of
    /// kSocialClientErrorDomain whose message is the reason.
    platform::Result<void> handleLoginRedirect(const std::string& url);
    /// The "state" value of the login under way whose answer comes back through
    /// `handleOpenURL`, if any.
    const std::optional<std::string>& pendingLoginState() const { return pendingLoginState_; }
    /// Forgets the session and the login host's cookies, and tells `delegate`
    /// (which becomes the session delegate).
    void logout(SocialSessionDelegate* delegate);
    bool isSessionValid() const;
    /// "sn<appId><suffix>://authorize".
    std::string getOwnBaseUrl() const;
    /// Splits "a=1&b=2" into pairs; values have their percent escapes resolved.
    /// A later key replaces an earlier one; a piece without "=" has an empty value.
    static Params parseURLParams(const std::string& query);

    SocialSessionDelegate* sessionDelegate() const { return sessionDelegate_.get(); }
    void setSessionDelegate(SocialSessionDelegate* delegate) { sessionDelegate_ = delegate; }

    // SocialLoginDialogDelegate
    void socialDialogLogin(const std::string& token, std::optional<TimePoint> expirationDate) override;
    void socialDialogNotLogin(bool cancelled) override;

    // SocialRequestDelegate: the client sends nothing with itself as delegate; a
    // request that does and fails leaves one console line.
    void requestDidFailWithError(SocialRequest& request, const platform::Error& error) override;

    // ---- Dialogs ----
    SocialDialog& dialog(const std::string& action, SocialDialogDelegate* delegate);
    /// Adds the dialog parameters to `params` (the caller sees them) and shows the
    /// page of `action`; "oauth" shows the login dialog.
    SocialDialog& dialog(const std::string& action, Params& params, SocialDialogDelegate* delegate);

    // ---- Requests ----
    SocialRequest* requestWithGraphPath(const std::string& graphPath, SocialRequestDelegate* delegate);
    SocialRequest* requestWithGraphPath(const std::string& graphPath, SocialParams& params,
                                        SocialRequestDelegate* delegate);
    SocialRequest* requestWithGraphPath(const std::string& graphPath, SocialParams& params,
                                        const std::string& httpMethod, SocialRequestDelegate* delegate);
    SocialRequest* requestWithMethodName(const std::string& methodName, SocialParams& params,
                                         const std::string& httpMethod, SocialRequestDelegate* delegate);
    /// The method named by "method", which leaves the parameters; null (and a
    /// console line) without one.
    SocialRequest* requestWithParams(SocialParams& params, SocialRequestDelegate* delegate);
    /// Adds the standard parameters to `params`, replaces the last request and sends it.
    SocialRequest* openUrl(const std::string& url, SocialParams& params, const std::string& httpMethod,
                           SocialRequestDelegate* delegate);

    const std::optional<std::string>& accessToken() const { return accessToken_; }
    const std::optional<TimePoint>& expirationDate() const { return expirationDate_; }
    const std::string& appId() const { return appId_; }
    const std::vector<std::string>& permissions() const { return permissions_; }
    /// The in-app login dialog of the last login that needed one.
    SocialLoginDialog* loginDialog() const { return loginDialog_.get(); }
    /// The last dialog opened by `dialog`.
    SocialDialog* socialDialog() const { return socialDialog_.get(); }
    SocialRequest* request() const { return request_.get(); }

private:
    TimePoint now() const { return now_ ? now_() : std::chrono::system_clock::now(); }
    void prepare(SocialDialog& dialog);
    void logRefusal(const std::string& why);

    std::optional<std::string> accessToken_;
    std::optional<TimePoint> expirationDate_;
    WeakReference<SocialSessionDelegate> sessionDelegate_;
    std::unique_ptr<SocialRequest> request_;
    std::unique_ptr<SocialLoginDialog> loginDialog_;
    std::unique_ptr<SocialDialog> socialDialog_;
    std::string appId_;
    std::optional<std::string> urlSchemeSuffix_;
    std::optional<std::vector<std::string>> permissionsAsked_;
    std::vector<std::string> permissions_;
    SocialHosts hosts_;
    SocialUrlOpener* opener_ = nullptr;
    SocialDialog::ViewFactory viewFactory_;
    std::function<void(const std::string&)> webCookieEraser_;
    http::NetworkThread* network_ = nullptr;
    std::function<TimePoint()> now_;
    bool multitaskingSupported_ = true;
    std::optional<std::string> pendingLoginState_;
    std::optional<TimePoint> lastRefusalLogged_;
    uint64_t refusalsLeftOut_ = 0;
};

}  // namespace strombel::info
