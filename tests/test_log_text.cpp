// The log entry as the log window and vellostored show it.

#include <gtest/gtest.h>

#include <chrono>
#include <ctime>
#include <string>
#include <vector>

#include "shell/log_text.h"
#include "support/local_time.h"

namespace vs {
namespace {

using test::LocalTime;

using Lines = std::vector<std::string>;

TEST(LogText, CodesZeroToNineShowAsDotsAndEverythingElseStays) {
    using namespace std::string_literals;
    const std::string body = "a\tb\0c\x01\x09\x0b\x0c\x1b\x7f\xcf\xf0\xe8"s;
    EXPECT_EQ(LogEntryLines({}, "h", body).at(1), "a.b.c..\x0b\x0c\x1b\x7f\xcf\xf0\xe8");
}

TEST(LogText, BodyLinesEndAtCrLfLoneCrOrLoneLf) {
    const auto when = LocalTime(2024, 3, 5, 7, 8, 9);
    const std::string heading = "05.03.2024 07:08:09 h";
    EXPECT_EQ(LogEntryLines(when, "h", "GET / HTTP/1.1\r\nHost: a\rX: 1\nY: 2"),
              (Lines{heading, "GET / HTTP/1.1", "Host: a", "X: 1", "Y: 2"}));
    // LF CR is two line ends, CR LF one.
    EXPECT_EQ(LogEntryLines(when, "h", "a\n\rb\r\n\r\nc"), (Lines{heading, "a", "", "b", "", "c"}));
    // A final line end opens no line of its own.
    EXPECT_EQ(LogEntryLines(when, "h", ""), (Lines{heading}));
    EXPECT_EQ(LogEntryLines(when, "h", "x\r\n\r\n"), (Lines{heading, "x", ""}));
    EXPECT_EQ(LogEntryLines(when, "h", "\r"), (Lines{heading, ""}));
}

}  // namespace
}  // namespace vs
