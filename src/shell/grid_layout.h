#pragma once
// A grid's column layout as the desktop app keeps it in the settings file:
// which columns show, in which order, how wide, and their sort direction.
// Each grid has sections of its own, named after it ("Monitor Common",
// "Monitor Visible Columns", "Monitor Sorted", "Monitor Positions",
// "Monitor Columns Sizes"), with one key "Column<i>" per column in each.

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vs {

class IniFile;

// One column, by its number in the grid's model.
struct GridColumn {
    bool visible = true;
    int position = 0;  // where it shows, from the left
    int width = 0;     // pixels
    bool descending = false;
    bool operator==(const GridColumn&) const = default;
};

struct GridLayout {
    std::string grid;  // "Monitor", "BlackList", ..., "StatList"
    std::vector<GridColumn> columns;
    bool operator==(const GridLayout&) const = default;
};

void WriteGridLayout(IniFile& ini, const GridLayout& layout);

// The layout the file holds for the grid, if it holds one. A column whose
// keys are missing or do not read keeps the defaults; a count beyond any
// grid's (hand-edited) is not believed.
std::optional<GridLayout> ReadGridLayout(const IniFile& ini, std::string_view grid);
std::optional<GridLayout> ReadGridLayout(const std::filesystem::path& iniFile,
                                         std::string_view grid);

}  // namespace vs
