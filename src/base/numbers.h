#pragma once
// Numbers typed by people: settings fields, list cells.

#include <string_view>

namespace vs {

// A whole decimal number (optional blanks before, optional sign, digits, in
// the 32-bit range) or the fallback.
int ParseIntOr(std::string_view text, int fallback);

}  // namespace vs
