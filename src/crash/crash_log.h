#pragma once

// The crash report reader and its model. A stored report file (the "crashlg"
// magic, a version byte and one protobuf message) decodes as a whole into an
// immutable tree: system, machine, application, process, signal, Mach
// exception, threads with frames and registers, binary images and the uncaught
// exception, or fails as a whole with an error of "CrashReporterErrorDomain",
// code 2. The text formatters and the upload client read reports only through
// this model.
//
//   auto report = CrashLog::initWithData(bytes);
//   if (!report.ok()) return report.error();       // message: what was wrong
//   for (const CrashLogThreadInfo& thread : report.value().threads()) ...
//
// Strings that are not valid UTF-8 read with U+FFFD in place of each bad byte
// sequence. A finished report may be read from any thread.

#include <array>
#include <chrono>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "platform/result.h"

namespace strombel::crash {

/// The error domain of the reader (and of the capture).
inline constexpr std::string_view kCrashReporterErrorDomain = "CrashReporterErrorDomain";

/// A moment, to the second, counted from 1970-01-01 00:00 UTC.
using CrashLogDate = std::chrono::sys_seconds;

class CrashLogProcessorInfo {
public:
    /// `typeEncoding`: 0 unknown, 1 Mach CPU type and subtype.
    CrashLogProcessorInfo(int32_t typeEncoding, uint64_t type, uint64_t subtype)
        : typeEncoding_(typeEncoding), type_(type), subtype_(subtype) {}
    static constexpr int32_t kTypeEncodingUnknown = 0;
    static constexpr int32_t kTypeEncodingMach = 1;

    int32_t typeEncoding() const { return typeEncoding_; }
    uint64_t type() const { return type_; }
    uint64_t subtype() const { return subtype_; }

private:
    int32_t typeEncoding_;
    uint64_t type_;
    uint64_t subtype_;
};

class CrashLogSystemInfo {
public:
    CrashLogSystemInfo(int32_t operatingSystem, std::string operatingSystemVersion,
                       std::optional<std::string> operatingSystemBuild, int32_t architecture,
                       std::optional<CrashLogDate> timestamp)
        : operatingSystem_(operatingSystem),
          operatingSystemVersion_(std::move(operatingSystemVersion)),
          operatingSystemBuild_(std::move(operatingSystemBuild)),
          architecture_(architecture),
          timestamp_(timestamp) {}
    /// The form without a build.
    CrashLogSystemInfo(int32_t operatingSystem, std::string operatingSystemVersion, int32_t architecture,
                       std::optional<CrashLogDate> timestamp)
        : CrashLogSystemInfo(operatingSystem, std::move(operatingSystemVersion), std::nullopt, architecture, timestamp) {}

    /// 0 Mac OS X, 1 iPhone OS, 2 the simulator, 3 unknown.
    int32_t operatingSystem() const { return operatingSystem_; }
    const std::string& operatingSystemVersion() const { return operatingSystemVersion_; }
    const std::optional<std::string>& operatingSystemBuild() const { return operatingSystemBuild_; }
    /// 0 x86, 1 x86-64, 2 ARMv6, 3 PPC, 4 PPC64, 5 ARMv7, 6 unknown.
    int32_t architecture() const { return architecture_; }
    const std::optional<CrashLogDate>& timestamp() const { return timestamp_; }

private:
    int32_t operatingSystem_;
    std::string operatingSystemVersion_;
    std::optional<std::string> operatingSystemBuild_;
    int32_t architecture_;
    std::optional<CrashLogDate> timestamp_;
};

class CrashLogMachineInfo {
public:
    CrashLogMachineInfo(std::optional<std::string> modelName, std::optional<CrashLogProcessorInfo> processorInfo,
                        uint64_t processorCount, uint64_t logicalProcessorCount)
        : modelName_(std::move(modelName)),
          processorInfo_(processorInfo),
          processorCount_(processorCount),
          logicalProcessorCount_(logicalProcessorCount) {}

