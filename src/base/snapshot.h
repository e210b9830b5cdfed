#pragma once
// Publishing immutable state to worker threads: the user-interface thread
// builds a new value and publishes it; every reader takes its own reference,
// so a value never changes under a request that is using it.

#include <memory>
#include <mutex>

namespace vs {

template <typename T>
class Snapshot {
public:
    explicit Snapshot(std::shared_ptr<const T> initial = std::make_shared<const T>())
        : current_(std::move(initial)) {}

    // A lock held for a reference count's step, not std::atomic<shared_ptr>:
    // g++ 12's releases its inner lock unordered after a load, so a publish
    // racing with it is a data race (ThreadSanitizer reports it), which a
    // weakly ordered processor (a LAN server on ARM) may act on.
    std::shared_ptr<const T> Get() const {
        std::lock_guard guard(lock_);
        return current_;
    }
    // The value replaced is let go after the lock, by whoever holds it last.
    void Publish(std::shared_ptr<const T> value) {
        std::lock_guard guard(lock_);
        current_.swap(value);
    }

private:
    mutable std::mutex lock_;
    std::shared_ptr<const T> current_;
};

}  // namespace vs
