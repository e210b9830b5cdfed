#include "shell/statistics.h"

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <ctime>
#include <limits>
#include <set>
#include <stdexcept>
#include <utility>

#include "base/atomic_file.h"
#include "rules/grid_text.h"
#include "shell/byte_size.h"

namespace vs {
namespace {

constexpr std::int64_t kKilobyte = 1024;
constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();
constexpr std::int64_t kMin = std::numeric_limits<std::int64_t>::min();
// How much of the text after "/" counts, as the table has always read it.
constexpr std::size_t kCacheDigitsOnLoad = 30;
constexpr std::size_t kCacheDigitsInSums = 100;

// A whole decimal number with blanks around it allowed; anything else,
// an overflow included, counts as no traffic.
std::int64_t NumberOrZero(std::string_view text) {
    const auto first = text.find_first_not_of(' ');
    if (first == std::string_view::npos) {
        return 0;
    }
    text = text.substr(first, text.find_last_not_of(' ') + 1 - first);
    if (!text.empty() && text.front() == '+') {
        text.remove_prefix(1);
    }
    std::int64_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    return error == std::errc() && end == text.data() + text.size() ? value : 0;
}

std::int64_t SaturatingAdd(std::int64_t a, std::int64_t b) {
    std::int64_t sum;
    return __builtin_add_overflow(a, b, &sum) ? (b > 0 ? kMax : kMin) : sum;
}

std::int64_t SaturatingKilobytes(std::int64_t kilobytes) {
    std::int64_t bytes;
    return __builtin_mul_overflow(kilobytes, kKilobyte, &bytes) ? (kilobytes > 0 ? kMax : kMin)
                                                                : bytes;
}

// The two numbers of an "I/C" cell, in kilobytes; a cell without "/"
// (empty or hand-edited) holds none.
std::pair<std::int64_t, std::int64_t> SplitCell(std::string_view cell, std::size_t cacheDigits) {
    const auto slash = cell.find('/');
    if (slash == std::string_view::npos) {
        return {0, 0};
    }
    return {NumberOrZero(cell.substr(0, slash)), NumberOrZero(cell.substr(slash + 1, cacheDigits))};
}

// Kilobytes from the file as today's byte counter; a count too large for
// bytes is as unreadable as text.
std::int64_t BytesOrZero(std::int64_t kilobytes) {
    std::int64_t bytes;
    return __builtin_mul_overflow(kilobytes, kKilobyte, &bytes) ? 0 : bytes;
}

std::string CellText(std::int64_t internetBytes, std::int64_t cacheBytes) {
    return std::to_string(internetBytes / kKilobyte) + "/" + std::to_string(cacheBytes / kKilobyte);
}

// A field beyond the last column widens the table: the file may hold the
// history of users this run no longer knows (an older users list).
constexpr int kMostStatColumns = 10000;

}  // namespace

class StatSink : public GridSink {
public:
    explicit StatSink(StatTable& table) : table_(table) {}

    void BeginRow() override { table_.rows_.emplace_back(table_.captions_.size()); }
    void DropRow() override { table_.rows_.pop_back(); }

