#include "proxy/stop_list.h"

#include <algorithm>

#include "base/cp1251.h"

namespace vs::proxy {

void StopList::Add(std::string url) {
    std::lock_guard lock(mutex_);
    urls_.push_back(std::move(url));
}

bool StopList::Remove(std::string_view url) {
    std::lock_guard lock(mutex_);
    const auto it = std::find_if(urls_.begin(), urls_.end(), [&](const std::string& stopped) {
        return cp1251::EqualsNoCase(stopped, url);
    });
    if (it == urls_.end()) {
        return false;
    }
    urls_.erase(it);
    return true;
}

std::size_t StopList::Count() const {
    std::lock_guard lock(mutex_);
    return urls_.size();
}

}  // namespace vs::proxy
