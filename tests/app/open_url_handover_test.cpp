#include "app/open_url_handover.h"

#include <gtest/gtest.h>
#include <httplib.h>

#include <QCoreApplication>
#include <QProcess>
#include <chrono>
#include <fstream>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "app/information_wiring.h"
#include "info/social_client.h"
#include "social_network_server.h"
#include "support/temp_dir.h"
#include "ui/info/strombel_information_view_controller.h"
#include "ui/kit/context.h"
#include "ui/kit/presenters.h"

namespace strombel::app {
namespace {

/// Runs Qt's events until `done` answers true; false after the guard.
bool processUntil(const std::function<bool()>& done) {
    const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (!done()) {
        if (std::chrono::steady_clock::now() > limit) return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    }
    return true;
}

/// Hands `url` over on a thread of its own while this one serves.
std::optional<bool> handOverServed(const std::filesystem::path& path, const std::string& url) {
    auto answer = std::async(std::launch::async, [&] { return handOverOpenURL(path, url); });
    processUntil([&] { return answer.wait_for(std::chrono::seconds(0)) == std::future_status::ready; });
    return answer.get();
}

/// Runs the program with `arguments` while this one serves; its exit status.
int runProgram(const QStringList& arguments) {
    QProcess program;
    program.setProgram(STROMBEL_PROGRAM);
    program.setArguments(arguments);
    program.setProcessChannelMode(QProcess::ForwardedChannels);
    program.start();
    if (!processUntil([&] { return program.state() == QProcess::NotRunning; })) {
        program.kill();
        program.waitForFinished();
        return -1;
    }
    return program.exitStatus() == QProcess::NormalExit ? program.exitCode() : -1;
}

class OpenUrlHandoverTest : public ::testing::Test {
protected:
    strombel::testing::TempDir dir;
    std::filesystem::path socket = OpenUrlServer::socketPathFor(dir.path());
    std::vector<std::string> received;
    bool answer = true;
    OpenUrlServer::Handler handler = [this](const std::string& url) {
        received.push_back(url);
        return answer;
    };
};

TEST_F(OpenUrlHandoverTest, AddressesReachTheRunningProgramWithItsAnswer) {
    EXPECT_EQ(handOverOpenURL(socket, "sn1://authorize#x"), std::nullopt);  // nobody listens
    OpenUrlServer server(socket, handler);
    ASSERT_TRUE(server.isListening()) << server.error();
    EXPECT_EQ(handOverServed(socket, "sn1://authorize#access_token=a"), true);
    answer = false;
    EXPECT_EQ(handOverServed(socket, "http://elsewhere/"), false);
    EXPECT_EQ(received, (std::vector<std::string>{"sn1://authorize#access_token=a", "http://elsewhere/"}));
    // An empty line only asks whether someone listens; too long an address is refused.
    EXPECT_EQ(handOverServed(socket, ""), false);
    EXPECT_EQ(handOverServed(socket, std::string(OpenUrlServer::kMaximumURLSize + 1, 'a')), false);
    EXPECT_EQ(received.size(), 2u);
    // Each data folder has its own socket, in a folder only the user may enter.
    EXPECT_NE(OpenUrlServer::socketPathFor(dir / "other"), socket);
}

TEST_F(OpenUrlHandoverTest, ASocketLeftByAProgramThatEndedIsReplaced) {
    {
        std::ofstream stale(socket);  // a file where the socket was
    }
    OpenUrlServer server(socket, handler);
    EXPECT_TRUE(server.isListening()) << server.error();
    EXPECT_EQ(handOverServed(socket, "sn1://authorize#t"), true);
}

TEST_F(OpenUrlHandoverTest, TheProgramHandsItsAddressToTheRunningOneAndEnds) {
    OpenUrlServer server(socket, handler);
    ASSERT_TRUE(server.isListening());
    EXPECT_EQ(runProgram({"--root", QString::fromStdString(dir.path().string()), "--open-url", "sn1://authorize#t=1"}), 0);
    EXPECT_EQ(received, std::vector<std::string>{"sn1://authorize#t=1"});
    answer = false;
    EXPECT_EQ(runProgram({"--root", QString::fromStdString(dir.path().string()), "--open-url", "sn2://x"}), 1);
    EXPECT_EQ(runProgram({"--open-url"}), 2);  // the address is missing
}

/// The browser's way: the screen asks the browser for the login page, the test
/// plays the browser (the login page answers with a redirect to the program's
/// own address) and hands that address over with `strombel --open-url`.
TEST_F(OpenUrlHandoverTest, LoginThroughTheBrowserComesBackAndTheFeedFollows) {
    platform::ManualClock clock;
    platform::MainLoop loop{clock};
    ui::kit::Context context(loop);
    auto urls = std::make_unique<ui::kit::RecordingUrlOpener>();
    ui::kit::RecordingUrlOpener* browser = urls.get();
    context.setUrlOpener(std::move(urls));
    info::test_support::LoopbackSocialNetwork network;

    struct Opener : info::SocialUrlOpener {
        bool openURL(const std::string& url) override {
            return ui::kit::Context::current().urlOpener().openUrl(url) && url.rfind("http", 0) == 0;
        }
    } opener;
    info::SocialClient client("482915736204518", nullptr);
    client.setHosts(network.hosts());
    client.setUrlOpener(&opener);
    info::StrombelInformationViewController::setServices({[&] { return &client; }, [] {}, [] { return false; }});
    OpenUrlServer server(socket, [&](const std::string& url) { return client.handleOpenURL(url); });

    {
        info::StrombelInformationViewController screen;
        screen.socialBtnPressed();
        ASSERT_EQ(browser->opened.size(), 2u);  // no social application: the browser
        const std::string login = browser->opened[1];
        ASSERT_EQ(login.rfind(network.url("/dialog/oauth?"), 0), 0u) << login;
        for (const char* pair : {"client_id=482915736204518", "type=user_agent", "display=touch", "sdk=ios",
                                 "redirect_uri=sn482915736204518%3A%2F%2Fauthorize", "scope="}) {
            EXPECT_NE(login.find(pair), std::string::npos) << pair;
        }

        httplib::Client browserClient("127.0.0.1", network.port());
        auto page = browserClient.Get(login.substr(network.url("").size()));
        ASSERT_TRUE(page);
        ASSERT_EQ(page->status, 302);
        const std::string back = page->get_header_value("Location");
        ASSERT_EQ(back.rfind("sn482915736204518://authorize#access_token=", 0), 0u) << back;

        EXPECT_EQ(runProgram({"--root", QString::fromStdString(dir.path().string()), "--open-url",
                              QString::fromStdString(back)}),
                  0);
        EXPECT_TRUE(client.isSessionValid());
        ASSERT_NE(client.socialDialog(), nullptr);
        EXPECT_EQ(client.socialDialog()->params().at("access_token"), "T0KEN/x");
        EXPECT_EQ(client.socialDialog()->params().at("caption"), "A new dimension in live sets");
    }
    // The screen went before a second login returned: nothing reaches it.
    const info::SocialDialog* shown = client.socialDialog();
    EXPECT_EQ(handOverServed(socket, "sn482915736204518://authorize#access_token=later"), true);
    EXPECT_EQ(client.socialDialog(), shown);
    info::StrombelInformationViewController::setServices({});
}

TEST(DistributionHomePage, ReadsHomeUrlFromOsRelease) {
    strombel::testing::TempDir dir;
    std::ofstream(dir / "os-release") << "NAME=\"Debian\"\nHOME_URL=\"https://www.debian.example/\"\nID=debian\n";
    EXPECT_EQ(distributionHomePage(dir / "os-release"), "https://www.debian.example/");
    EXPECT_EQ(distributionHomePage(dir / "missing"), "");
}

}  // namespace
}  // namespace strombel::app
