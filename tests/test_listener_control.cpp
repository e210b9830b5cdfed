// Restarting the listener never holds the caller: a stop that waits for a
// stuck connection runs in the background, gives up after the terminate
// wait, and the listener comes back on its new port all the same.

#include "shell/listener_control.h"

#include <gtest/gtest.h>

#include <atomic>

#include "support/child_process.h"
#include "support/net_helpers.h"
#include "support/wait.h"

namespace vs {
namespace {

// Connections that hang in their first handler until released.
struct StuckConnections : net::ConnectionEvents {
    void OnConnect(net::Worker&) override {
        ++entered;
        test::WaitUntil([this] { return released.load(); });
    }
    void OnOutboundConnect(net::Worker&, const std::exception*) override {}
    void OnOutboundDisconnect(net::Worker&) override {}
    void OnDisconnect(net::Worker&) override {}

    std::atomic<int> entered{0};
    std::atomic<bool> released{false};
};

TEST(ListenerControl, AStopThatTimesOutIsReportedAndTheNewListenerRuns) {
    StuckConnections events;
    net::MappedPortServer server(events);
    net::ListenerSettings settings;
    settings.address = "127.0.0.1";
    settings.terminateWaitMs = 500;
    ListenerControl control(server, settings);
    ASSERT_TRUE(control.StartNow({0, "127.0.0.1", 1}).listening);
    net::Socket stuck = test::ConnectLoopback(control.BoundPort());
    ASSERT_TRUE(test::WaitUntil([&] { return events.entered > 0; }));

    const int next = test::FreePort();
    control.Restart({next, "127.0.0.1", 1});  // returns with the connection still stuck
    EXPECT_TRUE(control.Busy());
    EXPECT_EQ(control.Target().port, next);
    std::optional<ListenerReport> report;
    ASSERT_TRUE(test::WaitUntil([&] { return (report = control.TakeReport()).has_value(); }));
    EXPECT_TRUE(report->stopTimedOut);
    EXPECT_EQ(report->message, "Terminate Thread Timeout");
    EXPECT_TRUE(report->listening);
    EXPECT_EQ(control.BoundPort(), next);
    EXPECT_NO_THROW(test::ConnectLoopback(static_cast<std::uint16_t>(next)));

    events.released = true;
    EXPECT_TRUE(test::WaitUntil([&] { return server.ActiveConnections() == 0; }));
    control.StopNow();
}

}  // namespace
}  // namespace vs
