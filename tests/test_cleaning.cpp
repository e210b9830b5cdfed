#include "cache/cleaning.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "cache/cache_entry.h"
#include "cache/cache_paths.h"
#include "shell/cleaning_run.h"
#include "support/child_process.h"
#include "support/wait.h"

namespace vs::cache {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono;

const Clock::TimePoint kNow = sys_days(2024y / 6 / 1) + hours(12);
const Clock::TimePoint kBefore = sys_days(2024y / 1 / 1) + hours(8);
const std::string kCannotDelete = "К сожалению моя компона не смогла удалить ";

// Sparse, so that megabyte sizes cost nothing; used recently, so that only
// the criterion under test can pick it.
void MakeFile(const fs::path& path, off_t size, Clock::TimePoint used = kNow) {
    fs::create_directories(path.parent_path());
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    ASSERT_GE(fd, 0) << path;
    ASSERT_EQ(::ftruncate(fd, size), 0);
    ::close(fd);
    ASSERT_TRUE(MarkUsed(path, used));
}

class CleaningTest : public ::testing::Test {
private:
    test::TempDir temp;

protected:
    fs::path cache = temp.Path() / "cache";
    CacheCleaner cleaner;
    CleaningOptions& options = cleaner.Options();

    void SetUp() override { fs::create_directories(cache); }
    std::optional<std::string> Step() { return cleaner.Step(cache, kNow); }
    int RunToEnd() {
        int steps = 0;
        for (; cleaner.Running() && steps < 100; ++steps) {
            EXPECT_EQ(Step(), std::nullopt);
        }
        return steps;
    }
};

TEST_F(CleaningTest, LimitsAreKilobytesReadAfreshByEachRun) {
    options.delHuge = true;
    options.delSmall = true;
    MakeFile(cache / "a/index.htm", 20'000);
    MakeFile(cache / "a/img/logo.gif", 479);
    MakeFile(cache / "b/at-limit", 1'024'000);
    MakeFile(cache / "b/deep/er/over", 1'024'001);
    MakeFile(cache / "c/ten-megabytes", 10'240'000);
    MakeFile(cache / "c/more", 10'240'001);
    MakeFile(cache / "d/page", 20'480);

    cleaner.Start();
    EXPECT_EQ(Step(), std::nullopt);
    EXPECT_FALSE(fs::exists(cache / "a"));
    EXPECT_EQ(cleaner.Label(), (cache / "a").string());
    EXPECT_EQ(RunToEnd(), 4);
    EXPECT_TRUE(fs::exists(cache / "b/at-limit"));
    EXPECT_FALSE(fs::exists(cache / "b/deep/er/over"));
    EXPECT_FALSE(fs::exists(cache / "c/more"));
    EXPECT_TRUE(fs::exists(cache / "d/page"));

    // A limit that is no number runs with, and shows, its fallback; one too
    // large for the field is no limit; digits grouped by spaces are one
    // number.
    const auto runWith = [&](std::string limit) {
        MakeFile(cache / "c/more", 10'240'001);
        options.hugeSize = std::move(limit);
        cleaner.Start();
        RunToEnd();
        return options.hugeSize;
    };
    MakeFile(cache / "c/ten-megabytes", 10'240'000);
    EXPECT_EQ(runWith(""), "10000");
    EXPECT_TRUE(fs::exists(cache / "c/ten-megabytes"));
    EXPECT_FALSE(fs::exists(cache / "c/more"));
    EXPECT_EQ(runWith("99999999999"), "2147483647");
    EXPECT_TRUE(fs::exists(cache / "c/more"));
    EXPECT_EQ(runWith("10\u00A0000"), "10000");
    EXPECT_EQ(runWith("1 000"), "1000");
}

TEST_F(CleaningTest, HugeAndOldGoFirstSoTheSiteLeftCanBeSmall) {
    options.delHuge = true;
    options.delOld = true;
    options.oldBefore = kBefore;
    MakeFile(cache / "a/huge", 2'000'000);
    MakeFile(cache / "a/sub/old", 30'000, kBefore - seconds(1));
    MakeFile(cache / "a/exactly", 30'000, kBefore);
    cleaner.Start();
    RunToEnd();
    EXPECT_FALSE(fs::exists(cache / "a/huge"));
    EXPECT_FALSE(fs::exists(cache / "a/sub/old"));
    EXPECT_TRUE(fs::exists(cache / "a/exactly"));

    options.delSmall = true;
    MakeFile(cache / "a/huge", 2'000'000);
    MakeFile(cache / "b/huge", 2'000'000);
    MakeFile(cache / "b/old", 30'000, kBefore - hours(1));
    MakeFile(cache / "b/rest", 100);
    cleaner.Start();
    EXPECT_EQ(Step(), std::nullopt);
    EXPECT_TRUE(fs::exists(cache / "a/exactly"));
    EXPECT_EQ(Step(), std::nullopt);
    EXPECT_FALSE(fs::exists(cache / "b"));

    // A use dated by a clock that ran years ahead tells no age: the entry
    // ages from the run, and goes with what was used before it.
    MakeFile(cache / "a/ahead", 30'000, kNow + years(5));
    cleaner.Start();
    RunToEnd();
    EXPECT_EQ(EntryLastUse(cache / "a/ahead", kBefore), kNow);
    options.oldBefore = kNow + seconds(1);
    cleaner.Start();
    RunToEnd();
    EXPECT_FALSE(fs::exists(cache / "a/ahead"));
}

// A site of tens of thousands of files takes seconds: the label follows the
// files as they go, and never names the last site's file meanwhile.
TEST_F(CleaningTest, TheLabelNamesEachFileAsItGoesAndNoEarlierSitesFile) {
    options.delHuge = true;
    MakeFile(cache / "a/one", 2'000'000);
    MakeFile(cache / "a/two", 2'000'000);
    MakeFile(cache / "b/page", 10);
    std::vector<std::string> shown;
    cleaner.OnLabel([&](const std::string& label) { shown.push_back(label); });
    cleaner.Start();
    EXPECT_EQ(Step(), std::nullopt);
    EXPECT_EQ(shown, (std::vector<std::string>{"", (cache / "a/one").string(),
                                               (cache / "a/two").string()}));
    EXPECT_EQ(Step(), std::nullopt);
    EXPECT_EQ(cleaner.Label(), "");
}

// vellostored's keys: "almost never" as a number of days too large for the
// clock must keep every file, not wrap round into the future and take all.
TEST(CleaningKeys, DaysCountBackFromNowAndAnyNumberOfThemKeepsAFreshFile) {
    Settings settings;
    EXPECT_EQ(CleaningOptionsOf(settings, kNow), std::nullopt);
    settings.cleanOlderThanDays = 30;
    EXPECT_EQ(CleaningOptionsOf(settings, kNow)->oldBefore, kNow - days(30));
    for (const int many : {200'000, 2'000'000'000}) {
        settings.cleanOlderThanDays = many;
        EXPECT_LT(CleaningOptionsOf(settings, kNow)->oldBefore, sys_days(1900y / 1 / 1)) << many;
    }
}

// What the user running the proxy may not read: a folder is no empty one
// (a site holding a megabyte there is no small site), and a file of the
// user's own goes as the user's rm would take it. Root reads everything, so
// the walk runs in a child as nobody.
TEST_F(CleaningTest, WhatTheUserMayNotReadIsNeitherTakenForEmptyNorKeptForGood) {
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        constexpr uid_t kNobody = 65534;
        if (::geteuid() == 0 && (::chown(cache.parent_path().c_str(), kNobody, kNobody) != 0 ||
                                 ::chown(cache.c_str(), kNobody, kNobody) != 0 ||
                                 ::setgid(kNobody) != 0 || ::setuid(kNobody) != 0)) {
            ::_exit(10);
        }
        MakeFile(cache / "a/page", 100);
        MakeFile(cache / "a/locked/big", 1'000'000);
        MakeFile(cache / "b/huge", 2'000'000);
        ::chmod((cache / "a/locked").c_str(), 0);
        ::chmod((cache / "b/huge").c_str(), 0);
        options.delSmall = true;
        options.delHuge = true;
        cleaner.Start();
        const auto told = Step();
        const bool siteKept = fs::exists(cache / "a/page");
        Step();
        const bool hugeGone = !fs::exists(cache / "b/huge");
        ::chmod((cache / "a/locked").c_str(), 0700);
        ::_exit(!told || !told->starts_with("Не удалось прочесть папку ") ? 1
                : !siteKept                                               ? 2
                : !hugeGone                                               ? 3
                                                                          : 0);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    // 1: no word of the unreadable folder; 2: its site deleted as small;
    // 3: the unreadable huge file kept.
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

TEST_F(CleaningTest, EmptyFoldersGoOnlyWithTheSmallCriterion) {
    MakeFile(cache / "site/page", 5000);
    fs::create_directories(cache / "site/empty/nested");
    MakeFile(cache / "site/zero-files/sub/b", 0);
    MakeFile(cache / "site/kept/c", 1);
    options.delEmpty = true;
    cleaner.Start();
    RunToEnd();
    EXPECT_TRUE(fs::exists(cache / "site/empty/nested"));
    EXPECT_TRUE(fs::exists(cache / "site/zero-files/sub/b"));

    // With a limit of 0 no site is small, so only the empty folders go.
    options.delSmall = true;
    options.smallSize = "0";
    auto writer = BeginEntry(CacheDir(cache), cache / "site/writing/entry");
    ASSERT_TRUE(writer);
    cleaner.Start();
    RunToEnd();
    EXPECT_FALSE(fs::exists(cache / "site/empty"));
    EXPECT_FALSE(fs::exists(cache / "site/zero-files"));
    EXPECT_TRUE(fs::exists(cache / "site/kept/c"));
    EXPECT_TRUE(fs::exists(cache / "site/page"));
    // Still empty, but an entry is on its way there.
    EXPECT_TRUE(writer->Finish("", "", kNow, false, kNow));
    EXPECT_TRUE(EntryExists(cache / "site/writing/entry"));
}

TEST_F(CleaningTest, EntriesInUseSurviveEveryCriterion) {
    MakeFile(cache / "busy/z-read", 5000, kBefore - hours(1));
    auto reader = OpenEntry(cache / "busy/z-read");
    auto writer = BeginEntry(CacheDir(cache), cache / "busy/sub/written");
    ASSERT_TRUE(reader && writer && writer->Append(std::string(5000, 'w')));
    fs::path temporary;
    for (const auto& item : fs::directory_iterator(cache / "busy/sub")) {
        temporary = item.path();
    }
    ASSERT_TRUE(temporary.filename().native().starts_with(kTemporaryPrefix));
    ASSERT_TRUE(MarkUsed(temporary, kBefore - hours(1)));
    MakeFile(cache / "busy/done", 10);
    MakeFile(cache / "next/page", 10);

    // A site whose download is still arriving is not small: neither its
    // finished entries go nor is a message shown naming the one written.
    options = {true, kBefore, true, "1", true, true, "100"};
    cleaner.Start();
    EXPECT_EQ(Step(), std::nullopt);
    EXPECT_TRUE(fs::exists(cache / "busy/z-read"));
    EXPECT_TRUE(fs::exists(cache / "busy/done"));
    EXPECT_TRUE(fs::exists(temporary));
    EXPECT_EQ(Step(), std::nullopt);
    EXPECT_FALSE(fs::exists(cache / "next"));

    // The first file that cannot go ends the walk, also from a sub-folder.
    EXPECT_EQ(cleaner.DeleteDirTree(cache / "busy"), kCannotDelete + temporary.string());
    EXPECT_TRUE(writer->Finish("", "", kNow, false, kNow));
    writer.reset();
    EXPECT_EQ(cleaner.DeleteDirTree(cache / "busy"),
              kCannotDelete + (cache / "busy/z-read").string());
    EXPECT_FALSE(fs::exists(cache / "busy/sub"));
    EXPECT_TRUE(fs::exists(cache / "busy/z-read"));
    reader.reset();
    EXPECT_EQ(cleaner.DeleteDirTree(cache / "busy"), std::nullopt);
    EXPECT_FALSE(fs::exists(cache / "busy"));
}

TEST_F(CleaningTest, OneTopLevelEntryPerStepUntilStopped) {
    fs::remove(cache);
    options.delSmall = true;
    options.delHuge = true;
    options.hugeSize = "1";
    cleaner.Start();
    EXPECT_EQ(Step(), std::nullopt);
    EXPECT_TRUE(cleaner.Running());

    fs::create_directories(cache);
    EXPECT_EQ(RunToEnd(), 1);
    const fs::path outside = cache.parent_path() / "outside";
    MakeFile(outside / "huge", 5000);
    for (const char* site : {"a", "b", "c", "d"}) {
        MakeFile(cache / site / "page", 100);
    }
    // Files and links at the top belong to no site; links below lead nowhere.
    MakeFile(cache / ".top-file", 5000);
    fs::create_directory_symlink(outside, cache / "b/link");
    fs::create_directory_symlink(outside, cache / "linked");

    cleaner.Start();
    EXPECT_EQ(Step(), std::nullopt);
    EXPECT_TRUE(fs::exists(cache / "a"));
    EXPECT_EQ(Step(), std::nullopt);
    EXPECT_FALSE(fs::exists(cache / "a"));
    EXPECT_EQ(Step(), std::nullopt);
    EXPECT_FALSE(fs::exists(cache / "b"));
    cleaner.Stop();
    EXPECT_FALSE(cleaner.Running());
    EXPECT_EQ(cleaner.Label(), "");
    EXPECT_EQ(Step(), std::nullopt);
    EXPECT_TRUE(fs::exists(cache / "c"));

    MakeFile(cache / "a/page", 100);
    cleaner.Start();
    EXPECT_EQ(RunToEnd(), 6);
    EXPECT_FALSE(fs::exists(cache / "a"));
    EXPECT_FALSE(fs::exists(cache / "d"));
    EXPECT_TRUE(fs::exists(cache / ".top-file"));
    EXPECT_TRUE(fs::is_symlink(cache / "linked"));
    EXPECT_TRUE(fs::exists(outside / "huge"));
}

// The window's run: on a thread of its own, each failure shown once and
// the run going on past it; stopping returns at once and ends the run.
TEST_F(CleaningTest, ABackgroundRunGoesOnPastAFailureAndStopsWhenAsked) {
    MakeFile(cache / "a-busy/page", 10);
    auto reader = OpenEntry(cache / "a-busy/page");
    ASSERT_TRUE(reader);
    for (int site = 0; site < 20; ++site) {
        MakeFile(cache / ("site" + std::to_string(site)) / "page", 10);
    }
    options.delSmall = true;
    options.smallSize = "x";
    CleaningRun run;
    run.Start(cache, options, kNow);
    EXPECT_EQ(options.smallSize, "1");  // the number used, for the field
    ASSERT_TRUE(test::WaitUntil([&] { return !run.Running(); }));
    EXPECT_EQ(run.TakeFailure(), kCannotDelete + (cache / "a-busy/page").string());
    EXPECT_EQ(run.TakeFailure(), std::nullopt);
    EXPECT_TRUE(fs::exists(cache / "a-busy/page"));
    EXPECT_FALSE(fs::exists(cache / "site19"));
    EXPECT_EQ(run.Label(), "");

    // A cache folder not there yet: the run waits for it until stopped.
    run.Start(cache / "not-yet", options, kNow);
    EXPECT_TRUE(run.Running());
    run.Stop();
    EXPECT_TRUE(test::WaitUntil([&] { return !run.Running(); }));
}

}  // namespace
}  // namespace vs::cache