    const std::optional<std::string>& modelName() const { return modelName_; }
    const std::optional<CrashLogProcessorInfo>& processorInfo() const { return processorInfo_; }
    uint64_t processorCount() const { return processorCount_; }
    uint64_t logicalProcessorCount() const { return logicalProcessorCount_; }

private:
    std::optional<std::string> modelName_;
    std::optional<CrashLogProcessorInfo> processorInfo_;
    uint64_t processorCount_;
    uint64_t logicalProcessorCount_;
};

class CrashLogApplicationInfo {
public:
    CrashLogApplicationInfo(std::string applicationIdentifier, std::string applicationVersion)
        : applicationIdentifier_(std::move(applicationIdentifier)), applicationVersion_(std::move(applicationVersion)) {}

    const std::string& applicationIdentifier() const { return applicationIdentifier_; }
    const std::string& applicationVersion() const { return applicationVersion_; }

private:
    std::string applicationIdentifier_;
    std::string applicationVersion_;
};

class CrashLogProcessInfo {
public:
    CrashLogProcessInfo(std::optional<std::string> processName, uint64_t processID, std::optional<std::string> processPath,
                        std::optional<CrashLogDate> processStartTime, std::optional<std::string> parentProcessName,
                        uint64_t parentProcessID, bool native)
        : processName_(std::move(processName)),
          processID_(processID),
          processPath_(std::move(processPath)),
          processStartTime_(processStartTime),
          parentProcessName_(std::move(parentProcessName)),
          parentProcessID_(parentProcessID),
          native_(native) {}

    const std::optional<std::string>& processName() const { return processName_; }
    uint64_t processID() const { return processID_; }
    const std::optional<std::string>& processPath() const { return processPath_; }
    const std::optional<CrashLogDate>& processStartTime() const { return processStartTime_; }
    const std::optional<std::string>& parentProcessName() const { return parentProcessName_; }
    uint64_t parentProcessID() const { return parentProcessID_; }
    bool native() const { return native_; }

private:
    std::optional<std::string> processName_;
    uint64_t processID_;
    std::optional<std::string> processPath_;
    std::optional<CrashLogDate> processStartTime_;
    std::optional<std::string> parentProcessName_;
    uint64_t parentProcessID_;
    bool native_;
};

class CrashLogSignalInfo {
public:
    CrashLogSignalInfo(std::string name, std::string code, uint64_t address)
        : name_(std::move(name)), code_(std::move(code)), address_(address) {}

    /// The signal's name as the writer stored it ("SIGSEGV").
    const std::string& name() const { return name_; }
    /// The name of the signal's code ("SEGV_MAPERR").
    const std::string& code() const { return code_; }
    /// The fault address.
    uint64_t address() const { return address_; }

private:
    std::string name_;
    std::string code_;
    uint64_t address_;
};

class CrashLogMachExceptionInfo {
public:
    CrashLogMachExceptionInfo(uint64_t type, std::vector<uint64_t> codes) : type_(type), codes_(std::move(codes)) {}

    uint64_t type() const { return type_; }
    /// Fewer than 256.
    const std::vector<uint64_t>& codes() const { return codes_; }

private:
    uint64_t type_;
    std::vector<uint64_t> codes_;
};

class CrashLogSymbolInfo {
public:
    CrashLogSymbolInfo(std::string symbolName, uint64_t startAddress, uint64_t endAddress)
        : symbolName_(std::move(symbolName)), startAddress_(startAddress), endAddress_(endAddress) {}

    const std::string& symbolName() const { return symbolName_; }
    uint64_t startAddress() const { return startAddress_; }
    /// 0 when the report does not know it.
    uint64_t endAddress() const { return endAddress_; }

private:
    std::string symbolName_;
    uint64_t startAddress_;
    uint64_t endAddress_;
};

class CrashLogStackFrameInfo {
public:
    CrashLogStackFrameInfo(uint64_t instructionPointer, std::optional<CrashLogSymbolInfo> symbolInfo)
        : instructionPointer_(instructionPointer), symbolInfo_(std::move(symbolInfo)) {}

