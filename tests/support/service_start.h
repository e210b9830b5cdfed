#pragma once
// The application core as the tests run it: a data directory of its own, a
// free port, this machine admitted without a password.

#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>

#include "shell/proxy_service.h"
#include "support/child_process.h"
#include "support/list_file.h"
#include "support/net_helpers.h"

namespace vs::test {

// Writes the settings file (a free port plus `settings`, ini lines) and, unless
// there are such, a users list admitting this machine as "local" and a cache
// list storing nothing, and starts
// the service; false when it did not come up listening.
inline bool StartOnAFreePort(ProxyService& service, const std::filesystem::path& dataDir,
                             std::string_view settings = "") {
    std::ofstream(dataDir / "Vellostore.ini") << "[TMainForm]\nPortEd_Text=" << FreePort() << "\n"
                                              << settings;
    if (!std::filesystem::exists(dataDir / "users.lst")) {
        std::ofstream(dataDir / "users.lst", std::ios::binary)
            << ListFile({{"1", "True", "local", "0000000", "127.0.0.1"}});
    }
    // A cache list that stores nothing, as the start would say of an empty one.
    if (!std::filesystem::exists(dataDir / "cache.lst")) {
        std::ofstream(dataDir / "cache.lst", std::ios::binary)
            << ListFile({{"1", "True", "^stored-by-no-test$", "0"}});
    }
    return !service.StartUp().has_value();
}

// The status line of one GET of url (with the header lines `fields`) through
// the service, on a connection of its own.
inline std::string StatusThrough(const ProxyService& service, const std::string& url,
                                 const std::string& fields = "") {
    net::Socket client = ConnectLoopback(service.Listener().BoundPort());
    SendText(client, "GET " + url + " HTTP/1.1\r\nHost: x\r\n" + fields + "\r\n");
    const std::string head = ReadUntil(client, "\r\n");
    return head.substr(0, head.find("\r\n"));
}

}  // namespace vs::test
