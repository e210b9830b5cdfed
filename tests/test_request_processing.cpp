// Request processing end to end: a real engine, real sockets, a real origin.

#include <gtest/gtest.h>

#include <optional>
#include <thread>

#include "rules/find_rule.h"
#include "support/proxy_fixture.h"
#include "support/wait.h"

namespace vs::proxy {
namespace {

using test::Has;
using test::HttpOrigin;
using test::ProxyFixture;
using test::ReadAll;
using test::ReadResponse;
using test::SendText;

RuleCells Rule(std::string pattern) {
    return RuleCells{true, std::move(pattern), "", false, false, 0};
}

// The black list sees the URL without scheme and "www.", and refuses with
// the number of the first enabled row that matches.
TEST_F(ProxyFixture, TheFirstEnabledMatchingBlackListRuleRefusesWithItsNumber) {
    HttpOrigin origin;
    lists.black.Append(Rule("nomatch"));
    lists.black.Append(RuleCells{false, "^127\\.0\\.0\\.1", "", false, false, 0});  // skipped
    lists.black.Append(RuleCells{true, "ads/", "", false, false, 4});
    lists.black.Append(Rule("^host/banner"));
    lists.black.Append(Rule("^127\\.0\\.0\\.1:" + std::to_string(origin.Port()) + "/numeric"));
    lists.black.Append(Rule("казино"));
    lists.black.Append(Rule("(.*\\.)*ads\\."));
    lists.black.Append(Rule("^evil\\.example/"));
    lists.black.Append(Rule("^tls\\.example:443$"));
    StartProxy();
    const std::string url = origin.Url("/ads/<script>x</script>?a=1&b=\"2\"");
    const std::string page = AnswerTo(GetRequest(url, "Host: x\r\n"));
    EXPECT_TRUE(page.starts_with("HTTP/1.0 403 Forbidden\r\n")) << page;
    EXPECT_TRUE(Has(page, "was not allowed (rule #3)."));
    EXPECT_TRUE(Has(AnswerTo("GET http://www.Host/Banner.gif HTTP/1.0\r\n\r\n"), "(rule #4)."));
    // User info neither hides the host from a rule nor shows the password.
    EXPECT_TRUE(
        Has(AnswerTo("GET http://me:pw@www.Host/Banner.gif HTTP/1.0\r\n\r\n"), "(rule #4)."));
    // Spellings an origin reads as the same page meet the same rule.
    for (const std::string spelling :
         {"/%61ds/", "/x/../ads/", "//ads//", "/%2E/ads/", "/ads%2Fx.gif", "/x/..%2fads/"}) {
        EXPECT_TRUE(Has(AnswerTo(GetRequest(origin.Url(spelling))), "(rule #3).")) << spelling;
    }
    const std::string port = std::to_string(origin.Port());
    for (const std::string host : {"0x7f000001", "127.1", "[::ffff:127.0.0.1]", "[::FFFF:7f00:1]",
                                   "[0:0:0:0:0:ffff:127.0.0.1]", "u@127.0.0.1"}) {
        // With a scheme and without, as some clients write it.
        for (const std::string scheme : {"http://", ""}) {
            const std::string url = scheme + host + ":0" + port + "/numeric";
            EXPECT_TRUE(Has(AnswerTo("GET " + url + " HTTP/1.0\r\n\r\n"), "(rule #5).")) << url;
        }
    }
    // A rule in Cyrillic means the word however a browser spells it: escaped
    // UTF-8 (what browsers send), escaped or raw Windows-1251, raw UTF-8, and
    // in a host name, its ASCII form; beside letters the code page lacks (a
    // stress mark, a Greek letter) too.
    for (const std::string spelling :
         {"/%D0%BA%D0%B0%D0%B7%D0%B8%D0%BD%D0%BE/", "/?q=%d0%9a%d0%90%d0%97%d0%98%d0%9d%d0%9e",
          "/%EA%E0%E7%E8%ED%EE", "/\xD0\x9A\xD0\x90\xD0\x97\xD0\x98\xD0\x9D\xD0\x9E",
          "/\xCA\xC0\xC7\xC8\xCD\xCE", "/%D0%BA%D0%B0%D0%B7%D0%B8%D0%BD%D0%BE%CC%81",
          "/\xCE\xB1\xD0\xBA\xD0\xB0\xD0\xB7\xD0\xB8\xD0\xBD\xD0\xBE"}) {
        EXPECT_TRUE(Has(AnswerTo(GetRequest(origin.Url(spelling))), "(rule #6).")) << spelling;
    }
    for (const std::string host :
         {"xn--80aodfsg.xn--p1ai", "\xD0\xBA\xD0\xB0\xD0\xB7\xD0\xB8\xD0\xBD\xD0\xBE.rf"}) {
        EXPECT_TRUE(Has(AnswerTo("GET http://" + host + "/ HTTP/1.0\r\n\r\n"), "(rule #6)."))
            << host;
    }
    // Where the proxy itself connects and what it asks for decides: the
    // scheme's own port however written, a root without its "/", a fragment.
    for (const std::string url :
         {"http://evil.example:80/x", "http://Evil.Example:/x", "http://evil.example:+080/x",
          "http://evil.example:80:80/", "http://evil.example?x", "http://www.evil.example",
          "http://evil.example#x"}) {
        EXPECT_TRUE(Has(AnswerTo("GET " + url + " HTTP/1.0\r\n\r\n"), "(rule #8).")) << url;
    }
    for (const std::string target : {"tls.example", "tls.example:0443", "tls.example:"}) {
        EXPECT_TRUE(Has(AnswerTo("CONNECT " + target + " HTTP/1.0\r\n\r\n"), "(rule #9)."))
            << target;
    }
    // A rule the matcher gives up on refuses: padding a URL must not pass it.
    std::string padded = "/ads.x/";
    for (int i = 0; i < 40; ++i) {
        padded += "a.";
    }
    EXPECT_TRUE(Has(AnswerTo("GET " + origin.Url(padded) + " HTTP/1.0\r\n\r\n"), "(rule #7)."));
    Settle();
    EXPECT_EQ(origin.Connections(), 0);
    EXPECT_EQ(lists.black.Row(2).hits, 11);
    EXPECT_EQ(lists.black.Row(0).hits, 0);
    EXPECT_EQ(lists.black.Row(5).hits, 9);
    ASSERT_EQ(monitor.RowCount(), 41u);
    EXPECT_EQ(monitor.Row(0)->answer, "403 Forbidden");
    EXPECT_EQ(monitor.Row(2)->url, "http://www.Host/Banner.gif");
}

// A refusal is the whole answer, however the request goes on: a browser
// still uploading reads the page to its end (a close with the upload unread
// would reset the connection instead), and a HEAD gets the head only.
TEST_F(ProxyFixture, ARefusalReachesABrowserStillUploadingAndAHeadGetsNoPage) {
    lists.black.Append(Rule("blocked"));
    StartProxy();
    // What reaches a browser uploading 16 MiB, and whether it ended in a reset.
    const auto answerToUpload = [&](const std::string& url) {
        auto client = Connect();
        const std::size_t size = 16 << 20;
        std::thread upload([&] {
            try {
                SendText(client, "POST " + url + " HTTP/1.1\r\nHost: host\r\nContent-Length: " +
                                     std::to_string(size) + "\r\n\r\n" + std::string(size, 'u'));
            } catch (const net::SocketError&) {
                // The proxy may stop reading before the last byte.
            }
        });
        auto answer = test::ReadToEnd(client);
        upload.join();
        return answer;
    };
    const auto [page, reset] = answerToUpload("http://host/blocked");
    EXPECT_FALSE(reset) << "reset after " << page.size() << " bytes";
    EXPECT_TRUE(page.starts_with("HTTP/1.0 403 Forbidden\r\n"));
    EXPECT_TRUE(page.ends_with("</BODY></HTML>\r\n\r\n"));
    // An origin refusing the upload unread, then closing: its answer waits
    // behind the close, and reaches the browser instead of the 502 page.
    HttpOrigin origin;
    const std::string refused = answerToUpload(origin.Url("/refuse")).bytes;
    EXPECT_TRUE(refused.starts_with("HTTP/1.1 413 ")) << refused.substr(0, 100);
    // A slow uploader that reads only once it has sent all (urllib) reads the
    // page too: the upload outlasts a pause's patience, not the proxy's.
    {
        auto client = Connect();
        const std::size_t piece = 32 << 10;
        const int pieces = 8;
        SendText(client, "POST http://host/blocked HTTP/1.1\r\nHost: host\r\nContent-Length: " +
                             std::to_string(piece * pieces) + "\r\n\r\n");
        for (int i = 0; i < pieces; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(400));  // the uploader's pace
            SendText(client, std::string(piece, 'u'));
        }
        EXPECT_TRUE(ReadAll(client).ends_with("</BODY></HTML>\r\n\r\n"));
    }

