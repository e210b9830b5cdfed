#include "shell/proxy_service.h"

#include "base/cp1251.h"

namespace vs {

ProxyService::ProxyService(std::filesystem::path dataDir, proxy::LogSink log)
    : dataDir_(std::move(dataDir)), handlers_(settings_, std::move(log)), server_(handlers_) {}

std::optional<std::string> ProxyService::Start() {
    auto settings = std::make_shared<const Settings>(LoadSettings(dataDir_ / kSettingsFileName));
    port_ = ParseIntOr(settings->PortEd, 8080);
    settings_.Publish(settings);

    proxy::ListenerSettings listener;
    listener.port = static_cast<std::uint16_t>(port_);
    server_.Stop();
    server_.SetListener(listener);
    server_.SetMapped(settings->MappedHostEd, ParseIntOr(settings->MappedPortEd, 8080));
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

void ProxyService::Stop() {
    server_.Stop();
}

}  // namespace vs
