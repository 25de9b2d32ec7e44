// The report reader takes files that survived a crash, or did not quite: any
// bytes at all either decode into a whole report or fail with code 2, and a
// report that decodes formats in both layouts without reading outside itself.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>

#include "crash/crash_log.h"
#include "crash/crash_log_text_formatter.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace strombel::crash;
    strombel::platform::Result<CrashLog> report = CrashLog::initWithData(std::span(data, size));
    if (!report.ok()) {
        if (report.error().code != 2 || report.error().domain != kCrashReporterErrorDomain) std::abort();
        return 0;
    }
    if (report.value().threads().empty() || report.value().images().empty()) std::abort();
    std::string general = CrashLogTextFormatter::stringValueForCrashReport(report.value(), CrashLogTextFormat::iOS);
    std::string upload = CrashUploadTextFormatter::stringValueForCrashReport(report.value(), "key");
    if (general.rfind("Incident Identifier: ", 0) != 0 || upload.rfind("Incident Identifier: ", 0) != 0) std::abort();
    CrashUploadTextFormatter::arrayOfAppUUIDsForCrashReport(report.value());
    return 0;
}
