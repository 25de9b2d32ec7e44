#pragma once

#include <QObject>
#include <QSocketNotifier>

#include <functional>
#include <memory>
#include <string>

#include "platform/notification_center.h"

class QWidget;

namespace strombel::app {

class TumblecraftAppDelegate;

/// Maps the desktop session onto the application's life-cycle: the window
/// shown or raised is "active", minimised is "background", restored is
/// "foreground", closed is "terminate", and the kernel's memory pressure is a
/// memory warning. SIGTERM and SIGINT end the program cleanly on the main
/// thread: the delegate hears it, `flush` writes the log and the library, and
/// Qt's loop quits.
class DesktopSession : public QObject {
public:
    /// Each step of the life-cycle is also posted on `notifications`
    /// (platform/application_state.h), with the application state it leaves.
    DesktopSession(TumblecraftAppDelegate& delegate, std::function<void()> flush,
                   platform::NotificationCenter& notifications);
    ~DesktopSession() override;

    /// Follows the window's state from now on. Closing it ends the program also
    /// while an alert asks its question over it (Qt would drop the close).
    void watch(QWidget* window);
    /// Routes SIGTERM and SIGINT to `shutdown()`; false when that could not be set up.
    /// A signal held since `platform::holdTerminationSignals()` (the program holds
    /// them before anything else) ends the program as soon as Qt's loop runs.
    bool catchTerminationSignals();
    /// Passes memory pressure on to the delegate as memory warnings, through a
    /// stall trigger on the kernel's pressure file; false where the system has
    /// none (the program then runs without memory warnings).
    bool watchMemoryPressure(const std::string& pressureFile = "/proc/pressure/memory");
    /// The same from a descriptor that turns exceptional under pressure; takes it.
    void watchMemoryPressure(int descriptor);
    /// Ends the program once: terminate hook, flush, quit.
    void shutdown();
    bool isShuttingDown() const { return shuttingDown_; }
    /// Whether the program is in the active state (its window shown, not minimised).
    bool isActive() const { return active_; }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    class CloseRequests;

    void becomeActive();
    void resignActive();

    TumblecraftAppDelegate& delegate_;
    std::function<void()> flush_;
    platform::NotificationCenter& notifications_;
    std::unique_ptr<QSocketNotifier> signalNotifier_;
    std::unique_ptr<QSocketNotifier> pressureNotifier_;
    std::unique_ptr<CloseRequests> closeRequests_;
    int pressureDescriptor_ = -1;
    bool active_ = false;
    bool background_ = false;
    bool shuttingDown_ = false;
};

}  // namespace strombel::app
