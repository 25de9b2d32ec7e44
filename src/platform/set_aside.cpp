#include "platform/set_aside.h"

#include <chrono>
#include <ctime>
#include <system_error>

namespace strombel::platform {
namespace {

std::string utcTimestamp() {
    const std::time_t now = std::chrono::system_clock::to_time_t(std::chrono::system_clock::now());
    std::tm parts{};
    gmtime_r(&now, &parts);
    char buffer[32];
    std::strftime(buffer, sizeof buffer, "%Y%m%d-%H%M%S", &parts);
    return buffer;
}

}  // namespace

std::optional<std::filesystem::path> setFileAside(const std::filesystem::path& file, const std::string& reason) {
    std::error_code error;
    const std::string stem = file.string() + "." + reason + "-" + utcTimestamp();
    std::filesystem::path aside = stem;
    for (int attempt = 2; std::filesystem::exists(aside, error); ++attempt) {
        aside = stem + "-" + std::to_string(attempt);
    }
    std::filesystem::rename(file, aside, error);
    if (error) return std::nullopt;
    for (const char* companion : {"-wal", "-shm", "-journal"}) {
        std::filesystem::path from = file;
        from += companion;
        std::filesystem::path to = aside;
        to += companion;
        if (std::filesystem::exists(from, error)) std::filesystem::rename(from, to, error);
    }
    return aside;
}

}  // namespace strombel::platform
