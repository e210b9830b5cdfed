#include "net/host_lookup.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netdb.h>
#include <netinet/in.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <memory>
#include <optional>

#include "base/blanks.h"
#include "base/cp1251.h"

namespace vs::net {

namespace {

// An address reduced to what identifies it: IPv4-mapped IPv6 as IPv4, and a
// link-local address with its link. Link-local addresses repeat on every
// link (a machine may take any it likes), so one on another link is another
// address; one written without its link matches it on any link.
struct AddressBytes {
    int family = AF_UNSPEC;
    std::array<unsigned char, 16> bytes{};
    unsigned scope = 0;  // the link's interface index; 0 for none written
    bool operator==(const AddressBytes& other) const {
        return family == other.family && bytes == other.bytes &&
               (scope == 0 || other.scope == 0 || scope == other.scope);
    }
};

// The link after the "%" of "fe80::1%eth0" or "fe80::1%2"; nothing for a
// link this machine does not have.
std::optional<unsigned> ScopeOf(const std::string& name) {
    if (!name.empty() && name.find_first_not_of("0123456789") == std::string::npos) {
        return name.size() < 10 ? std::optional<unsigned>(std::stoul(name)) : std::nullopt;
    }
    const unsigned index = ::if_nametoindex(name.c_str());
    return index != 0 ? std::optional<unsigned>(index) : std::nullopt;
}

std::optional<AddressBytes> Parse(std::string_view text) {
    // A blank typed or pasted around an address in the users grid would
    // otherwise leave its row admitting nobody, without a word.
    text = TrimBlanks(text);
    const std::size_t percent = text.find('%');
    std::string plain(text.substr(0, percent));
    AddressBytes a;
    if (::inet_pton(AF_INET, plain.c_str(), a.bytes.data()) == 1) {
        a.family = AF_INET;
        return a;
    }
    in6_addr v6{};
    if (::inet_pton(AF_INET6, plain.c_str(), &v6) != 1) {
        return std::nullopt;
    }
    if (IN6_IS_ADDR_V4MAPPED(&v6)) {
        a.family = AF_INET;
        std::memcpy(a.bytes.data(), &v6.s6_addr[12], 4);
        return a;
    }
    a.family = AF_INET6;
    std::memcpy(a.bytes.data(), &v6, 16);
    if (percent != std::string_view::npos && IN6_IS_ADDR_LINKLOCAL(&v6)) {
        // A link this machine lacks (a typo, an escaped "%25eth0") names no
        // link: the address on any, as where none is written.
        a.scope = ScopeOf(std::string(text.substr(percent + 1))).value_or(0);
    }
    return a;
}

bool IsLoopback(const AddressBytes& a) {
    if (a.family == AF_INET) {
        const bool unspecified =
            a.bytes[0] == 0 && a.bytes[1] == 0 && a.bytes[2] == 0 && a.bytes[3] == 0;
        return a.bytes[0] == 127 || unspecified;
    }
    in6_addr v6{};
    std::memcpy(&v6, a.bytes.data(), 16);
    return IN6_IS_ADDR_LOOPBACK(&v6) || IN6_IS_ADDR_UNSPECIFIED(&v6);
}

std::optional<AddressBytes> FromSockaddr(const sockaddr* sa) {
    if (sa == nullptr) {
        return std::nullopt;
    }
    AddressBytes a;
    if (sa->sa_family == AF_INET) {
        a.family = AF_INET;
        std::memcpy(a.bytes.data(), &reinterpret_cast<const sockaddr_in*>(sa)->sin_addr, 4);
        return a;
    }
    if (sa->sa_family == AF_INET6) {
        const auto* in6 = reinterpret_cast<const sockaddr_in6*>(sa);
        a.family = AF_INET6;
        std::memcpy(a.bytes.data(), &in6->sin6_addr, 16);
        a.scope = IN6_IS_ADDR_LINKLOCAL(&in6->sin6_addr) ? in6->sin6_scope_id : 0;
        return a;
    }
    return std::nullopt;
}

std::string NumericText(const addrinfo& ai) {
    char text[INET6_ADDRSTRLEN] = {};
    if (ai.ai_family == AF_INET) {
        ::inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in*>(ai.ai_addr)->sin_addr, text,
                    sizeof text);
        return text;
    }
    const auto* in6 = reinterpret_cast<const sockaddr_in6*>(ai.ai_addr);
    ::inet_ntop(AF_INET6, &in6->sin6_addr, text, sizeof text);
    std::string out = text;
    if (in6->sin6_scope_id != 0) {
        out += '%' + std::to_string(in6->sin6_scope_id);  // a link-local address needs its link
    }
    return out;
}

struct AddrInfoDeleter {
    void operator()(addrinfo* list) const { ::freeaddrinfo(list); }
};

struct IfAddrsDeleter {
    void operator()(ifaddrs* list) const { ::freeifaddrs(list); }
};

// A URL's host as the resolver takes it: an IPv6 literal without its
// brackets, a name without the root's dot ("localhost." is localhost).
std::string_view BareHost(std::string_view host) {
    if (host.size() > 2 && host.front() == '[' && host.back() == ']') {
        host = host.substr(1, host.size() - 2);
    }
    if (!host.empty() && host.back() == '.') {
        host.remove_suffix(1);
    }
    return host;
}

// IsLocalhostName of a host already bare and lower-cased.
bool IsLocalhostLower(std::string_view lower) {
    return lower == "localhost" || lower.ends_with(".localhost");
}

}  // namespace

