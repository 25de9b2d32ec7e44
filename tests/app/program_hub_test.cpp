// The road of a hub connection, with the whole program and the hub simulator
// on the build's JACK server: the hub finds the program, signs a graph naming
// its output, hears it on its JACK ports, plays and stops it from its play
// button, and lets it go again.

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <thread>

#include <QWidget>

#include "app/desktop_session.h"
#include "hub/bus_message.h"
#include "hub/bus_test_support.h"
#include "hub/hub_controller.h"
#include "hub/hub_record.h"
#include "hub/jack_sender_output.h"
#include "program_test_support.h"
#include "ui/hub/hub_connection_panel.h"
#include "ui/kit/label.h"
#include "ui/kit/window.h"

namespace strombel::app::scenario {
namespace {

using hub::testing::HubSimulator;
using hub::testing::TestKeyPair;

class ProgramHubTest : public ProgramTest {
protected:
    void SetUp() override {
        setenv("JACK_DEFAULT_SERVER", "strombel-tests", 0);
        setenv("JACK_NO_START_SERVER", "1", 1);
        std::ofstream(temp_ / "hub-key.pem") << TestKeyPair::shared().privateKeyPem;
        hub::HubSignatureValidator::setShared(hub::HubSignatureValidator::withKey(TestKeyPair::shared().publicKey));
    }
    void TearDown() override {
        for (auto id : observers_) platform::NotificationCenter::shared().removeObserver(id);
        hub::HubSignatureValidator::setShared(nullptr);
    }

    /// Observers a case adds to the process's notification center, removed once
    /// its program has ended: a later case's controller may be made where this
    /// case's was, and would reach them.
    std::vector<platform::NotificationCenter::ObserverId> observers_;
    /// What they heard (kept until then too: the program's end may still post).
    std::vector<std::string> posted_;

