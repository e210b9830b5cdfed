#pragma once
// Looking into answers and files, and writing text the way list files hold it.

#include <gtest/gtest.h>

#include <string>
#include <string_view>

namespace vs::test {

// Whether `text` holds `part`. The message names both either way, so that a
// failing EXPECT_TRUE or EXPECT_FALSE shows what was looked at.
inline ::testing::AssertionResult Has(std::string_view text, std::string_view part) {
    auto result = text.find(part) != std::string_view::npos ? ::testing::AssertionSuccess()
                                                            : ::testing::AssertionFailure();
    return result << "looked for \"" << part << "\" in:\n" << text;
}

// UTF-16 with its byte order mark.
inline std::string Utf16(std::u16string_view text, bool bigEndian = false) {
    std::string out = bigEndian ? "\xFE\xFF" : "\xFF\xFE";
    for (const char16_t c : text) {
        out += static_cast<char>(bigEndian ? c >> 8 : c & 0xFF);
        out += static_cast<char>(bigEndian ? c & 0xFF : c >> 8);
    }
    return out;
}

}  // namespace vs::test
