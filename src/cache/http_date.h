#pragma once
// Dates of the form "Sun, 06 Nov 1994 08:49:37 GMT", read and written in UTC
// with English names whatever the machine's locale.

#include <optional>
#include <string>
#include <string_view>

#include "base/clock.h"

namespace vs::cache {

// Reads the fields at their fixed places (1-based: day 6-7, month 9-11 as
// "Jan".."Dec", year 13-16, hour 18-19, minute 21-22, second 24-25; a field
// that is not a number counts as 0). A text shorter than 25 characters or
// fields that do not form a valid date and time give `now`, so a broken date
// header makes an answer look just made rather than ancient. Dates beyond
// what the clock holds (years before 1678 or after 2261) become its first or
// last whole second. A text those places do not read is tried in the two
// older forms HTTP allows ("Sunday, 06-Nov-94 08:49:37 GMT", "Sun Nov  6
// 08:49:37 1994") before it counts as broken.
Clock::TimePoint ParseHTTPDate(std::string_view text, Clock::TimePoint now);
// The same, with none for a broken date (`now` serves only the two-digit
// years).
std::optional<Clock::TimePoint> ReadHTTPDate(std::string_view text, Clock::TimePoint now);

// The same form, to the whole second (fractions are dropped).
std::string FormatHTTPDate(Clock::TimePoint t);

}  // namespace vs::cache
