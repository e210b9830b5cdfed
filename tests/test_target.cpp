#include <gtest/gtest.h>

#include "proxy/target.h"

using vs::proxy::ChooseDirectTarget;
using vs::proxy::ChooseTunnelTarget;

TEST(Target, HostPortAndPathFromTheUrlOrTheConnectTarget) {
    struct Case {
        const char* url;
        const char* host;
        int port;
        const char* path;
    } cases[] = {
        {"HTTPS://host/x", "host", 443, "/x"},
        {"ftp://files.example/pub/a.txt", "files.example", 21, "/pub/a.txt"},
        {"http://host:81", "host", 81, "/"},
        {"http://host:abc/", "host", 80, "/"},
        {"http://host:8080/a/b?q=http://x:9/", "host", 8080, "/a/b?q=http://x:9/"},
        {"http://[::1]:8081/v6", "::1", 8081, "/v6"},
        {"http://[::1]/v6", "::1", 80, "/v6"},
        {"/already/a/path", "", 80, "/already/a/path"},
        // User info names no host, and a query may follow the host at once.
        {"http://user:pw@host:8081/x", "host", 8081, "/x"},
        {"http://127.0.0.1:22@example.com/a@b", "example.com", 80, "/a@b"},
        {"http://u@[::1]:81/", "::1", 81, "/"},
        {"http://host:82?q=a@b:9", "host", 82, "/?q=a@b:9"},
        // A fragment never reaches the origin.
        {"http://host:83#top", "host", 83, "/"},
        {"http://host/a?b#c/d", "host", 80, "/a?b"},
        // A "://" past the host is part of the query, not a scheme.
        {"x/?u=http://127.0.0.1:9/a", "x", 80, "/?u=http://127.0.0.1:9/a"},
    };
    for (const Case& c : cases) {
        auto target = ChooseDirectTarget(c.url);
        EXPECT_EQ(target.host, c.host) << c.url;
        EXPECT_EQ(target.port, c.port) << c.url;
        EXPECT_EQ(target.path, c.path) << c.url;
    }
    auto t = ChooseTunnelTarget("secure.example:8443");
    EXPECT_EQ(t.host, "secure.example");
    EXPECT_EQ(t.port, 8443);
    EXPECT_EQ(ChooseTunnelTarget("secure.example").port, 443);
    EXPECT_EQ(ChooseTunnelTarget("[2001:db8::1]:443").host, "2001:db8::1");
}
