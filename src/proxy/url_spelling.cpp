#include "proxy/url_spelling.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cctype>
#include <vector>

#include "base/cp1251.h"
#include "base/numbers.h"
#include "base/punycode.h"
#include "base/utf.h"
#include "proxy/target.h"

namespace vs::proxy {
namespace {

bool Unreserved(char c) {
    return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '.' || c == '_' ||
           c == '~';
}

// The byte an escape "%XX" at text[i] stands for, if it is one.
std::optional<unsigned char> EscapedByte(std::string_view text, std::size_t i) {
    if (text[i] != '%' || i + 2 >= text.size()) {
        return std::nullopt;
    }
    const int high = HexDigitValue(text[i + 1]);
    const int low = HexDigitValue(text[i + 2]);
    if (high < 0 || low < 0) {
        return std::nullopt;
    }
    return static_cast<unsigned char>(high * 16 + low);
}

// Escapes of characters that never need one; the others (a "/" or "?"
// written as %2F, %3F) keep their meaning and stay.
std::string DecodeUnreserved(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (const auto byte = EscapedByte(text, i)) {
            char c = static_cast<char>(*byte);
            if (c >= 'A' && c <= 'Z') {
                c = static_cast<char>(c - 'A' + 'a');
            }
            if (Unreserved(c)) {
                out += c;
                i += 2;
                continue;
            }
        }
        out += text[i];
    }
    return out;
}

// kDecoded: every escaped byte past ASCII takes part. kKept: escapes stay as
// written, and raw UTF-8 letters the code page lacks are escaped, as the URL
// goes out again. kUtf8Letters: as kKept, but escaped UTF-8 that the code
// page holds becomes its letters.
enum class Escapes { kDecoded, kUtf8Letters, kKept };

// Bytes past ASCII, each escaped as it came; the others as they are.
std::string EscapeRawBytes(std::string_view text) {
    std::string out;
    out.reserve(text.size() + text.size() / 2);
    for (const char c : text) {
        if (static_cast<unsigned char>(c) >= 0x80) {
            AppendPercentEscape(out, static_cast<unsigned char>(c));
        } else {
            out += c;
        }
    }
    return out;
}

// Letters past ASCII, raw or escaped, in the code page the rules are
// written in: browsers send "казино" as escaped UTF-8, old pages as escaped
// Windows-1251, some clients raw. Characters the code page lacks stay as
// they came, each on its own: no rule can name them, but the letters beside
// them ("казино" with a stress mark) must still meet their rules.
std::string DecodeLetters(std::string_view text, Escapes escapes = Escapes::kDecoded) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size();) {
        std::string bytes;
        std::vector<std::size_t> written;  // where each of the bytes begins in the text
        std::size_t end = i;
        while (end < text.size()) {
            if (static_cast<unsigned char>(text[end]) >= 0x80) {
                written.push_back(end);
                bytes += text[end++];
            } else if (auto byte =
                           escapes != Escapes::kKept ? EscapedByte(text, end) : std::nullopt;
                       byte && *byte >= 0x80) {
                written.push_back(end);
                bytes += static_cast<char>(*byte);
                end += 3;
            } else {
                break;
            }
        }
        if (end == i) {
            out += text[i++];
            continue;
        }
        if (!utf::IsValidUtf8(bytes)) {
            // The code page's own bytes; escaped ones stay escaped where
            // only UTF-8 letters are to be decoded. Kept as they came, raw
            // ones are escaped as they go on to the origin: a redirect
            // would otherwise spell them as the UTF-8 of their letters,
            // which the site never sent and does not read.
            if (escapes == Escapes::kDecoded) {
                out += bytes;
            } else if (escapes == Escapes::kKept) {
                out += EscapeRawBytes(text.substr(i, end - i));
            } else {
                out += text.substr(i, end - i);
            }
            i = end;
            continue;
        }
        for (std::size_t k = 0; k < bytes.size();) {
            std::size_t next = k;
            utf::NextCodePoint(bytes, next);
            const std::size_t from = written[k];
            const std::string_view as =
                text.substr(from, (next < bytes.size() ? written[next] : end) - from);
            if (auto letter =
                    cp1251::FromUtf8Exactly(std::string_view(bytes).substr(k, next - k))) {
                out += *letter;
            } else if (escapes != Escapes::kDecoded) {
                // A letter the code page lacks ("é" in raw UTF-8) escaped as
                // a browser sends it: raw, the code page would read and fold
                // its bytes as its own letters.
                out += EscapeRawBytes(as);
            } else {
                out += as;
            }
            k = next;
        }
        i = end;
    }
    return out;
}

// Each "."-separated label of a host, as `map` gives it (nullopt: as it is).
template <typename Map>
std::string MapLabels(std::string_view host, Map map) {
    std::string out;
    for (std::size_t start = 0; start <= host.size();) {
        const std::size_t end = std::min(host.find('.', start), host.size());
        const std::string_view label = host.substr(start, end - start);
        const std::optional<std::string> mapped = map(label);
        out += mapped ? *mapped : std::string(label);
        if (end < host.size()) {
            out += '.';
        }
        start = end + 1;
    }
    return out;
}

