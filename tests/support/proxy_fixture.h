#pragma once
// A whole proxy engine on loopback for end-to-end tests: settings and rule
// lists the test sets, the real server and handlers, and the queue consumer
// with its monitor and log kept for inspection.

#include <gtest/gtest.h>
#include <sys/socket.h>

#include <chrono>

#include "proxy/proxy_handlers.h"
#include "shell/queue_consumer.h"
#include "support/net_helpers.h"
#include "support/test_hosts.h"
#include "support/text.h"
#include "support/wait.h"

namespace vs::test {

class ProxyFixture : public ::testing::Test {
protected:
    // The browser on this machine is admitted by its address, as user
    // "local"; tests of admission replace the users list.
    ProxyFixture() { lists.users.Append(UserRow{true, "local", "", "127.0.0.1"}); }
    void TearDown() override { server.Stop(); }

    // Starts listening with the settings changed by `configure`.
    template <typename Configure>
    void StartProxy(Configure configure, std::uint16_t mappedPort = 1) {
        auto s = std::make_shared<proxy::ProxyConfig>(base);
        configure(*s);
        config.Publish(s);
        net::ListenerSettings listener;
        listener.address = "127.0.0.1";
        listener.port = 0;
        server.SetListener(listener);
        server.SetMapped("127.0.0.1", mappedPort);
        server.Start();
    }
    void StartProxy() {
        StartProxy([](proxy::ProxyConfig&) {});
    }

    net::Socket Connect() { return ConnectLoopback(server.BoundPort()); }
    static std::string GetRequest(std::string_view url, std::string_view fields = "") {
        return "GET " + std::string(url) + " HTTP/1.1\r\n" + std::string(fields) + "\r\n";
    }
    // Everything the proxy sends back to `request` before it closes.
    std::string AnswerTo(std::string_view request) {
        auto client = Connect();
        SendText(client, request);
        return ReadAll(client);
    }
    // The same for bytes after which the browser sends nothing more.
    std::string Raw(const std::string& bytes) {
        auto client = Connect();
        try {
            SendText(client, bytes);
        } catch (const net::SocketError&) {
            // The proxy may refuse before it has read everything.
        }
        ::shutdown(client.Fd(), SHUT_WR);
        return ReadAll(client);
    }

    // Waits until every connection has ended, then applies the queue.
    void Settle() {
        test::WaitUntil([this] { return server.ActiveConnections() == 0; });
        consumer.Drain();
    }
    std::vector<std::string> LogHeaders() const {
        std::vector<std::string> headers;
        for (auto& line : log) {
            headers.push_back(line.header);
        }
        return headers;
    }
    const LogLine* FindLog(std::string_view header) const {
        for (auto& line : log) {
            if (line.header == header) {
                return &line;
            }
        }
        return nullptr;
    }

    // Generated pages carry this time.
    FixedClock clock{std::chrono::system_clock::from_time_t(1796472551)};
    // What every StartProxy begins with; a test's configure changes a copy.
    proxy::ProxyConfig base;
    Snapshot<proxy::ProxyConfig> config;
    proxy::RuleLists lists;
    TestHosts hosts;
    proxy::Engine engine{config, lists, clock, hosts};
    proxy::ProxyHandlers handlers{engine};
    net::MappedPortServer server{handlers};
    MonitorModel monitor;
    std::vector<LogLine> log;
    QueueConsumer consumer{engine.Queue(), monitor, lists,
                           [this](std::string_view h, std::string_view b) {
                               log.push_back({std::string(h), std::string(b)});
                           }};
};

}  // namespace vs::test
