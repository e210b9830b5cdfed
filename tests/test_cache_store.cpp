#include "cache/cache_store.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "base/cp1251.h"
#include "support/child_process.h"

namespace vs::cache {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono;
using test::FilesUnder;
using test::ReadBytes;
using test::TempDir;
using test::WriteBytes;

const Clock::TimePoint kT0 = sys_days(2023y / 3 / 14) + hours(9) + milliseconds(250);

bool Store(const CacheDir& dir, const fs::path& entry, std::string_view body,
           std::string_view type = "", std::string_view encoding = "",
           std::optional<Clock::TimePoint> origin = {},
           EntryMetadata metadata = EntryMetadata::kExtendedAttributes) {
    auto writer = BeginEntry(dir, entry, {}, metadata);
    return writer && writer->Append(body) &&
           writer->Finish(type, encoding, origin.value_or(kT0), origin.has_value(), kT0);
}

TEST(CachePaths, KeysAndTheirMapping) {
    EXPECT_EQ(CacheKey("HTTP://Host.COM/Dir/"), "http://host.com/dir/index.htm");
    EXPECT_EQ(CacheKey(cp1251::FromUtf8("http://h/ПАПКА/")),
              cp1251::FromUtf8("http://h/папка/index.htm"));
    // Without a path a URL asks for the site's root, never for a file that
    // would take the site's folder's place.
    EXPECT_EQ(CacheKey("http://Host:81"), "http://host:81/index.htm");
    EXPECT_EQ(CacheKey("http://host?q=/a"), "http://host/?q=/a");
    // "." segments name the same file (apt's flat repositories ask for
    // "./Release"); ".." is left for the mapping to refuse.
    EXPECT_EQ(CacheKey("http://h/apt/./Release"), "http://h/apt/release");
    EXPECT_EQ(EntryIdentity("http://h/Apt/././x/."), "http://h/Apt/x/index.htm");
    EXPECT_EQ(CacheKey("http://h/a/./../b?c=/./x"), "http://h/a/../b?c=/./x");

    EXPECT_EQ(URLToCachePath("http://host:8080/img/a.gif"), "host!8080/img/a.gif");
    EXPECT_EQ(URLToCachePath("http://www.host/index.htm"), "host/index.htm");
    EXPECT_EQ(URLToCachePath("http://host/find?q=a/b"), "host/find^/q=a/b");
    EXPECT_EQ(URLToCachePath("http://host/www.x/index.htm"), "host/x/index.htm");
    EXPECT_EQ(URLToCachePath("http://www.h/www.x/http://y?b?c"), "h/www.x/http!//y^/b^/c");
}

TEST(CachePaths, EntryPathStaysInsideTheCache) {
    const CacheDir dir("/var/cache/vs");
    EXPECT_EQ(EntryPath(dir, "http://h:81/a..b/c"), fs::path("/var/cache/vs/h!81/a..b/c"));
    EXPECT_EQ(EntryPath(dir, "http://h/..a/.vs-tmp/b..."), "/var/cache/vs/h/..a/.vs-tmp/b...");
    EXPECT_EQ(EntryPath(dir, cp1251::FromUtf8("http://h/файл")), "/var/cache/vs/h/файл");

    for (const char* refused : {
             "http://h/../../x",
             "http://h/./a",
             "http://h/a/..",
             "http://h/.www../x",     // the mapping itself makes the ".."
             "/etc/passwd",           // absolute once mapped
             "http://h/find?",        // names a folder
             "http://h:81",           // a file where the site's folder goes
             "http://h/.vs-tmp-1-2",  // could be a writer's temporary file
             "",
         }) {
        EXPECT_FALSE(EntryPath(dir, refused).has_value()) << refused;
    }
    EXPECT_FALSE(EntryPath(dir, std::string("http://h/a\0b", 12)).has_value());
}

TEST(CachePaths, CacheDirFromTheSetting) {
    TempDir temp;
    const fs::path data = temp.Path();
    CacheDir dir;
    EXPECT_EQ(CacheDirPrepare("", data, dir), "Cache");
    EXPECT_EQ(dir.Root(), data / "Cache/");
    EXPECT_TRUE(fs::is_directory(data / "Cache"));
    EXPECT_EQ(CacheDirPrepare("\\Other\\", data, dir), "\\Other");
    EXPECT_EQ(dir.Root(), data / "Other/");
    EXPECT_EQ(CacheDirPrepare("\\Other\\Sub\\", data, dir), "\\Other\\Sub");
    EXPECT_TRUE(fs::is_directory(data / "Other/Sub"));
    // A Windows drive, from a settings file moved here: kept for the Windows
    // program, and no folder of that name is made wherever this one runs.
    EXPECT_EQ(CacheDirPrepare("D:\\cache\\", data, dir), "D:\\cache");
    EXPECT_EQ(dir.Root(), data / "Cache/");
    EXPECT_FALSE(fs::exists("D:\\cache"));

    const std::string absolute = (data / "abs").string();
    EXPECT_EQ(CacheDirPrepare(absolute + "/", "/elsewhere", dir), absolute);
    EXPECT_EQ(dir.Root(), absolute + "/");
}

class CacheEntry : public ::testing::Test {
protected:
    TempDir temp;
    const CacheDir dir{temp.Path()};
};

TEST_F(CacheEntry, BodiesAndTrailersRoundTrip) {
    REQUIRE_XATTRS(temp.Path());
    // Ends in bytes that would pass for a trailer if one were assumed.
    const std::string body = std::string("0123456789\0gzip\x04\x01", 16);
    struct Case {
        std::string type, encoding, tail, readType, readEncoding;
    };
    const std::vector<Case> cases = {
        {"text/plain", "", "", "text/plain", ""},
        {"", "gzip", "gzip\x04\x01", "", "gzip"},
        {"text/html", "gzip", "text/html\x09gzip\x04\x02", "text/html", "gzip"},
        // 300 mod 256 = 44: the length byte and the bytes written agree, and
        // the whole type is read back from beside the file (cut, a quoted
        // parameter stays open; a type of 256 would read as none).
        {std::string(300, 't'), "br", std::string(44, 't') + ",br\x02\x02", std::string(300, 't'),
         "br"},
        {std::string(256, 't'), "br", std::string("\0br\x02\x02", 5), std::string(256, 't'), "br"},
    };
    for (std::size_t i = 0; i < cases.size(); ++i) {
        const Case& c = cases[i];
        const fs::path entry = temp.Path() / ("h/e" + std::to_string(i));
        ASSERT_TRUE(Store(dir, entry, body, c.type, c.encoding));
        EXPECT_EQ(ReadBytes(entry), body + c.tail);
        EXPECT_EQ(EntryHasTrailer(entry), !c.encoding.empty());
        const auto reader = OpenEntry(entry);
        ASSERT_TRUE(reader);
        EXPECT_EQ(reader->BodySize(), 16);
        EXPECT_EQ(reader->ContentType(), c.readType);
        EXPECT_EQ(reader->ContentEncoding(), c.readEncoding);
        EXPECT_EQ(reader->Head(1000), body);
        EXPECT_EQ(reader->ReadBody(4), "0123");
        std::string rest;
        char step[7];  // small reads: the end of the body must hold across them
        while (const std::size_t n = reader->ReadSome(step, sizeof step)) {
            rest.append(step, n);
        }
        EXPECT_EQ(rest, body.substr(4));
    }
}

TEST_F(CacheEntry, LegacyAndDamagedTrailers) {
    REQUIRE_XATTRS(temp.Path());
    const auto flagged = [&](const std::string& name, std::string_view bytes) {
        const fs::path entry = temp.Path() / name;
        WriteBytes(entry, bytes);
        const std::string size = std::to_string(bytes.size());
        EXPECT_EQ(::setxattr(entry.c_str(), "user.vellostore.trailer", "1", 1, 0), 0);
        EXPECT_EQ(::setxattr(entry.c_str(), "user.vellostore.size", size.data(), size.size(), 0),
                  0);
        return OpenEntry(entry);
    };
    const auto legacy = flagged("legacy", "BODY\1\2deflate\7");
    ASSERT_TRUE(legacy);
    EXPECT_EQ(legacy->BodySize(), 6);
    EXPECT_EQ(legacy->ContentEncoding(), "deflate");
    EXPECT_EQ(legacy->ReadBody(100), "BODY\1\2");

    const auto exact = flagged("exact", "t\1e\1\2");
    ASSERT_TRUE(exact);
    EXPECT_EQ(exact->BodySize(), 0);
    EXPECT_EQ(exact->ContentType(), "t");
    // Lengths reaching before the start of the file, or a count of 0.
    EXPECT_FALSE(flagged("short1", "ab\x01"));
    EXPECT_FALSE(flagged("short2", "gzip\x04\x02"));
    EXPECT_FALSE(flagged("zero", std::string("abc\0", 4)));
    EXPECT_FALSE(flagged("nothing", ""));

    // Nothing vouches for the length of an entry of ours whose size went, nor
    // of an empty file from elsewhere: what a copy that ran out of room
    // leaves is no answer.
    ASSERT_EQ(::removexattr((temp.Path() / "legacy").c_str(), "user.vellostore.size"), 0);
    EXPECT_FALSE(OpenEntry(temp.Path() / "legacy"));
    WriteBytes(temp.Path() / "empty", "");
    EXPECT_FALSE(OpenEntry(temp.Path() / "empty"));
    WriteBytes(temp.Path() / "copied", "body");
    EXPECT_TRUE(OpenEntry(temp.Path() / "copied"));
}

TEST_F(CacheEntry, OddSecondOriginDatesAndTimes) {
    REQUIRE_XATTRS(temp.Path());
    const fs::path entry = temp.Path() / "h/page.htm";
    const std::string lastModified = "Sun, 06 Nov 1994 08:49:37 GMT";
    ASSERT_TRUE(Store(dir, entry, "<html>", "", "", ParseHTTPDate(lastModified, kT0)));
    const Clock::TimePoint later = kT0 + hours(5);
    EXPECT_EQ(EntryLastUse(entry, later), kT0);
    const auto reader = OpenEntry(entry);
    ASSERT_TRUE(reader);
    EXPECT_EQ(FormatHTTPDate(reader->OriginDate()), lastModified);
    EXPECT_EQ(reader->CompletionTime(), kT0);

    const fs::path undated = temp.Path() / "h/undated";
    ASSERT_TRUE(Store(dir, undated, "x"));
    EXPECT_EQ(EntryOriginDate(undated, later), floor<seconds>(kT0));
    ASSERT_EQ(::setxattr(undated.c_str(), "user.vellostore.origin", "99999999999", 11, 0), 0);
    EXPECT_EQ(EntryOriginDate(undated, later), Clock::TimePoint::max());

    for (const fs::path& absent : {temp.Path() / "h/none", temp.Path() / "h"}) {
        EXPECT_EQ(EntryLastUse(absent, later), later);
        EXPECT_FALSE(EntryExists(absent));
        EXPECT_EQ(GetFileSize64(absent), -1);
        EXPECT_FALSE(OpenEntry(absent));
        EXPECT_FALSE(DeleteEntry(absent));
    }
}

TEST_F(CacheEntry, MarkUsedOwnsTheAccessTime) {
    const fs::path entry = temp.Path() / "h/img.gif";
    ASSERT_TRUE(Store(dir, entry, std::string(1000, 'g')));
    // Over a day old: a relatime mount would move it on the next read.
    const Clock::TimePoint used = kT0 + hours(30);
    ASSERT_TRUE(MarkUsed(entry, used));
    EXPECT_EQ(EntryLastUse(entry, kT0), used);
    {
        const auto reader = OpenEntry(entry);
        ASSERT_TRUE(reader);
        EXPECT_EQ(reader->ReadBody(5000).size(), 1000u);
        EXPECT_EQ(EntryLastUse(entry, kT0), used);
        ASSERT_TRUE(reader->MarkUsed(used + minutes(1)));
        EXPECT_EQ(EntryLastUse(entry, kT0), used + minutes(1));
    }
    EXPECT_EQ(EntryCompletionTime(entry, kT0), kT0);
}

TEST_F(CacheEntry, UnfinishedOrReplacedWrites) {
    const fs::path entry = temp.Path() / "h/page";
    ASSERT_TRUE(Store(dir, entry, "old version"));
    {
        auto writer = BeginEntry(dir, entry);
        ASSERT_TRUE(writer);
        EXPECT_EQ(FilesUnder(temp.Path()).size(), 2u);  // the old copy and the temporary file
        writer->Append("cut short");
    }
    // An answer cut short leaves the old copy as it was, to be served offline.
    EXPECT_EQ(FilesUnder(temp.Path()), std::vector<std::string>{"h/page"});
    EXPECT_EQ(ReadBytes(entry), "old version");

    auto writer = BeginEntry(dir, entry);
    writer->Discard();
    EXPECT_FALSE(writer->Append("y"));
    EXPECT_FALSE(writer->Finish("", "", {}, false, kT0));
    EXPECT_TRUE(Store(dir, entry, "new"));
    EXPECT_EQ(FilesUnder(temp.Path()), std::vector<std::string>{"h/page"});
    EXPECT_EQ(ReadBytes(entry), "new");

    ASSERT_TRUE(Store(dir, temp.Path() / "h/a/b", "deep"));
    EXPECT_FALSE(BeginEntry(dir, temp.Path() / "h/a"));      // a folder has the name
    EXPECT_FALSE(BeginEntry(dir, temp.Path() / "h/a/b/c"));  // a file is in the way
    EXPECT_EQ(ReadBytes(temp.Path() / "h/a/b"), "deep");
    // An empty folder, left by a download of a longer URL that was given up,
    // does not keep the shorter URL out for good.
    ASSERT_TRUE(BeginEntry(dir, temp.Path() / "h/news/1"));
    EXPECT_TRUE(Store(dir, temp.Path() / "h/news", "index"));
    // A URL too long to store leaves no folders behind: one would stand
    // where the entry of a shorter URL belongs.
    const std::string segment(200, 's');
    fs::path tooLong = temp.Path() / "long";
    for (int i = 0; i < 21; ++i) {
        tooLong /= segment;
    }
    EXPECT_FALSE(BeginEntry(dir, tooLong));
    EXPECT_FALSE(BeginEntry(dir, temp.Path() / "long" / segment / std::string(256, 'n')));
    EXPECT_FALSE(fs::exists(temp.Path() / "long"));

    // The cache moved aside while an answer was being written: the answer's
    // temporary file goes with it rather than staying in the moved folder.
    auto moved = BeginEntry(dir, temp.Path() / "site/sub/page");
    ASSERT_TRUE(moved);
    fs::rename(temp.Path() / "site", temp.Path() / "site.old");
    moved->Discard();
    EXPECT_TRUE(FilesUnder(temp.Path() / "site.old").empty());
}

// A URL of a few kilobytes leaves its entry little room beside its key (ext4
// gives all of a file's attributes one block). A page served without a
// policy field its origin sent would be open to what the policy forbids: an
// entry whose fields do not all fit is not stored, and renewed fields that
// do not fit leave the earlier ones whole. The size check stays.
TEST_F(CacheEntry, ALongKeyKeepsAllItsFieldsOrNone) {
    REQUIRE_XATTRS(temp.Path());
    const fs::path entry = temp.Path() / "h/long";
    const std::string key = "http://h/" + std::string(3000, 'k');
    const std::string origin = "Access-Control-Allow-Origin: *\r\n";
    const std::string policy = "Content-Security-Policy: " + std::string(1500, 'c') + "\r\n";
    auto writer = BeginEntry(dir, entry, key);
    ASSERT_TRUE(writer);
    writer->SetKeptFields(origin + policy);
    ASSERT_TRUE(writer->Append("body"));
    EXPECT_FALSE(writer->Finish("", "", kT0, false, kT0));
    EXPECT_FALSE(OpenEntry(entry));

    writer = BeginEntry(dir, entry, key);
    ASSERT_TRUE(writer);
    writer->SetKeptFields(origin);
    ASSERT_TRUE(writer->Append("body") && writer->Finish("", "", kT0, false, kT0));
    auto reader = OpenEntry(entry);
    ASSERT_TRUE(reader);
    reader->KeepFields("Access-Control-Allow-Origin: https://a.example\r\n" + policy);
    EXPECT_EQ(reader->KeptFields(), origin);
    reader.reset();
    fs::resize_file(entry, 2);
    EXPECT_FALSE(OpenEntry(entry));

    // Nor does an entry go without its origin's date, tag or size where its
    // key left no room: it was asked about with the proxy's own date, and a
    // changed page was "not modified".
    const auto originDate = kT0 - std::chrono::hours(1);
    for (std::size_t length = 3900; length < 4100; length += 4) {
        writer = BeginEntry(dir, entry, "http://h/" + std::string(length, 'k'));
        ASSERT_TRUE(writer);
        writer->SetEntityTag("\"v1\"");
        ASSERT_TRUE(writer->Append("body"));
        if (writer->Finish("", "", originDate, true, kT0)) {
            reader = OpenEntry(entry);
            ASSERT_TRUE(reader) << length;
            EXPECT_EQ(reader->OriginDate(), std::chrono::floor<std::chrono::seconds>(originDate))
                << length;
            EXPECT_EQ(reader->EntityTag(), "\"v1\"") << length;
            reader.reset();
            fs::resize_file(entry, 2);
            EXPECT_FALSE(OpenEntry(entry)) << length;
        }
        DeleteEntry(entry);
    }
}

TEST_F(CacheEntry, WritersExcludeAllReadersShare) {
    const fs::path entry = temp.Path() / "h/a";
    auto writer = BeginEntry(dir, entry);
    ASSERT_TRUE(writer);
    writer->Append("same bytes");
    EXPECT_FALSE(OpenEntry(entry));
    EXPECT_FALSE(DeleteEntry(entry));
    EXPECT_FALSE(BeginEntry(dir, temp.Path() / "h/./x/../a"));  // the same file
    ASSERT_TRUE(writer->Finish("", "", {}, false, kT0));

    auto first = OpenEntry(entry);
    auto second = OpenEntry(entry);
    ASSERT_TRUE(first && second);
    EXPECT_EQ(first->ReadBody(4), "same");
    EXPECT_EQ(second->ReadBody(100), "same bytes");
    EXPECT_EQ(first->ReadBody(100), " bytes");
    first.reset();
    EXPECT_FALSE(DeleteEntry(entry));
    second.reset();
    EXPECT_TRUE(DeleteEntry(entry));

    // Its URL written to while in use: a reader reads on, no new one opens
    // it, and it goes with the last reader; an answer being written is not
    // kept, for it began before the write.
    ASSERT_TRUE(Store(dir, entry, "old page", "", ""));
    auto reading = OpenEntry(entry);
    ASSERT_TRUE(reading);
    OutdateEntry(entry);
    EXPECT_FALSE(OpenEntry(entry));
    EXPECT_EQ(reading->ReadBody(100), "old page");
    reading.reset();
    EXPECT_FALSE(fs::exists(entry));
    writer = BeginEntry(dir, entry);
    ASSERT_TRUE(writer && writer->Append("page begun before"));
    OutdateEntry(entry);
    EXPECT_FALSE(writer->Finish("", "", {}, false, kT0));
    writer.reset();
    EXPECT_FALSE(fs::exists(entry));
    ASSERT_TRUE(Store(dir, entry, "new page", "", ""));  // nothing is left marked
    OutdateEntry(entry);
    EXPECT_FALSE(fs::exists(entry));
}

// flock locks belong to an open file description, so a descriptor the test
// opens itself stands for another process sharing the folder.
TEST_F(CacheEntry, LocksKeepOutAnotherProcess) {
    const fs::path entry = temp.Path() / "h/other";
    const auto lockedBy = [&](int operation) {
        const int fd = ::open(entry.c_str(), O_RDONLY | O_CLOEXEC);
        EXPECT_EQ(::flock(fd, operation), 0);
        return fd;
    };
    ASSERT_TRUE(Store(dir, entry, "theirs"));
    int fd = lockedBy(LOCK_SH);
    EXPECT_FALSE(DeleteEntry(entry));
    EXPECT_FALSE(BeginEntry(dir, entry));
    EXPECT_TRUE(OpenEntry(entry));
    ::close(fd);

    // They took the name while we wrote and read it: no replacing under them.
    auto writer = BeginEntry(dir, entry);
    ASSERT_TRUE(writer);
    writer->Append("ours");
    WriteBytes(entry, "theirs again");
    fd = lockedBy(LOCK_SH);
    EXPECT_FALSE(writer->Finish("", "", {}, false, kT0));
    ::close(fd);
    EXPECT_EQ(FilesUnder(temp.Path()), std::vector<std::string>{"h/other"});

    fd = lockedBy(LOCK_EX);  // their writer
    EXPECT_FALSE(OpenEntry(entry));
    EXPECT_FALSE(DeleteEntry(entry));
    ::close(fd);
    EXPECT_TRUE(DeleteEntry(entry));

    // A write to its URL through us outdates it while they read it: they
    // read on, and nobody is answered the old content afterwards.
    ASSERT_TRUE(Store(dir, entry, "before the POST"));
    fd = lockedBy(LOCK_SH);
    OutdateEntry(entry);
    EXPECT_FALSE(fs::exists(entry));
    char read[32];
    EXPECT_EQ(::pread(fd, read, sizeof read, 0), 15);
    ::close(fd);
}

TEST_F(CacheEntry, WithoutExtendedAttributesOnlyUnencodedAnswersAreKept) {
    auto writer = BeginEntry(dir, temp.Path() / "h/encoded", {}, EntryMetadata::kTimesOnly);
    ASSERT_TRUE(writer);
    writer->Append("compressed");
    EXPECT_FALSE(writer->Finish("text/html", "gzip", {}, false, kT0));
    EXPECT_TRUE(FilesUnder(temp.Path()).empty());

    const fs::path plain = temp.Path() / "h/plain";
    const auto origin = ParseHTTPDate("Sun, 06 Nov 1994 08:49:37 GMT", kT0);
    ASSERT_TRUE(Store(dir, plain, "text", "text/plain", "", origin, EntryMetadata::kTimesOnly));
    const auto reader = OpenEntry(plain);
    ASSERT_TRUE(reader);
    EXPECT_EQ(reader->OriginDate(), kT0);
    EXPECT_EQ(EntryOriginDate(plain, kT0 + hours(1)), kT0);
    EXPECT_EQ(reader->ReadBody(100), "text");
}

TEST_F(CacheEntry, StartUpAndClearingSpareFilesInUse) {
    const fs::path root = temp.Path() / "cache";
    WriteBytes(root / "h/.vs-tmp-999-1", "crash leftover");
    WriteBytes(root / "h/a/.vs-tmp-999-2", "another");
    WriteBytes(root / "h/.vs-tmpfile", "not ours");
    ASSERT_TRUE(Store(dir, root / "h/a/kept", "entry"));
    auto live = BeginEntry(dir, root / "h/live");
    live->Append("being written");
    const std::atomic<bool> never{false};
    RemoveTemporaries(root, never);
    const std::vector<std::string> left = FilesUnder(root);
    ASSERT_EQ(left.size(), 3u);
    EXPECT_TRUE(left[0].starts_with("h/.vs-tmp-")) << left[0];
    EXPECT_EQ(left[1], "h/.vs-tmpfile");
    ASSERT_TRUE(live->Finish("", "", {}, false, kT0));
    EXPECT_EQ(ReadBytes(root / "h/live"), "being written");

    {
        const auto reader = OpenEntry(root / "h/a/kept");
        DeleteDirTree(root);
        EXPECT_EQ(FilesUnder(root), std::vector<std::string>{"h/a/kept"});
    }
    DeleteDirTree(root);
    EXPECT_FALSE(fs::exists(root));

    // Another process's start-up sweeps while we write: a file it finds
    // between our creating and our locking it must not cost us the entry.
    std::atomic<bool> writing{true};
    std::thread sweeper([&] {
        while (writing) {
            RemoveTemporaries(root, never);
        }
    });
    // (A begin may be refused while the sweep looks at the last entry: no
    // body is spent on it then.)
    int begun = 0;
    int lost = 0;
    for (int i = 0; i < 2000; ++i) {
        if (auto writer = BeginEntry(dir, root / "h/swept")) {
            ++begun;
            lost += writer->Finish("", "", {}, false, kT0) ? 0 : 1;
        }
    }
    writing = false;
    sweeper.join();
    EXPECT_GT(begun, 1000);
    EXPECT_EQ(lost, 0);
}

// A reader sees one whole version or nothing, never a mixture or a part.
TEST_F(CacheEntry, ConcurrentUseSeesWholeVersionsOnly) {
    const fs::path entry = temp.Path() / "h/hot";
    constexpr std::size_t kHalf = 10000;
    std::atomic<int> badReads{0};
    std::atomic<bool> writing{true};
    // Each writer gets its versions in however often readers keep it out;
    // readers read for as long as anybody writes.
    std::vector<std::thread> writers, readers;
    for (int t = 0; t < 2; ++t) {
        writers.emplace_back([&, t] {
            for (int written = 0, i = 0; written < 50 && i < 1000000; ++i) {
                if (auto writer = BeginEntry(dir, entry)) {
                    const std::string half(kHalf, static_cast<char>('a' + (t + i) % 26));
                    writer->Append(half);
                    writer->Append(half);
                    written += writer->Finish("", "", {}, false, kT0) ? 1 : 0;
                }
            }
        });
    }
    for (int t = 0; t < 3; ++t) {
        readers.emplace_back([&] {
            while (writing) {
                if (auto reader = OpenEntry(entry)) {
                    const std::string body = reader->ReadBody(4 * kHalf);
                    if (body.size() != 2 * kHalf ||
                        body.find_first_not_of(body[0]) != std::string::npos) {
                        ++badReads;
                    }
                }
            }
        });
    }
    for (auto& thread : writers) {
        thread.join();
    }
    writing = false;
    for (auto& thread : readers) {
        thread.join();
    }
    EXPECT_EQ(badReads.load(), 0);
    EXPECT_EQ(FilesUnder(temp.Path()), std::vector<std::string>{"h/hot"});
}

TEST(SniffContentType, FirstRuleThatApplies) {
    EXPECT_EQ(SniffContentType("<!DOCTYPE html><META HTTP-EQUIV=\"content-type\"  "
                               "CONTENT=\"text/html; charset=koi8-r\">"),
              "text/html; charset=koi8-r");
    EXPECT_EQ(SniffContentType("junk <Html> junk"), "text/html; charset=windows-1251");
    EXPECT_EQ(SniffContentType("<!DOCTYPE html>\n<html><head><meta charset=\"UTF-8\">"),
              "text/html; charset=UTF-8");
    EXPECT_EQ(SniffContentType("some text\r\ngif on a later line"), "image/gif");
    EXPECT_EQ(SniffContentType(std::string("\xFF\xD8\xFF\xE0\0\x10JFIF", 10)), "image/jpeg");
    EXPECT_EQ(SniffContentType("plain words"), "");
}

}  // namespace
}  // namespace vs::cache
