// Hostile bytes into the decoder. The first byte picks the parse options; whatever
// decodes must encode and decode again to the same value.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "json/json_decoder.h"
#include "json/json_serializer.h"

using namespace strombel::json;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    const JsonParseOptionFlags options = data[0] & JsonParseOptionsValid;
    const std::string_view text(reinterpret_cast<const char*>(data + 1), size - 1);
    const Result<Value> decoded = JSONDecoder::decode(text, options);
    if (!decoded.ok()) {
        if (decoded.error().message().empty()) std::abort();
        if (decoded.error().userInfo["JsonAtIndexKey"].asUInt64() > text.size()) std::abort();
        return 0;
    }
    const JsonSerializeOptionFlags writeOptions =
        (data[0] >> 4) & (JsonSerializePretty | JsonSerializeEscapeNonASCII);
    const Result<std::string> encoded = JSONString(decoded.value(), writeOptions);
    if (!encoded.ok()) std::abort();
    const Result<Value> again = JSONDecoder::decode(encoded.value());
    if (!again.ok() || !(again.value() == decoded.value())) std::abort();
    return 0;
}
