#pragma once
// The consumer side of the monitor queue: one pass takes every waiting
// entry under one hold of the queue's lock and applies them in order to the
// monitor, the rule lists' hit counts, the traffic counters and the log.

#include <cstdint>
#include <functional>
#include <string_view>

#include "proxy/engine.h"
#include "proxy/log_sink.h"
#include "shell/monitor_model.h"

namespace vs {

struct TrafficCounters {
    std::int64_t InternetBytesTotal = 0;
    std::int64_t CacheBytesTotal = 0;
    std::int64_t InternetBytesThisSecond = 0;
};

class QueueConsumer {
public:
    QueueConsumer(proxy::MonitorQueue& queue, MonitorModel& monitor, proxy::RuleLists& lists,
                  proxy::LogSink log);

    // One pass. Returns the number of entries applied.
    std::size_t Drain();

    const TrafficCounters& Traffic() const { return traffic_; }

private:
    void Apply(const proxy::TCmd& entry);

    proxy::MonitorQueue& queue_;
    MonitorModel& monitor_;
    proxy::RuleLists& lists_;
    proxy::LogSink log_;
    TrafficCounters traffic_;
};

}  // namespace vs
