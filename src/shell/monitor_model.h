#pragma once
// The monitor as data: one row per shown request, changed only by applying
// monitor events in queue order. Rows hold numbers; the window formats them
// when it paints. After each drain the window takes the changes, so its Qt
// model announces exactly the rows added and the cells changed instead of
// resetting a grid of thousands of rows. The daemon keeps the model for its
// error lines and for tests.

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "proxy/monitor_queue.h"

namespace vs {

// The monitor grid's columns, in their order on screen.
enum class MonitorColumn : std::uint8_t {
    Number,
    Image,
    Url,
    Size,
    Received,
    Progress,
    State,
    Answer,
};
inline constexpr int kMonitorColumnCount = 8;

// How many of the newest rows both programs keep.
inline constexpr std::size_t kKeptMonitorRows = 10000;
// An old row whose download or tunnel is still under way holds the rows
// after it, up to this many times the kept rows.
inline constexpr std::size_t kOpenRowHoldsUpTo = 10;

struct MonitorRow {
    std::string url;
    std::int32_t image = -1;     // kind image; -1 none yet
    std::int64_t size = -1;      // announced length; -1 shows nothing
    std::int64_t received = -1;  // -1 shows nothing
    std::int32_t progress = -1;  // percent; -1 shows nothing
    std::int32_t state = 0;      // state image: 0 new, 1 answered < 300, 2 other or ended
    std::string answer;
};

struct LogLine {
    std::string header;
    std::string body;
};

// Cells changed in rows that existed before: rows first..last, columns
// firstColumn..lastColumn of each.
struct ChangedCells {
    std::size_t first = 0;
    std::size_t last = 0;
    MonitorColumn firstColumn = MonitorColumn::Number;
    MonitorColumn lastColumn = MonitorColumn::Number;
    bool operator==(const ChangedCells&) const = default;
};

// What the events applied since the last TakeChanges did. Rows added are
// [RowCount() - added, RowCount()); the cells of rows added in the same
// batch are not listed again.
struct MonitorChanges {
    std::size_t added = 0;
    std::size_t forgotten = 0;  // oldest rows dropped (keepRows)
    std::vector<ChangedCells> changed;
    bool Empty() const { return added == 0 && forgotten == 0 && changed.empty(); }
};

class MonitorModel {
public:
    // keepRows > 0 forgets the oldest rows beyond that many: a proxy runs
    // for weeks, and nobody scrolls back through a million requests. 0 keeps
    // every row of the run (tests).
    // `stillOpen` tells whether a row's exchange is under way: the user may
    // want to find it and stop it, so it is not forgotten while it is,
    // unless the rows it holds grow past kOpenRowHoldsUpTo times keepRows.
    explicit MonitorModel(std::size_t keepRows = 0,
                          std::function<bool(std::size_t row)> stillOpen = {})
        : keepRows_(keepRows), stillOpen_(std::move(stillOpen)) {}

    void Apply(const proxy::RowAdded& added);
    // An update of a row that does not exist gives the log line to show
    // instead ("******ERROR", "row/count").
    std::optional<LogLine> Apply(const proxy::RowUpdate& update);

    // Rows added in this run, forgotten ones included.
    std::size_t RowCount() const { return first_ + rows_.size(); }
    // The index of the oldest row still kept; rows before it were forgotten.
    std::size_t FirstRow() const { return first_; }
    // Null when the row was forgotten or never existed.
    const MonitorRow* Row(std::size_t index) const;

    MonitorChanges TakeChanges();

private:
    void MarkChanged(std::size_t row, MonitorColumn column);

    std::size_t keepRows_;
    std::function<bool(std::size_t row)> stillOpen_;
    std::size_t first_ = 0;  // index of rows_.front()
    std::deque<MonitorRow> rows_;
    // Since the last TakeChanges.
    std::size_t shownCount_ = 0;  // RowCount() when the changes were last taken
    std::size_t forgotten_ = 0;
    std::map<std::size_t, std::uint8_t> changedColumns_;  // row -> bit per column
};

}  // namespace vs
