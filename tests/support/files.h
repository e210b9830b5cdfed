#pragma once
// Real files for the tests: a private folder per test and whole-file reads
// and writes.

#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace vs::test {

// A fresh empty directory below the system's temporary folder, removed with
// everything in it when the object goes.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::filesystem::path& Path() const { return path_; }

private:
    std::filesystem::path path_;
};

// The file's bytes; empty when it cannot be read.
std::string ReadBytes(const std::filesystem::path& path);
// Replaces the file with `bytes`, making its folder first.
void WriteBytes(const std::filesystem::path& path, std::string_view bytes);

// The files below `dir` (all but folders: temporary names too), relative
// to it and sorted; none when it is missing or goes meanwhile.
std::vector<std::string> FilesUnder(const std::filesystem::path& dir);

// Whether files in `dir` take user extended attributes, which cache entries
// need (tmpfs on older kernels and some FUSE file systems refuse them).
bool ExtendedAttributesWork(const std::filesystem::path& dir);
#define REQUIRE_XATTRS(dir)                                                      \
    if (!vs::test::ExtendedAttributesWork(dir)) {                                \
        GTEST_SKIP() << "the temporary folder refuses user extended attributes"; \
    }

}  // namespace vs::test
