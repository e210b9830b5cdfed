#include "proxy/proxy_handlers.h"

#include "proxy/generated_pages.h"
#include "proxy/request_processing.h"
#include "proxy/response_path.h"

namespace vs::proxy {

namespace {

Session* SessionOf(net::Worker& worker) {
    return dynamic_cast<Session*>(worker.Client().Data());
}

std::string Heading(const Session* session, std::string_view text) {
    std::string heading = "# ";
    heading += session != nullptr ? std::to_string(session->connectionNo) : "???";
    heading += text;
    return heading;
}

// The first request: whatever the first read brought, completed up to the
// end of its head (browsers send a head in one piece; this covers the ones
// that do not).
std::string ReadFirstRequest(net::Connection& client) {
    std::string data = client.CurrentReadBuffer();
    while (!data.empty() && http::FindHeadEnd(data) == std::string::npos &&
           data.size() < kMaxHead) {
        std::string more = client.CurrentReadBuffer();
        if (more.empty()) {
            break;
        }
        data += more;
    }
    return data;
}

}  // namespace

void ProxyHandlers::OnConnect(net::Worker& worker) {
    auto owned = std::make_unique<Session>(engine_, worker.Client(), worker.Outbound());
    Session& session = *owned;
    worker.Client().SetData(std::move(owned));
    worker.Outbound().SetIntercept(&session);

    const std::string address = worker.Client().PeerAddress();
    session.Begin(ReadFirstRequest(worker.Client()), address);
}

void ProxyHandlers::OnOutboundConnect(net::Worker& worker, const std::exception* error) {
    Session* session = SessionOf(worker);
    if (session == nullptr) {
        return;
    }
    if (error != nullptr) {
        // Refused, timed out, unreachable: the browser gets the page rather
        // than an empty reply. The row and the log show the request ended
        // unanswered, as for any answer that never came.
        // A connect the server's stop cancelled finds the browser's socket
        // shut already (the stop wakes the browsers first): no page goes.
        Exchange* exchange = session->Answering();
        if (exchange != nullptr && OwesBadGateway(*exchange) &&
            !worker.Outbound().IsLocalAnswer()) {
            AnswerLocally(*session, *exchange, BadGatewayPage());
        }
        return;
    }
    session->Connected();
    if (!session->firstUpstream.empty() && worker.Client().Connected()) {
        worker.Outbound().WriteUnhooked(session->firstUpstream);  // decided on at connect time
    }
    engine_.PutToLog(Heading(session, ":  Outbound Connection"), {});
}

void ProxyHandlers::OnOutboundDisconnect(net::Worker& worker) {
    Session* session = SessionOf(worker);
    if (session != nullptr) {
        // An answer whose head was cut short still goes to the browser as
        // it came; one that runs to the close is complete now.
        std::string rest = session->UpstreamClosed();
        if (!rest.empty() && worker.Client().Connected()) {
            try {
                worker.Client().Write(rest);
            } catch (const net::SocketError&) {
            }
        }
        if (session->AnswerCutShort()) {
            net::CloseWithReset(worker.Client().Socket());
        }
        Exchange* exchange = session->Answering();
        if (exchange != nullptr && OwesBadGateway(*exchange) &&
            !session->UpstreamEndedBetweenAnswers()) {
            std::string page = BadGatewayPage();
            try {
                worker.Client().WriteLn(page);
            } catch (const net::SocketError&) {
                // The browser is gone as well; the page is still logged.
            }
            exchange->answeredBy = AnsweredBy::kBadGateway;
            ShowAnswer(*session, *exchange, page);
        }
        session->FinishAll();
    }
    engine_.PutToLog(Heading(session, ": ") + " Outbound Disconnection", {});
}

bool ProxyHandlers::OwesBadGateway(const Exchange& exchange) const {
    // Bytes that were no status line went to the browser as they came: a
    // page after them would be read as part of them.
    return exchange.monitorRow >= 0 && exchange.statusCode == 0 && !exchange.answerHeadSeen &&
           !engine_.closing.load();
}

void ProxyHandlers::OnDisconnect(net::Worker& worker) {
    const Session* session = SessionOf(worker);
    if (session == nullptr || !session->AskedNothing()) {
        engine_.PutToLog(Heading(session, ":  Client Disconnection"), {});
    }
}

bool ProxyHandlers::FromThisMachine(std::string_view address) const {
    return engine_.Hosts().IsOwnAddress(address);
}

void ProxyHandlers::OnShortageBegins(net::Shortage what, std::size_t open) {
    const std::string connections = std::to_string(open) + " browser connections open";
    if (what == net::Shortage::ConnectionCeiling) {
        engine_.PutToLog("Connection ceiling reached: " + connections,
                         "New connections are closed at once until some of these end.");
    } else if (what == net::Shortage::OthersShare) {
        engine_.PutToLog("Connection ceiling for other machines reached: " + connections,
                         "New connections from other machines are closed at once until some of "
                         "these end; the last eighth of MaxConnections is kept for this machine.");
    } else if (what == net::Shortage::Threads) {
        engine_.PutToLog("Out of threads: " + connections,
                         "New connections are closed while no thread can start (the account's "
                         "thread limit, ulimit -u or a service's TasksMax, is too low for this "
                         "load).");
    } else {
        engine_.PutToLog("Out of file descriptors: " + connections,
                         "Connections are ended while no descriptor is free (the open files "
                         "limit, ulimit -n, is too low for this load).");
    }
}

void ProxyHandlers::OnShortageEnds(net::Shortage what, std::size_t lost) {
    const std::string count = std::to_string(lost);
    if (what == net::Shortage::ConnectionCeiling) {
        engine_.PutToLog("Connection ceiling: accepting again, " + count + " connections refused",
                         {});
    } else if (what == net::Shortage::OthersShare) {
        engine_.PutToLog("Connection ceiling for other machines: accepting again, " + count +
                             " connections refused",
                         {});
    } else if (what == net::Shortage::Threads) {
        engine_.PutToLog("Threads start again, " + count + " connections refused", {});
    } else {
        engine_.PutToLog("File descriptors free again, " + count + " connections ended", {});
    }
}

}  // namespace vs::proxy
