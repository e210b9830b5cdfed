#pragma once
// A browser connection's session: one per connection, owned by the client
// connection and attached to the outbound connection as its hook object.
// It holds what belongs to the connection (its number, the admitted user,
// where the outbound side is connected, the state of the byte streams) and
// the exchanges in flight, and splits both byte streams into exchanges:
// requests one by one, each with its own target, and answers in the order
// of their requests.
//
// Requests go out as soon as they are decided on, except that one for
// another host waits until every answer before it is complete: then the
// outbound connection is replaced and the request goes to its own host.
// While a request waits, the browser is not read.

#include <chrono>
#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "net/connection.h"
#include "proxy/body_framer.h"
#include "proxy/exchange.h"
#include "proxy/http_head.h"
#include "rules/users_list.h"

namespace vs::proxy {

class Engine;

// A request head is collected up to its blank line before it is decided on;
// a longer one is refused. Answers' heads have the same limit.
inline constexpr std::size_t kMaxHead = 64 * 1024;
// Answer heads may be longer: browsers take heads of a few hundred KiB
// (sites setting many cookies and policies). Past this the proxy cannot
// tell the head from what follows it, and the browser gets the 502 page.
inline constexpr std::size_t kMaxAnswerHead = 256 * 1024;

// Where requests go: the parent proxy, or an origin's host and port.
struct Target {
    std::string host;
    int port = 0;
    bool operator==(const Target&) const = default;
};

class Session : public net::ConnectionIntercept, public net::ConnectionData {
public:
    Session(Engine& engine, net::Connection& client, net::OutboundConnection& outbound);
    // The connection's final work: every exchange still open is finished
    // (an answer cut short leaves no cache entry).
    ~Session() override;

    // The connect phase: admits the browser by its first request, decides
    // on that request and points the outbound connection at its target (or
    // at the local answer). What is to be sent once connected is in
    // firstData; later requests of that first read wait their turn.
    void Begin(std::string firstData, std::string_view address);
    // The outbound connection is up: a CONNECT answered by the proxy gets
    // its reply now.
    void Connected();
    // Completes every exchange still open (upstream has gone).
    void FinishAll();
    // Upstream closed: an answer running to the close is complete; an
    // answer head cut short is decided on as it stands and returned for
    // the browser.
    std::string UpstreamClosed();
    // Upstream closed before the first byte of the answer now due, after
    // answering earlier requests on that connection: the origin's end of a
    // kept-alive connection. Closing the browser's connection without an
    // answer tells the browser the same, and it sends the request again.
    bool UpstreamEndedBetweenAnswers() const;
    // After UpstreamClosed: the origin reset the connection amid an
    // answer's body, or ended early or broke the chunks of one unchunked for
    // an HTTP/1.0 browser. The browser must see a reset, or an answer it
    // reads to the close would look whole.
    bool AnswerCutShort();

    // Hooks of the connection server.
    void Send(std::string& bytes) override;
    void Receive(std::string& bytes) override;
    bool Opaque() const override { return tunnelOpen_; }
    void Tunnelled(net::Direction direction, std::size_t bytes) override;
    std::size_t UnseenRoom() const override;
    void PassedUnseen(std::size_t bytes) override;
    int UnseenCopy() const override;
    void UnseenCopyFailed(int error) override;
    bool HoldsClient() const override { return !held_.empty(); }
    bool TakeHeld(std::string& bytes) override;
    // A request whose body is still coming awaits the browser, not an
    // answer: an upload that stalls is idle like any quiet connection.
    bool AwaitsAnswer() const override { return !inFlight_.empty() && !requestBody_.InBody(); }
    std::optional<std::chrono::steady_clock::time_point> HeadStartedAt() const override {
        return headStarted_;
    }

    // The bytes from the browser as they go upstream: request heads decided
    // on, bodies and tunnel bytes unchanged. An incomplete head is kept for
    // the next call.
    std::string FilterUpstream(std::string_view bytes);
    // The bytes from upstream as the browser gets them.
    std::string FilterDownstream(std::string_view bytes);

    // Gives the exchange its monitor row, which the user may stop from the
    // monitor while the exchange lasts.
    void AddMonitorRow(Exchange& exchange);
    // Completes an exchange: its cache entry kept or discarded, its monitor
    // row closed.
    void FinishExchange(Exchange& exchange);

    Engine& Owner() { return engine_; }
    net::Connection& Client() { return client_; }
    // The exchange whose answer arrives now; null when none is in flight.
    Exchange* Answering() { return inFlight_.empty() ? nullptr : &inFlight_.front(); }
    const std::string& ClientAddress() const { return clientAddress_; }
    std::size_t InFlight() const { return inFlight_.size(); }
    // The browser closed before it sent a byte: the connection is nobody's
    // business, its end included.
    bool AskedNothing() const { return askedNothing_; }

