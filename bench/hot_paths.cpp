// Micro-benchmarks of the per-request routines, in nanoseconds per call:
//  - request processing of a typical browser request (ProcessRequest on its
//    parsed head, and the whole Send hook around it) with the five rule
//    lists holding 200 rules each, none of which matches;
//  - the response path on an answer's first block (AnswerBegins): an
//    ordinary 200, and a 304 turned into the answer from the cache;
//  - URLToCachePath, and the full key-to-file mapping.
// The engine is the real one: its monitor queue is drained every
// kDrainEvery calls, so the entries each call queues are made and freed as
// in the running proxy, and the drain's cost is spread over the calls.

#include <benchmark/benchmark.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>

#include "cache/cache_entry.h"
#include "cache/cache_paths.h"
#include "net/connection.h"
#include "net/host_lookup.h"
#include "proxy/engine.h"
#include "proxy/request_processing.h"
#include "proxy/response_path.h"
#include "proxy/session.h"

namespace {

using namespace vs;

constexpr int kRulesPerList = 200;
constexpr int kDrainEvery = 256;

const std::string kUrl = "http://www.example.com/images/gallery/photo-1234.jpg";

const std::string kBrowserRequest =
    "GET http://www.example.com/images/gallery/photo-1234.jpg HTTP/1.1\r\n"
    "Host: www.example.com\r\n"
    "User-Agent: Mozilla/5.0 (X11; Linux x86_64; rv:128.0) Gecko/20100101 Firefox/128.0\r\n"
    "Accept: image/avif,image/webp,image/png,image/svg+xml,image/*;q=0.8,*/*;q=0.5\r\n"
    "Accept-Language: en-US,en;q=0.5\r\n"
    "Accept-Encoding: gzip, deflate\r\n"
    "Referer: http://www.example.com/gallery/index.html\r\n"
    "Proxy-Connection: keep-alive\r\n"
    "Cookie: session=8f14e45fceea167a5a36dedd4bea2543; theme=dark\r\n"
    "\r\n";

const std::string kAnswerHeader =
    "HTTP/1.1 200 OK\r\n"
    "Server: origin\r\n"
    "Date: Tue, 01 Dec 2026 10:00:00 GMT\r\n"
    "Content-Type: image/jpeg\r\n"
    "Content-Length: 48213\r\n"
    "Last-Modified: Mon, 30 Nov 2026 09:00:00 GMT\r\n"
    "Connection: keep-alive\r\n"
    "ETag: \"5f3a-bc55\"\r\n"
    "Accept-Ranges: bytes\r\n"
    "\r\n";

const std::string kNotModified =
    "HTTP/1.1 304 Not Modified\r\n"
    "Server: origin\r\n"
    "Date: Tue, 01 Dec 2026 10:00:00 GMT\r\n"
    "Last-Modified: Mon, 30 Nov 2026 09:00:00 GMT\r\n"
    "Connection: keep-alive\r\n"
    "ETag: \"5f3a-bc55\"\r\n"
    "\r\n";

RuleCells Rule(std::string pattern, std::string repl = {}) {
    RuleCells cells;
    cells.enable = true;
    cells.rule = std::move(pattern);
    cells.repl = std::move(repl);
    return cells;
}

// Rule patterns of the kinds people write, numbered so that none repeats
// and none matches the benchmark's URL.
std::string Pattern(int list, int i) {
    const std::string n = std::to_string(list * 1000 + i);
    switch (i % 5) {
        case 0:
            return "^ads" + n + "\\.example\\.net/";
        case 1:
            return "/banner" + n + "/";
        case 2:
            return "doubleclick" + n + "\\.";
        case 3:
            return "\\.swf\\?track=" + n;
        default:
            return "^(www\\.)?counter" + n + "\\.(com|net|org)/";
    }
}

// Every host name at one address, without a name server: the session of
// these benchmarks stays in its connect phase, where each request looks its
// host up, whereas a real connection looks it up once per connect.
class FixedHosts : public net::HostLookup {
public:
    std::vector<std::string> AskResolver(const std::string&) const override {
        return {"192.0.2.1"};
    }
};

// A whole engine with its lists, settings and a cache folder, and one
// session whose browser side is one end of a socket pair, read to its end
// by a thread so that answers written to the browser never block.
class World {
public:
    explicit World(bool urlConverter) {
        char dir[] = "/tmp/vellostore-hot-paths.XXXXXX";
        if (::mkdtemp(dir) == nullptr) {
            std::perror("mkdtemp");
            std::exit(1);
        }
        root_ = dir;
        auto config = std::make_shared<proxy::ProxyConfig>();
        config->urlConverterEnabled = urlConverter;
        config->cacheDir = cache::CacheDir(root_ / "Cache");
        config_.Publish(config);
        for (int i = 0; i < kRulesPerList; ++i) {
            lists_.black.Append(Rule(Pattern(0, i)));
            lists_.cache.Append(Rule(Pattern(1, i)));
            lists_.noReq.Append(Rule(Pattern(2, i)));
            lists_.onlyFromCache.Append(Rule(Pattern(3, i)));
            lists_.urlConverter.Append(Rule(
                "^http://mirror" + std::to_string(i) + "\\.example\\.org/", "http://example.org/"));
        }
        lists_.users.Append(UserRow{true, "local", "", "127.0.0.1"});
        engine_ = std::make_unique<proxy::Engine>(config_, lists_, DefaultClock(), hosts_);
        std::filesystem::create_directories(root_ / "Cache");

        int fds[2];
        if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) {
            std::perror("socketpair");
            std::exit(1);
        }
        client_ = std::make_unique<net::Connection>(net::Socket(fds[0]));
        browser_ = net::Socket(fds[1]);
        drain_ = std::thread([fd = browser_.Fd()] {
            char buffer[65536];
            while (::read(fd, buffer, sizeof buffer) > 0) {
            }
        });
        session_ = std::make_unique<proxy::Session>(*engine_, *client_, outbound_);
        session_->userIndex = 0;
    }
    ~World() {
        session_.reset();
        client_.reset();  // the drain sees the end
        drain_.join();
        engine_->Queue().TakeAll();
        std::error_code ignored;
        std::filesystem::remove_all(root_, ignored);
    }

