#pragma once
// The proxy engine with a cache folder of its own, caching every URL, in
// front of the test origin server running as a process.

#include "cache/cache_store.h"
#include "support/origin_process.h"
#include "support/proxy_fixture.h"

namespace vs::test {

inline std::string BodyOf(const std::string& answer) {
    return answer.substr(answer.find("\r\n\r\n") + 4);
}

class CacheFixture : public ProxyFixture {
protected:
    void SetUp() override { REQUIRE_XATTRS(dir.Path()); }
    CacheFixture() : origin(dir.Path()) {
        cache::CacheDirPrepare("cache", dir.Path(), base.cacheDir);
        base.freshWindow = std::chrono::minutes(5);
        lists.cache.Append(RuleCells{true, ".", "", false, false, 0});
    }

    std::filesystem::path EntryFile(std::string_view path) const {
        return *cache::EntryPath(base.cacheDir, cache::CacheKey(origin.Url(path)));
    }
    // A fresh connection on which `path` was asked for, left open.
    net::Socket Ask(std::string_view path) {
        auto client = Connect();
        SendText(client, "GET " + origin.Url(path) + " HTTP/1.1\r\nHost: x\r\n\r\n");
        return client;
    }
    // One request on a fresh connection; the whole answer.
    std::string Get(std::string_view path, std::string_view extra = "",
                    std::string_view method = "GET") {
        auto client = Connect();
        SendText(client, std::string(method) + " " + origin.Url(path) + " HTTP/1.1\r\nHost: x\r\n" +
                             std::string(extra) + "Connection: close\r\n\r\n");
        return method == "HEAD" ? test::ReadUntil(client, "\r\n\r\n") : ReadResponse(client);
    }
    std::string LastIms() const {
        auto requests = origin.Requests();
        return requests.empty() ? "" : requests.back().substr(requests.back().find('\t') + 1);
    }

    TempDir dir;
    OriginProcess origin;
};

}  // namespace vs::test
