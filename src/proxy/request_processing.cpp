#include "proxy/request_processing.h"

#include "base/cp1251.h"
#include "cache/cache_lookup.h"
#include "cache/response_path.h"
#include "proxy/engine.h"
#include "proxy/generated_pages.h"
#include "proxy/intercept.h"
#include "rules/find_rule.h"
#include "rules/url_converter.h"

namespace vs::proxy {

namespace {

constexpr unsigned kHeaderOptions = kRegexCaseless | kRegexMultiline;

const Pattern& RequestStart() {
    static const auto p =
        Pattern::Compile("^(CONNECT|GET|POST|OPTIONS|HEAD|PUT|DELETE|TRACE)", kHeaderOptions);
    return *p;
}

const Pattern& RequestLine() {
    static const auto p = Pattern::Compile("^([^ ]+) ([^ ]+)", kHeaderOptions);
    return *p;
}

const Pattern& BlackListSubject() {
    static const auto p = Pattern::Compile("(\\w+:\\/\\/)?(www\\.)?(.*)", kHeaderOptions);
    return *p;
}

bool StartsWithMethod(std::string_view header, std::string_view method) {
    return header.size() > method.size() && header[method.size()] == ' ' &&
           cp1251::EqualsNoCase(header.substr(0, method.size()), method);
}

std::string Heading(const TMyIntercept& record, std::string_view marker) {
    return "# " + std::to_string(record.ConnectionNo) + std::string(marker) + record.URL;
}

// A rewritten URL goes into a header line: a CR or LF produced by a rule's
// replacement would end that line and let the rest pose as further headers
// or a body. Control characters are written percent-encoded instead.
std::string HeaderSafe(std::string_view location) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string safe;
    safe.reserve(location.size());
    for (char c : location) {
        auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7F) {
            safe += '%';
            safe += kHex[byte >> 4];
            safe += kHex[byte & 0x0F];
        } else {
            safe += c;
        }
    }
    return safe;
}

// Sends a page the proxy made itself and ends the browser connection.
void AnswerLocally(TMyIntercept& record, const std::string& answer) {
    record.ClientConnection->WriteLn(answer);
    record.ClientConnection->Disconnect();
}

}  // namespace

std::size_t HeaderLength(std::string_view text) {
    std::size_t at = text.find("\r\n\r\n");
    return at == std::string_view::npos ? text.size() : at + 4;
}

std::size_t FindHeaderEnd(std::string_view text, std::size_t from) {
    std::size_t crlf = text.find("\r\n\r\n", from);
    std::size_t lf = text.find("\n\n", from);
    if (crlf == std::string_view::npos && lf == std::string_view::npos) {
        return std::string_view::npos;
    }
    if (lf == std::string_view::npos || (crlf != std::string_view::npos && crlf < lf)) {
        return crlf + 4;
    }
    return lf + 2;
}

std::string FilterUpstream(TMyIntercept& record, std::string_view bytes, bool final) {
    std::string input;
    if (!record.PendingHeader.empty()) {
        input = std::move(record.PendingHeader);
        record.PendingHeader.clear();
        input.append(bytes);
        bytes = input;
    }
    std::string out;
    std::size_t pos = 0;
    while (pos < bytes.size()) {
        std::string_view rest = bytes.substr(pos);
        if (record.Tunnel) {
            out.append(rest);  // tunnelled bytes are never requests
            break;
        }
        if (record.RequestBody.InBody()) {
            std::size_t n = record.RequestBody.Consume(rest);
            out.append(rest.substr(0, n));
            pos += n;
            continue;
        }
        std::size_t end = FindHeaderEnd(rest);
        if (end == std::string_view::npos) {
            if (!final && rest.size() < kMaxRequestHeader) {
                record.PendingHeader.assign(rest);
                break;
            }
            end = rest.size();
        }
        std::string text(rest.substr(0, end));
        pos += end;
        record.RequestBody.Start(text);
        record.Tunnel = StartsWithMethod(text, "CONNECT");
        record.HeadRequest = StartsWithMethod(text, "HEAD");
        ProcessRequest(record, text);
        out += text;
        if (!record.ClientConnection->Connected()) {
            break;  // answered here: nothing more of this browser goes upstream
        }
    }
    return out;
}

