#pragma once
// List files (users.lst, black.lst, stat.txt, ...) as the desktop program
// writes them, for tests that hand a real process its files.

#include <string>
#include <vector>

#include "rules/grid_text.h"

namespace vs::test {

inline std::string ListFile(const std::vector<std::vector<std::string>>& rows) {
    return WriteGridText(rows, u',');
}

}  // namespace vs::test
