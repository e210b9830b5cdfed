#include "rules/grid_text.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <exception>

#include "base/cp1251.h"
#include "base/utf.h"

namespace vs {
namespace {

// Each line of a file without a mark in its own encoding: the Windows code
// page of the program's 8-bit texts, or UTF-8, which Cyrillic text in that
// code page practically never forms. A list kept in one and appended to from
// a terminal of the other holds both.
std::u16string DecodeUnmarked(std::string_view bytes) {
    // An editor's UTF-8 mark is no part of the first field.
    if (bytes.starts_with("\xEF\xBB\xBF") && utf::IsValidUtf8(bytes.substr(0, bytes.find('\n')))) {
        bytes.remove_prefix(3);
    }
    std::u16string units;
    for (std::size_t start = 0; start < bytes.size();) {
        const std::size_t end = std::min(bytes.find('\n', start), bytes.size() - 1) + 1;
        const std::string_view line = bytes.substr(start, end - start);
        units += utf::IsValidUtf8(line) ? utf::Utf8ToUtf16(line) : cp1251::ToUtf16(line);
        start = end;
    }
    return units;
}

// `cut` tells of a UTF-16 file with an odd number of bytes: its end was
// lost (copied while being written, a disk that filled up).
std::u16string DecodeFile(std::string_view bytes, bool& cut) {
    const auto at = [&bytes](std::size_t i) { return static_cast<unsigned char>(bytes[i]); };
    const bool little = bytes.size() >= 2 && at(0) == 0xFF && at(1) == 0xFE;
    const bool big = bytes.size() >= 2 && at(0) == 0xFE && at(1) == 0xFF;
    if (!little && !big) {
        return DecodeUnmarked(bytes);
    }
    // A mark and no NUL after it is the mark of an empty list as the program
    // saves it, with rows appended by an 8-bit editor or `echo >>`: every
    // UTF-16 row holds ASCII commas, hence NULs.
    if (bytes.size() > 2 && bytes.find('\0', 2) == std::string_view::npos) {
        return DecodeUnmarked(bytes.substr(2));
    }
    cut = bytes.size() % 2 != 0;
    return utf::Utf16Units(bytes.substr(2), big);
}

class GridReader {
public:
    GridReader(GridSink& sink, char16_t separator) : sink_(sink), separator_(separator) {}

    // Line by line: a line the table cannot take (a comment, a bare pattern,
    // a field of the wrong type, two lines run together) is left out, and the
    // lines after it are still read.
    void Read(std::u16string_view units, GridGaps& gaps, std::string& firstReason) {
        std::size_t number = 0;
        for (std::size_t start = 0; start < units.size();) {
            std::size_t end = start;
            while (end < units.size() && units[end] != u'\n' && units[end] != u'\r') {
                ++end;
            }
            // A line ends at LF, at CR LF (any CRs before the LF), or at a CR
            // alone, as old Macintosh editors end them: read as dropped, such
            // a file ran every row into one.
            std::size_t next = end;
            while (next < units.size() && units[next] == u'\r') {
                ++next;
            }
            if (next < units.size() && units[next] == u'\n') {
                ++next;
            }
            sink_.AtLine(++number);
            try {
                ReadLine(units.substr(start, end - start), end < units.size());
            } catch (const std::exception& e) {
                LeaveOut();
                if (gaps.linesLeftOut++ == 0) {
                    gaps.firstLeftOut = number;
                    firstReason = "line " + std::to_string(number) + ": " + e.what();
                }
            }
            start = next;
        }
    }

private:
    void ReadLine(std::u16string_view line, bool ended) {
        for (const char16_t c : line) {
            if (c == u'"') {
                ++quotes_;
                // An opening quote adds nothing; a quote doubled inside a
                // quoted field adds one. A stray quote in a bare field is
                // kept, and makes the rest of the line quoted.
                if (quotes_ % 2 == 1 && (!field_.empty() || quotes_ == 3)) {
                    field_ += c;
                }
            } else if (c == separator_ && quotes_ % 2 == 0) {
                EndField(false);
            } else {
                field_ += c;
            }
        }
        if (ended || !field_.empty()) {
            EndField(true);
            rowPending_ = true;
        }
    }

    void EndField(bool rowEnds) {
        quotes_ = 0;
        if (rowPending_ && rowEnds && !field_.empty() && sink_.RowsHaveSeparators()) {
            throw GridReadError("a line without separators is no row of this file");
        }
        if (rowPending_) {
            sink_.BeginRow();
            rowBegun_ = true;
            column_ = 0;
            rowPending_ = false;
        }
        std::string text = utf::Utf16ToUtf8(field_);
        field_.clear();
        sink_.Field(column_++, std::move(text));
        if (rowEnds) {
            rowBegun_ = false;
        }
    }

    void LeaveOut() {
        if (rowBegun_) {
            sink_.DropRow();
        }
        rowBegun_ = false;
        rowPending_ = true;
        field_.clear();
        quotes_ = 0;
    }

