// The log window, offscreen: the entries' layout, dropping while hidden, the
// popup menu, following the end, the bound on its text and entries from a
// worker thread.

#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QMenu>
#include <QPlainTextEdit>
#include <QScrollBar>
#include <QTest>
#include <QTextBlock>
#include <QTextDocument>

#include <gtest/gtest.h>

#include <chrono>
#include <ctime>
#include <string>
#include <thread>

#include "base/clock.h"
#include "gui/log_window.h"
#include "support/local_time.h"
#include "support/window_pages.h"

#include <ostream>

// Failures show the text rather than its bytes.
inline void PrintTo(const QString& text, std::ostream* out) {
    *out << '"' << text.toStdString() << '"';
}

namespace vs::gui {
namespace {

using test::LocalTime;

class LogWindowTest : public ::testing::Test {
protected:
    FixedClock clock_{LocalTime(2024, 3, 5, 7, 8, 9)};
    const QString at_ = QStringLiteral("05.03.2024 07:08:09 ");
};

QString BlockText(LogWindow& window, int block) {
    return window.View().document()->findBlockByNumber(block).text();
}

TEST_F(LogWindowTest, EntriesArriveInOrderApartByOneBlankLine) {
    LogWindow window(clock_);
    window.show();
    window.AddEntry("# 1:  Outbound Connection", "GET http://a/ HTTP/1.1\r\nHost: a");
    // One blank line between entries, whether a body ends in its own empty
    // line (a message head), in none, or is empty.
    window.AddEntry("# 2:  Disconnect", "");
    window.AddEntry("# 3 <<< URL: http://b/", "HTTP/1.1 200 OK\r\n\r\n");  // a whole head
    clock_.Advance(std::chrono::seconds(61));
    window.AddEntry("\xcf\xf0\xee\xea\xf1\xe8", "\xf2\xe5\xea\xf1\xf2");
    window.AddEntry("# 4 >>> URL: http://c/путь", "");  // raw UTF-8, as curl sends it

    EXPECT_EQ(window.Text(), at_ +
                                 "# 1:  Outbound Connection\n"
                                 "GET http://a/ HTTP/1.1\n"
                                 "Host: a\n"
                                 "\n" +
                                 at_ +
                                 "# 2:  Disconnect\n"
                                 "\n" +
                                 at_ +
                                 "# 3 <<< URL: http://b/\n"
                                 "HTTP/1.1 200 OK\n"
                                 "\n"
                                 "05.03.2024 07:09:10 " +
                                 QStringLiteral("Прокси\nтекст\n\n05.03.2024 07:09:10 "
                                                "# 4 >>> URL: http://c/путь"));
}

TEST_F(LogWindowTest, EntriesWhileHiddenAreDroppedForGood) {
    LogWindow window(clock_);
    window.AddEntry("before", "never shown");
    window.ToggleShown();
    ASSERT_TRUE(window.isVisible());
    EXPECT_EQ(window.Text(), "");
    window.AddEntry("shown", "one");
    window.ToggleShown();
    ASSERT_FALSE(window.isVisible());
    window.AddEntry("while hidden", "two");
    window.ToggleShown();
    window.AddEntry("shown again", "three");
    EXPECT_EQ(window.Text(), at_ + "shown\none\n\n" + at_ + "shown again\nthree");
}

TEST_F(LogWindowTest, CloseBoxOnlyHidesAndDoesNotKeepTheProgramRunning) {
    LogWindow window(clock_);
    window.show();
    window.AddEntry("kept", "text");
    EXPECT_TRUE(window.close());
    EXPECT_FALSE(window.isVisible());
    EXPECT_FALSE(window.testAttribute(Qt::WA_QuitOnClose));
    window.ToggleShown();
    EXPECT_EQ(window.Text(), at_ + "kept\ntext");
}

TEST_F(LogWindowTest, PopupMenuCopiesAllClearsAndTogglesRefresh) {
    LogWindow window(clock_);
    window.show();
    const QList<QAction*> items = window.PopupMenu().actions();
    ASSERT_EQ(items.size(), 3);
    EXPECT_TRUE(items[2]->isCheckable());
    EXPECT_TRUE(items[2]->isChecked());

    window.AddEntry("one", "a\r\nb");
    window.AddEntry("two", "\xcf\xf0\xe8");
    // A selection of part of the text must not narrow what is copied.
    QTextCursor part = window.View().textCursor();
    part.setPosition(3);
    part.setPosition(6, QTextCursor::KeepAnchor);
    window.View().setTextCursor(part);
    QApplication::clipboard()->clear();
    items[0]->trigger();
    EXPECT_EQ(QApplication::clipboard()->text(),
              at_ + "one\na\nb\n\n" + at_ + "two\n" + QStringLiteral("При"));

    items[1]->trigger();
    EXPECT_EQ(window.Text(), "");
    // After clearing, the next entry starts on the first line again.
    window.AddEntry("three", "c");
    EXPECT_EQ(window.Text(), at_ + "three\nc");

    items[2]->trigger();
    EXPECT_FALSE(window.FollowsEnd());
    items[2]->trigger();
    EXPECT_TRUE(window.FollowsEnd());

    // Shift+F10 opens it at the caret, and within the window when the caret
    // lies out of view (Ctrl+A leaves it at the end).
    window.resize(400, 200);
    for (int entry = 0; entry < 100; ++entry) {
        window.AddEntry("more", "line");
    }
    window.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&window));
    window.View().setFocus();
    window.View().selectAll();
    window.View().verticalScrollBar()->setValue(0);
    const auto at = test::WherePopupOpens(
        [&window] { QTest::keyClick(&window.View(), Qt::Key_F10, Qt::ShiftModifier); });
    ASSERT_TRUE(at.has_value());
    EXPECT_TRUE(test::OnScreen(*window.View().viewport()).contains(*at));
}

