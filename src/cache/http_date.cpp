#include "cache/http_date.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <optional>

#include "base/cp1251.h"
#include "base/numbers.h"

namespace vs::cache {
namespace {

using namespace std::chrono;

constexpr std::array<std::string_view, 12> kMonths = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                                      "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
// Indexed by std::chrono::weekday::c_encoding(): Sunday is 0.
constexpr std::array<std::string_view, 7> kDays = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};

// Digits only (the fields are a few digits long), else -1.
int Number(std::string_view digits) {
    return static_cast<int>(ParseDigits(digits).value_or(-1));
}

// 1-based position and length, as the fields are documented; what is no
// number counts as 0.
int Field(std::string_view text, std::size_t position, std::size_t length) {
    return std::max(Number(text.substr(position - 1, length)), 0);
}

int MonthNumber(std::string_view name) {
    for (std::size_t i = 0; i < kMonths.size(); ++i) {
        if (kMonths[i] == name) {
            return static_cast<int>(i) + 1;
        }
    }
    return 0;
}

struct DateFields {
    int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
    int zoneMinutes = 0;  // east of GMT
};

// The zone after the time. HTTP wants "GMT", but servers that print their
// local time with its offset ("+0300", "+03:00") or a zone's name exist;
// read as GMT, a date east of it lies hours late, and a changed page passes
// the If-Modified-Since built from it. A zone not known is no date at all
// (the answer's Date or the clock then stand in, which err early): taking
// it for GMT could err late.
std::optional<int> OffsetMinutes(std::string_view offset) {
    if (offset.size() < 5 || (offset[0] != '+' && offset[0] != '-')) {
        return std::nullopt;
    }
    const std::size_t minutesAt = offset[3] == ':' ? 4 : 3;
    const int hours = Number(offset.substr(1, 2));
    const int minutes = Number(offset.substr(minutesAt, 2));
    if (hours < 0 || hours > 23 || minutes < 0 || minutes > 59) {
        return std::nullopt;
    }
    return (offset[0] == '-' ? -1 : 1) * (hours * 60 + minutes);
}

std::optional<int> ZoneMinutes(std::string_view zone) {
    while (!zone.empty() && zone.front() == ' ') {
        zone.remove_prefix(1);
    }
    if (zone.empty()) {
        return 0;
    }
    std::size_t letters = 0;
    while (letters < zone.size() &&
           ((zone[letters] | 0x20) >= 'a' && (zone[letters] | 0x20) <= 'z')) {
        ++letters;
    }
    const std::string_view name = zone.substr(0, letters);
    const std::string_view rest = zone.substr(letters);
    const auto is = [name](std::string_view known) { return cp1251::EqualsNoCase(name, known); };
    if (name.empty() ||
        ((is("GMT") || is("UTC")) && !rest.empty() && (rest[0] == '+' || rest[0] == '-'))) {
        return OffsetMinutes(rest);  // "+0300", "GMT+03:00"
    }
    struct Named {
        std::string_view name;
        int minutes;
    };
    static constexpr Named kNamed[] = {
        {"GMT", 0},    {"UT", 0},     {"UTC", 0},    {"Z", 0},      {"WET", 0},
        {"WEST", 60},  {"BST", 60},   {"CET", 60},   {"CEST", 120}, {"EET", 120},
        {"EEST", 180}, {"MSK", 180},  {"EST", -300}, {"EDT", -240}, {"CST", -360},
        {"CDT", -300}, {"MST", -420}, {"MDT", -360}, {"PST", -480}, {"PDT", -420},
        {"JST", 540},  {"KST", 540},  {"HKT", 480},  {"AEST", 600}, {"AEDT", 660}};
    for (const Named& known : kNamed) {
        if (is(known.name)) {
            return known.minutes;
        }
    }
    return std::nullopt;
}

std::optional<Clock::TimePoint> MomentOf(const DateFields& f) {
    const year_month_day date{year(f.year), month(static_cast<unsigned>(f.month)),
                              day(static_cast<unsigned>(f.day))};
    if (f.year < 1 || !date.ok() || f.hour > 23 || f.minute > 59 || f.second > 59) {
        return std::nullopt;
    }
    const sys_seconds moment = sys_days(date) + hours(f.hour) + minutes(f.minute) +
                               seconds(f.second) - minutes(f.zoneMinutes);
    return ClampedToClock(moment);  // "Expires: ... 9999" stays far away
}

// "HH:MM:SS" at `at`.
bool ReadTime(std::string_view text, std::size_t at, DateFields& f) {
    if (text.size() < at + 8 || text[at + 2] != ':' || text[at + 5] != ':') {
        return false;
    }
    f.hour = Number(text.substr(at, 2));
    f.minute = Number(text.substr(at + 3, 2));
    f.second = Number(text.substr(at + 6, 2));
    return f.hour >= 0 && f.minute >= 0 && f.second >= 0;
}

// The two older forms HTTP still lets servers send: "Sunday, 06-Nov-94
// 08:49:37 GMT" (a two-digit year is the latest one not more than 50 years
// ahead of now) and the C library's "Sun Nov  6 08:49:37 1994".
std::optional<Clock::TimePoint> ParseOlderForms(std::string_view text, Clock::TimePoint now) {
    DateFields f;
    if (const auto comma = text.find(", "); comma != std::string_view::npos && comma > 3) {
        const std::string_view rest = text.substr(comma + 2);
        if (rest.size() != 22 || rest[2] != '-' || rest[6] != '-' || rest[9] != ' ' ||
            rest.substr(18) != " GMT" || !ReadTime(rest, 10, f)) {
            return std::nullopt;
        }
        f.day = Number(rest.substr(0, 2));
        f.month = MonthNumber(rest.substr(3, 3));
        const int twoDigits = Number(rest.substr(7, 2));
        if (twoDigits < 0) {
            return std::nullopt;
        }
        const int thisYear = static_cast<int>(year_month_day(floor<days>(now)).year());
        f.year = thisYear - thisYear % 100 + twoDigits;
        if (f.year > thisYear + 50) {
            f.year -= 100;
        }
        return MomentOf(f);
    }
    if (text.size() != 24 || text[3] != ' ' || text[7] != ' ' || text[10] != ' ' ||
        text[19] != ' ' || !ReadTime(text, 11, f)) {
        return std::nullopt;
    }
    f.month = MonthNumber(text.substr(4, 3));
    f.day = Number(text.substr(text[8] == ' ' ? 9 : 8, text[8] == ' ' ? 1 : 2));
    f.year = Number(text.substr(20, 4));
    return MomentOf(f);
}

}  // namespace

Clock::TimePoint ParseHTTPDate(std::string_view text, Clock::TimePoint now) {
    return ReadHTTPDate(text, now).value_or(now);
}

std::optional<Clock::TimePoint> ReadHTTPDate(std::string_view text, Clock::TimePoint now) {
    if (text.size() >= 25) {
        DateFields f;
        f.day = Field(text, 6, 2);
        f.month = MonthNumber(text.substr(8, 3));
        f.year = Field(text, 13, 4);
        f.hour = Field(text, 18, 2);
        f.minute = Field(text, 21, 2);
        f.second = Field(text, 24, 2);
        if (const auto zone = ZoneMinutes(text.substr(25))) {
            f.zoneMinutes = *zone;
            if (const auto moment = MomentOf(f)) {
                return *moment;
            }
        }
    }
    return ParseOlderForms(text, now);
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
