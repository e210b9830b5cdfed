// Apart from socket.cpp: the kernel's own tcp_info, which has the count of
// acknowledged bytes, cannot share a unit with the C library's older one.
#include <linux/tcp.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cstddef>

#include "net/socket.h"

namespace vs::net {

std::optional<std::uint64_t> BytesAcknowledged(const Socket& socket) {
    tcp_info info{};
    socklen_t size = sizeof info;
    if (::getsockopt(socket.Fd(), IPPROTO_TCP, TCP_INFO, &info, &size) != 0 ||
        size < offsetof(tcp_info, tcpi_bytes_acked) + sizeof info.tcpi_bytes_acked) {
        return std::nullopt;
    }
    return info.tcpi_bytes_acked;
}

}  // namespace vs::net
