#include "rules/regex.h"

#define PCRE2_CODE_UNIT_WIDTH 8
#include <pcre2.h>

#include <algorithm>
#include <cstdint>
#include <utility>

#include "base/cp1251.h"
#include "rules/pcre_tables.h"

namespace vs {

namespace detail {
void CodeDeleter::operator()(pcre2_code* code) const {
    pcre2_code_free(code);
}
void MatchDataDeleter::operator()(pcre2_match_data* data) const {
    pcre2_match_data_free(data);
}
}  // namespace detail

RegexError RegexError::EmptyPattern() {
    return RegexError("TPerlRegEx.Compile() - Please specify a regular expression in RegEx first");
}

RegexError RegexError::Rejected(std::size_t offset, std::string_view engineText) {
    return RegexError("TPerlRegEx.Compile() - Error in regex at offset " + std::to_string(offset) +
                      ": " + std::string(engineText));
}

RegexError RegexError::StudyFailed(std::string_view engineText) {
    return RegexError("TPerlRegEx.Study() - Error studying the regex: " + std::string(engineText));
}

namespace {

using detail::CodePtr;
using detail::MatchDataPtr;

// The longest subject matched again on a large stack: as long as the request
// lines most servers take. The engine tries a pattern such as
// "(.|\n)*\.swf$" from every position of the subject, so its work grows
// with the square of the length: 0.07 s at 8 KiB, seconds towards the 64 KiB
// a request head may hold.
constexpr std::size_t kLongestRetriedSubject = 8 * 1024;
// The work one start position may cost on the large stack. The default (ten
// million) lets a pattern such as "(.|\n)*(.|\n)*\.swf$", whose work grows
// with the cube of the length, run for seconds on a URL of 2 KB; with this
// it gives up within milliseconds, as it did on the small stack.
constexpr uint32_t kRetriedMatchLimit = 1'000'000;

// A match context with an 8 MiB stack for the compiled matcher; null
// context when the memory is not to be had.
struct LargeMatchStack {
    pcre2_jit_stack* stack = pcre2_jit_stack_create(32 * 1024, 8 * 1024 * 1024, nullptr);
    pcre2_match_context* context = stack != nullptr ? pcre2_match_context_create(nullptr) : nullptr;

