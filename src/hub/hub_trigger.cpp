#include "hub/hub_trigger.h"

#include <fmt/format.h>

#include <cstdio>
#include <utility>

namespace strombel::hub {

HubTrigger::HubTrigger(Block block, platform::NotificationCenter& center)
    : block_(std::move(block)), center_(center) {}

void HubTrigger::setState(int32_t state) {
    state_ = state;
    postAttributeChanged();
}

void HubTrigger::fire() const {
    if (block_) block_();
}

void HubTrigger::postAttributeChanged() { center_.post(kHubTriggerAttributeChangedNotification, this); }

std::shared_ptr<HubButtonTrigger> HubTrigger::triggerWithSystemType(int32_t systemType, Block block,
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

}  // namespace strombel::hub
