#include "base/cp1251.h"

#include <algorithm>
#include <array>
#include <cstdint>

#include "base/utf.h"

namespace vs::cp1251 {
namespace {

// 0x98 has no character in the code page; it shows as the replacement
// character on the Unicode side and cannot be produced back from it.
constexpr char16_t kUndefined = 0xFFFD;

// Unicode code points of 0x80..0xBF; 0xC0..0xFF are U+0410..U+044F in order.
constexpr std::array<char16_t, 64> kHighHalf = {
    0x0402,     0x0403, 0x201A, 0x0453, 0x201E, 0x2026, 0x2020, 0x2021,  // 80
    0x20AC,     0x2030, 0x0409, 0x2039, 0x040A, 0x040C, 0x040B, 0x040F,  // 88
    0x0452,     0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,  // 90
    kUndefined, 0x2122, 0x0459, 0x203A, 0x045A, 0x045C, 0x045B, 0x045F,  // 98
    0x00A0,     0x040E, 0x045E, 0x0408, 0x00A4, 0x0490, 0x00A6, 0x00A7,  // A0
    0x0401,     0x00A9, 0x0404, 0x00AB, 0x00AC, 0x00AD, 0x00AE, 0x0407,  // A8
    0x00B0,     0x00B1, 0x0406, 0x0456, 0x0491, 0x00B5, 0x00B6, 0x00B7,  // B0
    0x0451,     0x2116, 0x0454, 0x00BB, 0x0458, 0x0405, 0x0455, 0x0457,  // B8
};

// Upper/lower pairs of the Cyrillic letters outside the contiguous
// А..я block.
constexpr std::array<std::pair<unsigned char, unsigned char>, 15> kHighPairs = {{
    {0x80, 0x90},
    {0x81, 0x83},
    {0x8A, 0x9A},
    {0x8C, 0x9C},
    {0x8D, 0x9D},
    {0x8E, 0x9E},
    {0x8F, 0x9F},
    {0xA1, 0xA2},
    {0xA3, 0xBC},
    {0xA5, 0xB4},
    {0xA8, 0xB8},
    {0xAA, 0xBA},
    {0xAF, 0xBF},
    {0xB2, 0xB3},
    {0xBD, 0xBE},
}};

enum : std::uint8_t { kUpper = 1, kLower = 2, kDigit = 4, kSpace = 8 };

struct Tables {
    std::array<unsigned char, 256> lower{};
    std::array<unsigned char, 256> upper{};
    std::array<std::uint8_t, 256> flags{};
};

constexpr Tables BuildTables() {
    Tables t;
    for (int i = 0; i < 256; ++i) {
        t.lower[i] = static_cast<unsigned char>(i);
        t.upper[i] = static_cast<unsigned char>(i);
    }
    auto pair = [&t](int up, int low) {
        t.lower[up] = static_cast<unsigned char>(low);
        t.upper[low] = static_cast<unsigned char>(up);
        t.flags[up] |= kUpper;
        t.flags[low] |= kLower;
    };
    for (int c = 'A'; c <= 'Z'; ++c) {
        pair(c, c + 32);
    }
    for (int c = 0xC0; c <= 0xDF; ++c) {
        pair(c, c + 32);
    }
    for (auto [up, low] : kHighPairs) {
        pair(up, low);
    }
    for (int c = '0'; c <= '9'; ++c) {
        t.flags[c] |= kDigit;
    }
    // The ASCII white space only: NBSP (0xA0) is deliberately not a separator
    // here, so header and URL tokenising treats it like any other byte.
    for (int c : {' ', '\t', '\n', '\v', '\f', '\r'}) {
        t.flags[c] |= kSpace;
    }
    return t;
}

constexpr Tables kTables = BuildTables();

char16_t ToUnicode(unsigned char c) {
    if (c < 0x80) {
        return c;
    }
    if (c >= 0xC0) {
        return static_cast<char16_t>(0x0410 + (c - 0xC0));
    }
    return kHighHalf[c - 0x80];
}

// Returns the code page byte for a code point, or '?' when it has none.
char FromUnicode(char32_t cp) {
    return Encode(cp).value_or('?');
}

void AppendUtf8(std::string& out, char32_t cp) {
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

}  // namespace

bool IsLetter(unsigned char c) {
    return (kTables.flags[c] & (kUpper | kLower)) != 0;
}
bool IsUpper(unsigned char c) {
    return (kTables.flags[c] & kUpper) != 0;
}
bool IsLower(unsigned char c) {
    return (kTables.flags[c] & kLower) != 0;
}
bool IsDigit(unsigned char c) {
    return (kTables.flags[c] & kDigit) != 0;
}
bool IsSpace(unsigned char c) {
    return (kTables.flags[c] & kSpace) != 0;
}
bool IsWordChar(unsigned char c) {
    return IsLetter(c) || IsDigit(c) || c == '_';
}

char ToLower(char c) {
    return static_cast<char>(kTables.lower[static_cast<unsigned char>(c)]);
}
char ToUpper(char c) {
    return static_cast<char>(kTables.upper[static_cast<unsigned char>(c)]);
}

std::string Lower(std::string_view text) {
    std::string out(text);
    for (char& c : out) {
        c = ToLower(c);
    }
    return out;
}

std::string Upper(std::string_view text) {
    std::string out(text);
    for (char& c : out) {
        c = ToUpper(c);
    }
    return out;
}

bool EqualsNoCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (ToLower(a[i]) != ToLower(b[i])) {
            return false;
        }
    }
    return true;
}

