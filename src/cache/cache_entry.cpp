#include "cache/cache_entry.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/sendfile.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <charconv>
#include <iterator>
#include <limits>
#include <mutex>
#include <optional>
#include <system_error>
#include <unordered_map>
#include <utility>
#include <vector>

#include "base/atomic_file.h"
#include "base/cp1251.h"
#include "base/numbers.h"
#include "cache/cache_paths.h"

namespace vs::cache {
namespace {

constexpr const char* kOriginAttr = "user.vellostore.origin";
constexpr const char* kTrailerAttr = "user.vellostore.trailer";
constexpr const char* kKeyAttr = "user.vellostore.key";
constexpr const char* kTypeAttr = "user.vellostore.type";
constexpr const char* kEntityTagAttr = "user.vellostore.etag";
constexpr const char* kSizeAttr = "user.vellostore.size";
constexpr const char* kFieldsAttr = "user.vellostore.fields";
// The longest trailer: two 255-byte values, their length bytes and the count.
constexpr std::size_t kMaxTrailer = 255 + 1 + 255 + 1 + 1;

// The end of a large body that stays in memory while it is written, and how
// much is sent to the disk at a time (see WriteBehind).
constexpr std::int64_t kResidentTail = 16 << 20;
constexpr std::int64_t kWriteBehindStep = 4 << 20;

// Entries in use by this process. flock alone would not do: a deletion must
// also fail against a reader that has opened the file but not yet locked it,
// and file systems that emulate flock with fcntl locks do not let two
// descriptors of one process conflict.
class UseRegistry {
public:
    bool ClaimWrite(const std::string& key) {
        const std::lock_guard lock(mutex_);
        const auto [it, added] = uses_.try_emplace(key);
        if (!added) {
            return false;
        }
        it->second.writers = 1;
        return true;
    }
    bool ClaimRead(const std::string& key) {
        const std::lock_guard lock(mutex_);
        Use& use = uses_[key];
        if (use.writers > 0 || use.outdated) {
            return false;
        }
        ++use.readers;
        return true;
    }
    // Claims the key for removal, or, while it is in use, marks it outdated:
    // no reader may open it any more, a writer's answer is not kept, and the
    // file goes when the last user lets it go.
    bool ClaimWriteOrOutdate(const std::string& key) {
        const std::lock_guard lock(mutex_);
        const auto [it, added] = uses_.try_emplace(key);
        if (added) {
            it->second.writers = 1;
            return true;
        }
        it->second.outdated = true;
        return false;
    }
    bool Outdated(const std::string& key) {
        const std::lock_guard lock(mutex_);
        const auto it = uses_.find(key);
        return it != uses_.end() && it->second.outdated;
    }
    void Release(const std::string& key, bool writer) {
        const std::lock_guard lock(mutex_);
        const auto it = uses_.find(key);
        if (it == uses_.end()) {
            return;
        }
        (writer ? it->second.writers : it->second.readers) -= 1;
        if (it->second.writers <= 0 && it->second.readers <= 0) {
            if (it->second.outdated) {
                ::unlink(key.c_str());  // under the lock: nobody can claim it meanwhile
            }
            uses_.erase(it);
        }
    }

private:
    struct Use {
        int writers = 0;
        int readers = 0;
        bool outdated = false;
    };
    std::mutex mutex_;
    std::unordered_map<std::string, Use> uses_;
};

// Never destroyed: readers and writers may outlive static destruction.
UseRegistry& Uses() {
    static UseRegistry* registry = new UseRegistry;
    return *registry;
}

// The room set aside for bodies still arriving, by every writer of the
// process: a quarter of the free room is what they may hold together, not
// each (an origin may announce much and send nothing, on many connections).
std::atomic<std::int64_t>& RoomSetAside() {
    static std::atomic<std::int64_t>* bytes = new std::atomic<std::int64_t>(0);
    return *bytes;
}

// Two spellings of one file (relative or absolute, "a/./b") must meet in the
// registry.
std::string UseKey(const std::filesystem::path& entry) {
    std::error_code error;
    std::filesystem::path full = std::filesystem::absolute(entry, error);
    if (error) {
        full = entry;
    }
    return full.lexically_normal().native();
}

class Claim {
public:
    Claim(std::string key, bool writer) : key_(std::move(key)), writer_(writer) {
        held_ = writer_ ? Uses().ClaimWrite(key_) : Uses().ClaimRead(key_);
    }
    ~Claim() {
        if (held_) {
            Uses().Release(key_, writer_);
        }
    }
    Claim(const Claim&) = delete;
    Claim& operator=(const Claim&) = delete;
    bool Held() const { return held_; }
    // The registration now belongs to a reader or writer object.
    std::string Hand() {
        held_ = false;
        return key_;
    }

private:
    std::string key_;
    bool writer_;
    bool held_ = false;
};

class Fd {
public:
    explicit Fd(int fd = -1) : fd_(fd) {}
    ~Fd() {
        if (fd_ >= 0) {
            ::close(fd_);
        }
    }
    Fd(Fd&& other) noexcept : fd_(other.Release()) {}
    Fd& operator=(Fd&& other) noexcept {
        if (this != &other) {
            Fd old(fd_);
            fd_ = other.Release();
        }
        return *this;
    }
    int Get() const { return fd_; }
    int Release() { return std::exchange(fd_, -1); }

private:
    int fd_;
};

// O_NOATIME keeps the last use in the store's hands; it is refused for files
// of another owner, which are then read the ordinary way. O_NONBLOCK keeps a
// FIFO placed in the folder from hanging the open.
int OpenForReading(const std::filesystem::path& path, int extraFlags) {
    const int flags = O_RDONLY | O_CLOEXEC | O_NONBLOCK | extraFlags;
    int fd = ::open(path.c_str(), flags | O_NOATIME);
    if (fd < 0 && errno == EPERM) {
        fd = ::open(path.c_str(), flags);
    }
    return fd;
}

bool IsRegular(int fd, struct stat& info) {
    return ::fstat(fd, &info) == 0 && S_ISREG(info.st_mode);
}

// After taking a lock: is the name still this file? A deleter may have
// unlinked it between our open and our lock.
bool StillNamed(const std::filesystem::path& path, const struct stat& opened) {
    struct stat named;
    return ::lstat(path.c_str(), &named) == 0 && named.st_ino == opened.st_ino &&
           named.st_dev == opened.st_dev;
}

timespec ToTimespec(Clock::TimePoint t) {
    const auto since = std::chrono::duration_cast<std::chrono::nanoseconds>(t.time_since_epoch());
    const auto whole = std::chrono::floor<std::chrono::seconds>(since);
    timespec result{};
    result.tv_sec = static_cast<time_t>(whole.count());
    result.tv_nsec = static_cast<long>((since - whole).count());
    return result;
}

// A hand-edited attribute or a file dated past 2262 must not overflow the
// clock's nanoseconds.
Clock::TimePoint FromSeconds(std::int64_t seconds, long nanoseconds = 0) {
    using std::chrono::duration_cast;
    constexpr std::int64_t kLimit =
        duration_cast<std::chrono::seconds>(Clock::TimePoint::duration::max()).count() - 1;
    if (seconds >= kLimit) {
        return Clock::TimePoint::max();
    }
    if (seconds <= -kLimit) {
        return Clock::TimePoint::min();
    }
    return Clock::TimePoint(duration_cast<Clock::TimePoint::duration>(
        std::chrono::seconds(seconds) + std::chrono::nanoseconds(nanoseconds)));
}

Clock::TimePoint FromTimespec(const timespec& time) {
    return FromSeconds(time.tv_sec, time.tv_nsec);
}

// Attribute values of any length the file system keeps (keys are URLs).
std::optional<std::string> GetAttr(int fd, const char* name) {
    std::string value(64, '\0');
    for (int attempt = 0; attempt < 3; ++attempt) {
        const ssize_t n = ::fgetxattr(fd, name, value.data(), value.size());
        if (n >= 0) {
            value.resize(static_cast<std::size_t>(n));
            return value;
        }
        if (errno != ERANGE) {
            return std::nullopt;
        }
        const ssize_t needed = ::fgetxattr(fd, name, nullptr, 0);
        if (needed < 0) {
            return std::nullopt;
        }
        value.resize(static_cast<std::size_t>(needed) + 1);
    }
    return std::nullopt;
}

bool SetAttr(int fd, const char* name, std::string_view value) {
    return ::fsetxattr(fd, name, value.data(), value.size(), 0) == 0;
}

// The fields kept for answers from the cache. A file system gives all of a
// file's attributes one room (a block on ext4), which a URL of a few
// kilobytes leaves too small for them all; they are kept all or not at all:
// a page served without one of its policy fields (its
// Content-Security-Policy) would be open to what the policy forbids.
bool SetFieldsAttr(int fd, std::string_view lines) {
    if (lines.empty()) {
        ::fremovexattr(fd, kFieldsAttr);
        return true;
    }
    return SetAttr(fd, kFieldsAttr, lines);
}

bool TrailerFlagged(int fd) {
    return GetAttr(fd, kTrailerAttr) == "1";
}

// The origin date, or the completion time where the attribute is missing
// (a file system without extended attributes).
Clock::TimePoint OriginOf(int fd, const struct stat& info) {
    if (const auto text = GetAttr(fd, kOriginAttr)) {
        std::int64_t seconds = 0;
        const auto [end, error] =
            std::from_chars(text->data(), text->data() + text->size(), seconds);
        if (error == std::errc() && end == text->data() + text->size()) {
            return FromSeconds(seconds);
        }
    }
    return FromTimespec(info.st_mtim);
}

bool ReadAll(int fd, char* buf, std::size_t n, off_t offset) {
    while (n > 0) {
        const ssize_t got = ::pread(fd, buf, n, offset);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0) {
            return false;
        }
        buf += got;
        n -= static_cast<std::size_t>(got);
        offset += got;
    }
    return true;
}

std::string BuildTrailer(std::string_view contentType, std::string_view contentEncoding) {
    std::string trailer;
    const auto add = [&](std::string_view value) {
        const auto length = static_cast<unsigned char>(value.size() % 256);
        trailer.append(value.substr(0, length));
        trailer.push_back(static_cast<char>(length));
    };
    if (!contentType.empty()) {
        add(contentType);
    }
    add(contentEncoding);
    trailer.push_back(contentType.empty() ? 1 : 2);
    return trailer;
}

struct Trailer {
    std::size_t size = 0;
    std::string contentType;
    std::string contentEncoding;
};

// `tail` is the end of the file (all of it when shorter than kMaxTrailer).
std::optional<Trailer> ParseTrailer(std::string_view tail) {
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(tail[i]); };
    const std::size_t n = tail.size();
    if (n == 0) {
        return std::nullopt;
    }
    const unsigned count = byte(n - 1);
    Trailer trailer;
    if (count > 2) {
        if (n < count + 1) {
            return std::nullopt;
        }
        trailer.size = count + 1;
        trailer.contentEncoding = tail.substr(n - 1 - count, count);
        return trailer;
    }
    if (count == 0 || n < 2) {
        return std::nullopt;
    }
    const std::size_t encodingLength = byte(n - 2);
    if (n < encodingLength + 2) {
        return std::nullopt;
    }
    const std::size_t encodingStart = n - 2 - encodingLength;
    trailer.contentEncoding = tail.substr(encodingStart, encodingLength);
    trailer.size = encodingLength + 2;
    if (count == 2) {
        if (encodingStart < 1) {
            return std::nullopt;
        }
        const std::size_t typeLength = byte(encodingStart - 1);
        if (encodingStart - 1 < typeLength) {
            return std::nullopt;
        }
        trailer.contentType = tail.substr(encodingStart - 1 - typeLength, typeLength);
        trailer.size += typeLength + 1;
    }
    return trailer;
}

