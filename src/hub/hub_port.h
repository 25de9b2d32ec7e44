#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace strombel::hub {

/// A four-character code as the hub protocol writes it ('auri' is 0x61757269).
constexpr uint32_t fourCharCode(const char (&code)[5]) {
    return (uint32_t(uint8_t(code[0])) << 24) | (uint32_t(uint8_t(code[1])) << 16) |
           (uint32_t(uint8_t(code[2])) << 8) | uint32_t(uint8_t(code[3]));
}

/// The five fields by which a hosting application finds an audio component.
struct AudioComponentDescription {
    uint32_t componentType = 0;
    uint32_t componentSubType = 0;
    uint32_t componentManufacturer = 0;
    uint32_t componentFlags = 0;
    uint32_t componentFlagsMask = 0;

    bool operator==(const AudioComponentDescription&) const = default;
};

/// The output unit a sender port publishes: the engine's audio output, held only as
/// an identity here. The transport that reads from it binds to it when it lands.
using AudioUnitHandle = const void*;

/// An audio port of the hub session: receiver, filter or sender.
class HubPort {
public:
    enum Type : int32_t { Receiver = 0, Filter = 1, Sender = 2 };

    HubPort(Type type, std::string name, std::string title);
    virtual ~HubPort() = default;

    int32_t type() const { return type_; }
    void setType(int32_t type) { type_ = type; }
    const std::string& name() const { return name_; }
    const std::string& title() const { return title_; }
    bool isNamed() const { return !name_.empty(); }

    const AudioComponentDescription& audioComponentDescription() const { return description_; }
    void setAudioComponentDescription(const AudioComponentDescription& description) {
        description_ = description;
    }

    /// Whether the port has a connection of any kind. No transport is built yet, so
    /// a port never has one.
    virtual bool connected() const { return false; }

private:
    int32_t type_;
    std::string name_;
    std::string title_;
    AudioComponentDescription description_;
};

/// The port that publishes the audio an output unit of this application renders.
class HubSenderPort : public HubPort {
public:
    HubSenderPort(std::string name, std::string title, const AudioComponentDescription& description,
                  AudioUnitHandle audioUnit, bool hubOnly = false);

    AudioUnitHandle audioUnit() const { return audioUnit_; }
    bool hubOnly() const { return hubOnly_; }

private:
    AudioUnitHandle audioUnit_;
    bool hubOnly_;
};

}  // namespace strombel::hub
