#include "hub/hub_trigger.h"

#include <fmt/format.h>

#include <atomic>
#include <cstdio>
#include <utility>

namespace strombel::hub {

namespace {

// Identifiers for triggers the controller does not number itself.
uint32_t nextTriggerIdentifier() {
    static std::atomic<uint32_t> counter{0};
    for (;;) {
        const uint32_t identifier = counter.fetch_add(1, std::memory_order_relaxed) + 1;
        const bool reserved = identifier == 0 || identifier == kHubBypassTriggerIdentifier ||
                              (identifier >= kHubVolumeTriggerIdentifier && identifier < kHubVolumeTriggerIdentifier + 0x10000);
        if (!reserved) return identifier;
    }
}

}  // namespace

HubTrigger::HubTrigger(Block block, platform::NotificationCenter& center)
    : block_(std::move(block)), center_(center), numericIdentifier_(nextTriggerIdentifier()) {}

void HubTrigger::setState(int32_t state) {
    state_ = state;
    postAttributeChanged();
}

void HubTrigger::fire(const PortSet& ports) {
    if (block_) block_(*this, ports);
}

void HubTrigger::postAttributeChanged() { center_.post(kHubTriggerAttributeChangedNotification, this); }

std::shared_ptr<HubButtonTrigger> HubTrigger::triggerWithSystemType(int32_t systemType, SimpleBlock block,
                                                                    platform::NotificationCenter& center) {
    if (systemType < Record || systemType > Skip) {
        fmt::print(stderr, "Warning: No such Wirehub trigger type\n");
        return nullptr;
    }
    auto trigger = std::make_shared<HubButtonTrigger>(std::move(block), center);
    trigger->systemType_ = systemType;
    // The system titles and icons are set directly: nothing observes a new trigger yet.
    switch (systemType) {
        case Record:
            trigger->title_ = "Start Recording";
            trigger->icon_ = "Record.png";
            trigger->selectedTitle_ = "Stop Recording";
            trigger->selectedColor_ = {0.749, 0.0, 0.067, 1};
            trigger->selectedColorSet_ = true;
            trigger->alternateTitle_ = "Recording Primed";
            break;
        case TogglePlay:
            trigger->title_ = "Start Playback";
            trigger->icon_ = "Play.png";
            trigger->selectedTitle_ = "Stop Playback";
            trigger->selectedIcon_ = "Pause.png";
            trigger->selectedColor_ = HubColor::white(0.5);
            trigger->selectedColorSet_ = true;
            break;
        case Rewind:
            trigger->title_ = "Rewind";
            trigger->icon_ = "Rewind.png";
            break;
        case Skip:
            trigger->title_ = "Skip";
            trigger->icon_ = "Skip.png";
            break;
    }
    return trigger;
}

HubButtonTrigger::HubButtonTrigger(Block block, platform::NotificationCenter& center)
    : HubTrigger(std::move(block), center) {}

HubButtonTrigger::HubButtonTrigger(SimpleBlock block, platform::NotificationCenter& center)
    : HubTrigger(
          [block = std::move(block)](HubTrigger&, const PortSet&) {
              if (block) block();
          },
          center) {}

const std::string& HubButtonTrigger::titleForState(int32_t state) const {
    if (state == Alternate) return alternateTitle_;
    if (state == Selected) return selectedTitle_;
    return title_;
}

const std::string& HubButtonTrigger::iconForState(int32_t state) const {
    if (state == Alternate) return alternateIcon_;
    if (state == Selected) return selectedIcon_;
    return icon_;
}

HubColor HubButtonTrigger::colorForState(int32_t state) const {
    if (state == Alternate) return alternateColor_;
    if (state == Selected) return selectedColor_;
    return color_;
}

void HubButtonTrigger::setTitle(const std::string& title, int32_t state) {
    if (state == Normal) title_ = title;
    else if (state == Selected) selectedTitle_ = title;
    else if (state == Alternate) alternateTitle_ = title;
    else fmt::print(stderr, "Warning: Setting title for this trigger state not supported\n");
    postAttributeChanged();
}

void HubButtonTrigger::setIcon(const std::string& icon, int32_t state) {
    if (state == Normal) {
        icon_ = icon;
    } else if (state == Selected) {
        selectedIcon_ = icon;
        if (!selectedColorSet_) selectedColor_ = HubColor::white(0.5);
    } else if (state == Alternate) {
        alternateIcon_ = icon;
    } else {
        fmt::print(stderr, "Warning: Setting icon for this trigger state not supported\n");
    }
    postAttributeChanged();
}

void HubButtonTrigger::setColor(const HubColor& color, int32_t state) {
    if (state == Normal) {
        color_ = color;
    } else if (state == Selected) {
        selectedColor_ = color;
        selectedColorSet_ = true;
    } else if (state == Alternate) {
        alternateColor_ = color;
    } else {
        fmt::print(stderr, "Warning: Setting color for this trigger state not supported\n");
    }
    postAttributeChanged();
}

HubVariableTrigger::HubVariableTrigger(Block block, platform::NotificationCenter& center)
    : HubTrigger(std::move(block), center) {}

std::shared_ptr<HubVariableTrigger> HubVariableTrigger::variableTriggerWithTitle(std::string title, Block block,
                                                                                platform::NotificationCenter& center) {
    auto trigger = std::make_shared<HubVariableTrigger>(std::move(block), center);
    trigger->setTitle(std::move(title));
    return trigger;
}

void HubVariableTrigger::setValue(float value) {
    value_ = value;
    postAttributeChanged();
}
void HubVariableTrigger::setMinimumValue(float value) {
    minimumValue_ = value;
    postAttributeChanged();
}
void HubVariableTrigger::setMaximumValue(float value) {
    maximumValue_ = value;
    postAttributeChanged();
}
void HubVariableTrigger::setDisplayType(int32_t type) {
    displayType_ = type;
    postAttributeChanged();
}
void HubVariableTrigger::setTitle(std::string title) {
    title_ = std::move(title);
    postAttributeChanged();
}
void HubVariableTrigger::setMinimumImage(std::string image) {
    minimumImage_ = std::move(image);
    postAttributeChanged();
}
void HubVariableTrigger::setMaximumImage(std::string image) {
    maximumImage_ = std::move(image);
    postAttributeChanged();
}

}  // namespace strombel::hub
