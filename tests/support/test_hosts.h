#pragma once
// The host lookup as a test sets it: names resolve to what the test says,
// literal addresses to themselves, any other name to nothing (no test asks
// a name server). With `browserOnLan` the machine's own addresses are only
// those listed, so a test's browser on 127.0.0.1 is taken for one elsewhere
// on the LAN.

#include <arpa/inet.h>

#include <map>
#include <set>
#include <string>
#include <vector>

#include "net/host_lookup.h"

namespace vs::test {

class TestHosts : public net::HostLookup {
public:
    std::vector<std::string> AskResolver(const std::string& host) const override {
        if (auto it = names.find(host); it != names.end()) {
            return it->second;
        }
        unsigned char bytes[16];
        if (::inet_pton(AF_INET, host.c_str(), bytes) == 1 ||
            ::inet_pton(AF_INET6, host.c_str(), bytes) == 1) {
            return {host};
        }
        throw net::ResolveError("resolve " + host + ": unknown to the test");
    }
    bool IsOwnAddress(std::string_view address) const override {
        return browserOnLan ? ownAddresses.contains(std::string(address))
                            : net::HostLookup::IsOwnAddress(address);
    }

    std::map<std::string, std::vector<std::string>> names;
    bool browserOnLan = false;
    std::set<std::string> ownAddresses;
};

}  // namespace vs::test
