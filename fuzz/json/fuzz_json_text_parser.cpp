// Hostile bytes into the second codec's parser; whatever parses must be written and
// parsed again to the same value.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "json/json_text.h"

using namespace strombel::json;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    JsonText json;
    if (size > 0 && data[0] == ' ') json.setMaxDepth(0);
    const Result<Value> parsed = json.fragmentWithString(text);
    if (!parsed.ok()) {
        if (json.errorTrace().empty()) std::abort();
        return 0;
    }
    json.setHumanReadable(size % 2 == 1);
    json.setSortKeys(size % 3 == 1);
    const Result<std::string> written = json.stringWithFragment(parsed.value());
    if (!written.ok()) std::abort();
    const Result<Value> again = json.fragmentWithString(written.value());
    if (!again.ok() || !(again.value() == parsed.value())) std::abort();
    return 0;
}
