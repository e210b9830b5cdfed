#pragma once
// The time source of everything time-dependent (generated dates, the fresh
// window, the statistics day, cleaning by last use), so tests can set the
// time instead of sleeping.

#include <chrono>

namespace vs {

class Clock {
public:
    using TimePoint = std::chrono::system_clock::time_point;
    virtual ~Clock() = default;
    virtual TimePoint Now() const = 0;
};

class SystemClock : public Clock {
public:
    TimePoint Now() const override { return std::chrono::system_clock::now(); }
};

// The process's ordinary clock.
const Clock& DefaultClock();

// A clock that says what it is told (tests).
class FixedClock : public Clock {
public:
    explicit FixedClock(TimePoint now) : now_(now) {}
    TimePoint Now() const override { return now_; }
    void Set(TimePoint now) { now_ = now; }
    void Advance(std::chrono::system_clock::duration by) { now_ += by; }

private:
    TimePoint now_;
};

}  // namespace vs
