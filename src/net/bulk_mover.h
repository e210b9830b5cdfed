#pragma once
// Moves the bytes nobody reads (tunnels, answer bodies) from one socket to
// another, and optionally into a file, through one large buffer.
//
// Why a copy and not splice(2): measured on loopback against a static file
// server, a relay that receives into a 4 MiB buffer and sends from it moved
// a 512 MiB body at 0.6-0.7x the origin's direct speed, where splicing
// through a 1 MiB pipe reached 0.5x (and a larger pipe did not help). A
// spliced move hands the browser's socket the origin's page fragments one
// by one; a copy fills the socket's own large fragments, which costs less on
// both ends than the copy it saves. The size of each move is what counts:
// the same copy through 32 KiB blocks reached under 0.4x.

#include <atomic>
#include <cstddef>
#include <memory>
#include <optional>

#include "net/socket.h"

namespace vs::net {

// Largest amount one move takes.
inline constexpr std::size_t kBulkBlockSize = 4 * 1024 * 1024;
// The buffer a connection starts with: most bodies and tunnels are small,
// and a heap block costs them nothing where mapping 4 MiB for each of
// thousands of short connections halves their rate. A connection whose
// receive fills it moves on to a large buffer.
inline constexpr std::size_t kStartBulkBlockSize = 64 * 1024;
// The buffer a connection grows to when no large one is left in the budget.
inline constexpr std::size_t kSmallBulkBlockSize = 256 * 1024;

// How many connections may hold a large buffer at once (one server's share):
// a buffer's pages are only as many as its largest move filled, but a fast
// origin behind a slow browser fills it whole, and a thousand of those would
// be 4 GiB.
class BulkBudget {
public:
    explicit BulkBudget(std::size_t largeBuffers) : left_(largeBuffers) {}
    bool TakeLarge();
    void GiveBackLarge();

private:
    std::atomic<std::size_t> left_;
};

// What a move did.
struct CopiedMove {
    // The count; 0 means `from` has closed, nullopt that it had nothing
    // after all.
    std::optional<std::size_t> moved;
    // With moved 0: `from` was reset (or failed) rather than closed.
    bool reset = false;
    // False when the bytes moved could not all be appended to the file (it
    // then holds an unknown part of them); `to` got them all the same.
    bool copied = true;
    int copyError = 0;  // the system's error number when not copied
};

// One connection's buffer, made on first use and given back by Release (or
// with the mover), so a quiet connection holds no memory for it.
class BulkMover {
public:
    explicit BulkMover(BulkBudget& budget) : budget_(budget) {}
    ~BulkMover() { Release(); }
    BulkMover(const BulkMover&) = delete;
    BulkMover& operator=(const BulkMover&) = delete;

    // Moves what one receive brings (at most `most`, at most the buffer)
    // from `from` to `to`, appending it to `file` (at its position) first
    // when there is one (>= 0). Throws SocketError when `to` is gone.
    CopiedMove Move(const Socket& from, const Socket& to, int file = -1,
                    std::size_t most = kBulkBlockSize);

    // One receive from `from` into the buffer, for a caller that sends the
    // bytes itself (Data()): as CopiedMove's moved and reset.
    std::optional<std::size_t> Receive(const Socket& from, std::size_t most, bool& reset);
    const char* Data() const { return data_; }

    bool Held() const { return data_ != nullptr; }
    // The buffer's size, 0 while none is held.
    std::size_t Capacity() const { return size_; }
    void Release();

private:
    void Acquire();
    void Grow();

    BulkBudget& budget_;
    std::unique_ptr<char[]> start_;  // while the connection has not grown
    char* data_ = nullptr;           // start_, or a mapping of size_ bytes
    std::size_t size_ = 0;
    bool filled_ = false;  // the last receive filled the start buffer
};

}  // namespace vs::net
