#pragma once
// The proxy's connection handlers: the connection record's life from the
// browser's connect to the end of the connection, the first request's
// processing and the choice of where it goes.

#include "proxy/connection_server.h"
#include "proxy/engine.h"
#include "proxy/intercept.h"

namespace vs::proxy {

class ProxyHandlers : public ConnectionEvents {
public:
    explicit ProxyHandlers(Engine& engine) : engine_(engine) {}

    void OnConnect(Worker& worker) override;
    void OnOutboundConnect(Worker& worker, const std::exception* error) override;
    void OnOutboundDisconnect(Worker& worker) override;
    void OnDisconnect(Worker& worker) override;

private:
    Engine& engine_;
};

// Text of the answer the proxy gives a browser's CONNECT in direct mode.
inline constexpr std::string_view kTunnelEstablished =
    "HTTP/1.0 200 Connection established\r\n\r\n";

// Chooses where the connection's first request goes (local answer, parent
// proxy, or directly to the URL's host with the request line reduced).
void ChooseTarget(TMyIntercept& record, OutboundConnection& outbound, const Settings& settings);

}  // namespace vs::proxy
