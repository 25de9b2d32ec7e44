#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "analytics/usage_environment.h"

namespace strombel::analytics {

using Bytes = std::vector<uint8_t>;

/// The big-endian encoders and readers of every analytics record. Each append
/// writes one field at the end of `data`, with no gaps.
class UsageProtocolData {
public:
    static void appendBoolean(bool value, Bytes& data);
    /// The low 8 bits (-1 is 0xFF).
    static void appendByte(int64_t value, Bytes& data);
    /// The low 16 bits.
    static void appendUshort(int64_t value, Bytes& data);
    static void appendInt(int32_t value, Bytes& data);
    static void appendLong(int64_t value, Bytes& data);
    static void appendFloat(float value, Bytes& data);
    static void appendDouble(double value, Bytes& data);
    /// Milliseconds since 1970, truncated toward zero.
    static void appendTimestamp(UsageDate date, Bytes& data);
    /// u16 byte count and the UTF-8 bytes of the text cut by `limitStringLength`.
    static void appendString(std::string_view text, Bytes& data);
    static void appendTinyData(std::span<const uint8_t> bytes, Bytes& data);
    static void appendShortData(std::span<const uint8_t> bytes, Bytes& data);
    static void appendLargeData(std::span<const uint8_t> bytes, Bytes& data);

    /// A text of 256 or more UTF-16 units cut to its first 255; a surrogate pair
    /// is never split (the cut then keeps 254 units).
    static std::string limitStringLength(std::string_view text);
    /// The text's length in UTF-16 units (an invalid byte counts one).
    static size_t utf16Length(std::string_view text);

    /// Milliseconds from `from` to `to`, truncated toward zero; 0 when either is absent.
    static int64_t timeIntervalFrom(std::optional<UsageDate> from, std::optional<UsageDate> to);
    static int64_t timestampMillis(UsageDate date);

    /// The signed big-endian value at `index`; a field not wholly inside `data`
    /// throws the exception named "Malformed data".
    static int16_t getInt16FromData(std::span<const uint8_t> data, int64_t index);
    static int32_t getInt32FromData(std::span<const uint8_t> data, int64_t index);

    /// The most items a u16 count can announce: longer lists are cut to it, so
    /// the count and the items written agree.
    static constexpr size_t kMaximumListCount = 65535;
};

}  // namespace strombel::analytics
