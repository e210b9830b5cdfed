#include "shell/grid_layout.h"

#include "base/numbers.h"
#include "shell/ini_file.h"

namespace vs {
namespace {

// No grid has more columns than the statistics table, which has one per
// user and a few of its own.
constexpr int kMostColumns = 1024;

std::string Section(std::string_view grid, std::string_view part) {
    std::string section(grid);
    section += ' ';
    section += part;
    return section;
}

std::string ColumnKey(std::size_t column) {
    return "Column" + std::to_string(column);
}

}  // namespace

void WriteGridLayout(IniFile& ini, const GridLayout& layout) {
    const std::string& grid = layout.grid;
    ini.Set(Section(grid, "Common"), "ColumnsCount", std::to_string(layout.columns.size()));
    for (std::size_t i = 0; i < layout.columns.size(); ++i) {
        const GridColumn& column = layout.columns[i];
        const std::string key = ColumnKey(i);
        ini.Set(Section(grid, "Visible Columns"), key, column.visible ? "True" : "False");
        ini.Set(Section(grid, "Sorted"), key, column.descending ? "Descending" : "Ascending");
        ini.Set(Section(grid, "Positions"), key, std::to_string(column.position));
        ini.Set(Section(grid, "Columns Sizes"), key, std::to_string(column.width));
    }
}

std::optional<GridLayout> ReadGridLayout(const IniFile& ini, std::string_view grid) {
    const auto count = ini.Get(Section(grid, "Common"), "ColumnsCount");
    if (!count) {
        return std::nullopt;
    }
    const int columns = ParseIntOr(*count, -1);
    if (columns < 0 || columns > kMostColumns) {
        return std::nullopt;
    }
    GridLayout layout{std::string(grid), {}};
    layout.columns.resize(static_cast<std::size_t>(columns));
    for (std::size_t i = 0; i < layout.columns.size(); ++i) {
        GridColumn& column = layout.columns[i];
        column.position = static_cast<int>(i);
        const std::string key = ColumnKey(i);
        if (auto visible = ini.Get(Section(grid, "Visible Columns"), key)) {
            column.visible = !(*visible == "False" || *visible == "false" || *visible == "0");
        }
        if (auto sorted = ini.Get(Section(grid, "Sorted"), key)) {
            column.descending = *sorted == "Descending";
        }
        if (auto position = ini.Get(Section(grid, "Positions"), key)) {
            column.position = ParseIntOr(*position, column.position);
        }
        if (auto width = ini.Get(Section(grid, "Columns Sizes"), key)) {
            column.width = ParseIntOr(*width, 0);
        }
    }
    return layout;
}

std::optional<GridLayout> ReadGridLayout(const std::filesystem::path& iniFile,
                                         std::string_view grid) {
    return ReadGridLayout(IniFile::Load(iniFile), grid);
}

}  // namespace vs
