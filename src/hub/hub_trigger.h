#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "platform/notification_center.h"

namespace strombel::hub {

class HubImage;
class HubPort;
class HubPeerResourceHost;

/// Posted (sender: the trigger) whenever a trigger's state, title, icon or colour
/// changes, so that the connection panel and the peers redraw it.
inline constexpr const char* kHubTriggerAttributeChangedNotification =
    "HubTriggerAttributeChangedNotification";

/// The reserved identifiers: volume triggers count up from the first, the
/// filter bypass trigger has the second.
constexpr uint32_t kHubVolumeTriggerIdentifier = 0x766F6C30;
constexpr uint32_t kHubBypassTriggerIdentifier = 0x61626270;

/// An RGBA colour with components from 0 to 1.
struct HubColor {
    double red = 0, green = 0, blue = 0, alpha = 1;
    static HubColor white(double white) { return {white, white, white, 1}; }
    bool operator==(const HubColor&) const = default;
};

/// A colour as a trigger record carries it: each component times 255, truncated;
/// out-of-range components are clamped and NaN gives 0.
struct hub_color_t {
    uint8_t red = 128, green = 128, blue = 128;
};

/// An action of this application that the hub can show as a control and fire.
/// Main thread.
class HubTrigger {
public:
    enum State : int32_t { Normal = 0, Selected = 1, Disabled = 2, Alternate = 3 };
    enum SystemType : int32_t { None = 0, Record = 1, TogglePlay = 2, Rewind = 3, Skip = 4 };
    enum ControlType : uint8_t { ButtonControl = 0, AnimatedControl = 1, VariableControl = 2 };
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
        platform::NotificationCenter& center);

    /// A button trigger with a title and icon (buttonTriggerWithTitle).
    static std::shared_ptr<class HubButtonTrigger> triggerWithTitle(
        std::string title, std::shared_ptr<HubImage> icon, Block block,
        platform::NotificationCenter& center);

    /// True when `other` is of this trigger's class (or one derived from it) and
    /// has the same identifier: the controller keeps one trigger per identifier.
    bool isEqual(const HubTrigger& other) const {
        return isOfThisClass(other) && other.numericIdentifier() == numericIdentifier();
    }

    int32_t state() const { return state_; }
    /// Stores the state and posts "HubTriggerAttributeChangedNotification".
    void setState(int32_t state);

    int32_t systemType() const { return systemType_; }
    void setSystemType(int32_t type) { systemType_ = type; }
    /// The trigger's identity on the bus: the one set, else (never set, or set
    /// to 0) one of its own from a process-wide counter, never 0 and never a
    /// volume or bypass identifier.
    uint32_t numericIdentifier() const { return assignedIdentifier_ ? assignedIdentifier_ : ownIdentifier_; }
    void setNumericIdentifier(uint32_t identifier) { assignedIdentifier_ = identifier; }

    virtual uint8_t controlType() const = 0;
    /// The trigger's record, registering its images with `host` (may be none).
    virtual std::vector<uint8_t> dataRepresentationWithResourceHost(HubPeerResourceHost* host) const = 0;

    /// Runs the action, as a press on the hub's control does.
    void fire(const PortSet& ports = {});
    void setBlock(Block block) { block_ = std::move(block); }

    /// The order of the controller's lists: rewind, toggle play, record, custom,
    /// skip, then other types; a strict order.
    static int rankOfSystemType(int32_t systemType);

protected:
    HubTrigger(Block block, platform::NotificationCenter& center);
    void postAttributeChanged();
    /// Whether `other` is of this trigger's class or one derived from it.
    virtual bool isOfThisClass(const HubTrigger& other) const = 0;

    int32_t systemType_ = None;

private:
    Block block_;
    platform::NotificationCenter& center_;
    int32_t state_ = Normal;
    const uint32_t ownIdentifier_;
    uint32_t assignedIdentifier_ = 0;
};

/// A trigger shown as a button, with a title, an icon and a colour for the
/// normal, selected and alternate states.
class HubButtonTrigger : public HubTrigger {
public:
    HubButtonTrigger(Block block,
                     platform::NotificationCenter& center);
    HubButtonTrigger(SimpleBlock block,
                     platform::NotificationCenter& center);

    static std::shared_ptr<HubButtonTrigger> triggerWithSystemType(
        int32_t systemType, SimpleBlock block,
        platform::NotificationCenter& center) {
        return HubTrigger::triggerWithSystemType(systemType, std::move(block), center);
    }
    /// A button with a title and icon (set without a notification).
    static std::shared_ptr<HubButtonTrigger> buttonTriggerWithTitle(
        std::string title, std::shared_ptr<HubImage> icon, Block block,
        platform::NotificationCenter& center);

