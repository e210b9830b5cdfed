#include "rules/grid_text.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "base/cp1251.h"
#include "base/utf.h"
#include "support/text.h"

namespace vs {
namespace {

using test::Utf16;
using Rows = std::vector<std::vector<std::string>>;

// Records what the reader hands over; with `columns`, a table of rows of
// that many fields, as the lists are.
struct RecordingSink : GridSink {
    void BeginRow() override { rows.emplace_back(); }
    void Field(int column, std::string text) override {
        EXPECT_EQ(column, static_cast<int>(rows.back().size()));
        if (columns > 0 && column >= columns) {
            throw GridReadError("too many fields");
        }
        rows.back().push_back(std::move(text));
    }
    void DropRow() override { rows.pop_back(); }
    bool RowsHaveSeparators() const override { return columns > 0; }
    Rows rows;
    int columns = 0;
};

Rows Read(std::string_view bytes, bool* complete = nullptr, int columns = 0,
          GridGaps* gaps = nullptr) {
    RecordingSink sink;
    sink.columns = columns;
    const bool ok = ReadGridText(bytes, kGridSeparator, sink, nullptr, gaps);
    if (complete) {
        *complete = ok;
    }
    return sink.rows;
}

TEST(GridTextWrite, Utf16LeWithBomQuotingOnlyWhereNeeded) {
    EXPECT_EQ(WriteGridText({}, kGridSeparator), "\xFF\xFE");
    const Rows rows = {
        {"1", "True", "a,b", "0"},
        {"2", "False", "say \"hi\"", "17"},
        {"3", "", "plain text", "x"},
    };
    EXPECT_EQ(WriteGridText(rows, kGridSeparator), Utf16(u"1,True,\"a,b\",0\r\n"
                                                         u"2,False,\"say \"\"hi\"\"\",17\r\n"
                                                         u"3,,plain text,x\r\n"));
}

TEST(GridTextRead, WhatWasWrittenReadsBack) {
    const Rows rows = {
        {"1", "True", "a,b", "0"},
        {"", "\"", "\"\"", "\"x", "x\"", ",\"", "\",\""},
        {"Привет, мир", "\xF0\x9F\x98\x80 smile", " spaced ", "tab\there"},
        {"only"},
    };
    bool complete = false;
    EXPECT_EQ(Read(WriteGridText(rows, kGridSeparator), &complete), rows);
    EXPECT_TRUE(complete);
    // A line break in a field would end the row there when read.
    EXPECT_EQ(Read(WriteGridText({{"1", "a\r\nb", "0"}}, kGridSeparator), &complete),
              (Rows{{"1", "a  b", "0"}}));
}

TEST(GridTextRead, EncodingFollowsTheByteOrderMark) {
    const Rows expected = {{"1", "True", "\xC3\xA9t\xC3\xA9", "3"}};  // "été"
    EXPECT_EQ(Read(Utf16(u"1,True,\u00E9t\u00E9,3\r\n")), expected);
    EXPECT_EQ(Read(Utf16(u"1,True,\u00E9t\u00E9,3\r\n", true)), expected);
    // Without a mark: UTF-8 where the bytes form it, else the Windows code
    // page (lists of older versions and editors), never Latin-1.
    EXPECT_EQ(Read("1,True,\xC3\xA9t\xC3\xA9,3\r\n"), expected);
    EXPECT_EQ(Read("\xEF\xBB\xBF"
                   "1,True,\xC3\xA9t\xC3\xA9,3\r\n"),
              expected);
    EXPECT_EQ(Read(cp1251::FromUtf8("1,True,реклама,0")), (Rows{{"1", "True", "реклама", "0"}}));
    // An empty list as saved, a row appended from a terminal.
    EXPECT_EQ(Read("\xFF\xFE"
                   "1,True,local,0000000,127.0.0.1\n"),
              (Rows{{"1", "True", "local", "0000000", "127.0.0.1"}}));
    // UTF-16 of an odd length was cut short: the cut line is left out,
    // however it ends, and the file counts as read in part.
    bool complete = true;
    EXPECT_EQ(Read(Utf16(u"1,True,a\r\n2,True,bc") + "d", &complete), (Rows{{"1", "True", "a"}}));
    EXPECT_FALSE(complete);
    EXPECT_EQ(Read(Utf16(u"ab", true) + "c", &complete), Rows{});
    EXPECT_FALSE(complete);
    // UTF-16 that lost its mark is no 8-bit text: nothing is read from it.
    for (const bool big : {false, true}) {
        complete = true;
        EXPECT_EQ(Read(Utf16(u"1,True,alice,0000000,\r\n", big).substr(2), &complete), Rows{});
        EXPECT_FALSE(complete);
    }
}

// Hand-edited files: odd lines and quotes neither stop reading nor shift
// later fields into the wrong columns.
TEST(GridTextRead, LinesAndQuotesOfHandEditedFiles) {
    // An empty line is a row holding one empty field; a last line without a
    // line end keeps its last field only when that field is not empty.
    EXPECT_EQ(Read(Utf16(u"a,b\r\n\r\nc\r\nd,")), (Rows{{"a", "b"}, {""}, {"c"}, {"d"}}));
    // LF alone ends a line, so do CRs before it, and a CR alone (old
    // Macintosh files, which read as one line ran every row into one).
    EXPECT_EQ(Read(Utf16(u"a\nb\r\r\nc,\"d\re\"\n")), (Rows{{"a"}, {"b"}, {"c", "d"}, {"e\""}}));
    // Quotes do not protect a line break: the line ends there.
    EXPECT_EQ(Read(Utf16(u"\"one\r\ntwo\"\r\n")), (Rows{{"one"}, {"two\""}}));
    // A quote inside a bare field is kept and opens a quoted stretch that
    // swallows the separators up to the next quote, which is dropped.
    EXPECT_EQ(Read("a\"b,c,d\"e,f"), (Rows{{"a\"b,c,de", "f"}}));
}

// A line the table cannot take (a comment, a bare pattern, two rows run
// together) is left out, and the lines after it still count; each line of a
// file without a mark is read in its own encoding, as a list kept in the code
// page and appended to from a UTF-8 terminal has them.
TEST(GridTextRead, ALineLeftOutStopsNoOtherAndEachLineHasItsEncoding) {
    const std::string file = "# blocked sites\r\n" + cp1251::FromUtf8("1,True,казино,0\r\n") +
                             "casino\r\n2,True,a,0,extra,more\r\n3,True,рулетка,0\n" +
                             std::string(3, '\0');
    bool complete = true;
    GridGaps gaps;
    EXPECT_EQ(Read(file, &complete, 4, &gaps),
              (Rows{{"1", "True", "казино", "0"}, {"3", "True", "рулетка", "0"}}));
    EXPECT_FALSE(complete);  // not the program's to rewrite
    EXPECT_EQ(gaps.linesLeftOut, 3u);
    EXPECT_EQ(gaps.firstLeftOut, 1u);
}

// Cells of hand-edited files: anything but a well-formed value is refused
// rather than read as something else.
TEST(GridTextCells, BooleansAndCounts) {
    EXPECT_TRUE(BoolFromCellText(BoolCellText(true)) && !BoolFromCellText(BoolCellText(false)));
    EXPECT_TRUE(BoolFromCellText("tRuE"));
    EXPECT_FALSE(BoolFromCellText(" true") || BoolFromCellText("1") || BoolFromCellText("tru"));

    EXPECT_EQ(CountCellText(9007199254740993), "9007199254740993");
    EXPECT_EQ(CountFromCellText("9007199254740993"), 9007199254740993);
    EXPECT_EQ(CountFromCellText("9223372036854775807"), INT64_MAX);
    EXPECT_EQ(CountFromCellText(" +7 "), 7);
    EXPECT_EQ(CountFromCellText("12.5"), 13);
    for (const char* text : {"", "12abc", "0x10", "nan", "1e30", "+-1"}) {
        EXPECT_THROW(CountFromCellText(text), GridReadError) << text;
    }
}

TEST(Utf, ConversionsBothWays) {
    const std::string mixed = "a\xC3\xA9\xD0\x96\xE2\x82\xAC\xF0\x9F\x98\x80";  // a é Ж € 😀
    const std::u16string wide = u"a\u00E9\u0416\u20AC\xD83D\xDE00";
    EXPECT_EQ(utf::Utf8ToUtf16(mixed), wide);
    EXPECT_EQ(utf::Utf16ToUtf8(wide), mixed);

    // Lone surrogates, in either order.
    EXPECT_EQ(utf::Utf16ToUtf8(u"\xDE00x\xD83D"), "\xEF\xBF\xBDx\xEF\xBF\xBD");
    // Overlong, encoded surrogate, past U+10FFFF, truncated at the end.
    EXPECT_EQ(utf::Utf8ToUtf16("\xC0\xAF"), u"\xFFFD\xFFFD");
    EXPECT_EQ(utf::Utf8ToUtf16("\xED\xA0\x80"), u"\xFFFD\xFFFD\xFFFD");
    EXPECT_EQ(utf::Utf8ToUtf16("\xF4\x90\x80\x80"), u"\xFFFD\xFFFD\xFFFD\xFFFD");
    EXPECT_EQ(utf::Utf8ToUtf16("a\xE2\x82"), u"a\xFFFD");
    // The byte that breaks a sequence starts the next character.
    EXPECT_EQ(utf::Utf8ToUtf16("\xE2\x82z"), u"\xFFFDz");
}

}  // namespace
}  // namespace vs
