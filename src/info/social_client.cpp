#include "info/social_client.h"

#include <sys/random.h>

#include <utility>

#include "info/console.h"
#include "info/url_text.h"
#include "logging/log.h"
#include "platform/required.h"

namespace strombel::info {

namespace {

std::vector<std::string> split(const std::string& text, char separator) {
    std::vector<std::string> pieces;
    size_t start = 0;
    while (true) {
        const size_t at = text.find(separator, start);
        pieces.push_back(text.substr(start, at == std::string::npos ? std::string::npos : at - start));
        if (at == std::string::npos) break;
        start = at + 1;
    }
    return pieces;
}

std::string serialize(const std::string& base, const SocialClient::Params& params) {
    return SocialRequest::serializeURL(base, SocialParams(params.begin(), params.end()));
}

constexpr const char* kRedirectURI = "socialconnect://success";

// 128 random bits in hexadecimal: what no other process can guess.
std::string newLoginState() {
    unsigned char bytes[16] = {};
    size_t filled = 0;
    while (filled < sizeof bytes) {
        const ssize_t n = ::getrandom(bytes + filled, sizeof bytes - filled, 0);
        if (n > 0) filled += size_t(n);
    }
    static const char digits[] = "0123456789abcdef";
    std::string text;
    for (unsigned char byte : bytes) {
        text += digits[byte >> 4];
        text += digits[byte & 15];
    }
    return text;
}

}  // namespace

SocialClient::SocialClient(std::string appId, std::optional<std::string> urlSchemeSuffix,
                           SocialSessionDelegate* delegate)
    : sessionDelegate_(delegate), appId_(std::move(appId)), urlSchemeSuffix_(std::move(urlSchemeSuffix)) {}

SocialClient::~SocialClient() = default;

std::string SocialClient::getOwnBaseUrl() const {
    return "sn" + appId_ + urlSchemeSuffix_.value_or("") + "://authorize";
}

void SocialClient::authorize(std::vector<std::string> permissions) {
    permissions_ = permissions;
    permissionsAsked_ = std::move(permissions);
    authorizeWithFBAppAuth(true, true);
}

void SocialClient::authorizeWithFBAppAuth(bool tryFBAppAuth, bool trySafariAuth) {
    Params params{{"client_id", appId_},
                  {"type", "user_agent"},
                  {"redirect_uri", kRedirectURI},
                  {"display", "touch"},
                  {"sdk", "ios"}};
    const std::string loginDialogURL = hosts_.dialogBaseURL + "oauth";
    if (permissionsAsked_) {
        std::string scope;
        for (size_t i = 0; i < permissionsAsked_->size(); ++i) {
            if (i) scope += ",";
            scope += (*permissionsAsked_)[i];
        }
        params["scope"] = scope;
    }
    if (urlSchemeSuffix_) params["local_client_id"] = *urlSchemeSuffix_;
    // The answer of a login in another application or the browser comes back
    // as an address any process could open: it must carry this value.
    pendingLoginState_ = newLoginState();
    params["state"] = *pendingLoginState_;

    if (multitaskingSupported_) {
        bool opened = false;
        if (tryFBAppAuth) {
            const std::string scheme = urlSchemeSuffix_ ? "socialauth2" : "socialauth";
            opened = opener_ && opener_->openURL(serialize(scheme + "://authorize", params));
        }
        if (trySafariAuth && !opened) {
            params["redirect_uri"] = getOwnBaseUrl();
            opened = opener_ && opener_->openURL(serialize(loginDialogURL, params));
        }
        if (opened) return;
    }
    // The in-app dialog: its page ends on the address the dialog catches, not on
    // the one the browser would have handed back. The login stays under way with
    // its state, so that an answer that comes back through the program's address
    // handling all the same is taken too.
    params["redirect_uri"] = kRedirectURI;
    loginDialog_.reset();
    loginDialog_ = std::make_unique<SocialLoginDialog>(loginDialogURL, params, this, getOwnBaseUrl());
    prepare(*loginDialog_);
    loginDialog_->show();
}

bool SocialClient::handleOpenURL(const std::string& url) { return handleLoginRedirect(url).ok(); }

platform::Result<void> SocialClient::handleLoginRedirect(const std::string& url) {
    auto refused = [](const std::string& why) { return platform::Error::make(kSocialClientErrorDomain, 1, why); };
    const std::string base = getOwnBaseUrl();
    if (url.compare(0, base.size(), base) != 0) {
        return refused("it is no answer of the social network's login (those begin with " + base + ")");
    }

    std::string query;
    if (const size_t hash = url.find('#'); hash != std::string::npos) {
        query = url.substr(hash + 1);
    } else if (const size_t question = url.find('?'); question != std::string::npos) {
        query = url.substr(question + 1);
    }
    const Params params = parseURLParams(query);
    const auto state = params.find("state");
    if (!pendingLoginState_ || state == params.end() || state->second != *pendingLoginState_) {
        const std::string why = pendingLoginState_ ? "it answers another login than the one under way"
                                                   : "no login is under way (each login takes one answer)";
        logRefusal(why);
        return refused(why);
    }
    pendingLoginState_.reset();  // one answer per login
    if (loginDialog_ && loginDialog_->isShowing()) loginDialog_->dismiss(true);  // answered elsewhere

    if (auto token = params.find("access_token"); token != params.end()) {
        TimePoint expiry = TimePoint::max();
        if (auto expires = params.find("expires_in"); expires != params.end()) {
            expiry = expiryAfter(integerValue(expires->second), now());
        }
        socialDialogLogin(token->second, expiry);
        return {};
    }

    const auto error = params.find("error");
    if (error != params.end() && error->second == "service_disabled_use_browser") {
        authorizeWithFBAppAuth(false, true);
        return {};
    }
    if (error != params.end() && error->second == "service_disabled") {
        authorizeWithFBAppAuth(false, false);
        return {};
    }
    const bool cancelled =
        params.count("error_code") == 0 && (error == params.end() || error->second == "access_denied");
    socialDialogNotLogin(cancelled);
    return {};
}

void SocialClient::logout(SocialSessionDelegate* delegate) {
    sessionDelegate_ = delegate;
    accessToken_.reset();
    expirationDate_.reset();
    platform::required(network_, "SocialClient::setNetworkThread").deleteCookiesForURL(hosts_.loginURL);
    if (webCookieEraser_) webCookieEraser_(hosts_.loginURL);
    if (auto* current = sessionDelegate_.get()) current->socialDidLogout();
}

bool SocialClient::isSessionValid() const { return accessToken_ && expirationDate_ && *expirationDate_ > now(); }

SocialClient::Params SocialClient::parseURLParams(const std::string& query) {
    Params params;
    if (query.empty()) return params;
    for (const std::string& piece : split(query, '&')) {
        const size_t equals = piece.find('=');
        if (equals == std::string::npos) {
            params[piece] = "";
        } else {
            const std::string value = piece.substr(equals + 1);
            const size_t second = value.find('=');  // only the part before a second "=" is the value
            params[piece.substr(0, equals)] = percentDecode(value.substr(0, second));
        }
    }
    return params;
}

void SocialClient::logRefusal(const std::string& why) {
    // Any process may hand over addresses, as fast as it likes: at most one line
    // a second, which counts the ones left out since.
    const TimePoint at = now();
    if (lastRefusalLogged_ && at >= *lastRefusalLogged_ && at - *lastRefusalLogged_ < std::chrono::seconds(1)) {
        ++refusalsLeftOut_;
        return;
    }
    if (refusalsLeftOut_) {
        STROMBEL_LOG_WARN("Refused a login answer: {} ({} more since)", why, refusalsLeftOut_);
    } else {
        STROMBEL_LOG_WARN("Refused a login answer: {}", why);
    }
    lastRefusalLogged_ = at;
    refusalsLeftOut_ = 0;
}

void SocialClient::socialDialogLogin(const std::string& token, std::optional<TimePoint> expirationDate) {
    pendingLoginState_.reset();  // the login dialog answered
    accessToken_ = token;
    expirationDate_ = expirationDate;
    if (auto* delegate = sessionDelegate_.get()) delegate->socialDidLogin();
}

void SocialClient::socialDialogNotLogin(bool cancelled) {
    pendingLoginState_.reset();
    if (auto* delegate = sessionDelegate_.get()) delegate->socialDidNotLogin(cancelled);
}

void SocialClient::requestDidFailWithError(SocialRequest&, const platform::Error&) {
    consoleLine("Failed to expire the session");
}

void SocialClient::prepare(SocialDialog& dialog) {
    dialog.setViewFactory(viewFactory_);
    // What its page may reach follows the social network's addresses, so that
    // a network on loopback is the only one the page talks to.
    std::vector<std::string> hosts;
    for (const std::string* address : {&hosts_.dialogBaseURL, &hosts_.loginURL, &hosts_.graphBaseURL, &hosts_.methodBaseURL})
        if (std::string host = hostOf(*address); !host.empty()) hosts.push_back(std::move(host));
    dialog.setReachableHosts(std::move(hosts));
    dialog.setUrlOpener([this](const std::string& url) { return opener_ && opener_->openURL(url); });
    dialog.setClock(now_);
}

SocialDialog& SocialClient::dialog(const std::string& action, SocialDialogDelegate* delegate) {
    Params params;
    return dialog(action, params, delegate);
}

SocialDialog& SocialClient::dialog(const std::string& action, Params& params, SocialDialogDelegate* delegate) {
    socialDialog_.reset();
    const std::string url = hosts_.dialogBaseURL + action;
    params["display"] = "touch";
    params["sdk"] = "2";
    params["redirect_uri"] = kRedirectURI;
    if (action == "oauth") {
        params["type"] = "user_agent";
        socialDialog_ = std::make_unique<SocialLoginDialog>(url, params, this);
    } else {
        params["app_id"] = appId_;
        if (isSessionValid()) params["access_token"] = percentDecode(*accessToken_);
        socialDialog_ = std::make_unique<SocialDialog>(url, params, delegate);
    }
    prepare(*socialDialog_);
    SocialDialog& shown = *socialDialog_;
    shown.show();
    return shown;
}

SocialRequest* SocialClient::requestWithGraphPath(const std::string& graphPath, SocialRequestDelegate* delegate) {
    SocialParams params;
    return requestWithGraphPath(graphPath, params, "GET", delegate);
}

SocialRequest* SocialClient::requestWithGraphPath(const std::string& graphPath, SocialParams& params,
                                                  SocialRequestDelegate* delegate) {
    return requestWithGraphPath(graphPath, params, "GET", delegate);
}

SocialRequest* SocialClient::requestWithGraphPath(const std::string& graphPath, SocialParams& params,
                                                  const std::string& httpMethod, SocialRequestDelegate* delegate) {
    return openUrl(hosts_.graphBaseURL + graphPath, params, httpMethod, delegate);
}

SocialRequest* SocialClient::requestWithMethodName(const std::string& methodName, SocialParams& params,
                                                   const std::string& httpMethod, SocialRequestDelegate* delegate) {
    return openUrl(hosts_.methodBaseURL + methodName, params, httpMethod, delegate);
}

SocialRequest* SocialClient::requestWithParams(SocialParams& params, SocialRequestDelegate* delegate) {
    const auto method = params.find("method");
    if (method == params.end()) {
        consoleLine("API Method must be specified");
        return nullptr;
    }
    const std::string name = method->second.text;
    params.erase(method);
    return requestWithMethodName(name, params, "GET", delegate);
}

SocialRequest* SocialClient::openUrl(const std::string& url, SocialParams& params, const std::string& httpMethod,
                                     SocialRequestDelegate* delegate) {
    params["format"] = "json";
    params["sdk"] = "ios";
    params["sdk_version"] = "2";
    if (isSessionValid()) params["access_token"] = *accessToken_;
    request_.reset();
    request_ = SocialRequest::getRequestWithParams(params, httpMethod, delegate, url,
                                                   platform::required(network_, "SocialClient::setNetworkThread"));
    SocialRequest* request = request_.get();
    request->connect();
    return request;
}

}  // namespace strombel::info