TEST_F(LogWindowTest, RefreshFollowsTheEndAndUntickedKeepsTheCaretInView) {
    LogWindow window(clock_);
    window.show();
    for (int i = 0; i < 100; ++i) {
        window.AddEntry("# " + std::to_string(i), "body");
    }
    QPlainTextEdit& view = window.View();
    QTextCursor end(view.document());
    end.movePosition(QTextCursor::End);
    EXPECT_TRUE(view.textCursor().atEnd());
    EXPECT_GT(view.verticalScrollBar()->maximum(), 0);
    EXPECT_TRUE(view.viewport()->rect().contains(view.cursorRect(end)));

    window.SetFollowsEnd(false);
    QTextCursor middle(view.document()->findBlockByNumber(90));
    middle.movePosition(QTextCursor::Right, QTextCursor::MoveAnchor, 3);
    view.setTextCursor(middle);
    view.ensureCursorVisible();
    const int position = view.textCursor().position();
    for (int i = 100; i < 200; ++i) {
        window.AddEntry("# " + std::to_string(i), "body");
    }
    QCoreApplication::processEvents();  // as the window's event loop shows them
    EXPECT_EQ(view.textCursor().position(), position);
    EXPECT_EQ(view.textCursor().block().text(), at_ + "# 30");
    EXPECT_TRUE(view.viewport()->rect().contains(view.cursorRect()));
    end.movePosition(QTextCursor::End);
    EXPECT_FALSE(view.viewport()->rect().intersects(view.cursorRect(end)));
}

TEST_F(LogWindowTest, TextStaysWithinItsBoundRemovingTheOldestEntriesWhole) {
    const LogLimits limits{2000, 60};
    LogWindow window(clock_, limits);
    window.show();
    QTextDocument& document = *window.View().document();
    // Shown as they come, and a burst of them at once (a busy proxy's pass):
    // either way within the bounds.
    for (int i = 0; i < 300; ++i) {
        window.AddEntry("# " + std::to_string(i), "line a\r\nline b");
        if (i < 100) {
            window.View();
            ASSERT_LE(document.characterCount(), limits.maxCharacters) << i;
            ASSERT_LE(document.blockCount(), limits.maxLines) << i;
        }
    }
    QCoreApplication::processEvents();
    ASSERT_LE(document.characterCount(), limits.maxCharacters);
    ASSERT_LE(document.blockCount(), limits.maxLines);
    // Whole entries, newest last, none missing between the first and last.
    const QStringList lines = window.Text().split('\n');
    ASSERT_EQ(lines.size() % 4, 3);
    const int first = lines[0].mid(at_.size() + 2).toInt();
    for (int k = 0; k * 4 < lines.size(); ++k) {
        EXPECT_EQ(lines[k * 4], at_ + "# " + QString::number(first + k));
        EXPECT_EQ(lines[k * 4 + 1], "line a");
        EXPECT_EQ(lines[k * 4 + 2], "line b");
    }
    EXPECT_EQ(lines.back(), "line b");
    EXPECT_EQ(lines[lines.size() - 3], at_ + "# 299");
    EXPECT_FALSE(document.isUndoAvailable());

    // With Refresh unticked the caret stays on its line while lines above it go.
    window.SetFollowsEnd(false);
    QTextCursor caret(document.findBlockByNumber(40));
    window.View().setTextCursor(caret);
    for (int i = 300; i < 305; ++i) {
        window.AddEntry("# " + std::to_string(i), "line a\r\nline b");
    }
    EXPECT_EQ(window.View().textCursor().block().text(), lines[40]);
    EXPECT_EQ(window.View().textCursor().positionInBlock(), 0);
    EXPECT_FALSE(window.View().textCursor().hasSelection());

    // One entry larger than the bound on its own is cut to it.
    window.AddEntry("wide", std::string(10000, 'x'));
    EXPECT_LE(document.characterCount(), limits.maxCharacters);
    EXPECT_TRUE(window.Text().startsWith(at_ + "wide\nxxxx"));
    window.AddEntry("tall", std::string(10000, '\n'));
    EXPECT_LE(document.blockCount(), limits.maxLines);
    EXPECT_EQ(BlockText(window, 0), at_ + "tall");
    window.AddEntry("after", "small");
    EXPECT_TRUE(window.Text().endsWith(at_ + "after\nsmall"));
    EXPECT_LE(document.blockCount(), limits.maxLines);

    window.Clear();
    window.AddEntry("cleared", "x");
    EXPECT_FALSE(document.isUndoAvailable());
}

TEST_F(LogWindowTest, EntryFromAnotherThreadIsShownByTheWindowsThread) {
    LogWindow window(clock_);
    window.show();
    const proxy::LogSink sink = window.Sink();
    std::thread worker([&sink] { sink("# 9:  Outbound Connection", "from a worker"); });
    worker.join();
    EXPECT_EQ(window.Text(), "");
    QCoreApplication::processEvents();
    EXPECT_EQ(window.Text(), at_ + "# 9:  Outbound Connection\nfrom a worker");
}

}  // namespace
}  // namespace vs::gui
