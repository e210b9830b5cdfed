#include "proxy/target.h"

#include "base/cp1251.h"
#include "base/numbers.h"

namespace vs::proxy {

namespace {

struct Authority {
    std::string_view host;      // without brackets
    std::string_view hostText;  // as written, brackets included
    std::string_view portText;  // empty when none
};

// Splits "host", "host:port", "[v6]" or "[v6]:port" (anything after the
// first "/" already removed). User info ("user:password@") is no part of
// where to connect; taken as the host, it sent the request to a machine
// named after the user.
Authority SplitAuthority(std::string_view authority) {
    if (std::size_t at = authority.rfind('@'); at != std::string_view::npos) {
        authority.remove_prefix(at + 1);
    }
    Authority a;
    if (authority.starts_with('[')) {
        std::size_t close = authority.find(']');
        if (close != std::string_view::npos) {
            a.host = authority.substr(1, close - 1);
            a.hostText = authority.substr(0, close + 1);
            std::string_view rest = authority.substr(close + 1);
            if (rest.starts_with(':')) {
                a.portText = rest.substr(1);
            }
            return a;
        }
    }
    std::size_t colon = authority.find(':');
    a.host = authority.substr(0, colon);
    a.hostText = a.host;
    if (colon != std::string_view::npos) {
        a.portText = authority.substr(colon + 1);
    }
    return a;
}

int PortOr(std::string_view text, int fallback) {
    return text.empty() ? fallback : ParseIntOr(text, fallback);
}

// A URL as written: "scheme://", the authority, and what follows it (the
// path, query or fragment from its first character on). Without "://" the
// text starts at the authority.
struct UrlParts {
    bool absolute = false;  // there was a "scheme://"
    std::string_view scheme;
    std::string_view authority;
    std::string_view tail;
};

UrlParts SplitUrl(std::string_view url) {
    UrlParts parts;
    std::string_view rest = url;
    // Only a "://" before the path counts: "x/?u=http://a/" asks host x.
    if (std::size_t sep = url.find("://");
        sep != std::string_view::npos && sep < url.find_first_of("/?#")) {
        parts.absolute = true;
        parts.scheme = url.substr(0, sep);
        rest = url.substr(sep + 3);
    }
    // The authority ends where the path, the query or the fragment begins.
    const std::size_t end = rest.find_first_of("/?#");
    parts.authority = rest.substr(0, end);
    if (end != std::string_view::npos) {
        parts.tail = rest.substr(end);
    }
    return parts;
}

}  // namespace

DirectTarget ChooseDirectTarget(std::string_view url) {
    const UrlParts parts = SplitUrl(url);
    std::string lowerScheme = cp1251::Lower(parts.scheme);
    int defaultPort = 80;
    if (lowerScheme.find("https") != std::string::npos) {
        defaultPort = 443;
    } else if (lowerScheme.find("ftp") != std::string::npos) {
        defaultPort = 21;
    }
    Authority authority = SplitAuthority(parts.authority);

    DirectTarget target;
    target.host = authority.host;
    target.port = PortOr(authority.portText, defaultPort);
    target.usualPort = defaultPort;
    target.authority = authority.hostText;
    if (!authority.portText.empty()) {
        target.authority.append(1, ':').append(authority.portText);
    }
    // "http://host" asks for "/", and "http://host?q" for "/?q". A fragment
    // is the browser's own business and never part of a request.
    const std::string_view tail = parts.tail.substr(0, parts.tail.find('#'));
    target.wholeServer = tail.empty();
    if (!tail.starts_with('/')) {
        target.path.assign(1, '/');
    }
    target.path.append(tail);
    return target;
}

std::string_view SchemeOf(std::string_view url) {
    return SplitUrl(url).scheme;
}

std::string_view HostNameOf(std::string_view url) {
    return SplitAuthority(SplitUrl(url).authority).hostText;
}

std::optional<std::string> WithoutUserInfo(std::string_view url) {
    const UrlParts parts = SplitUrl(url);
    const std::size_t at = parts.authority.rfind('@');
    if (at == std::string_view::npos) {
        return std::nullopt;
    }
    std::string plain(url.substr(0, static_cast<std::size_t>(parts.authority.data() - url.data())));
    plain.append(parts.authority.substr(at + 1)).append(parts.tail);
    return plain;
}

DirectTarget ChooseTunnelTarget(std::string_view authorityText) {
    Authority authority = SplitAuthority(authorityText.substr(0, authorityText.find('/')));
    DirectTarget target;
    target.host = authority.host;
    target.port = PortOr(authority.portText, 443);
    target.usualPort = 443;
    return target;
}

}  // namespace vs::proxy
