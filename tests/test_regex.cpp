#include <gtest/gtest.h>

#define PCRE2_CODE_UNIT_WIDTH 8
#include <locale.h>
#include <pcre2.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <functional>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "base/cp1251.h"
#include "rules/find_rule.h"
#include "rules/pcre_tables.h"
#include "rules/regex.h"

namespace vs {
namespace {

using cp1251::FromUtf8;

std::string Extract(TMyRegEx& re, std::string_view subject, int index) {
    std::string out = "stale";
    re.ExtractGroup(std::nullopt, subject, out, index);
    return out;
}

std::string Replace(std::string_view pattern, std::string_view replacement, std::string subject,
                    bool all = false, unsigned options = 0) {
    TMyRegEx re;
    re.SetMatchOptions(options);
    re.ReplaceText(pattern, replacement, all, subject);
    return subject;
}

std::string Repeat(std::string_view unit, int times) {
    std::string s;
    for (int i = 0; i < times; ++i) {
        s += unit;
    }
    return s;
}

// --- character tables -------------------------------------------------------

TEST(RegexTables, AsciiHalfIsByteForByteTheEnginesOwnCLocaleTables) {
    locale_t c = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(0));
    ASSERT_NE(c, static_cast<locale_t>(0));
    const locale_t previous = uselocale(c);
    const uint8_t* reference = pcre2_maketables(nullptr);
    uselocale(previous);
    freelocale(c);
    ASSERT_NE(reference, nullptr);

    std::size_t length = 0;
    ASSERT_EQ(pcre2_config(PCRE2_CONFIG_TABLES_LENGTH, &length), 0);
    ASSERT_EQ(length, pcre::kTablesLength);

