#pragma once

// The crash report file and its writer. A report is the 7 bytes "crashlg", a
// version byte 1 and one crashlg.CrashReport protobuf message (see
// crash_report.proto), written field by field without building it in memory.
// The writer record is filled in ordinary context; writing is async-signal-safe.

#include <sys/types.h>

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "crash/crash_async.h"
#include "crash/crash_frame_cursor.h"
#include "crash/crash_image_list.h"
#include "crash/crash_threads.h"

namespace strombel::crash {

inline constexpr char CRASH_REPORT_MAGIC[] = "crashlg";
inline constexpr uint8_t CRASH_REPORT_VERSION = 1;
/// The most bytes a report may take.
inline constexpr uint64_t CRASH_REPORT_LIMIT = 65536;
/// The most frames written for one thread or one exception.
inline constexpr uint32_t CRASH_REPORT_MAX_FRAMES = 512;

/// Symbolication strategy bits.
inline constexpr uint32_t CRASH_SYMBOL_STRATEGY_SYMBOL_TABLE = 1;
inline constexpr uint32_t CRASH_SYMBOL_STRATEGY_OBJC = 2;

/// The signal a report names: its number, code and fault address, and, only when
/// a Mach exception was mapped to it, that exception's type and codes.
struct crash_signal_info {
    int signo = 0;
    int code = 0;
    uint64_t address = 0;
    bool hasMachException = false;
    uint32_t machExceptionType = 0;
    const uint64_t* machCodes = nullptr;
    uint32_t machCodeCount = 0;
};

/// A flag set in ordinary context and read, with acquire, by a writer that may
/// run in a signal handler on another thread (so lock-free). Copies as its
/// value: a record is reset by assigning a fresh one.
struct crash_published_flag {
    std::atomic<bool> value{false};

    crash_published_flag() = default;
    crash_published_flag(const crash_published_flag& other) : value(other.value.load(std::memory_order_relaxed)) {}
    crash_published_flag& operator=(const crash_published_flag& other) {
        value.store(other.value.load(std::memory_order_relaxed), std::memory_order_relaxed);
        return *this;
    }
};

/// Everything the writer reads at write time, filled once beforehand.
struct crash_log_writer {
    bool initialized = false;
    uint32_t symbolicationStrategy = 0;
    bool userRequested = false;
    uint8_t uuid[16] = {};

    std::string osVersion;
    std::string osBuild;
    bool hasOsBuild = false;

    std::string model;
    bool hasModel = false;
    uint64_t cpuType = 0;
    uint64_t cpuSubtype = 0;
    uint32_t processorCount = 0;
    uint32_t logicalProcessorCount = 0;

    std::string applicationIdentifier;
    std::string applicationVersion;

    std::string processName;
    bool hasProcessName = false;
    uint32_t processID = 0;
    std::string processPath;
    bool hasProcessPath = false;
    uint64_t startTime = 0;
    std::string parentProcessName;
    bool hasParentProcessName = false;
    uint32_t parentProcessID = 0;
    bool native = true;
    /// For a forked child, which writes with its parent's record: its own
    /// start is read at write time in clock ticks after the boot.
    uint64_t bootTime = 0;
    uint64_t clockTicksPerSecond = 0;

    struct {
        /// Set (release) once the three below are complete: a writer on another
        /// thread reads them only after seeing it (acquire).
        crash_published_flag hasException;
        std::string name;
        std::string reason;
        std::vector<uint64_t> callStack;
    } uncaughtException;
};

/// Fills the record (ordinary context). 5 when the process's own facts cannot
/// be had; the record must then not be used.
int crash_log_writer_init(crash_log_writer* writer, const std::string& applicationIdentifier,
                          const std::string& applicationVersion, uint32_t symbolicationStrategy, bool userRequested);
/// Records an uncaught exception (ordinary context); a second one on the same
/// record stops the process. Names and reasons are cut to a size that leaves
/// room in the report for the threads.
void crash_log_writer_set_exception(crash_log_writer* writer, const std::string& name, const std::string& reason,
                                    const std::vector<uint64_t>& callStack);
int crash_log_writer_close(crash_log_writer* writer);
void crash_log_writer_free(crash_log_writer* writer);

/// What the writer works with, reserved beforehand: the memory map, the image
/// list, the thread table and the frame readers.
struct crash_write_environment {
    crash_memory_map* memory = nullptr;
    crash_image_list* images = nullptr;
    crash_thread_table* threads = nullptr;
    const crash_frame_reader* readers = nullptr;
    uint32_t readerCount = 0;
    /// Rules the DWARF reader found, kept for the report's walks (optional).
    crash_dwarf_rules_cache* rulesCache = nullptr;
    /// How long another thread has to answer before it is reported by number only.
    uint64_t suspendTimeoutNanos = 250000000;
    uint32_t reportGeneration = 0;
};

/// Writes a report to `file` (async-signal-safe). Every other thread is held
/// while it runs. `currentState`, when given, is the calling thread's state;
/// without it the calling thread is left out. The thread `crashedThread` is
/// marked crashed and always written (when it is a thread of the process), as
/// are the program's image, the exception and the signal: threads and images
/// that would not fit in the file's limit are left out whole, and the crashed
/// thread loses its outer frames if need be. Registers are written for the
/// crashed thread only, and only when its walk gives a frame. Always 0: the
/// file's flush or close tells of output failures.
int crash_log_writer_write(crash_log_writer* writer, crash_write_environment* environment, pid_t crashedThread,
                           crash_async_file* file, const crash_signal_info* signalInfo,
                           const crash_thread_state* currentState);

}  // namespace strombel::crash
