// The report reader: what a stored report decodes into, every way a report
// file can be wrong, and damaged copies of real reports of the crash probe.

#include "crash/crash_log.h"

#include <gtest/gtest.h>

#include <fstream>
#include <random>

#include "crash/crash_log_text_formatter.h"
#include "crash_report_builder.h"
#include "crash_test_support.h"
#include "platform/main_bundle.h"

namespace strombel::crash {
namespace {

using testing::ReportBuilder;

std::vector<uint8_t> uuidBytes() {
    return {0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF, 0x10, 0x32, 0x54, 0x76, 0x98, 0xBA, 0xDC, 0xFE};
}

// A report with one thread and one image, decodable as it stands.
void addMinimum(ReportBuilder& builder) {
    builder.addThread(0, true, {builder.frame(0x1010, "main", 0x1000)}, {{"rip", 0x1010}});
    builder.addImage(0x1000, 0x1000, "/opt/Strombel.app/Strombel", uuidBytes(), builder.processor(16777223, 3));
}

std::string errorOf(const std::vector<uint8_t>& bytes) {
    platform::Result<CrashLog> report = CrashLog::initWithData(bytes);
    if (report.ok()) return "decoded";
    EXPECT_EQ(report.error().domain, "CrashReporterErrorDomain");
    EXPECT_EQ(report.error().code, 2);
    return report.error().message();
}

TEST(CrashLog, DecodesEverySection) {
    ReportBuilder builder;
    builder.setReportUUID(uuidBytes());
    builder.addThread(0, false, {builder.frame(0x1010, "_main", 0x1000), builder.frame(0x9999)});
    builder.addThread(3, true, {builder.frame(0x2020)}, {{"rip", 0x2020}, {"rsp", 0x7000}});
    auto* image = builder.addImage(0x1000, 0x1000, "/opt/Strombel.app/Strombel", uuidBytes(), builder.processor(16777223, 3));
    (void)image;
    auto* library = builder.addImage(0x2000, 0x100, "/usr/lib/libpads.so");
    builder.setEmptyUUID(library);
    builder.setException("std::runtime_error", "the pads ran out", {builder.frame(0x1010)});
    builder.setMachCodes(255);

    platform::Result<CrashLog> decoded = CrashLog::initWithData(builder.bytes());
    ASSERT_TRUE(decoded.ok()) << decoded.error().description();
    const CrashLog& report = decoded.value();
    EXPECT_EQ(report.systemInfo().operatingSystem(), 3);
    EXPECT_EQ(report.systemInfo().operatingSystemVersion(), "6.1.0");
    EXPECT_EQ(report.systemInfo().operatingSystemBuild(), std::optional<std::string>("10B144"));
    EXPECT_EQ(report.systemInfo().architecture(), 1);
    EXPECT_EQ(report.systemInfo().timestamp()->time_since_epoch().count(), 1362139200);
    ASSERT_TRUE(report.hasMachineInfo());
    EXPECT_EQ(report.machineInfo()->modelName(), std::optional<std::string>("Desk1,1"));
    EXPECT_EQ(report.machineInfo()->processorInfo()->type(), 16777223u);
    EXPECT_EQ(report.machineInfo()->logicalProcessorCount(), 8u);
    EXPECT_EQ(report.applicationInfo().applicationIdentifier(), "org.strombel.Strombel");
    ASSERT_TRUE(report.hasProcessInfo());
    EXPECT_EQ(report.processInfo()->processStartTime()->time_since_epoch().count(), 1362139190);
    EXPECT_EQ(report.processInfo()->parentProcessName(), std::optional<std::string>("launcher"));
    EXPECT_EQ(report.signalInfo().name(), "SIGSEGV");
    EXPECT_EQ(report.signalInfo().code(), "SEGV_MAPERR");
    EXPECT_EQ(report.signalInfo().address(), 0x10u);
    ASSERT_TRUE(report.machExceptionInfo());
    EXPECT_EQ(report.machExceptionInfo()->codes().size(), 255u) << "255 codes are fine";
    ASSERT_EQ(report.threads().size(), 2u);
    EXPECT_EQ(report.threads()[1].threadNumber(), 3);
    EXPECT_TRUE(report.threads()[1].crashed());
    EXPECT_EQ(report.threads()[0].stackFrames()[0].symbolInfo()->symbolName(), "_main");
    EXPECT_EQ(report.threads()[0].stackFrames()[0].symbolInfo()->endAddress(), 0u);
    EXPECT_FALSE(report.threads()[0].stackFrames()[1].symbolInfo());
    EXPECT_EQ(report.threads()[1].registers()[1].registerName(), "rsp");
    ASSERT_EQ(report.images().size(), 2u);
    EXPECT_EQ(report.images()[0].imageUUID(), std::optional<std::string>("0123456789abcdef1032547698badcfe"));
    EXPECT_EQ(report.images()[0].codeType()->subtype(), 3u);
    EXPECT_FALSE(report.images()[1].hasImageUUID()) << "a UUID of no bytes counts as none";
    ASSERT_TRUE(report.hasExceptionInfo());
    EXPECT_EQ(report.exceptionInfo()->exceptionReason(), "the pads ran out");
    EXPECT_EQ(report.exceptionInfo()->stackFrames()->size(), 1u);
    ASSERT_TRUE(report.uuidRef());
    EXPECT_EQ(uuidString(*report.uuidRef()), "01234567-89AB-CDEF-1032-547698BADCFE");

    EXPECT_EQ(report.imageForAddress(0x1000), &report.images()[0]);
    EXPECT_EQ(report.imageForAddress(0x1FFF), &report.images()[0]);
    EXPECT_EQ(report.imageForAddress(0x2000), &report.images()[1]) << "base + size is past the image";
    EXPECT_EQ(report.imageForAddress(0x2100), nullptr);
    EXPECT_EQ(report.imageForAddress(0xFFF), nullptr);
}

TEST(CrashLog, AbsentValuesReadAsNone) {
    ReportBuilder builder;
    addMinimum(builder);
    builder.system.timestamp = 0;
    builder.system.has_operating_system = 0;
    builder.system.os_build = nullptr;
    builder.process.has_start_time = 0;
    builder.report.machine_info = nullptr;
    builder.exception.n_frames = 0;
    builder.setException("E", "R");
    platform::Result<CrashLog> decoded = CrashLog::initWithData(builder.bytes());
    ASSERT_TRUE(decoded.ok());
    const CrashLog& report = decoded.value();
    EXPECT_FALSE(report.systemInfo().timestamp()) << "a timestamp of 0 is none";
    EXPECT_EQ(report.systemInfo().operatingSystem(), 0) << "0 when absent";
    EXPECT_FALSE(report.systemInfo().operatingSystemBuild());
    EXPECT_FALSE(report.processInfo()->processStartTime());
    EXPECT_FALSE(report.hasMachineInfo());
    EXPECT_FALSE(report.uuidRef()) << "no report_info, no identifier";
    EXPECT_FALSE(report.machExceptionInfo());
    EXPECT_FALSE(report.exceptionInfo()->stackFrames()) << "no frames: none, not an empty list";
}

TEST(CrashLog, TextThatIsNotUtf8ReadsWithReplacementCharacters) {
    ReportBuilder builder;
    addMinimum(builder);
    builder.application.version = builder.text("1.\xFF" "2\xE2\x82");
    builder.signal.name = builder.text("SIG\xC0\xAFSEGV \xE2\x82\xAC");
    platform::Result<CrashLog> decoded = CrashLog::initWithData(builder.bytes());
    ASSERT_TRUE(decoded.ok());
    EXPECT_EQ(decoded.value().applicationInfo().applicationVersion(), "1.\xEF\xBF\xBD" "2\xEF\xBF\xBD");
    EXPECT_EQ(decoded.value().signalInfo().name(), "SIG\xEF\xBF\xBDSEGV \xE2\x82\xAC") << "one per bad sequence";
}

TEST(CrashLog, ImagesAtTheTopOfTheAddressSpaceDoNotWrapAround) {
    ReportBuilder builder;
    builder.addThread(0, true, {builder.frame(0x10)});
    builder.addImage(0xFFFFFFFFFFFFF000, 0x2000, "/opt/high.so");
    builder.addImage(0x0, 0x100, "/opt/low.so");
    platform::Result<CrashLog> decoded = CrashLog::initWithData(builder.bytes());
    ASSERT_TRUE(decoded.ok());
    EXPECT_EQ(decoded.value().imageForAddress(0x10), &decoded.value().images()[1])
        << "base + size overflows, yet 0x10 is not inside the high image";
    EXPECT_EQ(decoded.value().imageForAddress(0xFFFFFFFFFFFFFFFF), &decoded.value().images()[0]);
}

struct BadReport {
    const char* name;
    std::function<std::vector<uint8_t>()> bytes;
    const char* message;
};

std::vector<uint8_t> built(const std::function<void(ReportBuilder&)>& change) {
    ReportBuilder builder;
    addMinimum(builder);
    change(builder);
    return builder.bytes();
}

TEST(CrashLog, EveryWayAReportCanBeWrong) {
    const std::vector<BadReport> cases = {
        {"empty", [] { return std::vector<uint8_t>{}; }, "Could not decode truncated crash log"},
        {"header only", [] { return std::vector<uint8_t>{'c', 'r', 'a', 's', 'h', 'l', 'g', 1}; },
         "Could not decode truncated crash log"},
        {"other magic",
         [] {
             auto bytes = built([](ReportBuilder&) {});
             bytes[0] = 'C';
             return bytes;
         },
         "Could not decode invalid crash log header"},
        {"version 2",
         [] {
             auto bytes = built([](ReportBuilder&) {});
             bytes[7] = 2;
             return bytes;
         },
         "Could not decode unsupported crash report version: 2"},
        {"not a message", [] { return std::vector<uint8_t>{'c', 'r', 'a', 's', 'h', 'l', 'g', 1, 0xFF, 0xFF}; },
         "An unknown error occured decoding the crash report"},
        {"no system section (protobuf-c refuses it)",
         [] { return built([](ReportBuilder& b) { b.report.system_info = nullptr; }); },
         "An unknown error occured decoding the crash report"},
        {"8-byte report identifier",
         [] { return built([](ReportBuilder& b) { b.setReportUUID({1, 2, 3, 4, 5, 6, 7, 8}); }); },
         "Report UUID value is not a standard 16 bytes"},
        {"no thread",
         [] {
             return built([](ReportBuilder& b) {
                 b.report.n_threads = 0;
                 b.report.threads = nullptr;
             });
         },
         "Crash report is missing thread state information"},
        {"no image",
         [] {
             return built([](ReportBuilder& b) {
                 b.report.n_binary_images = 0;
                 b.report.binary_images = nullptr;
             });
         },
         "Crash report is missing binary image information"},
        {"256 Mach exception codes", [] { return built([](ReportBuilder& b) { b.setMachCodes(256); }); },
         "Crash report includes too many Mach Exception codes"},
    };
    for (const BadReport& test : cases) {
        EXPECT_EQ(errorOf(test.bytes()), test.message) << test.name;
    }
}

TEST(CrashLog, ATranslationReplacesTheMessage) {
    strombel::testing::TempDir bundle;
    std::ofstream(bundle / "Localizable.strings")
        << "<?xml version=\"1.0\" encoding=\"UTF-8\"?><plist version=\"1.0\"><dict>"
           "<key>Could not decode unsupported crash report version: %d</key><string>Version %d unbekannt</string>"
           "</dict></plist>";
    platform::MainBundle::setShared(std::make_unique<platform::MainBundle>(bundle.path()));
    auto bytes = built([](ReportBuilder&) {});
    bytes[7] = 9;
    EXPECT_EQ(errorOf(bytes), "Version 9 unbekannt");
    bytes[0] = 'X';
    EXPECT_EQ(errorOf(bytes), "Could not decode invalid crash log header") << "untranslated: the English text";
    platform::MainBundle::setShared(nullptr);
}

// ---- Real reports, whole and damaged -----------------------------------------------------

std::vector<uint8_t> probeReport(testing::ProbeSandbox& sandbox, const std::string& scenario) {
    testing::ProbeRun run = sandbox.run({scenario});
    EXPECT_FALSE(run.exitedCleanly()) << run.output;
    return testing::readBytes(sandbox.reportPath());
}

TEST(CrashLog, DamagedProbeReportsDecodeOrFailButNeverCrash) {
    testing::ProbeSandbox sandbox;
    std::vector<uint8_t> whole = probeReport(sandbox, "exception");
    ASSERT_TRUE(CrashLog::initWithData(whole).ok());
    size_t decoded = 0;
    for (size_t length = 0; length < whole.size(); ++length) {
        platform::Result<CrashLog> report = CrashLog::initWithData(std::span(whole.data(), length));
        if (report.ok()) {
            ++decoded;
            CrashLogTextFormatter::stringValueForCrashReport(report.value(), CrashLogTextFormat::iOS);
        } else {
            ASSERT_EQ(report.error().code, 2) << length;
        }
    }
    EXPECT_LT(decoded, whole.size() / 2) << "most cuts lose a required field";

    std::mt19937 random(20130301);
    for (int round = 0; round < 3000; ++round) {
        std::vector<uint8_t> damaged = whole;
        int flips = 1 + round % 4;
        for (int i = 0; i < flips; ++i) {
            size_t at = 8 + random() % (damaged.size() - 8);
            damaged[at] ^= static_cast<uint8_t>(1u << (random() % 8));
        }
        platform::Result<CrashLog> report = CrashLog::initWithData(damaged);
        if (report.ok()) {
            CrashLogTextFormatter::stringValueForCrashReport(report.value(), CrashLogTextFormat::iOS);
            CrashUploadTextFormatter::stringValueForCrashReport(report.value(), "key");
        } else {
            ASSERT_EQ(report.error().code, 2);
        }
    }
}

// The logs of the probe's crashes, for a person to read, in the build folder.
TEST(CrashLog, TheProbesCrashesAsLogs) {
    std::filesystem::create_directories(CRASH_LOG_OUTPUT_DIR);
    for (const char* scenario : {"segv", "abort", "exception", "thread-crash"}) {
        testing::ProbeSandbox sandbox;
        std::vector<uint8_t> bytes = probeReport(sandbox, scenario);
        platform::Result<CrashLog> report = CrashLog::initWithData(bytes);
        ASSERT_TRUE(report.ok()) << scenario;
        std::string general = CrashLogTextFormatter::stringValueForCrashReport(report.value(), CrashLogTextFormat::iOS);
        std::string upload = CrashUploadTextFormatter::stringValueForCrashReport(report.value(), "INSTALLATION");
        std::ofstream(std::filesystem::path(CRASH_LOG_OUTPUT_DIR) / (std::string(scenario) + ".crash")) << general;
        std::ofstream(std::filesystem::path(CRASH_LOG_OUTPUT_DIR) / (std::string(scenario) + ".upload.crash")) << upload;
        EXPECT_NE(general.find("Identifier:      org.strombel.crashprobe\n"), std::string::npos);
        EXPECT_NE(general.find("OS Version:      Unknown (3) "), std::string::npos);
        EXPECT_NE(general.find("Crashed Thread:  "), std::string::npos);
        EXPECT_NE(general.find(" probe_"), std::string::npos) << scenario << ": the probe's functions by name";
    }
}

}  // namespace
}  // namespace strombel::crash
