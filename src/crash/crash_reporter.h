#pragma once

// src/crash/: crash capture, the report reader and its text logs, and the crash
// upload client.
// May include: platform, logging, json, http.

// The crash reporter: enabled once per process, it leaves a report file in
// "com.brindlemoor.crashreporter.data"/<identifier> under the caches folder when
// the process dies of a fatal signal or an uncaught C++ exception; on the next
// run the program asks for it, loads it and purges it. It also writes reports
// of the running process on demand (live reports).
//
// Two capture instances with separate state exist: CrashReporter (the crash
// upload client's) and UsageCrashReporter (the analytics client's). Both keep
// their files in the same folders, so each finds the other's report.

#include <signal.h>
#include <sys/types.h>

#include <cstdint>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

#include "platform/result.h"

namespace strombel::platform {
class MainBundle;
}

namespace strombel::crash {

struct CaptureInstance;

/// How crashes are caught and frames named; fixed once made.
class CrashReporterConfig {
public:
    /// Type 0 (signals) and strategy 0 (no symbols).
    CrashReporterConfig() = default;
    /// `signalHandlerType`: 0 signals; 1 Mach exceptions, which this system does
    /// not have (enabling then fails); anything else installs nothing.
    /// `symbolicationStrategy`: bit 1 names frames from symbol tables.
    CrashReporterConfig(uint64_t signalHandlerType, uint64_t symbolicationStrategy)
        : signalHandlerType_(signalHandlerType), symbolicationStrategy_(symbolicationStrategy) {}
    static CrashReporterConfig defaultConfiguration() { return {}; }

    uint64_t signalHandlerType() const { return signalHandlerType_; }
    uint64_t symbolicationStrategy() const { return symbolicationStrategy_; }

private:
    uint64_t signalHandlerType_ = 0;
    uint64_t symbolicationStrategy_ = 0;
};
using UsageCrashReporterConfig = CrashReporterConfig;

/// Raised (as the exception named "CrashReporterException") on misuse.
class CrashReporterException : public std::runtime_error {
public:
    explicit CrashReporterException(const std::string& reason) : std::runtime_error(reason) {}
    static constexpr const char* kName = "CrashReporterException";
};

/// Called once per crash, after the report file is complete, on the crashing
/// thread inside the signal handler: it must be async-signal-safe.
struct CrashReporterCallbacks {
    uint16_t version = 0;
    void* context = nullptr;
    void (*handleSignal)(siginfo_t* info, void* ucontext, void* context) = nullptr;
};

class CrashReporterBase {
public:
    CrashReporterBase(const CrashReporterBase&) = delete;
    CrashReporterBase& operator=(const CrashReporterBase&) = delete;
    virtual ~CrashReporterBase() = default;

    const std::string& applicationIdentifier() const { return applicationIdentifier_; }
    const std::string& applicationVersion() const { return applicationVersion_; }
    const CrashReporterConfig& config() const { return config_; }
    bool isEnabled() const { return enabled_; }

    std::filesystem::path crashReportDirectory() const { return crashReportDirectory_; }
    std::filesystem::path queuedCrashReportDirectory() const { return crashReportDirectory_ / "queued_reports"; }
    std::filesystem::path crashReportPath() const { return crashReportDirectory_ / "live_report.crashlg"; }

    bool hasPendingCrashReport() const;
    /// The pending report's bytes, or the file system's error.
    platform::Result<std::vector<uint8_t>> loadPendingCrashReportData() const;
    /// Removes the pending report; the file system's error when it cannot.
    platform::Result<void> purgePendingCrashReport() const;

    /// Installs the handlers. Code 3 when a reporter of this instance was
    /// enabled before in this process (also after a failed attempt); code 1 for
    /// system failures, with nothing installed when the writer cannot be prepared.
    platform::Result<void> enableCrashReporter();

    /// A report of the running process in which the calling thread is the
    /// crashed one, with signal SIGTRAP/TRAP_TRACE at the caller's address.
    platform::Result<std::vector<uint8_t>> generateLiveReport();
    /// The same for another thread of the process (by its kernel thread id),
    /// which is held while the report is written and then runs on.
    platform::Result<std::vector<uint8_t>> generateLiveReportWithThread(pid_t thread);

    /// Stored for every reporter of this instance; only before enabling
    /// (CrashReporterException after); a version other than 0 stops the process.
    void setCrashCallbacks(const CrashReporterCallbacks* callbacks);

    /// Keeps bits 1 and 2 of a configured strategy.
    static uint32_t mapToAsyncSymbolicationStrategy(uint64_t strategy) { return static_cast<uint32_t>(strategy & 3); }

protected:
    CrashReporterBase(CaptureInstance& instance, std::string applicationIdentifier, std::string applicationVersion,
                      CrashReporterConfig config);
    /// Identifier and version from the bundle, else the process name (raises
    /// CrashReporterException when there is none either).
    CrashReporterBase(CaptureInstance& instance, const platform::MainBundle& bundle, CrashReporterConfig config);

private:
    platform::Result<std::vector<uint8_t>> liveReport(pid_t thread, uint64_t callerAddress);

    CaptureInstance& instance_;
    CrashReporterConfig config_;
    bool enabled_ = false;
    std::string applicationIdentifier_;
    std::string applicationVersion_;
    std::filesystem::path crashReportDirectory_;
};

/// The main capture instance.
class CrashReporter : public CrashReporterBase {
public:
    /// The process's reporter for the main bundle and the default configuration.
    static CrashReporter& sharedReporter();
    CrashReporter();
    explicit CrashReporter(CrashReporterConfig config);
    CrashReporter(const platform::MainBundle& bundle, CrashReporterConfig config);
    CrashReporter(std::string applicationIdentifier, std::string applicationVersion, CrashReporterConfig config);
};

/// The second capture instance, used by the analytics client: the same
/// behaviour with its own state; its frames are walked by frame pointers only.
class UsageCrashReporter : public CrashReporterBase {
public:
    static UsageCrashReporter& sharedReporter();
    UsageCrashReporter();
    explicit UsageCrashReporter(CrashReporterConfig config);
    UsageCrashReporter(const platform::MainBundle& bundle, CrashReporterConfig config);
    UsageCrashReporter(std::string applicationIdentifier, std::string applicationVersion, CrashReporterConfig config);
};

/// Puts both capture instances back as a process that never enabled them
/// finds them: signal actions and terminate handler as they were, no
/// callbacks, no spare file, enabling allowed again. For tests, between cases;
/// not while a thread may crash.
void crash_reporter_reset_instances();

/// The installed terminate handlers of the two instances.
void crash_uncaught_exception_handler();
void usage_uncaught_exception_handler();

}  // namespace strombel::crash
