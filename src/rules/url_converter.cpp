#include "rules/url_converter.h"

#include <exception>

#include "base/cp1251.h"

namespace vs {
namespace {

bool NeedAt(const RuleListSnapshot& list, std::size_t position) {
    return position < list.rows.size() && list.rows[position]->Cells().need;
}

bool TryRow(const RuleRow& row, std::string& url) {
    try {
        return row.Matcher()->ReplaceText(std::nullopt, cp1251::FromUtf8(row.Cells().repl),
                                          row.Cells().replAll, url);
    } catch (const std::exception&) {
        // A row that cannot be run must not stop the rows after it.
        return false;
    }
}

}  // namespace

UrlConversion ApplyUrlConverter(const RuleListSnapshot& list, std::string lowerUrl,
                                const std::function<void(const RuleRow& row, int position)>& hit) {
    UrlConversion result;
    result.url = std::move(lowerUrl);
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
        const bool tried = row.Matcher() && !(needOnly && !cells.need);
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
    return result;
}

PatternSimulator::PatternSimulator() {
    regex_.SetMatchOptions(kRegexCaseless | kRegexMultiline);
}

bool PatternSimulator::Search(std::string_view pattern, std::string_view inputText,
                              std::string& lines) {
    lines.clear();
    try {
        regex_.SetPattern(pattern);
        regex_.SetSubject(inputText);
        if (!regex_.Match()) {
            return false;
        }
    } catch (const std::exception&) {
        return false;
    }
    const int groups = regex_.GroupCount();
    for (int i = 0; i <= groups; ++i) {
        if (i > 0) {
            lines += "\r\n";
        }
        lines += std::to_string(i);
        lines += '(';
        lines += std::to_string(regex_.GroupOffset(i));
        lines += "): ";
        lines += regex_.Group(i);
    }
    return true;
}

std::string PatternSimulator::Apply(std::string_view pattern, std::string_view inputText) {
    std::string lines;
    Search(pattern, inputText, lines);
    return lines;
}

std::string PatternSimulator::Replace(std::string_view pattern, std::string_view replacement,
                                      std::string_view inputText) {
    std::string lines;
    if (!Search(pattern, inputText, lines)) {
        return lines;
    }
    std::string replaced(inputText);
    try {
        regex_.ReplaceText(std::nullopt, replacement, false, replaced);
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
