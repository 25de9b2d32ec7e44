#include "analytics/usage_protocol_data.h"

#include <fmt/format.h>

#include <cmath>
#include <cstring>

#include "analytics/usage_global_variable_storage.h"
#include "analytics/usage_util.h"

namespace strombel::analytics {

namespace {

// The length in bytes of the UTF-8 sequence starting with `lead`, or 0 when it
// is not a valid lead byte followed by enough continuation bytes.
size_t sequenceLength(std::string_view text, size_t at) {
    unsigned char lead = static_cast<unsigned char>(text[at]);
    size_t length = lead < 0x80 ? 1 : (lead >> 5) == 0x6 ? 2 : (lead >> 4) == 0xE ? 3 : (lead >> 3) == 0x1E ? 4 : 0;
    if (length == 0 || at + length > text.size()) return 0;
    for (size_t i = 1; i < length; ++i) {
        if ((static_cast<unsigned char>(text[at + i]) & 0xC0) != 0x80) return 0;
    }
    return length;
}

void appendBigEndian(uint64_t value, int bytes, Bytes& data) {
    for (int shift = (bytes - 1) * 8; shift >= 0; shift -= 8) data.push_back(static_cast<uint8_t>(value >> shift));
}

[[noreturn]] void malformed(const char* operation, size_t length, int64_t index) {
    throw UsageException("Malformed data", fmt::format("{}: data len={}, ix={}", operation, length, index));
}

}  // namespace

void UsageProtocolData::appendBoolean(bool value, Bytes& data) { data.push_back(value ? 1 : 0); }

void UsageProtocolData::appendByte(int64_t value, Bytes& data) { data.push_back(static_cast<uint8_t>(value)); }

void UsageProtocolData::appendUshort(int64_t value, Bytes& data) { appendBigEndian(static_cast<uint64_t>(value), 2, data); }

void UsageProtocolData::appendInt(int32_t value, Bytes& data) {
    appendBigEndian(static_cast<uint32_t>(value), 4, data);
}

void UsageProtocolData::appendLong(int64_t value, Bytes& data) { appendBigEndian(static_cast<uint64_t>(value), 8, data); }

void UsageProtocolData::appendFloat(float value, Bytes& data) {
    uint32_t bits;
    std::memcpy(&bits, &value, sizeof bits);
    appendBigEndian(bits, 4, data);
}

void UsageProtocolData::appendDouble(double value, Bytes& data) {
    uint64_t bits;
    std::memcpy(&bits, &value, sizeof bits);
    appendBigEndian(bits, 8, data);
}

int64_t UsageProtocolData::timestampMillis(UsageDate date) {
    // Dates are doubles of seconds: taken to the nearest microsecond first, so
    // that a whole number of milliseconds is not cut to one less.
    double micros = std::round(date * 1e6);
    if (!(micros == micros)) return 0;
    if (micros >= 9.2e18) return INT64_MAX / 1000;
    if (micros <= -9.2e18) return INT64_MIN / 1000;
    return static_cast<int64_t>(micros) / 1000;
}

void UsageProtocolData::appendTimestamp(UsageDate date, Bytes& data) { appendLong(timestampMillis(date), data); }

size_t UsageProtocolData::utf16Length(std::string_view text) {
    size_t units = 0;
    for (size_t at = 0; at < text.size();) {
        size_t length = sequenceLength(text, at);
        if (length == 0) {
            ++units;
            ++at;
            continue;
        }
        units += length == 4 ? 2 : 1;
        at += length;
    }
    return units;
}

std::string UsageProtocolData::limitStringLength(std::string_view text) {
    constexpr size_t kLimit = usage_limits::kStringLength;
    if (utf16Length(text) <= kLimit) return std::string(text);
    size_t units = 0;
    size_t at = 0;
    while (at < text.size()) {
        size_t length = sequenceLength(text, at);
        size_t step = length == 0 ? 1 : length;
        size_t stepUnits = length == 4 ? 2 : 1;
        // A character of two units that would straddle the cut is left out whole.
        if (units + stepUnits > kLimit) break;
        units += stepUnits;
        at += step;
    }
    return std::string(text.substr(0, at));
}

void UsageProtocolData::appendString(std::string_view text, Bytes& data) {
    std::string cut = limitStringLength(text);
    appendUshort(static_cast<int64_t>(cut.size()), data);
    data.insert(data.end(), cut.begin(), cut.end());
}

void UsageProtocolData::appendTinyData(std::span<const uint8_t> bytes, Bytes& data) {
    appendByte(static_cast<int64_t>(bytes.size()), data);
    data.insert(data.end(), bytes.begin(), bytes.end());
}

void UsageProtocolData::appendShortData(std::span<const uint8_t> bytes, Bytes& data) {
    appendUshort(static_cast<int64_t>(bytes.size()), data);
    data.insert(data.end(), bytes.begin(), bytes.end());
}

void UsageProtocolData::appendLargeData(std::span<const uint8_t> bytes, Bytes& data) {
    appendBigEndian(static_cast<uint32_t>(bytes.size()), 4, data);
    data.insert(data.end(), bytes.begin(), bytes.end());
}

int64_t UsageProtocolData::timeIntervalFrom(std::optional<UsageDate> from, std::optional<UsageDate> to) {
    if (!from || !to) return 0;
    return timestampMillis(*to - *from);
}

int16_t UsageProtocolData::getInt16FromData(std::span<const uint8_t> data, int64_t index) {
    if (index < 0 || static_cast<uint64_t>(index) + 2 > data.size()) {
        malformed("+[UsageProtocolData getInt16FromData:atIndex:]", data.size(), index);
    }
    size_t at = static_cast<size_t>(index);
    return static_cast<int16_t>(static_cast<uint16_t>(data[at] << 8 | data[at + 1]));
}

int32_t UsageProtocolData::getInt32FromData(std::span<const uint8_t> data, int64_t index) {
    if (index < 0 || static_cast<uint64_t>(index) + 4 > data.size()) {
        malformed("+[UsageProtocolData getInt32FromData:atIndex:]", data.size(), index);
    }
    size_t at = static_cast<size_t>(index);
    return static_cast<int32_t>(static_cast<uint32_t>(data[at]) << 24 | static_cast<uint32_t>(data[at + 1]) << 16 |
                                static_cast<uint32_t>(data[at + 2]) << 8 | data[at + 3]);
}

}  // namespace strombel::analytics
