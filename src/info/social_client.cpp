#include "info/social_client.h"

#include <cctype>
#include <utility>

namespace strombel::info {

namespace {

int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Resolves %XX escapes to their bytes; a malformed escape stays as written.
std::string percentDecode(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '%' && i + 2 < text.size()) {
            int high = hexValue(text[i + 1]);
            int low = hexValue(text[i + 2]);
            if (high >= 0 && low >= 0) {
                out.push_back(char(high * 16 + low));
                i += 2;
                continue;
            }
        }
        out.push_back(text[i]);
    }
    return out;
}

std::string percentEncode(const std::string& text) {
    static const char* hex = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : text) {
        if (std::isalnum(c) || c == '-' || c == '_' || c == '.' || c == '~') {
            out.push_back(char(c));
        } else {
            out.push_back('%');
            out.push_back(hex[c >> 4]);
            out.push_back(hex[c & 15]);
        }
    }
    return out;
}

std::vector<std::string> split(const std::string& text, char separator) {
    std::vector<std::string> pieces;
    size_t start = 0;
    while (true) {
        size_t at = text.find(separator, start);
        pieces.push_back(text.substr(start, at == std::string::npos ? std::string::npos : at - start));
        if (at == std::string::npos) break;
        start = at + 1;
    }
    return pieces;
}

}  // namespace

SocialClient::SocialClient(std::string appId, std::optional<std::string> urlSchemeSuffix,
                           SocialSessionDelegate* delegate)
    : sessionDelegate_(delegate), appId_(std::move(appId)), urlSchemeSuffix_(std::move(urlSchemeSuffix)) {}

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
                  {"redirect_uri", "socialconnect://success"},
                  {"display", "touch"},
                  {"sdk", "ios"}};
    const std::string loginDialogURL = std::string(kDialogBaseURL) + "oauth";
    if (permissionsAsked_) {
        std::string scope;
        for (size_t i = 0; i < permissionsAsked_->size(); ++i) {
            if (i) scope += ",";
            scope += (*permissionsAsked_)[i];
        }
        params["scope"] = scope;
    }
    if (urlSchemeSuffix_) params["local_client_id"] = *urlSchemeSuffix_;

    if (multitaskingSupported_) {
        bool opened = false;
        if (tryFBAppAuth) {
            std::string scheme = urlSchemeSuffix_ ? "socialauth2" : "socialauth";
            std::string url = serializeURL(scheme + "://authorize", params);
            opened = opener_ && opener_->openURL(url);
        }
        if (trySafariAuth && !opened) {
            params["redirect_uri"] = getOwnBaseUrl();
            opened = opener_ && opener_->openURL(serializeURL(loginDialogURL, params));
        }
        if (opened) return;
    }
    loginDialog_ = std::make_unique<SocialLoginDialog>(SocialLoginDialog{loginDialogURL, params});
    if (presenter_) presenter_(*loginDialog_);
}

bool SocialClient::handleOpenURL(const std::string& url) {
    const std::string base = getOwnBaseUrl();
    if (url.compare(0, base.size(), base) != 0) return false;

    std::string query;
    size_t hash = url.find('#');
    if (hash != std::string::npos) {
        query = url.substr(hash + 1);
    } else if (size_t question = url.find('?'); question != std::string::npos) {
        query = url.substr(question + 1);
    }
    Params params = parseURLParams(query);

    if (auto token = params.find("access_token"); token != params.end()) {
        TimePoint expiry = TimePoint::max();
        if (auto expires = params.find("expires_in"); expires != params.end()) {
            long long seconds = 0;
            try {
                seconds = std::stoll(expires->second);
            } catch (...) {
                seconds = 0;
            }
            if (seconds != 0) expiry = now() + std::chrono::seconds(seconds);
        }
        socialDialogLogin(token->second, expiry);
        return true;
    }

    auto error = params.find("error");
    if (error != params.end() && error->second == "service_disabled_use_browser") {
        authorizeWithFBAppAuth(false, true);
        return true;
    }
    if (error != params.end() && error->second == "service_disabled") {
        authorizeWithFBAppAuth(false, false);
        return true;
    }
    const bool cancelled = params.count("error_code") == 0 &&
                           (error == params.end() || error->second == "access_denied");
    socialDialogNotLogin(cancelled);
    return true;
}

void SocialClient::logout(SocialSessionDelegate* delegate) {
    sessionDelegate_ = delegate;
    accessToken_.reset();
    expirationDate_.reset();
    // The login host's cookies go with the HTTP client's cookie store, which
    // keeps none yet.
    if (sessionDelegate_) sessionDelegate_->socialDidLogout();
}

bool SocialClient::isSessionValid() const {
    return accessToken_ && expirationDate_ && *expirationDate_ > now();
}

SocialClient::Params SocialClient::parseURLParams(const std::string& query) {
    Params params;
    if (query.empty()) return params;
    for (const std::string& piece : split(query, '&')) {
        size_t equals = piece.find('=');
        if (equals == std::string::npos) {
            params[piece] = "";
        } else {
            std::string value = piece.substr(equals + 1);
            size_t second = value.find('=');  // only the part before a second "=" is the value
            params[piece.substr(0, equals)] = percentDecode(value.substr(0, second));
        }
    }
    return params;
}

std::string SocialClient::serializeURL(const std::string& base, const Params& params) {
    std::string url = base;
    char separator = base.find('?') == std::string::npos ? '?' : '&';
    for (const auto& [key, value] : params) {
        url += separator;
        url += percentEncode(key) + "=" + percentEncode(value);
        separator = '&';
    }
    return url;
}

void SocialClient::socialDialogLogin(const std::string& token, std::optional<TimePoint> expirationDate) {
    accessToken_ = token;
    expirationDate_ = expirationDate;
    if (sessionDelegate_) sessionDelegate_->socialDidLogin();
}

void SocialClient::socialDialogNotLogin(bool cancelled) {
    if (sessionDelegate_) sessionDelegate_->socialDidNotLogin(cancelled);
}

}  // namespace strombel::info
