#pragma once
// Regular expressions over CP1251 text.
//
// Two front ends share one way of compiling: newline convention ANYCRLF (the
// wire uses CRLF, and with the library's LF default a capture running to the
// end of a header line would keep its CR), the program's own CP1251
// character tables, no UTF mode, JIT where the library has it, and matching
// with "not empty" (an empty string is never a match).
//
//  - Pattern: a compiled, immutable pattern that any number of threads may
//    match at once with no locking. For the fixed patterns of the proxy.
//  - TMyRegEx: a stateful matcher (pattern, options, subject, last match)
//    guarded by its own lock, for user rules and replacements.

#include <atomic>
#include <memory>
#include <mutex>
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
    // Throws RegexError, with the same messages as TMyRegEx.
    static std::shared_ptr<const Pattern> Compile(std::string_view pattern, unsigned options = 0);

    Pattern(const Pattern&) = delete;
    Pattern& operator=(const Pattern&) = delete;

    bool Matches(std::string_view subject) const;
    // Text of group `index` of the first match (a view into subject; empty
    // when the group did not take part), or nullopt when there is no match or
    // the pattern has no such group.
    std::optional<std::string_view> FindGroup(std::string_view subject, int index) const;
    // 0-based offset of group `index` of the first match, or -1.
    std::ptrdiff_t GroupOffset(std::string_view subject, int index) const;
    // All groups of the first match.
    std::optional<PatternMatch> Find(std::string_view subject) const;

    // Number of capture groups in the pattern.
    int CaptureCount() const { return captureCount_; }
    // Number of the group with that name, or -1.
    int GroupNumber(std::string_view name) const;
    const std::string& Text() const { return text_; }
    unsigned Options() const { return options_; }

private:
    Pattern(std::string text, unsigned options, detail::CodePtr code);
    // Runs the search with this thread's match data; returns the engine's
    // result and leaves the offsets in *ovector.
    int Run(std::string_view subject, const std::size_t** ovector) const;

    std::string text_;
    unsigned options_;
    detail::CodePtr code_;
    int captureCount_;
};

// Stateful matcher. Every public member takes the matcher's (recursive) lock
// for its whole run, so one matcher may be shared between threads; distinct
// matchers never contend.
class TMyRegEx {
public:
    // At most this many groups of a match are reported; the rest are
    // matched but not readable.
    static constexpr int kMaxGroups = 99;

    TMyRegEx();
    ~TMyRegEx();
    TMyRegEx(const TMyRegEx&) = delete;
    TMyRegEx& operator=(const TMyRegEx&) = delete;

    // Sets the pattern and compiles it. A text equal to the current one keeps
    // the compiled form. Throws RegexError.
    void SetPattern(std::string_view pattern);
    std::string Pattern() const;

    // A different bit set discards the compiled form; it is compiled again on
    // the next match.
    void SetMatchOptions(unsigned options);
    unsigned Options() const;

    // The search window becomes the whole text; the last match is forgotten.
    void SetSubject(std::string_view subject);
    std::string Subject() const;

    // Compiles if needed and searches the window once from its start.
    bool Match();
    bool MatchText(std::string_view subject);

    // out := text of group `index` of the first match ("" when none). A given
    // pattern or subject is set first.
    void ExtractGroup(std::optional<std::string_view> pattern,
                      std::optional<std::string_view> subject, std::string& out, int index);
    // 1-based offset of group `index` of the first match, 0 when none.
    int GroupOffset(std::optional<std::string_view> pattern,
                    std::optional<std::string_view> subject, int index);

    // Replaces the first match in `subject` (every match with replaceAll) by
    // the expanded template. Returns false and leaves subject alone when
    // nothing matches. See ExpandTemplate in regex.cpp for the template forms.
    bool ReplaceText(std::optional<std::string_view> pattern, std::string_view replacement,
                     bool replaceAll, std::string& subject);

    // The last match: -1 groups when there is none.
    int GroupCount() const;
    std::string Group(int index) const;
    // 1-based; 0 when the group did not take part or does not exist.
    int GroupOffset(int index) const;
    int GroupLength(int index) const;

    // Marks the matcher as taken or returned by a matcher pool.
    bool Free() const { return free_.load(); }
    void SetFree(bool free) { free_.store(free); }

private:
    using Lock = std::lock_guard<std::recursive_mutex>;

    void CompileLocked();
    bool MatchLocked();
    bool GroupSet(int index) const;
    std::string GroupText(int index) const;
    int NamedGroup(std::string_view name) const;
    void AppendReference(std::string& out, int group, char transform) const;
    std::string ExpandTemplate() const;
    void ForgetMatch() { matchCount_ = 0; }

    mutable std::recursive_mutex mutex_;
    std::string pattern_;
    unsigned options_ = 0;
    detail::CodePtr code_;
    int captureCount_ = 0;
    detail::MatchDataPtr matchData_;
    std::string subject_;
    std::size_t start_ = 0;  // search window, 0-based, [start_, stop_)
    std::size_t stop_ = 0;
    int matchCount_ = 0;  // groups reported + 1; 0 without a match
    std::string replacement_;
    std::atomic<bool> free_{true};
};

}  // namespace vs
