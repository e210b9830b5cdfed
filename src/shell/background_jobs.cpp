#include "shell/background_jobs.h"

namespace vs {

BackgroundJobs::~BackgroundJobs() {
    Wait();
}

void BackgroundJobs::Post(std::function<void()> job) {
    std::lock_guard lock(lock_);
    queued_.push_back(std::move(job));
    if (running_) {
        return;  // the running thread takes it up
    }
    if (thread_.joinable()) {
        thread_.join();  // it cleared running_ as its last step
    }
    // A thread refused (the account at its thread limit) leaves no job
    // behind that a later post would think running.
    try {
        thread_ = std::thread([this] { RunQueued(); });
    } catch (...) {
        queued_.pop_back();
        throw;
    }
    running_ = true;
}

void BackgroundJobs::RunQueued() {
    std::unique_lock lock(lock_);
    while (!queued_.empty()) {
        std::function<void()> job = std::move(queued_.front());
        queued_.pop_front();
        lock.unlock();
        job();
        lock.lock();
    }
    running_ = false;
}

bool BackgroundJobs::Idle() const {
    std::lock_guard lock(lock_);
    return !running_;
}

void BackgroundJobs::Wait() {
    std::thread finished;
    {
        std::lock_guard lock(lock_);
        finished = std::move(thread_);
    }
    if (finished.joinable()) {
        finished.join();
    }
}

}  // namespace vs
