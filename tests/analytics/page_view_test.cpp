// Page views counted on the kit's navigation and tab-bar controllers: the
// counting object between a controller and its delegate, both kinds of it, and
// the facade's operations that put it there.

#include <functional>
#include <stdexcept>

#include "analytics/page_views/usage_page_view_delegate.h"
#include "analytics_test_support.h"

namespace strombel::analytics::testing {
namespace {

using ui::kit::NavigationController;
using ui::kit::TabBarController;
using ui::kit::ViewController;

// An application's delegate of both controllers: notes every message it hears.
class RecordingDelegate : public ui::kit::NavigationControllerDelegate, public ui::kit::TabBarControllerDelegate {
public:
    std::vector<std::string> heard;
    bool allowsSelection = true;
    bool throwsOnDidShow = false;
    bool throwsOnDidSelect = false;
    std::function<void()> onDidShow;

    void navigationControllerWillShowViewController(NavigationController&, ViewController& shown, bool) override {
        heard.push_back("will show " + shown.title());
    }
    void navigationControllerDidShowViewController(NavigationController&, ViewController& shown, bool) override {
        heard.push_back("did show " + shown.title());
        if (onDidShow) onDidShow();
        if (throwsOnDidShow) throw std::runtime_error("the delegate broke");
    }
    bool tabBarControllerShouldSelectViewController(TabBarController&, ViewController& tab) override {
        heard.push_back("should select " + tab.title());
        return allowsSelection;
    }
    void tabBarControllerDidSelectViewController(TabBarController&, ViewController& tab) override {
        heard.push_back("did select " + tab.title());
        if (throwsOnDidSelect) throw std::runtime_error("the delegate broke");
    }
    void tabBarControllerWillBeginCustomizingViewControllers(TabBarController&,
                                                             const std::vector<ViewController*>& tabs) override {
        heard.push_back("will begin " + std::to_string(tabs.size()));
    }
    void tabBarControllerWillEndCustomizingViewControllers(TabBarController&, const std::vector<ViewController*>&,
                                                           bool changed) override {
        heard.push_back(std::string("will end ") + (changed ? "changed" : "unchanged"));
    }
    void tabBarControllerDidEndCustomizingViewControllers(TabBarController&, const std::vector<ViewController*>&,
                                                          bool changed) override {
        heard.push_back(std::string("did end ") + (changed ? "changed" : "unchanged"));
    }
};

class PageViewTest : public AnalyticsTest {
protected:
    PageViewTest() {
        Usage::setServerURL("http://127.0.0.1:9/aas.do");  // nothing listens; nothing here is sent
        Usage::startSession("key");
        settle();
    }
    ~PageViewTest() override {
        // The counting objects are class-wide: each test takes its own out again.
        for (const auto& controller : interposed_) Usage::stopLogPageViewsForTarget(controller);
    }

    std::shared_ptr<NavigationController> navigation(RecordingDelegate* delegate) {
        auto controller = std::make_shared<NavigationController>("navigation");
        controller->setDelegate(delegate);
        interposed_.push_back(controller);
        return controller;
    }
    std::shared_ptr<TabBarController> tabBar(RecordingDelegate* delegate) {
        auto controller = std::make_shared<TabBarController>("tabs");
        controller->setViewControllers({std::make_shared<ViewController>("first"),
                                        std::make_shared<ViewController>("second"),
                                        std::make_shared<ViewController>("third")});
        controller->setDelegate(delegate);
        interposed_.push_back(controller);
        return controller;
    }
    static std::shared_ptr<ViewController> screen(const std::string& title) {
        return std::make_shared<ViewController>(title);
    }