    proxy::Session& Session() { return *session_; }
    proxy::Engine& Owner() { return *engine_; }
    cache::CacheDir Dir() const { return cache::CacheDir(root_ / "Cache"); }

    // Makes the cache entry of kUrl, so that a request for it is made
    // conditional and a 304 can be turned into the answer from it.
    std::string StoreEntry() {
        auto entry = cache::EntryPath(Dir(), cache::CacheKey(kUrl));
        auto writer = cache::BeginEntry(Dir(), *entry, cache::CacheKey(kUrl));
        if (!writer || !writer->Append(std::string(48213, 'j'))) {
            std::fprintf(stderr, "cannot write a cache entry below %s\n", root_.c_str());
            std::exit(1);
        }
        auto now = std::chrono::system_clock::now();
        writer->Finish("image/jpeg", "", now - std::chrono::hours(24), true, now);
        return entry->string();
    }

    void Tick(std::int64_t& calls) {
        if (++calls % kDrainEvery == 0) {
            benchmark::DoNotOptimize(engine_->Queue().TakeAll());
        }
    }

private:
    std::filesystem::path root_;
    Snapshot<proxy::ProxyConfig> config_;
    proxy::RuleLists lists_;
    FixedHosts hosts_;
    std::unique_ptr<proxy::Engine> engine_;
    std::unique_ptr<net::Connection> client_;
    net::OutboundConnection outbound_;
    net::Socket browser_;
    std::thread drain_;
    std::unique_ptr<proxy::Session> session_;
};

proxy::Exchange Request(World& world) {
    proxy::Exchange exchange;
    exchange.config = world.Owner().Config();
    exchange.url = kUrl;
    exchange.method = "GET";
    exchange.monitorRow = 1;
    return exchange;
}

