#pragma once
// A grid a user without a mouse can leave and open the popup menu of: Tab
// goes on to the next control rather than to the next cell (the arrows
// move between cells), else a grid with rows keeps the focus for good and
// the pages' buttons and tabs are out of reach; and Shift+F10 opens the
// grid's popup menu, the only way to add or delete a row, on keyboards
// without a Menu key.

class QTableView;

namespace vs::gui {

void LetTheKeyboardLeaveAndOpenTheMenu(QTableView& grid);

}  // namespace vs::gui
