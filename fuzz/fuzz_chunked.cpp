// BodyFramer on a chunked answer: the payload it yields and where it says
// the body ends must not depend on how the stream was cut into blocks.

#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstdlib>
#include <vector>

#include "proxy/body_framer.h"
#include "proxy/http_head.h"

namespace {

struct Outcome {
    std::string payload;
    std::size_t used = 0;
    bool inBody = false;
};

Outcome Run(std::string_view header, std::string_view stream,
            const std::vector<std::size_t>& cuts) {
    vs::http::BodyFramer framer =
        vs::http::AnswerFraming(vs::http::MessageHead{std::string(header)}, false);
    Outcome outcome;
    std::size_t from = 0;
    for (std::size_t i = 0; i <= cuts.size() && framer.InBody(); ++i) {
        const std::size_t to = i < cuts.size() ? cuts[i] : stream.size();
        const std::string_view block = stream.substr(from, to - from);
        const std::size_t n = framer.Consume(block, &outcome.payload);
        if (n > block.size()) {
            std::abort();
        }
        outcome.used += n;
        if (n < block.size()) {
            if (framer.InBody()) {
                std::abort();  // fewer than all only when the body has ended
            }
            break;
        }
        from = to;
    }
    outcome.inBody = framer.InBody();
    return outcome;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider input(data, size);
    const int extra = input.ConsumeIntegralInRange(0, 3);
    std::string header = "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n";
    if (extra & 1) {
        header += "Content-Length: 5\r\n";  // ignored: chunked wins
    }
    if (extra & 2) {
        header = "HTTP/1.1 200 OK\r\nTransfer-Encoding: gzip, Chunked \r\n";
    }
    header += "\r\n";
    std::vector<std::size_t> cuts;
    const int pieces = input.ConsumeIntegralInRange(0, 4);
    for (int i = 0; i < pieces; ++i) {
        cuts.push_back(input.ConsumeIntegral<std::uint16_t>());
    }
    const std::string stream = input.ConsumeRemainingBytesAsString();
    for (auto& cut : cuts) {
        cut = stream.empty() ? 0 : cut % (stream.size() + 1);
    }
    std::sort(cuts.begin(), cuts.end());

    const vs::http::BodyFramer probe =
        vs::http::AnswerFraming(vs::http::MessageHead{header}, false);
    if (!probe.Chunked() || !probe.InBody()) {
        std::abort();
    }

    const Outcome whole = Run(header, stream, {});
    const Outcome split = Run(header, stream, cuts);
    // Byte by byte, the finest split there is.
    std::vector<std::size_t> every;
    for (std::size_t i = 1; i < stream.size() && stream.size() <= 512; ++i) {
        every.push_back(i);
    }
    const Outcome bytewise = Run(header, stream, every);
    for (const Outcome* other : {&split, &bytewise}) {
        if (other->payload != whole.payload || other->used != whole.used ||
            other->inBody != whole.inBody) {
            std::abort();
        }
    }
    return 0;
}
