#include "gui/log_window.h"

#include <QAction>
#include <QClipboard>
#include <QGuiApplication>
#include <QMenu>
#include <QPlainTextEdit>
#include <QScrollBar>
#include <QShortcut>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextDocument>
#include <QThread>
#include <QTimer>
#include <QVBoxLayout>

#include <algorithm>

#include "gui/cp1251_text.h"
#include "gui/screen_fit.h"
#include "shell/log_text.h"

namespace vs::gui {
namespace {

constexpr int kShowWithinMs = 100;

// What an entry's lines take in the text: each line with its end, and the
// blank line parting it from the next entry.
std::size_t CharactersOf(const std::vector<std::string>& lines) {
    std::size_t characters = 1;
    for (const std::string& line : lines) {
        characters += line.size() + 1;
    }
    return characters;
}

}  // namespace

LogWindow::LogWindow(const Clock& clock, LogLimits limits, QWidget* parent)
    : QWidget(parent, Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                          Qt::WindowSystemMenuHint | Qt::WindowMaximizeButtonHint |
                          Qt::WindowCloseButtonHint),
      clock_(clock),
      limits_{std::max(limits.maxCharacters, 1), std::max(limits.maxLines, 1)},
      view_(new QPlainTextEdit(this)),
      menu_(new QMenu(this)) {
    setWindowTitle(QStringLiteral("Log"));
    ResizeWithinTheScreen(*this, {518, 606});
    // The close box only hides the log; an open log must not keep the
    // program running once the main window has closed.
    setAttribute(Qt::WA_QuitOnClose, false);

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(view_);

    // Read-only keeps the text exactly what the entries made it, which the
    // removal of whole old entries counts on; the keyboard caret stays so
    // that the text can still be walked and selected.
    view_->setReadOnly(true);
    view_->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    view_->setLineWrapMode(QPlainTextEdit::NoWrap);
    // Every programmatic insert would otherwise be kept for undo, and the
    // memory of a long-running log would grow past any bound on its text.
    view_->document()->setUndoRedoEnabled(false);

    menu_->addAction(QStringLiteral("&Copy all"), this, &LogWindow::CopyAll);
    menu_->addAction(QStringLiteral("&Clear"), this, &LogWindow::Clear);
    follow_ = menu_->addAction(QStringLiteral("&Refresh"));
    follow_->setCheckable(true);
    follow_->setChecked(true);
    view_->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(view_, &QWidget::customContextMenuRequested, this,
            [this](const QPoint& at) { menu_->exec(view_->viewport()->mapToGlobal(at)); });
    // As in the grids: keyboards without a Menu key open it with Shift+F10.
    auto* menuKey = new QShortcut(QKeySequence(Qt::SHIFT | Qt::Key_F10), view_);
    menuKey->setContext(Qt::WidgetWithChildrenShortcut);
    connect(menuKey, &QShortcut::activated, this, [this] {
        // At the caret, unless it is scrolled out of view (Ctrl+A leaves it
        // at the end): the menu would open away from the window.
        const QRect seen = view_->viewport()->rect();
        const QPoint caret = view_->cursorRect().center();
        menu_->exec(view_->viewport()->mapToGlobal(seen.contains(caret) ? caret : seen.center()));
    });
}

void LogWindow::AddEntry(std::string_view header, std::string_view body) {
    const auto when = clock_.Now();
    if (QThread::currentThread() != thread()) {
        QMetaObject::invokeMethod(
            this,
            [this, when, header = std::string(header), body = std::string(body)] {
                Append(when, header, body);
            },
            Qt::QueuedConnection);
        return;
    }
    Append(when, header, body);
}

proxy::LogSink LogWindow::Sink() {
    return [this](std::string_view header, std::string_view body) { AddEntry(header, body); };
}

void LogWindow::ToggleShown() {
    if (isVisible()) {
        hide();
        return;
    }
    show();
    raise();
    activateWindow();
}

void LogWindow::CopyAll() {
    QGuiApplication::clipboard()->setText(Text());
}

void LogWindow::Clear() {
    waiting_.clear();
    waitingCharacters_ = 0;
    waitingLines_ = 0;
    view_->clear();
    view_->document()->setUndoRedoEnabled(false);
    entryLines_.clear();
}

bool LogWindow::FollowsEnd() const {
    return follow_->isChecked();
}

void LogWindow::SetFollowsEnd(bool follow) {
    follow_->setChecked(follow);
}

QString LogWindow::Text() {
    ShowWaiting();
    return view_->toPlainText();
}

QPlainTextEdit& LogWindow::View() {
    ShowWaiting();
    return *view_;
}

void LogWindow::Append(std::chrono::system_clock::time_point when, std::string_view header,
                       std::string_view body) {
    if (!isVisible()) {
        return;
    }
    std::vector<std::string> lines = LogEntryLines(when, header, body);
    CapEntry(lines);
    waitingCharacters_ += CharactersOf(lines);
    waitingLines_ += lines.size() + 1;
    waiting_.push_back(std::move(lines));
    while (waiting_.size() > 1 &&
           (waitingCharacters_ > static_cast<std::size_t>(limits_.maxCharacters) ||
            waitingLines_ > static_cast<std::size_t>(limits_.maxLines))) {
        waitingCharacters_ -= CharactersOf(waiting_.front());
        waitingLines_ -= waiting_.front().size() + 1;
        waiting_.pop_front();
    }
    if (!showPosted_) {
        showPosted_ = true;
        // Within a tenth of a second, together: shown at each pass, the text
        // was laid out and painted up to a hundred times a second.
        QTimer::singleShot(kShowWithinMs, this, [this] {
            showPosted_ = false;
            ShowWaiting();
        });
    }
}

void LogWindow::ShowWaiting() {
    if (waiting_.empty()) {
        return;
    }
    std::deque<std::vector<std::string>> entries;
    entries.swap(waiting_);
    waitingCharacters_ = 0;
    waitingLines_ = 0;
    if (!isVisible()) {
        return;  // hidden before they were shown: dropped like later ones
    }
    QTextDocument& document = *view_->document();
    // Entries are parted by a blank line; an entry whose last line is blank
    // already needs none. The first line of the text starts no new line.
    QString text;
    bool first = entryLines_.empty();
    bool endsBlank = first || document.lastBlock().text().isEmpty();
    for (const std::vector<std::string>& lines : entries) {
        if (!first) {
            if (!endsBlank) {
                text += QChar('\n');
                ++entryLines_.back();
            }
            text += QChar('\n');
        }
        for (std::size_t i = 0; i < lines.size(); ++i) {
            if (i > 0) {
                text += QChar('\n');
            }
            text += FromWire(lines[i]);
        }
        entryLines_.push_back(static_cast<int>(lines.size()));
        first = false;
        endsBlank = lines.empty() || lines.back().empty();
    }

    const QTextCursor caret = view_->textCursor();
    const int anchor = caret.anchor();
    const int position = caret.position();
    // One repaint, one layout and one trim for all of them.
    view_->setUpdatesEnabled(false);
    QTextCursor end(&document);
    end.movePosition(QTextCursor::End);
    end.beginEditBlock();
    end.insertText(text);
    end.endEditBlock();
    // Apart from the entries' edit: one edit from the first line to the last
    // would lay the whole text out again.
    const int removed = TrimOldest();

    // The caret stays on the text it was on, even when the lines above it
    // were removed.
    const int last = document.characterCount() - 1;
    QTextCursor restored(&document);
    restored.setPosition(std::clamp(anchor - removed, 0, last));
    restored.setPosition(std::clamp(position - removed, 0, last), QTextCursor::KeepAnchor);
    view_->setTextCursor(restored);
    view_->ensureCursorVisible();
    view_->setUpdatesEnabled(true);

    if (follow_->isChecked()) {
        view_->moveCursor(QTextCursor::End);
        view_->ensureCursorVisible();
    }
}

void LogWindow::CapEntry(std::vector<std::string>& lines) const {
    // Cut so that the entry alone is within both bounds: TrimOldest then
    // always gets the text back within them, and the newest entry is never
    // the one removed.
    if (lines.size() > static_cast<std::size_t>(limits_.maxLines)) {
        lines.resize(limits_.maxLines);
    }
    // A line costs its characters and its end. CP1251 is one UTF-16 unit a
    // byte, so byte counts are the document's character counts.
    std::size_t room = static_cast<std::size_t>(limits_.maxCharacters);
    for (std::size_t i = 0; i < lines.size(); ++i) {
        if (room == 0) {
            lines.resize(i);
            return;
        }
        if (lines[i].size() >= room) {
            lines[i].resize(room - 1);
            lines.resize(i + 1);
            return;
        }
        room -= lines[i].size() + 1;
    }
}

int LogWindow::TrimOldest() {
    QTextDocument& document = *view_->document();
    if (document.characterCount() <= limits_.maxCharacters &&
        document.blockCount() <= limits_.maxLines) {
        return 0;
    }
    // Down to nine tenths of each bound at once, so that a full log trims
    // once per many entries rather than at every one.
    const int characters = limits_.maxCharacters - limits_.maxCharacters / 10;
    const int lines = limits_.maxLines - limits_.maxLines / 10;
    int removedLines = 0;
    int removedCharacters = 0;
    while (entryLines_.size() > 1 && (document.characterCount() - removedCharacters > characters ||
                                      document.blockCount() - removedLines > lines)) {
        removedLines += entryLines_.front();
        removedCharacters = document.findBlockByNumber(removedLines).position();
        entryLines_.pop_front();
    }
    QTextCursor oldest(&document);
    oldest.setPosition(removedCharacters, QTextCursor::KeepAnchor);
    oldest.removeSelectedText();
    return removedCharacters;
}

}  // namespace vs::gui
