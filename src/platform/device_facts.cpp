#include "platform/device_facts.h"

#include <fcntl.h>
#include <ifaddrs.h>
// The C library's interface header before the kernel's: these then leave out
// what it declares (the two clash the other way round).
#include <net/if.h>
#include <linux/if_arp.h>
#include <linux/if_packet.h>
#include <sys/statvfs.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <mutex>
#include <random>
#include <sstream>
#include <system_error>

#include "platform/whole_file.h"

namespace strombel::platform {

namespace {

std::mutex screenMutex;
DeviceFacts::Screen& screenSlot() {
    static DeviceFacts::Screen screen;
    return screen;
}

std::string trimmed(std::string_view text) {
    while (!text.empty() && std::isspace(static_cast<unsigned char>(text.front()))) text.remove_prefix(1);
    while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back()))) text.remove_suffix(1);
    return std::string(text);
}

std::optional<uint64_t> parseUnsigned(std::string_view text) {
    uint64_t value = 0;
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end == text.data()) return std::nullopt;
    return value;
}

// "KEY=value", "KEY=\"value\"" or "KEY='value'" of os-release and machine-info.
std::optional<std::string> shellValue(const std::string& contents, std::string_view key) {
    std::istringstream lines(contents);
    std::string line;
    while (std::getline(lines, line)) {
        if (line.size() <= key.size() || line.compare(0, key.size(), key) != 0 || line[key.size()] != '=') continue;
        std::string value = trimmed(std::string_view(line).substr(key.size() + 1));
        if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') && value.back() == value.front()) {
            value = value.substr(1, value.size() - 2);
        }
        std::string unescaped;
        for (size_t i = 0; i < value.size(); ++i) {
            if (value[i] == '\\' && i + 1 < value.size()) ++i;
            unescaped += value[i];
        }
        return unescaped;
    }
    return std::nullopt;
}

// "de_DE.UTF-8@euro" -> "de_DE".
std::string bareLocale(std::string_view value) {
    size_t end = value.find_first_of(".@");
    return std::string(value.substr(0, end));
}

bool isUuidText(std::string_view text) {
    if (text.size() != 36) return false;
    for (size_t i = 0; i < text.size(); ++i) {
        bool dash = i == 8 || i == 13 || i == 18 || i == 23;
        if (dash ? text[i] != '-' : !std::isxdigit(static_cast<unsigned char>(text[i]))) return false;
    }
    return true;
}

}  // namespace

DeviceFacts::DeviceFacts(std::filesystem::path root) : root_(std::move(root)) {}

const char* DeviceFacts::defaultEnvironment(const char* name) { return std::getenv(name); }

std::string DeviceFacts::machine() {
    utsname names{};
    if (::uname(&names) != 0) return {};
    return names.machine;
}

std::string DeviceFacts::kernelRelease() {
    utsname names{};
    if (::uname(&names) != 0) return {};
    return names.release;
}

std::optional<std::string> DeviceFacts::readText(const std::filesystem::path& relative) const {
    std::ifstream stream(root_ / relative, std::ios::binary);
    if (!stream) return std::nullopt;
    std::string text((std::istreambuf_iterator<char>(stream)), std::istreambuf_iterator<char>());
    if (stream.bad()) return std::nullopt;
    return text;
}

std::optional<std::string> DeviceFacts::osRelease(std::string_view key) const {
    std::optional<std::string> contents = readText("etc/os-release");
    if (!contents) contents = readText("usr/lib/os-release");
    if (!contents) return std::nullopt;
    return shellValue(*contents, key);
}

std::optional<std::string> DeviceFacts::machineInfo(std::string_view key) const {
    const std::optional<std::string> contents = readText("etc/machine-info");
    if (!contents) return std::nullopt;
    return shellValue(*contents, key);
}

std::optional<int64_t> DeviceFacts::bootTime() const {
    std::optional<std::string> stat = readText("proc/stat");
    if (!stat) return std::nullopt;
    std::istringstream lines(*stat);
    std::string line;
    while (std::getline(lines, line)) {
        if (line.rfind("btime ", 0) != 0) continue;
        if (auto value = parseUnsigned(trimmed(std::string_view(line).substr(6)))) return static_cast<int64_t>(*value);
        return std::nullopt;
    }
    return std::nullopt;
}