    uint64_t instructionPointer() const { return instructionPointer_; }
    const std::optional<CrashLogSymbolInfo>& symbolInfo() const { return symbolInfo_; }

private:
    uint64_t instructionPointer_;
    std::optional<CrashLogSymbolInfo> symbolInfo_;
};

class CrashLogRegisterInfo {
public:
    CrashLogRegisterInfo(std::string registerName, uint64_t registerValue)
        : registerName_(std::move(registerName)), registerValue_(registerValue) {}

    const std::string& registerName() const { return registerName_; }
    uint64_t registerValue() const { return registerValue_; }

private:
    std::string registerName_;
    uint64_t registerValue_;
};

class CrashLogThreadInfo {
public:
    CrashLogThreadInfo(int64_t threadNumber, std::vector<CrashLogStackFrameInfo> stackFrames, bool crashed,
                       std::vector<CrashLogRegisterInfo> registers)
        : threadNumber_(threadNumber), stackFrames_(std::move(stackFrames)), crashed_(crashed), registers_(std::move(registers)) {}

    int64_t threadNumber() const { return threadNumber_; }
    const std::vector<CrashLogStackFrameInfo>& stackFrames() const { return stackFrames_; }
    bool crashed() const { return crashed_; }
    const std::vector<CrashLogRegisterInfo>& registers() const { return registers_; }

private:
    int64_t threadNumber_;
    std::vector<CrashLogStackFrameInfo> stackFrames_;
    bool crashed_;
    std::vector<CrashLogRegisterInfo> registers_;
};

class CrashLogBinaryImageInfo {
public:
    /// `uuid`: the raw bytes; none or an empty one means the image has none.
    CrashLogBinaryImageInfo(std::optional<CrashLogProcessorInfo> codeType, uint64_t baseAddress, uint64_t size,
                            std::string name, std::span<const uint8_t> uuid);

    const std::optional<CrashLogProcessorInfo>& codeType() const { return codeType_; }
    uint64_t imageBaseAddress() const { return imageBaseAddress_; }
    uint64_t imageSize() const { return imageSize_; }
    /// The image's path.
    const std::string& imageName() const { return imageName_; }
    bool hasImageUUID() const { return imageUUID_.has_value(); }
    /// The UUID's bytes in lower-case hexadecimal, in stored order.
    const std::optional<std::string>& imageUUID() const { return imageUUID_; }
    /// Whether the image holds `address` (base <= address < base + size).
    bool contains(uint64_t address) const {
        return address >= imageBaseAddress_ && address - imageBaseAddress_ < imageSize_;
    }

private:
    std::optional<CrashLogProcessorInfo> codeType_;
    uint64_t imageBaseAddress_;
    uint64_t imageSize_;
    std::string imageName_;
    std::optional<std::string> imageUUID_;
};

class CrashLogExceptionInfo {
public:
    CrashLogExceptionInfo(std::string exceptionName, std::string exceptionReason,
                          std::optional<std::vector<CrashLogStackFrameInfo>> stackFrames)
        : exceptionName_(std::move(exceptionName)),
          exceptionReason_(std::move(exceptionReason)),
          stackFrames_(std::move(stackFrames)) {}
    /// The form without frames.
    CrashLogExceptionInfo(std::string exceptionName, std::string exceptionReason)
        : CrashLogExceptionInfo(std::move(exceptionName), std::move(exceptionReason), std::nullopt) {}

