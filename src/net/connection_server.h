#pragma once
// The mapped-port server: listens on one port, gives every accepted browser
// connection a pooled worker thread and one outbound connection, and relays
// bytes both ways until either side closes. It knows nothing of HTTP; all of
// that happens in the event handlers and the outbound connection's hooks.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <exception>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>

#include "net/bulk_mover.h"
#include "net/connection.h"
#include "net/worker_pool.h"

namespace vs::net {

class Worker;

// What makes the server turn browsers away or end their connections.
enum class Shortage {
    ConnectionCeiling,  // as many browser connections as allowed are open
    // As many as other machines may hold are open: the last eighth of the
    // ceiling is kept for browsers on this machine, so that one LAN host
    // opening connections until the ceiling cannot lock the desktop out.
    OthersShare,
    Descriptors,  // the process or the system has no descriptor left
    Threads,      // no worker thread could start (the account's thread limit)
};

// The handlers called at fixed points of a connection's life, all on the
// connection's worker thread.
class ConnectionEvents {
public:
    virtual ~ConnectionEvents() = default;
    // The outbound connection exists with the mapped host and port as its
    // target and is not connected yet.
    virtual void OnConnect(Worker& worker) = 0;
    // After the outbound connect: error is null on success.
    virtual void OnOutboundConnect(Worker& worker, const std::exception* error) = 0;
    // A relay step found the outbound connection closed.
    virtual void OnOutboundDisconnect(Worker& worker) = 0;
    // The worker ends its connection.
    virtual void OnDisconnect(Worker& worker) = 0;
    // Whether a browser at `address` sits on this machine. Asked on the
    // listener's thread, and only once other machines hold their share of
    // the ceiling.
    virtual bool FromThisMachine(std::string_view address) const { return false; }

