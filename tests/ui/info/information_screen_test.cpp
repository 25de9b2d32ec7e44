#include "ui/info/strombel_information_view_controller.h"

#include <gtest/gtest.h>

#include <QImage>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <thread>
#include <memory>
#include <string>
#include <vector>

#include "info/social_client.h"
#include "ui/kit/presenters.h"
#include "ui/kit/window.h"
#include "ui/light_view.h"
#include "ui/small_button_control.h"
#include "support/temp_dir.h"
#include "ui/ui_test_support.h"

namespace strombel::info {
namespace {

namespace kit = ui::kit;

/// Opens web addresses when `answer` says so, as the desktop's opener does; the
/// social network's own application is not there to switch to.
struct Opener : SocialUrlOpener {
    std::vector<std::string> opened;
    bool answer = false;
    bool openURL(const std::string& url) override {
        opened.push_back(url);
        return answer && url.rfind("http", 0) == 0;
    }
};

class InformationScreenTest : public strombel::testing::UiTest {
protected:
    /// The keys of each group (the two links; the four keys of the left column)
    /// are of one size, on one left edge, one pitch apart, with a gap between
    /// them, and each key's picture is of its key's size. (The frames of the
    /// original artwork gave four sizes, keys a point or two out of line and the
    /// two links overlapping: those are not kept.)
    static void expectEvenAndInLine(const StrombelInformationViewController& screen) {
        const std::vector<std::vector<kit::Button*>> groups = {
            {screen.mailBtn(), screen.websiteBtn()},
            {screen.socialBtn(), screen.ravellePresentedByBtn(), screen.tutorialBtn(), screen.rateUsBtn()}};
        for (const auto& group : groups) {
            const QRectF first = group.front()->frame();
            const double pitch = group[1]->frame().y() - first.y();
            EXPECT_GT(pitch, first.height()) << "keys overlap or touch";
            for (size_t i = 0; i < group.size(); ++i) {
                SCOPED_TRACE(i);
                const QRectF frame = group[i]->frame();
                EXPECT_EQ(frame.size(), first.size());
                EXPECT_EQ(frame.x(), first.x());
                EXPECT_EQ(frame.y(), first.y() + pitch * double(i));
                EXPECT_EQ(group[i]->currentImage().deviceIndependentSize(), frame.size());
            }
        }
    }

    explicit InformationScreenTest(kit::Screen screen = kit::Screen::tablet()) : UiTest(screen) {
        auto opener = std::make_unique<kit::RecordingUrlOpener>();
        urls = opener.get();
        context.setUrlOpener(std::move(opener));
        auto alertPresenter = std::make_unique<kit::RecordingAlertPresenter>();
        alerts = alertPresenter.get();
        context.setAlerts(std::move(alertPresenter));
        client.setClock([this] { return now; });
        client.setUrlOpener(&socialOpener);
        StrombelInformationViewController::setServices(
            {[this] { return &client; }, [this] { ++ratePages; }, [this] { return mailProgram; }});
    }
    ~InformationScreenTest() override { StrombelInformationViewController::setServices({}); }

    template <typename Screen>
    Screen* presentScreen() {
        window.setRootView(std::make_unique<kit::View>(QRectF(0, 0, 1024, 768)));
        auto screen = std::make_unique<Screen>();
        Screen* raw = screen.get();
        StrombelInformationViewController::present(std::move(screen), window, [this] { ++dismissals; });
        advance(1);
        return raw;
    }
    void press(kit::Control* control) { control->sendActions(kit::touchUpInside); }

