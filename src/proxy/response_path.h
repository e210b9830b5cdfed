#pragma once
// The response path: every answer coming back from upstream is counted, its
// head read once it has arrived, a cachable answer written to its cache
// entry as it flows, a 304 to the proxy's own If-Modified-Since turned into
// the full answer from the cache, and progress and state sent to the
// monitor and the log. The proxy's own answers pass the same head
// processing so that they show the same way.
//
// The session splits the bytes from upstream into answers; these routines
// see one answer's bytes at a time.

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>

#include "cache/cache_entry.h"
#include "proxy/http_head.h"

namespace vs::proxy {

class Session;
struct Exchange;

// The answer's head is complete at the start of `block` (or the block is
// all there is of it). Reads the head, stores and follows the body bytes
// that belong to this answer, and appends what the browser gets to `out`;
// an answer from the cache is written to the browser directly, after what
// `out` held. Returns how many bytes of `block` were this answer's.
std::size_t AnswerBegins(Session& session, Exchange& exchange, std::string_view block,
                         std::string& out);

// Body bytes of an answer whose head was read: returns how many of `bytes`
// belong to it, appending them to `out`.
std::size_t AnswerContinues(Session& session, Exchange& exchange, std::string_view bytes,
                            std::string& out);

// How many of the next bytes from upstream may go to the browser without
// being seen: body bytes of an answer that is not rewritten (a Content-Length
// body, a chunk's data, a body running to the close), never beyond the
// body's framing. 0 when the next bytes must be seen.
std::size_t AnswerUnseenRoom(const Exchange& exchange);

// The descriptor of the entry being written for the answer, which the
// bytes passed unseen are appended to as well; -1 when nothing is stored.
int AnswerUnseenCopy(const Exchange& exchange);

// The entry being written for the answer is given up, since the file system
// refused its bytes (`error`); the answer goes on to the browser uncached.
void CacheWriteRefused(Session& session, Exchange& exchange, int error);

// Body bytes that went to the browser unseen: counted, followed and shown
// as if they had been seen.
void AnswerPassedUnseen(Session& session, Exchange& exchange, std::size_t bytes);

// Bytes from upstream that belong to no answer (a tunnel's, or ones nobody
// asked for): counted as the user's internet traffic.
void CountStray(Session& session, std::size_t bytes);

// An answer the proxy made itself, shown in the monitor and the log like
// one from upstream; nothing is counted or stored.
void ShowAnswer(Session& session, Exchange& exchange, std::string text);

// Completes the cache entry being written for the exchange, if any: kept
// when the body arrived whole by its framing, discarded otherwise.
void FinishCacheWrite(Session& session, Exchange& exchange);

// The answer from the cache, from the entry `reader` has open, for a
// request that is not asked upstream: sent, and the browser connection
// closed.
void AnswerFromCache(Session& session, Exchange& exchange, const http::MessageHead& request,
                     std::unique_ptr<cache::EntryReader> reader);

}  // namespace vs::proxy
