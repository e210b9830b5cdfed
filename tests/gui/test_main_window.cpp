// The main window over a running core: requests through the proxy reach the
// monitor grid and the labels by the window's own passes; the chart keeps
// its place in the top strip; errors join one box.

#include "gui/main_window.h"

#include <QApplication>
#include <QCoreApplication>
#include <QGuiApplication>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <QScreen>
#include <QScrollArea>
#include <QScrollBar>
#include <QSpinBox>
#include <QTableView>
#include <QTest>
#include <QTimer>
#include <QWheelEvent>

#include <gtest/gtest.h>

#include <fstream>

#include "gui/cp1251_text.h"
#include "gui/log_window.h"
#include "gui/monitor_view.h"
#include "gui/rule_list_page.h"
#include "gui/screen_fit.h"
#include "gui/tray.h"
#include "gui/users_page.h"
#include "shell/proxy_service.h"
#include "shell/settings_store.h"
#include "support/child_process.h"
#include "support/files.h"
#include "support/net_helpers.h"
#include "support/service_start.h"
#include "support/wait.h"
#include "support/window_pages.h"
#include "widgets/traffic_chart.h"

namespace vs::gui {
namespace {

class MainWindowTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(test::StartOnAFreePort(service, dir.Path())); }
    void TearDown() override { service.ShutDown(); }

    test::TempDir dir;
    LogWindow log;
    ProxyService service{dir.Path(), dir.Path() / "vellostore", log.Sink()};
};

TEST_F(MainWindowTest, RequestsReachTheGridAndTheLabelsThroughTheWindowsPasses) {
    MainWindow window(service, log);
    test::HttpOrigin origin;
    const std::string url = origin.Url("/size/3000");
    net::Socket client = test::ConnectLoopback(service.Listener().BoundPort());
    test::SendText(client, "GET " + url + " HTTP/1.1\r\nHost: x\r\n\r\n");
    const std::string answer = test::ReadResponse(client);
    ASSERT_TRUE(answer.starts_with("HTTP/1.1 200")) << answer;

    QAbstractItemModel* grid = window.Monitor().model();
    ASSERT_TRUE(test::WaitUntil([&] {
        QCoreApplication::processEvents();  // the window's own timers run the passes
        return grid->rowCount() == 1 && window.InternetText() != QStringLiteral("0.00 B");
    }));
    EXPECT_EQ(grid->index(0, 2).data().toString().toStdString(), url);
    EXPECT_TRUE(window.InternetText().endsWith(QStringLiteral(" kB")));
    // The grid grows by announced rows only: a second request, a second row.
    test::SendText(client, "GET " + url + " HTTP/1.1\r\nHost: x\r\n\r\n");
    test::ReadResponse(client);
    ASSERT_TRUE(test::WaitUntil([&] {
        window.Pass();
        return grid->rowCount() == 2;
    }));
}

// Offscreen there is no tray; the icon is shown all the same, so that a tray
// started later takes it (a minimise would hide the window into that tray).
// A user without a mouse: Tab leaves a grid that has rows (the arrows move
// between its cells), or the pages' buttons and tabs are out of reach; and
// Shift+F10 opens its popup menu, the only way to add or delete a row on a
// keyboard without a Menu key.
TEST_F(MainWindowTest, TheKeyboardLeavesAGridAndOpensItsMenu) {
    MainWindow window(service, log);
    window.show();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&window));
    window.ListPage(ListKind::Black).AddRow();
    for (QTableView* grid : {&window.ListPage(ListKind::Black).Grid(), &window.Users().Grid()}) {
        test::ShowPagesHolding(*grid);
        ASSERT_GT(grid->model()->rowCount(), 0);
        grid->setFocus();
        // The focus arrives once the window is active again (a loaded
        // machine may take its time).
        ASSERT_TRUE(test::WaitUntil([&] {
            QCoreApplication::processEvents();
            return QApplication::focusWidget() == grid;
        }));
        QTest::keyClick(grid, Qt::Key_Tab);
        EXPECT_FALSE(grid == QApplication::focusWidget() ||
                     grid->isAncestorOf(QApplication::focusWidget()));

        grid->setFocus();
        const auto at = test::WherePopupOpens(
            [grid] { QTest::keyClick(grid, Qt::Key_F10, Qt::ShiftModifier); });
        ASSERT_TRUE(at.has_value());
        EXPECT_TRUE(test::OnScreen(*grid->viewport()).contains(*at));
    }
    // On the current row, brought into view: where it lay out of view, the
    // menu opened away from the window.
    QTableView& rules = window.ListPage(ListKind::Black).Grid();
    test::ShowPagesHolding(rules);
    rules.setFocus();
    for (int row = 0; row < 100; ++row) {
        window.ListPage(ListKind::Black).AddRow();
    }
    rules.setCurrentIndex(rules.model()->index(rules.model()->rowCount() - 1, 2));
    rules.scrollToTop();
    const auto at = test::WherePopupOpens(
        [&rules] { QTest::keyClick(&rules, Qt::Key_F10, Qt::ShiftModifier); });
    ASSERT_TRUE(at.has_value());
    EXPECT_TRUE(test::OnScreen(*rules.viewport()).contains(*at));
}

