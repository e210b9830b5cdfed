#pragma once
// Regular expressions over CP1251 text.
//
// Every pattern, fixed or from a user's rule, compiles one way: newline
// convention ANYCRLF (the wire uses CRLF, and with the library's LF default a
// capture running to the end of a header line would keep its CR), the
// program's own CP1251 character tables, no UTF mode, JIT where the library
// has it, and matching with "not empty" (an empty string is never a match).
// A compiled Pattern is immutable: any number of threads match it at once
// with no locking.

#include <chrono>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

struct pcre2_real_code_8;
struct pcre2_real_match_data_8;

namespace vs {

class RegexError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;

    // The messages users see in the log and in rule editors; kept word for
    // word as they have always read.
    static RegexError EmptyPattern();
    static RegexError Rejected(std::size_t offset, std::string_view engineText);
    static RegexError StudyFailed(std::string_view engineText);
};

// Compile options, a bit set. The values are stored in the settings file.
enum RegexOption : unsigned {
    kRegexCaseless = 1,
    kRegexMultiline = 2,
    kRegexDotAll = 4,
    kRegexExtended = 8,
    kRegexAnchored = 16,
    kRegexDollarEndOnly = 32,
    // Unknown escape letters are errors. The engine rejects them anyway, so
    // this bit changes nothing; it stays for settings written with it.
    kRegexExtra = 64,
    kRegexUngreedy = 128,
};

// Groups numbered past this match but are never reported, neither by a
// replacement template nor in the pattern try-out area: rules have always
// been written against that, and a rule must keep its meaning.
inline constexpr int kMaxReportedGroups = 99;

namespace detail {
struct CodeDeleter {
    void operator()(pcre2_real_code_8* code) const;
};
struct MatchDataDeleter {
    void operator()(pcre2_real_match_data_8* data) const;
};
using CodePtr = std::unique_ptr<pcre2_real_code_8, CodeDeleter>;
using MatchDataPtr = std::unique_ptr<pcre2_real_match_data_8, MatchDataDeleter>;
}  // namespace detail

// Groups of one match of a Pattern, as views into the subject matched.
class PatternMatch {
public:
    // Highest group number that took part (0 when only the whole match).
    int GroupCount() const { return static_cast<int>(spans_.size()) - 1; }
    bool Participated(int index) const;
    // Empty when the group did not take part or does not exist.
    std::string_view Group(int index) const;
    // 0-based offset into the subject, or -1.
    std::ptrdiff_t Offset(int index) const;

private:
    friend class Pattern;
    struct Span {
        std::size_t start;
        std::size_t end;
    };
    std::string_view subject_;
    std::vector<Span> spans_;  // start == npos: group did not take part
};

class Pattern {
public:
    // Throws RegexError.
    static std::shared_ptr<const Pattern> Compile(std::string_view pattern, unsigned options = 0);
    // For a user trying a pattern on a text of his own: any length of text,
    // and no bound on the engine's work but time. A search that runs longer
    // than `limit` gives up (undecided) rather than holding the window for
    // minutes. Each step is slower than a Compile'd pattern's: never for
    // requests. Throws RegexError.
    static std::shared_ptr<const Pattern> CompileForTryOut(std::string_view pattern,
                                                           unsigned options,
                                                           std::chrono::milliseconds limit);

    Pattern(const Pattern&) = delete;
    Pattern& operator=(const Pattern&) = delete;

    // Undecided: the engine gave up (its match or depth limit), so the
    // subject may or may not match.
    enum class Outcome { NoMatch, Match, Undecided };
    Outcome Decide(std::string_view subject) const;
    bool Matches(std::string_view subject) const { return Decide(subject) == Outcome::Match; }
    // Text of group `index` of the first match (a view into subject; empty
    // when the group did not take part), or nullopt when there is no match or
    // the pattern has no such group.
    std::optional<std::string_view> FindGroup(std::string_view subject, int index) const;
    // 0-based offset of group `index` of the first match, or -1.
    std::ptrdiff_t GroupOffset(std::string_view subject, int index) const;
    // All groups of the first match at or after start. The text before start
    // still counts for lookbehinds and for what "^" and "\b" see.
    std::optional<PatternMatch> Find(std::string_view subject, std::size_t start = 0) const;
    // The same, telling also whether a search that found nothing gave up.
    std::optional<PatternMatch> Find(std::string_view subject, std::size_t start,
                                     Outcome& outcome) const;
    // The replacement template expanded for match, a match of this pattern.
    // See regex.cpp for the template forms.
    std::string Expand(std::string_view replacement, const PatternMatch& match) const;

    // Number of capture groups in the pattern.
    int CaptureCount() const { return captureCount_; }
    // Number of the group with that name, or -1.
    int GroupNumber(std::string_view name) const;
    const std::string& Text() const { return text_; }
    unsigned Options() const { return options_; }

private:
    Pattern(std::string text, unsigned options, detail::CodePtr code,
            std::chrono::milliseconds timeLimit = {});
    // Runs the search with this thread's match data; returns the engine's
    // result and leaves the offsets in *ovector, valid until the thread's
    // next Run.
    int Run(std::string_view subject, std::size_t start, const std::size_t** ovector) const;
    int MatchedGroupNumber(std::string_view name, const PatternMatch& match) const;

    std::string text_;
    unsigned options_;
    detail::CodePtr code_;
    int captureCount_;
    bool interpreted_;  // no compiled matcher: its work is bounded per match
    std::chrono::milliseconds timeLimit_;  // zero: bounded by work, not time
};

// Replaces the first match of pattern in subject (every match with
// replaceAll) by the replacement template expanded for that match. Returns
// false and leaves subject alone when nothing matches. Throws
// std::length_error, leaving subject alone, once the text grows past
// `longest`. Holds no state, so any number of threads may replace with one
// pattern at once.
bool ReplaceMatches(const Pattern& pattern, std::string_view replacement, bool replaceAll,
                    std::string& subject, std::size_t longest = SIZE_MAX);

}  // namespace vs
