#pragma once
// What all connections of one running proxy share: the monitor queue, the
// counters that number connections, requests and monitor rows, the two
// switches the application flips at shutdown, read access to the published
// configuration and rule lists, and the host lookup. One Engine per running
// proxy, owned by the service that runs it; tests make their own.

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "base/clock.h"
#include "base/snapshot.h"
#include "net/host_lookup.h"
#include "proxy/monitor_queue.h"
#include "proxy/proxy_config.h"
#include "proxy/stop_list.h"
#include "rules/rule_list.h"
#include "rules/users_list.h"

namespace vs::proxy {

// The five rule lists and the users list, as the request path reads them.
struct RuleLists {
    RuleList black{ListKind::Black};
    RuleList cache{ListKind::Cache};
    RuleList noReq{ListKind::NoReq};
    RuleList onlyFromCache{ListKind::OnlyFromCache};
    RuleList urlConverter{ListKind::UrlConverter};
    UsersList users;

    RuleList& Of(ListKind kind);
};

class Engine {
public:
    Engine(const Snapshot<ProxyConfig>& config, RuleLists& lists,
           const Clock& clock = DefaultClock(),
           const net::HostLookup& hosts = net::SystemHostLookup());

    // ConnectionCounter under CounterLock.
    std::int32_t NextConnectionNo();
    // RequestCounter under MonitorRowLock; the low 32 bits.
    std::int32_t NextRequestNo();
    // Queues the monitor row of a request for url; returns its number.
    std::int32_t AddMonitorRow(std::string url);
    // A log line, queued only while producing is enabled.
    void PutToLog(std::string heading, std::string body);
    void Post(MonitorEvent event) { queue_.Add(std::move(event)); }
    // The first enabled row of `list` that matches `subject`, or where none
    // does, the page's other spelling (`otherSpelling()`, made only then and
    // tried only where it differs: a list means a page however it is
    // spelled); -1 when neither meets a rule. A match queues one hit of that
    // row.
    int FindRuleCountingHit(const RuleList& list, std::string_view subject,
                            const std::function<std::string()>& otherSpelling = nullptr);
    // One hit of `row` of `list`, at `position` when it matched.
    void QueueHit(ListKind list, const RuleRow& row, int position);

    // An entry the file system refused (`error`: a full disk, a folder made
    // read-only) and one stored. The log is told when refusals begin and
    // when entries are stored again, not once per answer: on a nearly full
    // disk small entries still fit between refused large ones.
    void CacheWriteFailed(int error);
    void CacheWriteSucceeded();

    MonitorQueue& Queue() { return queue_; }
    proxy::StopList& StopList() { return stopList_; }
    // The configuration current now; a request keeps the one it began with.
    std::shared_ptr<const ProxyConfig> Config() const { return config_.Get(); }
    RuleLists& Lists() { return lists_; }
    const Clock& TimeSource() const { return clock_; }
    // Where direct requests' host names lead, and whose addresses are the
    // proxy host's own.
    const net::HostLookup& Hosts() const { return hosts_; }
    // This running proxy's entry in the Via field of the requests it sends
    // to a parent ("1.1 vellostore-3fa9c2d1", a new number each run): a
    // request that arrives with it has gone round a loop of proxies.
    const std::string& HopName() const { return hopName_; }

    // Set once the application runs; cleared when it is asked to close.
    std::atomic<bool> producingEnabled{true};
    // Set when the application closes: end-of-request entries stop.
    std::atomic<bool> closing{false};

private:
    const Snapshot<ProxyConfig>& config_;
    RuleLists& lists_;
    const Clock& clock_;
    const net::HostLookup& hosts_;
    const std::string hopName_;

    struct CacheWriteTrouble {
        bool ongoing = false;
        std::int64_t refused = 0;  // answers not stored since it began
        Clock::TimePoint lastRefusal{};
        // Each reason is told once, and again under settings taken since:
        // a full disk whose folder the user then deletes needs other help
        // than the first line gave, and a reload that made the folder again
        // may meet it deleted once more.
        std::vector<int> toldReasons;
        std::weak_ptr<const ProxyConfig> toldUnder;
    };
    std::mutex cacheTroubleLock_;
    CacheWriteTrouble cacheTrouble_;

    // Numbers for the log start again at 0 after the largest an int32
    // holds (weeks of a busy LAN), rather than turn negative.
    std::mutex counterLock_;
    std::uint32_t connectionCounter_ = 0;
    std::mutex monitorRowLock_;
    std::uint32_t requestCounter_ = 0;
    std::int32_t monitorRowCounter_ = 0;

    MonitorQueue queue_;
    proxy::StopList stopList_;
};

}  // namespace vs::proxy
