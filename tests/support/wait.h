#pragma once
// Waiting for something another thread or process does: look often, give up
// late. A loaded two-core machine may take seconds where a quiet one takes
// microseconds, so tests never sleep for a fixed time instead.

#include <chrono>
#include <thread>

namespace vs::test {

template <typename Condition>
bool WaitUntil(Condition condition, std::chrono::milliseconds limit = std::chrono::seconds(20)) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

}  // namespace vs::test