// The general settings page scrolls in a low window: "Применить" reached by
// Shift+Tab from the tabs is scrolled into view, and pressed, it leaves the
// focus on the page rather than sending it to the tabs, and the page where
// it was.
TEST_F(MainWindowTest, TheSettingsFocusIsInViewAndStaysOnThePageAfterApply) {
    MainWindow window(service, log);
    window.resize(742, 300);
    window.show();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&window));
    auto* port = window.findChild<QLineEdit*>("port");
    auto* apply = window.findChild<QPushButton*>("applyGeneral");
    ASSERT_TRUE(port != nullptr && apply != nullptr);
    test::ShowPagesHolding(*apply);
    port->setText(QString::number(test::FreePort()));
    emit port->textEdited(port->text());
    apply->setFocus(Qt::BacktabFocusReason);
    ASSERT_TRUE(test::WaitUntil([&] {
        QCoreApplication::processEvents();
        return apply->hasFocus();
    }));
    QWidget* viewport = apply->parentWidget()->parentWidget();
    EXPECT_TRUE(viewport->rect().contains(QRect(apply->mapTo(viewport, QPoint()), apply->size())));
    QTest::keyClick(apply, Qt::Key_Space);
    EXPECT_FALSE(apply->isEnabled());
    EXPECT_TRUE(apply->parentWidget()->isAncestorOf(QApplication::focusWidget()));
    // and where the user was: the page is not scrolled back to its top
    QCoreApplication::processEvents();
    EXPECT_TRUE(viewport->rect().contains(QRect(apply->mapTo(viewport, QPoint()), apply->size())));

    // A turn of the wheel that scrolls the page changes no field the page
    // brings under the pointer: neither one that has the focus, when the
    // turn began over a caption or a gap of the page, nor any other.
    auto* connections = window.findChild<QSpinBox*>("maxConnections");
    auto* focused = window.findChildren<QSpinBox*>().front();
    ASSERT_TRUE(connections != nullptr && focused != connections);
    auto* bar = qobject_cast<QScrollArea*>(viewport->parentWidget())->verticalScrollBar();
    bar->setValue(bar->maximum());
    focused->setFocus();
    ASSERT_TRUE(test::WaitUntil([&] {
        QCoreApplication::processEvents();
        return focused->hasFocus();
    }));
    const int focusedValue = focused->value();
    const int value = connections->value();
    const QPointF at = QPointF(connections->rect().center());
    QWheelEvent up(at, connections->mapToGlobal(at), QPoint(), QPoint(0, 120), Qt::NoButton,
                   Qt::NoModifier, Qt::NoScrollPhase, false);
    QCoreApplication::sendEvent(viewport, &up);
    QCoreApplication::sendEvent(focused, &up);
    QCoreApplication::sendEvent(connections, &up);
    EXPECT_EQ(focused->value(), focusedValue);
    EXPECT_EQ(connections->value(), value);
    EXPECT_LT(bar->value(), bar->maximum());
}

TEST_F(MainWindowTest, TheTrayIconIsShownBeforeATrayRunsAndAWindowHiddenInOneThatWentComesBack) {
    MainWindow window(service, log);
    EXPECT_TRUE(window.TrayIcon().Shown());
    window.showMaximized();
    window.HideInTray();
    ASSERT_FALSE(Tray::Available());  // the offscreen desktop has none, as after a panel ended
    EXPECT_TRUE(test::WaitUntil([&] {
        QCoreApplication::processEvents();
        return window.isVisible();
    }));
    // As it was hidden: maximised, not brought back at its normal size.
    EXPECT_TRUE(window.isMaximized());
    window.HideInTray();
    window.ShowInFront();
    EXPECT_TRUE(window.isVisible() && window.isMaximized());
}

