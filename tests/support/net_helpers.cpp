#include "support/net_helpers.h"

#include <sys/socket.h>

#include <algorithm>
#include <cstdlib>

namespace vs::test {

LoopbackServer::LoopbackServer(Serve serve) : serve_(std::move(serve)) {
    listener_ = net::ListenTcp("127.0.0.1", 0, 128);
    port_ = net::LocalPort(listener_);
    acceptor_ = std::thread([this] {
        for (;;) {
            int fd = ::accept4(listener_.Fd(), nullptr, nullptr, SOCK_CLOEXEC);
            if (fd < 0) {
                if (errno == EINTR || errno == ECONNABORTED) {
                    continue;
                }
                return;
            }
            ++accepted_;
            std::lock_guard guard(lock_);
            open_.push_back(fd);
            // Detached, and waited for through open_ instead of kept: a process
            // that serves for hours (the soak's origin) would otherwise hold
            // every finished thread's stack until the kernel refuses to map
            // another.
            std::thread([this, fd] {
                net::Socket socket(fd);
                try {
                    serve_(socket);
                } catch (const std::exception&) {
                }
                std::lock_guard guard(lock_);
                open_.erase(std::find(open_.begin(), open_.end(), fd));
                socket.Close();
                if (open_.empty()) {
                    allEnded_.notify_all();
                }
            }).detach();
        }
    });
}

LoopbackServer::~LoopbackServer() {
    listener_.Shutdown();
    acceptor_.join();
    std::unique_lock guard(lock_);
    for (int fd : open_) {
        ::shutdown(fd, SHUT_RDWR);
    }
    allEnded_.wait(guard, [this] { return open_.empty(); });
}

char BodyByte(std::uint64_t position) {
    return static_cast<char>('a' + (position * 7 + position / 4093) % 26);
}

std::string MakeBody(std::size_t size) {
    std::string body(size, '\0');
    for (std::size_t i = 0; i < size; ++i) {
        body[i] = BodyByte(i);
    }
    return body;
}

HttpOrigin::HttpOrigin() : server_([this](net::Socket& s) { Serve(s); }) {}

std::vector<std::string> HttpOrigin::Requests() const {
    std::lock_guard guard(lock_);
    return requests_;
}

void HttpOrigin::Serve(net::Socket& socket) {
    for (;;) {
        const std::string header = ReadUntil(socket, "\r\n\r\n");
        if (!header.ends_with("\r\n\r\n")) {
            return;
        }
        {
            std::lock_guard guard(lock_);
            requests_.push_back(header);
        }
        std::string target = header.substr(header.find(' ') + 1);
        target = target.substr(0, target.find(' '));
        if (target.ends_with("/silent")) {
            return;
        }
        if (target.ends_with("/cuthead")) {
            net::SendAll(socket, "HTTP/1.1 200 OK\r\nContent-Le");
            return;
        }
        if (target.ends_with("/refuse")) {  // an upload refused unread, then the close
            net::SendAll(socket,
                         "HTTP/1.1 413 Payload Too Large\r\nContent-Length: 5\r\n"
                         "Connection: close\r\n\r\nlarge");
            return;
        }
        if (target.ends_with("/nohttp")) {
            net::SendAll(socket, std::string("no status line\0\x01 here", 21));
            return;
        }
        if (target.ends_with("/bighead")) {  // longer than any head the proxy takes
            net::SendAll(socket, "HTTP/1.1 200 OK\r\n" + std::string(300000, 'x') +
                                     ": y\r\nContent-Length: 5\r\n\r\nhello");
            continue;
        }
        std::size_t sizeAt = target.find("/size/");
        if (sizeAt != std::string::npos) {
            std::size_t size = std::strtoull(target.c_str() + sizeAt + 6, nullptr, 10);
            // The head goes with the first bytes of the body: sent apart, the
            // body would wait for the head's delayed acknowledgement.
            std::string head = "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(size) +
                               "\r\nContent-Type: application/octet-stream\r\n\r\n";
            std::string chunk;
            for (std::size_t sent = 0; sent < size || !head.empty(); sent += chunk.size()) {
                chunk.resize(std::min<std::size_t>(1 << 20, size - sent));
                for (std::size_t i = 0; i < chunk.size(); ++i) {
                    chunk[i] = BodyByte(sent + i);
                }
                net::SendAll(socket, head + chunk);
                head.clear();
            }
            if (target.ends_with("/close")) {
                return;
            }
            continue;
        }
        net::SendAll(socket, "HTTP/1.1 200 OK\r\nX-Port: " + std::to_string(Port()) +
                                 "\r\nContent-Length: 5\r\n\r\nhello");
        if (target.ends_with("/close")) {
            return;
        }
    }
}

net::Socket ConnectLoopback(std::uint16_t port) {
    return net::ConnectTcp("127.0.0.1", port);
}

void SendText(const net::Socket& socket, std::string_view text) {
    net::SendAll(socket, text);
}

std::string ReadAll(const net::Socket& socket, std::size_t limit) {
    std::string out;
    char block[65536];
    while (out.size() < limit) {
        std::size_t n = net::ReceiveSome(socket, block, std::min(sizeof block, limit - out.size()));
        if (n == 0) {
            break;
        }
        out.append(block, n);
    }
    return out;
}

void LimitWaits(const net::Socket& socket) {
    const timeval limit{20, 0};
    ::setsockopt(socket.Fd(), SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    ::setsockopt(socket.Fd(), SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
}

ReadToEndResult ReadToEnd(const net::Socket& socket) {
    ReadToEndResult result;
    char block[65536];
    std::optional<std::size_t> n;
    while ((n = net::ReceiveUnlessReset(socket, block, sizeof block)).value_or(0) > 0) {
        result.bytes.append(block, *n);
    }
    result.reset = !n.has_value();
    return result;
}

std::string ReadUntil(const net::Socket& socket, std::string_view text) {
    std::string out;
    char c;
    while (out.find(text) == std::string::npos) {
        if (net::ReceiveSome(socket, &c, 1) == 0) {
            break;
        }
        out += c;
    }
    return out;
}

std::string ReadResponse(const net::Socket& socket) {
    std::string header = ReadUntil(socket, "\r\n\r\n");
    std::size_t at = header.find("Content-Length: ");
    if (at == std::string::npos) {
        return header;
    }
    std::size_t length = std::strtoull(header.c_str() + at + 16, nullptr, 10);
    return header + ReadExactly(socket, length);
}

}  // namespace vs::test