std::optional<DeviceFacts::Memory> DeviceFacts::memory() const {
    std::optional<std::string> info = readText("proc/meminfo");
    if (!info) return std::nullopt;
    long pageSize = ::sysconf(_SC_PAGESIZE);
    Memory memory;
    memory.pageSize = pageSize > 0 ? static_cast<uint64_t>(pageSize) : 4096;
    int found = 0;
    std::istringstream lines(*info);
    std::string line;
    while (std::getline(lines, line)) {
        size_t colon = line.find(':');
        if (colon == std::string::npos) continue;
        std::string key = line.substr(0, colon);
        std::string rest = trimmed(std::string_view(line).substr(colon + 1));
        std::optional<uint64_t> kilobytes = parseUnsigned(rest.substr(0, rest.find(' ')));
        if (!kilobytes) continue;
        uint64_t pages = *kilobytes * 1024 / memory.pageSize;
        if (key == "MemFree") memory.freePages = pages, ++found;
        else if (key == "Active") memory.activePages = pages, ++found;
        else if (key == "Inactive") memory.inactivePages = pages, ++found;
        else if (key == "Unevictable") memory.wiredPages = pages, ++found;
    }
    if (found == 0) return std::nullopt;
    return memory;
}

double DeviceFacts::cpuLoad() const {
    std::optional<std::string> uptimeText = readText("proc/uptime");
    if (!uptimeText) return -1;
    double uptime = std::strtod(uptimeText->c_str(), nullptr);
    long ticksPerSecond = ::sysconf(_SC_CLK_TCK);
    if (ticksPerSecond <= 0 || uptime <= 0) return -1;
    std::error_code error;
    std::filesystem::directory_iterator tasks(root_ / "proc/self/task", error);
    if (error) return -1;
    double load = 0;
    for (const auto& task : tasks) {
        std::optional<std::string> stat = readText(std::filesystem::path("proc/self/task") / task.path().filename() / "stat");
        if (!stat) return -1;
        // The name in parentheses may hold spaces: the fields start after the last ')'.
        size_t close = stat->rfind(')');
        if (close == std::string::npos) return -1;
        std::istringstream fields(stat->substr(close + 1));
        std::vector<std::string> values((std::istream_iterator<std::string>(fields)), std::istream_iterator<std::string>());
        // values[0] is field 3 (state); utime is field 14, stime 15, starttime 22.
        if (values.size() < 20) return -1;
        if (values[0] == "I") continue;  // an idle thread
        auto utime = parseUnsigned(values[11]);
        auto stime = parseUnsigned(values[12]);
        auto start = parseUnsigned(values[19]);
        if (!utime || !stime || !start) return -1;
        double lived = uptime - static_cast<double>(*start) / ticksPerSecond;
        double used = static_cast<double>(*utime + *stime) / ticksPerSecond;
        if (lived > 0) load += std::min(1.0, used / lived) * 100.0;
    }
    return load;
}

DeviceFacts::Battery DeviceFacts::battery() const {
    Battery battery;
    std::error_code error;
    std::vector<std::filesystem::path> supplies;
    for (std::filesystem::directory_iterator it(root_ / "sys/class/power_supply", error), end; !error && it != end;
         it.increment(error)) {
        supplies.push_back(it->path().filename());
    }
    std::sort(supplies.begin(), supplies.end());
    for (const auto& name : supplies) {
        std::filesystem::path folder = std::filesystem::path("sys/class/power_supply") / name;
        std::optional<std::string> type = readText(folder / "type");
        if (!type || trimmed(*type) != "Battery") continue;
        if (std::optional<std::string> capacity = readText(folder / "capacity")) {
            if (auto percent = parseUnsigned(trimmed(*capacity))) {
                battery.level = static_cast<float>(std::min<uint64_t>(*percent, 100)) / 100.0f;
            }
        }
        std::string status = trimmed(readText(folder / "status").value_or(""));
        if (status == "Charging") battery.state = kBatteryCharging;
        else if (status == "Full") battery.state = kBatteryFull;
        else if (status == "Discharging" || status == "Not charging") battery.state = kBatteryUnplugged;
        return battery;
    }
    return battery;
}

std::string DeviceFacts::timeZoneName() const {
    if (const char* zone = std::getenv("TZ"); zone && *zone) {
        std::string name = zone;
        if (name.front() == ':') name.erase(0, 1);
        if (!name.empty()) return name;
    }
    if (std::optional<std::string> zone = readText("etc/timezone")) {
        std::string name = trimmed(*zone);
        if (!name.empty()) return name;
    }
    std::error_code error;
    std::filesystem::path target = std::filesystem::read_symlink(root_ / "etc/localtime", error);
    if (!error) {
        std::string text = target.string();
        size_t at = text.find("zoneinfo/");
        if (at != std::string::npos) return text.substr(at + 9);
    }
    return "UTC";
}

std::optional<DeviceFacts::Disk> DeviceFacts::disk(const std::filesystem::path& path) {
    struct statvfs info {};
    if (::statvfs(path.c_str(), &info) != 0) return std::nullopt;
    return Disk{static_cast<uint64_t>(info.f_blocks) * info.f_frsize, static_cast<uint64_t>(info.f_bavail) * info.f_frsize};
}