// Candidates are found by the first character in either case with find
// (memchr): the whole first block of every answer is searched, and a byte
// by byte comparison cost answers of 100 kB 6 % of their rate (bench case 2).
std::size_t FindNoCase(std::string_view text, std::string_view needle) {
    constexpr std::size_t npos = std::string_view::npos;
    if (needle.empty()) {
        return 0;
    }
    const char lower = ToLower(needle.front());
    const char upper = ToUpper(needle.front());
    std::size_t nextLower = text.find(lower);
    std::size_t nextUpper = upper == lower ? npos : text.find(upper);
    for (;;) {
        const std::size_t at = std::min(nextLower, nextUpper);
        if (at == npos || needle.size() > text.size() - at) {
            return npos;
        }
        if (EqualsNoCase(text.substr(at, needle.size()), needle)) {
            return at;
        }
        if (at == nextLower) {
            nextLower = text.find(lower, at + 1);
        } else {
            nextUpper = text.find(upper, at + 1);
        }
    }
}

std::string ToUtf8(std::string_view text) {
    std::string out;
    out.reserve(text.size() * 2);
    for (char c : text) {
        AppendUtf8(out, ToUnicode(static_cast<unsigned char>(c)));
    }
    return out;
}

std::string LineToUtf8(std::string_view line) {
    if (utf::HasNonAscii(line) && utf::IsValidUtf8(line)) {
        return std::string(line);
    }
    return ToUtf8(line);
}

std::string FromUtf8(std::string_view utf8) {
    std::string out;
    out.reserve(utf8.size());
    for (std::size_t i = 0; i < utf8.size();) {
        // A broken sequence, like anything the code page lacks, becomes '?'.
        out += FromUnicode(utf::NextCodePoint(utf8, i));
    }
    return out;
}

std::optional<char> Encode(char32_t cp) {
    if (cp < 0x80) {
        return static_cast<char>(cp);
    }
    if (cp >= 0x0410 && cp <= 0x044F) {
        return static_cast<char>(0xC0 + (cp - 0x0410));
    }
    if (cp != kUndefined) {
        for (std::size_t i = 0; i < kHighHalf.size(); ++i) {
            if (kHighHalf[i] == cp) {
                return static_cast<char>(0x80 + i);
            }
        }
    }
    return std::nullopt;
}

std::optional<std::string> FromUtf8Exactly(std::string_view utf8) {
    if (!utf::IsValidUtf8(utf8)) {
        return std::nullopt;
    }
    std::string out;
    out.reserve(utf8.size());
    for (std::size_t i = 0; i < utf8.size();) {
        const std::optional<char> c = Encode(utf::NextCodePoint(utf8, i));
        if (!c) {
            return std::nullopt;
        }
        out += *c;
    }
    return out;
}

std::u16string ToUtf16(std::string_view text) {
    std::u16string out;
    out.reserve(text.size());
    for (char c : text) {
        out += ToUnicode(static_cast<unsigned char>(c));
    }
    return out;
}

std::string FromUtf16(std::u16string_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char16_t u = text[i];
        if (u >= 0xD800 && u <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
            text[i + 1] <= 0xDFFF) {
            // Nothing outside the BMP exists in the code page: one '?' for
            // the pair, not two.
            ++i;
            out += '?';
        } else {
            out += FromUnicode(u);  // lone surrogates come out as '?'
        }
    }
    return out;
}

}  // namespace vs::cp1251
