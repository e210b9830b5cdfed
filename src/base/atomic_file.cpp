#include "base/atomic_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <system_error>
#include <utility>

namespace vs {
namespace {

std::system_error SystemError(const std::string& what, const std::string& path) {
    return std::system_error(errno, std::generic_category(), what + " " + path);
}

// The temporary of a save of `name` is "." + name + "." + six ASCII letters
// or digits chosen by mkostemp; the dot keeps it out of plain listings.
std::string TemporaryPrefix(std::string_view name) {
    std::string prefix = ".";
    prefix += name;
    prefix += '.';
    return prefix;
}
constexpr std::string_view kTemporaryTemplate = "XXXXXX";

bool IsTemporaryOf(std::string_view candidate, std::string_view name) {
    const std::string prefix = TemporaryPrefix(name);
    if (candidate.size() != prefix.size() + kTemporaryTemplate.size() ||
        !candidate.starts_with(prefix)) {
        return false;
    }
    for (const char c : candidate.substr(prefix.size())) {
        const bool letterOrDigit =
            (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
        if (!letterOrDigit) {
            return false;
        }
    }
    return true;
}

}  // namespace

void RemoveSaveLeftovers(const std::filesystem::path& folder,
                         const std::vector<std::string_view>& names) {
    std::error_code error;
    for (std::filesystem::directory_iterator it(folder, error), end; !error && it != end;
         it.increment(error)) {
        const std::filesystem::directory_entry& item = *it;
        const std::string candidate = item.path().filename().string();
        bool ours = false;
        for (const std::string_view name : names) {
            ours = ours || IsTemporaryOf(candidate, name);
        }
        // A link or a folder of that name is nothing this program made.
        std::error_code ignored;
        if (ours && std::filesystem::is_regular_file(item.symlink_status(ignored))) {
            ::unlink(item.path().c_str());
        }
    }
}

namespace {

// The file at the end of a chain of links, whether it exists or not: a
// link to a share not yet mounted still names where the file belongs.
std::filesystem::path WhereLinksLead(std::filesystem::path at) {
    constexpr int kMostLinks = 40;  // as many as the system follows
    for (int link = 0; link < kMostLinks; ++link) {
        std::error_code notALink;
        const std::filesystem::path next = std::filesystem::read_symlink(at, notALink);
        if (notALink) {
            break;
        }
        at = next.is_absolute() ? next : at.parent_path() / next;
    }
    return std::filesystem::weakly_canonical(at);
}

// A list or settings file linked to the null device is switched off: it
// reads as empty, and what is saved to it goes nowhere.
bool IsNullDevice(const struct stat& info) {
    struct stat null {};
    return S_ISCHR(info.st_mode) && ::stat("/dev/null", &null) == 0 && S_ISCHR(null.st_mode) &&
           info.st_rdev == null.st_rdev;
}

}  // namespace

bool WriteAll(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        const ssize_t done = ::write(fd, bytes.data(), bytes.size());
        if (done < 0 && errno == EINTR) {
            continue;
        }
        if (done <= 0) {
            return false;
        }
        bytes.remove_prefix(static_cast<std::size_t>(done));
    }
    return true;
}

FileReplacement::FileReplacement(const std::filesystem::path& linkOrFile, std::string_view bytes,
                                 std::filesystem::perms perms) {
    // Whoever linked it there (an administrator for a service's user, too)
    // switched the file off: nothing is written, and the link stays.
    struct stat leadsTo {};
    if (::stat(linkOrFile.c_str(), &leadsTo) == 0 && IsNullDevice(leadsTo)) {
        return;  // nothing to put in place
    }
    // A file the user keeps elsewhere and links in (a dotfiles folder, a
    // shared disk) is written where it is: replacing the link would leave
    // the real file behind, never saved again. Only a link of this
    // process's own user is followed: one planted by somebody else would
    // have a daemon write its files wherever that one chose.
    struct stat link {};
    const bool ownLink = ::lstat(linkOrFile.c_str(), &link) == 0 && S_ISLNK(link.st_mode) &&
                         link.st_uid == ::geteuid();
    path_ = ownLink ? WhereLinksLead(linkOrFile) : linkOrFile;
    const std::filesystem::path& path = path_;
    // A device or FIFO is no file of ours to replace: as root the save would
    // put a file in its place. A folder never can be, and is told before
    // anything is written.
    struct stat standing {};
    if (::lstat(path.c_str(), &standing) == 0 && !S_ISREG(standing.st_mode) &&
        !S_ISLNK(standing.st_mode)) {
        errno = S_ISDIR(standing.st_mode) ? EISDIR : EINVAL;
        throw SystemError("will not replace what is no file:", path.string());
    }
    const std::filesystem::path dir = path.has_parent_path() ? path.parent_path() : ".";
    // The temporary file sits next to the target: rename is atomic only
    // within one file system.
    std::string hiddenName = TemporaryPrefix(path.filename().string());
    hiddenName += kTemporaryTemplate;
    std::string tempName = (dir / hiddenName).string();
    int fd = ::mkostemp(tempName.data(), O_CLOEXEC);
    if (fd < 0) {
        throw SystemError("cannot create a temporary file for", path.string());
    }
    const auto fail = [&](const char* what) {
        const std::system_error error = SystemError(what, tempName);
        if (fd >= 0) {
            ::close(fd);
        }
        ::unlink(tempName.c_str());
        throw error;
    };
    if (!WriteAll(fd, bytes)) {
        fail("cannot write");
    }
    // fchmod ignores the umask, so a password file gets exactly 0600. A
    // file the user made stricter (a statistics file kept from the group)
    // stays so, and keeps its owner where this process may give it: a
    // daemon run once as root must not leave the desktop user's files his
    // no more.
    auto mode = static_cast<mode_t>(perms & std::filesystem::perms::mask);
    struct stat previous {};
    if (::stat(path.c_str(), &previous) == 0 && S_ISREG(previous.st_mode)) {
        mode &= previous.st_mode;
        if (::fchown(fd, previous.st_uid, previous.st_gid) != 0) {
            // Not ours to give: the file becomes this process's, as a new one would.
        }
    }
    if (::fchmod(fd, mode) != 0) {
        fail("cannot set the mode of");
    }
    if (::fsync(fd) != 0) {
        fail("cannot sync");
    }
    // Some file systems report a failed write only when the file is closed.
    const int closed = ::close(fd);
    fd = -1;
    if (closed != 0) {
        fail("cannot close");
    }
    temporary_ = std::move(tempName);
}

FileReplacement::~FileReplacement() {
    if (!temporary_.empty()) {
        ::unlink(temporary_.c_str());
    }
}

void FileReplacement::Commit() {
    if (temporary_.empty()) {
        return;
    }
    const std::string tempName = std::exchange(temporary_, std::string());
    if (::rename(tempName.c_str(), path_.c_str()) != 0) {
        const std::system_error error = SystemError("cannot rename", tempName);
        ::unlink(tempName.c_str());
        throw error;
    }
    // Makes the rename itself survive a crash. The new file is already in
    // place, so a failure here is not worth reporting as a failed save.
    const std::filesystem::path dir = path_.has_parent_path() ? path_.parent_path() : ".";
    const int dirFd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dirFd >= 0) {
        ::fsync(dirFd);
        ::close(dirFd);
    }
}

