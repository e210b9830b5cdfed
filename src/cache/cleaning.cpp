#include "cache/cleaning.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <ctime>
#include <limits>
#include <string>
#include <system_error>

#include "base/numbers.h"
#include "cache/cache_entry.h"
#include "cache/cache_paths.h"

namespace vs::cache {
namespace {

// A size field as a user types it: digits grouped by spaces ("100 000", as
// Russian writing groups them) are one number, and a number too large for
// the field means no limit, never the far smaller fallback, which would
// delete files the user meant to keep. Anything else reads as before.
int ReadKilobytes(std::string_view text, int fallback) {
    std::string digits;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text.substr(i, 2) == "\xC2\xA0") {  // a no-break space, in UTF-8
            ++i;
        } else if (text[i] != ' ') {
            digits += text[i];
        }
    }
    if (digits.empty() || digits.find_first_not_of("0123456789") != std::string::npos) {
        return ParseIntOr(text, fallback);
    }
    int value = 0;
    const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
    return error == std::errc::result_out_of_range ? std::numeric_limits<int>::max() : value;
}

namespace fs = std::filesystem;

constexpr std::int64_t kKilobyte = 1024;
constexpr std::string_view kCannotDelete = "К сожалению моя компона не смогла удалить ";
constexpr std::string_view kCannotList = "Не удалось прочесть папку ";

enum class Kind { kFolder, kEntry, kTemporary, kOther };

struct Item {
    fs::path path;
    Kind kind;
};

// Types come from lstat, so a link to a folder is a file here and no walker
// ever leaves the tree through it.
Kind KindOf(const fs::path& path) {
    struct stat info;
    if (::lstat(path.c_str(), &info) != 0) {
        return Kind::kOther;
    }
    if (S_ISDIR(info.st_mode)) {
        return Kind::kFolder;
    }
    if (path.filename().native().starts_with(kTemporaryPrefix)) {
        return Kind::kTemporary;
    }
    return S_ISREG(info.st_mode) ? Kind::kEntry : Kind::kOther;
}

// Sorted so that runs, and what they delete first, do not depend on the
// file system's order. `error` tells a folder that could not be read from an
// empty one, except for one that went meanwhile.
std::vector<std::string> SortedNames(const fs::path& folder, std::error_code& error) {
    std::vector<std::string> names;
    for (auto it = fs::directory_iterator(folder, error); !error && it != fs::directory_iterator();
         it.increment(error)) {
        names.push_back(it->path().filename().native());
    }
    if (error == std::errc::no_such_file_or_directory) {
        error.clear();
    }
    std::sort(names.begin(), names.end());
    return names;
}

std::vector<Item> ListFolder(const fs::path& folder, std::error_code& error) {
    std::vector<Item> items;
    for (const std::string& name : SortedNames(folder, error)) {
        fs::path path = folder / name;
        const Kind kind = KindOf(path);
        items.push_back({std::move(path), kind});
    }
    return items;
}

// For the walkers that delete: a folder they cannot read holds nothing they
// could delete either.
std::vector<Item> ListFolder(const fs::path& folder) {
    std::error_code ignored;
    return ListFolder(folder, ignored);
}

// Only regular files have a size worth counting; a link's target may lie
// outside the cache.
std::int64_t SizeOf(const Item& item) {
    if (item.kind != Kind::kEntry && item.kind != Kind::kTemporary) {
        return 0;
    }
    return std::max<std::int64_t>(GetFileSize64(item.path), 0);
}

bool Missing(const fs::path& path) {
    struct stat info;
    return ::lstat(path.c_str(), &info) != 0 && errno == ENOENT;
}

// A use dated a day or more ahead of the run was dated by a clock that ran
// ahead (a flat board battery): its age is unknown, and left as it is, the
// entry would be new until that day came. It is dated by the run, to age
// from there. (Uses while a long run goes on are later than its start.)
Clock::TimePoint LastUseAsOf(const fs::path& entry, Clock::TimePoint before, Clock::TimePoint now) {
    const Clock::TimePoint used = EntryLastUse(entry, before);
    return used > now + std::chrono::hours(24) && MarkUsed(entry, now) ? now : used;
}

}  // namespace

Clock::TimePoint DefaultOldBefore() {
    std::tm local{};
    local.tm_year = 2005 - 1900;
    local.tm_mon = 1;
    local.tm_mday = 5;
    local.tm_hour = 14;
    local.tm_min = 12;
    local.tm_sec = 59;
    local.tm_isdst = -1;
    return std::chrono::system_clock::from_time_t(std::mktime(&local));
}

void CacheCleaner::Start() {
    Stop();
    const int small = ReadKilobytes(options_.smallSize, 1);
    options_.smallSize = std::to_string(small);
    smallLimit_ = small * kKilobyte;
    const int huge = ReadKilobytes(options_.hugeSize, 10000);
    options_.hugeSize = std::to_string(huge);
    hugeLimit_ = huge * kKilobyte;
    requested_ = true;
}

void CacheCleaner::Stop() {
    listing_.clear();
    current_ = 0;
    requested_ = false;
    started_ = false;
    label_.clear();
}