// What an entry records goes into header lines; a text no header line could
// have given (a line break, a NUL) is a damaged entry's or a planted one's,
// and would add fields of its own or end the head early.
bool FitsAFieldValue(std::string_view text) {
    return text.find_first_of(std::string_view("\r\n\0", 3)) == std::string_view::npos;
}

// A trailer read from its layout alone, for an entry that came from
// elsewhere: a coding the web uses and, with a count of 2, a media type
// before it. A body that merely ends in a byte of 1 or 2 is no trailer.
bool PlausibleTrailer(const Trailer& trailer) {
    static constexpr std::string_view kCodings[] = {"gzip",     "x-gzip",     "deflate", "br",
                                                    "compress", "x-compress", "zstd"};
    const bool coding = std::any_of(std::begin(kCodings), std::end(kCodings), [&](auto name) {
        return cp1251::EqualsNoCase(trailer.contentEncoding, name);
    });
    const std::string_view type = trailer.contentType;
    const bool typeFits =
        std::all_of(type.begin(), type.end(), [](char c) { return c >= ' ' && c <= '~'; }) &&
        (type.empty() || type.find('/') != std::string_view::npos);
    return coding && typeFits;
}

std::optional<struct stat> StatRegular(const std::filesystem::path& entry) {
    struct stat info;
    if (::stat(entry.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) {
        return std::nullopt;
    }
    return info;
}

// Opens and exclusively locks a file so that it can be unlinked or replaced:
// fails while anyone (any process) reads it or writes it.
// A file of the user's own that the user may not read (a hand's chmod) could
// otherwise never be deleted nor replaced, though its folder lets it go, as
// the user's own rm would: it is made readable first.
int OpenForRemoval(const std::filesystem::path& path) {
    int fd = OpenForReading(path, O_NOFOLLOW);
    struct stat named;
    if (fd < 0 && errno == EACCES && ::lstat(path.c_str(), &named) == 0 && S_ISREG(named.st_mode) &&
        named.st_uid == ::geteuid() &&
        ::chmod(path.c_str(), (named.st_mode & 07777) | S_IRUSR | S_IWUSR) == 0) {
        fd = OpenForReading(path, O_NOFOLLOW);
    }
    return fd;
}

std::optional<Fd> LockForRemoval(const std::filesystem::path& path) {
    Fd fd(OpenForRemoval(path));
    struct stat info;
    if (fd.Get() < 0 || !IsRegular(fd.Get(), info) || ::flock(fd.Get(), LOCK_EX | LOCK_NB) != 0 ||
        !StillNamed(path, info)) {
        return std::nullopt;
    }
    return std::optional<Fd>(std::in_place, fd.Release());
}

std::atomic<std::uint64_t> temporaryCounter{0};

// The room the cache leaves free on its disk: a twentieth of it, at most
// 64 MiB. The settings, lists and statistics saved at exit are written
// whole to a temporary file first, and on a disk the cache filled to the
// last byte every one of those saves failed, the day's counts with them.
bool InLastReserve(const struct statvfs& room) {
    constexpr std::uint64_t kMostReserved = 64 << 20;
    const std::uint64_t size = static_cast<std::uint64_t>(room.f_blocks) * room.f_frsize;
    const std::uint64_t free = static_cast<std::uint64_t>(room.f_bavail) * room.f_frsize;
    return free < std::min(kMostReserved, size / 20);
}

// The lock marks a new temporary file as live for RemoveTemporaries, of this
// process or another; after the rename it keeps other processes' readers out
// until we are done. A sweep may find the file in the moment between its
// creation and the lock and remove it: then it is no longer ours to fill.
// Where the file system has no locks at all, there is nobody to keep out.
bool LockAsLive(int fd, const std::filesystem::path& temp) {
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK) {
        return false;
    }
    struct stat info;
    return ::fstat(fd, &info) == 0 && StillNamed(temp, info);
}

}  // namespace

