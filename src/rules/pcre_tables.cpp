#include "rules/pcre_tables.h"

#define PCRE2_CODE_UNIT_WIDTH 8
#include <pcre2.h>

#include <stdexcept>
#include <string>

#include "base/cp1251.h"

namespace vs::pcre {
namespace {

bool IsControl(int c) {
    return c < 0x20 || c == 0x7F;
}

// Visible characters: everything but the controls, the blank, NBSP and the
// one unassigned code (0x98).
bool IsGraphic(int c) {
    return !IsControl(c) && c != ' ' && c != 0xA0 && c != 0x98;
}

bool IsPrintable(int c) {
    return IsGraphic(c) || c == ' ' || c == 0xA0;
}

bool IsHexDigit(int c) {
    return cp1251::IsDigit(static_cast<unsigned char>(c)) || (c >= 'a' && c <= 'f') ||
           (c >= 'A' && c <= 'F');
}

}  // namespace

Tables BuildCp1251Tables() {
    Tables t{};
    unsigned char* lcc = t.data() + kLowerCaseOffset;
    unsigned char* fcc = t.data() + kCaseFlipOffset;
    unsigned char* bits = t.data() + kClassBitsOffset;
    unsigned char* types = t.data() + kCharTypesOffset;

    for (int i = 0; i < 256; ++i) {
        const auto c = static_cast<unsigned char>(i);
        const char ch = static_cast<char>(c);
        const bool upper = cp1251::IsUpper(c);
        const bool lower = cp1251::IsLower(c);
        const bool letter = upper || lower;
        const bool digit = cp1251::IsDigit(c);
        const bool space = cp1251::IsSpace(c);
        const bool alnum = letter || digit;

        lcc[i] = static_cast<unsigned char>(cp1251::ToLower(ch));
        fcc[i] = static_cast<unsigned char>(lower ? cp1251::ToUpper(ch) : cp1251::ToLower(ch));

        auto set = [bits, i](std::size_t bitmap) {
            bits[bitmap + i / 8] |= static_cast<unsigned char>(1u << (i % 8));
        };
        if (space) {
            set(kBitsSpace);
        }
        if (IsHexDigit(i)) {
            set(kBitsXDigit);
        }
        if (digit) {
            set(kBitsDigit);
        }
        if (upper) {
            set(kBitsUpper);
        }
        if (lower) {
            set(kBitsLower);
        }
        if (alnum || c == '_') {
            set(kBitsWord);
        }
        if (IsGraphic(i)) {
            set(kBitsGraph);
        }
        if (IsPrintable(i)) {
            set(kBitsPrint);
        }
        if (IsGraphic(i) && !alnum) {
            set(kBitsPunct);
        }
        if (IsControl(i)) {
            set(kBitsCntrl);
        }

        unsigned type = 0;
        if (space) {
            type |= kTypeSpace;
        }
        if (letter) {
            type |= kTypeLetter;
        }
        if (lower) {
            type |= kTypeLowerLetter;
        }
        if (digit) {
            type |= kTypeDigit;
        }
        if (alnum || c == '_') {
            type |= kTypeWord;
        }
        types[i] = static_cast<unsigned char>(type);
    }
    return t;
}

const unsigned char* Cp1251Tables() {
    static const Tables tables = [] {
#ifdef PCRE2_CONFIG_TABLES_LENGTH
        std::size_t expected = 0;
        if (pcre2_config(PCRE2_CONFIG_TABLES_LENGTH, &expected) < 0 || expected != kTablesLength) {
            throw std::runtime_error("PCRE2 character tables are " + std::to_string(expected) +
                                     " bytes in this library, the program builds " +
                                     std::to_string(kTablesLength));
        }
#endif
        return BuildCp1251Tables();
    }();
    return tables.data();
}

}  // namespace vs::pcre