// "xn--80aodfsg.xn--p1ai" is "казино.рф" where the code page has the
// letters.
std::string HostLetters(std::string_view host) {
    return MapLabels(host, [](std::string_view label) -> std::optional<std::string> {
        if (label.size() <= 4 || !cp1251::EqualsNoCase(label.substr(0, 4), "xn--")) {
            return std::nullopt;
        }
        const std::optional<std::u32string> points = punycode::Decode(label.substr(4));
        if (!points) {
            return std::nullopt;
        }
        std::string letters;
        for (const char32_t point : *points) {
            const std::optional<char> c = cp1251::Encode(point);
            if (!c) {
                return std::nullopt;
            }
            letters += *c;
        }
        return letters;
    });
}

// "/a//b/./c/../d" is "/a/b/d"; ".." above the root stays at the root.
std::string ResolvePath(std::string_view path) {
    std::vector<std::string_view> segments;
    bool endsAsFolder = false;
    for (std::size_t start = 1; start <= path.size();) {
        const std::size_t end = std::min(path.find('/', start), path.size());
        const std::string_view segment = path.substr(start, end - start);
        endsAsFolder = segment.empty() || segment == "." || segment == "..";
        if (segment == "..") {
            if (!segments.empty()) {
                segments.pop_back();
            }
        } else if (!segment.empty() && segment != ".") {
            segments.push_back(segment);
        }
        start = end + 1;
    }
    std::string out;
    for (const std::string_view segment : segments) {
        out += '/';
        out += segment;
    }
    if (out.empty() || endsAsFolder) {
        out += '/';
    }
    return out;
}

// A host that is a number in any form the system's own parser takes (as
// servers' and clients' libraries do) in one form: IPv4 dotted, an IPv6
// address in its shortest form, an IPv4-mapped one as the IPv4 address it
// names. A name loses the dot that may end it. Others stay as they are.
std::string DottedHost(std::string_view host) {
    std::string text(host);
    if (text.size() > 2 && text.front() == '[' && text.back() == ']') {
        in6_addr address6{};
        text = text.substr(1, text.size() - 2);
        if (::inet_pton(AF_INET6, text.c_str(), &address6) != 1) {
            return std::string(host);
        }
        char written[INET6_ADDRSTRLEN];
        if (IN6_IS_ADDR_V4MAPPED(&address6)) {
            return ::inet_ntop(AF_INET, &address6.s6_addr[12], written, sizeof written);
        }
        return '[' + std::string(::inet_ntop(AF_INET6, &address6, written, sizeof written)) + ']';
    }
    in_addr address{};
    if (text.empty() || ::inet_aton(text.c_str(), &address) == 0) {
        if (text.size() > 1 && text.back() == '.') {
            text.pop_back();
        }
        return text;
    }
    char dotted[INET_ADDRSTRLEN];
    return ::inet_ntop(AF_INET, &address, dotted, sizeof dotted) != nullptr ? dotted
                                                                            : std::string(host);
}

// "поиск.рф" is "xn--h1aekdm.xn--p1ai"; a label that cannot be written so
// is escaped like the rest.
std::string AsciiHost(std::string_view host) {
    return MapLabels(host, [](std::string_view label) -> std::optional<std::string> {
        if (!utf::HasNonAscii(label)) {
            return std::nullopt;
        }
        const std::u16string units = cp1251::ToUtf16(cp1251::Lower(label));
        const auto encoded = punycode::Encode(std::u32string(units.begin(), units.end()));
        return encoded ? std::optional<std::string>("xn--" + *encoded) : std::nullopt;
    });
}

// The URL with its host name as `map` gives it; a URL without a scheme (no
// URL a browser asks a proxy for) as it is.
template <typename Map>
std::string WithHost(std::string text, Map map) {
    if (SchemeOf(text).empty()) {
        return text;
    }
    if (const std::string_view host = HostNameOf(text); !host.empty()) {
        const std::size_t at = static_cast<std::size_t>(host.data() - text.data());
        text.replace(at, host.size(), map(host));
    }
    return text;
}

// The path's "/" written as %2F: servers that serve files (nginx among
// them) read it as the "/" it stands for, so a black-list rule for "/ads/"
// would pass "/ads%2Fx.gif". Other lists keep the escape's meaning.
std::string SlashesDecoded(std::string_view path) {
    std::string out;
    out.reserve(path.size());
    for (std::size_t i = 0; i < path.size(); ++i) {
        if (EscapedByte(path, i) == '/') {
            out += '/';
            i += 2;
        } else {
            out += path[i];
        }
    }
    return out;
}

enum class Reader { kBlackList, kOtherLists };

