// A second start asks the copy holding its data folder to show the window:
// over a real local socket, one name per folder, gone with the copy.

#include "gui/show_requests.h"

#include <QCoreApplication>

#include <gtest/gtest.h>

#include <atomic>
#include <future>

#include "support/files.h"
#include "support/wait.h"

namespace vs::gui {
namespace {

using namespace std::chrono_literals;

TEST(ShowRequests, ReachOnlyTheCopyHoldingTheFolderWhileItRuns) {
    test::TempDir dir;
    test::TempDir other;
    EXPECT_FALSE(ShowRequests::AskRunningCopy(dir.Path(), 0ms));
    // Asked while the other start has taken the folder but not yet listens
    // (a double click): the request waits for it rather than failing.
    std::atomic<bool> asking{false};
    std::future<bool> early = std::async(std::launch::async, [&] {
        asking = true;
        return ShowRequests::AskRunningCopy(dir.Path());
    });
    ASSERT_TRUE(test::WaitUntil([&] { return asking.load(); }));
    int shown = 0;
    {
        const ShowRequests requests(dir.Path() / "." / "", [&shown] { ++shown; });
        EXPECT_TRUE(early.get());
        EXPECT_TRUE(ShowRequests::AskRunningCopy(dir.Path()));
        EXPECT_FALSE(ShowRequests::AskRunningCopy(other.Path(), 0ms));
        EXPECT_TRUE(test::WaitUntil([&shown] {
            QCoreApplication::processEvents();
            return shown >= 1;
        }));
    }
    EXPECT_FALSE(ShowRequests::AskRunningCopy(dir.Path(), 0ms));
}

}  // namespace
}  // namespace vs::gui
