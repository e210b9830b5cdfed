#include "proxy/session.h"

#include "base/cp1251.h"
#include "proxy/authentication.h"
#include "proxy/engine.h"
#include "proxy/generated_pages.h"
#include "proxy/host_services.h"
#include "proxy/request_processing.h"
#include "proxy/response_path.h"
#include "proxy/target.h"
#include "proxy/url_spelling.h"

namespace vs::proxy {

namespace {

bool SameTarget(const Target& a, const Target& b) {
    return a.port == b.port && cp1251::EqualsNoCase(a.host, b.host);
}

// Whether the browser wants the connection closed after the answer.
bool BrowserCloses(const http::MessageHead& request) {
    if (request.ListHas("Connection", "close") || request.ListHas("Proxy-Connection", "close")) {
        return true;
    }
    return request.Version() == "HTTP/1.0" && !request.ListHas("Connection", "keep-alive") &&
           !request.ListHas("Proxy-Connection", "keep-alive");
}

// The origin is told the host the URL names, which is where the request
// goes and what its answer is stored under: a Host field naming another
// site would fetch that site's page and store it under this URL for every
// user of the proxy. An HTTP/1.0 browser may send none at all.
void NameTheUrlsHost(http::MessageHead& request, std::string_view authority) {
    if (authority.empty()) {
        return;
    }
    const std::vector<std::string_view> hosts = request.Values("Host");
    if (hosts.size() == 1 && cp1251::EqualsNoCase(hosts[0], authority)) {
        return;
    }
    if (hosts.size() > 1) {
        request.Remove("Host");
    }
    request.Set("Host", authority);
}

// A user name and password in the URL name no host and are for no one: they
// are dropped before the lists, the cache, the monitor and the log see the
// URL (a black-list rule written for "ads.example" would not know
// "x@ads.example"), as browsers drop them before they ask a proxy.
void DropUserInfo(http::MessageHead& request) {
    if (std::optional<std::string> plain = WithoutUserInfo(request.Target())) {
        request.SetTarget(*plain);
    }
}

// A request naming no host ("GET / HTTP/1.1", "GET http:///x") is for no
// site the lists can judge: a parent going by the Host field would fetch
// the one it names past the black list. Browsers ask a proxy for whole URLs.
bool NamesNoHost(const http::MessageHead& request) {
    const std::string_view target = request.Target();
    if (target == "*") {
        return true;  // OPTIONS for a whole server: a proxy is asked for one by URL
    }
    return cp1251::EqualsNoCase(request.Method(), "CONNECT")
               ? ChooseTunnelTarget(target).host.empty()
               : ChooseDirectTarget(target).host.empty();
}

std::size_t SkipEmptyLines(std::string_view bytes) {
    std::size_t n = 0;
    while (n < bytes.size() && (bytes[n] == '\r' || bytes[n] == '\n')) {
        ++n;
    }
    return n;
}

// A head whose lines end in a bare LF, which the proxy reads as line ends,
// goes on with CR LF: an origin strict about CR LF would otherwise find no
// Content-Length where the proxy found one, and take the body for the next
// request, one the lists never saw.
void AppendWithCrLf(std::string& out, std::string_view head) {
    bool bareLf = false;
    for (std::size_t lf = head.find('\n'); lf != std::string_view::npos && !bareLf;
         lf = head.find('\n', lf + 1)) {
        bareLf = lf == 0 || head[lf - 1] != '\r';
    }
    if (!bareLf) {
        out += head;  // as nearly every browser writes it
        return;
    }
    out.reserve(out.size() + head.size() + head.size() / 8);
    for (std::size_t i = 0; i < head.size(); ++i) {
        if (head[i] == '\n' && (i == 0 || head[i - 1] != '\r')) {
            out += '\r';
        }
        out += head[i];
    }
}

bool IsCutHead(std::string_view block) {
    return block.size() >= 5 && cp1251::EqualsNoCase(block.substr(0, 5), "HTTP/") &&
           http::FindHeadEnd(block) == std::string_view::npos;
}

}  // namespace

Session::Session(Engine& engine, net::Connection& client, net::OutboundConnection& outbound)
    : connectionNo(engine.NextConnectionNo()),
      engine_(engine),
      client_(client),
      outbound_(outbound) {}

Session::~Session() {
    FinishAll();
    // Whatever a path left tracked: the connection is about to go. Looked
    // for only then, not at every connection's end.
    if (trackedRows_ > 0) {
        engine_.StopList().ForgetConnection(client_);
    }
}

void Session::Begin(std::string firstData, std::string_view address) {
    const std::size_t skip = SkipEmptyLines(firstData);
    const std::size_t end = http::FindHeadEnd(firstData, skip);
    http::MessageHead head(
        firstData.substr(skip, end == std::string::npos ? std::string::npos : end - skip));
    clientAddress_ = address;
    if (end == std::string::npos && firstData.size() - skip >= kMaxHead) {
        // Told rather than asked, on its first request, for a password it sent.
        RefuseWithPage(HeadTooLongPage());
        outbound_.SetLocalAnswer();
        return;
    }
    if (firstData.empty()) {
        // The browser closed at once (a port check, a preconnect given up):
        // nothing is asked for, so nothing leaves the machine, and nobody is
        // told of a login refused (browsers open such connections by the
        // dozen). A parent that names this proxy as its own parent would
        // otherwise pass such a connection back and forth for good.
        askedNothing_ = true;
        outbound_.SetLocalAnswer();
        return;
    }
    userIndex = AdmitConnection(*this, head, address);
    if (userIndex < 0) {
        // The first request is still logged, listed and counted, but nothing
        // reaches the network or the browser.
        DropUserInfo(head);
        Exchange exchange;
        exchange.url = std::string(head.Target());
        exchange.method = cp1251::Upper(head.Method());
        exchange.urlSent = UrlAsSent(exchange.url, exchange.IsConnect());
        exchange.config = engine_.Config();
        // An upload goes on after the 407 has gone out: read to its end, so
        // that the browser sees the page and a close rather than a reset.
        if (auto framing = http::RequestFraming(head); framing && end != std::string::npos) {
            requestBody_ = *framing;
            requestBody_.Consume(std::string_view(firstData).substr(end));
        }
        RefuseConnection(*this, exchange);
        if (head.IsRequest()) {
            ProcessRequest(*this, exchange, head);
        }
        FinishExchange(exchange);
        outbound_.SetLocalAnswer();
        return;
    }
    firstUpstream = FilterUpstream(firstData);
    connecting_ = false;
    if (!client_.Connected() || (inFlight_.empty() && !directTunnelPending_)) {
        // Answered here, refused, or a head the browser never finished:
        // nothing may leave the machine.
        outbound_.SetLocalAnswer();
        firstUpstream.clear();
    }
}

void Session::Connected() {
    if (directTunnelPending_ && !inFlight_.empty()) {
        directTunnelPending_ = false;
        OpenDirectTunnel(inFlight_.front());
        inFlight_.pop_front();
    }
}

void Session::FinishAll() {
    for (Exchange& exchange : inFlight_) {
        FinishExchange(exchange);
    }
    inFlight_.clear();
    if (tunnelRow_ >= 0) {
        ForgetRow(tunnelRow_);
        if (!engine_.closing.load()) {
            RowUpdate end;
            end.row = tunnelRow_;
            end.state = 2;
            engine_.Post(std::move(end));
        }
    }
    tunnelRow_ = -1;
}

void Session::OpenDirectTunnel(Exchange& exchange) {
    client_.Write(kTunnelEstablished);
    ShowAnswer(*this, exchange, std::string(kTunnelEstablished));
    tunnelOpen_ = true;
    MarkUnfinishedAnswer();
    KeepRowForTunnel(exchange);
    FinishExchange(exchange);
}

void Session::KeepRowForTunnel(Exchange& exchange) {
    tunnelRow_ = exchange.monitorRow;
    tunnelReceived_ = exchange.received;
    exchange.monitorRow = -1;  // the exchange ends; the row goes on
}

void Session::TunnelReceived(std::size_t bytes) {
    CountStray(*this, bytes);
    tunnelReceived_ += static_cast<std::int64_t>(bytes);
    if (tunnelRow_ >= 0) {
        RowUpdate progress;
        progress.row = tunnelRow_;
        progress.received = tunnelReceived_;
        engine_.Post(std::move(progress));
    }
}

void Session::Refuse() {
    client_.Disconnect();
}

// A browser whose upload broke its own framing is told so, as for any other
// malformed request, unless an answer has begun: the page would land in it.
void Session::RefuseBrokenBody() {
    const bool answerBegun = inFlight_.size() != 1 || inFlight_.front().answerHeadSeen ||
                             !inFlight_.front().pendingAnswer.empty();
    if (answerBegun) {
        Refuse();
        return;
    }
    try {
        client_.WriteLn(BadRequestPage());
    } catch (const net::SocketError&) {
    }
    client_.DisconnectAfterDraining();
}

void Session::RefuseWithPage(const std::string& page) {
    if (!inFlight_.empty()) {
        Refuse();
        return;
    }
    try {
        client_.WriteLn(page);
    } catch (const net::SocketError&) {
    }
    client_.DisconnectAfterDraining();
}

std::string Session::FilterUpstream(std::string_view bytes) {
    std::string input;
    if (!pendingHead_.empty()) {
        input = std::move(pendingHead_);
        pendingHead_.clear();
        input.append(bytes);
        bytes = input;
    }
    std::string out;
    std::size_t pos = 0;
    while (pos < bytes.size() && client_.Connected()) {
        std::string_view rest = bytes.substr(pos);
        if (tunnelOpen_) {
            out.append(rest);  // tunnelled bytes are never requests
            break;
        }
        if (requestBody_.InBody()) {
            const std::size_t n = requestBody_.Consume(rest);
            if (requestBody_.Broken()) {
                // Where the origin would think the body ends is anybody's
                // guess: what broke it goes nowhere.
                RefuseBrokenBody();
                break;
            }
            out.append(rest.substr(0, n));
            pos += n;
            continue;
        }
        // What follows a CONNECT or an Upgrade depends on its answer: tunnel
        // bytes after a 2xx or a 101, another request otherwise.
        if (!inFlight_.empty() && (inFlight_.back().IsConnect() || inFlight_.back().asksUpgrade)) {
            held_.assign(rest);
            break;
        }
        if (std::size_t blank = SkipEmptyLines(rest); blank > 0) {
            pos += blank;  // line ends between requests go nowhere
            continue;
        }
        const std::size_t end = http::FindHeadEnd(rest);
        if (end == std::string_view::npos) {
            if (rest.size() < kMaxHead) {
                pendingHead_.assign(rest);
            } else {
                RefuseWithPage(HeadTooLongPage());
            }
            break;
        }
        if (MustWait()) {
            held_.assign(rest);
            break;
        }
        http::MessageHead head{std::string(rest.substr(0, end))};
        pos += end;
        if (!TakeRequest(std::move(head), out)) {
            break;
        }
    }
    return out;
}

bool Session::MustWait() const {
    // Each request waits until the answers before it are in. Whether the
    // proxy answers it itself (from the cache, a refusal, a redirect), sends
    // it elsewhere or forwards it is known only once it is processed, and a
    // local answer sent at once would stand in for an earlier request's.
    return !inFlight_.empty();
}

Target Session::TargetOf(const Exchange& exchange) const {
    if (exchange.ToParent()) {
        // The parent as it is now: one moved since the connection began is
        // the one its next request goes to, with the settings' credentials.
        auto [host, port] = outbound_.Mapped();
        return Target{std::move(host), port};
    }
    DirectTarget direct =
        exchange.IsConnect() ? ChooseTunnelTarget(exchange.url) : ChooseDirectTarget(exchange.url);
    return Target{std::move(direct.host), direct.port};
}

bool Session::NeedsConnect(const Target& target, bool fresh) const {
    // Pipelined requests of the first read for the first one's target share
    // its connect.
    return fresh || !target_ || !SameTarget(target, *target_);
}

std::optional<std::vector<std::string>> Session::AddressesFor(Exchange& exchange,
                                                              const Target& target) {
    const net::HostLookup& hosts = engine_.Hosts();
    std::vector<std::string> addresses;
    try {
        addresses = hosts.Resolve(target.host);
    } catch (const net::ResolveError&) {
        // Rather than an empty reply, which browsers show as a bare error.
        AnswerLocally(*this, exchange, BadGatewayPage());
        return std::nullopt;
    }
    if (RefusedAsHostService(exchange, target, addresses)) {
        return std::nullopt;
    }
    return addresses;
}

bool Session::RefusedAsHostService(Exchange& exchange, const Target& target,
                                   const std::vector<std::string>& addresses) {
    const HostService service = HostServiceAt(engine_.Hosts(), addresses, target.port, ProxyPort());
    if (service.kind == HostServiceKind::kNone || exchange.config->lanReachesHostServices ||
        ClientIsLocal()) {
        return false;
    }
    std::string page = HostServicePage(exchange.url, service, target.port);
    exchange.answeredBy = AnsweredBy::kErrorPage;
    AnswerLocally(*this, exchange, page);
    ShowAnswer(*this, exchange, std::move(page));
    return true;
}

int Session::ProxyPort() {
    if (!proxyPort_) {
        proxyPort_ = net::LocalPort(client_.Socket());
    }
    return *proxyPort_;
}

bool Session::ClientIsLocal() {
    if (!clientLocal_) {
        clientLocal_ = engine_.Hosts().IsOwnAddress(clientAddress_);
    }
    return *clientLocal_;
}

void Session::GoTo(const Target& target, bool fresh, std::vector<std::string> addresses,
                   std::string& out) {
    if (!NeedsConnect(target, fresh)) {
        return;
    }
    target_ = target;
    if (connecting_) {
        outbound_.SetTarget(target.host, target.port, std::move(addresses));
        return;
    }
    // Bytes still due to the old host (the end of an upload whose answer
    // came early) go there first.
    if (!out.empty() && outbound_.Connected()) {
        outbound_.WriteUnhooked(out);
    }
    out.clear();
    answersOnUpstream_ = 0;
    outbound_.Reconnect(target.host, target.port, std::move(addresses));
}

bool Session::TakeRequest(http::MessageHead head, std::string& out) {
    std::optional<http::BodyFramer> framing = http::RequestFraming(head);
    if (!head.IsRequest() || !framing) {
        // Not a request, or one the origin might frame otherwise than the
        // proxy: forwarding it could smuggle a second request past the lists.
        RefuseWithPage(BadRequestPage());
        return false;
    }
    requestBody_ = *framing;
    http::MendLength(head);
    DropUserInfo(head);
    if (NamesNoHost(head)) {
        RefuseWithPage(BadRequestPage());
        return false;
    }
    Exchange exchange;
    exchange.url = std::string(head.Target());
    exchange.method = cp1251::Upper(head.Method());
    exchange.urlSent = UrlAsSent(exchange.url, exchange.IsConnect());
    exchange.methodInCapitals = exchange.method == head.Method();
    exchange.config = engine_.Config();
    exchange.authorized = head.Has("Authorization");
    exchange.browserForbidsStore = head.ListNames("Cache-Control", "no-store");
    exchange.browserCloses = BrowserCloses(head);
    exchange.browserOnHttp10 = head.Version() == "HTTP/1.0";
    exchange.asksUpgrade = head.Has("Upgrade");
    exchange.sendsBody = requestBody_.InBody();
    http::DropConnectionFields(head);
    if (!StillAdmitted(*this, head)) {
        // The user was disabled or removed meanwhile: refused as a new
        // connection would be, and the connection ends with the 407.
        userIndex = -1;
        RefuseConnection(*this, exchange);
        ProcessRequest(*this, exchange, head);
        FinishExchange(exchange);
        return false;
    }
    if (!ProcessRequest(*this, exchange, head)) {
        FinishExchange(exchange);
        return false;
    }
    if (userIndex < 0) {
        FinishExchange(exchange);  // refused at admission: processed, never sent
        return false;
    }
    const bool toParent = exchange.ToParent();
    const Target target = TargetOf(exchange);
    const bool fresh = !toParent && exchange.IsConnect();
    // A direct request's host is looked up here, once, and the connect goes
    // to exactly the addresses checked (a name server cannot point it
    // elsewhere in between). The parent is the user's own choice.
    std::vector<std::string> addresses;
    if (!toParent && NeedsConnect(target, fresh)) {
        std::optional<std::vector<std::string>> allowed = AddressesFor(exchange, target);
        if (!allowed) {
            FinishExchange(exchange);
            return false;
        }
        addresses = std::move(*allowed);
        targetAddresses_ = addresses;
    } else if (!toParent && RefusedAsHostService(exchange, target, targetAddresses_)) {
        // A connection kept from an earlier request meets the rule as it
        // stands now: the switch turned off since acts at once.
        FinishExchange(exchange);
        return false;
    }
    if (!exchange.IsConnect()) {
        // Raw letters go on escaped, toward the origin and the parent alike:
        // servers that read the request line strictly refuse them (400) or
        // take the bytes for Latin-1 letters (404).
        const DirectTarget direct = ChooseDirectTarget(exchange.urlSent);
        if (!toParent) {
            // An origin is asked about itself as a whole by "*", which a
            // proxy is asked by the URL without a path.
            const bool wholeServer = direct.wholeServer && exchange.method == "OPTIONS";
            head.SetTarget(wholeServer ? std::string_view("*") : std::string_view(direct.path));
        } else if (const std::string_view scheme = SchemeOf(exchange.urlSent); !scheme.empty()) {
            // The parent gets the URL as the lists judged it, its fragment
            // left out: one reading the host up to the first "/" would take
            // "a.example#@127.0.0.1" for user info and a host and go where
            // no rule looked. Nearly always it is the line as it came.
            const std::string judged = std::string(scheme) + "://" + direct.authority + direct.path;
            if (judged != head.Target()) {
                head.SetTarget(judged);
            }
        }
        // A parent too: one that goes by the Host field (as a front server
        // does) would fetch the page of the site it names.
        NameTheUrlsHost(head, direct.authority);
    }
    if (fresh) {
        // The proxy answers the CONNECT itself once connected; the request
        // goes nowhere.
        inFlight_.push_back(std::move(exchange));
        GoTo(target, true, std::move(addresses), out);
        if (connecting_) {
            directTunnelPending_ = true;
        } else {
            Exchange& tunnel = inFlight_.back();
            OpenDirectTunnel(tunnel);
            inFlight_.pop_back();
        }
        return true;
    }
    inFlight_.push_back(std::move(exchange));
    GoTo(target, false, std::move(addresses), out);
    AppendWithCrLf(out, head.Text());
    return true;
}

bool Session::TakeHeld(std::string& bytes) {
    if (held_.empty()) {
        return false;
    }
    // Waiting for the answers before it, or for a CONNECT's answer.
    if (!inFlight_.empty() && !tunnelOpen_) {
        return false;
    }
    bytes.swap(held_);
    held_.clear();
    return true;
}

void Session::Send(std::string& bytes) {
    bytes = FilterUpstream(bytes);
    if (pendingHead_.empty()) {
        headStarted_.reset();
    } else if (!headStarted_) {
        headStarted_ = std::chrono::steady_clock::now();
    }
}

void Session::Receive(std::string& bytes) {
    bytes = FilterDownstream(bytes);
    MarkUnfinishedAnswer();
}

bool Session::AnswerUnfinished() {
    const Exchange* exchange = Answering();
    return exchange != nullptr && !tunnelOpen_ && exchange->answerHeadSeen &&
           exchange->answerBody.InBody();
}

void Session::MarkUnfinishedAnswer() {
    // Nor may a tunnel's stream: its framing, if any, is the two ends' own.
    client_.SetCutMeansReset(tunnelOpen_ || AnswerUnfinished());
}

std::string Session::FilterDownstream(std::string_view bytes) {
    std::string out;
    std::string block;
    std::string_view rest = bytes;
    while (!rest.empty()) {
        Exchange* exchange = Answering();
        if (tunnelOpen_) {
            TunnelReceived(rest.size());
            out.append(rest);
            break;
        }
        if (exchange == nullptr) {
            DropStray(rest);
            break;
        }
        if (!exchange->answerStarted) {
            // Line ends before a status line (left over after an earlier
            // body by an old server) are no part of the answer.
            const std::size_t blank = SkipEmptyLines(rest);
            CountStray(*this, blank);
            rest.remove_prefix(blank);
            if (rest.empty()) {
                break;
            }
        }
        if (exchange->answerHeadSeen) {
            const std::size_t n = AnswerContinues(*this, *exchange, rest, out);
            if (n == 0) {
                DropStray(rest);  // past every answer asked for
                break;
            }
            rest.remove_prefix(n);
        } else {
            exchange->answerStarted = true;
            exchange->pendingAnswer.append(rest);
            rest = {};
            if (http::FindHeadEnd(exchange->pendingAnswer) == std::string::npos) {
                if (exchange->pendingAnswer.size() >= kMaxAnswerHead) {
                    // No end in sight: what followed could not be told from
                    // the head, so neither goes on; the browser gets the 502
                    // page.
                    exchange->pendingAnswer.clear();
                    outbound_.Disconnect();
                }
                break;
            }
            block = std::move(exchange->pendingAnswer);
            exchange->pendingAnswer.clear();
            const std::size_t n = AnswerBegins(*this, *exchange, block, out);
            rest = std::string_view(block).substr(n);
            if ((exchange->statusCode == 101 && exchange->asksUpgrade) ||
                (exchange->IsConnect() && exchange->statusCode >= 200 &&
                 exchange->statusCode < 300)) {
                tunnelOpen_ = true;  // everything after this answer is the tunnel's
            } else if (exchange->statusCode == 101) {
                // A switch nobody asked for: the browser's next request would
                // reach this origin unjudged. The connection ends with it.
                exchange->browserCloses = true;
            }
        }
        if (exchange->answerBody.Broken()) {
            // Chunk framing that broke mid-body (a chunk line past any
            // sense, a size that overflows) leaves nobody knowing where the
            // answer ends, the browser included: what came goes on, and both
            // connections end, rather than the next request waiting on an
            // answer that may never end.
            outbound_.Disconnect();
            break;
        }
        if (CompleteAnswering()) {
            LetBrowserGo(out);
            break;
        }
    }
    return out;
}

// Bytes after every answer asked for (a body a 304 should not have, a
// length shorter than the body, or another answer altogether) belong to no
// request. The browser would take them for the answer to its next request,
// whatever host that asks: they are counted, since they came, but never
// relayed, and the origin connection, out of step, ends.
void Session::DropStray(std::string_view bytes) {
    CountStray(*this, bytes.size());
    // Line ends an old server leaves after a body are harmless: the next
    // answer's start skips them.
    if (SkipEmptyLines(bytes) < bytes.size()) {
        outbound_.Disconnect();
    }
}

bool Session::CompleteAnswering() {
    Exchange* exchange = Answering();
    if (exchange == nullptr || !exchange->answerHeadSeen) {
        return false;
    }
    if (!tunnelOpen_ && exchange->answerBody.InBody()) {
        return false;
    }
    const bool close = exchange->browserCloses && !tunnelOpen_;
    closingAfterBody_ = exchange->sendsBody;
    if (tunnelOpen_) {
        KeepRowForTunnel(*exchange);
    }
    FinishExchange(*exchange);
    inFlight_.pop_front();
    ++answersOnUpstream_;
    return close;
}

void Session::LetBrowserGo(std::string& out) {
    if (!out.empty() && client_.Connected()) {
        client_.Write(out);  // the answer's last bytes first
    }
    out.clear();
    // A browser that asked to close sends nothing more, but for the line end
    // an old one adds after a POST's body, or what a faulty one sends anyway:
    // arriving after a plain close, it would reset the connection and take
    // the answer's unread end. Reading on for what never comes would cost
    // every closing connection a wait.
    if (closingAfterBody_ || client_.InputWaiting()) {
        client_.DisconnectAfterDraining();
    } else {
        client_.Disconnect();
    }
}

bool Session::UpstreamEndedBetweenAnswers() const {
    return answersOnUpstream_ > 0 && !tunnelOpen_ && !inFlight_.empty() &&
           !inFlight_.front().answerStarted;
}

std::string Session::UpstreamClosed() {
    std::string rest;
    Exchange* exchange = Answering();
    if (exchange == nullptr) {
        return rest;
    }
    if (!exchange->answerHeadSeen && !exchange->pendingAnswer.empty()) {
        std::string block = std::move(exchange->pendingAnswer);
        exchange->pendingAnswer.clear();
        // A status line without the head's end is an answer cut short, which
        // a browser asking directly reports as an error; relayed, it would
        // look like a whole answer with an empty body. The browser gets the
        // 502 page instead. Bytes that are no status line at all go on as
        // they came.
        if (!IsCutHead(block)) {
            AnswerBegins(*this, *exchange, block, rest);
        }
    }
    // A reset is no end: an answer running to the close stays unfinished
    // and is never stored.
    if (!outbound_.EndedByReset()) {
        exchange->answerBody.EndOfStream();
    }
    MarkUnfinishedAnswer();
    return rest;
}

bool Session::AnswerCutShort() {
    if (outbound_.EndedByReset() && AnswerUnfinished()) {
        return true;
    }
    // A body unchunked for the browser ends at the close: one the origin
    // ended early, or whose chunks broke, must not end in order there. A
    // browser reading a length or chunks sees the cut itself, and keeps
    // what came (a download resumes from it).
    const Exchange* exchange = Answering();
    return exchange != nullptr && exchange->unchunkForBrowser &&
           (AnswerUnfinished() || exchange->answerBody.Broken());
}

void Session::AddMonitorRow(Exchange& exchange) {
    exchange.monitorRow = engine_.AddMonitorRow(exchange.url);
    engine_.StopList().Track(exchange.monitorRow, client_);
    ++trackedRows_;
}

void Session::ForgetRow(std::int32_t row) {
    engine_.StopList().Forget(row);
    --trackedRows_;
}

void Session::FinishExchange(Exchange& exchange) {
    FinishCacheWrite(*this, exchange);
    exchange.cacheReader.reset();
    if (exchange.monitorRow >= 0) {
        ForgetRow(exchange.monitorRow);
        if (!engine_.closing.load()) {
            RowUpdate end;
            end.row = exchange.monitorRow;
            end.state = 2;
            if (exchange.statusCode == 0) {
                end.image = 4;
                end.answer = "502 Bad Gateway";
            }
            engine_.Post(std::move(end));
        }
    }
    exchange.monitorRow = -1;  // closed once
}

std::size_t Session::UnseenRoom() const {
    if (inFlight_.empty() || tunnelOpen_) {
        return 0;
    }
    return AnswerUnseenRoom(inFlight_.front());
}

int Session::UnseenCopy() const {
    if (inFlight_.empty() || tunnelOpen_) {
        return -1;
    }
    return AnswerUnseenCopy(inFlight_.front());
}

void Session::UnseenCopyFailed(int error) {
    if (Exchange* exchange = Answering()) {
        CacheWriteRefused(*this, *exchange, error);
    }
}

void Session::PassedUnseen(std::size_t bytes) {
    if (Exchange* exchange = Answering()) {
        AnswerPassedUnseen(*this, *exchange, bytes);
        if (CompleteAnswering()) {
            std::string nothing;
            LetBrowserGo(nothing);
        }
    }
    MarkUnfinishedAnswer();
}

void Session::Tunnelled(net::Direction direction, std::size_t bytes) {
    if (direction == net::Direction::Upstream) {
        tunnelledUp += bytes;
        return;
    }
    tunnelledDown += bytes;
    TunnelReceived(bytes);
}

}  // namespace vs::proxy
