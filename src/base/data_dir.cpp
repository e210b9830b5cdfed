#include "base/data_dir.h"

#include <cstdlib>

namespace vs {

std::filesystem::path ExecutablePath() {
    return std::filesystem::read_symlink("/proc/self/exe");
}

std::filesystem::path DataDirectory() {
    const char* home = std::getenv("VELLOSTORE_HOME");
    if (home != nullptr && *home != '\0') {
        // Made absolute now so that a later change of the working directory
        // cannot move the data out from under the program.
        return std::filesystem::absolute(home);
    }
    return ExecutablePath().parent_path();
}

}  // namespace vs
