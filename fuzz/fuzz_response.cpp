// The response path on arbitrary answers: one or two requests for a
// fuzzer-chosen URL go through a session's FilterUpstream (so that they may
// be made conditional on an entry stored by an earlier input), then the
// answers arrive in one to three blocks through FilterDownstream (or, as the
// relay moves body bytes nobody reads, partly only counted), and upstream
// may close early. Every cachable answer is written to a real cache folder.

#include <fuzzer/FuzzedDataProvider.h>

#include "proxy_harness.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // Destroyed at exit, which removes its cache folder.
    static vs::fuzz::ProxyHarness h("response");
    FuzzedDataProvider input(data, size);
    const unsigned flags = input.ConsumeIntegral<std::uint8_t>();
    const unsigned how = input.ConsumeIntegral<std::uint8_t>();
    const std::string url = "http://" + input.ConsumeRandomLengthString(64);
    std::vector<std::size_t> cuts;
    const int count = input.ConsumeIntegralInRange(0, 2);
    for (int i = 0; i < count; ++i) {
        cuts.push_back(input.ConsumeIntegral<std::uint16_t>());
    }
    const std::string answer = input.ConsumeRemainingBytesAsString();
    // Only the cache settings vary: the answer is what is being fuzzed, and
    // requests refused offline would never see it.
    h.Configure(flags & ~1u & ~64u);

    {
        vs::fuzz::Browser browser;
        vs::proxy::Session session(h.engine, *browser.connection, browser.outbound);
        const char* method = (how & 1) != 0 ? "HEAD " : (how & 2) != 0 ? "POST " : "GET ";
        std::string request = method + url + " HTTP/1.1\r\nHost: h\r\n";
        if ((how & 4) != 0) {
            request += "If-Modified-Since: Sat, 05 Nov 1994 08:49:37 GMT\r\n";
        }
        request += "\r\n";
        // Sometimes a second request on the same connection, answered next.
        (void)session.FilterUpstream((how & 32) != 0 ? request + request : request);
        // A request answered here never reaches upstream.
        if (browser.connection->Connected()) {
            for (std::string_view block : vs::fuzz::Split(answer, cuts)) {
                if ((how & 16) != 0) {
                    // As the relay does: what the record lets pass unseen
                    // is only counted, the rest goes through the hook.
                    const std::size_t unseen = std::min(session.UnseenRoom(), block.size());
                    if (unseen > 0) {
                        session.PassedUnseen(unseen);
                        block.remove_prefix(unseen);
                    }
                }
                (void)session.FilterDownstream(block);
                if (!browser.connection->Connected()) {
                    break;
                }
            }
            if ((how & 8) != 0 && browser.connection->Connected()) {
                (void)session.UpstreamClosed();
            }
        }
    }
    h.Tick();
    return 0;
}
