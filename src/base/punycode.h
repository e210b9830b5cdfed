#pragma once
// Host names in other scripts travel as ASCII labels ("xn--80aodfsg" is
// "казино"): browsers send them so, and a Location header must carry them
// so. One label at a time, without the "xn--" prefix.

#include <optional>
#include <string>
#include <string_view>

namespace vs::punycode {

// The code points a label's ASCII form stands for; nullopt when it is no
// valid encoding.
std::optional<std::u32string> Decode(std::string_view ascii);

// The ASCII form of a label (without the prefix); nullopt when it would
// overflow, which no label of a real host does.
std::optional<std::string> Encode(std::u32string_view label);

}  // namespace vs::punycode
