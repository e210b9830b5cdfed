#pragma once
// The proxy host's own services: what listens on its loopback, and the
// proxy's own port. A browser elsewhere on the LAN reaching them through the
// proxy would get what the host keeps from the network (a database, a
// printer queue, a desktop session bound to 127.0.0.1), and a request the
// proxy sends to its own port comes back from the host itself, as from the
// desktop user. So they are for the desktop user only, unless a setting
// opens them to all.
//
// The decision is on the addresses the host name resolved to, not on its
// text: "localhost", "127.1", "[::ffff:127.0.0.1]" and any name that a name
// server points at 127.0.0.1 all lead to the loopback.

#include <string>
#include <string_view>
#include <vector>

#include "net/host_lookup.h"

namespace vs::proxy {

enum class HostServiceKind {
    kNone,
    kLoopback,     // an address on the host's loopback
    kProxyItself,  // one of the host's addresses, at the proxy's own port
};

struct HostService {
    HostServiceKind kind = HostServiceKind::kNone;
    std::string address;  // the address that made it one
};

// What a connect to `port` at any of `addresses` would reach; the first
// address that is one of the host's services decides.
HostService HostServiceAt(const net::HostLookup& hosts, const std::vector<std::string>& addresses,
                          int port, int proxyPort);

// The 403 page for a browser refused `service` for url.
std::string HostServicePage(std::string_view url, const HostService& service, int port);

}  // namespace vs::proxy
