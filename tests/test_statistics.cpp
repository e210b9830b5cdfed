#include "shell/statistics.h"

#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <limits>
#include <string>
#include <vector>

#include "shell/byte_size.h"
#include "support/child_process.h"
#include "support/list_file.h"

namespace vs {
namespace {

using std::chrono::hours;
using Counts = std::vector<std::int64_t>;
using Texts = std::vector<std::string>;
constexpr std::int64_t kGiB = 1073741824;

TEST(ByteSizeTest, UnitsSeparatorsAndRounding) {
    EXPECT_EQ(FormatByteSize(0), "0.00 B");
    EXPECT_EQ(FormatByteSize(1023), "1,023.00 B");
    EXPECT_EQ(FormatByteSize(std::numeric_limits<std::int64_t>::min()),
              "-9,223,372,036,854,775,808.00 B");
    EXPECT_EQ(FormatByteSize(1152), "1.13 kB");  // exactly 1.125
    EXPECT_EQ(FormatByteSize(1048575), "1,024.00 kB");
    EXPECT_EQ(FormatByteSize(std::numeric_limits<std::int64_t>::max()), "8,589,934,592.00 GB");

    EXPECT_EQ(CacheShareText(1048576, 3 * 1048576), "1.00 MB / 25.0 %");
    EXPECT_EQ(CacheShareText(0, 0), "0.00 B / 0.0 %");
}

// Dates are local time: the zone is fixed so that midnight is where the
// tests expect it.
class StatTableTest : public ::testing::Test {
protected:
    void Load(std::initializer_list<const char*> names) {
        for (const char* name : names) {
            users.Append(UserRow{true, name, "", ""});
        }
        stat.Load(file, 0, users, clock.Now());
    }
    static const std::string& Today(const StatTable& stat, int column) {
        return stat.Cell(stat.TodayRow(), column);
    }

