#pragma once
// The cache's say on a request before it goes upstream.

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

// Until the cache store answers requests, every request goes upstream as it
// came.
LookupResult CacheLookup(proxy::TMyIntercept& record, std::string& text);

}  // namespace vs::cache
