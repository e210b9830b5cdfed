#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "proxy/generated_pages.h"
#include "support/child_process.h"
#include "support/text.h"

namespace vs::proxy {
namespace {

Clock::TimePoint At(std::int64_t unix_seconds) {
    return Clock::TimePoint(std::chrono::seconds(unix_seconds));
}

// Sat 05 Dec 2026 12:09:11 UTC.
const Clock::TimePoint kSaturdayNoon = At(1796472551);
// Thu 31 Dec 2026 22:30:04 UTC, already the next year in Moscow.
const Clock::TimePoint kNewYearsEve = At(1798756204);

// The page dates are local time, so the tests pin the zone.
class GeneratedPageDate : public ::testing::Test {
protected:
    test::ScopedEnv zone{"TZ", "UTC"};
};

TEST_F(GeneratedPageDate, EnglishNamesAndPaddedFieldsInLocalTime) {
    EXPECT_EQ(FormatPageDate(kSaturdayNoon), "Sat 05 Dec 2026 12:09:11");
    EXPECT_EQ(FormatPageDate(At(0)), "Thu 01 Jan 1970 00:00:00");
    EXPECT_EQ(FormatPageDate(kNewYearsEve), "Thu 31 Dec 2026 22:30:04");

    zone.Set("Europe/Moscow");
    EXPECT_EQ(FormatPageDate(kSaturdayNoon), "Sat 05 Dec 2026 15:09:11");
    // The shift carries over day, weekday, month and year.
    EXPECT_EQ(FormatPageDate(kNewYearsEve), "Fri 01 Jan 2027 01:30:04");
}

// The 407 answer states the length of a body that carries the date, and
// the body is Windows-1251 whatever the source file's encoding.
TEST_F(GeneratedPageDate, AuthRequiredBodyLengthMatchesTheHeader) {
    const std::string answer = AuthRequiredAnswer(kSaturdayNoon);
    const std::size_t split = answer.find("\r\n\r\n");
    ASSERT_NE(split, std::string::npos);
    const std::string header = answer.substr(0, split + 2);
    const std::string body = answer.substr(split + 4);
    EXPECT_TRUE(header.starts_with("HTTP/1.0 407 Proxy Authentication Required\r\n"));
    EXPECT_TRUE(test::Has(header, "\r\nDate: Sat 05 Dec 2026 12:09:11 GMT\r\n"));
    EXPECT_TRUE(test::Has(header, "\r\nProxy-Authenticate: Basic realm=\"Vellostore\"\r\n"));
    EXPECT_TRUE(test::Has(header, "\r\nContent-Length: " + std::to_string(body.size()) + "\r\n"));
    EXPECT_TRUE(
        body.ends_with("Generated Sat 05 Dec 2026 12:09:11 GMT by Vellostore\r\n"
                       "</ADDRESS>\r\n</BODY></HTML>\r\n"));

    // "ОШИБКА: Доступ" one byte per letter, and no UTF-8 lead byte of
    // Cyrillic anywhere (D0/D1 are "Р"/"С", absent here).
    EXPECT_TRUE(test::Has(body, "<TITLE>\xCE\xD8\xC8\xC1\xCA\xC0: \xC4\xEE\xF1\xF2\xF3\xEF "));
    EXPECT_EQ(body.find_first_of("\xD0\xD1"), std::string::npos);
}

TEST(GeneratedRefusalPage, UrlCannotInjectMarkup) {
    const std::string url = "http://x/?a=<script>alert(\"1\")</script>&b='2'";
    const std::string escaped =
        "http://x/?a=&lt;script&gt;alert(&quot;1&quot;)&lt;/script&gt;&amp;b=&#39;2&#39;";
    EXPECT_EQ(EscapeHtml(url), escaped);
    // An entity already in the URL is shown as typed, not decoded.
    EXPECT_EQ(EscapeHtml("&lt;"), "&amp;lt;");

    for (const std::string& page : {ForbiddenPage(url, 1), NotFoundPage(url)}) {
        EXPECT_TRUE(test::Has(page, "<B>" + escaped + "</B>"));
        EXPECT_FALSE(test::Has(page, "<script>"));
    }
}

}  // namespace
}  // namespace vs::proxy
