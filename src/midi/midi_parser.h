#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <type_traits>

#include "platform/devices/midi_backend.h"

namespace strombel::midi {

/// One message as the parser finds it (see MidiMessage for the fields).
struct ParsedMidiMessage {
    uint8_t messageType = 0;
    uint8_t data1 = 0;
    uint8_t data2 = 0;
    uint8_t channel = 0;  // 0 to 15 for channel messages, 0 for system messages
};

/// Turns the byte stream of one source into messages. It keeps what spans
/// packets and packet lists: the running status and a SysEx message being
/// collected. One parser per source; calls for one source never overlap.
///
/// The rules below are those of the MIDI byte stream itself, not of one packet:
/// a sender may use running status, put clock bytes inside a message and send a
/// long SysEx in several packets. Reading each packet alone, by its first byte and
/// looking for 0xF7 only at its end, would drop or misread such input.
///
/// - Running status: data bytes after a channel message continue it; system
///   common messages end it (0xF1 and 0xF3 carry one data byte, 0xF2 two);
///   real-time bytes (0xF8 to 0xFF) leave it, and may arrive anywhere, even
///   inside another message.
/// - A message whose data bytes would lie past the end of its packet, or that
///   another status byte cuts short, is dropped; nothing is read past the end.
/// - SysEx is collected into a buffer of 1024 bytes and dropped when it ends
///   (0xF7), when the buffer is full (collection goes on), or when another status
///   byte breaks it off (that byte is then read as usual). Its start is announced
///   as a message of type 0xF0.
/// - With `channel` 0 to 15 channel messages of other channels are dropped;
///   -1 lets every channel through. System messages always pass.
/// Parsing allocates nothing (the SysEx buffer is part of the parser); what
/// `emit` does is the caller's.
class MidiParser {
public:
    static constexpr size_t kSysExBufferSize = 1024;

    using Emit = void (*)(void* context, const ParsedMidiMessage& message);

    void parse(platform::MidiPacketList packets, int32_t channel, Emit emit, void* context);

    template <class Function>
    void parse(platform::MidiPacketList packets, int32_t channel, Function&& function) {
        parse(
            packets, channel,
            [](void* context, const ParsedMidiMessage& message) { (*static_cast<std::remove_reference_t<Function>*>(context))(message); },
            &function);
    }

    bool collectingSysEx() const { return collectingSysEx_; }
    size_t sysExFill() const { return sysExFill_; }
    /// SysEx messages (or buffer-fulls of one) dropped so far.
    uint64_t sysExDropped() const { return sysExDropped_; }
    void reset();

private:
    void dropSysEx();

    bool collectingSysEx_ = false;
    uint8_t runningStatus_ = 0;
    size_t sysExFill_ = 0;
    uint64_t sysExDropped_ = 0;
    std::array<uint8_t, kSysExBufferSize> sysEx_{};
};

}  // namespace strombel::midi
