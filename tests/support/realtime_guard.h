#pragma once

// The real-time guard of the test build (realtime_guard.cpp, linked into the
// binaries that run real-time code). While a thread is inside a
// platform::RealtimeScope, these abort the process with a stack trace:
// allocating or freeing memory (malloc and its kin, so operator new and delete
// too), locking a mutex or a read-write lock, waiting on a condition or a
// semaphore, sleeping or yielding, and reading, writing, opening or polling
// files, sockets and pipes. Under AddressSanitizer or ThreadSanitizer, whose
// runtimes own these functions, only allocation and freeing are watched (through
// the sanitizer's hooks).

namespace strombel::testing {

/// True when this binary carries the guard (for tests that show it works).
bool realtimeGuardActive();
/// True when the guard also watches locks, waits, sleeps and file calls.
bool realtimeGuardWatchesSystemCalls();

}  // namespace strombel::testing
