#include "info/social_dialog.h"

#include <limits>
#include <utility>

#include "info/url_text.h"
#include "json/error.h"
#include "json/value.h"

namespace strombel::info {

namespace {

constexpr std::string_view kScheme = "socialconnect:";

bool ignoredLoadFailure(const platform::Error& error) {
    return error.domain == "WebKitErrorDomain" && error.code == 102;
}

}  // namespace

std::chrono::system_clock::time_point expiryAfter(int64_t seconds, std::chrono::system_clock::time_point now) {
    using TimePoint = std::chrono::system_clock::time_point;
    if (seconds == 0) return TimePoint::max();
    using Seconds = std::chrono::duration<int64_t>;
    // In whole seconds, where the differences cannot overflow.
    const auto inSeconds = [](TimePoint t) { return std::chrono::duration_cast<Seconds>(t.time_since_epoch()).count(); };
    const int64_t ahead = inSeconds(TimePoint::max()) - inSeconds(now);
    const int64_t behind = inSeconds(now) - inSeconds(TimePoint::min());
    if (seconds >= ahead) return TimePoint::max();
    if (seconds <= -behind) return TimePoint::min();
    // Added in two halves: more than about 292 years in one would overflow the
    // clock's nanoseconds while being turned into them, though the sum fits.
    const int64_t half = seconds / 2;
    return now + Seconds(half) + Seconds(seconds - half);
}

SocialDialog::SocialDialog(std::string serverURL, Params params, SocialDialogDelegate* delegate)
    : delegate_(delegate), params_(std::move(params)), serverURL_(std::move(serverURL)) {}

SocialDialog::~SocialDialog() = default;

std::string SocialDialog::generateURL(const std::string& url, const Params& params) {
    if (params.empty()) return url;
    std::string pairs;
    for (const auto& [key, value] : params) {
        if (!pairs.empty()) pairs += '&';
        pairs += key + "=" + percentEncode(value);
    }
    return url + "?" + pairs;
}

void SocialDialog::show() {
    if (!view_ && viewFactory_) view_ = viewFactory_(*this);
    load();
    if (view_) view_->present();
    dialogWillAppear();
    if (view_) view_->appear();
}

void SocialDialog::load() { loadURL(serverURL_, params_); }

void SocialDialog::loadURL(const std::string& url, const Params& get) {
    loadingURL_ = generateURL(url, get);
    if (view_) view_->load(loadingURL_);
}

bool SocialDialog::shouldStartLoad(const std::string& url, SocialNavigationType type) {
    if (url.compare(0, kScheme.size(), kScheme) == 0) {
        const std::string_view rest = std::string_view(url).substr(kScheme.size());
        if (rest.substr(0, 8) == "//cancel") {
            const std::optional<std::string> code = getStringFromUrl(url, "error_code=");
            if (code) {
                const std::optional<std::string> message = getStringFromUrl(url, "error_msg=");
                json::Value details = message ? json::Value::object({{"error_msg", json::Value(*message)}})
                                              : json::Value::emptyObject();
                platform::Error error;
                error.domain = "socialErrDomain";
                error.code = integerValue(*code);
                error.userInfo = json::errorInfo(details);
                dismissWithError(error, true);
            } else {
                dialogDidCancel(url);
            }
        } else {
            dialogDidSucceed(url);
        }
        return false;
    }
    if (isLoginAnswer(url)) {
        dialogDidSucceed(url);
        return false;
    }
    if (url == loadingURL_ || type != SocialNavigationType::linkClicked) return true;
    if (auto* delegate = delegate_.get()) {
        std::weak_ptr<void> alive = lifetime();
        const bool mayOpen = delegate->dialogShouldOpenURLInExternalBrowser(*this, url);
        if (alive.expired() || !mayOpen) return false;
    }
    if (urlOpener_) urlOpener_(url);
    return false;
}

void SocialDialog::didFailLoadWithError(const platform::Error& error) {
    if (ignoredLoadFailure(error)) return;
    dismissWithError(error, true);
}

void SocialDialog::dialogDidSucceed(const std::string& url) {
    std::weak_ptr<void> alive = lifetime();
    if (auto* delegate = delegate_.get()) delegate->dialogCompleteWithUrl(url);
    if (!alive.expired()) dismissWithSuccess(true, true);
}

void SocialDialog::dialogDidCancel(const std::string& url) {
    std::weak_ptr<void> alive = lifetime();
    if (auto* delegate = delegate_.get()) delegate->dialogDidNotCompleteWithUrl(url);
    if (!alive.expired()) dismissWithSuccess(false, true);
}

void SocialDialog::dismissWithSuccess(bool success, bool animated) {
    std::weak_ptr<void> alive = lifetime();
    if (auto* delegate = delegate_.get()) {
        if (success) delegate->dialogDidComplete(*this);
        else delegate->dialogDidNotComplete(*this);
    }
    if (!alive.expired()) dismiss(animated);
}

void SocialDialog::dismissWithError(const platform::Error& error, bool animated) {
    std::weak_ptr<void> alive = lifetime();
    if (auto* delegate = delegate_.get()) delegate->dialogDidFailWithError(*this, error);
    if (!alive.expired()) dismiss(animated);
}

void SocialDialog::dismiss(bool animated) {
    dialogWillDisappear();
    loadingURL_.clear();
    if (view_) view_->dismiss(animated);
}

void SocialDialog::postDismissCleanup() { view_.reset(); }

SocialLoginDialog::SocialLoginDialog(std::string url, Params loginParams, SocialLoginDialogDelegate* loginDelegate,
                                     std::string ownBaseURL)
    : SocialDialog(std::move(url), std::move(loginParams), nullptr),
      loginDelegate_(loginDelegate),
      ownBaseURL_(std::move(ownBaseURL)) {}

bool SocialLoginDialog::isLoginAnswer(const std::string& url) const {
    return !ownBaseURL_.empty() && url.compare(0, ownBaseURL_.size(), ownBaseURL_) == 0;
}

void SocialLoginDialog::dialogDidSucceed(const std::string& url) {
    const std::optional<std::string> token = getStringFromUrl(url, "access_token=");
    const std::optional<std::string> expiresIn = getStringFromUrl(url, "expires_in=");
    if (!token || token->empty()) {
        dialogDidCancel(url);
        return;
    }
    std::optional<std::chrono::system_clock::time_point> expiry;
    if (expiresIn) expiry = expiryAfter(integerValue(*expiresIn), now());
    std::weak_ptr<void> alive = lifetime();
    if (auto* delegate = loginDelegate_.get()) delegate->socialDialogLogin(*token, expiry);
    if (!alive.expired()) dismissWithSuccess(true, true);
}

void SocialLoginDialog::dialogDidCancel(const std::string&) {
    WeakReference<SocialLoginDialogDelegate> reference = loginDelegate_;
    dismissWithSuccess(false, true);
    if (auto* delegate = reference.get()) delegate->socialDialogNotLogin(true);
}

void SocialLoginDialog::didFailLoadWithError(const platform::Error& error) {
    if (error.domain == "NSURLErrorDomain" && error.code == -999) return;
    if (ignoredLoadFailure(error)) return;
    WeakReference<SocialLoginDialogDelegate> reference = loginDelegate_;
    SocialDialog::didFailLoadWithError(error);
    if (auto* delegate = reference.get()) delegate->socialDialogNotLogin(false);
}

}  // namespace strombel::info
