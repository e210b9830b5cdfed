#pragma once
// Thinning the cache while the proxy keeps serving: a run handles one site
// folder (top-level entry of the cache directory) per Step, so the caller can
// interleave it with its idle passes and stop it at any moment.
//
// Entries a connection reads or writes survive every criterion: files go
// through DeleteEntry, which refuses them, and temporary files of entries
// being written are never touched.

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "base/clock.h"

namespace vs::cache {

// 5 February 2005 14:12:59, local time: the date picker's initial value.
Clock::TimePoint DefaultOldBefore();

// The cleaning tab's controls. Sizes stay text because a run writes back the
// number it actually used, as the fields show it.
struct CleaningOptions {
    bool delOld = false;
    Clock::TimePoint oldBefore = DefaultOldBefore();
    bool delHuge = false;
    std::string hugeSize = "1000";  // kB
    bool delEmpty = false;
    bool delSmall = false;
    std::string smallSize = "20";  // kB
};

class CacheCleaner {
public:
    // Reads the size limits (rewriting the fields with the numbers used);
    // the first Step lists the cache folder.
    void Start();
    // Usable at any moment, also between the folders of a run.
    void Stop();
    bool Running() const { return requested_; }
    // The path being deleted (UTF-8).
    const std::string& Label() const { return label_; }
    // Called with every new label, in the middle of a site folder too: one
    // may hold a hundred thousand files.
    void OnLabel(std::function<void(const std::string&)> onLabel) { onLabel_ = std::move(onLabel); }
    CleaningOptions& Options() { return options_; }
    // When *cancel turns true the walkers stop at the next file and the
    // step returns; the run itself goes on until stopped.
    void SetCancel(const std::atomic<bool>* cancel) { cancel_ = cancel; }

    // One step of the run: opens the listing on the first one, then handles
    // one top-level entry. Returns the message to show when a folder could
    // not be deleted; the run goes on with the next entry at the next step.
    std::optional<std::string> Step(const std::filesystem::path& cacheDir, Clock::TimePoint now);

    // The walkers a step uses. A folder is a real directory; every other
    // entry counts as a file. Links are never followed.

    // Deletes files of more than limit bytes; files in use stay.
    void DeleteHugeFiles(const std::filesystem::path& folder, std::int64_t limit);
    // Deletes files last used before `before`; files in use stay.
    void DeleteOldFiles(const std::filesystem::path& folder, Clock::TimePoint before,
                        Clock::TimePoint now);
    // Deletes the tree, stopping at the first file that cannot go (in use,
    // being written): the message names it and the folder stays.
    std::optional<std::string> DeleteDirTree(const std::filesystem::path& folder);

private:
    struct Size {
        std::int64_t bytes = 0;
        bool holdsTemporary = false;
    };
    bool Cancelled() const { return cancel_ != nullptr && cancel_->load(); }
    // Bytes of the files below folder, and whether an entry is being
    // written there. With removeEmpty, sub-folders totalling 0 bytes are
    // deleted; a failure there, or a folder that cannot be read, is reported
    // by the enclosing Step and stops the walk.
    Size Measure(const std::filesystem::path& folder, bool removeEmpty);
    void Handle(const std::filesystem::path& cacheDir, const std::string& name,
                Clock::TimePoint now);
    void Show(std::string label);

    CleaningOptions options_;
    const std::atomic<bool>* cancel_ = nullptr;
    bool requested_ = false;
    bool started_ = false;
    std::vector<std::string> listing_;
    std::size_t current_ = 0;
    std::int64_t smallLimit_ = 0;
    std::int64_t hugeLimit_ = 0;
    std::string label_;
    std::function<void(const std::string&)> onLabel_;
    // The first deletion failure of the current step; walking stops there.
    std::optional<std::string> failure_;
};

}  // namespace vs::cache
