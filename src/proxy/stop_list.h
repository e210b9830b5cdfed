#pragma once
// The downloads the user stopped from the monitor: their URLs, waiting for
// the worker that relays each to notice and end its browser connection. A
// stop counts for the downloads under way when it was given: one given on
// a row that had already ended would otherwise cut the next download of
// that URL, whoever asks for it and however much later. Such a stop stays
// until newer ones push it out: a later download cannot tell it from the
// stop of a stalled download of the same URL, which is still to come.
// Written by the application's thread, read by workers; every call holds
// the list's own lock, so "is it there, then take it" is one step.

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace vs::proxy {

class StopList {
public:
    // Tells the stops given so far from later ones.
    using Mark = std::uint64_t;
    // Stops kept at most; far more than a user gives in a session.
    static constexpr std::size_t kMostStops = 1024;

    void Add(std::string url);
    // The mark a download takes as it begins.
    Mark Latest() const;
    // Takes the first stop of `url` (equal under the code page's case
    // folding) given after `begun`; false when there is none.
    bool Remove(std::string_view url, Mark begun);
    std::size_t Count() const;

private:
    struct Stop {
        std::string url;
        Mark mark;
    };
    mutable std::mutex mutex_;
    std::vector<Stop> stops_;
    Mark latest_ = 0;
};

}  // namespace vs::proxy
