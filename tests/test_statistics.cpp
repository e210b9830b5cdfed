#include "shell/statistics.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "shell/byte_size.h"
#include "support/child_process.h"

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
    EXPECT_EQ(FormatByteSize(kGiB), "1.00 GB");
    EXPECT_EQ(FormatByteSize(std::numeric_limits<std::int64_t>::max()), "8,589,934,592.00 GB");

    EXPECT_EQ(CacheShareText(1048576, 3 * 1048576), "1.00 MB / 25.0 %");
    EXPECT_EQ(CacheShareText(0, 0), "0.00 B / 0.0 %");
}

// Dates are local time: the zone is fixed so that midnight is where the
// tests expect it.
class StatTableTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (const char* tz = std::getenv("TZ")) {
            savedTz_ = tz;
        }
        ::setenv("TZ", "UTC", 1);
        ::tzset();
    }
    void TearDown() override {
        savedTz_ ? ::setenv("TZ", savedTz_->c_str(), 1) : ::unsetenv("TZ");
        ::tzset();
    }
    void Load(StatTable& table, UsersList& list, std::initializer_list<const char*> names) {
        for (const char* name : names) {
            list.Append(UserRow{true, name, "", ""});
        }
        table.Load(file, 0, list, clock.Now());
    }
    void Load(std::initializer_list<const char*> names) { Load(stat, users, names); }
    static const std::string& Today(const StatTable& stat, int column) {
        return stat.Cell(stat.TodayRow(), column);
    }

    test::TempDir dir;
    std::filesystem::path file = dir.Path() / "stat.txt";
    UsersList users;
    StatTable stat;
    FixedClock clock{std::chrono::system_clock::from_time_t(1710504000)};  // 15.03.2024 12:00

private:
    std::optional<std::string> savedTz_;
};

TEST_F(StatTableTest, CountsKilobytesPerUserAndSurvivesARestart) {
    Load({"alice", "Борис"});
    ASSERT_EQ(stat.ColumnCount(), 3);
    EXPECT_EQ(stat.Caption(2), "Борис");
    EXPECT_EQ(users.Snapshot()->tokens.size(), 2u);  // rows appended without tokens get them
    EXPECT_EQ(Today(stat, 0), "15.03.2024");
    EXPECT_FALSE(stat.AddTraffic(false, 0, 1536000 + 500, clock.Now()));
    EXPECT_FALSE(stat.AddTraffic(true, 0, 10240 + 1023, clock.Now()));
    EXPECT_EQ(Today(stat, 1), "1500/10");
    EXPECT_EQ(Today(stat, 2), "");

    const auto unknown = stat.AddTraffic(false, 2, 4096, clock.Now());
    ASSERT_TRUE(unknown);
    EXPECT_EQ(unknown->first, "?????");
    EXPECT_EQ(unknown->second, "2/4096");
    EXPECT_FALSE(stat.AddTraffic(true, -1, 4096, clock.Now()));
    stat.Save(file);

    clock.Advance(hours(3));
    StatTable again;
    again.Load(file, stat.ColumnCount(), users, clock.Now());
    EXPECT_EQ(again.RowCount(), 1);
    EXPECT_EQ(again.InternetBytes(), (Counts{1536000, 0}));
    EXPECT_EQ(again.CacheBytes(), (Counts{10240, 0}));
    again.AddTraffic(false, 0, 1024, clock.Now());
    EXPECT_EQ(Today(again, 1), "1501/10");
}

TEST_F(StatTableTest, MoreThanTwoGibibytesADay) {
    Load({"alice"});
    for (int i = 0; i < 3; ++i) {
        stat.AddTraffic(false, 0, kGiB, clock.Now());
        stat.AddTraffic(true, 0, 2 * kGiB, clock.Now());
    }
    EXPECT_EQ(Today(stat, 1), "3145728/6291456");
    stat.Save(file);
    StatTable again;
    again.Load(file, 2, users, clock.Now());
    EXPECT_EQ(again.InternetBytes(), (Counts{3 * kGiB}));
    EXPECT_EQ(again.CacheBytes(), (Counts{6 * kGiB}));
    EXPECT_EQ(again.Sums(), (Texts{"3.00 GB / 6.00 GB"}));
}

