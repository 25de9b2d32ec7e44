#include "hub/hub_port.h"

#include <utility>

namespace strombel::hub {

HubPort::HubPort(Type type, std::string name, std::string title)
    : type_(type), name_(std::move(name)), title_(std::move(title)) {}

HubSenderPort::HubSenderPort(std::string name, std::string title,
                             const AudioComponentDescription& description, AudioUnitHandle audioUnit,
                             bool hubOnly)
    : HubPort(Sender, std::move(name), std::move(title)), audioUnit_(audioUnit), hubOnly_(hubOnly) {
    setAudioComponentDescription(description);
}

}  // namespace strombel::hub
