#include "platform/devices/midi_backend.h"

#include <fmt/format.h>

namespace strombel::platform {

std::string midiStatusDescription(MidiStatus status) {
    const char* text = "unknown MIDI error";
    switch (status) {
        case kMidiNoError: text = "no error"; break;
        case kMidiInvalidClient: text = "invalid client"; break;
        case kMidiInvalidPort: text = "invalid port"; break;
        case kMidiWrongEndpointType: text = "wrong endpoint type"; break;
        case kMidiNoConnection: text = "no connection"; break;
        case kMidiUnknownEndpoint: text = "unknown endpoint"; break;
        case kMidiUnknownProperty: text = "unknown property"; break;
        case kMidiMessageSendErr: text = "message could not be sent"; break;
        case kMidiServerStartErr: text = "no MIDI system"; break;
        case kMidiIdNotUnique: text = "identifier not unique"; break;
        case kMidiNotPermitted: text = "not permitted"; break;
        case kMidiMessageTooLarge: text = "message too large"; break;
        default: break;
    }
    return fmt::format("Error Domain=MidiBackend Code={} \"{}\"", status, text);
}

size_t midiMessageLength(uint8_t status) {
    if (status < 0x80) return 0;
    if (status < 0xC0) return 3;
    if (status < 0xE0) return 2;
    if (status < 0xF0) return 3;
    switch (status) {
        case 0xF0: return 0;
        case 0xF1: return 2;
        case 0xF2: return 3;
        case 0xF3: return 2;
        default: return 1;
    }
}

}  // namespace strombel::platform