    /// State 3 gives the alternate attribute, 1 the selected one, others the normal.
    const std::string& titleForState(int32_t state) const;
    const std::shared_ptr<HubImage>& iconForState(int32_t state) const;
    HubColor colorForState(int32_t state) const;

    /// States 0, 1 and 3 only; another state warns on the console and changes
    /// nothing. Each posts "HubTriggerAttributeChangedNotification".
    void setTitle(const std::string& title, int32_t state);
    void setIcon(std::shared_ptr<HubImage> icon, int32_t state);
    void setColor(const HubColor& color, int32_t state);

    static hub_color_t extractComponentsFromColor(const HubColor* color);

    uint8_t controlType() const override { return ButtonControl; }
    std::vector<uint8_t> dataRepresentationWithResourceHost(HubPeerResourceHost* host) const override;

protected:
    /// The normal colour the record carries (none for an animated trigger).
    virtual const HubColor* recordColor() const { return &color_; }
    bool isOfThisClass(const HubTrigger& other) const override {
        return dynamic_cast<const HubButtonTrigger*>(&other) != nullptr;
    }

private:
    friend class HubTrigger;

    std::string title_, selectedTitle_, alternateTitle_;
    std::shared_ptr<HubImage> icon_, selectedIcon_, alternateIcon_;
    HubColor color_ = HubColor::white(0.4);
    HubColor selectedColor_ = HubColor::white(0.0);
    HubColor alternateColor_{0.37, 0.568, 0.106, 1};
    bool selectedColorSet_ = false;
};

/// A button whose normal icon switches among registered frames. Its colour is a
/// property of its own that the record does not carry.
class HubAnimatedTrigger : public HubButtonTrigger {
public:
    using HubButtonTrigger::HubButtonTrigger;
    using Frames = std::map<uint32_t, std::shared_ptr<HubImage>>;
    /// An animated button whose title and normal icon are set as setTitle and
    /// setIcon set them (each announced).
    static std::shared_ptr<HubAnimatedTrigger> animatedTriggerWithTitle(
        std::string title, std::shared_ptr<HubImage> initialIcon, Block block,
        platform::NotificationCenter& center);

    /// The registered frames by identifier (none after creation).
    const Frames& frames() const { return frames_; }
    void setFrames(Frames frames) { frames_ = std::move(frames); }
    void registerNewFrame(std::shared_ptr<HubImage> frame, uint32_t identifier) { frames_[identifier] = std::move(frame); }
    std::shared_ptr<HubImage> frameForIdentifier(uint32_t identifier) const;
    /// Shows the frame as the normal icon; warns when none has that identifier.
    void setCurrentFrameIdentifier(uint32_t identifier);
    uint32_t currentFrameIdentifier() const { return currentFrameIdentifier_; }
    const HubColor& animatedColor() const { return animatedColor_; }
    void setAnimatedColor(const HubColor& color) { animatedColor_ = color; }
    uint8_t controlType() const override { return AnimatedControl; }

protected:
    const HubColor* recordColor() const override { return nullptr; }
    bool isOfThisClass(const HubTrigger& other) const override {
        return dynamic_cast<const HubAnimatedTrigger*>(&other) != nullptr;
    }

private:
    Frames frames_;
    uint32_t currentFrameIdentifier_ = 0;
    HubColor animatedColor_ = HubColor::white(0.4);
};

/// A control whose value lies in a range (a port's volume). The setters post
/// "HubTriggerAttributeChangedNotification"; none clamps the value.
class HubVariableTrigger : public HubTrigger {
public:
    HubVariableTrigger(Block block,
                       platform::NotificationCenter& center);
    static std::shared_ptr<HubVariableTrigger> variableTriggerWithTitle(
        std::string title, Block block,
        platform::NotificationCenter& center);

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
    const std::shared_ptr<HubImage>& minimumImage() const { return minimumImage_; }
    void setMinimumImage(std::shared_ptr<HubImage> image);
    const std::shared_ptr<HubImage>& maximumImage() const { return maximumImage_; }
    void setMaximumImage(std::shared_ptr<HubImage> image);

    uint8_t controlType() const override { return VariableControl; }
    std::vector<uint8_t> dataRepresentationWithResourceHost(HubPeerResourceHost* host) const override;

protected:
    bool isOfThisClass(const HubTrigger& other) const override {
        return dynamic_cast<const HubVariableTrigger*>(&other) != nullptr;
    }

private:
    float value_ = 0, minimumValue_ = 0, maximumValue_ = 1;
    int32_t displayType_ = 0;
    std::string title_;
    std::shared_ptr<HubImage> minimumImage_, maximumImage_;
};

}  // namespace strombel::hub
