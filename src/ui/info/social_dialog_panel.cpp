#include "ui/info/social_dialog_panel.h"

#include <unistd.h>

#include <QCoreApplication>
#include <QPainter>
#include <QPainterPath>
#include <QUrl>
#include <cmath>
#include <map>
#include <numbers>

#include "json/value.h"
#include "logging/log.h"
#include "ui/kit/animator.h"
#include "ui/kit/context.h"
#include "ui/kit/control.h"
#include "ui/kit/timer.h"
#include "ui/kit/window.h"
#include "ui/info/web_view_module.h"

namespace strombel::info {

namespace kit = strombel::ui::kit;

namespace {

// The platform's error of a failed load: an interrupted one (a decision said no,
// or another load took over) is the web kit's 102; the rest keep Chromium's code.
json::Error loadError(const web::LoadEnd& end) {
    json::Error error;
    if (end.errorCode == -3) {  // ERR_ABORTED
        error.domain = "WebKitErrorDomain";
        error.code = 102;
    } else {
        error.domain = "NSURLErrorDomain";
        error.code = end.errorCode;
    }
    error.userInfo = json::Value::object({{"NSLocalizedDescription", json::Value(end.errorString)},
                                          {"NSErrorFailingURLStringKey", json::Value(end.url)}});
    return error;
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

/// What the dialog holds: takes the panel and its background off the window
/// when it goes.
class PanelHandle final : public SocialDialogView {
public:
    explicit PanelHandle(SocialDialogPanel* panel) : panel_(panel), alive_(panel->lifetime()) {}
    ~PanelHandle() override {
        if (alive_.expired()) return;
        if (kit::View* background = panel_->modalBackgroundView()) background->removeFromSuperview();
        if (!alive_.expired()) panel_->removeFromSuperview();
    }
    void load(const std::string& url) override {
        if (!alive_.expired()) panel_->load(url);
    }
    void dismiss(bool animated) override {
        if (!alive_.expired()) panel_->dismiss(animated);
    }

private:
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

std::unique_ptr<SocialDialogView> SocialDialogPanel::show(SocialDialog& dialog, kit::Window& window) {
    kit::View* root = window.rootView();
    if (!root) return nullptr;
    auto panel = std::make_unique<SocialDialogPanel>(dialog, window);
    SocialDialogPanel* raw = panel.get();
    // The modal background covers the window; the panel lies on the window above it.
    auto background = std::make_unique<ModalBackground>(root->bounds());
    background->setBackgroundColor(QColor(0, 0, 0, 1));
    raw->background_ = root->add(std::move(background));
    raw->backgroundAlive_ = raw->background_->lifetime();
    root->add(std::move(panel));
    raw->sizeToFitOrientation(false);
    raw->rotation_ = transformForOrientation(raw->orientation_);
    raw->closeButton_->setFrame(QRectF(2, 2, 29, 29));
    raw->spinner_->startAnimating();
    raw->spinner_->setCenter(raw->webFrame_.center());
    // The bounce: from nothing to a little too big, a little too small, then its size.
    raw->setTransformOriginPoint(raw->bounds().center());
    raw->setScale(0.001);
    raw->bounce(0);
    return std::make_unique<PanelHandle>(raw);
}

SocialDialogPanel::SocialDialogPanel(SocialDialog& dialog, kit::Window& window) : dialog_(dialog), window_(window) {
    auto close = std::make_unique<kit::Button>(QRectF(2, 2, 29, 29));
    QImage cross(58, 58, QImage::Format_ARGB32_Premultiplied);
    cross.setDevicePixelRatio(2);
    cross.fill(Qt::transparent);
    {
        QPainter p(&cross);
        p.setRenderHint(QPainter::Antialiasing);
        p.setPen(QPen(Qt::white, 2));
        p.setBrush(QColor(0, 0, 0, 200));
        p.drawEllipse(QRectF(2, 2, 25, 25));
        p.setPen(QPen(QColor(167, 184, 216), 3, Qt::SolidLine, Qt::RoundCap));
        p.drawLine(QPointF(10, 10), QPointF(19, 19));
        p.drawLine(QPointF(19, 10), QPointF(10, 19));
    }
    close->setImage(cross, kit::normal);
    close->setTitleColor(QColor(167, 184, 216));
    close->addTarget(kit::touchUpInside, [this](kit::Control&) { dialog_.cancel(); });
    auto spinner = std::make_unique<SocialSpinner>();

    std::weak_ptr<void> alive = lifetime();
    std::string error;
    if (const web::Module* module = web::module(&error)) {
        web::PageHooks hooks;
        SocialDialog* dialog = &dialog_;
        hooks.shouldStartLoad = [dialog](const std::string& url, int kind) {
            return dialog->shouldStartLoad(url, static_cast<SocialNavigationType>(kind));
        };
        hooks.loadEnded = [this, alive](const web::LoadEnd& end) {
            if (alive.expired()) return;
            spinner_->stopAnimating();
            if (end.succeeded) {
                updateWebOrientation();
                dialog_.didFinishLoad();
            } else {
                dialog_.didFailLoadWithError(loadError(end));
            }
        };
        webView_ = module->createView(window_.viewport(), std::move(hooks));
        new ResizeWatch(window_.viewport(), webView_, [this, alive] {
            if (!alive.expired()) placeWebView();
        });
    } else {
        STROMBEL_LOG_ERROR("The dialog's page cannot be shown: {}", error);
    }
    closeButton_ = add(std::move(close));
    spinner_ = add(std::move(spinner));
}

SocialDialogPanel::~SocialDialogPanel() {
    if (webView_) {
        web::moduleIfOpen()->detach(webView_);
        webView_->hide();
        webView_->deleteLater();
    }
}

void SocialDialogPanel::load(const std::string& url) {
    if (webView_) web::moduleIfOpen()->load(webView_, url);
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

void SocialDialogPanel::sizeToFitOrientation(bool transform) {
    const kit::Screen& screen = kit::Context::current().screen();
    orientation_ = screen.statusBarOrientation;
    const bool landscape = orientation_ == 3 || orientation_ == 4;
    // The application frame, in the screen's natural (portrait) points.
    const double bar = screen.statusBarHidden ? 0 : screen.statusBarHeight;
    const double w = landscape ? screen.bounds.width() - bar : screen.bounds.width();
    const double h = landscape ? screen.bounds.height() : screen.bounds.height() - bar;
    const double scale = screen.idiom == kit::Screen::Idiom::pad ? 0.6 : 1.0;
    const double width = std::floor(w * scale), height = std::floor(h * scale);
    // The scene stands in the interface orientation already: the rotation the
    // platform would apply is kept, the frame is the turned one.
    if (transform) rotation_ = transformForOrientation(orientation_);
    const QSizeF size = landscape ? QSizeF(height, width) : QSizeF(width, height);
    // The centre of the application frame, below the status bar.
    const kit::View* root = window_.rootView();
    const QPointF centre = root ? QPointF(root->width() / 2, bar + std::ceil((root->height() - bar) / 2))
                                : QPointF(size.width() / 2, size.height() / 2);
    setFrame(QRectF(QPointF(0, 0), size));
    setCenter(centre);
}

void SocialDialogPanel::sizeChanged(const QSizeF& oldSize) {
    View::sizeChanged(oldSize);
    webFrame_ = QRectF(11, 11, width() - 22, height() - 21);
    if (showingKeyboard_ && kit::Context::current().screen().idiom != kit::Screen::Idiom::pad &&
        (orientation_ == 3 || orientation_ == 4)) {
        webFrame_.adjust(-10, -10, 10, 10);
    }
    placeWebView();
}

void SocialDialogPanel::placeWebView() {
    if (!webView_) return;
    const QPolygonF inScene = mapToScene(webFrame_);
    const QRect onWindow = window_.mapFromScene(inScene.boundingRect()).boundingRect();
    webView_->setGeometry(onWindow);
    if (!dismissing_) webView_->show();
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
    sizeToFitOrientation(true);
}

void SocialDialogPanel::keyboardWillShow() {
    showingKeyboard_ = true;
    sizeChanged(size());
}

void SocialDialogPanel::keyboardWillHide() {
    showingKeyboard_ = false;
    sizeChanged(size());
}

void SocialDialogPanel::draw(QPainter& painter) {
    const QRectF r = bounds();
    painter.fillRect(r, QColor::fromRgbF(0.3, 0.3, 0.3, 0.8));
    const double x = std::ceil(r.x() + 10), y = std::ceil(r.y() + 10) + 1;
    const double w = r.width() - 20, h = webFrame_.height() + 1;
    painter.setPen(QPen(QColor::fromRgbF(0.3, 0.3, 0.3, 1), 1));
    painter.drawLine(QPointF(x + 0.5, y - 0.5), QPointF(x + w, y - 0.5));
    painter.drawLine(QPointF(x + 0.5, y + h - 0.5), QPointF(x + w - 0.5, y + h - 0.5));
    painter.drawLine(QPointF(x + w - 0.5, y), QPointF(x + w - 0.5, y + h));
    painter.drawLine(QPointF(x + 0.5, y), QPointF(x + 0.5, y + h));
}

}  // namespace strombel::info
