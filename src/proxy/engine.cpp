#include "proxy/engine.h"

namespace vs::proxy {

RuleList& RuleLists::Of(ListKind kind) {
    switch (kind) {
        case ListKind::Black:
            return black;
        case ListKind::Cache:
            return cache;
        case ListKind::NoReq:
            return noReq;
        case ListKind::OnlyFromCache:
            return onlyFromCache;
        case ListKind::UrlConverter:
            break;
    }
    return urlConverter;
}

Engine::Engine(const Snapshot<ProxyConfig>& config, RuleLists& lists, const Clock& clock)
    : config_(config), lists_(lists), clock_(clock) {}

std::int32_t Engine::NextConnectionNo() {
    std::lock_guard guard(counterLock_);
    return connectionCounter_++;
}

std::int32_t Engine::NextRequestNo() {
    std::lock_guard guard(monitorRowLock_);
    return static_cast<std::int32_t>(requestCounter_++ & 0xffffffff);
}

std::int32_t Engine::SendNewConnectionToList(std::string url) {
    TCmd entry;
    entry.Text = std::move(url);
    std::lock_guard rowGuard(monitorRowLock_);
    entry.Index = monitorRowCounter_;
    {
        std::lock_guard queueGuard(queue_.Lock());
        queue_.AddLocked(std::move(entry));
    }
    return monitorRowCounter_++;
}

int Engine::FindRuleCountingHit(const RuleList& list, std::string_view subject, CmdKind hitKind) {
    const auto snapshot = list.Snapshot();
    const int row = FindRule(*snapshot, subject);
    if (row >= 0) {
        QueueHit(hitKind, *snapshot->rows[static_cast<std::size_t>(row)], row);
    }
    return row;
}

void Engine::QueueHit(CmdKind hitKind, const RuleRow& row, int position) {
    TCmd hit;
    hit.Kind = hitKind;
    hit.Index = position;
    hit.Value = 1;
    hit.Row = row.Identity();
    AddCmdListItem(std::move(hit));
}

void Engine::PutToLog(std::string header, std::string body) {
    if (!ProducingEnabled.load()) {
        return;
    }
    TCmd entry;
    entry.Kind = kCmdLog;
    entry.Text = std::move(header);
    entry.Answer = std::move(body);
    queue_.Add(std::move(entry));
}

}  // namespace vs::proxy
