#pragma once
// Waiting for something another thread or process does: look often, give up
// late. A loaded two-core machine may take seconds where a quiet one takes
// microseconds, so tests never sleep for a fixed time instead.

#include <linux/sockios.h>
#include <sys/ioctl.h>

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

// Until everything written to the socket has been taken by the peer's
// kernel, so that what is sent next arrives in a read of its own.
inline bool WaitSent(int fd) {
    return WaitUntil([fd] {
        int queued = 0;
        return ::ioctl(fd, SIOCOUTQ, &queued) == 0 && queued == 0;
    });
}

// Until at least `bytes` wait unread in the socket's receive buffer.
inline bool WaitReceived(int fd, int bytes) {
    return WaitUntil([fd, bytes] {
        int waiting = 0;
        return ::ioctl(fd, FIONREAD, &waiting) == 0 && waiting >= bytes;
    });
}

}  // namespace vs::test
