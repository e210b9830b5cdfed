#include "support/files.h"

#include <stdlib.h>
#include <sys/xattr.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <system_error>

namespace vs::test {

TempDir::TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "vellostore-test-XXXXXX");
    char* made = ::mkdtemp(pattern.data());
    if (made == nullptr) {
        throw std::runtime_error("mkdtemp failed");
    }
    path_ = made;
}

TempDir::~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

std::string ReadBytes(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void WriteBytes(const std::filesystem::path& path, std::string_view bytes) {
    if (path.has_parent_path()) {
        std::filesystem::create_directories(path.parent_path());
    }
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

std::vector<std::string> FilesUnder(const std::filesystem::path& dir) {
    std::vector<std::string> files;
    std::error_code error;
    for (std::filesystem::recursive_directory_iterator it(dir, error), end; !error && it != end;
         it.increment(error)) {
        if (!it->is_directory(error)) {
            files.push_back(it->path().lexically_relative(dir).string());
        }
    }
    std::sort(files.begin(), files.end());
    return files;
}

bool ExtendedAttributesWork(const std::filesystem::path& dir) {
    const std::filesystem::path probe = dir / ".xattr-probe";
    WriteBytes(probe, "");
    const bool works = ::setxattr(probe.c_str(), "user.probe", "1", 1, 0) == 0;
    std::filesystem::remove(probe);
    return works;
}

}  // namespace vs::test
