#include "hub/hub_controller.h"

#include <fmt/format.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <utility>

namespace strombel::hub {

void HubVerify(bool condition, const char* message, const char* file, int line) {
    if (condition) return;
    fmt::print(stderr, "{}:{}: {}\n", file, line, message);
    std::fflush(stderr);
    std::abort();
}

namespace {

// Panel order: rewind, toggle play, record, then custom triggers.
int rankOf(int32_t systemType) {
    switch (systemType) {
        case HubTrigger::Rewind: return 0;
        case HubTrigger::TogglePlay: return 1;
        case HubTrigger::Record: return 2;
        case HubTrigger::None: return 3;
        default: return -1;
    }
}

void sortTriggers(std::vector<std::shared_ptr<HubTrigger>>& triggers) {
    std::stable_sort(triggers.begin(), triggers.end(), [](const auto& left, const auto& right) {
        int leftRank = rankOf(left->systemType());
        int rightRank = rankOf(right->systemType());
        if (leftRank < 0 || rightRank < 0) return false;  // unknown types compare as the same
        return leftRank < rightRank;
    });
}

}  // namespace

HubController::HubController(platform::NotificationCenter& center) : center_(center) {}

void HubController::addSenderPort(std::shared_ptr<HubPort> port) {
    HubVerify(port && port->type() == HubPort::Sender, "You must provide a sender port", __FILE__, __LINE__);
    bool unique = std::none_of(senderPorts_.begin(), senderPorts_.end(),
                               [&](const auto& existing) { return existing->name() == port->name(); });
    HubVerify(unique, "You must provide a unique port name", __FILE__, __LINE__);
    senderPorts_.push_back(std::move(port));
}

void HubController::addTrigger(std::shared_ptr<HubTrigger> trigger, bool showInConnectionPanel) {
    if (!trigger) return;
    trigger->setNumericIdentifier(nextTriggerIdentifier_++);
    auto& list = showInConnectionPanel ? triggers_ : offPanelTriggers_;
    list.push_back(std::move(trigger));
    sortTriggers(list);
}

bool HubController::connected() const {
    return std::any_of(senderPorts_.begin(), senderPorts_.end(),
                       [](const auto& port) { return port->connected(); });
}

}  // namespace strombel::hub
