#include "app/desktop_session.h"

#include <fcntl.h>
#include <unistd.h>

#include <xcb/xcb.h>

#include <QAbstractNativeEventFilter>
#include <QApplication>
#include <QEvent>
#include <QGuiApplication>
#include <QtGui/qguiapplication_platform.h>
#include <QPointer>
#include <QWidget>
#include <QWindowStateChangeEvent>

#include <cstdlib>
#include <cstring>
#include <optional>

#include "app/tumblecraft_app_delegate.h"
#include "logging/log.h"
#include "platform/application.h"
#include "platform/main_loop.h"
#include "platform/termination_signals.h"

namespace strombel::app {

namespace {

// Background tasks get this long to end at a clean shutdown.
constexpr uint64_t kBackgroundTaskGraceNanos = 5 * platform::kNanosPerSecond;

// The life-cycle notice for anyone who observes it, with the state it leaves.
void announce(platform::NotificationCenter& notifications, const void* session, const char* notice,
              std::optional<platform::Application::State> state = std::nullopt) {
    if (state) platform::Application::shared().setApplicationState(*state);
    notifications.post(notice, session);
}

/// An atom of the X server, 0 when it cannot be had.
xcb_atom_t atomNamed(xcb_connection_t* connection, const char* name) {
    xcb_intern_atom_reply_t* reply =
        xcb_intern_atom_reply(connection, xcb_intern_atom(connection, 0, uint16_t(std::strlen(name)), name), nullptr);
    const xcb_atom_t atom = reply ? reply->atom : xcb_atom_t(XCB_ATOM_NONE);
    std::free(reply);
    return atom;
}

}  // namespace

/// The desktop's request to close the window, seen before Qt drops it: while a
/// window-modal alert is open, Qt takes the window for blocked and ignores its
/// close button. The request then ends the program as a close would.
class DesktopSession::CloseRequests : public QAbstractNativeEventFilter {
public:
    CloseRequests(DesktopSession& session, QWidget* window, xcb_atom_t protocols, xcb_atom_t deleteWindow)
        : session_(session), window_(window), protocols_(protocols), deleteWindow_(deleteWindow) {}

