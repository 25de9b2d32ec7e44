#include "app/loggers.h"

#include "logging/log_core.h"
#include "logging/system_log_logger.h"
#include "logging/tty_logger.h"

namespace strombel::app {

void installLoggers() {
    logging::Log::addLogger(logging::ASLLogger::sharedInstance());
    logging::Log::addLogger(logging::TTYLogger::sharedInstance());
}

void flushLoggers() { logging::Log::flushLog(); }

}  // namespace strombel::app