EntryWriter::EntryWriter(std::filesystem::path entry, std::string key, std::string useKey,
                         std::filesystem::path temp, int fd, bool xattrs)
    : entry_(std::move(entry)),
      key_(std::move(key)),
      useKey_(std::move(useKey)),
      temp_(std::move(temp)),
      fd_(fd),
      xattrs_(xattrs) {}

EntryWriter::~EntryWriter() {
    Discard();
}

bool EntryWriter::Append(std::string_view bytes) {
    if (fd_ < 0 || failed_) {
        return false;
    }
    if (!WriteAll(fd_, bytes)) {
        Failed(errno);
    }
    Appended(bytes.size());
    return !failed_;
}

void EntryWriter::Failed(int error) {
    if (!failed_) {
        failed_ = true;
        error_ = error != 0 ? error : EIO;
    }
}

void EntryWriter::Appended(std::size_t bytes) {
    if (fd_ < 0 || failed_) {
        return;
    }
    written_ += static_cast<std::int64_t>(bytes);
    if (written_ > kResidentTail && written_ - sentToDisk_ >= kWriteBehindStep) {
        WriteBehind();
        if (OutgrowsTheDisk()) {
            failed_ = true;  // given up, with no error of the disk to tell
        }
    }
}

// An answer without end (a live stream sent chunked, a hostile origin)
// would fill the disk the settings and statistics live on: an entry may
// take a quarter of the room there was when it began, as Reserve allows,
// and never the disk's last reserve. Room Reserve set aside was taken from
// the disk then: the entry grows into blocks it holds already, whatever
// others have stored since.
bool EntryWriter::OutgrowsTheDisk() const {
    if (written_ <= reserved_) {
        return false;
    }
    struct statvfs room {};
    if (::fstatvfs(fd_, &room) != 0) {
        return false;
    }
    const auto free = static_cast<std::uint64_t>(room.f_bavail) * room.f_frsize +
                      static_cast<std::uint64_t>(replaced_);
    return static_cast<std::uint64_t>(written_) >
               (free + static_cast<std::uint64_t>(written_)) / 4 ||
           InLastReserve(room);
}

