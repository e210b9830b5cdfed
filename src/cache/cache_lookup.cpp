#include "cache/cache_lookup.h"

namespace vs::cache {

LookupResult CacheLookup(proxy::TMyIntercept&, std::string&) {
    return {};
}

}  // namespace vs::cache
