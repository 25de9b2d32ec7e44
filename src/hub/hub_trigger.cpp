#include "hub/hub_trigger.h"

#include <fmt/format.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <utility>

#include "hub/bus_message.h"
#include "hub/hub_built_in_images.h"
#include "hub/hub_peer_resource.h"
#include "hub/hub_record.h"
#include "platform/localized_strings.h"
#include "platform/main_bundle.h"
#include "platform/utf8_cut.h"

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

uint32_t registered(const std::shared_ptr<HubImage>& image, HubPeerResourceHost* host) {
    return image && host ? host->addImageResource(*image) : 0;
}

uint8_t colorComponent(double component) {
    if (std::isnan(component)) return 0;
    return uint8_t(std::clamp(component, 0.0, 1.0) * 255);
}

void writeColor(uint8_t* p, hub_color_t color) {
    p[0] = color.red;
    p[1] = color.green;
    p[2] = color.blue;
}

std::string localized(const char* key) { return platform::localizedString(platform::MainBundle::shared(), key); }

}  // namespace

HubTrigger::HubTrigger(Block block, platform::NotificationCenter& center)
    : block_(std::move(block)), center_(center), ownIdentifier_(nextTriggerIdentifier()) {}

std::shared_ptr<HubButtonTrigger> HubTrigger::triggerWithTitle(std::string title, std::shared_ptr<HubImage> icon,
                                                               Block block, platform::NotificationCenter& center) {
    return HubButtonTrigger::buttonTriggerWithTitle(std::move(title), std::move(icon), std::move(block), center);
}

void HubTrigger::setState(int32_t state) {
    state_ = state;
    postAttributeChanged();
}

void HubTrigger::fire(const PortSet& ports) {
    if (block_) block_(*this, ports);
}

void HubTrigger::postAttributeChanged() { center_.post(kHubTriggerAttributeChangedNotification, this); }

int HubTrigger::rankOfSystemType(int32_t systemType) {
    switch (systemType) {
        case Rewind: return 0;
        case TogglePlay: return 1;
        case Record: return 2;
        case None: return 3;
        case Skip: return 4;
        default: return 5;
    }
}

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
            trigger->title_ = localized("Start Recording");
            trigger->icon_ = HubBuiltInImageNamed("Record.png");
            trigger->selectedTitle_ = localized("Stop Recording");
            trigger->selectedColor_ = {0.749, 0.0, 0.067, 1};
            trigger->selectedColorSet_ = true;
            trigger->alternateTitle_ = localized("Recording Primed");
            break;
        case TogglePlay:
            trigger->title_ = localized("Start Playback");
            trigger->icon_ = HubBuiltInImageNamed("Play.png");
            trigger->selectedTitle_ = localized("Stop Playback");
            trigger->selectedIcon_ = HubBuiltInImageNamed("Pause.png");
            trigger->selectedColor_ = HubColor::white(0.5);
            trigger->selectedColorSet_ = true;
            break;
        case Rewind:
            trigger->title_ = localized("Rewind");
            trigger->icon_ = HubBuiltInImageNamed("Rewind.png");
            break;
        case Skip:
            trigger->title_ = localized("Skip");
            trigger->icon_ = HubBuiltInImageNamed("Skip.png");
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

std::shared_ptr<HubButtonTrigger> HubButtonTrigger::buttonTriggerWithTitle(std::string title,
                                                                          std::shared_ptr<HubImage> icon, Block block,
                                                                          platform::NotificationCenter& center) {
    auto trigger = std::make_shared<HubButtonTrigger>(std::move(block), center);
    trigger->title_ = std::move(title);
    trigger->icon_ = std::move(icon);
    return trigger;
}

const std::string& HubButtonTrigger::titleForState(int32_t state) const {
    if (state == Alternate) return alternateTitle_;
    if (state == Selected) return selectedTitle_;
    return title_;
}

