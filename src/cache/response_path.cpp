#include "cache/response_path.h"

#include <algorithm>
#include <limits>

#include "cache/cache_store.h"
#include "proxy/engine.h"
#include "proxy/generated_pages.h"
#include "proxy/intercept.h"
#include "proxy/request_processing.h"
#include "proxy/socket.h"

namespace vs::cache {

using proxy::TCmd;
using proxy::TMyIntercept;

namespace {

constexpr unsigned kHeaderOptions = kRegexCaseless | kRegexMultiline;

const Pattern& HeaderLine(std::string_view name) {
    // One compiled pattern per header name, shared by all connections.
    static const auto status = Pattern::Compile("^HTTP/1.[01] (.+)$", kHeaderOptions);
    static const auto lastModified = Pattern::Compile("^Last-Modified: (.+)$", kHeaderOptions);
    static const auto date = Pattern::Compile("^Date: (.+)$", kHeaderOptions);
    static const auto type = Pattern::Compile("^Content-Type: (.+)$", kHeaderOptions);
    static const auto encoding = Pattern::Compile("^Content-Encoding: (.+)$", kHeaderOptions);
    static const auto length = Pattern::Compile("^Content-Length: (.+)$", kHeaderOptions);
    if (name == "Status") {
        return *status;
    }
    if (name == "Last-Modified") {
        return *lastModified;
    }
    if (name == "Date") {
        return *date;
    }
    if (name == "Content-Type") {
        return *type;
    }
    if (name == "Content-Encoding") {
        return *encoding;
    }
    return *length;
}

std::string HeaderValue(std::string_view text, std::string_view name) {
    return std::string(HeaderLine(name).FindGroup(text, 1).value_or(""));
}

// A whole decimal number, 0 for anything else (a trailing non-digit
// included) or for a number too large to be a length.
std::int64_t NumberOrZero(std::string_view text) {
    if (text.empty() || text.size() > 18) {
        return 0;
    }
    std::int64_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') {
            return 0;
        }
        value = value * 10 + (c - '0');
    }
    return value;
}

int KindImage(const TMyIntercept& r) {
    if (r.StatusCode == 200 && r.StatusText.find("cache") != std::string::npos) {
        return 2;
    }
    if (r.StatusCode == 304) {
        return 1;
    }
    if (r.StatusCode == 403) {
        return 3;
    }
    if (r.StatusCode == 404 || (r.StatusCode >= 500 && r.StatusCode <= 599)) {
        return 4;
    }
    return 0;
}

bool AnsweredByProxy(const TMyIntercept& r) {
    return r.AnsweredFromCache || r.ErrorPageSent || r.BadGatewaySent || r.RedirectSent ||
           r.AuthRequestSent;
}

// Traffic entries carry 32-bit counts; a larger amount goes in pieces.
void CountBytes(TMyIntercept& r, std::int32_t kind, std::int64_t bytes) {
    while (bytes > 0) {
        TCmd count;
        count.Kind = kind;
        count.Index = r.UserIndex;
        count.Value = static_cast<std::int32_t>(
            std::min<std::int64_t>(bytes, std::numeric_limits<std::int32_t>::max()));
        bytes -= count.Value;
        r.Owner().AddCmdListItem(std::move(count));
    }
}

// Appends body bytes of the answer to its entry, chunk framing removed; the
// entry of a chunked answer is complete at the terminal chunk.
void StoreBody(TMyIntercept& r, std::string_view body) {
    if (!r.AnswerBody.InBody()) {
        return;
    }
    std::string payload;
    r.AnswerBody.Consume(body, r.CacheWriteStream ? &payload : nullptr);
    if (r.CacheWriteStream && !payload.empty() && !r.CacheWriteStream->Append(payload)) {
        r.CacheWriteStream->Discard();
        r.CacheWriteStream.reset();
    }
    if (r.AnswerBody.Chunked() && !r.AnswerBody.InBody()) {
        FinishCacheWrite(r);
    }
}

