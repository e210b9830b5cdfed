// URLToCachePath and EntryPath on arbitrary keys: whatever a client sends as
// URL, an entry path that is handed out stays inside the cache root.

#include <cstdlib>
#include <filesystem>
#include <string>

#include "cache/cache_paths.h"

namespace {

const vs::cache::CacheDir& Dir() {
    static const vs::cache::CacheDir dir(std::filesystem::path("/tmp/vs-fuzz-root/cache/"));
    return dir;
}

void Check(std::string_view key) {
    (void)vs::cache::URLToCachePath(key);
    const auto entry = vs::cache::EntryPath(Dir(), key);
    if (!entry) {
        return;
    }
    const std::filesystem::path& root = Dir().Root();
    const std::string text = entry->string();
    const std::string rootText = root.string();
    if (text.size() <= rootText.size() || text.compare(0, rootText.size(), rootText) != 0) {
        std::abort();  // not under the root at all
    }
    if (entry->lexically_normal() != *entry) {
        std::abort();  // "." segments, doubled separators: not one plain name
    }
    for (const auto& part : entry->lexically_relative(root)) {
        if (part == ".." || part == "." || part.empty()) {
            std::abort();
        }
    }
    if (text.find('\0') != std::string::npos) {
        std::abort();
    }
    const std::string name = entry->filename().string();
    if (name.empty() || name.starts_with(vs::cache::kTemporaryPrefix)) {
        std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string raw(reinterpret_cast<const char*>(data), size);
    Check(raw);
    // The path a key really has in the program: the one CacheKey makes.
    Check(vs::cache::CacheKey(raw));
    return 0;
}
