#pragma once
// Request processing: what happens to each request a browser sends. It is
// redirected by the URL converter, refused by the black list, answered or
// made conditional by the cache lookup, or passed on; every request is
// numbered, logged and given a monitor row.

#include <string>
#include <string_view>

namespace vs::proxy {

class TMyIntercept;

// A request header is collected up to its blank line before it is decided
// on; past this size the decision is taken on what has arrived.
inline constexpr std::size_t kMaxRequestHeader = 64 * 1024;

// The header length H of a request or answer text: through the first
// CR LF CR LF, or the whole text when it holds none.
std::size_t HeaderLength(std::string_view text);

// Where a collected header ends: after its blank line (CR LF CR LF, or a
// bare LF LF from a sloppy client), or npos.
std::size_t FindHeaderEnd(std::string_view text, std::size_t from = 0);

// The bytes on their way upstream, as they go out: request headers
// processed, body and tunnel bytes unchanged. A header still incomplete is
// kept in the record for the next call unless `final` is set.
std::string FilterUpstream(TMyIntercept& record, std::string_view bytes, bool final = false);

// The processing routine for one request header. Returns whether `text` was
// changed (or emptied) and must replace what was received.
bool ProcessRequest(TMyIntercept& record, std::string& text);

// The 302 to `location`: logs the request, answers, closes the browser
// connection and empties text.
void SendRedirect(TMyIntercept& record, std::string_view location, std::string& text);
// The 403 page naming rule (or the 404 page for kMissingFromCacheRule), the
// same way.
void SendRefusalPage(TMyIntercept& record, int rule, std::string& text);

}  // namespace vs::proxy
