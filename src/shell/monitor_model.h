#pragma once
// The monitor as data: one row per shown request, changed only by applying
// monitor entries in queue order. The desktop window shows it through a Qt
// model; the daemon keeps it for its log of errors and for tests.

#include <cstdint>
#include <deque>
#include <optional>
#include <string>

#include "proxy/monitor_queue.h"

namespace vs {

struct MonitorRow {
    std::string url;
    std::int32_t image = -1;  // kind image; -1 none yet
    std::string size;         // texts as the columns show them; empty at first
    std::string received;
    std::int32_t progress = -1;  // percent; -1 shows nothing
    std::int32_t state = 0;      // state image: 0 new, 1 answered < 300, 2 other or ended
    std::string answer;
};

struct LogLine {
    std::string header;
    std::string body;
};

class MonitorModel {
public:
    // keepRows > 0 forgets the oldest rows beyond that many (the daemon has
    // no window to scroll back in); 0 keeps every row of the run.
    explicit MonitorModel(std::size_t keepRows = 0) : keepRows_(keepRows) {}

    // Applies one kind 0 entry. An entry for a row that does not exist gives
    // the log line to show instead ("******ERROR", "row/count").
    std::optional<LogLine> Apply(const proxy::TCmd& entry);

    // Rows added in this run, forgotten ones included.
    std::size_t RowCount() const { return first_ + rows_.size(); }
    // Null when the row was forgotten or never existed.
    const MonitorRow* Row(std::size_t index) const;

private:
    std::size_t keepRows_;
    std::size_t first_ = 0;  // index of rows_.front()
    std::deque<MonitorRow> rows_;
};

}  // namespace vs
