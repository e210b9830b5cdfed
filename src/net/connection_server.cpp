#include "net/connection_server.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <memory>
#include <optional>
#include <tuple>

namespace vs::net {

namespace {

using SteadyClock = std::chrono::steady_clock;
using Milliseconds = std::chrono::milliseconds;

constexpr auto kStopLook = Milliseconds(250);
// How long to let running connections end some before trying again when
// there is no room even to close a connection.
constexpr auto kShortageBreath = Milliseconds(10);
// A shortage with no connection lost for this long is over.
constexpr auto kEpisodeQuiet = std::chrono::seconds(1);

bool Readable(const pollfd& fd) {
    return fd.revents != 0;
}

// Whether `events` (POLLIN: bytes or an end to read; POLLRDHUP: the peer has
// closed its sending half, bytes before it perhaps unread) hold right now.
bool ReadyNow(int fd, short events) {
    pollfd now{fd, events, 0};
    return ::poll(&now, 1, 0) == 1;
}

net::Socket OpenSpare() {
    return net::Socket(::open("/dev/null", O_RDONLY | O_CLOEXEC));
}

}  // namespace

bool MappedPortServer::Episode::Hit(std::size_t lost) {
    lost_ += lost;
    lastLoss_ = SteadyClock::now().time_since_epoch().count();
    return !on_.exchange(true);
}

std::optional<std::size_t> MappedPortServer::Episode::End() {
    if (!on_.load(std::memory_order_relaxed)) {
        return std::nullopt;
    }
    // At the edge of a shortage connections are taken and lost by turns: a
    // pause in the losses ends it, not every connection taken.
    const SteadyClock::time_point last{SteadyClock::duration(lastLoss_.load())};
    if (SteadyClock::now() - last < kEpisodeQuiet || !on_.exchange(false)) {
        return std::nullopt;
    }
    return lost_.exchange(0);
}

MappedPortServer::MappedPortServer(ConnectionEvents& events) : events_(events) {
    SetLimits(ConnectionLimits{});
}

MappedPortServer::~MappedPortServer() {
    try {
        Stop();
    } catch (const std::exception&) {
        // The pool's destructor still waits for the stragglers.
    }
}

void MappedPortServer::SetListener(const ListenerSettings& settings) {
    settings_ = settings;
}

void MappedPortServer::SetLimits(const ConnectionLimits& limits) {
    firstRequestMs_ = limits.firstRequest.count();
    idleMs_ = limits.idle.count();
    maxConnections_ = limits.maxConnections;
    stalledReaderMs_ = limits.stalledReader.count();
    sendPatienceMs_ =
        limits.idle.count() == 0 ? 0 : std::max(limits.idle, limits.stalledReader).count();
}

ConnectionLimits MappedPortServer::Limits() const {
    return ConnectionLimits{Milliseconds(firstRequestMs_.load()), Milliseconds(idleMs_.load()),
                            maxConnections_.load(), Milliseconds(stalledReaderMs_.load())};
}

void MappedPortServer::SetMapped(std::string host, int port) {
    mapped_.Set(std::move(host), port);
}

void MappedPortServer::HoldMapped() {
    mapped_.Hold();
}

void MappedPortServer::Start() {
    if (Active()) {
        return;
    }
    net::Socket listener = net::ListenTcp(settings_.address, settings_.port, settings_.listenQueue);
    net::Socket stopEvent(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    if (!stopEvent.IsOpen()) {
        throw net::SocketError("eventfd", errno);
    }
    boundPort_ = net::LocalPort(listener);
    boundEndpoint_ = net::LocalEndpoint(listener);
    listener_ = std::move(listener);
    run_ = std::make_shared<Run>();
    run_->stopEvent = std::move(stopEvent);
    spare_ = OpenSpare();
    {
        std::lock_guard lock(workersLock_);
        stopping_ = false;
    }
    acceptThread_ = std::thread([this] { AcceptLoop(); });
}

void MappedPortServer::AcceptLoop() {
    for (;;) {
        sockaddr_storage peer{};
        const int fd = AcceptNext(peer);
        if (fd < 0) {
            return;  // the listener was shut down
        }
        std::string address = net::AddressText(peer);
        const Admission admission = Admit(address);
        if (admission == Admission::kOverCeiling || admission == Admission::kOverOthersShare) {
            ::close(fd);
            if (admission == Admission::kOverCeiling) {
                ShortageOf(Shortage::ConnectionCeiling, overCeiling_, 1);
            } else {
                ShortageOf(Shortage::OthersShare, overOthersShare_, 1);
            }
            continue;
        }
        ShortageOver(Shortage::ConnectionCeiling, overCeiling_);
        if (admission == Admission::kAdmitted) {
            ShortageOver(Shortage::OthersShare, overOthersShare_);
        }
        ShortageOver(Shortage::Descriptors, outOfDescriptors_);
        // Answers often go out in more than one write; waiting to coalesce
        // them would only add latency on the way to the browser.
        int on = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        try {
            pool_.Run([this, fd, address = std::move(address), run = run_]() mutable {
                Serve(net::Socket(fd), std::move(address), run);
            });
            ShortageOver(Shortage::Threads, outOfThreads_);
        } catch (const std::exception&) {
            ::close(fd);
            ConnectionEnded(*run_);
            ShortageOf(Shortage::Threads, outOfThreads_, 1);
        }
    }
}

int MappedPortServer::AcceptNext(sockaddr_storage& peer) {
    bool browserWaiting = false;
    for (;;) {
        socklen_t size = sizeof peer;
        const int fd =
            ::accept4(listener_.Fd(), reinterpret_cast<sockaddr*>(&peer), &size, SOCK_CLOEXEC);
        if (fd >= 0) {
            return fd;
        }
        if (errno == EMFILE || errno == ENFILE) {
            // accept fails for want of a descriptor before it looks at the
            // queue, even on a listener shut down by a stop: wait for a
            // browser, then see whether one is free now.
            if (Stopping()) {
                return -1;
            }
            if (!browserWaiting) {
                pollfd listener{listener_.Fd(), POLLIN, 0};
                browserWaiting = ::poll(&listener, 1, -1) > 0;
                continue;
            }
            ShedOneConnection();
            browserWaiting = false;
        } else if (errno == ENOBUFS || errno == ENOMEM) {
            std::this_thread::sleep_for(kShortageBreath);
        } else if (errno != EINTR && errno != ECONNABORTED && errno != EPROTO) {
            return -1;
        }
    }
}

void MappedPortServer::ShedOneConnection() {
    spare_.Close();
    const int fd = ::accept4(listener_.Fd(), nullptr, nullptr, SOCK_CLOEXEC);
    if (fd >= 0) {
        ::close(fd);
    }
    spare_ = OpenSpare();
    ShortageOf(Shortage::Descriptors, outOfDescriptors_, fd >= 0 ? 1 : 0);
    if (fd < 0 || !spare_.IsOpen()) {
        std::this_thread::sleep_for(kShortageBreath);
    }
}

bool MappedPortServer::Stopping() const {
    std::lock_guard lock(workersLock_);
    return stopping_;
}

MappedPortServer::Admission MappedPortServer::Admit(std::string_view address) {
    const std::size_t ceiling = maxConnections_.load(std::memory_order_relaxed);
    const std::size_t othersShare = ceiling - ceiling / 8;
    {
        std::lock_guard lock(workersLock_);
        if (ceiling == 0 || running_ < othersShare) {
            ++running_;
            ++run_->running;
            return Admission::kAdmitted;
        }
        if (running_ >= ceiling) {
            return Admission::kOverCeiling;
        }
    }
    // Outside the lock: it may ask the system for its interfaces.
    if (!events_.FromThisMachine(address)) {
        return Admission::kOverOthersShare;
    }
    std::lock_guard lock(workersLock_);
    if (running_ >= ceiling) {
        return Admission::kOverCeiling;
    }
    ++running_;
    ++run_->running;
    return Admission::kFromThisMachine;
}

void MappedPortServer::ShortageOf(Shortage what, Episode& episode, std::size_t lost) {
    if (episode.Hit(lost)) {
        try {
            events_.OnShortageBegins(what, ActiveConnections());
        } catch (const std::exception&) {
        }
    }
}

void MappedPortServer::ShortageOver(Shortage what, Episode& episode) {
    if (auto lost = episode.End()) {
        try {
            events_.OnShortageEnds(what, *lost);
        } catch (const std::exception&) {
        }
    }
}

void MappedPortServer::Serve(net::Socket client, std::string peer, std::shared_ptr<Run> run) {
    auto worker = std::make_unique<Worker>(std::move(client));
    worker->Client().SetPeerAddress(std::move(peer));
    // An origin that stops reading an upload would hold the worker for as
    // long as it lives, the browser long gone: a send that moves nothing
    // for the send patience ends it.
    // A stop of the browser's connection (the user's, of its monitor row)
    // ends that wait at once.
    worker->Outbound().SetSendPatience(sendPatienceMs_, worker->Client());
    // A browser that stops taking its download, without closing, would hold
    // the worker, the origin and the entry being written for good.
    net::SetSendTimeout(worker->Client().Socket(), Milliseconds(sendPatienceMs_.load()));
    {
        std::lock_guard lock(workersLock_);
        workers_.insert(worker.get());
        if (stopping_) {
            worker->Client().WakeUp();
        }
    }
    ConnectPhase(*worker, run->stopEvent.Fd());
    RelayLoop(*worker);
    EndConnection(*worker);
    {
        std::lock_guard lock(workersLock_);
        workers_.erase(worker.get());
    }
    // The worker, and with it the connection's record, goes before the
    // count drops, so a finished Stop leaves no record alive.
    worker.reset();
    ConnectionEnded(*run);
}

void MappedPortServer::ConnectionEnded(Run& run) {
    std::lock_guard lock(workersLock_);
    --running_;
    if (--run.running == 0 || running_ == 0) {
        allEnded_.notify_all();
    }
}

void MappedPortServer::ConnectPhase(Worker& worker, int stopEvent) {
    Connection& client = worker.Client();
    OutboundConnection& outbound = worker.Outbound();
    // Not waiting out a hold: most connections never ask for the parent.
    auto [host, port] = mapped_.Current();
    outbound.SetTarget(std::move(host), port);
    outbound.SetMapped(&mapped_);
    if (const auto limit = Milliseconds(firstRequestMs_.load()); limit.count() > 0) {
        client.SetReadDeadline(SteadyClock::now() + limit);
    }
    try {
        events_.OnConnect(worker);
        client.SetReadDeadline(std::nullopt);
        if (client.TimedOut()) {
            // The first request never came whole: nothing goes upstream.
            throw net::SocketError("first request", ETIMEDOUT);
        }
        outbound.Connect(stopEvent);
        {
            std::lock_guard lock(workersLock_);
            if (stopping_) {
                outbound.WakeUp();
            }
        }
        events_.OnOutboundConnect(worker, nullptr);
    } catch (const std::exception& error) {
        const auto* socketError = dynamic_cast<const net::SocketError*>(&error);
        if (socketError != nullptr && socketError->OutOfDescriptors()) {
            ShortageOf(Shortage::Descriptors, outOfDescriptors_, 1);
        }
        try {
            events_.OnOutboundConnect(worker, &error);
        } catch (const std::exception&) {
            // Reported to no one.
        }
        client.Disconnect();
    }
    client.SetReadDeadline(std::nullopt);
}

namespace {

// How long a connection may be quiet before it gives back its buffer.
constexpr int kIdleAfterMs = 1000;
// How often a tunnel looks for a stop at a side it does not wait on.
constexpr int kHungUpLookMs = 250;

// Moves at most `most` bytes from `from` to `to` through the connection's
// bulk buffer, appending them to `copy` first when there is one (>= 0).
// `from` is marked closed when it turned out closed, `to` when it is gone.
net::CopiedMove MoveBulk(Connection& from, Connection& to, net::BulkMover& mover, std::size_t most,
                         int copy) {
    net::CopiedMove result;
    try {
        result = mover.Move(from.Socket(), to.Socket(), copy, most);
    } catch (const net::SocketError& error) {
        if (error.Error() == EAGAIN) {
            // Given up on: a reset tells the peer now, where a close would
            // queue its end behind the bytes it does not take.
            net::CloseWithReset(to.Socket());
        }
        to.Disconnect();
        throw;
    }
    if (result.moved == 0u) {
        from.PeerEnded(result.reset, false);
    }
    return result;
}

// The body bytes nobody needs to read: moved to the browser in bulk, and to
// the entry being written when there is one. Returns the count.
std::size_t PassUnseen(Connection& from, Connection& to, ConnectionIntercept& intercept,
                       net::BulkMover& mover, std::size_t room) {
    const net::CopiedMove result = MoveBulk(from, to, mover, room, intercept.UnseenCopy());
    if (!result.copied) {
        intercept.UnseenCopyFailed(result.copyError);
    }
    return result.moved.value_or(0);
}

// One relay step's transfer from `from` to `to` outside a tunnel: copied
// through the hooks, or moved in bulk while the answer's body is one nobody
// needs to read (only counted). A browser closing its sending
// half ends only its input: the answers it waits for still go to it.
void Transfer(Connection& from, Connection& to, Direction direction, std::string& transfer,
              ConnectionIntercept* intercept, net::BulkMover& mover) {
    if (intercept != nullptr && direction == Direction::Downstream && !from.HasBufferedInput()) {
        if (std::size_t room = intercept->UnseenRoom(); room > 0) {
            if (std::size_t moved = PassUnseen(from, to, *intercept, mover, room)) {
                intercept->PassedUnseen(moved);
            }
            return;
        }
    }
    if (direction == Direction::Upstream) {
        from.ReadIntoKeepingOutput(transfer);
    } else {
        from.ReadInto(transfer);
    }
    if (!transfer.empty()) {
        if (direction == Direction::Upstream) {
            to.WriteInPlace(transfer);
        } else {
            to.Write(transfer);
        }
    }
}

// Tells when a connection has been idle too long: nothing moved either way
// for the limit while no request waited for its answer.
class IdleWatch {
public:
    explicit IdleWatch(const std::atomic<std::int64_t>& limitMs)
        : limitMs_(limitMs), lastMoved_(SteadyClock::now()) {}

    // A poll time-out of `wait` ms (-1 none) cut to when the limit runs out.
    int Cut(int wait) const {
        const std::int64_t limit = limitMs_.load(std::memory_order_relaxed);
        if (limit <= 0) {
            return wait;
        }
        const auto left =
            std::chrono::ceil<Milliseconds>(lastMoved_ + Milliseconds(limit) - SteadyClock::now());
        const auto leftMs = std::clamp<Milliseconds::rep>(left.count(), 0, INT_MAX);
        return wait >= 0 && wait < leftMs ? wait : static_cast<int>(leftMs);
    }
    void Moved() { lastMoved_ = SteadyClock::now(); }
    // After a wait that timed out: whether the limit has run out. A request
    // waiting for its answer starts the count again.
    bool RunOut(bool awaitingAnswer) {
        const std::int64_t limit = limitMs_.load(std::memory_order_relaxed);
        if (limit <= 0 || SteadyClock::now() - lastMoved_ < Milliseconds(limit)) {
            return false;
        }
        if (awaitingAnswer) {
            Moved();
            return false;
        }
        return true;
    }

private:
    const std::atomic<std::int64_t>& limitMs_;
    SteadyClock::time_point lastMoved_;
};

// One way of a tunnel: the bytes received from `from` and not yet taken by
// `to`.
struct TunnelWay {
    Connection& from;
    Connection& to;
    Direction direction;
    net::BulkMover& mover;
    std::size_t sent = 0;
    std::size_t received = 0;
    bool outputShut = false;  // `to` has been told the end

    bool Pending() const { return sent < received; }
    // Nothing more will go this way.
    bool Done() const { return outputShut || !to.Connected(); }
};

// The bytes the kernel still holds for a browser reach it before a reset,
// which would throw them away: a direct client gets all an origin sent
// before its reset. A browser that takes nothing for its send limit, or the
// user's stop, ends the wait; a side without a send limit is not waited for.
void LetQueuedBytesGo(Connection& side) {
    const std::optional<std::chrono::microseconds> patience = net::SendLimit(side.Socket());
    if (!patience) {
        return;
    }
    constexpr int kLookMs = 20;  // the kernel tells of no emptied queue
    std::optional<int> before;
    auto lastMoved = SteadyClock::now();
    for (std::optional<int> queued;
         !side.WokenUp() && (queued = net::QueuedToSend(side.Socket())) && *queued > 0;) {
        if (queued != before) {
            before = queued;
            lastMoved = SteadyClock::now();
        } else if (SteadyClock::now() - lastMoved > *patience) {
            return;
        }
        ::poll(nullptr, 0, kLookMs);
    }
}

// A side that ended by a reset (or failed) ends the other with a reset too:
// an orderly end would tell that peer its stream came whole.
void PassReset(Connection& gone, Connection& other) {
    if (!gone.Connected() && gone.EndedByReset() && other.Connected()) {
        LetQueuedBytesGo(other);
        net::CloseWithReset(other.Socket());
        other.Disconnect();
    }
}

// Sends what waits without blocking: a peer that takes nothing now must not
// stop the other way. Returns whether anything went.
bool SendPending(TunnelWay& way, ConnectionIntercept& intercept) {
    ssize_t n;
    do {
        n = ::send(way.to.Fd(), way.mover.Data() + way.sent, way.received - way.sent,
                   MSG_DONTWAIT | MSG_NOSIGNAL);
    } while (n < 0 && errno == EINTR);
    if (n < 0) {
        if (errno != EAGAIN && errno != EWOULDBLOCK) {
            // Gone: nothing more can reach it, and what it was sent is lost.
            way.to.PeerEnded(true, false);
            PassReset(way.to, way.from);
        }
        return false;
    }
    way.sent += static_cast<std::size_t>(n);
    intercept.Tunnelled(way.direction, static_cast<std::size_t>(n));
    return n > 0;
}

// Passes an orderly end on once all before it went, also one that came
// before the tunnel opened (a browser that sent its last bytes with the
// upgrade and closed its half).
void PassEnd(TunnelWay& way) {
    if (!way.Pending() && way.from.InputEnded() && !way.outputShut && way.to.Connected()) {
        way.to.ShutdownOutput();
        way.outputShut = true;
    }
}

// A step of one way after a wait: receive when nothing waits, send what
// waits, and pass the end on.
void StepTunnelWay(TunnelWay& way, bool fromReady, bool toReady, ConnectionIntercept& intercept) {
    if (!way.Pending() && fromReady && way.from.Connected() && !way.from.InputEnded()) {
        bool reset = false;
        const std::optional<std::size_t> got =
            way.mover.Receive(way.from.Socket(), net::kBulkBlockSize, reset);
        if (got == 0u) {
            way.from.PeerEnded(reset, true);
            PassReset(way.from, way.to);
        } else if (got) {
            way.sent = 0;
            way.received = *got;
            toReady = true;  // most often it takes them at once
        }
    }
    if (way.Pending() && toReady && way.to.Connected()) {
        SendPending(way, intercept);
    }
    PassEnd(way);
}

// What to wait for on one side: its bytes when the way from it is empty, room
// when the way to it waits, and otherwise only its errors and hang-up (a
// stop, the user's cut). A side that hung up while its bytes wait is left
// until they have gone, or its hang-up would end every wait at once.
pollfd TunnelWait(const Connection& side, const TunnelWay& fromSide, const TunnelWay& toSide,
                  bool hungUp) {
    short events = 0;
    if (!fromSide.Pending() && !side.InputEnded()) {
        events |= POLLIN;
    }
    if (toSide.Pending()) {
        events |= POLLOUT;
    }
    return {events == 0 && hungUp ? -1 : side.Fd(), events, 0};
}

// Moves a tunnel's bytes both ways at once until both ways have ended or a
// side has gone. Each way has its own buffer and neither send blocks: a
// peer that writes back while it reads (an echo, an SSH session, a
// WebSocket) must find its answers read while it is still being sent to,
// or both wait on each other for good. A side that closes its sending half
// is read no more and the other side is told once what it sent has gone,
// while bytes still flow the other way until that side closes too.
void RelayTunnel(Connection& client, Connection& outbound, ConnectionIntercept& intercept,
                 net::BulkMover& upMover, net::BulkBudget& budget, IdleWatch& idle) {
    net::BulkMover downMover(budget);
    TunnelWay up{client, outbound, Direction::Upstream, upMover};
    TunnelWay down{outbound, client, Direction::Downstream, downMover};
    bool clientHungUp = false;
    bool outboundHungUp = false;
    while (true) {
        PassEnd(up);
        PassEnd(down);
        // The user's stop of the row cuts the browser's side, which a side
        // that hung up is not waited on for: it is looked at every pass.
        for (Connection* side : {&client, &outbound}) {
            if (side->WokenUp() && side->Connected()) {
                side->Disconnect();
            }
        }
        if (!client.Connected() || !outbound.Connected() || (up.Done() && down.Done())) {
            break;
        }
        pollfd fds[2] = {TunnelWait(client, up, down, clientHungUp),
                         TunnelWait(outbound, down, up, outboundHungUp)};
        const bool quiet = !up.Pending() && !down.Pending();
        // Buffers held by a quiet tunnel go back after a while; a side not
        // waited on is looked at now and then for a stop.
        int wait = quiet && (upMover.Held() || downMover.Held()) ? kIdleAfterMs : -1;
        if (fds[0].fd < 0 || fds[1].fd < 0) {
            wait = kHungUpLookMs;
        }
        const int ready = ::poll(fds, 2, idle.Cut(wait));
        if (ready < 0 && errno != EINTR) {
            throw net::SocketError("poll", errno);
        }
        if (ready == 0) {
            if (quiet) {
                upMover.Release();
                downMover.Release();
            }
            if (idle.RunOut(false)) {
                client.Disconnect();
            }
            continue;
        }
        if (ready < 0) {
            continue;
        }
        idle.Moved();
        for (auto [side, fd, hungUp] : {std::tuple{&client, &fds[0], &clientHungUp},
                                        std::tuple{&outbound, &fds[1], &outboundHungUp}}) {
            // A stop ends the side at once; a peer's hang-up or reset is read
            // to its end like any close, so that what it sent before still
            // goes on, and the read meets the reset and passes it on.
            if ((fd->revents & (POLLERR | POLLHUP)) != 0 && side->WokenUp()) {
                side->PeerEnded(true, false);
                PassReset(*side, side == &client ? outbound : client);
            } else if ((fd->revents & (POLLERR | POLLHUP)) != 0 && (fd->events & POLLIN) == 0) {
                *hungUp = true;
            }
        }
        const auto readyFor = [](const pollfd& fd, short event) {
            return fd.fd >= 0 && (fd.revents & (event | POLLHUP | POLLERR)) != 0;
        };
        StepTunnelWay(up, readyFor(fds[0], POLLIN), readyFor(fds[1], POLLOUT), intercept);
        StepTunnelWay(down, readyFor(fds[1], POLLIN), readyFor(fds[0], POLLOUT), intercept);
        clientHungUp = clientHungUp && up.Pending();
        outboundHungUp = outboundHungUp && down.Pending();
    }
    if (client.Connected() && outbound.Connected()) {
        // Both halves are closed. The outbound side goes first, so that its
        // end is told as for any other connection.
        outbound.Disconnect();
    }
}

// Waits until either side has bytes and moves them on. A browser whose
// bytes wait for their turn is not read meanwhile. A connection idle past
// the limit is closed.
// `headLeftMs`: how long a request head under way may still take (-1 for
// no limit); the wait ends then, so that a head begun and left silent is cut
// at its limit, not at the idle one.
void WaitAndTransfer(Connection& client, OutboundConnection& outbound, std::string& transfer,
                     net::BulkMover& mover, IdleWatch& idle, int headLeftMs) {
    ConnectionIntercept* intercept = outbound.Intercept();
    const bool holding = intercept != nullptr && intercept->HoldsClient();
    // A browser whose bytes wait is still waited on for a reset or the
    // user's stop, which come as a hang-up without asking.
    pollfd fds[2] = {
        {client.InputEnded() ? -1 : client.Fd(), holding ? short{0} : short{POLLIN}, 0},
        {outbound.InputEnded() ? -1 : outbound.Fd(), POLLIN, 0}};
    // A connection that has gone quiet gives its buffers back, so idle
    // keep-alive connections cost little memory; a busy one keeps them.
    const bool holds = transfer.capacity() >= net::kBlockSize || mover.Held();
    int wait = idle.Cut(holds ? kIdleAfterMs : -1);
    if (headLeftMs >= 0 && (wait < 0 || headLeftMs < wait)) {
        wait = headLeftMs;
    }
    int ready = ::poll(fds, outbound.Connected() ? 2 : 1, wait);
    if (ready < 0 && errno != EINTR) {
        throw net::SocketError("poll", errno);
    }
    if (ready == 0) {
        std::string().swap(transfer);
        mover.Release();
        // A browser that has stopped sending may have left altogether (a
        // half-close and a close look the same until something is sent):
        // its wait for an answer ends at the limit too.
        if (idle.RunOut(intercept != nullptr && intercept->AwaitsAnswer() && !client.InputEnded() &&
                        !(holding && ReadyNow(client.Fd(), POLLRDHUP)))) {
            client.Disconnect();
        }
        return;
    }
    if (ready < 0) {
        return;
    }
    idle.Moved();
    if (Readable(fds[0])) {
        if (holding) {
            client.Disconnect();
            return;
        }
        Transfer(client, outbound, Direction::Upstream, transfer, intercept, mover);
        // The browser's bytes may have been a request for another host, and
        // the wait's answer was for the origin left behind: a receive from
        // the new one now could block with the browser's body unread.
        if (outbound.Connected() && Readable(fds[1]) && !ReadyNow(outbound.Fd(), POLLIN)) {
            return;
        }
    }
    if (outbound.Connected() && Readable(fds[1])) {
        Transfer(outbound, client, Direction::Downstream, transfer, intercept, mover);
    }
}

// A browser that has closed its sending half still gets the answers to the
// requests it sent; a tunnel ends its directions itself.
bool OwedToHalfClosedClient(OutboundConnection& outbound) {
    const ConnectionIntercept* intercept = outbound.Intercept();
    return intercept != nullptr &&
           (intercept->Opaque() || intercept->AwaitsAnswer() || intercept->HoldsClient());
}

}  // namespace

int MappedPortServer::HeadTimeLeftMs(const ConnectionIntercept* intercept) const {
    const auto limit = Milliseconds(firstRequestMs_.load(std::memory_order_relaxed));
    const auto started =
        intercept != nullptr && limit.count() > 0 ? intercept->HeadStartedAt() : std::nullopt;
    if (!started) {
        return -1;
    }
    // Past the limit by a millisecond, for the cut's strict comparison.
    const auto left = std::chrono::ceil<Milliseconds>(*started + limit - SteadyClock::now());
    return static_cast<int>(std::clamp<Milliseconds::rep>(left.count() + 1, 0, INT_MAX));
}

void MappedPortServer::CutSlowHead(Connection& client, const ConnectionIntercept* intercept) {
    if (HeadTimeLeftMs(intercept) == 0) {
        client.Disconnect();
    }
}

void MappedPortServer::RelayLoop(Worker& worker) {
    Connection& client = worker.Client();
    OutboundConnection& outbound = worker.Outbound();
    std::string transfer;
    net::BulkMover mover(bulkBudget_);
    IdleWatch idle(idleMs_);
    while (client.Connected()) {
        try {
            ConnectionIntercept* intercept = outbound.Intercept();
            if (intercept != nullptr && outbound.Connected() && intercept->TakeHeld(transfer)) {
                // Bytes that waited for their turn go first, through the Send
                // hook; they may connect elsewhere or end the connection.
                outbound.WriteInPlace(transfer);
            } else if (intercept != nullptr && intercept->Opaque() && outbound.Connected()) {
                RelayTunnel(client, outbound, *intercept, mover, bulkBudget_, idle);
            } else {
                WaitAndTransfer(client, outbound, transfer, mover, idle, HeadTimeLeftMs(intercept));
                CutSlowHead(client, intercept);
            }
        } catch (const net::SocketError& error) {
            if (error.OutOfDescriptors()) {
                // No socket to go on with: the connection ends rather
                // than finding the same bytes waiting at every turn.
                ShortageOf(Shortage::Descriptors, outOfDescriptors_, 1);
                client.Disconnect();
            }
            // Otherwise a write to a reset peer already marked that side
            // closed.
        } catch (const std::exception&) {
            // Ends the step, not the connection.
        }
        if (!outbound.Connected() && client.Connected()) {
            try {
                events_.OnOutboundDisconnect(worker);
            } catch (const std::exception&) {
            }
            // An answer ended by the origin's close: a pipelining browser's
            // next request, arriving after a plain close, would reset the
            // connection and destroy the answer's unread end.
            client.DisconnectAfterDraining();
        }
        if (client.InputEnded() && client.Connected() && !OwedToHalfClosedClient(outbound)) {
            client.Disconnect();
        }
    }
}

void MappedPortServer::EndConnection(Worker& worker) {
    try {
        events_.OnDisconnect(worker);
    } catch (const std::exception&) {
    }
    if (worker.Outbound().Connected()) {
        worker.Outbound().Disconnect();
    }
}

void MappedPortServer::WakeAll(bool outboundToo) {
    std::lock_guard lock(workersLock_);
    for (Worker* worker : workers_) {
        worker->Client().WakeUp(outboundToo);
        if (outboundToo) {
            worker->Outbound().WakeUp();
        }
    }
}

std::size_t MappedPortServer::ActiveConnections() const {
    std::lock_guard lock(workersLock_);
    return running_;
}

void MappedPortServer::Stop(StopWaitsFor waitFor) {
    const bool active = Active();
    {
        std::lock_guard lock(workersLock_);
        // Not listening (a restart that found its port taken), there may
        // still be an earlier run's connections to end.
        if (!active && (waitFor == StopWaitsFor::ThisRun || running_ == 0)) {
            return;
        }
        stopping_ = true;
    }
    if (active) {
        listener_.Shutdown();
        if (acceptThread_.joinable()) {
            acceptThread_.join();
        }
        listener_.Close();
        spare_.Close();
    }
    // The browsers hear of the stop before the connects under way are
    // cancelled: a connect the stop cancels is no failure of the parent or
    // origin, and its handler must find the browser's socket shut already
    // rather than answer it with the 502 page.
    WakeAll(false);
    if (active) {
        std::uint64_t one = 1;
        [[maybe_unused]] ssize_t n = ::write(run_->stopEvent.Fd(), &one, sizeof one);
    }
    // Requests waiting for a parent still being checked end with their
    // connections.
    mapped_.Abandon();

    const int looks = settings_.terminateWaitMs / 250;
    // A restart does not wait again for connections an earlier stop gave up
    // on; the last stop waits for them all.
    const auto running = [this, waitFor, run = run_] {
        return waitFor == StopWaitsFor::ThisRun ? run->running : running_;
    };
    std::unique_lock lock(workersLock_);
    for (int look = 0; running() > 0; ++look) {
        if (look >= looks) {
            stopping_ = false;
            throw TerminateTimeout();
        }
        allEnded_.wait_for(lock, kStopLook, [&running] { return running() == 0; });
        if (look == 0 && running() > 0) {
            // Something is stuck on its upstream side (a write to an origin
            // that reads nothing): close that side as well.
            lock.unlock();
            WakeAll(true);
            lock.lock();
        }
    }
    stopping_ = false;
}

}  // namespace vs::net
