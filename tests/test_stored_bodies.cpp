// Large bodies on their way into the cache and out of it again: the bytes
// move in bulk, to the browser and to the entry, and must arrive
// whole in both places with the counts of a copied body; anything cut short
// leaves no entry behind.

#include <sys/socket.h>

#include <gtest/gtest.h>

#include <thread>

#include "support/cache_fixture.h"

namespace vs::cache {
namespace {

using test::BodyOf;
using test::CacheFixture;
using test::ReadBytes;
using test::ReadResponse;
using test::SendText;

class StoredBodies : public CacheFixture {
protected:
    // Files below the cache folder, entries and temporaries alike.
    std::size_t FilesInCache() const {
        std::size_t count = 0;
        for (auto& item : std::filesystem::recursive_directory_iterator(base.cacheDir.Root())) {
            count += item.is_regular_file() ? 1 : 0;
        }
        return count;
    }
    std::filesystem::path EntryOf(const std::string& url) const {
        return *EntryPath(base.cacheDir, CacheKey(url));
    }
    std::string Fetch(const std::string& url) {
        auto client = Connect();
        SendText(client, GetRequest(url));
        return ReadResponse(client);
    }

    test::HttpOrigin sized;
};

// Stored and then served from the entry: the Content-Length body and a
// chunked one with large chunks reach the browser and the entry byte for
// byte, and the traffic, monitor and progress count every byte once.
TEST_F(StoredBodies, ArriveWholeInTheBrowserAndTheEntryThenComeBackFromIt) {
    constexpr std::size_t kSize = (64 << 20) + 12345;  // not a whole number of blocks
    const std::string url = sized.Url("/size/" + std::to_string(kSize));
    std::string chunked = "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n", payload;
    for (int i = 0; i < 5; ++i) {
        chunked += "493e0\r\n" + test::MakeBody(300'000) + "\r\n";
        payload += test::MakeBody(300'000);
    }
    chunked += "0\r\n\r\n";
    test::LoopbackServer chunkedOrigin([&](net::Socket& socket) {
        test::ReadUntil(socket, "\r\n\r\n");
        net::SendAll(socket, chunked);
        test::ReadAll(socket);
    });
    StartProxy();

    const std::string first = Fetch(url);
    ASSERT_EQ(BodyOf(first).size(), kSize);
    EXPECT_TRUE(BodyOf(first) == test::MakeBody(kSize));
    auto client = Connect();
    SendText(client, GetRequest(test::LoopbackUrl(chunkedOrigin.Port(), "/chunked")));
    EXPECT_TRUE(test::ReadExactly(client, chunked.size()) == chunked);
    client.Close();
    Settle();
    const std::string stored = ReadBytes(EntryOf(url));
    EXPECT_TRUE(stored == test::MakeBody(kSize)) << stored.size();
    EXPECT_TRUE(ReadBytes(EntryOf(test::LoopbackUrl(chunkedOrigin.Port(), "/chunked"))) == payload);
    EXPECT_EQ(consumer.Traffic().fromInternet,
              static_cast<std::int64_t>(first.size() + chunked.size()));
    ASSERT_EQ(monitor.RowCount(), 2u);
    EXPECT_EQ(monitor.Row(0)->received, static_cast<std::int64_t>(kSize));
    EXPECT_EQ(monitor.Row(0)->progress, 100);

    // Offline: answered from the entry without asking the origin.
    StartProxy([](proxy::ProxyConfig& s) { s.offline = true; });
    const std::string second = Fetch(url);
    ASSERT_EQ(BodyOf(second).size(), kSize);
    EXPECT_TRUE(BodyOf(second) == test::MakeBody(kSize));
    Settle();
    EXPECT_EQ(sized.Requests().size(), 1u);
    ASSERT_EQ(monitor.RowCount(), 3u);
    EXPECT_EQ(monitor.Row(2)->answer, "200 From cache");
    EXPECT_EQ(monitor.Row(2)->received, static_cast<std::int64_t>(kSize));
    EXPECT_EQ(consumer.Traffic().fromCache, static_cast<std::int64_t>(kSize));

    // A browser that takes a part and leaves (a video seeking) costs that
    // part, and what the sockets between held, not the whole entry.
    auto leaving = Connect();
    SendText(leaving, GetRequest(url));
    ASSERT_EQ(test::ReadExactly(leaving, 1 << 20).size(), 1u << 20);
    leaving.Close();
    Settle();
    const std::int64_t taken = consumer.Traffic().fromCache - static_cast<std::int64_t>(kSize);
    EXPECT_LT(taken, static_cast<std::int64_t>(kSize / 2));
    // Its row shows that part too, not a download completed.
    EXPECT_EQ(monitor.Row(3)->received, taken);
    EXPECT_LT(monitor.Row(3)->progress, 100);

    // The user's stop of an answer from the entry cuts it at once: what the
    // sockets still hold for the browser is dropped, not sent first.
    auto stopped = Connect();
    SendText(stopped, GetRequest(url));
    ASSERT_EQ(test::ReadExactly(stopped, 1 << 20).size(), 1u << 20);
    EXPECT_TRUE(engine.StopList().Stop(4));
    EXPECT_TRUE(test::ReadToEnd(stopped).reset) << "ended in order, after all that was queued";
}

// A browser that leaves, the user's stop and an origin that closes early
// all cut a stored body short: no entry, no temporary file is left.
TEST_F(StoredBodies, CutShortLeaveNoEntry) {
    constexpr std::size_t kAnnounced = 64 << 20;
    test::LoopbackServer shortOrigin([&](net::Socket& socket) {
        test::ReadUntil(socket, "\r\n\r\n");
        net::SendAll(socket, "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(kAnnounced) +
                                 "\r\n\r\n" + test::MakeBody(8 << 20));
    });
    StartProxy();
    const std::string big = sized.Url("/size/" + std::to_string(256 << 20));

    auto leaving = Connect();
    SendText(leaving, GetRequest(big));
    ASSERT_EQ(test::ReadExactly(leaving, 1 << 20).size(), 1u << 20);
    leaving.Close();
    Settle();
    EXPECT_EQ(FilesInCache(), 0u);

    auto stopped = Connect();
    SendText(stopped, GetRequest(big));
    ASSERT_EQ(test::ReadExactly(stopped, 1 << 20).size(), 1u << 20);
    EXPECT_TRUE(engine.StopList().Stop(1));
    EXPECT_LT(test::ReadAll(stopped).size(), std::size_t{256 << 20});
    Settle();
    EXPECT_EQ(FilesInCache(), 0u);

    const std::string cut = Fetch(test::LoopbackUrl(shortOrigin.Port(), "/cut"));
    EXPECT_EQ(BodyOf(cut).size(), std::size_t{8 << 20});
    Settle();
    EXPECT_EQ(FilesInCache(), 0u);
    EXPECT_EQ(monitor.Row(2)->received, 8 << 20);
}

// A browser that stops taking a download without closing (a hung tab, a
// machine gone to sleep) is let go at the idle limit, not at some multiple
// of it, whether its answer came from the origin while being stored or from
// the entry: it held the worker, the origin connection and the entry for
// good.
TEST_F(StoredBodies, ABrowserThatStopsTakingItsDownloadIsLetGoAtTheIdleLimit) {
    base.freshWithoutAsking = true;  // the third one from the entry
    StartProxy();
    const std::string url = sized.Url("/size/" + std::to_string(32 << 20));
    // The limit a connection gets is the one standing at its accept: a
    // reader slowed down (under a sanitizer) is no stalled one.
    const auto idleLimit = [this](std::chrono::milliseconds limit) {
        server.SetLimits({std::chrono::milliseconds(0), limit, 0, limit});
    };
    const auto stallAndWaitForTheEnd = [&] {
        const std::chrono::milliseconds limit(1000);
        idleLimit(limit);
        auto stalled = Connect();
        const int small = 4096;
        ::setsockopt(stalled.Fd(), SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
        SendText(stalled, GetRequest(url));
        ASSERT_EQ(test::ReadExactly(stalled, 1000).size(), 1000u);
        const auto stalledAt = std::chrono::steady_clock::now();
        EXPECT_TRUE(test::WaitUntil([this] { return server.ActiveConnections() == 0; }));
        EXPECT_LT(std::chrono::steady_clock::now() - stalledAt, limit * 18 / 10);
    };
    stallAndWaitForTheEnd();
    Settle();
    EXPECT_EQ(FilesInCache(), 0u);
    idleLimit(std::chrono::seconds(60));
    EXPECT_EQ(BodyOf(Fetch(url)).size(), std::size_t{32 << 20});
    Settle();
    ASSERT_EQ(FilesInCache(), 1u);
    stallAndWaitForTheEnd();
    Settle();
    EXPECT_EQ(monitor.Row(2)->image, 2);
    // Counted as it took them: what the reset threw away from the socket's
    // queue never reached it.
    EXPECT_LT(monitor.Row(2)->received, 64 << 10);
    // Nor when the user cancels the download, and the browser's reset
    // throws the queue away.
    {
        auto cancelled = Connect();
        const int buffer = 64 << 10;
        ::setsockopt(cancelled.Fd(), SOL_SOCKET, SO_RCVBUF, &buffer, sizeof buffer);
        SendText(cancelled, GetRequest(url));
        ASSERT_EQ(test::ReadExactly(cancelled, 1 << 20).size(), std::size_t{1 << 20});
        net::CloseWithReset(cancelled);
    }
    EXPECT_TRUE(test::WaitUntil([this] { return server.ActiveConnections() == 0; }));
    Settle();
    EXPECT_LT(monitor.Row(3)->received, (1 << 20) + (256 << 10));
    EXPECT_GE(monitor.Row(3)->received, 1 << 20);

    // A reader slower than the buffers, but steady, is no stalled one: it
    // takes some at every look, far less than would tell of room (a third
    // of the buffer).
    idleLimit(std::chrono::milliseconds(1000));
    auto slow = Connect();
    const int window = 128 << 10;  // every read below frees room the sender hears of
    ::setsockopt(slow.Fd(), SOL_SOCKET, SO_RCVBUF, &window, sizeof window);
    SendText(slow, GetRequest(sized.Url("/size/" + std::to_string(8 << 20))));
    std::string got;
    for (int look = 0; look < 12; ++look) {
        got += test::ReadExactly(slow, 64 << 10);
        std::this_thread::sleep_for(std::chrono::milliseconds(250));  // the reader's own pace
    }
    got += test::ReadAll(slow);
    EXPECT_EQ(BodyOf(got).size(), std::size_t{8 << 20});

    // A short limit for idle connections is no limit for a reader: one that
    // pauses past it, as a slow one seems to while its kernel tells of no
    // room, goes on to the end.
    server.SetLimits({std::chrono::milliseconds(0), std::chrono::milliseconds(500), 0});
    auto pausing = Connect();
    SendText(pausing, GetRequest(url));
    got = test::ReadExactly(pausing, 1000);
    std::this_thread::sleep_for(std::chrono::milliseconds(2000));  // the reader's own pace
    got += test::ReadAll(pausing);
    EXPECT_EQ(BodyOf(got).size(), std::size_t{32 << 20});
}

}  // namespace
}  // namespace vs::cache
