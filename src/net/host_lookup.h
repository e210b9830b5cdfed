#pragma once
// What the proxy asks of the machine about hosts: the addresses a name
// stands for, and whether an address is the machine's own. Both go through
// one interface so that tests answer for the system (no test may ask a name
// server, and a test's browser on loopback may pose as one on the LAN).

#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace vs::net {

// A host name that stands for no address.
class ResolveError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

class HostLookup {
public:
    virtual ~HostLookup() = default;
    // The numeric addresses `host` stands for, in the order to try them
    // ("192.0.2.1", "2001:db8::1", "fe80::1%2"); a literal gives itself.
    // "localhost" and the names below it are the loopback and are never
    // asked of the resolver, as browsers do: a name server would be told the
    // names of the user's local sites, and would not know them. Throws
    // ResolveError when there is none.
    std::vector<std::string> Resolve(const std::string& host) const;
    // Whether a connection from or to `address` stays on this machine: a
    // loopback or unspecified address, or one of its interfaces'.
    virtual bool IsOwnAddress(std::string_view address) const;

protected:
    // What the system's resolver says of any other host, as Resolve.
    virtual std::vector<std::string> AskResolver(const std::string& host) const;
};

// The system's resolver and interface list.
const HostLookup& SystemHostLookup();

// Whether connecting to `address` reaches this machine's loopback:
// 127.0.0.0/8, ::1, their IPv4-mapped forms, and the unspecified addresses
// (a connect to 0.0.0.0 or :: lands on the local host). False for text that
// is not a numeric address.
bool ReachesLoopback(std::string_view address);

// The address a host written as a number stands for, in any form the
// system's resolver takes ("2130706433" and "127.1" give "127.0.0.1",
// "[::1]" gives "::1"); nothing for a name. Never asks a name server.
std::optional<std::string> NumericAddress(std::string_view host);

// Whether a host is "localhost" or a name below it ("app.localhost",
// "LocalHost."): the loopback, never asked of a name server.
bool IsLocalhostName(std::string_view host);
// What such a name stands for: both families' loopback, in the order to try.
const std::vector<std::string>& LocalhostAddresses();

// Whether a host, by its text alone, leads to this machine's loopback:
// "localhost" and names below it, the loopback's other names in systems'
// hosts files ("localhost.localdomain", "ip6-localhost", ...), or a numeric
// address in any form the
// system's resolver takes ("127.1", "2130706433", "[::1]"). Never asks a
// name server, so it is cheap enough for every request and leaks nothing.
bool NamesLoopback(std::string_view host);

// Whether text is one numeric address as the users list compares them
// ("192.168.1.20", "FD00::2", " ::1 "), not a name, a range or a mask.
bool IsAddress(std::string_view text);

// Whether two texts name the same address: written alike, or the same
// numbers however written (letter case, leading zeros, "::" compression, an
// IPv4-mapped form). A link-local address on one link is not the same
// address on another ("fe80::1%eth0", "fe80::1%2"); written without its
// link it is the same on any. Text that is no address equals only itself.
bool SameAddress(std::string_view a, std::string_view b);

}  // namespace vs::net
