#pragma once
// Replacing a file so that a crash or a full disk leaves either the old
// content or the new one, never a mixture or a truncated file.

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace vs {

// Writes bytes to a temporary file next to path, syncs it, gives it perms
// (the umask does not apply; an existing file's stricter mode and, where
// allowed, its owner are kept) and renames it over path; a path that is a
// symbolic link of this process's user has the file it leads to replaced,
// the link kept, also while that file is missing. On failure
// the temporary file is removed, path is untouched and std::system_error is
// thrown.
void WriteFileAtomically(const std::filesystem::path& path, std::string_view bytes,
                         std::filesystem::perms perms);

// WriteFileAtomically in two steps, for files that must change together:
// the constructor writes and syncs the temporary file (throwing, with
// nothing left behind, when it cannot), Commit puts it in place. Not
// committed, the temporary file goes with the object.
class FileReplacement {
public:
    FileReplacement(const std::filesystem::path& path, std::string_view bytes,
                    std::filesystem::perms perms);
    ~FileReplacement();
    FileReplacement(FileReplacement&& other) noexcept
        : path_(std::move(other.path_)), temporary_(std::exchange(other.temporary_, {})) {}
    FileReplacement(const FileReplacement&) = delete;
    FileReplacement& operator=(const FileReplacement&) = delete;
    FileReplacement& operator=(FileReplacement&&) = delete;

    // Throws std::system_error when the rename fails; path is then untouched.
    void Commit();

private:
    std::filesystem::path path_;
    std::string temporary_;  // empty: nothing to put in place
};

// Removes the temporary files of WriteFileAtomically that a process ended
// in the middle of a save (a kill, a power loss) left in `folder`, for the
// files named in `names`. Only regular files named exactly as that writer
// names them go. The caller must know that no other process is saving
// those files now.
void RemoveSaveLeftovers(const std::filesystem::path& folder,
                         const std::vector<std::string_view>& names);

// Writes all of bytes at the descriptor's position, retrying short and
// interrupted writes. False on the first failure (errno says why); the file
// then holds an unknown part of them.
bool WriteAll(int fd, std::string_view bytes);

// Reading a whole file, telling a missing file (an ordinary first run) from
// one that exists but cannot be read.
enum class FileRead { kOk, kMissing, kFailed };
FileRead ReadWholeFile(const std::filesystem::path& path, std::string& bytes);

// Opens a file to be read whole: -1 (errno set) for anything but a regular
// file, so that a FIFO or a device put in the data folder fails the read
// instead of holding the start until a writer comes. The null device is the
// one exception: a list or settings file linked to it reads as empty, the
// usual way to switch one off.
int OpenFileToRead(const std::filesystem::path& path);

// Which version of a file a path names: replacing the file (a new inode),
// writing it in place (its size or modification time) and removing it all
// give another version.
struct FileVersion {
    bool exists = false;
    std::uint64_t device = 0;
    std::uint64_t inode = 0;
    std::int64_t size = 0;
    std::int64_t modifiedNs = 0;

    static FileVersion Of(const std::filesystem::path& path);
    bool operator==(const FileVersion&) const = default;
};

}  // namespace vs
