// The web view module: the dialogs' pages on the web engine. Built as a shared
// module on Qt alone and opened on first use (see web_view_module.h).

#include "ui/info/web_view_module.h"

#include <QCoreApplication>
#include <QNetworkCookie>
#include <QWebEngineCookieStore>
#include <QWebEngineLoadingInfo>
#include <QWebEnginePage>
#include <QWebEngineProfile>
#include <QWebEngineUrlRequestInfo>
#include <QWebEngineUrlRequestInterceptor>
#include <QWebEngineUrlRequestJob>
#include <QWebEngineUrlScheme>
#include <QWebEngineUrlSchemeHandler>
#include <QWebEngineView>

#include <algorithm>
#include <map>
#include <utility>

#include "info/social_dialog.h"  // the navigation kinds (an enumeration: no code of ours)

namespace strombel::info::web {
namespace {

constexpr const char* kScheme = "socialconnect";

/// Loads nothing: the dialogs catch these addresses in their decisions.
class RefusingSchemeHandler final : public QWebEngineUrlSchemeHandler {
public:
    using QWebEngineUrlSchemeHandler::QWebEngineUrlSchemeHandler;
    void requestStarted(QWebEngineUrlRequestJob* job) override { job->fail(QWebEngineUrlRequestJob::RequestDenied); }
};

/// Lets a page's requests over the network reach only the hosts it was given.
class HostFence final : public QWebEngineUrlRequestInterceptor {
public:
    HostFence(std::vector<std::string> hosts, QObject* parent)
        : QWebEngineUrlRequestInterceptor(parent), hosts_(std::move(hosts)) {}
    void interceptRequest(QWebEngineUrlRequestInfo& info) override {
        const QUrl url = info.requestUrl();
        const QString scheme = url.scheme();
        if (scheme != "http" && scheme != "https" && scheme != "ws" && scheme != "wss" && scheme != "ftp") return;
        const std::string host = url.host().toLower().toStdString();
        if (std::find(hosts_.begin(), hosts_.end(), host) == hosts_.end()) info.block(true);
    }

private:
    const std::vector<std::string> hosts_;
};

/// The page of a dialog: its main-frame navigations are the owner's decisions,
/// and its requests reach only the hosts it was given.
class DialogPage final : public QWebEnginePage {
public:
    DialogPage(QWebEngineProfile* profile, PageHooks hooks, QObject* parent)
        : QWebEnginePage(profile, parent), hooks_(std::move(hooks)) {
        setUrlRequestInterceptor(new HostFence(hooks_.reachableHosts, this));
        connect(this, &QWebEnginePage::loadingChanged, this, [this](const QWebEngineLoadingInfo& info) {
            if (detached_ || !hooks_.loadEnded) return;
            LoadEnd end;
            if (info.status() == QWebEngineLoadingInfo::LoadSucceededStatus) {
                end.succeeded = true;
            } else if (info.status() == QWebEngineLoadingInfo::LoadFailedStatus) {
                end.errorCode = info.errorCode();
                end.errorString = info.errorString().toStdString();
            } else {
                return;
            }
            end.url = info.url().toString().toStdString();
            hooks_.loadEnded(end);
        });
    }
    void detach() {
        detached_ = true;
        disconnect();
    }

protected:
    bool acceptNavigationRequest(const QUrl& url, NavigationType type, bool isMainFrame) override {
        if (!isMainFrame || detached_ || !hooks_.shouldStartLoad) return true;
        SocialNavigationType kind = SocialNavigationType::other;
        switch (type) {
            case NavigationTypeLinkClicked: kind = SocialNavigationType::linkClicked; break;
            case NavigationTypeFormSubmitted: kind = SocialNavigationType::formSubmitted; break;
            case NavigationTypeBackForward: kind = SocialNavigationType::backForward; break;
            case NavigationTypeReload: kind = SocialNavigationType::reload; break;
            default: break;
        }
        return hooks_.shouldStartLoad(url.toString(QUrl::FullyEncoded).toStdString(), static_cast<int>(kind));
    }

private:
    PageHooks hooks_;
    bool detached_ = false;
};

// The web view's cookies by host, so that a logout can delete one host's.
std::multimap<QString, QNetworkCookie>& webCookies() {
    static std::multimap<QString, QNetworkCookie> cookies;
    return cookies;
}

QWebEngineProfile* dialogProfile() {
    // One profile for every dialog: the login's cookies last while the program runs.
    static QWebEngineProfile* profile = [] {
        auto* made = new QWebEngineProfile(QCoreApplication::instance());
        made->setHttpCacheType(QWebEngineProfile::NoCache);
        made->installUrlSchemeHandler(kScheme, new RefusingSchemeHandler(made));
        QWebEngineCookieStore* cookies = made->cookieStore();
        QObject::connect(cookies, &QWebEngineCookieStore::cookieAdded, made, [](const QNetworkCookie& cookie) {
            QString domain = cookie.domain();
            if (domain.startsWith('.')) domain.remove(0, 1);
            webCookies().emplace(domain, cookie);
        });
        return made;
    }();
    return profile;
}

QWebEngineView* asView(QWidget* view) { return qobject_cast<QWebEngineView*>(view); }

QWidget* createView(QWidget* parent, PageHooks hooks) {
    auto* view = new QWebEngineView(parent);
    view->setPage(new DialogPage(dialogProfile(), std::move(hooks), view));
    return view;
}

void load(QWidget* view, const std::string& url) {
    if (QWebEngineView* web = asView(view)) web->load(QUrl(QString::fromStdString(url), QUrl::StrictMode));
}

void runScript(QWidget* view, const std::string& script) {
    if (QWebEngineView* web = asView(view)) web->page()->runJavaScript(QString::fromStdString(script));
}

void detach(QWidget* view) {
    if (QWebEngineView* web = asView(view))
        if (auto* page = dynamic_cast<DialogPage*>(web->page())) page->detach();
}

void deleteCookiesForURL(const std::string& url) {
    const QString host = QUrl(QString::fromStdString(url)).host();
    auto& cookies = webCookies();
    for (auto it = cookies.begin(); it != cookies.end();) {
        if (it->first == host || host.endsWith("." + it->first)) {
            dialogProfile()->cookieStore()->deleteCookie(it->second);
            it = cookies.erase(it);
        } else {
            ++it;
        }
    }
}

void registerScheme() {
    QWebEngineUrlScheme scheme(kScheme);
    scheme.setSyntax(QWebEngineUrlScheme::Syntax::Path);
    // A plain scheme: the social network's pages may go to it.
    scheme.setFlags({});
    QWebEngineUrlScheme::registerScheme(scheme);
}

}  // namespace
}  // namespace strombel::info::web

extern "C" __attribute__((visibility("default"))) const strombel::info::web::Module* strombel_web_view_module() {
    using namespace strombel::info::web;
    // The scheme is known before the first profile is made, which fixes the engine's schemes.
    static const Module module = (registerScheme(), Module{createView, load, runScript, detach, deleteCookiesForURL});
    return &module;
}