bool Cachable(TMyIntercept& r, const Settings& settings, std::string_view text,
              const std::string& key) {
    // A HEAD answer has no body and a CONNECT reply starts a tunnel: storing
    // either would replace a good entry with nothing.
    if (r.StatusCode != 200 || r.HeadRequest || r.Tunnel) {
        return false;
    }
    if (!settings.NoCacheIgnoreCB && text.find("no-cache") != std::string_view::npos) {
        return false;
    }
    if (!settings.CacheListCB) {
        return false;
    }
    return r.Owner().FindRuleCountingHit(r.Owner().Lists().cache, key, proxy::kCmdCacheListHit) >=
           0;
}

void CreateEntry(TMyIntercept& r, std::string_view text, const std::string& key) {
    auto params = r.Owner().Cache();
    auto entry = EntryPath(params->dir, key);
    if (entry) {
        // This connection's own hold on the old entry must not keep the new
        // answer out of it.
        r.CacheReadStream.reset();
        r.CacheWriteStream = BeginEntry(*entry);
    }
    if (r.CacheWriteStream) {
        if (!HeaderValue(text, "Content-Encoding").empty() &&
            !r.CacheWriteStream->KeepsTrailers()) {
            r.CacheWriteStream.reset();  // its trailer could not be kept
        } else {
            r.CacheFileName = entry->string();
            r.LastModified = HeaderValue(text, "Last-Modified");
            if (r.LastModified.empty()) {
                r.LastModified = HeaderValue(text, "Date");
            }
        }
    }
    r.ContentType = HeaderValue(text, "Content-Type");
}

void InsertLine(std::string& text, std::string_view line) {
    std::size_t position = HeaderInsertPos(text);
    if (position > 0) {
        text.insert(position - 1, std::string(line) + "\r\n");
    }
}

// A 304 answering the proxy's own If-Modified-Since becomes the full answer
// from the entry: 200 status, the stored type and encoding (or a type found
// in the first bytes), and the entry's length.
bool ConvertToCacheAnswer(TMyIntercept& r, std::string& text) {
    std::unique_ptr<EntryReader> reader = std::move(r.CacheReadStream);
    if (!reader) {
        reader = OpenEntry(r.CacheFileName);
    }
    if (!reader) {
        return false;
    }
    std::size_t status = text.find("304 ");
    if (status != std::string::npos) {
        std::size_t lineEnd = text.find("\r\n");
        if (lineEnd != std::string::npos && lineEnd > status) {
            text.replace(status, lineEnd - status, "200 OK");
        }
    }
    r.CacheSize = reader->BodySize();
    if (reader->HasTrailer()) {
        r.ContentEncoding = reader->ContentEncoding();
        r.ContentType = reader->ContentType();
        std::size_t position = HeaderInsertPos(text);
        if (position > 0) {
            text.insert(position - 1, "Content-Encoding: " + r.ContentEncoding + "\r\n");
            text.insert(position - 1,
                        "Content-Type: " +
                            (r.ContentType.empty() ? std::string("text/html") : r.ContentType) +
                            "\r\n");
        }
    } else if (std::string type = SniffContentType(reader->Head(500)); !type.empty()) {
        r.ContentType = type;
        InsertLine(text, "Content-Type: " + type);
    }
    std::string length = "Content-Length: " + std::to_string(r.CacheSize);
    if (auto old = HeaderLine("Content-Length").Find(text)) {
        std::size_t start = static_cast<std::size_t>(old->Offset(0));
        text.replace(start, old->Group(0).size(), length);
    } else {
        InsertLine(text, length);
    }
    r.CacheReadStream = std::move(reader);
    r.StatusCode = 200;
    r.StatusText = "200 From cache";
    r.ContentLength = r.Received = r.CacheSize;
    CountBytes(r, proxy::kCmdCacheBytes, r.CacheSize);
    return true;
}

void ReportProgress(TMyIntercept& r) {
    if (r.ErrorPageSent || r.BadGatewaySent || r.AuthRequestSent || r.MonitorRow < 0 ||
        (r.ContentLength == 0 && r.Received <= 0)) {
        return;
    }
    TCmd progress;
    progress.Index = r.MonitorRow;
    if (r.Received > 0) {
        progress.ReceivedBytes = r.Received;
    }
    if (r.ContentLength != 0) {
        std::int64_t percent = r.Received / r.ContentLength * 100 +
                               r.Received % r.ContentLength * 100 / r.ContentLength;
        progress.Progress = static_cast<std::int32_t>(
            std::min<std::int64_t>(percent, std::numeric_limits<std::int32_t>::max()));
        if (percent >= 100) {
            progress.State = 2;
            FinishCacheWrite(r);
        }
    }
    r.Owner().AddCmdListItem(std::move(progress));
}

