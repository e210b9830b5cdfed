#pragma once
// Request processing: what happens to each request a browser sends. It is
// redirected by the URL converter, refused by the black list, answered or
// made conditional by the cache lookup, or passed on; every request is
// numbered, logged and given a monitor row.

#include <string_view>

#include "proxy/http_head.h"

namespace vs::proxy {

class Session;
struct Exchange;

// Decides on one request. True when it is to go upstream as `request` now
// stands; false when it was answered here (the browser connection is then
// closed).
bool ProcessRequest(Session& session, Exchange& exchange, http::MessageHead& request);

// The 302 to `location`: logs the request, answers, closes the browser
// connection.
void SendRedirect(Session& session, Exchange& exchange, std::string_view location,
                  const http::MessageHead& request);
// The 403 page naming rule (or the 404 page for kMissingFromCacheRule), the
// same way.
void SendRefusalPage(Session& session, Exchange& exchange, int rule,
                     const http::MessageHead& request);

// The request's entry in the log, its proxy password masked.
void LogRequest(Session& session, const Exchange& exchange, const http::MessageHead& request);

// Sends a page the proxy made itself (its head only, to a HEAD) and ends the
// browser connection; a browser already gone gets nothing.
void AnswerLocally(Session& session, const Exchange& exchange, const std::string& answer);

}  // namespace vs::proxy
