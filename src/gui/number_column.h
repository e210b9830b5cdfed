#pragma once
// Row numbers grow with the rows: a column sized for "35" shows "10035" as
// "1…", and a proxy's monitor passes 10,000 requests within a day. The
// column widens when the newest row's number no longer fits, and is never
// made narrower than that; a width the user chose wider stays.

#include <QTableView>

namespace vs::gui {

// Keeps `column` of the view's current model wide enough for the number in
// its last row (the largest, rows being numbered in order), now and as
// rows are added. Follows that model only: call again after setModel.
void KeepNumbersWhole(QTableView& view, int column);

}  // namespace vs::gui
