#include "rules/url_converter.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "base/cp1251.h"

namespace vs {
namespace {

struct Row {
    std::string rule;
    std::string repl;
    bool replAll = false;
    bool need = false;
    bool enable = true;
    std::int64_t hits = 0;
};

RuleListSnapshot List(const std::vector<Row>& rows) {
    RuleListSnapshot list;
    for (const Row& r : rows) {
        list.rows.push_back(std::make_shared<const RuleRow>(
            RuleCells{r.enable, r.rule, r.repl, r.replAll, r.need, r.hits}));
    }
    return list;
}

using Hits = std::vector<std::pair<int, std::int64_t>>;

struct Outcome {
    UrlConversion conversion;
    Hits hits;
};

Outcome Convert(const RuleListSnapshot& list, std::string url) {
    Outcome outcome;
    outcome.conversion =
        ApplyUrlConverter(list, std::move(url), [&](const RuleRow& row, int position) {
            outcome.hits.emplace_back(position, row.Hits() + 1);
        });
    return outcome;
}

TEST(UrlConverter, NeedRowOpensTheChainForTheRowsAfterIt) {
    const auto list = List({
        {.rule = "^http://a\\.com/", .repl = "http://b.com/", .need = true, .hits = 41},
        {.rule = "b\\.com", .repl = "c.com", .hits = 7},
    });
    const Outcome hit = Convert(list, "http://a.com/page");
    EXPECT_TRUE(hit.conversion.rewritten);
    EXPECT_EQ(hit.conversion.url, "http://c.com/page");
    EXPECT_EQ(hit.hits, (Hits{{0, 42}, {1, 8}}));

    // The Need row does not match: the chain never opens, and the plain row
    // that would match is never tried on its own.
    const Outcome miss = Convert(list, "http://b.com/page");
    EXPECT_FALSE(miss.conversion.rewritten);
    EXPECT_EQ(miss.conversion.url, "http://b.com/page");
    EXPECT_TRUE(miss.hits.empty());

    // A rule whose result is the URL it was given (a tracking parameter
    // the URL lacks) matched, but a redirect to the same URL would be sent
    // again for ever.
    const auto strip = List(
        {{.rule = "^(http://a\\.com/list\\?)(utm_source=[^&]*&?)?", .repl = "$1", .need = true}});
    EXPECT_EQ(Convert(strip, "http://a.com/list?utm_source=x&id=5").conversion.url,
              "http://a.com/list?id=5");
    const Outcome same = Convert(strip, "http://a.com/list?id=5");
    EXPECT_FALSE(same.conversion.rewritten);
    EXPECT_EQ(same.hits.size(), 1u);
    // Nor a rule that leaves nothing (its result cell empty): an empty
    // Location sends the browser back to where it was.
    const Outcome empty =
        Convert(List({{.rule = "^http://a\\.com/.*", .repl = "", .need = true}}), "http://a.com/x");
    EXPECT_FALSE(empty.conversion.rewritten);
    EXPECT_EQ(empty.conversion.url, "http://a.com/x");
}

TEST(UrlConverter, TemplatesAndCase) {
    // Every occurrence, with a group reference; the parts nobody replaced
    // keep the caller's lower case while the template's case is kept too.
    const auto list = List({{.rule = "(x+)", .repl = "[\\1]Y", .replAll = true, .need = true}});
    const Outcome outcome = Convert(list, "http://xx.org/axb");
    EXPECT_TRUE(outcome.conversion.rewritten);
    EXPECT_EQ(outcome.conversion.url, "http://[xx]Y.org/a[x]Yb");

    const auto once = List({{.rule = "(x+)", .repl = "[\\1]", .need = true}});
    EXPECT_EQ(Convert(once, "xx-x").conversion.url, "[xx]-x");

    // Rule and template are UTF-8 and meet the URL in the 8-bit code page.
    const auto cyrillic = List({{.rule = "сайт", .repl = "САЙТ", .need = true}});
    EXPECT_EQ(Convert(cyrillic, cp1251::FromUtf8("http://сайт.рф/")).conversion.url,
              cp1251::FromUtf8("http://САЙТ.рф/"));
    // A letter the code page lacks goes as a browser writes it: the code
    // page's "?" would begin a query.
    const auto foreign = List({{.rule = "muller", .repl = "müller", .need = true}});
    EXPECT_EQ(Convert(foreign, "http://h/muller/").conversion.url, "http://h/m%C3%BCller/");
}

TEST(UrlConverter, DisabledAndBrokenRows) {
    // A disabled row changes nothing, not even the chain state: taken as a
    // plain row that missed, it would reset the position and B's miss would
    // then close the chain before the last row.
    const auto disabled = List({
        {.rule = "a", .repl = "b", .need = true},
        {.rule = "zzz", .repl = "", .enable = false},
        {.rule = "never", .repl = "", .need = true},
        {.rule = "b", .repl = "c"},
    });
    EXPECT_EQ(Convert(disabled, "a").conversion.url, "c");

    // A Need row without a matcher counts as a Need row that did not match.
    const auto broken = List({
        {.rule = "(bad", .repl = "x", .need = true},
        {.rule = "a", .repl = "b"},
    });
    const Outcome outcome = Convert(broken, "a");
    EXPECT_FALSE(outcome.conversion.rewritten);
    EXPECT_TRUE(outcome.hits.empty());

    // Rows that multiply a URL a page asks for (each letter a hundred times,
    // twice over) would make one request cost gigabytes: a row whose URL
    // grows past any a server takes is a row that cannot be run.
    const auto growing = List({
        {.rule = "a", .repl = std::string(100, 'a'), .replAll = true, .need = true},
        {.rule = "a", .repl = std::string(100, 'a'), .replAll = true, .need = true},
    });
    const Outcome grown = Convert(growing, "http://x/" + std::string(1000, 'a'));
    EXPECT_FALSE(grown.conversion.rewritten);
    EXPECT_TRUE(grown.hits.empty());
}

TEST(UrlConverter, ChainPositionCountsListRowsNotMatchedRows) {
    // A(Need) matches; B(Need) does not; D(plain) would match. Whether D
    // runs depends on the row at the chain position: with A first, the
    // position moves on and the chain stays open; with an unrelated plain
    // row first, the position stays at 0 and B's miss closes the chain.
    const Row a{.rule = "one", .repl = "two", .need = true};
    const Row b{.rule = "never", .repl = "", .need = true};
    const Row d{.rule = "two", .repl = "three"};
    const Row x{.rule = "never", .repl = ""};

    const Outcome open = Convert(List({a, b, d}), "one");
    EXPECT_EQ(open.conversion.url, "three");
    EXPECT_EQ(open.hits, (Hits{{0, 1}, {2, 1}}));

    const Outcome closed = Convert(List({x, a, b, d}), "one");
    EXPECT_TRUE(closed.conversion.rewritten);
    EXPECT_EQ(closed.conversion.url, "two");
    EXPECT_EQ(closed.hits, (Hits{{1, 1}}));
}

TEST(PatternSimulator, ShowsEveryGroupOfTheFirstMatch) {
    PatternSimulator simulator;
    EXPECT_EQ(simulator.Apply("(b+)", "abbc"), "0(2): bb\r\n1(2): bb");
    // A group not taking part shows offset 0 and no text; none after the last that did.
    EXPECT_EQ(simulator.Apply("(x)?(c)(d)?", "abc"), "0(3): c\r\n1(0): \r\n2(3): c");
    // Caseless and multi-line: ^ finds the start of the second line.
    EXPECT_EQ(simulator.Apply("^B", "a\r\nbc"), "0(4): b");
    EXPECT_EQ(simulator.Apply("zzz", "abc"), "");
    // A pattern still being typed gives no output and no exception, and the
    // next good pattern works again.
    EXPECT_EQ(simulator.Apply("(b+", "abbc"), "");
    EXPECT_EQ(simulator.Apply("", "abbc"), "");
    EXPECT_EQ(simulator.Apply("c", "abbc"), "0(4): c");
}

// The user's own text may be long (a page pasted in): a repeated group is
// searched past the 8 KB a request line is, and a search that would hold the
// window for minutes gives up in its time and says so.
TEST(PatternSimulator, ALongTextIsSearchedWholeAndARunawaySearchGivesUpAndSaysSo) {
    PatternSimulator simulator(std::chrono::milliseconds(100));
    std::string words;
    while (words.size() < 20000) {
        words += "word ";
    }
    EXPECT_TRUE(simulator.Apply("^(\\w+ ?)+$", words).starts_with("0(1): word word"))
        << words.size();
    const std::string said = simulator.Apply(".*\\w.*;", std::string(700000, 'a'));
    EXPECT_TRUE(said.starts_with(cp1251::FromUtf8("Поиск прерван"))) << said;
}

}  // namespace
}  // namespace vs
