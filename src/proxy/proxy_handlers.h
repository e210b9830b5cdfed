#pragma once
// The proxy's connection handlers: read the browser's first request, choose
// where it goes, send it, and log the connection's life.

#include <atomic>
#include <cstdint>
#include <memory>

#include "base/snapshot.h"
#include "proxy/connection_server.h"
#include "proxy/intercept.h"
#include "proxy/log_sink.h"
#include "shell/settings.h"

namespace vs::proxy {

class ProxyHandlers : public ConnectionEvents {
public:
    ProxyHandlers(const Snapshot<Settings>& settings, LogSink log);

    void OnConnect(Worker& worker) override;
    void OnOutboundConnect(Worker& worker, const std::exception* error) override;
    void OnOutboundDisconnect(Worker& worker) override;
    void OnDisconnect(Worker& worker) override;

private:
    void Log(std::string_view header, std::string_view body = {}) const;
    void ChooseTarget(TMyIntercept& record, OutboundConnection& outbound, const Settings& settings);

    const Snapshot<Settings>& settings_;
    LogSink log_;
    std::atomic<std::int32_t> connectionCounter_{0};
};

// Text of the answer the proxy gives a browser's CONNECT in direct mode.
inline constexpr std::string_view kTunnelEstablished =
    "HTTP/1.0 200 Connection established\r\n\r\n";

}  // namespace vs::proxy
