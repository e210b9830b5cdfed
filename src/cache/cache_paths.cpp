#include "cache/cache_paths.h"

#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <system_error>
#include <utility>
#include <vector>

#include "base/cp1251.h"
#include "base/numbers.h"

namespace vs::cache {
namespace {

void EraseFirst(std::string& text, std::string_view what) {
    const std::size_t at = text.find(what);
    if (at != std::string::npos) {
        text.erase(at, what.size());
    }
}

// Checked on the final file name text rather than on the key, because the
// mapping itself can make a ".." ("h/.www../x" loses its "www.").
bool StaysInside(std::string_view relative) {
    if (relative.empty() || relative.find('\0') != std::string_view::npos) {
        return false;
    }
    std::size_t start = 0;
    while (true) {
        const std::size_t slash = relative.find('/', start);
        const std::size_t end = slash == std::string_view::npos ? relative.size() : slash;
        const std::string_view segment = relative.substr(start, end - start);
        const bool first = start == 0;
        const bool last = slash == std::string_view::npos;
        // Empty segments inside are harmless ("a//b" is "a/b"), but an empty
        // first one makes the path absolute and an empty last one names a
        // folder, which cannot be an entry.
        if (segment.empty() && (first || last)) {
            return false;
        }
        // A file right in the cache folder would stand where a site's folder
        // belongs, and no entry of that site could be made after it.
        if (first && last) {
            return false;
        }
        if (segment == "." || segment == ".." || segment.starts_with(kTemporaryPrefix)) {
            return false;
        }
        if (last) {
            return true;
        }
        start = slash + 1;
    }
}

}  // namespace

bool IsWindowsDrive(std::string_view text) {
    return text.size() >= 2 && std::isalpha(static_cast<unsigned char>(text[0])) != 0 &&
           text[1] == ':';
}

CacheDir::CacheDir(std::filesystem::path root) : root_(std::move(root)) {
    if (!root_.empty() && root_.native().back() != '/') {
        root_ += "/";
    }
}

namespace {

// "a/./b" names "a/b", and "a/." names "a/" (apt asks a flat repository
// for "./Release"): one entry for both, where a "." segment would keep the
// URL out of the cache. ".." stays, and keeps it out.
void DropDotSegments(std::string& key, std::size_t pathAt) {
    std::size_t pathEnd = std::min(key.find('?', pathAt), key.size());
    for (std::size_t at = key.find("/./", pathAt); at != std::string::npos && at + 3 <= pathEnd;
         at = key.find("/./", at)) {
        key.erase(at, 2);
        pathEnd -= 2;
    }
    if (pathEnd - pathAt >= 2 && key.compare(pathEnd - 2, 2, "/.") == 0) {
        key.erase(pathEnd - 1, 1);
    }
}

enum class NormalFor {
    kFile,      // the path and query lower-cased too, a folder's file named
    kIdentity,  // the path and query in their own case
};

// The URL with a path and the folder's file name; the scheme and host (which
// never depend on case) lower-cased.
std::string NormalUrl(std::string_view url, NormalFor purpose) {
    std::string key(url);
    // "http://host" and "http://host?q" ask for the site's root, as
    // "http://host/" and "http://host/?q" do.
    const std::size_t host = cp1251::EqualsNoCase(url.substr(0, 7), "http://") ? 7 : 0;
    const std::size_t pathStart = key.find_first_of("/?", host);
    if (pathStart == std::string::npos) {
        key += '/';
    } else if (key[pathStart] == '?') {
        key.insert(pathStart, 1, '/');
    }
    DropDotSegments(key, key.find('/', host));
    // A query names no folder: "?x=a/" is not "?x=a/index.htm". Both map to
    // one file (which needs a name), but each identity answers only itself.
    if (key.back() == '/' && (purpose == NormalFor::kFile || key.find('?') == std::string::npos)) {
        key += "index.htm";
    }
    const std::size_t lowerUpTo =
        purpose == NormalFor::kFile ? key.size() : std::min(pathStart, key.size());
    std::string normal = cp1251::Lower(key.substr(0, lowerUpTo)) + key.substr(lowerUpTo);
    // "%d0%ba" and "%D0%BA" are one character (a browser writes the one, a
    // link on a page the other): the identity keeps its escapes in capitals.
    for (std::size_t i = lowerUpTo; i + 2 < normal.size(); ++i) {
        if (normal[i] == '%' && HexDigitValue(normal[i + 1]) >= 0 &&
            HexDigitValue(normal[i + 2]) >= 0) {
            normal[i + 1] = cp1251::ToUpper(normal[i + 1]);
            normal[i + 2] = cp1251::ToUpper(normal[i + 2]);
            i += 2;
        }
    }
    return normal;
}

}  // namespace

std::string CacheKey(std::string_view url) {
    return NormalUrl(url, NormalFor::kFile);
}

std::string EntryIdentity(std::string_view url) {
    return NormalUrl(url, NormalFor::kIdentity);
}

std::string URLToCachePath(std::string_view key) {
    std::string text(key);
    EraseFirst(text, "http://");
    EraseFirst(text, "www.");
    std::string path;
    path.reserve(text.size() + 4);
    for (const char c : text) {
        if (c == ':') {
            path += '!';
        } else if (c == '?') {
            path += "^/";
        } else {
            path += c;
        }
    }
    return path;
}

namespace {

// Whether a folder on the way from the cache folder to the entry is a
// symbolic link. Following one would read, replace and create files
// outside the cache (a link planted in a cache folder others can write to
// turns the proxy into a writer of the proxy user's own files). Folders
// not made yet are made as real folders.
bool LinkOnTheWay(const std::filesystem::path& root, std::string_view relative) {
    std::filesystem::path folder = root;
    for (std::size_t start = 0, slash; (slash = relative.find('/', start)) != std::string::npos;
         start = slash + 1) {
        if (slash == start) {
            continue;  // "a//b": no folder of its own
        }
        folder /= relative.substr(start, slash - start);
        struct stat info;
        if (::lstat(folder.c_str(), &info) != 0) {
            return false;  // not made yet
        }
        if (!S_ISDIR(info.st_mode)) {
            // A file where a folder is needed fails when the folders are made.
            return S_ISLNK(info.st_mode);
        }
    }
    return false;
}

}  // namespace

std::optional<std::filesystem::path> EntryPath(const CacheDir& dir, std::string_view key) {
    const std::string relative = cp1251::ToUtf8(URLToCachePath(key));
    if (!StaysInside(relative) || LinkOnTheWay(dir.Root(), relative)) {
        return std::nullopt;
    }
    return dir.Root() / relative;
}

std::string CacheDirPrepare(std::string_view cacheDirText, const std::filesystem::path& dataDir,
                            CacheDir& cacheDir, int* makeError) {
    std::string text(cacheDirText.empty() ? std::string_view("Cache") : cacheDirText);
    if (!text.empty() && (text.back() == '/' || text.back() == '\\')) {
        text.pop_back();
    }
    std::filesystem::path root;
    if (text.starts_with('/')) {
        root = text;
    } else if (IsWindowsDrive(text)) {
        // A folder on a Windows drive, kept from a settings file moved here:
        // no such path exists on this system, and taken as it is it would be
        // a folder of that odd name wherever the program was started. The
        // setting stays for the Windows program; the cache is the default.
        root = dataDir / "Cache";
    } else {
        std::string relative = text.starts_with('\\') ? text.substr(1) : text;
        std::replace(relative.begin(), relative.end(), '\\', '/');
        root = dataDir / relative;
    }
    cacheDir = CacheDir(root);
    const int made = ::mkdir(root.c_str(), 0777) == 0 ? 0 : errno;
    if (makeError != nullptr) {
        *makeError = made;
    }
    return text;
}

namespace {

// Whether the file system can name the entry and its temporary file beside
// it. Tested before any folder is made: a URL too long to store would
// otherwise leave a chain of folders, one of which then stands where a
// shorter URL's entry belongs.
bool Nameable(std::string_view path, std::size_t from) {
    constexpr std::size_t kLongestName = NAME_MAX;
    constexpr std::size_t kTemporaryRoom = 40;  // the prefix, a process id, a counter
    if (path.size() + kTemporaryRoom >= PATH_MAX) {
        return false;
    }
    for (std::size_t start = from; start <= path.size();) {
        const std::size_t end = std::min(path.find('/', start), path.size());
        if (end - start > kLongestName) {
            return false;
        }
        start = end + 1;
    }
    return true;
}

}  // namespace

bool ForceEntryDirs(const CacheDir& dir, const std::filesystem::path& entry) {
    const std::string& root = dir.Root().native();
    const std::string& path = entry.native();
    if (root.empty() || !path.starts_with(root) || !Nameable(path, root.size())) {
        errno = 0;
        return false;
    }
    // One level at a time below the root, never the root itself: a cache
    // folder that is missing (a mistyped setting, a disk not mounted, a
    // folder deleted while running) must not grow back a tree per entry
    // on the wrong disk, with the user told that nothing is stored.
    std::vector<std::string> made;
    for (std::size_t slash = path.find('/', root.size()); slash != std::string::npos;
         slash = path.find('/', slash + 1)) {
        std::string folder = path.substr(0, slash);
        if (::mkdir(folder.c_str(), 0777) == 0) {
            made.push_back(std::move(folder));
        } else if (const int refusal = errno; refusal != EEXIST) {
            // What this call made goes again, unless another entry moved in.
            for (auto it = made.rbegin(); it != made.rend(); ++it) {
                ::rmdir(it->c_str());
            }
            // An entry standing where a folder is needed ("/news" before
            // "/news/1") is how the layout is, not a trouble of the disk.
            errno = refusal == ENOTDIR ? 0 : refusal;
            return false;
        }
    }
    std::error_code error;
    if (!std::filesystem::is_directory(entry.parent_path(), error)) {
        errno = 0;  // the same, for the last folder
        return false;
    }
    return true;
}

}  // namespace vs::cache
