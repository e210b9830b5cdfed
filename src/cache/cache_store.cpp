#include "cache/cache_store.h"

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "rules/regex.h"

namespace vs::cache {
namespace {

struct SniffRule {
    std::shared_ptr<const Pattern> pattern;
    // Empty: the type is group 1 of the match; ending in "=": followed by it.
    std::string type;
};

const std::vector<SniffRule>& SniffRules() {
    static const std::vector<SniffRule> rules = [] {
        constexpr unsigned kOptions = kRegexCaseless | kRegexMultiline;
        const auto rule = [&](std::string_view pattern, std::string type) {
            return SniffRule{Pattern::Compile(pattern, kOptions), std::move(type)};
        };
        std::vector<SniffRule> list;
        list.push_back(rule(R"re(<meta http-equiv="Content-Type" *content="([^"]+))re", ""));
        // The short form pages have written since HTML5; without it a UTF-8
        // page would be announced in the code page below.
        list.push_back(rule(R"re(<meta\s+charset=["']?([\w-]+))re", "text/html; charset="));
        list.push_back(rule("(<!DOCTYPE)|(<HTML>)", "text/html; charset=windows-1251"));
        list.push_back(rule("^(GIF)", "image/gif"));
        list.push_back(rule("^(BM)", "image/bmp"));
        list.push_back(rule(R"re(^(\x89PNG))re", "image/png"));
        list.push_back(rule(R"re(^(\xFF\xD8\xFF\xE0))re", "image/jpeg"));
        return list;
    }();
    return rules;
}

}  // namespace

std::string SniffContentType(std::string_view firstBytes) {
    const std::string_view head = firstBytes.substr(0, 500);
    for (const SniffRule& rule : SniffRules()) {
        const auto match = rule.pattern->Find(head);
        if (!match) {
            continue;
        }
        return rule.type.ends_with('=') ? rule.type + std::string(match->Group(1))
               : rule.type.empty()      ? std::string(match->Group(1))
                                        : rule.type;
    }
    return "";
}

}  // namespace vs::cache
