#pragma once
// Byte counts as the monitor and the statistics footers show them. The
// separators are fixed (",", ".") rather than taken from the locale, so the
// texts are the same on every machine and in every log.

#include <cstdint>
#include <string>

namespace vs {

// "#,##0.00" followed by " B", " kB", " MB" or " GB": below 1024 (negative
// counts included) in bytes, then in binary kilo-, mega- and gigabytes.
// Halves of the last decimal round away from zero.
std::string FormatByteSize(std::int64_t bytes);

// The monitor's cache label: FormatByteSize(cacheBytes), " / ", then the
// cache's share of all traffic as "#,#0.0 %". With no traffic at all the
// share is 0.0 %.
std::string CacheShareText(std::int64_t cacheBytes, std::int64_t internetBytes);

}  // namespace vs
