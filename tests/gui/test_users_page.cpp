// The users page over a running core: an edit in the grid decides the next
// connection's admission; a user's statistics column follows a new name
// (and "stat.txt" is written at once) and goes with a deleted user.

#include "gui/users_page.h"

#include <QAction>
#include <QTableView>

#include <gtest/gtest.h>

#include <memory>

#include "base/base64.h"
#include "gui/log_window.h"
#include "gui/main_window.h"
#include "gui/statistics_page.h"
#include "rules/grid_text.h"
#include "rules/users_list.h"
#include "shell/proxy_service.h"
#include "shell/statistics.h"
#include "support/files.h"
#include "support/net_helpers.h"
#include "support/service_start.h"
#include "support/text.h"

namespace vs::gui {
namespace {

// anna and bob log in with passwords; "local" is admitted by this
// machine's address. The file holds a day of anna's and bob's traffic.
class UsersPageTest : public ::testing::Test {
protected:
    void SetUp() override {
        UsersList users;
        users.Append(UserRow{true, "anna", "pw1", ""});
        users.Append(UserRow{true, "bob", "pw2", ""});
        users.Append(UserRow{true, "local", "", "127.0.0.1"});
        users.Save(dir.Path() / "users.lst");
        test::WriteBytes(dir.Path() / "stat.txt",
                         WriteGridText({{"01.01.2020", "5/1", "7/2"}}, kGridSeparator));
        ASSERT_TRUE(test::StartOnAFreePort(service, dir.Path()));
        window = std::make_unique<MainWindow>(service, log);
    }
    void TearDown() override {
        window.reset();
        service.ShutDown();
    }

    UsersTableModel& Users() { return window->Users().Model(); }
    StatTableModel& Statistics() { return window->Statistics().Model(); }
    void Edit(int row, UserColumn column, const QVariant& value, int role = Qt::EditRole) {
        ASSERT_TRUE(Users().setData(Users().index(row, static_cast<int>(column)), value, role));
    }
    std::string StatusAs(const std::string& credentials) {
        return test::StatusThrough(service, origin.Url("/"),
                                   credentials.empty() ? ""
                                                       : "Proxy-Authorization: Basic " +
                                                             EncodeBase64(credentials) + "\r\n");
    }
    ::testing::AssertionResult StatFileHas(const std::string& fields) {
        const auto utf16 = test::Utf16(QString::fromStdString(fields).toStdU16String());
        return test::Has(test::ReadBytes(dir.Path() / "stat.txt"), utf16.substr(2));
    }
    QString Caption(int column) {
        return Statistics().headerData(column, Qt::Horizontal).toString();
    }
    QString Cell(int row, int column) { return Statistics().index(row, column).data().toString(); }

    test::TempDir dir;
    test::HttpOrigin origin;
    LogWindow log;
    ProxyService service{dir.Path(), dir.Path() / "vellostore", log.Sink()};
    std::unique_ptr<MainWindow> window;
};

TEST_F(UsersPageTest, EditsInTheGridDecideTheNextConnection) {
    const int local = 2;
    EXPECT_TRUE(test::Has(StatusAs(""), " 200 "));
    Edit(local, UserColumn::Enable, Qt::Unchecked, Qt::CheckStateRole);
    EXPECT_TRUE(test::Has(StatusAs(""), " 407 "));

    // A new row is disabled until ticked, then admits by its credentials.
    window->Users().AddAction()->trigger();
    ASSERT_EQ(Users().rowCount(), 4);
    EXPECT_EQ(window->Users().Grid().currentIndex().row(), 3);
    // Pasted with the line ends of the file they came from.
    Edit(3, UserColumn::Name, QStringLiteral(" carol\r\n"));
    Edit(3, UserColumn::Password, QStringLiteral("pw3\n"));
    EXPECT_TRUE(test::Has(StatusAs("carol:pw3"), " 407 "));
    Edit(3, UserColumn::Enable, Qt::Checked, Qt::CheckStateRole);
    EXPECT_TRUE(test::Has(StatusAs("carol:pw3"), " 200 "));

    // A password users.lst could only store as "??" is refused, with a word
    // why; the one before it stays.
    QString refused;
    QObject::connect(&window->Users(), &UsersPage::Failed,
                     [&refused](const QString& text) { refused = text; });
    EXPECT_FALSE(Users().setData(Users().index(3, static_cast<int>(UserColumn::Password)),
                                 QStringLiteral("密码"), Qt::EditRole));
    EXPECT_TRUE(refused.contains(QStringLiteral("密码"))) << refused.toStdString();
    EXPECT_TRUE(test::Has(StatusAs("carol:pw3"), " 200 "));

    Edit(local, UserColumn::Ip, QStringLiteral("10.0.0.9"));
    Edit(local, UserColumn::Ip, QStringLiteral(" 127.0.0.1\r\n"));
    Edit(local, UserColumn::Enable, Qt::Checked, Qt::CheckStateRole);
    EXPECT_TRUE(test::Has(StatusAs(""), " 200 "));
}

TEST_F(UsersPageTest, AUsersColumnFollowsANewNameAndGoesWithTheUser) {
    ASSERT_EQ(Caption(1), QStringLiteral("anna"));
    ASSERT_EQ(Cell(0, 1), QStringLiteral("5/1"));

    Edit(0, UserColumn::Name, QStringLiteral("Анна"));
    EXPECT_EQ(Caption(1), QStringLiteral("Анна"));
    EXPECT_EQ(Cell(0, 1), QStringLiteral("5/1"));
    EXPECT_EQ(Cell(0, 2), QStringLiteral("7/2"));
    // Written at once, today's row included, and still readable by position.
    EXPECT_TRUE(StatFileHas("01.01.2020,5/1,7/2,\r\n"));
    EXPECT_TRUE(StatFileHas(StatDateText(std::chrono::system_clock::now()) + ","));

    // Asked first, by name: "No" keeps the user and its days.
    QTableView& grid = window->Users().Grid();
    grid.setCurrentIndex(Users().index(0, static_cast<int>(UserColumn::Name)));
    QStringList asked;
    bool answer = false;
    window->Users().SetDeleteConfirmation([&](const QString& name) {
        asked << name;
        return answer;
    });
    window->Users().DeleteAction()->trigger();
    EXPECT_EQ(asked, QStringList{QStringLiteral("Анна")});
    ASSERT_EQ(Users().rowCount(), 3);
    EXPECT_EQ(Caption(1), QStringLiteral("Анна"));
    answer = true;
    window->Users().DeleteAction()->trigger();
    ASSERT_EQ(Users().rowCount(), 2);
    EXPECT_EQ(grid.currentIndex().row(), 0);
    EXPECT_EQ(Caption(1), QStringLiteral("bob"));
    EXPECT_EQ(Cell(0, 1), QStringLiteral("7/2"));
    EXPECT_EQ(Statistics().columnCount(), 3);  // the date, bob, local
    EXPECT_TRUE(StatFileHas("01.01.2020,7/2,\r\n"));
}

}  // namespace
}  // namespace vs::gui
