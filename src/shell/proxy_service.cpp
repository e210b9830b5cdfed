#include "shell/proxy_service.h"

#include "base/cp1251.h"
#include "cache/cache_store.h"

namespace vs {

ProxyService::ProxyService(std::filesystem::path dataDir, proxy::LogSink log, const Clock& clock,
                           std::size_t keepMonitorRows)
    : dataDir_(std::move(dataDir)),
      engine_(settings_, lists_, clock),
      monitor_(keepMonitorRows),
      consumer_(engine_.Queue(), monitor_, lists_, std::move(log)),
      handlers_(engine_),
      server_(handlers_) {}

ProxyService::~ProxyService() {
    StopDraining();
}

std::optional<std::string> ProxyService::Start() {
    auto settings = std::make_shared<const Settings>(LoadSettings(dataDir_ / kSettingsFileName));
    port_ = ParseIntOr(settings->PortEd, 8080);
    settings_.Publish(settings);
    PrepareCache(*settings);
    LoadLists();

    proxy::ListenerSettings listener;
    listener.port = static_cast<std::uint16_t>(port_);
    server_.Stop();
    server_.SetListener(listener);
    server_.SetMapped(settings->MappedHostEd, ParseIntOr(settings->MappedPortEd, 8080));
    engine_.ProducingEnabled = true;
    engine_.Closing = false;
    try {
        if (port_ < 0 || port_ > 65535) {  // 0: any free port (tests)
            throw std::out_of_range("port");
        }
        server_.Start();
    } catch (const std::exception&) {
        return cp1251::FromUtf8("Порт " + std::to_string(port_) + " уже занят");
    }
    return std::nullopt;
}

void ProxyService::PrepareCache(const Settings& settings) {
    proxy::CacheParams params;
    cache::CacheDirPrepare(settings.CacheDir, dataDir_, params.dir);
    cache::RemoveTemporaries(params.dir.Root());
    auto previous = engine_.Cache();
    params.freshWindow =
        FreshWindowOf(settings, previous ? previous->freshWindow : std::chrono::seconds(0));
    engine_.PublishCache(std::move(params));
}

void ProxyService::LoadLists() {
    for (ListKind kind : kLoadOrder) {
        RuleList& list = lists_.Of(kind);
        list.Load(dataDir_ / std::string(list.Info().fileName));
    }
    lists_.users.Load(dataDir_ / std::string(kUsersFileName));
}

void ProxyService::SaveLists() {
    // The order the lists have always been saved in at close.
    for (ListKind kind : {ListKind::Black, ListKind::Cache, ListKind::NoReq, ListKind::UrlConverter,
                          ListKind::OnlyFromCache}) {
        RuleList& list = lists_.Of(kind);
        try {
            list.Save(dataDir_ / std::string(list.Info().fileName));
        } catch (const std::exception&) {
            // A list that cannot be written stays as it was on disk.
        }
    }
    try {
        lists_.users.Save(dataDir_ / std::string(kUsersFileName));
    } catch (const std::exception&) {
    }
}

std::size_t ProxyService::Drain() {
    return consumer_.Drain();
}

void ProxyService::DrainInBackground(std::chrono::milliseconds interval) {
    StopDraining();
    drainStop_ = false;
    drainer_ = std::thread([this, interval] {
        std::unique_lock lock(drainLock_);
        while (!drainStop_) {
            lock.unlock();
            consumer_.Drain();
            lock.lock();
            drainWake_.wait_for(lock, interval, [this] { return drainStop_; });
        }
    });
}

void ProxyService::StopDraining() {
    {
        std::lock_guard guard(drainLock_);
        drainStop_ = true;
    }
    drainWake_.notify_all();
    if (drainer_.joinable()) {
        drainer_.join();
    }
}

void ProxyService::Stop() {
    engine_.ProducingEnabled = false;
    std::exception_ptr timeout;
    try {
        server_.Stop();
    } catch (const proxy::TerminateTimeout&) {
        timeout = std::current_exception();
    }
    // Every ended connection has queued its last entries; apply them so the
    // hit counts saved below are complete.
    StopDraining();
    consumer_.Drain();
    engine_.Closing = true;
    SaveLists();
    if (timeout) {
        std::rethrow_exception(timeout);
    }
}

}  // namespace vs
