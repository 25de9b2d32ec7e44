#pragma once

namespace strombel::app {

/// Adds the system-log logger, then the console logger, to the logging registry.
void installLoggers();
/// Writes every line queued so far (at shutdown).
void flushLoggers();

}  // namespace strombel::app
