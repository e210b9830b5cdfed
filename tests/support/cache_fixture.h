#pragma once
// The proxy engine with a cache folder of its own, caching every URL, in
// front of the test origin server running as a process.

#include <fstream>

#include "cache/cache_store.h"
#include "support/origin_process.h"
#include "support/proxy_fixture.h"

namespace vs::test {

using namespace std::chrono_literals;

inline std::string Slurp(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

inline std::string BodyOf(const std::string& answer) {
    return answer.substr(answer.find("\r\n\r\n") + 4);
}

class CacheFixture : public ProxyFixture {
protected:
    void SetUp() override {
        if (!ExtendedAttributesWork(dir.Path())) {
            GTEST_SKIP() << "the temporary folder refuses user extended attributes: "
                            "no entry could be stored";
        }
    }
    CacheFixture() : origin(dir.Path()) {
        cache::CacheDirPrepare("cache", dir.Path(), base.cacheDir);
        base.freshWindow = 5min;
        RuleCells everything;
        everything.enable = true;
        everything.rule = ".";
        lists.cache.Append(everything);
    }

    std::filesystem::path EntryFile(std::string_view path) const {
        return *cache::EntryPath(base.cacheDir, cache::CacheKey(origin.Url(path)));
    }
    // One request on a fresh connection; the whole answer.
    std::string Get(std::string_view path, std::string_view extra = "",
                    std::string_view method = "GET") {
        auto client = Connect();
        SendText(client, std::string(method) + " " + origin.Url(path) + " HTTP/1.1\r\nHost: x\r\n" +
                             std::string(extra) + "Connection: close\r\n\r\n");
        std::string answer =
            method == "HEAD" ? test::ReadUntil(client, "\r\n\r\n") : ReadResponse(client);
        return answer;
    }
    std::string LastIms() const {
        auto requests = origin.Requests();
        return requests.empty() ? "" : requests.back().substr(requests.back().find('\t') + 1);
    }

    TempDir dir;
    OriginProcess origin;
};

}  // namespace vs::test