TEST_F(MainWindowTest, TheChartFillsTheStripRightOfTheCacheLabel) {
    MainWindow window(service, log);
    for (int width : {742, 1000, 500}) {
        window.resize(width, 384);
        window.show();
        QCoreApplication::processEvents();
        const QRect chart = window.Chart().geometry();
        const int stripWidth = window.Chart().parentWidget()->width();
        EXPECT_EQ(chart.right() + 1, stripWidth - 4) << width;
        EXPECT_GT(chart.left(), 100) << width;  // past the labels
    }
}

// A chart scale the chart refuses (below 4) leaves the window's own bound,
// not the bare chart's 100, which pinned every second of traffic to the top.
TEST_F(MainWindowTest, AChartScaleTheChartRefusesLeavesTheWindowsBound) {
    service.SettingsModel().chartScale = "0";
    service.Apply();
    MainWindow window(service, log);
    EXPECT_EQ(window.Chart().Geometry().scaledMax, 5000.0);
}

// One box at a time, and nothing lost: a message arriving while the box is
// open joins it. A busy port's message leaves the box once a port is
// applied that the proxy listens on; the box closes when it held no other.
TEST_F(MainWindowTest, ErrorsJoinOneBoxAndABusyPortLeavesItWhenTheProxyListens) {
    MainWindow window(service, log);
    window.ShowError(QStringLiteral("first"));
    QPointer<QMessageBox> box = window.ErrorBox();
    ASSERT_NE(box, nullptr);
    window.ShowError(QStringLiteral("second"));
    window.ShowError(QStringLiteral("first"));
    EXPECT_EQ(window.ErrorBox(), box);
    EXPECT_EQ(box->text(), QStringLiteral("first\n\nsecond"));

    const net::Socket taken = net::ListenTcp("0.0.0.0", 0, 1);
    const QString busy = FromCp1251(PortBusyMessage(net::LocalPort(taken)));
    auto applyPort = [&](int port) {
        service.SettingsModel().port = std::to_string(port);
        service.Apply();
    };
    auto passUntil = [&](auto done) {
        return test::WaitUntil([&] {
            QCoreApplication::processEvents();  // the window's own passes take the report
            return done();
        });
    };
    applyPort(net::LocalPort(taken));
    ASSERT_TRUE(passUntil([&] { return box->text().endsWith(busy); })) << box->text().toStdString();
    applyPort(test::FreePort());
    ASSERT_TRUE(passUntil([&] { return !box->text().contains(busy); }));
    EXPECT_EQ(box->text(), QStringLiteral("first\n\nsecond"));

    box->close();
    applyPort(net::LocalPort(taken));
    ASSERT_TRUE(passUntil([&] { return window.ErrorBox() != nullptr; }));
    box = window.ErrorBox();
    EXPECT_EQ(box->text(), busy);
    applyPort(test::FreePort());
    ASSERT_TRUE(passUntil([&] { return box == nullptr || !box->isVisible(); }));

    // A busy port found at start-up, handed over before the first pass,
    // leaves the box the same way once a new port is applied.
    window.ShowListenerReport(PortBusyMessage(net::LocalPort(taken)));
    box = window.ErrorBox();
    ASSERT_TRUE(box != nullptr && box->isVisible());
    const int free = [] {
        const net::Socket probe = net::ListenTcp("0.0.0.0", 0, 1);
        return net::LocalPort(probe);
    }();
    applyPort(free);
    ASSERT_TRUE(passUntil([&] { return box == nullptr || !box->isVisible(); }));
}

