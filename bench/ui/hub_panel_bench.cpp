// The hub's connection panel with 12 peers of 8 controls each, all unfolded:
// its layout, and its layer rendered offscreen at scale 2 beside the pad
// screen's frame at scale 2 in the same run.
//
//   QT_QPA_PLATFORM=offscreen build/bench/ui/bench_hub_panel
//
// Goal: the panel's render at most a quarter of the pad screen's; the layout
// well under a millisecond.

#include <benchmark/benchmark.h>

#include <QApplication>
#include <QGraphicsScene>
#include <QPainter>

#include "hub/hub_record.h"
#include "hub_controller_test_support.h"
#include "platform/devices/manual_audio_device.h"
#include "platform/png_image.h"
#include "support/program_start.h"
#include "support/temp_dir.h"
#include "ui/hub/hub_connection_panel.h"
#include "ui/kit/context.h"

namespace {

using namespace strombel;
using hub::testing::Bytes;
using hub::testing::GraphMessage;
using hub::testing::SocketHub;

QApplication& application() {
    static int argc = 1;
    static char name[] = "bench_hub_panel";
    static char* argv[] = {name, nullptr};
    static QApplication* app = new QApplication(argc, argv);
    return *app;
}

/// The program up to its first frame, for the pad screen beside the panel.
struct PadScreen {
    strombel::testing::TempDir dir;
    strombel::testing::ProgramStart started{dir.path() / "root"};
};

/// A 40-point picture, opaque in its top-left quarter.
std::vector<uint8_t> icon() {
    std::vector<uint8_t> rgba(80 * 80 * 4, 0);
    for (int y = 0; y < 40; ++y)
        for (int x = 0; x < 40; ++x) rgba[size_t(y * 80 + x) * 4 + 3] = 255;
    return platform::PngImage::fromRgba(80, 80, rgba)->data();
}

/// The controller, twelve peers on this machine with eight controls each, and
/// the panel with every peer unfolded.
struct PanelScene : hub::testing::ControllerWorld {
    PanelScene() {
        controller->addSenderPort(port);
        const auto picture = icon();
        GraphMessage graph;
        graph.peers = {{"", "strombel"}};
        for (int i = 0; i < 12; ++i) {
            char device[32];
            std::snprintf(device, sizeof device, "0A:1B:2C:3D:4E:%02X", i);
            auto peer = std::make_unique<SocketHub>(*controller, "Synth " + std::to_string(i), "127.0.0.1", device);
            peer->peer->setResourceManager(&controller->resourceManager());
            platform::TxtRecord metadata = peer->bus->metadata();
            for (uint32_t t = 0; t < 8; ++t) {
                const uint32_t image = 2000 + t;
                const auto path = controller->resourceManager().cacheFileFor(peer->bus->name(), image);
                std::filesystem::create_directories(path.parent_path());
                std::ofstream(path, std::ios::binary)
                    .write(reinterpret_cast<const char*>(picture.data()), std::streamsize(picture.size()));
                Bytes record(35, 0);
                hub::writeU16(record.data(), 35);
                hub::writeU32(record.data() + 2, 100 + t);
                hub::writeU32(record.data() + 8, image);
                record[20] = uint8_t(t * 30);
                metadata["triggers[" + std::to_string(t) + "]"] = std::string(record.begin(), record.end());
            }
            peer->peer->updateValuesFromMetadata(metadata);
            graph.peers.push_back({peer->bus->uniqueID(), peer->bus->name()});
            hubs.push_back(std::move(peer));
        }
        std::swap(graph.peers[0], graph.peers[1]);  // the first synth is the hub
        graph.edges = {{1, port->numericIdentifier(), 0, 77}};
        const Bytes bytes = graph.bytes();
        controller->handleMessageBytes(bytes.data(), bytes.size(), hubs.front()->peer);
        loop.runPending();
        loop.advance(400'000'000);
        for (const auto& peer : controller->connectedPeers())
            if (auto* button = panel->peerButton(peer)) button->triggerAction();
        loop.advance(400'000'000);
    }
    QImage render() {
        auto* layer = panel->window();
        QImage image((layer->size() * 2).toSize(), QImage::Format_ARGB32_Premultiplied);
        image.fill(Qt::transparent);
        QPainter painter(&image);
        screen.scene()->render(&painter, QRectF(QPointF(), layer->size() * 2), layer->frame());
        return image;
    }

    ui::kit::Context context{loop};
    std::unique_ptr<hub::HubController> controller = hub::HubController::create(options());
    platform::ManualAudioDevice engineOutput;
    std::shared_ptr<hub::HubSenderPort> port = std::make_shared<hub::HubSenderPort>(
        "Strombel output", "Strombel",
        hub::AudioComponentDescription{hub::fourCharCode("auri"), hub::fourCharCode("smpl"),
                                       hub::fourCharCode("vlkt"), 0, 0},
        &engineOutput);
    QGraphicsScene scene;
    ui::kit::View& screen = *[this] {
        auto* view = new ui::kit::View(QRectF(0, 0, 1024, 768));
        scene.addItem(view);
        return view;
    }();
    std::unique_ptr<ui::hub::HubConnectionPanel> panel =
        std::make_unique<ui::hub::HubConnectionPanel>(*controller, [this] { return &screen; });
    std::vector<std::unique_ptr<SocketHub>> hubs;
};

PadScreen& padScreen() {
    application();
    static PadScreen* made = new PadScreen;  // lives to the end of the run
    return *made;
}

PanelScene& panelScene() {
    padScreen();  // made first: the contexts nest
    static PanelScene* made = new PanelScene;
    return *made;
}

void RenderPadScreenAtScale2(benchmark::State& state) {
    auto& pads = padScreen();
    for (auto _ : state) benchmark::DoNotOptimize(pads.started.program->window().render(2.0));
}
BENCHMARK(RenderPadScreenAtScale2)->Unit(benchmark::kMillisecond);

void RenderHubPanelOf12PeersAtScale2(benchmark::State& state) {
    auto& scene = panelScene();
    int buttons = 0;
    for (const auto& peer : scene.controller->connectedPeers()) buttons += scene.panel->insetOf(peer) != nullptr;
    if (buttons != 12) state.SkipWithError("not every peer unfolded");
    for (auto _ : state) benchmark::DoNotOptimize(scene.render());
}
BENCHMARK(RenderHubPanelOf12PeersAtScale2)->Unit(benchmark::kMillisecond);

void LayoutHubPanelOf12Peers(benchmark::State& state) {
    auto& scene = panelScene();
    for (auto _ : state) scene.panel->layout();
}
BENCHMARK(LayoutHubPanelOf12Peers)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
