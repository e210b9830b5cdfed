// TMyRegEx::ReplaceText with a fuzzer-chosen pattern, options, template and
// subject. Patterns the engine rejects throw RegexError, which is expected.

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

    vs::TMyRegEx matcher;
    try {
        matcher.SetMatchOptions(options);
        const bool replaced = matcher.ReplaceText(pattern, replacement, replaceAll, subject);
        if (!replaced && subject != before) {
            std::abort();  // "leaves subject alone when nothing matches"
        }
        // The matcher stays usable after a replacement.
        (void)matcher.MatchText(before);
        for (int group = -1; group <= matcher.GroupCount() + 1; ++group) {
            (void)matcher.Group(group);
            (void)matcher.GroupOffset(group);
            (void)matcher.GroupLength(group);
        }
    } catch (const vs::RegexError&) {
    }
    return 0;
}
