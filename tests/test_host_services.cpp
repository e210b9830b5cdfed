// What a browser may reach through the proxy on the proxy's own host, and
// what it is told when a host cannot be reached at all.

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <netinet/in.h>

#include <algorithm>
#include <fstream>

#include "base/cp1251.h"
#include "net/host_lookup.h"
#include "net/socket.h"
#include "proxy/generated_pages.h"
#include "shell/proxy_service.h"
#include "support/cache_fixture.h"
#include "support/child_process.h"
#include "support/proxy_fixture.h"
#include "support/service_start.h"
#include "support/wait.h"

namespace vs {
namespace {

using proxy::BadGatewayPage;
using test::CacheFixture;
using test::Has;
using test::HttpOrigin;
using test::ProxyFixture;

// The origin listens on the proxy host's loopback, as a local database or
// printer queue would. A browser elsewhere on the LAN is refused it under
// every name and form that leads there, by request and by CONNECT, and the
// proxy's own port on the host's LAN address too; nothing reaches it. (The
// desktop user, on 127.0.0.1, reaches the loopback origins of every other
// test.)
TEST_F(ProxyFixture, ALanBrowserIsRefusedTheHostsOwnServicesWithTheReason) {
    HttpOrigin origin;
    hosts.browserOnLan = true;
    hosts.ownAddresses = {"192.0.2.10"};
    hosts.names = {{"db.example", {"203.0.113.5", "127.0.0.1"}},
                   {"mapped.example", {"::ffff:127.0.0.2"}},
                   {"proxyhost.example", {"192.0.2.10"}}};
    StartProxy();
    const std::string port = std::to_string(origin.Port());
    const std::string proxyPort = std::to_string(server.BoundPort());
    const std::pair<std::string, std::string> cases[] = {
        {GetRequest(origin.Url("/")),
         "(<B>127.0.0.1</B> is a loopback address of the proxy's host)."},
        {GetRequest("http://db.example:" + port + "/"), "<B>127.0.0.1</B> is a loopback"},
        {GetRequest("http://[::1]:" + port + "/"), "<B>::1</B> is a loopback"},
        {GetRequest("http://mapped.example:" + port + "/"), "<B>::ffff:127.0.0.2</B>"},
        {GetRequest("http://0.0.0.0:" + port + "/"), "<B>0.0.0.0</B>"},
        {"CONNECT 127.0.0.1:" + port + " HTTP/1.1\r\n\r\n", "<B>127.0.0.1</B>"},
        {"CONNECT proxyhost.example:" + proxyPort + " HTTP/1.1\r\n\r\n",
         "(<B>192.0.2.10:" + proxyPort + "</B> is this proxy itself)."},
    };
    for (const auto& [request, reason] : cases) {
        const std::string answer = Raw(request);  // a failure ends, rather than hangs
        EXPECT_TRUE(answer.starts_with("HTTP/1.0 403 Forbidden\r\n")) << answer;
        EXPECT_TRUE(Has(answer, reason));
    }
    EXPECT_EQ(origin.Connections(), 0);
    Settle();
    ASSERT_EQ(monitor.RowCount(), std::size(cases));
    EXPECT_EQ(monitor.Row(0)->answer, "403 Forbidden");

    // The switch that lets the LAN reach them, turned off, acts on a
    // kept-alive connection made while it was on: its next request is
    // judged again.
    hosts.names["loop.example"] = {"127.0.0.1"};
    auto allowed = std::make_shared<proxy::ProxyConfig>(*config.Get());
    allowed->lanReachesHostServices = true;
    config.Publish(allowed);
    const std::string url = "http://loop.example:" + port + "/";
    auto kept = Connect();
    test::SendText(kept, GetRequest(url));
    EXPECT_TRUE(test::ReadResponse(kept).ends_with("hello"));
    auto refused = std::make_shared<proxy::ProxyConfig>(*allowed);
    refused->lanReachesHostServices = false;
    config.Publish(refused);
    test::SendText(kept, GetRequest(url));
    EXPECT_TRUE(test::ReadResponse(kept).starts_with("HTTP/1.0 403 Forbidden\r\n"));
    EXPECT_EQ(origin.Requests().size(), 1u);
}

// Where the proxy does not connect itself, the host's loopback is judged by
// the URL's text: an answer the cache gives without asking (stored when the
// desktop user asked) and a parent proxy on this machine, which would
// connect to the same loopback, are refused to the LAN alike.
TEST_F(CacheFixture, ALanBrowserGetsTheLoopbackNeitherFromTheCacheNorThroughAParent) {
    StartProxy();
    ASSERT_TRUE(Get("/lm/page").starts_with("HTTP/1.1 200 OK"));  // the desktop user's
    hosts.browserOnLan = true;
    StartProxy([](proxy::ProxyConfig& s) { s.offline = true; });
    const std::string cached = Raw(GetRequest(origin.Url("/lm/page")));
    EXPECT_TRUE(cached.starts_with("HTTP/1.0 403 Forbidden\r\n")) << cached;
    EXPECT_TRUE(Has(cached, "(<B>127.0.0.1</B> is a loopback address of the proxy's host)."));

    HttpOrigin parent;
    StartProxy([](proxy::ProxyConfig& s) { s.useParent = true; }, parent.Port());
    const std::string port = std::to_string(origin.Port());
    for (const char* host :
         {"localhost", "LocalHost.", "localhost.localdomain", "ip6-localhost", "127.1",
          "2130706433", "[::1]", "%6cocalhost", "%31%32%37.0.0.1", "%5b::1%5d"}) {
        const std::string answer =
            Raw(GetRequest(std::string("http://") + host + ":" + port + "/lm/page"));
        EXPECT_TRUE(answer.starts_with("HTTP/1.0 403 Forbidden\r\n")) << host;
    }
    for (const std::string& escaped : {GetRequest("http://localhost%3a" + port + "/lm/page"),
                                       "CONNECT %5b::1%5d:" + port + " HTTP/1.1\r\n\r\n"}) {
        EXPECT_TRUE(Raw(escaped).starts_with("HTTP/1.0 403 Forbidden\r\n")) << escaped;
    }
    // Nor the proxy's own port at one of the host's addresses: the parent
    // would connect back to the proxy, from the host itself.
    // Written in any form the resolver takes, or by a name for it: only at
    // the proxy's port is a name asked for where the parent connects.
    hosts.ownAddresses = {"192.0.2.7", "fd00::7"};
    hosts.names = {{"proxyhost.example", {"192.0.2.7"}}};
    const std::string own = std::to_string(server.BoundPort());
    for (const char* host : {"192.0.2.7", "3221225991", "0300.0.2.7", "proxyhost.example"}) {
        EXPECT_TRUE(Has(Raw(GetRequest(std::string("http://") + host + ":" + own + "/")),
                        "(<B>192.0.2.7:" + own + "</B> is this proxy itself)."))
            << host;
    }
    EXPECT_TRUE(Has(Raw("CONNECT [fd00::7]:" + own + " HTTP/1.1\r\n\r\n"),
                    "(<B>[fd00::7]:" + own + "</B> is this proxy itself)."));
    auto client = Connect();
    test::SendText(client, GetRequest("http://localhost.example/"));
    EXPECT_TRUE(test::ReadResponse(client).starts_with("HTTP/1.1 200 OK"));
    EXPECT_EQ(parent.Requests().size(), 1u);
    EXPECT_EQ(origin.Requests().size(), 1u);
}

// A link-local address is the host's own only on the link it has it on: a
// machine on another link may take the same address, and must not pass for
// the desktop user. A browser on the host itself connecting over it keeps
// being the desktop user.
TEST(HostAddresses, ALinkLocalAddressIsTheHostsOnlyOnItsOwnLink) {
    std::string address, link;
    ifaddrs* raw = nullptr;
    ASSERT_EQ(::getifaddrs(&raw), 0);
    for (const ifaddrs* i = raw; i != nullptr && address.empty(); i = i->ifa_next) {
        const auto* in6 = reinterpret_cast<const sockaddr_in6*>(i->ifa_addr);
        if (in6 != nullptr && in6->sin6_family == AF_INET6 &&
            IN6_IS_ADDR_LINKLOCAL(&in6->sin6_addr) && std::string(i->ifa_name) != "lo") {
            char text[INET6_ADDRSTRLEN] = {};
            ::inet_ntop(AF_INET6, &in6->sin6_addr, text, sizeof text);
            address = text;
            link = i->ifa_name;
        }
    }
    ::freeifaddrs(raw);
    if (address.empty()) {
        GTEST_SKIP() << "no link-local address on this machine";
    }
    const net::HostLookup& hosts = net::SystemHostLookup();
    const net::Socket listener = net::ListenTcp("::", 0, 4);
    const net::Socket client = net::ConnectTcp({address + "%" + link}, net::LocalPort(listener));
    const net::Socket accepted(::accept(listener.Fd(), nullptr, nullptr));
    ASSERT_TRUE(accepted.IsOpen());
    EXPECT_EQ(net::PeerAddress(accepted), address + "%" + link);
    EXPECT_TRUE(hosts.IsOwnAddress(net::PeerAddress(accepted)));
    EXPECT_FALSE(hosts.IsOwnAddress(address + "%lo"));
}

// Settings files from before the setting refuse; ticking it opens the
// loopback to the LAN.
TEST(HostServicesSetting, OpensTheLoopbackToTheLanAndIsOffWhenTheFileLacksIt) {
    HttpOrigin origin;
    test::TestHosts lan;
    lan.browserOnLan = true;
    for (const auto& [settings, status] :
         {std::pair<std::string, std::string>{"", "HTTP/1.0 403 Forbidden"},
          {"LanHostServicesCB_Checked=True\n", "HTTP/1.1 200 OK"}}) {
        test::TempDir dir;
        ProxyService service(dir.Path(), dir.Path() / "vellostore", {}, DefaultClock(), 0, lan);
        ASSERT_TRUE(test::StartOnAFreePort(service, dir.Path(), settings));
        EXPECT_EQ(test::StatusThrough(service, origin.Url("/")), status) << settings;
        service.ShutDown();
    }
}

// A refused connect and a name that resolves to nothing: the browser gets
// the 502 page, on a connection's first request and on a later one for
// another host; the row says the request went unanswered.
TEST_F(ProxyFixture, AnUnreachableHostGetsThe502PageInsteadOfAnEmptyReply) {
    HttpOrigin origin;
    StartProxy();
    const std::string page = BadGatewayPage() + "\r\n";
    const std::string closed = test::LoopbackUrl(test::FreePort(), "/");
    EXPECT_EQ(AnswerTo(GetRequest(closed)), page);
    EXPECT_EQ(AnswerTo(GetRequest("http://nowhere.example/")), page);
    EXPECT_EQ(AnswerTo("CONNECT nowhere.example:443 HTTP/1.1\r\n\r\n"), page);
    for (const std::string& second : {closed, std::string("http://nowhere.example/x")}) {
        auto client = Connect();
        test::SendText(client, GetRequest(origin.Url("/")));
        EXPECT_TRUE(test::ReadResponse(client).starts_with("HTTP/1.1 200 OK"));
        test::SendText(client, GetRequest(second));
        EXPECT_EQ(test::ReadAll(client), page) << second;
    }
    Settle();
    ASSERT_EQ(monitor.RowCount(), 7u);
    for (std::size_t row : {0u, 1u, 2u, 4u, 6u}) {
        EXPECT_EQ(monitor.Row(row)->answer, "502 Bad Gateway") << row;
    }
}

// Names below "localhost" are the loopback, as browsers take them: a
// developer's "app.localhost" is reached without asking a name server (this
// test's lookup knows no name at all).
TEST_F(ProxyFixture, NamesBelowLocalhostReachTheLoopbackWithoutANameServer) {
    HttpOrigin origin;
    StartProxy();
    const std::string port = std::to_string(origin.Port());
    for (const std::string host : {"app.localhost", "A.B.LocalHost."}) {
        EXPECT_TRUE(Raw(GetRequest("http://" + host + ":" + port + "/")).ends_with("hello"))
            << host;
    }
    EXPECT_EQ(origin.Connections(), 2);
    // A parent named so too: the origin stands in for it.
    auto toParent = std::make_shared<proxy::ProxyConfig>(*config.Get());
    toParent->useParent = true;
    config.Publish(toParent);
    server.SetMapped("parent.localhost", origin.Port());
    EXPECT_TRUE(Raw(GetRequest("http://elsewhere.example/")).ends_with("hello"));
    EXPECT_EQ(origin.Connections(), 3);
}

// A parent that is the proxy's own listener, by name or by address, would
// have every connection open another until no thread is left. It is refused
// with a message at start-up and at apply, and requests for it get the 502
// page; a real parent applied afterwards is used.
TEST(ParentLoop, IsRefusedAtStartAndApplyAndNeverForwardedTo) {
    test::TempDir dir;
    test::TestHosts hosts;
    hosts.names = {{"myself.example", {"127.0.0.1"}}};
    const int port = test::FreePort();
    std::ofstream(dir.Path() / "Vellostore.ini")
        << "[TMainForm]\nPortEd_Text=" << port << "\nUseParentProxy_Checked=True\n"
        << "MappedHostEd_Text=myself.example\nMappedPortEd_Text=" << port << "\n";
    ProxyService service(dir.Path(), dir.Path() / "vellostore", {}, DefaultClock(), 0, hosts);
    EXPECT_EQ(service.StartUp(), ParentLoopMessage("myself.example", port));
    ASSERT_TRUE(service.Listener().Listening());
    service.Lists().users.Append(UserRow{true, "local", "", "127.0.0.1"});
    EXPECT_EQ(test::StatusThrough(service, "http://a.example/"), "HTTP/1.0 502 Bad Gateway");
    EXPECT_TRUE(test::WaitUntil([&] { return service.Server().ActiveConnections() == 0; }));

    auto applyParent = [&](const std::string& host, int parentPort) {
        service.SettingsModel().parentHost = host;
        service.SettingsModel().parentPort = std::to_string(parentPort);
        service.Apply();
        std::optional<ListenerReport> report;
        EXPECT_TRUE(
            test::WaitUntil([&] { return (report = service.TakeListenerReport()).has_value(); }));
        return report ? report->message : std::optional<std::string>("no report");
    };
    HttpOrigin parent;
    EXPECT_EQ(applyParent("127.0.0.1", parent.Port()), std::nullopt);
    EXPECT_EQ(test::StatusThrough(service, "http://a.example/"), "HTTP/1.1 200 OK");
    EXPECT_EQ(applyParent("0.0.0.0", port), ParentLoopMessage("0.0.0.0", port));
    EXPECT_EQ(applyParent("::1", port),
              cp1251::FromUtf8("Родительский прокси [::1]:" + std::to_string(port) +
                               " — это сам Vellostore; запросы к нему не идут"));
    EXPECT_EQ(test::StatusThrough(service, "http://a.example/"), "HTTP/1.0 502 Bad Gateway");
    service.ShutDown();
}

// Two proxies made each other's parent (two offices, each the other's
// gateway): a request goes round once and comes back to the first, which
// ends it with the 502 page and says why, rather than each opening
// connections until none are left.
TEST(ParentLoop, BetweenTwoProxiesEndsWhereItBegan) {
    test::TempDir dirs[2];
    std::vector<std::string> headings;
    ProxyService first(dirs[0].Path(), dirs[0].Path() / "vellostore",
                       [&](std::string_view h, std::string_view) { headings.emplace_back(h); });
    ProxyService second(dirs[1].Path(), dirs[1].Path() / "vellostore", {});
    ASSERT_TRUE(test::StartOnAFreePort(first, dirs[0].Path(), "MaxConnections=20\n"));
    ASSERT_TRUE(test::StartOnAFreePort(second, dirs[1].Path(), "MaxConnections=20\n"));
    for (auto [from, to] : {std::pair{&first, &second}, std::pair{&second, &first}}) {
        from->SettingsModel().useParent = true;
        from->SettingsModel().parentPort = std::to_string(to->Listener().BoundPort());
        from->Apply();
        EXPECT_TRUE(test::WaitUntil([&] { return from->TakeListenerReport().has_value(); }));
    }
    EXPECT_EQ(test::StatusThrough(first, "http://a.example/"), "HTTP/1.0 502 Bad Gateway");
    EXPECT_TRUE(test::WaitUntil([&] { return first.Server().ActiveConnections() == 0; }));
    first.IdlePass();
    const auto count = [&headings](const char* what) {
        return std::count_if(headings.begin(), headings.end(),
                             [what](const std::string& h) { return Has(h, what); });
    };
    EXPECT_EQ(count("Connection from"), 2);  // the browser's, and the second proxy's coming back
    EXPECT_EQ(count(": Proxy loop: "), 1);
    // Known at once however a proxy on the way wrote the hop.
    EXPECT_EQ(test::StatusThrough(
                  first, "http://a.example/",
                  "Via: 1.0 other, " + first.ProxyEngine().HopName() + " (Vellostore)\r\n"),
              "HTTP/1.0 502 Bad Gateway");
    EXPECT_TRUE(test::WaitUntil([&] { return first.Server().ActiveConnections() == 0; }));
    first.IdlePass();
    EXPECT_EQ(count(": Proxy loop: "), 2);
    EXPECT_EQ(count("Connection from"), 3);  // not sent round first
    second.ShutDown();
    first.ShutDown();
}

}  // namespace
}  // namespace vs
