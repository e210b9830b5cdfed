#pragma once
// The program's 8-bit code page is Windows-1251 whatever locale the machine
// runs in: every 8-bit text of the core (the wire, URLs, rule patterns, the
// settings file, log entries) is CP1251, and conversions to UTF-8 / UTF-16
// happen only at the edges (terminal, file names, Qt, UTF-16 list files).
// Nothing here consults the C locale.

#include <optional>
#include <string>
#include <string_view>

namespace vs::cp1251 {

// Character classes of the code page: ASCII letters and all Cyrillic letters
// (A8 "Ё", B8 "ё" and the Ukrainian/Belarusian/Serbian letters included).
bool IsLetter(unsigned char c);
bool IsUpper(unsigned char c);
bool IsLower(unsigned char c);
bool IsDigit(unsigned char c);
bool IsSpace(unsigned char c);
bool IsWordChar(unsigned char c);  // letter, digit or '_'

char ToLower(char c);
char ToUpper(char c);
std::string Lower(std::string_view text);
std::string Upper(std::string_view text);

// Case-insensitive comparison under the code page's case folding.
bool EqualsNoCase(std::string_view a, std::string_view b);
// Where `needle` first occurs in `text` under that folding; npos if nowhere.
std::size_t FindNoCase(std::string_view text, std::string_view needle);

// Conversions. Characters the code page cannot express become '?'; invalid
// UTF-8 sequences become '?' as well.
std::string ToUtf8(std::string_view text);
std::string FromUtf8(std::string_view utf8);
// The code page's byte for a code point, if it has one.
std::optional<char> Encode(char32_t codePoint);
// The text in the code page when every character of it has a byte there;
// nullopt for invalid UTF-8 or any character the code page lacks (where
// FromUtf8's '?' would change what the text means).
std::optional<std::string> FromUtf8Exactly(std::string_view utf8);
// A line off the wire (a URL, a header line) for a reader: many clients send
// letters raw in UTF-8, which the code page would show as "РїСѓС‚СЊ". A line
// that is well-formed UTF-8 with characters past ASCII is taken as UTF-8,
// any other as the code page, as the list and settings files are read.
std::string LineToUtf8(std::string_view line);
std::u16string ToUtf16(std::string_view text);
std::string FromUtf16(std::u16string_view text);

}  // namespace vs::cp1251
