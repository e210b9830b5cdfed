#pragma once
// The downloads the user may stop from the monitor, by the row that shows
// each: a stop cuts the browser connection relaying that row's answer at
// once, whether bytes are moving or the origin has gone silent, and touches
// no other download, not even one of the same URL. A row whose exchange has
// ended is no longer here, so a late stop cuts nothing.
// Rows are tracked and forgotten by workers and stopped from the
// application's thread; every call holds the list's own lock, so a
// connection is never woken after its session has forgotten it.

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <unordered_map>

#include "net/connection.h"

namespace vs::proxy {

class StopList {
public:
    // The answer shown in `row` is relayed to `client` until Forget(row).
    void Track(std::int32_t row, net::Connection& client);
    void Forget(std::int32_t row);
    // Every row still tracked for `client`, as its connection ends.
    void ForgetConnection(const net::Connection& client);
    // The user's stop: cuts the browser connection of the row's download.
    // False when the row shows nothing under way.
    bool Stop(std::int32_t row);
    // The row's exchange is still under way.
    bool Tracks(std::int32_t row) const;
    std::size_t Count() const;

private:
    mutable std::mutex mutex_;
    std::unordered_map<std::int32_t, net::Connection*> rows_;
};

}  // namespace vs::proxy
