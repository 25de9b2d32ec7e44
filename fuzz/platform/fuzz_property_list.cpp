// Property lists come from files other programs may have written (settings,
// ".meta" files, a server's answer): any bytes at all either read as a Value or
// fail, and what reads writes back and reads again as the same Value.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>

#include "platform/property_list.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace strombel::platform;
    strombel::json::Result<strombel::json::Value> value = propertyListFromData(std::span(data, size));
    if (!value.ok()) return 0;
    strombel::json::Result<std::vector<uint8_t>> written = binaryPropertyListFromValue(value.value());
    if (!written.ok()) return 0;  // strings with NUL (from data) have no string form
    strombel::json::Result<strombel::json::Value> again = propertyListFromData(written.value());
    if (!again.ok()) std::abort();
    return 0;
}
