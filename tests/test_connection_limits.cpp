// Idle browsers are closed and their threads pooled, busy connections never
// are, a browser beyond the ceiling is turned away at once; both address
// families share the service's port. Real loopback sockets throughout.

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <atomic>

#include "shell/proxy_service.h"
#include "support/files.h"
#include "support/proxy_fixture.h"
#include "support/service_start.h"

namespace vs {
namespace {

using namespace std::chrono_literals;
using test::ReadAll;
using test::SendText;
using test::WaitUntil;

net::Socket Bounded(net::Socket socket) {
    test::LimitWaits(socket);
    return socket;
}

bool ClosedAlready(const net::Socket& socket) {
    pollfd fd{socket.Fd(), POLLIN, 0};
    char byte;
    return ::poll(&fd, 1, 0) == 1 && ::recv(socket.Fd(), &byte, 1, MSG_PEEK | MSG_DONTWAIT) <= 0;
}

// An origin whose answer stops after its first half until released.
struct StallingOrigin {
    std::atomic<bool> released{false};
    test::LoopbackServer server{[this](net::Socket& s) {
        test::ReadUntil(s, "\r\n\r\n");
        net::SendAll(s, "HTTP/1.1 200 OK\r\nContent-Length: 10\r\n\r\nfirst");
        WaitUntil([this] { return released.load(); }, 60s);
        net::SendAll(s, "-last");
    }};
};

void Echo(net::Socket& s) {
    char block[4096];
    while (std::size_t n = net::ReceiveSome(s, block, sizeof block)) {
        net::SendAll(s, std::string_view(block, n));
    }
}

class IdleLimitTest : public test::ProxyFixture {
protected:
    void SetUp() override {
        server.SetLimits({300ms, 300ms, 0, 300ms});
        StartProxy();
    }
    net::Socket Open() { return Bounded(Connect()); }
    std::size_t CountLog(std::string_view prefix) {
        consumer.Drain();
        return std::count_if(log.begin(), log.end(),
                             [&](const LogLine& l) { return l.header.starts_with(prefix); });
    }
};

TEST_F(IdleLimitTest, SilentHalfSentAndKeptAliveBrowsersAreClosedTheirThreadsPooled) {
    test::HttpOrigin origin;
    auto silent = Open();
    auto halfHead = Open();
    SendText(halfHead, "GET " + origin.Url("/") + " HTTP/1.1\r\nHost: x\r\n");
    auto keptAlive = Open();
    SendText(keptAlive, GetRequest(origin.Url("/")));
    EXPECT_TRUE(test::Has(test::ReadResponse(keptAlive), "hello"));
    // An upload that stops halfway: its origin waits for the rest.
    test::LoopbackServer uploadsTo([](net::Socket& s) { ReadAll(s); });
    auto stalledUpload = Open();
    SendText(stalledUpload, "POST " + test::LoopbackUrl(uploadsTo.Port(), "/up") +
                                " HTTP/1.1\r\nHost: x\r\nContent-Length: 100\r\n\r\n0123456789");
    // An upload its origin stops taking (a hung backend): nothing moves
    // either way, though the browser would send on.
    std::atomic<bool> done{false};
    test::LoopbackServer takesNothing([&done](net::Socket& s) {
        test::ReadUntil(s, "\r\n\r\n");
        WaitUntil([&done] { return done.load(); }, 60s);
    });
    auto unread = Open();
    SendText(unread, "POST " + test::LoopbackUrl(takesNothing.Port(), "/up") +
                         " HTTP/1.1\r\nHost: x\r\nContent-Length: 1000000000\r\n\r\n");
    const std::string block(64 * 1024, 'u');
    for (pollfd room{unread.Fd(), POLLOUT, 0}; ::poll(&room, 1, 1000) == 1;) {
        if ((room.revents & POLLOUT) == 0 ||
            ::send(unread.Fd(), block.data(), block.size(), MSG_NOSIGNAL | MSG_DONTWAIT) < 0) {
            break;  // full up to the origin, or already let go
        }
    }

    // A browser that pipelined two requests to an origin that never answers
    // and left: its second request waited unread for the first's answer.
    std::atomic<bool> asked{false};
    test::LoopbackServer neverAnswers([&done, &asked](net::Socket& s) {
        test::ReadUntil(s, "\r\n\r\n");
        asked = true;
        WaitUntil([&done] { return done.load(); }, 60s);
    });
    {
        auto pipelined = Open();
        SendText(pipelined, GetRequest(test::LoopbackUrl(neverAnswers.Port(), "/1")) +
                                GetRequest(test::LoopbackUrl(neverAnswers.Port(), "/2")));
        ASSERT_TRUE(WaitUntil([&asked] { return asked.load(); }));
    }

    EXPECT_EQ(ReadAll(silent), "");
    EXPECT_EQ(ReadAll(halfHead), "");
    EXPECT_EQ(ReadAll(keptAlive), "");
    EXPECT_EQ(ReadAll(stalledUpload), "");
    EXPECT_EQ(origin.Requests().size(), 1u);  // the half-sent head went nowhere
    ASSERT_TRUE(WaitUntil([this] { return server.ActiveConnections() == 0; }));
    // Every thread back in the pool, none made per connection beyond them.
    EXPECT_TRUE(WaitUntil([this] { return server.IdleThreads() == server.PoolThreads(); }));
    EXPECT_LE(server.PoolThreads(), 6u);
    done = true;
}

// A later request's head sent a line at a time, each line within the idle
// limit, or begun and left silent: the first request's limit ends it all the
// same.
TEST_F(IdleLimitTest, AHeadSentALineAtATimeIsCutAtTheFirstRequestsLimit) {
    test::HttpOrigin origin;
    auto trickling = Open();
    SendText(trickling, GetRequest(origin.Url("/")));
    EXPECT_TRUE(test::Has(test::ReadResponse(trickling), "hello"));
    SendText(trickling, "GET " + origin.Url("/") + " HTTP/1.1\r\n");
    int lines = 0;
    for (; lines < 100; ++lines) {
        pollfd fd{trickling.Fd(), POLLIN, 0};
        if (::poll(&fd, 1, 100) == 1) {
            break;  // closed
        }
        SendText(trickling, "X-Line: " + std::to_string(lines) + "\r\n");
    }
    EXPECT_EQ(ReadAll(trickling), "");
    EXPECT_LT(lines, 100);
    EXPECT_EQ(origin.Requests().size(), 1u);

    // Begun and left silent, with the idle limit off: nothing else would
    // ever end it.
    server.SetLimits({300ms, 0ms, 0});
    auto silent = Open();
    SendText(silent, GetRequest(origin.Url("/")));
    EXPECT_TRUE(test::Has(test::ReadResponse(silent), "hello"));
    SendText(silent, "GET ");
    EXPECT_TRUE(WaitUntil([&] { return ClosedAlready(silent); }));
}

// An answer that pauses longer than the limit and a tunnel that keeps
// moving bytes are not idle; a tunnel gone quiet is.
TEST_F(IdleLimitTest, AnAnswerAwaitedOrATunnelInUseIsNeverCut) {
    StallingOrigin stalling;
    auto download = Open();
    SendText(download, GetRequest(test::LoopbackUrl(stalling.server.Port(), "/")));
    EXPECT_TRUE(test::Has(test::ReadUntil(download, "first"), "200 OK"));
    // Opened after the download's last byte: once it is closed, the
    // download has been quiet for longer than the limit.
    EXPECT_EQ(ReadAll(Open()), "");
    stalling.released = true;
    EXPECT_EQ(test::ReadExactly(download, 5), "-last");

    test::LoopbackServer echo(Echo);
    auto tunnel = Open();
    SendText(tunnel, "CONNECT 127.0.0.1:" + std::to_string(echo.Port()) + " HTTP/1.1\r\n\r\n");
    EXPECT_TRUE(test::Has(test::ReadUntil(tunnel, "\r\n\r\n"), " 200 "));
    auto sentinel = Open();
    for (int round = 0; !ClosedAlready(sentinel); ++round) {
        const std::string ping = std::to_string(round % 10);
        SendText(tunnel, ping);
        ASSERT_EQ(test::ReadExactly(tunnel, 1), ping);
    }
    SendText(tunnel, "still here");
    EXPECT_EQ(test::ReadExactly(tunnel, 10), "still here");
    EXPECT_EQ(ReadAll(tunnel), "");
    EXPECT_EQ(ReadAll(download), "");

    // A browser that leaves a stalled download awaits nothing any more: its
    // connection and the origin's are let go at the limit, not held forever.
    StallingOrigin abandoned;
    auto leaving = Open();
    SendText(leaving, GetRequest(test::LoopbackUrl(abandoned.server.Port(), "/")));
    EXPECT_TRUE(test::Has(test::ReadUntil(leaving, "first"), "200 OK"));
    leaving.Close();
    EXPECT_TRUE(WaitUntil([this] { return server.ActiveConnections() == 0; }));
    abandoned.released = true;
}

TEST_F(IdleLimitTest, BeyondTheCeilingBrowsersAreClosedAtOnceAndLoggedOncePerEpisode) {
    server.SetLimits({0ms, 0ms, 2});
    test::HttpOrigin origin;
    auto first = Open();
    auto second = Open();
    ASSERT_TRUE(WaitUntil([this] { return server.ActiveConnections() == 2; }));
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(ReadAll(Open()), "") << i;
    }
    EXPECT_EQ(server.PoolThreads(), 2u);  // no thread for those turned away
    first = net::Socket();
    ASSERT_TRUE(WaitUntil([this] { return server.ActiveConnections() == 1; }));
    EXPECT_TRUE(test::Has(AnswerTo(GetRequest(origin.Url("/close"))), "hello"));
    // The episode ends once connections are taken again without losses.
    EXPECT_TRUE(WaitUntil([&] {
        WaitUntil([this] { return server.ActiveConnections() == 1; });
        AnswerTo(GetRequest(origin.Url("/close")));
        return CountLog("Connection ceiling: accepting again, 3 connections refused") == 1;
    }));
    EXPECT_EQ(CountLog("Connection ceiling reached: 2 browser connections open"), 1u);
}

// A browser of another machine, seen from 127.0.0.2: only 127.0.0.1 is this
// machine's own.
class OthersShareTest : public IdleLimitTest {
protected:
    void SetUp() override {
        hosts.browserOnLan = true;
        hosts.ownAddresses = {"127.0.0.1"};
        IdleLimitTest::SetUp();
    }
    net::Socket OpenFromAnotherMachine() {
        net::Socket socket(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
        sockaddr_in address{};
        address.sin_family = AF_INET;
        ::inet_pton(AF_INET, "127.0.0.2", &address.sin_addr);
        EXPECT_EQ(::bind(socket.Fd(), reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
        ::inet_pton(AF_INET, "127.0.0.1", &address.sin_addr);
        address.sin_port = htons(server.BoundPort());
        EXPECT_EQ(::connect(socket.Fd(), reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
        return Bounded(std::move(socket));
    }
};

// One LAN host holding connections open until the ceiling, admitted or not,
// cannot lock out the desktop: the last eighth is kept for this machine.
TEST_F(OthersShareTest, AnotherMachineCannotTakeTheWholeCeiling) {
    server.SetLimits({0ms, 0ms, 8});
    test::HttpOrigin origin;
    std::vector<net::Socket> held;
    for (int i = 0; i < 7; ++i) {
        held.push_back(OpenFromAnotherMachine());
    }
    ASSERT_TRUE(WaitUntil([this] { return server.ActiveConnections() == 7; }));
    EXPECT_EQ(ReadAll(OpenFromAnotherMachine()), "");
    EXPECT_TRUE(test::Has(AnswerTo(GetRequest(origin.Url("/close"))), "hello"));
    EXPECT_EQ(CountLog("Connection ceiling for other machines reached: 7 browser connections open"),
              1u);
}

// A limit of years, typed into the file (the window offers a day at most),
// is kept as such: it never wraps into a cut after a moment.
using LongLimitTest = test::ProxyFixture;
TEST_F(LongLimitTest, AFirstRequestLimitOfYearsIsNoCutAtOnce) {
    server.SetLimits({536870912s, 536870912s, 0, 300s});
    StartProxy();
    auto silent = Bounded(Connect());
    ASSERT_TRUE(WaitUntil([this] { return server.ActiveConnections() == 1; }));
    test::HttpOrigin origin;
    auto other = Bounded(Connect());
    SendText(other, GetRequest(origin.Url("/")));
    EXPECT_TRUE(test::Has(test::ReadResponse(other), "hello"));
    EXPECT_FALSE(ClosedAlready(silent));
}

// The keys older files lack keep their defaults.
TEST(ProxyServiceNetwork, BrowsersOfBothFamiliesShareThePortUnderTheStoredLimits) {
    test::TempDir dir;
    std::vector<std::string> headings;
    ProxyService service(dir.Path(), dir.Path() / "vellostore",
                         [&](std::string_view h, std::string_view) { headings.emplace_back(h); });
    ASSERT_TRUE(
        test::StartOnAFreePort(service, dir.Path(), "FirstRequestTimeout=1\nMaxConnections=3\n"));
    const net::ConnectionLimits limits = service.Server().Limits();
    EXPECT_EQ(limits.firstRequest, 1s);
    EXPECT_EQ(limits.idle, 300s);
    EXPECT_EQ(limits.maxConnections, 3u);

    service.Lists().users.Append(UserRow{true, "six", "", "::1"});
    test::HttpOrigin origin;
    for (const char* address : {"::1", "127.0.0.1"}) {
        auto browser = Bounded(net::ConnectTcp(address, service.Listener().BoundPort()));
        SendText(browser, "GET " + origin.Url("/close") + " HTTP/1.1\r\n\r\n");
        EXPECT_TRUE(test::Has(ReadAll(browser), "hello")) << address;
    }
    service.IdlePass();
    EXPECT_EQ(headings.at(0), "# 0: Connection from six/::1");
    EXPECT_TRUE(
        std::count(headings.begin(), headings.end(), "# 1: Connection from local/127.0.0.1"));
    service.ShutDown();
}

}  // namespace
}  // namespace vs
