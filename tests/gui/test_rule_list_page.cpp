// The rule list pages over a running core: what is typed, ticked, inserted
// or deleted in a grid decides the next request through the proxy, and the
// hits the proxy counts land on the rules that matched.

#include "gui/rule_list_page.h"

#include <QCheckBox>
#include <QComboBox>
#include <QCoreApplication>
#include <QHeaderView>
#include <QImage>
#include <QKeyEvent>
#include <QLineEdit>
#include <QMessageBox>
#include <QMouseEvent>
#include <QPushButton>
#include <QTableView>
#include <QWheelEvent>

#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <utility>
#include <vector>

#include "gui/log_window.h"
#include "gui/main_window.h"
#include "gui/rule_list_model.h"
#include "rules/find_rule.h"
#include "shell/proxy_service.h"
#include "support/files.h"
#include "support/net_helpers.h"
#include "support/service_start.h"
#include "support/text.h"
#include "support/window_pages.h"

namespace vs::gui {
namespace {

void Press(QWidget& widget, int key) {
    QKeyEvent press(QEvent::KeyPress, key, Qt::NoModifier);
    QCoreApplication::sendEvent(&widget, &press);
}

void Click(QTableView& grid, const QModelIndex& index) {
    const QPointF at = grid.visualRect(index).center();
    const QPointF global = grid.viewport()->mapToGlobal(at);
    QMouseEvent press(QEvent::MouseButtonPress, at, global, Qt::LeftButton, Qt::LeftButton,
                      Qt::NoModifier);
    QMouseEvent release(QEvent::MouseButtonRelease, at, global, Qt::LeftButton, Qt::NoButton,
                        Qt::NoModifier);
    QCoreApplication::sendEvent(grid.viewport(), &press);
    QCoreApplication::sendEvent(grid.viewport(), &release);
}

QLineEdit* EditorAt(const QTableView& grid, int row, int column) {
    return qobject_cast<QLineEdit*>(grid.indexWidget(grid.model()->index(row, column)));
}

class RuleListPageTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(test::StartOnAFreePort(service, dir.Path())); }
    void TearDown() override { service.ShutDown(); }

    std::unique_ptr<RuleListPage> Page(ListKind kind) {
        auto page = std::make_unique<RuleListPage>(service, kind);
        page->resize(700, 300);
        page->show();
        QCoreApplication::processEvents();
        return page;
    }
    // An enabled row at the end of the page's list.
    static void AddRule(RuleListPage& page, const QString& rule) {
        page.AddRow();
        RuleListModel& model = page.Model();
        const int row = model.rowCount() - 1;
        model.setData(model.index(row, 1), Qt::Checked, Qt::CheckStateRole);
        model.setData(model.index(row, 2), rule);
    }
    static QString Rule(RuleListPage& page, int row) {
        return page.Model().index(row, 2).data().toString();
    }
    std::string StatusOf(const std::string& path) {
        return test::StatusThrough(service, origin.Url(path));
    }

    test::TempDir dir;
    test::HttpOrigin origin;
    ProxyService service{dir.Path(), dir.Path() / "vellostore", {}};
};

