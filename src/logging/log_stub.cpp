// Placeholder until the logging core lands: writes each line to stderr at once.
#include <cstdio>

#include "logging/log.h"

namespace strombel::logging {

std::atomic<int32_t> ddLogLevel{0};

void logMessage(bool, int32_t, int32_t, int32_t, const char*, const char*, int32_t, std::string message) {
    std::fprintf(stderr, "%s\n", message.c_str());
}

}  // namespace strombel::logging