    const std::string head = AnswerTo("HEAD http://host/blocked HTTP/1.1\r\nHost: host\r\n\r\n");
    EXPECT_TRUE(head.starts_with("HTTP/1.0 403 Forbidden\r\n")) << head;
    EXPECT_TRUE(head.ends_with("\r\n\r\n"));
    EXPECT_FALSE(Has(head, "<HTML>"));
}

// curl and wget send letters raw through a proxy (escaping them only when
// they ask a site themselves): the origin gets them escaped, byte for byte,
// as browsers send them, where a strict server would refuse them.
// Sent raw, the letters reach the origin escaped, and meet the rules as the
// origin gets them: a rule naming the escapes a browser sends refuses them.
TEST_F(ProxyFixture, LettersSentRawReachTheOriginAndTheRulesEscaped) {
    HttpOrigin origin;
    lists.black.Append(Rule("/%d0%b7%d0%bb%d0%be"));  // "/зло"
    StartProxy();
    EXPECT_TRUE(
        AnswerTo("GET " + origin.Url("/путь/%41?q=ё") + " HTTP/1.0\r\n\r\n").ends_with("hello"));
    ASSERT_EQ(origin.Requests().size(), 1u);
    EXPECT_TRUE(
        origin.Requests()[0].starts_with("GET /%D0%BF%D1%83%D1%82%D1%8C/%41?q=%D1%91 HTTP/1.0\r\n"))
        << origin.Requests()[0];
    const std::string refused = AnswerTo("GET " + origin.Url("/зло") + " HTTP/1.0\r\n\r\n");
    EXPECT_TRUE(Has(refused, " 403 ")) << refused;
    EXPECT_EQ(origin.Requests().size(), 1u);
}

TEST_F(ProxyFixture, HoldingTheCancelKeysLetsABlockedUrlThrough) {
    HttpOrigin origin;
    lists.black.Append(Rule("blocked"));
    StartProxy([](proxy::ProxyConfig& s) { s.blackListCancelKeys = 5; });  // Ctrl+Shift
    CtrlDown = true;
    ShiftDown = true;
    auto client = Connect();
    SendText(client, GetRequest(origin.Url("/blocked")));
    std::string answer = ReadResponse(client);
    CtrlDown = false;
    ShiftDown = false;
    EXPECT_TRUE(answer.ends_with("hello")) << answer;
}

TEST_F(ProxyFixture, UrlConverterRedirectsToTheFinalLowerCasedText) {
    HttpOrigin origin;
    lists.urlConverter.Append(
        RuleCells{true, "^http://old\\.example/", "http://new.example/", false, true, 0});
    lists.urlConverter.Append(RuleCells{true, "\\.gif$", ".PNG", false, false, 0});
    lists.urlConverter.Append(RuleCells{true, "^http://ru\\.example/(.*)",
                                        "http://Поиск.рф:8080/Страница?\\1", false, true, 0});
    lists.black.Append(Rule("example"));  // would refuse, but is never asked
    StartProxy([](proxy::ProxyConfig& s) { s.urlConverterEnabled = true; });
    const std::string answer =
        AnswerTo("GET http://OLD.example/Img/Logo.GIF HTTP/1.1\r\nHost: old.example\r\n\r\n");
    EXPECT_TRUE(answer.starts_with("HTTP/1.0 302 Moved Temporarily\r\n")) << answer;
    EXPECT_TRUE(Has(answer, "\r\nLocation: http://new.example/img/logo.PNG\r\n"));
    // A result in Cyrillic goes out as browsers follow it: the host in its
    // xn-- form, the path in escaped UTF-8.
    EXPECT_TRUE(Has(AnswerTo("GET http://ru.example/q HTTP/1.0\r\n\r\n"),
                    "\r\nLocation: http://xn--h1aekdm.xn--p1ai:8080/"
                    "%D0%A1%D1%82%D1%80%D0%B0%D0%BD%D0%B8%D1%86%D0%B0?q\r\n"));
    // A part taken from a URL written in raw UTF-8 (curl's way) stays those
    // letters, not the code page's reading of its bytes.
    EXPECT_TRUE(Has(AnswerTo("GET http://ru.example/\xD0\x94\xD0\xB0 HTTP/1.0\r\n\r\n"),
                    "/%D0%A1%D1%82%D1%80%D0%B0%D0%BD%D0%B8%D1%86%D0%B0?%D0%B4%D0%B0\r\n"));
    // A rule in Cyrillic meets the letters as browsers escape them ("/Путь/")
    // as it does raw ones; other escapes keep their meaning.
    lists.urlConverter.Append(RuleCells{true, "/путь/", "/new/", false, true, 0});
    EXPECT_TRUE(Has(AnswerTo("GET http://site.example/%D0%9F%D1%83%D1%82%D1%8C/a%2Fb HTTP/1.0"
                             "\r\n\r\n"),
                    "\r\nLocation: http://site.example/new/a%2fb\r\n"));
    // So does one written with the escapes, which letters sent raw meet as
    // well, and one in letters meets them sent raw in the code page itself
    // (old Windows tools).
    lists.urlConverter.Append(RuleCells{true, "/%d0%b0%d0%b1/", "/ab/", false, true, 0});
    EXPECT_TRUE(Has(AnswerTo("GET http://site.example/%D0%B0%D0%B1/x HTTP/1.0\r\n\r\n"),
                    "\r\nLocation: http://site.example/ab/x\r\n"));
    EXPECT_TRUE(Has(AnswerTo("GET http://site.example/аб/raw HTTP/1.0\r\n\r\n"),
                    "\r\nLocation: http://site.example/ab/raw\r\n"));
    EXPECT_TRUE(Has(AnswerTo("GET http://site.example/\xCF\xF3\xF2\xFC/raw HTTP/1.0\r\n\r\n"),
                    "\r\nLocation: http://site.example/new/raw\r\n"));
    EXPECT_TRUE(Has(AnswerTo("GET http://site.example/%CF%F3%F2%FC/esc HTTP/1.0\r\n\r\n"),
                    "\r\nLocation: http://site.example/new/esc\r\n"));
    // Such bytes where no rule looks go on as they came, escaped as the
    // origin would get them: the site reads its own code page.
    EXPECT_TRUE(Has(AnswerTo("GET http://old.example/q?a=%20&b=\xEF\xF0 HTTP/1.0\r\n\r\n"),
                    "\r\nLocation: http://new.example/q?a=%20&b=%ef%f0\r\n"));
    // Letters it lacks, written raw, go on as the same letters.
    EXPECT_TRUE(Has(AnswerTo("GET http://site.example/путь/café HTTP/1.0\r\n\r\n"),
                    "\r\nLocation: http://site.example/new/caf%c3%a9\r\n"));
    // A rule that meets both readings of a URL counts once.
    lists.urlConverter.Append(RuleCells{true, "^(http://site\\.example/)", "$1", false, true, 0});
    EXPECT_TRUE(Has(AnswerTo("GET http://site.example/%D0%BF%D1%83%D1%82%D1%8C/1 HTTP/1.0\r\n\r\n"),
                    "\r\nLocation: http://site.example/new/1\r\n"));
    // A rule that gives back capitals (the URL it reads is lower-cased)
    // redirects once; the browser's next request, which it gives back as
    // asked, goes on rather than round the same redirect for good.
    lists.urlConverter.Append(
        RuleCells{true, "^(http://127\\.0\\.0\\.1:\\d+/)wiki/", "$1Wiki/", false, true, 0});
    EXPECT_TRUE(Has(AnswerTo(GetRequest(origin.Url("/wiki/Main"))),
                    "\r\nLocation: " + origin.Url("/Wiki/main") + "\r\n"));
    EXPECT_TRUE(AnswerTo("GET " + origin.Url("/Wiki/main") + " HTTP/1.0\r\n\r\n")
                    .starts_with("HTTP/1.1 200 "));
    Settle();
    EXPECT_EQ(lists.urlConverter.Row(5).hits, 1);
    EXPECT_EQ(monitor.RowCount(), 1u);  // only the request that went on
    EXPECT_EQ(lists.black.Row(0).hits, 0);
    EXPECT_EQ(lists.urlConverter.Row(0).hits, 2);
    EXPECT_EQ(lists.urlConverter.Row(1).hits, 1);
}

// A chain opened by a rule for the host goes on to a rule for letters that a
// browser sent escaped.
TEST_F(ProxyFixture, UrlConverterChainsMeetTheLettersBrowsersEscape) {
    lists.urlConverter.Append(
        RuleCells{true, "^http://old\\.example/", "http://new.example/", false, true, 0});
    lists.urlConverter.Append(RuleCells{true, "/лес/", "/forest/", false, false, 0});
    lists.urlConverter.Append(
        RuleCells{true, "^http://казино\\.рф/", "http://new.example/", false, true, 0});
    lists.urlConverter.Append(
        RuleCells{true, "^http://up\\.example/(.*)", "http://new.example/\\U1", false, true, 0});
    StartProxy([](proxy::ProxyConfig& s) { s.urlConverterEnabled = true; });
    // A case change acts on the letters, not on the digits of their escapes.
    EXPECT_TRUE(Has(AnswerTo("GET http://up.example/%D0%BB%D0%B5%D1%81 HTTP/1.0\r\n\r\n"),
                    "\r\nLocation: http://new.example/%D0%9B%D0%95%D0%A1\r\n"));
    EXPECT_TRUE(Has(AnswerTo("GET http://old.example/%D0%BB%D0%B5%D1%81/x HTTP/1.0\r\n\r\n"),
                    "\r\nLocation: http://new.example/forest/x\r\n"));
    // A host as browsers send it, in its ASCII form.
    EXPECT_TRUE(Has(AnswerTo("GET http://xn--80aodfsg.xn--p1ai/y HTTP/1.0\r\n\r\n"),
                    "\r\nLocation: http://new.example/y\r\n"));
    Settle();
    EXPECT_EQ(lists.urlConverter.Row(0).hits, 1);
    EXPECT_EQ(lists.urlConverter.Row(1).hits, 1);
    EXPECT_EQ(lists.urlConverter.Row(2).hits, 1);
}

// Whatever its method, every request is an exchange of its own: its URL is
// checked by the lists, logged and shown, and never inherited by the next.
TEST_F(ProxyFixture, RequestsWithAnyMethodAreDecidedOnOneByOne) {
    HttpOrigin origin;
    lists.black.Append(Rule("blocked"));
    StartProxy();
    auto client = Connect();
    SendText(client, "PATCH " + origin.Url("/first") + " HTTP/1.1\r\n\r\n");
    EXPECT_TRUE(ReadResponse(client).ends_with("hello"));
    SendText(client, "PROPFIND " + origin.Url("/second") + " HTTP/1.1\r\n\r\n");
    EXPECT_TRUE(ReadResponse(client).ends_with("hello"));
    consumer.Drain();
    EXPECT_EQ(monitor.Row(0)->state, 2);  // closed by the next request on the connection
    SendText(client, "MKCOL " + origin.Url("/blocked") + " HTTP/1.1\r\n\r\n");
    EXPECT_TRUE(Has(ReadAll(client), "(rule #1)."));
    Settle();
    ASSERT_EQ(origin.Requests().size(), 2u);
    EXPECT_TRUE(origin.Requests()[1].starts_with("PROPFIND /second HTTP/1.1\r\n"));
    ASSERT_EQ(monitor.RowCount(), 3u);
    EXPECT_EQ(monitor.Row(1)->url, origin.Url("/second"));
    EXPECT_EQ(monitor.Row(2)->url, origin.Url("/blocked"));
    EXPECT_NE(FindLog("# 0 >>> URL: " + origin.Url("/second")), nullptr);
}

TEST_F(ProxyFixture, AnOriginClosingBeforeAnsweringGivesTheBadGatewayPage) {
    HttpOrigin origin;
    StartProxy();
    const std::string page = AnswerTo(GetRequest(origin.Url("/silent"), "Host: x\r\n"));
    EXPECT_TRUE(page.starts_with("HTTP/1.0 502 Bad Gateway\r\n")) << page;
    EXPECT_TRUE(page.ends_with("</BODY></HTML>\r\n\r\n"));
    Settle();
    ASSERT_EQ(monitor.RowCount(), 1u);
    EXPECT_EQ(monitor.Row(0)->answer, "502 Bad Gateway");
    EXPECT_EQ(monitor.Row(0)->state, 2);

    // A head without end in sight is no answer either; the browser must not
    // take part of it for a whole answer and wait on that connection.
    const std::string huge = AnswerTo(GetRequest(origin.Url("/bighead"), "Host: x\r\n"));
    EXPECT_TRUE(huge.starts_with("HTTP/1.0 502 Bad Gateway\r\n")) << huge.substr(0, 100);
    // Nor is a head cut short by the close: relayed, it read as a whole
    // answer with an empty body.
    const std::string cut = AnswerTo(GetRequest(origin.Url("/cuthead"), "Host: x\r\n"));
    EXPECT_TRUE(cut.starts_with("HTTP/1.0 502 Bad Gateway\r\n")) << cut;
    // Bytes that are no HTTP at all go on as they came, and alone.
    EXPECT_EQ(AnswerTo(GetRequest(origin.Url("/nohttp"), "Host: x\r\n")),
              std::string("no status line\0\x01 here", 21));

    // An origin ending its kept-alive connection after an answer, with the
    // next request already sent, failed nothing: the browser's connection
    // closes after that answer, as the origin's did, and the browser sends
    // the request again rather than keeping a 502 for it.
    auto client = Connect();
    SendText(client, GetRequest(origin.Url("/close"), "Host: x\r\n") +
                         GetRequest(origin.Url("/size/10"), "Host: x\r\n"));
    const std::string answers = ReadAll(client);
    EXPECT_TRUE(answers.ends_with("\r\n\r\nhello")) << answers;
}

// An upload's body passes unchanged whatever its lines look like, and a
// head that comes in two reads is decided on as a whole.
TEST_F(ProxyFixture, BodiesAndHeadsSplitAcrossReadsAreTakenWhole) {
    HttpOrigin origin;
    lists.black.Append(Rule("forbidden"));
    lists.black.Append(Rule("split"));
    StartProxy();
    auto client = Connect();
    const std::string body =
        "GET http://forbidden/ HTTP/1.1\r\nHeader: x\r\ngetaway\r\nDELETE me\r\n\r\n";
    const std::string url = origin.Url("/upload");
    SendText(client, "POST " + url + " HTTP/1.1\r\nHost: x\r\nContent-Length: " +
                         std::to_string(body.size()) + "\r\n\r\n");
    // The body comes in reads of its own.
    ASSERT_TRUE(test::WaitUntil([&] { return origin.Requests().size() == 1; }));
    SendText(client, body.substr(0, 20));
    ASSERT_TRUE(test::WaitSent(client.Fd()));
    SendText(client, body.substr(20));
    EXPECT_TRUE(ReadResponse(client).ends_with("hello"));
    // The origin saw the upload unchanged (HttpOrigin records header blocks:
    // the body shows up as a request of its own, which it answers too).
    EXPECT_TRUE(test::WaitUntil([&] { return origin.Requests().size() == 2; }));
    EXPECT_EQ(origin.Requests().back(), body);

    client = Connect();
    SendText(client, "GET " + origin.Url("/spl"));
    ASSERT_TRUE(test::WaitSent(client.Fd()));
    SendText(client, "it HTTP/1.1\r\nHost: x\r\n\r\n");
    EXPECT_TRUE(Has(ReadAll(client), "(rule #2)."));
    client.Close();
    Settle();
    EXPECT_EQ(lists.black.Row(0).hits, 0);
    EXPECT_EQ(origin.Requests().size(), 2u);
    EXPECT_EQ(monitor.RowCount(), 2u);
}

}  // namespace
}  // namespace vs::proxy
