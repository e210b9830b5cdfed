#include "rules/grid_text.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <exception>

#include "base/cp1251.h"
#include "base/utf.h"

namespace vs {
namespace {

// `cut` tells of a UTF-16 file with an odd number of bytes: its end was
// lost (copied while being written, a disk that filled up).
std::u16string DecodeFile(std::string_view bytes, bool& cut) {
    const auto at = [&bytes](std::size_t i) { return static_cast<unsigned char>(bytes[i]); };
    const bool little = bytes.size() >= 2 && at(0) == 0xFF && at(1) == 0xFE;
    const bool big = bytes.size() >= 2 && at(0) == 0xFE && at(1) == 0xFF;
    if (!little && !big) {
        // Files without a mark come from older versions and from editors:
        // the Windows code page of the program's 8-bit texts, or UTF-8,
        // which Cyrillic text in that code page practically never forms.
        // An editor's UTF-8 mark is no part of the first field.
        if (bytes.starts_with("\xEF\xBB\xBF") && utf::IsValidUtf8(bytes)) {
            bytes.remove_prefix(3);
        }
        return utf::IsValidUtf8(bytes) ? utf::Utf8ToUtf16(bytes) : cp1251::ToUtf16(bytes);
    }
    cut = bytes.size() % 2 != 0;
    return utf::Utf16Units(bytes.substr(2), big);
}

class GridReader {
public:
    explicit GridReader(GridSink& sink) : sink_(sink) {}

    void Read(std::u16string_view units, char16_t separator) {
        for (const char16_t c : units) {
            if (c == u'"') {
                ++quotes_;
                // An opening quote adds nothing; a quote doubled inside a
                // quoted field adds one. A stray quote in a bare field is
                // kept, and makes the rest of the line quoted.
                if (quotes_ % 2 == 1 && (!field_.empty() || quotes_ == 3)) {
                    field_ += c;
                }
            } else if (c == separator && quotes_ % 2 == 0) {
                EndField(false);
            } else if (c == u'\r') {
                continue;
            } else if (c == u'\n') {
                EndField(true);
                rowPending_ = true;
            } else {
                field_ += c;
            }
        }
        if (!field_.empty()) {
            EndField(true);
        }
    }

private:
    void EndField(bool rowEnds) {
        quotes_ = 0;
        if (rowPending_ && rowEnds && !field_.empty() && sink_.RowsHaveSeparators()) {
            throw GridReadError("a line without separators is no row of this file");
        }
        if (rowPending_) {
            sink_.BeginRow();
            column_ = 0;
            rowPending_ = false;
        }
        std::string text = utf::Utf16ToUtf8(field_);
        field_.clear();
        sink_.Field(column_++, std::move(text));
    }

    GridSink& sink_;
    std::u16string field_;
    int quotes_ = 0;
    int column_ = 0;
    bool rowPending_ = true;
};

bool IsBlank(char c) {
    return c == ' ' || c == '\t';
}

}  // namespace

bool ReadGridText(std::string_view fileBytes, char16_t separator, GridSink& sink,
                  std::string* error) {
    const bool marked = fileBytes.starts_with("\xFF\xFE") || fileBytes.starts_with("\xFE\xFF");
    if (!marked && fileBytes.find('\0') != std::string_view::npos) {
        // No text of ours holds a NUL: this is UTF-16 that lost its mark, or
        // no list at all. Read as 8-bit text it would be rows of nonsense,
        // and the file rewritten from them lost.
        if (error) {
            *error = "the file holds NUL bytes: UTF-16 without its byte-order mark?";
        }
        return false;
    }
    GridReader reader(sink);
    bool cut = false;
    std::u16string units = DecodeFile(fileBytes, cut);
    if (cut) {
        // The last line lost its end: taken in, it would be another rule
        // or another password than the one meant, and the file rewritten
        // from it would lose the rest of that line for good.
        const std::size_t lineEnd = units.rfind(u'\n');
        units.resize(lineEnd == std::u16string::npos ? 0 : lineEnd + 1);
    }
    try {
        reader.Read(units, separator);
    } catch (const std::exception& e) {
        if (error) {
            *error = e.what();
        }
        return false;
    }
    if (cut && error) {
        *error = "the file ends within a character: its last line is cut short";
    }
    return !cut;
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
