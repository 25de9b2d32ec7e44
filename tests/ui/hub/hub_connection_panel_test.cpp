// The connection panel over a screen, with the real controller and a hub
// played by a socket of the test: which peers get buttons, what their buttons
// say and show, and what the panel refuses or outlives.

#include "ui/hub/hub_connection_panel.h"

#include <gtest/gtest.h>

#include <QGraphicsScene>
#include <QGraphicsView>
#include <QImageReader>
#include <QPainter>
#include <algorithm>
#include <cstring>
#include <fstream>

#include "hub/hub_built_in_images.h"
#include "hub/hub_peer_resource.h"
#include "hub/hub_record.h"
#include "hub_controller_test_support.h"
#include "kit_test_support.h"
#include "platform/devices/manual_audio_device.h"
#include "platform/application_state.h"
#include "platform/png_image.h"
#include "support/recording_logger.h"
#include "ui/kit/context.h"
#include "ui/kit/device_orientation.h"
#include "ui/kit/touch_dispatcher.h"

namespace strombel::ui::hub {
namespace {

using strombel::hub::HubController;
using strombel::hub::HubPeer;
using strombel::hub::testing::Bytes;
using strombel::hub::testing::GraphMessage;
using strombel::hub::testing::SocketHub;

/// The program's side: the controller with one output, a screen in points,
/// the panel over it and a hub on this machine.
struct PanelWorld : strombel::hub::testing::ControllerWorld {
    bool applicationMade = (strombel::testing::application(), true);
    kit::Context context{loop};
    std::unique_ptr<HubController> controller = HubController::create(options());
    platform::ManualAudioDevice engineOutput;
    std::shared_ptr<strombel::hub::HubSenderPort> port = std::make_shared<strombel::hub::HubSenderPort>(
        "Strombel output", "Strombel",
        strombel::hub::AudioComponentDescription{strombel::hub::fourCharCode("auri"),
                                                 strombel::hub::fourCharCode("smpl"),
                                                 strombel::hub::fourCharCode("vlkt"), 0, 0},
        &engineOutput);
    bool portAdded = (controller->addSenderPort(port), true);
    kit::View screen{QRectF(0, 0, 1024, 768)};
    std::unique_ptr<HubConnectionPanel> panel =
        std::make_unique<HubConnectionPanel>(*controller, [this] { return &screen; });
    SocketHub hub{*controller, "Wirehub"};
    uint8_t sequence = 0;

    PanelWorld() { hub.peer->setResourceManager(&controller->resourceManager()); }

    void advance(double seconds) { loop.advance(uint64_t(std::llround(seconds * 1e9))); }

