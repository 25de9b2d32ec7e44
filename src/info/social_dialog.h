#pragma once

#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "info/weak_reference.h"
#include "platform/error.h"

namespace strombel::info {

class SocialDialog;

/// Told how a dialog ended, and asked about links; every message is optional.
class SocialDialogDelegate : public Referable {
public:
    virtual ~SocialDialogDelegate() = default;
    virtual void dialogDidComplete(SocialDialog& dialog) { (void)dialog; }
    virtual void dialogCompleteWithUrl(const std::string& url) { (void)url; }
    virtual void dialogDidNotCompleteWithUrl(const std::string& url) { (void)url; }
    virtual void dialogDidNotComplete(SocialDialog& dialog) { (void)dialog; }
    virtual void dialogDidFailWithError(SocialDialog& dialog, const platform::Error& error) { (void)dialog, (void)error; }
    /// Whether a link the user follows may open in the browser.
    virtual bool dialogShouldOpenURLInExternalBrowser(SocialDialog& dialog, const std::string& url) {
        (void)dialog, (void)url;
        return true;
    }
};

/// The social network client's side of the login dialog.
class SocialLoginDialogDelegate : public Referable {
public:
    using TimePoint = std::chrono::system_clock::time_point;
    virtual ~SocialLoginDialogDelegate() = default;
    virtual void socialDialogLogin(const std::string& token, std::optional<TimePoint> expirationDate) = 0;
    virtual void socialDialogNotLogin(bool cancelled) = 0;
};

/// What kind of navigation the web page asks for.
enum class SocialNavigationType { linkClicked = 0, formSubmitted = 1, backForward = 2, reload = 3,
                                  formResubmitted = 4, other = 5 };

/// The panel that shows a dialog's page: a web view over the whole window. The
/// screens make it; the dialog tells it what to load, when to take its place on
/// the window, when to appear and when to go. Destroying it takes the panel off
/// the window at once.
class SocialDialogView {
public:
    virtual ~SocialDialogView() = default;
    virtual void load(const std::string& url) = 0;
    /// Lays the panel out for the orientation and puts it on the window.
    virtual void present() {}
    /// After the dialog's `dialogWillAppear`: the bounce, then the observers of
    /// the orientation and the keyboard.
    virtual void appear() {}
    /// Fades the panel out (or not) and then calls the dialog's `postDismissCleanup`.
    virtual void dismiss(bool animated) = 0;
};

/// One page of the social network's mobile dialogs (the feed dialog here) and
/// how it ended: completed, cancelled or failed. The page ends by going to a
/// "socialconnect" address, which the dialog catches instead of loading.
class SocialDialog {
public:
    using Params = std::map<std::string, std::string>;
    using ViewFactory = std::function<std::unique_ptr<SocialDialogView>(SocialDialog&)>;
    using Clock = std::function<std::chrono::system_clock::time_point()>;
    using UrlOpener = std::function<bool(const std::string&)>;

    SocialDialog(std::string serverURL, Params params, SocialDialogDelegate* delegate);
    virtual ~SocialDialog();
    SocialDialog(const SocialDialog&) = delete;
    SocialDialog& operator=(const SocialDialog&) = delete;

    /// The seams the client hands in: the panel's maker (none: nothing is shown),
    /// the browser for followed links, and the clock.
    void setViewFactory(ViewFactory factory) { viewFactory_ = std::move(factory); }
    void setUrlOpener(UrlOpener opener) { urlOpener_ = std::move(opener); }
    void setClock(Clock clock) { clock_ = std::move(clock); }
    /// The hosts of the social network as the settings name them: the page may
    /// reach these and no other (its view blocks every other request).
    void setReachableHosts(std::vector<std::string> hosts) { reachableHosts_ = std::move(hosts); }
    const std::vector<std::string>& reachableHosts() const { return reachableHosts_; }

