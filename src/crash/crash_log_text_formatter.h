#pragma once

// Decoded crash reports as plain-text crash logs, in the layout that
// symbolication tools read: the general formatter, and the upload variant that
// the crash upload client puts into its document. Both are stateless; the
// operations are class-wide and may run on any thread.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "crash/crash_log.h"
#include "json/result.h"

namespace strombel::crash {

/// Something that turns a report into bytes.
class CrashLogFormatter {
public:
    virtual ~CrashLogFormatter() = default;
    virtual json::Result<std::vector<uint8_t>> formatReport(const CrashLog& report) = 0;
};

/// The only layout there is.
enum class CrashLogTextFormat : int32_t { iOS = 0 };

/// The string encodings a formatter can write (the platform's numbers).
inline constexpr uint64_t kASCIIStringEncoding = 1;
inline constexpr uint64_t kUTF8StringEncoding = 4;

/// The general formatter. Nothing in the program calls it; it is there for tools.
class CrashLogTextFormatter final : public CrashLogFormatter {
public:
    /// `stringEncoding`: kASCIIStringEncoding (every other character becomes "?")
    /// or kUTF8StringEncoding (any other number is taken as UTF-8).
    CrashLogTextFormatter(CrashLogTextFormat textFormat, uint64_t stringEncoding)
        : textFormat_(textFormat), stringEncoding_(stringEncoding) {}

    /// The whole log.
    static std::string stringValueForCrashReport(const CrashLog& report, CrashLogTextFormat textFormat);
    /// The log in the stored encoding; never fails.
    json::Result<std::vector<uint8_t>> formatReport(const CrashLog& report) override;
    /// One frame line, "\n" included.
    static std::string formatStackFrame(const CrashLogStackFrameInfo& frame, int64_t frameIndex, const CrashLog& report,
                                        bool lp64);

    CrashLogTextFormat textFormat() const { return textFormat_; }
    uint64_t stringEncoding() const { return stringEncoding_; }

private:
    CrashLogTextFormat textFormat_;
    uint64_t stringEncoding_;
};
using UsageCrashLogTextFormatter = CrashLogTextFormatter;

/// One image of the application, as the upload document lists it.
struct CrashUploadAppUUID {
    std::string uuid;  // the image's UUID text, or "???"
    std::string arch;  // cu_archNameFromImageInfo
    std::string type;  // "app" for the process's own file, else "framework"
};

/// The upload variant: the crash reporter key it is given, dates in UTC with a
/// "T", paths with the home folder as "/Users/USER", the application's images
/// marked and their frames shown by address only, file names fitted to 36
/// columns, and "arm64" for every 64-bit ARM subtype 0 or 13.
class CrashUploadTextFormatter {
public:
    static std::string stringValueForCrashReport(const CrashLog& report, std::string_view crashReporterKey);
    /// The application's images in ascending order of base address.
    static std::vector<CrashUploadAppUUID> arrayOfAppUUIDsForCrashReport(const CrashLog& report);
    static std::string cu_archNameFromImageInfo(const CrashLogBinaryImageInfo& image);
    /// One frame line of the upload variant, "\n" included.
    static std::string cu_formatStackFrame(const CrashLogStackFrameInfo& frame, int64_t frameIndex,
                                           const CrashLog& report, bool lp64);
};

}  // namespace strombel::crash
