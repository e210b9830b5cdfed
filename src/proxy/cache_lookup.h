#pragma once
// The cache's say on a request before it goes upstream: answer it from the
// cache without asking (offline, only-from-cache and never-refresh lists,
// fresh entries), refuse it as missing from the cache, or make it
// conditional on the stored entry. The request's proxy credentials are
// settled here too.

#include "proxy/http_head.h"

namespace vs::proxy {

class Session;
struct Exchange;

// Returns true when the request was answered here (from the cache, or
// refused as missing from it): it then has its monitor row and is logged,
// and the browser connection is closed. Otherwise `request` is what goes
// upstream.
bool CacheLookup(Session& session, Exchange& exchange, http::MessageHead& request);

}  // namespace vs::proxy