// A placement kept from a larger screen: the window opens where it can be
// reached, not beyond the screen's edge.
TEST(MainWindowPlacement, APlacementBeyondTheScreenIsBroughtOntoIt) {
    test::TempDir dir;
    std::ofstream(dir.Path() / "Vellostore.ini")
        << "[TMainForm]\nPortEd_Text=" << test::FreePort() << "\nNormPos=9000,7000,9700,7500\n";
    LogWindow log;
    ProxyService service(dir.Path(), dir.Path() / "vellostore", log.Sink());
    ASSERT_FALSE(service.StartUp().has_value());
    {
        MainWindow window(service, log);
        const QRect room = QGuiApplication::primaryScreen()->availableGeometry();
        EXPECT_TRUE(room.contains(window.geometry())) << window.x() << "," << window.y();
        EXPECT_EQ(window.size(), QSize(700, 500).boundedTo(room.size()));
    }
    // One as large as the screen leaves room for the window manager's frame.
    std::ofstream(dir.Path() / "Vellostore.ini")
        << "[TMainForm]\nPortEd_Text=" << test::FreePort() << "\nNormPos=0,0,9000,7000\n";
    {
        MainWindow window(service, log);
        const QRect room = QGuiApplication::primaryScreen()->availableGeometry();
        EXPECT_LT(window.height(), room.height());
        EXPECT_LT(window.width(), room.width());
        // So does a window's first size where the screen is smaller than
        // the design's (1024x600, or scaled twice): the log's, the window's.
        QWidget other;
        ResizeWithinTheScreen(other, {5000, 5000});
        EXPECT_LT(other.height(), room.height());
        EXPECT_LT(other.width(), room.width());
    }
    // A screen of 1024x600 at a scale of 2 holds 512 pixels across, with the
    // window manager's border: no page may keep the window wider than that,
    // with its close box off screen.
    std::ofstream(dir.Path() / "Vellostore.ini")
        << "[TMainForm]\nPortEd_Text=" << test::FreePort() << "\nNormPos=0,0,500,300\n";
    {
        MainWindow window(service, log);
        window.show();
        QCoreApplication::processEvents();
        EXPECT_EQ(window.width(), 500);
        // At its least size, the lists' wrapped captions still show whole.
        window.resize(1, 1);
        for (ListKind kind : {ListKind::Black, ListKind::OnlyFromCache}) {
            RuleListPage& page = window.ListPage(kind);
            test::ShowPagesHolding(page);
            QCoreApplication::processEvents();
            for (const QLabel* label : page.findChildren<QLabel*>()) {
                EXPECT_GE(label->height(), label->heightForWidth(label->width())) << int(kind);
            }
        }
    }
    service.ShutDown();
}

TEST(MainWindowPlacement, PositionAndColumnsComeBackAndAreSavedBeforeTheSettings) {
    test::TempDir dir;
    const QSize screen = QGuiApplication::primaryScreen()->size();
    const std::string suffix =
        QStringLiteral("(%1x%2)").arg(screen.width()).arg(screen.height()).toStdString();
    std::ofstream(dir.Path() / "Vellostore.ini")
        << "[TMainForm]\nPortEd_Text=" << test::FreePort() << "\nNormPos=0,0,300,300\nNormPos"
        << suffix << "=40,50,640,450\n";
    LogWindow log;
    ProxyService service(dir.Path(), dir.Path() / "vellostore", log.Sink());
    ASSERT_FALSE(service.StartUp().has_value());
    std::string bottom;
    {
        MainWindow window(service, log);
        EXPECT_EQ(window.size(), QSize(600, 400));
        window.show();
        QCoreApplication::processEvents();
        // Shown, the window keeps its stored corner and may be as low as
        // its first height: no page's fields hold it taller.
        EXPECT_EQ(window.pos(), QPoint(40, 50));
        window.resize(700, 380);
        EXPECT_EQ(window.height(), 380);
        QHeaderView& columns = *window.Monitor().horizontalHeader();
        columns.moveSection(columns.visualIndex(2), 0);  // the URL first
        columns.resizeSection(2, 456);
        window.StorePlacement(true);
        bottom = std::to_string(window.pos().y() + 380);
    }
    service.ShutDown();
    {
        ProxyService again(dir.Path(), dir.Path() / "vellostore", log.Sink());
        ASSERT_FALSE(again.StartUp().has_value());
        MainWindow window(again, log);
        const QHeaderView& columns = *window.Monitor().horizontalHeader();
        EXPECT_EQ(columns.visualIndex(2), 0);
        EXPECT_EQ(columns.visualIndex(0), 1);
        EXPECT_EQ(columns.sectionSize(2), 456);
        again.ShutDown();
    }
    const std::string ini = test::ReadBytes(dir.Path() / "Vellostore.ini");
    const auto normPos = ini.find("NormPos" + suffix + "=");
    ASSERT_NE(normPos, std::string::npos) << ini;
    EXPECT_EQ(ini.find("," + bottom + "\r\n", normPos),
              ini.find("\r\n", normPos) - bottom.size() - 1)
        << ini;  // the bottom edge ends the line
    EXPECT_LT(ini.find("FormVersion=0"), ini.find("Flags="));
    EXPECT_LT(ini.find("Visible=1"), ini.find("BlackListCB_Checked"));
}

}  // namespace
}  // namespace vs::gui
