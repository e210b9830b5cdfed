// The mapped-port server against real loopback sockets: event order, hook
// placement, stopping, and the thread pool.

#include <arpa/inet.h>
#include <sys/timerfd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <thread>

#include "net/connection_server.h"
#include "support/net_helpers.h"
#include "support/wait.h"

namespace vs::net {
namespace {

using namespace std::chrono_literals;
using test::ConnectLoopback;
using test::ReadAll;
using test::SendText;

std::atomic<int> liveRecords{0};

using test::WaitUntil;

using Hook = std::function<void(std::string&)>;

// The per-connection record: passes the relayed bytes to the hooks.
struct Record : ConnectionData, ConnectionIntercept {
    Record(std::function<void(std::string)> add, Hook send, Hook receive)
        : add(std::move(add)), onSend(std::move(send)), onReceive(std::move(receive)) {
        ++liveRecords;
    }
    ~Record() override { --liveRecords; }
    void Send(std::string& bytes) override { Pass("send:", onSend, bytes); }
    void Receive(std::string& bytes) override { Pass("receive:", onReceive, bytes); }
    void Pass(const std::string& what, const Hook& hook, std::string& bytes) {
        add(what + bytes);
        if (hook) {
            hook(bytes);
        }
    }
    std::function<void(std::string)> add;
    Hook onSend, onReceive;
    std::string firstData;  // per connection: workers run side by side
};

// Records the order of events and hooks; forwards the first request to the
// mapped target unless told to point elsewhere.
class Recorder : public ConnectionEvents {
public:
    std::vector<std::string> Events() {
        std::lock_guard g(lock);
        return events;
    }
    void Add(std::string e) {
        std::lock_guard g(lock);
        events.push_back(std::move(e));
    }
    bool WaitFor(const std::string& e) {
        return WaitUntil([&] {
            const auto all = Events();
            return std::find(all.begin(), all.end(), e) != all.end();
        });
    }

    void OnConnect(Worker& worker) override {
        Add("connect");
        auto record = std::make_unique<Record>([this](std::string e) { Add(std::move(e)); },
                                               sendHook, receiveHook);
        worker.Outbound().SetIntercept(record.get());
        Record& mine = *record;
        worker.Client().SetData(std::move(record));
        holdInConnect.wait(true);
        mine.firstData = worker.Client().CurrentReadBuffer();
        if (localAnswer) {
            worker.Outbound().SetLocalAnswer();
        }
    }
    void OnOutboundConnect(Worker& worker, const std::exception* error) override {
        Add(error ? "outbound-failed" : "outbound-connected");
        auto* record = static_cast<Record*>(worker.Client().Data());
        if (!error && record != nullptr && !record->firstData.empty()) {
            worker.Outbound().Write(record->firstData);
        }
    }
    void OnOutboundDisconnect(Worker&) override { Add("outbound-disconnect"); }
    void OnDisconnect(Worker&) override { Add("disconnect"); }

