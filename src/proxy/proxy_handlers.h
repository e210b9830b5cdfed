#pragma once
// The proxy's connection handlers: a session's life from the browser's
// connect to the end of the connection.

#include "proxy/connection_server.h"
#include "proxy/engine.h"
#include "proxy/session.h"

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

}  // namespace vs::proxy
