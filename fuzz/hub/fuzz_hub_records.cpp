// Reads hostile hub records: the connection graph (type 7 message), port
// records, trigger records, and a peer's metadata made of them. The first byte
// picks the reader; the rest is the record. Nothing may read outside the input,
// and a graph's nodes must link only nodes of the same graph.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "hub/hub_connection_graph.h"
#include "hub/hub_peer.h"
#include "hub/hub_port.h"
#include "hub/hub_remote_trigger.h"
#include "platform/notification_center.h"

using namespace strombel;
using namespace strombel::hub;

namespace {

void readGraph(const std::vector<uint8_t>& bytes) {
    platform::NotificationCenter center;
    auto self = std::make_shared<HubSelfPeer>(platform::SystemClock::shared());
    HubRegistry registry(self, center);
    auto graph = HubConnectionGraph::withDataRepresentation(bytes.data(), bytes.size(), registry);
    if (!graph) return;
    for (const auto* node : graph->nodes()) {
        for (auto* linked : node->sources()) {
            if (graph->nodeForPort(linked->port().get()) != linked) std::abort();
            const auto back = linked->destinations();
            if (std::find(back.begin(), back.end(), node) == back.end()) std::abort();
        }
        int visited = 0;
        node->iterateDownstreamNodesWithBlock([&](HubConnectionGraphNode&) { ++visited; });
        if (visited > int(graph->nodes().size())) std::abort();
        (void)node->upstreamChainIsEqual(node);
    }
}

void readPort(const std::vector<uint8_t>& bytes) {
    (void)HubPort::portNameFromDataRepresentation(bytes);
    (void)HubPort::portAudioComponentDescriptionFromDataRepresentation(bytes);
    auto port = HubPort::standinPortWithPeer(nullptr, HubPort::Receiver);
    if (port->loadFromDataRepresentation(bytes)) {
        // What was read writes back as a record that reads again.
        auto again = HubPort::standinPortWithPeer(nullptr, HubPort::Receiver);
        if (!again->loadFromDataRepresentation(port->dataRepresentationWithResourceHost(nullptr))) std::abort();
    }
}

void readTrigger(const std::vector<uint8_t>& bytes) {
    (void)HubRemoteTrigger::identifierFromDataRepresentation(bytes);
    auto trigger = HubRemoteTrigger::remoteTriggerWithPeer(nullptr, bytes, nullptr);
    if (trigger) (void)trigger->remoteResourceIDsToLoad();
}

// The input as metadata: entries separated by 0xFF, each "key\0value".
void readMetadata(const std::vector<uint8_t>& bytes) {
    platform::TxtRecord metadata;
    size_t start = 0;
    for (size_t i = 0; i <= bytes.size(); ++i) {
        if (i < bytes.size() && bytes[i] != 0xFF) continue;
        std::string entry(bytes.begin() + long(start), bytes.begin() + long(i));
        const size_t split = entry.find('\0');
        if (split != std::string::npos) metadata[entry.substr(0, split)] = entry.substr(split + 1);
        start = i + 1;
    }
    auto peer = std::make_shared<HubPeer>(platform::SystemClock::shared());
    peer->updateValuesFromMetadata(metadata);
    peer->updateValuesFromMetadata(metadata);
    (void)peer->panelTriggers();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    const std::vector<uint8_t> bytes(data + 1, data + size);
    switch (data[0] % 4) {
        case 0: readGraph(bytes); break;
        case 1: readPort(bytes); break;
        case 2: readTrigger(bytes); break;
        default: readMetadata(bytes); break;
    }
    return 0;
}
