#include "ui/info/social_dialog_panel.h"

#include <unistd.h>

#include <QCoreApplication>
#include <QPainter>
#include <QFontMetricsF>
#include <QPainterPath>
#include <QUrl>
#include <cmath>
#include <filesystem>
#include <map>
#include <numbers>

#include "json/value.h"
#include "platform/sandbox.h"
#include "logging/log.h"
#include "ui/kit/animator.h"
#include "ui/kit/context.h"
#include "ui/kit/control.h"
#include "ui/kit/device_orientation.h"
#include "ui/kit/label.h"
#include "ui/kit/timer.h"
#include "ui/kit/window.h"
#include "ui/info/web_view_module.h"

namespace strombel::info {

namespace kit = strombel::ui::kit;

namespace {

// The platform's error of a failed load: an interrupted one (a decision said no,
// or another load took over) is the web kit's 102; the rest keep Chromium's code.
platform::Error loadError(const web::LoadEnd& end) {
    platform::Error error;
    if (end.errorCode == -3) {  // ERR_ABORTED
        error.domain = "WebKitErrorDomain";
        error.code = 102;
    } else {
        error.domain = "NSURLErrorDomain";
        error.code = end.errorCode;
    }
    error.userInfo = {{"NSLocalizedDescription", end.errorString}, {"NSErrorFailingURLStringKey", end.url}};
    return error;
}

/// Why a page did not load, as the user reads it (Chromium's network error codes).
QString loadFailureText(const platform::Error& error) {
    QString why;
    switch (error.code) {
        case -102: why = "The server refused the connection."; break;
        case -105:
        case -137: why = "The server's name could not be found."; break;
        case -106: why = "This computer is not connected to a network."; break;
        case -7:
        case -118: why = "The server did not answer in time."; break;
        case -101:
        case -100:
        case -324: why = "The connection was closed before the page came."; break;
        default: break;
    }
    return "The social network's page could not be loaded." + (why.isEmpty() ? QString() : "\n" + why) +
           "\nCheck the network connection and try again later.";
}

/// Covers the window below a dialog and keeps its touches.
class ModalBackground final : public kit::View {
public:
    using View::View;
    bool handlesTouches() const override { return true; }
};

/// Lays the web view over the scene again whenever the window changes its size.
class ResizeWatch final : public QObject {
public:
    ResizeWatch(QObject* watched, QObject* owner, std::function<void()> resized)
        : QObject(owner), resized_(std::move(resized)) {
        watched->installEventFilter(this);
    }
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() == QEvent::Resize) resized_();
        return QObject::eventFilter(watched, event);
    }

private:
    std::function<void()> resized_;
};

/// What the dialog holds: keeps the panel until it goes on the window, and
/// takes the panel and its background off the window when it goes.
class PanelHandle final : public SocialDialogView {
public:
    explicit PanelHandle(std::unique_ptr<SocialDialogPanel> panel)
        : unplaced_(std::move(panel)), panel_(unplaced_.get()), alive_(panel_->lifetime()) {}
    ~PanelHandle() override {
        if (unplaced_ || alive_.expired()) return;
        if (kit::View* background = panel_->modalBackgroundView()) background->removeFromSuperview();
        if (!alive_.expired()) panel_->removeFromSuperview();
    }
    void load(const std::string& url) override {
        if (!alive_.expired()) panel_->load(url);
    }
    void present() override {
        if (!unplaced_) return;
        SocialDialogPanel* panel = panel_;
        // Whoever holds it from now on (the window), the panel stays until it goes.
        if (panel->placeOnWindow(std::move(unplaced_))) panel->present();
    }
    void appear() override {
        if (!unplaced_ && !alive_.expired()) panel_->appear();
    }
    void dismiss(bool animated) override {
        if (!alive_.expired()) panel_->dismiss(animated);
    }

private:
    std::unique_ptr<SocialDialogPanel> unplaced_;
    SocialDialogPanel* panel_;
    std::weak_ptr<void> alive_;
};

}  // namespace

void deleteWebCookiesForURL(const std::string& url) {
    // No page was ever shown: the engine holds no cookies to delete.
    if (const web::Module* module = web::moduleIfOpen()) module->deleteCookiesForURL(url);
}

