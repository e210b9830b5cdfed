#pragma once
// Jobs the application thread hands off because they walk the disk for an
// unknown time (sweeping the cache tree for temporaries left by a crash).
// They run one after another on a thread that exists while there is work.

#include <deque>
#include <functional>
#include <mutex>
#include <thread>

namespace vs {

class BackgroundJobs {
public:
    BackgroundJobs() = default;
    // Runs what is queued to its end.
    ~BackgroundJobs();
    BackgroundJobs(const BackgroundJobs&) = delete;
    BackgroundJobs& operator=(const BackgroundJobs&) = delete;

    void Post(std::function<void()> job);
    bool Idle() const;
    // Waits until everything posted so far has run.
    void Wait();

private:
    void RunQueued();

    mutable std::mutex lock_;
    std::deque<std::function<void()>> queued_;
    bool running_ = false;
    std::thread thread_;
};

}  // namespace vs
