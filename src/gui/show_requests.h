#pragma once
// A second start on a data folder a desktop copy holds asks that copy to
// show its window, the tray icon's click, and ends: a user who starts the
// program again from the menu, or who has no mouse for the tray, gets the
// window rather than a box saying the folder is in use. The request goes
// over a local socket in the abstract namespace named after the folder, so
// nothing appears in the folder and the name goes with the process.

#include <QSocketNotifier>

#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>

#include "net/socket.h"

namespace vs::gui {

class ShowRequests {
public:
    // Takes the requests for `dataDir` while it lives; `show` runs on the
    // thread of the event loop. Without the socket (another copy holds the
    // name) there are no requests, and nothing else changes.
    ShowRequests(const std::filesystem::path& dataDir, std::function<void()> show);
    ShowRequests(const ShowRequests&) = delete;
    ShowRequests& operator=(const ShowRequests&) = delete;

    // True when a copy holding `dataDir` took the request. A copy started at
    // the same moment (a double click) takes the folder a moment before it
    // listens: it is asked again for `patience`.
    static bool AskRunningCopy(const std::filesystem::path& dataDir,
                               std::chrono::milliseconds patience = std::chrono::seconds(3));

private:
    void TakeRequests();

    net::Socket listening_;
    std::unique_ptr<QSocketNotifier> notifier_;
    std::function<void()> show_;
};

}  // namespace vs::gui