void prepareWebEngine() {
    // The dialogs' pages are drawn in software: sharing GL contexts would make
    // the application open GL (and its compiler) at start for pages that may
    // never show.
    QByteArray flags = qgetenv("QTWEBENGINE_CHROMIUM_FLAGS");
    if (!flags.contains("--disable-gpu")) flags += " --disable-gpu";
    qputenv("QTWEBENGINE_CHROMIUM_FLAGS", flags.trimmed());
    // Chromium's sandbox does not run for root (the tests' machines).
    if (::geteuid() == 0) qputenv("QTWEBENGINE_DISABLE_SANDBOX", "1");
}

SocialSpinner::SocialSpinner() : View(QRectF(0, 0, 37, 37)) {
    setHidden(true);
    setUserInteractionEnabled(false);
}

SocialSpinner::~SocialSpinner() = default;

void SocialSpinner::startAnimating() {
    turning_ = true;
    setHidden(false);
    timer_ = kit::Timer::scheduled(1.0 / 12, true, [this] {
        angle_ = std::fmod(angle_ + 30, 360);
        update();
    });
}

void SocialSpinner::stopAnimating() {
    turning_ = false;
    setHidden(true);
    timer_.reset();
}

void SocialSpinner::draw(QPainter& painter) {
    painter.setRenderHint(QPainter::Antialiasing);
    const QPointF centre = bounds().center();
    for (int i = 0; i < 12; ++i) {
        painter.save();
        painter.translate(centre);
        painter.rotate(angle_ + i * 30);
        painter.setPen(QPen(QColor(255, 255, 255, 40 + i * 18), 3, Qt::SolidLine, Qt::RoundCap));
        painter.drawLine(QPointF(0, -9), QPointF(0, -16));
        painter.restore();
    }
}

std::unique_ptr<SocialDialogView> SocialDialogPanel::make(SocialDialog& dialog, kit::Window& window,
                                                          platform::NotificationCenter& notifications) {
    if (!window.rootView()) return nullptr;
    auto panel = std::make_unique<SocialDialogPanel>(dialog, window);
    panel->notifications_ = &notifications;
    return std::make_unique<PanelHandle>(std::move(panel));
}

bool SocialDialogPanel::placeOnWindow(std::unique_ptr<SocialDialogPanel> self) {
    // On what the window shows: a portrait screen over the landscape one covers
    // the rest of the root.
    kit::View* root = window_.shownView();
    if (!root) return false;
    // The modal background covers the window; the panel lies on the window above it.
    auto background = std::make_unique<ModalBackground>(root->bounds());
    background->setBackgroundColor(QColor(0, 0, 0, 1));
    background_ = root->add(std::move(background));
    backgroundAlive_ = background_->lifetime();
    root->add(std::move(self));
    return true;
}

void SocialDialogPanel::present() {
    sizeToFitOrientation(false);
    rotation_ = transformForOrientation(orientation_);
    closeButton_->setFrame(kCloseButtonFrame);
    spinner_->startAnimating();
    spinner_->setCenter(webFrame_.center());
}

void SocialDialogPanel::appear() {
    // The bounce: from nothing to a little too big, a little too small, then its size.
    setTransformOriginPoint(bounds().center());
    setScale(0.001);
    bounce(0);
    if (notifications_) addObservers(*notifications_);
}

void SocialDialogPanel::addObservers(platform::NotificationCenter& notifications) {
    removeObservers();
    observed_ = &notifications;
    observers_.push_back(notifications.addObserver(kit::DeviceOrientation::kDidChangeNotification, nullptr,
                                                   [this](const platform::Notification&) { deviceOrientationDidChange(); }));
    observers_.push_back(notifications.addObserver(kKeyboardWillShowNotification, nullptr,
                                                   [this](const platform::Notification&) { keyboardWillShow(); }));
    observers_.push_back(notifications.addObserver(kKeyboardWillHideNotification, nullptr,
                                                   [this](const platform::Notification&) { keyboardWillHide(); }));
}

void SocialDialogPanel::removeObservers() {
    if (observed_)
        for (auto id : observers_) observed_->removeObserver(id);
    observers_.clear();
    observed_ = nullptr;
}

