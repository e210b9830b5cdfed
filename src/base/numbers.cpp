#include "base/numbers.h"

#include <charconv>
#include <limits>

namespace vs {

int ParseIntOr(std::string_view text, int fallback) {
    std::size_t i = 0;
    while (i < text.size() && (text[i] == ' ' || text[i] == '\t')) {
        ++i;
    }
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
        negative = text[i] == '-';
        ++i;
    }
    if (i == text.size()) {
        return fallback;
    }
    // One past the largest magnitude lets "-2147483648" through.
    const long long limit = static_cast<long long>(std::numeric_limits<int>::max()) + 1;
    long long magnitude = 0;
    for (; i < text.size(); ++i) {
        if (text[i] < '0' || text[i] > '9') {
            return fallback;
        }
        magnitude = magnitude * 10 + (text[i] - '0');
        if (magnitude > limit) {
            return fallback;
        }
    }
    if (!negative && magnitude == limit) {
        return fallback;
    }
    return static_cast<int>(negative ? -magnitude : magnitude);
}

std::optional<std::int64_t> ParseDigits(std::string_view digits) {
    // from_chars would take a leading '-'.
    if (digits.empty() || digits.front() < '0' || digits.front() > '9') {
        return std::nullopt;
    }
    std::int64_t value = 0;
    const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
    if (error != std::errc() || end != digits.data() + digits.size()) {
        return std::nullopt;
    }
    return value;
}

int HexDigitValue(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    return -1;
}

void AppendPercentEscape(std::string& out, unsigned char byte) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    out += '%';
    out += kHex[byte >> 4];
    out += kHex[byte & 0x0F];
}

}  // namespace vs
