// The folders of src/ are layers that point one way:
//   base <- net <- rules <- cache <- proxy <- shell <- widgets <- gui <- app
// A file may include its own folder and the folders below it, never one
// above: that is what keeps the core free of the window and each layer
// testable on its own.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

namespace vs {
namespace {

const std::map<std::string, int> kRank = {{"base", 0},    {"net", 1},   {"rules", 2},
                                          {"cache", 3},   {"proxy", 4}, {"shell", 5},
                                          {"widgets", 6}, {"gui", 7},   {"app", 8}};

// "folder/file.h: includes folder/other.h" for every include that points up.
std::vector<std::string> UpwardIncludes(const std::filesystem::path& src) {
    std::vector<std::string> found;
    for (const auto& item : std::filesystem::recursive_directory_iterator(src)) {
        const std::string extension = item.path().extension().string();
        if (!item.is_regular_file() || (extension != ".h" && extension != ".cpp")) {
            continue;
        }
        const std::string folder = item.path().parent_path().filename().string();
        const auto own = kRank.find(folder);
        if (own == kRank.end()) {
            found.push_back(item.path().string() + ": in no known layer");
            continue;
        }
        std::ifstream in(item.path());
        std::string line;
        while (std::getline(in, line)) {
            if (!line.starts_with("#include \"")) {
                continue;
            }
            const std::string target = line.substr(10, line.find('"', 10) - 10);
            const auto other = kRank.find(target.substr(0, target.find('/')));
            if (other == kRank.end() || other->second > own->second) {
                found.push_back(folder + "/" + item.path().filename().string() + ": includes " +
                                target);
            }
        }
    }
    return found;
}

TEST(Layers, IncludesPointDown) {
    const std::filesystem::path src = std::filesystem::path(VELLOSTORE_SOURCE_DIR) / "src";
    ASSERT_TRUE(std::filesystem::is_directory(src / "base"));
    EXPECT_EQ(UpwardIncludes(src), std::vector<std::string>{});
}

}  // namespace
}  // namespace vs