    GridSink& sink_;
    const char16_t separator_;
    std::u16string field_;
    int quotes_ = 0;
    int column_ = 0;
    bool rowPending_ = true;
    bool rowBegun_ = false;
};

bool IsBlank(char c) {
    return c == ' ' || c == '\t';
}

// UTF-16 that lost its mark has a NUL in every other byte of Latin text; a
// file of ours ends in NULs only where a crash or an editor padded it.
bool LooksLikeUtf16(std::string_view bytes) {
    return static_cast<std::size_t>(std::count(bytes.begin(), bytes.end(), '\0')) * 4 >=
           bytes.size();
}

}  // namespace

bool ReadGridText(std::string_view fileBytes, char16_t separator, GridSink& sink,
                  std::string* error, GridGaps* gaps) {
    const bool marked = fileBytes.starts_with("\xFF\xFE") || fileBytes.starts_with("\xFE\xFF");
    if (!marked) {
        while (!fileBytes.empty() && fileBytes.back() == '\0') {
            fileBytes.remove_suffix(1);
        }
        if (fileBytes.find('\0') != std::string_view::npos && LooksLikeUtf16(fileBytes)) {
            // Read as 8-bit text it would be rows of nonsense, and the file
            // rewritten from them lost.
            if (error) {
                *error = "the file holds NUL bytes: UTF-16 without its byte-order mark?";
            }
            return false;
        }
    }
    GridReader reader(sink, separator);
    bool cut = false;
    std::u16string units = DecodeFile(fileBytes, cut);
    if (cut) {
        // The last line lost its end: taken in, it would be another rule
        // or another password than the one meant, and the file rewritten
        // from it would lose the rest of that line for good.
        const std::size_t lineEnd = units.rfind(u'\n');
        units.resize(lineEnd == std::u16string::npos ? 0 : lineEnd + 1);
    }
    GridGaps found;
    std::string reason;
    reader.Read(units, found, reason);
    if (gaps) {
        *gaps = found;
    }
    if (cut) {
        reason = "the file ends within a character: its last line is cut short";
    }
    if (error && !reason.empty()) {
        *error = reason;
    }
    return !cut && found.linesLeftOut == 0;
}

std::string WriteGridText(const std::vector<std::vector<std::string>>& rowsOfUtf8Fields,
                          char16_t separator) {
    std::string out = "\xFF\xFE";
    for (const auto& row : rowsOfUtf8Fields) {
        for (std::size_t i = 0; i < row.size(); ++i) {
            if (i > 0) {
                utf::AppendUtf16Le(out, separator);
            }
            std::u16string field = utf::Utf8ToUtf16(row[i]);
            // Every line break ends a row when the file is read: one inside
            // a field would cut the list there.
            std::replace_if(
                field.begin(), field.end(), [](char16_t c) { return c == u'\r' || c == u'\n'; },
                u' ');
            if (field.find_first_of(std::u16string{separator, u'"'}) == std::u16string::npos) {
                for (const char16_t c : field) {
                    utf::AppendUtf16Le(out, c);
                }
                continue;
            }
            utf::AppendUtf16Le(out, u'"');
            for (const char16_t c : field) {
                utf::AppendUtf16Le(out, c);
                if (c == u'"') {
                    utf::AppendUtf16Le(out, c);
                }
            }
            utf::AppendUtf16Le(out, u'"');
        }
        utf::AppendUtf16Le(out, u'\r');
        utf::AppendUtf16Le(out, u'\n');
    }
    return out;
}

std::string BoolCellText(bool value) {
    return value ? "True" : "False";
}

bool BoolFromCellText(std::string_view text) {
    static constexpr std::string_view kTrue = "true";
    if (text.size() != kTrue.size()) {
        return false;
    }
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i] >= 'A' && text[i] <= 'Z' ? static_cast<char>(text[i] + 32) : text[i];
        if (c != kTrue[i]) {
            return false;
        }
    }
    return true;
}

std::string CountCellText(std::int64_t value) {
    return std::to_string(value);
}

void CheckRowNumberCell(std::string_view text) {
    if (text.find_first_not_of(" \t") != std::string_view::npos) {
        CountFromCellText(text);
    }
}

std::int64_t CountFromCellText(std::string_view text) {
    std::string_view t = text;
    while (!t.empty() && IsBlank(t.front())) {
        t.remove_prefix(1);
    }
    while (!t.empty() && IsBlank(t.back())) {
        t.remove_suffix(1);
    }
    // from_chars takes no '+', but "+5" is a number all the same.
    if (t.size() > 1 && t.front() == '+' && t[1] != '-' && t[1] != '+') {
        t.remove_prefix(1);
    }
    const auto fail = [&text]() -> std::int64_t {
        throw GridReadError("not a number: \"" + std::string(text) + "\"");
    };
    if (t.empty()) {
        return fail();
    }
    const char* const end = t.data() + t.size();
    // Whole numbers are read exactly, past the 53 bits a double holds.
    std::int64_t whole = 0;
    auto [wholeEnd, wholeError] = std::from_chars(t.data(), end, whole);
    if (wholeError == std::errc() && wholeEnd == end) {
        return whole;
    }
    double value = 0;
    auto [realEnd, realError] = std::from_chars(t.data(), end, value, std::chars_format::general);
    if (realError != std::errc() || realEnd != end || !std::isfinite(value)) {
        return fail();
    }
    const double rounded = std::round(value);
    if (rounded < -9223372036854775808.0 || rounded >= 9223372036854775808.0) {
        return fail();
    }
    return static_cast<std::int64_t>(rounded);
}

}  // namespace vs
