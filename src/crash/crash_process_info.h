#pragma once

// Facts about a process and the host, read in ordinary context from /proc and
// uname for the report writer and the reporter.

#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <string>

namespace strombel::crash {

class CrashProcessInfo {
public:
    /// The facts of the calling process; absent when /proc cannot tell them.
    static std::optional<CrashProcessInfo> currentProcessInfo();
    /// The facts of process `pid`; absent when it does not exist or cannot be read.
    static std::optional<CrashProcessInfo> withProcessID(pid_t pid);

    pid_t processID() const { return processID_; }
    const std::string& processName() const { return processName_; }
    pid_t parentProcessID() const { return parentProcessID_; }
    /// Seconds since 1970 (UTC) when the process started; 0 when unknown.
    uint64_t startTime() const { return startTime_; }
    /// Whether a debugger or tracer is attached.
    bool isTraced() const { return traced_; }
    /// When the system booted, in seconds since 1970; absent when unknown.
    static std::optional<uint64_t> bootTime();

private:
    pid_t processID_ = 0;
    std::string processName_;
    pid_t parentProcessID_ = 0;
    uint64_t startTime_ = 0;
    bool traced_ = false;
};

struct CrashHostInfoVersion {
    uint64_t major = 0;
    uint64_t minor = 0;
    uint64_t revision = 0;
};

class CrashHostInfo {
public:
    /// The kernel's facts; absent when they cannot be read (the process goes on).
    static std::optional<CrashHostInfo> currentHostInfo();
    /// Parses a release text such as "6.1.0-18-amd64": the leading numbers
    /// joined by "." (missing parts 0).
    static CrashHostInfo withRelease(const std::string& release);

    const CrashHostInfoVersion& kernelVersion() const { return version_; }

private:
    CrashHostInfoVersion version_;
};

/// The second capture instance's names for the same facts. Aliases, not classes
/// of its own: an unreadable kernel release gives that instance no host facts
/// and a log line rather than stopping it. Nothing in the program reads host
/// facts, and uname does not fail on Linux.
using UsageCrashProcessInfo = CrashProcessInfo;
using UsageCrashHostInfo = CrashHostInfo;

}  // namespace strombel::crash
