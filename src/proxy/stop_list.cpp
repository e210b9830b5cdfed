#include "proxy/stop_list.h"

#include <iterator>

namespace vs::proxy {

void StopList::Track(std::int32_t row, net::Connection& client) {
    std::lock_guard lock(mutex_);
    rows_[row] = &client;
}

void StopList::Forget(std::int32_t row) {
    std::lock_guard lock(mutex_);
    rows_.erase(row);
}

void StopList::ForgetConnection(const net::Connection& client) {
    std::lock_guard lock(mutex_);
    std::erase_if(rows_, [&client](const auto& entry) { return entry.second == &client; });
}

bool StopList::Stop(std::int32_t row) {
    std::lock_guard lock(mutex_);
    const auto found = rows_.find(row);
    if (found == rows_.end()) {
        return false;
    }
    found->second->Cut();
    rows_.erase(found);
    return true;
}

bool StopList::Tracks(std::int32_t row) const {
    std::lock_guard lock(mutex_);
    return rows_.contains(row);
}

std::size_t StopList::Count() const {
    std::lock_guard lock(mutex_);
    return rows_.size();
}

}  // namespace vs::proxy
