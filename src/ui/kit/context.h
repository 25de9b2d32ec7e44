#pragma once

#include <QSizeF>
#include <memory>

#include "platform/main_loop.h"

namespace strombel::ui::kit {

class Animator;
class AlertPresenter;
class EditMenuPresenter;
class ModalPresenter;
class ProblemReporter;
class UrlOpener;

/// The device the screens lay themselves out for: what the tablet platform calls
/// the interface idiom and the main screen.
struct Screen {
    enum class Idiom { phone = 0, pad = 1 };
    Idiom idiom = Idiom::pad;
    /// The main screen's bounds in points, in its natural (portrait) orientation.
    QSizeF bounds{768, 1024};
    double scale = 2.0;
    bool statusBarHidden = false;
    /// The smaller side of the status bar's frame.
    double statusBarHeight = 20;
    /// The status bar's interface orientation: 1 portrait, 2 upside down, 3 and 4 landscape.
    int statusBarOrientation = 3;

    static Screen tablet() { return {}; }
    static Screen phone() { return {Idiom::phone, {320, 480}, 2.0, false, 20, 3}; }
    static Screen tallPhone() { return {Idiom::phone, {320, 568}, 2.0, false, 20, 3}; }
};

/// Everything the views need from around them: the main loop whose clock drives
/// timers and animations, the animator, the presenters and the screen.
/// Constructing a context makes it the current one until it is destroyed (the
/// previous one comes back), so a test builds its own over a ManualClock.
class Context {
  public:
    explicit Context(platform::MainLoop& loop, Screen screen = Screen::tablet());
    ~Context();
    Context(const Context&) = delete;
    Context& operator=(const Context&) = delete;

    /// The innermost live context; with none live the program stops, saying so.
    static Context& current();

    platform::MainLoop& loop() const { return loop_; }
    Animator& animator() const { return *animator_; }
    const Screen& screen() const { return screen_; }
    void setScreen(const Screen& screen) { screen_ = screen; }

    AlertPresenter& alerts() const { return *alerts_; }
    EditMenuPresenter& editMenu() const { return *editMenu_; }
    ModalPresenter& modals() const { return *modals_; }
    UrlOpener& urlOpener() const { return *urlOpener_; }
    /// Where the screens and the program tell the user of a failure.
    ProblemReporter& problems() const { return *problems_; }
    void setAlerts(std::unique_ptr<AlertPresenter> presenter);
    void setEditMenu(std::unique_ptr<EditMenuPresenter> presenter);
    void setModals(std::unique_ptr<ModalPresenter> presenter);
    void setUrlOpener(std::unique_ptr<UrlOpener> opener);

  private:
    platform::MainLoop& loop_;
    Screen screen_;
    std::unique_ptr<Animator> animator_;
    std::unique_ptr<AlertPresenter> alerts_;
    std::unique_ptr<EditMenuPresenter> editMenu_;
    std::unique_ptr<ModalPresenter> modals_;
    std::unique_ptr<UrlOpener> urlOpener_;
    std::unique_ptr<ProblemReporter> problems_;
    Context* previous_ = nullptr;
};

}  // namespace strombel::ui::kit
