#pragma once
// The cache's say on a request before it goes upstream: answer it from the
// cache without asking (offline, only-from-cache and never-refresh lists,
// fresh entries), refuse it as missing from the cache, or make it
// conditional on the stored entry. Proxy authorization of forwarded
// requests happens here too.

#include <string>

namespace vs::proxy {
class TMyIntercept;
}

namespace vs::cache {

struct LookupResult {
    // The request was answered here (from the cache, or refused as missing
    // from it); it already has its monitor row, is logged and emptied.
    bool answered = false;
    // The request text was (or may have been) changed and must replace what
    // the browser sent.
    bool changed = false;
};

LookupResult CacheLookup(proxy::TMyIntercept& record, std::string& text);

}  // namespace vs::cache
