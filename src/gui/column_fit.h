#pragma once
// Numbers grow while the program runs: a column sized for "35" shows
// "10035" as "1…", and one sized for a page's bytes shows a 600 MB
// download's "600000000" as "60000…". Such a column widens when a cell's
// text no longer fits, and is never made narrower than the widest text it
// has shown; a width the user chose wider stays.

#include <QHeaderView>
#include <QTableView>

namespace vs::gui {

// Keeps `column` of the view's current model wide enough for its cells, now
// and as rows are added and cells change. Texts are measured only when one
// is longer than any before, so a busy grid pays a length comparison per
// changed cell, for at most the last 256 rows of a change (the newest, which
// hold the largest numbers). Follows that model only: call again after
// setModel.
void KeepCellsWhole(QTableView& view, int column);
// The same for every column, those added later included, and for their
// captions (the statistics grid: a column per user named after the user, a
// gigabyte's day "1048576/1048576").
void KeepEveryColumnWhole(QTableView& view);
// Makes a shown column at least `width` wide; a wider one stays.
void WidenTo(QHeaderView& header, int column, int width);

}  // namespace vs::gui
