#include "cache/cache_lookup.h"

#include "base/cp1251.h"
#include "cache/cache_store.h"
#include "cache/response_path.h"
#include "proxy/authentication.h"
#include "proxy/engine.h"
#include "proxy/generated_pages.h"
#include "proxy/intercept.h"
#include "proxy/request_processing.h"
#include "rules/find_rule.h"

namespace vs::cache {

using proxy::TCmd;
using proxy::TMyIntercept;

namespace {

const Pattern& UserAgentLine() {
    static const auto p = Pattern::Compile("^User-Agent: (.+)$", kRegexCaseless | kRegexMultiline);
    return *p;
}

bool OnlyFromCacheListApplies(TMyIntercept& r, const Settings& s, std::string_view text,
                              std::string_view lowerUrl) {
    if (!s.OnlyFromCache || KeyComboHeld(s.OnlyFromCacheKeyCombo)) {
        return false;
    }
    if (s.CancelForOpera &&
        UserAgentLine().FindGroup(text, 1).value_or("").find("Opera") != std::string_view::npos) {
        return false;
    }
    return r.Owner().FindRuleCountingHit(r.Owner().Lists().onlyFromCache, lowerUrl,
                                         proxy::kCmdOnlyFromCacheListHit) >= 0;
}

// The browser's own If-Modified-Since line goes: the proxy decides what is
// asked. Returns where it stood, npos when there was none.
std::size_t RemoveClientIms(std::string& text) {
    std::size_t at = text.find("If-Modified-Since:");
    if (at == std::string::npos) {
        return std::string::npos;
    }
    std::size_t end = text.find("\r\n", at);
    if (end == std::string::npos) {
        return std::string::npos;
    }
    text.erase(at, end + 2 - at);
    return at;
}

// Local answers get a monitor row like forwarded requests, except those the
// only-from-cache list makes while connections are hidden from the monitor.
void GiveMonitorRow(TMyIntercept& r, const Settings& s, bool onlyFromCache) {
    if (r.MonitorRow >= 0 || (onlyFromCache && s.HideConnect && !s.OffLine)) {
        return;
    }
    r.MonitorRow = r.Owner().SendNewConnectionToList(r.URL);
}

LookupResult RefuseAsMissing(TMyIntercept& r, const Settings& s, bool onlyFromCache,
                             std::string& text) {
    GiveMonitorRow(r, s, onlyFromCache);
    proxy::SendRefusalPage(r, proxy::kMissingFromCacheRule, text);
    return {true, true};
}

}  // namespace

LookupResult CacheLookup(TMyIntercept& r, std::string& text) {
    const auto settings = r.Owner().CurrentSettings();
    const Settings& s = *settings;
    const std::string lowerUrl = cp1251::Lower(r.URL);

    // 1. Only from the cache?
    bool onlyFromCache = s.OffLine;
    if (!onlyFromCache) {
        onlyFromCache = OnlyFromCacheListApplies(r, s, text, lowerUrl);
    }
    const bool readCache = s.CacheEnCB || s.OffLine;
    // 2. Only from a cache that is never read: nothing can answer.
    if (!readCache && onlyFromCache) {
        return RefuseAsMissing(r, s, onlyFromCache, text);
    }
    // 3. Parent-proxy credentials.
    LookupResult result;
    result.changed = proxy::AddAuthorization(s, text);
    // 4. A write-only cache: the origin must answer in full, so the browser's
    // own condition goes.
    if (!readCache) {
        if (RemoveClientIms(text) != std::string::npos) {
            r.ClientIMSRemoved = true;
        }
        result.changed = true;
        return result;
    }
    // 5, 6. The entry.
    auto params = r.Owner().Cache();
    auto entry = EntryPath(params->dir, CacheKey(r.URL));
    if (!entry || !EntryExists(*entry)) {
        return onlyFromCache ? RefuseAsMissing(r, s, onlyFromCache, text) : result;
    }
    // 7. Answer without asking?
    bool noRequest = onlyFromCache;
    const Clock::TimePoint now = r.Owner().TimeSource().Now();
    if (!noRequest && s.NoReqNewFilesCB) {
        noRequest = now < EntryCompletionTime(*entry, now) + params->freshWindow;
    }
    if (!noRequest && !KeyComboHeld(s.NoReqKeyCombo) && s.NoReqCB) {
        noRequest = r.Owner().FindRuleCountingHit(r.Owner().Lists().noReq, lowerUrl,
                                                  proxy::kCmdNoReqListHit) >= 0;
    }
    // 8. The local answer.
    if (noRequest) {
        r.CacheFileName = entry->string();
        GiveMonitorRow(r, s, onlyFromCache);
        if (AnswerFromCache(r, text)) {
            return {true, true};
        }
        r.CacheFileName.clear();
        if (onlyFromCache) {
            return RefuseAsMissing(r, s, onlyFromCache, text);
        }
    }
    // 9. Ask the origin whether the stored copy is current. A HEAD is never
    // made conditional: its 304 could not become an answer with a body. The
    // entry is opened now, so that it is still there for the 304.
    if (r.HeadRequest) {
        return result;
    }
    auto reader = OpenEntry(*entry);
    if (!reader) {
        return result;  // being written: this request goes as the browser sent it
    }
    std::size_t position = RemoveClientIms(text);
    position = position != std::string::npos ? position + 1 : HeaderInsertPos(text);
    if (position > 0) {
        text.insert(position - 1,
                    "If-Modified-Since: " + FormatHTTPDate(reader->OriginDate()) + "\r\n");
        r.ConditionalByProxy = true;
        r.CacheFileName = entry->string();
        r.CacheReadStream = std::move(reader);
        result.changed = true;
    }
    return result;
}

}  // namespace vs::cache
