#include "cache/response_path.h"

#include <limits>

#include "proxy/engine.h"
#include "proxy/intercept.h"
#include "proxy/request_processing.h"

namespace vs::cache {

using proxy::TCmd;

namespace {

constexpr unsigned kHeaderOptions = kRegexCaseless | kRegexMultiline;

const Pattern& StatusLine() {
    static const auto p = Pattern::Compile("^HTTP/1.[01] (.+)$", kHeaderOptions);
    return *p;
}

const Pattern& ContentEncodingLine() {
    static const auto p = Pattern::Compile("^Content-Encoding: (.+)$", kHeaderOptions);
    return *p;
}

const Pattern& ContentLengthLine() {
    static const auto p = Pattern::Compile("^Content-Length: (.+)$", kHeaderOptions);
    return *p;
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

int KindImage(const proxy::TMyIntercept& r) {
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

bool AnsweredByProxy(const proxy::TMyIntercept& r) {
    return r.AnsweredFromCache || r.ErrorPageSent || r.BadGatewaySent || r.RedirectSent ||
           r.AuthRequestSent;
}

void ReportProgress(proxy::TMyIntercept& r) {
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

// The first block of an answer: status, headers, monitor state, log.
void ReadAnswerHeader(proxy::TMyIntercept& r, std::string& text) {
    proxy::Engine& engine = r.Owner();
    const std::size_t headerLength = proxy::HeaderLength(text);
    if (text.find(' ') != std::string::npos) {
        r.StatusText = std::string(StatusLine().FindGroup(text, 1).value_or(""));
        std::size_t space = r.StatusText.find(' ');
        if (space != std::string::npos) {
            r.StatusCode = static_cast<std::int32_t>(
                NumberOrZero(std::string_view(r.StatusText).substr(0, space)));
        }
        r.Received = static_cast<std::int64_t>(text.size() - headerLength);

        r.ContentEncoding = std::string(ContentEncodingLine().FindGroup(text, 1).value_or(""));
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
    if (auto length = ContentLengthLine().FindGroup(text, 1)) {
        r.ContentLength = NumberOrZero(*length);
        if (r.MonitorRow >= 0) {
            TCmd size;
            size.Index = r.MonitorRow;
            size.Size = r.ContentLength;
            engine.AddCmdListItem(std::move(size));
        }
    }
    engine.PutToLog("# " + std::to_string(r.ConnectionNo) + " <<< URL: " + r.URL,
                    text.substr(0, headerLength));
}

}  // namespace

bool ProcessResponse(proxy::TMyIntercept& r, std::string& text) {
    proxy::Engine& engine = r.Owner();
    if (!AnsweredByProxy(r)) {
        TCmd count;
        count.Kind = proxy::kCmdInternetBytes;
        count.Index = r.UserIndex;
        count.Value = static_cast<std::int32_t>(text.size());
        engine.AddCmdListItem(std::move(count));
    }
    if (!r.URL.empty() && engine.StopList().Remove(r.URL)) {
        r.ClientConnection->Disconnect();  // the user stopped this download
    }
    if (!r.StatusText.empty()) {
        r.Received += static_cast<std::int64_t>(text.size());
    } else {
        ReadAnswerHeader(r, text);
    }
    ReportProgress(r);
    return false;
}

void FinishCacheWrite(proxy::TMyIntercept&) {
    // Nothing is written to the cache yet, so there is never an entry open.
}

}  // namespace vs::cache
