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
    // A row renamed since its connection was admitted counts under its name
    // now, which its column has taken: under the old one the bytes would be
    // lost, or land in the column of another row given that name.
    std::string_view name = count.userName;
    const auto users = lists_.users.Snapshot();  // kept while name may point into it
    if (count.userId != 0) {
        const auto row = std::find_if(users->rows.begin(), users->rows.end(),
                                      [&](const UserRow& r) { return r.id == count.userId; });
        if (row != users->rows.end() && !row->name.empty()) {
            name = row->name;
        }
    }
    auto error =
        statistics_->AddTraffic(count.fromCache, count.user, name, count.bytes, clock_.Now());
    if (error && !count.fromCache) {
        Log(error->first, error->second);
    }
}

}  // namespace vs
