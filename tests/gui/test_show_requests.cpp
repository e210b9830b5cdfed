// A second start asks the copy holding its data folder to show the window:
// over a real local socket, one name per folder, gone with the copy.

#include "gui/show_requests.h"

#include <QCoreApplication>

#include <gtest/gtest.h>

#include "support/files.h"
#include "support/wait.h"

namespace vs::gui {
namespace {

TEST(ShowRequests, ReachOnlyTheCopyHoldingTheFolderWhileItRuns) {
    test::TempDir dir;
    test::TempDir other;
    EXPECT_FALSE(ShowRequests::AskRunningCopy(dir.Path()));
    int shown = 0;
    {
        const ShowRequests requests(dir.Path() / "." / "", [&shown] { ++shown; });
        EXPECT_TRUE(ShowRequests::AskRunningCopy(dir.Path()));
        EXPECT_FALSE(ShowRequests::AskRunningCopy(other.Path()));
        EXPECT_TRUE(test::WaitUntil([&shown] {
            QCoreApplication::processEvents();
            return shown == 1;
        }));
    }
    EXPECT_FALSE(ShowRequests::AskRunningCopy(dir.Path()));
}

}  // namespace
}  // namespace vs::gui