void WriteFileAtomically(const std::filesystem::path& path, std::string_view bytes,
                         std::filesystem::perms perms) {
    FileReplacement(path, bytes, perms).Commit();
}

int OpenFileToRead(const std::filesystem::path& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    struct stat info {};
    if (fd >= 0 && (::fstat(fd, &info) != 0 || !(S_ISREG(info.st_mode) || IsNullDevice(info)))) {
        ::close(fd);
        errno = S_ISDIR(info.st_mode) ? EISDIR : EINVAL;
        return -1;
    }
    return fd;
}

FileRead ReadWholeFile(const std::filesystem::path& path, std::string& bytes) {
    const int fd = OpenFileToRead(path);
    if (fd < 0) {
        return errno == ENOENT ? FileRead::kMissing : FileRead::kFailed;
    }
    char buffer[16384];
    for (;;) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n == 0) {
            break;
        }
        if (n > 0) {
            bytes.append(buffer, static_cast<std::size_t>(n));
        } else if (errno != EINTR) {
            ::close(fd);
            bytes.clear();
            return FileRead::kFailed;
        }
    }
    ::close(fd);
    return FileRead::kOk;
}

FileVersion FileVersion::Of(const std::filesystem::path& path) {
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0) {
        return {};
    }
    return FileVersion{
        true, static_cast<std::uint64_t>(info.st_dev), static_cast<std::uint64_t>(info.st_ino),
        static_cast<std::int64_t>(info.st_size),
        static_cast<std::int64_t>(info.st_mtim.tv_sec) * 1'000'000'000 + info.st_mtim.tv_nsec};
}

}  // namespace vs