    std::mutex lock;
    std::vector<std::string> events;
    bool localAnswer = false;
    // While set, a worker is stuck in its connect.
    std::atomic<bool> holdInConnect{false};
    void LetGo() {
        holdInConnect = false;
        holdInConnect.notify_all();
    }
    Hook sendHook, receiveHook;
};

// An origin that answers each received block with "echo:" + block and
// closes after "bye".
void EchoBlocks(net::Socket& s) {
    char buf[4096];
    for (;;) {
        std::size_t n = net::ReceiveSome(s, buf, sizeof buf);
        if (n == 0) {
            return;
        }
        std::string got(buf, n);
        net::SendAll(s, "echo:" + got);
        if (got == "bye") {
            return;
        }
    }
}

struct ServerFixture : ::testing::Test {
    Recorder events;
    test::LoopbackServer origin{EchoBlocks};
    MappedPortServer server{events};
    void SetUp() override {
        ListenerSettings listener;
        listener.address = "127.0.0.1";
        listener.port = 0;
        listener.terminateWaitMs = 2000;
        server.SetListener(listener);
        server.SetMapped("127.0.0.1", origin.Port());
        server.Start();
    }
    net::Socket Connect() { return ConnectLoopback(server.BoundPort()); }
};

// Hooks may change the bytes or empty them; emptied bytes are not sent.
TEST_F(ServerFixture, EventsAndHooksRunInOrderWhenTheOriginCloses) {
    events.receiveHook = [](std::string& b) { b = b == "echo:quiet" ? "" : "[" + b + "]"; };
    events.sendHook = [](std::string& b) {
        if (b == "secret") {
            b = "public";
        } else if (b == "drop") {
            b.clear();
        }
    };
    auto client = Connect();
    SendText(client, "hello");
    EXPECT_EQ(test::ReadUntil(client, "]"), "[echo:hello]");
    SendText(client, "secret");
    EXPECT_EQ(test::ReadUntil(client, "]"), "[echo:public]");
    SendText(client, "drop");
    ASSERT_TRUE(events.WaitFor("send:drop"));
    SendText(client, "quiet");
    ASSERT_TRUE(events.WaitFor("receive:echo:quiet"));
    SendText(client, "bye");
    EXPECT_EQ(ReadAll(client), "[echo:bye]");  // the proxy closes after the origin
    ASSERT_TRUE(events.WaitFor("disconnect"));
    EXPECT_EQ(events.Events(),
              (std::vector<std::string>{"connect", "outbound-connected", "send:hello",
                                        "receive:echo:hello", "send:secret", "receive:echo:public",
                                        "send:drop", "send:quiet", "receive:echo:quiet", "send:bye",
                                        "receive:echo:bye", "outbound-disconnect", "disconnect"}));
}

// Even a browser that closes before sending anything gets its mapped
// connection; closing first, it leaves no outbound disconnect to report.
TEST_F(ServerFixture, ABrowserClosingFirstSkipsTheOutboundDisconnectEvent) {
    { auto client = Connect(); }
    ASSERT_TRUE(events.WaitFor("disconnect"));
    EXPECT_EQ(events.Events(),
              (std::vector<std::string>{"connect", "outbound-connected", "disconnect"}));
    // The origin's accept may run after the proxy's connect has returned.
    EXPECT_TRUE(WaitUntil([&] { return origin.Accepted() == 1; }));
}

TEST_F(ServerFixture, ALocalAnswerNeverReachesTheNetwork) {
    events.localAnswer = true;
    auto client = Connect();
    SendText(client, "GET http://blocked/ HTTP/1.0\r\n\r\n");
    EXPECT_EQ(ReadAll(client), "");
    ASSERT_TRUE(events.WaitFor("disconnect"));
    EXPECT_EQ(events.Events(),
              (std::vector<std::string>{"connect", "outbound-failed", "disconnect"}));
    EXPECT_EQ(origin.Accepted(), 0);
}

TEST_F(ServerFixture, StopClosesOpenConnectionsAndDestroysTheirRecords) {
    std::vector<net::Socket> clients;
    for (int i = 0; i < 10; ++i) {
        clients.push_back(Connect());
        SendText(clients.back(), "hi");
        test::ReadUntil(clients.back(), "echo:hi");
    }
    // One more that never sends its first request: its worker waits in the
    // connect phase.
    clients.push_back(Connect());
    ASSERT_TRUE(WaitUntil([&] { return server.ActiveConnections() == 11; }));
    auto started = std::chrono::steady_clock::now();
    server.Stop();
    EXPECT_LT(std::chrono::steady_clock::now() - started, 1s);
    EXPECT_FALSE(server.Active());
    EXPECT_EQ(server.ActiveConnections(), 0u);
    EXPECT_EQ(liveRecords.load(), 0);
    for (auto& c : clients) {
        EXPECT_EQ(ReadAll(c), "");
    }
    server.Start();
    auto again = Connect();
    SendText(again, "bye");
    EXPECT_EQ(ReadAll(again), "echo:bye");
}

TEST_F(ServerFixture, StopReportsAWorkerThatDoesNotEnd) {
    events.holdInConnect = true;  // ignores the closed socket until let go
    const std::unique_ptr<Recorder, void (*)(Recorder*)> letGoAtTheEnd(
        &events, [](Recorder* e) { e->LetGo(); });
    auto client = Connect();
    ASSERT_TRUE(WaitUntil([&] { return server.ActiveConnections() == 1; }));
    auto started = std::chrono::steady_clock::now();
    try {
        server.Stop();
        FAIL() << "stop returned although a worker was still running";
    } catch (const TerminateTimeout& e) {
        EXPECT_STREQ(e.what(), "Terminate Thread Timeout");
    }
    auto waited = std::chrono::steady_clock::now() - started;
    EXPECT_GE(waited, 1900ms);
    EXPECT_LT(waited, 2400ms);
    // A restart's stop waits only for its own run's connections: the new
    // listener is not left closed for as long again. The last stop, before
    // the process ends, still waits for all.
    server.Start();
    EXPECT_NO_THROW(server.Stop(StopWaitsFor::ThisRun));
    EXPECT_EQ(server.ActiveConnections(), 1u);
    bool gaveUp = false;
    try {
        server.Stop();
    } catch (const TerminateTimeout&) {
        gaveUp = true;
    }
    EXPECT_TRUE(gaveUp);
    events.LetGo();
    // Started again, the straggler still meets the stop of its own run: its
    // connect is abandoned, nothing of it reaches the origin.
    server.Start();
    ASSERT_TRUE(events.WaitFor("disconnect"));
    const auto all = events.Events();
    EXPECT_EQ(std::count(all.begin(), all.end(), "outbound-failed"), 1);
    EXPECT_EQ(std::count(all.begin(), all.end(), "outbound-connected"), 0);
}

TEST_F(ServerFixture, PoolKeepsEveryFinishedThreadAndReusesIt) {
    constexpr std::size_t kBurst = 50;
    for (int round = 0; round < 2; ++round) {
        {
            std::vector<net::Socket> clients;
            for (std::size_t i = 0; i < kBurst; ++i) {
                clients.push_back(Connect());
                SendText(clients.back(), "x");
            }
            for (auto& c : clients) {
                ASSERT_EQ(test::ReadUntil(c, "echo:x"), "echo:x");
            }
            ASSERT_TRUE(WaitUntil([&] { return server.ActiveConnections() == kBurst; }));
        }
        ASSERT_TRUE(WaitUntil([&] { return server.ActiveConnections() == 0; }));
        EXPECT_TRUE(WaitUntil([&] { return server.IdleThreads() == kBurst; })) << round;
        EXPECT_EQ(server.PoolThreads(), kBurst) << round;
    }
}

net::Socket ListenOn(const char* address, std::uint16_t port, int backlog) {
    net::Socket s(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in at{};
    at.sin_family = AF_INET;
    at.sin_port = htons(port);
    ::inet_pton(AF_INET, address, &at.sin_addr);
    if (::bind(s.Fd(), reinterpret_cast<sockaddr*>(&at), sizeof at) != 0 ||
        ::listen(s.Fd(), backlog) != 0) {
        throw net::SocketError("listen", errno);
    }
    return s;
}

// An address that neither accepts nor refuses (a route to nowhere, as a
// half-configured IPv6 often is; here a listener whose queue is full, which
// drops new SYNs) must not hold the connect for the kernel's two minutes
// while the next address of the host answers at once.
TEST(ConnectTcp, AnAddressThatDoesNotAnswerYieldsToTheNext) {
    const net::Socket silent = ListenOn("127.0.0.2", 0, 0);
    const std::uint16_t port = net::LocalPort(silent);
    const net::Socket filling = net::ConnectTcp("127.0.0.2", port);
    const net::Socket answering = ListenOn("127.0.0.1", port, 8);
    // Gives up the test, not the connect, if nothing else does.
    const net::Socket deadline(::timerfd_create(CLOCK_MONOTONIC, TFD_CLOEXEC));
    const itimerspec in30s{{0, 0}, {30, 0}};
    ::timerfd_settime(deadline.Fd(), 0, &in30s, nullptr);
    const net::Socket s =
        net::ConnectTcp(std::vector<std::string>{"127.0.0.2", "127.0.0.1"}, port, deadline.Fd());
    EXPECT_EQ(net::PeerAddress(s), "127.0.0.1");
}

}  // namespace
}  // namespace vs::net
