// Admission by the users list and the parent proxy's credentials, through
// the real engine on loopback.

#include <gtest/gtest.h>

#include "base/base64.h"
#include "proxy/authentication.h"
#include "proxy/generated_pages.h"
#include "support/proxy_fixture.h"

namespace vs::proxy {
namespace {

using test::HttpOrigin;
using test::ProxyFixture;
using test::ReadAll;
using test::ReadResponse;
using test::SendText;

class AdmissionTest : public ProxyFixture {
protected:
    AdmissionTest() { lists.users.Delete(0); }

    // The first request with optional credentials; returns all the browser
    // gets back.
    std::string Fetch(const HttpOrigin& origin, const std::string& credentials = "") {
        auto client = Connect();
        std::string request = "GET " + Url(origin.Port(), "/close") + " HTTP/1.0\r\n";
        if (!credentials.empty()) {
            request += "Proxy-Authorization: Basic " + credentials + "\r\n";
        }
        SendText(client, request + "Host: x\r\n\r\n");
        return ReadAll(client);
    }
    std::string AuthPage() const { return AuthRequiredAnswer(clock.Now()) + "\r\n"; }
};

TEST_F(AdmissionTest, CredentialsOfAnEnabledRowAdmitFromAnyAddress) {
    HttpOrigin origin;
    lists.users.Append(UserRow{true, "anna(1)", "s3cret", ""});
    lists.users.RebuildUserTokens();
    StartProxy();
    EXPECT_TRUE(Fetch(origin, EncodeBase64("anna(1):s3cret")).ends_with("hello"));
    Settle();
    EXPECT_NE(FindLog("# 0: Connection from anna(1)/127.0.0.1"), nullptr);
    EXPECT_EQ(origin.Requests().size(), 1u);
}

TEST_F(AdmissionTest, WrongDisabledOrCaseSwappedCredentialsGetThe407Page) {
    HttpOrigin origin;
    lists.users.Append(UserRow{true, "anna", "s3cret", ""});
    lists.users.Append(UserRow{false, "bob", "pw", ""});
    lists.users.RebuildUserTokens();
    StartProxy();
    std::string good = EncodeBase64("anna:s3cret");
    std::string swapped = good;
    for (char& c : swapped) {
        c = std::isupper(static_cast<unsigned char>(c)) ? std::tolower(c) : std::toupper(c);
    }
    for (const std::string& token :
         {EncodeBase64("anna:wrong"), EncodeBase64("bob:pw"), swapped, std::string()}) {
        std::string answer = Fetch(origin, token);
        EXPECT_EQ(answer, AuthPage()) << token;
    }
    // The page is the header and a Windows-1251 body whose length the header
    // states.
    std::string page = AuthPage();
    std::size_t bodyAt = page.find("\r\n\r\n") + 4;
    std::string body = page.substr(bodyAt, page.size() - bodyAt - 2);
    EXPECT_NE(page.find("Content-Length: " + std::to_string(body.size()) + "\r\n"),
              std::string::npos);
    EXPECT_NE(body.find("\xCE\xD8\xC8\xC1\xCA\xC0"), std::string::npos);
    Settle();
    EXPECT_EQ(origin.Connections(), 0);
    EXPECT_NE(FindLog("# 0: Connection from ?\?\?/127.0.0.1"), nullptr);
    // The refused request is still logged and shown, with the 407 as its
    // answer.
    ASSERT_GE(monitor.RowCount(), 1u);
    EXPECT_EQ(monitor.Row(0)->answer, "407 Proxy Authentication Required");
}

TEST_F(AdmissionTest, ANameWithoutPasswordAdmitsByAddressOnly) {
    HttpOrigin origin;
    lists.users.Append(UserRow{true, "office", "pw", "127.0.0.1"});  // has a password
    lists.users.Append(UserRow{true, "elsewhere", "", "10.0.0.8"});
    StartProxy();
    EXPECT_EQ(Fetch(origin), AuthPage());

    lists.users.Append(UserRow{true, "desk", "", "127.0.0.1"});
    EXPECT_TRUE(Fetch(origin).ends_with("hello"));
    Settle();
    EXPECT_NE(FindLog("# 1: Connection from desk/127.0.0.1"), nullptr);
}

TEST_F(ProxyFixture, ParentCredentialsReplaceTheBrowsersLineInPlace) {
    HttpOrigin parent;
    StartProxy(
        [](Settings& s) {
            s.UseParentProxy = true;
            s.UserNameEd = "up";
            s.UserPswEd = "stream";
        },
        parent.Port());
    auto client = Connect();
    SendText(client,
             "GET http://example.invalid/ HTTP/1.1\r\nProxy-Authorization: Basic bWU6bWluZQ==\r\n"
             "Host: example.invalid\r\n\r\n");
    ReadResponse(client);
    ASSERT_EQ(parent.Requests().size(), 1u);
    EXPECT_EQ(parent.Requests()[0],
              "GET http://example.invalid/ HTTP/1.1\r\nProxy-Authorization: Basic " +
                  EncodeBase64("up:stream") + "\r\nHost: example.invalid\r\n\r\n");
}

TEST_F(ProxyFixture, WithoutAParentUserTheBrowsersLineGoesOnUnchanged) {
    HttpOrigin parent;
    StartProxy([](Settings& s) { s.UseParentProxy = true; }, parent.Port());
    auto client = Connect();
    std::string request =
        "GET http://example.invalid/ HTTP/1.1\r\nProxy-Authorization: Basic bWU6bWluZQ==\r\n\r\n";
    SendText(client, request);
    ReadResponse(client);
    ASSERT_EQ(parent.Requests().size(), 1u);
    EXPECT_EQ(parent.Requests()[0], request);
}

TEST(AddAuthorization, InsertsBeforeTheFirstKnownHeaderOrLast) {
    Settings s;
    s.UserNameEd = "u";
    s.UserPswEd = "p";
    const std::string line = "Proxy-Authorization: Basic " + EncodeBase64("u:p") + "\r\n";

    std::string request = "GET / HTTP/1.1\r\nAccept: */*\r\nHost: h\r\n\r\n";
    EXPECT_TRUE(AddAuthorization(s, request));
    EXPECT_EQ(request, "GET / HTTP/1.1\r\nAccept: */*\r\n" + line + "Host: h\r\n\r\n");

    request = "GET / HTTP/1.1\r\nAccept: */*\r\n\r\n";
    EXPECT_TRUE(AddAuthorization(s, request));
    EXPECT_EQ(request, "GET / HTTP/1.1\r\nAccept: */*\r\n" + line + "\r\n");

    // A header cut short: no place, but the request still counts as changed.
    request = "GET / HTTP/1.1\r\nAccept: */*";
    EXPECT_TRUE(AddAuthorization(s, request));
    EXPECT_EQ(request, "GET / HTTP/1.1\r\nAccept: */*");

    s.UserNameEd.clear();
    EXPECT_FALSE(AddAuthorization(s, request));
}

}  // namespace
}  // namespace vs::proxy
