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
#include "platform/result.h"

namespace strombel::crash {

/// Something that turns a report into bytes.
class CrashLogFormatter {
public:
    virtual ~CrashLogFormatter() = default;
    virtual platform::Result<std::vector<uint8_t>> formatReport(const CrashLog& report) = 0;
};

/// The only layout there is.
enum class CrashLogTextFormat : int32_t { iOS = 0 };

/// The string encodings a formatter can write (the platform's numbers).
inline constexpr uint64_t kASCIIStringEncoding = 1;
inline constexpr uint64_t kNEXTSTEPStringEncoding = 2;
inline constexpr uint64_t kJapaneseEUCStringEncoding = 3;
inline constexpr uint64_t kUTF8StringEncoding = 4;
inline constexpr uint64_t kISOLatin1StringEncoding = 5;
inline constexpr uint64_t kSymbolStringEncoding = 6;
inline constexpr uint64_t kNonLossyASCIIStringEncoding = 7;
inline constexpr uint64_t kShiftJISStringEncoding = 8;
inline constexpr uint64_t kISOLatin2StringEncoding = 9;
inline constexpr uint64_t kUnicodeStringEncoding = 10;
inline constexpr uint64_t kWindowsCP1251StringEncoding = 11;
inline constexpr uint64_t kWindowsCP1252StringEncoding = 12;
inline constexpr uint64_t kWindowsCP1253StringEncoding = 13;
inline constexpr uint64_t kWindowsCP1254StringEncoding = 14;
inline constexpr uint64_t kWindowsCP1250StringEncoding = 15;
inline constexpr uint64_t kISO2022JPStringEncoding = 21;
inline constexpr uint64_t kMacOSRomanStringEncoding = 30;
inline constexpr uint64_t kUTF16BigEndianStringEncoding = 0x90000100;
inline constexpr uint64_t kUTF16LittleEndianStringEncoding = 0x94000100;
inline constexpr uint64_t kUTF32StringEncoding = 0x8c000100;
inline constexpr uint64_t kUTF32BigEndianStringEncoding = 0x98000100;
inline constexpr uint64_t kUTF32LittleEndianStringEncoding = 0x9c000100;

/// `text` (UTF-8) in the string encoding `encoding`, lossy: a character the
/// encoding cannot hold becomes "?". The byte sets go through the C library's
/// converters; the 16- and 32-bit forms without a byte order (kUnicodeStringEncoding,
/// kUTF32StringEncoding) are little-endian with a byte-order mark; the non-lossy
/// ASCII form writes a backslash as two, U+0080 to U+00FF as a backslash and
/// three octal digits, and the rest as a backslash, "u" and four hexadecimal
/// digits per UTF-16 unit.
/// NEXTSTEP's upper half is not available here: it writes as ASCII. An
/// encoding this system cannot write (the Symbol set, an unknown number) gives UTF-8.
std::vector<uint8_t> encodeText(std::string_view text, uint64_t encoding);

/// The general formatter. Nothing in the program calls it; it is there for tools.
class CrashLogTextFormatter final : public CrashLogFormatter {
public:
    /// `stringEncoding`: one of the platform's string encoding numbers above
    /// (see encodeText).
    CrashLogTextFormatter(CrashLogTextFormat textFormat, uint64_t stringEncoding)
        : textFormat_(textFormat), stringEncoding_(stringEncoding) {}

    /// The whole log.
    static std::string stringValueForCrashReport(const CrashLog& report, CrashLogTextFormat textFormat);
    /// The log in the stored encoding; never fails.
    platform::Result<std::vector<uint8_t>> formatReport(const CrashLog& report) override;
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
