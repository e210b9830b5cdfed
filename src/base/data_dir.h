#pragma once
#include <filesystem>

namespace vs {

// The folder every file of the program lives in: the folder named by the
// environment variable VELLOSTORE_HOME when it is set and not empty,
// otherwise the folder of the running executable.
std::filesystem::path DataDirectory();

// Full path of the running executable (resolved through /proc/self/exe).
std::filesystem::path ExecutablePath();

// Claims the data folder for this process while the object lives (an
// flock on the folder itself, so no file is added; the system lets go
// when the process ends, however it ends). A second process on the same
// folder would serve nothing new and, at its end, write its stale copies
// of the settings, lists and statistics over this one's.
class DataFolderLock {
public:
    explicit DataFolderLock(const std::filesystem::path& folder);
    ~DataFolderLock();
    DataFolderLock(const DataFolderLock&) = delete;
    DataFolderLock& operator=(const DataFolderLock&) = delete;

    // Another process holds the folder. A folder that cannot be opened or
    // locked at all is not held by anyone: start-up then goes on and meets
    // the real problem (a missing folder, a file system without locks).
    bool HeldByAnother() const { return heldByAnother_; }

private:
    int fd_ = -1;
    bool heldByAnother_ = false;
};

}  // namespace vs
