#pragma once
// The log window "Log": a separate, normally hidden window in which the
// proxy's log entries are shown, each as its date and time with the heading,
// then the body, entries kept apart by one blank line. The log is a live
// view only: nothing is written anywhere, and entries that arrive while the
// window is hidden are dropped for good.
//
// A proxy that runs for months must not grow without end, so the window
// keeps at most a bounded amount of text: when an entry takes the text past
// the bound, the oldest entries are removed whole, and one entry larger than
// the bound on its own is cut to it.

#include <QWidget>

#include <chrono>
#include <deque>
#include <string>
#include <string_view>
#include <vector>

#include "base/clock.h"
#include "proxy/log_sink.h"

class QAction;
class QMenu;
class QPlainTextEdit;

namespace vs::gui {

struct LogLimits {
    // Characters include each line's end. Lines are bounded apart from
    // characters because every line costs the text document a block of its
    // own, whatever its length.
    int maxCharacters = 2'000'000;
    int maxLines = 50'000;
};

class LogWindow : public QWidget {
    Q_OBJECT

public:
    explicit LogWindow(const Clock& clock = DefaultClock(), LogLimits limits = {},
                       QWidget* parent = nullptr);

    // One entry, heading and body in CP1251, dated now. Meant for the
    // application thread (the monitor queue's consumer); a call from another
    // thread is handed over to the window's thread rather than touching the
    // widgets from there.
    void AddEntry(std::string_view header, std::string_view body);
    // AddEntry as the proxy service's log sink. The window must outlive the
    // service that calls it.
    proxy::LogSink Sink();

    // The main window's "Показать лог": hides a shown window, shows a hidden one.
    void ToggleShown();

    // The popup menu's items.
    void CopyAll();
    void Clear();
    // "&Refresh" ticked: each new entry puts the caret at the end of the text.
    bool FollowsEnd() const;
    void SetFollowsEnd(bool follow);

    // The text and the view with every entry added so far shown.
    QString Text();
    QPlainTextEdit& View();
    QMenu& PopupMenu() { return *menu_; }

private:
    // Entries wait for the event loop and go into the text together: a busy
    // proxy logs thousands of entries a second, and an insert, a trim and a
    // scroll for each held the window for minutes while the entries waiting
    // grew without bound.
    void Append(std::chrono::system_clock::time_point when, std::string_view header,
                std::string_view body);
    void ShowWaiting();
    void CapEntry(std::vector<std::string>& lines) const;
    // Removes the oldest entries until the text is within the bounds, the
    // newest entry always staying. Returns the characters removed.
    int TrimOldest();

    const Clock& clock_;
    const LogLimits limits_;
    QPlainTextEdit* view_;
    QMenu* menu_;
    QAction* follow_;
    // Lines of each entry shown, oldest first, each counted with the blank
    // line that parts it from the next one, so that removing an entry's
    // lines from the top leaves the next entry's heading first.
    std::deque<int> entryLines_;
    // Entries not yet shown, oldest first, and the characters and lines they
    // will take (separators included). Only as many as the bounds let the
    // text keep are held: older ones would be trimmed as soon as shown.
    std::deque<std::vector<std::string>> waiting_;
    std::size_t waitingCharacters_ = 0;
    std::size_t waitingLines_ = 0;
    bool showPosted_ = false;
};

}  // namespace vs::gui
