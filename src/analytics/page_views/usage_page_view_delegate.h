#pragma once

// Page views counted on the view kit's navigation and tab-bar controllers: a
// counting object becomes the controller's delegate, passes every message on to
// the delegate it replaced and counts a view each time a controller is shown or
// a tab selected. A target of its own beside the analytics core (which has no Qt).
// May include: analytics, ui/kit.

#include <memory>
#include <vector>

#include "platform/key_value_observing.h"
#include "ui/kit/view_controllers.h"

namespace strombel::analytics {

/// The counting object that follows later changes of the controller's delegate
/// and can be taken out again. It keeps the controller alive while it lives; the
/// delegate it replaced is not owned, and reads as none once that delegate goes.
class UsagePageViewDelegate final : public ui::kit::NavigationControllerDelegate, public ui::kit::TabBarControllerDelegate {
public:
    /// Interposes on a navigation or tab-bar controller; anything else is ignored.
    /// A controller that already has a counting object keeps the one it has.
    static void createDelegateOnTarget(const std::shared_ptr<ui::kit::ViewController>& controller);
    /// Gives the controller back the delegate the counting object holds and drops it.
    static void destroyDelegateOnTarget(const std::shared_ptr<ui::kit::ViewController>& controller);
    /// The counting objects alive (for tests).
    static size_t count();

    explicit UsagePageViewDelegate(std::shared_ptr<ui::kit::ViewController> target);
    /// The older kind: passes on to `previous`, follows nothing, keeps no controller.
    UsagePageViewDelegate(ui::kit::ControllerDelegate* previous, bool old);
    ~UsagePageViewDelegate() override;

    /// The delegate messages are passed on to; null once it has gone.
    ui::kit::ControllerDelegate* delegate() const;
    void setDelegate(ui::kit::ControllerDelegate* delegate);
    const std::shared_ptr<ui::kit::ViewController>& target() const { return target_; }

    void navigationControllerWillShowViewController(ui::kit::NavigationController& navigation,
                                                    ui::kit::ViewController& controller, bool animated) override;
    void navigationControllerDidShowViewController(ui::kit::NavigationController& navigation,
                                                   ui::kit::ViewController& controller, bool animated) override;
    bool tabBarControllerShouldSelectViewController(ui::kit::TabBarController& tabBar,
                                                    ui::kit::ViewController& controller) override;
    void tabBarControllerDidSelectViewController(ui::kit::TabBarController& tabBar,
                                                 ui::kit::ViewController& controller) override;
    void tabBarControllerWillBeginCustomizingViewControllers(ui::kit::TabBarController& tabBar,
                                                             const std::vector<ui::kit::ViewController*>& controllers) override;
    void tabBarControllerWillEndCustomizingViewControllers(ui::kit::TabBarController& tabBar,
                                                           const std::vector<ui::kit::ViewController*>& controllers,
                                                           bool changed) override;
    void tabBarControllerDidEndCustomizingViewControllers(ui::kit::TabBarController& tabBar,
                                                          const std::vector<ui::kit::ViewController*>& controllers,
                                                          bool changed) override;

private:
    void delegateChanged();
    ui::kit::ControllerDelegate* currentControllerDelegate() const;
    void setControllerDelegate(ui::kit::ControllerDelegate* delegate);

    bool old_ = false;
    ui::kit::ControllerDelegate* delegate_ = nullptr;
    std::weak_ptr<void> delegateLifetime_;
    std::shared_ptr<ui::kit::ViewController> target_;
    platform::KeyValueObservable::ObserverId observer_ = 0;

    friend class UsagePageViewDelegateOld;
};

/// The older counting object: interposed once for the rest of the process; an
/// application that later sets another delegate takes it out of the chain.
class UsagePageViewDelegateOld {
public:
    static void createDelegateOnTarget(const std::shared_ptr<ui::kit::ViewController>& controller);
    static size_t count();
};

}  // namespace strombel::analytics
