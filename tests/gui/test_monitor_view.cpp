// The monitor grid: what its model announces after a drain, how cells read,
// the "%" column's painting, following the newest row and the popup menu.

#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QHeaderView>
#include <QImage>
#include <QMenu>
#include <QPainter>
#include <QScrollBar>
#include <QStandardItemModel>
#include <QTest>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "gui/icons.h"
#include "gui/monitor_progress_delegate.h"
#include "gui/monitor_table_model.h"
#include "gui/monitor_view.h"
#include "proxy/stop_list.h"
#include "shell/monitor_model.h"

namespace vs::gui {
namespace {

constexpr int kSize = static_cast<int>(MonitorColumn::Size);
constexpr int kReceived = static_cast<int>(MonitorColumn::Received);
constexpr int kProgress = static_cast<int>(MonitorColumn::Progress);
constexpr int kState = static_cast<int>(MonitorColumn::State);
constexpr int kUrl = static_cast<int>(MonitorColumn::Url);
constexpr int kAnswer = static_cast<int>(MonitorColumn::Answer);
constexpr int kImage = static_cast<int>(MonitorColumn::Image);

// "http://пример.рф/файл" as the core holds it.
const std::string kCyrillicUrl = "http://\xEF\xF0\xE8\xEC\xE5\xF0.\xF0\xF4/\xF4\xE0\xE9\xEB";

void AddRow(MonitorModel& monitor, const std::string& url) {
    monitor.Apply(proxy::RowAdded{static_cast<std::int32_t>(monitor.RowCount()), url});
}

void AddRows(MonitorModel& monitor, int count) {
    for (int i = 0; i < count; ++i) {
        AddRow(monitor, "http://host/" + std::to_string(monitor.RowCount()));
    }
}

proxy::RowUpdate Update(std::int32_t row) {
    proxy::RowUpdate update;
    update.row = row;
    return update;
}

QString Text(const MonitorTableModel& model, int row, int column, int role = Qt::DisplayRole) {
    return model.data(model.index(row, column), role).toString();
}

// Every structural signal the model sends, in order.
struct Recorder {
    struct Range {
        int first;
        int last;
        bool operator==(const Range&) const = default;
    };
    struct Cells {
        int firstRow, firstColumn, lastRow, lastColumn;
        bool operator==(const Cells&) const = default;
    };
    std::vector<Range> aboutToInsert;
    std::vector<Range> inserted;
    std::vector<Cells> changed;
    std::vector<int> rowCountWhenAboutToInsert;
    std::vector<int> rowCountWhenInserted;
    int resets = 0;
    int layouts = 0;
    int removals = 0;

