#include "rules/rule_list.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>

#include "base/cp1251.h"
#include "proxy/engine.h"
#include "shell/queue_consumer.h"
#include "support/files.h"
#include "support/text.h"

namespace vs {
namespace {

namespace fs = std::filesystem;
using test::ReadBytes;
using test::TempDir;
using test::Utf16;
using test::WriteBytes;

RuleCells Rule(std::string rule, bool enable = true, std::int64_t hits = 0) {
    RuleCells cells;
    cells.enable = enable;
    cells.rule = std::move(rule);
    cells.hits = hits;
    return cells;
}

std::vector<RuleCells> Rows(const RuleList& list) {
    std::vector<RuleCells> rows;
    for (std::size_t i = 0; i < list.Count(); ++i) {
        rows.push_back(list.Row(i));
    }
    return rows;
}

class RuleListFileTest : public ::testing::Test {
protected:
    bool LoadText(RuleList& list, std::u16string_view text) {
        WriteBytes(file_, Utf16(text));
        return list.Load(file_);
    }

    TempDir dir_;
    fs::path file_ = dir_.Path() / "black.lst";
};

TEST_F(RuleListFileTest, SaveThenLoadGivesTheSameRows) {
    RuleList converter(ListKind::UrlConverter);
    converter.Append(
        RuleCells{true, "^http://старый\\.рф/(.*)", "http://новый.рф/\\1", true, true, 5});
    converter.Append(RuleCells{true, "Ünïcode, \"quoted\"", "\"c\"", false, false, 0});
    converter.Append(Rule("", false, 0));
    converter.Save(file_);
    RuleList again(ListKind::UrlConverter);
    EXPECT_TRUE(again.Load(file_));
    EXPECT_EQ(Rows(again), Rows(converter));
}

TEST_F(RuleListFileTest, ShortAndEmptyLinesKeepDefaults) {
    RuleList list(ListKind::UrlConverter);
    ASSERT_TRUE(LoadText(list, u"\r\n5,True,abc\r\n1,True,x,y,True,True,4\r\n2,False,tail"));
    ASSERT_EQ(list.Count(), 4u);
    EXPECT_EQ(list.Row(0), RuleCells{});
    EXPECT_EQ(list.Row(1), Rule("abc"));
    EXPECT_EQ(list.Row(2), (RuleCells{true, "x", "y", true, true, 4}));
    // The last line has no line end; its last field still counts.
    EXPECT_EQ(list.Row(3), Rule("tail", false));
}

TEST_F(RuleListFileTest, ALineInErrorIsLeftOutAndTheRestRead) {
    RuleList list(ListKind::Black);
    list.Append(Rule("old"));
    // One field more than the list has columns.
    EXPECT_FALSE(LoadText(list, u"1,True,a,1\r\n2,True,b,2,extra\r\n3,True,c,3\r\n"));
    ASSERT_EQ(list.Count(), 2u);
    EXPECT_EQ(list.Row(0), Rule("a", true, 1));
    EXPECT_EQ(list.Row(1), Rule("c", true, 3));
    // A bare pattern is no row, nor is a comment with commas in it: saved as
    // read, each would be lost.
    EXPECT_FALSE(LoadText(list, u"1,True,a,1\r\n\r\nads\\.example\r\n# ads, trackers\r\n"));
    EXPECT_EQ(list.Count(), 2u);
    EXPECT_EQ(list.FileState().Gaps().linesLeftOut, 2u);
    EXPECT_FALSE(list.FileState().MayReplace(file_));
    EXPECT_EQ(list.FileState().Gaps().firstLeftOut, 3u);
}

TEST_F(RuleListFileTest, MissingAndUnreadableFilesLeaveTheListEmpty) {
    RuleList list(ListKind::Cache);
    list.Append(Rule("old"));
    EXPECT_TRUE(list.Load(dir_.Path() / "absent.lst"));
    EXPECT_EQ(list.Count(), 0u);

    list.Append(Rule("old"));
    EXPECT_FALSE(list.Load(dir_.Path()));  // a folder cannot be read as a file
    EXPECT_EQ(list.Count(), 0u);
    // Nor can a FIFO, whose read would wait for a writer that never comes.
    const auto fifo = dir_.Path() / "fifo.lst";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    EXPECT_FALSE(list.Load(fifo));
}

TEST(RuleRowBuild, BadPatternNeverMatchesAndKeepsItsError) {
    const RuleRow bad(Rule("(unclosed"));
    EXPECT_EQ(bad.CompiledPattern(), nullptr);
    EXPECT_NE(bad.Error().find("Error in regex at offset "), std::string::npos) << bad.Error();

    // Disabled rows are built all the same.
    const RuleRow off(Rule("abc", false, 9));
    ASSERT_NE(off.CompiledPattern(), nullptr);
    EXPECT_TRUE(off.Error().empty());
    EXPECT_EQ(off.Hits(), 9);

    // Rules are compiled in the 8-bit code page and are case-sensitive.
    const RuleRow cyrillic(Rule("сайт"));
    ASSERT_NE(cyrillic.CompiledPattern(), nullptr);
    EXPECT_TRUE(cyrillic.CompiledPattern()->Matches(cp1251::FromUtf8("http://сайт.рф/")));
    EXPECT_FALSE(cyrillic.CompiledPattern()->Matches(cp1251::FromUtf8("http://САЙТ.рф/")));
}

TEST(RuleFind, FirstEnabledRowWithAMatchingMatcherWins) {
    RuleList list(ListKind::Black);
    list.Append(Rule("example", false));  // would match, but off
    list.Append(Rule("nomatch"));
    list.Append(Rule("[broken"));  // no matcher
    list.Append(Rule(""));         // no matcher
    list.Append(Rule("exam"));
    list.Append(Rule("example"));
    EXPECT_EQ(FindRule(*list.Snapshot(), "http://example.com/"), 4);
    list.Update(4, Rule("exam", false));
    EXPECT_EQ(FindRule(*list.Snapshot(), "http://example.com/"), 5);
    list.Update(0, Rule("example"));
    EXPECT_EQ(FindRule(*list.Snapshot(), "http://example.com/"), 0);
    EXPECT_EQ(FindRule(*list.Snapshot(), "http://other.org/"), -1);
    EXPECT_EQ(FindRule(RuleListSnapshot{}, "anything"), -1);
}

TEST(RuleListEdit, SnapshotsTakenBeforeAnEditStayAsTheyWere) {
    RuleList list(ListKind::Cache);
    list.Append(Rule("first"));
    list.Append(Rule("second"));
    const auto before = list.Snapshot();

    list.Update(0, Rule("changed"));
    list.Delete(1);
    list.Insert(0, Rule("inserted"));
    ASSERT_EQ(list.Count(), 2u);
    EXPECT_EQ(list.Row(0).rule, "inserted");
    EXPECT_EQ(list.Row(1).rule, "changed");

    list.Clear();
    ASSERT_EQ(before->rows.size(), 2u);
    EXPECT_EQ(before->rows[0]->Cells().rule, "first");
    EXPECT_EQ(FindRule(*before, "a second look"), 1);
}

// Hits reach the lists through the monitor queue, applied by its consumer
// while the user may be editing the list.
TEST_F(RuleListFileTest, EveryHitCountsOnceOnItsOwnRowThroughEdits) {
    Snapshot<proxy::ProxyConfig> config;
    config.Publish(std::make_shared<proxy::ProxyConfig>());
    proxy::RuleLists lists;
    RuleList& list = lists.black;
    list.Append(Rule("a", true, 5));
    list.Append(Rule("b"));
    proxy::Engine engine(config, lists);
    MonitorModel monitor;
    QueueConsumer consumer(engine.Queue(), monitor, lists, nullptr);
    const auto hit = [&](std::string_view url) { return engine.FindRuleCountingHit(list, url); };

    // Two requests on one row between two drains: two hits.
    EXPECT_EQ(hit("a"), 0);
    EXPECT_EQ(hit("a"), 0);
    consumer.Drain();
    EXPECT_EQ(list.Row(0).hits, 7);

    // Hits queued, then rows inserted above, edited and deleted before the
    // drain: each hit lands on the row that matched, wherever it now is.
    EXPECT_EQ(hit("a"), 0);
    EXPECT_EQ(hit("b"), 1);
    list.Insert(0, Rule("new"));
    list.Update(1, Rule("a|z", true, 0));  // an edit keeps the row's count
    list.Delete(2);
    list.Append(Rule("c"));
    consumer.Drain();
    EXPECT_EQ(list.Row(0).hits, 0);
    EXPECT_EQ(list.Row(1).hits, 8);
    EXPECT_EQ(list.Row(2).hits, 0);

    list.Save(file_);
    EXPECT_EQ(ReadBytes(file_), Utf16(u"1,True,new,0\r\n2,True,a|z,8\r\n3,True,c,0\r\n"));
    list.ResetHits();
    EXPECT_EQ(list.Row(1).hits, 0);
}

}  // namespace
}  // namespace vs
