#include "cache/http_date.h"

#include <gtest/gtest.h>

#include <chrono>

namespace vs::cache {
namespace {

using namespace std::chrono;

const FixedClock kClock(sys_days(2024y / 5 / 17) + hours(12) + minutes(3) + seconds(4));
const Clock::TimePoint kDay = sys_days(1994y / 11 / 6);

Clock::TimePoint Parse(const char* text) {
    return ParseHTTPDate(text, kClock.Now());
}

TEST(HttpDate, OddSecondsSurviveTheRoundTrip) {
    EXPECT_EQ(Parse("Sun, 06 Nov 1994 08:49:37 GMT"), kDay + hours(8) + minutes(49) + seconds(37));
    for (const char* odd : {"Tue, 29 Feb 2000 23:59:59 GMT", "Mon, 31 Dec 2260 23:59:59 GMT",
                            "Fri, 01 Jan 1700 00:00:03 GMT"}) {
        EXPECT_EQ(FormatHTTPDate(Parse(odd)), odd);
    }
    EXPECT_EQ(FormatHTTPDate(kClock.Now()), "Fri, 17 May 2024 12:03:04 GMT");
    // Fractions go towards the past, before 1970 too.
    EXPECT_EQ(FormatHTTPDate(Clock::TimePoint{} + milliseconds(1999)),
              "Thu, 01 Jan 1970 00:00:01 GMT");
    EXPECT_EQ(FormatHTTPDate(Clock::TimePoint{} - milliseconds(500)),
              "Wed, 31 Dec 1969 23:59:59 GMT");
}

TEST(HttpDate, FieldsAtFixedPlaces) {
    // "Expires: ... 9999" overflows the clock and must stay far away.
    EXPECT_EQ(Parse("Fri, 31 Dec 9999 23:59:59 GMT"), floor<seconds>(Clock::TimePoint::max()));
    EXPECT_LT(Parse("Fri, 01 Jan 1600 00:00:00 GMT"), Parse("Fri, 01 Jan 1700 00:00:00 GMT"));

    for (const char* bad : {
             "Sun, 06 Nov 1994 08:49:3",        // 24 characters
             "Sun, 06 nov 1994 08:49:37 GMT",   // month names compare exactly
             "Sun, 29 Feb 1900 08:49:37 GMT",   // not a leap year
             "Sun, 06 Nov 1994 24:00:00 GMT",   // hour out of range
             "Sunday, 06-Nov-94 08:49:37 UTC",  // an older form, not quite
             "Sun Nov 31 08:49:37 1994",
         }) {
        EXPECT_EQ(Parse(bad), kClock.Now()) << bad;
    }
}

// A server printing its local time with its zone: read as GMT, a date east
// of it lay hours late, and the proxy's If-Modified-Since let a page changed
// since pass as unchanged.
TEST(HttpDate, ZonesOtherThanGmtAreCountedIn) {
    const Clock::TimePoint moment = kDay + hours(8) + minutes(49) + seconds(37);
    EXPECT_EQ(Parse("Sun, 06 Nov 1994 11:49:37 +0300"), moment);
    EXPECT_EQ(Parse("Sun, 06 Nov 1994 03:19:37 -0530"), moment);
    EXPECT_EQ(Parse("Sun, 06 Nov 1994 00:49:37 PST"), moment);
    EXPECT_EQ(Parse("Sun, 06 Nov 1994 08:49:37 UTC"), moment);
    EXPECT_EQ(Parse("Sun, 06 Nov 1994 11:49:37 msk"), moment);  // PHP's date('T')
    EXPECT_EQ(Parse("Sun, 06 Nov 1994 11:49:37 +03:00"), moment);
    EXPECT_EQ(Parse("Sun, 06 Nov 1994 11:49:37 GMT+0300"), moment);
    EXPECT_EQ(Parse("Sun, 06 Nov 1994 11:49:37 +0300 (MSK)"), moment);
    // A zone it cannot read is no date: taken for GMT it could lie late.
    for (const char* unknown :
         {"Sun, 06 Nov 1994 08:49:37 XYZT", "Sun, 06 Nov 1994 08:49:37 +9900"}) {
        EXPECT_EQ(Parse(unknown), kClock.Now()) << unknown;
    }
}

// Servers may still send the two older forms; read as "now" they made the
// proxy ask with its own clock's date, which a changed page could pass.
TEST(HttpDate, TheOlderFormsAreRead) {
    const Clock::TimePoint moment = kDay + hours(8) + minutes(49) + seconds(37);
    EXPECT_EQ(Parse("Sunday, 06-Nov-94 08:49:37 GMT"), moment);
    EXPECT_EQ(Parse("Sun Nov  6 08:49:37 1994"), moment);
    EXPECT_EQ(Parse("Wed Nov 16 08:49:37 1994"), moment + days(10));
    // A two-digit year is the latest not more than 50 years ahead (of 2024).
    EXPECT_EQ(FormatHTTPDate(Parse("Monday, 01-Jan-74 00:00:00 GMT")),
              "Mon, 01 Jan 2074 00:00:00 GMT");
    EXPECT_EQ(FormatHTTPDate(Parse("Monday, 01-Jan-75 00:00:00 GMT")),
              "Wed, 01 Jan 1975 00:00:00 GMT");
}

}  // namespace
}  // namespace vs::cache