// A download of hundreds of megabytes would otherwise fill the page cache
// with pages nobody reads soon, pushing out the desktop's own files, and
// every one of them fresh memory: on a machine that hands its free memory
// back to a host (a virtual machine), fresh pages cost more than the copy.
// So the body is sent to the disk as it comes, and the pages behind the
// last kResidentTail bytes are handed back once written, to be taken again
// at once for the next bytes. Neither waits for the disk to finish: pages
// it has not written yet are skipped (they stay cached, as without this) and
// tried again on the next step, so a slow disk costs memory, not speed.
void EntryWriter::WriteBehind() {
    ::sync_file_range(fd_, sentToDisk_, written_ - sentToDisk_, SYNC_FILE_RANGE_WRITE);
    sentToDisk_ = written_;
    const std::int64_t end = written_ - kResidentTail;
    const std::int64_t from = std::max<std::int64_t>(0, handedBack_ - kResidentTail);
    ::posix_fadvise(fd_, from, end - from, POSIX_FADV_DONTNEED);
    handedBack_ = end;
}

void EntryWriter::Reserve(std::int64_t bytes) {
    if (fd_ < 0 || failed_ || bytes <= 0) {
        return;
    }
    // An origin may announce far more than it sends, and slowly: all
    // answers in flight together hold a quarter of the free room at most
    // (the room they hold counted in), so that they can never fill the disk
    // the settings and statistics are written to.
    struct statvfs room {};
    if (reserved_ > 0 || ::fstatvfs(fd_, &room) != 0) {
        return;
    }
    const std::int64_t aside = RoomSetAside().load();
    const auto free = static_cast<std::int64_t>(std::min<std::uint64_t>(
        static_cast<std::uint64_t>(room.f_bavail) * room.f_frsize +
            static_cast<std::uint64_t>(replaced_),
        std::numeric_limits<std::int64_t>::max() / 2));
    if (bytes > (free + aside) / 4 - aside) {
        return;
    }
    // Not an error when refused (a file system without it): the writes
    // then find their blocks as they go.
    if (::fallocate(fd_, FALLOC_FL_KEEP_SIZE, 0, static_cast<off_t>(bytes)) == 0) {
        reserved_ = bytes;
        RoomSetAside() += bytes;
    }
}

