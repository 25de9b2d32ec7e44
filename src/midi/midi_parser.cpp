#include "midi/midi_parser.h"

#include "logging/log.h"

namespace strombel::midi {

void MidiParser::reset() {
    collectingSysEx_ = false;
    runningStatus_ = 0;
    sysExFill_ = 0;
}

void MidiParser::dropSysEx() {
    STROMBEL_LOG_DEBUG("SysEx MIDI message received... IGNORE");
    sysExFill_ = 0;
    ++sysExDropped_;
}

void MidiParser::parse(platform::MidiPacketList packets, int32_t channel, Emit emit, void* context) {
    auto deliver = [&](uint8_t status, uint8_t data1, uint8_t data2) {
        ParsedMidiMessage message;
        if (status < 0xF0) {
            message.messageType = status & 0xF0;
            message.channel = status & 0x0F;
            if (channel != -1 && message.channel != channel) return;
        } else {
            message.messageType = status;
        }
        message.data1 = data1;
        message.data2 = data2;
        emit(context, message);
    };

    for (const platform::MidiPacket& packet : packets) {
        const uint8_t* bytes = packet.bytes.data();
        const size_t size = packet.bytes.size();
        size_t at = 0;
        while (at < size) {
            const uint8_t byte = bytes[at];
            if (byte >= 0xF8) {  // real time: anywhere, alone
                deliver(byte, 0, 0);
                ++at;
                continue;
            }
            if (collectingSysEx_) {
                if (byte == 0xF7) {
                    collectingSysEx_ = false;
                    dropSysEx();
                    ++at;
                } else if (byte >= 0x80) {
                    collectingSysEx_ = false;  // broken off: read this status as usual
                    dropSysEx();
                } else {
                    if (sysExFill_ == sysEx_.size()) dropSysEx();
                    sysEx_[sysExFill_++] = byte;
                    ++at;
                }
                continue;
            }
            if (byte == 0xF0) {
                runningStatus_ = 0;
                collectingSysEx_ = true;
                sysExFill_ = 0;
                sysEx_[sysExFill_++] = byte;
                deliver(0xF0, 0, 0);
                ++at;
                continue;
            }
            if (byte == 0xF7) {  // an end without a start
                runningStatus_ = 0;
                ++at;
                continue;
            }

            uint8_t status = byte;
            size_t next = at + 1;
            if (byte < 0x80) {
                if (runningStatus_ == 0) {  // a data byte with nothing to continue
                    ++at;
                    continue;
                }
                status = runningStatus_;
                next = at;
            } else if (byte < 0xF0) {
                runningStatus_ = byte;
            } else {
                runningStatus_ = 0;
            }

            const size_t dataCount = platform::midiMessageLength(status) - 1;
            uint8_t data[2] = {0, 0};
            size_t have = 0;
            bool cut = false;
            while (have < dataCount) {
                if (next >= size) {
                    cut = true;
                    break;
                }
                const uint8_t value = bytes[next];
                if (value >= 0xF8) {
                    deliver(value, 0, 0);
                    ++next;
                    continue;
                }
                if (value >= 0x80) {
                    cut = true;
                    break;
                }
                data[have++] = value;
                ++next;
            }
            at = next;
            if (cut) continue;
            deliver(status, data[0], data[1]);
        }
    }
}

}  // namespace strombel::midi