const std::shared_ptr<HubImage>& HubButtonTrigger::iconForState(int32_t state) const {
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

void HubButtonTrigger::setIcon(std::shared_ptr<HubImage> icon, int32_t state) {
    if (state == Normal) {
        icon_ = std::move(icon);
    } else if (state == Selected) {
        selectedIcon_ = std::move(icon);
        if (!selectedColorSet_) selectedColor_ = HubColor::white(0.5);
    } else if (state == Alternate) {
        alternateIcon_ = std::move(icon);
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

hub_color_t HubButtonTrigger::extractComponentsFromColor(const HubColor* color) {
    if (!color) return {};
    return {colorComponent(color->red), colorComponent(color->green), colorComponent(color->blue)};
}

std::vector<uint8_t> HubButtonTrigger::dataRepresentationWithResourceHost(HubPeerResourceHost* host) const {
    const std::string_view titles[3] = {platform::cutAtCharacter(title_, 65535), platform::cutAtCharacter(selectedTitle_, 65535),
                                        platform::cutAtCharacter(alternateTitle_, 65535)};
    std::vector<uint8_t> record(35, 0);
    writeU16(record.data(), 35);
    writeU32(record.data() + 2, numericIdentifier());
    record[6] = controlType();
    record[7] = uint8_t(state());
    writeU32(record.data() + 8, registered(icon_, host));
    writeU32(record.data() + 12, registered(selectedIcon_, host));
    writeU32(record.data() + 16, registered(alternateIcon_, host));
    const hub_color_t normal = extractComponentsFromColor(recordColor());
    writeColor(record.data() + 20, normal);
    writeColor(record.data() + 23, extractComponentsFromColor(&selectedColor_));
    writeColor(record.data() + 26, extractComponentsFromColor(&alternateColor_));
    for (int i = 0; i < 3; ++i) {
        writeU16(record.data() + 29 + 2 * i, uint16_t(titles[i].size()));
        record.insert(record.end(), titles[i].begin(), titles[i].end());
    }
    return record;
}

std::shared_ptr<HubAnimatedTrigger> HubAnimatedTrigger::animatedTriggerWithTitle(std::string title,
                                                                               std::shared_ptr<HubImage> initialIcon,
                                                                               Block block,
                                                                               platform::NotificationCenter& center) {
    auto trigger = std::make_shared<HubAnimatedTrigger>(std::move(block), center);
    trigger->setTitle(title, Normal);
    trigger->setIcon(std::move(initialIcon), Normal);
    return trigger;
}

std::shared_ptr<HubImage> HubAnimatedTrigger::frameForIdentifier(uint32_t identifier) const {
    auto it = frames_.find(identifier);
    return it == frames_.end() ? nullptr : it->second;
}

void HubAnimatedTrigger::setCurrentFrameIdentifier(uint32_t identifier) {
    currentFrameIdentifier_ = identifier;
    if (auto frame = frameForIdentifier(identifier)) {
        setIcon(frame, Normal);
    } else {
        fmt::print(stderr, "Warning: No such animated trigger frame for identifier {}\n", identifier);
    }
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
void HubVariableTrigger::setMinimumImage(std::shared_ptr<HubImage> image) {
    minimumImage_ = std::move(image);
    postAttributeChanged();
}
void HubVariableTrigger::setMaximumImage(std::shared_ptr<HubImage> image) {
    maximumImage_ = std::move(image);
    postAttributeChanged();
}

std::vector<uint8_t> HubVariableTrigger::dataRepresentationWithResourceHost(HubPeerResourceHost* host) const {
    const std::string_view title = platform::cutAtCharacter(title_, 65535);
    std::vector<uint8_t> record(43, 0);
    writeU16(record.data(), 43);
    writeU32(record.data() + 2, numericIdentifier());
    record[6] = VariableControl;
    record[7] = uint8_t(state());
    record[8] = uint8_t(displayType_);
    writeF64BigEndian(record.data() + 9, value_);
    writeF64BigEndian(record.data() + 17, maximumValue_);
    writeF64BigEndian(record.data() + 25, minimumValue_);
    writeU32(record.data() + 33, registered(minimumImage_, host));
    writeU32(record.data() + 37, registered(maximumImage_, host));
    writeU16(record.data() + 41, uint16_t(title.size()));
    record.insert(record.end(), title.begin(), title.end());
    return record;
}

}  // namespace strombel::hub
