#include "proxy/response_path.h"

#include <algorithm>
#include <iterator>
#include <limits>
#include <optional>
#include <string_view>
#include <utility>

#include "base/cp1251.h"
#include "base/numbers.h"
#include "cache/cache_store.h"
#include "net/bulk_mover.h"
#include "net/socket.h"
#include "proxy/engine.h"
#include "proxy/exchange.h"
#include "proxy/generated_pages.h"
#include "proxy/request_processing.h"
#include "proxy/session.h"
#include "proxy/url_spelling.h"

namespace vs::proxy {

namespace {

int KindImage(const Exchange& e) {
    if (e.statusCode == 200 && e.statusText.find("cache") != std::string::npos) {
        return 2;
    }
    if (e.statusCode == 304) {
        return 1;
    }
    if (e.statusCode == 403) {
        return 3;
    }
    if (e.statusCode == 404 || (e.statusCode >= 500 && e.statusCode <= 599)) {
        return 4;
    }
    return 0;
}

void CountBytes(Session& s, bool fromCache, std::int64_t bytes) {
    if (bytes > 0) {
        s.Owner().Post(TrafficCount{fromCache, s.userIndex, s.userName, s.userId, bytes});
    }
}

// What every block of an answer costs, seen or not.
void CountArrival(Session& s, Exchange& e, std::size_t bytes) {
    if (!e.AnsweredHere()) {
        CountBytes(s, false, static_cast<std::int64_t>(bytes));
    }
}

// An answer that differs by anything but the encoding the browser accepts
// (its language, its cookies, "*") is some one browser's: one entry per URL
// cannot hold it for all.
bool VariesByMoreThanEncoding(const http::MessageHead& head) {
    const std::vector<std::string_view> items = head.ListItems("Vary");
    return std::any_of(items.begin(), items.end(), [](std::string_view item) {
        const std::string_view name = http::ItemToken(item);
        return !name.empty() && !cp1251::EqualsNoCase(name, "Accept-Encoding");
    });
}

// Fields of the origin's answer that decide what a browser may do with the
// body: read it from another site's page, show it in a frame, save it
// under a name, trust its type. An answer made from the entry without the
// origin needs them as much (a font or a fetch() from a page of another
// host fails without its Access-Control-Allow-Origin). In order of need,
// while they fit the room an entry gives them; a cookie is never kept.
constexpr std::string_view kKeptFields[] = {"Access-Control-Allow-Origin",
                                            "Access-Control-Allow-Credentials",
                                            "Access-Control-Expose-Headers",
                                            "Timing-Allow-Origin",
                                            "Cross-Origin-Resource-Policy",
                                            "Vary",
                                            "Content-Disposition",
                                            "Content-Language",
                                            "X-Content-Type-Options",
                                            "X-Frame-Options",
                                            "Referrer-Policy",
                                            "Cross-Origin-Embedder-Policy",
                                            "Cross-Origin-Opener-Policy",
                                            "Content-Security-Policy",
                                            "Permissions-Policy"};
constexpr std::size_t kKeptFieldsRoom = 2048;

// Nullopt when the fields do not fit the room: served from the cache
// without some of them (a long Content-Security-Policy comes last), the page
// would lose protections its origin sent it with, so it is not stored.
std::optional<std::string> KeptFields(const http::MessageHead& head) {
    std::string kept;
    for (const std::string_view name : kKeptFields) {
        for (const std::string_view value : head.Values(name)) {
            const std::string line = std::string(name) + ": " + std::string(value) + "\r\n";
            if (kept.size() + line.size() > kKeptFieldsRoom) {
                return std::nullopt;
            }
            kept += line;
        }
    }
    return kept;
}

// Calls visit(name, value, line) for each "Name: value" CR LF line of kept
// fields; `line` includes its CR LF. The lines come from the entry's file,
// which a hand or a damaged copy may have changed: only the kept names are
// taken, never a cookie.
template <typename Visit>
void ForEachKeptField(std::string_view kept, Visit visit) {
    for (std::size_t start = 0, end; (end = kept.find("\r\n", start)) != std::string_view::npos;
         start = end + 2) {
        const std::string_view line = kept.substr(start, end + 2 - start);
        const std::size_t colon = line.find(": ");
        const auto named = [&](std::string_view name) {
            return cp1251::EqualsNoCase(name, line.substr(0, colon));
        };
        if (colon != std::string_view::npos && colon > 0 &&
            std::any_of(std::begin(kKeptFields), std::end(kKeptFields), named)) {
            visit(line.substr(0, colon), line.substr(colon + 2, end - start - colon - 2), line);
        }
    }
}

// The origin's 304 brings the fields as they are now (RFC 9111 4.3.4): they
// replace the kept ones of their names, and an entry an earlier version
// stored, without any, gains them.
void UpdateKeptFields(cache::EntryReader& entry, const http::MessageHead& notModified,
                      std::string& kept) {
    // Fields that do not fit leave the entry's as they are; the 304's own
    // go to the browser with the answer.
    std::string fresh = KeptFields(notModified).value_or("");
    if (fresh.empty()) {
        return;
    }
    ForEachKeptField(kept, [&](std::string_view name, std::string_view, std::string_view line) {
        if (!notModified.Has(name) && fresh.size() + line.size() <= kKeptFieldsRoom) {
            fresh += line;
        }
    });
    if (fresh != kept) {
        entry.KeepFields(fresh);
        kept = std::move(fresh);
    }
}

// The origin sent "X-Content-Type-Options: nosniff": a type guessed from the
// body (a user's text quoted in JSON taken for HTML) is what it forbade.
bool ForbidsGuessingTheType(std::string_view kept) {
    bool forbids = false;
    ForEachKeptField(kept, [&](std::string_view name, std::string_view value, std::string_view) {
        forbids = forbids || (cp1251::EqualsNoCase(name, "X-Content-Type-Options") &&
                              cp1251::EqualsNoCase(http::ItemToken(value), "nosniff"));
    });
    return forbids;
}

// Whether two ETags name one version, weakly compared (RFC 9110 8.8.3.2): a
// compressed body's "W/" tag is the version its origin's 304 names without.
bool SameVersion(std::string_view a, std::string_view b) {
    const auto opaque = [](std::string_view tag) {
        return tag.starts_with("W/") ? tag.substr(2) : tag;
    };
    return opaque(a) == opaque(b);
}

// The kept fields the answer lacks (a 304 need not repeat them, the local
// answer has none of its own).
void AddKeptFields(http::MessageHead& head, std::string_view kept) {
    std::vector<std::pair<std::string_view, std::string_view>> missing;
    ForEachKeptField(kept, [&](std::string_view name, std::string_view value, std::string_view) {
        if (!head.Has(name)) {
            missing.emplace_back(name, value);
        }
    });
    for (const auto& [name, value] : missing) {
        head.Insert(name, value);
    }
}

// Events as they happen (a page's event stream, a camera's picture
// stream): replayed from the cache they would tell old news as new, to a
// page that comes back for more whenever a stream ends.
bool IsLiveStream(const http::MessageHead& head) {
    const std::string_view type = http::ItemToken(head.Value("Content-Type").value_or(""));
    return cp1251::EqualsNoCase(type, "text/event-stream") ||
           cp1251::EqualsNoCase(type, "multipart/x-mixed-replace");
}

// Sound or pictures of no announced length: a broadcast (net radio, a
// camera), which ends where the station restarted or the listener stopped.
// Stored, it would grow for as long as it plays and be replayed as live.
// Radio servers name their station in "icy-" fields, whatever type they give.
bool IsBroadcast(const http::MessageHead& head) {
    if (head.Has("Content-Length")) {
        return false;
    }
    const std::string_view type = http::ItemToken(head.Value("Content-Type").value_or(""));
    const std::string_view major = type.substr(0, type.find('/'));
    return cp1251::EqualsNoCase(major, "audio") || cp1251::EqualsNoCase(major, "video") ||
           cp1251::EqualsNoCase(type, "application/ogg") || head.Has("icy-name") ||
           head.Has("icy-metaint");
}

constexpr std::string_view kNoCache = "no-cache";

// Whether an answer says it is not for everyone. Ones that vary by more
// than the encoding belong to one user: never shared, whatever the switch.
// "no-cache" anywhere in the first block, body included, in any case: a
// page's own meta tag keeps it out of the cache too. "no-store" and
// "private" count the same, and so does a browser's "no-store" (a private
// window's request, judged by the caller). So does an answer that sets a
// cookie: it begins or renews one visitor's session, and its page is often
// that visitor's own ("Welcome, anna") though the origin forgot to say so.
// The switch that ignores them all is the user's choice.
bool KeptFromTheCache(const ProxyConfig& config, const http::MessageHead& head,
                      std::string_view firstBlock) {
    return VariesByMoreThanEncoding(head) || IsLiveStream(head) ||
           (!config.ignoreNoCache &&
            (cp1251::FindNoCase(firstBlock, kNoCache) != std::string_view::npos ||
             head.ListNames("Cache-Control", "no-store") ||
             head.ListNames("Cache-Control", "private") || head.Has("Set-Cookie")));
}

// What may be stored for every user of the proxy: not an answer to a user's
// own credentials, nor one that says it is not for everyone.
bool Cachable(Session& s, Exchange& e, const ProxyConfig& config, const http::MessageHead& head,
              std::string_view firstBlock, const std::string& key) {
    // Only a GET's answer is what a later GET of the URL should get (a
    // POST's, or a GET's with a body, is one visitor's result), and a
    // CONNECT reply starts a tunnel.
    // A body whose end is not known for sure is never stored.
    if (e.statusCode != 200 || e.AnsweredHere() || !e.IsGet() || !e.AsksForTheUrl() ||
        e.answerBody.Doubtful() || IsBroadcast(head)) {
        return false;
    }
    if (e.authorized || KeptFromTheCache(config, head, firstBlock) ||
        (!config.ignoreNoCache && e.browserForbidsStore)) {
        return false;
    }
    if (!config.cacheListEnabled) {
        return false;
    }
    return s.Owner().FindRuleCountingHit(s.Owner().Lists().cache, key, [&e] {
        return PlainUrl(cache::EntryIdentity(e.urlSent));
    }) >= 0;
}

// A request that may change what its URL holds: any method but those that
// only read (unknown ones included, as they may write).
bool MayChangeTheUrl(const Exchange& e) {
    static constexpr std::string_view kReading[] = {"GET",     "HEAD",     "OPTIONS", "TRACE",
                                                    "CONNECT", "PROPFIND", "REPORT",  "SEARCH"};
    return std::find(std::begin(kReading), std::end(kReading), e.method) == std::end(kReading);
}

// After a write the origin accepted (PUT, DELETE, a form posted to the
// page itself), the stored copy is the old content: within the fresh window
// or by a never-refresh rule it would be served as it was, and a version
// written within the same second passes the proxy's If-Modified-Since.
void ForgetEntryAfterAWrite(const Exchange& e, const std::string& key) {
    if (!MayChangeTheUrl(e) || e.statusCode < 200 || e.statusCode >= 400) {
        return;
    }
    if (auto entry = cache::EntryPath(e.config->cacheDir, key)) {
        cache::OutdateEntry(*entry);
    }
}

// What became of the entry for an answer.
enum class NewEntry {
    kBegun,
    // Not to be kept (not cachable, its head too large, its page saying
    // "no-cache"), or no file can hold its URL.
    kNotKept,
    // The cache folder could not take it (full, unwritable, keeping no
    // attributes) or another answer is being written to it.
    kRefusedByTheCache,
};

// The origin answered the proxy's own condition, or a request asked whole
// over a stored entry, with a new version the cache may not keep (made
// private, or its head too large to keep): the stored copy is the one the
// origin has just called outdated, and offline or by a never-refresh rule
// it would be served as the page. An error answer leaves it, as the page
// may only be out of reach for a while, and so does the answer to a HEAD,
// which is never stored and so never has a writer. A version the cache
// folder could not take (a full disk; a copied cache on a disk that keeps no
// attributes) is no reason either: the copy is all there is offline, and
// online it is asked for again each time.
void ForgetEntryANewVersionReplaced(const Exchange& e, const std::string& key, NewEntry stored) {
    if (e.condition == Condition::kAsSent || e.statusCode != 200 || e.IsHead() ||
        stored != NewEntry::kNotKept) {
        return;
    }
    if (auto entry = cache::EntryPath(e.config->cacheDir, key)) {
        cache::OutdateEntry(*entry);
    }
}

NewEntry CreateEntry(Session& s, Exchange& e, const http::MessageHead& head,
                     const std::string& key) {
    auto entry = cache::EntryPath(e.config->cacheDir, key);
    std::optional<std::string> kept = KeptFields(head);
    if (!entry || !kept) {
        return NewEntry::kNotKept;
    }
    // This exchange's own hold on the old entry must not keep the new
    // answer out of it.
    e.cacheReader.reset();
    e.cacheWriter = cache::BeginEntry(e.config->cacheDir, *entry, cache::EntryIdentity(e.urlSent));
    if (!e.cacheWriter) {
        if (const int refusal = errno; refusal != 0) {
            s.Owner().CacheWriteFailed(refusal);
        }
        return NewEntry::kRefusedByTheCache;
    }
    e.cacheWriter->Reserve(e.contentLength);
    e.cacheWriter->SetEntityTag(head.Value("ETag").value_or(""));
    e.cacheWriter->SetKeptFields(std::move(*kept));
    e.cacheFileName = entry->string();
    e.lastModified = std::string(head.Value("Last-Modified").value_or(""));
    // A Last-Modified that is no date ("yesterday") would date the entry by
    // the proxy's clock, and one ahead of the origin's clock (a file from an
    // archive dated years on) would be asked "modified since" a day to come,
    // which many origins answer 304 to every later version. The origin's own
    // Date is nearer the truth.
    const Clock::TimePoint now = s.Owner().TimeSource().Now();
    const std::string date(head.Value("Date").value_or(""));
    const auto modified = cache::ReadHTTPDate(e.lastModified, now);
    const Clock::TimePoint sent = cache::ReadHTTPDate(date, now).value_or(now);
    if (e.lastModified.empty() || !modified || *modified > sent) {
        e.lastModified = date;
    } else if (sent - *modified < std::chrono::seconds(1)) {
        // Dated the second it was sent, the file may change again within
        // that second, and a 304 asked by the date would keep the old body
        // for good; an origin's tag is often no more than the date and the
        // size. The entry is dated a second early and kept without the tag:
        // the next request fetches it whole and stores it by an ended second.
        e.lastModified = cache::FormatHTTPDate(*modified - std::chrono::seconds(1));
        e.cacheWriter->SetEntityTag("");
    }
    return NewEntry::kBegun;
}

// How much of a stored page's body is looked through for its own
// "no-cache" whatever the first block held: where the meta tags of a page's
// head stand. The first block counts whole, as always; beyond both, the
// word is the page's text. The body is looked at as the entry holds it,
// without chunk lines, which would split the word; a compressed one is not
// looked into.
constexpr std::size_t kPageHeadLooked = 8192;

// A page whose head arrives after its answer's head, or split, says
// "no-cache" there as well as one that came in one piece: its entry goes.
void LookThroughPageHead(Session& s, Exchange& e, std::string_view body) {
    if (!e.cacheWriter || e.pageHeadLeft == 0) {
        return;
    }
    const std::string_view looked = body.substr(0, e.pageHeadLeft);
    e.pageHeadLeft -= looked.size();
    std::string text = e.pageHeadTail;
    text.append(looked);
    if (cp1251::FindNoCase(text, kNoCache) != std::string::npos) {
        e.pageHeadLeft = 0;
        CacheWriteRefused(s, e, 0);
        ForgetEntryANewVersionReplaced(e, cache::CacheKey(e.urlSent), NewEntry::kNotKept);
        return;
    }
    e.pageHeadTail = text.substr(text.size() - std::min(text.size(), kNoCache.size() - 1));
}

// Follows body bytes of the answer, appending them to its entry without the
// chunk framing. Returns how many belong to the body. The browser's share
// goes to `relayed` when given: the bytes as they came, or for a browser the
// chunks are taken off for, their content.
std::size_t StoreBody(Session& s, Exchange& e, std::string_view body,
                      std::string* relayed = nullptr) {
    if (!e.answerBody.InBody()) {
        return 0;
    }
    std::string payload;
    const bool unchunk = relayed && e.unchunkForBrowser;
    const std::size_t used =
        e.answerBody.Consume(body, e.cacheWriter || unchunk ? &payload : nullptr);
    if (e.cacheWriter && !payload.empty() && !e.cacheWriter->Append(payload)) {
        CacheWriteRefused(s, e, e.cacheWriter->Error());
    }
    LookThroughPageHead(s, e, payload);
    if (relayed) {
        relayed->append(unchunk ? std::string_view(payload) : body.substr(0, used));
    }
    return used;
}

// The first and last byte of the one range "bytes=a-b", "bytes=a-" or
// "bytes=-n" asks of a body of `size` bytes; none when the text asks for
// several ranges, names no byte of the body, or is no such text (the whole
// body then answers, as HTTP allows).
std::optional<std::pair<std::int64_t, std::int64_t>> RangeOf(std::string_view text,
                                                             std::int64_t size) {
    constexpr std::string_view kUnit = "bytes=";
    if (!cp1251::EqualsNoCase(text.substr(0, kUnit.size()), kUnit) || size <= 0) {
        return std::nullopt;
    }
    text.remove_prefix(kUnit.size());
    const std::size_t dash = text.find('-');
    if (dash == std::string_view::npos || text.find(',') != std::string_view::npos) {
        return std::nullopt;
    }
    const std::string_view from = text.substr(0, dash);
    const std::string_view to = text.substr(dash + 1);
    if (from.empty()) {
        const auto suffix = ParseDigits(to);
        if (!suffix || *suffix <= 0) {
            return std::nullopt;
        }
        return std::pair{std::max<std::int64_t>(size - *suffix, 0), size - 1};
    }
    const auto first = ParseDigits(from);
    const auto last = to.empty() ? std::optional<std::int64_t>(size - 1) : ParseDigits(to);
    if (!first || !last || *first > *last || *first >= size) {
        return std::nullopt;
    }
    return std::pair{*first, std::min(*last, size - 1)};
}

// A part of the entry for a browser resuming a download or seeking in a
// video, where the origin is not asked: 206 with the part's length and
// place.
void AnswerWithPart(Exchange& e, http::MessageHead& head, cache::EntryReader& reader) {
    const auto range = RangeOf(e.localRange, e.cacheSize);
    if (!range) {
        return;
    }
    const auto [first, last] = *range;
    head.SetStatus("206 Partial Content");
    head.Set("Content-Range", "bytes " + std::to_string(first) + "-" + std::to_string(last) + "/" +
                                  std::to_string(e.cacheSize));
    e.cacheSize = last - first + 1;
    head.Set("Content-Length", std::to_string(e.cacheSize));
    reader.SkipTo(first);
}

// A 304 answering the proxy's own If-Modified-Since becomes the full answer
// from the entry: 200 status, the stored type and encoding (or a type found
// in the first bytes), and the entry's length.
bool ConvertToCacheAnswer(Session& s, Exchange& e, http::MessageHead& head) {
    std::unique_ptr<cache::EntryReader> reader = std::move(e.cacheReader);
    if (!reader) {
        reader = cache::OpenEntryFor(e.cacheFileName, cache::EntryIdentity(e.urlSent));
    }
    if (!reader) {
        return false;
    }
    head.SetStatus("200 OK");
    e.cacheSize = reader->BodySize();
    std::string kept = reader->KeptFields();
    if (reader->HasTrailer()) {
        e.contentEncoding = reader->ContentEncoding();
        e.contentType = reader->ContentType();
        // A 304 may repeat the fields (the origin's own type and coding):
        // the stored ones replace them, never stand beside them, or a
        // browser decodes the body twice.
        // No type recorded is none sent: a browser told "text/html" would
        // run the script a JSON answer quotes, which the origin's answer,
        // untyped and maybe "nosniff", never let it do.
        head.Remove("Content-Type");
        head.Remove("Content-Encoding");
        if (e.contentType.empty()) {
            head.Insert("Content-Encoding", e.contentEncoding);
        } else {
            head.Insert({{"Content-Type", e.contentType}, {"Content-Encoding", e.contentEncoding}});
        }
    } else {
        // Only bodies without a coding are stored without a trailer: a
        // coding a 304 names is not this body's, and a browser would fail to
        // decode it.
        head.Remove("Content-Encoding");
        e.contentEncoding.clear();
        if (!reader->ContentType().empty()) {
            e.contentType = reader->ContentType();  // as the origin sent it
            head.Set("Content-Type", e.contentType);
        } else if (auto named = head.Value("Content-Type")) {
            e.contentType = *named;  // the 304 names it: one type, no guess beside it
        } else if (std::string type = ForbidsGuessingTheType(kept)
                                          ? std::string()
                                          : cache::SniffContentType(reader->Head(500));
                   !type.empty()) {
            e.contentType = type;
            head.Insert("Content-Type", type);
        }
    }
    // The body goes out with its own ETag: nginx's 304 for a compressed body
    // names the plain file's strong tag, and a resume by it would mix the two.
    const std::string ownTag = reader->EntityTag();
    const bool anotherVersion = e.answeredBy == AnsweredBy::kUpstream && !ownTag.empty() &&
                                head.Has("ETag") && !SameVersion(*head.Value("ETag"), ownTag);
    if (!ownTag.empty()) {
        head.Set("ETag", ownTag);
    }
    if (e.answeredBy == AnsweredBy::kUpstream) {
        UpdateKeptFields(*reader, head, kept);
        // An origin that has made the page private says so in its 304 too:
        // the copy stored while it was public answers this request, which
        // the origin vouched for, and then goes, as such an answer would
        // never have been stored. So does one whose 304 names another version
        // (an origin that went by the date alone, the file changed within its
        // second): the next request fetches that version.
        if (anotherVersion || KeptFromTheCache(*e.config, head, head.Text())) {
            cache::OutdateEntry(e.cacheFileName);
        }
    }
    AddKeptFields(head, kept);
    // The body goes out with its length, whatever framing the 304 named.
    head.Remove("Transfer-Encoding");
    head.Set("Content-Length", std::to_string(e.cacheSize));
    AnswerWithPart(e, head, *reader);
    // The origin's 304 may promise a kept-alive connection; the browser
    // that asked to close gets its wish (the local answer says so itself).
    if (e.browserCloses && e.answeredBy == AnsweredBy::kUpstream) {
        head.Remove("Keep-Alive");
        head.Set("Connection", "close");
    }
    e.cacheReader = std::move(reader);
    e.statusCode = head.StatusCode();
    e.statusText = std::to_string(e.statusCode) + " From cache";
    // What the browser takes is counted as it goes: one that leaves halfway
    // has not completed a download.
    e.contentLength = e.cacheSize;
    e.received = 0;
    return true;
}

void ReportProgress(Session& s, Exchange& e) {
    if (e.answeredBy == AnsweredBy::kErrorPage || e.answeredBy == AnsweredBy::kBadGateway ||
        e.answeredBy == AnsweredBy::kAuthRequest || e.monitorRow < 0 ||
        (e.contentLength == 0 && e.received <= 0)) {
        return;
    }
    RowUpdate progress;
    progress.row = e.monitorRow;
    if (e.received > 0) {
        progress.received = e.received;
    }
    if (e.contentLength != 0) {
        std::int64_t percent = e.received / e.contentLength * 100 +
                               e.received % e.contentLength * 100 / e.contentLength;
        progress.percent = static_cast<std::int32_t>(
            std::min<std::int64_t>(percent, std::numeric_limits<std::int32_t>::max()));
        if (percent >= 100) {
            progress.state = 2;
        }
    }
    s.Owner().Post(std::move(progress));
}

void ShowState(Session& s, Exchange& e) {
    if (e.monitorRow < 0) {
        return;
    }
    RowUpdate state;
    state.row = e.monitorRow;
    state.state = e.statusCode < 300 ? 1 : 2;
    state.answer = e.statusText;
    state.image = KindImage(e);
    s.Owner().Post(std::move(state));
}

void ShowSizeAndLog(Session& s, Exchange& e, const http::MessageHead& head) {
    if (e.contentLength > 0 && e.monitorRow >= 0) {
        RowUpdate size;
        size.row = e.monitorRow;
        size.size = e.contentLength;
        s.Owner().Post(std::move(size));
    }
    s.Owner().PutToLog("# " + std::to_string(s.connectionNo) + " <<< URL: " + e.url, head.Text());
}

// How much of an answer's body the browser has taken: what its side has
// acknowledged since the answer began, less the head. What waits in the
// socket's queue is not taken, and a reset throws it away, the browser's
// (a download cancelled) or the proxy's (a browser that stopped reading):
// megabytes that reached nobody.
class BodyTaken {
public:
    // `measured`: false for a body that goes out with the head in one
    // write, which is taken whole or not at all.
    BodyTaken(const net::Socket& socket, std::size_t headBytes, bool measured)
        : socket_(socket),
          before_(measured ? net::BytesAcknowledged(socket) : std::nullopt),
          headBytes_(static_cast<std::int64_t>(headBytes)) {}

