#include "ui/kit/presenters.h"

#include <QApplication>
#include <QMenu>
#include <QMessageBox>
#include <QPointer>
#include <QProcess>
#include <QPushButton>

#include "logging/log.h"
#include "ui/kit/animator.h"
#include "ui/kit/context.h"
#include "ui/kit/view.h"
#include "ui/kit/window.h"

namespace strombel::ui::kit {

namespace {

/// The program's window the alerts belong to: the active one, else the first
/// shown, else the first made (an alert at launch comes before the window shows).
QWidget* alertsWindow() {
    if (auto* active = dynamic_cast<Window*>(QApplication::activeWindow())) return active;
    Window* made = nullptr;
    for (QWidget* widget : QApplication::topLevelWidgets()) {
        auto* window = dynamic_cast<Window*>(widget);
        if (!window) continue;
        if (window->isVisible()) return window;
        if (!made) made = window;
    }
    return made;
}

}  // namespace

struct QtAlertPresenter::Open {
    QString title;
    QPointer<QMessageBox> box;
    uint64_t number;
};

QtAlertPresenter::QtAlertPresenter() = default;

QtAlertPresenter::~QtAlertPresenter() {
    if (open_ && open_->box) {
        QObject::disconnect(open_->box, nullptr, nullptr, nullptr);
        open_->box->close();
    }
}

void QtAlertPresenter::dismissAlert(const QString& title) {
    std::erase_if(waiting_, [&](const Waiting& alert) { return alert.title == title; });
    if (!open_ || open_->title != title) return;
    if (open_->box) {
        QObject::disconnect(open_->box, nullptr, nullptr, nullptr);
        open_->box->close();
    }
    open_.reset();
    showNext();
}

bool QtAlertPresenter::isAlertVisible(const QString& title) const {
    if (open_ && open_->box && open_->title == title) return true;
    return std::any_of(waiting_.begin(), waiting_.end(), [&](const Waiting& alert) { return alert.title == title; });
}

QWidget* QtAlertPresenter::openAlert() const {
    return open_ ? open_->box.data() : nullptr;
}

void QtAlertPresenter::showAlert(const QString& title, const QString& message, const QStringList& buttons,
                                 Answer answer) {
    waiting_.push_back({title, message, buttons, std::move(answer)});
    if (!open_) showNext();
}

void QtAlertPresenter::showNext() {
    if (open_ || waiting_.empty()) return;
    Waiting alert = std::move(waiting_.front());
    waiting_.erase(waiting_.begin());
    // A child of the window: the desktop keeps it above that window, and while
    // it is open the window takes neither clicks nor keys.
    auto box = std::make_unique<QMessageBox>(QMessageBox::NoIcon, alert.title, alert.message, QMessageBox::NoButton,
                                             alertsWindow());
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->setWindowModality(Qt::WindowModal);
    for (qsizetype i = 0; i < alert.buttons.size(); ++i) {
        box->addButton(alert.buttons[i], i == 0 && alert.buttons.size() > 1 ? QMessageBox::RejectRole
                                                                            : QMessageBox::AcceptRole);
    }
    QMessageBox* raw = box.release();  // deletes itself on close
    open_ = std::make_unique<Open>(Open{alert.title, raw, shownCount_ + 1});
    // Every question gets one answer. Closed without a button (the window
    // manager's close button, Escape), it is answered as its cancel button
    // would: the asker may hold something until the answer comes.
    auto answered = std::make_shared<bool>(false);
    auto answerOnce = [answered, answer = std::move(alert.answer)](const QString& title) {
        if (*answered) return;
        *answered = true;
        if (answer) answer(title);
    };
    const QString closedAnswer = alert.buttons.isEmpty() ? QString() : alert.buttons.front();
    QObject::connect(raw, &QMessageBox::buttonClicked, raw,
                     [answerOnce](QAbstractButton* button) { answerOnce(button->text()); });
    // The next question comes once this one is gone, answered or closed, and
    // not only when the box is destroyed: a box closed but still standing
    // must not hold the ones that wait.
    const uint64_t shown = ++shownCount_;
    std::weak_ptr<int> alive = alive_;
    auto gone = [this, alive, shown] {
        if (alive.expired() || !open_ || open_->number != shown) return;
        open_.reset();
        showNext();
    };
    QObject::connect(raw, &QDialog::finished, raw, [answerOnce, closedAnswer, gone](int) {
        answerOnce(closedAnswer);
        gone();
    });
    QObject::connect(raw, &QObject::destroyed, gone);
    raw->open();
}

namespace {
QPointer<QMenu> openMenu;
}

void QtEditMenuPresenter::showMenu(Window* window, const QRectF& target, const QStringList& items,
                                   Choice choice) {
    hideMenu();
    auto menu = std::make_unique<QMenu>(window);
    menu->setAttribute(Qt::WA_DeleteOnClose);
    for (const QString& item : items) {
        menu->addAction(item, [choice, item] {
            if (choice) choice(item);
        });
    }
    QPoint at;
    if (window) at = window->mapToGlobal(window->mapFromScene(target.center()));
    openMenu = menu.release();  // deletes itself on close
    openMenu->popup(at);
}

void QtEditMenuPresenter::hideMenu() {
    if (openMenu) openMenu->close();
}

namespace {

/// `done` on the next turn of the main loop, as an animation's end would come.
void doneLater(std::function<void()> done) {
    Context::current().loop().post([done] {
        if (done) done();
    });
}

constexpr double kFadeSeconds = 0.3;

}  // namespace

View* OverlayModalPresenter::present(Window& window, std::unique_ptr<View> screen, bool animated,
                                     std::function<void()> done) {
    // A screen presented by a screen of its own shape lies on that one.
    View* root = window.shownView();
    if (!root || !screen) return nullptr;
    View* shown = root->addSubview(std::move(screen));
    window.modalStack().push_back(shown);
    const double height = root->height();
    auto finish = [done](bool) {
        if (done) done();
    };
    // Every screen slides up from below, whatever transition style its caller set
    // (the pad screen gives its store and information screens a flip): the desktop
    // kit has one transition for screens that cover the window, so nothing here
    // reads the style, which stays as the caller set it.
    if (animated) {
        const QPointF target = shown->frame().topLeft();
        shown->setY(target.y() + height);
        Animator::current().animatePosition(*shown, target, 0.3, finish);
    } else {
        doneLater(std::move(done));
    }
    return shown;
}

View* OverlayModalPresenter::presentInOwnShape(Window& window, std::unique_ptr<View> screen, bool animated,
                                               std::function<void()> done) {
    View* root = window.rootView();
    if (!root || !screen) return nullptr;
    screen->setX(0, 0);
    View* shown = root->addSubview(std::move(screen));
    window.modalStack().push_back(shown);
    window.setOwnShapeScreen(shown);
    if (animated) {
        shown->setAlpha(0);
        Animator::current().animateAlpha(*shown, 1.0, kFadeSeconds, [done](bool) {
            if (done) done();
        });
    } else {
        doneLater(std::move(done));
    }
    return shown;
}

void OverlayModalPresenter::dismiss(Window& window, bool animated, std::function<void()> done) {
    auto& stack = window.modalStack();
    if (stack.empty()) return;
    View* top = stack.back();
    stack.pop_back();
    const bool ownShape = top == window.ownShapeScreen();
    auto remove = [&window, top, ownShape, alive = top->lifetime(), done](bool) {
        // A screen still alive is still in the window (which therefore still stands).
        if (!alive.expired()) {
            if (ownShape && window.ownShapeScreen() == top) window.setOwnShapeScreen(nullptr);
            top->removeFromSuperview();  // dropped here: destroyed
        }
        if (done) done();
    };
    if (animated && ownShape) {
        Animator::current().animateAlpha(*top, 0.0, kFadeSeconds, remove);
    } else if (animated && top->superview()) {
        Animator::current().animatePosition(
            *top, QPointF(top->x(), top->y() + top->superview()->height()), 0.3, remove);
    } else {
        remove(true);
    }
}

View* OverlayModalPresenter::presented(const Window& window) const {
    const auto& stack = const_cast<Window&>(window).modalStack();
    return stack.empty() ? nullptr : stack.back();
}

bool XdgUrlOpener::openUrl(const std::string& url) {
    const QString address = QString::fromStdString(url);
    if (!address.startsWith("http://") && !address.startsWith("https://") &&
        !address.startsWith("mailto:")) {
        // The caller hears of it and goes on (a login tries the social network's
        // own program first): a debug line, without the query and fragment, which
        // may carry what only the address's maker and its answerer may know.
        STROMBEL_LOG_DEBUG("refusing to open address {}", url.substr(0, url.find_first_of("?#")));
        return false;
    }
    return QProcess::startDetached("xdg-open", {address});
}

bool RecordingAlertPresenter::press(const QString& buttonTitle) {
    for (auto it = shown.begin(); it != shown.end(); ++it) {
        if (!it->buttons.contains(buttonTitle)) continue;
        Answer answer = std::move(it->answer);
        shown.erase(it);
        if (answer) answer(buttonTitle);
        return true;
    }
    return false;
}

}  // namespace strombel::ui::kit
