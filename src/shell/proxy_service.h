#pragma once
// The running proxy as both executables host it: settings from the data
// directory, the published settings snapshot, the handlers and the listener.
// Grows into the full start-up and shutdown sequence.

#include <filesystem>
#include <optional>
#include <string>

#include "base/snapshot.h"
#include "proxy/connection_server.h"
#include "proxy/log_sink.h"
#include "proxy/proxy_handlers.h"
#include "shell/settings.h"

namespace vs {

class ProxyService {
public:
    ProxyService(std::filesystem::path dataDir, proxy::LogSink log);

    // Reads the settings and starts listening. On failure returns the
    // message for the user ("Порт %d уже занят", CP1251); the service then
    // keeps running with the listener stopped.
    std::optional<std::string> Start();
    // Throws proxy::TerminateTimeout when connections do not end in time.
    void Stop();

    const std::filesystem::path& DataDir() const { return dataDir_; }
    int Port() const { return port_; }
    proxy::MappedPortServer& Server() { return server_; }

private:
    std::filesystem::path dataDir_;
    Snapshot<Settings> settings_;
    proxy::ProxyHandlers handlers_;
    proxy::MappedPortServer server_;
    int port_ = 8080;
};

}  // namespace vs
