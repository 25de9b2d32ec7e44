#include "analytics/page_views/usage_page_view_delegate.h"

#include <algorithm>

#include "analytics/usage.h"
#include "analytics/usage_impl.h"
#include "analytics/usage_util.h"

namespace strombel::analytics {

namespace {

using ui::kit::ControllerDelegate;
using ui::kit::NavigationController;
using ui::kit::NavigationControllerDelegate;
using ui::kit::TabBarController;
using ui::kit::TabBarControllerDelegate;
using ui::kit::ViewController;

// The class-wide lists of counting objects; main thread only.
std::vector<std::unique_ptr<UsagePageViewDelegate>>& delegates() {
    static std::vector<std::unique_ptr<UsagePageViewDelegate>> list;
    return list;
}
std::vector<std::unique_ptr<UsagePageViewDelegate>>& oldDelegates() {
    static std::vector<std::unique_ptr<UsagePageViewDelegate>> list;
    return list;
}

bool isCountable(const std::shared_ptr<ViewController>& controller) {
    return std::dynamic_pointer_cast<NavigationController>(controller) || std::dynamic_pointer_cast<TabBarController>(controller);
}

ControllerDelegate* delegateOf(ViewController& controller) {
    if (auto* navigation = dynamic_cast<NavigationController*>(&controller)) return navigation->delegate();
    if (auto* tabBar = dynamic_cast<TabBarController*>(&controller)) return tabBar->delegate();
    return nullptr;
}

void setDelegateOf(ViewController& controller, ControllerDelegate* delegate) {
    if (auto* navigation = dynamic_cast<NavigationController*>(&controller)) {
        navigation->setDelegate(dynamic_cast<NavigationControllerDelegate*>(delegate));
    } else if (auto* tabBar = dynamic_cast<TabBarController*>(&controller)) {
        tabBar->setDelegate(dynamic_cast<TabBarControllerDelegate*>(delegate));
    }
}

std::string describePointer(const void* pointer) { return pointer ? fmt::format("{}", pointer) : "(null)"; }

void countPageView() { UsageImpl::instance()->maybeIncrementPageView(); }

}  // namespace

// ---- Creation ----

void UsagePageViewDelegate::createDelegateOnTarget(const std::shared_ptr<ViewController>& controller) {
    if (!controller || !isCountable(controller)) return;
    for (const auto& existing : delegates()) {
        if (existing->target_ == controller) return;  // one counting object per controller
    }
    delegates().push_back(std::make_unique<UsagePageViewDelegate>(controller));
}

void UsagePageViewDelegate::destroyDelegateOnTarget(const std::shared_ptr<ViewController>& controller) {
    if (!controller) return;
    auto& list = delegates();
    auto found = std::find_if(list.begin(), list.end(), [&](const auto& object) { return object->target_ == controller; });
    if (found == list.end()) return;
    UsageUtil::log(2, "UsagePageViewDelegate: delegate[{}] destroyed", describePointer((*found)->delegate()));
    std::unique_ptr<UsagePageViewDelegate> object = std::move(*found);
    list.erase(found);
    object->setControllerDelegate(object->delegate());
}

size_t UsagePageViewDelegate::count() { return delegates().size(); }

UsagePageViewDelegate::UsagePageViewDelegate(std::shared_ptr<ViewController> target) : target_(std::move(target)) {
    setDelegate(delegateOf(*target_));
    setControllerDelegate(this);
    observer_ = target_->addObserver("delegate", [this] { delegateChanged(); });
    UsageUtil::log(2, "UsagePageViewDelegate: delegate[{}] created", describePointer(delegate()));
}

UsagePageViewDelegate::UsagePageViewDelegate(ControllerDelegate* previous, bool old) : old_(old) {
    setDelegate(previous);
    UsageUtil::log(2, "UsagePageViewDelegateOld: delegate[{}] created", describePointer(previous));
}

UsagePageViewDelegate::~UsagePageViewDelegate() {
    if (!target_) return;
    target_->removeObserver(observer_);
    // The controller never keeps a delegate that is gone.
    if (currentControllerDelegate() == this) setDelegateOf(*target_, delegate());
}

ControllerDelegate* UsagePageViewDelegate::delegate() const { return delegateLifetime_.expired() ? nullptr : delegate_; }

void UsagePageViewDelegate::setDelegate(ControllerDelegate* delegate) {
    delegate_ = delegate;
    delegateLifetime_ = delegate ? delegate->lifetime() : std::weak_ptr<void>();
}

ControllerDelegate* UsagePageViewDelegate::currentControllerDelegate() const {
    return target_ ? delegateOf(*target_) : nullptr;
}

void UsagePageViewDelegate::setControllerDelegate(ControllerDelegate* delegate) {
    if (target_) setDelegateOf(*target_, delegate);
}

void UsagePageViewDelegate::delegateChanged() {
    ControllerDelegate* now = currentControllerDelegate();
    if (now == static_cast<ControllerDelegate*>(this) || now == delegate()) return;
    setDelegate(now);
    setControllerDelegate(this);
}

// ---- The messages ----

void UsagePageViewDelegate::navigationControllerWillShowViewController(NavigationController& navigation,
                                                                       ViewController& controller, bool animated) {
    UsageUtil::fenced([&] {
        UsageUtil::log(2, "{} navigation controller [{}], view controller [{}], animated [{}]",
                       old_ ? "UsagePageViewDelegateOld:" : "UsagePageViewDelegate:", navigation.title(),
                       controller.title(), animated ? 1 : 0);
        if (auto* next = dynamic_cast<NavigationControllerDelegate*>(delegate())) {
            next->navigationControllerWillShowViewController(navigation, controller, animated);
        }
    });
}

void UsagePageViewDelegate::navigationControllerDidShowViewController(NavigationController& navigation,
                                                                      ViewController& controller, bool animated) {
    // The delegate may stop the counting from its own did-show, which ends this
    // object: what the log line needs is taken first, and nothing of this
    // object is touched after the message is passed on.
    const char* prefix = old_ ? "UsagePageViewDelegateOld:" : "UsagePageViewDelegate:";
    try {
        if (auto* next = dynamic_cast<NavigationControllerDelegate*>(delegate())) {
            next->navigationControllerDidShowViewController(navigation, controller, animated);
        }
    } catch (...) {
        // A delegate that throws: reported, and the view is not counted.
        UsageUtil::handleException(std::current_exception());
        return;
    }
    UsageUtil::fenced([prefix, &navigation] {
        UsageUtil::log(2, "{} Navigation View [{}], incremented pageViewCount", prefix, navigation.title());
        countPageView();
    });
}

bool UsagePageViewDelegate::tabBarControllerShouldSelectViewController(TabBarController& tabBar, ViewController& controller) {
    bool answer = true;
    UsageUtil::fenced([&] {
        UsageUtil::log(2, "{} tabbar controller [{}] view controller [{}]",
                       old_ ? "UsagePageViewDelegateOld:" : "UsagePageViewDelegate:", tabBar.title(), controller.title());
        if (auto* next = dynamic_cast<TabBarControllerDelegate*>(delegate())) {
            answer = next->tabBarControllerShouldSelectViewController(tabBar, controller);
        }
    });
    return answer;
}

void UsagePageViewDelegate::tabBarControllerDidSelectViewController(TabBarController& tabBar, ViewController& controller) {
    UsageUtil::fenced([&] {
        UsageUtil::log(2, "{}  tabBarController [{}], viewController [{}], incremented pageViewCount",
                       old_ ? "UsagePageViewDelegateOld:" : "UsagePageViewDelegate:", tabBar.title(), controller.title());
        if (auto* next = dynamic_cast<TabBarControllerDelegate*>(delegate())) {
            next->tabBarControllerDidSelectViewController(tabBar, controller);
        }
        countPageView();
    });
}

void UsagePageViewDelegate::tabBarControllerWillBeginCustomizingViewControllers(TabBarController& tabBar,
                                                                                const std::vector<ViewController*>& controllers) {
    UsageUtil::fenced([&] {
        UsageUtil::log(2, "{} tabBarController [{}], viewController [{}]",
                       old_ ? "UsagePageViewDelegateOld:" : "UsagePageViewDelegate:", tabBar.title(), controllers.size());
        if (auto* next = dynamic_cast<TabBarControllerDelegate*>(delegate())) {
            next->tabBarControllerWillBeginCustomizingViewControllers(tabBar, controllers);
        }
    });
}

void UsagePageViewDelegate::tabBarControllerWillEndCustomizingViewControllers(TabBarController& tabBar,
                                                                              const std::vector<ViewController*>& controllers,
                                                                              bool changed) {
    UsageUtil::fenced([&] {
        UsageUtil::log(2, "{} tabBarController [{}], viewController [{}], changed [{}]",
                       old_ ? "UsagePageViewDelegateOld:" : "UsagePageViewDelegate:", tabBar.title(), controllers.size(),
                       changed ? 1 : 0);
        if (auto* next = dynamic_cast<TabBarControllerDelegate*>(delegate())) {
            next->tabBarControllerWillEndCustomizingViewControllers(tabBar, controllers, changed);
        }
    });
}

void UsagePageViewDelegate::tabBarControllerDidEndCustomizingViewControllers(TabBarController& tabBar,
                                                                             const std::vector<ViewController*>& controllers,
                                                                             bool changed) {
    UsageUtil::fenced([&] {
        UsageUtil::log(2, "{} tabBarController [{}], viewControllers [{}], changed [{}]",
                       old_ ? "UsagePageViewDelegateOld:" : "UsagePageViewDelegate:", tabBar.title(), controllers.size(),
                       changed ? 1 : 0);
        if (auto* next = dynamic_cast<TabBarControllerDelegate*>(delegate())) {
            next->tabBarControllerDidEndCustomizingViewControllers(tabBar, controllers, changed);
        }
    });
}

// ---- The older kind ----

void UsagePageViewDelegateOld::createDelegateOnTarget(const std::shared_ptr<ViewController>& controller) {
    if (!controller || !isCountable(controller)) return;
    auto object = std::make_unique<UsagePageViewDelegate>(delegateOf(*controller), true);
    setDelegateOf(*controller, object.get());
    oldDelegates().push_back(std::move(object));
}

size_t UsagePageViewDelegateOld::count() { return oldDelegates().size(); }

// ---- The facade's page-view operations ----

void Usage::logAllPageViews(const std::shared_ptr<ViewController>& controller) {
    if (!gate("+[Usage logAllPageViews:]")) return;
    UsageUtil::fenced([&] { UsagePageViewDelegateOld::createDelegateOnTarget(controller); });
}

void Usage::logAllPageViewsForTarget(const std::shared_ptr<ViewController>& controller) {
    if (!sendUsageInfo()) {
        UsageUtil::log(2, "Usage: logAllPageViews disabled.");
        return;
    }
    UsageUtil::fenced([&] { UsagePageViewDelegate::createDelegateOnTarget(controller); });
}

void Usage::stopLogPageViewsForTarget(const std::shared_ptr<ViewController>& controller) {
    UsagePageViewDelegate::destroyDelegateOnTarget(controller);
}

}  // namespace strombel::analytics