    LargeMatchStack() {
        if (context != nullptr) {
            pcre2_jit_stack_assign(context, nullptr, stack);
            pcre2_set_match_limit(context, kRetriedMatchLimit);
        }
    }
    ~LargeMatchStack() {
        pcre2_match_context_free(context);
        pcre2_jit_stack_free(stack);
    }
    LargeMatchStack(const LargeMatchStack&) = delete;
    LargeMatchStack& operator=(const LargeMatchStack&) = delete;
};

std::string EngineMessage(int code) {
    PCRE2_UCHAR buffer[256];
    const int n = pcre2_get_error_message(code, buffer, sizeof buffer);
    if (n < 0) {
        return "error " + std::to_string(code);
    }
    return std::string(reinterpret_cast<const char*>(buffer), static_cast<std::size_t>(n));
}

// Shared by every compile in the process. The engine only reads a compile
// context, so concurrent compiles may use the same one.
pcre2_compile_context* CompileContext() {
    struct Holder {
        pcre2_compile_context* context;
        Holder() : context(pcre2_compile_context_create(nullptr)) {
            if (context == nullptr) {
                throw std::bad_alloc();
            }
            pcre2_set_newline(context, PCRE2_NEWLINE_ANYCRLF);
            pcre2_set_character_tables(context, pcre::Cp1251Tables());
        }
        ~Holder() { pcre2_compile_context_free(context); }
    };
    static const Holder holder;
    return holder.context;
}

uint32_t EngineOptions(unsigned options) {
    // Subjects are 8-bit code-page text: a "(*UTF)" verb would make every
    // Cyrillic URL an invalid subject, which no rule can decide.
    uint32_t result = PCRE2_NEVER_UTF;
    if (options & kRegexCaseless) {
        result |= PCRE2_CASELESS;
    }
    if (options & kRegexMultiline) {
        result |= PCRE2_MULTILINE;
    }
    if (options & kRegexDotAll) {
        result |= PCRE2_DOTALL;
    }
    if (options & kRegexExtended) {
        result |= PCRE2_EXTENDED;
    }
    if (options & kRegexAnchored) {
        result |= PCRE2_ANCHORED;
    }
    if (options & kRegexDollarEndOnly) {
        result |= PCRE2_DOLLAR_ENDONLY;
    }
    if (options & kRegexUngreedy) {
        result |= PCRE2_UNGREEDY;
    }
    return result;
}

CodePtr CompileCode(std::string_view pattern, unsigned options, uint32_t engineOptions = 0) {
    if (pattern.empty()) {
        throw RegexError::EmptyPattern();
    }
    int error = 0;
    PCRE2_SIZE offset = 0;
    CodePtr code(pcre2_compile(reinterpret_cast<PCRE2_SPTR>(pattern.data()), pattern.size(),
                               EngineOptions(options) | engineOptions, &error, &offset,
                               CompileContext()));
    if (!code) {
        throw RegexError::Rejected(offset, EngineMessage(error));
    }
    // Without JIT (not built in, or out of executable memory) the
    // interpreter runs the same code, so a failure here is not an error.
    pcre2_jit_compile(code.get(), PCRE2_JIT_COMPLETE);
    return code;
}

int EngineCaptureCount(const pcre2_code* code) {
    uint32_t count = 0;
    pcre2_pattern_info(code, PCRE2_INFO_CAPTURECOUNT, &count);
    return static_cast<int>(count);
}

PCRE2_SPTR SubjectPointer(std::string_view subject) {
    // The engine refuses a null subject even with length 0.
    return reinterpret_cast<PCRE2_SPTR>(subject.data() != nullptr ? subject.data() : "");
}

bool IsApostrophe(char c) {
    return c == '\'' || c == '\x92';  // ASCII and the typographic one
}

// The \F \I \L \U conversions of the replacement template.
std::string ChangeCase(std::string_view text, char how) {
    if (how == 'U') {
        return cp1251::Upper(text);
    }
    std::string out = cp1251::Lower(text);
    if (how == 'F') {
        if (!out.empty()) {
            out[0] = cp1251::ToUpper(out[0]);
        }
    } else if (how == 'I') {
        char previous = ' ';
        for (char& c : out) {
            const auto u = static_cast<unsigned char>(c);
            const auto p = static_cast<unsigned char>(previous);
            if (cp1251::IsLetter(u) && !cp1251::IsWordChar(p) && !IsApostrophe(previous)) {
                c = cp1251::ToUpper(c);
            }
            previous = c;
        }
    }
    return out;
}

bool IsDigitChar(char c) {
    return c >= '0' && c <= '9';
}

bool IsNameStart(char c) {
    return c == '_' || cp1251::IsLetter(static_cast<unsigned char>(c));
}

bool IsNameChar(char c) {
    return cp1251::IsWordChar(static_cast<unsigned char>(c));
}

}  // namespace

// ---------------------------------------------------------------------------
// Pattern

bool PatternMatch::Participated(int index) const {
    return index >= 0 && index < static_cast<int>(spans_.size()) &&
           spans_[index].start != std::string_view::npos;
}

std::string_view PatternMatch::Group(int index) const {
    if (!Participated(index)) {
        return {};
    }
    const Span& s = spans_[index];
    return subject_.substr(s.start, s.end - s.start);
}

std::ptrdiff_t PatternMatch::Offset(int index) const {
    return Participated(index) ? static_cast<std::ptrdiff_t>(spans_[index].start) : -1;
}

namespace {

bool HasCompiledMatcher(const pcre2_code* code) {
    std::size_t size = 0;
    return pcre2_pattern_info(code, PCRE2_INFO_JITSIZE, &size) == 0 && size > 0;
}

// The interpreter's match limit counts anew at every start position, so a
// pattern such as "(*NO_JIT)a*a*a*[bc]" may cost ten million steps per
// letter of a long URL: minutes of a worker's time per request. Its limit
// shares one budget among the positions instead.
constexpr std::uint64_t kInterpretedBudget = 20'000'000;
constexpr std::uint32_t kInterpretedLeastLimit = 1000;

pcre2_match_context* InterpretedContext(std::size_t subjectSize) {
    struct Holder {
        pcre2_match_context* context = pcre2_match_context_create(nullptr);
        ~Holder() { pcre2_match_context_free(context); }
    };
    thread_local Holder holder;
    if (holder.context != nullptr) {
        const std::uint64_t share = kInterpretedBudget / (subjectSize + 1);
        pcre2_set_match_limit(holder.context, static_cast<std::uint32_t>(std::max<std::uint64_t>(
                                                  share, kInterpretedLeastLimit)));
    }
    return holder.context;
}

// A search tried out by the user runs with a callout before every item of
// the pattern, which gives up once its time is over; the clock is read at
// every 1024th callout. Its stack is the large one whatever the length of
// the text, and its work is not counted.
struct TimedSearch {
    std::chrono::steady_clock::time_point deadline;
    std::uint32_t callouts = 0;
};

int CheckTime(pcre2_callout_block*, void* data) {
    auto* search = static_cast<TimedSearch*>(data);
    if ((++search->callouts & 1023) == 0 && std::chrono::steady_clock::now() > search->deadline) {
        return PCRE2_ERROR_CALLOUT;
    }
    return 0;
}

pcre2_match_context* TimedContext(TimedSearch& search) {
    struct Holder {
        LargeMatchStack large;
        Holder() {
            if (large.context != nullptr) {
                pcre2_set_match_limit(large.context, UINT32_MAX);
            }
        }
    };
    thread_local Holder holder;
    if (holder.large.context != nullptr) {
        pcre2_set_callout(holder.large.context, CheckTime, &search);
    }
    return holder.large.context;
}

Pattern::Outcome OutcomeOf(int rc) {
    if (rc > 0) {
        return Pattern::Outcome::Match;
    }
    // Only a match the engine gave up for its limits is undecided (a URL
    // padded to make a pattern give up must not pass a black list); any
    // other failure (a recursion that loops) finds nothing.
    switch (rc) {
        case PCRE2_ERROR_MATCHLIMIT:
        case PCRE2_ERROR_DEPTHLIMIT:
        case PCRE2_ERROR_HEAPLIMIT:
        case PCRE2_ERROR_JIT_STACKLIMIT:
        case PCRE2_ERROR_NOMEMORY:
        case PCRE2_ERROR_CALLOUT:  // out of time
            return Pattern::Outcome::Undecided;
        default:
            return Pattern::Outcome::NoMatch;
    }
}

}  // namespace

Pattern::Pattern(std::string text, unsigned options, detail::CodePtr code,
                 std::chrono::milliseconds timeLimit)
    : text_(std::move(text)),
      options_(options),
      code_(std::move(code)),
      captureCount_(EngineCaptureCount(code_.get())),
      interpreted_(!HasCompiledMatcher(code_.get())),
      timeLimit_(timeLimit) {}

namespace {

// A pattern that gives up even on an empty text (a recursion into itself,
// "((?1))") would give up on every URL, and a black list refuses what it
// cannot decide: it is no pattern.
std::shared_ptr<const Pattern> RefusedIfItNeverEnds(std::shared_ptr<const Pattern> compiled) {
    if (compiled->Decide({}) == Pattern::Outcome::Undecided) {
        throw RegexError::Rejected(0, "the pattern never ends, even on an empty text");
    }
    return compiled;
}

}  // namespace

std::shared_ptr<const Pattern> Pattern::Compile(std::string_view pattern, unsigned options) {
    return RefusedIfItNeverEnds(std::shared_ptr<const Pattern>(
        new Pattern(std::string(pattern), options, CompileCode(pattern, options))));
}

std::shared_ptr<const Pattern> Pattern::CompileForTryOut(std::string_view pattern, unsigned options,
                                                         std::chrono::milliseconds limit) {
    return RefusedIfItNeverEnds(std::shared_ptr<const Pattern>(new Pattern(
        std::string(pattern), options, CompileCode(pattern, options, PCRE2_AUTO_CALLOUT), limit)));
}

int Pattern::Run(std::string_view subject, std::size_t start, const std::size_t** ovector) const {
    // One match block per thread, grown to the largest pattern it has met:
    // the hot path allocates nothing, and threads share nothing but the
    // read-only compiled code.
    struct PerThread {
        MatchDataPtr data;
        uint32_t pairs = 0;
    };
    thread_local PerThread local;
    const auto needed = static_cast<uint32_t>(captureCount_ + 1);
    if (local.pairs < needed) {
        const uint32_t pairs = std::max<uint32_t>(needed, 16);
        local.data.reset(pcre2_match_data_create(pairs, nullptr));
        if (!local.data) {
            local.pairs = 0;
            throw std::bad_alloc();
        }
        local.pairs = pairs;
    }
    if (timeLimit_.count() > 0) {
        TimedSearch search{std::chrono::steady_clock::now() + timeLimit_};
        pcre2_match_context* timed = TimedContext(search);
        const int rc = timed == nullptr
                           ? PCRE2_ERROR_NOMEMORY
                           : pcre2_match(code_.get(), SubjectPointer(subject), subject.size(),
                                         start, PCRE2_NOTEMPTY, local.data.get(), timed);
        *ovector = pcre2_get_ovector_pointer(local.data.get());
        return rc;
    }
    int rc =
        pcre2_match(code_.get(), SubjectPointer(subject), subject.size(), start, PCRE2_NOTEMPTY,
                    local.data.get(), interpreted_ ? InterpretedContext(subject.size()) : nullptr);
    if (rc == PCRE2_ERROR_JIT_STACKLIMIT && subject.size() <= kLongestRetriedSubject) {
        // The compiled matcher's own stack is 32 KiB, which ordinary patterns
        // such as "(.|\n)*\.swf$" use up on a URL of a kilobyte or two. A
        // larger stack is taken for this match only: its pages are reserved,
        // not used, until the match needs them. Beyond it the match stays
        // undecided, which the black list refuses and the others pass by.
        const LargeMatchStack large;
        if (large.context != nullptr) {
            rc = pcre2_match(code_.get(), SubjectPointer(subject), subject.size(), start,
                             PCRE2_NOTEMPTY, local.data.get(), large.context);
        }
    }
    *ovector = pcre2_get_ovector_pointer(local.data.get());
    return rc;
}

Pattern::Outcome Pattern::Decide(std::string_view subject) const {
    const std::size_t* ovector = nullptr;
    return OutcomeOf(Run(subject, 0, &ovector));
}

std::optional<std::string_view> Pattern::FindGroup(std::string_view subject, int index) const {
    if (index < 0 || index > captureCount_) {
        return std::nullopt;
    }
    const std::size_t* ovector = nullptr;
    const int rc = Run(subject, 0, &ovector);
    if (rc <= 0) {
        return std::nullopt;
    }
    if (index >= rc || ovector[2 * index] == PCRE2_UNSET) {
        return std::string_view{};
    }
    return subject.substr(ovector[2 * index], ovector[2 * index + 1] - ovector[2 * index]);
}

std::ptrdiff_t Pattern::GroupOffset(std::string_view subject, int index) const {
    if (index < 0 || index > captureCount_) {
        return -1;
    }
    const std::size_t* ovector = nullptr;
    const int rc = Run(subject, 0, &ovector);
    if (rc <= index || ovector[2 * index] == PCRE2_UNSET) {
        return -1;
    }
    return static_cast<std::ptrdiff_t>(ovector[2 * index]);
}

std::optional<PatternMatch> Pattern::Find(std::string_view subject, std::size_t start) const {
    Outcome ignored;
    return Find(subject, start, ignored);
}

std::optional<PatternMatch> Pattern::Find(std::string_view subject, std::size_t start,
                                          Outcome& outcome) const {
    outcome = Outcome::NoMatch;
    if (start > subject.size()) {
        return std::nullopt;
    }
    const std::size_t* ovector = nullptr;
    // Errors (match or depth limit hit by a runaway pattern) count as no
    // match: a rule that cannot be decided must not fire.
    const int rc = Run(subject, start, &ovector);
    outcome = OutcomeOf(rc);
    if (rc <= 0) {
        return std::nullopt;
    }
    PatternMatch match;
    match.subject_ = subject;
    match.spans_.reserve(static_cast<std::size_t>(rc));
    for (int i = 0; i < rc; ++i) {
        const std::size_t begin = ovector[2 * i];
        if (begin == PCRE2_UNSET) {
            match.spans_.push_back({std::string_view::npos, std::string_view::npos});
        } else {
            match.spans_.push_back({begin, ovector[2 * i + 1]});
        }
    }
    return match;
}

int Pattern::GroupNumber(std::string_view name) const {
    const std::string zero(name);
    const int n =
        pcre2_substring_number_from_name(code_.get(), reinterpret_cast<PCRE2_SPTR>(zero.c_str()));
    return n > 0 ? n : -1;
}

// ---------------------------------------------------------------------------
// Replacement templates

int Pattern::MatchedGroupNumber(std::string_view name, const PatternMatch& match) const {
    const std::string zero(name);
    PCRE2_SPTR first = nullptr;
    PCRE2_SPTR last = nullptr;
    const int rc = pcre2_substring_nametable_scan(
        code_.get(), reinterpret_cast<PCRE2_SPTR>(zero.c_str()), &first, &last);
    if (rc < 0) {
        return -1;
    }
    if (first == nullptr) {
        return rc;  // the name is unique
    }
    // Several groups share the name ((?J) or (?|...)): the first one that
    // took part in the match and is reported, else the first one.
    const int entrySize = rc;
    const auto number = [](PCRE2_SPTR entry) { return (entry[0] << 8) | entry[1]; };
    for (PCRE2_SPTR entry = first; entry <= last; entry += entrySize) {
        const int group = number(entry);
        if (group <= kMaxReportedGroups && match.Participated(group)) {
            return group;
        }
    }
    return number(first);
}

// Template forms, read left to right:
//   \\  -> \          \$ and $$ -> $
//   \d  $d            group d; a second digit joins when the two-digit
//                     number is a group of the pattern ("$12" with two
//                     groups is group 1, then "2")
//   ${digits}         that group
//   ${name}           that named group; an unknown name stays as text
//   \g<name> \G<name> that named group; an unknown name gives nothing
//   \L \U \F \I + d   group d lower / upper / first letter up / every word's
//                     first letter up. "\U\1" and "\U$1" are read the same
//                     as "\U1": writing the reference in full is the natural
//                     thing to try, and a literal "\U" before a group is of
//                     no use to anyone.
// Everything else after \ or $ (and a lone one at the end) is copied.
std::string Pattern::Expand(std::string_view t, const PatternMatch& match) const {
    const std::size_t n = t.size();
    std::string out;
    out.reserve(n);

    // Groups beyond the pattern, beyond kMaxReportedGroups or not taking
    // part all give "".
    auto appendGroup = [&](int group, char transform) {
        const std::string_view text =
            group <= kMaxReportedGroups ? match.Group(group) : std::string_view{};
        if (transform == 0) {
            out += text;
        } else {
            out += ChangeCase(text, transform);
        }
    };

    // Reads a group number at p (a digit there); returns the characters used.
    auto readNumber = [&](std::size_t p, int& group) -> std::size_t {
        group = t[p] - '0';
        if (p + 1 < n && IsDigitChar(t[p + 1])) {
            const int two = group * 10 + (t[p + 1] - '0');
            if (two <= captureCount_) {
                group = two;
                return 2;
            }
        }
        return 1;
    };

    std::size_t i = 0;
    while (i < n) {
        const char c = t[i];
        if ((c != '\\' && c != '$') || i + 1 >= n) {
            out += c;
            ++i;
            continue;
        }
        const char d = t[i + 1];
        if (c == '\\' && d == '\\') {
            out += '\\';
            i += 2;
            continue;
        }
        if (d == '$') {
            out += '$';
            i += 2;
            continue;
        }
        if (IsDigitChar(d)) {
            int group = 0;
            const std::size_t used = readNumber(i + 1, group);
            appendGroup(group, 0);
            i += 1 + used;
            continue;
        }
        if (c == '$' && d == '{') {
            const std::size_t close = t.find('}', i + 2);
            if (close != std::string_view::npos && close > i + 2) {
                const std::string_view inner = t.substr(i + 2, close - i - 2);
                if (std::all_of(inner.begin(), inner.end(), IsDigitChar)) {
                    // Anything longer than four digits is past any group.
                    int group = -1;
                    if (inner.size() <= 4) {
                        group = std::stoi(std::string(inner));
                    }
                    appendGroup(group, 0);
                    i = close + 1;
                    continue;
                }
                if (IsNameStart(inner[0]) && std::all_of(inner.begin(), inner.end(), IsNameChar)) {
                    const int group = MatchedGroupNumber(inner, match);
                    if (group >= 0) {
                        appendGroup(group, 0);
                    } else {
                        out += t.substr(i, close + 1 - i);
                    }
                    i = close + 1;
                    continue;
                }
            }
        }
        if (c == '\\' && (d == 'g' || d == 'G') && i + 3 < n && t[i + 2] == '<' &&
            IsNameStart(t[i + 3])) {
            std::size_t end = i + 4;
            while (end < n && IsNameChar(t[end])) {
                ++end;
            }
            if (end < n && t[end] == '>') {
                const int group = MatchedGroupNumber(t.substr(i + 3, end - i - 3), match);
                if (group >= 0) {
                    appendGroup(group, 0);
                }
                i = end + 1;
                continue;
            }
        }
        if (c == '\\') {
            const char how = cp1251::ToUpper(d);
            if (how == 'F' || how == 'I' || how == 'L' || how == 'U') {
                std::size_t p = i + 2;
                if (p + 1 < n && (t[p] == '\\' || t[p] == '$') && IsDigitChar(t[p + 1])) {
                    ++p;
                }
                if (p < n && IsDigitChar(t[p])) {
                    int group = 0;
                    p += readNumber(p, group);
                    appendGroup(group, how);
                    i = p;
                    continue;
                }
            }
        }
        out += c;
        ++i;
    }
    return out;
}

bool ReplaceMatches(const Pattern& pattern, std::string_view replacement, bool replaceAll,
                    std::string& subject, std::size_t longest) {
    auto match = pattern.Find(subject);
    if (!match) {
        return false;
    }
    std::string text = subject;
    std::size_t start = 0;
    for (;;) {
        const auto matchStart = static_cast<std::size_t>(match->Offset(0));
        const std::size_t matchLength = match->Group(0).size();
        if (matchLength == 0 || matchStart < start) {
            break;  // cannot happen under "not empty"; never loop on it
        }
        // The groups are views into the text searched: expand before changing it.
        const std::string inserted = pattern.Expand(replacement, *match);
        text.replace(matchStart, matchLength, inserted);
        if (text.size() > longest) {
            throw std::length_error("the replaced text grows past " + std::to_string(longest) +
                                    " bytes");
        }
        // The search goes on behind the inserted text. Every match is
        // non-empty and lies in the not yet searched rest, so that rest
        // shrinks with each round and the loop ends.
        start = matchStart + inserted.size();
        if (!replaceAll || !(match = pattern.Find(text, start))) {
            break;
        }
    }
    subject = std::move(text);
    return true;
}

}  // namespace vs