    const std::string& exceptionName() const { return exceptionName_; }
    const std::string& exceptionReason() const { return exceptionReason_; }
    /// None when the report has no frames for the exception.
    const std::optional<std::vector<CrashLogStackFrameInfo>>& stackFrames() const { return stackFrames_; }

private:
    std::string exceptionName_;
    std::string exceptionReason_;
    std::optional<std::vector<CrashLogStackFrameInfo>> stackFrames_;
};

/// One decoded crash report.
class CrashLog {
public:
    /// Decodes a stored report. Fails as a whole, with the message of the first
    /// check that failed (localised through the main bundle's default table).
    static platform::Result<CrashLog> initWithData(std::span<const uint8_t> data);

    const CrashLogSystemInfo& systemInfo() const { return systemInfo_; }
    bool hasMachineInfo() const { return machineInfo_.has_value(); }
    const std::optional<CrashLogMachineInfo>& machineInfo() const { return machineInfo_; }
    const CrashLogApplicationInfo& applicationInfo() const { return applicationInfo_; }
    bool hasProcessInfo() const { return processInfo_.has_value(); }
    const std::optional<CrashLogProcessInfo>& processInfo() const { return processInfo_; }
    const CrashLogSignalInfo& signalInfo() const { return signalInfo_; }
    /// Present only when the signal section carries one.
    const std::optional<CrashLogMachExceptionInfo>& machExceptionInfo() const { return machExceptionInfo_; }
    /// At least one.
    const std::vector<CrashLogThreadInfo>& threads() const { return threads_; }
    /// At least one.
    const std::vector<CrashLogBinaryImageInfo>& images() const { return images_; }
    bool hasExceptionInfo() const { return exceptionInfo_.has_value(); }
    const std::optional<CrashLogExceptionInfo>& exceptionInfo() const { return exceptionInfo_; }
    /// The report's 16-byte identifier, when it has one.
    const std::optional<std::array<uint8_t, 16>>& uuidRef() const { return uuidRef_; }

    /// The first image, in report order, that holds `address`; null when none does.
    const CrashLogBinaryImageInfo* imageForAddress(uint64_t address) const;

private:
    struct Parts;
    explicit CrashLog(Parts&& parts);

    CrashLogSystemInfo systemInfo_;
    std::optional<CrashLogMachineInfo> machineInfo_;
    CrashLogApplicationInfo applicationInfo_;
    std::optional<CrashLogProcessInfo> processInfo_;
    CrashLogSignalInfo signalInfo_;
    std::optional<CrashLogMachExceptionInfo> machExceptionInfo_;
    std::vector<CrashLogThreadInfo> threads_;
    std::vector<CrashLogBinaryImageInfo> images_;
    std::optional<CrashLogExceptionInfo> exceptionInfo_;
    std::optional<std::array<uint8_t, 16>> uuidRef_;
};

/// A UUID's canonical upper-case form, 8-4-4-4-12 hexadecimal digits.
std::string uuidString(const std::array<uint8_t, 16>& uuid);

// The analytics client's capture instance reads with the same reader and model
// (they hold no state of their own).
using UsageCrashLog = CrashLog;
using UsageCrashLogSystemInfo = CrashLogSystemInfo;
using UsageCrashLogMachineInfo = CrashLogMachineInfo;
using UsageCrashLogApplicationInfo = CrashLogApplicationInfo;
using UsageCrashLogProcessInfo = CrashLogProcessInfo;
using UsageCrashLogSignalInfo = CrashLogSignalInfo;
using UsageCrashLogMachExceptionInfo = CrashLogMachExceptionInfo;
using UsageCrashLogThreadInfo = CrashLogThreadInfo;
using UsageCrashLogStackFrameInfo = CrashLogStackFrameInfo;
using UsageCrashLogSymbolInfo = CrashLogSymbolInfo;
using UsageCrashLogRegisterInfo = CrashLogRegisterInfo;
using UsageCrashLogBinaryImageInfo = CrashLogBinaryImageInfo;
using UsageCrashLogExceptionInfo = CrashLogExceptionInfo;
using UsageCrashLogProcessorInfo = CrashLogProcessorInfo;

}  // namespace strombel::crash