TEST_F(RuleListPageTest, EnterOpensTheEditorOnTheCellTheListEdits) {
    auto black = Page(ListKind::Black);
    QTableView& grid = black->Grid();
    // An empty list that takes the focus shows it, with no cell to frame.
    black->activateWindow();
    grid.setFocus();
    ASSERT_TRUE(grid.hasFocus());
    const QImage empty = grid.viewport()->grab().toImage();
    const QRgb blank = empty.pixel(empty.rect().center());
    int marked = 0;
    for (int y = 2; y < empty.height() - 2; ++y) {
        marked += std::abs(qGray(empty.pixel(1, y)) - qGray(blank)) > 64;
    }
    EXPECT_GT(marked, 0);

    AddRule(*black, QStringLiteral("ads"));
    grid.setCurrentIndex(grid.model()->index(0, 3));  // the hit count
    Press(grid, Qt::Key_Return);
    QLineEdit* editor = EditorAt(grid, 0, 2);
    ASSERT_NE(editor, nullptr);
    EXPECT_EQ(editor->text(), QStringLiteral("ads"));
    // A paste of thousands of rules arrives whole, to become their rows.
    const QString pasted = QStringLiteral("rule\n").repeated(10'000);
    editor->selectAll();
    editor->insert(pasted);
    EXPECT_EQ(editor->text().size(), pasted.size());
    editor->undo();
    Press(*editor, Qt::Key_Escape);

    // The row is selected whole, so the cell Enter acts on is framed, and
    // Space switches the row's rule off from any cell of it.
    const QModelIndex hits = grid.model()->index(0, 3);
    grid.setCurrentIndex(hits);
    black->activateWindow();
    grid.setFocus();
    ASSERT_TRUE(grid.hasFocus());
    QImage shot = grid.viewport()->grab().toImage();
    // Marks that stand out from the row's colour, not its gradient.
    const auto marksOnLeftEdge = [&shot](const QRect& cell) {
        const int background = qGray(shot.pixel(cell.center().x(), cell.top() + 1));
        int marks = 0;
        for (int y = cell.top() + 2; y < cell.bottom() - 1; ++y) {
            marks += std::abs(qGray(shot.pixel(cell.left() + 1, y)) - background) > 64;
        }
        return marks;
    };
    EXPECT_GT(marksOnLeftEdge(grid.visualRect(hits)), 0);
    EXPECT_EQ(marksOnLeftEdge(grid.visualRect(grid.model()->index(0, 2))), 0);
    // Focus arriving by Tab makes a cell current without selecting its row.
    grid.clearSelection();
    shot = grid.viewport()->grab().toImage();
    EXPECT_GT(marksOnLeftEdge(grid.visualRect(hits)), 0);
    Press(grid, Qt::Key_Space);
    EXPECT_EQ(grid.model()->index(0, 1).data(Qt::CheckStateRole).toInt(), Qt::Unchecked);
    // A wheel turned over the keys' choice in passing leaves it: chosen, it
    // would be published at once.
    auto* keys = black->findChild<QComboBox*>("cancelKeys");
    ASSERT_NE(keys, nullptr);
    const QPointF on = QPointF(keys->rect().center());
    QWheelEvent down(on, keys->mapToGlobal(on), QPoint(), QPoint(0, -120), Qt::NoButton,
                     Qt::NoModifier, Qt::NoScrollPhase, false);
    QCoreApplication::sendEvent(keys, &down);
    EXPECT_EQ(keys->currentIndex(), 0);

    auto converter = Page(ListKind::UrlConverter);
    converter->AddRow();
    QTableView& urls = converter->Grid();
    urls.setCurrentIndex(urls.model()->index(0, 1));  // "Разрешить"
    Press(urls, Qt::Key_Return);
    for (int column = 0; column < urls.model()->columnCount(); ++column) {
        EXPECT_EQ(urls.indexWidget(urls.model()->index(0, column)), nullptr) << column;
    }
    urls.setCurrentIndex(urls.model()->index(0, 3));  // "Замена"
    Press(urls, Qt::Key_Return);
    ASSERT_NE(EditorAt(urls, 0, 3), nullptr);
    Press(*EditorAt(urls, 0, 3), Qt::Key_Escape);
    // F2 and a double click, where a desktop user tries first, open it too.
    Press(urls, Qt::Key_F2);
    ASSERT_NE(EditorAt(urls, 0, 3), nullptr);
    Press(*EditorAt(urls, 0, 3), Qt::Key_Escape);
    const QModelIndex rule = urls.model()->index(0, 2);
    Click(urls, rule);
    const QPointF at = urls.visualRect(rule).center();
    QMouseEvent twice(QEvent::MouseButtonDblClick, at, urls.viewport()->mapToGlobal(at),
                      Qt::LeftButton, Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(urls.viewport(), &twice);
    EXPECT_NE(EditorAt(urls, 0, 2), nullptr);
}

TEST_F(RuleListPageTest, ASaveThatFailsIsToldAndTheNextOneWrites) {
    auto black = Page(ListKind::Black);
    AddRule(*black, QStringLiteral("ads"));
    QStringList told;
    QObject::connect(black.get(), &RuleListPage::Failed,
                     [&](const QString& message) { told << message; });
    const auto file = dir.Path() / "black.lst";
    std::filesystem::create_directory(file);  // no save can replace it, as root too
    black->Save();
    ASSERT_EQ(told.size(), 1);
    EXPECT_TRUE(told[0].contains(QStringLiteral("black.lst"))) << told[0].toStdString();
    std::filesystem::remove(file);
    black->Save();
    EXPECT_EQ(told.size(), 1);
    EXPECT_TRUE(std::filesystem::is_regular_file(file));
}

// A black-list rule the matcher gives up on for ordinary URLs refuses pages
// it does not name: its author hears of it as he types it. Other lists pass
// such a rule by, and say nothing.
TEST_F(RuleListPageTest, ARuleThatRefusesWhatItDoesNotNameIsToldAsItIsTyped) {
    QStringList told;
    for (ListKind kind : {ListKind::Black, ListKind::Cache}) {
        auto page = Page(kind);
        QObject::connect(page.get(), &RuleListPage::Failed,
                         [&](const QString& message) { told << message; });
        AddRule(*page, QStringLiteral("^(\\w+\\.)+doubleclick\\.net/"));
        AddRule(*page, QStringLiteral("(\\w+)*\\.swf$"));
    }
    ASSERT_EQ(told.size(), 1);
    EXPECT_TRUE(told[0].startsWith(QStringLiteral("Проверка правила не успевает")))
        << told[0].toStdString();
    // Typed while off, it is told when switched on.
    auto black = Page(ListKind::Black);
    QObject::connect(black.get(), &RuleListPage::Failed,
                     [&](const QString& message) { told << message; });
    black->AddRow();
    RuleListModel& model = black->Model();
    const int row = model.rowCount() - 1;
    model.setData(model.index(row, 2), QStringLiteral("(\\d+)*\\.exe$"));
    EXPECT_EQ(told.size(), 1);
    model.setData(model.index(row, 1), Qt::Checked, Qt::CheckStateRole);
    EXPECT_EQ(told.size(), 2);
}

// In the window's first size every column of a list shows, the converter's
// seven included: the hit count was off the right edge.
TEST_F(RuleListPageTest, EveryColumnShowsInTheWindowsFirstSize) {
    LogWindow log;
    MainWindow window(service, log);
    window.show();
    for (ListKind kind : {ListKind::Black, ListKind::UrlConverter}) {
        RuleListPage& page = window.ListPage(kind);
        test::ShowPagesHolding(page);
        QCoreApplication::processEvents();
        ASSERT_TRUE(page.isVisible());
        const QTableView& grid = page.Grid();
        EXPECT_LE(grid.horizontalHeader()->length(), grid.viewport()->width())
            << static_cast<int>(kind);
    }
}

TEST_F(RuleListPageTest, InsertingAtTheTopRenumbersAndDeletingKeepsACurrentRowWhileThereIsOne) {
    auto page = Page(ListKind::Black);
    for (const char* rule : {"a", "b", "c"}) {
        AddRule(*page, QString::fromLatin1(rule));
    }
    QTableView& grid = page->Grid();
    RuleListModel& model = page->Model();
    grid.setCurrentIndex(model.index(0, 2));
    page->InsertRow();
    ASSERT_EQ(model.rowCount(), 4);
    for (int row = 0; row < 4; ++row) {
        EXPECT_EQ(model.index(row, 0).data().toInt(), row + 1);
    }
    EXPECT_EQ(Rule(*page, 0), QString());
    EXPECT_EQ(model.index(0, 1).data(Qt::CheckStateRole).toInt(), Qt::Unchecked);
    EXPECT_EQ(Rule(*page, 1), QStringLiteral("a"));
    EXPECT_EQ(grid.currentIndex().row(), 0);
    EXPECT_EQ(service.Lists().black.Row(1).rule, "a");

    grid.setCurrentIndex(model.index(3, 2));
    page->DeleteRow();
    EXPECT_EQ(model.rowCount(), 3);
    EXPECT_EQ(grid.currentIndex().row(), 2);  // the new last row
    EXPECT_EQ(service.Lists().black.Row(2).rule, "b");

    page->DeleteRow();
    page->DeleteRow();
    EXPECT_EQ(grid.currentIndex().row(), 0);
    page->DeleteRow();  // the only row
    EXPECT_EQ(model.rowCount(), 0);
    EXPECT_FALSE(grid.currentIndex().isValid());
    page->InsertRow();
    page->DeleteRow();
    EXPECT_EQ(service.Lists().black.Count(), 0u);
    page->AddRow();
    EXPECT_EQ(grid.currentIndex().row(), 0);
}

TEST_F(RuleListPageTest, WhatIsTypedAndTickedOnThePageDecidesTheNextRequest) {
    auto page = Page(ListKind::Black);
    QTableView& grid = page->Grid();
    page->AddRow();
    Press(grid, Qt::Key_Return);
    QLineEdit* editor = EditorAt(grid, 0, 2);
    ASSERT_NE(editor, nullptr);
    editor->setText(QStringLiteral("blocked"));
    Press(*editor, Qt::Key_Return);
    QCoreApplication::processEvents();  // the delegate commits after the key
    EXPECT_EQ(service.Lists().black.Row(0).rule, "blocked");
    EXPECT_TRUE(test::Has(StatusOf("/blocked"), " 200 "));  // a new row starts disabled

    Click(grid, grid.model()->index(0, 1));
    EXPECT_TRUE(test::Has(StatusOf("/blocked"), " 403 "));
    auto* enabled = page->findChild<QCheckBox*>(QStringLiteral("enabled"));
    enabled->click();
    EXPECT_TRUE(test::Has(StatusOf("/blocked"), " 200 "));
    enabled->click();

    auto* keys = page->findChild<QComboBox*>(QStringLiteral("cancelKeys"));
    EXPECT_EQ(keys->currentText(), QStringLiteral("Нет"));  // nothing chosen yet
    keys->setCurrentIndex(5);
    emit keys->activated(5);
    EXPECT_EQ(service.SettingsModel().blackListCancelKeys, 5);
    EXPECT_EQ(service.ProxyEngine().Config()->blackListCancelKeys, 5);

    page->findChild<QPushButton*>(QStringLiteral("save"))->click();
    RuleList saved(ListKind::Black);
    ASSERT_TRUE(saved.Load(dir.Path() / "black.lst"));
    ASSERT_EQ(saved.Count(), 1u);
    EXPECT_EQ(saved.Row(0), service.Lists().black.Row(0));
}

TEST_F(RuleListPageTest, AHitCountedWhileARowIsInsertedAboveLandsOnItsRule) {
    auto page = Page(ListKind::Black);
    AddRule(*page, QStringLiteral("elsewhere"));
    AddRule(*page, QStringLiteral("counted"));
    ASSERT_TRUE(test::Has(StatusOf("/counted"), " 403 "));  // queued, not yet drained
    RuleListModel& model = page->Model();
    page->Grid().setCurrentIndex(model.index(0, 2));
    page->InsertRow();

    std::vector<std::pair<QModelIndex, QModelIndex>> changes;
    QObject::connect(&model, &QAbstractItemModel::dataChanged,
                     [&changes](const QModelIndex& first, const QModelIndex& last) {
                         changes.emplace_back(first, last);
                     });
    service.IdlePass();
    page->Refresh();
    EXPECT_EQ(model.index(2, 3).data().toLongLong(), 1);
    EXPECT_EQ(model.index(1, 3).data().toLongLong(), 0);
    ASSERT_EQ(changes.size(), 1u);
    EXPECT_EQ(changes[0].first, model.index(2, 3));
    EXPECT_EQ(changes[0].second, model.index(2, 3));
    page->Refresh();
    EXPECT_EQ(changes.size(), 1u);  // nothing new, nothing announced

    page->findChild<QPushButton*>(QStringLiteral("resetHits"))->click();
    EXPECT_EQ(model.index(2, 3).data().toLongLong(), 0);
    EXPECT_EQ(changes.size(), 2u);
}

TEST_F(RuleListPageTest, AnInvalidPatternIsShownOnceMarkedAndMatchesNothingUntilCorrected) {
    LogWindow log;
    MainWindow window(service, log);
    RuleListPage& page = window.ListPage(ListKind::Black);
    AddRule(page, QStringLiteral("blocked"));
    ASSERT_TRUE(test::Has(StatusOf("/blocked"), " 403 "));
    EXPECT_EQ(window.ErrorBox(), nullptr);
    RuleListModel& model = page.Model();
    window.Pass();  // the window's pass shows the hit
    EXPECT_EQ(model.index(0, 3).data().toLongLong(), 1);

    model.setData(model.index(0, 2), QStringLiteral("blocked("));
    ASSERT_NE(window.ErrorBox(), nullptr);
    const QString message = window.ErrorBox()->text();
    EXPECT_TRUE(
        message.startsWith(QStringLiteral("TPerlRegEx.Compile() - Error in regex at offset")))
        << message.toStdString();
    EXPECT_TRUE(model.index(0, 3).data(Qt::BackgroundRole).isValid());
    EXPECT_EQ(model.index(0, 2).data(Qt::ToolTipRole).toString(), message);
    EXPECT_TRUE(test::Has(StatusOf("/blocked"), " 200 "));  // the old pattern is gone
    model.setData(model.index(0, 2), QStringLiteral("blocked(("));
    EXPECT_EQ(window.findChildren<QMessageBox*>().size(), 1);

    model.setData(model.index(0, 2), QStringLiteral("blocked"));
    EXPECT_TRUE(test::Has(StatusOf("/blocked"), " 403 "));
    EXPECT_FALSE(model.index(0, 3).data(Qt::BackgroundRole).isValid());
    EXPECT_FALSE(model.index(0, 2).data(Qt::ToolTipRole).isValid());

    // Two rules pasted from a text file are two rows, each refusing its own
    // URLs; in one, the line break would have matched nothing and cut the
    // list short when read at the next start.
    model.setData(model.index(0, 2), QStringLiteral("first\\.local\r\nsecond\\.local\r\n"));
    ASSERT_EQ(model.rowCount(), 2);
    EXPECT_TRUE(test::Has(StatusOf("/first.local"), " 403 "));
    EXPECT_TRUE(test::Has(StatusOf("/second.local"), " 403 "));
}

TEST_F(RuleListPageTest, TextOutsideTheCodePageIsStoredOnlyWhenConfirmed) {
    auto page = Page(ListKind::Black);
    AddRule(*page, QStringLiteral("blocked"));
    std::vector<QString> asked;
    bool answer = false;
    page->SetConfirmation([&](const QString&, const QString& outside) {
        asked.push_back(outside);
        return answer;
    });
    RuleListModel& model = page->Model();
    const QString typed = QStringLiteral("ё|blocked★");  // "ё" is in the code page
    EXPECT_FALSE(model.setData(model.index(0, 2), typed));
    QCoreApplication::processEvents();
    ASSERT_EQ(asked, std::vector<QString>{QStringLiteral("★")});
    EXPECT_EQ(Rule(*page, 0), QStringLiteral("blocked"));
    // Refused, what was typed comes back in the cell's editor to be mended.
    QLineEdit* editor = EditorAt(page->Grid(), 0, 2);
    ASSERT_NE(editor, nullptr);
    EXPECT_EQ(editor->text(), typed);
    Press(*editor, Qt::Key_Escape);

    answer = true;
    QStringList told;  // the question said it all: no error box after it
    QObject::connect(page.get(), &RuleListPage::Failed,
                     [&](const QString& message) { told << message; });
    model.setData(model.index(0, 2), typed);
    QCoreApplication::processEvents();
    EXPECT_EQ(Rule(*page, 0), typed);
    EXPECT_TRUE(told.isEmpty()) << told.join('\n').toStdString();
    // Stored, it matches nothing and is marked: as "blocked?" it refused
    // "/blocke" and "/blocked" alike.
    EXPECT_TRUE(test::Has(StatusOf("/blocked"), " 200 "));
    EXPECT_TRUE(model.index(0, 3).data(Qt::BackgroundRole).isValid());
}

}  // namespace
}  // namespace vs::gui