SocialDialogPanel::SocialDialogPanel(SocialDialog& dialog, kit::Window& window) : dialog_(dialog), window_(window) {
    auto close = std::make_unique<kit::Button>(kCloseButtonFrame);
    close->setImage(closeImage(), kit::normal);
    close->setTitleColor(QColor(167, 184, 216), kit::normal);
    close->setTitleColor(Qt::white, kit::highlighted);
    QFont bold("DejaVu Sans");  // the system font here
    bold.setBold(true);
    bold.setPixelSize(12);
    close->setTitleFont(bold);
    close->setShowsTouchWhenHighlighted(true);
    close->addTarget(kit::touchUpInside, [this](kit::Control&) { this->close(); });
    auto spinner = std::make_unique<SocialSpinner>();

    std::weak_ptr<void> alive = lifetime();
    const platform::Result<const web::Module*> opened = web::module();
    if (opened) {
        const web::Module* module = opened.value();
        web::PageHooks hooks;
        hooks.reachableHosts = dialog_.reachableHosts();
        SocialDialog* dialog = &dialog_;
        hooks.shouldStartLoad = [dialog](const std::string& url, int kind) {
            return dialog->shouldStartLoad(url, static_cast<SocialNavigationType>(kind));
        };
        hooks.loadEnded = [this, alive](const web::LoadEnd& end) {
            if (alive.expired()) return;
            spinner_->stopAnimating();
            if (end.succeeded) {
                // The page lies over the panel in a window of its own: shown
                // before it has loaded, it would hide the turning spinner behind
                // an empty page, for as long as a slow server takes.
                pageLoaded_ = true;
                placeWebView();
                updateWebOrientation();
                dialog_.didFinishLoad();
            } else {
                const platform::Error error = loadError(end);
                // An interrupted load (a decision said no) is no failure to tell.
                if (error.domain == "WebKitErrorDomain" || dismissing_) {
                    dialog_.didFailLoadWithError(error);
                } else {
                    showLoadFailure(error);
                }
            }
        };
        webView_ = module->createView(window_.viewport(), std::move(hooks));
        new ResizeWatch(window_.viewport(), webView_, [this, alive] {
            if (!alive.expired()) placeWebView();
        });
    } else {
        STROMBEL_LOG_ERROR("The dialog's page cannot be shown: {}", opened.error().message());
    }
    closeButton_ = add(std::move(close));
    spinner_ = add(std::move(spinner));
}

SocialDialogPanel::~SocialDialogPanel() {
    removeObservers();
    if (webView_) {
        web::moduleIfOpen()->detach(webView_);
        webView_->hide();
        webView_->deleteLater();
    }
}

void SocialDialogPanel::load(const std::string& url) {
    if (webView_) web::moduleIfOpen()->load(webView_, url);
}

void SocialDialogPanel::showLoadFailure(const platform::Error& error) {
    failure_ = error;
    if (webView_) webView_->hide();
    if (!failureView_) {
        auto view = std::make_unique<kit::View>(webFrame_);
        view->setBackgroundColor(Qt::white);
        auto label = std::make_unique<kit::Label>();
        QFont font("DejaVu Sans");
        font.setPixelSize(15);
        label->setFont(font);
        label->setTextColor(QColor(40, 40, 40));
        label->setAlignment(kit::Label::Alignment::center);
        label->setNumberOfLines(0);
        label->setLineBreakMode(kit::Label::LineBreak::wordWrap);
        auto button = std::make_unique<kit::Button>();
        button->setTitle("CLOSE");
        QFont bold("DejaVu Sans");
        bold.setBold(true);
        bold.setPixelSize(14);
        button->setTitleFont(bold);
        button->setTitleColor(Qt::white);
        button->setBackgroundColor(QColor(59, 89, 152));
        button->addTarget(kit::touchUpInside, [this](kit::Control&) { close(); });
        failureLabel_ = view->add(std::move(label));
        failureClose_ = view->add(std::move(button));
        // Below the close button, which overlaps the page's corner.
        failureView_ = insertSubviewBelow(std::move(view), closeButton_);
    }
    failureLabel_->setText(loadFailureText(error));
    layOutFailure();
}

