#pragma once
// The consumer side of the monitor queue: one pass takes every waiting
// event under one hold of the queue's lock and applies them in order to the
// monitor, the rule lists' hit counts, the traffic counters and the log.

#include <cstdint>
#include <functional>
#include <string_view>

#include "base/clock.h"
#include "proxy/engine.h"
#include "proxy/log_sink.h"
#include "shell/monitor_model.h"

namespace vs {

// Bytes moved since start, for the labels, the chart and the tray.
struct TrafficCounters {
    std::int64_t fromInternet = 0;
    std::int64_t fromCache = 0;
    std::int64_t fromInternetThisSecond = 0;
};

class StatTable;

class QueueConsumer {
public:
    // `statistics` may be null (tests of the engine alone).
    QueueConsumer(proxy::MonitorQueue& queue, MonitorModel& monitor, proxy::RuleLists& lists,
                  proxy::LogSink log, StatTable* statistics = nullptr,
                  const Clock& clock = DefaultClock());

    // One pass. Returns the number of events applied.
    std::size_t Drain();

    const TrafficCounters& Traffic() const { return traffic_; }
    // The internet bytes since the last call (one chart sample a second).
    std::int64_t TakeSecondSample();

private:
    void Apply(const proxy::RowAdded& added);
    void Apply(const proxy::RowUpdate& update);
    void Apply(const proxy::LogEntry& entry);
    void Apply(const proxy::RuleHit& hit);
    void Apply(const proxy::TrafficCount& count);
    void Log(std::string_view header, std::string_view body);

    proxy::MonitorQueue& queue_;
    MonitorModel& monitor_;
    proxy::RuleLists& lists_;
    proxy::LogSink log_;
    StatTable* statistics_;
    const Clock& clock_;
    TrafficCounters traffic_;
};

}  // namespace vs
