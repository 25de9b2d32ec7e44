#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/notification_center.h"

namespace strombel::hub {

class HubPort;

/// Posted (sender: the trigger) whenever a trigger's state, title, icon or colour
/// changes, so that the connection panel and the peers redraw it.
inline constexpr const char* kHubTriggerAttributeChangedNotification =
    "HubTriggerAttributeChangedNotification";

/// An RGBA colour with components from 0 to 1.
struct HubColor {
    double red = 0, green = 0, blue = 0, alpha = 1;
    static HubColor white(double white) { return {white, white, white, 1}; }
    bool operator==(const HubColor&) const = default;
};

/// An action of this application that the hub can show as a control and fire.
class HubTrigger {
public:
    enum State : int32_t { Normal = 0, Selected = 1, Disabled = 2, Alternate = 3 };
    enum SystemType : int32_t { None = 0, Record = 1, TogglePlay = 2, Rewind = 3, Skip = 4 };
    /// This application's ports connected to the peer that fired the trigger.
    using PortSet = std::vector<std::shared_ptr<HubPort>>;
    /// The action, run on the main thread with the trigger and those ports.
    using Block = std::function<void(HubTrigger& trigger, const PortSet& ports)>;
    using SimpleBlock = std::function<void()>;

    virtual ~HubTrigger() = default;

    /// A button trigger prepared for system type 1 (record) to 4 (skip) whose press
    /// runs `block`; nullptr, with a console warning, for any other type.
    static std::shared_ptr<class HubButtonTrigger> triggerWithSystemType(
        int32_t systemType, SimpleBlock block,
        platform::NotificationCenter& center = platform::NotificationCenter::shared());

    int32_t state() const { return state_; }
    /// Stores the state and posts "HubTriggerAttributeChangedNotification".
    void setState(int32_t state);

    int32_t systemType() const { return systemType_; }
    /// The trigger's identity on the bus: from a process-wide counter, never 0
    /// and never a volume or bypass identifier, until the controller sets one.
    uint32_t numericIdentifier() const { return numericIdentifier_; }
    void setNumericIdentifier(uint32_t identifier) { numericIdentifier_ = identifier; }

    /// Runs the action, as a press on the hub's control does.
    void fire(const PortSet& ports = {});
    void setBlock(Block block) { block_ = std::move(block); }

protected:
    HubTrigger(Block block, platform::NotificationCenter& center);
    void postAttributeChanged();

    int32_t systemType_ = None;

private:
    Block block_;
    platform::NotificationCenter& center_;
    int32_t state_ = Normal;
    uint32_t numericIdentifier_;
};

/// The reserved identifiers: volume triggers count up from the first, the
/// filter bypass trigger has the second.
constexpr uint32_t kHubVolumeTriggerIdentifier = 0x766F6C30;
constexpr uint32_t kHubBypassTriggerIdentifier = 0x61626270;

/// A trigger shown as a button, with a title, an icon and a colour for the
/// normal, selected and alternate states.
class HubButtonTrigger : public HubTrigger {
public:
    HubButtonTrigger(Block block,
                     platform::NotificationCenter& center = platform::NotificationCenter::shared());
    HubButtonTrigger(SimpleBlock block,
                     platform::NotificationCenter& center = platform::NotificationCenter::shared());

    static std::shared_ptr<HubButtonTrigger> triggerWithSystemType(
        int32_t systemType, SimpleBlock block,
        platform::NotificationCenter& center = platform::NotificationCenter::shared()) {
        return HubTrigger::triggerWithSystemType(systemType, std::move(block), center);
    }

    /// State 3 gives the alternate attribute, 1 the selected one, others the normal.
    const std::string& titleForState(int32_t state) const;
    const std::string& iconForState(int32_t state) const;
    HubColor colorForState(int32_t state) const;

    /// States 0, 1 and 3 only; another state warns on the console and changes
    /// nothing. Each posts "HubTriggerAttributeChangedNotification".
    void setTitle(const std::string& title, int32_t state);
    void setIcon(const std::string& icon, int32_t state);
    void setColor(const HubColor& color, int32_t state);

private:
    friend class HubTrigger;

    std::string title_, selectedTitle_, alternateTitle_;
    std::string icon_, selectedIcon_, alternateIcon_;
    HubColor color_ = HubColor::white(0.4);
    HubColor selectedColor_ = HubColor::white(0.0);
    HubColor alternateColor_{0.37, 0.568, 0.106, 1};
    bool selectedColorSet_ = false;
};

/// A control whose value lies in a range (a port's volume). The setters post
/// "HubTriggerAttributeChangedNotification"; none clamps the value.
class HubVariableTrigger : public HubTrigger {
public:
    HubVariableTrigger(Block block,
                       platform::NotificationCenter& center = platform::NotificationCenter::shared());
    static std::shared_ptr<HubVariableTrigger> variableTriggerWithTitle(
        std::string title, Block block,
        platform::NotificationCenter& center = platform::NotificationCenter::shared());

    float value() const { return value_; }
    void setValue(float value);
    float minimumValue() const { return minimumValue_; }
    void setMinimumValue(float value);
    float maximumValue() const { return maximumValue_; }
    void setMaximumValue(float value);
    int32_t displayType() const { return displayType_; }
    void setDisplayType(int32_t type);
    const std::string& title() const { return title_; }
    void setTitle(std::string title);
    const std::string& minimumImage() const { return minimumImage_; }
    void setMinimumImage(std::string image);
    const std::string& maximumImage() const { return maximumImage_; }
    void setMaximumImage(std::string image);

private:
    float value_ = 0, minimumValue_ = 0, maximumValue_ = 1;
    int32_t displayType_ = 0;
    std::string title_, minimumImage_, maximumImage_;
};

}  // namespace strombel::hub
