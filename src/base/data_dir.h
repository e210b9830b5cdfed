#pragma once
#include <filesystem>

namespace vs {

// The folder every file of the program lives in: the folder named by the
// environment variable VELLOSTORE_HOME when it is set and not empty,
// otherwise the folder of the running executable.
std::filesystem::path DataDirectory();

// Full path of the running executable (resolved through /proc/self/exe).
std::filesystem::path ExecutablePath();

}  // namespace vs