void EntryWriter::Close() {
    if (fd_ >= 0) {
        ::close(fd_);
        fd_ = -1;
    }
    RoomSetAside() -= std::exchange(reserved_, 0);
    if (claimed_) {
        Uses().Release(useKey_, true);
        claimed_ = false;
    }
}

void EntryWriter::Discard() {
    if (fd_ >= 0 && ::unlink(temp_.c_str()) != 0 && errno == ENOENT) {
        // A folder on the way was renamed meanwhile (the user moving the
        // cache aside): the file is found where it is now, or it would stay
        // there for good, out of reach of the start-up's sweep.
        const std::string link = "/proc/self/fd/" + std::to_string(fd_);
        std::error_code error;
        const std::filesystem::path now = std::filesystem::read_symlink(link, error);
        if (!error && now.filename() == temp_.filename()) {
            ::unlink(now.c_str());
        }
    }
    Close();
}

bool EntryWriter::Finish(std::string_view contentType, std::string_view contentEncoding,
                         Clock::TimePoint originDate, bool haveOriginDate, Clock::TimePoint now) {
    if (fd_ < 0) {
        return false;
    }
    const bool trailer = !contentEncoding.empty();
    // A trailer holds 255 bytes of a value; a longer coding is no coding a
    // browser knows.
    constexpr std::size_t kTrailerValueMost = 255;
    if (contentEncoding.size() > kTrailerValueMost) {
        Discard();
        return false;
    }
    // Without its key an entry could never be served for sure; without the
    // flag its trailer would be served as body. An answer begun before a
    // write to its URL is the old content.
    if (failed_ || ((trailer || !key_.empty()) && !xattrs_) || Uses().Outdated(useKey_)) {
        Discard();
        return false;
    }
    if (trailer && !WriteAll(fd_, BuildTrailer(contentType, contentEncoding))) {
        Failed(errno);
        Discard();
        return false;
    }
    if (xattrs_) {
        // Without the flag the trailer would be served as body. BeginEntry
        // already set it to "0".
        if ((trailer && !SetAttr(fd_, kTrailerAttr, "1")) ||
            (!key_.empty() && !SetAttr(fd_, kKeyAttr, key_))) {
            // Told of by nobody: a file system has a room of its own for
            // attributes, which a very long URL's key alone can fill.
            Discard();
            return false;
        }
        if ((!trailer && !contentType.empty()) || contentType.size() > kTrailerValueMost) {
            // Without it the type is guessed from the body when served; a
            // trailer keeps only the start of a long one.
            if (!SetAttr(fd_, kTypeAttr, contentType) && trailer) {
                Discard();
                return false;
            }
        }
        // Without the tag, the date or the size, the proxy would ask the
        // origin with its own clock's date, and be told "not modified" of a
        // changed page, or serve an entry cut short: an entry whose key
        // left no room for them is none.
        struct stat written {};
        // Whole seconds: HTTP dates have no fractions, and keeping the odd
        // second is what makes If-Modified-Since equal the origin's date.
        const auto origin =
            std::chrono::floor<std::chrono::seconds>(haveOriginDate ? originDate : now);
        if ((!entityTag_.empty() && !SetAttr(fd_, kEntityTagAttr, entityTag_)) ||
            ::fstat(fd_, &written) != 0 ||
            !SetAttr(fd_, kSizeAttr, std::to_string(written.st_size)) ||
            !SetAttr(fd_, kOriginAttr, std::to_string(origin.time_since_epoch().count()))) {
            Discard();
            return false;
        }
        // Last, as they may not fit in what room a long URL's key leaves.
        if (!SetFieldsAttr(fd_, keptFields_)) {
            Discard();
            return false;
        }
    }
    // Last of all changes to the file: a write after it would move mtime.
    const timespec times[2] = {ToTimespec(now), ToTimespec(now)};
    ::futimens(fd_, times);

    // The old copy, or another process's file of that name: replacing it
    // while another process reads it is refused.
    std::optional<Fd> previous;
    struct stat existing;
    if (::lstat(entry_.c_str(), &existing) == 0) {
        if (S_ISDIR(existing.st_mode) || !(previous = LockForRemoval(entry_))) {
            Discard();
            return false;
        }
    }
    if (::rename(temp_.c_str(), entry_.c_str()) != 0) {
        Failed(errno);
        Discard();
        return false;
    }
    Close();
    return true;
}