// The first block of an answer, its header complete: status, cache entry,
// conversion of a 304, monitor state, log. True when it became an answer
// from the cache.
bool ReadAnswerHeader(TMyIntercept& r, std::string& text) {
    proxy::Engine& engine = r.Owner();
    const std::size_t headerLength = proxy::HeaderLength(text);
    bool fromCache = false;
    if (text.find(' ') != std::string::npos) {
        r.StatusText = HeaderValue(text, "Status");
        std::size_t space = r.StatusText.find(' ');
        if (space != std::string::npos) {
            r.StatusCode = static_cast<std::int32_t>(
                NumberOrZero(std::string_view(r.StatusText).substr(0, space)));
        }
        r.Received = static_cast<std::int64_t>(text.size() - headerLength);
        const bool bodiless = r.HeadRequest || r.StatusCode == 304 || r.StatusCode == 204 ||
                              (r.StatusCode >= 100 && r.StatusCode < 200);
        r.AnswerBody = proxy::BodyFramer();
        if (!bodiless) {
            r.AnswerBody.StartAnswer(std::string_view(text).substr(0, headerLength));
        }
        const auto settings = engine.CurrentSettings();
        const std::string key = CacheKey(r.URL);
        if (Cachable(r, *settings, text, key)) {
            CreateEntry(r, text, key);
        }
        // The body's framing is followed from its first byte, stored or not.
        StoreBody(r, std::string_view(text).substr(headerLength));
        if (r.StatusCode == 304 && r.ConditionalByProxy && !r.CacheFileName.empty()) {
            fromCache = ConvertToCacheAnswer(r, text);
        }
        r.ContentEncoding = HeaderValue(text, "Content-Encoding");
        if (!r.ContentEncoding.empty()) {
            r.StatusText += " " + r.ContentEncoding;
        }
        if (r.MonitorRow >= 0) {
            TCmd state;
            state.Index = r.MonitorRow;
            state.State = r.StatusCode < 300 ? 1 : 2;
            state.Answer = r.StatusText;
            state.Value = KindImage(r);
            engine.AddCmdListItem(std::move(state));
        }
    }
    if (auto length = HeaderLine("Content-Length").FindGroup(text, 1)) {
        r.ContentLength = NumberOrZero(*length);
        if (r.MonitorRow >= 0) {
            TCmd size;
            size.Index = r.MonitorRow;
            size.Size = r.ContentLength;
            engine.AddCmdListItem(std::move(size));
        }
    }
    engine.PutToLog("# " + std::to_string(r.ConnectionNo) + " <<< URL: " + r.URL,
                    text.substr(0, proxy::HeaderLength(text)));
    return fromCache;
}

// Processes one complete first block and gives what the browser gets.
void RelayFirstBlock(TMyIntercept& r, std::string& bytes) {
    std::string text = bytes;
    if (ProcessResponse(r, text)) {
        SendCacheAnswer(r, text);
        bytes.clear();
    }
}

// What every block from upstream costs, seen or not: its traffic, and the
// user's stop of the download.
void CountArrival(TMyIntercept& r, std::size_t bytes) {
    if (!AnsweredByProxy(r)) {
        CountBytes(r, proxy::kCmdInternetBytes, static_cast<std::int64_t>(bytes));
    }
    if (!r.URL.empty() && r.Owner().StopList().Remove(r.URL)) {
        r.ClientConnection->Disconnect();  // the user stopped this download
    }
}

}  // namespace

bool ProcessResponse(TMyIntercept& r, std::string& text) {
    CountArrival(r, text.size());
    bool fromCache = false;
    if (!r.StatusText.empty()) {
        r.Received += static_cast<std::int64_t>(text.size());
        StoreBody(r, text);
    } else {
        fromCache = ReadAnswerHeader(r, text);
    }
    ReportProgress(r);
    return fromCache;
}