    test::ScopedEnv zone{"TZ", "UTC"};
    test::TempDir dir;
    std::filesystem::path file = dir.Path() / "stat.txt";
    UsersList users;
    StatTable stat;
    FixedClock clock{std::chrono::system_clock::from_time_t(1710504000)};  // 15.03.2024 12:00
};

TEST_F(StatTableTest, CountsKilobytesPerUserAndSurvivesARestart) {
    Load({"alice", "Борис"});
    ASSERT_EQ(stat.ColumnCount(), 3);
    EXPECT_EQ(stat.Caption(2), "Борис");
    EXPECT_EQ(users.Snapshot()->tokens.size(), 2u);  // rows appended without tokens get them
    EXPECT_EQ(Today(stat, 0), "15.03.2024");
    EXPECT_FALSE(stat.AddTraffic(false, 0, "alice", 1536000 + 500, clock.Now()));
    EXPECT_FALSE(stat.AddTraffic(true, 0, "alice", 10240 + 1023, clock.Now()));
    EXPECT_EQ(Today(stat, 1), "1500/10");
    EXPECT_EQ(Today(stat, 2), "");

    const auto unknown = stat.AddTraffic(false, 2, "carol", 4096, clock.Now());
    ASSERT_TRUE(unknown);
    EXPECT_EQ(unknown->first, "?????");
    EXPECT_EQ(unknown->second, "2/4096");
    EXPECT_FALSE(stat.AddTraffic(true, -1, "", 4096, clock.Now()));
    // More than two gibibytes a day.
    for (int i = 0; i < 3; ++i) {
        stat.AddTraffic(true, 1, "Борис", 2 * kGiB, clock.Now());
    }
    EXPECT_EQ(Today(stat, 2), "0/6291456");
    stat.Save(file);

    clock.Advance(hours(3));
    StatTable again;
    again.Load(file, stat.ColumnCount(), users, clock.Now());
    EXPECT_EQ(again.RowCount(), 1);
    EXPECT_EQ(again.InternetBytes(), (Counts{1536000, 0}));
    EXPECT_EQ(again.CacheBytes(), (Counts{10240, 6 * kGiB}));
    again.AddTraffic(false, 0, "alice", 1024, clock.Now());
    EXPECT_EQ(Today(again, 1), "1501/10");
}

TEST_F(StatTableTest, MidnightWhileRunningStartsANewRow) {
    clock.Set(std::chrono::system_clock::from_time_t(1710547170));  // 15.03.2024 23:59:30
    Load({"alice"});
    stat.AddTraffic(false, 0, "alice", 1536000, clock.Now());
    stat.AddTraffic(true, 0, "alice", 10240, clock.Now());

    clock.Advance(std::chrono::minutes(1));
    stat.AddTraffic(true, 0, "alice", 2048, clock.Now());
    ASSERT_EQ(stat.RowCount(), 2);
    EXPECT_EQ(Today(stat, 0), "16.03.2024");
    EXPECT_EQ(Today(stat, 1), "0/2");
    EXPECT_EQ(stat.Cell(0, 1), "1500/10");
    EXPECT_EQ(stat.InternetBytes(), (Counts{0}));
    EXPECT_EQ(stat.Sums(), (Texts{"1.46 MB / 12.00 kB"}));

    // The clock set back: that day's row goes on from its own counts, and
    // forward again the day left goes on to the byte.
    stat.AddTraffic(false, 0, "alice", 700, clock.Now());
    clock.Advance(-hours(1));
    stat.AddTraffic(false, 0, "alice", 1024, clock.Now());
    EXPECT_EQ(stat.TodayRow(), 0);
    EXPECT_EQ(stat.Cell(0, 1), "1501/10");
    clock.Advance(hours(1));
    stat.AddTraffic(false, 0, "alice", 700, clock.Now());
    EXPECT_EQ(Today(stat, 1), "1/2");
}

// Counts follow the user through edits of the users list; the file, which
// has no captions, stays readable by position.
TEST_F(StatTableTest, ColumnsFollowUsersWhileTheFileStaysPositional) {
    Load({"a", "b", "c", "d"});
    stat.AddTraffic(false, 1, "b", 2048, clock.Now());
    stat.AddTraffic(false, 3, "d", 4096, clock.Now());
    stat.Save(file);

    // d's column outlives d as uncaptioned surplus.
    users.Delete(3);
    StatTable again;
    again.Load(file, stat.ColumnCount(), users, clock.Now());
    ASSERT_EQ(again.ColumnCount(), 5);
    EXPECT_EQ(again.Caption(4), "");
    EXPECT_EQ(Today(again, 4), "4/0");

    // Renaming moves the caption; counting goes on in the same column.
    users.SetName(1, "bert");
    again.RenameUser(1, users);
    again.AddTraffic(false, 1, "bert", 1024, clock.Now());
    EXPECT_EQ(again.FindStatListColumn("bert"), 2);
    EXPECT_EQ(Today(again, 2), "3/0");

    // A user inserted before bert: bert's column moves with bert, and the
    // file written now reads back by position.
    users.Insert(0, UserRow{true, "carl", "", ""});
    again.AlignWithUsers(*users.Snapshot());
    EXPECT_EQ(again.FindStatListColumn("carl"), 1);
    EXPECT_EQ(again.FindStatListColumn("bert"), 3);
    EXPECT_EQ(Today(again, 3), "3/0");
    again.AddTraffic(false, 2, "bert", 1024, clock.Now());
    again.Save(file);
    StatTable reread;
    reread.Load(file, again.ColumnCount(), users, clock.Now());
    EXPECT_EQ(Today(reread, 3), "4/0");
    EXPECT_EQ(reread.InternetBytes()[2], 4096);

    // Deleting a user takes its cells and counters along.
    users.Delete(0);
    reread.DeleteUserColumn(0, *users.Snapshot());
    EXPECT_EQ(reread.Caption(2), "bert");

    // A user added where d's column stands gets one of his own: d's counts
    // are not his, now or when the file is read by position.
    users.Append(UserRow{true, "eve", "", "1.2.3.4"});
    reread.AlignWithUsers(*users.Snapshot());
    ASSERT_EQ(reread.FindStatListColumn("eve"), 4);
    EXPECT_EQ(reread.InternetBytes()[3], 0);
    reread.Save(file);
    StatTable afterEve;
    afterEve.Load(file, reread.ColumnCount(), users, clock.Now());
    EXPECT_EQ(afterEve.InternetBytes()[3], 0);
    EXPECT_EQ(afterEve.InternetBytes()[4], 4096);
}

// The users file edited by hand (vellostored's SIGHUP): a renamed user keeps
// the column, with rows added in the same edit or its password changed, and
// bytes of a connection admitted under an old name still count there.
TEST_F(StatTableTest, AUserRenamedByHandKeepsTheColumnAndTheConnectionsOpen) {
    for (const char* name : {"a", "b", "c"}) {
        users.Append(UserRow{true, name, "", std::string("10.0.0.") + name[0]});
    }
    stat.Load(file, 0, users, clock.Now());
    stat.AddTraffic(false, 1, "b", 2048, clock.Now());
    const auto followEdit = [&](const auto& edit) {
        const auto before = users.Snapshot();
        edit();
        stat.FollowRenamedUsers(*before, *users.Snapshot());
        stat.AlignWithUsers(*users.Snapshot());
    };
    followEdit([&] {
        users.Insert(0, UserRow{true, "z", "", "10.0.0.z"});
        users.SetName(2, "bb");
    });
    ASSERT_EQ(stat.FindStatListColumn("bb"), 3);
    EXPECT_EQ(Today(stat, 3), "2/0");
    followEdit([&] {
        users.SetName(2, "bbb");
        users.SetPassword(2, "new");
    });
    EXPECT_EQ(stat.FindStatListColumn("bbb"), 3);
    EXPECT_FALSE(stat.AddTraffic(false, 1, "b", 1024, clock.Now()));
    EXPECT_FALSE(stat.AddTraffic(false, 2, "bb", 1024, clock.Now()));
    EXPECT_EQ(Today(stat, 3), "4/0");
    EXPECT_EQ(stat.ColumnCount(), 5);
    // Two renamed and their rows swapped: each by its address.
    stat.AddTraffic(false, 1, "a", 1024, clock.Now());
    followEdit([&] {
        users.SetName(1, "a2");
        users.SetName(2, "b2");
        const UserRow a = users.Row(1);
        users.Delete(1);
        users.Insert(2, a);
    });
    EXPECT_EQ(Today(stat, stat.FindStatListColumn("a2")), "1/0");
    EXPECT_EQ(Today(stat, stat.FindStatListColumn("b2")), "4/0");
    // One added and taken away again before it counted anything leaves no
    // empty column behind, to be written to every row of the file.
    const int columns = stat.ColumnCount();
    followEdit([&] { users.Insert(1, UserRow{true, "newbie", "", "10.0.0.9"}); });
    followEdit([&] { users.Delete(1); });
    EXPECT_EQ(stat.ColumnCount(), columns);
}

// Two users of one name: the file keeps its columns however often the
// program starts and saves.
TEST_F(StatTableTest, TwoUsersOfOneNameLeaveTheFileAsItWasRunAfterRun) {
    Load({"local", "local", "bob"});
    stat.AddTraffic(false, 2, "bob", 3072, clock.Now());
    stat.AlignWithUsers(*users.Snapshot());
    stat.Save(file);
    const std::string saved = test::ReadBytes(file);
    for (int run = 0; run < 3; ++run) {
        StatTable again;
        again.Load(file, stat.ColumnCount(), users, clock.Now());
        again.AlignWithUsers(*users.Snapshot());
        again.Save(file);
        EXPECT_EQ(again.ColumnCount(), stat.ColumnCount());
        EXPECT_EQ(test::ReadBytes(file), saved);
    }
}

// Edits of the users page act on the edited row's own column, whatever
// names the other rows have.
TEST_F(StatTableTest, RenamingClearingAndDeletingKeepEveryRowsHistory) {
    std::ofstream(file, std::ios::binary) << "01.12.2024,100/0,7/0,3/0\r\n";
    Load({"ann", "ann", "bob"});
    const auto history = [&] {
        return stat.Cell(0, 1) + "," + stat.Cell(0, 2) + "," + stat.Cell(0, 3);
    };
    for (const char* name : {"ann", "bob"}) {  // a slip, then back
        users.SetName(2, name);
        stat.RenameUser(2, users);
        stat.AlignWithUsers(*users.Snapshot());
        EXPECT_EQ(history(), "100/0,7/0,3/0") << name;
    }
    for (const char* name : {"", "ann"}) {
        users.SetName(0, name);
        stat.RenameUser(0, users);
        stat.AlignWithUsers(*users.Snapshot());
        EXPECT_EQ(history(), "100/0,7/0,3/0") << '"' << name << '"';
    }
    users.Delete(1);
    stat.DeleteUserColumn(1, *users.Snapshot());
    stat.AlignWithUsers(*users.Snapshot());
    ASSERT_EQ(stat.ColumnCount(), 3);
    EXPECT_EQ(stat.Cell(0, 1) + "," + stat.Cell(0, 2), "100/0,3/0");
    EXPECT_EQ(stat.FindStatListColumn("bob"), 2);
}

TEST_F(StatTableTest, ANamelessRowCostsNoLaterUserItsCounts) {
    Load({"", "bob"});
    EXPECT_EQ(stat.FindStatListColumn("bob"), 2);
    EXPECT_FALSE(stat.AddTraffic(false, 1, "bob", 2048, clock.Now()));
    EXPECT_EQ(Today(stat, 2), "2/0");
    stat.Save(file);
    StatTable again;
    again.Load(file, 0, users, clock.Now());
    EXPECT_EQ(again.InternetBytes(), (Counts{0, 2048}));
}

// A hand-edited file: 8-bit, no byte order mark, cells of any form, and
// more columns than there are users.
TEST_F(StatTableTest, AHandEditedFileWidensTheTableAndSumsWhatItCan) {
    std::ofstream(file, std::ios::binary)
        << "13.03.2024,1500/10,x/5,3/0\r\n\r\n14.03.2024,1500/10,77,6/0\r\n \r\n";
    Load({"alice", "bob"});
    EXPECT_EQ(stat.RowCount(), 3);
    ASSERT_EQ(stat.ColumnCount(), 4);
    EXPECT_EQ(stat.Cell(1, 3), "6/0");
    EXPECT_EQ(stat.Sums(), (Texts{"2.93 MB / 20.00 kB", "0.00 B / 5.00 kB", "9.00 kB / 0.00 B"}));

    UsersList nobody;
    StatTable dateOnly;
    EXPECT_TRUE(dateOnly.Load(dir.Path() / "missing.txt", 0, nobody, clock.Now()));
    EXPECT_TRUE(dateOnly.Sums().empty());
    // A column count in the settings file as wide as a file may be, no wider.
    StatTable wide;
    EXPECT_TRUE(wide.Load(dir.Path() / "missing.txt", 2147483647, nobody, clock.Now()));
    EXPECT_LE(wide.ColumnCount(), 10000);
    // Such columns, holding nothing, are not written to every row for good.
    wide.AlignWithUsers(*nobody.Snapshot());
    EXPECT_EQ(wide.ColumnCount(), 1);
    StatTable typo;
    typo.Load(file, 1000, users, clock.Now());
    typo.AlignWithUsers(*users.Snapshot());
    EXPECT_EQ(typo.ColumnCount(), 4);  // the date, alice, bob, and the third column's counts

    // A file cut within its last character (a disk that filled up) is read
    // only in part: not to be saved over, or that day's row would be lost.
    std::string cut = test::ListFile({{"13.03.2024", "1500/10"}, {"14.03.2024", "700/1"}});
    cut.pop_back();
    std::ofstream(file, std::ios::binary | std::ios::trunc) << cut;
    StatTable partly;
    EXPECT_FALSE(partly.Load(file, 0, nobody, clock.Now()));
}

}  // namespace
}  // namespace vs
