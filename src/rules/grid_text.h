#pragma once
// The grid text format shared by the rule lists, the users list and the
// statistics table: one line per row, the fields of a line separated by a
// separator character, quoting only where a field needs it. Files are
// written as UTF-16LE with a byte order mark; reading also takes UTF-16BE
// and files without a mark (UTF-8 when the bytes form it, else the Windows
// code page), since older and hand-edited lists come in all of these.
//
// Texts are UTF-8 in memory. What a field means is up to the reader of each
// table, through GridSink; the cell text helpers below give the forms the
// tables have in common.

#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace vs {

// What a sink throws for a line it cannot take: a column the table does not
// have, or a field that does not convert to its column's type.
class GridReadError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

class GridSink {
public:
    virtual ~GridSink() = default;
    // A new row starts; the fields that follow belong to it, from column 0.
    virtual void BeginRow() = 0;
    // The field for `column` of the current row. May throw (GridReadError
    // or any std::exception): the line is left out, its row dropped.
    virtual void Field(int column, std::string utf8Text) = 0;
    // The row begun last is no row after all: its line was left out.
    virtual void DropRow() = 0;
    // The fields that follow come from this line of the file, from 1 (for
    // a message that names where something stands).
    virtual void AtLine(std::size_t /*line*/) {}
    // True for a table whose rows always have several fields: a line of
    // one non-empty field is then no row (a comment, a bare pattern, text
    // of another encoding appended to the file) and is left out.
    virtual bool RowsHaveSeparators() const { return false; }
};

// The lines a read left out.
struct GridGaps {
    std::size_t linesLeftOut = 0;
    std::size_t firstLeftOut = 0;  // its line number, from 1
};

// Reads a whole file. Returns false when a line was left out (the sink threw
// for it; the lines after it are still read), when a UTF-16 file has an odd
// number of bytes (it was cut short: its last line is not read), or when a
// file without a mark looks like UTF-16 that lost it (nothing is read), with
// the first reason in *error when error is given. A file without a mark is
// read line by line as UTF-8 where the line's bytes form it, else in the
// Windows code page; NULs padding its end are no text. An empty line yields
// a row with one empty field (column 0); a last line without a line end
// yields its last field only when that field is not empty. A line ends at
// LF, at CRs before an LF, or at a CR alone; line breaks are never part of
// a field, quoted or not.
bool ReadGridText(std::string_view fileBytes, char16_t separator, GridSink& sink,
                  std::string* error = nullptr, GridGaps* gaps = nullptr);

// The file bytes for the rows: byte order mark, then each row's fields in
// order followed by CR LF. A field holding the separator or a double quote
// is quoted (inner quotes doubled); every other field is written bare. A
// line break inside a field is written as a space: it could not be read back.
std::string WriteGridText(const std::vector<std::vector<std::string>>& rowsOfUtf8Fields,
                          char16_t separator);

// The row number a list's first field holds is never read (rows are
// numbered by where they stand), but one that is neither empty nor a number
// makes the line no row: a comment such as "# ads, trackers" would become a
// row and be lost at the next save. Throws GridReadError for it.
void CheckRowNumberCell(std::string_view text);

// The separator every table file uses.
inline constexpr char16_t kGridSeparator = u',';

// Cell text forms.
std::string BoolCellText(bool value);  // "True" / "False"
// True exactly for "true" in any letter case; anything else is false.
bool BoolFromCellText(std::string_view text);
std::string CountCellText(std::int64_t value);
// A decimal number, a fractional part rounded to the nearest whole (halves
// away from zero); blanks around it are allowed. Throws GridReadError for
// anything else, the empty text included.
std::int64_t CountFromCellText(std::string_view text);

}  // namespace vs
