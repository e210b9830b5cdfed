#include "shell/queue_consumer.h"

namespace vs {

using namespace proxy;

QueueConsumer::QueueConsumer(MonitorQueue& queue, MonitorModel& monitor, RuleLists& lists,
                             LogSink log)
    : queue_(queue), monitor_(monitor), lists_(lists), log_(std::move(log)) {}

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
            if (auto error = monitor_.Apply(entry); error && log_) {
                log_(error->header, error->body);
            }
            break;
        case kCmdLog:
            if (log_) {
                log_(entry.Text, entry.Answer);
            }
            break;
        case kCmdBlackListHit:
            lists_.black.ApplyHit(entry.Index, entry.Value);
            break;
        case kCmdCacheListHit:
            lists_.cache.ApplyHit(entry.Index, entry.Value);
            break;
        case kCmdNoReqListHit:
            lists_.noReq.ApplyHit(entry.Index, entry.Value);
            break;
        case kCmdOnlyFromCacheListHit:
            lists_.onlyFromCache.ApplyHit(entry.Index, entry.Value);
            break;
        case kCmdUrlConverterHit:
            lists_.urlConverter.ApplyHit(entry.Index, entry.Value);
            break;
        case kCmdInternetBytes:
            traffic_.InternetBytesTotal += entry.Value;
            traffic_.InternetBytesThisSecond += entry.Value;
            break;
        case kCmdCacheBytes:
            traffic_.CacheBytesTotal += entry.Value;
            break;
        default:
            break;  // kinds nobody produces are skipped
    }
}

}  // namespace vs
