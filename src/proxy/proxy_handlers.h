#pragma once
// The proxy's connection handlers: a session's life from the browser's
// connect to the end of the connection.

#include "net/connection_server.h"
#include "proxy/engine.h"
#include "proxy/session.h"

namespace vs::proxy {

class ProxyHandlers : public net::ConnectionEvents {
public:
    explicit ProxyHandlers(Engine& engine) : engine_(engine) {}

    void OnConnect(net::Worker& worker) override;
    void OnOutboundConnect(net::Worker& worker, const std::exception* error) override;
    void OnOutboundDisconnect(net::Worker& worker) override;
    void OnDisconnect(net::Worker& worker) override;
    bool FromThisMachine(std::string_view address) const override;
    void OnShortageBegins(net::Shortage what, std::size_t open) override;
    void OnShortageEnds(net::Shortage what, std::size_t lost) override;

private:
    // A request that got no answer yet, while the application runs: the
    // browser is owed the 502 page.
    bool OwesBadGateway(const Exchange& exchange) const;

    Engine& engine_;
};

}  // namespace vs::proxy