    /// Asks the simulator while the program's main loop keeps running.
    std::string ask(HubSimulator& simulator, const std::string& line, double seconds = 10) {
        simulator.begin(line);
        std::string answer;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
        while (answer.empty() && std::chrono::steady_clock::now() < deadline) {
            loop_.runPending();
            answer = simulator.answer(2);
        }
        return answer;
    }
    bool pumpUntil(const std::function<bool()>& done, double seconds = 20) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
        while (std::chrono::steady_clock::now() < deadline) {
            loop_.runPending();
            if (done()) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        return done();
    }
};

std::vector<uint8_t> fromHex(const std::string& text) {
    std::vector<uint8_t> bytes;
    for (size_t i = 0; i + 1 < text.size(); i += 2) bytes.push_back(uint8_t(std::stoi(text.substr(i, 2), nullptr, 16)));
    return bytes;
}

TEST_F(ProgramHubTest, TheHubConnectsHearsPlaysAndLetsGoOfTheProgram) {
    auto run = start();
    hub::HubController* controller = run->program().delegate().hubController();
    ASSERT_TRUE(controller);
    auto port = std::dynamic_pointer_cast<hub::HubSenderPort>(controller->senderPorts().at(0));
    ASSERT_TRUE(port);
    // Published once the JACK opener has opened its client.
    ASSERT_TRUE(pumpUntil([&] { return port->publishing(); })) << "the JACK test server is not running";
    std::vector<std::string>& posted = posted_;
    for (const char* name : {hub::kHubConnectedNotification, hub::kHubDisconnectedNotification}) {
        observers_.push_back(platform::NotificationCenter::shared().addObserver(
            name, controller, [&posted, name](const auto&) { posted.push_back(name); }));
    }

    HubSimulator simulator(temp_ / "root" / "services", temp_ / "hub-key.pem");
    ASSERT_EQ(simulator.ready().rfind("ready ", 0), 0u);
    std::string seen;
    ASSERT_TRUE(pumpUntil([&] {
        seen = simulator.command("peer strombel", 1000);
        return seen.rfind("peer ", 0) == 0;
    }));
    ASSERT_TRUE(pumpUntil([&] {
        for (const auto& peer : controller->peers())
            if (peer->name() == "Wirehub" && peer->present()) return true;
        return false;
    }));

    // The metadata: the output's record, the play button, the volume off the panel.
    EXPECT_EQ(fromHex(simulator.command("meta outputs[0]").substr(5)),
              port->dataRepresentationWithResourceHost(nullptr));
    const auto play = fromHex(simulator.command("meta triggers[0]").substr(5));
    const uint32_t playID = run->program().delegate().playTrigger()->numericIdentifier();
    ASSERT_GE(play.size(), 35u);
    EXPECT_EQ(hub::readU32(play.data() + 2), playID);
    EXPECT_NE(hub::readU32(play.data() + 8), 0u);
    EXPECT_NE(hub::readU32(play.data() + 12), 0u);
    const auto volume = fromHex(simulator.command("meta offPanelTriggers[0]").substr(5));
    ASSERT_GE(volume.size(), 43u);
    EXPECT_EQ(hub::readU32(volume.data() + 2), 0x766F6C30u);

    // A signed graph naming the program's output: applied, acknowledged, connected.
    ASSERT_EQ(simulator.command("jack-open"), "ok 48000");
    EXPECT_EQ(ask(simulator, "connect-app strombel|Strombel output"), "sent 1 jack ok");
    EXPECT_EQ(ask(simulator, "ack"), "ack 1 0");
    ASSERT_TRUE(pumpUntil([&] { return controller->connected() && port->interAppAudioConnected(); }));
    EXPECT_TRUE(controller->hubConnected());
    EXPECT_TRUE(controller->memberOfActiveHubSession());
    EXPECT_EQ(posted, (std::vector<std::string>{hub::kHubConnectedNotification}));
    EXPECT_TRUE(run->program().engine()->running());

    // The panel slides in at the right edge of the pad screen, the hub's button first.
    loop_.advance(350'000'000);  // the 0.3 s slide and its last frame
    ui::kit::View* root = run->program().window().rootView();
    ui::hub::HubConnectionPanelWindow* layer = nullptr;
    for (auto* view : root->subviews())
        if (auto* found = dynamic_cast<ui::hub::HubConnectionPanelWindow*>(view)) layer = found;
    ASSERT_TRUE(layer);
    EXPECT_EQ(layer->frame(), QRectF(root->width() - 70, 0, 70, root->height()));
    ASSERT_EQ(layer->subviews().size(), 1u);
    const QRectF panel = layer->subviews().front()->frame();
    EXPECT_EQ(panel.x(), 70 - panel.width() + 9) << "its rounded side beyond the screen's edge";
    EXPECT_EQ(root->hitTest({root->width() - 60, 5}), root) << "beside the panel the pads take the touch";

    // The play button plays and stops, and the hub hears of each.
    EXPECT_EQ(ask(simulator, "fire " + std::to_string(playID)), "ok");
    ASSERT_TRUE(pumpUntil([&] { return run->screen().playbackIsRunning(); }));
    EXPECT_EQ(ask(simulator, "trigger-state " + std::to_string(playID)), "state " + std::to_string(playID) + " 1");
    EXPECT_EQ(ask(simulator, "fire " + std::to_string(playID)), "ok");
    ASSERT_TRUE(pumpUntil([&] { return !run->screen().playbackIsRunning(); }));
    EXPECT_EQ(ask(simulator, "trigger-state " + std::to_string(playID)), "state " + std::to_string(playID) + " 0");

    // A pad's sound reaches the hub's JACK ports (resampled from 44.1 to 48 kHz).
    const auto file = temp_ / "heard.raw";
    simulator.begin("record 4800 " + file.string());
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    ASSERT_TRUE(run->program().engine()->startSoundbankSample(0, 1.0f));
    std::string answer;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (answer.empty() && std::chrono::steady_clock::now() < deadline) {
        if (port->output()->queuedFrames() < 4096) {
            run->program().engine()->waitForPreloads();
            run->device().renderBuffer();
        } else {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        loop_.runPending();
        answer = simulator.answer(0);
    }
    EXPECT_EQ(answer, "recorded 4800");
    std::ifstream stream(file, std::ios::binary);
    std::vector<float> heard(4800 * 2);
    stream.read(reinterpret_cast<char*>(heard.data()), std::streamsize(heard.size() * sizeof(float)));
    float loudest = 0;
    for (float sample : heard) loudest = std::max(loudest, std::fabs(sample));
    EXPECT_GT(loudest, 0.01f);
    EXPECT_TRUE(port->output()->resampling());

    // A graph without the program lets it go.
    EXPECT_EQ(ask(simulator, "disconnect-app"), "sent 2");
    EXPECT_EQ(ask(simulator, "ack"), "ack 2 0");
    ASSERT_TRUE(pumpUntil([&] { return !controller->connected(); }));
    EXPECT_EQ(posted, (std::vector<std::string>{hub::kHubConnectedNotification, hub::kHubDisconnectedNotification}));
    loop_.advance(350'000'000);  // the 0.3 s slide and its last frame
    EXPECT_TRUE(layer->isHidden()) << "a graph without the program hides the panel";
}

// The hub's graphs about other programs, and its letting go of this one, leave
// the program's output playing while its window is up: nothing would start it
// again before the window is minimised and restored.
TEST_F(ProgramHubTest, GraphsWithoutTheProgramLeaveItsOutputPlayingWhileTheWindowIsUp) {
    auto run = start();
    hub::HubController* controller = run->program().delegate().hubController();
    ASSERT_TRUE(controller);
    ASSERT_TRUE(run->program().engine()->running());
    HubSimulator simulator(temp_ / "root" / "services", temp_ / "hub-key.pem");
    ASSERT_EQ(simulator.ready().rfind("ready ", 0), 0u);
    ASSERT_TRUE(pumpUntil([&] { return simulator.command("peer strombel", 1000).rfind("peer ", 0) == 0; }));
    ASSERT_TRUE(pumpUntil([&] {
        for (const auto& peer : controller->peers())
            if (peer->name() == "Wirehub" && peer->present()) return true;
        return false;
    }));

    EXPECT_EQ(ask(simulator, "disconnect-app"), "sent 1") << "a graph that never names the program";
    EXPECT_EQ(ask(simulator, "ack"), "ack 1 0");
    pumpUntil([] { return false; }, 0.2);
    EXPECT_TRUE(run->program().engine()->running());

    EXPECT_EQ(ask(simulator, "connect-app strombel|Strombel output"), "sent 2");
    EXPECT_EQ(ask(simulator, "ack"), "ack 2 0");
    ASSERT_TRUE(pumpUntil([&] { return controller->connected(); }));
    EXPECT_EQ(ask(simulator, "disconnect-app"), "sent 3");
    EXPECT_EQ(ask(simulator, "ack"), "ack 3 0");
    ASSERT_TRUE(pumpUntil([&] { return !controller->connected(); }));
    pumpUntil([] { return false; }, 0.2);
    EXPECT_TRUE(run->program().engine()->running()) << "let go of with the window up";
}

TEST_F(ProgramHubTest, PeersImagesAreCachedInTheProgramsOwnFolder) {
    auto run = start();
    hub::HubController* controller = run->program().delegate().hubController();
    ASSERT_TRUE(controller);
    const auto caches = std::filesystem::weakly_canonical(temp_ / "root" / "Library" / "Caches");
    const auto folder = std::filesystem::weakly_canonical(controller->resourceManager().cacheFolder());
    EXPECT_EQ(folder.string().rfind(caches.string() + "/", 0), 0u) << folder;
}

// The phones' screens open at twice their size on the desktop; the panel keeps
// its size there, as over the tablet's screen, and leaves every pad's label in
// sight in each layout: no pixel of a label's letters changes when it comes.
TEST_F(ProgramHubTest, ThePanelLeavesEveryPadsLabelInSightInEachLayout) {
    for (const auto& [layout, magnified] : {std::pair{ui::GuiType::tablet, 1.0}, std::pair{ui::GuiType::phoneLandscape, 2.0},
                                            std::pair{ui::GuiType::phonePortrait, 2.0}}) {
        SCOPED_TRACE(int(layout));
        auto run = start(layout);
        hub::HubController* controller = run->program().delegate().hubController();
        ASSERT_TRUE(controller);
        ui::kit::Window& window = run->program().window();
        const QSizeF points = window.shownView()->size();
        window.resize(int(points.width() * magnified), int(points.height() * magnified));
        window.show();
        QApplication::processEvents();
        const QImage before = window.grab().toImage();
        HubSimulator simulator(temp_ / "root" / "services", temp_ / "hub-key.pem");
        ASSERT_TRUE(pumpUntil([&] { return simulator.command("peer strombel", 1000).rfind("peer ", 0) == 0; }));
        ASSERT_TRUE(pumpUntil([&] {
            for (const auto& peer : controller->peers())
                if (peer->name() == "Wirehub" && peer->present()) return true;
            return false;
        }));
        EXPECT_EQ(ask(simulator, "connect-app strombel|Strombel output"), "sent 1");
        ASSERT_TRUE(pumpUntil([&] { return controller->hubConnected(); }));
        loop_.advance(350'000'000);  // the slide
        const QImage after = window.grab().toImage();

        ui::kit::View* panel = nullptr;
        for (auto* view : window.shownView()->subviews())
            if (auto* layer = dynamic_cast<ui::hub::HubConnectionPanelWindow*>(view); layer && !layer->subviews().empty())
                panel = layer->subviews().front();
        ASSERT_TRUE(panel);
        auto onDesktop = [&](ui::kit::View& view) {
            return window.mapFromScene(view.mapRectToScene(QRectF(QPointF(), view.size()))).boundingRect() &
                   window.viewport()->rect();
        };
        EXPECT_NEAR(onDesktop(*panel).width(), 50, 2) << "50 of the desktop's points in sight, 9 beyond the edge";
        for (int pad = 0; pad < 12; ++pad) {
            ui::kit::Label* label = run->screen().tapButtonLabel(pad);
            const QRect area = onDesktop(*label);
            int letters = 0, covered = 0;
            for (int y = area.top(); y <= area.bottom(); ++y)
                for (int x = area.left(); x <= area.right(); ++x) {
                    if (qGray(before.pixel(x, y)) < 160) continue;  // the letters are white
                    ++letters;
                    covered += before.pixel(x, y) != after.pixel(x, y);
                }
            EXPECT_GT(letters, 0) << "pad " << pad + 1;
            EXPECT_EQ(covered, 0) << "pad " << pad + 1 << " " << label->text().toStdString();
        }
        window.hide();
        run.reset();
        std::filesystem::remove_all(temp_ / "root");
    }
}

TEST_F(ProgramHubTest, AHubOnAnotherDeviceIsAskedAboutInTheProgramsAlert) {
    auto run = start();
    hub::HubController* controller = run->program().delegate().hubController();
    ASSERT_TRUE(controller);
    HubSimulator simulator(temp_ / "root" / "services", temp_ / "hub-key.pem", "127.0.0.2", "Tablet");
    ASSERT_EQ(simulator.ready().rfind("ready ", 0), 0u);
    ASSERT_TRUE(pumpUntil([&] { return simulator.command("peer strombel", 1000).rfind("peer ", 0) == 0; }));
    ASSERT_TRUE(pumpUntil([&] {
        for (const auto& peer : controller->peers())
            if (peer->name() == "Wirehub" && peer->present()) return peer->type() == hub::HubPeer::Remote;
        return false;
    }));

    // The first graph waits for the user's answer.
    EXPECT_EQ(ask(simulator, "connect-app strombel|Strombel output"), "sent 1");
    EXPECT_EQ(ask(simulator, "ack"), "ack 1 1");
    ASSERT_TRUE(pumpUntil([&] { return !run->alerts().shown.empty(); }));
    const auto& alert = run->alerts().shown.front();
    EXPECT_EQ(alert.title, "Wirehub connection");
    EXPECT_EQ(alert.message, "Accept incoming Wirehub connection from Tablet?");
    EXPECT_EQ(alert.buttons, (QStringList{"Deny", "Accept"}));
    ASSERT_TRUE(run->alerts().press("Accept"));
    EXPECT_EQ(run->defaults().stringArrayForKey(hub::kPeeredWirehubIdentifiersKey).size(), 1u);

    // Accepted: the hub's next graph is applied.
    EXPECT_EQ(ask(simulator, "connect-app strombel|Strombel output"), "sent 2");
    EXPECT_EQ(ask(simulator, "ack"), "ack 2 0");
    ASSERT_TRUE(pumpUntil([&] { return controller->connected(); }));
}

// Hub A takes the program and drops it again, staying in charge; hub B is
// refused meanwhile. The user brings the program to the front (its window
// minimised and restored): A's session is over for it, and B is taken.
TEST_F(ProgramHubTest, BackInTheForegroundAfterAHubDroppedItTheProgramTakesAnotherHub) {
    auto run = start();
    hub::HubController* controller = run->program().delegate().hubController();
    ASSERT_TRUE(controller);
    DesktopSession session(run->program().delegate(), {}, platform::NotificationCenter::shared());
    QWidget& window = run->program().window();
    session.watch(&window);
    window.show();
    QApplication::processEvents();

    HubSimulator first(temp_ / "root" / "services", temp_ / "hub-key.pem", "127.0.0.1", "Stage");
    HubSimulator second(temp_ / "root" / "services", temp_ / "hub-key.pem", "127.0.0.1", "Stage", 'B',
                        "0A:1B:2C:3D:4E:60", "Otherhub");
    for (HubSimulator* hub : {&first, &second}) {
        ASSERT_TRUE(pumpUntil([&] { return hub->command("peer strombel", 1000).rfind("peer ", 0) == 0; }));
    }
    ASSERT_TRUE(pumpUntil([&] {
        int hubs = 0;
        for (const auto& peer : controller->peers())
            hubs += (peer->name() == "Wirehub" || peer->name() == "Otherhub") && peer->present();
        return hubs == 2;
    }));
    EXPECT_EQ(ask(first, "connect-app strombel|Strombel output"), "sent 1");
    EXPECT_EQ(ask(first, "ack"), "ack 1 0");
    EXPECT_EQ(ask(first, "disconnect-app"), "sent 2");
    EXPECT_EQ(ask(first, "ack"), "ack 2 0");
    EXPECT_EQ(ask(second, "connect-app strombel|Strombel output"), "sent 1");
    EXPECT_EQ(ask(second, "ack"), "ack 1 3") << "the first hub is still in charge";

    window.showMinimized();
    QApplication::processEvents();
    window.showNormal();
    QApplication::processEvents();
    loop_.runPending();
    EXPECT_FALSE(controller->memberOfActiveHubSession());
    EXPECT_EQ(ask(second, "connect-app strombel|Strombel output"), "sent 2");
    EXPECT_EQ(ask(second, "ack"), "ack 2 0");
    EXPECT_TRUE(pumpUntil([&] { return controller->connected(); }));
}

}  // namespace
}  // namespace strombel::app::scenario
