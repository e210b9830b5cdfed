#include "net/bulk_mover.h"

#include <sys/mman.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

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

std::optional<std::size_t> BulkMover::Receive(const Socket& from, std::size_t most) {
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
        return 0;  // reset or aborted: closed
    }
    // Bytes come faster than this buffer moves them.
    filled_ = start_ && static_cast<std::size_t>(in) == size_;
    return static_cast<std::size_t>(in);
}

void BulkMover::Send(const Socket& to, std::size_t bytes) const {
    for (std::size_t sent = 0; sent < bytes;) {
        ssize_t out = ::send(to.Fd(), data_ + sent, bytes - sent, MSG_NOSIGNAL);
        if (out < 0) {
            if (errno == EINTR) {
                continue;
            }
            // Bytes not sent belong to a dead peer and end with it.
            throw SocketError("send", errno);
        }
        sent += static_cast<std::size_t>(out);
    }
}

bool BulkMover::Append(int file, std::size_t bytes) const {
    for (std::size_t written = 0; written < bytes;) {
        ssize_t out = ::write(file, data_ + written, bytes - written);
        if (out < 0 && errno == EINTR) {
            continue;
        }
        if (out <= 0) {
            return false;
        }
        written += static_cast<std::size_t>(out);
    }
    return true;
}

std::optional<std::size_t> BulkMover::Move(const Socket& from, const Socket& to, std::size_t most) {
    std::optional<std::size_t> in = Receive(from, most);
    if (in.value_or(0) > 0) {
        Send(to, *in);
    }
    return in;
}

CopiedMove BulkMover::MoveCopying(const Socket& from, const Socket& to, int file,
                                  std::size_t most) {
    CopiedMove result;
    result.moved = Receive(from, most);
    const std::size_t in = result.moved.value_or(0);
    if (in == 0) {
        return result;
    }
    result.copied = Append(file, in);
    Send(to, in);
    return result;
}

}  // namespace vs::net
