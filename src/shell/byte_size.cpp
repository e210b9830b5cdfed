#include "shell/byte_size.h"

#include <cmath>
#include <cstdio>
#include <string_view>

namespace vs {
namespace {

// Digits of a scaled magnitude, grouped by thousands, with the last
// `decimals` digits after the point.
std::string Grouped(std::string digits, int decimals, bool negative) {
    const auto fraction = static_cast<std::size_t>(decimals);
    if (digits.size() <= fraction) {
        digits.insert(0, fraction + 1 - digits.size(), '0');
    }
    const std::size_t whole = digits.size() - fraction;
    std::string out = negative ? "-" : "";
    for (std::size_t i = 0; i < whole; ++i) {
        if (i > 0 && (whole - i) % 3 == 0) {
            out += ',';
        }
        out += digits[i];
    }
    if (fraction > 0) {
        out += '.';
        out.append(digits, whole, fraction);
    }
    return out;
}

std::string DigitsOf(unsigned __int128 value) {
    std::string digits;
    do {
        digits.insert(digits.begin(), static_cast<char>('0' + static_cast<int>(value % 10)));
        value /= 10;
    } while (value != 0);
    return digits;
}

}  // namespace

std::string FormatByteSize(std::int64_t bytes) {
    struct Unit {
        std::int64_t size;
        std::string_view suffix;
    };
    static constexpr Unit kUnits[] = {
        {1, " B"}, {1024, " kB"}, {1048576, " MB"}, {1073741824, " GB"}};
    std::size_t unit = 0;
    while (unit + 1 < std::size(kUnits) && bytes >= kUnits[unit + 1].size) {
        ++unit;
    }
    // Integer arithmetic keeps the rounding exact; 128 bits leave room for
    // the factor 100 even at the ends of the 64-bit range.
    const bool negative = bytes < 0;
    const auto magnitude = static_cast<unsigned __int128>(negative ? -static_cast<__int128>(bytes)
                                                                   : static_cast<__int128>(bytes));
    const auto size = static_cast<unsigned __int128>(kUnits[unit].size);
    const unsigned __int128 hundredths = (magnitude * 200 + size) / (2 * size);
    return Grouped(DigitsOf(hundredths), 2, negative) + std::string(kUnits[unit].suffix);
}

std::string CacheShareText(std::int64_t cacheBytes, std::int64_t internetBytes) {
    const double total = static_cast<double>(cacheBytes) + static_cast<double>(internetBytes);
    const double share = total == 0 ? 0.0 : 100.0 * static_cast<double>(cacheBytes) / total;
    const double tenths = std::round(std::fabs(share) * 10.0);
    // Any finite whole double prints exactly with "%.0f", however large.
    char digits[400];
    std::snprintf(digits, sizeof digits, "%.0f", tenths);
    return FormatByteSize(cacheBytes) + " / " + Grouped(digits, 1, share < 0 && tenths != 0) + " %";
}

}  // namespace vs
