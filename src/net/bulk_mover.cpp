#include "net/bulk_mover.h"

#include <sys/mman.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <string_view>

#include "base/atomic_file.h"

namespace vs::net {

bool BulkBudget::TakeLarge() {
    std::size_t left = left_.load(std::memory_order_relaxed);
    while (left > 0) {
        if (left_.compare_exchange_weak(left, left - 1, std::memory_order_relaxed)) {
            return true;
        }
    }
    return false;
}

void BulkBudget::GiveBackLarge() {
    left_.fetch_add(1, std::memory_order_relaxed);
}

void BulkMover::Release() {
    if (data_ != nullptr && !start_) {
        // Mapped rather than allocated: unmapping gives the pages back to
        // the system at once, where a freed heap block of this size may stay
        // with the process.
        ::munmap(data_, size_);
        if (size_ == kBulkBlockSize) {
            budget_.GiveBackLarge();
        }
    }
    start_.reset();
    data_ = nullptr;
    size_ = 0;
    filled_ = false;
}

void BulkMover::Acquire() {
    start_ = std::make_unique_for_overwrite<char[]>(kStartBulkBlockSize);
    data_ = start_.get();
    size_ = kStartBulkBlockSize;
}

void BulkMover::Grow() {
    const bool large = budget_.TakeLarge();
    const std::size_t size = large ? kBulkBlockSize : kSmallBulkBlockSize;
    void* mapped =
        ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (mapped == MAP_FAILED) {
        if (large) {
            budget_.GiveBackLarge();
        }
        return;  // the start buffer goes on moving
    }
    start_.reset();
    data_ = static_cast<char*>(mapped);
    size_ = size;
}

std::optional<std::size_t> BulkMover::Receive(const Socket& from, std::size_t most, bool& reset) {
    if (data_ == nullptr) {
        Acquire();
    } else if (filled_) {
        filled_ = false;
        Grow();
    }
    ssize_t in;
    do {
        in = ::recv(from.Fd(), data_, std::min(most, size_), MSG_DONTWAIT);
    } while (in < 0 && errno == EINTR);
    if (in < 0) {
        if (errno == EAGAIN || errno == EWOULDBLOCK) {
            return std::nullopt;
        }
        reset = true;  // reset or aborted: closed, but not in order
        return 0;
    }
    // Bytes come faster than this buffer moves them.
    filled_ = start_ && static_cast<std::size_t>(in) == size_;
    return static_cast<std::size_t>(in);
}

CopiedMove BulkMover::Move(const Socket& from, const Socket& to, int file, std::size_t most) {
    CopiedMove result;
    result.moved = Receive(from, most, result.reset);
    const std::size_t in = result.moved.value_or(0);
    if (in == 0) {
        return result;
    }
    const std::string_view bytes(data_, in);
    if (file >= 0) {
        result.copied = WriteAll(file, bytes);
        result.copyError = result.copied ? 0 : errno;
    }
    SendAll(to, bytes, in);
    return result;
}

}  // namespace vs::net