    explicit Recorder(MonitorTableModel& model) {
        QObject::connect(&model, &QAbstractItemModel::rowsAboutToBeInserted,
                         [this, &model](const QModelIndex& parent, int first, int last) {
                             EXPECT_FALSE(parent.isValid());
                             aboutToInsert.push_back({first, last});
                             rowCountWhenAboutToInsert.push_back(model.rowCount());
                         });
        QObject::connect(&model, &QAbstractItemModel::rowsInserted,
                         [this, &model](const QModelIndex& parent, int first, int last) {
                             EXPECT_FALSE(parent.isValid());
                             inserted.push_back({first, last});
                             rowCountWhenInserted.push_back(model.rowCount());
                         });
        QObject::connect(&model, &QAbstractItemModel::dataChanged,
                         [this](const QModelIndex& from, const QModelIndex& to) {
                             changed.push_back({from.row(), from.column(), to.row(), to.column()});
                         });
        QObject::connect(&model, &QAbstractItemModel::modelReset, [this] { ++resets; });
        QObject::connect(&model, &QAbstractItemModel::layoutChanged, [this] { ++layouts; });
        QObject::connect(&model, &QAbstractItemModel::rowsRemoved, [this] { ++removals; });
    }
};

TEST(MonitorTableModel, BatchAnnouncesExactlyTheRowsAddedAndTheCellsChanged) {
    MonitorModel monitor;
    MonitorTableModel model(monitor);
    AddRows(monitor, 3);
    model.ShowChanges(monitor.TakeChanges());
    ASSERT_EQ(model.rowCount(), 3);

    Recorder recorder(model);
    auto progress = Update(0);
    progress.size = 2000;
    progress.received = 500;
    monitor.Apply(progress);
    auto state = Update(1);
    state.state = 1;
    monitor.Apply(state);
    auto size = Update(2);
    size.size = 10;
    monitor.Apply(size);
    AddRows(monitor, 2);
    auto newRow = Update(3);  // a cell of a row added in the same batch
    newRow.received = 7;
    newRow.answer = "200 OK";
    monitor.Apply(newRow);
    // The core is ahead of the view until the batch is handed on.
    EXPECT_EQ(model.rowCount(), 3);

    model.ShowChanges(monitor.TakeChanges());

    EXPECT_EQ(recorder.aboutToInsert, (std::vector<Recorder::Range>{{3, 4}}));
    EXPECT_EQ(recorder.inserted, (std::vector<Recorder::Range>{{3, 4}}));
    EXPECT_EQ(recorder.rowCountWhenAboutToInsert, std::vector<int>{3});
    EXPECT_EQ(recorder.rowCountWhenInserted, std::vector<int>{5});
    EXPECT_EQ(recorder.changed,
              (std::vector<Recorder::Cells>{
                  {0, kSize, 0, kProgress}, {1, kState, 1, kState}, {2, kSize, 2, kSize}}));
    EXPECT_EQ(recorder.resets, 0);
    EXPECT_EQ(recorder.layouts, 0);
    EXPECT_EQ(recorder.removals, 0);
    EXPECT_EQ(Text(model, 0, kProgress), "25");
    EXPECT_EQ(Text(model, 3, kAnswer), "200 OK");
}

TEST(MonitorTableModel, ShowsRowsTheMonitorHadBeforeItAndCountsThemOnce) {
    MonitorModel monitor;
    AddRows(monitor, 2);
    MonitorTableModel model(monitor);
    EXPECT_EQ(model.rowCount(), 2);
    Recorder recorder(model);
    model.ShowChanges(monitor.TakeChanges());  // the batch that holds those two rows
    EXPECT_TRUE(recorder.inserted.empty());
    EXPECT_EQ(model.rowCount(), 2);
    AddRow(monitor, "http://host/next");
    model.ShowChanges(monitor.TakeChanges());
    EXPECT_EQ(recorder.inserted, (std::vector<Recorder::Range>{{2, 2}}));
}

// A desktop proxy runs for weeks: the grid keeps the newest rows, the oldest
// leave its top with their running numbers, and updates still find their rows.
TEST(MonitorTableModel, KeepsTheNewestRowsUnderTheirRunningNumbers) {
    MonitorModel monitor(5);
    MonitorTableModel model(monitor);
    MonitorView view;
    view.SetMonitorModel(&model);
    AddRows(monitor, 3);
    model.ShowChanges(monitor.TakeChanges());
    view.selectRow(1);  // the second request, not the last row

    Recorder recorder(model);
    AddRows(monitor, 3);
    auto update = Update(5);
    update.answer = "200 OK";
    monitor.Apply(update);
    model.ShowChanges(monitor.TakeChanges());
    EXPECT_EQ(recorder.removals, 1);
    ASSERT_EQ(model.rowCount(), 5);
    EXPECT_EQ(Text(model, 0, 0), "2");
    EXPECT_EQ(Text(model, 4, 0), "6");
    EXPECT_EQ(Text(model, 4, kAnswer), "200 OK");
    EXPECT_EQ(view.SelectedRow(), 0);  // still the second request
    EXPECT_EQ(model.RowUrl(0), "http://host/1");

    // A batch larger than what is kept, some of it never shown; an update
    // of a forgotten row is no error.
    view.selectRow(4);
    AddRows(monitor, 20);
    auto late = Update(1);
    late.answer = "404";
    monitor.Apply(late);
    model.ShowChanges(monitor.TakeChanges());
    ASSERT_EQ(model.rowCount(), 5);
    EXPECT_EQ(Text(model, 0, 0), "22");
    EXPECT_EQ(model.RowUrl(4), "http://host/25");
    EXPECT_EQ(view.SelectedRow(), 4);  // it followed
}

TEST(MonitorTableModel, CellsStayEmptyWhileUnknownThenShowTheConvertedUrlAndAnswerInFull) {
    MonitorModel monitor;
    MonitorTableModel model(monitor);
    AddRow(monitor, kCyrillicUrl);
    model.ShowChanges(monitor.TakeChanges());
    for (int column : {kSize, kReceived, kAnswer}) {
        EXPECT_EQ(Text(model, 0, column), "") << column;
    }
    EXPECT_FALSE(model.data(model.index(0, kProgress)).isValid());
    // No kind is known before the answer; the state starts as "new".
    EXPECT_TRUE(model.data(model.index(0, kImage), Qt::DecorationRole).value<QIcon>().isNull());
    EXPECT_EQ(model.data(model.index(0, kState), Qt::DecorationRole).value<QIcon>().cacheKey(),
              MonitorStateIcon(0).cacheKey());

    auto update = Update(0);
    update.answer = "200 From cache gzip";
    update.image = 2;
    update.state = 1;
    monitor.Apply(update);
    model.ShowChanges(monitor.TakeChanges());
    const QString url = QStringLiteral("http://пример.рф/файл");
    EXPECT_EQ(Text(model, 0, kUrl), url);
    EXPECT_EQ(Text(model, 0, kUrl, Qt::ToolTipRole), url);
    EXPECT_EQ(Text(model, 0, kAnswer, Qt::ToolTipRole), "200 From cache gzip");
    EXPECT_EQ(model.data(model.index(0, kImage), Qt::DecorationRole).value<QIcon>().cacheKey(),
              MonitorKindIcon(2).cacheKey());
    EXPECT_EQ(model.data(model.index(0, kState), Qt::DecorationRole).value<QIcon>().cacheKey(),
              MonitorStateIcon(1).cacheKey());
}

// The "%" column paints into an image so that what it draws can be compared.
QImage PaintProgress(const QVariant& percent, QStyle::State state = QStyle::State_Enabled) {
    QStandardItemModel source(1, 1);
    if (percent.isValid()) {
        source.setData(source.index(0, 0), percent);
    }
    MonitorProgressDelegate delegate;
    QImage image(80, 18, QImage::Format_ARGB32);
    image.fill(Qt::white);
    QPainter painter(&image);
    QStyleOptionViewItem option;
    option.rect = image.rect();
    option.state = state;
    option.palette = QApplication::palette();
    option.fontMetrics = QFontMetrics(QApplication::font());
    delegate.paint(&painter, option, source.index(0, 0));
    painter.end();
    return image;
}

TEST(MonitorProgressDelegate, BarOnlyForAKnownPercentageKeptWithinItsRange) {
    QImage blank(80, 18, QImage::Format_ARGB32);
    blank.fill(Qt::white);
    EXPECT_EQ(PaintProgress(QVariant()), blank);
    EXPECT_EQ(PaintProgress(-1), blank);
    const QImage none = PaintProgress(0);
    const QImage half = PaintProgress(50);
    const QImage full = PaintProgress(100);
    EXPECT_NE(none, blank);
    EXPECT_NE(half, none);
    EXPECT_NE(full, half);
    EXPECT_EQ(PaintProgress(250), full);
}

class MonitorViewTest : public ::testing::Test {
protected:
    MonitorViewTest() : monitor(kKept), model(monitor) {
        view.SetMonitorModel(&model);
        view.SetStopHandler([this](std::int32_t row) { stopped.push_back(row); });
        view.resize(700, 200);
        view.show();
    }

