// What a hostile or broken client sends: each gets a clear refusal or the
// ordinary behaviour, and the proxy keeps serving.

#include <gtest/gtest.h>

#include <atomic>
#include <fstream>
#include <random>

#include "rules/rule_list.h"
#include "rules/users_list.h"
#include "support/cache_fixture.h"

namespace vs::proxy {
namespace {

using test::CacheFixture;
using test::HttpOrigin;
using test::ProxyFixture;
using test::ReadAll;
using test::ReadResponse;

class HostileInput : public ProxyFixture {
protected:
    // After whatever came before, an ordinary request is still served.
    void ExpectStillServing() {
        EXPECT_TRUE(AnswerTo(GetRequest(origin.Url("/close"), "Host: x\r\n")).ends_with("hello"));
    }
    HttpOrigin origin;
};

TEST_F(HostileInput, MalformedRequestLinesEndTheirConnectionOnly) {
    StartProxy();
    for (std::string bad :
         {std::string("\r\n\r\n"), std::string("GET\r\n\r\n"), std::string("GARBAGE\r\n\r\n"),
          std::string("GET  HTTP/1.1\r\n\r\n"), std::string("CONNECT :::: HTTP/1.1\r\n\r\n"),
          std::string("GET http://[::1 HTTP/1.1\r\n\r\n"),
          std::string("GET http://127.0.0.1:99999999999/ HTTP/1.1\r\n\r\n"),
          std::string("GE\0T http://a\0/ HTTP/1.1\r\n\r\n", 28)}) {
        Raw(bad);
    }
    Settle();
    ExpectStillServing();
}

// A request head the proxy cannot read whole, or whose body the origin might
// frame otherwise than the proxy, is never forwarded: the browser is told
// why and the connection ends. Otherwise a second request hidden in the body
// (here one for a black-listed path) would reach the origin unseen by the
// lists.
TEST_F(HostileInput, RequestsWhoseFramingIsInDoubtNeverReachTheOrigin) {
    lists.black.Append(RuleCells{true, "blocked", "", false, false, 0});
    StartProxy();
    const std::string hidden = "GET /blocked HTTP/1.1\r\nHost: x\r\n\r\n";
    const std::string chunk = "0\r\n\r\n" + hidden;
    for (const std::string& fields : std::vector<std::string>{
             "Content-Length: 4\r\nTransfer-Encoding: chunked\r\n",
             "Transfer-Encoding: chunked\r\nContent-Length: 4\r\n",
             "Content-Length: 4\r\nContent-Length: 40\r\n", "Content-Length: -5\r\n",
             "Content-Length: abc\r\n", "Content-Length: 18446744073709551616\r\n",
             "Transfer-Encoding: identity\r\n", "Transfer-Encoding: chunked, chunked\r\n",
             "Transfer-Encoding: gzip, chunked\r\n", "Content-Length : 4\r\n",
             "X-Folded: a\r\n Content-Length: 4\r\n",
             std::string("Cookie: s=1\0; Content-Length: 4\r\n", 33)}) {
        EXPECT_TRUE(
            Raw("POST " + origin.Url("/p") + " HTTP/1.1\r\nHost: x\r\n" + fields + "\r\n" + chunk)
                .starts_with("HTTP/1.0 400 Bad Request\r\n"))
            << fields.substr(0, 60);
    }
    // A head too long to decide on is refused with its reason.
    const std::string big = "X-Big: " + std::string(70 * 1024, 'h') + "\r\n";
    for (const std::string& request :
         {"POST " + origin.Url("/p") + " HTTP/1.1\r\nHost: x\r\n" + big + "\r\n" + chunk,
          GetRequest(origin.Url("/" + std::string(100 * 1024, 'u')), "Host: x\r\n")}) {
        EXPECT_TRUE(Raw(request).starts_with("HTTP/1.0 431 Request Header Fields Too Large\r\n"));
    }
    for (const char* version : {"HTTP/1.0", "HTTP/1.00", "HTTP/1.1x", "HTTP/9.9"}) {
        EXPECT_TRUE(Raw("POST " + origin.Url("/p") + " " + version +
                        "\r\nTransfer-Encoding: chunked\r\n\r\n" + chunk)
                        .starts_with("HTTP/1.0 400 Bad Request\r\n"))
            << version;
    }
    Settle();
    EXPECT_TRUE(origin.Requests().empty());
    // Nor does a chunked body whose lines end otherwise than at CR LF: an
    // origin strict about them would read a bare LF as part of a chunk
    // extension and find the body's end elsewhere; nor one whose size is no
    // number, or is edged with a blank (read as a size 0 by a strict one).
    // The browser is told, and the line goes nowhere.
    for (const std::string& body :
         {std::string("3;\nabc\r\n0\r\n\r\n"), std::string("3;x\x01y\r\nabc\r\n0\r\n\r\n"),
          std::string(" 3\r\nabc\r\n0\r\n\r\n"), std::string("3\t\r\nabc\r\n0\r\n\r\n"),
          std::string("3\r\nabc\n0\r\n\r\n"), std::string("3\r\nabc\r\n0\r\nX-T: 1\n\r\n"),
          std::string("zz\r\nabc\r\n0\r\n\r\n"), std::string("10000000000000000\r\nabc\r\n")}) {
        {
            auto client = Connect();
            test::SendText(client,
                           "POST " + origin.Url("/p") +
                               " HTTP/1.1\r\nHost: x\r\nTransfer-Encoding: chunked\r\n\r\n" + body);
            EXPECT_TRUE(test::ReadAll(client).starts_with("HTTP/1.0 400 Bad Request\r\n")) << body;
        }  // closed: the proxy stops waiting for the rest of the upload
        Settle();
        for (const std::string& request : origin.Requests()) {
            EXPECT_TRUE(request.starts_with("POST /p HTTP/1.1\r\n")) << request;
        }
    }
    const std::size_t refused = origin.Requests().size();
    // Lines ended by a bare LF go on ended by CR LF: an origin strict about
    // them would find no length and take the body for a request. A length
    // said twice goes on said once, which such an origin would refuse too.
    // And one a browser names in its Connection field, as a field for the
    // proxy alone, goes on all the same, and unnamed, in an upgrade too: a
    // next hop that honoured the name would drop the length and find a
    // request in the body.
    auto client = Connect();
    for (const std::string& lengths :
         {std::string("Content-Length: 5"), std::string("Content-Length: 5, 5\nContent-Length: 5"),
          std::string("Connection: keep-alive, Content-Length\nContent-Length: 5"),
          std::string("Upgrade: x\nConnection: Upgrade, Content-Length\nContent-Length: 5")}) {
        test::SendText(client,
                       "POST " + origin.Url("/p") + " HTTP/1.1\nHost: x\n" + lengths + "\n\nhello");
        EXPECT_TRUE(ReadResponse(client).ends_with("hello"));
    }
    const std::vector<std::string> requests = origin.Requests();
    ASSERT_EQ(requests.size(), refused + 4);
    for (const std::string& request : std::vector(requests.begin() + refused, requests.end())) {
        EXPECT_TRUE(test::Has(request, "\r\nContent-Length: 5\r\n")) << request;
        EXPECT_EQ(request.find("\r\nContent-Length:"), request.rfind("\r\nContent-Length:"))
            << request;
        EXPECT_FALSE(test::Has(request, "\n\n")) << request;
        EXPECT_FALSE(test::Has(request, "Content-Length\r\n")) << request;
    }
    ExpectStillServing();
}

TEST_F(HostileInput, ARewrittenUrlCannotSplitTheRedirect) {
    RuleCells need{
        true, "^http://evil/", "http://x/\r\nSet-Cookie: owned=1\r\n\r\n<b>", false, true, 0};
    lists.urlConverter.Append(need);
    StartProxy([](proxy::ProxyConfig& s) { s.urlConverterEnabled = true; });
    std::string answer = Raw("GET http://evil/ HTTP/1.1\r\n\r\n");
    EXPECT_TRUE(answer.starts_with("HTTP/1.0 302 Moved Temporarily\r\n")) << answer;
    EXPECT_FALSE(test::Has(answer, "\r\nSet-Cookie"));
    EXPECT_TRUE(
        test::Has(answer, "Location: http://x/%0D%0ASet-Cookie:%20owned=1%0D%0A%0D%0A%3Cb%3E\r\n"));
}

TEST_F(HostileInput, CredentialsThatAreNotBase64AreRefused) {
    lists.users.Delete(0);
    lists.users.Append(UserRow{true, "anna", "pw", ""});
    lists.users.RebuildUserTokens();
    StartProxy();
    for (std::string token : {std::string("!!!{}"), std::string(), std::string("YW5uYTpwdw"),
                              std::string(5000, '='), std::string("\x01\xff")}) {
        std::string answer = Raw("GET " + origin.Url("/") +
                                 " HTTP/1.1\r\nProxy-Authorization: Basic " + token + "\r\n\r\n");
        EXPECT_TRUE(answer.starts_with("HTTP/1.0 407 ")) << token;
    }
    EXPECT_EQ(origin.Connections(), 0);
}

// An origin's answer goes on as one answer: a bare CR, a folded line or a
// line of blanks after the status line cannot make the browser see a field
// the origin never sent as one (folds are joined and such lines left out,
// as a proxy must), and bytes past the
// answer (another answer altogether) never reach the browser, which would
// take them for the answer to its next request, whatever host that asks.
// Line ends an old server leaves between answers are no harm.
TEST_F(HostileInput, AnOriginCanNeitherForgeFieldsNorAnswerTheNextRequest) {
    std::atomic<bool> answerRead{false}, closedByProxy{false};
    test::LoopbackServer hostile([&](net::Socket& socket) {
        test::ReadUntil(socket, "\r\n\r\n");
        net::SendAll(socket, std::string("HTTP/1.1 200 OK\r\n X-Evil: yes\r\n"
                                         "X-A: one\rForged: two\r\nX-B: a\0b\r\n"
                                         "X-C: c\r\n\td\r\nX-D: d\n e\r\n"
                                         "Content-Length: 5\r\n\r\nhello\r\n",
                                         114));
        test::ReadUntil(socket, "\r\n\r\n");
        net::SendAll(socket, "\r\nHTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nworld");
        test::WaitUntil([&] { return answerRead.load(); });
        net::SendAll(socket, "HTTP/1.1 200 OK\r\nContent-Length: 8\r\n\r\nPOISONED");
        test::ReadAll(socket);
        closedByProxy = true;
    });
    StartProxy();
    auto client = Connect();
    test::SendText(client, GetRequest(test::LoopbackUrl(hostile.Port(), "/a")));
    const std::string answer = ReadResponse(client);
    EXPECT_TRUE(
        answer.starts_with("HTTP/1.1 200 OK\r\nX-A: one Forged: two\r\nX-B: a b\r\n"
                           "X-C: c  \td\r\nX-D: d  e\r\n"))
        << answer;
    test::SendText(client, GetRequest(test::LoopbackUrl(hostile.Port(), "/b")));
    EXPECT_TRUE(ReadResponse(client).ends_with("\r\n\r\nworld"));
    answerRead = true;
    ASSERT_TRUE(test::WaitUntil([&] { return closedByProxy.load(); }));
    EXPECT_EQ(ReadAll(client), "");
    Settle();
    ASSERT_EQ(monitor.RowCount(), 2u);
    EXPECT_EQ(monitor.Row(1)->answer, "200 OK");
    ExpectStillServing();
}

// Chunk framing that breaks mid-body leaves nobody knowing where the answer
// ends: what came goes on and the connections end, rather than the
// browser's next request waiting for an origin that may never close.
TEST_F(HostileInput, AnAnswerWhoseFramingBreaksEndsItsConnections) {
    std::atomic<bool> closedByProxy{false};
    test::LoopbackServer broken([&](net::Socket& socket) {
        test::ReadUntil(socket, "\r\n\r\n");
        net::SendAll(socket, "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n5\r\nhello\r\n" +
                                 std::string(40, 'f') + "\r\n");
        test::ReadAll(socket);
        closedByProxy = true;
    });
    StartProxy();
    auto client = Connect();
    const std::string url = test::LoopbackUrl(broken.Port(), "/a");
    test::SendText(client, GetRequest(url) + GetRequest(url));
    ASSERT_TRUE(test::WaitUntil([&] { return closedByProxy.load(); }));
    EXPECT_TRUE(ReadAll(client).starts_with("HTTP/1.1 200 OK\r\n"));
    ExpectStillServing();
}

// Answers whose end the browser could misread, or that tell of the origin's
// connection as if it were the browser's: a body unchunked for an
// HTTP/1.0 browser that the origin ends early, or whose chunks break, ends
// with a reset, not as a whole file; a length no number is not passed on
// for the browser to frame by, one with leading zeros goes on plain; an
// answer whose end was in doubt leaves no connection behind for the next
// request to find its bytes on; the fields for the origin's connection
// alone stay behind; and a switch of protocol nobody asked for opens no
// tunnel past the lists.
TEST_F(HostileInput, AnswersWhoseEndIsInDoubtMisleadNeitherTheBrowserNorTheNextRequest) {
    test::LoopbackServer odd([](net::Socket& socket) {
        for (std::string head; !(head = test::ReadUntil(socket, "\r\n\r\n")).empty();) {
            const std::string path = head.substr(4, head.find(' ', 4) - 4);
            const std::string ok = "HTTP/1.1 200 OK\r\n";
            if (path == "/cut") {
                net::SendAll(socket, ok + "Transfer-Encoding: chunked\r\n\r\n14\r\n0123456789");
                return;  // an orderly close amid the chunk
            }
            if (path == "/broken") {
                net::SendAll(socket, ok + "Transfer-Encoding: chunked\r\n\r\n5\r\nhello\r\nzz\r\n");
            } else if (path == "/both") {
                net::SendAll(socket, ok +
                                         "Transfer-Encoding: chunked\r\nContent-Length: 49\r\n\r\n"
                                         "0\r\n\r\n" +
                                         ok + "Content-Length: 6\r\n\r\nforged");
            } else if (path == "/plus") {
                net::SendAll(socket, ok + "Content-Length: +5\r\n\r\nfirst");
                return;  // the end of a body framed by none
            } else if (path == "/zeros") {
                net::SendAll(socket, ok + "Content-Length: 0000000000000000005\r\n\r\nfirst");
                continue;
            } else if (path == "/hop") {
                net::SendAll(socket, ok +
                                         "Connection: keep-alive, X-Hop\r\nX-Hop: 1\r\n"
                                         "Keep-Alive: timeout=1\r\nContent-Length: 5\r\n\r\nfresh");
                continue;
            } else if (path == "/switch") {
                net::SendAll(socket, "HTTP/1.1 101 Switching Protocols\r\nUpgrade: x\r\n\r\n");
            } else {
                net::SendAll(socket, ok + "Content-Length: 5\r\n\r\nfresh");
                continue;
            }
            test::ReadAll(socket);  // kept open until the proxy lets go
            return;
        }
    });
    StartProxy();
    const auto url = [&](const char* path) { return test::LoopbackUrl(odd.Port(), path); };
    for (const char* path : {"/cut", "/broken"}) {
        auto client = Connect();
        test::SendText(client, "GET " + url(path) + " HTTP/1.0\r\n\r\n");
        EXPECT_TRUE(test::ReadToEnd(client).reset) << path << ": ended in order, as if whole";
    }
    auto client = Connect();
    test::SendText(client, GetRequest(url("/zeros")));
    EXPECT_TRUE(test::ReadResponse(client).ends_with("\r\nContent-Length: 5\r\n\r\nfirst"));
    test::SendText(client, GetRequest(url("/next")));
    EXPECT_TRUE(test::ReadResponse(client).ends_with("fresh"));
    // Fields for the origin's connection alone stay behind.
    test::SendText(client, GetRequest(url("/hop")));
    const std::string hop = test::ReadResponse(client);
    EXPECT_TRUE(hop.ends_with("fresh")) << hop;
    EXPECT_FALSE(test::Has(hop, "X-Hop") || test::Has(hop, "Keep-Alive:")) << hop;
    const std::string plus = AnswerTo(GetRequest(url("/plus")));
    EXPECT_FALSE(test::Has(plus, "Content-Length")) << plus;
    EXPECT_TRUE(test::Has(plus, "\r\nConnection: close\r\n")) << plus;
    client = Connect();
    test::SendText(client, GetRequest(url("/both")));
    // Told that its connection ends, the browser asks anew on another.
    EXPECT_TRUE(test::Has(test::ReadUntil(client, "0\r\n\r\n"), "\r\nConnection: close\r\n"));
    test::SendText(client, GetRequest(url("/next")));  // on a new connection, if at all
    EXPECT_FALSE(test::Has(test::ReadResponse(client), "forged"));
    client = Connect();
    test::SendText(client, GetRequest(url("/switch")) + GetRequest(url("/next")));
    EXPECT_TRUE(test::ReadAll(client).ends_with("Upgrade: x\r\n\r\n"));  // and no tunnel
}

TEST(HostileFiles, ListFilesOfRandomBytesLoadWhatTheyCanAndNothingBreaks) {
    test::TempDir dir;
    std::mt19937 random(7);
    for (int round = 0; round < 50; ++round) {
        std::string bytes(static_cast<std::size_t>(random() % 4096), '\0');
        for (char& c : bytes) {
            c = static_cast<char>(random());
        }
        if (round % 2 == 0) {
            bytes.insert(0, "\xff\xfe");
        }
        std::ofstream(dir.Path() / "junk.lst", std::ios::binary) << bytes;
        RuleList black(ListKind::Black);
        black.Load(dir.Path() / "junk.lst");
        for (std::size_t i = 0; i < black.Count(); ++i) {
            FindRule(*black.Snapshot(), "http://x/");
        }
        UsersList users;
        users.Load(dir.Path() / "junk.lst");
        FindUser(*users.Snapshot(), "YTpi", "127.0.0.1");
    }
}

TEST_F(CacheFixture, TwoBrowsersRacingOnOneUrlBothGetTheWholeBody) {
    StartProxy();
    auto writer = Ask("/slowish");
    test::ReadUntil(writer, "\r\n\r\n");
    std::string first = test::ReadExactly(writer, 1000);  // its entry is being written now
    auto reader = Ask("/slowish");
    std::string second = test::BodyOf(ReadResponse(reader));
    first += test::ReadExactly(writer, 1000);
    const std::string whole = std::string(1000, 'a') + std::string(1000, 'b');
    EXPECT_EQ(first, whole);
    EXPECT_EQ(second, whole);
    writer.Close();
    reader.Close();
    Settle();
    EXPECT_EQ(test::ReadBytes(EntryFile("/slowish")), whole);
}

}  // namespace
}  // namespace vs::proxy