    void Field(int column, std::string text) override {
        if (column < 0 || column >= kMostStatColumns) {
            throw GridReadError("a row of " + std::string(kStatFileName) + " has more than " +
                                std::to_string(kMostStatColumns) + " fields");
        }
        while (static_cast<std::size_t>(column) >= table_.captions_.size()) {
            table_.AppendColumn();
        }
        table_.rows_.back()[static_cast<std::size_t>(column)] = std::move(text);
    }

private:
    StatTable& table_;
};

std::string StatDateText(Clock::TimePoint when) {
    const std::time_t t = std::chrono::system_clock::to_time_t(when);
    std::tm local{};
    if (::localtime_r(&t, &local) == nullptr) {
        return {};
    }
    char text[32];
    std::snprintf(text, sizeof text, "%02d.%02d.%04d", local.tm_mday, local.tm_mon + 1,
                  local.tm_year + 1900);
    return text;
}

StatTable::StatTable() : captions_{std::string(kStatDateCaption)}, departed_{false} {}

void StatTable::AppendColumn() {
    captions_.emplace_back();
    departed_.push_back(false);
    for (auto& row : rows_) {
        row.emplace_back();
    }
    internetBytes_.push_back(0);
    cacheBytes_.push_back(0);
}

bool StatTable::Load(const std::filesystem::path& statFile, int statCols, UsersList& users,
                     Clock::TimePoint now) {
    *this = StatTable();
    ValidateStatList(users);
    // The column count comes from the settings file, where a wrong number
    // must not take the memory a file of that width would.
    while (statCols > ColumnCount() && ColumnCount() < kMostStatColumns) {
        AppendColumn();
    }
    std::string bytes;
    // Half a file would be taken for a whole one with fewer days.
    const FileRead read = ReadWholeFile(statFile, bytes);
    StatSink sink(*this);
    // A file read only in part is as much not to be saved over.
    const bool whole =
        ReadGridText(read == FileRead::kOk ? bytes : std::string(), kGridSeparator, sink);
    // An empty line of a hand-edited file is no day: kept, it would be
    // written back as a dateless row for good.
    std::erase_if(rows_, [](const auto& cells) {
        return std::all_of(cells.begin(), cells.end(), [](const std::string& c) {
            return c.find_first_not_of(" \t") == std::string::npos;
        });
    });
    const std::size_t userColumns = users.Snapshot()->rows.size();
    for (std::size_t c = userColumns + 1; c < departed_.size(); ++c) {
        departed_[c] = true;
    }
    StartDay(StatDateText(now));
    return read != FileRead::kFailed && whole;
}

void StatTable::StartDay(const std::string& dateText) {
    // The cells hold whole kilobytes: what the day being left counted
    // beyond them waits in case the clock comes back to it.
    if (today_ >= 0) {
        auto& left = beyondCells_[rows_[static_cast<std::size_t>(today_)][0]];
        left.clear();
        for (std::size_t i = 0; i < internetBytes_.size(); ++i) {
            left.emplace_back(internetBytes_[i] % kKilobyte, cacheBytes_[i] % kKilobyte);
        }
    }
    today_ = -1;
    for (std::size_t r = 0; r < rows_.size(); ++r) {
        if (rows_[r][0] == dateText) {
            today_ = static_cast<int>(r);
            break;
        }
    }
    if (today_ < 0) {
        rows_.emplace_back(captions_.size());
        rows_.back()[0] = dateText;
        today_ = static_cast<int>(rows_.size()) - 1;
    }
    // A day seen before (the clock went back) goes on from its counts.
    const auto& row = rows_[static_cast<std::size_t>(today_)];
    for (std::size_t c = 1; c < row.size(); ++c) {
        const auto [internet, cache] = SplitCell(row[c], kCacheDigitsOnLoad);
        internetBytes_[c - 1] = BytesOrZero(internet);
        cacheBytes_[c - 1] = BytesOrZero(cache);
    }
    if (const auto left = beyondCells_.find(dateText); left != beyondCells_.end()) {
        for (std::size_t i = 0; i < left->second.size() && i < internetBytes_.size(); ++i) {
            internetBytes_[i] = SaturatingAdd(internetBytes_[i], left->second[i].first);
            cacheBytes_[i] = SaturatingAdd(cacheBytes_[i], left->second[i].second);
        }
        beyondCells_.erase(left);
    }
}

void StatTable::ValidateStatList(UsersList& users) {
    AlignWithUsers(*users.Snapshot());
    users.RebuildUserTokens();
}

void StatTable::AlignWithUsers(const UsersSnapshot& users) {
    beyondCells_.clear();  // by column: under a kilobyte each, not worth moving
    const std::size_t old = captions_.size();
    std::vector<bool> placed(old, false);
    std::vector<std::size_t> order{0};  // old column per new column; `old` is a new one
    std::vector<std::string> captions{captions_[0]};
    std::set<std::string_view> named;  // names given a column in this pass
    auto take = [&](std::size_t column, const std::string& caption) {
        placed[column] = true;
        order.push_back(column);
        captions.push_back(caption);
    };
    for (std::size_t i = 0; i < users.rows.size(); ++i) {
        const std::string& name = users.rows[i].name;
        const std::size_t here = i + 1;
        std::size_t own = old;
        for (std::size_t c = 1; c < old && !name.empty(); ++c) {
            if (captions_[c] == name) {
                own = c;
                break;
            }
        }
        // A second user of one name keeps a column of its own, uncaptioned
        // on every pass alike: captioned, the name would find the first
        // one's column, and each start and save would move its counts one
        // column further.
        const bool duplicate =
            (own < old && placed[own]) || (!name.empty() && named.contains(name));
        if (!name.empty()) {
            named.insert(name);
        }
        if (own < old && !duplicate) {
            take(own, name);
        } else if (here < old && !placed[here] && captions_[here].empty() && !departed_[here]) {
            take(here, duplicate ? std::string() : name);
        } else {
            order.push_back(old);
            captions.push_back(duplicate ? std::string() : name);
        }
    }
    for (std::size_t c = 1; c < old; ++c) {
        if (!placed[c]) {
            order.push_back(c);
            captions.push_back(captions_[c]);
        }
    }
    auto reorder = [&](auto& values, auto fresh) {
        std::decay_t<decltype(values)> result;
        result.reserve(order.size());
        for (std::size_t c : order) {
            result.push_back(c < old ? std::move(values[c]) : fresh);
        }
        values = std::move(result);
    };
    for (auto& row : rows_) {
        reorder(row, std::string());
    }
    // A column taken by a user was never a departed one: the mark moves with
    // the columns left over.
    reorder(departed_, false);
    // The counters have no date column: shift in and out of their indexes.
    internetBytes_.insert(internetBytes_.begin(), 0);
    cacheBytes_.insert(cacheBytes_.begin(), 0);
    reorder(internetBytes_, std::int64_t{0});
    reorder(cacheBytes_, std::int64_t{0});
    internetBytes_.erase(internetBytes_.begin());
    cacheBytes_.erase(cacheBytes_.begin());
    captions_ = std::move(captions);
    alignedUsers_ = users.rows.size();
    DropEmptyTail(users.rows.size() + 1);
}

void StatTable::DropEmptyTail(std::size_t userColumns) {
    // Columns past every user's that hold nothing on any day (a mistyped
    // "StatCols", users long gone with nothing counted, one added and taken
    // away again by hand, whose name alone is left) would be written to
    // every row of the file for good.
    const auto empty = [this](std::size_t c) {
        if (internetBytes_[c - 1] != 0 || cacheBytes_[c - 1] != 0) {
            return false;
        }
        return std::all_of(rows_.begin(), rows_.end(),
                           [c](const auto& row) { return row[c].empty(); });
    };
    std::size_t keep = captions_.size();
    while (keep > std::max<std::size_t>(userColumns, 1) && empty(keep - 1)) {
        --keep;
    }
    captions_.resize(keep);
    departed_.resize(keep);
    internetBytes_.resize(keep - 1);
    cacheBytes_.resize(keep - 1);
    for (auto& row : rows_) {
        row.resize(keep);
    }
}

int StatTable::FindStatListColumn(std::string_view name) const {
    // A column is a user's by name only: the date column is nobody's, and
    // an empty name would pick a surplus column holding a removed user's
    // counts.
    if (name.empty()) {
        return -1;
    }
    for (std::size_t c = 1; c < captions_.size(); ++c) {
        if (captions_[c] == name) {
            return static_cast<int>(c);
        }
    }
    return -1;
}

std::optional<std::pair<std::string, std::string>> StatTable::AddTraffic(
    bool fromCache, int index, std::string_view user, std::int64_t bytes, Clock::TimePoint now,
    std::optional<std::size_t> userRow) {
    const std::string dateText = StatDateText(now);
    if (today_ < 0 || rows_[static_cast<std::size_t>(today_)][0] != dateText) {
        StartDay(dateText);
    }
    // Since the last alignment rows are only appended or deleted, and a
    // deletion takes its column along: row i of those aligned still owns
    // column i + 1, uncaptioned too (a second user of one name, a name
    // cleared for retyping).
    int column = userRow && *userRow < alignedUsers_ && *userRow + 1 < captions_.size()
                     ? static_cast<int>(*userRow + 1)
                     : FindStatListColumn(user);
    if (column < 0) {
        if (const auto now = renamed_.find(user); now != renamed_.end()) {
            column = FindStatListColumn(now->second);
        }
    }
    if (column < 0) {
        if (fromCache) {
            return std::nullopt;
        }
        return std::pair<std::string, std::string>{
            "?????", std::to_string(index) + "/" + std::to_string(bytes)};
    }
    const auto i = static_cast<std::size_t>(column - 1);
    std::int64_t& counter = fromCache ? cacheBytes_[i] : internetBytes_[i];
    counter = SaturatingAdd(counter, bytes);
    rows_[static_cast<std::size_t>(today_)][i + 1] = CellText(internetBytes_[i], cacheBytes_[i]);
    return std::nullopt;
}

void StatTable::Save(const std::filesystem::path& statFile) const {
    PrepareSave(statFile).Commit();
}

FileReplacement StatTable::PrepareSave(const std::filesystem::path& statFile) const {
    namespace fs = std::filesystem;
    return FileReplacement(statFile, WriteGridText(rows_, kGridSeparator),
                           fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read |
                               fs::perms::others_read);
}

std::vector<std::string> StatTable::Sums() const {
    std::vector<std::string> sums;
    for (std::size_t c = 1; c < captions_.size(); ++c) {
        std::int64_t internet = 0;
        std::int64_t cache = 0;
        for (const auto& row : rows_) {
            const auto [i, k] = SplitCell(row[c], kCacheDigitsInSums);
            internet = SaturatingAdd(internet, i);
            cache = SaturatingAdd(cache, k);
        }
        sums.push_back(FormatByteSize(SaturatingKilobytes(internet)) + " / " +
                       FormatByteSize(SaturatingKilobytes(cache)));
    }
    return sums;
}

void StatTable::RenameUser(std::size_t row, UsersList& users) {
    const auto snapshot = users.Snapshot();
    if (row < alignedUsers_) {
        CaptionUsersColumns(*snapshot);
    } else if (row < snapshot->rows.size() && !snapshot->rows[row].name.empty()) {
        ValidateStatList(users);
    }
}

void StatTable::FollowRenamedUsers(const UsersSnapshot& before, const UsersSnapshot& after) {
    // Rows whose name the other list lacks: gone from before, new in after.
    const auto unmatched = [](const UsersSnapshot& from, const UsersSnapshot& other) {
        std::vector<const UserRow*> rows;
        for (const UserRow& row : from.rows) {
            const bool elsewhere =
                std::any_of(other.rows.begin(), other.rows.end(),
                            [&](const UserRow& o) { return o.name == row.name; });
            if (!row.name.empty() && !elsewhere) {
                rows.push_back(&row);
            }
        }
        return rows;
    };
    std::vector<const UserRow*> gone = unmatched(before, after);
    std::vector<const UserRow*> arrived = unmatched(after, before);
    const auto rename = [&](const UserRow*& from, const UserRow*& to) {
        if (const int column = FindStatListColumn(from->name); column > 0) {
            captions_[static_cast<std::size_t>(column)] = to->name;
            // Connections admitted under the old name count on in its column.
            for (auto& [old, now] : renamed_) {
                if (now == from->name) {
                    now = to->name;
                }
            }
            renamed_[from->name] = to->name;
        }
        from = to = nullptr;
    };
    // A row gone and a row come with the same password and address, each
    // the only one so, are one user renamed, wherever the rows moved.
    const auto alike = [](const UserRow* a) {
        return [a](const UserRow* b) {
            return a != nullptr && b != nullptr && a->password == b->password && a->ip == b->ip;
        };
    };
    for (const UserRow*& from : gone) {
        const auto to = std::find_if(arrived.begin(), arrived.end(), alike(from));
        if (to != arrived.end() &&
            std::count_if(arrived.begin(), arrived.end(), alike(from)) == 1 &&
            std::count_if(gone.begin(), gone.end(), alike(*to)) == 1) {
            rename(from, *to);
        }
    }
    // As many names left gone as came, in the same order: each was renamed,
    // whatever else its row says now (a new password, a new address).
    std::erase(gone, nullptr);
    std::erase(arrived, nullptr);
    if (gone.size() == arrived.size()) {
        for (std::size_t i = 0; i < gone.size(); ++i) {
            rename(gone[i], arrived[i]);
        }
    }
}

void StatTable::DeleteUserColumn(std::size_t row, const UsersSnapshot& users) {
    beyondCells_.clear();
    const std::size_t column = row + 1;
    if (row >= alignedUsers_ || column >= captions_.size()) {
        return;
    }
    captions_.erase(captions_.begin() + static_cast<std::ptrdiff_t>(column));
    departed_.erase(departed_.begin() + static_cast<std::ptrdiff_t>(column));
    for (auto& cells : rows_) {
        cells.erase(cells.begin() + static_cast<std::ptrdiff_t>(column));
    }
    internetBytes_.erase(internetBytes_.begin() + static_cast<std::ptrdiff_t>(row));
    cacheBytes_.erase(cacheBytes_.begin() + static_cast<std::ptrdiff_t>(row));
    --alignedUsers_;
    // A second user of the deleted one's name may now be the first.
    CaptionUsersColumns(users);
}

void StatTable::CaptionUsersColumns(const UsersSnapshot& users) {
    std::set<std::string_view> named;
    const std::size_t rows = std::min(alignedUsers_, users.rows.size());
    for (std::size_t i = 0; i < rows && i + 1 < captions_.size(); ++i) {
        const std::string& name = users.rows[i].name;
        const bool first = !name.empty() && named.insert(name).second;
        captions_[i + 1] = first ? name : std::string();
    }
}

const std::string& StatTable::Caption(int column) const {
    return captions_.at(static_cast<std::size_t>(column));
}

const std::string& StatTable::Cell(int row, int column) const {
    return rows_.at(static_cast<std::size_t>(row)).at(static_cast<std::size_t>(column));
}

}  // namespace vs
