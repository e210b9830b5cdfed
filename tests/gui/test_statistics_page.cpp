// The statistics page over a running core: today's cells follow the traffic
// while the page shows; "Посчитать сумму" fills the footers, leaving the
// page clears them.

#include "gui/statistics_page.h"

#include <QCoreApplication>
#include <QHeaderView>
#include <QPushButton>
#include <QScrollBar>
#include <QTabWidget>
#include <QTableView>

#include <gtest/gtest.h>

#include "rules/grid_text.h"
#include "rules/users_list.h"
#include "shell/proxy_service.h"
#include "shell/statistics.h"
#include "support/files.h"
#include "support/net_helpers.h"
#include "support/service_start.h"
#include "support/text.h"
#include "support/wait.h"

namespace vs::gui {
namespace {

// A core started on two users and the history `days` of stat.txt.
class StatisticsPageTest : public ::testing::Test {
protected:
    void Start(const UserRow& second, const std::vector<std::vector<std::string>>& days) {
        UsersList users;
        users.Append(UserRow{true, "anna", "pw1", ""});
        users.Append(second);
        users.Save(dir.Path() / "users.lst");
        test::WriteBytes(dir.Path() / "stat.txt", WriteGridText(days, kGridSeparator));
        ASSERT_TRUE(test::StartOnAFreePort(service, dir.Path()));
    }
    void TearDown() override { service.ShutDown(); }

    test::TempDir dir;
    ProxyService service{dir.Path(), dir.Path() / "vellostore", {}};
};

TEST_F(StatisticsPageTest, CellsFollowTheTrafficAndTheFootersLastWhileThePageShows) {
    Start(UserRow{true, "this machine", "", "127.0.0.1"},
          {{"01.01.2020", "1500/10", "1/0"}, {"02.01.2020", "1500/10"}});
    QTabWidget tabs;
    auto* page = new StatisticsPage(service);
    tabs.addTab(new QWidget, QStringLiteral("other"));
    tabs.addTab(page, QStringLiteral("Статистика"));
    tabs.show();
    tabs.setCurrentWidget(page);
    const StatTableModel& grid = page->Model();
    ASSERT_EQ(grid.rowCount(), 3);  // two days from the file and today
    EXPECT_EQ(grid.headerData(2, Qt::Horizontal).toString(), QStringLiteral("this machine"));

    test::HttpOrigin origin;
    net::Socket client = test::ConnectLoopback(service.Listener().BoundPort());
    test::SendText(client, "GET " + origin.Url("/size/30000") + " HTTP/1.1\r\nHost: x\r\n\r\n");
    EXPECT_TRUE(test::Has(test::ReadResponse(client), " 200 "));
    ASSERT_TRUE(test::WaitUntil([&] {
        service.IdlePass();
        QCoreApplication::processEvents();  // the page's own refresh
        return grid.index(2, 2).data().toString().startsWith(QStringLiteral("29/"));
    }));
    EXPECT_EQ(grid.index(2, 1).data().toString(), QString());

    page->findChild<QPushButton*>("sum")->click();
    const StatFooterModel& footers = page->Footers();
    EXPECT_EQ(footers.Footer(1), QStringLiteral("2.93 MB / 20.00 kB"));
    EXPECT_EQ(footers.Footer(2), QStringLiteral("30.00 kB / 0.00 B"));
    EXPECT_EQ(footers.headerData(1, Qt::Horizontal).toString(), footers.Footer(1));
    const auto* footer = page->findChild<QHeaderView*>("footer");
    for (int column : {1, 2}) {  // the totals show whole under their columns
        EXPECT_GE(footer->sectionSize(column), footer->sectionSizeHint(column)) << column;
        EXPECT_EQ(footer->sectionSize(column), page->Grid().columnWidth(column)) << column;
    }

    tabs.setCurrentIndex(0);
    EXPECT_EQ(footers.Footer(1), QString());
    EXPECT_EQ(footers.Footer(2), QString());
}

// Years of days: the page opens at today's row, and later keeps the place
// the user scrolled to.
TEST_F(StatisticsPageTest, OpensAtTodayBelowTheYears) {
    std::vector<std::vector<std::string>> days;
    for (int month = 1; month <= 12; ++month) {
        for (int day = 10; day <= 28; ++day) {
            days.push_back({std::to_string(day) + "." + (month < 10 ? "0" : "") +
                                std::to_string(month) + ".2020",
                            "1/0", "1/0"});
        }
    }
    Start(UserRow{true, "bob", "", "10.0.0.2"}, days);
    StatisticsPage page(service);
    page.resize(600, 300);
    page.show();
    QCoreApplication::processEvents();
    QScrollBar& bar = *page.Grid().verticalScrollBar();
    ASSERT_GT(bar.maximum(), 0);
    EXPECT_EQ(bar.value(), bar.maximum());
    bar.setValue(0);
    page.hide();
    page.show();
    QCoreApplication::processEvents();
    EXPECT_EQ(bar.value(), 0);
}

// A user who took a gigabyte in a day has a cell of fifteen characters,
// which the default width cut to "1048576/1048…"; a long user name was cut
// in the caption.
TEST_F(StatisticsPageTest, AHeavyDayAndALongNameShowWhole) {
    Start(UserRow{true,
                  "\xe1\xf3\xf5\xe3\xe0\xeb\xf2\xe5\xf0\xe8\xff (\xea\xee\xec\xed\xe0\xf2\xe0 2)",
                  "", "10.0.0.2"},
          {{"01.01.2020", "1048576/1048576", "1/0"}});
    StatisticsPage page(service);
    page.resize(600, 300);
    page.show();
    QCoreApplication::processEvents();
    QTableView& grid = page.Grid();
    QHeaderView& header = *grid.horizontalHeader();
    ASSERT_EQ(grid.model()->index(0, 1).data().toString(), QStringLiteral("1048576/1048576"));
    // What the delegate needs for the rows on screen, measured by Qt.
    EXPECT_GE(header.sectionSize(1), static_cast<QAbstractItemView&>(grid).sizeHintForColumn(1));
    EXPECT_GE(header.sectionSize(2), header.sectionSizeHint(2));

    service.Lists().users.SetName(0, "anna from the accounts department");
    service.Statistics().RenameUser(0, service.Lists().users);
    page.Refresh();
    EXPECT_GE(header.sectionSize(1), header.sectionSizeHint(1));

    // Scrolled sideways, the totals stay under their columns.
    page.resize(200, 300);
    QCoreApplication::processEvents();
    grid.horizontalScrollBar()->setValue(grid.horizontalScrollBar()->maximum());
    ASSERT_GT(header.offset(), 0);
    EXPECT_EQ(page.findChild<QHeaderView*>("footer")->offset(), header.offset());
}

}  // namespace
}  // namespace vs::gui
