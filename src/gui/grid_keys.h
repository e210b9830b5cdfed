#pragma once
// Grids a user without a mouse can work in. Tab goes on to the next control
// rather than to the next cell (the arrows move between cells), else a grid
// with rows keeps the focus for good and the pages' buttons and tabs are out
// of reach; Shift+F10 opens the grid's popup menu, the only way to add or
// delete a row, on keyboards without a Menu key; and an editable grid that
// selects whole rows shows which of the row's cells is current.

#include <QTableView>

namespace vs::gui {

void LetTheKeyboardLeaveAndOpenTheMenu(QTableView& grid);

// Rows are selected whole, yet Enter, F2 and Space act on one cell of the
// row: a frame shows which. The style's own focus frame is drawn in the
// selection's colour on the selected row, and so cannot be seen.
class RowGrid : public QTableView {
public:
    explicit RowGrid(QWidget* parent = nullptr);

protected:
    void paintEvent(QPaintEvent* event) override;
};

}  // namespace vs::gui
