#pragma once

#include <QPointF>
#include <QRectF>
#include <QString>
#include <QStringList>
#include <algorithm>
#include <functional>
#include <memory>
#include <string>
#include <vector>

class QWidget;

namespace strombel::ui::kit {

class View;
class Window;

/// Shows an alert with buttons and answers with the title of the button the user
/// chose. The program shows a dialog; tests answer by hand.
class AlertPresenter {
  public:
    using Answer = std::function<void(const QString& buttonTitle)>;
    virtual ~AlertPresenter() = default;
    /// `buttons` in the order shown; the first is the cancel button when there are several.
    virtual void showAlert(const QString& title, const QString& message, const QStringList& buttons,
                           Answer answer) = 0;
    /// Takes the open alerts titled `title` away without an answer.
    virtual void dismissAlert(const QString& title) { (void)title; }
    /// Whether an alert titled `title` is open.
    virtual bool isAlertVisible(const QString& title) const {
        (void)title;
        return false;
    }
};

/// The small edit menu (copy, paste, rename, ...) shown over a place on the screen.
class EditMenuPresenter {
  public:
    using Choice = std::function<void(const QString& item)>;
    virtual ~EditMenuPresenter() = default;
    /// `target` is in the window's points; `choice` is called with the item picked,
    /// or not at all when the menu is dismissed.
    virtual void showMenu(Window* window, const QRectF& target, const QStringList& items,
                          Choice choice) = 0;
    virtual void hideMenu() = 0;
};

/// Puts a screen over the current one, and takes it away again.
class ModalPresenter {
  public:
    virtual ~ModalPresenter() = default;
    /// Shows `screen` over everything in `window`; `done` runs once it is shown.
    virtual View* present(Window& window, std::unique_ptr<View> screen, bool animated,
                          std::function<void()> done = {}) = 0;
    /// Shows `screen` at its own shape (a portrait screen over a landscape one),
    /// fading in: the window shows that screen alone until it is dismissed, when
    /// it fades out. `done` runs once it is shown.
    virtual View* presentInOwnShape(Window& window, std::unique_ptr<View> screen, bool animated,
                                    std::function<void()> done = {}) = 0;
    /// Takes the top screen away (the presenter destroys it).
    virtual void dismiss(Window& window, bool animated, std::function<void()> done = {}) = 0;
    virtual View* presented(const Window& window) const = 0;
};

/// Opens a web or mail address in the user's programs.
class UrlOpener {
  public:
    virtual ~UrlOpener() = default;
    /// Answers whether the address could be handed over.
    virtual bool openUrl(const std::string& url) = 0;
};

/// A dialog box of Qt's, answered asynchronously. It belongs to the program's
/// window: it stays above it, and the window takes no input while it is open.
/// One question is open at a time: an alert asked for meanwhile waits its turn.
class QtAlertPresenter final : public AlertPresenter {
  public:
    QtAlertPresenter();
    ~QtAlertPresenter() override;
    void showAlert(const QString& title, const QString& message, const QStringList& buttons,
                   Answer answer) override;
    /// Takes the open alert and the waiting ones titled `title` away.
    void dismissAlert(const QString& title) override;
    /// Whether an alert titled `title` is open or waiting.
    bool isAlertVisible(const QString& title) const override;
    /// The dialog open now, or null.
    QWidget* openAlert() const;

  private:
    struct Waiting {
        QString title, message;
        QStringList buttons;
        Answer answer;
    };
    void showNext();

    struct Open;
    std::unique_ptr<Open> open_;
    std::vector<Waiting> waiting_;
    uint64_t shownCount_ = 0;
    std::shared_ptr<int> alive_ = std::make_shared<int>(0);
};

/// A pop-up menu of Qt's at the target.
class QtEditMenuPresenter final : public EditMenuPresenter {
  public:
    void showMenu(Window* window, const QRectF& target, const QStringList& items,
                  Choice choice) override;
    void hideMenu() override;
};

/// Lays presented screens over the window's shown view, sliding up from below;
/// a screen of its own shape lies over the root and fades.
class OverlayModalPresenter final : public ModalPresenter {
  public:
    View* present(Window& window, std::unique_ptr<View> screen, bool animated,
                  std::function<void()> done) override;
    View* presentInOwnShape(Window& window, std::unique_ptr<View> screen, bool animated,
                            std::function<void()> done) override;
    void dismiss(Window& window, bool animated, std::function<void()> done) override;
    View* presented(const Window& window) const override;
};

/// Hands addresses to xdg-open. Only http, https and mailto addresses are opened.
class XdgUrlOpener final : public UrlOpener {
  public:
    bool openUrl(const std::string& url) override;
};

/// Test doubles: they remember what was asked and answer when told.
class RecordingAlertPresenter final : public AlertPresenter {
  public:
    struct Shown {
        QString title, message;
        QStringList buttons;
        Answer answer;
    };
    void showAlert(const QString& title, const QString& message, const QStringList& buttons,
                   Answer answer) override {
        shown.push_back({title, message, buttons, std::move(answer)});
    }
    void dismissAlert(const QString& title) override {
        std::erase_if(shown, [&](const Shown& alert) { return alert.title == title; });
    }
    bool isAlertVisible(const QString& title) const override {
        return std::any_of(shown.begin(), shown.end(), [&](const Shown& alert) { return alert.title == title; });
    }
    /// Answers the oldest open alert with the button of that title.
    bool press(const QString& buttonTitle);
    /// The open alerts, oldest first (answered and dismissed ones leave).
    std::vector<Shown> shown;
};

class RecordingEditMenuPresenter final : public EditMenuPresenter {
  public:
    void showMenu(Window*, const QRectF& target, const QStringList& items, Choice choice) override {
        this->target = target;
        this->items = items;
        this->choice = std::move(choice);
        visible = true;
    }
    void hideMenu() override { visible = false; }
    /// Picks `item` from the open menu, as the user would.
    bool pick(const QString& item) {
        if (!visible || !items.contains(item)) return false;
        visible = false;
        if (choice) choice(item);
        return true;
    }
    QRectF target;
    QStringList items;
    Choice choice;
    bool visible = false;
};

class RecordingUrlOpener final : public UrlOpener {
  public:
    bool openUrl(const std::string& url) override {
        opened.push_back(url);
        return answer;
    }
    std::vector<std::string> opened;
    bool answer = true;
};

}  // namespace strombel::ui::kit
