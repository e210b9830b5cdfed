#include "proxy/stop_list.h"

#include <algorithm>

#include "base/cp1251.h"

namespace vs::proxy {

void StopList::Add(std::string url) {
    std::lock_guard lock(mutex_);
    if (stops_.size() >= kMostStops) {
        stops_.erase(stops_.begin());
    }
    stops_.push_back({std::move(url), ++latest_});
}

StopList::Mark StopList::Latest() const {
    std::lock_guard lock(mutex_);
    return latest_;
}

bool StopList::Remove(std::string_view url, Mark begun) {
    std::lock_guard lock(mutex_);
    for (auto it = stops_.begin(); it != stops_.end(); ++it) {
        if (it->mark > begun && cp1251::EqualsNoCase(it->url, url)) {
            stops_.erase(it);
            return true;
        }
    }
    return false;
}

std::size_t StopList::Count() const {
    std::lock_guard lock(mutex_);
    return stops_.size();
}

}  // namespace vs::proxy
