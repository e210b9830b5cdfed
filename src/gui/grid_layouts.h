#pragma once
// The column layouts of the window's grids: read from the settings file when
// a grid is registered, captured from the headers before every save. A
// user's widths and column order survive a restart.

#include <QPointer>
#include <QTableView>

#include <filesystem>
#include <string>
#include <vector>

#include "shell/grid_layout.h"
#include "shell/ini_file.h"

namespace vs::gui {

// What a grid's header shows now.
GridLayout CaptureGridLayout(const QTableView& view, std::string grid);
// Puts a stored layout on the grid's header. Columns the grid does not
// have are ignored; an order that is not a permutation of the grid's
// columns, or hiding every column, is not applied (a hand-edited file must
// not leave a grid unusable).
void ApplyGridLayout(QTableView& view, const GridLayout& layout);

class GridLayouts {
public:
    // Reads the settings file once; every grid kept later takes its layout
    // from what was read.
    explicit GridLayouts(const std::filesystem::path& settingsFile);

    // Applies the layout the settings file holds for `grid` and remembers
    // the grid for Capture.
    void Keep(QTableView& view, std::string grid);
    // Every remembered grid that still exists.
    std::vector<GridLayout> Capture() const;

private:
    struct Kept {
        QPointer<QTableView> view;
        std::string grid;
    };
    IniFile stored_;
    std::vector<Kept> kept_;
};

}  // namespace vs::gui