    /// A graph of the hub, this program and `others` (unique id, name), and
    /// `settle` seconds for what follows (by default, till the slide's end).
    void connect(const std::vector<GraphMessage::Peer>& others = {}, double settle = 0.35) {
        GraphMessage graph;
        graph.sequence = ++sequence;
        graph.peers = {{hub.bus->uniqueID(), "Wirehub"}, {"", "strombel"}};
        graph.peers.insert(graph.peers.end(), others.begin(), others.end());
        graph.edges = {{1, port->numericIdentifier(), 0, 77}};
        const Bytes bytes = graph.bytes();
        controller->handleMessageBytes(bytes.data(), bytes.size(), hub.peer);
        loop.runPending();
        advance(settle);
    }
    /// The hub's next graph leaves this program out: the session ends.
    void disconnect() {
        GraphMessage graph;
        graph.sequence = ++sequence;
        graph.peers = {{hub.bus->uniqueID(), "Wirehub"}};
        const Bytes bytes = graph.bytes();
        controller->handleMessageBytes(bytes.data(), bytes.size(), hub.peer);
        loop.runPending();
        advance(0.35);
    }
    std::shared_ptr<HubPeer> connectedPeerNamed(const std::string& name, const std::string& uniqueID) const {
        for (const auto& peer : controller->connectedPeers())
            if (peer->name() == name && peer->uniqueID() == uniqueID) return peer;
        return nullptr;
    }
    int peerButtonCount() const {
        int count = 0;
        for (const auto& peer : controller->connectedPeers()) count += panel->peerButton(peer) != nullptr;
        return count;
    }
    /// Puts `png` in the disk cache as the hub's resource `identifier`.
    void cacheHubResource(uint32_t identifier, const std::vector<uint8_t>& png) {
        const auto path = controller->resourceManager().cacheFileFor(hub.bus->name(), identifier);
        std::filesystem::create_directories(path.parent_path());
        std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(png.data()), std::streamsize(png.size()));
    }
    /// The hub announces button triggers (identifier, icon, colour) on its panel.
    void announceHubTriggers(const std::vector<std::tuple<uint32_t, uint32_t, QColor>>& triggers) {
        platform::TxtRecord metadata = hub.bus->metadata();
        int index = 0;
        for (const auto& [identifier, icon, color] : triggers) {
            Bytes record(35, 0);
            strombel::hub::writeU16(record.data(), 35);
            strombel::hub::writeU32(record.data() + 2, identifier);
            strombel::hub::writeU32(record.data() + 8, icon);
            for (int at : {20, 23, 26}) {
                record[size_t(at)] = uint8_t(color.red());
                record[size_t(at) + 1] = uint8_t(color.green());
                record[size_t(at) + 2] = uint8_t(color.blue());
            }
            metadata["triggers[" + std::to_string(index++) + "]"] = std::string(record.begin(), record.end());
        }
        hub.peer->updateValuesFromMetadata(metadata);
    }
};

/// A `size` PNG: an opaque `color` square in its top-left quarter, clear elsewhere.
std::vector<uint8_t> pngOf(uint32_t size, const QColor& color) {
    std::vector<uint8_t> rgba(size_t(size) * size * 4, 0);
    for (uint32_t y = 0; y < size / 2; ++y) {
        for (uint32_t x = 0; x < size / 2; ++x) {
            uint8_t* pixel = &rgba[(size_t(y) * size + x) * 4];
            pixel[0] = uint8_t(color.red()), pixel[1] = uint8_t(color.green()), pixel[2] = uint8_t(color.blue());
            pixel[3] = 255;
        }
    }
    return platform::PngImage::fromRgba(size, size, rgba)->data();
}

QImage blankAppImage() {
    const auto& bytes = strombel::hub::HubBuiltInImageNamed("Blank-App.png")->png().data();
    QImage blank = QImage::fromData(bytes.data(), int(bytes.size()), "PNG");
    return blank.scaled(76, 76, Qt::IgnoreAspectRatio, Qt::FastTransformation);
}

bool samePixels(QImage a, QImage b) {
    a = a.convertToFormat(QImage::Format_ARGB32_Premultiplied);
    b = b.convertToFormat(QImage::Format_ARGB32_Premultiplied);
    a.setDevicePixelRatio(1);
    b.setDevicePixelRatio(1);
    return a == b;
}

TEST(HubConnectionPanel, PeersWhoseIdAndNameJoinToTheSameTextKeepButtonsOfTheirOwn) {
    PanelWorld world;
    world.connect({{"Loop:er", "Bass"}, {"Loop", "er:Bass"}});
    const auto first = world.connectedPeerNamed("Bass", "Loop:er");
    const auto second = world.connectedPeerNamed("er:Bass", "Loop");
    ASSERT_TRUE(first && second);
    ASSERT_TRUE(world.panel->view());
    HubButton* firstButton = world.panel->peerButton(first);
    HubButton* secondButton = world.panel->peerButton(second);
    ASSERT_TRUE(firstButton && secondButton);
    EXPECT_NE(firstButton, secondButton);
    EXPECT_EQ(world.peerButtonCount(), 3) << "the hub's and one each";

    // Unfolding one leaves the other folded.
    firstButton->triggerAction();
    EXPECT_TRUE(world.panel->insetOf(first));
    EXPECT_FALSE(world.panel->insetOf(second));
}

TEST(HubConnectionPanel, NamesAreTextNeverFormatsAndLongOnesAreCutWithAnEllipsis) {
    PanelWorld world;
    const std::string tricky = "Drum %@ %s %n%d Kit";
    const std::string longName = "Granular Texture Machine With A Name Far Too Long For Any Button";
    // The hub names itself for display with a text full of format marks.
    platform::TxtRecord metadata = world.hub.bus->metadata();
    metadata["displayName"] = tricky;
    world.hub.bus->netServiceDidUpdateTXTRecordData(metadata);
    world.connect({{"B", longName}});
    const auto granular = world.connectedPeerNamed(longName, "B");
    ASSERT_TRUE(granular);

    HubButton* hubButton = world.panel->peerButton(world.hub.peer);
    ASSERT_TRUE(hubButton);
    EXPECT_EQ(hubButton->accessibilityLabel.toStdString(), tricky);
    EXPECT_EQ(hubButton->accessibilityHint.toStdString(), "Open controls for " + tricky);
    hubButton->triggerAction();
    ASSERT_TRUE(world.panel->switchButtonOf(world.hub.peer));
    EXPECT_EQ(world.panel->switchButtonOf(world.hub.peer)->accessibilityLabel.toStdString(), "Open " + tricky);

    HubButton* granularButton = world.panel->peerButton(granular);
    ASSERT_TRUE(granularButton);
    const QString cut = QString::fromStdString(longName).left(39) + QChar(0x2026);
    EXPECT_EQ(granularButton->accessibilityLabel, cut);
    EXPECT_EQ(granularButton->accessibilityLabel.size(), 40);
    EXPECT_EQ(granularButton->accessibilityHint, "Open controls for " + cut);
}

TEST(HubConnectionPanel, TheSwitchToAppArrowIsTintedWhereItIsDrawnAndNowhereElse) {
    PanelWorld world;
    world.connect();
    HubButton* hubButton = world.panel->peerButton(world.hub.peer);
    ASSERT_TRUE(hubButton);
    hubButton->triggerAction();
    HubButton* switchButton = world.panel->switchButtonOf(world.hub.peer);
    ASSERT_TRUE(switchButton);
    const auto& bytes = strombel::hub::HubBuiltInImageNamed("Switch-To-App.png")->png().data();
    const QImage arrow = QImage::fromData(bytes.data(), int(bytes.size()), "PNG").convertToFormat(QImage::Format_ARGB32);
    const QImage shown = switchButton->image(kit::normal).convertToFormat(QImage::Format_ARGB32);
    ASSERT_EQ(shown.size(), arrow.size());
    EXPECT_EQ(shown.devicePixelRatio(), 2.0);
    // The tint takes the arrow's shape: where the picture is clear, so is the
    // button (no grey band beside or under the arrow).
    int band = 0, inked = 0;
    for (int y = 0; y < arrow.height(); ++y)
        for (int x = 0; x < arrow.width(); ++x) {
            band += qAlpha(shown.pixel(x, y)) > qAlpha(arrow.pixel(x, y)) + 2 ? 1 : 0;
            inked += qAlpha(shown.pixel(x, y)) > 0 ? 1 : 0;
        }
    EXPECT_EQ(band, 0);
    EXPECT_GT(inked, 0);
}

TEST(HubConnectionPanel, APositionWithoutAFrameIsRefusedWithAWarning) {
    PanelWorld world;
    world.connect();
    const QRectF shown = world.panel->view()->frame();
    auto logger = std::make_shared<logging::testing::RecordingLogger>();
    logging::Log::addLogger(logger);
    logging::setLogLevel(logging::LogFlagError | logging::LogFlagWarning);
    for (int32_t position : {3, -1, 1000}) world.panel->setPosition(position);
    world.loop.runPending();
    world.advance(1);
    logging::Log::flushLog();
    const auto lines = logger->lines();
    logging::testing::resetLogging();

    ASSERT_EQ(lines.size(), 3u);
    for (const auto& line : lines) EXPECT_NE(line.find("Warning: "), std::string::npos) << line;
    EXPECT_NE(lines[0].find("position 3"), std::string::npos) << lines[0];
    EXPECT_EQ(world.panel->position(), kPanelRight);
    ASSERT_TRUE(world.panel->view()) << "the panel stays where it was";
    EXPECT_EQ(world.panel->view()->frame(), shown);
}

TEST(HubConnectionPanel, WhatAPanelLeftBehindNeverRunsOnItOnceItIsGone) {
    PanelWorld world;
    world.panel.reset();
    // The panel in memory of the test's, so that any late write to it shows.
    alignas(HubConnectionPanel) static unsigned char storage[sizeof(HubConnectionPanel)];
    auto* panel = new (storage) HubConnectionPanel(*world.controller, [&world] { return &world.screen; });
    world.connect();
    ASSERT_TRUE(panel->window());
    // A slide half done and a position change waiting on the loop when the panel goes.
    panel->hideWithFinishBlock({});
    world.advance(0.1);
    panel->setPosition(kPanelLeft);
    panel->~HubConnectionPanel();
    std::memset(storage, 0xA5, sizeof storage);
    EXPECT_TRUE(world.screen.subviews().empty()) << "its layer goes with it";

    world.loop.runPending();
    world.advance(3);
    world.notifications.post(strombel::hub::kHubConnectionsChangedNotification, world.controller.get());
    world.notifications.post(strombel::hub::kHubPeerAttributesChangedNotification, world.controller.get());
    world.notifications.post(strombel::hub::kApplicationWillEnterForegroundNotification);
    world.loop.runPending();
    EXPECT_TRUE(std::all_of(std::begin(storage), std::end(storage), [](unsigned char c) { return c == 0xA5; }))
        << "nothing wrote to the panel after it went";
    EXPECT_TRUE(world.screen.subviews().empty());
}

TEST(HubConnectionPanel, APeerIconThatDoesNotDecodeShowsTheBlankImage) {
    PanelWorld world;
    // Qt refuses images above its allocation limit though the file is sound
    // (and the program does not decode on its loop a cached icon larger than
    // the button).
    world.cacheHubResource(strombel::hub::kHubApplicationIconResourceID, pngOf(1024, Qt::red));
    const int limit = QImageReader::allocationLimit();
    QImageReader::setAllocationLimit(1);
    world.connect();
    QImageReader::setAllocationLimit(limit);
    HubButton* button = world.panel->peerButton(world.hub.peer);
    ASSERT_TRUE(button);
    EXPECT_TRUE(samePixels(button->image(kit::normal), blankAppImage()));

    // One that decodes is shown, resized to the button's pixels.
    world.cacheHubResource(strombel::hub::kHubApplicationIconResourceID, pngOf(64, Qt::red));
    PanelWorld second;
    second.cacheHubResource(strombel::hub::kHubApplicationIconResourceID, pngOf(64, Qt::red));
    second.connect();
    const QImage shown = second.panel->peerButton(second.hub.peer)->image(kit::normal);
    EXPECT_EQ(shown.size(), QSize(76, 76));
    EXPECT_EQ(shown.pixel(10, 10), qRgb(255, 0, 0));
    EXPECT_EQ(qAlpha(shown.pixel(60, 60)), 0);
}

TEST(HubConnectionPanel, TriggerImagesAreKeptPerImageAndColour) {
    PanelWorld world;
    world.cacheHubResource(2000, pngOf(40, Qt::black));
    world.cacheHubResource(2001, pngOf(40, Qt::black));
    // The second icon: its quarter at the bottom right.
    {
        std::vector<uint8_t> rgba(40 * 40 * 4, 0);
        for (int y = 20; y < 40; ++y)
            for (int x = 20; x < 40; ++x) rgba[size_t(y * 40 + x) * 4 + 3] = 255;
        world.cacheHubResource(2001, platform::PngImage::fromRgba(40, 40, rgba)->data());
    }
    world.announceHubTriggers({{11, 2000, Qt::red}, {12, 2000, Qt::blue}, {13, 2001, Qt::red}});
    world.connect();
    world.panel->peerButton(world.hub.peer)->triggerAction();
    HubButton* red = world.panel->triggerButtonOf(world.hub.peer, 11);
    HubButton* blue = world.panel->triggerButtonOf(world.hub.peer, 12);
    HubButton* other = world.panel->triggerButtonOf(world.hub.peer, 13);
    ASSERT_TRUE(red && blue && other);
    const QImage redImage = red->image(kit::normal), blueImage = blue->image(kit::normal),
                 otherImage = other->image(kit::normal);
    EXPECT_EQ(redImage.pixel(5, 5), qRgb(255, 0, 0));
    EXPECT_EQ(blueImage.pixel(5, 5), qRgb(0, 0, 255)) << "the same picture in another colour";
    EXPECT_EQ(qAlpha(otherImage.pixel(5, 5)), 0) << "another picture in the same colour";
    EXPECT_EQ(otherImage.pixel(30, 30), qRgb(255, 0, 0));

    // Short of memory, the program lets the prepared images go.
    EXPECT_EQ(world.panel->cachedImageCount(), 5u) << "three trigger images, the switch-to-app picture, the blank icon";
    world.notifications.post(platform::kApplicationDidReceiveMemoryWarningNotification);
    EXPECT_EQ(world.panel->cachedImageCount(), 0u);
    EXPECT_EQ(red->image(kit::normal).pixel(5, 5), qRgb(255, 0, 0)) << "what shows stays";
}

TEST(HubConnectionPanel, RowsThatDoNotFitScrollInAThinnerPanelWithIndicatorsFlashed) {
    PanelWorld world;
    world.connect({{"1", "Echo"}, {"2", "Tape"}});
    kit::ScrollView* rows = world.panel->containerView();
    ASSERT_TRUE(rows);
    // Three buttons: 6 + 3 × 44 = 138 long, plus the handle's 50.
    EXPECT_EQ(world.panel->view()->size(), QSizeF(59, 188));
    EXPECT_EQ(rows->frame(), QRectF(0, 50, 59, 132));
    EXPECT_EQ(rows->contentSize(), QSizeF(50, 132));
    EXPECT_FALSE(rows->scrolls());
    EXPECT_FALSE(rows->indicatorsVisible());

    std::vector<GraphMessage::Peer> many;
    for (int i = 0; i < 20; ++i) many.push_back({std::to_string(i), "Effect " + std::to_string(i)});
    world.connect(many);
    rows = world.panel->containerView();
    ASSERT_TRUE(rows);
    // 21 buttons: 6 + 21 × 44 = 930, more than the screen's 768 less 50.
    EXPECT_EQ(world.panel->view()->size(), QSizeF(58, 718));
    EXPECT_EQ(rows->frame(), QRectF(0, 50, 58, 662));
    EXPECT_EQ(rows->contentSize(), QSizeF(50, 924));
    EXPECT_TRUE(rows->scrolls());
    EXPECT_TRUE(rows->verticalIndicator()->isVisible()) << "flashed when the rows outgrew the panel";
    world.advance(1.1);
    EXPECT_FALSE(rows->indicatorsVisible());

    // The wheel brings the last peer's button into sight.
    const auto last = world.connectedPeerNamed("Effect 19", "19");
    ASSERT_TRUE(last);
    EXPECT_TRUE(rows->scrollWheel({0, -1000}));
    const QRectF shown = world.panel->peerButton(last)->mapRectToItem(rows, world.panel->peerButton(last)->boundingRect());
    EXPECT_GE(shown.top(), 0);
    EXPECT_LE(shown.bottom(), rows->height());
}

TEST(HubConnectionPanel, AtTheBottomEdgeRowsThatDoNotFitScrollInAPanel58Thick) {
    PanelWorld world;
    world.panel->setPosition(kPanelBottom);
    world.loop.runPending();
    world.connect();
    ASSERT_TRUE(world.panel->view());
    EXPECT_EQ(world.panel->view()->height(), 60) << "50 and the corner's 9, made even";
    std::vector<GraphMessage::Peer> many;
    for (int i = 0; i < 25; ++i) many.push_back({std::to_string(i), "Effect " + std::to_string(i)});
    world.connect(many);
    kit::ScrollView* rows = world.panel->containerView();
    ASSERT_TRUE(rows);
    ASSERT_TRUE(rows->scrolls());
    // 26 buttons: 6 + 26 × 44 = 1150, more than the screen's 1024 less 50.
    EXPECT_EQ(world.panel->view()->size(), QSizeF(974, 58));
    EXPECT_EQ(rows->frame(), QRectF(0, 0, 968, 58));
}

TEST(HubConnectionPanel, ADelegateThatSaysNoKeepsThePanelAway) {
    struct Delegate : HubConnectionPanelDelegate {
        bool answer = false;
        int asked = 0;
        bool connectionPanelShouldAppear(HubConnectionPanel&) override { return ++asked, answer; }
    } delegate;
    PanelWorld world;
    world.panel->setDelegate(&delegate);
    world.connect();
    EXPECT_GE(delegate.asked, 1);
    EXPECT_FALSE(world.panel->visible());
    EXPECT_FALSE(world.panel->view());
    delegate.answer = true;
    world.panel->show();
    world.advance(0.35);
    EXPECT_TRUE(world.panel->visible());
    EXPECT_TRUE(world.panel->view());
}

// The phone's portrait screen takes the window's place after a turn: the
// panel follows it there, after the turn settled or on a return to the
// foreground.
TEST(HubConnectionPanel, ThePanelFollowsTheScreenNowShownAfterATurnOrInTheForeground) {
    const struct {
        const char* name;
        const char* notification;
        double settle;
    } cases[] = {
        {"a turn", kit::DeviceOrientation::kDidChangeNotification, HubConnectionPanel::kOrientationSettleSeconds},
        {"the foreground", platform::kApplicationWillEnterForegroundNotification, 0},
    };
    for (const auto& test : cases) {
        SCOPED_TRACE(test.name);
        PanelWorld world;
        kit::View portrait{QRectF(0, 0, 768, 1024)};
        kit::View* shown = &world.screen;
        world.panel = std::make_unique<HubConnectionPanel>(*world.controller, [&shown] { return shown; });
        world.connect();
        ASSERT_TRUE(world.panel->window());
        ASSERT_EQ(world.panel->window()->superview(), &world.screen);

        shown = &portrait;
        world.notifications.post(test.notification);
        EXPECT_EQ(world.panel->orientationChanging(), test.settle > 0);
        world.advance(test.settle + 0.35);
        EXPECT_FALSE(world.panel->orientationChanging());
        ASSERT_TRUE(world.panel->window());
        EXPECT_EQ(world.panel->window()->superview(), &portrait);
        EXPECT_EQ(world.panel->window()->frame(), QRectF(768 - 70, 0, 70, 1024));
        ASSERT_TRUE(world.panel->view());
        EXPECT_EQ(world.panel->view()->frame().right(), 70 + HubConnectionPanel::kRoundedCornerRadius);
        EXPECT_TRUE(world.panel->visible());
        world.panel.reset();  // before the screens it lies on
    }
}

/// The screen and what lies over it, at twice its points, over a dark grey.
QImage renderScreen(kit::View& screen) {
    QGraphicsScene scene;
    scene.addItem(&screen);
    QImage image((screen.size() * 2).toSize(), QImage::Format_ARGB32_Premultiplied);
    image.fill(QColor(60, 60, 60));
    QPainter painter(&image);
    scene.render(&painter, QRectF(QPointF(), screen.size() * 2), QRectF(QPointF(), screen.size()));
    painter.end();
    scene.removeItem(&screen);
    return image;
}

TEST(HubConnectionPanel, TheHubsThreeControlsUnfoldAtEachEdgeAsDrawn) {
    const struct {
        int32_t position;
        const char* name;
        QRectF window, panel, inset, folded;
    } edges[] = {
        {kPanelRight, "right", {954, 0, 70, 768}, {20, 236, 59, 296}, {6, 50, 38, 189}, {20, 334, 59, 100}},
        {kPanelLeft, "left", {0, 0, 70, 768}, {-9, 236, 59, 296}, {15, 50, 38, 189}, {-9, 334, 59, 100}},
        {kPanelBottom, "bottom", {0, 698, 1024, 70}, {390, 19, 244, 60}, {50, 6, 188, 39}, {487, 19, 50, 60}},
    };
    for (const auto& edge : edges) {
        SCOPED_TRACE(edge.name);
        PanelWorld world;
        world.panel->setPosition(edge.position);
        world.loop.runPending();
        world.announceHubTriggers({{21, 0, Qt::red}, {22, 0, Qt::green}, {23, 0, Qt::blue}});
        world.connect();
        ASSERT_TRUE(world.panel->view());
        EXPECT_EQ(world.panel->window()->frame(), edge.window);
        EXPECT_EQ(world.panel->view()->frame(), edge.folded);
        const QImage folded = renderScreen(world.screen);

        world.panel->peerButton(world.hub.peer)->triggerAction();
        world.advance(0.35);
        EXPECT_EQ(world.panel->view()->frame(), edge.panel);
        HubConnectionPanelInsetView* inset = world.panel->insetOf(world.hub.peer);
        ASSERT_TRUE(inset);
        EXPECT_EQ(inset->frame(), edge.inset) << "3 triggers and the switch to the hub";
        EXPECT_EQ(world.panel->handleDrag()->view()->isVisible(), edge.position != kPanelBottom);
        const QImage unfolded = renderScreen(world.screen);

        std::filesystem::create_directories(STROMBEL_GALLERY_DIR);
        const std::string base = std::string(STROMBEL_GALLERY_DIR) + "/hub_panel_" + edge.name;
        EXPECT_TRUE(folded.save(QString::fromStdString(base + "_folded.png")));
        EXPECT_TRUE(unfolded.save(QString::fromStdString(base + "_unfolded.png")));

        // In the screen's points: the panel's white body, the inset's grey between
        // two controls, and the screen's own grey beside the panel.
        const QPointF origin = edge.window.topLeft() + edge.panel.topLeft();
        const QPointF body = edge.position == kPanelBottom ? QPointF(120, 3) : QPointF(edge.position == kPanelLeft ? 56 : 3, 100);
        const QPointF insetOrigin = origin + (edge.position == kPanelBottom ? QPointF(0, 0) : QPointF(0, 50)) + edge.inset.topLeft();
        const QPointF between = insetOrigin + (edge.position == kPanelBottom ? QPointF(97, 19) : QPointF(19, 97));
        const QPointF beside = edge.position == kPanelBottom ? origin + QPointF(-20, 30) : origin + QPointF(20, -20);
        auto pixel = [&](const QPointF& point) { return QColor(unfolded.pixel((point * 2).toPoint())); };
        EXPECT_EQ(pixel(origin + body), QColor(Qt::white));
        EXPECT_EQ(pixel(between), QColor(230, 230, 230));
        EXPECT_EQ(pixel(beside), QColor(60, 60, 60));
        EXPECT_EQ(QColor(folded.pixel((between * 2).toPoint())) == QColor(230, 230, 230), false) << "no inset while folded";
    }
}

TEST(HubConnectionPanel, ANewPositionSlidesThePanelOutAndInTheSameOneDoesNothing) {
    PanelWorld world;
    world.connect();
    std::vector<std::string> posted;
    for (const char* name : {kHubConnectionPanelShownNotification, kHubConnectionPanelHiddenNotification})
        world.notifications.addObserver(name, world.controller.get(), [&posted, name](const auto&) { posted.push_back(name); });
    world.panel->setPosition(kPanelRight);
    world.loop.runPending();
    world.advance(1);
    EXPECT_TRUE(posted.empty());

    world.panel->setPosition(kPanelLeft);
    world.loop.runPending();
    world.advance(0.15);
    ASSERT_TRUE(world.panel->view());
    EXPECT_GT(world.panel->view()->x(), 20) << "sliding out at the right";
    world.advance(0.5);
    EXPECT_EQ(posted, (std::vector<std::string>{kHubConnectionPanelHiddenNotification, kHubConnectionPanelShownNotification}));
    EXPECT_EQ(world.panel->window()->frame(), QRectF(0, 0, 70, 768));
    ASSERT_TRUE(world.panel->view());
    EXPECT_EQ(world.panel->view()->x(), -9);

    // At the bottom the handle hides and dragging it does nothing.
    world.panel->setPosition(kPanelBottom);
    world.loop.runPending();
    world.advance(0.7);
    ASSERT_TRUE(world.panel->view());
    const QRectF shown = world.panel->view()->frame();
    kit::TouchDispatcher touches(&world.screen);
    strombel::testing::Finger finger(touches, 1);
    HubDrag* drag = world.panel->handleDrag();
    EXPECT_FALSE(drag->view()->isVisible());
    world.panel->dragGesture(*drag);
    finger.down(world.screen, world.panel->view()->mapToScene(QPointF(20, 20)));
    world.advance(0.016);
    finger.move(world.screen, world.panel->view()->mapToScene(QPointF(20, 60)));
    world.advance(0.016);
    finger.up(world.screen, world.panel->view()->mapToScene(QPointF(20, 60)));
    world.advance(0.5);
    EXPECT_TRUE(world.panel->visible());
    EXPECT_EQ(world.panel->view()->frame(), shown);
}

TEST(HubConnectionPanel, UnfoldingGrowsThePanelIn02SecondsAndFoldingShrinksTheInsetAway) {
    PanelWorld world;
    world.announceHubTriggers({{21, 0, Qt::red}, {22, 0, Qt::green}, {23, 0, Qt::blue}});
    world.connect();
    const QRectF folded = world.panel->view()->frame();
    ASSERT_EQ(folded, QRectF(20, 334, 59, 100));
    HubButton* hubButton = world.panel->peerButton(world.hub.peer);
    hubButton->triggerAction();
    world.advance(0.1);
    const QRectF midway = world.panel->view()->frame();
    EXPECT_GT(midway.height(), 100);
    EXPECT_LT(midway.height(), 296);
    EXPECT_NEAR(midway.center().y(), 384, 1) << "it grows about its middle";
    world.advance(0.15);
    EXPECT_EQ(world.panel->view()->frame(), QRectF(20, 236, 59, 296));

    HubConnectionPanelInsetView* inset = world.panel->insetOf(world.hub.peer);
    ASSERT_TRUE(inset);
    hubButton->triggerAction();
    EXPECT_FALSE(world.panel->insetOf(world.hub.peer));
    world.advance(0.1);
    EXPECT_GT(inset->height(), 0);
    EXPECT_LT(inset->height(), 189) << "the folding inset shrinks";
    EXPECT_EQ(inset->width(), 38);
    world.advance(0.15);
    EXPECT_EQ(world.panel->view()->frame(), folded);
    EXPECT_EQ(world.panel->containerView()->contentView()->subviews().size(), 1u) << "the inset went";

    // Another peer joining resizes the shown panel over 0.3 s.
    world.connect({{"7", "Tape"}}, 0.2);
    EXPECT_GT(world.panel->view()->height(), 100);
    EXPECT_LT(world.panel->view()->height(), 144);
    world.advance(0.15);
    EXPECT_EQ(world.panel->view()->height(), 144);
}

/// A pad under the panel that counts how its touches end.
class Pad final : public kit::View {
  public:
    using kit::View::View;
    bool handlesTouches() const override { return true; }
    void touchEnded(const kit::Touch&) override { ++ended; }
    void touchCancelled(const kit::Touch&) override { ++cancelled; }
    int ended = 0, cancelled = 0;
};

/// The panel pushed away while connected, a finger on the screen.
struct PulledWorld : PanelWorld {
    Pad* pad = screen.add(std::make_unique<Pad>(QRectF(0, 0, 1024, 768)));
    kit::TouchDispatcher touches{&screen};
    strombel::testing::Finger finger{touches, 1};
    std::vector<std::string> posted;

