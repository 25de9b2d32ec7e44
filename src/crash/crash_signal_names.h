#pragma once

// Names of signals and signal codes as reports show them, keyed by this
// system's signal and code numbers.

namespace strombel::crash {

/// The signal's name ("SIGSEGV"), or nullptr when the table has none.
const char* crash_signal_name(int signal);
/// The code's name for the signal ("SEGV_MAPERR"), or nullptr.
const char* crash_signal_code_name(int signal, int code);

}  // namespace strombel::crash
