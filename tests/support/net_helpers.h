#pragma once
// Real loopback peers for the tests: a threaded TCP server, a small HTTP
// origin that records what reaches it, and blocking client helpers.

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "net/socket.h"

namespace vs::test {

// Accepts on 127.0.0.1 and runs `serve` for each connection on a thread of
// its own. The destructor closes everything and joins.
class LoopbackServer {
public:
    using Serve = std::function<void(net::Socket&)>;
    explicit LoopbackServer(Serve serve);
    ~LoopbackServer();
    std::uint16_t Port() const { return port_; }
    int Accepted() const { return accepted_; }

private:
    Serve serve_;
    net::Socket listener_;
    std::uint16_t port_ = 0;
    std::atomic<int> accepted_{0};
    std::mutex lock_;
    std::vector<int> open_;  // one per connection thread not yet ended
    std::condition_variable allEnded_;
    std::thread acceptor_;
};

inline std::string LoopbackUrl(std::uint16_t port, std::string_view path) {
    return "http://127.0.0.1:" + std::to_string(port) + std::string(path);
}

// The bytes a body of n bytes consists of: position-dependent so that a
// lost, doubled or reordered block shows.
char BodyByte(std::uint64_t position);
std::string MakeBody(std::size_t size);

// An HTTP/1.1 origin with keep-alive. "/size/N" answers N body bytes of
// MakeBody ("/size/N/close", then closes), "/close" answers and closes, "/silent" closes without
// answer,
// "/cuthead" closes within its answer's head, "/nohttp" answers bytes that
// are no HTTP and closes, "/refuse" answers 413 and closes with the request's
// body unread, "/bighead" answers with a head
// of 300,000 bytes;
// anything else answers "hello" with an "X-Port" field naming the origin's
// port. Each request's header block is recorded.
class HttpOrigin {
public:
    HttpOrigin();
    std::uint16_t Port() const { return server_.Port(); }
    std::string Url(std::string_view path) const { return LoopbackUrl(Port(), path); }
    std::vector<std::string> Requests() const;
    int Connections() const { return server_.Accepted(); }

private:
    void Serve(net::Socket& socket);
    mutable std::mutex lock_;
    std::vector<std::string> requests_;
    LoopbackServer server_;
};

net::Socket ConnectLoopback(std::uint16_t port);
void SendText(const net::Socket& socket, std::string_view text);
// Reads until the peer closes (or `limit` bytes).
std::string ReadAll(const net::Socket& socket, std::size_t limit = SIZE_MAX);
// A proxy that failed to close or to relay shows as a failed read or write
// rather than a test hanging until ctest gives up.
void LimitWaits(const net::Socket& socket);
// Reads to the end; `reset` tells whether it came as a reset rather than an
// orderly end (a cut answer must not look whole).
struct ReadToEndResult {
    std::string bytes;
    bool reset = false;
};
ReadToEndResult ReadToEnd(const net::Socket& socket);
// Reads until `text` has arrived; returns everything read. Byte by byte, so
// that whatever follows stays unread.
std::string ReadUntil(const net::Socket& socket, std::string_view text);
// Reads exactly n bytes (fewer only when the peer closes).
inline std::string ReadExactly(const net::Socket& socket, std::size_t n) {
    return ReadAll(socket, n);
}
// Reads one HTTP answer with Content-Length: header and body.
std::string ReadResponse(const net::Socket& socket);

}  // namespace vs::test
