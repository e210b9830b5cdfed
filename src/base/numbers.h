#pragma once
// Numbers typed by people: settings fields, list cells.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace vs {

// A whole decimal number (optional blanks before, optional sign, digits, in
// the 32-bit range) or the fallback.
int ParseIntOr(std::string_view text, int fallback);

// Decimal digits and nothing else (no blank, no sign), in the 64-bit range:
// the fields of protocol texts, where anything more is a malformed field.
std::optional<std::int64_t> ParseDigits(std::string_view digits);

// The value of one hexadecimal digit, either case; -1 for any other character.
int HexDigitValue(char c);

// "%XX", the byte in upper-case hexadecimal, as a URL carries it.
void AppendPercentEscape(std::string& out, unsigned char byte);

}  // namespace vs
