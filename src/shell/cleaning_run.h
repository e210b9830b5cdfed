#pragma once
// A cache-cleaning run on a thread of its own. One site folder of a large
// cache may hold tens of thousands of files, too many to walk between two
// passes of the window's event loop; the window starts and stops the run and
// reads its label and failures when it pleases.

#include <atomic>
#include <condition_variable>
#include <deque>
#include <filesystem>
#include <mutex>
#include <optional>
#include <string>

#include "base/clock.h"
#include "cache/cleaning.h"
#include "shell/background_jobs.h"
#include "shell/settings.h"

namespace vs {

// The criteria of the settings' cleaning keys, with files last used before
// `now` less the days counted old; none when no key asks for anything.
std::optional<cache::CleaningOptions> CleaningOptionsOf(const Settings& settings,
                                                        Clock::TimePoint now);

class CleaningRun {
public:
    CleaningRun() = default;
    // Stops a running run and waits for it.
    ~CleaningRun();
    CleaningRun(const CleaningRun&) = delete;
    CleaningRun& operator=(const CleaningRun&) = delete;

    // Starts a run over cacheDir (a running one is stopped first). The size
    // fields of `options` are rewritten with the numbers the run uses.
    void Start(const std::filesystem::path& cacheDir, cache::CleaningOptions& options,
               Clock::TimePoint now);
    // Returns at once; the run ends after the file it is at.
    void Stop();
    bool Running() const;
    // The path being deleted (UTF-8); empty when no run goes on.
    std::string Label() const;
    // The failures not taken yet, oldest first: each is shown once, and the
    // run goes on past them.
    std::optional<std::string> TakeFailure();
    // Waits until the run has ended.
    void Wait();

private:
    void Run(cache::CacheCleaner cleaner, std::filesystem::path cacheDir, Clock::TimePoint now);

    std::atomic<bool> cancel_{false};
    mutable std::mutex lock_;
    std::condition_variable wake_;
    bool running_ = false;
    std::string label_;
    std::deque<std::string> failures_;
    // Declared last: it waits for the run, which uses the members above.
    BackgroundJobs runs_;
};

}  // namespace vs
