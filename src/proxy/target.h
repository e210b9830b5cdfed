#pragma once
// Where a forwarded request goes when no parent proxy is used: the host and
// port of its URL, with the request target reduced to the path.

#include <optional>
#include <string>
#include <string_view>

namespace vs::proxy {

struct DirectTarget {
    std::string host;  // as getaddrinfo wants it: brackets of an IPv6 literal removed
    int port = 80;
    std::string path;  // what the request line carries instead of the URL
    // "host" or "host:port" as the URL writes it (user info dropped): what
    // the request's Host field must say.
    std::string authority;
    // The port the URL's scheme means when it names none.
    int usualPort = 80;
    // The URL names no path and no query ("http://host"): an OPTIONS for
    // it asks about the whole server.
    bool wholeServer = false;
};

// The URL's scheme as written ("HTTP" of "HTTP://host/"), empty when it has
// none; a "://" past the host ("x/?u=http://a/") is no scheme.
std::string_view SchemeOf(std::string_view url);
// The host name as the URL writes it, a view into `url`: user info and port
// left out, an IPv6 literal's brackets kept.
std::string_view HostNameOf(std::string_view url);

// "http://host:8080/a/b" -> host, 8080, "/a/b". The default port is 443 when
// the scheme contains "https", 21 when it contains "ftp", else 80; a port
// that is not a number gives the default.
DirectTarget ChooseDirectTarget(std::string_view url);

// The URL without user info ("http://user:pw@host/" -> "http://host/"), or
// nullopt when it has none.
std::optional<std::string> WithoutUserInfo(std::string_view url);

// Host and port of a CONNECT target "host:port" (443 when no port is given).
DirectTarget ChooseTunnelTarget(std::string_view authority);

}  // namespace vs::proxy
