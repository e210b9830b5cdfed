#include <gtest/gtest.h>

#include <string>

#include "base/cp1251.h"
#include "base/utf.h"

namespace vs {
namespace {

using cp1251::FromUtf16;
using cp1251::FromUtf8;
using cp1251::ToUtf16;
using cp1251::ToUtf8;

// 0x80..0xFF in order, 0x98 (unassigned) left out; written out in UTF-8 so
// the expected mapping does not come from the tables under test.
const char* const kHighHalfUtf8 =
    "ЂЃ‚ѓ„…†‡€‰Љ‹ЊЌЋЏ"
    "ђ‘’“”•–—™љ›њќћџ"
    "\u00A0ЎўЈ¤Ґ¦§Ё©Є«¬\u00AD®Ї"
    "°±Ііґµ¶·ё№є»јЅѕї"
    "АБВГДЕЖЗИЙКЛМНОП"
    "РСТУФХЦЧШЩЪЫЬЭЮЯ"
    "абвгдежзийклмноп"
    "рстуфхцчшщъыьэюя";

// Every cased letter of the code page outside ASCII, upper and lower in the
// same order.
const char* const kUpperUtf8 = "АБВГДЕЖЗИЙКЛМНОПРСТУФХЦЧШЩЪЫЬЭЮЯЁЂЃЉЊЌЋЏЎЈҐЄЇІЅ";
const char* const kLowerUtf8 = "абвгдежзийклмнопрстуфхцчшщъыьэюяёђѓљњќћџўјґєїіѕ";

std::string HighHalfBytes() {
    std::string bytes;
    for (int c = 0x80; c <= 0xFF; ++c) {
        if (c != 0x98) {
            bytes += static_cast<char>(c);
        }
    }
    return bytes;
}

TEST(Cp1251Conversion, HighHalfIsTheWindowsCodePageAndEveryByteRoundTrips) {
    EXPECT_EQ(ToUtf8(HighHalfBytes()), kHighHalfUtf8);
    EXPECT_EQ(FromUtf8(kHighHalfUtf8), HighHalfBytes());
    EXPECT_EQ(utf::Utf16ToUtf8(ToUtf16(HighHalfBytes())), kHighHalfUtf8);
    EXPECT_EQ(ToUtf16("\xC0\xFF\xA8\xB8\x88\xB9"), u"АяЁё€№");

    std::string bytes = HighHalfBytes();
    for (int c = 0; c < 0x80; ++c) {
        bytes += static_cast<char>(c);  // NUL too: an ordinary character, not an end
    }
    EXPECT_EQ(FromUtf8(ToUtf8(bytes)), bytes);
    EXPECT_EQ(FromUtf16(ToUtf16(bytes)), bytes);
}

// Text from the network or a hand-edited file: whatever has no place in the
// other encoding costs one mark and never swallows what follows it.
TEST(Cp1251Conversion, WhatHasNoPlaceBecomesAMark) {
    EXPECT_EQ(ToUtf8("a\x98z"), "a\uFFFDz");  // the one unassigned byte
    EXPECT_EQ(ToUtf16("\x98"), u"\uFFFD");
    EXPECT_EQ(FromUtf8("\uFFFD"), "?");
    EXPECT_EQ(FromUtf16(u"\uFFFD"), "?");

    EXPECT_EQ(FromUtf8("a中b"), "a?b");
    EXPECT_EQ(FromUtf8("x😀y"), "x?y");         // four-byte sequence
    EXPECT_EQ(FromUtf8("é"), "?");             // Latin-1 is not CP1251
    EXPECT_EQ(FromUtf16(u"x😀y"), "x?y");       // one '?' for a surrogate pair
    EXPECT_EQ(FromUtf16(u"a\xD800z"), "a?z");  // lone surrogates
    EXPECT_EQ(FromUtf16(u"a\xDC00z"), "a?z");

    EXPECT_EQ(FromUtf8("\xC0\xAF"), "??");            // overlong '/'
    EXPECT_EQ(FromUtf8("\xE0\x80\xAF"), "???");       // overlong, three bytes
    EXPECT_EQ(FromUtf8("\xED\xA0\x80"), "???");       // encoded surrogate
    EXPECT_EQ(FromUtf8("\xF4\x90\x80\x80"), "????");  // past U+10FFFF
    EXPECT_EQ(FromUtf8("\xFF\x80"), "??");            // stray lead and continuation
    EXPECT_EQ(FromUtf8("\xD0"), "?");                 // cut at the end
    EXPECT_EQ(FromUtf8("\xE2\x82\x41"), "?A");
    EXPECT_EQ(FromUtf8("\xD0\xD0\x96"), "?\xC6");  // '?' then "Ж"
}

TEST(Cp1251Case, CyrillicPairsConvertBothWaysAndNothingElseChanges) {
    const std::string upper = FromUtf8(kUpperUtf8);
    const std::string lower = FromUtf8(kLowerUtf8);
    ASSERT_EQ(upper.size(), 47u);
    ASSERT_EQ(lower.size(), 47u);
    EXPECT_EQ(cp1251::Lower(upper + "Hello, World_1"), lower + "hello, world_1");
    EXPECT_EQ(cp1251::Upper(lower + "Hello, World_1"), upper + "HELLO, WORLD_1");
    for (std::size_t i = 0; i < upper.size(); ++i) {
        const auto u = static_cast<unsigned char>(upper[i]);
        const auto l = static_cast<unsigned char>(lower[i]);
        EXPECT_TRUE(cp1251::IsUpper(u) && !cp1251::IsLower(u) && cp1251::IsLetter(u)) << i;
        EXPECT_TRUE(cp1251::IsLower(l) && !cp1251::IsUpper(l) && cp1251::IsLetter(l)) << i;
    }

    int letters = 0;
    for (int i = 0; i < 256; ++i) {
        const char ch = static_cast<char>(i);
        if (cp1251::IsLetter(static_cast<unsigned char>(i))) {
            ++letters;
            EXPECT_EQ(cp1251::ToUpper(cp1251::ToLower(ch)), cp1251::ToUpper(ch)) << i;
        } else {
            EXPECT_TRUE(cp1251::ToLower(ch) == ch && cp1251::ToUpper(ch) == ch) << i;
        }
    }
    EXPECT_EQ(letters, 52 + 64 + 30);  // ASCII, А..я, the rest of 0x80..0xBF
    // Look-alikes that are not letters (or not of this alphabet).
    for (const char* s : {"€", "№", "«", "»", "µ", "§", "\u00A0", "—"}) {
        EXPECT_FALSE(cp1251::IsLetter(static_cast<unsigned char>(FromUtf8(s)[0]))) << s;
    }
}

TEST(Cp1251Case, ClassesAndCaselessComparison) {
    for (char c : {' ', '\t', '\n', '\v', '\f', '\r'}) {
        EXPECT_TRUE(cp1251::IsSpace(static_cast<unsigned char>(c))) << int(c);
    }
    EXPECT_FALSE(cp1251::IsSpace(0xA0));
    EXPECT_FALSE(cp1251::IsSpace(0));
    EXPECT_TRUE(cp1251::IsWordChar('_'));
    EXPECT_TRUE(cp1251::IsWordChar(static_cast<unsigned char>(FromUtf8("ї")[0])));
    EXPECT_FALSE(cp1251::IsWordChar('-'));

    EXPECT_TRUE(cp1251::EqualsNoCase(FromUtf8("ПРИВЕТ, Ёж"), FromUtf8("привет, ёЖ")));
    EXPECT_TRUE(cp1251::EqualsNoCase("Content-Type", "content-TYPE"));
    EXPECT_FALSE(cp1251::EqualsNoCase(FromUtf8("Ё"), FromUtf8("Е")));
    EXPECT_FALSE(cp1251::EqualsNoCase("abc", "abcd"));
    EXPECT_TRUE(cp1251::EqualsNoCase("", ""));
}

}  // namespace
}  // namespace vs
