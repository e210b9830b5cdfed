// Faults the fuzz targets of fuzz/ and the sanitizer builds found, kept so
// that they stay fixed.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "base/snapshot.h"
#include "proxy/body_framer.h"
#include "proxy/http_head.h"

namespace vs {
namespace {

struct Framed {
    std::string payload;
    std::size_t used = 0;
    bool inBody = false;
};

// Feeds the stream to the framer of the message whose head is `head` in
// blocks cut at `cuts` (ascending), the way the relay hands them over.
Framed FrameInBlocks(std::string_view head, std::string_view stream,
                     std::vector<std::size_t> cuts) {
    const http::MessageHead parsed{std::string(head)};
    http::BodyFramer framer = parsed.IsRequest() ? http::RequestFraming(parsed).value()
                                                 : http::AnswerFraming(parsed, false);
    cuts.push_back(stream.size());
    Framed framed;
    for (std::size_t i = 0, from = 0, n = 0; i < cuts.size() && framer.InBody(); from = cuts[i++]) {
        const std::string_view block = stream.substr(from, cuts[i] - from);
        framed.used += n = framer.Consume(block, &framed.payload);
        if (n < block.size()) {
            break;
        }
    }
    framed.inBody = framer.InBody();
    return framed;
}

// fuzz_chunked: a chunk line past the 4 KiB line limit ended the body when
// a block ended inside it, but was read as a line when its line end came in
// the same block. Where the body ended, and so what the cache stored and
// where the next request was looked for, depended on how TCP cut the stream.
// Here, after chunk "a", a 5000-byte line where a chunk's line end belongs:
// over the limit it is not chunked framing, so a request's body ends there
// (and its connection with it) and an answer's runs to the close.
TEST(FuzzRegressions, OverlongChunkLineEndsTheBodyHoweverTheStreamIsCut) {
    const std::string stream = "1\r\na" + std::string(5000, 'x') + "\r\n1\r\nb\r\n0\r\n\r\n";
    const std::string request = "POST / HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n";
    const Framed whole = FrameInBlocks(request, stream, {});
    EXPECT_EQ(whole.payload, "a");
    EXPECT_FALSE(whole.inBody);
    EXPECT_EQ(whole.used, 4u + 4097u);
    for (const std::string& head :
         {request, std::string("HTTP/1.1 200 OK\r\nTransfer-Encoding: gzip, Chunked \r\n\r\n")}) {
        const Framed once = FrameInBlocks(head, stream, {});
        const Framed cut = FrameInBlocks(head, stream, {13, 2000, 4200});
        EXPECT_EQ(cut.payload, once.payload) << head;
        EXPECT_EQ(cut.used, once.used) << head;
        EXPECT_EQ(cut.inBody, once.inBody) << head;
    }
}

// ThreadSanitizer, a daemon given SIGHUP under traffic: settings and lists
// published while workers took them. std::atomic<shared_ptr> of g++ 12
// orders no load before the next store. Every value taken is one published.
TEST(SanitizerRegressions, ASnapshotMayBePublishedWhileWorkersTakeIt) {
    Snapshot<int> published{std::make_shared<const int>(0)};
    std::atomic<bool> stop{false}, seenOutOfOrder{false};
    std::vector<std::thread> readers;
    for (int t = 0; t < 3; ++t) {
        readers.emplace_back([&] {
            int last = 0;
            while (!stop.load()) {
                const int now = *published.Get();
                seenOutOfOrder = seenOutOfOrder || now < last;
                last = now;
            }
        });
    }
    for (int i = 1; i <= 2000; ++i) {
        published.Publish(std::make_shared<const int>(i));
    }
    stop = true;
    for (std::thread& reader : readers) {
        reader.join();
    }
    EXPECT_FALSE(seenOutOfOrder.load());
    EXPECT_EQ(*published.Get(), 2000);
}

}  // namespace
}  // namespace vs
