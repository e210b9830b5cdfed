#include "proxy/generated_pages.h"

#include <ctime>
#include <initializer_list>

#include "base/cp1251.h"

namespace vs::proxy {

namespace {

// Joins the lines, each followed by CR LF, as all the answers are laid out.
std::string Lines(std::initializer_list<std::string_view> lines) {
    std::string out;
    for (std::string_view line : lines) {
        out += line;
        out += "\r\n";
    }
    return out;
}

void AppendTwoDigits(std::string& out, int value) {
    out += static_cast<char>('0' + value / 10 % 10);
    out += static_cast<char>('0' + value % 10);
}

}  // namespace

std::string FormatPageDate(Clock::TimePoint when) {
    // Own name tables: strftime's %a/%b would follow the C locale.
    static constexpr const char* kDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
    static constexpr const char* kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                              "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    std::time_t seconds = std::chrono::system_clock::to_time_t(when);
    std::tm local{};
    if (localtime_r(&seconds, &local) == nullptr) {
        local = std::tm{};
        local.tm_mday = 1;
        local.tm_year = 70;
        local.tm_wday = 4;
    }
    std::string out;
    out.reserve(24);
    out += kDays[local.tm_wday % 7];
    out += ' ';
    AppendTwoDigits(out, local.tm_mday);
    out += ' ';
    out += kMonths[local.tm_mon % 12];
    out += ' ';
    out += std::to_string(local.tm_year + 1900);
    out += ' ';
    AppendTwoDigits(out, local.tm_hour);
    out += ':';
    AppendTwoDigits(out, local.tm_min);
    out += ':';
    AppendTwoDigits(out, local.tm_sec);
    return out;
}

std::string EscapeHtml(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        switch (c) {
            case '&':
                out += "&amp;";
                break;
            case '<':
                out += "&lt;";
                break;
            case '>':
                out += "&gt;";
                break;
            case '"':
                out += "&quot;";
                break;
            case '\'':
                out += "&#39;";
                break;
            default:
                out += c;
        }
    }
    return out;
}

std::string RedirectAnswer(Clock::TimePoint now, std::string_view location) {
    std::string date = "Date: " + FormatPageDate(now) + " GMT";
    std::string where = "Location: " + std::string(location);
    return Lines({"HTTP/1.0 302 Moved Temporarily", date, "Server: Vellostore", where,
                  "Proxy-Connection: close", "Connection: close"});
}

// The URL goes into the page escaped: raw, a crafted link to a blocked URL
// would run script in the context of the site it names.
std::string ForbiddenPage(std::string_view url, int rule) {
    return ForbiddenPage(url, std::string_view("rule #" + std::to_string(rule)));
}

std::string ForbiddenPage(std::string_view url, std::string_view reasonHtml) {
    std::string reason = "Access to the requested URL <B>" + EscapeHtml(url) +
                         "</B> was not allowed (" + std::string(reasonHtml) + ").";
    return Lines({"HTTP/1.0 403 Forbidden", "Connection: close", "Content-Type: text/html", "",
                  "<HTML><HEAD><TITLE>Blocked</TITLE></HEAD><BODY><H1>Blocked</H1>", reason,
                  "</BODY></HTML>"});
}

std::string NotFoundPage(std::string_view url) {
    std::string reason = "File <B>" + EscapeHtml(url) + "</B> not found in cache.";
    return Lines({"HTTP/1.0 404 Not found", "Connection: close", "Content-Type: text/html", "",
                  "<HTML><HEAD><TITLE>Not found</TITLE></HEAD><BODY><H1>Not found</H1>", reason,
                  "</BODY></HTML>"});
}

std::string RefusalPage(std::string_view url, int rule) {
    return rule == kMissingFromCacheRule ? NotFoundPage(url) : ForbiddenPage(url, rule);
}

std::string ErrorPageBody(std::string_view date) {
    // Converted once: the page declares windows-1251, so its Cyrillic must
    // leave in that code page, not in the UTF-8 of this source file.
    static const std::string kTitle =
        cp1251::FromUtf8("<TITLE>ОШИБКА: Доступ к серверу запрещен.</TITLE>");
    static const std::string kHeading = cp1251::FromUtf8("<H1>ОШИБКА</H1>");
    static const std::string kSubheading = cp1251::FromUtf8("<H2>Доступ к серверу запрещен</H2>");
    static const std::string kApology = cp1251::FromUtf8(
        "<P>Извините, Вы не можете обращаться к серверу до тех пор, пока не пройдете "
        "аутентификацию.");
    std::string generated = "Generated " + std::string(date) + " GMT by Vellostore";
    return Lines({
        "<!DOCTYPE HTML PUBLIC \"-//W3C//DTD HTML 4.01 Transitional//EN\" "
        "\"http://www.w3.org/TR/html4/loose.dtd\">",
        "<HTML><HEAD><META HTTP-EQUIV=\"Content-Type\" CONTENT=\"text/html; "
        "charset=windows-1251\">",
        kTitle,
        "<STYLE type=\"text/css\"><!--BODY{background-color:#ffffff;font-family:verdana,sans-"
        "serif}PRE{font-family:sans-serif}--></STYLE>",
        "</HEAD>",
        "<BODY>",
        kHeading,
        kSubheading,
        "<HR noshade size=\"1px\">",
        kApology,
        "</P>",
        "<BR clear=\"all\">",
        "<HR noshade size=\"1px\">",
        "<ADDRESS>",
        generated,
        "</ADDRESS>",
        "</BODY></HTML>",
    });
}

std::string AuthRequiredAnswer(Clock::TimePoint now) {
    // One date text for both parts, and the length of the body as it will
    // really be sent.
    std::string date = FormatPageDate(now);
    std::string body = ErrorPageBody(date);
    std::string date_line = "Date: " + date + " GMT";
    std::string length_line = "Content-Length: " + std::to_string(body.size());
    return Lines({"HTTP/1.0 407 Proxy Authentication Required", "Server: Vellostore",
                  "Mime-Version: 1.0", date_line, "Content-Type: text/html", length_line,
                  "Proxy-Authenticate: Basic realm=\"Vellostore\"", "Proxy-Connection: close",
                  ""}) +
           body;
}

std::string BadGatewayPage() {
    return Lines({"HTTP/1.0 502 Bad Gateway", "Content-Type: text/html", "Connection: close", "",
                  "<HTML><HEAD><TITLE>Error</TITLE></HEAD><BODY><H1>Error</H1>", "Error occurred!",
                  "Description: Error reading WWW server response (HTTP Header).",
                  "</BODY></HTML>"});
}

std::string HeadTooLongPage() {
    return Lines({"HTTP/1.0 431 Request Header Fields Too Large", "Content-Type: text/html",
                  "Connection: close", "",
                  "<HTML><HEAD><TITLE>Error</TITLE></HEAD><BODY><H1>Error</H1>", "Error occurred!",
                  "Description: The request's header is longer than 64 KiB.", "</BODY></HTML>"});
}

std::string BadRequestPage() {
    return Lines({"HTTP/1.0 400 Bad Request", "Content-Type: text/html", "Connection: close", "",
                  "<HTML><HEAD><TITLE>Error</TITLE></HEAD><BODY><H1>Error</H1>", "Error occurred!",
                  "Description: The request is malformed, or its body's length is unclear; it "
                  "was not forwarded.",
                  "</BODY></HTML>"});
}

std::string NotModifiedText() {
    return Lines(
        {"HTTP/1.0 304 Not Modified", "Server: Vellostore", "Proxy-Connection: close", ""});
}

}  // namespace vs::proxy
