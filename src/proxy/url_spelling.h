#pragma once
// The one spelling of a URL that its many spellings reach at the origin.
// A black-list rule is written for the URL as browsers send it; a client
// asking for "/%61ds", "/x/../ads", "//ads" or "http://127.1/ads" reaches
// the same page on most servers, and must meet the same rule.

#include <string>
#include <string_view>

namespace vs::proxy {

// subject is a lower-cased URL without its scheme ("host:port/path?query").
// Returns it with: a host written as a number in another form (127.1,
// 0x7f000001, [::ffff:127.0.0.1]) in dotted form; in path and query, letters,
// digits and "-._~" written as %XX decoded (lower-cased, as the subject is);
// in the path, runs of "/" as one and "." and ".." segments resolved.
std::string PlainSpelling(std::string_view subject);

}  // namespace vs::proxy
