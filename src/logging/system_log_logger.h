#pragma once

// The system-log logger: every message goes to the machine's system log with a
// severity derived from its flag.

#include <memory>
#include <mutex>
#include <string>
#include <string_view>

#include "logging/logger.h"

namespace strombel::logging {

/// Where system-log entries go. Called on the system-log logger's queue only.
class SystemLogSink {
public:
    virtual ~SystemLogSink() = default;
    /// Sends one entry with a syslog severity (2 critical, 3 error, 4 warning,
    /// 5 notice). Must never block and never fail the caller.
    virtual void send(int severity, std::string_view text) = 0;
};

/// Sends entries as datagrams to the local syslog socket (/dev/log by default),
/// with facility "user" and the process name as the tag. The send never waits: with
/// no listener, or a listener that falls behind, the entry is dropped. A text too
/// long for one datagram is cut to what fits, and the entry says how many bytes
/// were left out.
class DevLogSink final : public SystemLogSink {
public:
    explicit DevLogSink(std::string socketPath = "/dev/log");
    ~DevLogSink() override;
    DevLogSink(const DevLogSink&) = delete;
    DevLogSink& operator=(const DevLogSink&) = delete;

    void send(int severity, std::string_view text) override;

private:
    bool connect();
    size_t largestDatagram() const;

    const std::string socketPath_;
    const std::string tag_;
    int socket_ = -1;
};

/// The system-log logger ("strombel.logging.aslLogger").
class ASLLogger final : public AbstractLogger {
public:
    /// The one instance of the program, sending to /dev/log.
    static std::shared_ptr<ASLLogger> sharedInstance();

    /// A private instance sending to `sink` (tests, tools).
    static std::shared_ptr<ASLLogger> makeWithSink(std::unique_ptr<SystemLogSink> sink);

    /// The system-log severity of a message flag: error 2, warning 3, info 4, any
    /// other flag 5.
    static int severityForFlag(int32_t flag);

    explicit ASLLogger(std::unique_ptr<SystemLogSink> sink);

    void logMessage(const LogMessage& message) override;

private:
    std::unique_ptr<SystemLogSink> client_;
};

}  // namespace strombel::logging
