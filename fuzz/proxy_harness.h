#pragma once
// What the request and response targets share: one engine with rule lists
// and a cache folder of its own, and a browser connection per input made
// from a socketpair whose far end a thread drains, so that pages the proxy
// writes to the browser never block however large they are.

#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "base/clock.h"
#include "base/snapshot.h"
#include "cache/cache_paths.h"
#include "net/connection.h"
#include "net/host_lookup.h"
#include "net/socket.h"
#include "proxy/engine.h"
#include "proxy/session.h"

namespace vs::fuzz {

inline RuleCells Rule(std::string pattern, std::string repl = "", bool need = false,
                      bool replAll = false) {
    RuleCells cells;
    cells.enable = true;
    cells.rule = std::move(pattern);
    cells.repl = std::move(repl);
    cells.need = need;
    cells.replAll = replAll;
    return cells;
}

// Host names as the fuzzer's requests give them: a literal address stands
// for itself and every other name for one documentation address, so the
// destination checks run on every input and no input asks a name server.
// The browser is taken for one elsewhere on the LAN.
class FuzzHosts : public net::HostLookup {
public:
    std::vector<std::string> AskResolver(const std::string& host) const override {
        unsigned char bytes[16];
        if (::inet_pton(AF_INET, host.c_str(), bytes) == 1 ||
            ::inet_pton(AF_INET6, host.c_str(), bytes) == 1) {
            return {host};
        }
        if (host.empty()) {
            throw net::ResolveError("resolve: no name");
        }
        return {"192.0.2.1"};
    }
    bool IsOwnAddress(std::string_view) const override { return false; }
};

class ProxyHarness {
public:
    explicit ProxyHarness(std::string name)
        : root_(std::filesystem::temp_directory_path() /
                ("vs-fuzz-" + name + "-" + std::to_string(::getpid()))) {
        // Rules of every list, so that each decision of the request path has
        // something to match.
        lists.black.Append(Rule("ads/"));
        lists.black.Append(Rule("^banner\\."));
        lists.black.Append(Rule("(tracker|pixel)\\.gif$"));
        lists.black.Append(Rule("[invalid"));  // never compiles, never matches
        lists.cache.Append(Rule("."));
        lists.noReq.Append(Rule("noreq"));
        lists.onlyFromCache.Append(Rule("offline/"));
        lists.urlConverter.Append(Rule("^http://old\\.example/(.*)$", "", true));
        lists.urlConverter.Append(Rule("^http://old\\.example/(.*)$", "http://new.example/\\1"));
        lists.urlConverter.Append(Rule("^http://x/(\\w+)", "http://y/$1/${1}\\u1", true, true));
        lists.urlConverter.Append(Rule("(\\d+)", "<\\1\\l\\U\\E>", false, true));
        lists.users.Append(UserRow{true, "local", "", "127.0.0.1"});
        ResetCache();
    }
    ~ProxyHarness() {
        std::error_code ignored;
        std::filesystem::remove_all(root_, ignored);
    }

    // A configuration chosen by the bits of `flags`; the URL converter and
    // the black list are always on so that their paths run.
    void Configure(unsigned flags, std::string_view parentUser = "") {
        auto c = std::make_shared<proxy::ProxyConfig>();
        c->urlConverterEnabled = true;
        c->blackListEnabled = true;
        c->offline = (flags & 1) != 0;
        c->readFromCache = (flags & 2) == 0;
        c->freshWithoutAsking = (flags & 4) != 0;
        c->ignoreNoCache = (flags & 8) != 0;
        c->useParent = (flags & 16) != 0;
        c->parentUser = std::string(parentUser);
        c->parentPassword = "secret";
        c->hideOnlyFromCacheAnswers = (flags & 32) != 0;
        c->onlyFromCacheEnabled = (flags & 64) == 0;
        c->cacheDir = cacheDir_;
        c->freshWindow = std::chrono::seconds((flags & 128) != 0 ? 300 : 0);
        config.Publish(c);
    }

    // Empties the cache folder now and then so it never grows without end;
    // true when it did.
    bool Tick() {
        (void)engine.Queue().TakeAll();
        if (++runs_ % 2000 == 0) {
            ResetCache();
            return true;
        }
        return false;
    }

    void ResetCache() {
        std::error_code ignored;
        std::filesystem::remove_all(root_, ignored);
        std::filesystem::create_directories(root_);
        cache::CacheDirPrepare("cache", root_, cacheDir_);
    }

    FixedClock clock{std::chrono::system_clock::from_time_t(1796472551)};
    Snapshot<proxy::ProxyConfig> config;
    proxy::RuleLists lists;
    FuzzHosts hosts;
    proxy::Engine engine{config, lists, clock, hosts};

private:
    std::filesystem::path root_;
    cache::CacheDir cacheDir_;
    unsigned runs_ = 0;
};

// The browser's side of one connection: a real socket whose other end is
// read to its end by a thread. The outbound side is never connected: a
// session that has not been through its connect phase only points it at
// each request's target.
class Browser {
public:
    Browser() {
        int fds[2];
        if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) {
            std::abort();
        }
        connection = std::make_unique<net::Connection>(net::Socket(fds[0]));
        peer_ = fds[1];
        drain_ = std::thread([this] {
            char buffer[65536];
            while (true) {
                ssize_t n = ::read(peer_, buffer, sizeof buffer);
                if (n > 0) {
                    received_ += static_cast<std::size_t>(n);
                } else if (n == 0) {
                    // As a browser does once an answer ends the connection:
                    // the proxy reads on until then.
                    ::shutdown(peer_, SHUT_WR);
                    break;
                } else if (errno != EINTR) {
                    break;
                }
            }
        });
    }
    ~Browser() {
        connection.reset();  // the far end sees the end of the stream
        drain_.join();
        ::close(peer_);
    }

    std::unique_ptr<net::Connection> connection;
    net::OutboundConnection outbound;

private:
    int peer_ = -1;
    std::size_t received_ = 0;
    std::thread drain_;
};

// Cuts `bytes` into at most `count` blocks at the given points.
inline std::vector<std::string_view> Split(std::string_view bytes, std::vector<std::size_t> cuts) {
    for (auto& cut : cuts) {
        cut = bytes.empty() ? 0 : cut % (bytes.size() + 1);
    }
    std::sort(cuts.begin(), cuts.end());
    std::vector<std::string_view> blocks;
    std::size_t from = 0;
    for (std::size_t cut : cuts) {
        blocks.push_back(bytes.substr(from, cut - from));
        from = cut;
    }
    blocks.push_back(bytes.substr(from));
    return blocks;
}

}  // namespace vs::fuzz
