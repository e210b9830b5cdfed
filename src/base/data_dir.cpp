#include "base/data_dir.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
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

DataFolderLock::DataFolderLock(const std::filesystem::path& folder)
    : fd_(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)) {
    if (fd_ >= 0 && ::flock(fd_, LOCK_EX | LOCK_NB) != 0) {
        heldByAnother_ = errno == EWOULDBLOCK;
    }
}

DataFolderLock::~DataFolderLock() {
    if (fd_ >= 0) {
        ::close(fd_);
    }
}

}  // namespace vs