// ProcessRequest on a parsed head, as for every request of a keep-alive
// connection; each call also closes its exchange's monitor row.
void BM_ProcessRequest(benchmark::State& state) {
    const bool urlConverter = state.range(0) != 0;
    const bool entryExists = state.range(1) != 0;
    World world(urlConverter);
    if (entryExists) {
        world.StoreEntry();
    }
    std::int64_t calls = 0;
    for (auto _ : state) {
        proxy::Exchange exchange = Request(world);
        exchange.monitorRow = -1;
        http::MessageHead head{kBrowserRequest};
        benchmark::DoNotOptimize(proxy::ProcessRequest(world.Session(), exchange, head));
        world.Session().FinishExchange(exchange);
        world.Tick(calls);
    }
    state.SetLabel(std::string(urlConverter ? "URL converter on" : "URL converter off") +
                   (entryExists ? ", entry cached: revalidated" : ", no cache entry"));
}
BENCHMARK(BM_ProcessRequest)->Args({0, 0})->Args({1, 0})->Args({1, 1});

// The whole Send hook on a request arriving in one read: head search and
// parse, body framing, ProcessRequest; the exchange is then let go as its
// answer would.
void BM_SendHook(benchmark::State& state) {
    World world(true);
    std::int64_t calls = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(world.Session().FilterUpstream(kBrowserRequest));
        world.Session().FinishAll();
        world.Tick(calls);
    }
    state.SetLabel("URL converter on, no cache entry");
}
BENCHMARK(BM_SendHook);

// The response path on an answer's first block: a 200 with 1 KiB of its
// body, not cachable by the cache list (200 rules scanned).
void BM_ProcessResponseFirstBlock(benchmark::State& state) {
    World world(true);
    const std::string block = kAnswerHeader + std::string(1024, 'j');
    std::int64_t calls = 0;
    std::string out;
    for (auto _ : state) {
        proxy::Exchange exchange = Request(world);
        out.clear();
        benchmark::DoNotOptimize(proxy::AnswerBegins(world.Session(), exchange, block, out));
        world.Tick(calls);
    }
    state.SetLabel("200, 1 KiB of body");
}
BENCHMARK(BM_ProcessResponseFirstBlock);

// The same on the 304 answering the proxy's own If-Modified-Since: the
// entry is opened, the answer becomes the 200 from the cache and its 47 KiB
// are written to the browser's socket.
void BM_ProcessResponse304FromCache(benchmark::State& state) {
    World world(true);
    const std::string entry = world.StoreEntry();
    std::int64_t calls = 0;
    std::string out;
    for (auto _ : state) {
        proxy::Exchange exchange = Request(world);
        exchange.condition = proxy::Condition::kByProxy;
        exchange.cacheFileName = entry;
        out.clear();
        proxy::AnswerBegins(world.Session(), exchange, kNotModified, out);
        if (exchange.statusText != "200 From cache") {
            state.SkipWithError("the 304 was not turned into the answer from the cache");
            break;
        }
        world.Tick(calls);
    }
    state.SetLabel("304 -> 200 from the cache, body sent");
}
BENCHMARK(BM_ProcessResponse304FromCache);

void BM_URLToCachePath(benchmark::State& state) {
    const std::string key = cache::CacheKey(kUrl + "?size=large&v=3");
    for (auto _ : state) {
        benchmark::DoNotOptimize(cache::URLToCachePath(key));
    }
}
BENCHMARK(BM_URLToCachePath);

// What every request pays for its cache file name: key, mapping, code page
// conversion, the checks and the path.
void BM_CacheKeyAndEntryPath(benchmark::State& state) {
    const cache::CacheDir dir("/var/cache/vellostore/Cache");
    const std::string url = kUrl + "?size=large&v=3";
    for (auto _ : state) {
        benchmark::DoNotOptimize(cache::EntryPath(dir, cache::CacheKey(url)));
    }
}
BENCHMARK(BM_CacheKeyAndEntryPath);

}  // namespace

BENCHMARK_MAIN();
