// The text crash logs of hand-built reports, line by line.

#include "crash/crash_log_text_formatter.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include "crash_report_builder.h"

namespace strombel::crash {
namespace {

using testing::ReportBuilder;

constexpr const char* kName33 = "/usr/lib/libStrombelPadsAndBanks-012345.so";  // a file name of 33 characters
constexpr const char* kName40 = "/opt/Frameworks/StrombelSequencerEngineKit-1234567890.so";  // 40 characters
// A file name with combining diaereses: its 32nd sequence ("c" and its mark)
// ends at UTF-16 index 34, past 33 while the name goes on, so the upload
// variant cuts one unit before that end.
constexpr const char* kNameMarks = "/usr/lib/Pada\xCC\x88" "bbbbbbbbbbbbbbbbbbbbbbbbbb" "cc\xCC\x88" "ddd";

std::vector<uint8_t> uuidBytes(uint8_t first) {
    std::vector<uint8_t> bytes(16);
    for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<uint8_t>(first + i);
    return bytes;
}

// The 64-bit report: an application image, an image of size 0, an arm64 image of
// subtype 13, one of the application's frameworks with a 40-character name, a
// 33-character and a combining-mark file name, an exception with a frame, two
// threads (the second crashed, five registers) and a frame outside every image.
std::vector<uint8_t> report64() {
    ReportBuilder b;
    b.setReportUUID(uuidBytes(0xA0));
    b.setException("std::runtime_error", "the pads ran out", {b.frame(0x1010, "_ZN4Pads4playEv", 0x1000)});
    b.addThread(0, false,
                {b.frame(0x1010, "_main", 0x1000), b.frame(0x4010, "_", 0x4000), b.frame(0x5010, "padsEngine", 0x5000),
                 b.frame(0x6010), b.frame(0x9999)});
    b.addThread(1, true, {b.frame(0x4020, "__crash_here", 0x4000)},
                {{"rip", 0x4020}, {"rsp", 0x7ffe0000}, {"rbp", 0x7ffe0010}, {"rax", 0}, {"r12", 0xdeadbeef}});
    b.addImage(0x1000, 0x1000, "/opt/Strombel.app/Strombel", uuidBytes(0x10), b.processor(16777223, 3));
    b.addImage(0x6000, 0x100, std::string("/usr/lib/") + (kNameMarks + 9), {}, b.processor(16777223, 3));
    b.addImage(0x3000, 0, "/usr/lib/libzero.so");
    b.addImage(0x4000, 0x1000, kName33, uuidBytes(0x40), b.processor(16777228, 13));
    b.addImage(0x5000, 0x1000, kName40, uuidBytes(0x50), b.processor(16777228, 0));
    return b.bytes();
}

// The 32-bit report: ARM, an iPhone OS whose symbols lose their underscore, r12
// shown as ip, no process information.
std::vector<uint8_t> report32() {
    ReportBuilder b;
    b.system.operating_system = CRASHLG__CRASH_REPORT__SYSTEM_INFO__OPERATING_SYSTEM__IPHONE_OS;
    b.system.architecture = CRASHLG__ARCHITECTURE__ARMV7;
    b.machine.processor = b.processor(12, 9);
    b.report.process_info = nullptr;
    b.addThread(0, true, {b.frame(0x2010, "_main", 0x2000), b.frame(0x2020, "_", 0x2000)},
                {{"r0", 1}, {"r12", 0x1234}, {"sp", 0x8000}, {"lr", 0x2011}});
    b.addImage(0x2000, 0x1000, "/var/Strombel.app/Strombel", uuidBytes(0x20), b.processor(12, 9));
    return b.bytes();
}

CrashLog decode(const std::vector<uint8_t>& bytes) {
    platform::Result<CrashLog> report = CrashLog::initWithData(bytes);
    EXPECT_TRUE(report.ok()) << report.error().description();
    return std::move(report).value();
}

TEST(CrashLogTextFormatter, The64BitLog) {
    CrashLog report = decode(report64());
    EXPECT_EQ(CrashLogTextFormatter::stringValueForCrashReport(report, CrashLogTextFormat::iOS), 
        "Incident Identifier: A0A1A2A3-A4A5-A6A7-A8A9-AAABACADAEAF\n"
        "CrashReporter Key:   TODO\n"
        "Hardware Model:      Desk1,1\n"
        "Process:         Strombel [42]\n"
        "Path:            /opt/Strombel.app/Strombel\n"
        "Identifier:      org.strombel.Strombel\n"
        "Version:         1.2\n"
        "Code Type:       X86-64\n"
        "Parent Process:  launcher [1]\n"
        "\n"
        "Date/Time:       2013-03-01 12:00:00 +0000\n"
        "OS Version:      Unknown (3) 6.1.0 (10B144)\n"
        "Report Version:  104\n"
        "\n"
        "Exception Type:  SIGSEGV\n"
        "Exception Codes: SEGV_MAPERR at 0x10\n"
        "Crashed Thread:  1\n"
        "\n"
        "Application Specific Information:\n"
        "*** Terminating app due to uncaught exception 'std::runtime_error', reason: 'the pads ran out'\n"
        "\n"
        "Last Exception Backtrace:\n"
        "0   Strombel                            0x0000000000001010 _ZN4Pads4playEv + 16\n"
        "\n"
        "Thread 0:\n"
        "0   Strombel                            0x0000000000001010 _main + 16\n"
        "1   libStrombelPadsAndBanks-012345.so   0x0000000000004010 _ + 16\n"
        "2   StrombelSequencerEngineKit-1234567890.so 0x0000000000005010 padsEngine + 16\n"
        "3   Pada\xCC\x88" "bbbbbbbbbbbbbbbbbbbbbbbbbbcc\xCC\x88" "ddd 0x0000000000006010 0x6000 + 16\n"
        "4   ???                                 0x0000000000009999 0x0 + 0\n"
        "\n"
        "Thread 1 Crashed:\n"
        "0   libStrombelPadsAndBanks-012345.so   0x0000000000004020 __crash_here + 32\n"
        "\n"
        "Thread 1 crashed with X86-64 Thread State:\n"
        "   rip: 0x0000000000004020    rsp: 0x000000007ffe0000    rbp: 0x000000007ffe0010    rax: 0x0000000000000000 \n"
        "   r12: 0x00000000deadbeef \n"
        "\n"
        "Binary Images:\n"
        "            0x1000 -             0x1fff +Strombel x86_64  <101112131415161718191a1b1c1d1e1f> /opt/Strombel.app/Strombel\n"
        "            0x3000 -             0x3000  libzero.so ???  <?\?\?> /usr/lib/libzero.so\n"
        "            0x4000 -             0x4fff  libStrombelPadsAndBanks-012345.so armv8  <404142434445464748494a4b4c4d4e4f> /usr/lib/libStrombelPadsAndBanks-012345.so\n"
        "            0x5000 -             0x5fff  StrombelSequencerEngineKit-1234567890.so arm64  <505152535455565758595a5b5c5d5e5f> /opt/Frameworks/StrombelSequencerEngineKit-1234567890.so\n"
        "            0x6000 -             0x60ff  Pada\xCC\x88" "bbbbbbbbbbbbbbbbbbbbbbbbbbcc\xCC\x88" "ddd x86_64  <?\?\?> /usr/lib/Pada\xCC\x88" "bbbbbbbbbbbbbbbbbbbbbbbbbbcc\xCC\x88" "ddd\n");
}

TEST(CrashLogTextFormatter, The32BitLog) {
    CrashLog report = decode(report32());
    EXPECT_EQ(CrashLogTextFormatter::stringValueForCrashReport(report, CrashLogTextFormat::iOS), 
        "Incident Identifier: ???\n"
        "CrashReporter Key:   TODO\n"
        "Hardware Model:      Desk1,1\n"
        "Process:         ??? [???]\n"
        "Path:            ???\n"
        "Identifier:      org.strombel.Strombel\n"
        "Version:         1.2\n"
        "Code Type:       ARM\n"
        "Parent Process:  ??? [???]\n"
        "\n"
        "Date/Time:       2013-03-01 12:00:00 +0000\n"
        "OS Version:      iPhone OS 6.1.0 (10B144)\n"
        "Report Version:  104\n"
        "\n"
        "Exception Type:  SIGSEGV\n"
        "Exception Codes: SEGV_MAPERR at 0x10\n"
        "Crashed Thread:  0\n"
        "\n"
        "Thread 0 Crashed:\n"
        "0   Strombel                            0x00002010 main + 16\n"
        "1   Strombel                            0x00002020 _ + 32\n"
        "\n"
        "Thread 0 crashed with ARM Thread State:\n"
        "    r0: 0x00000001     ip: 0x00001234     sp: 0x00008000     lr: 0x00002011 \n"
        "\n"
        "Binary Images:\n"
        "    0x2000 -     0x2fff  Strombel armv7  <202122232425262728292a2b2c2d2e2f> /var/Strombel.app/Strombel\n");
}

TEST(CrashUploadTextFormatter, The64BitUploadLog) {
    setenv("HOME", "/opt/Strombel.app", 1);  // the process path lies in the home folder
    CrashLog report = decode(report64());
    EXPECT_EQ(CrashUploadTextFormatter::stringValueForCrashReport(report, "INSTALL-1"), 
        "Incident Identifier: A0A1A2A3-A4A5-A6A7-A8A9-AAABACADAEAF\n"
        "CrashReporter Key:   INSTALL-1\n"
        "Hardware Model:      Desk1,1\n"
        "Process:         Strombel [42]\n"
        "Path:            /Users/USER/Strombel\n"
        "Identifier:      org.strombel.Strombel\n"
        "Version:         1.2\n"
        "Code Type:       X86-64\n"
        "Parent Process:  launcher [1]\n"
        "\n"
        "Date/Time:       2013-03-01T12:00:00Z\n"
        "OS Version:      Unknown (3) 6.1.0 (10B144)\n"
        "Report Version:  104\n"
        "\n"
        "Exception Type:  SIGSEGV\n"
        "Exception Codes: SEGV_MAPERR at 0x10\n"
        "Crashed Thread:  1\n"
        "\n"
        "Application Specific Information:\n"
        "*** Terminating app due to uncaught exception 'std::runtime_error', reason: 'the pads ran out'\n"
        "\n"
        "Last Exception Backtrace:\n"
        "0   Strombel                             0x0000000000001010 0x1000 + 16\n"
        "\n"
        "Thread 0:\n"
        "0   Strombel                             0x0000000000001010 0x1000 + 16\n"
        "1   libStrombelPadsAndBanks-012345.so    0x0000000000004010 _ + 16\n"
        "2   StrombelSequencerEngineKit-12345...  0x0000000000005010 0x5000 + 16\n"
        "3   Pada\xCC\x88" "bbbbbbbbbbbbbbbbbbbbbbbbbbcc...  0x0000000000006010 0x6000 + 16\n"
        "4   ???                                  0x0000000000009999 0x0 + 0\n"
        "\n"
        "Thread 1 Crashed:\n"
        "0   libStrombelPadsAndBanks-012345.so    0x0000000000004020 __crash_here + 32\n"
        "\n"
        "Thread 1 crashed with X86-64 Thread State:\n"
        "   rip: 0x0000000000004020    rsp: 0x000000007ffe0000    rbp: 0x000000007ffe0010    rax: 0x0000000000000000 \n"
        "   r12: 0x00000000deadbeef \n"
        "\n"
        "Binary Images:\n"
        "            0x1000 -             0x1fff +Strombel x86_64  <101112131415161718191a1b1c1d1e1f> /Users/USER/Strombel\n"
        "            0x3000 -             0x3000  libzero.so ???  <?\?\?> /usr/lib/libzero.so\n"
        "            0x4000 -             0x4fff  libStrombelPadsAndBanks-012345.so arm64  <404142434445464748494a4b4c4d4e4f> /usr/lib/libStrombelPadsAndBanks-012345.so\n"
        "            0x5000 -             0x5fff +StrombelSequencerEngineKit-1234567890.so arm64  <505152535455565758595a5b5c5d5e5f> /opt/Frameworks/StrombelSequencerEngineKit-1234567890.so\n"
        "            0x6000 -             0x60ff  Pada\xCC\x88" "bbbbbbbbbbbbbbbbbbbbbbbbbbcc\xCC\x88" "ddd x86_64  <?\?\?> /usr/lib/Pada\xCC\x88" "bbbbbbbbbbbbbbbbbbbbbbbbbbcc\xCC\x88" "ddd\n");
}

TEST(CrashLogTextFormatter, WithoutACrashedThreadThereIsNoCrashedThreadLineNorState) {
    ReportBuilder b;
    b.system.architecture = CRASHLG__ARCHITECTURE__PPC64;
    b.addThread(0, false, {b.frame(0x1010)}, {{"rip", 1}});
    b.addImage(0x1000, 0x1000, "/opt/Strombel.app/Strombel");
    CrashLog report = decode(b.bytes());
    std::string log = CrashLogTextFormatter::stringValueForCrashReport(report, CrashLogTextFormat::iOS);
    EXPECT_EQ(log.find("Crashed Thread:"), std::string::npos);
    EXPECT_EQ(log.find("Thread State"), std::string::npos);
    EXPECT_NE(log.find("Exception Codes: SEGV_MAPERR at 0x10\n\nThread 0:\n"), std::string::npos) << log;
    // No image with a Mach code type: the system's architecture, 4 unknown and 64-bit.
    EXPECT_NE(log.find("Code Type:       Unknown (4)\n"), std::string::npos);
    EXPECT_NE(log.find("0   Strombel                            0x0000000000001010 0x1000 + 16\n"), std::string::npos);
    EXPECT_EQ(CrashLogTextFormatter::formatStackFrame(report.threads()[0].stackFrames()[0], 7, report, false),
              "7   Strombel                            0x00001010 0x1000 + 16\n");
}

TEST(CrashLogTextFormatter, FormatsInTheEncodingItWasMadeWith) {
    ReportBuilder b;
    b.application.version = b.text("1.2 \xC3\xA9t\xC3\xA9");
    b.addThread(0, true, {b.frame(0x1010)});
    b.addImage(0x1000, 0x1000, "/opt/Strombel.app/Strombel");
    CrashLog report = decode(b.bytes());
    CrashLogTextFormatter ascii(CrashLogTextFormat::iOS, kASCIIStringEncoding);
    CrashLogTextFormatter utf8(CrashLogTextFormat::iOS, kUTF8StringEncoding);
    std::vector<uint8_t> asciiBytes = ascii.formatReport(report).value();
    std::vector<uint8_t> utf8Bytes = utf8.formatReport(report).value();
    EXPECT_NE(std::string(asciiBytes.begin(), asciiBytes.end()).find("Version:         1.2 ?t?\n"), std::string::npos);
    EXPECT_EQ(std::string(utf8Bytes.begin(), utf8Bytes.end()),
              CrashLogTextFormatter::stringValueForCrashReport(report, CrashLogTextFormat::iOS));
}

std::string fromHex(std::string_view hex) {
    std::string bytes;
    for (size_t i = 0; i + 1 < hex.size(); i += 2) {
        bytes += static_cast<char>(std::stoi(std::string(hex.substr(i, 2)), nullptr, 16));
    }
    return bytes;
}

TEST(CrashLogTextFormatter, EveryStringEncodingIsWrittenLossily) {
    // "1.2 é€版𝄞": Latin, the euro sign, a kanji and a character outside the BMP.
    const std::string version = "1.2 \xC3\xA9\xE2\x82\xAC\xE7\x89\x88\xF0\x9D\x84\x9E";
    struct Case {
        uint64_t encoding;
        std::string versionLine;  // the bytes from "1.2" to the end of the line
        std::string start = {};   // the first bytes of the log, when they matter
    };
    const Case cases[] = {
        {kASCIIStringEncoding, "1.2 ????\n"},
        {kNEXTSTEPStringEncoding, "1.2 ????\n"},
        {kISOLatin1StringEncoding, "1.2 \xE9???\n"},
        {kWindowsCP1252StringEncoding, "1.2 \xE9\x80??\n"},
        {kWindowsCP1250StringEncoding, "1.2 \xE9\x80??\n"},
        {kMacOSRomanStringEncoding, "1.2 \x8E\xDB??\n"},
        {kShiftJISStringEncoding, "1.2 ??\x94\xC5?\n"},
        {kJapaneseEUCStringEncoding, "1.2 \x8F\xAB\xB1?\xC8\xC7?\n"},
        // Back to ASCII (ESC ( B) before the "?" that follows the kanji.
        {kISO2022JPStringEncoding, "1.2 ??\x1B$BHG\x1B(B?\n"},
        {kNonLossyASCIIStringEncoding, "1.2 \\351\\u20ac\\u7248\\ud834\\udd1e\n"},
        {kUTF16BigEndianStringEncoding, fromHex("0031002e0032002000e920ac7248d834dd1e000a"), fromHex("0049")},
        {kUTF16LittleEndianStringEncoding, fromHex("31002e0032002000e900ac20487234d81edd0a00"), fromHex("4900")},
        {kUnicodeStringEncoding, fromHex("31002e0032002000e900ac20487234d81edd0a00"), fromHex("fffe4900")},
        {kUTF32BigEndianStringEncoding,
         fromHex("000000310000002e0000003200000020000000e9000020ac000072480001d11e0000000a"), fromHex("00000049")},
        {kUTF32StringEncoding,
         fromHex("310000002e0000003200000020000000e9000000ac200000487200001ed101000a000000"),
         fromHex("fffe000049000000")},
        {kUTF8StringEncoding, version + "\n"},
        {kSymbolStringEncoding, version + "\n"},
    };
    ReportBuilder b;
    b.application.version = b.text(version.c_str());
    b.addThread(0, true, {b.frame(0x1010)});
    b.addImage(0x1000, 0x1000, "/opt/Strombel.app/Strombel");
    CrashLog report = decode(b.bytes());
    for (const Case& c : cases) {
        SCOPED_TRACE(c.encoding);
        std::vector<uint8_t> bytes = CrashLogTextFormatter(CrashLogTextFormat::iOS, c.encoding).formatReport(report).value();
        std::string log(bytes.begin(), bytes.end());
        EXPECT_NE(log.find(c.versionLine), std::string::npos);
        EXPECT_EQ(log.substr(0, c.start.size()), c.start);
    }
}

TEST(CrashUploadTextFormatter, TheApplicationsImagesByAddress) {
    CrashLog report = decode(report64());
    std::vector<CrashUploadAppUUID> uuids = CrashUploadTextFormatter::arrayOfAppUUIDsForCrashReport(report);
    ASSERT_EQ(uuids.size(), 2u);
    EXPECT_EQ(uuids[0].uuid, "101112131415161718191a1b1c1d1e1f");
    EXPECT_EQ(uuids[0].arch, "x86_64");
    EXPECT_EQ(uuids[0].type, "app");
    EXPECT_EQ(uuids[1].uuid, "505152535455565758595a5b5c5d5e5f");
    EXPECT_EQ(uuids[1].arch, "arm64");
    EXPECT_EQ(uuids[1].type, "framework");

    ReportBuilder b;
    b.report.process_info = nullptr;
    b.addThread(0, true, {b.frame(0x1010)});
    b.addImage(0x1000, 0x1000, "/opt/Strombel.app/Strombel", uuidBytes(1));
    EXPECT_TRUE(CrashUploadTextFormatter::arrayOfAppUUIDsForCrashReport(decode(b.bytes())).empty())
        << "without a process path no image is the application's";
}

}  // namespace
}  // namespace strombel::crash
