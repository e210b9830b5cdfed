#include "proxy/host_services.h"

#include "proxy/generated_pages.h"

namespace vs::proxy {

HostService HostServiceAt(const net::HostLookup& hosts, const std::vector<std::string>& addresses,
                          int port, int proxyPort) {
    for (const std::string& address : addresses) {
        if (net::ReachesLoopback(address)) {
            return {HostServiceKind::kLoopback, address};
        }
        // Only the port the proxy listens on: the host's other services on
        // its LAN addresses are as reachable without the proxy.
        if (port == proxyPort && hosts.IsOwnAddress(address)) {
            return {HostServiceKind::kProxyItself, address};
        }
    }
    return {};
}

std::string HostServicePage(std::string_view url, const HostService& service, int port) {
    const bool ipv6 = service.address.find(':') != std::string::npos;
    std::string reason = "<B>" + EscapeHtml(service.address);
    if (service.kind == HostServiceKind::kProxyItself) {
        if (ipv6) {  // "[fd00::1]:8080", not one longer address
            reason.insert(3, "[");
            reason += ']';
        }
        reason += ':';
        reason += std::to_string(port);
        reason += "</B> is this proxy itself";
    } else {
        reason += "</B> is a loopback address of the proxy's host";
    }
    return ForbiddenPage(url, std::string_view(reason));
}

}  // namespace vs::proxy
