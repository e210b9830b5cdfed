// A session's FilterUpstream on arbitrary bytes from a browser, cut into one
// to three blocks at fuzzer-chosen points: request heads split anywhere,
// bodies, pipelined requests for several hosts, CONNECT tunnels, refusals,
// redirects and answers from the cache. Requests waiting for the answers
// before them are let go as the relay would once those answers are in.

#include <fuzzer/FuzzedDataProvider.h>

#include "proxy_harness.h"

namespace {

vs::fuzz::ProxyHarness& Harness() {
    // Destroyed at exit, which removes its cache folder.
    static vs::fuzz::ProxyHarness harness("request");
    return harness;
}

// Stores an answer for url, so that requests for it can be made conditional
// or answered from the cache.
void Store(vs::fuzz::ProxyHarness& h, const std::string& url, const std::string& answer) {
    vs::fuzz::Browser browser;
    vs::proxy::Session session(h.engine, *browser.connection, browser.outbound);
    (void)session.FilterUpstream("GET " + url + " HTTP/1.1\r\nHost: h\r\n\r\n");
    (void)session.FilterDownstream(answer);
}

// The entries the corpus' requests ask for.
void FillCache(vs::fuzz::ProxyHarness& h) {
    h.Configure(0);
    const std::string lm = "Last-Modified: Sun, 06 Nov 1994 08:49:37 GMT\r\n";
    Store(h, "http://cached.example/page",
          "HTTP/1.1 200 OK\r\n" + lm + "Content-Length: 5\r\n\r\nhello");
    Store(
        h, "http://cached.example/",
        "HTTP/1.1 200 OK\r\nContent-Type: text/html\r\n" + lm + "Content-Length: 6\r\n\r\n<html>");
    Store(h, "http://cached.example/noreq/x.gif",
          "HTTP/1.1 200 OK\r\nContent-Encoding: gzip\r\nTransfer-Encoding: chunked\r\n\r\n"
          "3\r\nGIF\r\n0\r\n\r\n");
    Store(h, "http://cached.example/offline/a", "HTTP/1.0 200 OK\r\n\r\nuntil close");
    (void)h.engine.Queue().TakeAll();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    vs::fuzz::ProxyHarness& h = Harness();
    static bool filled = false;
    if (!filled) {
        FillCache(h);  // again after each periodic clean-up
        filled = true;
    }
    FuzzedDataProvider input(data, size);
    const unsigned flags = input.ConsumeIntegral<std::uint8_t>();
    const bool upstreamCloses = input.ConsumeBool();
    std::vector<std::size_t> cuts;
    const int count = input.ConsumeIntegralInRange(0, 2);
    for (int i = 0; i < count; ++i) {
        cuts.push_back(input.ConsumeIntegral<std::uint16_t>());
    }
    const std::string bytes = input.ConsumeRemainingBytesAsString();
    h.Configure(flags, (flags & 16) != 0 ? "parent" : "");

    {
        vs::fuzz::Browser browser;
        vs::proxy::Session session(h.engine, *browser.connection, browser.outbound);
        std::string held;
        auto send = [&](std::string_view block) {
            (void)session.FilterUpstream(block);
            // The answers before a waiting request come in; then it goes.
            while (browser.connection->Connected() && session.HoldsClient()) {
                session.FinishAll();
                if (!session.TakeHeld(held)) {
                    break;
                }
                (void)session.FilterUpstream(held);
            }
        };
        for (std::string_view block : vs::fuzz::Split(bytes, cuts)) {
            if (!browser.connection->Connected()) {
                break;  // the relay stops reading a browser that was answered
            }
            send(block);
        }
        if (upstreamCloses) {
            (void)session.UpstreamClosed();
        }
    }
    if (h.Tick()) {
        filled = false;
    }
    return 0;
}
