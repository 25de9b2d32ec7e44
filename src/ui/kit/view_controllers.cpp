#include "ui/kit/view_controllers.h"

namespace strombel::ui::kit {

void NavigationController::setDelegate(NavigationControllerDelegate* delegate) {
    delegate_ = delegate;
    didChangeValueForKey("delegate");
}

void NavigationController::pushViewController(std::shared_ptr<ViewController> controller, bool animated) {
    if (!controller) return;
    stack_.push_back(std::move(controller));
    show(*stack_.back(), animated);
}

void NavigationController::popViewController(bool animated) {
    if (stack_.size() < 2) return;
    stack_.pop_back();
    show(*stack_.back(), animated);
}

void NavigationController::show(ViewController& controller, bool animated) {
    // The controller stays alive while its messages go out, whatever a delegate does.
    std::shared_ptr<ViewController> shown = stack_.back();
    if (NavigationControllerDelegate* delegate = delegate_) {
        delegate->navigationControllerWillShowViewController(*this, controller, animated);
    }
    if (NavigationControllerDelegate* delegate = delegate_) {
        delegate->navigationControllerDidShowViewController(*this, controller, animated);
    }
}

void TabBarController::setDelegate(TabBarControllerDelegate* delegate) {
    delegate_ = delegate;
    didChangeValueForKey("delegate");
}

void TabBarController::setViewControllers(std::vector<std::shared_ptr<ViewController>> controllers) {
    tabs_ = std::move(controllers);
    selected_ = tabs_.empty() ? nullptr : tabs_.front().get();
}

bool TabBarController::selectViewControllerAtIndex(size_t index) {
    if (index >= tabs_.size()) return false;
    std::shared_ptr<ViewController> controller = tabs_[index];
    if (delegate_ && !delegate_->tabBarControllerShouldSelectViewController(*this, *controller)) return false;
    selected_ = controller.get();
    if (delegate_) delegate_->tabBarControllerDidSelectViewController(*this, *controller);
    return true;
}

std::vector<ViewController*> TabBarController::rawControllers() const {
    std::vector<ViewController*> controllers;
    for (const auto& tab : tabs_) controllers.push_back(tab.get());
    return controllers;
}

void TabBarController::beginCustomizing() {
    if (delegate_) delegate_->tabBarControllerWillBeginCustomizingViewControllers(*this, rawControllers());
}

void TabBarController::endCustomizing(bool changed) {
    std::vector<ViewController*> controllers = rawControllers();
    if (delegate_) delegate_->tabBarControllerWillEndCustomizingViewControllers(*this, controllers, changed);
    if (delegate_) delegate_->tabBarControllerDidEndCustomizingViewControllers(*this, controllers, changed);
}

}  // namespace strombel::ui::kit
