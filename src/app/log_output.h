#pragma once
// The daemon's log on standard output, written by a thread of its own. A
// pipe nobody reads (a paused terminal, a stuck logger) blocks the write; the
// main loop, which answers the signals and saves the statistics, must never
// wait on it, and entries must not pile up in memory meanwhile.

#include <cstddef>
#include <memory>
#include <string_view>
#include <thread>

namespace vs {

class LogOutput {
public:
    // Writes to `fd`; at most `limit` bytes wait, entries beyond are dropped
    // and counted.
    LogOutput(int fd, std::size_t limit);
    // Writes what waits if the output takes it within a short time.
    ~LogOutput();
    LogOutput(const LogOutput&) = delete;
    LogOutput& operator=(const LogOutput&) = delete;

    void Add(std::string_view text);
    // Hands what was added so far to the writer: entries go out in batches,
    // not a write each.
    void Flush();

private:
    // Shared with the writer, which may outlive this object when the output
    // never takes the last batch.
    struct State;
    std::shared_ptr<State> state_;
    std::thread writer_;
};

}  // namespace vs
