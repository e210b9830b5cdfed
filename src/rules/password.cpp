#include "rules/password.h"

#include <array>
#include <cstddef>
#include <random>

#include "base/numbers.h"

namespace vs {
namespace {

constexpr char kHexDigits[] = "0123456789ABCDEF";

// Seeded from the system's entropy source on every call: a clock seed would
// let two passwords saved in the same instant share their pads.
std::mt19937 NewGenerator() {
    std::random_device device;
    std::array<std::random_device::result_type, 4> seed{};
    for (auto& word : seed) {
        word = device();
    }
    std::seed_seq sequence(seed.begin(), seed.end());
    return std::mt19937(sequence);
}

void AppendHex(std::string& out, unsigned char byte) {
    out += kHexDigits[byte >> 4];
    out += kHexDigits[byte & 0x0F];
}

unsigned char PairValue(char high, char low) {
    const int h = HexDigitValue(high);
    const int l = HexDigitValue(low);
    return h < 0 || l < 0 ? 0 : static_cast<unsigned char>(h << 4 | l);
}

}  // namespace

std::string EncodeStoredPassword(std::string_view password) {
    std::mt19937 generator = NewGenerator();
    // Filler bytes stop at 254: the stored form has always used that range.
    std::uniform_int_distribution<int> fillerByte(0, 254);
    std::uniform_int_distribution<int> leadDigit(0, 8);
    auto filler = [&] { return static_cast<unsigned char>(fillerByte(generator)); };

    std::string out;
    out.reserve(4 * password.size() + 7);
    out += static_cast<char>('0' + leadDigit(generator));
    AppendHex(out, filler());
    for (const char c : password) {
        const unsigned char pad = filler();
        AppendHex(out, static_cast<unsigned char>(static_cast<unsigned char>(c) ^ pad));
        AppendHex(out, pad);
    }
    AppendHex(out, filler());
    AppendHex(out, filler());
    return out;
}

std::string DecodeStoredPassword(std::string_view stored) {
    if (stored.empty()) {
        return {};
    }
    stored.remove_prefix(1);
    std::string bytes;
    bytes.reserve(stored.size() / 2);
    for (std::size_t i = 0; i + 1 < stored.size(); i += 2) {
        bytes += static_cast<char>(PairValue(stored[i], stored[i + 1]));
    }
    if (bytes.size() < 3) {
        return {};
    }
    // One filler byte leads and two trail; between them come (byte, pad)
    // pairs, and a byte without its pad is dropped.
    const std::string_view pairs = std::string_view(bytes).substr(1, bytes.size() - 3);
    std::string password;
    password.reserve(pairs.size() / 2);
    for (std::size_t i = 0; i + 1 < pairs.size(); i += 2) {
        password += static_cast<char>(pairs[i] ^ pairs[i + 1]);
    }
    return password;
}

bool IsWrittenInClear(std::string_view cell) {
    if (cell.empty()) {
        return false;  // the empty password, however it is stored
    }
    // The scrambled form leads with a digit 0 to 8, never 9, and goes on in
    // upper-case hexadecimal: "1facade" typed by hand is no scrambled form.
    if (cell.size() < 7 || (cell.size() - 7) % 4 != 0 || cell[0] < '0' || cell[0] > '8') {
        return true;
    }
    return cell.find_first_not_of(kHexDigits, 1) != std::string_view::npos;
}

}  // namespace vs
