// Splits hostile signed messages (connection state, state pull, state push
// packet) into content and signature: both must lie inside the message, and the
// signature and content must not overlap.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "hub/bus_message.h"

using namespace strombel::hub;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::unique_ptr<uint8_t[]> bytes(new uint8_t[size ? size : 1]);
    if (size) std::memcpy(bytes.get(), data, size);
    auto parts = splitSignedContent(bytes.get(), size);
    if (!parts) return 0;
    const uint8_t* begin = bytes.get();
    if (parts->signatureLength && (parts->signature < begin || parts->signature + parts->signatureLength > begin + size)) {
        std::abort();
    }
    if (parts->content.size() + parts->signatureLength != size) std::abort();
    volatile uint8_t sum = 0;
    for (size_t i = 0; i < parts->signatureLength; ++i) sum = uint8_t(sum + parts->signature[i]);
    return 0;
}
