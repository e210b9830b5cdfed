#include "proxy/cache_lookup.h"

#include "base/cp1251.h"
#include "cache/cache_store.h"
#include "proxy/authentication.h"
#include "proxy/engine.h"
#include "proxy/generated_pages.h"
#include "proxy/request_processing.h"
#include "proxy/response_path.h"
#include "proxy/session.h"
#include "proxy/url_spelling.h"
#include "rules/find_rule.h"

namespace vs::proxy {

namespace {

bool OnlyFromCacheListApplies(Session& s, const ProxyConfig& config,
                              const http::MessageHead& request, std::string_view url,
                              std::string_view lowerUrl) {
    if (!config.onlyFromCacheEnabled || KeyComboHeld(config.onlyFromCacheCancelKeys)) {
        return false;
    }
    if (config.onlyFromCacheSparesOpera &&
        request.Value("User-Agent").value_or("").find("Opera") != std::string_view::npos) {
        return false;
    }
    return s.Owner().FindRuleCountingHit(s.Owner().Lists().onlyFromCache, lowerUrl,
                                         [url] { return PlainUrl(url); }) >= 0;
}

// Local answers get a monitor row like forwarded requests, except those the
// only-from-cache list makes while connections are hidden from the monitor.
void GiveMonitorRow(Session& s, Exchange& e, const ProxyConfig& config, bool onlyFromCache) {
    if (e.monitorRow >= 0 ||
        (onlyFromCache && config.hideOnlyFromCacheAnswers && !config.offline)) {
        return;
    }
    s.AddMonitorRow(e);
}

bool RefuseAsMissing(Session& s, Exchange& e, const ProxyConfig& config, bool onlyFromCache,
                     const http::MessageHead& request) {
    GiveMonitorRow(s, e, config, onlyFromCache);
    SendRefusalPage(s, e, kMissingFromCacheRule, request);
    return true;
}

// Whether an Accept-Encoding item's weight refuses its coding ("gzip;q=0").
bool WeighedZero(std::string_view item) {
    for (std::size_t semicolon = item.find(';'); semicolon != std::string_view::npos;
         semicolon = item.find(';', semicolon + 1)) {
        std::string_view parameter = item.substr(semicolon + 1);
        parameter = parameter.substr(0, parameter.find(';'));
        const std::size_t equals = parameter.find('=');
        if (equals == std::string_view::npos ||
            !cp1251::EqualsNoCase(http::ItemToken(parameter), "q")) {
            continue;
        }
        const std::string_view weight = http::ItemToken(parameter.substr(equals + 1));
        return !weight.empty() && weight.front() == '0' &&
               weight.find_first_not_of("0.") == std::string_view::npos;
    }
    return false;
}

std::string_view CodingName(std::string_view coding) {
    return cp1251::EqualsNoCase(coding, "x-gzip")       ? "gzip"
           : cp1251::EqualsNoCase(coding, "x-compress") ? "compress"
                                                        : coding;
}

// Whether the browser can read an entry stored with this Content-Encoding.
// An entry holds one encoding of its URL, the one its answer came in; a
// browser that does not name it in Accept-Encoding would get bytes it
// cannot read. No Accept-Encoding at all counts as none: tools that send
// none (curl, wget, scripts) get from origins the body as it is.
bool ReadsEncoding(const http::MessageHead& request, std::string_view encoding) {
    if (http::IsIdentityCoding(encoding)) {
        return true;
    }
    bool named = false;
    bool accepted = false;
    bool anyAccepted = false;
    for (std::string_view item : request.ListItems("Accept-Encoding")) {
        const std::string_view coding = http::ItemToken(item);
        if (coding == "*") {
            anyAccepted = !WeighedZero(item);
        } else if (cp1251::EqualsNoCase(CodingName(coding), CodingName(encoding))) {
            named = true;
            accepted = !WeighedZero(item);
        }
    }
    return named ? accepted : anyAccepted;
}

}  // namespace

bool CacheLookup(Session& s, Exchange& e, http::MessageHead& request) {
    const ProxyConfig& config = *e.config;
    const std::string lowerUrl = cp1251::Lower(e.urlSent);

    // 1. Only from the cache?
    bool onlyFromCache = config.offline;
    if (!onlyFromCache) {
        onlyFromCache = OnlyFromCacheListApplies(s, config, request, e.urlSent, lowerUrl);
    }
    const bool readCache = config.readFromCache || config.offline;
    // 2. Only from a cache that is never read, or a request the cache never
    // answers (a POST's answer must come from its origin): nothing can
    // answer.
    const bool cacheMayAnswer = e.AsksForTheUrl();
    if ((!readCache || !cacheMayAnswer) && onlyFromCache) {
        return RefuseAsMissing(s, e, config, onlyFromCache, request);
    }
    // 3. Proxy credentials, and this proxy's hop for a parent to pass on.
    ApplyProxyCredentials(config, e.ToParent(), request);
    if (e.ToParent()) {
        request.Insert("Via", s.Owner().HopName());
    }
    if (!cacheMayAnswer) {
        return false;  // never conditional, never from the cache
    }
    // 4. A write-only cache: the origin must answer in full, so the browser's
    // own conditions go.
    if (!readCache) {
        request.Remove("If-Modified-Since");
        request.Remove("If-None-Match");
        e.condition = Condition::kWholeOverEntry;
        return false;
    }
    // 5, 6. The entry, opened once for all that follows, if it was written
    // for this very URL: another mapping to the same file (one differing in
    // case only, say) is a miss, and its answer replaces it.
    const std::string key = cache::CacheKey(e.urlSent);
    const auto entry = cache::EntryPath(config.cacheDir, key);
    std::unique_ptr<cache::EntryReader> reader =
        entry ? cache::OpenEntryFor(*entry, cache::EntryIdentity(e.urlSent)) : nullptr;
    if (!reader || !ReadsEncoding(request, reader->ContentEncoding())) {
        // Missing, another key's, being replaced right now, or in an
        // encoding this browser cannot read (its answer then replaces it).
        if (reader) {
            e.condition = Condition::kWholeOverEntry;
        }
        return onlyFromCache && RefuseAsMissing(s, e, config, onlyFromCache, request);
    }
    // 7. Answer without asking?
    bool noRequest = onlyFromCache;
    const Clock::TimePoint now = s.Owner().TimeSource().Now();
    if (!noRequest && config.freshWithoutAsking) {
        // An entry finished "later" than now was made while the clock ran
        // ahead: its age is unknown, and counting it fresh would hold it for
        // as long as the clock was wrong.
        const Clock::TimePoint made = reader->CompletionTime();
        // In seconds: a window of years is no count of nanoseconds.
        noRequest = made <= now && std::chrono::duration_cast<std::chrono::seconds>(now - made) <
                                       config.freshWindow;
    }
    if (!noRequest && !KeyComboHeld(config.noRequestCancelKeys) && config.noRequestListEnabled) {
        noRequest = s.Owner().FindRuleCountingHit(s.Owner().Lists().noReq, lowerUrl,
                                                  [&e] { return PlainUrl(e.urlSent); }) >= 0;
    }
    // 8. The local answer.
    if (noRequest) {
        e.cacheFileName = entry->string();
        GiveMonitorRow(s, e, config, onlyFromCache);
        AnswerFromCache(s, e, request, std::move(reader));
        return true;
    }
    // 9. Ask the origin whether the stored copy is current. A HEAD is never
    // made conditional: its 304 could not become an answer with a body. The
    // entry stays open, so that it is still there for the 304.
    if (e.IsHead()) {
        return false;
    }
    // Nor is a request asked whole over the entry, whose answer then
    // replaces it: a request for part of the body (the 304 would give the
    // whole entry where the browser asked for a part, a resumed download); a
    // reload the browser forces (Ctrl+F5 sends "no-cache"), the user's one
    // way to replace an entry the origin keeps vouching for by its date (a
    // page cut short by a server that died mid-answer, when only its close
    // framed the body); and an entry that came from elsewhere (no size
    // vouches that it is whole: a copy that ran out of room cuts the file it
    // was writing, and a 304 would serve it as it is). So is an entry the
    // proxy dated by its own clock (the origin gave no date) while that
    // clock ran fast: asked "modified since" a day to come, the origin would
    // vouch for it until then. A date of the origin's own is the origin's to
    // compare, however the proxy's clock stands.
    const bool forcedReload =
        request.ListNames("Cache-Control", "no-cache") || request.ListNames("Pragma", "no-cache");
    const bool datedAheadHere = reader->DatedHere() && reader->OriginDate() > now;
    if (request.Has("Range") || forcedReload || !reader->WrittenHere() || datedAheadHere) {
        e.condition = Condition::kWholeOverEntry;
        return false;
    }
    // The browser's own conditions give way to the proxy's, in their place:
    // a 304 must say that the entry is current, not that the browser's copy
    // is (an If-None-Match naming a newer version than the entry's would
    // turn the entry's older body into the answer).
    request.Remove("If-None-Match");
    if (request.Set("If-Modified-Since", cache::FormatHTTPDate(reader->OriginDate()))) {
        // The entry's own ETag beside its date: a version written within the
        // same second (a repository rebuilt by a script) passes the date
        // alone, and the origin then answers 304 for the old body.
        if (const std::string tag = reader->EntityTag(); !tag.empty()) {
            request.Set("If-None-Match", tag);
        }
        e.condition = Condition::kByProxy;
        e.cacheFileName = entry->string();
        e.cacheReader = std::move(reader);
    }
    return false;
}

}  // namespace vs::proxy
