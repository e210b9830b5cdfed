#include "base/base64.h"

#include <cstddef>
#include <cstdint>

namespace vs {
namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

std::uint32_t ByteAt(std::string_view bytes, std::size_t i) {
    return i < bytes.size() ? static_cast<unsigned char>(bytes[i]) : 0;
}

}  // namespace

std::string EncodeBase64(std::string_view bytes) {
    std::string out;
    out.reserve((bytes.size() + 2) / 3 * 4);
    for (std::size_t i = 0; i < bytes.size(); i += 3) {
        const std::uint32_t group =
            ByteAt(bytes, i) << 16 | ByteAt(bytes, i + 1) << 8 | ByteAt(bytes, i + 2);
        const std::size_t present = bytes.size() - i;  // 1, 2 or more
        out += kAlphabet[group >> 18 & 0x3F];
        out += kAlphabet[group >> 12 & 0x3F];
        out += present > 1 ? kAlphabet[group >> 6 & 0x3F] : '=';
        out += present > 2 ? kAlphabet[group & 0x3F] : '=';
    }
    return out;
}

}  // namespace vs
