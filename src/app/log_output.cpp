#include "app/log_output.h"

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>

#include "base/atomic_file.h"

namespace vs {

struct LogOutput::State {
    State(int fd, std::size_t limit) : fd(fd), limit(limit) {}

    void Run();

    const int fd;
    const std::size_t limit;
    std::mutex lock;
    std::condition_variable wake;
    std::condition_variable drained;
    std::string waiting;
    std::size_t dropped = 0;
    bool flushRequested = false;
    bool writing = false;
    bool stopping = false;
};

LogOutput::LogOutput(int fd, std::size_t limit)
    : state_(std::make_shared<State>(fd, limit)), writer_([state = state_] { state->Run(); }) {}

LogOutput::~LogOutput() {
    std::unique_lock lock(state_->lock);
    state_->stopping = true;
    state_->flushRequested = true;
    state_->wake.notify_one();
    // A reader that went on strike keeps the writer blocked: the process
    // ends without the rest rather than hanging in its stop.
    const bool drained = state_->drained.wait_for(lock, std::chrono::seconds(2), [this] {
        return state_->waiting.empty() && !state_->writing;
    });
    lock.unlock();
    if (drained) {
        writer_.join();
    } else {
        writer_.detach();
    }
}

void LogOutput::Add(std::string_view text) {
    State& s = *state_;
    const std::lock_guard lock(s.lock);
    if (s.waiting.size() + text.size() > s.limit) {
        ++s.dropped;
        return;
    }
    if (s.dropped > 0) {
        s.waiting += "vellostored: " + std::to_string(s.dropped) +
                     " log entries dropped: standard output did not keep up\n\n";
        s.dropped = 0;
    }
    s.waiting.append(text);
}

void LogOutput::Flush() {
    State& s = *state_;
    const std::lock_guard lock(s.lock);
    if (!s.waiting.empty()) {
        s.flushRequested = true;
        s.wake.notify_one();
    }
}

void LogOutput::State::Run() {
    std::unique_lock guard(lock);
    for (;;) {
        wake.wait(guard, [this] { return flushRequested || stopping; });
        flushRequested = false;
        if (waiting.empty()) {
            drained.notify_all();
            if (stopping) {
                return;
            }
            continue;
        }
        std::string batch;
        batch.swap(waiting);
        writing = true;
        guard.unlock();
        const bool written = vs::WriteAll(fd, batch);
        guard.lock();
        writing = false;
        if (!written) {
            waiting.clear();  // nowhere to write: the log is lost, the proxy goes on
        }
        flushRequested = flushRequested || !waiting.empty();
        drained.notify_all();
    }
}

}  // namespace vs
