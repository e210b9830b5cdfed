#pragma once
// The running proxy as both executables host it: settings and rule lists
// from the data directory, the engine and its connection server, and the
// consumer of the monitor queue. Grows into the full start-up and shutdown
// sequence.

#include <condition_variable>
#include <filesystem>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "base/clock.h"
#include "base/snapshot.h"
#include "proxy/connection_server.h"
#include "proxy/engine.h"
#include "proxy/log_sink.h"
#include "proxy/proxy_handlers.h"
#include "shell/monitor_model.h"
#include "shell/queue_consumer.h"
#include "shell/settings.h"

namespace vs {

class ProxyService {
public:
    // `log` receives every log entry as the consumer applies it.
    ProxyService(std::filesystem::path dataDir, proxy::LogSink log,
                 const Clock& clock = DefaultClock(), std::size_t keepMonitorRows = 0);
    ~ProxyService();

    // Reads the settings and the rule lists and starts listening. On a
    // listener failure returns the message for the user ("Порт %d уже
    // занят", CP1251); the service then keeps running with the listener
    // stopped. Throws when the settings file exists but cannot be read.
    std::optional<std::string> Start();
    // Drains the monitor queue every `interval` on a thread of its own (the
    // daemon; the desktop app drains from its event loop instead).
    void DrainInBackground(std::chrono::milliseconds interval);
    // Stops producing and listening, applies what is still queued and saves
    // the rule lists. Throws proxy::TerminateTimeout when connections do not
    // end in time (the lists are saved all the same).
    void Stop();

    const std::filesystem::path& DataDir() const { return dataDir_; }
    int Port() const { return port_; }
    proxy::MappedPortServer& Server() { return server_; }
    proxy::Engine& ProxyEngine() { return engine_; }
    proxy::RuleLists& Lists() { return lists_; }
    MonitorModel& Monitor() { return monitor_; }
    // One pass of the consumer; with a background drain running, only that
    // thread may call it.
    std::size_t Drain();

private:
    void PrepareCache(const Settings& settings);
    void LoadLists();
    void SaveLists();
    void StopDraining();

    std::filesystem::path dataDir_;
    Snapshot<Settings> settings_;
    proxy::RuleLists lists_;
    proxy::Engine engine_;
    MonitorModel monitor_;
    QueueConsumer consumer_;
    proxy::ProxyHandlers handlers_;
    proxy::MappedPortServer server_;
    int port_ = 8080;

    std::mutex drainLock_;
    std::condition_variable drainWake_;
    bool drainStop_ = false;
    std::thread drainer_;
};

}  // namespace vs
