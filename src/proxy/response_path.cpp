#include "proxy/response_path.h"

#include <algorithm>
#include <limits>

#include "base/cp1251.h"
#include "base/numbers.h"
#include "cache/cache_store.h"
#include "net/socket.h"
#include "proxy/engine.h"
#include "proxy/exchange.h"
#include "proxy/generated_pages.h"
#include "proxy/session.h"

namespace vs::proxy {

namespace {

int KindImage(const Exchange& e) {
    if (e.StatusCode == 200 && e.StatusText.find("cache") != std::string::npos) {
        return 2;
    }
    if (e.StatusCode == 304) {
        return 1;
    }
    if (e.StatusCode == 403) {
        return 3;
    }
    if (e.StatusCode == 404 || (e.StatusCode >= 500 && e.StatusCode <= 599)) {
        return 4;
    }
    return 0;
}

void CountBytes(Session& s, bool fromCache, std::int64_t bytes) {
    if (bytes > 0) {
        s.Owner().Post(TrafficCount{fromCache, s.UserIndex, s.UserName, bytes});
    }
}

// What every block of an answer costs, seen or not: its traffic, and the
// user's stop of the download.
void CountArrival(Session& s, Exchange& e, std::size_t bytes) {
    if (!e.AnsweredHere()) {
        CountBytes(s, false, static_cast<std::int64_t>(bytes));
    }
    if (!e.URL.empty() && s.Owner().StopList().Remove(e.URL)) {
        s.Client().Disconnect();  // the user stopped this download
    }
}

// Follows body bytes of the answer, appending them to its entry without the
// chunk framing. Returns how many belong to the body.
std::size_t StoreBody(Exchange& e, std::string_view body) {
    if (!e.AnswerBody.InBody()) {
        return 0;
    }
    std::string payload;
    const std::size_t used = e.AnswerBody.Consume(body, e.CacheWriteStream ? &payload : nullptr);
    if (e.CacheWriteStream && !payload.empty() && !e.CacheWriteStream->Append(payload)) {
        e.CacheWriteStream->Discard();
        e.CacheWriteStream.reset();
    }
    return used;
}

// Whether a comma-separated list field names `token`, alone or with a
// value ("private", "private=\"Set-Cookie\"").
bool ListNames(const http::MessageHead& head, std::string_view field, std::string_view token) {
    for (std::string_view value : head.Values(field)) {
        while (!value.empty()) {
            const std::size_t comma = value.find(',');
            std::string_view item = value.substr(0, comma);
            item = item.substr(0, item.find('='));
            while (!item.empty() && (item.front() == ' ' || item.front() == '\t')) {
                item.remove_prefix(1);
            }
            while (!item.empty() && (item.back() == ' ' || item.back() == '\t')) {
                item.remove_suffix(1);
            }
            if (token.empty() ? !item.empty() && !cp1251::EqualsNoCase(item, "Accept-Encoding")
                              : cp1251::EqualsNoCase(item, token)) {
                return true;
            }
            value = comma == std::string_view::npos ? std::string_view() : value.substr(comma + 1);
        }
    }
    return false;
}

// An answer that differs by anything but the encoding the browser accepts
// (its language, its cookies, "*") is some one browser's: one entry per URL
// cannot hold it for all.
bool VariesByMoreThanEncoding(const http::MessageHead& head) {
    return ListNames(head, "Vary", "");
}

// What may be stored for every user of the proxy.
bool Cachable(Session& s, Exchange& e, const ProxyConfig& config, const http::MessageHead& head,
              std::string_view firstBlock, const std::string& key) {
    // Only a GET's answer is what a later GET of the URL should get (a
    // POST's is one visitor's result), and a CONNECT reply starts a tunnel.
    // A body whose end is not known for sure is never stored.
    if (e.StatusCode != 200 || e.AnsweredHere() || !e.IsGet() || e.AnswerBody.Doubtful()) {
        return false;
    }
    // Answers to a user's own credentials, and ones that vary by more than
    // the encoding, belong to one user: never shared, whatever the switch.
    if (e.Authorized || VariesByMoreThanEncoding(head)) {
        return false;
    }
    // "no-cache" anywhere in the first block, body included: a page's own
    // meta tag keeps it out of the cache too. "no-store" and "private"
    // count the same; the switch that ignores them is the user's choice.
    if (!config.ignoreNoCache && (firstBlock.find("no-cache") != std::string_view::npos ||
                                  ListNames(head, "Cache-Control", "no-store") ||
                                  ListNames(head, "Cache-Control", "private"))) {
        return false;
    }
    if (!config.cacheListEnabled) {
        return false;
    }
    return s.Owner().FindRuleCountingHit(s.Owner().Lists().cache, key) >= 0;
}

void CreateEntry(Session& s, Exchange& e, const http::MessageHead& head, const std::string& key) {
    auto entry = cache::EntryPath(e.Config->cacheDir, key);
    if (!entry) {
        return;
    }
    // This exchange's own hold on the old entry must not keep the new
    // answer out of it.
    e.CacheReadStream.reset();
    e.CacheWriteStream = cache::BeginEntry(*entry, key);
    if (!e.CacheWriteStream) {
        return;
    }
    if (!e.CacheWriteStream->KeepsMetadata()) {
        e.CacheWriteStream.reset();  // could never be served for sure
        return;
    }
    e.CacheFileName = entry->string();
    e.LastModified = std::string(head.Value("Last-Modified").value_or(""));
    if (e.LastModified.empty()) {
        e.LastModified = std::string(head.Value("Date").value_or(""));
    }
}

// A 304 answering the proxy's own If-Modified-Since becomes the full answer
// from the entry: 200 status, the stored type and encoding (or a type found
// in the first bytes), and the entry's length.
bool ConvertToCacheAnswer(Session& s, Exchange& e, http::MessageHead& head) {
    std::unique_ptr<cache::EntryReader> reader = std::move(e.CacheReadStream);
    if (!reader) {
        reader = cache::OpenEntryFor(e.CacheFileName, cache::CacheKey(e.URL));
    }
    if (!reader) {
        return false;
    }
    head.SetStatus("200 OK");
    e.CacheSize = reader->BodySize();
    if (reader->HasTrailer()) {
        e.ContentEncoding = reader->ContentEncoding();
        e.ContentType = reader->ContentType();
        head.Insert({{"Content-Type", e.ContentType.empty() ? "text/html" : e.ContentType},
                     {"Content-Encoding", e.ContentEncoding}});
    } else if (!reader->ContentType().empty()) {
        e.ContentType = reader->ContentType();  // as the origin sent it
        head.Set("Content-Type", e.ContentType);
    } else if (std::string type = cache::SniffContentType(reader->Head(500)); !type.empty()) {
        e.ContentType = type;
        head.Insert("Content-Type", type);
    }
    // The body goes out with its length, whatever framing the 304 named.
    head.Remove("Transfer-Encoding");
    head.Set("Content-Length", std::to_string(e.CacheSize));
    // The origin's 304 may promise a kept-alive connection; the browser
    // that asked to close gets its wish (the local answer says so itself).
    if (e.BrowserCloses && e.answeredBy == AnsweredBy::kUpstream) {
        head.Remove("Keep-Alive");
        head.Set("Connection", "close");
    }
    e.CacheReadStream = std::move(reader);
    e.StatusCode = 200;
    e.StatusText = "200 From cache";
    e.ContentLength = e.Received = e.CacheSize;
    CountBytes(s, true, e.CacheSize);
    return true;
}

void ReportProgress(Session& s, Exchange& e) {
    if (e.answeredBy == AnsweredBy::kErrorPage || e.answeredBy == AnsweredBy::kBadGateway ||
        e.answeredBy == AnsweredBy::kAuthRequest || e.MonitorRow < 0 ||
        (e.ContentLength == 0 && e.Received <= 0)) {
        return;
    }
    RowUpdate progress;
    progress.row = e.MonitorRow;
    if (e.Received > 0) {
        progress.received = e.Received;
    }
    if (e.ContentLength != 0) {
        std::int64_t percent = e.Received / e.ContentLength * 100 +
                               e.Received % e.ContentLength * 100 / e.ContentLength;
        progress.percent = static_cast<std::int32_t>(
            std::min<std::int64_t>(percent, std::numeric_limits<std::int32_t>::max()));
        if (percent >= 100) {
            progress.state = 2;
        }
    }
    s.Owner().Post(std::move(progress));
}

void ShowState(Session& s, Exchange& e) {
    if (e.MonitorRow < 0) {
        return;
    }
    RowUpdate state;
    state.row = e.MonitorRow;
    state.state = e.StatusCode < 300 ? 1 : 2;
    state.answer = e.StatusText;
    state.image = KindImage(e);
    s.Owner().Post(std::move(state));
}

void ShowSizeAndLog(Session& s, Exchange& e, const http::MessageHead& head) {
    if (e.ContentLength > 0 && e.MonitorRow >= 0) {
        RowUpdate size;
        size.row = e.MonitorRow;
        size.size = e.ContentLength;
        s.Owner().Post(std::move(size));
    }
    s.Owner().PutToLog("# " + std::to_string(s.ConnectionNo) + " <<< URL: " + e.URL, head.Text());
}

// Writes the answer's head and the body of the entry the exchange serves
// to the browser, and closes the entry.
void SendCacheAnswer(Session& s, Exchange& e, std::string_view head) {
    std::unique_ptr<cache::EntryReader> reader = std::move(e.CacheReadStream);
    net::Connection& client = s.Client();
    // The head goes out together with the first piece of the body: two
    // small writes would meet the browser's delayed acknowledgement and
    // stall a kept-alive connection for tens of milliseconds per answer.
    std::string block(head);
    std::int64_t left = reader && !e.IsHead() ? e.CacheSize : 0;
    while (client.Connected()) {
        std::size_t room = net::kBlockSize > block.size() ? net::kBlockSize - block.size() : 0;
        std::size_t want = static_cast<std::size_t>(std::min<std::int64_t>(left, room));
        if (want > 0) {
            std::size_t at = block.size();
            block.resize(at + want);
            std::size_t n = reader->ReadSome(block.data() + at, want);
            block.resize(at + n);
            if (n == 0) {
                client.Disconnect();  // the entry broke: end, never pad
                break;
            }
            left -= static_cast<std::int64_t>(n);
        }
        if (!block.empty()) {
            client.Write(block);
            block.clear();
        }
        if (left <= 0) {
            break;
        }
    }
    if (reader) {
        reader->MarkUsed(s.Owner().TimeSource().Now());
    }
}

// Reads a whole answer head: status, cache entry, the conversion of a 304,
// monitor state. `firstBlock` is the head with the body bytes of this
// answer that came with it. True when it became an answer from the cache
// (the head then holds the answer's new head).
bool ReadAnswerHead(Session& s, Exchange& e, http::MessageHead& head, std::string_view firstBlock) {
    e.AnswerHeadSeen = true;
    e.StatusText = std::string(head.StatusText());
    e.StatusCode = head.StatusCode();
    e.ContentLength = static_cast<std::int64_t>(e.AnswerBody.AnnouncedLength());
    const std::string_view body = firstBlock.substr(std::min(head.Size(), firstBlock.size()));
    e.Received = static_cast<std::int64_t>(body.size());
    e.ContentEncoding = std::string(head.Value("Content-Encoding").value_or(""));
    e.ContentType = std::string(head.Value("Content-Type").value_or(""));
    bool fromCache = false;
    if (!e.AnsweredHere() || e.answeredBy == AnsweredBy::kCache) {
        const std::string key = cache::CacheKey(e.URL);
        if (Cachable(s, e, *e.Config, head, firstBlock, key)) {
            CreateEntry(s, e, head, key);
        }
        StoreBody(e, body);
        if (e.StatusCode == 304 && e.condition == Condition::kByProxy && !e.CacheFileName.empty()) {
            fromCache = ConvertToCacheAnswer(s, e, head);
        }
    }
    if (!e.StatusText.empty() && !e.ContentEncoding.empty()) {
        e.StatusText += " " + e.ContentEncoding;
    }
    if (!e.StatusText.empty()) {
        ShowState(s, e);
    }
    ShowSizeAndLog(s, e, head);
    return fromCache;
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
    const int status = head.StatusCode();
    if (status >= 100 && status < 200 && status != 101) {
        // An interim answer: relayed and logged, and the real one follows.
        CountArrival(s, e, headEnd);
        s.Owner().PutToLog("# " + std::to_string(s.ConnectionNo) + " <<< URL: " + e.URL,
                           head.Text());
        out.append(block.substr(0, headEnd));
        return headEnd;
    }
    e.AnswerBody = http::AnswerFraming(head, Bodiless(e, status));
    // How much of the rest is this answer's, before the framer is fed for
    // real while the body is stored.
    http::BodyFramer probe = e.AnswerBody;
    const std::size_t bodyBytes = probe.Consume(block.substr(headEnd));
    const std::string_view firstBlock = block.substr(0, headEnd + bodyBytes);
    CountArrival(s, e, firstBlock.size());
    if (ReadAnswerHead(s, e, head, firstBlock)) {
        if (!out.empty()) {
            s.Client().Write(out);  // what came before goes first
            out.clear();
        }
        SendCacheAnswer(s, e, head.Text());
    } else {
        out.append(firstBlock);  // relayed exactly as received
    }
    ReportProgress(s, e);
    return firstBlock.size();
}

std::size_t AnswerContinues(Session& s, Exchange& e, std::string_view bytes, std::string& out) {
    const std::size_t used = StoreBody(e, bytes);
    if (used == 0) {
        return 0;
    }
    CountArrival(s, e, used);
    e.Received += static_cast<std::int64_t>(used);
    out.append(bytes.substr(0, used));
    ReportProgress(s, e);
    return used;
}

std::size_t AnswerUnseenRoom(const Exchange& e) {
    // Stored bytes must reach the entry, and nothing may slip past a head
    // still being read.
    if (!e.AnswerHeadSeen || !e.PendingAnswer.empty() || e.CacheWriteStream || e.AnsweredHere()) {
        return 0;
    }
    return static_cast<std::size_t>(
        std::min<std::uint64_t>(e.AnswerBody.PlainRoom(), net::kBlockSize));
}

void AnswerPassedUnseen(Session& s, Exchange& e, std::size_t bytes) {
    CountArrival(s, e, bytes);
    e.Received += static_cast<std::int64_t>(bytes);
    e.AnswerBody.Skip(bytes);
    ReportProgress(s, e);
}

void CountStray(Session& s, std::size_t bytes) {
    CountBytes(s, false, static_cast<std::int64_t>(bytes));
}

void ShowAnswer(Session& s, Exchange& e, std::string text) {
    const std::size_t headEnd = http::FindHeadEnd(text);
    http::MessageHead head{text.substr(0, headEnd)};
    e.AnswerHeadSeen = true;
    e.StatusText = std::string(head.StatusText());
    e.StatusCode = head.StatusCode();
    e.ContentLength = 0;
    if (auto length = head.Value("Content-Length")) {
        e.ContentLength = ParseIntOr(*length, 0);
    }
    e.Received = static_cast<std::int64_t>(text.size() - head.Size());
    if (!e.StatusText.empty()) {
        ShowState(s, e);
    }
    ShowSizeAndLog(s, e, head);
    ReportProgress(s, e);
}

void FinishCacheWrite(Session& s, Exchange& e) {
    std::unique_ptr<cache::EntryWriter> writer = std::move(e.CacheWriteStream);
    if (!writer) {
        return;
    }
    if (!e.AnswerBody.Complete()) {
        writer->Discard();  // cut short, or never known to be whole
        return;
    }
    const Clock::TimePoint now = s.Owner().TimeSource().Now();
    writer->Finish(e.ContentType, e.ContentEncoding, cache::ParseHTTPDate(e.LastModified, now),
                   !e.LastModified.empty(), now);
}

void AnswerFromCache(Session& s, Exchange& e, const http::MessageHead& request,
                     std::unique_ptr<cache::EntryReader> reader) {
    s.Owner().PutToLog("# " + std::to_string(s.ConnectionNo) + " >>> URL: " + e.URL,
                       request.Text());
    e.condition = Condition::kByProxy;
    e.answeredBy = AnsweredBy::kCache;
    e.CacheReadStream = std::move(reader);
    http::MessageHead head{NotModifiedText()};
    e.AnswerBody = http::BodyFramer();
    if (ReadAnswerHead(s, e, head, head.Text()) && s.Client().Connected()) {
        SendCacheAnswer(s, e, head.Text());
    }
    ReportProgress(s, e);
    e.CacheReadStream.reset();
    s.Client().Disconnect();
}

}  // namespace vs::proxy
