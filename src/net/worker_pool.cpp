#include "net/worker_pool.h"

#include <pthread.h>
#include <signal.h>

#include <cerrno>
#include <system_error>

namespace vs::net {

struct WorkerPool::Thread {
    WorkerPool* pool = nullptr;
    pthread_t handle{};
    std::condition_variable wake;
    std::function<void()> job;
};

WorkerPool::WorkerPool() = default;

WorkerPool::~WorkerPool() {
    std::vector<Thread*> all;
    {
        std::lock_guard lock(lock_);
        quitting_ = true;
        for (auto& t : threads_) {
            t->wake.notify_one();
            all.push_back(t.get());
        }
    }
    for (Thread* t : all) {
        pthread_join(t->handle, nullptr);
    }
}

void WorkerPool::Run(std::function<void()> job) {
    std::unique_lock lock(lock_);
    if (!idle_.empty()) {
        Thread* t = idle_.back();
        idle_.pop_back();
        t->job = std::move(job);
        t->wake.notify_one();
        return;
    }
    auto thread = std::make_unique<Thread>();
    thread->pool = this;
    thread->job = std::move(job);
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setstacksize(&attr, kStackSize);
    int rc = pthread_create(&thread->handle, &attr, &WorkerPool::ThreadMain, thread.get());
    pthread_attr_destroy(&attr);
    if (rc != 0) {
        throw std::system_error(rc, std::generic_category(), "pthread_create");
    }
    threads_.push_back(std::move(thread));
}

void* WorkerPool::ThreadMain(void* arg) {
    // Writes to a browser or origin that has gone raise SIGPIPE, whose
    // default ends the process. send() is told not to, but sendfile() (an
    // answer from the cache) cannot be: blocked here, the signal stays
    // pending for this thread and the call fails with EPIPE, as every other
    // write does.
    sigset_t pipe;
    sigemptyset(&pipe);
    sigaddset(&pipe, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipe, nullptr);
    auto* thread = static_cast<Thread*>(arg);
    thread->pool->Loop(*thread);
    return nullptr;
}

void WorkerPool::Loop(Thread& thread) {
    std::unique_lock lock(lock_);
    for (;;) {
        while (!thread.job && !quitting_) {
            thread.wake.wait(lock);
        }
        if (!thread.job) {
            return;
        }
        std::function<void()> job = std::move(thread.job);
        thread.job = nullptr;
        lock.unlock();
        try {
            job();
        } catch (...) {
            // A connection's failure ends that connection, never the process.
        }
        job = nullptr;
        lock.lock();
        idle_.push_back(&thread);
    }
}

std::size_t WorkerPool::ThreadCount() const {
    std::lock_guard lock(lock_);
    return threads_.size();
}

std::size_t WorkerPool::IdleCount() const {
    std::lock_guard lock(lock_);
    return idle_.size();
}

}  // namespace vs::net
