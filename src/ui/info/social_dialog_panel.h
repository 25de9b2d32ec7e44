#pragma once

#include <QPointer>
#include <QRectF>
#include <QWidget>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "info/social_dialog.h"
#include "platform/notification_center.h"
#include "ui/kit/view.h"

namespace strombel::ui::kit {
class Button;
class Label;
class Timer;
class Window;
}  // namespace strombel::ui::kit

namespace strombel::info {

/// Call before the QApplication is made: gives Chromium the flags the dialogs'
/// pages need (drawn in software, so that no GL is opened at start; no sandbox
/// when running as root). The web engine itself is loaded only when a page is
/// first shown.
void prepareWebEngine();

/// Deletes the web view's cookies for `url`'s host (logout).
void deleteWebCookiesForURL(const std::string& url);

/// The spinner that turns while a dialog's page loads.
class SocialSpinner : public ui::kit::View {
public:
    SocialSpinner();
    ~SocialSpinner() override;
    void startAnimating();
    void stopAnimating();
    bool isAnimating() const { return turning_; }

protected:
    void draw(QPainter& painter) override;

private:
    bool turning_ = false;
    double angle_ = 0;
    std::unique_ptr<ui::kit::Timer> timer_;
};

/// The framed panel that shows a social network dialog's page over the whole
/// window: a web engine view laid over the scene at the panel's web view frame, a
/// close button, a spinner while the page loads, and a modal background that takes
/// the touches below it. It grows in with a short bounce and fades out.
class SocialDialogPanel : public ui::kit::View {
public:
    SocialDialogPanel(SocialDialog& dialog, ui::kit::Window& window);
    ~SocialDialogPanel() override;

    /// The keyboard's notices the panel follows while it shows.
    static constexpr const char* kKeyboardWillShowNotification = "UIKeyboardWillShowNotification";
    static constexpr const char* kKeyboardWillHideNotification = "UIKeyboardWillHideNotification";

    /// The close button's picture in the bundle folder.
    static constexpr const char* kCloseImage = "SocialDialog.bundle/images/close.png";
    /// The close button's frame on the panel, and where the page begins below it.
    static constexpr QRectF kCloseButtonFrame{2, 2, 29, 29};
    static constexpr double kPageTop = 33;
    /// How long the status bar takes for a quarter turn (a half turn twice that).
    static constexpr double kOrientationAnimationSeconds = 0.3;

    /// Makes the panel of `dialog` for `window`; the handle puts it on the window
    /// when the dialog presents it and takes it away again when it goes. Once it
    /// has appeared, the panel follows the device's orientation and the keyboard
    /// through `notifications`.
    static std::unique_ptr<SocialDialogView> make(
        SocialDialog& dialog, ui::kit::Window& window,
        platform::NotificationCenter& notifications);

    void load(const std::string& url);
    /// Lays the panel out and puts it, above its modal background, on the window.
    void present();
    /// The bounce from nothing to its size, then the observers.
    void appear();
    void dismiss(bool animated);

    /// Lays the panel out for the status bar's orientation: 60 % of the application
    /// frame on a tablet, all of it on a phone; sides exchanged in landscape.
    void sizeToFitOrientation(bool transform);
    /// The frame `sizeToFitOrientation` gives for the status bar's orientation now.
    QRectF frameForOrientation() const;
    /// The panel's rotation for `orientation` in radians (3π/2, π/2, −π or 0).
    static double transformForOrientation(int orientation);
    /// The rotation last applied for the orientation.
    double orientationRotation() const { return rotation_; }
    int orientation() const { return orientation_; }
    /// The orientation changed: unless the keyboard shows, lays the panel out
    /// again, moving it there as the status bar turns.
    void deviceOrientationDidChange();
    void keyboardWillShow();
    void keyboardWillHide();
    bool showingKeyboard() const { return showingKeyboard_; }

    bool handlesTouches() const override { return true; }
    /// The web engine's view laid over the window; null when the engine could
    /// not be loaded.
    QWidget* webView() const { return webView_; }
    QRectF webViewFrame() const { return webFrame_; }
    ui::kit::Button* closeButton() const { return closeButton_; }
    /// Where a page that could not be loaded is told, in place of the page, with
    /// a button that closes the dialog; null while nothing failed.
    ui::kit::Label* failureLabel() const { return failureLabel_; }
    ui::kit::Button* failureCloseButton() const { return failureClose_; }
    SocialSpinner* spinner() const { return spinner_; }
    /// The view below the panel that takes the window's touches; null once gone.
    ui::kit::View* modalBackgroundView() const { return backgroundAlive_.expired() ? nullptr : background_; }

    /// Adds the modal background and then `self` (this panel) to the window's
    /// root, which then owns both; false when the window has no root.
    bool placeOnWindow(std::unique_ptr<SocialDialogPanel> self);

protected:
    void draw(QPainter& painter) override;
    void sizeChanged(const QSizeF& oldSize) override;


private:
    /// The close button's picture from the bundle folder.
    static QImage closeImage();
    void placeWebView();
    /// The page could not be loaded: says so where the page was and keeps the
    /// dialog until the user closes it, which ends it with `error`.
    void showLoadFailure(const platform::Error& error);
    void layOutFailure();
    static constexpr double kFailureMargin = 20;
    void close();
    void updateWebOrientation();
    void bounce(int step);
    void addObservers(platform::NotificationCenter& notifications);
    void removeObservers();

    SocialDialog& dialog_;
    ui::kit::Window& window_;
    QPointer<QWidget> webView_;
    QRectF webFrame_;
    ui::kit::Button* closeButton_ = nullptr;
    ui::kit::View* failureView_ = nullptr;
    ui::kit::Label* failureLabel_ = nullptr;
    ui::kit::Button* failureClose_ = nullptr;
    std::optional<platform::Error> failure_;
    SocialSpinner* spinner_ = nullptr;
    ui::kit::View* background_ = nullptr;  // owned by the window's root
    std::weak_ptr<void> backgroundAlive_;
    int orientation_ = 0;
    double rotation_ = 0;
    bool showingKeyboard_ = false;
    bool dismissing_ = false;
    bool pageLoaded_ = false;  // the page's first load has ended well
    bool webViewGrown_ = false;  // by the keyboard, on a phone in landscape
    platform::NotificationCenter* observed_ = nullptr;
    platform::NotificationCenter* notifications_ = nullptr;
    std::vector<platform::NotificationCenter::ObserverId> observers_;
};

}  // namespace strombel::info
