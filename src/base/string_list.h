#pragma once
// A list of 8-bit (CP1251) strings shared between threads. Every member
// holds the list's own lock for its whole run, so each call is atomic; a
// caller that needs "find, then act" as one step uses Remove rather than
// IndexOf followed by Delete.

#include <cstddef>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace vs {

class TMyStringList {
public:
    // Returns the position of the new string.
    std::size_t Add(std::string text);
    void Clear();
    // Throws std::out_of_range for a position outside the list.
    void Delete(std::size_t index);
    std::size_t Count() const;
    // Position of the first string equal to text under the code page's case
    // folding, or -1.
    int IndexOf(std::string_view text) const;
    // Throw std::out_of_range for a position outside the list.
    void Set(std::size_t index, std::string text);
    std::string Get(std::size_t index) const;
    // Deletes the first string IndexOf would find; false when there is none.
    bool Remove(std::string_view text);

private:
    int IndexOfLocked(std::string_view text) const;

    mutable std::mutex mutex_;
    std::vector<std::string> items_;
};

}  // namespace vs
