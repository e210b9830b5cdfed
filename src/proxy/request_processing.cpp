#include "proxy/request_processing.h"

#include <algorithm>
#include <utility>
#include <vector>

#include "base/cp1251.h"
#include "base/utf.h"
#include "proxy/authentication.h"
#include "proxy/cache_lookup.h"
#include "proxy/engine.h"
#include "proxy/exchange.h"
#include "proxy/generated_pages.h"
#include "proxy/host_services.h"
#include "proxy/response_path.h"
#include "proxy/session.h"
#include "proxy/target.h"
#include "proxy/url_spelling.h"
#include "rules/find_rule.h"
#include "rules/url_converter.h"

namespace vs::proxy {

namespace {

const Pattern& BlackListSubject() {
    static const auto p =
        Pattern::Compile("(\\w+:\\/\\/)?(www\\.)?(.*)", kRegexCaseless | kRegexMultiline);
    return *p;
}

}  // namespace

void LogRequest(Session& s, const Exchange& e, const http::MessageHead& request) {
    s.Owner().PutToLog("# " + std::to_string(s.connectionNo) + " >>> URL: " + e.url,
                       LoggedRequestText(request));
}

void AnswerLocally(Session& s, const Exchange& e, const std::string& answer) {
    net::Connection& client = s.Client();
    if (client.Connected()) {
        try {
            const std::size_t headEnd = http::FindHeadEnd(answer);
            if (e.IsHead() && headEnd != std::string::npos) {
                client.Write(std::string_view(answer).substr(0, headEnd));
            } else {
                client.WriteLn(answer);
            }
        } catch (const net::SocketError&) {
            // The browser is gone; the answer is still shown and logged.
        }
    }
    // The rest of an upload, or a pipelining browser's next request, is
    // read until the browser closes: closed unread, the connection would be
    // reset and the answer lost.
    client.DisconnectAfterDraining();
}

namespace {

// The addresses a host at the proxy's own port stands for. A parent on this
// machine would connect back to the proxy, and that connection comes from
// the host itself, as the desktop user's do, so a name is asked for here
// even where the proxy does not connect itself: only for this one port,
// which no page on the web has reason to name.
std::vector<std::string> AddressesOfProxyHost(const net::HostLookup& hosts,
                                              const std::string& host) {
    if (std::optional<std::string> number = net::NumericAddress(host)) {
        return {std::move(*number)};
    }
    try {
        return hosts.Resolve(host);
    } catch (const net::ResolveError&) {
        return {};  // nowhere: neither the parent nor a connect reaches it
    }
}

// A LAN browser may not have what the host's loopback serves where no
// connect of the proxy's own would show it: an answer from the cache without
// asking, or a parent proxy on this machine connecting there for it. Only
// the host's text is judged here (resolving every name would ask a name
// server, which a parent proxy may be there to avoid), but for the proxy's
// own port; a name that a name server points at the loopback is refused
// when the proxy connects itself.
bool RefuseTheHostsLoopback(Session& s, Exchange& e, const http::MessageHead& request) {
    if (e.config->lanReachesHostServices || e.RefusedAtAdmission()) {
        return false;
    }
    // As a parent that reads escapes in the host would take it; most URLs
    // hold none, and are judged as they are.
    const std::string unescaped = e.url.find('%') == std::string::npos
                                      ? std::string()
                                      : AuthorityUnescaped(e.url, e.IsConnect());
    const std::string_view url = unescaped.empty() ? std::string_view(e.url) : unescaped;
    const DirectTarget target = e.IsConnect() ? ChooseTunnelTarget(url) : ChooseDirectTarget(url);
    Engine& engine = s.Owner();
    HostService service;
    if (net::NamesLoopback(target.host)) {
        service = {HostServiceKind::kLoopback, target.host};
    } else if (target.port == s.ProxyPort() && !s.ClientIsLocal()) {
        service = HostServiceAt(engine.Hosts(), AddressesOfProxyHost(engine.Hosts(), target.host),
                                target.port, s.ProxyPort());
    }
    if (service.kind == HostServiceKind::kNone || s.ClientIsLocal()) {
        return false;
    }
    if (e.monitorRow < 0) {
        s.AddMonitorRow(e);
    }
    LogRequest(s, e, request);
    std::string page = HostServicePage(e.url, service, target.port);
    e.answeredBy = AnsweredBy::kErrorPage;
    AnswerLocally(s, e, page);
    ShowAnswer(s, e, std::move(page));
    return true;
}

// A request that carries this proxy's own hop has gone round a loop of
// parents (two offices, each made the other's parent): passed on, it would
// open connections until none were left in either. It ends here.
bool RefuseTheLoop(Session& s, Exchange& e, const http::MessageHead& request) {
    // A proxy on the way may add a comment to the hop ("(Vellostore)").
    const std::string& own = s.Owner().HopName();
    const std::vector<std::string_view> hops = request.ListItems("Via");
    if (std::none_of(hops.begin(), hops.end(), [&own](std::string_view hop) {
            return hop.starts_with(own) && (hop.size() == own.size() || hop[own.size()] == ' ');
        })) {
        return false;
    }
    if (e.monitorRow < 0) {
        s.AddMonitorRow(e);
    }
    LogRequest(s, e, request);
    s.Owner().PutToLog("# " + std::to_string(s.connectionNo) +
                           ": Proxy loop: the request came back through the parent proxy",
                       {});
    std::string page = BadGatewayPage();
    e.answeredBy = AnsweredBy::kErrorPage;
    AnswerLocally(s, e, page);
    ShowAnswer(s, e, std::move(page));
    return true;
}

}  // namespace

bool ProcessRequest(Session& s, Exchange& e, http::MessageHead& request) {
    Engine& engine = s.Owner();
    // Numbering.
    const std::string lower = cp1251::Lower(e.url);
    e.requestNo = engine.NextRequestNo();
    const ProxyConfig& config = *e.config;
    if (RefuseTheLoop(s, e, request)) {
        return false;
    }

    // URL converter.
    if (config.urlConverterEnabled && !KeyComboHeld(config.urlConverterCancelKeys)) {
        auto list = engine.Lists().urlConverter.Snapshot();
        // Each reading counts its rules' hits apart: only the one that
        // decides is counted, so a rule never counts twice for a request.
        using Hits = std::vector<std::pair<const RuleRow*, int>>;
        const auto convert = [&](std::string subject, Hits& hits) {
            return ApplyUrlConverter(
                *list, std::move(subject),
                [&hits](const RuleRow& row, int position) { hits.emplace_back(&row, position); });
        };
        const bool nonAscii = utf::HasNonAscii(e.url);
        const std::string written = nonAscii ? cp1251::Lower(RawLettersInCodePage(e.url)) : lower;
        Hits hits;
        UrlConversion conversion = convert(written, hits);
        // A rule may name the letters a browser sent escaped ("/путь/" for
        // "/%D0%BF..."), or the escapes themselves, which letters sent raw
        // must meet too: each reading is tried, and the one that rewrote with
        // more rules decides, so that a chain meets letters after a rule for
        // its host. A tie goes to the earlier, except that the browser's
        // escaped letters read as letters win it: a case change ("\U1")
        // acts on letters, where on escapes it would change only digits.
        // The code page's escapes are decoded only for a rule that needs it,
        // as a site reading them would not read the UTF-8 they go on in.
        const auto tryReading = [&](std::string reading, bool winsTie) {
            if (reading == written) {
                return;
            }
            Hits readingHits;
            UrlConversion other = convert(std::move(reading), readingHits);
            if (other.rewritten && (!conversion.rewritten || readingHits.size() > hits.size() ||
                                    (winsTie && readingHits.size() == hits.size()))) {
                conversion = std::move(other);
                hits = std::move(readingHits);
            }
        };
        const bool escapedLetters = HasEscapedLetters(e.url);
        // Raw code-page bytes are read as their letters too, but then the
        // letters do not win a tie: a redirect would spell those bytes as
        // UTF-8, which the site never sent.
        const bool rawCodePage = nonAscii && !utf::IsValidUtf8(e.url);
        if (escapedLetters || nonAscii) {
            std::string letters = cp1251::Lower(LettersInCodePage(e.url));
            std::string every = cp1251::Lower(EveryLetterInCodePage(e.url));
            const bool codePageEscapes = every != letters;
            tryReading(std::move(letters), escapedLetters && !rawCodePage);
            if (codePageEscapes) {
                tryReading(std::move(every), false);
            }
        }
        if (e.urlSent != e.url) {
            tryReading(cp1251::Lower(e.urlSent), false);
        }
        for (const auto& [row, position] : hits) {
            engine.QueueHit(ListKind::UrlConverter, *row, position);
        }
        if (conversion.rewritten && !SpellsTheUrlAsked(conversion.url, e.url)) {
            SendRedirect(s, e, conversion.url, request);
            return false;
        }
    }
    // Black list.
    if (config.blackListEnabled && !KeyComboHeld(config.blackListCancelKeys)) {
        // As the origin gets it: a rule naming the escapes a browser sends
        // meets letters sent raw. The same page by another spelling (letters
        // for escapes) meets the same rules.
        const std::string lowerSent = e.urlSent == e.url ? lower : cp1251::Lower(e.urlSent);
        std::string_view subject = BlackListSubject().FindGroup(lowerSent, 3).value_or("");
        const int row = engine.FindRuleCountingHit(engine.Lists().black, subject, [&e] {
            return PlainSpelling(e.urlSent, e.IsConnect());
        });
        if (row >= 0) {
            if (e.monitorRow < 0) {
                s.AddMonitorRow(e);
            }
            SendRefusalPage(s, e, row + 1, request);
            return false;
        }
    }
    if (RefuseTheHostsLoopback(s, e, request)) {
        return false;
    }
    // Cache lookup.
    if (CacheLookup(s, e, request)) {
        return false;
    }
    // Monitor row and log.
    if (e.monitorRow < 0) {
        s.AddMonitorRow(e);
    }
    LogRequest(s, e, request);
    return true;
}

void SendRedirect(Session& s, Exchange& e, std::string_view location,
                  const http::MessageHead& request) {
    LogRequest(s, e, request);
    if (e.RefusedAtAdmission()) {
        return;
    }
    std::string answer = RedirectAnswer(s.Owner().TimeSource().Now(), UriSpelling(location));
    AnswerLocally(s, e, answer);
    e.answeredBy = AnsweredBy::kRedirect;
    ShowAnswer(s, e, std::move(answer));
}

void SendRefusalPage(Session& s, Exchange& e, int rule, const http::MessageHead& request) {
    LogRequest(s, e, request);
    if (e.RefusedAtAdmission()) {
        return;
    }
    std::string page = RefusalPage(e.url, rule);
    e.answeredBy = AnsweredBy::kErrorPage;
    AnswerLocally(s, e, page);
    ShowAnswer(s, e, std::move(page));
}

}  // namespace vs::proxy
