#include "proxy/proxy_handlers.h"

#include "base/cp1251.h"
#include "proxy/target.h"
#include "rules/regex.h"

namespace vs::proxy {

namespace {

// Shared by every worker: compiled once, matched without a lock.
const Pattern& RequestLinePattern() {
    static const auto pattern =
        Pattern::Compile("^([^ ]+) ([^ ]+)", kRegexCaseless | kRegexMultiline);
    return *pattern;
}

std::string_view HeaderBlock(std::string_view request) {
    std::size_t end = request.find("\r\n\r\n");
    return end == std::string_view::npos ? request : request.substr(0, end + 2);
}

TMyIntercept* RecordOf(Worker& worker) {
    return dynamic_cast<TMyIntercept*>(worker.Client().Data());
}

std::string Heading(const TMyIntercept* record, std::string_view text) {
    std::string heading = "# ";
    heading += record != nullptr ? std::to_string(record->ConnectionNo) : "???";
    heading += text;
    return heading;
}

}  // namespace

ProxyHandlers::ProxyHandlers(const Snapshot<Settings>& settings, LogSink log)
    : settings_(settings), log_(std::move(log)) {}

void ProxyHandlers::Log(std::string_view header, std::string_view body) const {
    if (log_) {
        log_(header, body);
    }
}

void ProxyHandlers::OnConnect(Worker& worker) {
    auto owned = std::make_unique<TMyIntercept>(worker.Client(), connectionCounter_++);
    TMyIntercept& record = *owned;
    worker.Client().SetData(std::move(owned));
    worker.Outbound().SetIntercept(&record);

    record.FirstData = worker.Client().CurrentReadBuffer();
    if (record.FirstData.empty()) {
        return;  // closed at once: the target stays the mapped one
    }
    record.URL = std::string(RequestLinePattern().FindGroup(record.FirstData, 2).value_or(""));
    Log(Heading(&record, " >>> URL: ") + record.URL, HeaderBlock(record.FirstData));
    record.FirstDataDone = true;
    ChooseTarget(record, worker.Outbound(), *settings_.Get());
}

void ProxyHandlers::ChooseTarget(TMyIntercept& record, OutboundConnection& outbound,
                                 const Settings& settings) {
    std::string_view method = RequestLinePattern().FindGroup(record.FirstData, 1).value_or("");
    record.Tunnel = cp1251::EqualsNoCase(method, "CONNECT");
    if (settings.UseParentProxy) {
        return;  // the parent gets the request, CONNECT included, unchanged
    }
    if (record.Tunnel) {
        DirectTarget target = ChooseTunnelTarget(record.URL);
        outbound.SetTarget(target.host, target.port);
        record.TunnelAnsweredByProxy = true;
        // Whatever the browser sent behind the CONNECT header belongs to the
        // tunnel.
        std::size_t end = record.FirstData.find("\r\n\r\n");
        record.FirstData.erase(0, end == std::string::npos ? record.FirstData.size() : end + 4);
        return;
    }
    DirectTarget target = ChooseDirectTarget(record.URL);
    ReduceRequestTarget(record.FirstData, record.URL, target.path);
    outbound.SetTarget(target.host, target.port);
}

void ProxyHandlers::OnOutboundConnect(Worker& worker, const std::exception* error) {
    TMyIntercept* record = RecordOf(worker);
    if (error != nullptr || record == nullptr) {
        return;
    }
    if (record->TunnelAnsweredByProxy) {
        worker.Client().Write(kTunnelEstablished);
        record->TunnelOpen = true;
    }
    if (!record->FirstData.empty()) {
        worker.Outbound().Write(record->FirstData);
    }
    Log(Heading(record, ":  Outbound Connection"));
}

void ProxyHandlers::OnOutboundDisconnect(Worker& worker) {
    Log(Heading(RecordOf(worker), ": ") + " Outbound Disconnection");
}

void ProxyHandlers::OnDisconnect(Worker& worker) {
    Log(Heading(RecordOf(worker), ":  Client Disconnection"));
}

}  // namespace vs::proxy
