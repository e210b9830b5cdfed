#include "net/socket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <linux/sockios.h>
#include <net/if.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <memory>
#include <vector>

#include "net/host_lookup.h"

namespace vs::net {

SocketError::SocketError(const std::string& what, int error)
    : std::runtime_error(what + ": " + std::strerror(error)), error_(error) {}

bool SocketError::OutOfDescriptors() const {
    return error_ == EMFILE || error_ == ENFILE;
}

Socket& Socket::operator=(Socket&& other) noexcept {
    if (this != &other) {
        Close();
        fd_ = other.Release();
    }
    return *this;
}

int Socket::Release() {
    int fd = fd_;
    fd_ = -1;
    return fd;
}

void Socket::Close() {
    if (fd_ >= 0) {
        ::close(fd_);
        fd_ = -1;
    }
}

void Socket::Shutdown() const {
    if (fd_ >= 0) {
        ::shutdown(fd_, SHUT_RDWR);
    }
}

void Socket::ShutdownInput() const {
    if (fd_ >= 0) {
        ::shutdown(fd_, SHUT_RD);
    }
}

namespace {

// A listening address as the socket calls take it; false when `address` is
// not a literal of either family.
bool ParseListenAddress(const std::string& address, std::uint16_t port, sockaddr_storage& out,
                        socklen_t& length) {
    out = {};
    auto* in6 = reinterpret_cast<sockaddr_in6*>(&out);
    if (::inet_pton(AF_INET6, address.c_str(), &in6->sin6_addr) == 1) {
        in6->sin6_family = AF_INET6;
        in6->sin6_port = htons(port);
        length = sizeof *in6;
        return true;
    }
    auto* in4 = reinterpret_cast<sockaddr_in*>(&out);
    if (::inet_pton(AF_INET, address.c_str(), &in4->sin_addr) == 1) {
        in4->sin_family = AF_INET;
        in4->sin_port = htons(port);
        length = sizeof *in4;
        return true;
    }
    return false;
}

}  // namespace

Socket ListenTcp(const std::string& address, std::uint16_t port, int backlog) {
    sockaddr_storage addr{};
    socklen_t length = 0;
    if (!ParseListenAddress(address, port, addr, length)) {
        throw SocketError("bad listen address " + address, EINVAL);
    }
    Socket s(::socket(addr.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!s.IsOpen()) {
        if (errno == EAFNOSUPPORT && address == kAnyAddress) {
            return ListenTcp("0.0.0.0", port, backlog);  // a kernel without IPv6
        }
        throw SocketError("socket", errno);
    }
    int on = 1;
    ::setsockopt(s.Fd(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    if (addr.ss_family == AF_INET6) {
        // One socket for both families, whatever the system's default.
        int off = 0;
        ::setsockopt(s.Fd(), IPPROTO_IPV6, IPV6_V6ONLY, &off, sizeof off);
    }
    if (::bind(s.Fd(), reinterpret_cast<sockaddr*>(&addr), length) != 0) {
        throw SocketError("bind", errno);
    }
    if (::listen(s.Fd(), backlog) != 0) {
        throw SocketError("listen", errno);
    }
    return s;
}

int MaxListenQueue() {
    std::ifstream in("/proc/sys/net/core/somaxconn");
    int queue = 0;
    if (in >> queue && queue > 0) {
        return queue;
    }
    return SOMAXCONN;
}

std::uint16_t LocalPort(const Socket& socket) {
    sockaddr_storage addr{};
    socklen_t len = sizeof addr;
    if (::getsockname(socket.Fd(), reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
        return 0;
    }
    if (addr.ss_family == AF_INET) {
        return ntohs(reinterpret_cast<sockaddr_in*>(&addr)->sin_port);
    }
    return ntohs(reinterpret_cast<sockaddr_in6*>(&addr)->sin6_port);
}

std::string LocalEndpoint(const Socket& socket) {
    sockaddr_storage addr{};
    socklen_t len = sizeof addr;
    if (::getsockname(socket.Fd(), reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
        return {};
    }
    char text[INET6_ADDRSTRLEN] = {};
    std::string endpoint;
    if (addr.ss_family == AF_INET6) {
        ::inet_ntop(AF_INET6, &reinterpret_cast<sockaddr_in6*>(&addr)->sin6_addr, text,
                    sizeof text);
        endpoint.append("[").append(text).append("]");
    } else {
        ::inet_ntop(AF_INET, &reinterpret_cast<sockaddr_in*>(&addr)->sin_addr, text, sizeof text);
        endpoint.append(text);
    }
    return endpoint.append(":").append(std::to_string(LocalPort(socket)));
}

std::string PeerAddress(const Socket& socket) {
    sockaddr_storage addr{};
    socklen_t len = sizeof addr;
    if (::getpeername(socket.Fd(), reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
        return {};
    }
    return AddressText(addr);
}

std::string AddressText(const sockaddr_storage& addr) {
    char text[INET6_ADDRSTRLEN] = {};
    if (addr.ss_family == AF_INET) {
        ::inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in*>(&addr)->sin_addr, text,
                    sizeof text);
    } else if (addr.ss_family == AF_INET6) {
        const auto* in6 = reinterpret_cast<const sockaddr_in6*>(&addr);
        if (IN6_IS_ADDR_V4MAPPED(&in6->sin6_addr)) {
            ::inet_ntop(AF_INET, &in6->sin6_addr.s6_addr[12], text, sizeof text);
        } else {
            ::inet_ntop(AF_INET6, &in6->sin6_addr, text, sizeof text);
            if (IN6_IS_ADDR_LINKLOCAL(&in6->sin6_addr) && in6->sin6_scope_id != 0) {
                // Its link too: the same address on another link is another
                // machine, which must neither pass for this host nor for a user.
                char name[IF_NAMESIZE] = {};
                return std::string(text) + '%' +
                       (::if_indextoname(in6->sin6_scope_id, name) != nullptr
                            ? std::string(name)
                            : std::to_string(in6->sin6_scope_id));
            }
        }
    }
    return text;
}

namespace {

struct AddrInfoDeleter {
    void operator()(addrinfo* list) const { ::freeaddrinfo(list); }
};

// One address to try, as getaddrinfo gave it.
struct Target {
    sockaddr_storage address{};
    socklen_t length = 0;
    int family = AF_UNSPEC;
};

void AddTargets(const addrinfo* list, std::vector<Target>& targets) {
    for (const addrinfo* ai = list; ai != nullptr; ai = ai->ai_next) {
        Target target;
        std::memcpy(&target.address, ai->ai_addr, ai->ai_addrlen);
        target.length = ai->ai_addrlen;
        target.family = ai->ai_family;
        targets.push_back(target);
    }
}

// The first address's family, then the other's, by turns: a host whose
// IPv6 addresses all lead nowhere is reached over IPv4 after the first of
// them rather than after the last.
std::vector<Target> ByTurns(const std::vector<Target>& targets) {
    if (targets.empty()) {
        return {};
    }
    std::vector<Target> first, other;
    for (const Target& target : targets) {
        (target.family == targets.front().family ? first : other).push_back(target);
    }
    std::vector<Target> turns;
    for (std::size_t i = 0; i < std::max(first.size(), other.size()); ++i) {
        for (const auto* list : {&first, &other}) {
            if (i < list->size()) {
                turns.push_back((*list)[i]);
            }
        }
    }
    return turns;
}

// Starts a non-blocking connect; an open socket whose connect is under way
// or done (`done`), or none with `error` set.
Socket StartConnect(const Target& target, bool& done, int& error) {
    Socket s(::socket(target.family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (!s.IsOpen()) {
        error = errno;
        return {};
    }
    done =
        ::connect(s.Fd(), reinterpret_cast<const sockaddr*>(&target.address), target.length) == 0;
    if (!done && errno != EINPROGRESS) {
        error = errno;
        return {};
    }
    return s;
}

Socket Connected(Socket s) {
    int flags = ::fcntl(s.Fd(), F_GETFL);
    ::fcntl(s.Fd(), F_SETFL, flags & ~O_NONBLOCK);
    int on = 1;
    ::setsockopt(s.Fd(), IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    return s;
}

// How long an address may keep quiet before the next one is tried beside
// it, as browsers do.
constexpr int kNextAttemptMs = 250;

// Connects to the first of `targets` that accepts. An address that neither
// accepts nor refuses within a quarter of a second (an IPv6 route that goes
// nowhere, a host that is down) gets company: the next address is tried
// beside it and the first connection made wins. One at a time, each such
// address would cost the kernel's whole connect time-out, over two minutes,
// before the next was tried. `error` tells why none connected; ECANCELED
// when `cancelFd` became readable.
Socket ConnectFirst(const std::vector<Target>& targets, int cancelFd, int& error) {
    const std::vector<Target> turns = ByTurns(targets);
    std::vector<Socket> pending;
    std::size_t next = 0;
    for (bool startNext = true;;) {
        while (startNext && next < turns.size()) {
            bool done = false;
            Socket s = StartConnect(turns[next++], done, error);
            if (done) {
                return Connected(std::move(s));
            }
            if (s.IsOpen()) {
                pending.push_back(std::move(s));
                break;
            }
            if (error == EMFILE || error == ENFILE) {
                return {};  // no other address would get a socket either
            }
        }
        if (pending.empty()) {
            return {};
        }
        std::vector<pollfd> fds;
        for (const Socket& s : pending) {
            fds.push_back({s.Fd(), POLLOUT, 0});
        }
        if (cancelFd >= 0) {
            fds.push_back({cancelFd, POLLIN, 0});
        }
        const int ready = ::poll(fds.data(), fds.size(), next < turns.size() ? kNextAttemptMs : -1);
        if (ready < 0 && errno != EINTR) {
            throw SocketError("poll", errno);
        }
        if (cancelFd >= 0 && ready > 0 && fds.back().revents != 0) {
            error = ECANCELED;
            return {};
        }
        // The wait ran out: the next address joins the ones under way. A
        // refusal is an answer, and its successor need not wait its turn.
        startNext = ready == 0;
        for (std::size_t i = pending.size(); ready > 0 && i-- > 0;) {
            if (fds[i].revents == 0) {
                continue;
            }
            int soError = 0;
            socklen_t len = sizeof soError;
            ::getsockopt(pending[i].Fd(), SOL_SOCKET, SO_ERROR, &soError, &len);
            if (soError == 0) {
                return Connected(std::move(pending[i]));
            }
            error = soError;
            pending.erase(pending.begin() + static_cast<std::ptrdiff_t>(i));
            startNext = true;
        }
    }
}

}  // namespace

Socket ConnectTcp(const std::string& host, int port, int cancelFd) {
    if (port <= 0 || port > 65535) {
        throw SocketError("connect " + host + ":" + std::to_string(port), EINVAL);
    }
    if (IsLocalhostName(host)) {  // a parent on this machine, named so
        return ConnectTcp(LocalhostAddresses(), port, cancelFd);
    }
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    // A literal address first: asking which address families the machine
    // has configured (AI_ADDRCONFIG) costs a netlink round trip per
    // connection, and a parent proxy is usually given by its address.
    hints.ai_flags = AI_NUMERICHOST | AI_NUMERICSERV;
    addrinfo* raw = nullptr;
    std::string service = std::to_string(port);
    int rc = ::getaddrinfo(host.c_str(), service.c_str(), &hints, &raw);
    if (rc == EAI_NONAME) {
        hints.ai_flags = AI_ADDRCONFIG | AI_NUMERICSERV;
        rc = ::getaddrinfo(host.c_str(), service.c_str(), &hints, &raw);
    }
    if (rc != 0) {
        throw std::runtime_error("resolve " + host + ": " + ::gai_strerror(rc));
    }
    std::unique_ptr<addrinfo, AddrInfoDeleter> list(raw);
    std::vector<Target> targets;
    AddTargets(list.get(), targets);
    int error = EHOSTUNREACH;
    if (Socket s = ConnectFirst(targets, cancelFd, error); s.IsOpen()) {
        return s;
    }
    throw SocketError("connect " + host + ":" + service, error);
}

Socket ConnectTcp(const std::vector<std::string>& addresses, int port, int cancelFd) {
    const std::string service = std::to_string(port);
    if (port <= 0 || port > 65535) {
        throw SocketError("connect :" + service, EINVAL);
    }
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICHOST | AI_NUMERICSERV;
    std::vector<Target> targets;
    for (const std::string& address : addresses) {
        addrinfo* raw = nullptr;
        if (::getaddrinfo(address.c_str(), service.c_str(), &hints, &raw) == 0) {
            std::unique_ptr<addrinfo, AddrInfoDeleter> ai(raw);
            AddTargets(ai.get(), targets);
        }
    }
    int error = EHOSTUNREACH;
    if (Socket s = ConnectFirst(targets, cancelFd, error); s.IsOpen()) {
        return s;
    }
    const std::string first = addresses.empty() ? std::string() : addresses.front();
    throw SocketError("connect " + first + " port " + service, error);
}

std::optional<std::size_t> ReceiveUnlessReset(const Socket& socket, char* data,
                                              std::size_t capacity) {
    for (;;) {
        ssize_t n = ::recv(socket.Fd(), data, capacity, 0);
        if (n >= 0) {
            return static_cast<std::size_t>(n);
        }
        if (errno == EINTR) {
            continue;
        }
        if (errno == ECONNRESET || errno == ECONNABORTED || errno == ENOTCONN || errno == EPIPE ||
            errno == ETIMEDOUT) {
            return std::nullopt;
        }
        throw SocketError("recv", errno);
    }
}

std::size_t ReceiveSome(const Socket& socket, char* data, std::size_t capacity) {
    return ReceiveUnlessReset(socket, data, capacity).value_or(0);
}

void CloseWithReset(const Socket& socket) {
    const linger abortive{1, 0};
    ::setsockopt(socket.Fd(), SOL_SOCKET, SO_LINGER, &abortive, sizeof abortive);
}

std::optional<std::chrono::microseconds> SendLimit(const Socket& socket) {
    timeval limit{};
    socklen_t size = sizeof limit;
    if (::getsockopt(socket.Fd(), SOL_SOCKET, SO_SNDTIMEO, &limit, &size) != 0 ||
        (limit.tv_sec == 0 && limit.tv_usec == 0)) {
        return std::nullopt;
    }
    return std::chrono::seconds(limit.tv_sec) + std::chrono::microseconds(limit.tv_usec);
}

std::optional<int> QueuedToSend(const Socket& socket) {
    int queued = 0;
    if (::ioctl(socket.Fd(), SIOCOUTQ, &queued) != 0) {
        return std::nullopt;
    }
    return queued;
}

bool WaitToSend(const Socket& socket, std::chrono::steady_clock::time_point& lastMoved) {
    const std::optional<std::chrono::microseconds> patience = SendLimit(socket);
    // Room is told only once a third of the buffer is free: a reader slower
    // than that within the limit still takes bytes, which the queue's
    // shrinking tells, looked at now and then.
    constexpr int kLookMs = 250;
    std::optional<int> queued;
    while (true) {
        int wait = -1;
        if (patience) {
            if (const std::optional<int> now = QueuedToSend(socket)) {
                if (queued && *now < *queued) {
                    lastMoved = std::chrono::steady_clock::now();
                }
                queued = now;
            }
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(
                lastMoved + *patience - std::chrono::steady_clock::now());
            if (left.count() <= 0) {
                return false;
            }
            wait =
                static_cast<int>(std::min<std::chrono::milliseconds::rep>(left.count(), kLookMs));
        }
        pollfd ready{socket.Fd(), POLLOUT, 0};
        const int n = ::poll(&ready, 1, wait);
        if (n > 0 || (n < 0 && errno != EINTR)) {
            return true;  // room, or an error the next send tells
        }
    }
}

void SendAll(const Socket& socket, std::string_view bytes, std::size_t piece) {
    // Without blocking in the send: a blocking one that moves a little sits
    // out its whole time-out all the same, so a browser that stopped reading
    // would be let go only after several limits.
    auto lastMoved = std::chrono::steady_clock::now();
    while (!bytes.empty()) {
        ssize_t n = ::send(socket.Fd(), bytes.data(), std::min(bytes.size(), piece),
                           MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n < 0) {
            if (errno == EINTR ||
                ((errno == EAGAIN || errno == EWOULDBLOCK) && WaitToSend(socket, lastMoved))) {
                continue;
            }
            throw SocketError("send", errno);
        }
        lastMoved = std::chrono::steady_clock::now();
        bytes.remove_prefix(static_cast<std::size_t>(n));
    }
}

NonBlockingWhile::NonBlockingWhile(const Socket& socket)
    : fd_(socket.Fd()), flags_(::fcntl(fd_, F_GETFL)) {
    if (flags_ >= 0 && (flags_ & O_NONBLOCK) == 0) {
        ::fcntl(fd_, F_SETFL, flags_ | O_NONBLOCK);
    }
}

NonBlockingWhile::~NonBlockingWhile() {
    if (flags_ >= 0 && (flags_ & O_NONBLOCK) == 0) {
        ::fcntl(fd_, F_SETFL, flags_);
    }
}

void SetSendTimeout(const Socket& socket, std::chrono::milliseconds limit) {
    const auto ms = std::max<std::chrono::milliseconds::rep>(limit.count(), 0);
    const timeval timeout{static_cast<time_t>(ms / 1000),
                          static_cast<suseconds_t>(ms % 1000 * 1000)};
    ::setsockopt(socket.Fd(), SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
}

void SendAllWithin(const Socket& socket, std::string_view bytes, std::chrono::milliseconds patience,
                   const std::function<bool()>& abandon) {
    constexpr std::chrono::milliseconds kLook(250);
    auto waited = std::chrono::milliseconds::zero();
    while (!bytes.empty()) {
        ssize_t n = ::send(socket.Fd(), bytes.data(), std::min(bytes.size(), kBlockSize),
                           MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n >= 0) {
            bytes.remove_prefix(static_cast<std::size_t>(n));
            waited = std::chrono::milliseconds::zero();
            continue;
        }
        if (errno == EINTR) {
            continue;
        }
        if (errno != EAGAIN && errno != EWOULDBLOCK) {
            throw SocketError("send", errno);
        }
        if (abandon()) {
            throw SocketError("send", ECANCELED);
        }
        if (patience.count() > 0 && waited >= patience) {
            throw SocketError("send", ETIMEDOUT);
        }
        const auto look = patience.count() > 0 ? std::min(kLook, patience - waited) : kLook;
        pollfd room{socket.Fd(), POLLOUT, 0};
        const int ready = ::poll(&room, 1, static_cast<int>(look.count()));
        if (ready == 0) {
            waited += look;
        }
        if (ready < 0 && errno != EINTR) {
            throw SocketError("poll", errno);
        }
    }
}

}  // namespace vs::net
