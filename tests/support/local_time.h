#pragma once
// A moment given as the local clock shows it, for tests of texts that are
// written in local time.

#include <chrono>
#include <ctime>

namespace vs::test {

inline std::chrono::system_clock::time_point LocalTime(int year, int month, int day, int hour,
                                                       int minute, int second) {
    std::tm local{};
    local.tm_year = year - 1900;
    local.tm_mon = month - 1;
    local.tm_mday = day;
    local.tm_hour = hour;
    local.tm_min = minute;
    local.tm_sec = second;
    local.tm_isdst = -1;
    return std::chrono::system_clock::from_time_t(std::mktime(&local));
}

}  // namespace vs::test
