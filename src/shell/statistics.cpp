#include "shell/statistics.h"

#include <charconv>
#include <cstdio>
#include <ctime>
#include <fstream>
#include <iterator>
#include <limits>
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

class StatSink : public GridSink {
public:
    StatSink(std::vector<std::vector<std::string>>& rows, std::size_t columns)
        : rows_(rows), columns_(columns) {}

    void BeginRow() override { rows_.emplace_back(columns_); }

    void Field(int column, std::string text) override {
        if (column < 0 || static_cast<std::size_t>(column) >= columns_) {
            throw GridReadError("a row of " + std::string(kStatFileName) + " has more than " +
                                std::to_string(columns_) + " fields");
        }
        rows_.back()[static_cast<std::size_t>(column)] = std::move(text);
    }

private:
    std::vector<std::vector<std::string>>& rows_;
    std::size_t columns_;
};

std::string ReadFileOrEmpty(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::string bytes{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    // Half a file would be taken for a whole one with fewer days.
    return in.bad() ? std::string() : bytes;
}

}  // namespace

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

StatTable::StatTable() : captions_{std::string(kStatDateCaption)} {}

void StatTable::AppendColumn() {
    captions_.emplace_back();
    for (auto& row : rows_) {
        row.emplace_back();
    }
    internetBytes_.push_back(0);
    cacheBytes_.push_back(0);
}

void StatTable::Load(const std::filesystem::path& statFile, int statCols, UsersList& users,
                     Clock::TimePoint now) {
    *this = StatTable();
    ValidateStatList(users);
    while (statCols > ColumnCount()) {
        AppendColumn();
    }
    StatSink sink(rows_, captions_.size());
    ReadGridText(ReadFileOrEmpty(statFile), kGridSeparator, sink);
    StartDay(StatDateText(now));
}

void StatTable::StartDay(const std::string& dateText) {
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
}

void StatTable::ValidateStatList(UsersList& users) {
    const auto snapshot = users.Snapshot();
    for (std::size_t i = 0; i < snapshot->rows.size(); ++i) {
        const std::string& name = snapshot->rows[i].name;
        if (name.empty() || FindStatListColumn(name) >= 0) {
            continue;
        }
        AppendColumn();
        if (i + 1 < captions_.size()) {
            captions_[i + 1] = name;
        }
    }
    users.RebuildUserTokens();
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

std::optional<std::pair<std::string, std::string>> StatTable::AddTraffic(bool fromCache, int index,
                                                                         std::int64_t bytes,
                                                                         Clock::TimePoint now) {
    const std::string dateText = StatDateText(now);
    if (today_ < 0 || rows_[static_cast<std::size_t>(today_)][0] != dateText) {
        StartDay(dateText);
    }
    if (index < 0 || static_cast<std::size_t>(index) >= internetBytes_.size()) {
        if (fromCache) {
            return std::nullopt;
        }
        return std::pair<std::string, std::string>{
            "?????", std::to_string(index) + "/" + std::to_string(bytes)};
    }
    const auto i = static_cast<std::size_t>(index);
    std::int64_t& counter = fromCache ? cacheBytes_[i] : internetBytes_[i];
    counter = SaturatingAdd(counter, bytes);
    rows_[static_cast<std::size_t>(today_)][i + 1] = CellText(internetBytes_[i], cacheBytes_[i]);
    return std::nullopt;
}

void StatTable::Save(const std::filesystem::path& statFile) const {
    namespace fs = std::filesystem;
    WriteFileAtomically(statFile, WriteGridText(rows_, kGridSeparator),
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

void StatTable::RenameUser(std::string_view oldName, std::string_view newName, UsersList& users) {
    if (newName.empty()) {
        return;
    }
    const int column = FindStatListColumn(oldName);
    if (column >= 0) {
        captions_[static_cast<std::size_t>(column)] = std::string(newName);
    } else {
        ValidateStatList(users);
    }
}

void StatTable::DeleteUserColumn(std::string_view name) {
    const int found = FindStatListColumn(name);
    if (found < 0) {
        return;
    }
    captions_.erase(captions_.begin() + found);
    for (auto& row : rows_) {
        row.erase(row.begin() + found);
    }
    internetBytes_.erase(internetBytes_.begin() + found - 1);
    cacheBytes_.erase(cacheBytes_.begin() + found - 1);
}

const std::string& StatTable::Caption(int column) const {
    return captions_.at(static_cast<std::size_t>(column));
}

const std::string& StatTable::Cell(int row, int column) const {
    return rows_.at(static_cast<std::size_t>(row)).at(static_cast<std::size_t>(column));
}

}  // namespace vs
