// Faults the fuzz targets of fuzz/ and the sanitizer builds found, kept as
// they were found so that they stay fixed. The fuzz inputs are the ones the
// fuzzer wrote out, byte for byte.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "base/clock.h"
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
TEST(FuzzRegressions, ChunkedBodyEndsAtTheSameByteHoweverTheStreamIsCut) {
    const std::string header = "HTTP/1.1 200 OK\r\nTransfer-Encoding: gzip, Chunked \r\n\r\n";
    const std::string stream =
        std::string("\x34\x3b\x65\x78\x74\x3d\x31\x01\x00\x00\x00", 11) + std::string(11, '\xdb') +
        std::string("\x35\x0d\x03\x00\x00\x00\x00\x00\x00\x00\x0a\x30\x30\x30\x30", 15) +
        std::string(13, '\xff') + std::string("\x88\x88\x88\x88\x88\x88\x88\xff\xff\x29", 10) +
        std::string(18, '\xff') +
        std::string("\x31\x0d\x0a\x61\x78\x78\x78\x00\x00\x61\x90\x00\x39\x62\x80", 15) +
        std::string(230, '\x78') +
        std::string(
            "\xff\xff\xff\xff\xff\xff\xff\xff\x5b\xff\xff\xff\xff\x6c\xdb\xdb\xdb\xdb\xdb\xdb\xdb",
            21) +
        std::string(253, '\x78') + std::string("\x7f", 1) + std::string(1806, '\x78') +
        std::string(88, '\x00') + std::string(754, '\x78') + std::string("\x60", 1) +
        std::string(615, '\x78') + std::string("\x00\x00\x00\x0f", 4) + std::string(192, '\x78') +
        std::string("\x05\x00\x00", 3) + std::string(65, '\x78') + std::string("\xd9", 1) +
        std::string(28, '\xdb') + std::string("\xd3\xdb\xdb\xdb", 4) + std::string(10, '\xf2') +
        std::string("\xfe\xf2\xf2\xf2\xf2\xf2\xf2\xf2", 8) + std::string(168, '\x78') +
        std::string("\xf2\x78\x78\x78\xf2\xf2\xf2\x78\xf2\xf2\x20\x0d\x0a\x30\x32\x34\x36\x39", 18);
    ASSERT_EQ(stream.size(), 4363u);
    const Framed whole = FrameInBlocks(header, stream, {});
    const Framed cut = FrameInBlocks(header, stream, {13, 1041, 3385, 4290});
    EXPECT_EQ(cut.payload, whole.payload);
    EXPECT_EQ(cut.used, whole.used);
    EXPECT_EQ(cut.inBody, whole.inBody);
}

// The same fault in its plain form: after chunk "a", a 5000-byte line where
// a chunk's line end belongs. Over the limit, it is not chunked framing: a
// request body ends there (and its connection with it).
TEST(FuzzRegressions, OverlongChunkLineEndsTheBodyInOneBlockToo) {
    const std::string header = "POST / HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n";
    const std::string stream = "1\r\na" + std::string(5000, 'x') + "\r\n1\r\nb\r\n0\r\n\r\n";
    const Framed whole = FrameInBlocks(header, stream, {});
    EXPECT_EQ(whole.payload, "a");
    EXPECT_FALSE(whole.inBody);
    EXPECT_EQ(whole.used, 4u + 4097u);
    const Framed cut = FrameInBlocks(header, stream, {2000, 4200});
    EXPECT_EQ(cut.payload, whole.payload);
    EXPECT_EQ(cut.used, whole.used);
}

// ThreadSanitizer, CacheFixture.ListsAndTheFreshWindowAnswerWithoutAsking:
// the test moved its FixedClock on while the worker that had just sent a
// body from the cache still read it to mark the entry used. Fails only under
// scripts/test --tsan, which runs this suite.
TEST(SanitizerRegressions, FixedClockMayBeMovedWhileAProxyThreadReadsIt) {
    FixedClock clock{std::chrono::system_clock::from_time_t(1796472551)};
    std::atomic<bool> stop{false};
    std::thread reader([&] {
        while (!stop.load()) {
            (void)clock.Now();
        }
    });
    for (int i = 0; i < 1000; ++i) {
        clock.Advance(std::chrono::seconds(1));
    }
    stop.store(true);
    reader.join();
    EXPECT_EQ(clock.Now(), std::chrono::system_clock::from_time_t(1796472551 + 1000));
}

}  // namespace
}  // namespace vs
