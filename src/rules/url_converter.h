#pragma once
// The URL converter: rows of the URL converter list rewrite a request's URL
// before anything else looks at it. Rows marked "Need" start a chain; only
// after a Need row has matched do the other rows get a turn, each working on
// the text the rows before it left.
//
// PatternSimulator is the converter page's try-out area: it shows what a
// pattern captures in a sample text and what a replacement makes of it.

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "rules/regex.h"
#include "rules/rule_list.h"

namespace vs {

struct UrlConversion {
    bool rewritten = false;
    std::string url;  // CP1251; the input when nothing was rewritten
};

// Runs the list over lowerUrl (CP1251, lower-cased by the caller). For each
// row that rewrote the URL, hit(row, its position) is called; the caller
// queues the hit for the list's owner.
UrlConversion ApplyUrlConverter(const RuleListSnapshot& list, std::string lowerUrl,
                                const std::function<void(const RuleRow& row, int position)>& hit);

class PatternSimulator {
public:
    // A search on the user's text gives up after `limit`, and says so.
    explicit PatternSimulator(std::chrono::milliseconds limit = std::chrono::seconds(2))
        : limit_(limit) {}

    // The memo's separator line between the groups and the replaced text.
    static constexpr std::string_view kReplacedSeparatorUtf8 =
        "--------- После -- замены ----------";

    // Searches inputText (CP1251, lines joined by CR LF) once. On a match,
    // one line per group from 0 up to the highest group that took part, but
    // no further than kMaxReportedGroups: "<group>(<1-based offset>): <text>",
    // offset 0 and no text for a group that did not take part. Lines are
    // joined by CR LF with no line end after the last, as a memo's text reads
    // without a final empty line. A pattern that does not compile gives ""
    // and no message: the user is still typing it. A search that runs out
    // of time gives a line saying so.
    std::string Apply(std::string_view pattern, std::string_view inputText);

    // Apply's lines, then on a match the separator line and the input with
    // its first match replaced by the template.
    std::string Replace(std::string_view pattern, std::string_view replacement,
                        std::string_view inputText);

private:
    // The pattern compiled, or null when it does not compile. The last one is
    // kept: the sample text and the template change far more often than the
    // pattern does.
    const Pattern* Compiled(std::string_view pattern);

    std::chrono::milliseconds limit_;
    std::string lastText_;
    std::shared_ptr<const Pattern> last_;
};

}  // namespace vs