std::unique_ptr<EntryWriter> BeginEntry(const CacheDir& dir, const std::filesystem::path& entry,
                                        std::string key, EntryMetadata metadata) {
    Claim claim(UseKey(entry), true);
    if (!claim.Held()) {
        errno = 0;
        return nullptr;
    }
    struct stat existing;
    const bool exists = ::lstat(entry.c_str(), &existing) == 0;
    // A folder of longer URLs stands there, unless it is an empty one that
    // a download given up left behind: that one would keep this URL out of
    // the cache for good.
    if (exists && S_ISDIR(existing.st_mode) && ::rmdir(entry.c_str()) != 0) {
        errno = 0;
        return nullptr;
    }
    if (struct statvfs room{}; ::statvfs(dir.Root().c_str(), &room) == 0 && InLastReserve(room)) {
        errno = ENOSPC;
        return nullptr;
    }
    if (!ForceEntryDirs(dir, entry)) {
        return nullptr;
    }

    const std::filesystem::path folder = entry.parent_path();
    std::filesystem::path temp;
    Fd fd;
    for (int attempt = 0; attempt < 100 && fd.Get() < 0; ++attempt) {
        std::string name(kTemporaryPrefix);
        name += std::to_string(::getpid());
        name += '-';
        name += std::to_string(temporaryCounter.fetch_add(1));
        temp = folder / name;
        // 0666 so that the umask decides, as for any file the user makes.
        fd = Fd(::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666));
        if (fd.Get() < 0 && errno != EEXIST) {
            if (errno == ENOENT) {
                errno = 0;  // the cleaning removed the folder just made
            }
            return nullptr;
        }
        if (fd.Get() >= 0 && !LockAsLive(fd.Get(), temp)) {
            ::unlink(temp.c_str());  // if the sweep has not yet: the name is ours alone
            fd = Fd();
        }
    }
    if (fd.Get() < 0) {
        return nullptr;
    }
    // Setting the flag now tells whether Finish will be able to keep a
    // trailer, before the caller spends effort on an encoded answer.
    const bool xattrs =
        metadata == EntryMetadata::kExtendedAttributes && SetAttr(fd.Get(), kTrailerAttr, "0");
    const int refusal = errno;
    std::unique_ptr<EntryWriter> writer(new EntryWriter(entry, std::move(key), claim.Hand(),
                                                        std::move(temp), fd.Release(), xattrs));
    // Without its attributes an entry could never be served for sure.
    if (metadata == EntryMetadata::kExtendedAttributes && !xattrs) {
        writer.reset();
        errno = refusal;
        return nullptr;
    }
    // The old copy stays until Finish renames the new one over it: an answer
    // the disk runs out of room for, or the user stops, leaves it to be
    // served offline. One another process reads could not be replaced then,
    // so the answer is not written at all. A link or the like is no entry.
    if (exists && !S_ISDIR(existing.st_mode)) {
        if (!S_ISREG(existing.st_mode)) {
            ::unlink(entry.c_str());
        } else if (!LockForRemoval(entry)) {
            writer.reset();
            errno = 0;  // read elsewhere
            return nullptr;
        } else {
            writer->replaced_ = static_cast<std::int64_t>(existing.st_blocks) * 512;
        }
    }
    return writer;
}

int AttributesRefusedIn(const std::filesystem::path& root) {
    // A temporary's name: the start-up sweep takes it should the proxy stop
    // before it goes.
    const std::filesystem::path probe =
        root / (std::string(kTemporaryPrefix) + "probe-" + std::to_string(::getpid()));
    const Fd fd(::open(probe.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600));
    if (fd.Get() < 0) {
        return 0;
    }
    const int refused = SetAttr(fd.Get(), kKeyAttr, "probe") ? 0 : errno;
    ::unlink(probe.c_str());
    return refused;
}

EntryReader::~EntryReader() {
    if (fd_ >= 0) {
        ::close(fd_);
    }
    Uses().Release(useKey_, false);
}

std::string EntryReader::Head(std::size_t n) const {
    std::string head(static_cast<std::size_t>(std::min<std::int64_t>(bodySize_, n)), '\0');
    if (!ReadAll(fd_, head.data(), head.size(), 0)) {
        return "";
    }
    return head;
}

std::size_t EntryReader::ReadSome(char* buf, std::size_t n) {
    const auto wanted = static_cast<std::size_t>(std::min<std::int64_t>(bodySize_ - position_, n));
    if (wanted == 0) {
        return 0;
    }
    ssize_t got;
    do {
        got = ::pread(fd_, buf, wanted, position_);
    } while (got < 0 && errno == EINTR);
    if (got <= 0) {
        return 0;
    }
    position_ += got;
    return static_cast<std::size_t>(got);
}

std::int64_t EntryReader::SendSome(int out, std::size_t n) {
    const auto wanted = static_cast<std::size_t>(std::min<std::int64_t>(bodySize_ - position_, n));
    if (wanted == 0) {
        return 0;
    }
    off_t offset = position_;
    ssize_t sent;
    do {
        sent = ::sendfile(out, fd_, &offset, wanted);
    } while (sent < 0 && errno == EINTR);
    if (sent < 0) {
        return -1;
    }
    position_ = offset;
    return sent;
}