void SocialDialogPanel::layOutFailure() {
    if (!failureView_) return;
    failureView_->setFrame(webFrame_);
    // The message in as many lines as it needs across the page, CLOSE below it,
    // the two together in the middle of the page (from its top when they are
    // taller than the page).
    const double w = webFrame_.width(), h = webFrame_.height();
    const double textWidth = std::max(0.0, w - 2 * kFailureMargin);
    failureLabel_->setFrame(QRectF(kFailureMargin, 0, textWidth, 100000));
    const double textHeight =
        double(failureLabel_->wrappedLines().size()) * QFontMetricsF(failureLabel_->font()).lineSpacing();
    const QSizeF button(std::min(120.0, w), 36);
    const double gap = 25;
    const double top = std::max(0.0, (h - (textHeight + gap + button.height())) / 2);
    failureLabel_->setFrame(QRectF(kFailureMargin, top, textWidth, textHeight));
    failureClose_->setFrame(QRectF((w - button.width()) / 2, top + textHeight + gap, button.width(), button.height()));
}

void SocialDialogPanel::close() {
    if (failure_) {
        const platform::Error error = *failure_;
        failure_.reset();
        dialog_.didFailLoadWithError(error);
    } else {
        dialog_.cancel();
    }
}

void SocialDialogPanel::bounce(int step) {
    static constexpr double kScales[] = {1.1, 0.9, 1.0};
    static constexpr double kSeconds[] = {0.2, 0.15, 0.15};
    if (step > 2) {
        placeWebView();
        return;
    }
    std::weak_ptr<void> alive = lifetime();
    kit::Animator::current().animateScale(*this, kScales[step], kSeconds[step], [this, alive, step](bool) {
        if (!alive.expired()) bounce(step + 1);
    });
    placeWebView();
}

void SocialDialogPanel::dismiss(bool animated) {
    if (dismissing_) return;
    dismissing_ = true;
    if (webView_) webView_->hide();
    SocialDialog* dialog = &dialog_;
    std::weak_ptr<void> alive = lifetime();
    // The cleanup destroys this panel: it runs from the main loop, never inside
    // the call that asked for the dismissal.
    auto cleanup = [dialog, alive] {
        if (!alive.expired()) dialog->postDismissCleanup();
    };
    if (animated) {
        kit::Animator::current().animateAlpha(*this, 0, 0.3, [cleanup](bool) {
            kit::Context::current().loop().post(cleanup);
        });
    } else {
        kit::Context::current().loop().post(cleanup);
    }
}

double SocialDialogPanel::transformForOrientation(int orientation) {
    if (orientation == 4) return 4.71238898038469;
    if (orientation == 3) return std::numbers::pi / 2;
    if (orientation == 2) return -std::numbers::pi;
    return 0;
}

QImage SocialDialogPanel::closeImage() {
    // The platform's way: the picture for two pixels a point where the screen has them.
    const std::filesystem::path bundle = platform::Sandbox::shared().bundle();
    const std::filesystem::path plain = bundle / kCloseImage;
    const std::filesystem::path doubled = plain.parent_path() / "close@2x.png";
    const bool sharp = kit::Context::current().screen().scale > 1;
    QImage image;
    if (sharp && image.load(QString::fromStdString(doubled.string()))) {
        image.setDevicePixelRatio(2);
        return image;
    }
    if (!image.load(QString::fromStdString(plain.string()))) {
        STROMBEL_LOG_WARN("The dialog's close button has no picture: {} cannot be read", plain.string());
    }
    return image;
}

QRectF SocialDialogPanel::frameForOrientation() const {
    const kit::Screen& screen = kit::Context::current().screen();
    const int orientation = screen.statusBarOrientation;
    const bool landscape = orientation == 3 || orientation == 4;
    // The application frame, in the screen's natural (portrait) points.
    const double bar = screen.statusBarHidden ? 0 : screen.statusBarHeight;
    const double w = landscape ? screen.bounds.width() - bar : screen.bounds.width();
    const double h = landscape ? screen.bounds.height() : screen.bounds.height() - bar;
    const double scale = screen.idiom == kit::Screen::Idiom::pad ? 0.6 : 1.0;
    const double width = std::floor(w * scale), height = std::floor(h * scale);
    const QSizeF size = landscape ? QSizeF(height, width) : QSizeF(width, height);
    // The centre of the application frame, below the status bar.
    const kit::View* root = window_.shownView();
    const QPointF centre = root ? QPointF(root->width() / 2, bar + std::ceil((root->height() - bar) / 2))
                                : QPointF(size.width() / 2, size.height() / 2);
    return QRectF(centre - QPointF(size.width() / 2, size.height() / 2), size);
}

