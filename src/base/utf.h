#pragma once
// UTF-8 <-> UTF-16 for the edges that hold Unicode text (the UTF-16 list
// files, the user interface). Malformed input never fails: each broken
// piece becomes U+FFFD, so a damaged file still loads as far as it can.

#include <cstddef>
#include <string>
#include <string_view>

namespace vs::utf {

inline constexpr char32_t kReplacementChar = 0xFFFD;

// Surrogate pairs become one four-byte sequence; a lone surrogate becomes
// U+FFFD.
std::string Utf16ToUtf8(std::u16string_view text);

// Code points past U+FFFF become surrogate pairs. Overlong forms, encoded
// surrogates, code points past U+10FFFF and truncated sequences become
// U+FFFD (one per maximal broken subsequence).
std::u16string Utf8ToUtf16(std::string_view text);

void AppendUtf8(std::string& out, char32_t codePoint);

// Decodes the code point starting at text[i] (i < text.size()) and moves i
// past it. A broken sequence gives kReplacementChar for the bytes taken so
// far; the byte that broke it is left to start the next one.
char32_t NextCodePoint(std::string_view text, std::size_t& i);

// True when every byte sequence of the text is well-formed UTF-8.
bool IsValidUtf8(std::string_view text);

// True when some byte is past ASCII (0x80 or above).
bool HasNonAscii(std::string_view text);

// The code units of UTF-16 bytes (no byte order mark) in the given byte
// order; an odd last byte is left out.
std::u16string Utf16Units(std::string_view bytes, bool bigEndian);

// Appends one code unit as its two UTF-16 bytes in the given byte order.
void AppendUtf16(std::string& out, char16_t unit, bool bigEndian);
inline void AppendUtf16Le(std::string& out, char16_t unit) {
    AppendUtf16(out, unit, false);
}

}  // namespace vs::utf
