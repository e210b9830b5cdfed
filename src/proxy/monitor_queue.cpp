#include "proxy/monitor_queue.h"

#include <limits>

namespace vs::proxy {

bool TCmd::IsProgressOnly() const {
    return Kind == kCmdMonitorRow && Text.empty() && Answer.empty() && Value < 0 && State < 0;
}

void MonitorQueue::Add(TCmd entry) {
    std::lock_guard guard(lock_);
    AddLocked(std::move(entry));
}

void MonitorQueue::AddLocked(TCmd entry) {
    if (entry.IsProgressOnly() && entry.Index >= 0) {
        auto [at, fresh] = progressAt_.try_emplace(entry.Index, entries_.size());
        if (!fresh) {
            TCmd& waiting = entries_[at->second];
            if (entry.Size >= 0) {
                waiting.Size = entry.Size;
            }
            if (entry.ReceivedBytes >= 0) {
                waiting.ReceivedBytes = entry.ReceivedBytes;
            }
            if (entry.Progress >= 0) {
                waiting.Progress = entry.Progress;
            }
            return;
        }
    } else if ((entry.Kind == kCmdInternetBytes || entry.Kind == kCmdCacheBytes) &&
               entry.Value >= 0) {
        std::int64_t key =
            (static_cast<std::int64_t>(entry.Kind) << 32) ^ static_cast<std::uint32_t>(entry.Index);
        auto [at, fresh] = countAt_.try_emplace(key, entries_.size());
        if (!fresh) {
            TCmd& waiting = entries_[at->second];
            if (std::int64_t{waiting.Value} + entry.Value <=
                std::numeric_limits<std::int32_t>::max()) {
                waiting.Value += entry.Value;
                return;
            }
            at->second = entries_.size();  // full: later counts join this one
        }
    }
    entries_.push_back(std::move(entry));
}

std::vector<TCmd> MonitorQueue::TakeAll() {
    std::vector<TCmd> taken;
    std::lock_guard guard(lock_);
    taken.swap(entries_);
    progressAt_.clear();
    countAt_.clear();
    return taken;
}

std::size_t MonitorQueue::Size() const {
    std::lock_guard guard(lock_);
    return entries_.size();
}

}  // namespace vs::proxy
