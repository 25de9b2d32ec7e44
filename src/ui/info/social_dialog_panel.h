#pragma once

#include <QPointer>
#include <QWidget>
#include <functional>
#include <memory>
#include <string>

#include "info/social_dialog.h"
#include "ui/kit/view.h"

namespace strombel::ui::kit {
class Button;
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

    /// Makes the panel of `dialog` on `window` and puts it there; the handle takes
    /// it away again when it goes.
    static std::unique_ptr<SocialDialogView> show(SocialDialog& dialog, ui::kit::Window& window);

    void load(const std::string& url);
    void dismiss(bool animated);

    /// Lays the panel out for the status bar's orientation: 60 % of the application
    /// frame on a tablet, all of it on a phone; sides exchanged in landscape.
    void sizeToFitOrientation(bool transform);
    /// The panel's rotation for `orientation` in radians (3π/2, π/2, −π or 0).
    static double transformForOrientation(int orientation);
    /// The rotation last applied for the orientation.
    double orientationRotation() const { return rotation_; }
    int orientation() const { return orientation_; }
    /// The orientation changed: lays the panel out again unless the keyboard shows.
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
    SocialSpinner* spinner() const { return spinner_; }
    /// The view below the panel that takes the window's touches; null once gone.
    ui::kit::View* modalBackgroundView() const { return backgroundAlive_.expired() ? nullptr : background_; }

protected:
    void draw(QPainter& painter) override;
    void sizeChanged(const QSizeF& oldSize) override;

private:
    void placeWebView();
    void updateWebOrientation();
    void bounce(int step);

    SocialDialog& dialog_;
    ui::kit::Window& window_;
    QPointer<QWidget> webView_;
    QRectF webFrame_;
    ui::kit::Button* closeButton_ = nullptr;
    SocialSpinner* spinner_ = nullptr;
    ui::kit::View* background_ = nullptr;  // owned by the window's root
    std::weak_ptr<void> backgroundAlive_;
    int orientation_ = 0;
    double rotation_ = 0;
    bool showingKeyboard_ = false;
    bool dismissing_ = false;
};

}  // namespace strombel::info
