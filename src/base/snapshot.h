#pragma once
// Publishing immutable state to worker threads: the user-interface thread
// builds a new value and publishes it; every reader takes its own reference,
// so a value never changes under a request that is using it.

#include <atomic>
#include <memory>

namespace vs {

template <typename T>
class Snapshot {
public:
    explicit Snapshot(std::shared_ptr<const T> initial = std::make_shared<const T>())
        : current_(std::move(initial)) {}

    std::shared_ptr<const T> Get() const { return current_.load(std::memory_order_acquire); }
    void Publish(std::shared_ptr<const T> value) {
        current_.store(std::move(value), std::memory_order_release);
    }

private:
    std::atomic<std::shared_ptr<const T>> current_;
};

}  // namespace vs