TEST_F(StatTableTest, MidnightWhileRunningStartsANewRow) {
    clock.Set(std::chrono::system_clock::from_time_t(1710547170));  // 15.03.2024 23:59:30
    Load({"alice"});
    stat.AddTraffic(false, 0, 1536000, clock.Now());
    stat.AddTraffic(true, 0, 10240, clock.Now());

    clock.Advance(std::chrono::minutes(1));
    stat.AddTraffic(true, 0, 2048, clock.Now());
    ASSERT_EQ(stat.RowCount(), 2);
    EXPECT_EQ(Today(stat, 0), "16.03.2024");
    EXPECT_EQ(Today(stat, 1), "0/2");
    EXPECT_EQ(stat.Cell(0, 1), "1500/10");
    EXPECT_EQ(stat.InternetBytes(), (Counts{0}));
    EXPECT_EQ(stat.Sums(), (Texts{"1.46 MB / 12.00 kB"}));

    // The clock set back: that day's row goes on from its own counts.
    clock.Advance(-hours(1));
    stat.AddTraffic(false, 0, 1024, clock.Now());
    EXPECT_EQ(stat.TodayRow(), 0);
    EXPECT_EQ(stat.Cell(0, 1), "1501/10");
}

TEST_F(StatTableTest, ColumnsFollowUsersByPosition) {
    Load({"a", "b", "c", "d"});
    stat.AddTraffic(false, 1, 2048, clock.Now());
    stat.AddTraffic(false, 3, 4096, clock.Now());
    stat.Save(file);

    // d's column outlives d as uncaptioned surplus.
    users.Delete(3);
    StatTable again;
    again.Load(file, stat.ColumnCount(), users, clock.Now());
    ASSERT_EQ(again.ColumnCount(), 5);
    EXPECT_EQ(again.Caption(4), "");
    EXPECT_EQ(Today(again, 4), "4/0");

    // Renaming moves the caption only.
    users.SetName(1, "bert");
    again.RenameUser("b", "bert", users);
    EXPECT_EQ(again.FindStatListColumn("bert"), 2);
    EXPECT_EQ(again.ColumnCount(), 5);
    EXPECT_EQ(Today(again, 2), "2/0");
    EXPECT_EQ(again.InternetBytes()[1], 2048);

    // Deleting takes cells and counters along.
    again.DeleteUserColumn("a");
    users.Delete(0);
    EXPECT_EQ(again.Caption(1), "bert");
    EXPECT_EQ(again.InternetBytes(), (Counts{2048, 0, 4096}));

    // A user without a name has no column, but the next one is still
    // column 2: the caption waits until that column exists.
    UsersList gap;
    StatTable positional;
    Load(positional, gap, {"", "bob"});
    EXPECT_EQ(positional.ColumnCount(), 2);
    EXPECT_EQ(positional.FindStatListColumn("bob"), -1);
    positional.ValidateStatList(gap);
    EXPECT_EQ(positional.FindStatListColumn("bob"), 2);
}

TEST_F(StatTableTest, FooterSumsAndHandEditedCells) {
    // A hand-edited file: 8-bit, no byte order mark, cells of any form.
    std::ofstream(file, std::ios::binary) << "13.03.2024,1500/10,x/5\r\n14.03.2024,1500/10,77\r\n";
    Load({"alice", "bob"});
    EXPECT_EQ(stat.Sums(), (Texts{"2.93 MB / 20.00 kB", "0.00 B / 5.00 kB"}));
    EXPECT_EQ(stat.RowCount(), 3);

    UsersList nobody;
    StatTable dateOnly;
    dateOnly.Load(dir.Path() / "missing.txt", 0, nobody, clock.Now());
    EXPECT_TRUE(dateOnly.Sums().empty());
}

}  // namespace
}  // namespace vs