void SocialDialogPanel::sizeToFitOrientation(bool transform) {
    orientation_ = kit::Context::current().screen().statusBarOrientation;
    // The scene stands in the interface orientation already: the rotation the
    // platform would apply is kept, the frame is the turned one.
    if (transform) rotation_ = transformForOrientation(orientation_);
    setFrame(frameForOrientation());
}

void SocialDialogPanel::sizeChanged(const QSizeF& oldSize) {
    View::sizeChanged(oldSize);
    // The page begins below the close button: on its corner (where the page's
    // heading is) either would hide the other.
    webFrame_ = QRectF(11, kPageTop, width() - 22, height() - kPageTop - 10);
    if (webViewGrown_) webFrame_.adjust(-10, -10, 10, 10);
    layOutFailure();
    placeWebView();
}

void SocialDialogPanel::placeWebView() {
    if (!webView_) return;
    const QPolygonF inScene = mapToScene(webFrame_);
    const QRect onWindow = window_.mapFromScene(inScene.boundingRect()).boundingRect();
    webView_->setGeometry(onWindow);
    if (pageLoaded_ && !dismissing_ && !failure_) webView_->show();
}

void SocialDialogPanel::updateWebOrientation() {
    if (!webView_) return;
    const int orientation = kit::Context::current().screen().statusBarOrientation;
    web::moduleIfOpen()->runScript(webView_, orientation == 3 || orientation == 4
                                                 ? "document.body.setAttribute('orientation', 90);"
                                                 : "document.body.removeAttribute('orientation');");
}

void SocialDialogPanel::deviceOrientationDidChange() {
    const int orientation = kit::Context::current().screen().statusBarOrientation;
    if (showingKeyboard_ || orientation == orientation_ || orientation < 1 || orientation > 4) return;
    updateWebOrientation();
    // A half turn (portrait to upside down, one landscape to the other) takes twice as long.
    const bool halfTurn = std::abs(transformForOrientation(orientation) - transformForOrientation(orientation_)) >
                          std::numbers::pi * 0.75;
    const QRectF from = frame();
    sizeToFitOrientation(true);
    const QRectF to = frame();
    setFrame(from);
    std::weak_ptr<void> alive = lifetime();
    kit::Animator::current().animateFrame(*this, to, kOrientationAnimationSeconds * (halfTurn ? 2 : 1),
                                          [this, alive](bool) {
                                              if (!alive.expired()) placeWebView();
                                          });
}

namespace {
bool keyboardGrowsTheWebView() {
    // On a phone in landscape, as the status bar stands when the keyboard comes.
    const kit::Screen& screen = kit::Context::current().screen();
    return screen.idiom != kit::Screen::Idiom::pad &&
           (screen.statusBarOrientation == 3 || screen.statusBarOrientation == 4);
}
}  // namespace

void SocialDialogPanel::keyboardWillShow() {
    showingKeyboard_ = true;
    webViewGrown_ = keyboardGrowsTheWebView();
    sizeChanged(size());
}

void SocialDialogPanel::keyboardWillHide() {
    // Whatever the orientation now, the keyboard's growth goes with it.
    showingKeyboard_ = false;
    webViewGrown_ = false;
    sizeChanged(size());
}

void SocialDialogPanel::draw(QPainter& painter) {
    const QRectF r = bounds();
    painter.fillRect(r, QColor::fromRgbF(0.3, 0.3, 0.3, 0.8));
    const double x = std::ceil(r.x() + 10), y = std::ceil(r.y() + webFrame_.top() - 1) + 1;
    const double w = r.width() - 20, h = webFrame_.height() + 1;
    painter.setPen(QPen(QColor::fromRgbF(0.3, 0.3, 0.3, 1), 1));
    painter.drawLine(QPointF(x + 0.5, y - 0.5), QPointF(x + w, y - 0.5));
    painter.drawLine(QPointF(x + 0.5, y + h - 0.5), QPointF(x + w - 0.5, y + h - 0.5));
    painter.drawLine(QPointF(x + w - 0.5, y), QPointF(x + w - 0.5, y + h));
    painter.drawLine(QPointF(x + 0.5, y), QPointF(x + 0.5, y + h));
}

}  // namespace strombel::info
