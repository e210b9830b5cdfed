// IniFile::Parse, Get, Set and Text: a value set is read back as set, other
// keys keep their values, and the text written parses to the same values.

#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstdlib>
#include <stdexcept>

#include "shell/ini_file.h"

namespace {

bool SameName(std::string_view a, std::string_view b) {
    auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; };
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(),
                                              [&](char x, char y) { return lower(x) == lower(y); });
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider input(data, size);
    const std::string section = input.ConsumeRandomLengthString(16);
    const std::string key = input.ConsumeRandomLengthString(16);
    const std::string value = input.ConsumeRandomLengthString(64);
    const std::string otherSection = input.ConsumeRandomLengthString(16);
    const std::string otherKey = input.ConsumeRandomLengthString(16);
    const std::string text = input.ConsumeRemainingBytesAsString();

    vs::IniFile file = vs::IniFile::Parse(text);
    const auto otherBefore = file.Get(otherSection, otherKey);
    (void)file.Get(section, key);
    bool set = false;
    try {
        file.Set(section, key, value);
        set = true;
    } catch (const std::invalid_argument&) {
    }
    if (set) {
        const auto read = file.Get(section, key);
        if (!read || *read != value.substr(0, vs::IniFile::kMaxValueLength)) {
            std::abort();
        }
    }
    const auto otherAfter = file.Get(otherSection, otherKey);
    const bool sameKey = SameName(otherSection, section) && SameName(otherKey, key);
    if (!sameKey && otherBefore != otherAfter) {
        std::abort();
    }
    const vs::IniFile again = vs::IniFile::Parse(file.Text());
    if (again.Get(section, key) != file.Get(section, key) ||
        again.Get(otherSection, otherKey) != file.Get(otherSection, otherKey)) {
        std::abort();
    }
    if (again.Text() != file.Text()) {
        std::abort();
    }
    return 0;
}
