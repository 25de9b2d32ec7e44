#include "ui/kit/presenters.h"

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
// The alerts open now, so that one can be taken away without an answer.
std::vector<QPointer<QMessageBox>> openAlerts;
}  // namespace

void QtAlertPresenter::dismissAlert(const QString& title) {
    for (const QPointer<QMessageBox>& box : openAlerts) {
        if (!box || box->windowTitle() != title) continue;
        QObject::disconnect(box, &QMessageBox::buttonClicked, nullptr, nullptr);
        box->close();
    }
    std::erase_if(openAlerts, [](const QPointer<QMessageBox>& box) { return !box || !box->isVisible(); });
}

bool QtAlertPresenter::isAlertVisible(const QString& title) const {
    return std::any_of(openAlerts.begin(), openAlerts.end(), [&](const QPointer<QMessageBox>& box) {
        return box && box->isVisible() && box->windowTitle() == title;
    });
}

void QtAlertPresenter::showAlert(const QString& title, const QString& message,
                                 const QStringList& buttons, Answer answer) {
    auto box = std::make_unique<QMessageBox>(QMessageBox::NoIcon, title, message);
    box->setAttribute(Qt::WA_DeleteOnClose);
    for (qsizetype i = 0; i < buttons.size(); ++i) {
        box->addButton(buttons[i], i == 0 && buttons.size() > 1 ? QMessageBox::RejectRole
                                                                : QMessageBox::AcceptRole);
    }
    QMessageBox* raw = box.release();  // deletes itself on close
    std::erase_if(openAlerts, [](const QPointer<QMessageBox>& open) { return !open; });
    openAlerts.emplace_back(raw);
    QObject::connect(raw, &QMessageBox::buttonClicked, raw, [answer](QAbstractButton* button) {
        if (answer) answer(button->text());
    });
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
        STROMBEL_LOG_WARN("refusing to open address {}", url);
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
