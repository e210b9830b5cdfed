#include "shell/cleaning_run.h"

namespace vs {

std::optional<cache::CleaningOptions> CleaningOptionsOf(const Settings& settings,
                                                        Clock::TimePoint now) {
    cache::CleaningOptions options;
    if (settings.cleanOlderThanDays > 0) {
        // "Almost never" (a million days) is beyond what the clock can count
        // back: such a date would wrap round into the future and take every
        // entry; the clock's earliest moment keeps every file, those dated
        // before 1970 too.
        options.delOld = true;
        const auto days = std::chrono::days(settings.cleanOlderThanDays);
        options.oldBefore = days < std::chrono::floor<std::chrono::days>(now.time_since_epoch())
                                ? now - days
                                : Clock::TimePoint::min();
    }
    if (settings.cleanLargerThanKb > 0) {
        options.delHuge = true;
        options.hugeSize = std::to_string(settings.cleanLargerThanKb);
    }
    if (settings.cleanSitesSmallerThanKb > 0) {
        // Empty sub-folders go with the sizing: nobody keeps them on purpose.
        options.delSmall = true;
        options.delEmpty = true;
        options.smallSize = std::to_string(settings.cleanSitesSmallerThanKb);
    }
    if (!options.delOld && !options.delHuge && !options.delSmall) {
        return std::nullopt;
    }
    return options;
}

CleaningRun::~CleaningRun() {
    Stop();
    Wait();
}

void CleaningRun::Start(const std::filesystem::path& cacheDir, cache::CleaningOptions& options,
                        Clock::TimePoint now) {
    Stop();
    Wait();
    cache::CacheCleaner cleaner;
    cleaner.Options() = options;
    cleaner.Start();
    options = cleaner.Options();
    cancel_ = false;
    {
        std::lock_guard lock(lock_);
        running_ = true;
        label_.clear();
    }
    runs_.Post([this, cleaner, cacheDir, now] { Run(cleaner, cacheDir, now); });
}

void CleaningRun::Run(cache::CacheCleaner cleaner, std::filesystem::path cacheDir,
                      Clock::TimePoint now) {
    cleaner.SetCancel(&cancel_);
    cleaner.OnLabel([this](const std::string& label) {
        std::lock_guard lock(lock_);
        label_ = label;
    });
    while (cleaner.Running() && !cancel_) {
        std::error_code error;
        if (!std::filesystem::is_directory(cacheDir, error)) {
            // A cache folder not there yet (a removable disk) may appear:
            // the run waits for it, looking once a second, until stopped.
            std::unique_lock lock(lock_);
            wake_.wait_for(lock, std::chrono::seconds(1), [this] { return cancel_.load(); });
            continue;
        }
        std::optional<std::string> failure = cleaner.Step(cacheDir, now);
        std::lock_guard lock(lock_);
        if (failure) {
            failures_.push_back(std::move(*failure));
        }
    }
    std::lock_guard lock(lock_);
    running_ = false;
    label_.clear();
}

void CleaningRun::Stop() {
    {
        std::lock_guard lock(lock_);
        cancel_ = true;
    }
    wake_.notify_all();
}

void CleaningRun::Wait() {
    runs_.Wait();
}

bool CleaningRun::Running() const {
    std::lock_guard lock(lock_);
    return running_;
}

std::string CleaningRun::Label() const {
    std::lock_guard lock(lock_);
    return label_;
}

std::optional<std::string> CleaningRun::TakeFailure() {
    std::lock_guard lock(lock_);
    if (failures_.empty()) {
        return std::nullopt;
    }
    std::string failure = std::move(failures_.front());
    failures_.pop_front();
    return failure;
}

}  // namespace vs
