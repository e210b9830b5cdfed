#include "shell/queue_consumer.h"

#include "shell/statistics.h"

#include <algorithm>
#include <utility>
#include <variant>

namespace vs {

using namespace proxy;

QueueConsumer::QueueConsumer(MonitorQueue& queue, MonitorModel& monitor, RuleLists& lists,
                             LogSink log, StatTable* statistics, const Clock& clock)
    : queue_(queue),
      monitor_(monitor),
      lists_(lists),
      log_(std::move(log)),
      statistics_(statistics),
      clock_(clock) {}

void QueueConsumer::Log(std::string_view header, std::string_view body) {
    if (log_) {
        log_(header, body);
    }
}

std::int64_t QueueConsumer::TakeSecondSample() {
    return std::exchange(traffic_.fromInternetThisSecond, 0);
}

std::size_t QueueConsumer::Drain() {
    std::vector<MonitorEvent> events = queue_.TakeAll();
    for (const MonitorEvent& event : events) {
        std::visit([this](const auto& e) { Apply(e); }, event);
    }
    return events.size();
}

void QueueConsumer::Apply(const RowAdded& added) {
    monitor_.Apply(added);
}

void QueueConsumer::Apply(const RowUpdate& update) {
    if (auto error = monitor_.Apply(update)) {
        Log(error->header, error->body);
    }
}

void QueueConsumer::Apply(const LogEntry& entry) {
    Log(entry.heading, entry.body);
}

void QueueConsumer::Apply(const RuleHit& hit) {
    lists_.Of(hit.list).AddHits(hit.row, hit.hits);
}

void QueueConsumer::Apply(const TrafficCount& count) {
    if (count.fromCache) {
        traffic_.fromCache += count.bytes;
    } else {
        traffic_.fromInternet += count.bytes;
        traffic_.fromInternetThisSecond += count.bytes;
    }
    if (statistics_ == nullptr) {
        return;
    }
    // The row the connection was admitted as counts where it stands now:
    // renamed, its name cleared, or given another row's name, it keeps its
    // own column. One no longer there (deleted, or the list read again from
    // its file, which numbers its rows afresh) counts under the name it had.
    std::string_view name = count.userName;
    std::optional<std::size_t> row;
    const auto users = lists_.users.Snapshot();  // kept while name may point into it
    if (count.userId != 0) {
        const auto found = std::find_if(users->rows.begin(), users->rows.end(),
                                        [&](const UserRow& r) { return r.id == count.userId; });
        if (found != users->rows.end()) {
            row = static_cast<std::size_t>(found - users->rows.begin());
            name = found->name;
        }
    }
    auto error =
        statistics_->AddTraffic(count.fromCache, count.user, name, count.bytes, clock_.Now(), row);
    if (error && !count.fromCache) {
        Log(error->first, error->second);
    }
}

}  // namespace vs
