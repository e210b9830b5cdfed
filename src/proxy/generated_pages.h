#pragma once
// The answers the proxy composes itself rather than relays. Their bytes are
// fixed because clients and the tests of older setups compare them as they
// are; texts are 8-bit (CP1251 where Cyrillic appears).
//
// Every function returns its text with each line followed by CR LF. Apart
// from NotModifiedText, the texts are meant to be sent with
// Connection::WriteLn, whose extra CR LF closes the header block (302) or
// ends the body (the pages).

#include <string>
#include <string_view>

#include "base/clock.h"

namespace vs::proxy {

// The rule number that means "the cache was asked for and lacks the file",
// which warrants a 404 instead of a 403.
inline constexpr int kMissingFromCacheRule = 32767;

// "ddd dd mmm yyyy hh:nn:ss" in local time with English names whatever the
// locale. The texts append " GMT" although no conversion to GMT is made.
std::string FormatPageDate(Clock::TimePoint when);

// Makes text safe to place inside HTML element content or a quoted attribute.
std::string EscapeHtml(std::string_view text);

// 302 pointing the client at location; no body.
std::string RedirectAnswer(Clock::TimePoint now, std::string_view location);

// 403 page for a URL refused by the given rule.
std::string ForbiddenPage(std::string_view url, int rule);
// 403 page whose sentence ends with `reasonHtml` in parentheses (the rule
// page's is "rule #3"); the URL is escaped here, the reason by the caller.
std::string ForbiddenPage(std::string_view url, std::string_view reasonHtml);

// 404 page for a URL the cache-only mode could not serve.
std::string NotFoundPage(std::string_view url);

// ForbiddenPage, or NotFoundPage when rule is kMissingFromCacheRule.
std::string RefusalPage(std::string_view url, int rule);

// The HTML body of the 407 answer carrying the given date text.
std::string ErrorPageBody(std::string_view date);

// 407 header followed by ErrorPageBody, both with the date of now.
std::string AuthRequiredAnswer(Clock::TimePoint now);

// 502 page for an origin whose response header could not be read.
std::string BadGatewayPage();

// A request whose head runs past what the proxy reads before deciding.
std::string HeadTooLongPage();

// A request the proxy will not forward: no request line, a malformed header
// line, or a body whose end an origin could place elsewhere.
std::string BadRequestPage();

// 304 header block, complete with its blank line; sent with Write, not
// WriteLn.
std::string NotModifiedText();

// The proxy's own answer to a browser's CONNECT in direct mode; sent with
// Write.
inline constexpr std::string_view kTunnelEstablished =
    "HTTP/1.0 200 Connection established\r\n\r\n";

}  // namespace vs::proxy
