#pragma once
// The mapped-port server: listens on one port, gives every accepted browser
// connection a pooled worker thread and one outbound connection, and relays
// bytes both ways until either side closes. It knows nothing of HTTP; all of
// that happens in the event handlers and the outbound connection's hooks.

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <exception>
#include <mutex>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>

#include "net/connection.h"
#include "net/worker_pool.h"

namespace vs::net {

class Worker;

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

// Raised by Stop when a worker does not finish in time.
class TerminateTimeout : public std::runtime_error {
public:
    TerminateTimeout() : std::runtime_error("Terminate Thread Timeout") {}
};

struct ListenerSettings {
    std::string address = "0.0.0.0";
    std::uint16_t port = 8080;  // 0 picks a free port (tests)
    int listenQueue = 32;
    int terminateWaitMs = 10000;
};

class MappedPortServer {
public:
    explicit MappedPortServer(ConnectionEvents& events);
    MappedPortServer(const MappedPortServer&) = delete;
    MappedPortServer& operator=(const MappedPortServer&) = delete;
    ~MappedPortServer();

    // Takes effect at the next Start.
    void SetListener(const ListenerSettings& settings);
    // The target every new outbound connection starts with (the parent
    // proxy); read by workers, so it may change while the server runs.
    void SetMapped(std::string host, int port);

    // Binds and listens. Throws net::SocketError when the port cannot be
    // bound; the server then stays inactive.
    void Start();
    // Stops listening, closes every browser connection and waits, looking
    // every 250 ms, for the workers to end their connections. Throws
    // TerminateTimeout when some are still running after terminateWaitMs.
    void Stop();

    bool Active() const { return listener_.IsOpen(); }
    std::uint16_t BoundPort() const { return boundPort_; }

    std::size_t ActiveConnections() const;
    std::size_t PoolThreads() const { return pool_.ThreadCount(); }
    std::size_t IdleThreads() const { return pool_.IdleCount(); }

private:
    void AcceptLoop();
    void Serve(net::Socket client);
    void ConnectPhase(Worker& worker);
    void RelayLoop(Worker& worker);
    void EndConnection(Worker& worker);
    void WakeAll(bool outboundToo);
    void ConnectionEnded();

    ConnectionEvents& events_;
    ListenerSettings settings_;
    std::uint16_t boundPort_ = 0;

    mutable std::mutex mappedLock_;
    std::string mappedHost_ = "127.0.0.1";
    int mappedPort_ = 80;

    net::Socket listener_;
    std::thread acceptThread_;
    // Readable while the server stops: abandons outbound connects.
    net::Socket stopEvent_;

    mutable std::mutex workersLock_;
    std::condition_variable allEnded_;
    std::set<Worker*> workers_;
    std::size_t running_ = 0;  // accepted and not yet ended
    bool stopping_ = false;

    // Declared last so that it is destroyed first: its destructor waits for
    // every running connection, which still uses the members above.
    WorkerPool pool_;
};

}  // namespace vs::net
