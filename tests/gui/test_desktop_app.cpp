// vellostore as its user runs it: a real process on the offscreen platform,
// ended by the session's SIGTERM, by the hangup of the terminal it was
// started from or by its X server ending, each of which must write what the
// close box writes.

#include <signal.h>

#include <gtest/gtest.h>

#include "base/data_dir.h"
#include "shell/statistics.h"
#include "support/child_process.h"
#include "support/files.h"
#include "support/list_file.h"
#include "support/net_helpers.h"
#include "support/text.h"
#include "support/wait.h"

namespace vs::test {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

// How a session ends: the session's SIGTERM, the terminal's hangup, or the
// X server going away under the window (a logout with no session manager
// to ask first), which ends the process from inside Qt.
enum class Ending { kTerm, kHangup, kDisplayGone };

// An X server of the test's own, on the first display number free.
std::unique_ptr<ChildProcess> StartXServer(const fs::path& dir, std::string& display) {
    auto server = std::make_unique<ChildProcess>(
        "xvfb", std::vector<std::string>{"Xvfb", "-displayfd", "1", "-nolisten", "tcp"}, dir);
    if (!WaitUntil([&] { return server->Stdout().ends_with("\n"); }, 20s)) {
        return nullptr;
    }
    display = ":" + server->Stdout().substr(0, server->Stdout().size() - 1);
    return server;
}

void EndAndExpectEverythingWritten(Ending ending) {
    SCOPED_TRACE(static_cast<int>(ending));
    TempDir dir;
    const fs::path home = dir.Path() / "home";
    fs::create_directories(home);
    const int port = FreePort();
    WriteBytes(home / "Vellostore.ini",
               "[TMainForm]\r\nPortEd_Text=" + std::to_string(port) + "\r\n");
    WriteBytes(home / "users.lst", ListFile({{"1", "True", "local", "0000000", "127.0.0.1"}}));
    WriteBytes(home / "black.lst", ListFile({{"1", "True", "blocked", "41"}}));
    std::map<std::string, std::string> env = {
        {"VELLOSTORE_HOME", home.string()},
        {"QT_QPA_PLATFORM", "offscreen"},
        {"XDG_CONFIG_HOME", (dir.Path() / "config").string()}};
    std::unique_ptr<ChildProcess> xServer;
    if (ending == Ending::kDisplayGone) {
        xServer = StartXServer(dir.Path(), env["DISPLAY"]);
        ASSERT_NE(xServer, nullptr) << "Xvfb did not start";
        env["QT_QPA_PLATFORM"] = "xcb";
    }
    ChildProcess app("vellostore", {VELLOSTORE_PATH}, dir.Path(), env);
    ASSERT_TRUE(WaitUntil(
        [&] {
            try {
                ConnectLoopback(static_cast<std::uint16_t>(port));
                return true;
            } catch (const std::exception&) {
                return false;
            }
        },
        20s))
        << app.Stderr();
    // Started again (from the menu, or to reach a window hidden in the
    // tray): the running copy is asked to show its window, and the second
    // one ends without a box.
    ChildProcess again("again", {VELLOSTORE_PATH}, dir.Path(), env);
    EXPECT_EQ(again.Wait(20s), 0) << again.Stderr();
    HttpOrigin origin;
    auto client = ConnectLoopback(static_cast<std::uint16_t>(port));
    SendText(client, "GET " + origin.Url("/blocked/") + " HTTP/1.1\r\nHost: x\r\n\r\n");
    EXPECT_TRUE(ReadResponse(client).starts_with("HTTP/1.0 403"));
    client = ConnectLoopback(static_cast<std::uint16_t>(port));
    SendText(client, "GET " + origin.Url("/size/" + std::to_string(300 * 1024)) +
                         " HTTP/1.1\r\nHost: x\r\n\r\n");
    EXPECT_TRUE(ReadResponse(client).starts_with("HTTP/1.1 200"));

    if (ending == Ending::kDisplayGone) {
        xServer->Signal(SIGTERM);
        ASSERT_EQ(app.Wait(30s), 1) << app.Stderr();  // Qt's own status for it
    } else {
        app.Signal(ending == Ending::kTerm ? SIGTERM : SIGHUP);
        ASSERT_EQ(app.Wait(30s), 0) << app.Stderr();
    }
    // The hit reached the list through the window's own passes.
    EXPECT_EQ(ReadBytes(home / "black.lst"), ListFile({{"1", "True", "blocked", "42"}}));
    const std::string ini = ReadBytes(home / "Vellostore.ini");
    EXPECT_TRUE(Has(ini, "BlackListCB_Checked=True\r\n")) << ini;
    // The window's placement and columns, as Qt last knew them.
    EXPECT_TRUE(Has(ini, "Visible=1\r\n")) << ini;
    EXPECT_TRUE(Has(ini, "\r\nNormPos=")) << ini;
    EXPECT_TRUE(Has(ini, "[Monitor Columns Sizes]\r\n")) << ini;
    // Today's row: the user's 300 KiB from the internet (headers a little more).
    EXPECT_EQ(ReadBytes(home / "stat.txt"),
              ListFile({{StatDateText(std::chrono::system_clock::now()), "300/0"}}));
    for (const char* list : {"cache.lst", "noreq.lst", "onlyfromcache.lst", "URLF.lst"}) {
        EXPECT_TRUE(fs::exists(home / list)) << list;
    }
    EXPECT_EQ(fs::status(home / "users.lst").permissions() & fs::perms::all,
              fs::perms::owner_read | fs::perms::owner_write);
}

TEST(DesktopApp, SigtermAHangupOrTheDisplayGoingWritesEverythingLikeTheCloseBox) {
    EndAndExpectEverythingWritten(Ending::kTerm);
    EndAndExpectEverythingWritten(Ending::kHangup);
    EndAndExpectEverythingWritten(Ending::kDisplayGone);
}

// A second copy on a folder in use (autostart beside the daemon) shows its
// box: the session's end must still end it, nobody there to click it away.
TEST(DesktopApp, ASignalEndsTheStartsErrorBox) {
    TempDir dir;
    const DataFolderLock held(dir.Path());
    ASSERT_FALSE(held.HeldByAnother());
    ChildProcess app("second", {VELLOSTORE_PATH}, dir.Path(),
                     {{"VELLOSTORE_HOME", dir.Path().string()}, {"QT_QPA_PLATFORM", "offscreen"}});
    // Once the program takes the signal itself: before, it simply dies of it.
    const auto blocked = [&] {
        const std::string status = ReadBytes("/proc/" + std::to_string(app.Pid()) + "/status");
        const auto at = status.find("SigBlk:\t");
        return at != std::string::npos &&
               (std::stoull(status.substr(at + 8, 16), nullptr, 16) & (1ull << (SIGTERM - 1))) != 0;
    };
    ASSERT_TRUE(WaitUntil(blocked, 20s));
    app.Signal(SIGTERM);
    EXPECT_EQ(app.Wait(20s), 1) << app.Stderr();
}

// Two starts at once (a double click in the menu): the one that finds the
// folder taken hands its request to the other, though that one is still
// starting, and ends without a box; the other runs on.
TEST(DesktopApp, TwoStartsAtOnceLeaveOneCopyAndNoBox) {
    TempDir dir;
    WriteBytes(dir.Path() / "Vellostore.ini",
               "[TMainForm]\r\nPortEd_Text=" + std::to_string(FreePort()) + "\r\n");
    const auto start = [&dir](const char* name) {
        return std::make_unique<ChildProcess>(
            name, std::vector<std::string>{VELLOSTORE_PATH}, dir.Path(),
            std::map<std::string, std::string>{
                {"VELLOSTORE_HOME", dir.Path().string()},
                {"QT_QPA_PLATFORM", "offscreen"},
                {"XDG_CONFIG_HOME", (dir.Path() / "config").string()}});
    };
    auto first = start("first");
    auto second = start("second");
    std::optional<int> ended;
    ChildProcess* running = nullptr;
    ASSERT_TRUE(WaitUntil(
        [&] {
            if ((ended = first->Wait(10ms))) {
                running = second.get();
            } else if ((ended = second->Wait(10ms))) {
                running = first.get();
            }
            return ended.has_value();
        },
        20s));
    EXPECT_EQ(*ended, 0);
    running->Signal(SIGTERM);
    EXPECT_EQ(running->Wait(30s), 0) << running->Stderr();
}

// Started where there is no display (ssh, a service) or where the named one
// has gone (no X server listens this far up): told so, and an ordinary
// failure, not an abort with advice to reinstall.
TEST(DesktopApp, WithoutADisplayItSaysSoAndFails) {
    TempDir dir;
    for (const std::string display : {"", ":977"}) {
        SCOPED_TRACE(display);
        ChildProcess app(display.empty() ? "none" : "gone", {VELLOSTORE_PATH}, dir.Path(),
                         {{"VELLOSTORE_HOME", dir.Path().string()},
                          {"DISPLAY", display},
                          {"WAYLAND_DISPLAY", ""},
                          {"QT_QPA_PLATFORM", ""}});
        EXPECT_EQ(app.Wait(20s), 1);
        EXPECT_TRUE(Has(app.Stderr(), display.empty() ? "no display" : "cannot be opened"))
            << app.Stderr();
    }
}

}  // namespace
}  // namespace vs::test
