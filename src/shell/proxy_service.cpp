#include "shell/proxy_service.h"

#include "base/cp1251.h"
#include "cache/cache_store.h"

namespace vs {

ProxyService::ProxyService(std::filesystem::path dataDir, std::filesystem::path executable,
                           proxy::LogSink log, const Clock& clock, std::size_t keepMonitorRows)
    : dataDir_(std::move(dataDir)),
      executable_(std::move(executable)),
      clock_(clock),
      engine_(published_, lists_, clock),
      monitor_(keepMonitorRows),
      consumer_(engine_.Queue(), monitor_, lists_, std::move(log), &statistics_, clock),
      handlers_(engine_),
      server_(handlers_) {}

std::optional<std::string> ProxyService::StartUp() {
    settings_ = LoadSettings(SettingsFile());
    std::optional<std::string> message = ApplyToEngine(false);
    autoRun_ = AutoRunEnabled(executable_);
    LoadLists();
    statistics_.Load(StatFile(), settings_.statColumns, lists_.users, clock_.Now());
    engine_.ProducingEnabled = true;
    engine_.Closing = false;
    // The listener opens last, so the first browsers meet loaded lists
    // rather than an empty users list that would refuse them.
    if (!message) {
        try {
            server_.Start();
        } catch (const std::exception&) {
            message = PortBusyMessage(applied_.port);
        }
    }
    return message;
}

std::optional<std::string> ProxyService::ApplyToEngine(bool startListener) {
    auto previous = engine_.Config();
    applied_ = ApplySettings(settings_, previous ? previous->freshWindow : std::chrono::seconds(0));
    server_.Stop();
    net::ListenerSettings listener;
    if (applied_.port < 0 || applied_.port > 65535) {
        return PortBusyMessage(applied_.port);
    }
    listener.port = static_cast<std::uint16_t>(applied_.port);  // 0: any free port (tests)
    server_.SetListener(listener);
    server_.SetMapped(applied_.parentHost, applied_.parentPort);

    cache::CacheDir cacheDir;
    settings_.cacheDir = cache::CacheDirPrepare(settings_.cacheDir, dataDir_, cacheDir);
    cache::RemoveTemporaries(cacheDir.Root());
    published_.Publish(
        std::make_shared<const proxy::ProxyConfig>(ProxyConfigOf(settings_, applied_, cacheDir)));

    if (startListener) {
        try {
            server_.Start();
        } catch (const std::exception&) {
            return PortBusyMessage(applied_.port);
        }
    }
    return std::nullopt;
}

std::optional<std::string> ProxyService::Apply() {
    std::optional<std::string> message = ApplyToEngine(true);
    SaveSettingsAndStatistics();
    return message;
}

std::optional<std::string> ProxyService::Reload() {
    Settings reread = LoadSettings(SettingsFile());
    reread.onlyFromCacheEnabled = settings_.onlyFromCacheEnabled;  // not a stored setting
    settings_ = reread;
    return Apply();
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

void ProxyService::SaveSettingsAndStatistics() {
    settings_.statColumns = statistics_.ColumnCount();
    try {
        SaveSettings(SettingsFile(), settings_);
    } catch (const std::exception&) {
        // An unwritable settings file keeps its old content.
    }
    try {
        statistics_.Save(StatFile());
    } catch (const std::exception&) {
    }
}

std::optional<std::string> ProxyService::IdlePass() {
    consumer_.Drain();
    if (auto config = engine_.Config()) {
        return cleaner_.Step(config->cacheDir.Root(), clock_.Now());
    }
    return std::nullopt;
}

void ProxyService::Tick100ms() {
    if (++statSaveTicks_ > 1800) {
        statSaveTicks_ = 0;
        try {
            statistics_.Save(StatFile());
        } catch (const std::exception&) {
        }
    }
}

std::int64_t ProxyService::Tick1s() {
    return consumer_.TakeSecondSample();
}

void ProxyService::SetAutoRunEnabled(bool enabled) {
    SetAutoRun(enabled, executable_);
    autoRun_ = enabled;
}

void ProxyService::ShutDown() {
    engine_.ProducingEnabled = false;
    std::exception_ptr timeout;
    try {
        server_.Stop();
    } catch (const net::TerminateTimeout&) {
        timeout = std::current_exception();
    }
    // Every ended connection has queued its last entries: apply them, so the
    // hit counts and traffic saved below are complete.
    consumer_.Drain();
    engine_.Closing = true;
    SaveSettingsAndStatistics();
    SaveLists();
    if (timeout) {
        std::rethrow_exception(timeout);
    }
}

}  // namespace vs
