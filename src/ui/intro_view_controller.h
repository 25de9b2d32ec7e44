#pragma once

#include <memory>

#include "ui/kit/image_view.h"
#include "ui/kit/timer.h"

namespace strombel::ui {

/// Told when the intro is over.
class IntroDelegate {
public:
    virtual ~IntroDelegate() = default;
    virtual void introFinished() = 0;
};

/// A splash screen: the launch picture, a glow fading in over it (after 0.3 s,
/// for 1.3 s), and 0.6 s later `introFinished` to the delegate, about 2.2 s
/// after the view was loaded. Nothing in the program shows it; a start-up could.
/// A screen destroyed early sends nothing. Main loop only.
class IntroViewController {
public:
    static constexpr double kGlowDelaySeconds = 0.3;
    static constexpr double kGlowSeconds = 1.3;
    static constexpr double kEndDelaySeconds = 0.6;

    IntroViewController() = default;
    ~IntroViewController();
    IntroViewController(const IntroViewController&) = delete;
    IntroViewController& operator=(const IntroViewController&) = delete;

    /// The view, built on first use; loading it starts the intro.
    kit::View* view();
    /// Hands the view to a window; the screen keeps a pointer to it.
    std::unique_ptr<kit::View> takeView();
    void setDelegate(IntroDelegate* delegate) { delegate_ = delegate; }
    IntroDelegate* delegate() const { return delegate_; }
    kit::ImageView* glowView() const { return glowView_; }
    /// Yes for the two landscape orientations (3 and 4) only.
    static bool shouldAutorotateToInterfaceOrientation(int64_t orientation) {
        return orientation == 3 || orientation == 4;
    }
    void endOfIntro();

private:
    void loadView();
    void viewDidLoad();

    IntroDelegate* delegate_ = nullptr;
    std::unique_ptr<kit::View> ownView_;
    kit::View* view_ = nullptr;
    std::weak_ptr<void> viewAlive_;
    kit::ImageView* glowView_ = nullptr;
    std::unique_ptr<kit::Timer> glowTimer_;
    std::unique_ptr<kit::Timer> endTimer_;
    std::shared_ptr<int> lifetime_ = std::make_shared<int>(0);
};

}  // namespace strombel::ui
