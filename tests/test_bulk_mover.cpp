// Bulk moves between real loopback sockets: every byte reaches the browser
// and the file whatever buffer a connection grew to, and a large buffer
// given back goes to the next connection.

#include "net/bulk_mover.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "support/files.h"
#include "support/net_helpers.h"
#include "support/wait.h"

namespace vs::net {
namespace {

// Moves a body from an origin to a browser through `mover`, appending it to
// a file as well; checks both copies.
void MoveWholeBody(BulkMover& mover, const std::string& body) {
    test::LoopbackServer origin([&](Socket& socket) { SendAll(socket, body); });
    std::string received;
    std::atomic<bool> done{false};
    test::LoopbackServer browser([&](Socket& socket) {
        received = test::ReadExactly(socket, body.size());
        done = true;
    });
    test::TempDir dir;
    const auto path = dir.Path() / "entry";
    Socket file(::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600));
    Socket from = test::ConnectLoopback(origin.Port());
    Socket to = test::ConnectLoopback(browser.Port());

    // The first receive fills the start buffer: the connection grows.
    ASSERT_TRUE(test::WaitUntil([&] {
        int queued = 0;
        return ::ioctl(from.Fd(), FIONREAD, &queued) == 0 &&
               queued >= static_cast<int>(kStartBulkBlockSize);
    }));
    std::size_t moved = 0;
    while (moved < body.size()) {
        pollfd readable{from.Fd(), POLLIN, 0};
        ASSERT_EQ(::poll(&readable, 1, 20'000), 1);
        CopiedMove step = mover.Move(from, to, file.Fd());
        ASSERT_NE(step.moved, 0u) << "the origin closed after " << moved;
        EXPECT_TRUE(step.copied);
        moved += step.moved.value_or(0);
    }
    EXPECT_EQ(moved, body.size());
    ASSERT_TRUE(test::WaitUntil([&] { return done.load(); }));
    EXPECT_TRUE(received == body);
    EXPECT_TRUE(test::ReadBytes(path) == body);
}

TEST(BulkMover, ConnectionsBeyondTheBudgetMoveEveryByteAndAReleasedBufferIsReused) {
    const std::string body = test::MakeBody((3 << 20) + 4097);
    BulkBudget budget(1);
    BulkMover first(budget), second(budget);
    MoveWholeBody(first, body);
    EXPECT_EQ(first.Capacity(), kBulkBlockSize);
    MoveWholeBody(second, body);
    EXPECT_EQ(second.Capacity(), kSmallBulkBlockSize);

    first.Release();
    second.Release();
    EXPECT_FALSE(first.Held());
    BulkMover third(budget);
    MoveWholeBody(third, body);
    EXPECT_EQ(third.Capacity(), kBulkBlockSize);
}

}  // namespace
}  // namespace vs::net
