#pragma once

// Another peer's triggers as this application sees them: built from the
// peer's trigger records, fired by messages back to the peer.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "hub/hub_trigger.h"
#include "platform/key_value_observing.h"

namespace strombel::hub {

class HubPeer;
class HubPeerResourceManager;
struct HubPeerResourceImageProxy;

/// Main thread. A refused record changes nothing.
class HubRemoteTrigger : public platform::KeyValueObservable {
public:
    /// The identifier at offset 2; 0 when the record is shorter than 8 bytes or
    /// than its own header length.
    static int64_t identifierFromDataRepresentation(const std::vector<uint8_t>& record);
    /// A button (control types 0, 1) or variable (2) trigger of `peer`, or none.
    static std::shared_ptr<HubRemoteTrigger> remoteTriggerWithPeer(const std::shared_ptr<HubPeer>& peer,
                                                                   const std::vector<uint8_t>& record,
                                                                   HubPeerResourceManager* resourceManager);

    virtual bool loadFromDataRepresentation(const std::vector<uint8_t>& record);
    /// The images of this trigger the resource manager does not hold yet.
    virtual std::vector<uint32_t> remoteResourceIDsToLoad() const = 0;

    bool offPanel() const { return offPanel_; }
    void setOffPanel(bool offPanel) { offPanel_ = offPanel; }
    int32_t state() const { return state_; }
    void setState(int32_t state) { state_ = state; }
    uint32_t numericIdentifier() const { return numericIdentifier_; }
    /// The owning peer, held weakly: the peer holds its triggers.
    std::shared_ptr<HubPeer> peer() const { return peer_.lock(); }
    double lastStateUpdate() const { return lastStateUpdate_; }
    void setLastStateUpdate(double mediaTime) { lastStateUpdate_ = mediaTime; }
    HubPeerResourceManager* resourceManager() const { return resourceManager_; }
    void setResourceManager(HubPeerResourceManager* manager) { resourceManager_ = manager; }

    /// Whether a record of this control type (0 button, 1 animated, 2 variable)
    /// is one this trigger's kind reads.
    virtual bool takesControlType(int controlType) const = 0;

    /// `other` is of this trigger's kind, of the same peer, with the same
    /// identifier (a button never equals a slider).
    bool isEqual(const HubRemoteTrigger& other) const;
    /// Alike for equal triggers: of the peer and the identifier.
    size_t hash() const;

protected:
    std::shared_ptr<HubPeerResourceImageProxy> image(uint32_t resourceID) const;
    bool lacksImage(uint32_t resourceID) const;
    /// Sends a message to the owning peer.
    void sendToPeer(const std::vector<uint8_t>& message) const;

private:
    bool offPanel_ = false;
    int32_t state_ = HubTrigger::Normal;
    uint32_t numericIdentifier_ = 0;
    std::weak_ptr<HubPeer> peer_;
    double lastStateUpdate_ = 0;
    HubPeerResourceManager* resourceManager_ = nullptr;
};

/// Observable keys: "iconID", "selectedIconID", "alternateIconID" and the
/// images that follow them, "icon", "selectedIcon", "alternateIcon".
class HubRemoteButtonTrigger : public HubRemoteTrigger {
public:
    bool loadFromDataRepresentation(const std::vector<uint8_t>& record) override;
    bool takesControlType(int controlType) const override {
        return controlType == HubTrigger::ButtonControl || controlType == HubTrigger::AnimatedControl;
    }
    std::vector<uint32_t> remoteResourceIDsToLoad() const override;
    /// Unless disabled, asks the owner to fire the trigger (type 5).
    void activate() const;
    /// The type 5 message for a trigger identifier.
    static std::vector<uint8_t> activationMessage(uint32_t identifier);

    uint32_t iconID() const { return iconID_; }
    uint32_t selectedIconID() const { return selectedIconID_; }
    uint32_t alternateIconID() const { return alternateIconID_; }
    const HubColor& color() const { return color_; }
    const HubColor& selectedColor() const { return selectedColor_; }
    const HubColor& alternateColor() const { return alternateColor_; }
    const std::string& title() const { return title_; }
    const std::string& selectedTitle() const { return selectedTitle_; }
    const std::string& alternateTitle() const { return alternateTitle_; }
    std::shared_ptr<HubPeerResourceImageProxy> icon() const { return image(iconID_); }
    std::shared_ptr<HubPeerResourceImageProxy> selectedIcon() const;
    std::shared_ptr<HubPeerResourceImageProxy> alternateIcon() const;

private:
    uint32_t iconID_ = 0, selectedIconID_ = 0, alternateIconID_ = 0;
    HubColor color_, selectedColor_, alternateColor_;
    std::string title_, selectedTitle_, alternateTitle_;
};

/// Observable keys: "value", "maximumIconID", "minimumIconID" and the images
/// that follow them, "maximumImage", "minimumImage".
class HubRemoteVariableTrigger : public HubRemoteTrigger {
public:
    bool loadFromDataRepresentation(const std::vector<uint8_t>& record) override;
    bool takesControlType(int controlType) const override { return controlType == HubTrigger::VariableControl; }
    std::vector<uint32_t> remoteResourceIDsToLoad() const override;
    /// Unless disabled, stores the value and sends it to the owner (type 15).
    void setValue(float value);
    /// The type 15 message.
    static std::vector<uint8_t> adjustmentMessage(uint32_t identifier, float value);

    float value() const { return value_; }
    float minimumValue() const { return minimumValue_; }
    float maximumValue() const { return maximumValue_; }
    int32_t displayType() const { return displayType_; }
    const std::string& title() const { return title_; }
    uint32_t minimumIconID() const { return minimumIconID_; }
    uint32_t maximumIconID() const { return maximumIconID_; }
    std::shared_ptr<HubPeerResourceImageProxy> maximumImage() const { return image(maximumIconID_); }
    std::shared_ptr<HubPeerResourceImageProxy> minimumImage() const { return image(minimumIconID_); }

private:
    float value_ = 0, minimumValue_ = 0, maximumValue_ = 1;
    int32_t displayType_ = 0;
    std::string title_;
    uint32_t minimumIconID_ = 0, maximumIconID_ = 0;
};

}  // namespace strombel::hub