std::string EntryReader::ReadBody(std::size_t maxBytes) {
    std::string body(
        static_cast<std::size_t>(std::min<std::int64_t>(bodySize_ - position_, maxBytes)), '\0');
    std::size_t done = 0;
    while (done < body.size()) {
        const std::size_t got = ReadSome(body.data() + done, body.size() - done);
        if (got == 0) {
            break;
        }
        done += got;
    }
    body.resize(done);
    return body;
}

std::string EntryReader::EntityTag() const {
    std::string tag = GetAttr(fd_, kEntityTagAttr).value_or("");
    return FitsAFieldValue(tag) ? tag : std::string();
}

std::string EntryReader::KeptFields() const {
    const std::string recorded = GetAttr(fd_, kFieldsAttr).value_or("");
    std::string lines;
    for (std::size_t start = 0, end; (end = recorded.find("\r\n", start)) != std::string::npos;
         start = end + 2) {
        if (const std::string_view line(recorded.data() + start, end - start);
            FitsAFieldValue(line)) {
            lines.append(line).append("\r\n");
        }
    }
    return lines;
}

void EntryReader::KeepFields(std::string_view lines) {
    // Renewed fields that do not fit leave the earlier ones, whole.
    SetFieldsAttr(fd_, lines);
}

bool EntryReader::MarkUsed(Clock::TimePoint now) {
    const timespec times[2] = {ToTimespec(now), {0, UTIME_OMIT}};
    return ::futimens(fd_, times) == 0;
}

std::unique_ptr<EntryReader> OpenEntry(const std::filesystem::path& entry) {
    Claim claim(UseKey(entry), false);
    if (!claim.Held()) {
        return nullptr;
    }
    // O_NOFOLLOW: a link planted in the folder must not serve a file from
    // outside it.
    Fd fd(OpenForReading(entry, O_NOFOLLOW));
    struct stat info;
    if (fd.Get() < 0 || !IsRegular(fd.Get(), info) || ::flock(fd.Get(), LOCK_SH | LOCK_NB) != 0 ||
        !StillNamed(entry, info)) {
        return nullptr;
    }
    // Every entry this program writes carries the flag, "0" or "1".
    const std::optional<std::string> flag = GetAttr(fd.Get(), kTrailerAttr);
    // A file cut short (a copy that ran out of room, a hand's truncate) would
    // be served as a whole answer of its new length; so would one of ours
    // whose size went (stored by a version that kept none), and an empty
    // file from elsewhere is what a copy leaves where it ran out of room.
    const auto size = GetAttr(fd.Get(), kSizeAttr);
    if (size ? ParseDigits(*size) != std::optional<std::int64_t>(info.st_size)
             : flag.has_value() || info.st_size == 0) {
        return nullptr;
    }
    const auto tail = [&]() -> std::optional<Trailer> {
        const auto tailSize =
            static_cast<std::size_t>(std::min<std::int64_t>(info.st_size, kMaxTrailer));
        std::string bytes(tailSize, '\0');
        if (!ReadAll(fd.Get(), bytes.data(), bytes.size(), info.st_size - tailSize)) {
            return std::nullopt;
        }
        return ParseTrailer(bytes);
    };
    Trailer trailer;
    bool hasTrailer = flag == "1";
    if (hasTrailer) {
        std::optional<Trailer> parsed = tail();
        if (!parsed) {
            return nullptr;
        }
        trailer = std::move(*parsed);
    } else if (!flag) {
        // An entry that came from elsewhere (copied from the Windows
        // program, whose trailer flag was a file attribute no copy keeps).
        if (std::optional<Trailer> parsed = tail(); parsed && PlausibleTrailer(*parsed)) {
            trailer = std::move(*parsed);
            hasTrailer = true;
        }
    }
    // A type too long for the trailer is recorded whole beside it.
    std::optional<std::string> recordedType = GetAttr(fd.Get(), kTypeAttr);
    std::string type = recordedType ? std::move(*recordedType)
                       : hasTrailer ? std::move(trailer.contentType)
                                    : std::string();
    if (!FitsAFieldValue(type) || !FitsAFieldValue(trailer.contentEncoding)) {
        return nullptr;
    }
    std::unique_ptr<EntryReader> reader(new EntryReader);
    reader->entry_ = entry;
    reader->bodySize_ = info.st_size - static_cast<std::int64_t>(trailer.size);
    reader->hasTrailer_ = hasTrailer;
    reader->writtenHere_ = flag.has_value();
    reader->contentType_ = std::move(type);
    reader->contentEncoding_ = std::move(trailer.contentEncoding);
    reader->key_ = GetAttr(fd.Get(), kKeyAttr).value_or("");
    reader->originDate_ = OriginOf(fd.Get(), info);
    reader->completionTime_ = FromTimespec(info.st_mtim);
    reader->fd_ = fd.Release();
    reader->useKey_ = claim.Hand();
    return reader;
}

