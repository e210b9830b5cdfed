// Restarting the listener never holds the caller: a stop that waits for a
// stuck connection runs in the background, gives up after the terminate
// wait, and the listener comes back on its new port all the same.

#include "shell/listener_control.h"

#include <gtest/gtest.h>
#include <linux/capability.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <mutex>
#include <thread>
#include <vector>

#include "base/cp1251.h"

#include "support/child_process.h"
#include "support/net_helpers.h"
#include "support/test_hosts.h"
#include "support/text.h"
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

net::ListenerSettings OnTheLoopback() {
    net::ListenerSettings settings;
    settings.address = "127.0.0.1";
    return settings;
}

TEST(ListenerControl, AStopThatTimesOutIsReportedAndTheNewListenerRuns) {
    StuckConnections events;
    net::MappedPortServer server(events);
    net::ListenerSettings settings = OnTheLoopback();
    settings.terminateWaitMs = 500;
    ListenerControl control(server, settings);
    ASSERT_TRUE(control.StartNow({test::FreePort(), "127.0.0.1", 1}).listening);
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

struct NoConnections : net::ConnectionEvents {
    void OnConnect(net::Worker&) override {}
    void OnOutboundConnect(net::Worker&, const std::exception*) override {}
    void OnOutboundDisconnect(net::Worker&) override {}
    void OnDisconnect(net::Worker&) override {}
};

// Connections that ask for the parent, as a request for it does.
struct ParentAskers : NoConnections {
    void OnConnect(net::Worker& worker) override {
        ++asking;
        std::lock_guard lock(seenLock);
        seen.push_back(worker.Outbound().Mapped());
    }
    std::atomic<int> asking{0};
    std::mutex seenLock;
    std::vector<std::pair<std::string, int>> seen;
};

// A name whose lookup waits until the test lets it answer.
struct SlowName : test::TestHosts {
    std::vector<std::string> AskResolver(const std::string& host) const override {
        if (host != "slow.example") {
            return TestHosts::AskResolver(host);
        }
        ++asked;
        test::WaitUntil([this] { return answer.load(); });
        return {"192.0.2.1"};
    }
    mutable std::atomic<int> asked{0};
    std::atomic<bool> answer{false};
};

// While a new parent is being checked, a request for the parent waits for
// it: it neither gets the 502 page nor reaches the parent before.
TEST(ListenerControl, RequestsForTheParentWaitForTheOneBeingChecked) {
    ParentAskers events;
    net::MappedPortServer server(events);
    SlowName hosts;
    ListenerControl control(server, OnTheLoopback(), hosts);
    ASSERT_TRUE(control.StartNow({test::FreePort(), "127.0.0.1", 1}).listening);

    const int next = test::FreePort();
    control.Restart({next, "slow.example", next});  // at its own port: looked up
    ASSERT_TRUE(test::WaitUntil([&] { return hosts.asked > 0; }));
    net::Socket browser = test::ConnectLoopback(static_cast<std::uint16_t>(next));
    ASSERT_TRUE(test::WaitUntil([&] { return events.asking > 0; }));
    hosts.answer = true;
    ASSERT_TRUE(test::WaitUntil([&] { return control.TakeReport().has_value(); }));
    ASSERT_TRUE(test::WaitUntil([&] {
        std::lock_guard lock(events.seenLock);
        return !events.seen.empty();
    }));
    EXPECT_EQ(events.seen.front(), std::make_pair(std::string("slow.example"), next));
    control.StopNow();
}

// Drops the right to bind ports below 1024 from the calling thread's
// effective capabilities (Linux keeps them per thread), so that root runs
// as an ordinary account would here.
void DropPortBindingRight() {
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3] = {};
    if (::syscall(SYS_capget, &header, data) == 0) {
        data[CAP_NET_BIND_SERVICE / 32].effective &= ~(1u << (CAP_NET_BIND_SERVICE % 32));
        ::syscall(SYS_capset, &header, data);
    }
}

// The user is told why the port cannot be listened on; "already in use" for
// a port that is not would send them looking for a program that is not there.
TEST(ListenerControl, AFailureToListenNamesItsCause) {
    NoConnections events;
    net::MappedPortServer server(events);
    ListenerControl control(server, OnTheLoopback());

    // Port 0 would be any port the system picks, where no browser looks.
    for (const int port : {65600, 0}) {
        ListenerReport report = control.StartNow({port, "127.0.0.1", 1});
        EXPECT_FALSE(report.listening) << port;
        ASSERT_TRUE(report.message.has_value());
        EXPECT_TRUE(test::Has(*report.message, "65535")) << cp1251::ToUtf8(*report.message);
    }
    ListenerReport report;

    std::thread([&] {
        DropPortBindingRight();
        report = control.StartNow({80, "127.0.0.1", 1});
    }).join();
    if (report.listening) {
        control.StopNow();
        GTEST_SKIP() << "this system lets any account listen on port 80";
    }
    ASSERT_TRUE(report.message.has_value());
    EXPECT_TRUE(test::Has(*report.message, cp1251::FromUtf8("Нет прав на порт 80")))
        << cp1251::ToUtf8(*report.message);
}

}  // namespace
}  // namespace vs
