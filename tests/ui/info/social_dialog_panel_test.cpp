#include "ui/info/social_dialog_panel.h"
#include "ui/kit/device_orientation.h"

#include <gtest/gtest.h>
#include <httplib.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QCoreApplication>
#include <chrono>
#include <memory>
#include <numbers>
#include <string>
#include <vector>

#include "info/social_client.h"
#include "platform/sandbox.h"
#include "social_network_server.h"
#include "ui/info/strombel_information_view_controller.h"
#include "ui/info/web_view_module.h"
#include "ui/kit/label.h"
#include "ui/kit/control.h"
#include "ui/kit/presenters.h"
#include "ui/kit/window.h"
#include "ui/ui_test_support.h"

namespace strombel::info {
namespace {

namespace kit = ui::kit;

/// The information screen, writing down how its dialogs ended.
class RecordingScreen : public StrombelInformationViewController {
public:
    std::vector<std::string> events;
    void dialogDidComplete(SocialDialog&) override { events.push_back("complete"); }
    void dialogCompleteWithUrl(const std::string& url) override { events.push_back("complete " + url); }
    void dialogDidNotCompleteWithUrl(const std::string& url) override { events.push_back("not complete " + url); }
    void dialogDidNotComplete(SocialDialog&) override { events.push_back("not complete"); }
    void dialogDidFailWithError(SocialDialog&, const platform::Error& error) override {
        events.push_back("fail " + std::to_string(error.code));
    }
};

/// The desktop's opener: web addresses open (in the test's imagination); the
/// social network's own application is not there.
struct DesktopOpener : SocialUrlOpener {
    std::vector<std::string> opened;
    bool openURL(const std::string& url) override {
        opened.push_back(url);
        return url.rfind("http", 0) == 0;
    }
};

class SocialDialogPanelTest : public strombel::testing::UiTest {
protected:
    SocialDialogPanelTest() {
        window.resize(1024, 768);
        window.setRootView(std::make_unique<kit::View>(QRectF(0, 0, 1024, 768)));
        window.show();
        client.setHosts(network.hosts());
        client.setUrlOpener(&opener);
        client.setDialogViewFactory([this](SocialDialog& dialog) { return SocialDialogPanel::make(dialog, window, platform::NotificationCenter::shared()); });
        StrombelInformationViewController::setServices({[this] { return &client; }, [] {}, [] { return false; }});
        auto screenOwner = std::make_unique<RecordingScreen>();
        screen = screenOwner.get();
        StrombelInformationViewController::present(std::move(screenOwner), window, {});
        advance(1);
    }
    ~SocialDialogPanelTest() override {
        StrombelInformationViewController::setServices({});
        client.setDialogViewFactory({});
    }

    /// Runs Qt's events and the kit's loop until `done`; false after the guard.
    bool waitFor(const std::function<bool()>& done, int seconds = 30) {
        const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
        while (!done()) {
            if (std::chrono::steady_clock::now() > limit) return false;
            QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
            pump();
        }
        return true;
    }
    SocialDialogPanel* panel() const {
        for (kit::View* child : window.rootView()->subviews())
            if (auto* found = dynamic_cast<SocialDialogPanel*>(child)) return found;
        return nullptr;
    }
    /// The panel on what the window shows.
    SocialDialogPanel* shownPanel() const {
        for (kit::View* child : window.shownView()->subviews())
            if (auto* found = dynamic_cast<SocialDialogPanel*>(child)) return found;
        return nullptr;
    }
    bool pageLoaded() const { return panel() && !panel()->spinner()->isAnimating(); }
    void runScript(const QString& script) { web::moduleIfOpen()->runScript(panel()->webView(), script.toStdString()); }
    /// Opens the feed dialog with a session and waits for its page.
    void openFeed() {
        client.socialDialogLogin("tok", std::chrono::system_clock::now() + std::chrono::hours(1));
        screen->socialBtnPressed();
        ASSERT_NE(panel(), nullptr);
        ASSERT_TRUE(waitFor([&] { return pageLoaded(); })) << "the feed page never loaded";
    }
    void finishAnimations() {
        advance(1);
        pump();
    }

