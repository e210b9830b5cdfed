#pragma once
// Where a cached URL lives on disk. The cache is a plain directory tree with
// one file per URL and no index, so the path is the only way to find an
// entry. Keys and mapped paths are CP1251 text like the URL; EntryPath turns
// them into UTF-8 file names, file names being an edge of the program.

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace vs::cache {

// Files being written start with this. No key maps to a segment starting with
// it (EntryPath refuses those keys), so a temporary can never be served as an
// entry or be mistaken for one.
inline constexpr std::string_view kTemporaryPrefix = ".vs-tmp-";

// The cache's root folder. Its path always ends in "/".
class CacheDir {
public:
    CacheDir() = default;
    explicit CacheDir(std::filesystem::path root);
    const std::filesystem::path& Root() const { return root_; }

private:
    std::filesystem::path root_;
};

// The URL lower-cased under CP1251, with "index.htm" added to a URL naming a
// folder, so that "http://h/" and "http://h/index.htm" share one entry; a URL
// without a path ("http://h", "http://h?q") gets "/" first.
std::string CacheKey(std::string_view url);

// What an entry is stored for and served to: the URL as its key has it, but
// with the path and query in their own case. Servers tell "/Report-A" from
// "/report-a"; both map to one entry file, and the identity kept with the
// entry keeps the one from answering for the other.
std::string EntryIdentity(std::string_view url);

// The relative path of a key inside the cache folder: the first "http://" and
// the first "www." removed wherever they stand, ":" turned into "!", and "?"
// into "^/" so that a query becomes one more folder level.
std::string URLToCachePath(std::string_view key);

// The entry file of a key, or nullopt for a key that must never be stored,
// served or looked up: one whose mapped path would be absolute, would climb
// out of the cache with "." or ".." segments (raw clients can send
// "GET http://h/../../x"), has no file name or no folder, contains NUL, or
// has a segment
// starting with kTemporaryPrefix; nor one whose way from the cache folder
// passes a folder that is a symbolic link (it would lead outside).
std::optional<std::filesystem::path> EntryPath(const CacheDir& dir, std::string_view key);

// A Windows path with a drive letter ("C:\Cache", "d:cache").
bool IsWindowsDrive(std::string_view text);

// Reads the cache folder setting (UTF-8). Empty means "Cache"; one trailing "/" or
// "\" is dropped; a text starting with "/" is taken as it is, a Windows path
// with a drive letter means "Cache" in dataDir, anything else (less one
// leading "\", its "\" read as "/") is relative to dataDir.
// Creates the folder when missing, one level only: a missing parent means a
// mistyped setting, and making a whole chain of folders for it would hide
// that; `makeError`, when given, gets why the folder could not be made (0
// when it was; EEXIST also when it stood there already). Returns the text for
// the settings field: the trailing separator goes, a leading "\" stays.
std::string CacheDirPrepare(std::string_view cacheDirText, const std::filesystem::path& dataDir,
                            CacheDir& cacheDir, int* makeError = nullptr);

// Creates the folders between the cache folder and the entry's parent. False
// when they cannot be made, e.g. because a file stands where a folder is
// needed, and when the cache folder itself is missing (it is made only by
// CacheDirPrepare) or the entry is not inside it. errno then tells why, 0
// for a name too long to be stored or an entry where a folder is needed.
bool ForceEntryDirs(const CacheDir& dir, const std::filesystem::path& entry);

}  // namespace vs::cache
