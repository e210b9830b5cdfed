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

TEST(Cp1251Conversion, TheWindowsCodePageAndEveryByteRoundTrips) {
    // Written out in UTF-8 so the expectation does not come from the tables
    // under test: one byte from each stretch of the high half.
    EXPECT_EQ(ToUtf8("\x80\x88\x96\xA0\xA8\xAA\xB9\xBF\xC0\xDF\xE0\xFF"), "Ђ€–\u00A0ЁЄ№їАЯая");
    EXPECT_EQ(ToUtf16("\xC0\xFF\xA8\xB8\x88\xB9"), u"АяЁё€№");

    std::string bytes;
    for (int c = 0; c < 256; ++c) {
        if (c != 0x98) {
            bytes += static_cast<char>(c);  // NUL too: an ordinary character, not an end
        }
    }
    EXPECT_EQ(FromUtf8(ToUtf8(bytes)), bytes);
    EXPECT_EQ(FromUtf16(ToUtf16(bytes)), bytes);
    EXPECT_EQ(utf::Utf16ToUtf8(ToUtf16(bytes)), ToUtf8(bytes));
}

// Text from the network or a hand-edited file: whatever has no place in the
// other encoding costs one mark and never swallows what follows it.
TEST(Cp1251Conversion, WhatHasNoPlaceBecomesAMark) {
    EXPECT_EQ(ToUtf8("a\x98z"), "a\uFFFDz");  // the one unassigned byte
    EXPECT_EQ(ToUtf16("\x98"), u"\uFFFD");
    EXPECT_EQ(FromUtf8("\uFFFD"), "?");
    EXPECT_EQ(FromUtf16(u"\uFFFD"), "?");

    EXPECT_EQ(FromUtf8("a中b"), "a?b");
    EXPECT_EQ(FromUtf8("x😀y"), "x?y");
    EXPECT_EQ(FromUtf8("é"), "?");             // Latin-1 is not CP1251
    EXPECT_EQ(FromUtf16(u"x😀y"), "x?y");       // one '?' for a surrogate pair
    EXPECT_EQ(FromUtf16(u"a\xD800z"), "a?z");  // lone surrogates
    EXPECT_EQ(FromUtf16(u"a\xDC00z"), "a?z");
}

TEST(Cp1251Case, CyrillicPairsConvertBothWaysAndClassesAgree) {
    const std::string upper = FromUtf8("АЯЁЂЃЉЎЈҐЄЇІЅ");
    const std::string lower = FromUtf8("аяёђѓљўјґєїіѕ");
    EXPECT_EQ(cp1251::Lower(upper + "Hello, World_1"), lower + "hello, world_1");
    EXPECT_EQ(cp1251::Upper(lower + "Hello, World_1"), upper + "HELLO, WORLD_1");

    // Look-alikes that are not letters (or not of this alphabet).
    for (const char* s : {"€", "№", "µ", "\u00A0"}) {
        EXPECT_FALSE(cp1251::IsLetter(static_cast<unsigned char>(FromUtf8(s)[0]))) << s;
    }

    EXPECT_TRUE(cp1251::EqualsNoCase(FromUtf8("ПРИВЕТ, Ёж"), FromUtf8("привет, ёЖ")));
    EXPECT_FALSE(cp1251::EqualsNoCase(FromUtf8("Ё"), FromUtf8("Е")));
    EXPECT_FALSE(cp1251::EqualsNoCase("abc", "abcd"));
}

}  // namespace
}  // namespace vs