    test_support::LoopbackSocialNetwork network;
    kit::Window window;
    DesktopOpener opener;
    SocialClient client{"123456789012345", nullptr};
    RecordingScreen* screen = nullptr;
};

// The social network on loopback: its page may hold what reaches another host
// (an image of the real network's, say). Nothing reaches one: the page talks
// to the hosts the social network's settings name, and no other.
TEST_F(SocialDialogPanelTest, ThePageReachesNoHostButTheOnesTheSettingsName) {
    test_support::LoopbackSocialNetwork elsewhere("127.0.0.2");
    network.feedPageExtra = "<img id=\"away-image\" src=\"" + elsewhere.url("/dialog/feed?image") + "\">" +
                            "<img id=\"own-image\" src=\"" + network.url("/dialog/feed?image") + "\">";
    openFeed();
    EXPECT_EQ(network.count("/dialog/feed"), 2u) << "the page and its own image";
    EXPECT_EQ(elsewhere.count("/dialog/feed"), 0u) << "the page reached another host";
}

TEST_F(SocialDialogPanelTest, FeedDialogLoadsThePageAndItsSubmitCompletes) {
    openFeed();
    const auto seen = network.requests().back();
    EXPECT_EQ(seen.path, "/dialog/feed");
    for (const char* pair : {"app_id=123456789012345", "access_token=tok", "display=touch", "sdk=2",
                             "redirect_uri=socialconnect%3A%2F%2Fsuccess", "name=Strombel", "message=",
                             "caption=A%20new%20dimension%20in%20live%20sets"}) {
        EXPECT_NE(seen.query.find(pair), std::string::npos) << pair;
    }
    // The panel covers 60 % of the tablet's application frame, turned to landscape.
    EXPECT_EQ(panel()->size(), QSizeF(614, 448));
    EXPECT_EQ(panel()->center(), QPointF(512, 394));
    EXPECT_DOUBLE_EQ(panel()->orientationRotation(), std::numbers::pi / 2);
    // The page begins below the close button (not at 11, 11 under it), and ends
    // where it would.
    EXPECT_EQ(panel()->webViewFrame(), QRectF(11, 33, 614 - 22, 448 - 43));
    EXPECT_EQ(panel()->closeButton()->frame(), QRectF(2, 2, 29, 29));
    finishAnimations();
    EXPECT_DOUBLE_EQ(panel()->scale(), 1.0);
    EXPECT_TRUE(panel()->webView()->isVisible());

    runScript("document.getElementById('post').submit();");
    ASSERT_TRUE(waitFor([&] { return screen->events.size() == 2; }));
    EXPECT_EQ(screen->events, (std::vector<std::string>{"complete socialconnect://success?post_id=1234_5678&message=",
                                                       "complete"}));
    finishAnimations();
    EXPECT_EQ(panel(), nullptr);  // faded out and gone, with its background
    EXPECT_EQ(window.rootView()->subviews().size(), 1u);  // the information screen alone
}

TEST_F(SocialDialogPanelTest, CancelLinksAndTheCloseButtonEndTheDialog) {
    openFeed();
    runScript("document.getElementById('cancel').click();");
    ASSERT_TRUE(waitFor([&] { return screen->events.size() == 2; }));
    EXPECT_EQ(screen->events,
              (std::vector<std::string>{"not complete socialconnect://cancel", "not complete"}));

    screen->events.clear();
    finishAnimations();
    openFeed();
    runScript("location.href = 'socialconnect://cancel?error_code=190&error_msg=gone';");
    ASSERT_TRUE(waitFor([&] { return !screen->events.empty(); }));
    EXPECT_EQ(screen->events, std::vector<std::string>{"fail 190"});

    screen->events.clear();
    finishAnimations();
    openFeed();
    panel()->closeButton()->sendActions(kit::touchUpInside);
    EXPECT_EQ(screen->events, (std::vector<std::string>{"not complete ", "not complete"}));
}

/// A loopback port nobody listens at: connections to it are refused.
int refusingPort() {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    int port = 0;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
        port = ntohs(address.sin_port);
    }
    ::close(fd);
    return port;
}

TEST_F(SocialDialogPanelTest, APageThatCannotLoadIsToldAndTheDialogWaitsToBeClosed) {
    SocialHosts unreachable = network.hosts();
    const int port = refusingPort();
    ASSERT_GT(port, 0);
    unreachable.dialogBaseURL = "http://127.0.0.1:" + std::to_string(port) + "/dialog/";
    client.setHosts(unreachable);
    client.socialDialogLogin("tok", std::chrono::system_clock::now() + std::chrono::hours(1));
    screen->socialBtnPressed();
    ASSERT_NE(panel(), nullptr);
    ASSERT_TRUE(waitFor([&] { return panel()->failureLabel() != nullptr; })) << "the failure was never told";
    finishAnimations();
    const QString told = panel()->failureLabel()->text();
    EXPECT_TRUE(told.contains("could not be loaded")) << told.toStdString();
    EXPECT_TRUE(told.contains("refused the connection")) << told.toStdString();
    EXPECT_FALSE(panel()->webView()->isVisible()) << "the message stands where the page would";
    EXPECT_TRUE(panel()->failureLabel()->isVisible());
    EXPECT_TRUE(screen->events.empty()) << "the dialog stays until the user has read it";

    panel()->failureCloseButton()->sendActions(kit::touchUpInside);
    EXPECT_EQ(screen->events, std::vector<std::string>{"fail -102"});
    finishAnimations();
    EXPECT_EQ(panel(), nullptr);
}

// A server that takes the connection and answers only when the test says: the
// page lies over the panel in a window of its own, so until it has loaded the
// spinner is what the user sees, not an empty white page.
TEST_F(SocialDialogPanelTest, WhileThePageLoadsTheSpinnerTurnsInSightAndThePageComesOnceLoaded) {
    const int server = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    ASSERT_EQ(::bind(server, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(::listen(server, 4), 0);
    ASSERT_EQ(::getsockname(server, reinterpret_cast<sockaddr*>(&address), &length), 0);
    SocialHosts slow = network.hosts();
    slow.dialogBaseURL = "http://127.0.0.1:" + std::to_string(ntohs(address.sin_port)) + "/dialog/";
    client.setHosts(slow);
    client.socialDialogLogin("tok", std::chrono::system_clock::now() + std::chrono::hours(1));
    screen->socialBtnPressed();
    ASSERT_NE(panel(), nullptr);

    int connection = -1;
    std::string request;
    ASSERT_TRUE(waitFor([&] {
        if (connection < 0) connection = ::accept4(server, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
        char bytes[4096];
        if (connection >= 0)
            for (ssize_t got; (got = ::read(connection, bytes, sizeof bytes)) > 0;) request.append(bytes, size_t(got));
        return request.find("\r\n\r\n") != std::string::npos;
    })) << "the page was never asked for";
    EXPECT_EQ(request.rfind("GET /dialog/feed?", 0), 0u) << request;
    finishAnimations();
    EXPECT_TRUE(panel()->spinner()->isAnimating());
    EXPECT_FALSE(panel()->spinner()->isHidden());
    EXPECT_FALSE(panel()->webView()->isVisible()) << "an empty page covers the turning spinner";

    const std::string page = "<html><body><p>Post</p></body></html>";
    const std::string answer = "HTTP/1.1 200 OK\r\nContent-Type: text/html\r\nConnection: close\r\nContent-Length: " +
                               std::to_string(page.size()) + "\r\n\r\n" + page;
    ASSERT_EQ(::write(connection, answer.data(), answer.size()), ssize_t(answer.size()));
    ::close(connection);
    ASSERT_TRUE(waitFor([&] { return pageLoaded(); })) << "the page never loaded";
    finishAnimations();
    EXPECT_TRUE(panel()->webView()->isVisible()) << "the loaded page is shown";
    EXPECT_TRUE(screen->events.empty());
    ::close(server);
}

TEST_F(SocialDialogPanelTest, InEveryLayoutThePageAndItsFailureAreWholeAndEveryButtonOnTheScreen) {
    const int port = refusingPort();
    ASSERT_GT(port, 0);
    kit::Screen upright = kit::Screen::phone();
    upright.statusBarOrientation = 1;
    const struct {
        const char* name;
        kit::Screen screen;
        QSizeF shown;
        bool overLandscape;  // the upright screen shown over the landscape root
    } layouts[] = {{"tablet", kit::Screen::tablet(), {1024, 768}, false},
                   {"phone", kit::Screen::phone(), {480, 320}, false},
                   {"upright phone", upright, {320, 480}, false},
                   {"upright over landscape", upright, {320, 480}, true}};
    for (const auto& layout : layouts) {
        SCOPED_TRACE(layout.name);
        context.setScreen(layout.screen);
        window.setRootView(std::make_unique<kit::View>(
            QRectF(QPointF(0, 0), layout.overLandscape ? layout.shown.transposed() : layout.shown)));
        if (layout.overLandscape)
            window.setOwnShapeScreen(window.rootView()->add(std::make_unique<kit::View>(QRectF(QPointF(0, 0), layout.shown))));
        SocialDialog dialog("http://127.0.0.1:" + std::to_string(port) + "/dialog/feed", {}, nullptr);
        dialog.setViewFactory([this](SocialDialog& shown) { return SocialDialogPanel::make(shown, window, platform::NotificationCenter::shared()); });
        dialog.show();
        ASSERT_NE(shownPanel(), nullptr);
        ASSERT_TRUE(waitFor([&] { return shownPanel()->failureLabel() != nullptr; }));
        finishAnimations();
        SocialDialogPanel* panel = shownPanel();
        const QRectF shown(QPointF(0, 0), layout.shown);
        const QRectF page = panel->mapRectToScene(panel->webViewFrame());
        EXPECT_TRUE(shown.contains(panel->mapRectToScene(panel->bounds())));
        // The close button lies beside the page, not on its heading.
        const QRectF close = panel->closeButton()->mapRectToScene(panel->closeButton()->bounds());
        EXPECT_TRUE(shown.contains(close));
        EXPECT_FALSE(close.intersects(page));
        // Every word of the message in lines that fit across the page, and CLOSE
        // below them on the page.
        kit::Label* told = panel->failureLabel();
        EXPECT_EQ(told->wrappedLines().join(' ').toStdString(), QString(told->text()).replace('\n', ' ').toStdString());
        const QRectF text = told->mapRectToScene(told->bounds());
        const QRectF button = panel->failureCloseButton()->mapRectToScene(panel->failureCloseButton()->bounds());
        EXPECT_TRUE(page.contains(text)) << text.x() << "," << text.y() << " " << text.width() << "x" << text.height();
        EXPECT_TRUE(page.contains(button));
        EXPECT_GE(button.top(), text.bottom());
        // A touch on CLOSE reaches it and ends the dialog.
        window.touches().begin(1, button.center());
        window.touches().end(1, button.center());
        finishAnimations();
        ASSERT_EQ(shownPanel(), nullptr);
    }
}

TEST_F(SocialDialogPanelTest, AFollowedLinkOpensInTheBrowser) {
    openFeed();
    runScript("document.getElementById('away').click();");
    ASSERT_TRUE(waitFor([&] { return !opener.opened.empty(); }));
    EXPECT_EQ(opener.opened, std::vector<std::string>{"http://127.0.0.1:1/elsewhere"});
    EXPECT_TRUE(screen->events.empty());
    EXPECT_NE(panel(), nullptr);  // the dialog stays
}

TEST_F(SocialDialogPanelTest, ServiceDisabledLogsInInTheAppAndTheFeedFollows) {
    // The browser said the service is off for it: the login page loads in the
    // panel, and the login server's redirect hands over the token.
    client.authorize({});
    client.setSessionDelegate(screen);
    ASSERT_TRUE(client.pendingLoginState());
    ASSERT_TRUE(client.handleOpenURL("sn123456789012345://authorize#error=service_disabled&state=" +
                                     *client.pendingLoginState()));
    ASSERT_NE(client.loginDialog(), nullptr);
    ASSERT_TRUE(waitFor([&] { return client.isSessionValid(); }));
    EXPECT_EQ(client.accessToken(), "T0KEN/x");
    // socialDidLogin: the feed dialog opens at once.
    ASSERT_NE(client.socialDialog(), nullptr);
    EXPECT_EQ(client.socialDialog()->serverURL(), network.url("/dialog/feed"));
    EXPECT_EQ(network.count("/dialog/oauth"), 1u);
}

TEST_F(SocialDialogPanelTest, ThePhonePanelCoversTheWholeFrame) {
    context.setScreen(kit::Screen::phone());
    window.setRootView(std::make_unique<kit::View>(QRectF(0, 0, 480, 320)));
    SocialDialog dialog("about:blank", {}, nullptr);
    dialog.setViewFactory([this](SocialDialog& shown) { return SocialDialogPanel::make(shown, window, platform::NotificationCenter::shared()); });
    dialog.show();
    ASSERT_NE(panel(), nullptr);
    EXPECT_EQ(panel()->size(), QSizeF(480, 300));
    EXPECT_EQ(panel()->center(), QPointF(240, 170));
    EXPECT_DOUBLE_EQ(SocialDialogPanel::transformForOrientation(4), 4.71238898038469);
    EXPECT_DOUBLE_EQ(SocialDialogPanel::transformForOrientation(2), -std::numbers::pi);
    EXPECT_DOUBLE_EQ(SocialDialogPanel::transformForOrientation(1), 0);
    // The keyboard grows the web view on a phone in landscape.
    const QRectF before = panel()->webViewFrame();
    panel()->keyboardWillShow();
    EXPECT_EQ(panel()->webViewFrame(), before.adjusted(-10, -10, 10, 10));
    panel()->keyboardWillHide();
    EXPECT_EQ(panel()->webViewFrame(), before);
    dialog.postDismissCleanup();
    EXPECT_EQ(panel(), nullptr);
}

TEST_F(SocialDialogPanelTest, WhileItShowsThePanelFollowsTheKeyboardAndTheOrientation) {
    platform::NotificationCenter notifications;
    kit::Screen screen = kit::Screen::phone();
    context.setScreen(screen);
    window.setRootView(std::make_unique<kit::View>(QRectF(0, 0, 480, 320)));
    SocialDialog dialog("about:blank", {}, nullptr);
    dialog.setViewFactory([&](SocialDialog& shown) { return SocialDialogPanel::make(shown, window, notifications); });
    dialog.show();
    ASSERT_NE(panel(), nullptr);
    const QRectF before = panel()->webViewFrame();
    notifications.post(SocialDialogPanel::kKeyboardWillShowNotification);
    EXPECT_TRUE(panel()->showingKeyboard());
    EXPECT_EQ(panel()->webViewFrame(), before.adjusted(-10, -10, 10, 10));
    notifications.post(SocialDialogPanel::kKeyboardWillHideNotification);
    EXPECT_EQ(panel()->webViewFrame(), before);

    screen.statusBarOrientation = 4;
    context.setScreen(screen);
    notifications.post(kit::DeviceOrientation::kDidChangeNotification);
    EXPECT_EQ(panel()->orientation(), 4);
    EXPECT_DOUBLE_EQ(panel()->orientationRotation(), 4.71238898038469);

    dialog.postDismissCleanup();
    EXPECT_EQ(panel(), nullptr);
    // The panel has gone: its observers went with it.
    notifications.post(kit::DeviceOrientation::kDidChangeNotification);
    notifications.post(SocialDialogPanel::kKeyboardWillShowNotification);
}

TEST_F(SocialDialogPanelTest, ADesktopWithoutABrowserLogsInInTheAppAndTheFeedFollows) {
    // No xdg-open: neither the social application nor the browser opens.
    struct NothingOpens : SocialUrlOpener {
        bool openURL(const std::string&) override { return false; }
    } nothing;
    client.setUrlOpener(&nothing);
    client.setSessionDelegate(screen);
    client.authorize({});
    ASSERT_NE(client.loginDialog(), nullptr);
    ASSERT_TRUE(waitFor([&] { return client.isSessionValid(); })) << "the login never finished";
    EXPECT_EQ(client.accessToken(), "T0KEN/x");
    ASSERT_NE(client.socialDialog(), nullptr);  // socialDidLogin: the feed at once
    EXPECT_EQ(client.socialDialog()->serverURL(), network.url("/dialog/feed"));
}

TEST_F(SocialDialogPanelTest, ThePanelTakesItsPlaceBeforeTheHookAndBouncesAndObservesAfterIt) {
    platform::NotificationCenter notifications;
    context.setScreen(kit::Screen::phone());
    window.setRootView(std::make_unique<kit::View>(QRectF(0, 0, 480, 320)));
    struct Hooked : SocialDialog {
        using SocialDialog::SocialDialog;
        std::function<void()> willAppear;
        void dialogWillAppear() override { willAppear(); }
    } dialog("about:blank", {}, nullptr);
    dialog.setViewFactory([&](SocialDialog& shown) { return SocialDialogPanel::make(shown, window, notifications); });
    bool heard = false;
    dialog.willAppear = [&] {
        heard = true;
        ASSERT_NE(panel(), nullptr) << "on the window";
        EXPECT_FALSE(dialog.loadingURL().empty()) << "loading";
        EXPECT_EQ(panel()->size(), QSizeF(480, 300));
        EXPECT_EQ(panel()->closeButton()->frame(), QRectF(2, 2, 29, 29));
        EXPECT_DOUBLE_EQ(panel()->scale(), 1.0) << "the bounce has not begun";
        notifications.post(SocialDialogPanel::kKeyboardWillShowNotification);
        EXPECT_FALSE(panel()->showingKeyboard()) << "nothing observed yet";
    };
    dialog.show();
    ASSERT_TRUE(heard);
    EXPECT_DOUBLE_EQ(panel()->scale(), 0.001);  // then the bounce, from nothing
    notifications.post(SocialDialogPanel::kKeyboardWillShowNotification);
    EXPECT_TRUE(panel()->showingKeyboard());
    dialog.postDismissCleanup();
}

TEST_F(SocialDialogPanelTest, TheCloseButtonIsTheBundlesPictureWithItsTitleStyleAndGlow) {
    openFeed();
    kit::Button* close = panel()->closeButton();
    QImage shipped(QString::fromStdString(
        (platform::Sandbox::shared().bundle() / "SocialDialog.bundle/images/close@2x.png").string()));
    ASSERT_FALSE(shipped.isNull()) << "the build draws it into the bundle";
    EXPECT_EQ(close->image(kit::normal).convertToFormat(QImage::Format_ARGB32),
              shipped.convertToFormat(QImage::Format_ARGB32));
    EXPECT_EQ(close->titleColor(kit::normal), QColor(167, 184, 216));
    EXPECT_EQ(close->titleColor(kit::highlighted), QColor(Qt::white));
    EXPECT_TRUE(close->titleFont().bold());
    EXPECT_EQ(close->titleFont().pixelSize(), 12);
    EXPECT_TRUE(close->showsTouchWhenHighlighted());
}

TEST_F(SocialDialogPanelTest, ATurnMovesThePanelAsTheStatusBarTurns) {
    platform::NotificationCenter notifications;
    kit::Screen turned = kit::Screen::phone();
    context.setScreen(turned);
    window.setRootView(std::make_unique<kit::View>(QRectF(0, 0, 480, 320)));
    SocialDialog dialog("about:blank", {}, nullptr);
    dialog.setViewFactory([&](SocialDialog& shown) { return SocialDialogPanel::make(shown, window, notifications); });
    dialog.show();
    finishAnimations();
    const QSizeF landscape = panel()->size();

    turned.statusBarOrientation = 1;
    context.setScreen(turned);
    notifications.post(kit::DeviceOrientation::kDidChangeNotification);
    EXPECT_EQ(panel()->size(), landscape) << "it moves there, not at once";
    advance(0.15);
    EXPECT_NE(panel()->size(), landscape);
    advance(0.2);
    pump();
    EXPECT_EQ(panel()->size(), QSizeF(320, 460));
    EXPECT_EQ(panel()->webViewFrame(), QRectF(11, 33, 320 - 22, 460 - 43));  // below the close button
    dialog.postDismissCleanup();
}

TEST_F(SocialDialogPanelTest, TheKeyboardGrowsThePageAsTheStatusBarStandsWhenItComes) {
    platform::NotificationCenter notifications;
    kit::Screen screenNow = kit::Screen::phone();
    context.setScreen(screenNow);
    window.setRootView(std::make_unique<kit::View>(QRectF(0, 0, 480, 320)));
    SocialDialog dialog("about:blank", {}, nullptr);
    dialog.setViewFactory([&](SocialDialog& shown) { return SocialDialogPanel::make(shown, window, notifications); });
    dialog.show();
    const QRectF before = panel()->webViewFrame();
    // The status bar turned to portrait without the panel being laid out anew:
    // the keyboard asks the status bar, not the panel's last layout.
    screenNow.statusBarOrientation = 1;
    context.setScreen(screenNow);
    notifications.post(SocialDialogPanel::kKeyboardWillShowNotification);
    EXPECT_EQ(panel()->webViewFrame(), before);
    notifications.post(SocialDialogPanel::kKeyboardWillHideNotification);
    EXPECT_EQ(panel()->webViewFrame(), before);
    dialog.postDismissCleanup();
}

}  // namespace
}  // namespace strombel::info