    // Strip the code page's upper half: what is left is what "C" knows.
    pcre::Tables ours = pcre::BuildCp1251Tables();
    for (int i = 128; i < 256; ++i) {
        ours[pcre::kLowerCaseOffset + i] = static_cast<unsigned char>(i);
        ours[pcre::kCaseFlipOffset + i] = static_cast<unsigned char>(i);
        ours[pcre::kCharTypesOffset + i] = 0;
    }
    for (std::size_t map = 0; map < 320; map += 32) {
        std::memset(ours.data() + pcre::kClassBitsOffset + map + 16, 0, 16);
    }
    for (std::size_t i = 0; i < length; ++i) {
        EXPECT_EQ(ours[i], reference[i]) << "byte " << i;
    }
    pcre2_maketables_free(nullptr, reference);
}

// --- matching ---------------------------------------------------------------

TEST(RegexMatch, EmptyStringIsNeverAMatch) {
    TMyRegEx re;
    re.SetPattern("^");
    EXPECT_FALSE(re.MatchText("abc"));
    re.SetPattern("x*");
    EXPECT_FALSE(re.MatchText(""));
    EXPECT_EQ(re.GroupCount(), -1);
    // A pattern that may match empty still finds its first non-empty match.
    re.SetPattern("a*");
    ASSERT_TRUE(re.MatchText("baa"));
    EXPECT_EQ(re.Group(0), "aa");
    EXPECT_EQ(re.GroupOffset(0), 2);

    EXPECT_FALSE(Pattern::Compile("^")->Matches("abc"));
    EXPECT_FALSE(Pattern::Compile("x*")->FindGroup("abc", 0).has_value());
}

// Both forms compile through one place, so one of them stands for both.
TEST(RegexMatch, HeaderCapturesStopBeforeTheCr) {
    const std::string request = "GET / HTTP/1.0\r\nUser-Agent: Foo\r\nHost: x\r\n\r\n";
    const auto shared = Pattern::Compile("^User-Agent: (.+)$", kRegexCaseless | kRegexMultiline);
    EXPECT_EQ(shared->FindGroup(request, 1), "Foo");
    // A CR alone ends a line too.
    EXPECT_EQ(shared->FindGroup("A\rUser-Agent: Bar\rB", 1), "Bar");
}

TEST(RegexMatch, CyrillicFollowsTheCodePage) {
    TMyRegEx re;
    re.SetPattern(FromUtf8("привет"));
    EXPECT_FALSE(re.MatchText(FromUtf8("ПРИВЕТ")));
    re.SetMatchOptions(kRegexCaseless);
    EXPECT_TRUE(re.MatchText(FromUtf8("ПРИВЕТ")));

    re.SetPattern(FromUtf8("ёж"));
    EXPECT_TRUE(re.MatchText(FromUtf8("ЁЖ")));
    EXPECT_FALSE(re.MatchText(FromUtf8("ЕЖ")));
    re.SetPattern(FromUtf8("[ґї]+"));
    EXPECT_EQ(Extract(re, FromUtf8("xҐЇy"), 0), FromUtf8("ҐЇ"));

    re.SetMatchOptions(0);
    re.SetPattern("\\w+");
    EXPECT_EQ(Extract(re, FromUtf8("«Ёжик_2» ok"), 0), FromUtf8("Ёжик_2"));
    re.SetPattern("[[:upper:]][[:lower:]]+");
    EXPECT_EQ(Extract(re, FromUtf8("abc Жёлтый"), 0), FromUtf8("Жёлтый"));
    // The classes of the upper half: NBSP prints but is neither space nor
    // graphic, guillemets are punctuation and no word, 0x98 is nothing.
    EXPECT_FALSE(Pattern::Compile("\\s")->Matches("a\xA0z"));
    EXPECT_FALSE(Pattern::Compile("[[:graph:]]")->Matches("\xA0\x98"));
    EXPECT_TRUE(Pattern::Compile("[[:print:]]")->Matches("\xA0"));
    EXPECT_EQ(Pattern::Compile("[[:punct:]]+")->FindGroup(FromUtf8("Ёж«»"), 0), FromUtf8("«»"));
    EXPECT_TRUE(Pattern::Compile(FromUtf8("^ая$"), kRegexCaseless)->Matches(FromUtf8("АЯ")));
}

TEST(RegexMatch, OptionBitsMapToTheirBehaviour) {
    struct Case {
        const char* pattern;
        unsigned options;
        const char* subject;
        const char* whole;  // nullptr: no match
    };
    // Each row but "extra" (only to be accepted) goes the other way without
    // its bit.
    const Case cases[] = {
        {"abc", kRegexCaseless, "xABC", "ABC"},
        {"^b", kRegexMultiline, "a\r\nb", "b"},  // a CR LF line end
        {"a.b", kRegexDotAll, "a\nb", "a\nb"},
        {"a b # comment", kRegexExtended, "ab", "ab"},
        {"b", kRegexAnchored, "ab", nullptr},
        {"a$", kRegexDollarEndOnly, "a\n", nullptr},
        {"a+", kRegexUngreedy, "aaa", "a"},
        {"abc", kRegexExtra, "abc", "abc"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.pattern) + " / " + std::to_string(c.options));
        TMyRegEx re;
        re.SetMatchOptions(c.options);
        re.SetPattern(c.pattern);
        EXPECT_EQ(re.MatchText(c.subject), c.whole != nullptr);
        if (c.whole != nullptr) {
            EXPECT_EQ(re.Group(0), c.whole);
        }
    }
}

TEST(RegexMatch, ChangingOptionsOrPatternTakesEffect) {
    TMyRegEx re;
    re.SetPattern("abc");
    EXPECT_FALSE(re.MatchText("ABC"));
    re.SetMatchOptions(kRegexCaseless);
    EXPECT_TRUE(re.Match());
    re.SetPattern("abd");
    EXPECT_FALSE(re.Match());
    // A new subject forgets the last match.
    re.SetSubject("zzz");
    EXPECT_EQ(re.GroupCount(), -1);
    EXPECT_EQ(re.Group(0), "");
}

