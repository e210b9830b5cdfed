#pragma once
// PCRE2 character tables for the CP1251 code page, built by the program
// itself. The engine's own table maker reads the process locale, and the
// machines the proxy runs on have no CP1251 locale, so case folding and \w,
// \d, \s, [:alpha:] etc. would know nothing of Cyrillic.

#include <array>
#include <cstddef>

namespace vs::pcre {

// Size of the table block in the engine's layout: lower-case map, case-flip
// map, ten 32-byte class bitmaps, character-type map.
inline constexpr std::size_t kTablesLength = 1088;

// Offsets of the parts within the block.
inline constexpr std::size_t kLowerCaseOffset = 0;
inline constexpr std::size_t kCaseFlipOffset = 256;
inline constexpr std::size_t kClassBitsOffset = 512;
inline constexpr std::size_t kCharTypesOffset = 832;

// Class bitmaps, in the engine's order, as offsets within the bitmap part.
enum ClassBits : std::size_t {
    kBitsSpace = 0,
    kBitsXDigit = 32,
    kBitsDigit = 64,
    kBitsUpper = 96,
    kBitsLower = 128,
    kBitsWord = 160,
    kBitsGraph = 192,
    kBitsPrint = 224,
    kBitsPunct = 256,
    kBitsCntrl = 288,
};

// Bits of the character-type map.
enum CharType : unsigned char {
    kTypeSpace = 0x01,
    kTypeLetter = 0x02,
    kTypeLowerLetter = 0x04,
    kTypeDigit = 0x08,
    kTypeWord = 0x10,
};

using Tables = std::array<unsigned char, kTablesLength>;

// A fresh copy of the CP1251 tables.
Tables BuildCp1251Tables();

// The process-wide copy handed to the engine: built on first use and never
// changed afterwards. Throws std::runtime_error when the linked engine
// expects a table block of a different size, since handing it ours would
// make it read garbage.
const unsigned char* Cp1251Tables();

}  // namespace vs::pcre
