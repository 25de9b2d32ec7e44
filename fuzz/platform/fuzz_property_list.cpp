// Property lists come from files other programs may have written (settings,
// ".meta" files, a server's answer, strings tables): any bytes at all either
// read or are refused, and what reads writes back and reads again without harm.
// (Text that is not UTF-8 writes as a list libplist cannot read back: the
// writer takes strings as they are.)

#include <cstddef>
#include <cstdint>

#include "platform/property_list.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace strombel::platform;
    Result<PropertyValue> value = PropertyList::read(data, size);
    if (!value) return 0;
    std::optional<std::vector<uint8_t>> written = PropertyList::toBinary(*value);
    if (!written) return 0;
    Result<PropertyValue> again = PropertyList::read(written->data(), written->size());
    (void)again;
    return 0;
}