TEST(RegexMatch, OffsetsAreOneBased) {
    TMyRegEx re;
    re.SetPattern("(b+)(c)(x)?");
    ASSERT_TRUE(re.MatchText("abbc"));
    EXPECT_EQ(re.GroupCount(), 2);  // the trailing group did not take part
    EXPECT_EQ(re.GroupOffset(1), 2);
    EXPECT_EQ(re.GroupLength(1), 2);
    EXPECT_EQ(re.GroupOffset(2), 4);
    EXPECT_EQ(re.GroupOffset(3), 0);
    EXPECT_EQ(re.GroupLength(3), 0);
    EXPECT_EQ(re.GroupOffset(-1), 0);

    EXPECT_EQ(re.GroupOffset("(c)", "xxbc", 1), 4);
    EXPECT_EQ(re.GroupOffset(std::nullopt, "zzz", 0), 0);

    const auto shared = Pattern::Compile("(b+)(c)(x)?");
    EXPECT_EQ(shared->GroupOffset("abbc", 1), 1);  // the shared form counts from 0
    EXPECT_EQ(shared->GroupOffset("abbc", 3), -1);
    EXPECT_EQ(shared->GroupOffset("zzz", 0), -1);
}

TEST(RegexMatch, ExtractGroupSetsWhatItIsGiven) {
    TMyRegEx re;
    std::string out = "stale";
    re.ExtractGroup("(\\d+)-(\\d+)", "tel 12-345", out, 2);
    EXPECT_EQ(out, "345");
    re.ExtractGroup(std::nullopt, "7-8", out, 1);
    EXPECT_EQ(out, "7");
    re.ExtractGroup("(\\w)(\\w)", std::nullopt, out, 2);  // keeps subject "7-8"
    EXPECT_EQ(out, "");                                   // no two adjacent word chars
    re.ExtractGroup("(a)|(b)", "b", out, 1);
    EXPECT_EQ(out, "");  // group 1 did not take part
    re.ExtractGroup(std::nullopt, std::nullopt, out, 2);
    EXPECT_EQ(out, "b");
}

TEST(RegexMatch, AtMostNinetyNineGroupsAreReported) {
    const std::string pattern = Repeat("(a)", 120);
    const std::string subject = Repeat("a", 120);
    TMyRegEx re;
    re.SetPattern(pattern);
    ASSERT_TRUE(re.MatchText(subject));
    EXPECT_EQ(re.GroupCount(), 99);
    EXPECT_EQ(re.Group(99), "a");
    EXPECT_EQ(re.GroupOffset(99), 99);
    EXPECT_EQ(re.Group(100), "");

    std::string text = subject;
    EXPECT_TRUE(re.ReplaceText(std::nullopt, "[$99|${100}|$10]", false, text));
    EXPECT_EQ(text, "[a||a]");
}

// --- errors -----------------------------------------------------------------

std::string MessageOf(const std::function<void()>& f) {
    try {
        f();
    } catch (const RegexError& e) {
        return e.what();
    }
    return "(no error)";
}

