#pragma once
// Threads for connections. A finished connection's thread waits idle for the
// next one instead of exiting, so the pool grows to the largest number of
// simultaneous connections seen and never shrinks. Threads get a small
// explicit stack so that thousands of connections fit in memory.

#include <condition_variable>
#include <cstddef>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

namespace vs::net {

class WorkerPool {
public:
    static constexpr std::size_t kStackSize = 256 * 1024;

    WorkerPool();
    WorkerPool(const WorkerPool&) = delete;
    WorkerPool& operator=(const WorkerPool&) = delete;
    // Waits for running jobs to finish, then ends every thread.
    ~WorkerPool();

    // Runs the job on an idle thread, or on a new one when none is idle.
    // Throws std::system_error when no thread can be created.
    void Run(std::function<void()> job);

    std::size_t ThreadCount() const;
    std::size_t IdleCount() const;

private:
    struct Thread;
    static void* ThreadMain(void* arg);
    void Loop(Thread& thread);

    mutable std::mutex lock_;
    std::vector<std::unique_ptr<Thread>> threads_;
    std::vector<Thread*> idle_;
    bool quitting_ = false;
};

}  // namespace vs::net
