#include "net/host_lookup.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <netdb.h>
#include <netinet/in.h>

#include <array>
#include <cstring>
#include <memory>
#include <optional>

#include "base/blanks.h"
#include "base/cp1251.h"

namespace vs::net {

namespace {

// An address reduced to what identifies it: IPv4-mapped IPv6 as IPv4, the
// scope of a link-local address dropped.
struct AddressBytes {
    int family = AF_UNSPEC;
    std::array<unsigned char, 16> bytes{};
    bool operator==(const AddressBytes&) const = default;
};

std::optional<AddressBytes> Parse(std::string_view text) {
    // A blank typed or pasted around an address in the users grid would
    // otherwise leave its row admitting nobody, without a word.
    text = TrimBlanks(text);
    std::string plain(text.substr(0, text.find('%')));
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
        a.family = AF_INET6;
        std::memcpy(a.bytes.data(), &reinterpret_cast<const sockaddr_in6*>(sa)->sin6_addr, 16);
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

}  // namespace

std::vector<std::string> HostLookup::Resolve(const std::string& host) const {
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

bool NamesLoopback(std::string_view host) {
    if (host.size() > 2 && host.front() == '[' && host.back() == ']') {
        host = host.substr(1, host.size() - 2);
    }
    if (!host.empty() && host.back() == '.') {
        host.remove_suffix(1);  // the root's dot: "localhost." is localhost
    }
    const std::string name = cp1251::Lower(host);
    if (name == "localhost" || name.ends_with(".localhost")) {
        return true;  // always the loopback, whatever a name server says
    }
    // Numbers start with a digit (decimal, octal, hex) or hold a colon.
    if (name.empty() || ((name[0] < '0' || name[0] > '9') && name.find(':') == std::string::npos)) {
        return false;
    }
    if (std::optional<AddressBytes> a = Parse(name)) {
        return IsLoopback(*a);  // the usual forms, without the resolver's cost
    }
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICHOST;
    addrinfo* raw = nullptr;
    if (::getaddrinfo(name.c_str(), nullptr, &hints, &raw) != 0) {
        return false;
    }
    std::unique_ptr<addrinfo, AddrInfoDeleter> list(raw);
    for (const addrinfo* ai = list.get(); ai != nullptr; ai = ai->ai_next) {
        if ((ai->ai_family == AF_INET || ai->ai_family == AF_INET6) &&
            ReachesLoopback(NumericText(*ai))) {
            return true;
        }
    }
    return false;
}

bool SameAddress(std::string_view a, std::string_view b) {
    if (a == b) {
        return true;
    }
    std::optional<AddressBytes> first = Parse(a);
    return first && first == Parse(b);
}

}  // namespace vs::net
