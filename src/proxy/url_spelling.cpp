#include "proxy/url_spelling.h"

#include <arpa/inet.h>

#include <algorithm>
#include <vector>

#include "base/cp1251.h"
#include "base/numbers.h"
#include "base/punycode.h"
#include "base/utf.h"

namespace vs::proxy {
namespace {

bool Unreserved(char c) {
    return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '.' || c == '_' ||
           c == '~';
}

// Escapes of characters that never need one; the others (a "/" or "?"
// written as %2F, %3F) keep their meaning and stay.
std::string DecodeUnreserved(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '%' && i + 2 < text.size()) {
            const int high = HexDigitValue(text[i + 1]);
            const int low = HexDigitValue(text[i + 2]);
            if (high >= 0 && low >= 0) {
                char c = static_cast<char>(high * 16 + low);
                if (c >= 'A' && c <= 'Z') {
                    c = static_cast<char>(c - 'A' + 'a');
                }
                if (Unreserved(c)) {
                    out += c;
                    i += 2;
                    continue;
                }
            }
        }
        out += text[i];
    }
    return out;
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

// Letters past ASCII, raw or escaped, in the code page the rules are
// written in: browsers send "казино" as escaped UTF-8, old pages as escaped
// Windows-1251, some clients raw. Characters the code page lacks stay as
// they came: no rule can name them.
std::string DecodeLetters(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size();) {
        std::string bytes;
        std::size_t end = i;
        while (end < text.size()) {
            if (static_cast<unsigned char>(text[end]) >= 0x80) {
                bytes += text[end++];
            } else if (auto byte = EscapedByte(text, end); byte && *byte >= 0x80) {
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
        if (auto letters = cp1251::FromUtf8Exactly(bytes)) {
            out += *letters;
        } else if (!utf::IsValidUtf8(bytes)) {
            out += bytes;  // the code page's own bytes
        } else {
            out += text.substr(i, end - i);
        }
        i = end;
    }
    return out;
}

// "xn--80aodfsg.xn--p1ai" is "казино.рф" where the code page has the
// letters.
std::string HostLetters(std::string_view host) {
    std::string out;
    for (std::size_t start = 0; start <= host.size();) {
        const std::size_t end = std::min(host.find('.', start), host.size());
        const std::string_view label = host.substr(start, end - start);
        std::optional<std::string> letters;
        if (label.size() > 4 && cp1251::EqualsNoCase(label.substr(0, 4), "xn--")) {
            if (auto points = punycode::Decode(label.substr(4))) {
                letters.emplace();
                for (const char32_t point : *points) {
                    if (auto c = cp1251::Encode(point)) {
                        *letters += *c;
                    } else {
                        letters.reset();
                        break;
                    }
                }
            }
        }
        out += letters ? *letters : std::string(label);
        if (end < host.size()) {
            out += '.';
        }
        start = end + 1;
    }
    return out;
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
// servers' and clients' libraries do) in dotted form; others as they are.
std::string DottedHost(std::string_view host) {
    std::string text(host);
    constexpr std::string_view kMapped = "[::ffff:";
    if (text.starts_with(kMapped) && text.ends_with(']')) {
        text = text.substr(kMapped.size(), text.size() - kMapped.size() - 1);
    }
    in_addr address{};
    if (text.empty() || text.front() == '[' || ::inet_aton(text.c_str(), &address) == 0) {
        return std::string(host);
    }
    char dotted[INET_ADDRSTRLEN];
    return ::inet_ntop(AF_INET, &address, dotted, sizeof dotted) != nullptr ? dotted
                                                                            : std::string(host);
}

}  // namespace

std::string PlainSpelling(std::string_view subject) {
    const std::size_t pathAt = std::min(subject.find_first_of("/?"), subject.size());
    std::string_view authority = subject.substr(0, pathAt);
    std::string_view port;
    if (const std::size_t colon = authority.rfind(':');
        colon != std::string_view::npos && authority.find(']', colon) == std::string_view::npos) {
        port = authority.substr(colon);
        authority = authority.substr(0, colon);
    }
    std::string out = HostLetters(DottedHost(authority));
    out += port;
    const std::string_view rest = subject.substr(pathAt);
    const std::size_t queryAt = std::min(rest.find('?'), rest.size());
    if (queryAt > 0) {
        out += ResolvePath(DecodeLetters(DecodeUnreserved(rest.substr(0, queryAt))));
    }
    out += DecodeLetters(DecodeUnreserved(rest.substr(queryAt)));
    return cp1251::Lower(out);
}

}  // namespace vs::proxy
