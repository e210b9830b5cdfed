#include "rules/url_converter.h"

#include <algorithm>
#include <exception>
#include <optional>

#include "base/cp1251.h"
#include "base/numbers.h"
#include "base/utf.h"

namespace vs {
namespace {

bool NeedAt(const RuleListSnapshot& list, std::size_t position) {
    return position < list.rows.size() && list.rows[position]->Cells().need;
}

// Longer than any server takes a request line, or a browser a redirect: a
// row growing a URL past it (a letter replaced by many, every time) is
// stopped before one request costs the memory of the machine.
constexpr std::size_t kLongestConvertedUrl = 64 * 1024;

// The template in the code page the URL is in; a letter the code page lacks
// ("ü" of a hand-edited list) as the escaped UTF-8 a browser sends for it,
// where the code page's "?" would begin a query.
std::string TemplateInCodePage(std::string_view utf8) {
    std::string out;
    out.reserve(utf8.size());
    for (std::size_t i = 0; i < utf8.size();) {
        const std::size_t start = i;
        const char32_t point = utf::NextCodePoint(utf8, i);
        if (const std::optional<char> c = cp1251::Encode(point)) {
            out += *c;
            continue;
        }
        for (const char byte : utf8.substr(start, i - start)) {
            AppendPercentEscape(out, static_cast<unsigned char>(byte));
        }
    }
    return out;
}

bool TryRow(const RuleRow& row, std::string& url) {
    try {
        return ReplaceMatches(*row.CompiledPattern(), TemplateInCodePage(row.Cells().repl),
                              row.Cells().replAll, url, kLongestConvertedUrl);
    } catch (const std::exception&) {
        // A row that cannot be run must not stop the rows after it.
        return false;
    }
}

// Fills lines as PatternSimulator::Apply returns them; false when nothing
// matched.
bool GroupLines(const Pattern& pattern, std::string_view inputText, std::string& lines) {
    lines.clear();
    std::optional<PatternMatch> match;
    Pattern::Outcome outcome = Pattern::Outcome::NoMatch;
    try {
        match = pattern.Find(inputText, 0, outcome);
    } catch (const std::exception&) {
        return false;
    }
    if (!match) {
        if (outcome == Pattern::Outcome::Undecided) {
            lines = cp1251::FromUtf8(
                "Поиск прерван: на этом тексте правило работает слишком долго, совпадение "
                "не найдено и не исключено");
        }
        return false;
    }
    const int groups = std::min(match->GroupCount(), kMaxReportedGroups);
    for (int i = 0; i <= groups; ++i) {
        if (i > 0) {
            lines += "\r\n";
        }
        lines += std::to_string(i);
        lines += '(';
        lines += std::to_string(match->Offset(i) + 1);  // 0 for a group not taking part
        lines += "): ";
        lines += match->Group(i);
    }
    return true;
}

}  // namespace

UrlConversion ApplyUrlConverter(const RuleListSnapshot& list, std::string lowerUrl,
                                const std::function<void(const RuleRow& row, int position)>& hit) {
    UrlConversion result;
    result.url = std::move(lowerUrl);
    const std::string given = result.url;
    bool needOnly = true;
    // A row position, compared against the chain of Need rows. The row it
    // names is looked up as a position in the list, not as the row that
    // just matched; that is how the chains have always behaved and existing
    // lists rely on it.
    std::size_t chain = 0;
    for (std::size_t r = 0; r < list.rows.size(); ++r) {
        const RuleRow& row = *list.rows[r];
        const RuleCells& cells = row.Cells();
        if (!cells.enable) {
            continue;
        }
        const bool tried = row.CompiledPattern() && !(needOnly && !cells.need);
        if (tried && TryRow(row, result.url)) {
            chain = NeedAt(list, chain) ? chain + 1 : 0;
            if (hit) {
                hit(row, static_cast<int>(r));
            }
            result.rewritten = true;
            if (cells.need) {
                needOnly = false;
            }
            continue;
        }
        if (cells.need) {
            needOnly = chain == 0;
        } else {
            chain = 0;
        }
    }
    // Rules that gave back the URL they were given ask for no redirect: the
    // browser would be sent to the same URL again and again. So do rules that
    // left nothing: an empty Location sends it back to where it was.
    result.rewritten = result.rewritten && result.url != given && !result.url.empty();
    if (result.url.empty()) {
        result.url = given;
    }
    return result;
}

const Pattern* PatternSimulator::Compiled(std::string_view pattern) {
    if (!last_ || pattern != lastText_) {
        last_.reset();
        lastText_ = pattern;
        try {
            last_ = Pattern::CompileForTryOut(pattern, kRegexCaseless | kRegexMultiline, limit_);
        } catch (const std::exception&) {
            // The user is still typing it.
        }
    }
    return last_.get();
}

std::string PatternSimulator::Apply(std::string_view pattern, std::string_view inputText) {
    std::string lines;
    if (const Pattern* compiled = Compiled(pattern)) {
        GroupLines(*compiled, inputText, lines);
    }
    return lines;
}

std::string PatternSimulator::Replace(std::string_view pattern, std::string_view replacement,
                                      std::string_view inputText) {
    std::string lines;
    const Pattern* compiled = Compiled(pattern);
    if (compiled == nullptr || !GroupLines(*compiled, inputText, lines)) {
        return lines;
    }
    std::string replaced(inputText);
    try {
        ReplaceMatches(*compiled, replacement, false, replaced);
    } catch (const std::exception&) {
        return lines;
    }
    lines += "\r\n";
    lines += cp1251::FromUtf8(kReplacedSeparatorUtf8);
    lines += "\r\n";
    lines += replaced;
    return lines;
}

}  // namespace vs