    const std::int32_t connectionNo;
    // Row of the users list that admitted the browser, -1 when refused.
    std::int32_t userIndex = -1;
    // That row's name and identity: the statistics count by name, since the
    // row may move in the list before the bytes are counted, and by the
    // name the row has then, since it may be renamed meanwhile.
    std::string userName;
    std::uint64_t userId = 0;
    // The users list the admission was decided on: a later request on the
    // connection is decided again once the list has changed.
    std::shared_ptr<const vs::UsersSnapshot> admittedBy;
    // The Basic credentials the admitting request carried (empty for none):
    // a proxy of its own in front of this one sends many browsers' requests
    // on one connection, so a request with other credentials is decided
    // again.
    std::string admittedToken;
    // The first request after processing, sent past the Send hook once the
    // outbound side is connected.
    std::string firstUpstream;
    std::uint64_t tunnelledUp = 0;
    std::uint64_t tunnelledDown = 0;

    // Whether the browser is on the proxy's own machine (asked once).
    bool ClientIsLocal();
    // The port the browser reached the proxy on, asked of the socket once.
    int ProxyPort();

private:
    // Decides on one request head and appends what goes upstream to `out`.
    // False when the browser connection ended with it.
    bool TakeRequest(http::MessageHead head, std::string& out);
    // Where a request goes: the parent, or its URL's host and port.
    Target TargetOf(const Exchange& exchange) const;
    // Whether the request must wait until the answers before it are in.
    bool MustWait() const;
    // Whether going to `target` takes a new outbound connection (or, while
    // connecting, a target for the first one): for another target than the
    // one set, or always (`fresh`).
    bool NeedsConnect(const Target& target, bool fresh) const;
    // The addresses a direct request's host resolved to, once they are
    // known to be ones this browser may reach. Otherwise the browser got
    // its answer here: the 502 page for a host that does not resolve, the
    // 403 page for a service of the proxy's own host.
    std::optional<std::vector<std::string>> AddressesFor(Exchange& exchange, const Target& target);
    // Whether the browser got the 403 page for a service of the proxy's own
    // host at one of `addresses`, by the rule of the exchange's settings.
    bool RefusedAsHostService(Exchange& exchange, const Target& target,
                              const std::vector<std::string>& addresses);
    // Points the outbound side at `target` (at `addresses` when resolved
    // here): set while connecting, else the connection is replaced when
    // NeedsConnect.
    void GoTo(const Target& target, bool fresh, std::vector<std::string> addresses,
              std::string& out);
    void OpenDirectTunnel(Exchange& exchange);
    // An open tunnel is the CONNECT's answer still arriving: its row runs,
    // counting the bytes that come back, until the connection ends.
    void KeepRowForTunnel(Exchange& exchange);
    // The row leaves the engine's stop list: its exchange or tunnel ended.
    void ForgetRow(std::int32_t row);
    // An answer has begun and its body is not all there (a tunnel is no
    // answer in this sense).
    bool AnswerUnfinished();
    // Tells the browser connection whether a cut now would leave an answer
    // unfinished.
    void MarkUnfinishedAnswer();
    void TunnelReceived(std::size_t bytes);
    // Completes the answering exchange when its answer is in; true when the
    // browser asked to be let go after it.
    bool CompleteAnswering();
    void DropStray(std::string_view bytes);
    // Writes what is left of the answer and closes the browser connection.
    void LetBrowserGo(std::string& out);
    // Ends the browser connection: a request that cannot be forwarded.
    void Refuse();
    // The same, telling the browser why with `page` (it would otherwise see
    // an empty reply), unless an answer is under way, which a page would
    // break into.
    void RefuseWithPage(const std::string& page);
    // Ends the browser connection whose upload broke its framing, with the
    // 400 when the answer to it has not begun.
    void RefuseBrokenBody();

    Engine& engine_;
    net::Connection& client_;
    net::OutboundConnection& outbound_;

    // Requests sent upstream, oldest first; the front one is being answered.
    std::deque<Exchange> inFlight_;
    // Where the outbound side is (or is about to be) connected; none until
    // the first request is forwarded.
    std::optional<Target> target_;
    // The addresses a direct target resolved to when it was connected.
    std::vector<std::string> targetAddresses_;
    std::string clientAddress_;
    bool askedNothing_ = false;
    std::optional<bool> clientLocal_;
    std::optional<int> proxyPort_;
    bool connecting_ = true;  // still in the connect phase
    // Answers completed since the outbound side last connected.
    int answersOnUpstream_ = 0;
    // The answer that ends the connection was to a request with a body.
    bool closingAfterBody_ = false;
    bool tunnelOpen_ = false;
    std::int32_t tunnelRow_ = -1;
    // Rows tracked in the engine's stop list and not forgotten yet.
    int trackedRows_ = 0;
    std::int64_t tunnelReceived_ = 0;
    // A CONNECT the proxy answers itself, waiting for the connect.
    bool directTunnelPending_ = false;
    http::BodyFramer requestBody_;
    std::string pendingHead_;
    // When the head in pendingHead_ began to arrive.
    std::optional<std::chrono::steady_clock::time_point> headStarted_;
    // Browser bytes from a request on that waits, unprocessed.
    std::string held_;
};

}  // namespace vs::proxy