// The messages reach the log and the rule editors word for word.
TEST(RegexErrors, MessagesAndAMatcherLeftUsable) {
    const std::string prefix = "TPerlRegEx.Compile() - ";
    const std::string noPattern = prefix + "Please specify a regular expression in RegEx first";
    TMyRegEx re;
    EXPECT_EQ(MessageOf([&] { re.SetPattern(""); }), noPattern);
    EXPECT_EQ(MessageOf([&] { re.MatchText("abc"); }), noPattern);
    EXPECT_EQ(MessageOf([] { Pattern::Compile(""); }), noPattern);
    EXPECT_EQ(MessageOf([&] { re.SetPattern("a(b"); }),
              prefix + "Error in regex at offset 3: missing closing parenthesis");

    // A failed compile leaves nothing half-done behind, and the lock is
    // released on the way out: another thread can take the matcher.
    EXPECT_THROW(re.Match(), RegexError);
    std::string empty;
    EXPECT_THROW(re.ReplaceText("[", "", true, empty), RegexError);
    auto other = std::async(std::launch::async, [&re] {
        re.SetPattern("b");
        return re.MatchText("abc");
    });
    ASSERT_EQ(other.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    EXPECT_TRUE(other.get());
}

// --- replacement templates --------------------------------------------------

struct TemplateCase {
    const char* pattern;
    const char* subject;
    const char* replacement;
    const char* expected;
};

void ExpectExpansions(std::initializer_list<TemplateCase> cases) {
    for (const TemplateCase& c : cases) {
        SCOPED_TRACE(std::string(c.pattern) + " with \"" + c.replacement + "\"");
        EXPECT_EQ(Replace(c.pattern, c.replacement, c.subject), c.expected);
    }
}

TEST(RegexTemplate, NumberedReferences) {
    ExpectExpansions({
        {"(a+)(b+)", "xaabby", "[$1|\\2]", "x[aa|bb]y"},
        // Two digits only when the two-digit group exists.
        {"(a+)(b+)", "aabb", "$12", "aa2"},
        {"(a)(b)(c)(d)(e)(f)(g)(h)(i)(j)(k)(l)", "abcdefghijkl", "$12\\10$13", "lja3"},
        {"(a+)(b+)", "aabb", "${2}0${1}", "bb0aa"},
        // Groups that do not exist or did not take part give nothing.
        {"(a+)(b+)", "aabb", "[$3|${123456789}]", "[|]"},
        {"(a)|(b)", "b", "[$1|$2]", "[|b]"},
    });
}

TEST(RegexTemplate, NamedReferences) {
    ExpectExpansions({
        {"(?<first>a+)(?<Second_2>b+)", "aabb", "${Second_2}${first}", "bbaa"},
        {"(?<first>a+)(?<second>b+)", "aabb", "\\g<second>\\G<first>", "bbaa"},
        // An unknown name: ${..} stays as text, \g<..> disappears.
        {"(?<first>a+)", "aa", "[${nope}|\\g<nope>]", "[${nope}|]"},
        // Not references at all.
        {"(?<first>a+)", "aa", "\\g|\\g<1>|\\g<first|\\gfirst", "\\g|\\g<1>|\\g<first|\\gfirst"},
        {"(?<first>a+)", "aa", "${|${}|${a-b}|${first", "${|${}|${a-b}|${first"},
        // Duplicate names: the one that took part.
        {"(?J)(?<n>x)|(?<n>a+)", "aa", "<${n}\\g<n>>", "<aaaa>"},
    });
    // Names may be Cyrillic: the engine reads them through the same tables.
    EXPECT_EQ(Replace(FromUtf8("(?<имя>ё)"), FromUtf8("[${имя}|\\g<имя>]"), FromUtf8("ёж")),
              FromUtf8("[ё|ё]ж"));
}

TEST(RegexTemplate, EscapesAndLiteralLeftovers) {
    ExpectExpansions({
        {"a", "a", "\\\\|\\$|$$", "\\|$|$"},
        // An escaped escape character starts no reference.
        {"a", "a", "$$1|\\\\1", "$1|\\1"},
        {"a", "a", "\\n\\t$x|x\\", "\\n\\t$x|x\\"},
    });
}

TEST(RegexTemplate, CaseConversions) {
    const std::string pattern = "(\\S+) (\\S+)";
    struct Case {
        const char* subject;  // UTF-8
        const char* replacement;
        const char* expected;  // UTF-8
    };
    const Case cases[] = {
        {"пРИВЕТ ёЖ", "\\U1 \\U2", "ПРИВЕТ ЁЖ"},
        {"пРИВЕТ ёЖ", "\\L1 \\l2", "привет ёж"},
        {"пРИВЕТ ёЖ", "\\F1 \\f2", "Привет Ёж"},
        // Either apostrophe keeps a word going; a hyphen starts a new one.
        {"o'NEIL d’ARTAGNAN-пАЛКИ", "\\I1 \\i2", "O'neil D’artagnan-Палки"},
        // The reference may also be written out in full.
        {"ab cd", "\\U\\1\\U$2", "ABCD"},
        // No group number after the letter: copied as it is.
        {"ab cd", "\\Ux\\L", "\\Ux\\L"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.replacement);
        EXPECT_EQ(cp1251::ToUtf8(Replace(pattern, c.replacement, FromUtf8(c.subject))), c.expected);
    }
}

// --- replacing --------------------------------------------------------------

TEST(RegexReplace, FirstOrEveryMatch) {
    EXPECT_EQ(Replace("o", "0", "foo boo"), "f0o boo");
    EXPECT_EQ(Replace("o", "0", "foo boo", true), "f00 b00");
    EXPECT_EQ(Replace("(\\w+)=(\\w+)", "$2=$1", "a=1&b=2", true), "1=a&2=b");
    EXPECT_EQ(Replace("^(\\w+):", "\\U1:", "ab: 1\r\ncd: 2", true, kRegexMultiline),
              "AB: 1\r\nCD: 2");
    // The search goes on from where it stopped, so "^" does not match again.
    EXPECT_EQ(Replace("^a", "X", "aaa", true), "Xaa");

    TMyRegEx re;
    std::string subject = "no digits";
    EXPECT_FALSE(re.ReplaceText("\\d", "#", true, subject));
    EXPECT_EQ(subject, "no digits");
    // Without a pattern the one set before is used.
    subject = "a1b2";
    EXPECT_TRUE(re.ReplaceText(std::nullopt, "#", true, subject));
    EXPECT_EQ(subject, "a#b#");
    EXPECT_EQ(re.Subject(), "a#b#");
    EXPECT_EQ(re.GroupCount(), -1);
}

TEST(RegexReplace, ReplaceAllAlwaysMovesOn) {
    EXPECT_EQ(Replace("a", "aa", "aaa", true), "aaaaaa");
    EXPECT_EQ(Replace("b*", "X", "abbcbd", true), "aXcXd");
    // Inserted text is never searched again, even where it would match.
    EXPECT_EQ(Replace("ab", "a", "aabb", true), "aab");
    EXPECT_EQ(Replace("a", "", "banana", true), "bnn");

    TMyRegEx re;
    std::string subject = "abc";
    EXPECT_FALSE(re.ReplaceText("x*", "Y", true, subject));
    EXPECT_EQ(subject, "abc");

    const std::string big = Repeat("a", 20000);
    EXPECT_EQ(Replace("a", "aa", big, true).size(), 40000u);
    EXPECT_EQ(Replace("a+?", "", big, true), "");
}

TEST(RegexReplace, SharedMatcherKeepsEachCallWhole) {
    // The lock spans set-subject, match and read-out, so concurrent callers
    // never see each other's subject.
    auto re = std::make_shared<TMyRegEx>();
    re->SetPattern("id=(\\d+)");
    std::atomic<int> wrong{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 500; ++i) {
                const std::string id = std::to_string(t * 1000 + i);
                std::string out;
                re->ExtractGroup(std::nullopt, "x?id=" + id, out, 1);
                std::string subject = "id=" + id;
                re->ReplaceText(std::nullopt, "<$1>", false, subject);
                if (out != id || subject != "<" + id + ">") {
                    ++wrong;
                }
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(wrong.load(), 0);
}

// --- shared fixed patterns --------------------------------------------------

TEST(PatternShared, GroupsAndTheirAbsence) {
    const auto p =
        Pattern::Compile("^(GET|POST) (\\S+)(?: (HTTP/\\d\\.\\d))?(x)?\\r?$", kRegexMultiline);
    EXPECT_EQ(p->CaptureCount(), 4);
    const std::string line = "POST /a?b HTTP/1.1\r\n";
    EXPECT_EQ(p->FindGroup(line, 2), "/a?b");
    EXPECT_EQ(p->FindGroup(line, 3), "HTTP/1.1");
    // A group that did not take part is empty, not missing.
    const auto absent = p->FindGroup(line, 4);
    ASSERT_TRUE(absent.has_value());
    EXPECT_TRUE(absent->empty());
    EXPECT_FALSE(p->FindGroup(line, 5).has_value());
    EXPECT_FALSE(p->FindGroup("PUT / HTTP/1.1", 0).has_value());
    // The view points into the subject.
    const auto path = p->FindGroup(line, 2);
    EXPECT_EQ(path->data(), line.data() + 5);

    const auto m = p->Find("GET /x");
    ASSERT_TRUE(m.has_value());
    EXPECT_EQ(m->GroupCount(), 2);
    EXPECT_EQ(m->Group(1), "GET");
    EXPECT_EQ(m->Offset(2), 4);
    EXPECT_FALSE(m->Participated(3));

    const auto named = Pattern::Compile("(?<host>[^:]+):(?<port>\\d+)");
    EXPECT_EQ(named->GroupNumber("port"), 2);
    EXPECT_EQ(named->GroupNumber("nope"), -1);
}

// Each call brings its own match data, so threads sharing a pattern get
// exactly what one thread alone gets.
TEST(PatternShared, EightThreadsAgreeWithOne) {
    const auto requestLine =
        Pattern::Compile("^(GET|HEAD) (\\S+) HTTP/(\\d\\.\\d)$", kRegexMultiline);
    const auto header =
        Pattern::Compile(FromUtf8("^x-имя: (\\w+)$"), kRegexCaseless | kRegexMultiline);
    const auto many = Pattern::Compile(Repeat("(\\w)", 40));  // more groups than usual
    auto run = [&](const std::string& s) {
        return std::string(requestLine->FindGroup(s, 2).value_or("-")) + '|' +
               std::string(header->FindGroup(s, 1).value_or("-")) + '|' +
               std::string(many->FindGroup(s, 40).value_or("-")) + '|' +
               std::to_string(requestLine->GroupOffset(s, 3));
    };
    std::vector<std::string> subjects, expected;
    for (int i = 0; i < 50; ++i) {
        subjects.push_back((i % 3 == 0 ? "PUT /p" : "GET /p") + std::to_string(i) +
                           " HTTP/1.1\r\n" + FromUtf8("X-ИМЯ: Значение") + std::to_string(i) +
                           "\r\n" + Repeat("z", i) + "\r\n");
        expected.push_back(run(subjects.back()));
    }
    EXPECT_EQ(expected[1], "/p1|" + FromUtf8("Значение1") + "|-|13");
    EXPECT_EQ(expected[45], "-|" + FromUtf8("Значение45") + "|z|-1");

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

// A two-key combination needs both keys; no combination is held without one.
TEST(RuleKeys, CombinationsNeedEveryKey) {
    struct Saved {
        bool a = AltDown, c = CtrlDown, s = ShiftDown;
        ~Saved() {
            AltDown = a;
            CtrlDown = c;
            ShiftDown = s;
        }
    } saved;
    AltDown = CtrlDown = ShiftDown = true;
    EXPECT_FALSE(KeyComboHeld(-1) || KeyComboHeld(0) || KeyComboHeld(7));
    EXPECT_TRUE(KeyComboHeld(4) && KeyComboHeld(6));  // Ctrl+Alt, Alt+Shift
    AltDown = false;
    EXPECT_TRUE(KeyComboHeld(5));  // Ctrl+Shift
    EXPECT_FALSE(KeyComboHeld(1) || KeyComboHeld(4) || KeyComboHeld(6));
    ShiftDown = false;
    EXPECT_TRUE(KeyComboHeld(2));
    EXPECT_FALSE(KeyComboHeld(3) || KeyComboHeld(5));
}

}  // namespace
}  // namespace vs
