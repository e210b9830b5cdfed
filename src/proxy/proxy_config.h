#pragma once
// What the proxy's workers read: its switches, the cancel keys of the rule
// lists, the cache's folder and fresh window, and the parent proxy. The
// application builds it from its settings when they are applied and
// publishes it whole; a request takes the snapshot current when it begins,
// so a change never alters a request in flight.

#include <chrono>
#include <string>

#include "cache/cache_paths.h"

namespace vs::proxy {

// Index of a modifier-key combination (0 none, 1 Alt, 2 Ctrl, 3 Shift,
// 4 Ctrl+Alt, 5 Ctrl+Shift, 6 Alt+Shift); holding it suspends a list.
using CancelKeys = int;

struct ProxyConfig {
    // The rule lists, each with the keys that suspend it while held.
    bool urlConverterEnabled = false;
    CancelKeys urlConverterCancelKeys = -1;
    bool blackListEnabled = true;
    CancelKeys blackListCancelKeys = -1;
    bool cacheListEnabled = true;
    bool noRequestListEnabled = true;
    CancelKeys noRequestCancelKeys = -1;
    bool onlyFromCacheEnabled = true;
    CancelKeys onlyFromCacheCancelKeys = -1;
    // The only-from-cache list leaves requests from Opera alone.
    bool onlyFromCacheSparesOpera = true;

    // The cache.
    cache::CacheDir cacheDir;
    bool readFromCache = true;
    bool offline = false;
    // Entries younger than the window are answered without asking.
    bool freshWithoutAsking = false;
    std::chrono::seconds freshWindow{0};
    // Store answers marked no-cache, no-store or private all the same.
    bool ignoreNoCache = false;
    // Answers the only-from-cache list makes get no monitor row.
    bool hideOnlyFromCacheAnswers = true;

    // A browser elsewhere on the LAN may reach the proxy host's loopback
    // and the proxy's own port through it, as the desktop user always may.
    bool lanReachesHostServices = false;

    // The parent proxy: requests go there rather than to their origins,
    // with these Basic credentials (8-bit text) when a user is set.
    bool useParent = false;
    std::string parentUser;
    std::string parentPassword;
};

}  // namespace vs::proxy
