#pragma once

#include <memory>
#include <string>
#include <vector>

#include "platform/key_value_observing.h"

namespace strombel::ui::kit {

/// A screen's controller: what navigation and tab-bar controllers show.
class ViewController : public platform::KeyValueObservable {
public:
    explicit ViewController(std::string title = {}) : title_(std::move(title)) {}
    ~ViewController() override = default;
    const std::string& title() const { return title_; }

private:
    std::string title_;
};

class NavigationController;
class TabBarController;

/// Delegates of the controllers carry a lifetime token, so that one holding a
/// delegate without owning it can tell when the delegate has gone.
class ControllerDelegate {
public:
    virtual ~ControllerDelegate() = default;
    std::weak_ptr<void> lifetime() const { return alive_; }

private:
    std::shared_ptr<int> alive_ = std::make_shared<int>(0);
};

/// Told as a navigation controller shows its top controller. Optional messages.
class NavigationControllerDelegate : public virtual ControllerDelegate {
public:
    virtual void navigationControllerWillShowViewController(NavigationController&, ViewController&, bool animated) {
        (void)animated;
    }
    virtual void navigationControllerDidShowViewController(NavigationController&, ViewController&, bool animated) {
        (void)animated;
    }
};

/// Told as a tab-bar controller selects and customises its tabs. Optional messages.
class TabBarControllerDelegate : public virtual ControllerDelegate {
public:
    /// True lets the selection happen.
    virtual bool tabBarControllerShouldSelectViewController(TabBarController&, ViewController&) { return true; }
    virtual void tabBarControllerDidSelectViewController(TabBarController&, ViewController&) {}
    virtual void tabBarControllerWillBeginCustomizingViewControllers(TabBarController&,
                                                                     const std::vector<ViewController*>&) {}
    virtual void tabBarControllerWillEndCustomizingViewControllers(TabBarController&, const std::vector<ViewController*>&,
                                                                   bool changed) {
        (void)changed;
    }
    virtual void tabBarControllerDidEndCustomizingViewControllers(TabBarController&, const std::vector<ViewController*>&,
                                                                  bool changed) {
        (void)changed;
    }
};

/// A stack of controllers, the top one shown. Its delegate is observable under
/// "delegate". Main thread only.
class NavigationController : public ViewController {
public:
    using ViewController::ViewController;
    NavigationControllerDelegate* delegate() const { return delegate_; }
    void setDelegate(NavigationControllerDelegate* delegate);
    /// Shows `controller` on top: will-show, then did-show.
    void pushViewController(std::shared_ptr<ViewController> controller, bool animated);
    /// Shows the one below the top; nothing with fewer than two.
    void popViewController(bool animated);
    const std::vector<std::shared_ptr<ViewController>>& viewControllers() const { return stack_; }

private:
    void show(ViewController& controller, bool animated);
    NavigationControllerDelegate* delegate_ = nullptr;
    std::vector<std::shared_ptr<ViewController>> stack_;
};

/// Tabs of controllers, one selected. Its delegate is observable under
/// "delegate". Main thread only.
class TabBarController : public ViewController {
public:
    using ViewController::ViewController;
    TabBarControllerDelegate* delegate() const { return delegate_; }
    void setDelegate(TabBarControllerDelegate* delegate);
    void setViewControllers(std::vector<std::shared_ptr<ViewController>> controllers);
    const std::vector<std::shared_ptr<ViewController>>& viewControllers() const { return tabs_; }
    /// The user taps a tab: asked first, then selected and told. False when refused.
    bool selectViewControllerAtIndex(size_t index);
    ViewController* selectedViewController() const { return selected_; }
    /// The user edits the tabs: begin, then end (will and did) with whether they changed.
    void beginCustomizing();
    void endCustomizing(bool changed);

private:
    std::vector<ViewController*> rawControllers() const;
    TabBarControllerDelegate* delegate_ = nullptr;
    std::vector<std::shared_ptr<ViewController>> tabs_;
    ViewController* selected_ = nullptr;
};

}  // namespace strombel::ui::kit