std::optional<std::string> CacheCleaner::Step(const fs::path& cacheDir, Clock::TimePoint now) {
    if (!requested_) {
        return std::nullopt;
    }
    failure_.reset();
    if (!started_) {
        std::error_code error;
        // A cache folder that is not there yet (a removable disk, a setting
        // being changed) may appear; the run waits for it until stopped.
        if (!fs::is_directory(cacheDir, error)) {
            return std::nullopt;
        }
        std::error_code ignored;  // an unreadable cache folder has no sites to clean
        listing_ = SortedNames(cacheDir, ignored);
        current_ = 0;
        started_ = true;
    } else {
        ++current_;
    }
    if (current_ >= listing_.size()) {
        Stop();
        return std::nullopt;
    }
    Handle(cacheDir, listing_[current_], now);
    return failure_;
}

void CacheCleaner::Show(std::string label) {
    label_ = std::move(label);
    if (onLabel_) {
        onLabel_(label_);
    }
}

void CacheCleaner::Handle(const fs::path& cacheDir, const std::string& name, Clock::TimePoint now) {
    // The last site's last deletion is not this one's.
    Show({});
    if (name == "." || name == "..") {
        return;
    }
    const fs::path site = cacheDir / name;
    // Files lying directly in the cache folder belong to no site.
    if (KindOf(site) != Kind::kFolder) {
        return;
    }
    // Huge and old files go first, so that a site they leave below the
    // small limit goes in the same step.
    if (options_.delHuge) {
        DeleteHugeFiles(site, hugeLimit_);
    }
    if (options_.delOld) {
        DeleteOldFiles(site, options_.oldBefore, now);
    }
    if (options_.delSmall) {
        failure_.reset();
        // A site whose first download is still arriving is not small: its
        // finished entries would go, and the entry being written with them.
        const Size size = Measure(site, options_.delEmpty);
        if (!failure_ && !Cancelled() && !size.holdsTemporary && size.bytes < smallLimit_) {
            Show(site.string());
            DeleteDirTree(site);
        }
    }
}

CacheCleaner::Size CacheCleaner::Measure(const fs::path& folder, bool removeEmpty) {
    Size total;
    std::error_code error;
    const std::vector<Item> items = ListFolder(folder, error);
    if (error) {
        // Counted as empty, a site holding megabytes in a folder this user
        // may not read would be taken for a small one and deleted.
        failure_ = std::string(kCannotList) + folder.string() + ": " + error.message();
        return total;
    }
    for (const Item& item : items) {
        if (failure_ || Cancelled()) {
            break;
        }
        if (item.kind == Kind::kFolder) {
            const Size sub = Measure(item.path, removeEmpty);
            total.bytes += sub.bytes;
            total.holdsTemporary = total.holdsTemporary || sub.holdsTemporary;
            // An entry being written may still be empty; its folder is not.
            if (removeEmpty && !failure_ && sub.bytes == 0 && !sub.holdsTemporary) {
                DeleteDirTree(item.path);
            }
            continue;
        }
        total.bytes += SizeOf(item);
        total.holdsTemporary = total.holdsTemporary || item.kind == Kind::kTemporary;
    }
    return total;
}

void CacheCleaner::DeleteHugeFiles(const fs::path& folder, std::int64_t limit) {
    for (const Item& item : ListFolder(folder)) {
        if (Cancelled()) {
            return;
        }
        if (item.kind == Kind::kFolder) {
            DeleteHugeFiles(item.path, limit);
        } else if (item.kind == Kind::kEntry && SizeOf(item) > limit) {
            Show(item.path.string());
            DeleteEntry(item.path);
        }
    }
}

void CacheCleaner::DeleteOldFiles(const fs::path& folder, Clock::TimePoint before,
                                  Clock::TimePoint now) {
    for (const Item& item : ListFolder(folder)) {
        if (Cancelled()) {
            return;
        }
        if (item.kind == Kind::kFolder) {
            DeleteOldFiles(item.path, before, now);
            // A file that vanished meanwhile reads as used at `before`: kept.
        } else if (item.kind == Kind::kEntry && LastUseAsOf(item.path, before, now) < before) {
            Show(item.path.string());
            DeleteEntry(item.path);
        }
    }
}

std::optional<std::string> CacheCleaner::DeleteDirTree(const fs::path& folder) {
    for (const Item& item : ListFolder(folder)) {
        if (Cancelled()) {
            return std::nullopt;
        }
        if (item.kind == Kind::kFolder) {
            if (auto failure = DeleteDirTree(item.path)) {
                return failure;
            }
            continue;
        }
        bool gone = false;
        switch (item.kind) {
            case Kind::kEntry:
                gone = DeleteEntry(item.path);
                break;
            case Kind::kOther:
                // Links and the like are no entries; nobody locks them.
                gone = ::unlink(item.path.c_str()) == 0;
                break;
            case Kind::kTemporary:
            case Kind::kFolder:
                break;
        }
        // Someone else deleting the file meanwhile is as good.
        if (!gone && !Missing(item.path)) {
            failure_ = std::string(kCannotDelete) + item.path.string();
            return failure_;
        }
    }
    // Something may have been added meanwhile; the folder then simply stays.
    ::rmdir(folder.c_str());
    return std::nullopt;
}

}  // namespace vs::cache
