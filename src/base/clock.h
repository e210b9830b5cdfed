#pragma once
// The time source of everything time-dependent (generated dates, the fresh
// window, the statistics day, cleaning by last use), so tests can set the
// time instead of sleeping.

#include <algorithm>
#include <atomic>
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

// A moment in whole seconds as the clock holds it: one past what its
// nanoseconds reach (the year 9999, or 1600) as the nearest moment it holds,
// still far in the future or the past.
inline Clock::TimePoint ClampedToClock(std::chrono::sys_seconds moment) {
    using namespace std::chrono;
    const sys_seconds earliest = ceil<seconds>(Clock::TimePoint::min());
    const sys_seconds latest = floor<seconds>(Clock::TimePoint::max());
    return time_point_cast<Clock::TimePoint::duration>(std::clamp(moment, earliest, latest));
}

// The process's ordinary clock.
const Clock& DefaultClock();

// A clock that says what it is told (tests).
class FixedClock : public Clock {
public:
    explicit FixedClock(TimePoint now) : ticks_(now.time_since_epoch().count()) {}
    TimePoint Now() const override { return TimePoint(TimePoint::duration(ticks_.load())); }
    void Set(TimePoint now) { ticks_.store(now.time_since_epoch().count()); }
    void Advance(std::chrono::system_clock::duration by) { ticks_.fetch_add(by.count()); }

private:
    // Atomic because tests move the time while proxy threads still read it
    // for a request they are finishing.
    std::atomic<TimePoint::rep> ticks_;
};

}  // namespace vs
