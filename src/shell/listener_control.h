#pragma once
// Starting and restarting the listener for the application thread. Stopping
// waits for every browser connection to end, up to the server's terminate
// wait (ten seconds), so a restart runs on a thread of its own and reports
// when it is done; the window stays responsive and the settings it applies
// reach the workers at once, whatever the restart is still waiting for.

#include <cstdint>
#include <mutex>
#include <optional>
#include <string>

#include "net/connection_server.h"
#include "net/host_lookup.h"
#include "shell/background_jobs.h"

namespace vs {

// What the listener listens on and forwards to.
struct ListenerTarget {
    int port = 8080;  // 0 picks a free port (tests)
    std::string parentHost;
    int parentPort = 8080;
    bool operator==(const ListenerTarget&) const = default;
};

// The end of a start or restart.
struct ListenerReport {
    ListenerTarget target;
    bool listening = false;
    // Some connections were still running when the stop gave up waiting;
    // they go on, the new listener runs beside them.
    bool stopTimedOut = false;
    // For the user: the port cannot be listened on, the parent is the
    // proxy itself, or the stop timed out.
    std::optional<std::string> message;
};

class ListenerControl {
public:
    // `listener` gives everything but the port (address, queue, waits);
    // `hosts` tells whether the parent is this machine.
    ListenerControl(net::MappedPortServer& server, net::ListenerSettings listener,
                    const net::HostLookup& hosts = net::SystemHostLookup());
    ListenerControl(const ListenerControl&) = delete;
    ListenerControl& operator=(const ListenerControl&) = delete;

    // Starts on the caller's thread (nothing to stop yet: binding is quick).
    ListenerReport StartNow(const ListenerTarget& target);
    // Stops and starts on `target` in the background and returns at once.
    // A request while a restart runs is taken up when that one is done; only
    // the latest counts.
    void Restart(const ListenerTarget& target);
    // Forwards to the target's parent from now on, in the background and
    // without a restart: for a parent not in use, whose address concerns no
    // running connection. Reported only when the parent is this proxy.
    void Retarget(const ListenerTarget& target);
    // No parent until the one moved to is known not to be this proxy (a
    // Retarget or Restart to follow): requests meanwhile wait for it rather
    // than reach the parent before with the new one's credentials, or get
    // the 502 page (up to net::MappedTarget::kLongestHold).
    void HoldParent();
    // True while a restart is requested or running.
    bool Busy() const;
    // The report of the last restart that ended, once.
    std::optional<ListenerReport> TakeReport();
    // Waits for a running restart, then stops on the caller's thread (the
    // shutdown). Throws net::TerminateTimeout as the server does.
    void StopNow();

    // As of the last start or restart that ended.
    bool Listening() const;
    std::uint16_t BoundPort() const;
    // "[::]:8080" (both families) or "0.0.0.0:8080"; empty when not listening.
    std::string BoundEndpoint() const;
    // What the last start or restart aimed at (the one running included).
    const ListenerTarget& Target() const { return wanted_; }

private:
    // A parent no connect reaches: requests for it get the 502 page.
    void ForgetParent();
    ListenerReport StartLocked(const ListenerTarget& target, bool stopTimedOut);
    // Whether the parent is a loopback or own address at the port listened on.
    bool ParentIsThisProxy(const ListenerTarget& target) const;
    // A restart, or only a new parent, to run on the restart thread.
    void Request(const ListenerTarget& target, bool restart);
    void RestartPending();
    // Sets the server's parent, none when it is this proxy.
    std::optional<std::string> MapParent(const ListenerTarget& target);

    net::MappedPortServer& server_;
    net::ListenerSettings listener_;
    const net::HostLookup& hosts_;
    ListenerTarget wanted_;  // application thread only

    mutable std::mutex lock_;
    std::optional<ListenerTarget> pending_;  // the next restart or retarget to run
    bool restartPending_ = false;            // a restart, not only a new parent
    bool listening_ = false;
    std::uint16_t boundPort_ = 0;
    std::string boundEndpoint_;
    std::optional<ListenerReport> report_;
    // Declared last: its destructor waits for a restart still running,
    // which uses the members above.
    BackgroundJobs restarts_;
};

}  // namespace vs
