// The web view module: the dialogs' pages on the web engine. Built as a shared
// module on Qt alone and opened on first use (see web_view_module.h).

#include "ui/info/web_view_module.h"

#include <QChildEvent>
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
#include <QPointer>
#include <QVBoxLayout>
#include <QWindow>

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

/// Where a dialog's page shows on its owner's widget: a window container holding
/// a window of its own with the engine's view in it. The engine draws through
/// Qt's texture compositing, and a window has to be made for that: the view put
/// straight on the owner's widget made Qt destroy the owner's top-level window
/// and make it anew (the program's whole window went and came back). The own
/// window is made once the engine has put its drawing widget into the view (as
/// the first load begins), so that it is made for that compositing from the
/// start and never made anew under the container.
///
/// Two things Qt does not do for a window of widgets inside another window are
/// done here: the keyboard stays with the owner's top-level window, so while
/// the page is what was last clicked the keys that window gets go on to the
/// page; and such a window cannot be closed, which would keep the application
/// from quitting, so it is hidden when the application is asked to quit.
class ViewFrame final : public QWidget {
public:
    ViewFrame(QWidget* parent, PageHooks hooks)
        : QWidget(parent), host_(new QWidget(nullptr, Qt::FramelessWindowHint)) {
        setAttribute(Qt::WA_DontCreateNativeAncestors);
        auto* inHost = new QVBoxLayout(host_);
        inHost->setContentsMargins(0, 0, 0, 0);
        view_ = new QWebEngineView(host_);
        inHost->addWidget(view_);
        view_->setPage(new DialogPage(dialogProfile(), std::move(hooks), view_));
        auto* inFrame = new QVBoxLayout(this);
        inFrame->setContentsMargins(0, 0, 0, 0);
    }
    // The host goes first and takes its window with it: the container would
    // otherwise delete that window under the host.
    ~ViewFrame() override {
        QCoreApplication::instance()->removeEventFilter(this);
        delete host_;
    }

    QWebEngineView* view() const { return view_; }
    /// Puts the host's window into the frame once the engine's drawing widget
    /// is in the view: now, or as soon as it comes.
    void embedWhenDrawn() {
        if (container_) return;
        if (!view_->findChildren<QWidget*>(Qt::FindDirectChildrenOnly).isEmpty()) {
            embed();
        } else if (!waiting_) {
            waiting_ = true;
            view_->installEventFilter(this);
        }
    }

    bool eventFilter(QObject* watched, QEvent* event) override {
        const QEvent::Type type = event->type();
        if (watched == view_ && type == QEvent::ChildAdded && waiting_ &&
            static_cast<QChildEvent*>(event)->child()->isWidgetType()) {
            // After the widget has settled in the view.
            QMetaObject::invokeMethod(this, [this] { embed(); }, Qt::QueuedConnection);
        } else if (type == QEvent::Quit) {
            host_->hide();
        } else if (type == QEvent::MouseButtonPress && (watched == host_->windowHandle() || watched == topLevel_)) {
            pageClicked_ = watched != topLevel_;
        } else if (watched == topLevel_ && topLevel_ && pageClicked_ && isVisible() &&
                   (type == QEvent::KeyPress || type == QEvent::KeyRelease || type == QEvent::ShortcutOverride)) {
            QCoreApplication::sendEvent(host_->windowHandle(), event);
            return true;
        }
        return false;
    }

protected:
    void hideEvent(QHideEvent* event) override {
        pageClicked_ = false;
        QWidget::hideEvent(event);
    }

private:
    void embed() {
        if (container_) return;
        if (waiting_) view_->removeEventFilter(this);
        waiting_ = false;
        host_->winId();
        container_ = QWidget::createWindowContainer(host_->windowHandle(), this);
        container_->setAttribute(Qt::WA_DontCreateNativeAncestors);
        layout()->addWidget(container_);
        topLevel_ = window()->windowHandle();
        // Sees every event of the application while the page can show.
        QCoreApplication::instance()->installEventFilter(this);
    }

    QWidget* host_;
    QWebEngineView* view_ = nullptr;
    QWidget* container_ = nullptr;
    QPointer<QWindow> topLevel_;
    bool waiting_ = false;
    bool pageClicked_ = false;
};

QWebEngineView* asView(QWidget* view) {
    auto* frame = dynamic_cast<ViewFrame*>(view);
    return frame ? frame->view() : nullptr;
}

QWidget* createView(QWidget* parent, PageHooks hooks) { return new ViewFrame(parent, std::move(hooks)); }

void load(QWidget* view, const std::string& url) {
    auto* frame = dynamic_cast<ViewFrame*>(view);
    if (!frame) return;
    frame->view()->load(QUrl(QString::fromStdString(url), QUrl::StrictMode));
    frame->embedWhenDrawn();
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
