#include "base/punycode.h"

#include <cstdint>
#include <limits>

namespace vs::punycode {
namespace {

constexpr std::uint32_t kBase = 36;
constexpr std::uint32_t kTMin = 1;
constexpr std::uint32_t kTMax = 26;
constexpr std::uint32_t kSkew = 38;
constexpr std::uint32_t kDamp = 700;
constexpr std::uint32_t kInitialBias = 72;
constexpr std::uint32_t kInitialN = 128;
constexpr std::uint32_t kMax = std::numeric_limits<std::uint32_t>::max();

std::uint32_t Adapt(std::uint32_t delta, std::uint32_t points, bool first) {
    delta = first ? delta / kDamp : delta / 2;
    delta += delta / points;
    std::uint32_t k = 0;
    while (delta > ((kBase - kTMin) * kTMax) / 2) {
        delta /= kBase - kTMin;
        k += kBase;
    }
    return k + (kBase - kTMin + 1) * delta / (delta + kSkew);
}

std::uint32_t Threshold(std::uint32_t k, std::uint32_t bias) {
    return k <= bias ? kTMin : k >= bias + kTMax ? kTMax : k - bias;
}

std::uint32_t DigitValue(char c) {
    if (c >= '0' && c <= '9') {
        return static_cast<std::uint32_t>(c - '0') + 26;
    }
    if (c >= 'a' && c <= 'z') {
        return static_cast<std::uint32_t>(c - 'a');
    }
    if (c >= 'A' && c <= 'Z') {
        return static_cast<std::uint32_t>(c - 'A');
    }
    return kBase;
}

char Digit(std::uint32_t d) {
    return static_cast<char>(d < 26 ? 'a' + d : '0' + (d - 26));
}

}  // namespace

std::optional<std::u32string> Decode(std::string_view ascii) {
    std::u32string out;
    const std::size_t delimiter = ascii.rfind('-');
    std::size_t in = 0;
    if (delimiter != std::string_view::npos) {
        for (const char c : ascii.substr(0, delimiter)) {
            if (static_cast<unsigned char>(c) >= 0x80) {
                return std::nullopt;
            }
            out += static_cast<char32_t>(c);
        }
        in = delimiter + 1;
    }
    std::uint32_t n = kInitialN, i = 0, bias = kInitialBias;
    while (in < ascii.size()) {
        const std::uint32_t oldI = i;
        std::uint32_t w = 1;
        for (std::uint32_t k = kBase;; k += kBase) {
            if (in >= ascii.size()) {
                return std::nullopt;
            }
            const std::uint32_t digit = DigitValue(ascii[in++]);
            if (digit >= kBase || digit > (kMax - i) / w) {
                return std::nullopt;
            }
            i += digit * w;
            const std::uint32_t t = Threshold(k, bias);
            if (digit < t) {
                break;
            }
            if (w > kMax / (kBase - t)) {
                return std::nullopt;
            }
            w *= kBase - t;
        }
        const auto points = static_cast<std::uint32_t>(out.size() + 1);
        bias = Adapt(i - oldI, points, oldI == 0);
        if (i / points > kMax - n) {
            return std::nullopt;
        }
        n += i / points;
        i %= points;
        if (n > 0x10FFFF || (n >= 0xD800 && n <= 0xDFFF)) {
            return std::nullopt;
        }
        out.insert(out.begin() + i, static_cast<char32_t>(n));
        ++i;
    }
    return out;
}

std::optional<std::string> Encode(std::u32string_view label) {
    std::string out;
    for (const char32_t c : label) {
        if (c < 0x80) {
            out += static_cast<char>(c);
        }
    }
    const auto basic = static_cast<std::uint32_t>(out.size());
    std::uint32_t handled = basic;
    if (basic > 0) {
        out += '-';
    }
    std::uint32_t n = kInitialN, delta = 0, bias = kInitialBias;
    while (handled < label.size()) {
        std::uint32_t m = kMax;
        for (const char32_t c : label) {
            if (c >= n && c < m) {
                m = c;
            }
        }
        if (m - n > (kMax - delta) / (handled + 1)) {
            return std::nullopt;
        }
        delta += (m - n) * (handled + 1);
        n = m;
        for (const char32_t c : label) {
            if (c < n && ++delta == 0) {
                return std::nullopt;
            }
            if (c != n) {
                continue;
            }
            std::uint32_t q = delta;
            for (std::uint32_t k = kBase;; k += kBase) {
                const std::uint32_t t = Threshold(k, bias);
                if (q < t) {
                    break;
                }
                out += Digit(t + (q - t) % (kBase - t));
                q = (q - t) / (kBase - t);
            }
            out += Digit(q);
            bias = Adapt(delta, handled + 1, handled == basic);
            delta = 0;
            ++handled;
        }
        ++delta;
        ++n;
    }
    return out;
}

}  // namespace vs::punycode