    bool nativeEventFilter(const QByteArray& type, void* message, qintptr*) override {
        if (type != "xcb_generic_event_t" || !window_) return false;
        const auto* event = static_cast<const xcb_generic_event_t*>(message);
        if ((event->response_type & ~0x80) != XCB_CLIENT_MESSAGE) return false;
        const auto* request = static_cast<const xcb_client_message_event_t*>(message);
        if (request->type != protocols_ || request->data.data32[0] != deleteWindow_) return false;
        if (request->window != xcb_window_t(window_->winId())) return false;
        // Unblocked, Qt delivers the close itself.
        if (!QApplication::activeModalWidget()) return false;
        session_.shutdown();
        return true;
    }

private:
    DesktopSession& session_;
    QPointer<QWidget> window_;
    xcb_atom_t protocols_, deleteWindow_;
};

DesktopSession::DesktopSession(TumblecraftAppDelegate& delegate, std::function<void()> flush,
                               platform::NotificationCenter& notifications)
    : delegate_(delegate), flush_(std::move(flush)), notifications_(notifications) {}

DesktopSession::~DesktopSession() {
    if (closeRequests_) QCoreApplication::instance()->removeNativeEventFilter(closeRequests_.get());
    pressureNotifier_.reset();
    if (pressureDescriptor_ >= 0) ::close(pressureDescriptor_);
    // The signals stay held: one that comes while the program is taken down waits
    // and is not acted on, instead of ending the program half way.
    signalNotifier_.reset();
}

void DesktopSession::watch(QWidget* window) {
    window->installEventFilter(this);
    auto* x11 = qApp ? qApp->nativeInterface<QNativeInterface::QX11Application>() : nullptr;
    // Off X (offscreen, Wayland) there is no connection and Qt delivers closes itself.
    xcb_connection_t* connection = x11 ? x11->connection() : nullptr;
    if (connection && !closeRequests_) {
        const xcb_atom_t protocols = atomNamed(connection, "WM_PROTOCOLS");
        const xcb_atom_t deleteWindow = atomNamed(connection, "WM_DELETE_WINDOW");
        if (protocols != XCB_ATOM_NONE && deleteWindow != XCB_ATOM_NONE) {
            closeRequests_ = std::make_unique<CloseRequests>(*this, window, protocols, deleteWindow);
            QCoreApplication::instance()->installNativeEventFilter(closeRequests_.get());
        }
    }
    if (window->isVisible() && !window->isMinimized()) becomeActive();
}

bool DesktopSession::catchTerminationSignals() {
    if (signalNotifier_) return true;
    if (!platform::holdTerminationSignals()) return false;
    signalNotifier_ = std::make_unique<QSocketNotifier>(platform::terminationSignalDescriptor(), QSocketNotifier::Read);
    QObject::connect(signalNotifier_.get(), &QSocketNotifier::activated, this, [this] {
        platform::takeTerminationSignals();
        shutdown();
    });
    return true;
}

bool DesktopSession::watchMemoryPressure(const std::string& pressureFile) {
    const int descriptor = ::open(pressureFile.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    if (descriptor < 0) return false;
    // Some task stalled on memory for 150 ms within two seconds, the shortest
    // window an ordinary user may ask for. The kernel wants the closing NUL.
    static constexpr char kTrigger[] = "some 150000 2000000";
    if (::write(descriptor, kTrigger, sizeof kTrigger) < 0) {
        ::close(descriptor);
        return false;
    }
    watchMemoryPressure(descriptor);
    return true;
}

void DesktopSession::watchMemoryPressure(int descriptor) {
    pressureNotifier_.reset();
    if (pressureDescriptor_ >= 0) ::close(pressureDescriptor_);
    pressureDescriptor_ = descriptor;
    pressureNotifier_ = std::make_unique<QSocketNotifier>(descriptor, QSocketNotifier::Exception);
    QObject::connect(pressureNotifier_.get(), &QSocketNotifier::activated, this,
                     [this] {
                         delegate_.applicationDidReceiveMemoryWarning();
                         announce(notifications_, this, platform::kApplicationDidReceiveMemoryWarningNotification);
                     });
}

void DesktopSession::shutdown() {
    if (shuttingDown_) return;
    shuttingDown_ = true;
    resignActive();
    delegate_.applicationWillTerminate();
    announce(notifications_, this, platform::kApplicationWillTerminateNotification);
    platform::Application::shared().finishBackgroundTasks(platform::MainLoop::shared(),
                                                          kBackgroundTaskGraceNanos);
    if (flush_) flush_();
    QCoreApplication::quit();
}

bool DesktopSession::eventFilter(QObject* watched, QEvent* event) {
    auto* window = qobject_cast<QWidget*>(watched);
    if (!window) return false;
    switch (event->type()) {
        case QEvent::Show:
            if (!window->isMinimized()) becomeActive();
            break;
        case QEvent::WindowStateChange:
            if (window->isMinimized()) {
                resignActive();
                if (!background_) {
                    background_ = true;
                    delegate_.applicationDidEnterBackground();
                    announce(notifications_, this,
                             platform::kApplicationDidEnterBackgroundNotification,
                             platform::Application::kBackground);
                }
            } else {
                if (background_) {
                    background_ = false;
                    delegate_.applicationWillEnterForeground();
                    announce(notifications_, this,
                             platform::kApplicationWillEnterForegroundNotification,
                             platform::Application::kInactive);
                }
                becomeActive();
            }
            break;
        case QEvent::Close:
            shutdown();
            break;
        default:
            break;
    }
    return false;
}

void DesktopSession::becomeActive() {
    if (active_ || shuttingDown_) return;
    active_ = true;
    delegate_.applicationDidBecomeActive();
    announce(notifications_, this, platform::kApplicationDidBecomeActiveNotification,
             platform::Application::kActive);
}

void DesktopSession::resignActive() {
    if (!active_) return;
    active_ = false;
    delegate_.applicationWillResignActive();
    announce(notifications_, this, platform::kApplicationWillResignActiveNotification,
             platform::Application::kInactive);
}

}  // namespace strombel::app