    void Add(int rows) {
        AddRows(monitor, rows);
        model.ShowChanges(monitor.TakeChanges());
    }

    bool LastRowInView() {
        QApplication::processEvents();
        const int last = model.rowCount() - 1;
        const QRect rect = view.visualRect(model.index(last, 0));
        return rect.isValid() && view.viewport()->rect().contains(rect);
    }

    static constexpr std::size_t kKept = 60;
    MonitorModel monitor;
    MonitorTableModel model;
    MonitorView view;
    std::vector<std::int32_t> stopped;
};

TEST_F(MonitorViewTest, FollowsNewRowsOnlyWhileTheLastRowIsSelected) {
    Add(1);  // an empty monitor follows from its first row on
    EXPECT_EQ(view.SelectedRow(), 0);
    Add(39);
    EXPECT_EQ(view.SelectedRow(), 39);
    EXPECT_EQ(view.currentIndex().row(), 39);
    EXPECT_TRUE(LastRowInView());

    view.selectRow(3);
    view.scrollToTop();
    QApplication::processEvents();
    const int scrolled = view.verticalScrollBar()->value();
    Add(5);
    QApplication::processEvents();
    EXPECT_EQ(view.SelectedRow(), 3);
    EXPECT_EQ(view.verticalScrollBar()->value(), scrolled);
    EXPECT_FALSE(LastRowInView());
    // Nothing selected: nothing to follow either.
    view.clearSelection();
    Add(1);
    EXPECT_EQ(view.SelectedRow(), std::nullopt);
    // The window back from the tray follows the newest rows again.
    view.selectRow(3);
    view.FollowNewest();
    Add(2);
    QApplication::processEvents();
    EXPECT_EQ(view.SelectedRow(), model.rowCount() - 1);
    EXPECT_TRUE(LastRowInView());
}

// A full monitor forgets a row at the top for each new one: the row being
// read stays where it is on the screen.
TEST_F(MonitorViewTest, ARowBeingReadStaysInPlaceWhileTheOldestRowsGo) {
    Add(static_cast<int>(kKept));
    view.selectRow(30);
    view.scrollTo(model.index(30, 0), QAbstractItemView::PositionAtTop);
    QApplication::processEvents();
    const std::string url = model.RowUrl(30);
    const int y = view.visualRect(model.index(30, 0)).y();
    Add(10);
    QApplication::processEvents();
    ASSERT_EQ(view.SelectedRow(), 20);
    EXPECT_EQ(model.RowUrl(20), url);
    EXPECT_EQ(view.visualRect(model.index(20, 0)).y(), y);
}

TEST_F(MonitorViewTest, EveryCaptionFitsItsColumn) {
    const QHeaderView& header = *view.horizontalHeader();
    for (int column = 0; column < model.columnCount(); ++column) {
        const QString caption = model.headerData(column, Qt::Horizontal).toString();
        EXPECT_GE(header.sectionSize(column), header.fontMetrics().horizontalAdvance(caption))
            << caption.toStdString();
    }
}

// A day's browsing passes 10,000 requests and a download 5 GB: the
// columns, sized for two digits and a page's bytes, must show "123456" and
// "5000000000" whole rather than "12…" and "50000…", and sizes past 32
// bits must not wrap on their way to the cell.
TEST(MonitorView, GrowingNumbersStayWhole) {
    MonitorModel monitor(10);
    MonitorTableModel model(monitor);
    MonitorView view;
    view.SetMonitorModel(&model);
    view.resize(700, 300);
    view.show();
    AddRows(monitor, 123456);
    model.ShowChanges(monitor.TakeChanges());
    auto download = Update(123455);  // the answer's head, a pass later
    download.size = 5'000'000'000;
    download.received = 4'294'967'297;  // 2^32 + 1
    monitor.Apply(download);
    model.ShowChanges(monitor.TakeChanges());
    const int last = model.rowCount() - 1;
    ASSERT_EQ(Text(model, last, 0), "123456");
    ASSERT_EQ(Text(model, last, kSize), "5000000000");
    ASSERT_EQ(Text(model, last, kReceived), "4294967297");
    QApplication::processEvents();
    const QHeaderView& header = *view.horizontalHeader();
    for (int column : {0, kSize, kReceived}) {
        // What the delegate needs for the rows on screen, measured by Qt.
        EXPECT_GE(header.sectionSize(column),
                  static_cast<QAbstractItemView&>(view).sizeHintForColumn(column))
            << column;
    }
}

// The popup menu acts on the row it was opened on: requests go on arriving
// while it is open, and that row may even leave the monitor meanwhile.
// The selected row forgotten, nothing is selected: a stop chosen then must
// not cut the download of the row that took its place.
TEST_F(MonitorViewTest, ASelectedRowForgottenLeavesNothingSelected) {
    Add(static_cast<int>(kKept));
    view.selectRow(0);
    Add(1);
    EXPECT_EQ(view.SelectedRow(), std::nullopt);
    view.PopupMenu()->popup(view.mapToGlobal(QPoint(10, 10)));
    EXPECT_FALSE(view.StopDownloadAction()->isEnabled());
    view.StopDownloadAction()->trigger();
    view.PopupMenu()->close();
    EXPECT_TRUE(stopped.empty());
    // The keyboard goes on from the rows in view: the end is the newest row.
    QTest::keyClick(&view, Qt::Key_End, Qt::ControlModifier);
    EXPECT_EQ(view.SelectedRow(), model.rowCount() - 1);
}

TEST_F(MonitorViewTest, PopupMenuCopiesAndStopsTheRowItWasOpenedOnAndNothingWithoutOne) {
    const auto choose = [this](QAction* action) {
        view.PopupMenu()->popup(view.mapToGlobal(QPoint(10, 10)));
        action->trigger();
        view.PopupMenu()->close();
    };
    Add(1);
    AddRow(monitor, kCyrillicUrl);
    Add(1);
    QApplication::clipboard()->setText("before");
    view.clearSelection();
    choose(view.CopyUrlAction());
    choose(view.StopDownloadAction());
    EXPECT_EQ(QApplication::clipboard()->text(), "before");
    EXPECT_TRUE(stopped.empty());

    view.selectRow(1);
    choose(view.CopyUrlAction());
    EXPECT_EQ(QApplication::clipboard()->text(), QStringLiteral("http://пример.рф/файл"));
    QApplication::clipboard()->setText("before");
    QTest::keyClick(&view, Qt::Key_C, Qt::ControlModifier);  // the keyboard's copy, the same
    EXPECT_EQ(QApplication::clipboard()->text(), QStringLiteral("http://пример.рф/файл"));
    choose(view.StopDownloadAction());
    EXPECT_EQ(stopped, std::vector<std::int32_t>{1});

    view.selectRow(2);  // the newest, followed as rows arrive
    view.PopupMenu()->popup(view.mapToGlobal(QPoint(10, 10)));
    ASSERT_TRUE(view.PopupMenu()->isVisible());
    Add(1);
    EXPECT_EQ(view.SelectedRow(), 2);
    Add(static_cast<int>(kKept));
    view.StopDownloadAction()->trigger();
    EXPECT_EQ(stopped.back(), 2);
    view.CopyUrlAction()->trigger();
    EXPECT_EQ(QApplication::clipboard()->text(), "http://host/2");
    view.PopupMenu()->close();
    // Rows the monitor forgot still count: the engine numbers all of a run.
    view.selectRow(0);
    choose(view.StopDownloadAction());
    EXPECT_EQ(stopped.back(), static_cast<std::int32_t>(monitor.FirstRow()));
}

}  // namespace
}  // namespace vs::gui
