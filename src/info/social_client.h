#pragma once

#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace strombel::info {

/// Told of the outcome of a login or a logout; every message is optional.
class SocialSessionDelegate {
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

/// The in-app login page: its address and parameters. The web view that shows it
/// comes with the information screen; until then a dialog is made and kept, and
/// shown by the presenter when one is set.
struct SocialLoginDialog {
    std::string url;
    std::map<std::string, std::string> params;
};

/// The application's client of the social network: the login session (a token
/// and its expiry, in memory only) and the login by application switch, browser
/// or in-app dialog, whose answer comes back through `handleOpenURL`.
class SocialClient {
public:
    using TimePoint = std::chrono::system_clock::time_point;
    using Params = std::map<std::string, std::string>;

    /// The client with no URL scheme suffix.
    SocialClient(std::string appId, SocialSessionDelegate* delegate)
        : SocialClient(std::move(appId), std::nullopt, delegate) {}
    SocialClient(std::string appId, std::optional<std::string> urlSchemeSuffix,
                 SocialSessionDelegate* delegate);

    /// Seams for the platform: URL opening, the dialog presenter, the clock and
    /// whether the device can switch between applications (yes on a desktop).
    void setUrlOpener(SocialUrlOpener* opener) { opener_ = opener; }
    void setLoginDialogPresenter(std::function<void(const SocialLoginDialog&)> presenter) {
        presenter_ = std::move(presenter);
    }
    void setClock(std::function<TimePoint()> now) { now_ = std::move(now); }
    void setMultitaskingSupported(bool supported) { multitaskingSupported_ = supported; }

    /// Logs in asking for `permissions`, by application switch, then browser.
    void authorize(std::vector<std::string> permissions);
    void authorizeWithFBAppAuth(bool tryFBAppAuth, bool trySafariAuth);

    /// True when `url` is this client's own login redirect, which it then reads.
    bool handleOpenURL(const std::string& url);

    /// Forgets the session and tells `delegate` (which becomes the session delegate).
    void logout(SocialSessionDelegate* delegate);

    bool isSessionValid() const;
    /// "sn<appId><suffix>://authorize".
    std::string getOwnBaseUrl() const;

    /// Splits "a=1&b=2" into pairs; values have their percent escapes resolved.
    /// A later key replaces an earlier one; a piece without "=" has an empty value.
    static Params parseURLParams(const std::string& query);
    /// `base` followed by "?" and the parameters, each percent-escaped.
    static std::string serializeURL(const std::string& base, const Params& params);

    // The login dialog's answers.
    void socialDialogLogin(const std::string& token, std::optional<TimePoint> expirationDate);
    void socialDialogNotLogin(bool cancelled);

    const std::optional<std::string>& accessToken() const { return accessToken_; }
    const std::optional<TimePoint>& expirationDate() const { return expirationDate_; }
    const std::string& appId() const { return appId_; }
    const std::vector<std::string>& permissions() const { return permissions_; }
    /// The in-app login dialog of the last login that needed one.
    const SocialLoginDialog* loginDialog() const { return loginDialog_.get(); }

    /// The social network's mobile dialog pages.
    static constexpr const char* kDialogBaseURL = "https://m.social.example.com/dialog/";

private:
    TimePoint now() const { return now_ ? now_() : std::chrono::system_clock::now(); }

    std::optional<std::string> accessToken_;
    std::optional<TimePoint> expirationDate_;
    SocialSessionDelegate* sessionDelegate_;
    std::unique_ptr<SocialLoginDialog> loginDialog_;
    std::string appId_;
    std::optional<std::string> urlSchemeSuffix_;
    std::optional<std::vector<std::string>> permissionsAsked_;
    std::vector<std::string> permissions_;
    SocialUrlOpener* opener_ = nullptr;
    std::function<void(const SocialLoginDialog&)> presenter_;
    std::function<TimePoint()> now_;
    bool multitaskingSupported_ = true;
};

}  // namespace strombel::info
