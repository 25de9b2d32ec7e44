#pragma once

// src/hub/: the inter-app audio hub: the message bus and the controller with its
// sender port and triggers.
// May include: platform, platform/devices, logging.

#include <cstdint>
#include <memory>
#include <vector>

#include "hub/hub_port.h"
#include "hub/hub_trigger.h"
#include "platform/notification_center.h"

namespace strombel::hub {

/// Posted (sender: the controller) whenever the hub's connections of this
/// application change.
inline constexpr const char* kHubConnectionsChangedNotification = "HubConnectionsChangedNotification";

/// The hub's check helper: when `condition` is false, prints "file:line: message"
/// and stops the process. Misuse of the controller stops here.
void HubVerify(bool condition, const char* message, const char* file, int line);

/// The inter-app audio controller: the application's ports and triggers as it
/// publishes them to the hub. The application makes one at launch and keeps it.
/// This is the controller without its session: nothing is discovered or
/// connected yet, so `connected()` is false and no change is ever posted.
class HubController {
public:
    explicit HubController(platform::NotificationCenter& center = platform::NotificationCenter::shared());

    /// Registers a sender port. A port that is not a sender, or whose name is
    /// already taken, stops the process with the hub's assertion message.
    void addSenderPort(std::shared_ptr<HubPort> port);

    /// Adds a trigger and shows it in the connection panel.
    void addTrigger(std::shared_ptr<HubTrigger> trigger) { addTrigger(std::move(trigger), true); }
    void addTrigger(std::shared_ptr<HubTrigger> trigger, bool showInConnectionPanel);

    /// True when the application takes part in the hub's connection graph or any of
    /// its ports is connected.
    bool connected() const;

    void setConnectionPanelPosition(int32_t position) { connectionPanelPosition_ = position; }
    int32_t connectionPanelPosition() const { return connectionPanelPosition_; }

    const std::vector<std::shared_ptr<HubPort>>& senderPorts() const { return senderPorts_; }
    /// The triggers shown in the panel, ordered rewind, toggle play, record, custom.
    const std::vector<std::shared_ptr<HubTrigger>>& triggers() const { return triggers_; }
    const std::vector<std::shared_ptr<HubTrigger>>& offPanelTriggers() const { return offPanelTriggers_; }

    platform::NotificationCenter& notificationCenter() const { return center_; }

private:
    platform::NotificationCenter& center_;
    std::vector<std::shared_ptr<HubPort>> senderPorts_;
    std::vector<std::shared_ptr<HubTrigger>> triggers_;
    std::vector<std::shared_ptr<HubTrigger>> offPanelTriggers_;
    int32_t connectionPanelPosition_ = 0;
    uint32_t nextTriggerIdentifier_ = 1;
};

}  // namespace strombel::hub
