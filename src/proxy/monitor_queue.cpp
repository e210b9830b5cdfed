#include "proxy/monitor_queue.h"

namespace vs::proxy {

void MonitorQueue::Add(MonitorEvent event) {
    std::lock_guard guard(lock_);
    AddLocked(std::move(event));
}

bool MonitorQueue::MergedProgress(const RowUpdate& update) {
    auto [at, fresh] = progressAt_.try_emplace(update.row, events_.size());
    if (fresh) {
        return false;
    }
    RowUpdate& waiting = std::get<RowUpdate>(events_[at->second]);
    if (update.size) {
        waiting.size = update.size;
    }
    if (update.received) {
        waiting.received = update.received;
    }
    if (update.percent) {
        waiting.percent = update.percent;
    }
    return true;
}

bool MonitorQueue::MergedCount(const TrafficCount& count) {
    const std::int64_t key =
        (std::int64_t{count.fromCache} << 32) ^ static_cast<std::uint32_t>(count.user);
    auto [at, fresh] = countAt_.try_emplace(key, events_.size());
    if (!fresh) {
        auto& waiting = std::get<TrafficCount>(events_[at->second]);
        if (waiting.userName == count.userName && waiting.userId == count.userId) {
            waiting.bytes += count.bytes;
            return true;
        }
        at->second = events_.size();  // the row was renamed meanwhile
    }
    return false;
}

void MonitorQueue::AddLocked(MonitorEvent event) {
    if (const auto* update = std::get_if<RowUpdate>(&event);
        update != nullptr && update->ProgressOnly() && MergedProgress(*update)) {
        return;
    }
    if (const auto* count = std::get_if<TrafficCount>(&event);
        count != nullptr && MergedCount(*count)) {
        return;
    }
    events_.push_back(std::move(event));
}

std::vector<MonitorEvent> MonitorQueue::TakeAll() {
    std::vector<MonitorEvent> taken;
    std::lock_guard guard(lock_);
    taken.swap(events_);
    progressAt_.clear();
    countAt_.clear();
    return taken;
}

std::size_t MonitorQueue::Size() const {
    std::lock_guard guard(lock_);
    return events_.size();
}

}  // namespace vs::proxy