bool ProcessRequest(TMyIntercept& record, std::string& text) {
    Engine& engine = record.Owner();
    // 1. Only a request start is processed.
    if (!RequestStart().Matches(text)) {
        return false;
    }
    // 2. The previous request on this connection ends here.
    if (record.RequestNo >= 0 && record.MonitorRow >= 0) {
        TCmd closeRow;
        closeRow.Index = record.MonitorRow;
        closeRow.State = 2;
        engine.AddCmdListItem(std::move(closeRow));
        cache::FinishCacheWrite(record);
        record.ResetRequest();
    }
    // 3. URL, unless read at connect time.
    if (record.URL.empty()) {
        record.URL = std::string(RequestLine().FindGroup(text, 2).value_or(""));
    }
    // 4. Numbering.
    std::string lower = cp1251::Lower(record.URL);
    record.RequestNo = engine.NextRequestNo();
    const auto settings = engine.CurrentSettings();

    // 5. URL converter.
    if (settings->URLPrepareCB && !KeyComboHeld(settings->URLFiltrCombo)) {
        auto list = engine.Lists().urlConverter.Snapshot();
        UrlConversion conversion =
            ApplyUrlConverter(*list, lower, [&engine](int row, std::int64_t count) {
                TCmd hit;
                hit.Kind = kCmdUrlConverterHit;
                hit.Index = row;
                hit.Value = static_cast<std::int32_t>(count);
                engine.AddCmdListItem(std::move(hit));
            });
        if (conversion.rewritten) {
            SendRedirect(record, conversion.url, text);
            return true;
        }
    }
    // 6. Header length.
    std::size_t headerLength = HeaderLength(text);

    // 7. Black list.
    if (settings->BlackListCB && !KeyComboHeld(settings->BLKeyCombo)) {
        std::string_view subject = BlackListSubject().FindGroup(lower, 3).value_or("");
        int row = engine.FindRuleCountingHit(engine.Lists().black, subject, kCmdBlackListHit);
        if (row >= 0) {
            if (record.MonitorRow < 0) {
                record.MonitorRow = engine.SendNewConnectionToList(record.URL);
            }
            SendRefusalPage(record, row + 1, text);
            return true;
        }
    }
    // 8. Cache lookup.
    cache::LookupResult lookup = cache::CacheLookup(record, text);
    if (lookup.answered) {
        return true;
    }
    // 9.
    if (lookup.changed) {
        headerLength = HeaderLength(text);
    }
    // 10. Monitor row.
    if (record.MonitorRow < 0) {
        record.MonitorRow = engine.SendNewConnectionToList(record.URL);
    }
    // 11. Log.
    engine.PutToLog(Heading(record, " >>> URL: "), text.substr(0, headerLength));
    return lookup.changed;
}

void SendRedirect(TMyIntercept& record, std::string_view location, std::string& text) {
    Engine& engine = record.Owner();
    engine.PutToLog(Heading(record, " >>> URL: "), text);
    std::string answer = RedirectAnswer(engine.TimeSource().Now(), HeaderSafe(location));
    AnswerLocally(record, answer);
    record.RedirectSent = true;
    text.clear();
    cache::ProcessResponse(record, answer);
}

void SendRefusalPage(TMyIntercept& record, int rule, std::string& text) {
    Engine& engine = record.Owner();
    engine.PutToLog(Heading(record, " >>> URL: "), text.substr(0, HeaderLength(text)));
    std::string page = RefusalPage(record.URL, rule);
    record.ErrorPageSent = true;
    AnswerLocally(record, page);
    text.clear();
    cache::ProcessResponse(record, page);
}

}  // namespace vs::proxy
