#pragma once
// The response path: every block coming back from upstream is counted, the
// answer's status line and headers are read once its header has arrived,
// cachable answers are written to their cache entry as they flow, a 304 to
// the proxy's own If-Modified-Since becomes the full answer from the cache,
// and progress and state go to the monitor and the log. The proxy's own
// answers pass the same routine so that they show the same way.

#include <cstddef>
#include <string>
#include <string_view>

namespace vs::proxy {
class TMyIntercept;
}

namespace vs::cache {

// The receive hook's work on one block from upstream: `bytes` becomes what
// the browser is to get now (held back while an answer's header is still
// incomplete; written out directly, and emptied, when the answer comes from
// the cache).
void ReceiveFromUpstream(proxy::TMyIntercept& record, std::string& bytes);

// How many of the next bytes from upstream may go to the browser without
// the receive hook seeing them: body bytes of an answer that is neither
// stored nor rewritten, never beyond the body's framing. 0 when the next
// bytes must be seen.
std::size_t UnseenRoom(const proxy::TMyIntercept& record);

// The receive hook's accounting for body bytes that went to the browser
// unseen: counted, followed and shown as if they had been seen.
void PassedUnseen(proxy::TMyIntercept& record, std::size_t bytes);

// Upstream has closed: an answer header still being collected is processed
// as it stands and returned for the browser.
std::string FlushPendingAnswer(proxy::TMyIntercept& record);

// The processing routine for one block of an answer. Returns true only when
// the text was turned into an answer from the cache; the text and the body
// from the record's CacheReadStream are then to be sent (SendCacheAnswer).
bool ProcessResponse(proxy::TMyIntercept& record, std::string& text);

// Writes the answer's header text and the body of the entry the record
// serves to the browser, and closes the entry.
void SendCacheAnswer(proxy::TMyIntercept& record, std::string_view head);

// Completes the cache entry being written for the record's request, if any:
// kept when the whole body arrived, deleted when it was cut short.
void FinishCacheWrite(proxy::TMyIntercept& record);

// The answer from the cache for a request that is not asked upstream. False
// (with nothing sent) when the entry cannot be opened.
bool AnswerFromCache(proxy::TMyIntercept& record, std::string& request);

}  // namespace vs::cache
