#pragma once
// Thin RAII layer over POSIX TCP sockets. Everything blocks; waiting on two
// sockets at once is done with poll() by the caller.

#include <sys/socket.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace vs::net {

// A socket failure with the operation that failed and errno's text.
class SocketError : public std::runtime_error {
public:
    SocketError(const std::string& what, int error);
    int Error() const { return error_; }
    // The process or the whole system has no descriptor left (EMFILE,
    // ENFILE): nothing wrong with the peer, and it passes.
    bool OutOfDescriptors() const;

private:
    int error_;
};

// Sole owner of one file descriptor.
class Socket {
public:
    Socket() = default;
    explicit Socket(int fd) : fd_(fd) {}
    Socket(Socket&& other) noexcept : fd_(other.Release()) {}
    Socket& operator=(Socket&& other) noexcept;
    Socket(const Socket&) = delete;
    Socket& operator=(const Socket&) = delete;
    ~Socket() { Close(); }

    int Fd() const { return fd_; }
    bool IsOpen() const { return fd_ >= 0; }
    int Release();
    void Close();

    // Wakes anything blocked on this socket in another thread (its reads see
    // end of stream, its writes fail) without giving the descriptor up.
    void Shutdown() const;
    // Wakes a reader blocked on it in another thread, telling the peer
    // nothing.
    void ShutdownInput() const;

private:
    int fd_ = -1;
};

// Largest amount one read asks for and one write sends.
inline constexpr std::size_t kBlockSize = 32768;

// Every interface of both families: IPv4 browsers appear with IPv4-mapped
// addresses, which PeerAddress gives in their dotted form.
inline constexpr std::string_view kAnyAddress = "::";

// Listens on address:port (an IPv4 or IPv6 literal) with SO_REUSEADDR.
// kAnyAddress falls back to IPv4's "0.0.0.0" on a machine without IPv6.
// Throws SocketError.
Socket ListenTcp(const std::string& address, std::uint16_t port, int backlog);

// The longest listen queue the system grants (net.core.somaxconn): a burst
// of connections beyond the queue loses SYNs, and their browsers retry only
// after a second or more.
int MaxListenQueue();

// The port a bound socket actually got (for port 0 in tests).
std::uint16_t LocalPort(const Socket& socket);

// Address and port a socket is bound to, "[::]:8080" or "0.0.0.0:8080".
std::string LocalEndpoint(const Socket& socket);

// Peer address as text: dotted decimal for IPv4 (also IPv4-mapped IPv6), a
// link-local IPv6 address with its link ("fe80::2%eth0").
std::string PeerAddress(const Socket& socket);
// The same for an address accept() gave: a browser that reset at once has
// none getpeername could give.
std::string AddressText(const sockaddr_storage& addr);

// Resolves host (IPv4 or IPv6, names through getaddrinfo) and connects to the
// first address that accepts. While connecting, the wait also watches
// `cancelFd` (when >= 0): once it is readable the attempt is abandoned, so a
// stopping server never waits for an operating-system connect time-out.
Socket ConnectTcp(const std::string& host, int port, int cancelFd = -1);
// The same for addresses resolved beforehand (numeric texts, as
// HostLookup::Resolve gives them): no name is looked up again, so the
// connect goes where the caller checked it would.
Socket ConnectTcp(const std::vector<std::string>& addresses, int port, int cancelFd = -1);

// One receive of at most `capacity` bytes into `data`. Returns the count;
// 0 means the peer closed. Interrupted calls are retried; a reset connection
// counts as closed.
std::size_t ReceiveSome(const Socket& socket, char* data, std::size_t capacity);
// The same, telling the peer's orderly close (0) from a connection it reset
// or that failed (nullopt): bytes running to the close end only in the
// first case.
std::optional<std::size_t> ReceiveUnlessReset(const Socket& socket, char* data,
                                              std::size_t capacity);
// The next close sends a reset instead of an orderly end, so the peer sees
// that what it received is not all there was.
void CloseWithReset(const Socket& socket);

// A peer that takes nothing for `limit` is given up on by SendAll and by
// WaitToSend; 0 waits for ever.
void SetSendTimeout(const Socket& socket, std::chrono::milliseconds limit);

// The limit SetSendTimeout set; nullopt when none.
std::optional<std::chrono::microseconds> SendLimit(const Socket& socket);
// The bytes the kernel holds for the peer, sent or not yet acknowledged.
std::optional<int> QueuedToSend(const Socket& socket);
// The bytes the peer has acknowledged over the connection's life; still
// told after a reset has emptied the queue.
std::optional<std::uint64_t> BytesAcknowledged(const Socket& socket);

// Waits until `socket` has room to send, or true at an error the next send
// tells; false once the peer has taken nothing for the limit set by
// SetSendTimeout since `lastMoved`, which bytes it takes meanwhile move on.
bool WaitToSend(const Socket& socket, std::chrono::steady_clock::time_point& lastMoved);

// Sends all bytes, in pieces of at most `piece`. Throws SocketError when the
// peer is gone, or EAGAIN when it took nothing for the send limit. Never
// raises SIGPIPE.
void SendAll(const Socket& socket, std::string_view bytes, std::size_t piece = kBlockSize);

// The socket does not block while this lives (a sendfile, which has no flag
// for it, then waits through WaitToSend).
class NonBlockingWhile {
public:
    explicit NonBlockingWhile(const Socket& socket);
    ~NonBlockingWhile();
    NonBlockingWhile(const NonBlockingWhile&) = delete;
    NonBlockingWhile& operator=(const NonBlockingWhile&) = delete;

private:
    int fd_;
    int flags_;
};

// The same, but a peer that takes nothing for `patience` (0: no limit) is
// given up on (SocketError ETIMEDOUT) rather than waited for without end,
// and the send is given up (ECANCELED) once `abandon` turns true, looked at
// every 250 ms while the peer takes nothing.
void SendAllWithin(const Socket& socket, std::string_view bytes, std::chrono::milliseconds patience,
                   const std::function<bool()>& abandon);

}  // namespace vs::net
