#include "cache/http_date.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>

namespace vs::cache {
namespace {

using namespace std::chrono;

constexpr std::array<std::string_view, 12> kMonths = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                                      "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
// Indexed by std::chrono::weekday::c_encoding(): Sunday is 0.
constexpr std::array<std::string_view, 7> kDays = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};

// 1-based position and length, as the fields are documented.
int Field(std::string_view text, std::size_t position, std::size_t length) {
    const std::string_view digits = text.substr(position - 1, length);
    int value = 0;
    for (const char c : digits) {
        if (c < '0' || c > '9') {
            return 0;
        }
        value = value * 10 + (c - '0');
    }
    return value;
}

int MonthNumber(std::string_view name) {
    for (std::size_t i = 0; i < kMonths.size(); ++i) {
        if (kMonths[i] == name) {
            return static_cast<int>(i) + 1;
        }
    }
    return 0;
}

}  // namespace

Clock::TimePoint ParseHTTPDate(std::string_view text, Clock::TimePoint now) {
    if (text.size() < 25) {
        return now;
    }
    const int dayNumber = Field(text, 6, 2);
    const int monthNumber = MonthNumber(text.substr(8, 3));
    const int yearNumber = Field(text, 13, 4);
    const int hour = Field(text, 18, 2);
    const int minute = Field(text, 21, 2);
    const int second = Field(text, 24, 2);
    const year_month_day date{year(yearNumber), month(static_cast<unsigned>(monthNumber)),
                              day(static_cast<unsigned>(dayNumber))};
    if (yearNumber < 1 || !date.ok() || hour > 23 || minute > 59 || second > 59) {
        return now;
    }
    const sys_seconds moment = sys_days(date) + hours(hour) + minutes(minute) + seconds(second);
    // Far dates ("Expires: ... 9999") overflow the clock's nanoseconds; the
    // nearest moment it can hold keeps them far in the future or past.
    const sys_seconds earliest = ceil<seconds>(Clock::TimePoint::min());
    const sys_seconds latest = floor<seconds>(Clock::TimePoint::max());
    return time_point_cast<Clock::TimePoint::duration>(std::clamp(moment, earliest, latest));
}

std::string FormatHTTPDate(Clock::TimePoint t) {
    const sys_seconds whole = floor<seconds>(t);
    const sys_days dayStart = floor<days>(whole);
    const year_month_day date(dayStart);
    const hh_mm_ss<seconds> time(whole - dayStart);
    char text[40];
    std::snprintf(text, sizeof text, "%.3s, %02u %.3s %04d %02d:%02d:%02d GMT",
                  kDays[weekday(dayStart).c_encoding()].data(), static_cast<unsigned>(date.day()),
                  kMonths[static_cast<unsigned>(date.month()) - 1].data(),
                  static_cast<int>(date.year()), static_cast<int>(time.hours().count()),
                  static_cast<int>(time.minutes().count()),
                  static_cast<int>(time.seconds().count()));
    return text;
}

}  // namespace vs::cache