    void Handed(std::int64_t bytes) { handed_ += bytes; }
    std::int64_t HandedSoFar() const { return handed_; }
    // At most what was handed; all of it where the kernel cannot tell.
    std::int64_t Now() const {
        const std::optional<std::uint64_t> now =
            before_ ? net::BytesAcknowledged(socket_) : std::nullopt;
        if (!now) {
            return handed_;
        }
        const auto acknowledged = static_cast<std::int64_t>(*now - *before_) - headBytes_;
        return std::clamp<std::int64_t>(acknowledged, 0, handed_);
    }
    // Read before the connection goes: what the browser took, for good.
    void Ended() { atEnd_ = Now(); }
    std::optional<std::int64_t> AtEnd() const { return atEnd_; }

private:
    const net::Socket& socket_;
    std::optional<std::uint64_t> before_;
    std::int64_t headBytes_;
    std::int64_t handed_ = 0;
    std::optional<std::int64_t> atEnd_;
};

// The rest of an entry's body, after the first block, from the file to the
// browser's socket inside the kernel. Returns the bytes sent.
std::int64_t SendRestOfEntry(net::Connection& client, cache::EntryReader& reader, std::int64_t left,
                             BodyTaken& taken) {
    constexpr std::size_t kPiece = net::kBulkBlockSize;
    const std::int64_t all = left;
    const net::NonBlockingWhile noBlocking(client.Socket());
    auto lastMoved = std::chrono::steady_clock::now();
    while (left > 0 && client.Connected()) {
        const std::int64_t sent = reader.SendSome(
            client.Fd(), static_cast<std::size_t>(std::min<std::int64_t>(left, kPiece)));
        if (sent < 0 && errno == EAGAIN && net::WaitToSend(client.Socket(), lastMoved)) {
            continue;
        }
        if (sent <= 0) {
            // The browser went, stopped taking bytes for the idle limit, or
            // the entry broke: end, never pad.
            const bool stalled = sent < 0 && errno == EAGAIN;
            taken.Ended();
            if (stalled) {
                net::CloseWithReset(client.Socket());
            }
            client.Disconnect();
            break;
        }
        lastMoved = std::chrono::steady_clock::now();
        left -= sent;
        taken.Handed(sent);
    }
    return all - left;
}

// Writes the answer's head and the body of the entry the exchange serves
// to the browser, counts the body bytes it took, and closes the entry. A
// browser seeking in a video, or stopping a download, takes a part only.
void SendCacheAnswer(Session& s, Exchange& e, std::string_view head) {
    std::unique_ptr<cache::EntryReader> reader = std::move(e.cacheReader);
    net::Connection& client = s.Client();
    // The head goes out together with the first piece of the body: two
    // small writes would meet the browser's delayed acknowledgement and
    // stall a kept-alive connection for tens of milliseconds per answer.
    // A small entry is thereby sent whole in one write.
    std::string block(head);
    std::int64_t left = reader && !e.IsHead() ? e.cacheSize : 0;  // a HEAD gets no body
    std::int64_t firstPiece = 0;
    const std::size_t room = net::kBlockSize > block.size() ? net::kBlockSize - block.size() : 0;
    if (const auto want = static_cast<std::size_t>(std::min<std::int64_t>(left, room)); want > 0) {
        block.resize(block.size() + want);
        const std::size_t n = reader->ReadSome(block.data() + head.size(), want);
        block.resize(head.size() + n);
        firstPiece = static_cast<std::int64_t>(n);
        left -= firstPiece;
        if (n == 0) {
            client.Disconnect();  // the entry broke: end, never pad
        }
    }
    BodyTaken taken(client.Socket(), head.size(), left > firstPiece);
    if (client.Connected()) {
        client.Write(block);
        taken.Handed(client.Connected() ? firstPiece : 0);
    }
    std::int64_t counted = 0;
    const auto tell = [&](std::int64_t upTo) {
        if (upTo > counted) {
            CountBytes(s, true, upTo - counted);
            e.received += upTo - counted;
            counted = upTo;
        }
        ReportProgress(s, e);
    };
    tell(taken.Now());
    while (left > 0 && client.Connected()) {
        left -= SendRestOfEntry(client, *reader, std::min<std::int64_t>(left, net::kBulkBlockSize),
                                taken);
        tell(taken.AtEnd().value_or(taken.Now()));
    }
    // A whole answer is the browser's, what still waits in the queue too.
    tell(taken.AtEnd().value_or(taken.HandedSoFar()));
    if (reader) {
        reader->MarkUsed(s.Owner().TimeSource().Now());
    }
}

// Reads a whole answer head: status, cache entry, the conversion of a 304,
// monitor state. `firstBlock` is the head with the body bytes of this
// answer that came with it. True when it became an answer from the cache
// (the head then holds the answer's new head).
bool ReadAnswerHead(Session& s, Exchange& e, http::MessageHead& head, std::string_view firstBlock) {
    e.answerHeadSeen = true;
    e.statusText = std::string(head.StatusText());
    e.statusCode = head.StatusCode();
    e.contentLength = static_cast<std::int64_t>(e.answerBody.AnnouncedLength());
    const std::string_view body = firstBlock.substr(std::min(head.Size(), firstBlock.size()));
    e.received = static_cast<std::int64_t>(body.size());
    e.contentEncoding = std::string(head.Value("Content-Encoding").value_or(""));
    e.contentType = std::string(head.Value("Content-Type").value_or(""));
    bool fromCache = false;
    if (!e.AnsweredHere() || e.answeredBy == AnsweredBy::kCache) {
        const std::string key = cache::CacheKey(e.urlSent);
        NewEntry stored = NewEntry::kNotKept;
        if (Cachable(s, e, *e.config, head, firstBlock, key)) {
            stored = CreateEntry(s, e, head, key);
            // A compressed body's bytes may spell the word by chance (a
            // file name in its header): they are no text of the page.
            const bool plainText = http::IsIdentityCoding(e.contentEncoding);
            e.pageHeadLeft = e.config->ignoreNoCache || !plainText ? 0 : kPageHeadLooked;
        } else {
            ForgetEntryAfterAWrite(e, key);
        }
        ForgetEntryANewVersionReplaced(e, key, stored);
        StoreBody(s, e, body);
        if (e.statusCode == 304 && e.condition == Condition::kByProxy && !e.cacheFileName.empty()) {
            fromCache = ConvertToCacheAnswer(s, e, head);
        }
    }
    if (!e.statusText.empty() && !e.contentEncoding.empty()) {
        e.statusText += " " + e.contentEncoding;
    }
    if (!e.statusText.empty()) {
        ShowState(s, e);
    }
    ShowSizeAndLog(s, e, head);
    return fromCache;
}

// A CR that ends no line, or a NUL, in an answer's head: some clients end a
// line at a bare CR, so "X-A: one<CR>Forged: two" would hand them a field
// the origin never sent as one. Each goes on as a blank, as RFC 9112 asks of
// a recipient that forwards the message. So does the line end (CR LF or a
// bare LF) of a folded line, a field's value going on in a line that starts
// with a blank, which a proxy must not pass on. Lines that start with a
// blank straight after the status line continue no field: they are left
// out, as RFC 9112 allows.
// The head so mended; nullopt when it needs nothing (nearly always).
std::optional<std::string> MendedAnswerHead(std::string_view head) {
    const auto blankAt = [](std::string_view text, std::size_t at) {
        return at < text.size() && (text[at] == ' ' || text[at] == '\t');
    };
    const auto bareCr = [](std::string_view text, std::size_t at) {
        return text[at] == '\r' && (at + 1 == text.size() || text[at + 1] != '\n');
    };
    const auto needsMending = [&] {
        for (std::size_t i = 0; i < head.size(); ++i) {
            if (head[i] == '\0' || bareCr(head, i) || (head[i] == '\n' && blankAt(head, i + 1))) {
                return true;
            }
        }
        return false;
    };
    const std::size_t statusEnd = head.find('\n');
    if (statusEnd == std::string_view::npos || !needsMending()) {
        return std::nullopt;
    }
    std::size_t fieldsBegin = statusEnd + 1;
    while (blankAt(head, fieldsBegin)) {
        const std::size_t lf = head.find('\n', fieldsBegin);
        fieldsBegin = lf == std::string_view::npos ? head.size() : lf + 1;
    }
    std::string out(head.substr(0, statusEnd + 1));
    out.append(head.substr(fieldsBegin));
    for (std::size_t i = 0; i < out.size(); ++i) {
        if (out[i] == '\0' || bareCr(out, i)) {
            out[i] = ' ';
        } else if (out[i] == '\n' && i > statusEnd && blankAt(out, i + 1)) {
            out[i] = ' ';
            if (out[i - 1] == '\r') {
                out[i - 1] = ' ';
            }
        }
    }
    return out;
}

bool Bodiless(const Exchange& e, int status) {
    return e.IsHead() || status == 304 || status == 204 || (status >= 100 && status < 200) ||
           (e.IsConnect() && status >= 200 && status < 300);
}

}  // namespace

std::size_t AnswerBegins(Session& s, Exchange& e, std::string_view block, std::string& out) {
    std::size_t headEnd = http::FindHeadEnd(block);
    if (headEnd == std::string_view::npos) {
        headEnd = block.size();  // over the limit, or cut short by the close
    }
    http::MessageHead head{std::string(block.substr(0, headEnd))};
    // Bytes that are no HTTP at all (no status line) go on as they came.
    if (head.StatusCode() != 0) {
        if (auto mended = MendedAnswerHead(head.Text())) {
            head = http::MessageHead(std::move(*mended));
        }
    }
    const int status = head.StatusCode();
    if (status >= 100 && status < 200 && status != 101) {
        // An interim answer: relayed (not to an HTTP/1.0 browser) and
        // logged, and the real one follows.
        CountArrival(s, e, headEnd);
        s.Owner().PutToLog("# " + std::to_string(s.connectionNo) + " <<< URL: " + e.url,
                           head.Text());
        if (!e.browserOnHttp10) {
            out.append(head.Text());
        }
        return headEnd;
    }
    e.answerBody = http::AnswerFraming(head, Bodiless(e, status));
    // How much of the rest is this answer's, before the framer is fed for
    // real while the body is stored.
    http::BodyFramer probe = e.answerBody;
    const bool unchunk = e.browserOnHttp10 && e.answerBody.Chunked() && !e.answerBody.Doubtful();
    std::string firstContent;
    const std::size_t bodyBytes =
        probe.Consume(block.substr(headEnd), unchunk ? &firstContent : nullptr);
    const std::string_view firstBlock = block.substr(0, headEnd + bodyBytes);
    CountArrival(s, e, firstBlock.size());
    if (ReadAnswerHead(s, e, head, firstBlock)) {
        if (!out.empty()) {
            s.Client().Write(out);  // what came before goes first
            out.clear();
        }
        SendCacheAnswer(s, e, head.Text());
    } else {
        // Relayed as received, but for the fields for the origin's
        // connection alone and for its framing: the coding frames the
        // body, and a length left beside it would let a client or cache
        // after the proxy frame it otherwise.
        http::DropConnectionFields(head);
        if (head.Complete() && head.Has("Transfer-Encoding")) {
            head.Remove("Content-Length");
        } else {
            http::MendLength(head);  // one that is no number goes: read to the close
        }
        // An origin that chunks for an HTTP/1.0 browser (app servers and
        // devices do) breaks its rule: the browser would keep the chunk lines
        // in the file, and wait at their end on a kept-alive connection.
        if (unchunk) {
            head.Remove("Transfer-Encoding");
            head.Remove("Keep-Alive");
            head.Set("Connection", "close");
            e.unchunkForBrowser = true;
            e.browserCloses = true;
        } else if (e.answerBody.Doubtful()) {
            // The origin connection goes after an answer whose end is in
            // doubt, and the browser's with it: told so, it sends its next
            // request on a new one rather than find this one closed (a POST
            // would be lost), and an HTTP/1.0 one reads chunks it cannot
            // read, or a length that went, to the close.
            head.Remove("Keep-Alive");
            head.Set("Connection", "close");
            e.browserCloses = true;
        }
        out.append(head.Text());
        out.append(unchunk ? std::string_view(firstContent) : firstBlock.substr(headEnd));
    }
    ReportProgress(s, e);
    return firstBlock.size();
}

std::size_t AnswerContinues(Session& s, Exchange& e, std::string_view bytes, std::string& out) {
    const std::size_t used = StoreBody(s, e, bytes, &out);
    if (used == 0) {
        return 0;
    }
    CountArrival(s, e, used);
    e.received += static_cast<std::int64_t>(used);
    ReportProgress(s, e);
    return used;
}

std::size_t AnswerUnseenRoom(const Exchange& e) {
    // Nothing may slip past a head still being read. Stored bytes may: the
    // plain room holds body bytes only (never chunk lines), exactly what
    // the entry holds, and the relay appends them to it.
    if (!e.answerHeadSeen || !e.pendingAnswer.empty() || e.AnsweredHere() ||
        (e.cacheWriter && e.pageHeadLeft > 0)) {
        return 0;  // the page's head is still to be looked through
    }
    return static_cast<std::size_t>(
        std::min<std::uint64_t>(e.answerBody.PlainRoom(), net::kBulkBlockSize));
}

int AnswerUnseenCopy(const Exchange& e) {
    return e.cacheWriter ? e.cacheWriter->Descriptor() : -1;
}

void CacheWriteRefused(Session& s, Exchange& e, int error) {
    if (e.cacheWriter) {
        if (error != 0) {
            e.cacheWriter->Failed(error);
            s.Owner().CacheWriteFailed(e.cacheWriter->Error());
        }
        e.cacheWriter->Discard();
        e.cacheWriter.reset();
    }
}

void AnswerPassedUnseen(Session& s, Exchange& e, std::size_t bytes) {
    if (e.cacheWriter) {
        e.cacheWriter->Appended(bytes);  // the relay put them in the entry too
        if (e.cacheWriter->Descriptor() < 0) {
            CacheWriteRefused(s, e, 0);  // grown too large to keep
        }
    }
    CountArrival(s, e, bytes);
    e.received += static_cast<std::int64_t>(bytes);
    e.answerBody.Skip(bytes);
    ReportProgress(s, e);
}

void CountStray(Session& s, std::size_t bytes) {
    CountBytes(s, false, static_cast<std::int64_t>(bytes));
}

void ShowAnswer(Session& s, Exchange& e, std::string text) {
    const std::size_t headEnd = http::FindHeadEnd(text);
    http::MessageHead head{text.substr(0, headEnd)};
    e.answerHeadSeen = true;
    e.statusText = std::string(head.StatusText());
    e.statusCode = head.StatusCode();
    e.contentLength = 0;
    if (auto length = head.Value("Content-Length")) {
        e.contentLength = ParseIntOr(*length, 0);
    }
    e.received = static_cast<std::int64_t>(text.size() - head.Size());
    if (!e.statusText.empty()) {
        ShowState(s, e);
    }
    ShowSizeAndLog(s, e, head);
    ReportProgress(s, e);
}

void FinishCacheWrite(Session& s, Exchange& e) {
    std::unique_ptr<cache::EntryWriter> writer = std::move(e.cacheWriter);
    if (!writer) {
        return;
    }
    if (!e.answerBody.Complete()) {
        writer->Discard();  // cut short, or never known to be whole
        return;
    }
    const Clock::TimePoint now = s.Owner().TimeSource().Now();
    if (writer->Finish(e.contentType, e.contentEncoding, cache::ParseHTTPDate(e.lastModified, now),
                       !e.lastModified.empty(), now)) {
        s.Owner().CacheWriteSucceeded();
    } else if (writer->Error() != 0) {
        s.Owner().CacheWriteFailed(writer->Error());
    }
}

void AnswerFromCache(Session& s, Exchange& e, const http::MessageHead& request,
                     std::unique_ptr<cache::EntryReader> reader) {
    LogRequest(s, e, request);
    if (e.RefusedAtAdmission()) {
        return;
    }
    e.condition = Condition::kByProxy;
    e.answeredBy = AnsweredBy::kCache;
    e.cacheReader = std::move(reader);
    e.localRange = std::string(request.Value("Range").value_or(""));
    // A resumed download names the version it holds: the part only for the
    // entry's own strong tag (RFC 9110 13.1.5), the whole for anything else,
    // a date included (an entry dated within its second may not be what
    // the browser holds). Ranges are a GET's (14.2): a HEAD learns of the
    // whole.
    const std::vector<std::string_view> versions = request.Values("If-Range");
    const std::string ownTag = e.cacheReader->EntityTag();
    const bool namesThisEntry = versions.size() == 1 && !ownTag.empty() &&
                                !ownTag.starts_with("W/") && versions.front() == ownTag;
    if ((!versions.empty() && !namesThisEntry) || e.IsHead()) {
        e.localRange.clear();
    }
    http::MessageHead head{NotModifiedText()};
    e.answerBody = http::BodyFramer();
    if (ReadAnswerHead(s, e, head, head.Text()) && s.Client().Connected()) {
        SendCacheAnswer(s, e, head.Text());
    }
    ReportProgress(s, e);
    e.cacheReader.reset();
    // A browser that pipelines sends its next request meanwhile: closed
    // unread, it would reset the connection and take the answer's unsent
    // end with it.
    s.Client().DisconnectAfterDraining();
}

}  // namespace vs::proxy