    PulledWorld() {
        connect();
        for (const char* name : {kHubConnectionPanelShownNotification, kHubConnectionPanelHiddenNotification})
            notifications.addObserver(name, controller.get(), [this, name](const auto&) { posted.push_back(name); });
        panel->handleTapGesture();
        advance(0.35);
    }
    /// A drag in the screen's points, a move every 16 ms, lifted at once.
    void drag(QPointF from, QPointF to, bool lift = true) {
        finger.down(screen, from);
        for (int step = 1; step <= 5; ++step) {
            advance(0.016);
            finger.move(screen, from + (to - from) * step / 5);
        }
        if (lift) finger.up(screen, to);
    }
};

TEST(HubConnectionPanel, AnEdgeDragFrom30PointsPullsTheTabWhichGoesAfterASecondAndAHalf) {
    PulledWorld world;
    EXPECT_TRUE(world.panel->userHidden());
    EXPECT_FALSE(world.panel->view());
    ASSERT_TRUE(world.panel->topGestureRecognizer()) << "pushed away while connected, the edge listens";

    world.drag({1024 - 31, 300}, {1024 - 61, 300});
    EXPECT_FALSE(world.panel->handleTabView()) << "31 points from the edge is too far in";
    EXPECT_EQ(world.pad->ended, 1) << "the pads keep their touches";

    world.drag({1024 - 30, 300}, {1024 - 60, 300}, false);
    kit::View* tab = world.panel->handleTabView();
    ASSERT_TRUE(tab);
    EXPECT_EQ(tab->frame(), QRectF(70 - 24 + 9, 360, 24, 48)) << "out by no more than its width";
    world.finger.up(world.screen, {1024 - 60, 300});
    EXPECT_EQ(world.pad->ended, 2);
    EXPECT_EQ(world.pad->cancelled, 0);
    world.advance(0.15);
    EXPECT_EQ(tab->frame().x(), 70 - 24 + 9);
    EXPECT_FALSE(world.panel->topGestureRecognizer());
    EXPECT_TRUE(world.panel->tabGestureRecognizer());
    EXPECT_EQ(world.screen.hitTest({1024 - 60, 350}), world.panel->window()) << "near the tab the window keeps touches";

    world.advance(1.3);
    EXPECT_EQ(world.panel->handleTabView(), tab) << "still there after 1.45 s";
    world.advance(0.1);
    EXPECT_FALSE(world.panel->handleTabView());
    EXPECT_FALSE(world.panel->tabGestureRecognizer());
    EXPECT_TRUE(world.panel->topGestureRecognizer()) << "the edge listens again";
    world.advance(0.35);
    EXPECT_TRUE(world.panel->window()->subviews().empty()) << "the tab slid away and went";
    EXPECT_EQ(world.screen.hitTest({1024 - 60, 350}), world.pad);
    EXPECT_FALSE(world.panel->visible());
}

TEST(HubConnectionPanel, AnEdgeDragBackTowardTheEdgeTakesTheTabAway) {
    PulledWorld world;
    world.finger.down(world.screen, {1024 - 10, 300});
    world.advance(0.016);
    world.finger.move(world.screen, {1024 - 30, 300});
    ASSERT_TRUE(world.panel->handleTabView());
    world.advance(0.016);
    world.finger.move(world.screen, {1024 - 5, 300});
    world.finger.up(world.screen, {1024 - 5, 300});
    world.advance(0.35);
    EXPECT_FALSE(world.panel->handleTabView());
    EXPECT_TRUE(world.panel->window()->subviews().empty());
    EXPECT_TRUE(world.panel->topGestureRecognizer());
}

TEST(HubConnectionPanel, DraggingThePulledTabInwardBringsThePanelBackAndOutwardPushesItAway) {
    for (const bool inward : {true, false}) {
        SCOPED_TRACE(inward ? "inward" : "outward");
        PulledWorld world;
        world.drag({1024 - 20, 300}, {1024 - 60, 300});
        world.advance(0.15);
        kit::View* tab = world.panel->handleTabView();
        ASSERT_TRUE(tab);
        const QPointF grip = tab->mapToScene(QPointF(12, 24));
        world.posted.clear();
        const QPointF to = grip + QPointF(inward ? -80 : 10, 0);
        world.drag(grip, to, false);
        ASSERT_TRUE(world.panel->view()) << "the panel comes out with the tab";
        const double shownX = world.panel->panelFrameForView(world.panel->view()->size()).x();
        EXPECT_EQ(world.panel->view()->x(), inward ? shownX : shownX + 59 - 9 + 10)
            << "out by its thickness less its corner at most";
        world.finger.up(world.screen, to);
        world.advance(0.35);
        EXPECT_FALSE(world.panel->handleTabView());
        EXPECT_FALSE(world.panel->tabGestureRecognizer());
        EXPECT_EQ(world.panel->userHidden(), !inward);
        EXPECT_EQ(world.panel->visible(), inward);
        if (inward) {
            ASSERT_TRUE(world.panel->view());
            EXPECT_EQ(world.panel->view()->frame(), world.panel->panelFrameForView(world.panel->view()->size()));
            EXPECT_EQ(world.posted, std::vector<std::string>{kHubConnectionPanelShownNotification});
            EXPECT_FALSE(world.panel->topGestureRecognizer());
        } else {
            EXPECT_FALSE(world.panel->view());
            EXPECT_TRUE(world.panel->topGestureRecognizer());
        }
    }
}

// Pushed away, or with its tab just pulled out, when the session ends: the
// edge pulls nothing out any more, neither a tab nor an empty panel.
TEST(HubConnectionPanel, AfterTheSessionEndsTheEdgePullsNothingOut) {
    for (const bool tabOut : {false, true}) {
        SCOPED_TRACE(tabOut ? "tab pulled out" : "pushed away");
        PulledWorld world;
        if (tabOut) {
            world.drag({1024 - 20, 300}, {1024 - 60, 300});
            world.advance(0.15);
            ASSERT_TRUE(world.panel->handleTabView());
        }
        world.disconnect();
        ASSERT_FALSE(world.controller->connected());
        EXPECT_FALSE(world.panel->topGestureRecognizer());
        EXPECT_FALSE(world.panel->tabGestureRecognizer());
        EXPECT_FALSE(world.panel->handleTabView());
        EXPECT_TRUE(world.panel->window()->isHidden());
        EXPECT_FALSE(world.panel->userHidden());

        // The user tries the edge, and where the tab was, as before.
        world.drag({1024 - 20, 300}, {1024 - 60, 300}, false);
        EXPECT_FALSE(world.panel->handleTabView());
        world.finger.up(world.screen, {1024 - 60, 300});
        world.drag({1024 - 12, 384}, {1024 - 100, 384});
        world.advance(0.35);
        EXPECT_FALSE(world.panel->view());
        EXPECT_FALSE(world.panel->visible());
        EXPECT_EQ(world.screen.hitTest({1024 - 10, 384}), world.pad);
    }
}

// The screen shown at twice its size by a window of the desktop, as the phones'
// screens are: the panel keeps its size on the desktop (its layer drawn at
// half), pulls out from 30 of the desktop's points (15 of the screen's), and
// takes its size again when the window is resized.
TEST(HubConnectionPanel, OverAMagnifiedScreenThePanelKeepsItsSizeOnTheDesktop) {
    struct MagnifiedWorld : PanelWorld {
        QGraphicsScene scene;
        QGraphicsView window{&scene};
        kit::TouchDispatcher touches{&screen};
        strombel::testing::Finger finger{touches, 1};
        MagnifiedWorld() {
            scene.addItem(&screen);
            window.setTransform(QTransform::fromScale(2, 2));
            window.resize(2100, 1600);
            window.show();
            QApplication::processEvents();
        }
        ~MagnifiedWorld() { scene.removeItem(&screen); }
    } world;
    world.connect();
    HubConnectionPanelWindow* layer = world.panel->window();
    ASSERT_TRUE(layer && world.panel->view());
    EXPECT_EQ(layer->scale(), 0.5);
    EXPECT_EQ(layer->frame(), QRectF((2048 - 70) / 2.0, 0, 70, 1536)) << "35 of the screen's points";
    const QRectF shown = layer->mapRectToParent(world.panel->view()->frame());
    EXPECT_EQ(shown.left(), 1024 - 25) << "25 of the screen's points in sight";

    world.panel->handleTapGesture();
    world.advance(0.35);
    for (const double fromEdge : {16.0, 14.0}) {
        world.finger.down(world.screen, {1024 - fromEdge, 700});
        world.advance(0.016);
        world.finger.move(world.screen, {1024 - fromEdge - 20, 700});
        world.finger.up(world.screen, {1024 - fromEdge - 20, 700});
        EXPECT_EQ(world.panel->handleTabView() != nullptr, fromEdge < 15) << fromEdge << " from the edge";
    }
    kit::View* tab = world.panel->handleTabView();
    ASSERT_TRUE(tab);
    world.advance(0.15);
    EXPECT_EQ(layer->mapRectToParent(tab->frame()).left(), 1024 - (24 - 9) / 2.0) << "15 of the desktop's points out";

    world.window.setTransform(QTransform());
    world.window.resize(1100, 800);
    QApplication::processEvents();
    world.loop.runPending();
    EXPECT_EQ(layer->scale(), 1);
    EXPECT_EQ(layer->frame(), QRectF(1024 - 70, 0, 70, 768));
}

}  // namespace
}  // namespace strombel::ui::hub