bool IsLocalhostName(std::string_view host) {
    return IsLocalhostLower(cp1251::Lower(BareHost(host)));
}

const std::vector<std::string>& LocalhostAddresses() {
    static const std::vector<std::string> addresses = {"127.0.0.1", "::1"};
    return addresses;
}

std::vector<std::string> HostLookup::Resolve(const std::string& host) const {
    if (IsLocalhostName(host)) {
        return LocalhostAddresses();
    }
    return AskResolver(host);
}

std::vector<std::string> HostLookup::AskResolver(const std::string& host) const {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    // A literal first: asking which families the machine has configured
    // (AI_ADDRCONFIG) costs a netlink round trip.
    hints.ai_flags = AI_NUMERICHOST;
    addrinfo* raw = nullptr;
    int rc = ::getaddrinfo(host.c_str(), nullptr, &hints, &raw);
    if (rc == EAI_NONAME) {
        hints.ai_flags = AI_ADDRCONFIG;
        rc = ::getaddrinfo(host.c_str(), nullptr, &hints, &raw);
    }
    if (rc != 0) {
        throw ResolveError("resolve " + host + ": " + ::gai_strerror(rc));
    }
    std::unique_ptr<addrinfo, AddrInfoDeleter> list(raw);
    std::vector<std::string> addresses;
    for (const addrinfo* ai = list.get(); ai != nullptr; ai = ai->ai_next) {
        if (ai->ai_family == AF_INET || ai->ai_family == AF_INET6) {
            addresses.push_back(NumericText(*ai));
        }
    }
    if (addresses.empty()) {
        throw ResolveError("resolve " + host + ": no address");
    }
    return addresses;
}

bool HostLookup::IsOwnAddress(std::string_view address) const {
    if (ReachesLoopback(address)) {
        return true;
    }
    std::optional<AddressBytes> wanted = Parse(address);
    ifaddrs* raw = nullptr;
    if (!wanted || ::getifaddrs(&raw) != 0) {
        return false;
    }
    std::unique_ptr<ifaddrs, IfAddrsDeleter> list(raw);
    for (const ifaddrs* i = list.get(); i != nullptr; i = i->ifa_next) {
        if (FromSockaddr(i->ifa_addr) == wanted) {
            return true;
        }
    }
    return false;
}

const HostLookup& SystemHostLookup() {
    static const HostLookup system;
    return system;
}

bool ReachesLoopback(std::string_view address) {
    std::optional<AddressBytes> a = Parse(address);
    return a && IsLoopback(*a);
}

std::optional<std::string> NumericAddress(std::string_view host) {
    host = BareHost(host);
    // Numbers start with a digit (decimal, octal, hex) or hold a colon.
    if (host.empty() || ((host[0] < '0' || host[0] > '9') && host.find(':') == std::string::npos)) {
        return std::nullopt;
    }
    if (Parse(host)) {
        return std::string(host);  // the usual forms, without the resolver's cost
    }
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICHOST;
    addrinfo* raw = nullptr;
    const std::string text(host);
    if (::getaddrinfo(text.c_str(), nullptr, &hints, &raw) != 0) {
        return std::nullopt;
    }
    std::unique_ptr<addrinfo, AddrInfoDeleter> list(raw);
    for (const addrinfo* ai = list.get(); ai != nullptr; ai = ai->ai_next) {
        if (ai->ai_family == AF_INET || ai->ai_family == AF_INET6) {
            return NumericText(*ai);
        }
    }
    return std::nullopt;
}

bool NamesLoopback(std::string_view host) {
    // The other names for the loopback that systems' hosts files give, as a
    // parent proxy on this machine would read them there.
    static constexpr std::string_view kHostsFileNames[] = {"localhost.localdomain", "localhost6",
                                                           "localhost6.localdomain6",
                                                           "ip6-localhost", "ip6-loopback"};
    const std::string lower = cp1251::Lower(BareHost(host));
    if (IsLocalhostLower(lower) || std::find(std::begin(kHostsFileNames), std::end(kHostsFileNames),
                                             lower) != std::end(kHostsFileNames)) {
        return true;  // always the loopback, whatever a name server says
    }
    const std::optional<std::string> address = NumericAddress(host);
    return address && ReachesLoopback(*address);
}

bool IsAddress(std::string_view text) {
    return Parse(text).has_value();
}

bool SameAddress(std::string_view a, std::string_view b) {
    if (a == b) {
        return true;
    }
    std::optional<AddressBytes> first = Parse(a);
    return first && first == Parse(b);
}

}  // namespace vs::net
