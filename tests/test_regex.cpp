#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "base/cp1251.h"
#include "rules/regex.h"

namespace vs {
namespace {

using cp1251::FromUtf8;

std::string Replace(std::string_view pattern, std::string_view replacement, std::string subject,
                    bool all = false, unsigned options = 0) {
    ReplaceMatches(*Pattern::Compile(pattern, options), replacement, all, subject);
    return subject;
}

std::string Repeat(std::string_view unit, int times) {
    std::string s;
    for (int i = 0; i < times; ++i) {
        s += unit;
    }
    return s;
}

TEST(RegexMatch, EmptyStringIsNeverAMatch) {
    EXPECT_FALSE(Pattern::Compile("^")->Matches("abc"));
    EXPECT_FALSE(Pattern::Compile("x*")->Matches(""));
    // A pattern that may match empty still finds its first non-empty match.
    const auto m = Pattern::Compile("a*")->Find("baa");
    ASSERT_TRUE(m.has_value());
    EXPECT_EQ(m->Group(0), "aa");
    EXPECT_EQ(m->Offset(0), 1);
}

TEST(RegexMatch, CrLfEndsALineAndStaysOutOfCaptures) {
    const std::string request = "GET / HTTP/1.0\r\nUser-Agent: Foo\r\nHost: x\r\n\r\n";
    const auto header = Pattern::Compile("^User-Agent: (.+)$", kRegexCaseless | kRegexMultiline);
    EXPECT_EQ(header->FindGroup(request, 1), "Foo");
    // A CR alone ends a line too.
    EXPECT_EQ(header->FindGroup("A\rUser-Agent: Bar\rB", 1), "Bar");
    EXPECT_EQ(Pattern::Compile("^b", kRegexMultiline)->GroupOffset("a\r\nb", 0), 3);
}

TEST(RegexMatch, CyrillicFollowsTheCodePage) {
    EXPECT_FALSE(Pattern::Compile(FromUtf8("привет"))->Matches(FromUtf8("ПРИВЕТ")));
    const auto caseless = [](const char* pattern, const char* subject) {
        return Pattern::Compile(FromUtf8(pattern), kRegexCaseless)->Matches(FromUtf8(subject));
    };
    EXPECT_TRUE(caseless("привет", "ПРИВЕТ"));
    EXPECT_TRUE(caseless("ёж", "ЁЖ"));
    EXPECT_FALSE(caseless("ёж", "ЕЖ"));

    EXPECT_EQ(Pattern::Compile("\\w+")->FindGroup(FromUtf8("«Ёжик_2» ok"), 0), FromUtf8("Ёжик_2"));
    // NBSP is no space, and the guillemets are punctuation, not word.
    EXPECT_FALSE(Pattern::Compile("\\s")->Matches("a\xA0z"));
    EXPECT_EQ(Pattern::Compile("[[:punct:]]+")->FindGroup(FromUtf8("Ёж«»"), 0), FromUtf8("«»"));
}

// A long URL is no reason to give up: the compiled matcher's small stack
// runs out on ordinary patterns long before the engine's own limits do.
// Only a pattern that truly explodes stays undecided.
TEST(RegexMatch, LongSubjectsAreDecidedAndOnlyRunawayPatternsAreNot) {
    const std::string longUrl = "/search.html?" + Repeat("utm_source=feed&ref=abcdef", 120);
    for (const char* pattern : {"(.|\\n)*\\.swf$", "^(\\w|/|\\.|\\?|=|&)*\\.swf",
                                "([a-z]|[0-9]|/|\\.|\\?|=|&)+\\.gif$"}) {
        const auto compiled = Pattern::Compile(pattern);
        EXPECT_EQ(compiled->Decide(longUrl), Pattern::Outcome::NoMatch) << pattern;
        EXPECT_TRUE(compiled->Matches(longUrl + "/x.swf") || compiled->Matches(longUrl + "/x.gif"))
            << pattern;
    }
    // A runaway pattern gives up rather than spend seconds on a request.
    EXPECT_EQ(Pattern::Compile("(.*\\.)*ads\\.")->Decide("/ads/" + Repeat("a.", 40)),
              Pattern::Outcome::Undecided);
    EXPECT_EQ(Pattern::Compile("(.|\\n)*(.|\\n)*\\.swf$")->Decide(longUrl),
              Pattern::Outcome::Undecided);
    // Without the compiled matcher too, and within one budget for the whole
    // URL: the interpreter's limit counted anew at each of its letters.
    EXPECT_NE(Pattern::Compile("(*NO_JIT)a*a*a*[bc]")->Decide(Repeat("a", 5000)),
              Pattern::Outcome::Match);
    // Patterns that could decide no URL at all, which a black list would
    // refuse one and all: a recursion into itself, and UTF-8 checks of what
    // is code-page text.
    EXPECT_THROW(Pattern::Compile("((?1))"), RegexError);
    EXPECT_THROW(Pattern::Compile("(*UTF)zzzz"), RegexError);
}

TEST(RegexTemplate, References) {
    EXPECT_EQ(Replace("(a+)(b+)", "[$1|\\2|${2}0]", "xaabby"), "x[aa|bb|bb0]y");
    // Two digits only when the two-digit group exists.
    EXPECT_EQ(Replace("(a+)(b+)", "$12", "aabb"), "aa2");
    EXPECT_EQ(Replace("(a)(b)(c)(d)(e)(f)(g)(h)(i)(j)(k)(l)", "$12\\10$13", "abcdefghijkl"),
              "lja3");
    // Groups that do not exist or did not take part give nothing.
    EXPECT_EQ(Replace("(a+)(b+)", "[$3|${123456789}]", "aabb"), "[|]");
    EXPECT_EQ(Replace("(a)|(b)", "[$1|$2]", "b"), "[|b]");
    EXPECT_EQ(Replace("(?<first>a+)(?<Second_2>b+)", "${Second_2}\\g<first>\\G<first>", "aabb"),
              "bbaaaa");
    // An unknown name: ${..} stays as text, \g<..> disappears.
    EXPECT_EQ(Replace("(?<first>a+)", "[${nope}|\\g<nope>]", "aa"), "[${nope}|]");
    // Duplicate names: the one that took part.
    EXPECT_EQ(Replace("(?J)(?<n>x)|(?<n>a+)", "<${n}\\g<n>>", "aa"), "<aaaa>");
    EXPECT_EQ(Replace(FromUtf8("(?<имя>ё)"), FromUtf8("[${имя}|\\g<имя>]"), FromUtf8("ёж")),
              FromUtf8("[ё|ё]ж"));
}

TEST(RegexTemplate, EscapesAndLiteralLeftovers) {
    EXPECT_EQ(Replace("a", "\\\\|\\$|$$", "a"), "\\|$|$");
    // An escaped escape character starts no reference.
    EXPECT_EQ(Replace("a", "$$1|\\\\1", "a"), "$1|\\1");
    EXPECT_EQ(Replace("a", "\\n\\t$x|x\\", "a"), "\\n\\t$x|x\\");
    EXPECT_EQ(Replace("(?<f>a)", "\\g|\\g<1>|\\g<f|${|${}|${a-b}|${f", "a"),
              "\\g|\\g<1>|\\g<f|${|${}|${a-b}|${f");
}

TEST(RegexTemplate, CaseConversions) {
    const auto convert = [](const char* subject, const char* replacement) {
        return cp1251::ToUtf8(Replace("(\\S+) (\\S+)", replacement, FromUtf8(subject)));
    };
    EXPECT_EQ(convert("пРИВЕТ ёЖ", "\\U1 \\L2"), "ПРИВЕТ ёж");
    EXPECT_EQ(convert("пРИВЕТ ёЖ", "\\F1 \\f2"), "Привет Ёж");
    // Either apostrophe keeps a word going; a hyphen starts a new one.
    EXPECT_EQ(convert("o'NEIL d’ARTAGNAN-пАЛКИ", "\\I1 \\i2"), "O'neil D’artagnan-Палки");
    // The reference may also be written out in full.
    EXPECT_EQ(convert("ab cd", "\\U\\1\\U$2"), "ABCD");
    // No group number after the letter: copied as it is.
    EXPECT_EQ(convert("ab cd", "\\Ux\\L"), "\\Ux\\L");
}

TEST(RegexReplace, FirstOrEveryMatch) {
    EXPECT_EQ(Replace("o", "0", "foo boo"), "f0o boo");
    EXPECT_EQ(Replace("(\\w+)=(\\w+)", "$2=$1", "a=1&b=2", true), "1=a&2=b");
    EXPECT_EQ(Replace("^(\\w+):", "\\U1:", "ab: 1\r\ncd: 2", true, kRegexMultiline),
              "AB: 1\r\nCD: 2");
    // The search goes on from where it stopped, so "^" does not match again.
    EXPECT_EQ(Replace("^a", "X", "aaa", true), "Xaa");
    // Inserted text is never searched again, even where it would match.
    EXPECT_EQ(Replace("a", "aa", "aaa", true), "aaaaaa");
    EXPECT_EQ(Replace("b*", "X", "abbcbd", true), "aXcXd");
    EXPECT_EQ(Replace("a+?", "", Repeat("a", 5000), true), "");

    std::string subject = "no digits";
    EXPECT_FALSE(ReplaceMatches(*Pattern::Compile("\\d"), "#", true, subject));
    EXPECT_FALSE(ReplaceMatches(*Pattern::Compile("x*"), "#", true, subject));
    EXPECT_EQ(subject, "no digits");
}

// Threads sharing patterns get exactly what one thread alone gets: the match
// data is the thread's own and a replacement keeps no state.
TEST(PatternShared, EightThreadsAgreeWithOne) {
    const auto requestLine =
        Pattern::Compile("^(GET|HEAD) (\\S+) HTTP/(\\d\\.\\d)$", kRegexMultiline);
    const auto header =
        Pattern::Compile(FromUtf8("^x-имя: (\\w+)$"), kRegexCaseless | kRegexMultiline);
    const auto many = Pattern::Compile(Repeat("(\\w)", 40));  // more groups than usual
    auto run = [&](const std::string& s) {
        std::string replaced = s;
        ReplaceMatches(*header, "[$1|\\U1]", true, replaced);
        return std::string(requestLine->FindGroup(s, 2).value_or("-")) + '|' +
               std::string(many->FindGroup(s, 40).value_or("-")) + '|' +
               std::to_string(requestLine->GroupOffset(s, 3)) + '|' + replaced;
    };
    std::vector<std::string> subjects, expected;
    for (int i = 0; i < 50; ++i) {
        subjects.push_back((i % 3 == 0 ? "PUT /p" : "GET /p") + std::to_string(i) +
                           " HTTP/1.1\r\n" + FromUtf8("X-ИМЯ: Значение") + std::to_string(i) +
                           "\r\n" + Repeat("z", i) + "\r\n");
        expected.push_back(run(subjects.back()));
    }
    EXPECT_EQ(expected[1],
              "/p1|-|13|GET /p1 HTTP/1.1\r\n[" + FromUtf8("Значение1|ЗНАЧЕНИЕ1") + "]\r\nz\r\n");
    EXPECT_EQ(expected[45].substr(0, 6), "-|z|-1");

    std::atomic<int> wrong{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t) {
        threads.emplace_back([&, t] {
            for (int round = 0; round < 200; ++round) {
                for (std::size_t i = 0; i < subjects.size(); ++i) {
                    const std::size_t k = (i + static_cast<std::size_t>(t) * 7) % subjects.size();
                    if (run(subjects[k]) != expected[k]) {
                        ++wrong;
                    }
                }
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(wrong.load(), 0);
}

}  // namespace
}  // namespace vs