std::unique_ptr<EntryReader> OpenEntryFor(const std::filesystem::path& entry,
                                          std::string_view key) {
    std::unique_ptr<EntryReader> reader = OpenEntry(entry);
    if (!reader || key.empty()) {
        return nullptr;
    }
    // An entry without a key came from elsewhere: like the Windows program's
    // own entries, it answers every URL that maps to its file. A key written
    // by an earlier version may spell escapes in small letters.
    if (!reader->Key().empty() && reader->Key() != key && EntryIdentity(reader->Key()) != key) {
        return nullptr;
    }
    return reader;
}

Clock::TimePoint EntryOriginDate(const std::filesystem::path& entry, Clock::TimePoint now) {
    Fd fd(OpenForReading(entry, 0));
    struct stat info;
    if (fd.Get() < 0 || !IsRegular(fd.Get(), info)) {
        return now;
    }
    return OriginOf(fd.Get(), info);
}

Clock::TimePoint EntryCompletionTime(const std::filesystem::path& entry, Clock::TimePoint now) {
    const auto info = StatRegular(entry);
    return info ? FromTimespec(info->st_mtim) : now;
}

Clock::TimePoint EntryLastUse(const std::filesystem::path& entry, Clock::TimePoint now) {
    const auto info = StatRegular(entry);
    return info ? FromTimespec(info->st_atim) : now;
}

bool EntryHasTrailer(const std::filesystem::path& entry) {
    Fd fd(OpenForReading(entry, 0));
    struct stat info;
    return fd.Get() >= 0 && IsRegular(fd.Get(), info) && TrailerFlagged(fd.Get());
}

bool EntryExists(const std::filesystem::path& entry) {
    return StatRegular(entry).has_value();
}

std::int64_t GetFileSize64(const std::filesystem::path& entry) {
    const auto info = StatRegular(entry);
    return info ? static_cast<std::int64_t>(info->st_size) : -1;
}

bool MarkUsed(const std::filesystem::path& entry, Clock::TimePoint now) {
    const timespec times[2] = {ToTimespec(now), {0, UTIME_OMIT}};
    return ::utimensat(AT_FDCWD, entry.c_str(), times, AT_SYMLINK_NOFOLLOW) == 0;
}

bool DeleteEntry(const std::filesystem::path& entry) {
    const Claim claim(UseKey(entry), true);
    if (!claim.Held()) {
        return false;
    }
    const std::optional<Fd> locked = LockForRemoval(entry);
    return locked && ::unlink(entry.c_str()) == 0;
}

void OutdateEntry(const std::filesystem::path& entry) {
    const std::string key = UseKey(entry);
    if (!Uses().ClaimWriteOrOutdate(key)) {
        return;  // in use: it goes when its last user lets it go
    }
    // Unlinked even while another process sharing the folder reads it (its
    // lock would spare it from a cleaning): that reader's open file reads on,
    // and kept, the old content would be answered after the write.
    struct stat info;
    if (::lstat(entry.c_str(), &info) == 0 && S_ISREG(info.st_mode)) {
        ::unlink(entry.c_str());
    }
    Uses().Release(key, true);
}

void DeleteDirTree(const std::filesystem::path& dir) {
    std::vector<std::filesystem::path> files;
    std::vector<std::filesystem::path> folders;
    std::error_code error;
    for (auto it = std::filesystem::recursive_directory_iterator(
             dir, std::filesystem::directory_options::skip_permission_denied, error);
         !error && it != std::filesystem::recursive_directory_iterator(); it.increment(error)) {
        const auto status = it->symlink_status(error);
        if (std::filesystem::is_directory(status)) {
            folders.push_back(it->path());
        } else if (std::filesystem::is_regular_file(status)) {
            files.push_back(it->path());
        } else {
            // Links and the like are no entries and nobody locks them.
            ::unlink(it->path().c_str());
        }
    }
    for (const auto& file : files) {
        DeleteEntry(file);
    }
    // Deepest first, so that a folder is empty by the time it comes.
    std::sort(folders.begin(), folders.end(),
              [](const auto& a, const auto& b) { return a.native().size() > b.native().size(); });
    for (const auto& folder : folders) {
        ::rmdir(folder.c_str());
    }
    ::rmdir(dir.c_str());
}

void RemoveTemporaries(const std::filesystem::path& cacheDir, const std::atomic<bool>& stop) {
    std::vector<std::filesystem::path> temporaries;
    std::error_code error;
    for (auto it = std::filesystem::recursive_directory_iterator(
             cacheDir, std::filesystem::directory_options::skip_permission_denied, error);
         !error && !stop && it != std::filesystem::recursive_directory_iterator();
         it.increment(error)) {
        if (it->path().filename().native().starts_with(kTemporaryPrefix) &&
            it->is_regular_file(error)) {
            temporaries.push_back(it->path());
        }
    }
    for (const auto& temporary : temporaries) {
        if (stop) {
            return;
        }
        // A live writer holds its lock; only abandoned files give theirs.
        if (const auto locked = LockForRemoval(temporary)) {
            ::unlink(temporary.c_str());
        }
    }
}

}  // namespace vs::cache