    kit::RecordingUrlOpener* urls = nullptr;
    kit::RecordingAlertPresenter* alerts = nullptr;
    kit::Window window;
    SocialClient::TimePoint now = SocialClient::TimePoint(std::chrono::seconds(1'700'000'000));
    Opener socialOpener;
    SocialClient client{"123456789012345", nullptr};
    bool mailProgram = true;
    int ratePages = 0;
    int dismissals = 0;
};

TEST_F(InformationScreenTest, TabletLayoutPlacesEveryControl) {
    auto* screen = presentScreen<StrombelInformationViewController>();
    EXPECT_EQ(screen->frame(), QRectF(0, 0, 1024, 768));
    EXPECT_EQ(screen->backLabel()->frame(), QRectF(78, 617, 50, 12));
    EXPECT_EQ(screen->backBtn()->frame().topLeft(), QPointF(78, 637));
    EXPECT_EQ(screen->backLight()->frame().topLeft(), QPointF(60, 605));
    expectEvenAndInLine(*screen);
    EXPECT_EQ(screen->mailBtn()->frame().topLeft(), QPointF(684, 652));
    EXPECT_EQ(screen->socialBtn()->frame().topLeft(), QPointF(45, 272));
    // The image buttons lie above the back key, in the order of their making.
    const auto children = screen->subviews();
    ASSERT_EQ(children.size(), 10u);
    EXPECT_EQ(children[2], screen->backBtn());
    EXPECT_EQ(children.back(), screen->rateUsBtn());
    EXPECT_FALSE(screen->mailBtn()->currentImage().isNull());
    EXPECT_TRUE(screen->shouldAutorotateToInterfaceOrientation(3));
    EXPECT_FALSE(screen->shouldAutorotateToInterfaceOrientation(1));
}

TEST_F(InformationScreenTest, ButtonsOpenTheirAddressesAndBackGoes) {
    auto* screen = presentScreen<StrombelInformationViewController>();
    press(screen->websiteBtn());
    press(screen->ravellePresentedByBtn());
    press(screen->tutorialBtn());
    screen->copyrightBtnPressed();
    EXPECT_EQ(urls->opened, (std::vector<std::string>{InformationLinks::kWebsite, InformationLinks::kArtist,
                                                     InformationLinks::kTutorial, InformationLinks::kCompany}));
    const std::string tutorial = InformationLinks::kTutorial;
    EXPECT_EQ(tutorial.substr(tutorial.find("v=") + 2).size(), 11u);
    press(screen->rateUsBtn());
    EXPECT_EQ(ratePages, 1);
    press(screen->backBtn());
    advance(1);
    EXPECT_EQ(dismissals, 1);
    EXPECT_EQ(context.modals().presented(window), nullptr);
}

TEST_F(InformationScreenTest, MailOpensTheMailProgramOrSaysThereIsNone) {
    auto* screen = presentScreen<StrombelInformationViewController>();
    press(screen->mailBtn());
    EXPECT_EQ(urls->opened, std::vector<std::string>{"mailto:info@strombel.example.com?subject=Strombel"});
    EXPECT_TRUE(alerts->shown.empty());
    mailProgram = false;
    press(screen->mailBtn());
    EXPECT_EQ(urls->opened.size(), 1u);
    ASSERT_EQ(alerts->shown.size(), 1u);
    EXPECT_EQ(alerts->shown[0].title, "Mail");
    // It says what is missing on this computer, and where to write instead.
    EXPECT_EQ(alerts->shown[0].message,
              "No mail program is set up on this computer. Write to info@strombel.example.com from the one you use "
              "for mail.");
    EXPECT_EQ(alerts->shown[0].buttons, QStringList{"OK"});
}

// The desktop is asked once, on a thread of its own: a press never waits for it.
TEST_F(InformationScreenTest, TheDesktopIsAskedForAMailProgramOnceAndNeverWaitedFor) {
    // An "xdg-mime" that writes down each question and answers (nothing: no mail
    // program) only once the test lets it.
    strombel::testing::TempDir bin;
    const std::filesystem::path go = bin / "go", asked = bin / "asked";
    std::ofstream(bin / "xdg-mime") << "#!/bin/sh\necho \"$@\" >> '" << asked.string() << "'\n"
                                    << "i=0; while [ ! -e '" << go.string() << "' ] && [ $i -lt 2000 ]; do sleep 0.01; "
                                    << "i=$((i+1)); done\nexit 0\n";
    std::filesystem::permissions(bin / "xdg-mime", std::filesystem::perms(0755));
    const std::string path = std::getenv("PATH") ? std::getenv("PATH") : "";
    setenv("PATH", (bin.path().string() + ":" + path).c_str(), 1);
    StrombelInformationViewController::forgetMailHandlerAnswer();
    StrombelInformationViewController::setServices({[this] { return &client; }, [this] { ++ratePages; }, {}});

    auto* screen = presentScreen<StrombelInformationViewController>();
    // Not answered yet: the address goes to the opener, and nothing waited.
    press(screen->mailBtn());
    EXPECT_EQ(urls->opened, std::vector<std::string>{"mailto:info@strombel.example.com?subject=Strombel"});
    EXPECT_TRUE(alerts->shown.empty());

    std::ofstream(go).close();
    for (int i = 0; i < 2000 && !StrombelInformationViewController::mailHandlerRegistered(); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    setenv("PATH", path.c_str(), 1);
    EXPECT_EQ(StrombelInformationViewController::mailHandlerRegistered(), std::optional<bool>(false));
    press(screen->mailBtn());
    press(screen->mailBtn());
    EXPECT_EQ(urls->opened.size(), 1u);
    EXPECT_EQ(alerts->shown.size(), 2u);
    std::ifstream questions(asked);
    std::string all((std::istreambuf_iterator<char>(questions)), std::istreambuf_iterator<char>());
    EXPECT_EQ(all, "query default x-scheme-handler/mailto\n") << "asked once";
    StrombelInformationViewController::forgetMailHandlerAnswer();
}

TEST_F(InformationScreenTest, SocialWithASessionOpensTheFeedDialogAtOnce) {
    client.socialDialogLogin("tok", now + std::chrono::hours(1));
    auto* screen = presentScreen<StrombelInformationViewController>();
    press(screen->socialBtn());
    ASSERT_NE(client.socialDialog(), nullptr);
    const auto& params = client.socialDialog()->params();
    EXPECT_EQ(params.size(), 11u);  // six entries and the five of the dialog
    EXPECT_EQ(params.at("message"), "");
    EXPECT_EQ(params.at("link"), "http://www.strombel.example.com/");
    EXPECT_EQ(params.at("name"), "Strombel");
    EXPECT_EQ(params.at("caption"), "A new dimension in live sets");
    EXPECT_EQ(params.at("description").rfind("The Strombel adds a new dimension", 0), 0u);
    EXPECT_EQ(params.at("access_token"), "tok");
    EXPECT_EQ(client.socialDialog()->delegate(), screen);
    EXPECT_TRUE(socialOpener.opened.empty());
}

TEST_F(InformationScreenTest, SocialWithoutASessionLogsInThenOpensTheFeed) {
    auto* screen = presentScreen<StrombelInformationViewController>();
    socialOpener.answer = true;  // the browser takes the login page
    press(screen->socialBtn());
    EXPECT_EQ(client.sessionDelegate(), screen);
    ASSERT_EQ(socialOpener.opened.size(), 2u);  // the application switch, then the browser
    EXPECT_EQ(socialOpener.opened[0].rfind("socialauth://authorize?", 0), 0u);
    EXPECT_EQ(client.socialDialog(), nullptr);

    // A cancelled login leaves the screen as it was.
    ASSERT_TRUE(client.pendingLoginState());
    EXPECT_TRUE(client.handleOpenURL("sn123456789012345://authorize#error=access_denied&state=" +
                                     *client.pendingLoginState()));
    EXPECT_EQ(client.socialDialog(), nullptr);

    // Another press, and the browser comes back with a token: the feed follows
    // without a press.
    press(screen->socialBtn());
    ASSERT_TRUE(client.pendingLoginState());
    EXPECT_TRUE(client.handleOpenURL("sn123456789012345://authorize#access_token=t&expires_in=0&state=" +
                                     *client.pendingLoginState()));
    ASSERT_NE(client.socialDialog(), nullptr);
    EXPECT_EQ(client.socialDialog()->params().at("access_token"), "t");
}

TEST_F(InformationScreenTest, ALoginWithoutAValidSessionStartsNoLoginLoop) {
    auto* screen = presentScreen<StrombelInformationViewController>();
    client.setMultitaskingSupported(false);  // the in-app login dialog
    press(screen->socialBtn());
    ASSERT_NE(client.loginDialog(), nullptr);
    SocialLoginDialog* first = client.loginDialog();
    // The login page hands out a token without an expiry: no valid session.
    client.loginDialog()->shouldStartLoad("socialconnect://success#access_token=t", SocialNavigationType::other);
    EXPECT_FALSE(client.isSessionValid());
    EXPECT_EQ(client.loginDialog(), first);  // no second login
    EXPECT_EQ(client.socialDialog(), nullptr);
}

TEST_F(InformationScreenTest, ALoginAfterTheScreenWentReachesNothing) {
    auto* screen = presentScreen<StrombelInformationViewController>();
    socialOpener.answer = true;
    press(screen->socialBtn());
    press(screen->backBtn());
    advance(1);
    EXPECT_EQ(client.sessionDelegate(), nullptr);
    ASSERT_TRUE(client.pendingLoginState());
    EXPECT_TRUE(client.handleOpenURL("sn123456789012345://authorize#access_token=t&expires_in=0&state=" +
                                     *client.pendingLoginState()));
    EXPECT_TRUE(client.isSessionValid());
    EXPECT_EQ(client.socialDialog(), nullptr);
}

TEST_F(InformationScreenTest, FollowedLinksOpenInTheBrowser) {
    client.socialDialogLogin("tok", SocialClient::TimePoint::max());
    auto* screen = presentScreen<StrombelInformationViewController>();
    press(screen->socialBtn());
    EXPECT_FALSE(
        client.socialDialog()->shouldStartLoad("http://elsewhere.example.com/x", SocialNavigationType::linkClicked));
    EXPECT_EQ(socialOpener.opened, std::vector<std::string>{"http://elsewhere.example.com/x"});
}

class PhoneInformationScreenTest : public InformationScreenTest,
                                   public ::testing::WithParamInterface<bool> {
protected:
    PhoneInformationScreenTest() : InformationScreenTest(GetParam() ? kit::Screen::tallPhone() : kit::Screen::phone()) {}
};

TEST_P(PhoneInformationScreenTest, PhoneLayoutMovesOnTheTallPhone) {
    const bool tall = GetParam();
    auto* screen = presentScreen<StrombelIphoneInformationViewController>();
    EXPECT_EQ(screen->frame(), QRectF(0, 0, tall ? 568 : 480, 320));
    expectEvenAndInLine(*screen);
    EXPECT_EQ(screen->mailBtn()->frame().x(), tall ? 368 : 321);
    EXPECT_EQ(screen->socialBtn()->frame().x(), tall ? 27 : 25);
    EXPECT_LE(screen->websiteBtn()->frame().bottom(), screen->frame().height());
    EXPECT_EQ(screen->backBtn()->frame().topLeft(), tall ? QPointF(43, 265) : QPointF(41, 270));
    EXPECT_EQ(screen->backLight()->frame().topLeft(), tall ? QPointF(34, 248) : QPointF(31, 254));
    EXPECT_EQ(screen->backLabel()->frame().topLeft(), tall ? QPointF(43, 255) : QPointF(41, 260));
    EXPECT_EQ(screen->supportedInterfaceOrientations(), 24);
    EXPECT_TRUE(screen->shouldAutorotate());
    EXPECT_TRUE(screen->shouldAutorotateToInterfaceOrientation(4));
    EXPECT_FALSE(screen->shouldAutorotateToInterfaceOrientation(2));
}

INSTANTIATE_TEST_SUITE_P(Phones, PhoneInformationScreenTest, ::testing::Bool(),
                         [](const auto& info) { return info.param ? "TallPhone" : "Phone"; });

TEST_P(PhoneInformationScreenTest, UprightEveryKeyStandsApartOnTheScreenAndBackIsAtTheBottom) {
    const bool tall = GetParam();
    StrombelIphoneInformationViewController screen(true);
    EXPECT_EQ(screen.guiType(), ui::GuiType::phonePortrait);
    EXPECT_EQ(screen.frame(), QRectF(0, 0, 320, tall ? 568 : 480));
    expectEvenAndInLine(screen);
    const std::vector<kit::View*> controls = {screen.mailBtn(),     screen.websiteBtn(),
                                              screen.socialBtn(),   screen.ravellePresentedByBtn(),
                                              screen.tutorialBtn(), screen.rateUsBtn(),
                                              screen.backBtn(),     screen.backLabel()};
    for (size_t i = 0; i < controls.size(); ++i) {
        EXPECT_TRUE(screen.bounds().contains(controls[i]->frame())) << i;
        for (size_t j = i + 1; j < controls.size(); ++j) EXPECT_FALSE(controls[i]->frame().intersects(controls[j]->frame())) << i << " " << j;
    }
    // The bottom row keeps to the bottom on the taller phone.
    EXPECT_NEAR(screen.websiteBtn()->frame().bottom(), screen.height() - 21, 1);
    EXPECT_NEAR(screen.backBtn()->frame().bottom(), screen.height() - 29, 1);
}

// Every layout renders; the pictures land in the build folder for a look.
TEST_F(InformationScreenTest, LayoutsRenderToPictures) {
    struct Layout {
        const char* name;
        kit::Screen screen;
        bool phone;
    } layouts[] = {{"tablet", kit::Screen::tablet(), false},
                   {"phone", kit::Screen::phone(), true},
                   {"phone568", kit::Screen::tallPhone(), true}};
    for (const auto& layout : layouts) {
        SCOPED_TRACE(layout.name);
        context.setScreen(layout.screen);
        kit::Window shown;
        std::unique_ptr<StrombelInformationViewController> screen;
        if (layout.phone) screen = std::make_unique<StrombelIphoneInformationViewController>();
        else screen = std::make_unique<StrombelInformationViewController>();
        const QRectF rate = screen->rateUsBtn()->frame();
        shown.setRootView(std::move(screen));
        const QImage picture = shown.render(1.0);
        ASSERT_FALSE(picture.isNull());
        EXPECT_EQ(picture.width(), layout.phone ? layout.screen.bounds.height() : 1024);
        // The rate key is drawn where it stands, lighter than the background.
        EXPECT_GT(qGray(picture.pixel(rate.center().toPoint())), qGray(picture.pixel(2, 2)) + 8);
        const QString file = QString("%1/information-%2.png").arg(STROMBEL_TEST_OUTPUT_DIR, layout.name);
        EXPECT_TRUE(picture.save(file));
    }
}

}  // namespace
}  // namespace strombel::info