    int32_t pageViews() { return UsageSession::currentSession()->pageViewCount(); }
    // Counting happens on the analytics queue, at the time it runs there.
    void secondLater() {
        settle();
        clock.advance(platform::kNanosPerSecond);
    }

private:
    std::vector<std::shared_ptr<ViewController>> interposed_;
};

TEST_F(PageViewTest, ControllersOfOtherKindsAreLeftAlone) {
    size_t before = UsagePageViewDelegate::count();
    size_t beforeOld = UsagePageViewDelegateOld::count();
    auto plain = screen("plain");
    Usage::logAllPageViewsForTarget(plain);
    Usage::logAllPageViews(plain);
    Usage::logAllPageViewsForTarget(nullptr);
    EXPECT_EQ(UsagePageViewDelegate::count(), before);
    EXPECT_EQ(UsagePageViewDelegateOld::count(), beforeOld);
}

TEST_F(PageViewTest, ShownControllersCountWhenMoreThanAThirdOfASecondApart) {
    RecordingDelegate application;
    auto controller = navigation(&application);
    Usage::logAllPageViewsForTarget(controller);
    EXPECT_NE(controller->delegate(), &application) << "the counting object stands between";

    controller->pushViewController(screen("bank"), true);
    secondLater();
    controller->pushViewController(screen("mixer"), false);
    settle();
    clock.advance(200 * platform::kNanosPerMillisecond);
    controller->popViewController(true);  // 0.2 s after the last: not counted
    EXPECT_EQ(pageViews(), 2);
    EXPECT_EQ(application.heard, (std::vector<std::string>{"will show bank", "did show bank", "will show mixer",
                                                           "did show mixer", "will show bank", "did show bank"}));
    EXPECT_TRUE(logged("UsagePageViewDelegate: Navigation View [navigation], incremented pageViewCount"));
    EXPECT_TRUE(logged("UsagePageViewDelegate: navigation controller [navigation], view controller [mixer], animated [0]"));

    Usage::logAllPageViewsForTarget(controller);  // a second request keeps the one there is
    secondLater();
    controller->pushViewController(screen("pads"), true);
    EXPECT_EQ(pageViews(), 3);
}

TEST_F(PageViewTest, ADelegateSetLaterIsFollowedAndStoppingGivesItBack) {
    RecordingDelegate first;
    RecordingDelegate second;
    auto controller = navigation(&first);
    Usage::logAllPageViewsForTarget(controller);
    ui::kit::NavigationControllerDelegate* counting = controller->delegate();

    controller->setDelegate(&second);
    EXPECT_EQ(controller->delegate(), counting) << "the counting object puts itself back";
    controller->pushViewController(screen("bank"), true);
    EXPECT_EQ(pageViews(), 1);
    EXPECT_TRUE(first.heard.empty());
    EXPECT_EQ(second.heard, (std::vector<std::string>{"will show bank", "did show bank"}));

    Usage::stopLogPageViewsForTarget(controller);
    EXPECT_EQ(controller->delegate(), &second) << "the last delegate the application set";
    secondLater();
    controller->pushViewController(screen("mixer"), true);
    EXPECT_EQ(pageViews(), 1) << "no longer counted";
    EXPECT_EQ(second.heard.size(), 4u);
}

TEST_F(PageViewTest, ADelegateMayStopTheCountingFromItsOwnDidShow) {
    // The counting object ends inside the message it passed on; nothing of it
    // may be read after that (the sanitizer build checks every read).
    RecordingDelegate application;
    auto controller = navigation(&application);
    Usage::logAllPageViewsForTarget(controller);
    size_t counting = UsagePageViewDelegate::count();
    application.onDidShow = [&] { Usage::stopLogPageViewsForTarget(controller); };
    controller->pushViewController(screen("bank"), true);
    EXPECT_EQ(pageViews(), 1);
    EXPECT_TRUE(logged("UsagePageViewDelegate: Navigation View [navigation], incremented pageViewCount"));
    EXPECT_EQ(UsagePageViewDelegate::count(), counting - 1);
    EXPECT_EQ(controller->delegate(), &application);
    application.onDidShow = nullptr;
    secondLater();
    controller->pushViewController(screen("mixer"), true);
    EXPECT_EQ(pageViews(), 1);
}

TEST_F(PageViewTest, ADelegateThatGoesIsNeverCalledAndNeverHandedBack) {
    auto gone = std::make_unique<RecordingDelegate>();
    auto controller = navigation(gone.get());
    Usage::logAllPageViewsForTarget(controller);
    gone.reset();
    controller->pushViewController(screen("bank"), true);  // would call into the delegate that went
    EXPECT_EQ(pageViews(), 1);
    Usage::stopLogPageViewsForTarget(controller);
    EXPECT_EQ(controller->delegate(), nullptr) << "not the address of the delegate that went";
}

TEST_F(PageViewTest, TabsAreAskedPassedOnAndCountedAndARefusalStopsTheSelection) {
    RecordingDelegate application;
    auto controller = tabBar(&application);
    Usage::logAllPageViewsForTarget(controller);

    EXPECT_TRUE(controller->selectViewControllerAtIndex(1));
    EXPECT_EQ(controller->selectedViewController()->title(), "second");
    EXPECT_EQ(pageViews(), 1);
    EXPECT_TRUE(logged("UsagePageViewDelegate: tabbar controller [tabs] view controller [second]"));
    EXPECT_TRUE(logged("UsagePageViewDelegate:  tabBarController [tabs], viewController [second], incremented pageViewCount"));

    application.allowsSelection = false;
    secondLater();
    EXPECT_FALSE(controller->selectViewControllerAtIndex(2));
    EXPECT_EQ(controller->selectedViewController()->title(), "second");
    EXPECT_EQ(pageViews(), 1);

    controller->beginCustomizing();
    controller->endCustomizing(true);
    EXPECT_EQ(application.heard, (std::vector<std::string>{"should select second", "did select second", "should select third",
                                                           "will begin 3", "will end changed", "did end changed"}));
    EXPECT_TRUE(logged("UsagePageViewDelegate: tabBarController [tabs], viewControllers [3], changed [1]"));
}

TEST_F(PageViewTest, ADelegateThatThrowsStopsTheCountAndIsReported) {
    Usage::setShowErrorInLogEnabled(true);
    RecordingDelegate application;
    application.throwsOnDidShow = true;
    application.throwsOnDidSelect = true;
    auto navigationController = navigation(&application);
    auto tabs = tabBar(&application);
    Usage::logAllPageViewsForTarget(navigationController);
    Usage::logAllPageViewsForTarget(tabs);
    navigationController->pushViewController(screen("bank"), true);
    secondLater();
    tabs->selectViewControllerAtIndex(2);
    EXPECT_EQ(pageViews(), 0);
    auto all = lines();
    EXPECT_EQ(std::count(all.begin(), all.end(), "Usage: Name:std::exception Reason:the delegate broke"), 2);
    Usage::setShowErrorInLogEnabled(false);
}

TEST_F(PageViewTest, TheOlderKindCountsUntilTheApplicationSetsAnotherDelegate) {
    RecordingDelegate first;
    RecordingDelegate later;
    auto controller = navigation(&first);
    size_t before = UsagePageViewDelegateOld::count();
    Usage::logAllPageViews(controller);
    EXPECT_EQ(UsagePageViewDelegateOld::count(), before + 1);
    controller->pushViewController(screen("bank"), true);
    EXPECT_EQ(pageViews(), 1);
    EXPECT_TRUE(logged("UsagePageViewDelegateOld: Navigation View [navigation], incremented pageViewCount"));
    EXPECT_EQ(first.heard, (std::vector<std::string>{"will show bank", "did show bank"}));

    controller->setDelegate(&later);  // takes the counting object out of the chain
    secondLater();
    controller->pushViewController(screen("mixer"), true);
    EXPECT_EQ(pageViews(), 1);
    EXPECT_EQ(later.heard, (std::vector<std::string>{"will show mixer", "did show mixer"}));
}

TEST_F(PageViewTest, AClosedGateInterposesNothingButStoppingStillWorks) {
    RecordingDelegate application;
    auto controller = navigation(&application);
    Usage::logAllPageViewsForTarget(controller);
    Usage::setSendUsageInfoEnabled(false);
    auto other = navigation(&application);
    clearLines();
    Usage::logAllPageViewsForTarget(other);
    Usage::logAllPageViews(other);
    EXPECT_EQ(lines(), (std::vector<std::string>{"Usage: logAllPageViews disabled.",
                                                 "Usage: +[Usage logAllPageViews:] disabled."}));
    EXPECT_EQ(other->delegate(), &application);
    Usage::stopLogPageViewsForTarget(controller);
    EXPECT_EQ(controller->delegate(), &application);
    Usage::setSendUsageInfoEnabled(true);
}

}  // namespace
}  // namespace strombel::analytics::testing
