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

}  // namespace

DirectTarget ChooseDirectTarget(std::string_view url) {
    std::string_view rest = url;
    std::string_view scheme;
    std::size_t sep = url.find("://");
    if (sep != std::string_view::npos) {
        scheme = url.substr(0, sep);
        rest = url.substr(sep + 3);
    }
    std::string lowerScheme = cp1251::Lower(scheme);
    int defaultPort = 80;
    if (lowerScheme.find("https") != std::string::npos) {
        defaultPort = 443;
    } else if (lowerScheme.find("ftp") != std::string::npos) {
        defaultPort = 21;
    }
    // The authority ends where the path, the query or the fragment begins.
    const std::size_t end = rest.find_first_of("/?#");
    Authority authority = SplitAuthority(rest.substr(0, end));

    DirectTarget target;
    target.host = authority.host;
    target.port = PortOr(authority.portText, defaultPort);
    target.authority = authority.hostText;
    if (!authority.portText.empty()) {
        target.authority.append(1, ':').append(authority.portText);
    }
    // "http://host" asks for "/", and "http://host?q" for "/?q".
    if (end == std::string_view::npos || rest[end] != '/') {
        target.path.assign(1, '/');
    }
    if (end != std::string_view::npos) {
        target.path.append(rest.substr(end));
    }
    return target;
}

std::optional<std::string> WithoutUserInfo(std::string_view url) {
    const std::size_t sep = url.find("://");
    if (sep == std::string_view::npos) {
        return std::nullopt;
    }
    const std::size_t start = sep + 3;
    const std::string_view authority = url.substr(start, url.find_first_of("/?#", start) - start);
    const std::size_t at = authority.rfind('@');
    if (at == std::string_view::npos) {
        return std::nullopt;
    }
    std::string plain(url.substr(0, start));
    plain.append(url.substr(start + at + 1));
    return plain;
}

DirectTarget ChooseTunnelTarget(std::string_view authorityText) {
    Authority authority = SplitAuthority(authorityText.substr(0, authorityText.find('/')));
    DirectTarget target;
    target.host = authority.host;
    target.port = PortOr(authority.portText, 443);
    return target;
}

}  // namespace vs::proxy
