#include "shell/listener_control.h"

#include <system_error>
#include <utility>

#include "shell/settings_store.h"

namespace vs {

namespace {

// A parent no connect reaches: requests meant for it get the 502 page.
constexpr int kNoParentPort = 0;

}  // namespace

ListenerControl::ListenerControl(net::MappedPortServer& server, net::ListenerSettings listener,
                                 const net::HostLookup& hosts)
    : server_(server), listener_(std::move(listener)), hosts_(hosts) {}

bool ListenerControl::ParentIsThisProxy(const ListenerTarget& target) const {
    if (target.parentPort != server_.BoundPort()) {
        return false;
    }
    try {
        for (const std::string& address : hosts_.Resolve(target.parentHost)) {
            if (net::ReachesLoopback(address) || hosts_.IsOwnAddress(address)) {
                return true;
            }
        }
    } catch (const net::ResolveError&) {
        // Not this machine, as far as anyone can tell: a connect fails later.
    }
    return false;
}

ListenerReport ListenerControl::StartLocked(const ListenerTarget& target, bool stopTimedOut) {
    ListenerReport report;
    report.target = target;
    report.stopTimedOut = stopTimedOut;
    if (stopTimedOut) {
        report.message = net::TerminateTimeout().what();
    }
    // No parent until it is known not to be this proxy: forwarding to its
    // own port, each connection would open another until no thread is left.
    HoldParent();
    if (target.port < 1 || target.port > 65535) {
        ForgetParent();
        report.message = NoSuchPortMessage(target.port);
        return report;
    }
    net::ListenerSettings settings = listener_;
    settings.port = static_cast<std::uint16_t>(target.port);
    server_.SetListener(settings);
    try {
        server_.Start();
        report.listening = true;
    } catch (const net::SocketError& e) {
        report.message = ListenFailureMessage(target.port, e.Error());
    } catch (const std::system_error& e) {
        report.message = ListenFailureMessage(target.port, e.code().value());
    } catch (const std::exception&) {
        report.message = ListenFailureMessage(target.port, 0);
    }
    if (!report.listening) {
        ForgetParent();
        return report;
    }
    if (auto loop = MapParent(target)) {
        report.message = std::move(loop);
    }
    return report;
}

std::optional<std::string> ListenerControl::MapParent(const ListenerTarget& target) {
    HoldParent();
    if (ParentIsThisProxy(target)) {
        ForgetParent();
        return ParentLoopMessage(target.parentHost, target.parentPort);
    }
    server_.SetMapped(target.parentHost, target.parentPort);
    return std::nullopt;
}

ListenerReport ListenerControl::StartNow(const ListenerTarget& target) {
    wanted_ = target;
    ListenerReport report = StartLocked(target, false);
    std::lock_guard lock(lock_);
    listening_ = report.listening;
    boundPort_ = report.listening ? server_.BoundPort() : 0;
    boundEndpoint_ = report.listening ? server_.BoundEndpoint() : std::string();
    return report;
}

void ListenerControl::Restart(const ListenerTarget& target) {
    Request(target, true);
}

void ListenerControl::Retarget(const ListenerTarget& target) {
    Request(target, false);  // a restart still to run takes it up
}

void ListenerControl::Request(const ListenerTarget& target, bool restart) {
    {
        std::lock_guard lock(lock_);
        pending_ = target;
        restartPending_ = restartPending_ || restart;
    }
    // Requests made while one runs queue jobs that find the latest target
    // taken already and return.
    restarts_.Post([this] { RestartPending(); });
    // Only once on its way: a restart that could not start (no thread to run
    // it) leaves the next request to ask again.
    wanted_ = target;
}

void ListenerControl::HoldParent() {
    server_.HoldMapped();
}

void ListenerControl::ForgetParent() {
    server_.SetMapped(std::string(), kNoParentPort);
}

void ListenerControl::RestartPending() {
    std::unique_lock lock(lock_);
    if (!pending_) {
        return;
    }
    const ListenerTarget target = *pending_;
    pending_.reset();
    if (!std::exchange(restartPending_, false)) {
        lock.unlock();
        std::optional<std::string> loop = MapParent(target);
        lock.lock();
        if (loop) {
            report_ = ListenerReport{target, listening_, false, std::move(loop)};
        }
        return;
    }
    listening_ = false;
    lock.unlock();
    bool timedOut = false;
    try {
        server_.Stop(net::StopWaitsFor::ThisRun);
    } catch (const net::TerminateTimeout&) {
        timedOut = true;
    }
    ListenerReport report = StartLocked(target, timedOut);
    const std::uint16_t port = report.listening ? server_.BoundPort() : 0;
    std::string endpoint = report.listening ? server_.BoundEndpoint() : std::string();
    lock.lock();
    listening_ = report.listening;
    boundPort_ = port;
    boundEndpoint_ = std::move(endpoint);
    report_ = std::move(report);
}

bool ListenerControl::Busy() const {
    return !restarts_.Idle();
}

std::optional<ListenerReport> ListenerControl::TakeReport() {
    std::lock_guard lock(lock_);
    return std::exchange(report_, std::nullopt);
}

void ListenerControl::StopNow() {
    restarts_.Wait();  // a restart runs to its end first
    {
        std::lock_guard lock(lock_);
        listening_ = false;
        boundPort_ = 0;
        boundEndpoint_.clear();
    }
    server_.Stop();
}

bool ListenerControl::Listening() const {
    std::lock_guard lock(lock_);
    return listening_;
}

std::uint16_t ListenerControl::BoundPort() const {
    std::lock_guard lock(lock_);
    return boundPort_;
}

std::string ListenerControl::BoundEndpoint() const {
    std::lock_guard lock(lock_);
    return boundEndpoint_;
}

}  // namespace vs
