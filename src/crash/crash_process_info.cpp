#include "crash/crash_process_info.h"

#include <sys/utsname.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>

#include "logging/log.h"

namespace strombel::crash {
namespace {

std::optional<std::string> readFile(const std::string& path) {
    std::ifstream stream(path);
    if (!stream) return std::nullopt;
    std::stringstream text;
    text << stream.rdbuf();
    return text.str();
}

}  // namespace

// From /proc/stat's "btime" line.
std::optional<uint64_t> CrashProcessInfo::bootTime() {
    auto stat = readFile("/proc/stat");
    if (!stat) return std::nullopt;
    std::istringstream lines(*stat);
    std::string line;
    while (std::getline(lines, line)) {
        if (line.rfind("btime ", 0) == 0) return std::stoull(line.substr(6));
    }
    return std::nullopt;
}

std::optional<CrashProcessInfo> CrashProcessInfo::currentProcessInfo() { return withProcessID(getpid()); }

std::optional<CrashProcessInfo> CrashProcessInfo::withProcessID(pid_t pid) {
    auto stat = readFile("/proc/" + std::to_string(pid) + "/stat");
    if (!stat) return std::nullopt;
    // "pid (name) state ppid ..." where the name may hold spaces and parentheses.
    size_t open = stat->find('(');
    size_t close = stat->rfind(')');
    if (open == std::string::npos || close == std::string::npos || close < open) return std::nullopt;
    CrashProcessInfo info;
    info.processID_ = pid;
    info.processName_ = stat->substr(open + 1, close - open - 1);
    std::istringstream fields(stat->substr(close + 1));
    std::string state;
    long long parent = 0;
    fields >> state >> parent;
    if (!fields) return std::nullopt;
    info.parentProcessID_ = static_cast<pid_t>(parent);
    // Field 22 (starttime, clock ticks after boot); fields 3 and 4 were read.
    std::string field;
    for (int i = 5; i <= 22 && fields >> field; ++i) {
        if (i == 22) {
            long ticks = sysconf(_SC_CLK_TCK);
            auto boot = bootTime();
            if (ticks > 0 && boot) info.startTime_ = *boot + std::stoull(field) / static_cast<uint64_t>(ticks);
        }
    }
    if (auto status = readFile("/proc/" + std::to_string(pid) + "/status")) {
        size_t at = status->find("TracerPid:");
        if (at != std::string::npos) info.traced_ = std::atol(status->c_str() + at + 10) != 0;
    }
    return info;
}

std::optional<CrashHostInfo> CrashHostInfo::currentHostInfo() {
    struct utsname name;
    if (uname(&name) != 0) {
        int error = errno;
        STROMBEL_LOG_WARN("Failed to fetch kern.osrelease value {}: {}", error, std::strerror(error));
        return std::nullopt;
    }
    return withRelease(name.release);
}

CrashHostInfo CrashHostInfo::withRelease(const std::string& release) {
    CrashHostInfo info;
    uint64_t* parts[] = {&info.version_.major, &info.version_.minor, &info.version_.revision};
    size_t at = 0;
    int read = 0;
    for (; read < 3; ++read) {
        if (at >= release.size() || release[at] < '0' || release[at] > '9') break;
        uint64_t value = 0;
        while (at < release.size() && release[at] >= '0' && release[at] <= '9') value = value * 10 + (release[at++] - '0');
        *parts[read] = value;
        if (read < 2) {
            if (at >= release.size() || release[at] != '.') {
                ++read;
                break;
            }
            ++at;
        }
    }
    if (read < 3) STROMBEL_LOG_WARN("Unexpected kern.osrelease string format: {}", release);
    return info;
}

}  // namespace strombel::crash
