#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <utility>

namespace strombel::midi {

/// One parsed MIDI message: the type (the status byte with the channel bits
/// cleared for channel messages, 0x80 to 0xE0; the whole status byte for system
/// messages), two data bytes (0 where the message has fewer) and the name of the
/// source it came from. The name is shared with the source, so making a message
/// allocates nothing.
class MidiMessage {
public:
    MidiMessage() = default;
    MidiMessage(std::shared_ptr<const std::string> source, uint8_t messageType, uint8_t data1, uint8_t data2)
        : sourceName_(std::move(source)), messageType_(messageType), data1_(data1), data2_(data2) {}

    uint8_t messageType() const { return messageType_; }
    uint8_t data1() const { return data1_; }
    uint8_t data2() const { return data2_; }
    const std::string& sourceName() const {
        static const std::string none;
        return sourceName_ ? *sourceName_ : none;
    }

    void setMessageType(uint8_t type) { messageType_ = type; }
    void setData1(uint8_t value) { data1_ = value; }
    void setData2(uint8_t value) { data2_ = value; }
    void setSourceName(std::shared_ptr<const std::string> name) { sourceName_ = std::move(name); }

private:
    std::shared_ptr<const std::string> sourceName_;
    uint8_t messageType_ = 0;
    uint8_t data1_ = 0;
    uint8_t data2_ = 0;
};

}  // namespace strombel::midi
