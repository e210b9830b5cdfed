#include "proxy/proxy_handlers.h"

#include "cache/response_path.h"
#include "proxy/authentication.h"
#include "proxy/generated_pages.h"
#include "proxy/request_processing.h"
#include "proxy/target.h"

namespace vs::proxy {

namespace {

const Pattern& RequestLine() {
    static const auto p = Pattern::Compile("^([^ ]+) ([^ ]+)", kRegexCaseless | kRegexMultiline);
    return *p;
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

// The first request: whatever the first read brought, completed up to the
// end of its header (browsers send a header in one piece; this covers the
// ones that do not).
std::string ReadFirstRequest(Connection& client) {
    std::string data = client.CurrentReadBuffer();
    while (!data.empty() && FindHeaderEnd(data) == std::string::npos &&
           data.size() < kMaxRequestHeader) {
        std::string more = client.CurrentReadBuffer();
        if (more.empty()) {
            break;
        }
        data += more;
    }
    return data;
}

}  // namespace

void ChooseTarget(TMyIntercept& record, OutboundConnection& outbound, const Settings& settings) {
    if (record.ErrorPageSent || record.RedirectSent || record.AuthRequestSent ||
        record.AnsweredFromCache || record.UserIndex < 0) {
        outbound.SetLocalAnswer();
        return;
    }
    if (settings.UseParentProxy) {
        return;  // the parent gets the request, CONNECT included, unchanged
    }
    if (record.Tunnel) {
        // The proxy answers the CONNECT itself and connects the tunnel.
        DirectTarget target = ChooseTunnelTarget(record.URL);
        outbound.SetTarget(target.host, target.port);
        record.TunnelAnsweredByProxy = true;
        std::size_t end = FindHeaderEnd(record.FirstData);
        record.FirstData.erase(0, end == std::string::npos ? record.FirstData.size() : end);
        return;
    }
    DirectTarget target = ChooseDirectTarget(record.URL);
    ReduceRequestTarget(record.FirstData, record.URL, target.path);
    outbound.SetTarget(target.host, target.port);
}

void ProxyHandlers::OnConnect(Worker& worker) {
    auto owned = std::make_unique<TMyIntercept>(engine_, worker.Client());
    TMyIntercept& record = *owned;
    worker.Client().SetData(std::move(owned));
    worker.Outbound().SetIntercept(&record);

    const std::string address = worker.Client().PeerAddress();
    record.FirstData = ReadFirstRequest(worker.Client());
    record.URL = std::string(RequestLine().FindGroup(record.FirstData, 2).value_or(""));

    AdmitConnection(record, address);

    if (!record.FirstData.empty()) {
        record.FirstData = FilterUpstream(record, record.FirstData, true);
        record.FirstDataDone = true;
        ChooseTarget(record, worker.Outbound(), *engine_.CurrentSettings());
    }
}

void ProxyHandlers::OnOutboundConnect(Worker& worker, const std::exception* error) {
    TMyIntercept* record = RecordOf(worker);
    if (error != nullptr || record == nullptr) {
        return;
    }
    if (record->TunnelAnsweredByProxy) {
        worker.Client().Write(kTunnelEstablished);
        std::string answer(kTunnelEstablished);
        cache::ProcessResponse(*record, answer);
        record->TunnelOpen = true;
    }
    if (!record->FirstData.empty() && !record->ErrorPageSent) {
        worker.Outbound().Write(record->FirstData);
    }
    engine_.PutToLog(Heading(record, ":  Outbound Connection"), {});
}

void ProxyHandlers::OnOutboundDisconnect(Worker& worker) {
    TMyIntercept* record = RecordOf(worker);
    if (record != nullptr) {
        // An answer that ended before its header did still goes to the
        // browser as it came.
        std::string rest = cache::FlushPendingAnswer(*record);
        if (!rest.empty() && worker.Client().Connected()) {
            try {
                worker.Client().Write(rest);
            } catch (const net::SocketError&) {
            }
        }
    }
    if (record != nullptr && record->MonitorRow >= 0 && !engine_.Closing.load()) {
        TCmd end;
        end.Index = record->MonitorRow;
        end.State = 2;
        engine_.AddCmdListItem(std::move(end));
        if (record->StatusCode == 0) {
            std::string page = BadGatewayPage();
            try {
                worker.Client().WriteLn(page);
            } catch (const net::SocketError&) {
                // The browser is gone as well; the page is still logged.
            }
            record->BadGatewaySent = true;
            cache::ProcessResponse(*record, page);
        }
    }
    engine_.PutToLog(Heading(record, ": ") + " Outbound Disconnection", {});
}

void ProxyHandlers::OnDisconnect(Worker& worker) {
    engine_.PutToLog(Heading(RecordOf(worker), ":  Client Disconnection"), {});
}

}  // namespace vs::proxy
