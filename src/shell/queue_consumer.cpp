#include "shell/queue_consumer.h"

#include "shell/statistics.h"

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
    std::int64_t sample = traffic_.InternetBytesThisSecond;
    traffic_.InternetBytesThisSecond = 0;
    return sample;
}

std::size_t QueueConsumer::Drain() {
    std::vector<TCmd> entries = queue_.TakeAll();
    for (const TCmd& entry : entries) {
        Apply(entry);
    }
    return entries.size();
}

void QueueConsumer::Apply(const TCmd& entry) {
    switch (entry.Kind) {
        case kCmdMonitorRow:
            if (auto error = monitor_.Apply(entry)) {
                Log(error->header, error->body);
            }
            break;
        case kCmdLog:
            Log(entry.Text, entry.Answer);
            break;
        case kCmdBlackListHit:
            lists_.black.AddHits(entry.Row, entry.Value);
            break;
        case kCmdCacheListHit:
            lists_.cache.AddHits(entry.Row, entry.Value);
            break;
        case kCmdNoReqListHit:
            lists_.noReq.AddHits(entry.Row, entry.Value);
            break;
        case kCmdOnlyFromCacheListHit:
            lists_.onlyFromCache.AddHits(entry.Row, entry.Value);
            break;
        case kCmdUrlConverterHit:
            lists_.urlConverter.AddHits(entry.Row, entry.Value);
            break;
        case kCmdInternetBytes:
            traffic_.InternetBytesTotal += entry.Value;
            traffic_.InternetBytesThisSecond += entry.Value;
            if (statistics_ != nullptr) {
                if (auto error =
                        statistics_->AddTraffic(false, entry.Index, entry.Value, clock_.Now())) {
                    Log(error->first, error->second);
                }
            }
            break;
        case kCmdCacheBytes:
            traffic_.CacheBytesTotal += entry.Value;
            if (statistics_ != nullptr) {
                statistics_->AddTraffic(true, entry.Index, entry.Value, clock_.Now());
            }
            break;
        default:
            break;  // kinds nobody produces are skipped
    }
}

}  // namespace vs