void ReceiveFromUpstream(TMyIntercept& r, std::string& bytes) {
    if (!r.StatusText.empty()) {
        ProcessResponse(r, bytes);  // body: relayed exactly as received
        return;
    }
    // Collect the header first, so that the entry gets exactly the bytes
    // after its blank line.
    r.PendingAnswer += bytes;
    if (proxy::FindHeaderEnd(r.PendingAnswer) == std::string::npos &&
        r.PendingAnswer.size() < proxy::kMaxRequestHeader) {
        bytes.clear();
        return;
    }
    bytes = std::move(r.PendingAnswer);
    r.PendingAnswer.clear();
    RelayFirstBlock(r, bytes);
}

std::string FlushPendingAnswer(TMyIntercept& r) {
    std::string bytes = std::move(r.PendingAnswer);
    r.PendingAnswer.clear();
    if (!bytes.empty()) {
        RelayFirstBlock(r, bytes);
    }
    return bytes;
}

std::size_t UnseenRoom(const TMyIntercept& r) {
    // Stored bytes must reach the entry, and nothing may slip past a header
    // still being read or a reply that turns into a tunnel.
    if (r.StatusText.empty() || !r.PendingAnswer.empty() || r.CacheWriteStream || r.Tunnel ||
        AnsweredByProxy(r)) {
        return 0;
    }
    return static_cast<std::size_t>(
        std::min<std::uint64_t>(r.AnswerBody.PlainRoom(), net::kBlockSize));
}

void PassedUnseen(TMyIntercept& r, std::size_t bytes) {
    CountArrival(r, bytes);
    r.Received += static_cast<std::int64_t>(bytes);
    r.AnswerBody.Skip(bytes);
    ReportProgress(r);
}

void SendCacheAnswer(TMyIntercept& r, std::string_view head) {
    std::unique_ptr<EntryReader> reader = std::move(r.CacheReadStream);
    // The header goes out together with the first piece of the body: two
    // small writes would meet the browser's delayed acknowledgement and
    // stall a kept-alive connection for tens of milliseconds per answer.
    std::string block(head);
    std::int64_t left = reader && !r.HeadRequest ? r.CacheSize : 0;
    while (r.ClientConnection->Connected()) {
        std::size_t room = net::kBlockSize > block.size() ? net::kBlockSize - block.size() : 0;
        std::size_t want = static_cast<std::size_t>(std::min<std::int64_t>(left, room));
        if (want > 0) {
            std::size_t at = block.size();
            block.resize(at + want);
            std::size_t n = reader->ReadSome(block.data() + at, want);
            block.resize(at + n);
            if (n == 0) {
                r.ClientConnection->Disconnect();  // the entry broke: end, never pad
                break;
            }
            left -= static_cast<std::int64_t>(n);
        }
        if (!block.empty()) {
            r.ClientConnection->Write(block);
            block.clear();
        }
        if (left <= 0) {
            break;
        }
    }
    if (reader) {
        reader->MarkUsed(r.Owner().TimeSource().Now());
    }
}

void FinishCacheWrite(TMyIntercept& r) {
    std::unique_ptr<EntryWriter> writer = std::move(r.CacheWriteStream);
    if (!writer) {
        return;
    }
    const bool cutShort = r.AnswerBody.Chunked()
                              ? r.AnswerBody.InBody() || r.AnswerBody.Broken()
                              : r.ContentLength > 0 && r.ContentLength > r.Received;
    if (cutShort) {
        writer->Discard();
        return;
    }
    const Clock::TimePoint now = r.Owner().TimeSource().Now();
    writer->Finish(r.ContentType, r.ContentEncoding, ParseHTTPDate(r.LastModified, now),
                   !r.LastModified.empty(), now);
}

bool AnswerFromCache(TMyIntercept& r, std::string& request) {
    std::unique_ptr<EntryReader> reader = OpenEntry(r.CacheFileName);
    if (!reader) {
        return false;
    }
    proxy::Engine& engine = r.Owner();
    engine.PutToLog("# " + std::to_string(r.ConnectionNo) + " >>> URL: " + r.URL, request);
    std::string text = proxy::NotModifiedText();
    r.ConditionalByProxy = true;
    r.AnsweredFromCache = true;
    r.CacheReadStream = std::move(reader);
    ProcessResponse(r, text);
    if (r.ClientConnection->Connected()) {
        SendCacheAnswer(r, text);
    }
    r.CacheReadStream.reset();
    r.ClientConnection->Disconnect();
    request.clear();
    return true;
}

}  // namespace vs::cache
