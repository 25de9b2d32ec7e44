#include "analytics/usage_protocol_data.h"

#include <fmt/format.h>

#include <cmath>
#include <cstring>

#include "analytics/usage_global_variable_storage.h"
#include "analytics/usage_util.h"
#include "platform/utf8_cut.h"

namespace strombel::analytics {

namespace {

// The UTF-16 units of the character at `text[at]`, and its bytes.
struct Step {
    size_t bytes, units;
};
Step characterAt(std::string_view text, size_t at) {
    const size_t bytes = platform::utf8CharacterLength(text.data(), text.size(), at);
    // Only a whole four-byte character lies outside the Basic Multilingual Plane.
    return {bytes, bytes == 4 ? size_t(2) : size_t(1)};
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
        const Step step = characterAt(text, at);
        units += step.units;
        at += step.bytes;
    }
    return units;
}

std::string UsageProtocolData::limitStringLength(std::string_view text) {
    constexpr size_t kLimit = usage_limits::kStringLength;
    size_t units = 0;
    size_t at = 0;
    while (at < text.size()) {
        const Step step = characterAt(text, at);
        // A character of two units that would straddle the cut is left out whole.
        if (units + step.units > kLimit) break;
        units += step.units;
        at += step.bytes;
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
