#pragma once

namespace strombel::platform {

/// SIGTERM and SIGINT, taken as requests to end the program, never as
/// interruptions.
///
/// Once held, the two signals are blocked in the thread that held them, and so in
/// every thread made from it afterwards: they stay pending until the main loop
/// reads them from `terminationSignalDescriptor()`. No system call of ours or of
/// a library (the sound server's client, the MIDI library) is ever cut short by
/// them, and a signal that comes before the main loop runs, or while the program
/// is being taken down, waits instead of killing the program half made. Programs
/// started with QProcess get an empty mask from it.

/// Holds the two signals from now on for the calling thread and every thread it
/// makes; call it on the main thread before any other thread exists. Safe before
/// the program's own initialisers have run. Returns false when the signals could
/// not be held (the program then ends on them as any program does).
bool holdTerminationSignals();

/// True once SIGTERM or SIGINT came for the process (pending or already read).
/// On the main thread, or on any thread made after `holdTerminationSignals`.
bool terminationRequested();

/// A non-blocking descriptor that turns readable when a termination signal is
/// pending; `takeTerminationSignals` reads it. -1 when the signals are not held.
int terminationSignalDescriptor();

/// Reads every termination signal pending for the process and the calling thread;
/// returns how many there were.
int takeTerminationSignals();

}  // namespace strombel::platform
