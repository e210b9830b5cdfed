// Admission by the users list and the parent proxy's credentials, through
// the real engine on loopback.

#include <gtest/gtest.h>

#include <algorithm>

#include "base/base64.h"
#include "base/cp1251.h"
#include "proxy/authentication.h"
#include "proxy/generated_pages.h"
#include "support/proxy_fixture.h"

namespace vs::proxy {
namespace {

using test::HttpOrigin;
using test::ProxyFixture;
using test::ReadResponse;
using test::SendText;

class AdmissionTest : public ProxyFixture {
protected:
    AdmissionTest() { lists.users.Delete(0); }

    std::string Fetch(const HttpOrigin& origin, const std::string& credentials = "") {
        return AnswerTo(
            "GET " + origin.Url("/close") + " HTTP/1.0\r\n" +
            (credentials.empty() ? "" : "Proxy-Authorization: Basic " + credentials + "\r\n") +
            "Host: x\r\n\r\n");
    }
    std::string AuthPage() const { return AuthRequiredAnswer(clock.Now()) + "\r\n"; }
};

// A refused connection reaches no origin, yet its request is still logged
// and shown with the 407 as its answer.
TEST_F(AdmissionTest, OnlyTheCredentialsOfANamedEnabledRowAdmit) {
    HttpOrigin origin;
    lists.users.Append(UserRow{true, "anna(1)", "s3cret", ""});
    lists.users.Append(UserRow{false, "bob", "pw", ""});
    lists.users.Append(UserRow{true, "Иван", "пароль", ""});
    lists.users.RebuildUserTokens();
    StartProxy();
    const std::string token = EncodeBase64("anna(1):s3cret");
    EXPECT_TRUE(Fetch(origin, token).ends_with("hello"));  // the row names no address
    // Browsers send a Cyrillic name in UTF-8, older clients in the code page;
    // the scheme may be followed by more than one space.
    EXPECT_TRUE(Fetch(origin, EncodeBase64("Иван:пароль")).ends_with("hello"));
    EXPECT_TRUE(Fetch(origin, EncodeBase64(cp1251::FromUtf8("Иван:пароль"))).ends_with("hello"));
    EXPECT_TRUE(Fetch(origin, " " + token).ends_with("hello"));
    for (const std::string& refused :
         {EncodeBase64("anna(1):wrong"), EncodeBase64("bob:pw"), std::string()}) {
        EXPECT_EQ(Fetch(origin, refused), AuthPage()) << refused;
    }
    // A head too long to read whole is no reason to ask again for the
    // password it carries.
    EXPECT_TRUE(AnswerTo("GET " + origin.Url("/close") +
                         " HTTP/1.0\r\nProxy-Authorization: Basic " + token +
                         "\r\nCookie: " + std::string(70 * 1024, 'c') + "\r\n\r\n")
                    .starts_with("HTTP/1.0 431 "));
    // A connection closed at once (a preconnect given up) asks for nothing,
    // and is refused nothing: browsers open such connections by the dozen.
    Connect();
    EXPECT_EQ(Fetch(origin, ""), AuthPage());
    const auto logged = [&](std::string_view tail) {
        const auto headers = LogHeaders();
        return std::count_if(headers.begin(), headers.end(),
                             [&](const std::string& h) { return h.ends_with(tail); });
    };
    ASSERT_TRUE(test::WaitUntil([&] {
        Settle();
        return logged(":  Client Disconnection") >= 9;
    }));
    EXPECT_EQ(logged(": Connection from ?\?\?/127.0.0.1"), 4);
    EXPECT_EQ(logged(":  Client Disconnection"), 9);
    EXPECT_NE(FindLog("# 0: Connection from anna(1)/127.0.0.1"), nullptr);
    EXPECT_NE(FindLog("# 1: Connection from " + cp1251::FromUtf8("Иван") + "/127.0.0.1"), nullptr);
    EXPECT_NE(FindLog("# 4: Connection from ?\?\?/127.0.0.1"), nullptr);
    EXPECT_EQ(origin.Connections(), 4);
    EXPECT_EQ(origin.Requests().size(), 4u);
    ASSERT_EQ(monitor.RowCount(), 8u);
    EXPECT_EQ(monitor.Row(4)->answer, "407 Proxy Authentication Required");
}

// A browser uploading without its password goes on sending the body after
// the 407 has come: the proxy reads it to its end, so that the browser sees
// the page and a close, not a reset (which a Windows browser takes for the
// page lost).
TEST_F(AdmissionTest, AnUploadRefusedAtItsFirstRequestIsReadNotReset) {
    HttpOrigin origin;
    StartProxy();
    auto client = Connect();
    SendText(client,
             "POST " + origin.Url("/") + " HTTP/1.1\r\nHost: x\r\nContent-Length: 1048576\r\n\r\n");
    EXPECT_EQ(test::ReadAll(client), AuthPage());
    EXPECT_NO_THROW({
        for (int block = 0; block < 16; ++block) {
            SendText(client, std::string(65536, 'b'));
        }
        EXPECT_EQ(test::ReadAll(client), "");
    });
    EXPECT_EQ(origin.Requests().size(), 0u);
}

// A browser of an admitted address that resets before its first request is
// whole (a page load cancelled, a speculative connection dropped) is still
// that user's, not an unknown one refused with a 407.
TEST_F(AdmissionTest, ABrowserResettingAtOnceKeepsItsAddress) {
    lists.users.Append(UserRow{true, "desk", "", "127.0.0.1"});
    StartProxy();
    for (int i = 0; i < 5; ++i) {
        auto client = Connect();
        SendText(client, "GET http://x/ HTTP/1.1\r\nHo");
        net::CloseWithReset(client);
    }
    ASSERT_TRUE(test::WaitUntil([&] {
        Settle();
        return FindLog("# 4: Connection from desk/127.0.0.1") != nullptr;
    }));
    for (int i = 0; i < 5; ++i) {
        EXPECT_NE(FindLog("# " + std::to_string(i) + ": Connection from desk/127.0.0.1"), nullptr);
    }
    for (std::size_t row = 0; row < monitor.RowCount(); ++row) {
        EXPECT_NE(monitor.Row(row)->answer, "407 Proxy Authentication Required");
    }
}

// A user disabled while his browser keeps its connection open is refused
// from the next request on, not only on the next connection.
TEST_F(AdmissionTest, ADisabledUsersOpenConnectionIsRefusedAtItsNextRequest) {
    HttpOrigin origin;
    lists.users.Append(UserRow{true, "desk", "", "127.0.0.1"});
    StartProxy();
    auto client = Connect();
    const std::string request = "GET " + origin.Url("/") + " HTTP/1.1\r\nHost: x\r\n\r\n";
    SendText(client, request);
    EXPECT_TRUE(ReadResponse(client).ends_with("hello"));
    lists.users.SetEnable(0, false);
    SendText(client, request);
    EXPECT_TRUE(ReadResponse(client).starts_with("HTTP/1.0 407 "));
    EXPECT_EQ(test::ReadAll(client), "\r\n");  // the page's last line end, then the close
    EXPECT_EQ(origin.Requests().size(), 1u);
}

// A proxy in front of this one (squid passing its browsers' credentials on)
// sends several browsers' requests on one connection: each one's
// credentials are its own, and a request without the password is refused
// however the connection was admitted.
TEST_F(AdmissionTest, ARequestWithOtherCredentialsOnAnAdmittedConnectionIsDecidedAgain) {
    HttpOrigin origin;
    lists.users.Append(UserRow{true, "anna", "pw", ""});
    lists.users.Append(UserRow{true, "boris", "pw2", ""});
    lists.users.RebuildUserTokens();
    StartProxy();
    auto client = Connect();
    const auto ask = [&](const std::string& credentials) {
        SendText(client, "GET " + origin.Url("/") + " HTTP/1.1\r\nHost: x\r\n" +
                             (credentials.empty() ? ""
                                                  : "Proxy-Authorization: Basic " +
                                                        EncodeBase64(credentials) + "\r\n") +
                             "\r\n");
        return ReadResponse(client);
    };
    EXPECT_TRUE(ask("anna:pw").ends_with("hello"));
    EXPECT_TRUE(ask("boris:pw2").ends_with("hello"));
    EXPECT_TRUE(ask("").starts_with("HTTP/1.0 407 "));
    EXPECT_EQ(origin.Requests().size(), 2u);
    client = Connect();
    EXPECT_TRUE(ask("anna:pw").ends_with("hello"));
    EXPECT_TRUE(ask("anna:wrong").starts_with("HTTP/1.0 407 "));
    EXPECT_EQ(origin.Requests().size(), 3u);
    // The log tells whose requests follow on the connection.
    Settle();
    EXPECT_NE(FindLog("# 0: Connection from boris/127.0.0.1"), nullptr);
    EXPECT_NE(FindLog("# 0: Connection from ?\?\?/127.0.0.1"), nullptr);
}

// Proxy credentials are for proxies: the browser's own line (its password
// for this proxy) never reaches an origin, and the parent's credentials go
// only to the parent.
TEST_F(ProxyFixture, ProxyCredentialsNeverReachAnOrigin) {
    HttpOrigin origin;
    StartProxy([](proxy::ProxyConfig& s) {
        s.parentUser = "up";
        s.parentPassword = "stream";
    });
    auto client = Connect();
    SendText(client, "GET " + origin.Url("/") +
                         " HTTP/1.1\r\nProxy-Authorization: Basic bWU6bWluZQ==\r\nHost: x\r\n"
                         "proxy-authorization:basic Zm9vOmJhcg==\r\n\r\n");
    EXPECT_TRUE(ReadResponse(client).ends_with("hello"));
    ASSERT_EQ(origin.Requests().size(), 1u);
    EXPECT_EQ(origin.Requests()[0],
              "GET / HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(origin.Port()) + "\r\n\r\n");
}

// Toward the parent the browser's credentials line goes on unchanged, unless
// a parent user is set: then the parent's credentials replace it in place.
TEST_F(ProxyFixture, ParentCredentialsReplaceTheBrowsersLineInPlace) {
    HttpOrigin parent;
    StartProxy([](proxy::ProxyConfig& s) { s.useParent = true; }, parent.Port());
    const std::string request =
        "GET http://example.invalid/ HTTP/1.1\r\nProxy-Authorization: Basic bWU6bWluZQ==\r\n"
        "Host: example.invalid\r\n\r\n";
    auto client = Connect();
    SendText(client, request);
    ReadResponse(client);
    auto withUser = std::make_shared<proxy::ProxyConfig>(*config.Get());
    withUser->parentUser = "up";
    withUser->parentPassword = "stream";
    config.Publish(withUser);
    SendText(client, request);
    ReadResponse(client);
    // Parents read UTF-8, letters the code page lacks too.
    withUser = std::make_shared<proxy::ProxyConfig>(*withUser);
    withUser->parentUser = "Пётр";
    withUser->parentPassword = "Passwört";
    config.Publish(withUser);
    SendText(client, request);
    ReadResponse(client);
    ASSERT_EQ(parent.Requests().size(), 3u);
    // With this proxy's hop, for a ring of parents to be found out.
    const std::string hop = "Via: " + engine.HopName() + "\r\n";
    EXPECT_EQ(parent.Requests()[0],
              "GET http://example.invalid/ HTTP/1.1\r\nProxy-Authorization: Basic "
              "bWU6bWluZQ==\r\n" +
                  hop + "Host: example.invalid\r\n\r\n");
    const auto withCredentials = [&](const std::string& credentials) {
        return "GET http://example.invalid/ HTTP/1.1\r\nProxy-Authorization: Basic " +
               EncodeBase64(credentials) + "\r\n" + hop + "Host: example.invalid\r\n\r\n";
    };
    EXPECT_EQ(parent.Requests()[1], withCredentials("up:stream"));
    EXPECT_EQ(parent.Requests()[2], withCredentials("Пётр:Passwört"));
    // The parent is told the host the URL names, as an origin is: one going
    // by the Host field would fetch another site's page for this URL.
    SendText(client, "GET http://example.invalid/ HTTP/1.1\r\nHost: other.invalid\r\n\r\n");
    ReadResponse(client);
    ASSERT_EQ(parent.Requests().size(), 4u);
    EXPECT_TRUE(test::Has(parent.Requests()[3], "\r\nHost: example.invalid\r\n"))
        << parent.Requests()[3];
    // And the URL as the lists judged it: a parent reading the host up to
    // the first "/" would take "example.invalid#@" for user info and go to
    // a host the lists never saw.
    for (const char* end : {"#@127.0.0.1:9/", "?@127.0.0.1:9/"}) {
        SendText(client, std::string("GET http://example.invalid") + end + " HTTP/1.1\r\n\r\n");
        ReadResponse(client);
    }
    ASSERT_EQ(parent.Requests().size(), 6u);
    EXPECT_TRUE(parent.Requests()[4].starts_with("GET http://example.invalid/ HTTP/1.1\r\n"))
        << parent.Requests()[4];
    EXPECT_TRUE(
        parent.Requests()[5].starts_with("GET http://example.invalid/?@127.0.0.1:9/ HTTP/1.1\r\n"))
        << parent.Requests()[5];
    // A request naming no host is no one's to judge: the parent would take
    // its site from the Host field, past the black list.
    for (const char* target : {"/", "//example.invalid/", "http:///example.invalid/", "*"}) {
        auto nameless = Connect();
        SendText(nameless,
                 std::string("OPTIONS ") + target + " HTTP/1.1\r\nHost: other.invalid\r\n\r\n");
        EXPECT_TRUE(ReadResponse(nameless).starts_with("HTTP/1.0 400 ")) << target;
    }
    EXPECT_EQ(parent.Requests().size(), 6u);
    // The log, which reaches the journal, shows whose scheme, never whose
    // password: neither the browser's nor the parent's.
    client.Close();
    Settle();
    for (const LogLine& line : log) {
        EXPECT_FALSE(test::Has(line.body, "bWU6bWluZQ==") ||
                     test::Has(line.body, EncodeBase64("up:stream")))
            << line.body;
    }
    ASSERT_NE(FindLog("# 0 >>> URL: http://example.invalid/"), nullptr);
    EXPECT_TRUE(test::Has(FindLog("# 0 >>> URL: http://example.invalid/")->body,
                          "\r\nProxy-Authorization: Basic ********\r\n" + hop + "Host:"));
}

// Spellings a lenient reader still takes for the credentials line: a blank
// before the colon, the password folded onto a line of its own; and a
// site's own login.
TEST(LoggedRequest, HidesThePasswordHoweverTheLineIsSpelt) {
    for (const char* head : {"GET / HTTP/1.1\r\nProxy-Authorization : Basic c2VjcmV0\r\n\r\n",
                             "GET / HTTP/1.1\r\nAuthorization: Basic c2VjcmV0\r\n\r\n",
                             "GET / HTTP/1.1\r\nproxy-authorization: Basic\r\n c2VjcmV0\r\n"
                             "Host: x\r\n\r\n"}) {
        const std::string logged = LoggedRequestText(http::MessageHead(head));
        EXPECT_FALSE(test::Has(logged, "c2VjcmV0")) << logged;
        EXPECT_TRUE(test::Has(logged, "Basic")) << logged;
    }
    // An API key sent as the whole value, with no scheme before it.
    const std::string logged = LoggedRequestText(
        http::MessageHead("GET / HTTP/1.1\r\nAuthorization: c2VjcmV0 \r\nHost: x\r\n\r\n"));
    EXPECT_TRUE(test::Has(logged, "\r\nAuthorization: ********\r\nHost: x\r\n")) << logged;
}

}  // namespace
}  // namespace vs::proxy
