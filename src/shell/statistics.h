#pragma once
// The statistics table: traffic per user and day, kept in "stat.txt".

#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "base/atomic_file.h"
#include "base/clock.h"
#include "rules/users_list.h"

namespace vs {

inline constexpr std::string_view kStatFileName = "stat.txt";
inline constexpr std::string_view kStatDateCaption = "Дата";

// Column 0 holds the day ("dd.MM.yyyy", local time); every other cell holds
// "I/C", whole kilobytes fetched that day from the internet and from the
// cache. The file has no captions: its column i + 1 belongs to the user in
// users-list row i. While the program runs a column is captioned with its
// user's name (none for a second user of a name), which carries the user's
// counts through edits of the list by hand (rows inserted, deleted, moved);
// the window's edits (rows appended, deleted, renamed, left without a name)
// keep row i's column at i + 1, where its traffic counts. Before each save
// the columns are put back in the users' order, so the file stays readable
// by position. Columns of departed users stay as surplus after the
// users' columns.
//
// Today's counters are 64-bit bytes: 32 bits wrapped after 2 GiB a day.
// Element i belongs to column i + 1. The day follows the clock, so a
// proxy running past midnight starts a new row instead of adding to the
// day it started on.
//
// Not thread-safe: the user-interface side owns it.
class StatTable {
public:
    StatTable();

    // Start-up: columns for the users, surplus columns up to statCols, the
    // rows of statFile, today's row and its counters. A missing or
    // unreadable file gives no rows; a field beyond the last column stops
    // reading and keeps what was read before it. False when the file is
    // there but could not be read whole: a save would then replace its
    // history.
    bool Load(const std::filesystem::path& statFile, int statCols, UsersList& users,
              Clock::TimePoint now);

    // Gives each named user a column and puts the columns in the users'
    // order (AlignWithUsers), then rebuilds the users list's tokens.
    void ValidateStatList(UsersList& users);
    // Column i + 1 becomes users-list row i's: the column captioned with its
    // name, else (a name new to the table, or a row without a name) the
    // uncaptioned column standing there, which holds that position's history
    // from the file, else a new empty one. Other columns follow as surplus.
    void AlignWithUsers(const UsersSnapshot& users);

    // The first user column (never the date column) captioned exactly
    // name; -1 when there is none or name is empty.
    int FindStatListColumn(std::string_view name) const;

    // Counts bytes for the user of users-list row `userRow` (where that
    // row stands now) in its column; without one, for the user named `user`
    // (admitted as users-list row index). Into the row of the day of now
    // (started when the day changed). An internet count for a user without
    // a column gives the log line to show, header and body ("?????",
    // "index/bytes"); a cache count for one is dropped.
    std::optional<std::pair<std::string, std::string>> AddTraffic(
        bool fromCache, int index, std::string_view user, std::int64_t bytes, Clock::TimePoint now,
        std::optional<std::size_t> userRow = std::nullopt);

    // Every row, whole or not at all, mode 0644. Throws std::system_error.
    // Align with the users first.
    void Save(const std::filesystem::path& statFile) const;
    // Save written but not yet in place, to go together with the users file.
    FileReplacement PrepareSave(const std::filesystem::path& statFile) const;

    // Footer per user column (from column 1): the totals of all rows as
    // FormatByteSize(internet) " / " FormatByteSize(cache).
    std::vector<std::string> Sums() const;

    // Users-list row `row` has a new name (an empty one too): its column
    // takes it as caption, or none when an earlier row has that name, and
    // the counts stay where they are. A
    // row added since the columns were last put in the users' order gets a
    // column by validation.
    void RenameUser(std::size_t row, UsersList& users);
    // The users file was edited by hand from `before` to `after`: a name
    // gone paired with a name come (by the same password and address where
    // that tells them apart, the rest one for one in order) is the same user
    // renamed, and its column takes the new name before the columns are put
    // in order; traffic counted under the old name later lands there too.
    void FollowRenamedUsers(const UsersSnapshot& before, const UsersSnapshot& after);
    // Users-list row `row` was deleted: its column goes, with its cells and
    // counters.
    void DeleteUserColumn(std::size_t row, const UsersSnapshot& users);

    int ColumnCount() const { return static_cast<int>(captions_.size()); }
    const std::string& Caption(int column) const;
    int RowCount() const { return static_cast<int>(rows_.size()); }
    const std::string& Cell(int row, int column) const;
    // -1 until a day has been given (by Load or AddTraffic).
    int TodayRow() const { return today_; }
    const std::vector<std::int64_t>& InternetBytes() const { return internetBytes_; }
    const std::vector<std::int64_t>& CacheBytes() const { return cacheBytes_; }

private:
    void AppendColumn();
    // Makes the row of dateText today's, appending it when missing, and
    // takes the counters from its cells.
    void StartDay(const std::string& dateText);

    std::vector<std::string> captions_;
    // Per column: it stood beyond the users when the file was read, so it
    // holds the history of users who have left, and a user added since
    // gets a column of his own rather than their counts.
    std::vector<bool> departed_;
    // Names renamed by hand this run: old name -> the name it has now.
    std::map<std::string, std::string, std::less<>> renamed_;
    std::vector<std::vector<std::string>> rows_;  // each ColumnCount() cells
    friend class StatSink;
    // Drops the columns past the first `userColumns` that hold nothing.
    void DropEmptyTail(std::size_t userColumns);
    // Captions column i + 1 with row i's name, for the rows that had a column
    // at the last alignment: none for an empty name or one an earlier row has.
    void CaptionUsersColumns(const UsersSnapshot& users);
    // Rows of the users list whose column is i + 1: those there at the last
    // alignment, less those deleted since.
    std::size_t alignedUsers_ = 0;
    int today_ = -1;
    std::vector<std::int64_t> internetBytes_;
    std::vector<std::int64_t> cacheBytes_;
    // Per day left while running (the clock stepped over midnight), per
    // column: the bytes its cells' whole kilobytes leave out.
    std::map<std::string, std::vector<std::pair<std::int64_t, std::int64_t>>> beyondCells_;
};

// The day of when in local time, "dd.MM.yyyy".
std::string StatDateText(Clock::TimePoint when);

}  // namespace vs