std::string DeviceFacts::localeIdentifier(const std::function<const char*(const char*)>& environment) {
    for (const char* name : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
        const char* value = environment(name);
        if (!value || !*value) continue;
        std::string locale = bareLocale(value);
        if (locale.empty() || locale == "C" || locale == "POSIX") return "en_US";
        return locale;
    }
    return "en_US";
}

std::vector<std::string> DeviceFacts::preferredLanguages(const std::function<const char*(const char*)>& environment) {
    std::vector<std::string> languages;
    if (const char* list = environment("LANGUAGE"); list && *list) {
        std::string_view rest(list);
        while (!rest.empty()) {
            size_t colon = rest.find(':');
            std::string entry = bareLocale(rest.substr(0, colon));
            if (!entry.empty()) languages.push_back(entry);
            if (colon == std::string_view::npos) break;
            rest.remove_prefix(colon + 1);
        }
    }
    if (languages.empty()) {
        std::string locale = localeIdentifier(environment);
        languages.push_back(locale.substr(0, locale.find('_')));
    }
    return languages;
}

std::vector<DeviceFacts::LinkAddress> DeviceFacts::linkAddresses() {
    std::vector<LinkAddress> entries;
    ifaddrs* list = nullptr;
    if (::getifaddrs(&list) != 0) return entries;
    for (ifaddrs* it = list; it; it = it->ifa_next) {
        if (!it->ifa_addr || !it->ifa_name || it->ifa_addr->sa_family != AF_PACKET) continue;
        const auto* link = reinterpret_cast<const sockaddr_ll*>(it->ifa_addr);
        LinkAddress entry;
        entry.name = it->ifa_name;
        entry.isLinkLayer = true;
        entry.isEthernet = link->sll_hatype == ARPHRD_ETHER;
        size_t length = std::min<size_t>(link->sll_halen, sizeof link->sll_addr);
        entry.bytes.assign(link->sll_addr, link->sll_addr + length);
        entries.push_back(std::move(entry));
    }
    ::freeifaddrs(list);
    return entries;
}

std::optional<std::string> DeviceFacts::hardwareAddress(const std::vector<LinkAddress>& entries, std::string_view name) {
    for (const LinkAddress& entry : entries) {
        if (!entry.isLinkLayer || !entry.isEthernet || entry.name != name) continue;
        std::string text;
        for (uint8_t byte : entry.bytes) {
            char pair[4];
            std::snprintf(pair, sizeof pair, "%02X", byte);
            if (!text.empty()) text += ':';
            text += pair;
        }
        if (text.empty()) return std::nullopt;
        return text;
    }
    return std::nullopt;
}

std::string DeviceFacts::randomUuid() {
    std::random_device device;
    uint8_t bytes[16];
    for (int i = 0; i < 16; i += 4) {
        uint32_t word = device();
        for (int j = 0; j < 4; ++j) bytes[i + j] = static_cast<uint8_t>(word >> (8 * j));
    }
    bytes[6] = static_cast<uint8_t>((bytes[6] & 0x0F) | 0x40);  // version 4
    bytes[8] = static_cast<uint8_t>((bytes[8] & 0x3F) | 0x80);  // the variant of RFC 4122
    char text[37];
    std::snprintf(text, sizeof text, "%02X%02X%02X%02X-%02X%02X-%02X%02X-%02X%02X-%02X%02X%02X%02X%02X%02X", bytes[0],
                  bytes[1], bytes[2], bytes[3], bytes[4], bytes[5], bytes[6], bytes[7], bytes[8], bytes[9], bytes[10],
                  bytes[11], bytes[12], bytes[13], bytes[14], bytes[15]);
    return text;
}

std::string DeviceFacts::vendorIdentifier(const std::filesystem::path& file) {
    static std::mutex mutex;
    std::lock_guard lock(mutex);
    {
        std::ifstream stream(file);
        std::string text;
        if (stream >> text && isUuidText(text)) return text;
    }
    std::string made = randomUuid();
    std::error_code ignored;
    std::filesystem::create_directories(file.parent_path(), ignored);
    // Private to the user; a run that cannot keep it makes another next time.
    writeFileWhole(file, made + "\n", WholeFileOptions().withMode(0600));
    return made;
}

DeviceFacts::Screen DeviceFacts::screen() {
    std::lock_guard lock(screenMutex);
    return screenSlot();
}

void DeviceFacts::setScreen(const Screen& screen) {
    std::lock_guard lock(screenMutex);
    screenSlot() = screen;
}

}  // namespace strombel::platform
