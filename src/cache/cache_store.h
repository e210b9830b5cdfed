#pragma once
// The on-disk cache store: the layout of keys and paths (cache_paths.h),
// HTTP dates (http_date.h), entry files (cache_entry.h), and the two text
// helpers used when an answer is served from the cache.

#include <cstddef>
#include <string>
#include <string_view>

#include "cache/cache_entry.h"
#include "cache/cache_paths.h"
#include "cache/http_date.h"

namespace vs::cache {

// A Content-Type for a cached body that came without one, guessed from its
// first 500 bytes (more are ignored): a <meta http-equiv="Content-Type">
// value as written, an HTML document as "text/html; charset=windows-1251",
// or a GIF, BMP, PNG or JPEG signature at the start of any line. "" when
// nothing fits. Case is ignored throughout, signatures included.
std::string SniffContentType(std::string_view firstBytes);

}  // namespace vs::cache