// Where the URL leads, read as the proxy itself reads it to connect: the
// host as DottedHost and HostLetters give it (without "www." where the
// black list's subject has none), the port where it is not the scheme's own
// (a tunnel's always), and the path and query it asks for, plain.
std::string PlainPlace(std::string_view url, bool tunnel, Reader reader) {
    const DirectTarget target = tunnel ? ChooseTunnelTarget(url) : ChooseDirectTarget(url);
    const bool v6 = target.host.find(':') != std::string::npos;
    std::string host =
        HostLetters(DecodeLetters(DottedHost(v6 ? '[' + target.host + ']' : target.host)));
    if (reader == Reader::kBlackList &&
        cp1251::EqualsNoCase(std::string_view(host).substr(0, 4), "www.")) {
        host.erase(0, 4);
    }
    std::string out = std::move(host);
    if (tunnel || target.port != target.usualPort) {
        out += ':' + std::to_string(target.port);
    }
    if (!tunnel) {
        const std::string_view asked = target.path;
        const std::size_t queryAt = std::min(asked.find('?'), asked.size());
        const std::string_view path = asked.substr(0, queryAt);
        out += ResolvePath(DecodeLetters(DecodeUnreserved(
            reader == Reader::kBlackList ? SlashesDecoded(path) : std::string(path))));
        out += DecodeLetters(DecodeUnreserved(asked.substr(queryAt)));
    }
    return cp1251::Lower(out);
}

}  // namespace

std::string RawLettersInCodePage(std::string_view url) {
    return DecodeLetters(url, Escapes::kKept);
}

bool HasEscapedLetters(std::string_view url) {
    for (std::size_t i = url.find('%'); i != std::string_view::npos; i = url.find('%', i + 1)) {
        if (EscapedByte(url, i).value_or(0) >= 0x80) {
            return true;
        }
    }
    return cp1251::FindNoCase(url, "xn--") != std::string::npos;
}

std::string LettersInCodePage(std::string_view url) {
    return WithHost(DecodeLetters(url, Escapes::kUtf8Letters), HostLetters);
}

std::string EveryLetterInCodePage(std::string_view url) {
    return WithHost(DecodeLetters(url, Escapes::kDecoded), HostLetters);
}

std::string UrlAsSent(std::string_view url, bool tunnel) {
    if (!utf::HasNonAscii(url) || tunnel) {
        return std::string(url);
    }
    const std::string_view host = HostNameOf(url);
    const std::size_t pathAt = static_cast<std::size_t>(host.data() - url.data()) + host.size();
    return std::string(url.substr(0, pathAt)) + EscapeRawBytes(url.substr(pathAt));
}

std::string UriSpelling(std::string_view url) {
    const std::string text = WithHost(std::string(url), AsciiHost);
    std::string out;
    out.reserve(text.size());
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        // Besides controls, what a URI cannot hold and browsers escape when
        // typed: a blank would end the Location where the browser reads it.
        if (byte < 0x20 || byte == 0x7F ||
            std::string_view(" \"<>`{}").find(c) != std::string_view::npos) {
            AppendPercentEscape(out, byte);
        } else if (byte >= 0x80) {
            for (const char u : cp1251::ToUtf8(std::string_view(&c, 1))) {
                AppendPercentEscape(out, static_cast<unsigned char>(u));
            }
        } else {
            out += c;
        }
    }
    return out;
}

std::string AuthorityUnescaped(std::string_view url, bool tunnel) {
    std::size_t from = 0;
    std::size_t to = url.size();
    if (!tunnel) {
        const std::size_t scheme = url.find("://");
        from = scheme == std::string_view::npos ? 0 : scheme + 3;
        to = std::min(url.size(), url.find_first_of("/?#", from));
    }
    const std::string_view authority = url.substr(0, to);
    std::string out(url.substr(0, from));
    for (std::size_t i = from; i < to; ++i) {
        if (const auto byte = EscapedByte(authority, i)) {
            out += static_cast<char>(*byte);
            i += 2;
        } else {
            out += url[i];
        }
    }
    return out.append(url.substr(to));
}

std::string PlainSpelling(std::string_view url, bool tunnel) {
    return PlainPlace(url, tunnel, Reader::kBlackList);
}

bool SpellsTheUrlAsked(std::string_view location, std::string_view asked) {
    // As a Location spells it, with what is read without regard to case
    // (the scheme, the host, an escape's digits) in one case.
    const auto spelled = [](std::string_view url) {
        std::string text = WithHost(UriSpelling(url), cp1251::Lower);
        const std::size_t schemeEnd = SchemeOf(text).size();
        for (std::size_t i = 0; i < text.size(); ++i) {
            if (i < schemeEnd || (i > 0 && text[i - 1] == '%') || (i > 1 && text[i - 2] == '%')) {
                text[i] = static_cast<char>(std::tolower(static_cast<unsigned char>(text[i])));
            }
        }
        return text;
    };
    return spelled(location) == spelled(RawLettersInCodePage(asked));
}

std::string PlainUrl(std::string_view url) {
    const std::string scheme = cp1251::Lower(SchemeOf(url));
    return (scheme.empty() ? "http" : scheme) + "://" + PlainPlace(url, false, Reader::kOtherLists);
}

}  // namespace vs::proxy
