#pragma once

// What the files of the hub controller share, and nothing for anyone else. The
// controller is one class in several files, one concern each:
//   hub_controller.cpp             start-up and teardown, ports, publication
//   hub_controller_triggers.cpp    this application's triggers and what peers do to them
//   hub_controller_graph.cpp       connection state and the graph the hub sends
//   hub_controller_peers.cpp       peers coming and going, their icons, activation
//   hub_controller_messages.cpp    the checks on the listener thread, and the
//                                  handlers of port attributes, state and hosting
//   hub_controller_acceptance.cpp  signed connection states and accepting a hub

#include <cstdint>
#include <memory>
#include <string>

#include "hub/hub_peer.h"
#include "platform/clock.h"

namespace strombel::hub::controller_parts {

inline constexpr uint64_t kCoalesceNanos = 10 * platform::kNanosPerMillisecond;
// Lines of refused signed messages; their addresses tell their kinds apart, so
// each is one array that every file of the controller shares.
inline constexpr char kInvalidMessageFromPeer[] = "Invalid message from peer {}";
inline constexpr char kInvalidStatePullFrom[] = "Invalid state pull from {}";

inline bool endsWith(const std::string& text, const std::string& end) {
    return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

inline std::string describe(const std::shared_ptr<HubPeer>& peer) { return peer ? peer->description() : "(none)"; }

}  // namespace strombel::hub::controller_parts
