#include "base/string_list.h"

#include <stdexcept>

#include "base/cp1251.h"

namespace vs {
namespace {

void CheckIndex(std::size_t index, std::size_t count) {
    if (index >= count) {
        throw std::out_of_range("string list: index " + std::to_string(index) +
                                " outside a list of " + std::to_string(count));
    }
}

}  // namespace

std::size_t TMyStringList::Add(std::string text) {
    std::lock_guard lock(mutex_);
    items_.push_back(std::move(text));
    return items_.size() - 1;
}

void TMyStringList::Clear() {
    std::lock_guard lock(mutex_);
    items_.clear();
}

void TMyStringList::Delete(std::size_t index) {
    std::lock_guard lock(mutex_);
    CheckIndex(index, items_.size());
    items_.erase(items_.begin() + static_cast<std::ptrdiff_t>(index));
}

std::size_t TMyStringList::Count() const {
    std::lock_guard lock(mutex_);
    return items_.size();
}

int TMyStringList::IndexOf(std::string_view text) const {
    std::lock_guard lock(mutex_);
    return IndexOfLocked(text);
}

void TMyStringList::Set(std::size_t index, std::string text) {
    std::lock_guard lock(mutex_);
    CheckIndex(index, items_.size());
    items_[index] = std::move(text);
}

std::string TMyStringList::Get(std::size_t index) const {
    std::lock_guard lock(mutex_);
    CheckIndex(index, items_.size());
    return items_[index];
}

bool TMyStringList::Remove(std::string_view text) {
    std::lock_guard lock(mutex_);
    const int index = IndexOfLocked(text);
    if (index < 0) {
        return false;
    }
    items_.erase(items_.begin() + index);
    return true;
}

int TMyStringList::IndexOfLocked(std::string_view text) const {
    for (std::size_t i = 0; i < items_.size(); ++i) {
        if (cp1251::EqualsNoCase(items_[i], text)) {
            return static_cast<int>(i);
        }
    }
    return -1;
}

}  // namespace vs
