// Feeds hostile bytes to the MIDI parser as packet lists of any shape. The first
// byte picks the channel filter; after it, each packet is a length byte and that
// many bytes (cut at the input's end). Each packet is copied into a block of its
// exact size, so that a read past its end is caught.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "midi/midi_parser.h"

using strombel::midi::MidiParser;
using strombel::midi::ParsedMidiMessage;

namespace {

void check(const ParsedMidiMessage& message) {
    // Types are a cleared channel status or a system status; data bytes are 7-bit.
    const bool channelType = message.messageType >= 0x80 && message.messageType < 0xF0 &&
                             (message.messageType & 0x0F) == 0;
    const bool systemType = message.messageType >= 0xF0;
    if (!(channelType || systemType) || message.data1 > 0x7F || message.data2 > 0x7F || message.channel > 15) {
        std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    const int32_t channel = data[0] % 17 == 16 ? -1 : data[0] % 17;
    std::vector<std::unique_ptr<uint8_t[]>> blocks;
    std::vector<strombel::platform::MidiPacket> packets;
    size_t at = 1;
    while (at < size) {
        const size_t length = std::min<size_t>(data[at], size - at - 1);
        ++at;
        blocks.push_back(std::make_unique<uint8_t[]>(length ? length : 1));
        if (length) std::memcpy(blocks.back().get(), data + at, length);
        packets.push_back({0, {blocks.back().get(), length}});
        at += length;
    }
    // Split the packets over two lists, so that state carried between lists is fuzzed too.
    MidiParser parser;
    const size_t half = packets.size() / 2;
    auto emit = [channel](const ParsedMidiMessage& message) {
        check(message);
        if (channel != -1 && message.messageType < 0xF0 && message.channel != channel) std::abort();
    };
    parser.parse({packets.data(), half}, channel, emit);
    parser.parse({packets.data() + half, packets.size() - half}, channel, emit);
    if (parser.sysExFill() > MidiParser::kSysExBufferSize) std::abort();
    return 0;
}
