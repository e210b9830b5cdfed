#pragma once
// Worker threads never touch the user interface: everything they want shown
// becomes a TCmd entry in the MonitorQueue, which the interface thread (or
// the daemon's consumer) drains in bulk.
//
// Memory stays bounded however slowly the queue is drained. A busy download
// would otherwise add an entry per relayed block, so two kinds of entry are
// merged into one still waiting in the queue:
//  - a progress entry (kind 0 carrying only Size, ReceivedBytes, Progress)
//    updates the waiting progress entry of the same row; its values are the
//    newer ones, which is what applying both in turn would have left;
//  - a traffic count (kinds 11, 12) is added to the waiting count of the same
//    kind and user, as long as the sum fits the entry.
// Entries that add rows, log lines, states, answers and rule hits are never
// merged, dropped or reordered.

#include <cstdint>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

namespace vs::proxy {

// Kinds of monitor entries.
enum CmdKind : std::int32_t {
    kCmdMonitorRow = 0,
    kCmdLog = 1,
    kCmdBlackListHit = 2,
    kCmdCacheListHit = 3,
    kCmdNoReqListHit = 4,
    kCmdOnlyFromCacheListHit = 5,
    kCmdUrlConverterHit = 6,
    kCmdInternetBytes = 11,
    kCmdCacheBytes = 12,
};

struct TCmd {
    std::int32_t Kind = kCmdMonitorRow;
    std::int32_t Index = -1;
    std::int32_t Value = -1;
    std::int32_t Progress = -1;
    std::int32_t State = -1;
    std::int64_t Size = -1;
    std::int64_t ReceivedBytes = -1;
    std::string Text;
    std::string Answer;
    std::uint8_t Follow = 0;
    // Rule hits (kinds 2 to 6): the row that matched, whatever position it
    // has when the hit is applied; Value is the number of hits to add.
    std::uint64_t Row = 0;

    bool IsProgressOnly() const;
};

class MonitorQueue {
public:
    // AddCmdListItem: appends (or merges, see above) under the queue's lock.
    void Add(TCmd entry);
    // Moves every waiting entry out in queue order, under one hold of the
    // lock.
    std::vector<TCmd> TakeAll();
    std::size_t Size() const;

    // Held by SendNewConnectionToList around numbering and adding, so row
    // numbers follow queue order.
    std::mutex& Lock() { return lock_; }
    void AddLocked(TCmd entry);

private:
    mutable std::mutex lock_;
    std::vector<TCmd> entries_;
    std::unordered_map<std::int32_t, std::size_t> progressAt_;  // row -> entry
    std::unordered_map<std::int64_t, std::size_t> countAt_;     // kind, user -> entry
};

}  // namespace vs::proxy
