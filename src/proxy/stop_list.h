#pragma once
// The downloads the user stopped from the monitor: their URLs, waiting for
// the worker that relays each to notice and end its browser connection.
// Written by the application's thread, read by workers; every call holds
// the list's own lock, so "is it there, then take it" is one step.

#include <cstddef>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace vs::proxy {

class StopList {
public:
    void Add(std::string url);
    // Takes the first URL equal to `url` under the code page's case folding;
    // false when there is none.
    bool Remove(std::string_view url);
    std::size_t Count() const;

private:
    mutable std::mutex mutex_;
    std::vector<std::string> urls_;
};

}  // namespace vs::proxy
