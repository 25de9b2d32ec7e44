#pragma once

// Inside src/platform: libplist 2.2 stops the process (a failed assertion) when
// it hands out a dictionary key that holds a NUL character. Property lists are
// checked for such text before libplist reads them.

#include <cstddef>
#include <cstdint>

namespace strombel::platform::detail {

/// True when the property list in `bytes` may hold text with a NUL character:
/// a string object of a binary list with a zero unit, or an XML list with a NUL
/// byte or a character reference to U+0000. Such lists are refused as damaged.
bool propertyListMayHoldNul(const uint8_t* bytes, size_t size);

}  // namespace strombel::platform::detail
