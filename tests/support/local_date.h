#pragma once

#include <chrono>
#include <ctime>

namespace strombel::testing {

/// 2015-03-01 14:05:09 local time plus `milliseconds`: a fixed moment for the
/// tests of date stamps, which loggers write in the machine's own time zone.
inline std::chrono::system_clock::time_point localDate(int milliseconds) {
    std::tm fields{};
    fields.tm_year = 2015 - 1900;
    fields.tm_mon = 2;
    fields.tm_mday = 1;
    fields.tm_hour = 14;
    fields.tm_min = 5;
    fields.tm_sec = 9;
    fields.tm_isdst = -1;
    return std::chrono::system_clock::from_time_t(std::mktime(&fields)) + std::chrono::milliseconds(milliseconds);
}

}  // namespace strombel::testing
