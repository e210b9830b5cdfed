#pragma once
// Worker threads never touch the user interface: everything they want shown
// becomes a monitor event in the MonitorQueue, which the interface thread
// (or the daemon's consumer) drains in bulk.
//
// Memory stays bounded however slowly the queue is drained. A busy download
// would otherwise add an event per relayed block, so two kinds of event are
// merged into one still waiting in the queue:
//  - a progress update (a row's size, received bytes and percentage, nothing
//    else) updates the waiting progress update of the same row; its values
//    are the newer ones, which is what applying both in turn would have left;
//  - a traffic count is added to the waiting count of the same source and
//    user.
// Events that add rows, log lines, states, answers and rule hits are never
// merged, dropped or reordered.

#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>
#include <variant>
#include <vector>

#include "rules/rule_list.h"

namespace vs::proxy {

// A request got its row in the monitor; rows are numbered in queue order.
struct RowAdded {
    std::int32_t row = 0;
    std::string url;  // as the browser wrote it
};

// What changed about a row; whatever is unset stays as it was.
struct RowUpdate {
    std::int32_t row = 0;
    std::optional<std::int32_t> image;  // what kind of answer: 0 plain, 1 304, 2 from the
                                        // cache, 3 refused, 4 missing or failed
    std::optional<std::int32_t> state;  // 1 answered below 300, 2 otherwise or ended
    std::optional<std::string> answer;  // "200 OK", "200 From cache gzip", ...
    std::optional<std::int64_t> size;   // the announced length
    std::optional<std::int64_t> received;
    std::optional<std::int32_t> percent;

    bool ProgressOnly() const { return !image && !state && !answer; }
};

// A line of the log: its heading and its body (often a message head).
struct LogEntry {
    std::string heading;
    std::string body;
};

// One or more hits of a rule row, named by its identity, so that it lands
// on that row wherever the list's edits have moved it since.
struct RuleHit {
    ListKind list = ListKind::Black;
    RuleRow::Id row = 0;
    std::int32_t position = -1;  // where the row stood when it matched
    std::int64_t hits = 1;
};

// Bytes a user took from the internet or from the cache.
struct TrafficCount {
    bool fromCache = false;
    std::int32_t user = -1;  // row of the users list at admission; -1 for a refused browser
    std::string userName;    // that row's name, which finds the statistics column
    std::uint64_t userId = 0;  // that row's identity, which finds its name now
    std::int64_t bytes = 0;
};

using MonitorEvent = std::variant<RowAdded, RowUpdate, LogEntry, RuleHit, TrafficCount>;

class MonitorQueue {
public:
    // Appends (or merges, see above) under the queue's lock.
    void Add(MonitorEvent event);
    // Moves every waiting event out in queue order, under one hold of the
    // lock.
    std::vector<MonitorEvent> TakeAll();
    std::size_t Size() const;

    // Held while a new row is numbered and added, so row numbers follow
    // queue order.
    std::mutex& Lock() { return lock_; }
    void AddLocked(MonitorEvent event);

private:
    bool MergedProgress(const RowUpdate& update);
    bool MergedCount(const TrafficCount& count);

    mutable std::mutex lock_;
    std::vector<MonitorEvent> events_;
    std::unordered_map<std::int32_t, std::size_t> progressAt_;  // row -> event
    std::unordered_map<std::int64_t, std::size_t> countAt_;     // source, user -> event
};

}  // namespace vs::proxy
