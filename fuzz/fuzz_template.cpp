// ReplaceMatches with a fuzzer-chosen pattern, options, template and subject.
// Patterns the engine rejects throw RegexError, which is expected.

#include <fuzzer/FuzzedDataProvider.h>

#include <cstdlib>

#include "rules/regex.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider input(data, size);
    // Small patterns keep backtracking-heavy inputs from timing out.
    const std::string pattern = input.ConsumeRandomLengthString(48);
    const std::string replacement = input.ConsumeRandomLengthString(64);
    const unsigned options = input.ConsumeIntegral<std::uint8_t>();
    const bool replaceAll = input.ConsumeBool();
    std::string subject = input.ConsumeRemainingBytesAsString();
    const std::string before = subject;

    try {
        const auto compiled = vs::Pattern::Compile(pattern, options);
        const bool replaced = vs::ReplaceMatches(*compiled, replacement, replaceAll, subject);
        if (!replaced && subject != before) {
            std::abort();  // "leaves subject alone when nothing matches"
        }
        // A replacement is the expansion of the first match put in its place.
        const auto match = compiled->Find(before);
        if (replaced != match.has_value()) {
            std::abort();
        }
        if (match && !replaceAll) {
            const auto start = static_cast<std::size_t>(match->Offset(0));
            const std::string expected = before.substr(0, start) +
                                         compiled->Expand(replacement, *match) +
                                         before.substr(start + match->Group(0).size());
            if (subject != expected) {
                std::abort();
            }
        }
    } catch (const vs::RegexError&) {
    }
    return 0;
}
