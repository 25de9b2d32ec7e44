// The server's answer to an upload: any bytes either read or fail with
// "Malformed data", never past their end.

#include <cstddef>
#include <cstdint>

#include "analytics/usage_data_sender.h"
#include "analytics/usage_global_variable_storage.h"
#include "analytics/usage_util.h"

namespace {
// The answer's cookies go to the map; the folder for saving it is a fresh one.
const bool configured = [] {
    strombel::analytics::UsageEnvironment environment;
    environment.applicationSupport = "/tmp/strombel-fuzz-usage-response";
    strombel::analytics::UsageEnvironment::setCurrent(environment);
    strombel::analytics::UsageUtil::setLogLevel(0);
    return true;
}();
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace strombel::analytics;
    try {
        UsageDataSender::parseResponse(Bytes(data, data + size));
    } catch (const UsageException&) {
    }
    UsageGlobalVariableStorage::cleanup();
    return 0;
}