    // A shortage began, with `open` browser connections: new ones are
    // closed at once or ended. Called once per episode, not per connection,
    // on the listener or a worker thread.
    virtual void OnShortageBegins(Shortage what, std::size_t open) {}
    // It is over (a connection was taken normally again); `lost` connections
    // were closed or ended by it.
    virtual void OnShortageEnds(Shortage what, std::size_t lost) {}
};

// One accepted browser connection and its outbound side.
class Worker {
public:
    explicit Worker(net::Socket client) : client_(std::move(client)) {}
    Connection& Client() { return client_; }
    OutboundConnection& Outbound() { return outbound_; }

private:
    // Declared first so that it is destroyed last: the client connection
    // owns the connection's record, which outlives the outbound side.
    Connection client_;
    OutboundConnection outbound_;
};

// Which connections a stop waits for.
enum class StopWaitsFor {
    ThisRun,          // a restart: not again for those an earlier stop left
    EveryConnection,  // the last stop, before the process ends
};

// Raised by Stop when a worker does not finish in time.
class TerminateTimeout : public std::runtime_error {
public:
    TerminateTimeout() : std::runtime_error("Terminate Thread Timeout") {}
};

struct ListenerSettings {
    std::string address{net::kAnyAddress};
    std::uint16_t port = 8080;  // 0 picks a free port (tests)
    int listenQueue = net::MaxListenQueue();
    int terminateWaitMs = 10000;
};

// How long browsers may hold a connection without using it, and how many
// may be connected at once; zero is no limit.
struct ConnectionLimits {
    // From the accept until the first request's head is complete.
    std::chrono::milliseconds firstRequest{60'000};
    // Nothing moved either way while no request waits for its answer: a
    // kept-alive connection between requests, or a silent tunnel.
    std::chrono::milliseconds idle{300'000};
    // Browser connections open at once; beyond it a new one is closed at
    // once rather than given a thread.
    std::size_t maxConnections = 4096;
    // The least a send that moves nothing waits for its reader, while the
    // idle limit is on, before it gives the reader up; the idle limit when
    // that is longer. A slow reader's kernel tells of room only once half
    // its buffer is free, minutes apart at a kilobyte a second: a short
    // limit for idle connections must not cut a download that goes on.
    std::chrono::milliseconds stalledReader{300'000};
};

class MappedPortServer {
public:
    explicit MappedPortServer(ConnectionEvents& events);
    MappedPortServer(const MappedPortServer&) = delete;
    MappedPortServer& operator=(const MappedPortServer&) = delete;
    ~MappedPortServer();

    // Takes effect at the next Start.
    void SetListener(const ListenerSettings& settings);
    // Takes effect at once: every wait of a worker reads them.
    void SetLimits(const ConnectionLimits& limits);
    ConnectionLimits Limits() const;
    // The parent proxy: the target every new outbound connection starts
    // with, and the one every connection's next request to the parent takes,
    // so it may change while the server runs.
    void SetMapped(std::string host, int port);
    // Requests for the parent wait until the next SetMapped (or a stop).
    void HoldMapped();

    // Binds and listens. Throws net::SocketError when the port cannot be
    // bound; the server then stays inactive.
    void Start();
    // Stops listening, closes every browser connection and waits, looking
    // every 250 ms, for the workers to end their connections: those of the
    // run now stopping for a restart, all of them (those an earlier stop
    // gave up on too) by default. Throws TerminateTimeout when some are
    // still running after terminateWaitMs.
    void Stop(StopWaitsFor waitFor = StopWaitsFor::EveryConnection);

    bool Active() const { return listener_.IsOpen(); }
    std::uint16_t BoundPort() const { return boundPort_; }
    // "[::]:8080" or "0.0.0.0:8080".
    const std::string& BoundEndpoint() const { return boundEndpoint_; }

    std::size_t ActiveConnections() const;
    std::size_t PoolThreads() const { return pool_.ThreadCount(); }
    std::size_t IdleThreads() const { return pool_.IdleCount(); }

private:
    // One episode of a shortage: begins with the first connection it costs,
    // ends when a connection is taken normally again.
    class Episode {
    public:
        // Counts `lost` connections; true when this begins the episode.
        bool Hit(std::size_t lost);
        // The connections it cost when this ended an episode.
        std::optional<std::size_t> End();

    private:
        std::atomic<bool> on_{false};
        std::atomic<std::size_t> lost_{0};
        std::atomic<std::chrono::steady_clock::rep> lastLoss_{0};
    };

    // One run, from a Start to its Stop, shared with the connections it
    // accepted: one that a stop gave up on still meets its own run's stop
    // event, never the next run's descriptor (or whatever reused its
    // number), and the next stop waits only for its own run's connections.
    struct Run {
        // Readable once the run stops: abandons outbound connects.
        net::Socket stopEvent;
        std::size_t running = 0;  // under workersLock_
    };

    void AcceptLoop();
    // The next connection's descriptor, or -1 once the listener is shut.
    int AcceptNext(sockaddr_storage& peer);
    // Out of descriptors: ends the connection waiting first in the queue.
    void ShedOneConnection();
    bool Stopping() const;
    enum class Admission {
        kAdmitted,
        kFromThisMachine,  // admitted into the share kept for this machine
        kOverCeiling,      // closed at once
        kOverOthersShare,  // closed at once: from another machine
    };
    // Accounts for an accepted connection from `address`, unless it is over
    // the ceiling or its machine's share of it.
    Admission Admit(std::string_view address);
    void ShortageOf(Shortage what, Episode& episode, std::size_t lost);
    void ShortageOver(Shortage what, Episode& episode);
    // `run`: the one that accepted the connection.
    void Serve(net::Socket client, std::string peer, std::shared_ptr<Run> run);
    void ConnectPhase(Worker& worker, int stopEvent);
    void RelayLoop(Worker& worker);
    // Ends a connection whose browser has taken longer than the first
    // request's limit over a later request's head.
    void CutSlowHead(Connection& client, const ConnectionIntercept* intercept);
    // Milliseconds until a later request's head under way runs past that
    // limit; -1 when none is under way or the limit is off.
    int HeadTimeLeftMs(const ConnectionIntercept* intercept) const;
    void EndConnection(Worker& worker);
    void WakeAll(bool outboundToo);
    void ConnectionEnded(Run& run);

    ConnectionEvents& events_;
    ListenerSettings settings_;
    std::uint16_t boundPort_ = 0;
    std::string boundEndpoint_;

    std::atomic<std::int64_t> firstRequestMs_;
    std::atomic<std::int64_t> idleMs_;
    std::atomic<std::size_t> maxConnections_;
    std::atomic<std::int64_t> stalledReaderMs_;
    std::atomic<std::int64_t> sendPatienceMs_;  // 0 while the idle limit is off
    Episode overCeiling_;
    Episode overOthersShare_;
    Episode outOfDescriptors_;
    Episode outOfThreads_;

    MappedTarget mapped_;

    net::Socket listener_;
    std::thread acceptThread_;
    std::shared_ptr<Run> run_;
    // Held for the moment descriptors run out: closed, it makes room to
    // accept the next connection only to close it, so that the browser is
    // told at once instead of waiting in the queue.
    net::Socket spare_;
    // Large move buffers for this server's connections: 64 of 4 MiB at most.
    net::BulkBudget bulkBudget_{64};

    mutable std::mutex workersLock_;
    std::condition_variable allEnded_;
    std::set<Worker*> workers_;
    std::size_t running_ = 0;  // accepted and not yet ended, in every run
    bool stopping_ = false;

    // Declared last so that it is destroyed first: its destructor waits for
    // every running connection, which still uses the members above.
    WorkerPool pool_;
};

}  // namespace vs::net
