#include "gui/grid_layouts.h"

#include <QHeaderView>

#include <algorithm>

namespace vs::gui {
namespace {

constexpr int kWidestColumn = 10000;

bool IsPermutation(const GridLayout& layout) {
    std::vector<bool> seen(layout.columns.size(), false);
    for (const GridColumn& column : layout.columns) {
        const auto at = static_cast<std::size_t>(column.position);
        if (column.position < 0 || at >= seen.size() || seen[at]) {
            return false;
        }
        seen[at] = true;
    }
    return true;
}

}  // namespace

GridLayout CaptureGridLayout(const QTableView& view, std::string grid) {
    const QHeaderView& header = *view.horizontalHeader();
    GridLayout layout{std::move(grid), {}};
    for (int i = 0; i < header.count(); ++i) {
        GridColumn column;
        column.visible = !header.isSectionHidden(i);
        column.position = header.visualIndex(i);
        column.width = header.sectionSize(i);
        column.descending = header.isSortIndicatorShown() && header.sortIndicatorSection() == i &&
                            header.sortIndicatorOrder() == Qt::DescendingOrder;
        layout.columns.push_back(column);
    }
    return layout;
}

void ApplyGridLayout(QTableView& view, const GridLayout& layout) {
    QHeaderView& header = *view.horizontalHeader();
    const int count = std::min(header.count(), static_cast<int>(layout.columns.size()));
    bool anyVisible = false;
    for (int i = 0; i < count; ++i) {
        const GridColumn& column = layout.columns[static_cast<std::size_t>(i)];
        if (column.width > 0 && column.width <= kWidestColumn) {
            header.resizeSection(i, column.width);
        }
        anyVisible = anyVisible || column.visible;
    }
    if (anyVisible) {
        for (int i = 0; i < count; ++i) {
            header.setSectionHidden(i, !layout.columns[static_cast<std::size_t>(i)].visible);
        }
    }
    // The order only when the layout covers exactly this grid's columns.
    if (count != header.count() || !IsPermutation(layout)) {
        return;
    }
    std::vector<int> byPosition(static_cast<std::size_t>(count));
    for (int i = 0; i < count; ++i) {
        byPosition[static_cast<std::size_t>(layout.columns[static_cast<std::size_t>(i)].position)] =
            i;
    }
    for (int visual = 0; visual < count; ++visual) {
        const int logical = byPosition[static_cast<std::size_t>(visual)];
        header.moveSection(header.visualIndex(logical), visual);
    }
}

GridLayouts::GridLayouts(const std::filesystem::path& settingsFile) {
    try {
        stored_ = IniFile::Load(settingsFile);
    } catch (const std::exception&) {
        // An unreadable file was reported when the settings were read; the
        // grids keep their built-in layouts.
    }
}

void GridLayouts::Keep(QTableView& view, std::string grid) {
    if (auto layout = ReadGridLayout(stored_, grid)) {
        ApplyGridLayout(view, *layout);
    }
    kept_.push_back({&view, std::move(grid)});
}

std::vector<GridLayout> GridLayouts::Capture() const {
    std::vector<GridLayout> layouts;
    for (const Kept& kept : kept_) {
        if (kept.view) {
            layouts.push_back(CaptureGridLayout(*kept.view, kept.grid));
        }
    }
    return layouts;
}

}  // namespace vs::gui
