// DecodeStoredPassword never fails on any stored text, and whatever a
// password holds survives EncodeStoredPassword then DecodeStoredPassword.

#include <cstdlib>
#include <string>

#include "rules/password.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    const std::string decoded = vs::DecodeStoredPassword(text);
    (void)vs::EncodeStoredPassword(decoded);

    const std::string stored = vs::EncodeStoredPassword(text);
    if (stored.size() != 4 * text.size() + 7) {
        std::abort();
    }
    if (vs::DecodeStoredPassword(stored) != text) {
        std::abort();
    }
    return 0;
}
