#include "crash/crash_log_text_formatter.h"

#include <fmt/format.h>
#include <iconv.h>
#include <pwd.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>

#include "json/utf8.h"

namespace strombel::crash {

namespace {

// ---- Text in UTF-16 units and composed character sequences -------------------------

// Unicode's combining marks (general categories Mn, Mc and Me, Unicode 14).
struct Range {
    uint32_t first;
    uint32_t last;
};
constexpr Range kCombiningMarks[] = {
    {0x300, 0x36F}, {0x483, 0x489}, {0x591, 0x5BD}, {0x5BF, 0x5BF}, {0x5C1, 0x5C2}, {0x5C4, 0x5C5},
    {0x5C7, 0x5C7}, {0x610, 0x61A}, {0x64B, 0x65F}, {0x670, 0x670}, {0x6D6, 0x6DC}, {0x6DF, 0x6E4},
    {0x6E7, 0x6E8}, {0x6EA, 0x6ED}, {0x711, 0x711}, {0x730, 0x74A}, {0x7A6, 0x7B0}, {0x7EB, 0x7F3},
    {0x7FD, 0x7FD}, {0x816, 0x819}, {0x81B, 0x823}, {0x825, 0x827}, {0x829, 0x82D}, {0x859, 0x85B},
    {0x898, 0x89F}, {0x8CA, 0x8E1}, {0x8E3, 0x903}, {0x93A, 0x93C}, {0x93E, 0x94F}, {0x951, 0x957},
    {0x962, 0x963}, {0x981, 0x983}, {0x9BC, 0x9BC}, {0x9BE, 0x9C4}, {0x9C7, 0x9C8}, {0x9CB, 0x9CD},
    {0x9D7, 0x9D7}, {0x9E2, 0x9E3}, {0x9FE, 0x9FE}, {0xA01, 0xA03}, {0xA3C, 0xA3C}, {0xA3E, 0xA42},
    {0xA47, 0xA48}, {0xA4B, 0xA4D}, {0xA51, 0xA51}, {0xA70, 0xA71}, {0xA75, 0xA75}, {0xA81, 0xA83},
    {0xABC, 0xABC}, {0xABE, 0xAC5}, {0xAC7, 0xAC9}, {0xACB, 0xACD}, {0xAE2, 0xAE3}, {0xAFA, 0xAFF},
    {0xB01, 0xB03}, {0xB3C, 0xB3C}, {0xB3E, 0xB44}, {0xB47, 0xB48}, {0xB4B, 0xB4D}, {0xB55, 0xB57},
    {0xB62, 0xB63}, {0xB82, 0xB82}, {0xBBE, 0xBC2}, {0xBC6, 0xBC8}, {0xBCA, 0xBCD}, {0xBD7, 0xBD7},
    {0xC00, 0xC04}, {0xC3C, 0xC3C}, {0xC3E, 0xC44}, {0xC46, 0xC48}, {0xC4A, 0xC4D}, {0xC55, 0xC56},
    {0xC62, 0xC63}, {0xC81, 0xC83}, {0xCBC, 0xCBC}, {0xCBE, 0xCC4}, {0xCC6, 0xCC8}, {0xCCA, 0xCCD},
    {0xCD5, 0xCD6}, {0xCE2, 0xCE3}, {0xD00, 0xD03}, {0xD3B, 0xD3C}, {0xD3E, 0xD44}, {0xD46, 0xD48},
    {0xD4A, 0xD4D}, {0xD57, 0xD57}, {0xD62, 0xD63}, {0xD81, 0xD83}, {0xDCA, 0xDCA}, {0xDCF, 0xDD4},
    {0xDD6, 0xDD6}, {0xDD8, 0xDDF}, {0xDF2, 0xDF3}, {0xE31, 0xE31}, {0xE34, 0xE3A}, {0xE47, 0xE4E},
    {0xEB1, 0xEB1}, {0xEB4, 0xEBC}, {0xEC8, 0xECD}, {0xF18, 0xF19}, {0xF35, 0xF35}, {0xF37, 0xF37},
    {0xF39, 0xF39}, {0xF3E, 0xF3F}, {0xF71, 0xF84}, {0xF86, 0xF87}, {0xF8D, 0xF97}, {0xF99, 0xFBC},
    {0xFC6, 0xFC6}, {0x102B, 0x103E}, {0x1056, 0x1059}, {0x105E, 0x1060}, {0x1062, 0x1064}, {0x1067, 0x106D},
    {0x1071, 0x1074}, {0x1082, 0x108D}, {0x108F, 0x108F}, {0x109A, 0x109D}, {0x135D, 0x135F}, {0x1712, 0x1715},
    {0x1732, 0x1734}, {0x1752, 0x1753}, {0x1772, 0x1773}, {0x17B4, 0x17D3}, {0x17DD, 0x17DD}, {0x180B, 0x180D},
    {0x180F, 0x180F}, {0x1885, 0x1886}, {0x18A9, 0x18A9}, {0x1920, 0x192B}, {0x1930, 0x193B}, {0x1A17, 0x1A1B},
    {0x1A55, 0x1A5E}, {0x1A60, 0x1A7C}, {0x1A7F, 0x1A7F}, {0x1AB0, 0x1ACE}, {0x1B00, 0x1B04}, {0x1B34, 0x1B44},
    {0x1B6B, 0x1B73}, {0x1B80, 0x1B82}, {0x1BA1, 0x1BAD}, {0x1BE6, 0x1BF3}, {0x1C24, 0x1C37}, {0x1CD0, 0x1CD2},
    {0x1CD4, 0x1CE8}, {0x1CED, 0x1CED}, {0x1CF4, 0x1CF4}, {0x1CF7, 0x1CF9}, {0x1DC0, 0x1DFF}, {0x20D0, 0x20F0},
    {0x2CEF, 0x2CF1}, {0x2D7F, 0x2D7F}, {0x2DE0, 0x2DFF}, {0x302A, 0x302F}, {0x3099, 0x309A}, {0xA66F, 0xA672},
    {0xA674, 0xA67D}, {0xA69E, 0xA69F}, {0xA6F0, 0xA6F1}, {0xA802, 0xA802}, {0xA806, 0xA806}, {0xA80B, 0xA80B},
    {0xA823, 0xA827}, {0xA82C, 0xA82C}, {0xA880, 0xA881}, {0xA8B4, 0xA8C5}, {0xA8E0, 0xA8F1}, {0xA8FF, 0xA8FF},
    {0xA926, 0xA92D}, {0xA947, 0xA953}, {0xA980, 0xA983}, {0xA9B3, 0xA9C0}, {0xA9E5, 0xA9E5}, {0xAA29, 0xAA36},
    {0xAA43, 0xAA43}, {0xAA4C, 0xAA4D}, {0xAA7B, 0xAA7D}, {0xAAB0, 0xAAB0}, {0xAAB2, 0xAAB4}, {0xAAB7, 0xAAB8},
    {0xAABE, 0xAABF}, {0xAAC1, 0xAAC1}, {0xAAEB, 0xAAEF}, {0xAAF5, 0xAAF6}, {0xABE3, 0xABEA}, {0xABEC, 0xABED},
    {0xFB1E, 0xFB1E}, {0xFE00, 0xFE0F}, {0xFE20, 0xFE2F}, {0x101FD, 0x101FD}, {0x102E0, 0x102E0},
    {0x10376, 0x1037A}, {0x10A01, 0x10A03}, {0x10A05, 0x10A06}, {0x10A0C, 0x10A0F}, {0x10A38, 0x10A3A},
    {0x10A3F, 0x10A3F}, {0x10AE5, 0x10AE6}, {0x10D24, 0x10D27}, {0x10EAB, 0x10EAC}, {0x10F46, 0x10F50},
    {0x10F82, 0x10F85}, {0x11000, 0x11002}, {0x11038, 0x11046}, {0x11070, 0x11070}, {0x11073, 0x11074},
    {0x1107F, 0x11082}, {0x110B0, 0x110BA}, {0x110C2, 0x110C2}, {0x11100, 0x11102}, {0x11127, 0x11134},
    {0x11145, 0x11146}, {0x11173, 0x11173}, {0x11180, 0x11182}, {0x111B3, 0x111C0}, {0x111C9, 0x111CC},
    {0x111CE, 0x111CF}, {0x1122C, 0x11237}, {0x1123E, 0x1123E}, {0x112DF, 0x112EA}, {0x11300, 0x11303},
    {0x1133B, 0x1133C}, {0x1133E, 0x11344}, {0x11347, 0x11348}, {0x1134B, 0x1134D}, {0x11357, 0x11357},
    {0x11362, 0x11363}, {0x11366, 0x1136C}, {0x11370, 0x11374}, {0x11435, 0x11446}, {0x1145E, 0x1145E},
    {0x114B0, 0x114C3}, {0x115AF, 0x115B5}, {0x115B8, 0x115C0}, {0x115DC, 0x115DD}, {0x11630, 0x11640},
    {0x116AB, 0x116B7}, {0x1171D, 0x1172B}, {0x1182C, 0x1183A}, {0x11930, 0x11935}, {0x11937, 0x11938},
    {0x1193B, 0x1193E}, {0x11940, 0x11940}, {0x11942, 0x11943}, {0x119D1, 0x119D7}, {0x119DA, 0x119E0},
    {0x119E4, 0x119E4}, {0x11A01, 0x11A0A}, {0x11A33, 0x11A39}, {0x11A3B, 0x11A3E}, {0x11A47, 0x11A47},
    {0x11A51, 0x11A5B}, {0x11A8A, 0x11A99}, {0x11C2F, 0x11C36}, {0x11C38, 0x11C3F}, {0x11C92, 0x11CA7},
    {0x11CA9, 0x11CB6}, {0x11D31, 0x11D36}, {0x11D3A, 0x11D3A}, {0x11D3C, 0x11D3D}, {0x11D3F, 0x11D45},
    {0x11D47, 0x11D47}, {0x11D8A, 0x11D8E}, {0x11D90, 0x11D91}, {0x11D93, 0x11D97}, {0x11EF3, 0x11EF6},
    {0x16AF0, 0x16AF4}, {0x16B30, 0x16B36}, {0x16F4F, 0x16F4F}, {0x16F51, 0x16F87}, {0x16F8F, 0x16F92},
    {0x16FE4, 0x16FE4}, {0x16FF0, 0x16FF1}, {0x1BC9D, 0x1BC9E}, {0x1CF00, 0x1CF2D}, {0x1CF30, 0x1CF46},
    {0x1D165, 0x1D169}, {0x1D16D, 0x1D172}, {0x1D17B, 0x1D182}, {0x1D185, 0x1D18B}, {0x1D1AA, 0x1D1AD},
    {0x1D242, 0x1D244}, {0x1DA00, 0x1DA36}, {0x1DA3B, 0x1DA6C}, {0x1DA75, 0x1DA75}, {0x1DA84, 0x1DA84},
    {0x1DA9B, 0x1DA9F}, {0x1DAA1, 0x1DAAF}, {0x1E000, 0x1E006}, {0x1E008, 0x1E018}, {0x1E01B, 0x1E021},
    {0x1E023, 0x1E024}, {0x1E026, 0x1E02A}, {0x1E130, 0x1E136}, {0x1E2AE, 0x1E2AE}, {0x1E2EC, 0x1E2EF},
    {0x1E8D0, 0x1E8D6}, {0x1E944, 0x1E94A}, {0xE0100, 0xE01EF},
};

bool isCombiningMark(uint32_t codePoint) {
    if (codePoint < 0x300) return false;
    auto after = std::upper_bound(std::begin(kCombiningMarks), std::end(kCombiningMarks), codePoint,
                                  [](uint32_t value, const Range& range) { return value < range.first; });
    return after != std::begin(kCombiningMarks) && codePoint <= std::prev(after)->last;
}

// The code points of UTF-8 text, U+FFFD for every bad sequence.
std::vector<uint32_t> codePoints(std::string_view text) {
    std::vector<uint32_t> points;
    points.reserve(text.size());
    const auto* p = reinterpret_cast<const unsigned char*>(text.data());
    const unsigned char* end = p + text.size();
    while (p < end) {
        if (*p < 0x80) {
            points.push_back(*p++);
            continue;
        }
        const unsigned char* next = nullptr;
        uint32_t codePoint = 0;
        json::utf8::ReadResult result = json::utf8::readScalar(p, end, &next, &codePoint, true);
        points.push_back(result == json::utf8::Valid ? codePoint : json::utf8::kReplacementCharacter);
        p = result == json::utf8::Exhausted ? end : next;
    }
    return points;
}

size_t utf16Units(uint32_t codePoint) { return codePoint > 0xFFFF ? 2 : 1; }

bool isASCII(std::string_view text) {
    for (char c : text) {
        if (static_cast<unsigned char>(c) >= 0x80) return false;
    }
    return true;
}

// `text` followed by spaces up to `width` UTF-16 units ("%-35S").
void appendPadded(std::string& out, std::string_view text, size_t width) {
    size_t units = 0;
    if (isASCII(text)) {
        units = text.size();
    } else {
        for (uint32_t point : codePoints(text)) units += utf16Units(point);
    }
    out.append(text);
    if (units < width) out.append(width - units, ' ');
}

// The upload variant's file name column: 36 columns, counting each composed
// character sequence (a base character and its combining marks) once. A name
// whose sequences reach past UTF-16 index 33 is cut one unit before the end of
// the first sequence that does (never inside a surrogate pair) and gets "... ".
std::string fitFileName(std::string_view name) {
    constexpr size_t kColumns = 36;
    constexpr size_t kCutAt = 33;
    if (isASCII(name)) {
        std::string out(name.size() > kCutAt ? name.substr(0, kCutAt - 1) : name);
        if (name.size() > kCutAt) out += "... ";
        if (out.size() < kColumns) out.append(kColumns - out.size(), ' ');
        return out;
    }
    std::vector<uint32_t> points = codePoints(name);
    size_t units = 0;
    size_t keep = points.size();
    bool cut = false;
    for (size_t i = 0; i < points.size();) {
        size_t next = i + 1;
        while (next < points.size() && isCombiningMark(points[next])) ++next;
        for (size_t k = i; k < next; ++k) units += utf16Units(points[k]);
        if (units >= kCutAt && next < points.size()) {
            // One unit below the sequence's end: without its last code point.
            keep = next - 1;
            cut = true;
            break;
        }
        i = next;
    }
    points.resize(keep);
    if (cut) {
        for (char c : std::string_view("... ")) points.push_back(static_cast<unsigned char>(c));
    }
    size_t sequences = 0;
    std::string out;
    for (size_t i = 0; i < points.size(); ++i) {
        if (i == 0 || !isCombiningMark(points[i])) ++sequences;
        json::utf8::append(out, points[i]);
    }
    if (sequences < kColumns) out.append(kColumns - sequences, ' ');
    return out;
}

// ---- Values of the report ------------------------------------------------------

constexpr uint64_t kCpuTypeArm = 12;
constexpr uint64_t kCpuTypeArm64 = 16777228;
constexpr uint64_t kCpuTypeX86 = 7;
constexpr uint64_t kCpuTypeX86_64 = 16777223;
constexpr uint64_t kCpuTypePowerPC = 18;

enum class Variant { General, Upload };

std::string osName(int32_t operatingSystem) {
    switch (operatingSystem) {
        case 0:
        case 2:
            return "Mac OS X";
        case 1:
            return "iPhone OS";
        default:
            return fmt::format("Unknown ({})", operatingSystem);
    }
}

struct CodeType {
    std::string name;
    bool lp64;
};

CodeType codeTypeOf(const CrashLog& report) {
    for (const CrashLogBinaryImageInfo& image : report.images()) {
        const std::optional<CrashLogProcessorInfo>& processor = image.codeType();
        if (!processor || processor->typeEncoding() != CrashLogProcessorInfo::kTypeEncodingMach) continue;
        switch (processor->type()) {
            case kCpuTypeArm64: return {"ARM-64", true};
            case kCpuTypeX86_64: return {"X86-64", true};
            case kCpuTypeX86: return {"X86", false};
            case kCpuTypeArm: return {"ARM", false};
            case kCpuTypePowerPC: return {"PPC", false};
            default: break;
        }
    }
    int32_t architecture = report.systemInfo().architecture();
    switch (architecture) {
        case 0: return {"X86", false};
        case 1: return {"X86-64", true};
        case 2:
        case 5: return {"ARM", false};
        case 3: return {"PPC", false};
        default: return {fmt::format("Unknown ({})", architecture), true};
    }
}

std::string archName(const CrashLogBinaryImageInfo& image, Variant variant) {
    const std::optional<CrashLogProcessorInfo>& processor = image.codeType();
    if (!processor || processor->typeEncoding() != CrashLogProcessorInfo::kTypeEncodingMach) return "???";
    uint64_t subtype = processor->subtype();
    switch (processor->type()) {
        case kCpuTypeArm:
            if (subtype == 6) return "armv6";
            if (subtype == 9) return "armv7";
            if (subtype == 11) return "armv7s";
            return "arm-unknown";
        case kCpuTypeArm64:
            if (subtype == 0) return "arm64";
            if (subtype == 13) return variant == Variant::General ? "armv8" : "arm64";
            return "arm64-unknown";
        case kCpuTypeX86: return "i386";
        case kCpuTypeX86_64: return "x86_64";
        case kCpuTypePowerPC: return "powerpc";
        default: return "???";
    }
}

const std::string* processPath(const CrashLog& report) {
    if (!report.processInfo() || !report.processInfo()->processPath()) return nullptr;
    return &*report.processInfo()->processPath();
}

std::string_view lastPathComponent(std::string_view path) {
    while (path.size() > 1 && path.back() == '/') path.remove_suffix(1);
    size_t slash = path.rfind('/');
    return slash == std::string_view::npos || path.size() == 1 ? path : path.substr(slash + 1);
}

std::string deletingLastPathComponent(std::string_view path) {
    while (path.size() > 1 && path.back() == '/') path.remove_suffix(1);
    size_t slash = path.rfind('/');
    if (slash == std::string_view::npos) return "";
    if (slash == 0) return "/";
    return std::string(path.substr(0, slash));
}

// The path without "." and ".." steps, doubled or trailing slashes.
std::string standardised(std::string_view path) {
    if (path.empty()) return "";
    std::string normal = std::filesystem::path(path).lexically_normal().string();
    while (normal.size() > 1 && normal.back() == '/') normal.pop_back();
    return normal;
}

// Decides which images belong to the application: the process's own file, and
// everything inside the folder that holds its bundle (the process path without
// its last two components). Without a process path nothing does.
class ApplicationImages {
public:
    explicit ApplicationImages(const CrashLog& report) {
        if (const std::string* path = processPath(report)) {
            processPath_ = *path;
            folder_ = deletingLastPathComponent(deletingLastPathComponent(*path));
            known_ = true;
        }
    }
    bool contains(const CrashLogBinaryImageInfo& image) const {
        if (!known_) return false;
        std::string path = standardised(image.imageName());
        if (path == processPath_) return true;
        return !folder_.empty() && path.compare(0, folder_.size(), folder_) == 0;
    }

private:
    bool known_ = false;
    std::string processPath_;
    std::string folder_;
};

std::string homeFolder() {
    const char* home = std::getenv("HOME");
    std::string folder = home && *home ? home : "";
    if (folder.empty()) {
        if (const passwd* entry = getpwuid(getuid()); entry && entry->pw_dir) folder = entry->pw_dir;
    }
    while (folder.size() > 1 && folder.back() == '/') folder.pop_back();
    return folder;
}

// The upload variant's paths: the user's home folder as "/Users/USER".
std::string anonymisedPath(const std::string& path) {
    if (path.empty()) return path;
    const std::string home = homeFolder();
    if (home.empty() || home == "/") return path;
    if (path == home) return "/Users/USER";
    if (path.size() > home.size() && path.compare(0, home.size(), home) == 0 && path[home.size()] == '/') {
        return "/Users/USER" + path.substr(home.size());
    }
    return path;
}

// Seconds since 1970-01-01 00:00 UTC as a civil date and time (proleptic
// Gregorian), for any count the report may hold.
struct CivilTime {
    int64_t year;
    unsigned month, day, hour, minute, second;
};

CivilTime civilTime(int64_t seconds) {
    int64_t days = seconds / 86400;
    int64_t rest = seconds % 86400;
    if (rest < 0) {
        rest += 86400;
        --days;
    }
    days += 719468;
    const int64_t era = (days >= 0 ? days : days - 146096) / 146097;
    const int64_t dayOfEra = days - era * 146097;
    const int64_t yearOfEra = (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
    const int64_t dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
    const int64_t monthIndex = (5 * dayOfYear + 2) / 153;
    CivilTime time;
    time.day = static_cast<unsigned>(dayOfYear - (153 * monthIndex + 2) / 5 + 1);
    time.month = static_cast<unsigned>(monthIndex < 10 ? monthIndex + 3 : monthIndex - 9);
    time.year = yearOfEra + era * 400 + (time.month <= 2 ? 1 : 0);
    time.hour = static_cast<unsigned>(rest / 3600);
    time.minute = static_cast<unsigned>(rest / 60 % 60);
    time.second = static_cast<unsigned>(rest % 60);
    return time;
}

std::string dateText(const std::optional<CrashLogDate>& date, Variant variant) {
    if (!date) return "???";
    CivilTime t = civilTime(date->time_since_epoch().count());
    if (variant == Variant::General) {
        return fmt::format("{:04}-{:02}-{:02} {:02}:{:02}:{:02} +0000", t.year, t.month, t.day, t.hour, t.minute, t.second);
    }
    return fmt::format("{:04}-{:02}-{:02}T{:02}:{:02}:{:02}Z", t.year, t.month, t.day, t.hour, t.minute, t.second);
}

// "%#*llx": "0x" and the digits right-aligned in `width`; 0 is a lone "0".
void appendAlternateHex(std::string& out, uint64_t value, size_t width) {
    char digits[24];
    int length = value == 0 ? std::snprintf(digits, sizeof digits, "0")
                            : std::snprintf(digits, sizeof digits, "0x%llx", static_cast<unsigned long long>(value));
    if (static_cast<size_t>(length) < width) out.append(width - static_cast<size_t>(length), ' ');
    out.append(digits, static_cast<size_t>(length));
}

void appendHex(std::string& out, uint64_t value, int digits) {
    char text[24];
    int length = std::snprintf(text, sizeof text, "0x%0*llx", digits, static_cast<unsigned long long>(value));
    out.append(text, static_cast<size_t>(length));
}

// ---- The log ----------------------------------------------------------------------

class LogWriter {
public:
    LogWriter(const CrashLog& report, Variant variant) : report_(report), variant_(variant) {
        if (variant_ == Variant::Upload) {
            // Which images are the application's, decided once per image.
            ApplicationImages application(report);
            applicationImage_.reserve(report.images().size());
            for (const CrashLogBinaryImageInfo& image : report.images()) {
                applicationImage_.push_back(application.contains(image));
            }
        }
    }

    std::string log(std::string_view crashReporterKey);
    void frame(const CrashLogStackFrameInfo& frame, int64_t index, bool lp64);
    std::string take() { return std::move(out_); }

private:
    void frames(const std::vector<CrashLogStackFrameInfo>& frames, bool lp64) {
        for (size_t i = 0; i < frames.size(); ++i) frame(frames[i], static_cast<int64_t>(i), lp64);
    }
    void threadState(const CrashLogThreadInfo& thread, const CodeType& codeType);
    void binaryImages(bool lp64);
    std::string path(const std::string& path) const { return variant_ == Variant::Upload ? anonymisedPath(path) : path; }
    bool isApplicationImage(const CrashLogBinaryImageInfo& image) const {
        return !applicationImage_.empty() && applicationImage_[static_cast<size_t>(&image - report_.images().data())];
    }

    const CrashLog& report_;
    Variant variant_;
    std::vector<bool> applicationImage_;
    std::string out_;
    bool warnedSymbolPrefix_ = false;
};

std::string LogWriter::log(std::string_view crashReporterKey) {
    const CrashLog& report = report_;
    const CodeType codeType = codeTypeOf(report);
    const std::optional<CrashLogProcessInfo>& process = report.processInfo();
    size_t frameCount = 0;
    for (const CrashLogThreadInfo& thread : report.threads()) frameCount += thread.stackFrames().size();
    out_.reserve(2048 + 128 * (report.images().size() + frameCount));

    out_ += "Incident Identifier: " + (report.uuidRef() ? uuidString(*report.uuidRef()) : std::string("???")) + "\n";
    if (variant_ == Variant::General) {
        out_ += "CrashReporter Key:   TODO\n";
    } else {
        out_ += "CrashReporter Key:   " + (crashReporterKey.empty() ? std::string("???") : std::string(crashReporterKey)) + "\n";
    }
    const std::optional<CrashLogMachineInfo>& machine = report.machineInfo();
    out_ += "Hardware Model:      " + (machine && machine->modelName() ? *machine->modelName() : std::string("???")) + "\n";
    if (process) {
        out_ += fmt::format("Process:         {} [{}]\n", process->processName().value_or("???"), process->processID());
        out_ += "Path:            " + (process->processPath() ? path(*process->processPath()) : std::string("???")) + "\n";
    } else {
        out_ += "Process:         ??? [???]\nPath:            ???\n";
    }
    out_ += "Identifier:      " + report.applicationInfo().applicationIdentifier() + "\n";
    out_ += "Version:         " + report.applicationInfo().applicationVersion() + "\n";
    out_ += "Code Type:       " + codeType.name + "\n";
    if (process) {
        out_ += fmt::format("Parent Process:  {} [{}]\n", process->parentProcessName().value_or("???"),
                            process->parentProcessID());
    } else {
        out_ += "Parent Process:  ??? [???]\n";
    }
    out_ += "\n";

    const CrashLogSystemInfo& system = report.systemInfo();
    out_ += "Date/Time:       " + dateText(system.timestamp(), variant_) + "\n";
    out_ += fmt::format("OS Version:      {} {} ({})\n", osName(system.operatingSystem()), system.operatingSystemVersion(),
                        system.operatingSystemBuild().value_or("???"));
    out_ += "Report Version:  104\n\n";

    out_ += "Exception Type:  " + report.signalInfo().name() + "\n";
    out_ += "Exception Codes: " + report.signalInfo().code() + " at ";
    out_ += fmt::format("0x{:x}\n", report.signalInfo().address());
    const CrashLogThreadInfo* firstCrashed = nullptr;
    const CrashLogThreadInfo* lastCrashed = nullptr;
    for (const CrashLogThreadInfo& thread : report.threads()) {
        if (!thread.crashed()) continue;
        if (!firstCrashed) firstCrashed = &thread;
        lastCrashed = &thread;
    }
    if (firstCrashed) out_ += fmt::format("Crashed Thread:  {}\n", firstCrashed->threadNumber());
    out_ += "\n";

    if (const std::optional<CrashLogExceptionInfo>& exception = report.exceptionInfo()) {
        out_ += "Application Specific Information:\n";
        out_ += "*** Terminating app due to uncaught exception '" + exception->exceptionName() + "', reason: '" +
                exception->exceptionReason() + "'\n\n";
        if (exception->stackFrames() && !exception->stackFrames()->empty()) {
            out_ += "Last Exception Backtrace:\n";
            frames(*exception->stackFrames(), codeType.lp64);
            out_ += "\n";
        }
    }

    for (const CrashLogThreadInfo& thread : report.threads()) {
        out_ += fmt::format("Thread {}{}:\n", thread.threadNumber(), thread.crashed() ? " Crashed" : "");
        frames(thread.stackFrames(), codeType.lp64);
        out_ += "\n";
    }
    if (lastCrashed) threadState(*lastCrashed, codeType);
    binaryImages(codeType.lp64);
    return take();
}

void LogWriter::threadState(const CrashLogThreadInfo& thread, const CodeType& codeType) {
    out_ += fmt::format("Thread {} crashed with {} Thread State:\n", thread.threadNumber(), codeType.name);
    bool armProcessor = false;
    if (const std::optional<CrashLogMachineInfo>& machine = report_.machineInfo(); machine && machine->processorInfo()) {
        const CrashLogProcessorInfo& processor = *machine->processorInfo();
        armProcessor = processor.typeEncoding() == CrashLogProcessorInfo::kTypeEncodingMach &&
                       (processor.type() & 0x00FFFFFFu) == kCpuTypeArm;
    }
    const std::vector<CrashLogRegisterInfo>& registers = thread.registers();
    for (size_t i = 0; i < registers.size(); ++i) {
        std::string_view name = registers[i].registerName();
        if (armProcessor && name == "r12") name = "ip";
        if (name.size() < 6) out_.append(6 - name.size(), ' ');
        out_ += name;
        out_ += ": ";
        appendHex(out_, registers[i].registerValue(), codeType.lp64 ? 16 : 8);
        out_ += " ";
        if ((i + 1) % 4 == 0) out_ += "\n";
    }
    if (registers.size() % 4 != 0) out_ += "\n";
    out_ += "\n";
}

void LogWriter::binaryImages(bool lp64) {
    out_ += "Binary Images:\n";
    std::vector<const CrashLogBinaryImageInfo*> images;
    images.reserve(report_.images().size());
    for (const CrashLogBinaryImageInfo& image : report_.images()) images.push_back(&image);
    std::stable_sort(images.begin(), images.end(), [](const auto* a, const auto* b) {
        return a->imageBaseAddress() < b->imageBaseAddress();
    });
    const std::string* process = processPath(report_);
    const size_t width = lp64 ? 18 : 10;
    for (const CrashLogBinaryImageInfo* image : images) {
        uint64_t base = image->imageBaseAddress();
        uint64_t end = image->imageSize() == 0 ? base : base + image->imageSize() - 1;
        appendAlternateHex(out_, base, width);
        out_ += " - ";
        appendAlternateHex(out_, end, width);
        bool marked = variant_ == Variant::General ? process && image->imageName() == *process
                                                   : isApplicationImage(*image);
        out_ += marked ? " +" : "  ";
        out_ += lastPathComponent(image->imageName());
        out_ += " ";
        out_ += archName(*image, variant_);
        out_ += "  <";
        out_ += image->imageUUID().value_or("???");
        out_ += "> ";
        out_ += path(image->imageName());
        out_ += "\n";
    }
}

void LogWriter::frame(const CrashLogStackFrameInfo& frame, int64_t index, bool lp64) {
    const uint64_t pc = frame.instructionPointer();
    const CrashLogBinaryImageInfo* image = report_.imageForAddress(pc);
    std::string_view fileName = image ? lastPathComponent(image->imageName()) : std::string_view("???");

    size_t before = out_.size();
    fmt::format_to(std::back_inserter(out_), "{}", index);
    size_t written = out_.size() - before;
    if (written < 4) out_.append(4 - written, ' ');
    if (variant_ == Variant::Upload) {
        appendPadded(out_, fitFileName(fileName), 35);
    } else {
        appendPadded(out_, fileName, 35);
    }
    out_ += " ";
    appendHex(out_, pc, lp64 ? 16 : 8);
    out_ += " ";

    bool useSymbol = frame.symbolInfo() && !(variant_ == Variant::Upload && image && isApplicationImage(*image));
    if (useSymbol) {
        const CrashLogSymbolInfo& symbol = *frame.symbolInfo();
        std::string_view name = symbol.symbolName();
        if (name.size() >= 2 && name.front() == '_') {
            if (report_.systemInfo().operatingSystem() < 3) {
                name.remove_prefix(1);
            } else if (!warnedSymbolPrefix_) {
                // Once per log: every symbol of such a report would say the same.
                warnedSymbolPrefix_ = true;
                std::fputs("Symbol prefix rules are unknown for this OS!\n", stderr);
            }
        }
        out_ += name;
        fmt::format_to(std::back_inserter(out_), " + {}\n", static_cast<int64_t>(pc - symbol.startAddress()));
    } else {
        uint64_t base = image ? image->imageBaseAddress() : 0;
        uint64_t offset = image ? pc - base : 0;
        fmt::format_to(std::back_inserter(out_), "0x{:x} + {}\n", base, static_cast<int64_t>(offset));
    }
}

}  // namespace

namespace {

// ---- Encodings -----------------------------------------------------------------------

// The C library's name of each byte encoding it converts to.
const char* converterName(uint64_t encoding) {
    switch (encoding) {
        case kJapaneseEUCStringEncoding: return "EUC-JP";
        case kISOLatin1StringEncoding: return "ISO-8859-1";
        case kShiftJISStringEncoding: return "SHIFT_JIS";
        case kISOLatin2StringEncoding: return "ISO-8859-2";
        case kWindowsCP1251StringEncoding: return "CP1251";
        case kWindowsCP1252StringEncoding: return "CP1252";
        case kWindowsCP1253StringEncoding: return "CP1253";
        case kWindowsCP1254StringEncoding: return "CP1254";
        case kWindowsCP1250StringEncoding: return "CP1250";
        case kISO2022JPStringEncoding: return "ISO-2022-JP";
        case kMacOSRomanStringEncoding: return "MACINTOSH";
        default: return nullptr;
    }
}

void appendUnit(std::vector<uint8_t>& out, uint32_t unit, int bytes, bool bigEndian) {
    for (int i = 0; i < bytes; ++i) {
        const int shift = 8 * (bigEndian ? bytes - 1 - i : i);
        out.push_back(static_cast<uint8_t>(unit >> shift));
    }
}

void appendUTF16(std::vector<uint8_t>& out, const std::vector<uint32_t>& points, bool bigEndian) {
    for (uint32_t point : points) {
        if (point > 0xFFFF) {
            appendUnit(out, 0xD800 + ((point - 0x10000) >> 10), 2, bigEndian);
            appendUnit(out, 0xDC00 + ((point - 0x10000) & 0x3FF), 2, bigEndian);
        } else {
            appendUnit(out, point, 2, bigEndian);
        }
    }
}

std::vector<uint8_t> nonLossyASCII(const std::vector<uint32_t>& points) {
    std::string out;
    auto escapeUnit = [&out](uint32_t unit) { out += fmt::format("\\u{:04x}", unit); };
    for (uint32_t point : points) {
        if (point == '\\') out += "\\\\";
        else if (point < 0x80) out += static_cast<char>(point);
        else if (point <= 0xFF) out += fmt::format("\\{:03o}", point);
        else if (point <= 0xFFFF) escapeUnit(point);
        else {
            escapeUnit(0xD800 + ((point - 0x10000) >> 10));
            escapeUnit(0xDC00 + ((point - 0x10000) & 0x3FF));
        }
    }
    return std::vector<uint8_t>(out.begin(), out.end());
}

// Through the C library's converter, one character at a time, so that one it
// cannot hold is written as "?" and the rest goes on (a stateful encoding keeps
// its shifts right, and ends in its initial state).
std::vector<uint8_t> converted(std::string_view text, const char* name) {
    iconv_t converter = iconv_open(name, "UTF-8");
    if (converter == reinterpret_cast<iconv_t>(-1)) return std::vector<uint8_t>(text.begin(), text.end());
    std::vector<uint8_t> out;
    out.reserve(text.size());
    char buffer[32];
    auto convert = [&](const char* input, size_t length) {
        char* in = const_cast<char*>(input);
        char* next = buffer;
        size_t room = sizeof buffer;
        size_t result = iconv(converter, input ? &in : nullptr, input ? &length : nullptr, &next, &room);
        if (result == static_cast<size_t>(-1)) return false;
        out.insert(out.end(), buffer, next);
        return true;
    };
    const auto* p = reinterpret_cast<const unsigned char*>(text.data());
    const unsigned char* end = p + text.size();
    while (p < end) {
        const unsigned char* next = p + 1;
        if (*p >= 0x80) {
            uint32_t ignored = 0;
            json::utf8::ReadResult result = json::utf8::readScalar(p, end, &next, &ignored, true);
            if (result != json::utf8::Valid) {
                convert("?", 1);
                p = result == json::utf8::Exhausted ? end : next;
                continue;
            }
        }
        if (!convert(reinterpret_cast<const char*>(p), static_cast<size_t>(next - p))) convert("?", 1);
        p = next;
    }
    convert(nullptr, 0);
    iconv_close(converter);
    return out;
}

}  // namespace

std::vector<uint8_t> encodeText(std::string_view text, uint64_t encoding) {
    switch (encoding) {
        case kASCIIStringEncoding:
        case kNEXTSTEPStringEncoding: {
            std::vector<uint8_t> bytes;
            bytes.reserve(text.size());
            for (uint32_t point : codePoints(text)) bytes.push_back(point < 0x80 ? static_cast<uint8_t>(point) : '?');
            return bytes;
        }
        case kNonLossyASCIIStringEncoding: return nonLossyASCII(codePoints(text));
        case kUnicodeStringEncoding:
        case kUTF16LittleEndianStringEncoding:
        case kUTF16BigEndianStringEncoding: {
            std::vector<uint8_t> bytes;
            const bool bigEndian = encoding == kUTF16BigEndianStringEncoding;
            if (encoding == kUnicodeStringEncoding) appendUnit(bytes, 0xFEFF, 2, false);
            appendUTF16(bytes, codePoints(text), bigEndian);
            return bytes;
        }
        case kUTF32StringEncoding:
        case kUTF32LittleEndianStringEncoding:
        case kUTF32BigEndianStringEncoding: {
            std::vector<uint8_t> bytes;
            const bool bigEndian = encoding == kUTF32BigEndianStringEncoding;
            if (encoding == kUTF32StringEncoding) appendUnit(bytes, 0xFEFF, 4, false);
            for (uint32_t point : codePoints(text)) appendUnit(bytes, point, 4, bigEndian);
            return bytes;
        }
        default:
            if (const char* name = converterName(encoding)) return converted(text, name);
            return std::vector<uint8_t>(text.begin(), text.end());
    }
}

std::string CrashLogTextFormatter::stringValueForCrashReport(const CrashLog& report, CrashLogTextFormat) {
    return LogWriter(report, Variant::General).log({});
}

platform::Result<std::vector<uint8_t>> CrashLogTextFormatter::formatReport(const CrashLog& report) {
    return encodeText(stringValueForCrashReport(report, textFormat_), stringEncoding_);
}

std::string CrashLogTextFormatter::formatStackFrame(const CrashLogStackFrameInfo& frame, int64_t frameIndex,
                                                    const CrashLog& report, bool lp64) {
    LogWriter writer(report, Variant::General);
    writer.frame(frame, frameIndex, lp64);
    return writer.take();
}

std::string CrashUploadTextFormatter::stringValueForCrashReport(const CrashLog& report,
                                                                std::string_view crashReporterKey) {
    return LogWriter(report, Variant::Upload).log(crashReporterKey);
}

std::vector<CrashUploadAppUUID> CrashUploadTextFormatter::arrayOfAppUUIDsForCrashReport(const CrashLog& report) {
    std::vector<const CrashLogBinaryImageInfo*> images;
    for (const CrashLogBinaryImageInfo& image : report.images()) images.push_back(&image);
    std::stable_sort(images.begin(), images.end(), [](const auto* a, const auto* b) {
        return a->imageBaseAddress() < b->imageBaseAddress();
    });
    ApplicationImages application(report);
    const std::string* process = processPath(report);
    std::vector<CrashUploadAppUUID> uuids;
    for (const CrashLogBinaryImageInfo* image : images) {
        if (!application.contains(*image)) continue;
        uuids.push_back({image->imageUUID().value_or("???"), archName(*image, Variant::Upload),
                         process && image->imageName() == *process ? "app" : "framework"});
    }
    return uuids;
}

std::string CrashUploadTextFormatter::cu_archNameFromImageInfo(const CrashLogBinaryImageInfo& image) {
    return archName(image, Variant::Upload);
}

std::string CrashUploadTextFormatter::cu_formatStackFrame(const CrashLogStackFrameInfo& frame, int64_t frameIndex,
                                                          const CrashLog& report, bool lp64) {
    LogWriter writer(report, Variant::Upload);
    writer.frame(frame, frameIndex, lp64);
    return writer.take();
}

}  // namespace strombel::crash
