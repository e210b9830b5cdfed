#pragma once
// The response path: every block coming back from upstream is counted,
// its status line and headers are read from the first block, and progress
// and state go to the monitor and the log. The proxy's own answers pass the
// same routine so that they show the same way.

#include <string>

namespace vs::proxy {
class TMyIntercept;
}

namespace vs::cache {

// The processing routine for one block of an answer. Returns true only when
// the text was turned into an answer from the cache.
bool ProcessResponse(proxy::TMyIntercept& record, std::string& text);

// Completes the cache entry being written for the record's request, if any.
void FinishCacheWrite(proxy::TMyIntercept& record);

}  // namespace vs::cache