    /// Makes the panel, loads the page, puts the panel on the window, tells
    /// `dialogWillAppear`, and lets the panel appear.
    void show();
    void load();
    /// Loads `url` with the pairs of `get` as its query.
    void loadURL(const std::string& url, const Params& get);
    /// "address?k=v&..." with every value escaped; the address alone without pairs.
    static std::string generateURL(const std::string& url, const Params& params);

    // ---- From the panel ----
    /// Whether the web view may load `url`.
    bool shouldStartLoad(const std::string& url, SocialNavigationType type);
    void didFinishLoad() {}
    /// The web view could not load the page (`error.domain` "WebKitErrorDomain" or
    /// "NSURLErrorDomain" with their codes).
    virtual void didFailLoadWithError(const platform::Error& error);
    /// The close button.
    void cancel() { dialogDidCancel(""); }
    /// The panel has faded out: it leaves the window.
    void postDismissCleanup();

    // ---- Outcomes ----
    virtual void dialogDidSucceed(const std::string& url);
    virtual void dialogDidCancel(const std::string& url);
    void dismissWithSuccess(bool success, bool animated);
    void dismissWithError(const platform::Error& error, bool animated);
    void dismiss(bool animated);

    /// Hooks for subclasses: the panel is about to show, or to go.
    virtual void dialogWillAppear() {}
    virtual void dialogWillDisappear() {}

    const std::string& serverURL() const { return serverURL_; }
    const Params& params() const { return params_; }
    /// The address being loaded; empty once the dialog was dismissed.
    const std::string& loadingURL() const { return loadingURL_; }
    SocialDialogDelegate* delegate() const { return delegate_.get(); }
    void setDelegate(SocialDialogDelegate* delegate) { delegate_ = delegate; }
    /// True while the panel is on the window.
    bool isShowing() const { return view_ != nullptr; }
    SocialDialogView* view() const { return view_.get(); }

protected:
    /// Whether `url`, besides the "socialconnect" addresses, ends the page with
    /// its answer (the login dialog's own address); none here.
    virtual bool isLoginAnswer(const std::string& url) const {
        (void)url;
        return false;
    }
    std::chrono::system_clock::time_point now() const {
        return clock_ ? clock_() : std::chrono::system_clock::now();
    }
    /// Destroyed with the dialog: callbacks check it after every outside call.
    std::weak_ptr<void> lifetime() const { return alive_; }

private:
    WeakReference<SocialDialogDelegate> delegate_;
    Params params_;
    std::string serverURL_;
    std::string loadingURL_;
    std::unique_ptr<SocialDialogView> view_;
    ViewFactory viewFactory_;
    UrlOpener urlOpener_;
    std::vector<std::string> reachableHosts_;
    Clock clock_;
    std::shared_ptr<int> alive_ = std::make_shared<int>(0);
};

/// The same panel for the social network's login page: it takes the token and
/// its expiry out of the final address and hands them to the client.
class SocialLoginDialog : public SocialDialog {
public:
    /// `ownBaseURL`, when given, is the client's own login address ("sn…://authorize"):
    /// a page that ends there ends the login as the success address does.
    SocialLoginDialog(std::string url, Params loginParams, SocialLoginDialogDelegate* loginDelegate,
                      std::string ownBaseURL = {});

    void dialogDidSucceed(const std::string& url) override;
    void dialogDidCancel(const std::string& url) override;
    void didFailLoadWithError(const platform::Error& error) override;

protected:
    bool isLoginAnswer(const std::string& url) const override;

private:
    WeakReference<SocialLoginDialogDelegate> loginDelegate_;
    std::string ownBaseURL_;
};

/// The expiry of "expires_in" seconds from `now`: the distant future for 0, and
/// saturated there when the sum lies beyond the clock's range.
std::chrono::system_clock::time_point expiryAfter(int64_t seconds, std::chrono::system_clock::time_point now);

}  // namespace strombel::info
