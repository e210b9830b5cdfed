#include "proxy/engine.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <random>
#include <system_error>
#include <utility>

#include "base/cp1251.h"

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

namespace {

std::string NewHopName() {
    char name[32];
    std::snprintf(name, sizeof name, "1.1 vellostore-%08x", std::random_device{}());
    return name;
}

}  // namespace

Engine::Engine(const Snapshot<ProxyConfig>& config, RuleLists& lists, const Clock& clock,
               const net::HostLookup& hosts)
    : config_(config), lists_(lists), clock_(clock), hosts_(hosts), hopName_(NewHopName()) {}

std::int32_t Engine::NextConnectionNo() {
    std::lock_guard guard(counterLock_);
    return static_cast<std::int32_t>(connectionCounter_++ & 0x7fffffff);
}

std::int32_t Engine::NextRequestNo() {
    std::lock_guard guard(monitorRowLock_);
    return static_cast<std::int32_t>(requestCounter_++ & 0x7fffffff);
}

std::int32_t Engine::AddMonitorRow(std::string url) {
    std::lock_guard rowGuard(monitorRowLock_);
    {
        std::lock_guard queueGuard(queue_.Lock());
        queue_.AddLocked(RowAdded{monitorRowCounter_, std::move(url)});
    }
    return monitorRowCounter_++;
}

int Engine::FindRuleCountingHit(const RuleList& list, std::string_view subject,
                                const std::function<std::string()>& otherSpelling) {
    const auto snapshot = list.Snapshot();
    int row = FindRule(*snapshot, subject, list.Info().undecided);
    if (row < 0 && otherSpelling && !snapshot->rows.empty()) {
        if (const std::string other = otherSpelling(); other != subject) {
            row = FindRule(*snapshot, other, list.Info().undecided);
        }
    }
    if (row >= 0) {
        QueueHit(list.Kind(), *snapshot->rows[static_cast<std::size_t>(row)], row);
    }
    return row;
}

void Engine::QueueHit(ListKind list, const RuleRow& row, int position) {
    Post(RuleHit{list, row.Identity(), position, 1});
}

void Engine::PutToLog(std::string heading, std::string body) {
    if (!producingEnabled.load()) {
        return;
    }
    Post(LogEntry{std::move(heading), std::move(body)});
}

// A trouble is over once entries are stored again after a quiet minute:
// a success between two refusals says nothing about the disk.
constexpr auto kCacheTroubleQuiet = std::chrono::minutes(1);

void Engine::CacheWriteFailed(int error) {
    const Clock::TimePoint now = clock_.Now();
    const std::shared_ptr<const ProxyConfig> config = Config();
    {
        std::lock_guard guard(cacheTroubleLock_);
        CacheWriteTrouble& trouble = cacheTrouble_;
        const bool sameSettings =
            !trouble.toldUnder.owner_before(config) && !config.owner_before(trouble.toldUnder);
        if (!sameSettings) {
            trouble.toldReasons.clear();
            trouble.toldUnder = config;
        }
        ++trouble.refused;
        trouble.lastRefusal = now;
        trouble.ongoing = true;
        if (std::ranges::find(trouble.toldReasons, error) != trouble.toldReasons.end()) {
            return;
        }
        trouble.toldReasons.push_back(error);
    }
    const std::string folder = config->cacheDir.Root().string();
    // The folder itself gone is not undone by freeing space: it is made
    // again when settings are taken (a start; the daemon's SIGHUP, which
    // ends the desktop program instead), never behind the user's back on
    // what may be the wrong disk (one not mounted).
    std::error_code unknown;
    const bool folderGone =
        error == ENOENT && !std::filesystem::exists(folder, unknown) && !unknown;
    PutToLog("Cache entries are not stored: " +
                 cp1251::FromUtf8(std::generic_category().message(error)) + " (" +
                 cp1251::FromUtf8(folder) + ")",
             folderGone ? "Answers still reach the browsers whole. The cache folder is missing: "
                          "create it again, or restart the program, which makes it."
                        : "Answers still reach the browsers whole. Entries are stored again "
                          "once the cache folder takes them.");
}

void Engine::CacheWriteSucceeded() {
    std::int64_t refused = 0;
    {
        std::lock_guard guard(cacheTroubleLock_);
        if (!cacheTrouble_.ongoing ||
            clock_.Now() - cacheTrouble_.lastRefusal < kCacheTroubleQuiet) {
            return;
        }
        refused = cacheTrouble_.refused;
        cacheTrouble_ = {};
    }
    PutToLog(
        "Cache entries are stored again, " + std::to_string(refused) + " answers were not stored",
        {});
}

}  // namespace vs::proxy
