// A minimal HTTP origin for benchmarks: answers "GET /bytes/N" with N bytes
// from a preallocated buffer as fast as the socket takes them, keep-alive.
// Usage: bench_origin PORT

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

#include "net/socket.h"

namespace {

const std::string& Payload() {
    static const std::string payload(1 << 20, 'v');
    return payload;
}

void Serve(vs::net::Socket socket) {
    std::string pending;
    char block[16384];
    for (;;) {
        std::size_t end;
        while ((end = pending.find("\r\n\r\n")) == std::string::npos) {
            std::size_t n = vs::net::ReceiveSome(socket, block, sizeof block);
            if (n == 0) {
                return;
            }
            pending.append(block, n);
        }
        std::string header = pending.substr(0, end);
        pending.erase(0, end + 4);
        std::size_t at = header.find("/bytes/");
        unsigned long long size =
            at == std::string::npos ? 5 : std::strtoull(&header[at + 7], nullptr, 10);
        std::string head =
            "HTTP/1.1 200 OK\r\nContent-Type: application/octet-stream\r\n"
            "Cache-Control: no-store\r\nContent-Length: " +
            std::to_string(size) + "\r\n\r\n";
        try {
            vs::net::SendAll(socket, head);
            while (size > 0) {
                std::size_t piece = std::min<unsigned long long>(size, Payload().size());
                ssize_t sent = ::send(socket.Fd(), Payload().data(), piece, MSG_NOSIGNAL);
                if (sent < 0) {
                    return;
                }
                size -= static_cast<unsigned long long>(sent);
            }
        } catch (const std::exception&) {
            return;
        }
    }
}

}  // namespace

int main(int argc, char** argv) {
    int port = argc > 1 ? std::atoi(argv[1]) : 18080;
    vs::net::Socket listener =
        vs::net::ListenTcp("127.0.0.1", static_cast<std::uint16_t>(port), 512);
    std::printf("bench_origin listening on 127.0.0.1:%d\n", port);
    std::fflush(stdout);
    for (;;) {
        int fd = ::accept(listener.Fd(), nullptr, nullptr);
        if (fd >= 0) {
            std::thread(Serve, vs::net::Socket(fd)).detach();
        }
    }
}
