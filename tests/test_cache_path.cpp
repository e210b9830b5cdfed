// The proxy caching end to end: a real origin server process, the real
// engine on loopback, and entries on disk.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/xattr.h>

#include "cache/http_date.h"
#include "proxy/generated_pages.h"
#include "support/cache_fixture.h"

namespace vs::cache {
namespace {

using namespace std::chrono_literals;
using test::BodyOf;
using test::CacheFixture;
using test::Has;
using test::ReadAll;
using test::ReadBytes;
using test::ReadResponse;
using test::SendText;

TEST_F(CacheFixture, StoresTheBodyThenServesTheOriginsNotModifiedFromTheEntry) {
    StartProxy();
    std::string first = Get("/lm/page");
    EXPECT_EQ(BodyOf(first), "body of page");
    Settle();
    EXPECT_EQ(ReadBytes(EntryFile("/lm/page")), "body of page");

    // Asked again: the proxy's own condition carries the origin's date to
    // the second (an odd one), the origin says 304, the browser gets it all.
    std::string second = Get("/lm/page");
    EXPECT_EQ(LastIms(), "Sun, 06 Nov 1994 08:49:37 GMT");
    EXPECT_TRUE(second.starts_with("HTTP/1.1 200 OK\r\n")) << second;
    EXPECT_TRUE(Has(second, "Content-Length: 12\r\n"));
    EXPECT_EQ(BodyOf(second), "body of page");
    Settle();
    ASSERT_EQ(monitor.RowCount(), 2u);
    EXPECT_EQ(monitor.Row(1)->answer, "200 From cache");
    EXPECT_EQ(monitor.Row(1)->image, 2);

    // The browser's own condition is replaced, and still answered in full.
    std::string third = Get("/lm/page", "If-Modified-Since: Mon, 01 Jan 2030 00:00:00 GMT\r\n");
    EXPECT_EQ(LastIms(), "Sun, 06 Nov 1994 08:49:37 GMT");
    EXPECT_EQ(BodyOf(third), "body of page");
    // A request for a part goes as the browser sent it: the 304 would give
    // the whole entry to a resumed download.
    Get("/lm/page", "Range: bytes=5-\r\n");
    EXPECT_EQ(LastIms(), "-");
    // So does a reload the browser forces: the user's one way to replace an
    // entry whose date the origin keeps vouching for.
    for (const char* reload : {"Cache-Control: no-cache\r\n", "Pragma: no-cache\r\n"}) {
        EXPECT_EQ(BodyOf(Get("/lm/page", reload)), "body of page");
        EXPECT_EQ(LastIms(), "-");
    }

    // A write the origin accepted leaves the stored copy old: it goes, and
    // the next request finds no entry to ask about. A request that only
    // reads leaves it.
    Get("/lm/page", "Content-Length: 0\r\n", "OPTIONS");
    EXPECT_TRUE(EntryExists(EntryFile("/lm/page")));
    Get("/lm/page", "Content-Length: 0\r\n", "PUT");
    Get("/lm/page");
    EXPECT_EQ(LastIms(), "-");

    // A Date stands in for a missing Last-Modified, or for one that is no
    // date or ahead of the origin's clock (asked "modified since" a day to
    // come, an origin answers 304 to every later version); a URL naming
    // header fields stays a URL when the proxy's condition is added.
    for (const char* path : {"/date/d", "/badlm/b", "/futurelm/f"}) {
        Get(path);
        Get(path);
        EXPECT_EQ(LastIms(), "Sun, 06 Nov 1994 08:49:37 GMT") << path;
    }
    const std::string odd = "/Connection/Host:/If-Modified-Since:x.html";
    Get(odd);
    Get(odd);
    EXPECT_EQ(origin.Requests().back(), "GET " + odd + " HTTP/1.1\tSun, 06 Nov 1994 08:49:37 GMT");
}

// A version written within the same second as the stored one shares its
// date: the entry's ETag, sent beside it, tells them apart.
TEST_F(CacheFixture, AVersionOfTheSameSecondIsToldByItsEntityTag) {
    StartProxy();
    EXPECT_EQ(BodyOf(Get("/versioned")), "version 1");
    Settle();
    EXPECT_EQ(BodyOf(Get("/versioned")), "version 1");  // the 304, from the entry
    EXPECT_EQ(LastIms(), "Sun, 06 Nov 1994 08:49:37 GMT");
    Get("/versioned/next");
    EXPECT_EQ(BodyOf(Get("/versioned")), "version 2");
    Settle();
    EXPECT_EQ(ReadBytes(EntryFile("/versioned")), "version 2");
}

// A file written again within the second it was served keeps its date and,
// from many file servers, its tag: only a whole fetch tells the versions
// apart, and the copy it stores is dated by a second that has ended.
TEST_F(CacheFixture, AFileServedInTheSecondItWasWrittenIsFetchedWholeNextTime) {
    StartProxy();
    EXPECT_EQ(BodyOf(Get("/just-written")), "version 1");
    Settle();
    Get("/just-written/next");
    EXPECT_EQ(BodyOf(Get("/just-written")), "version 2");
    EXPECT_EQ(LastIms(), "Sun, 06 Nov 1994 08:49:36 GMT");
    Settle();
    EXPECT_EQ(ReadBytes(EntryFile("/just-written")), "version 2");
}

// A copy of a cache folder that ran out of room cuts the file it was
// writing and keeps none of the attributes that would tell: an entry from
// elsewhere is fetched whole, and its answer replaces it.
TEST_F(CacheFixture, AnEntryFromElsewhereIsFetchedWholeRatherThanAskedAbout) {
    StartProxy();
    const std::filesystem::path copied = EntryFile("/lm/copied");
    test::WriteBytes(copied, "body o");
    const timespec originDate[2] = {{784111777, 0}, {784111777, 0}};  // the origin's date
    ASSERT_EQ(::utimensat(AT_FDCWD, copied.c_str(), originDate, 0), 0);
    EXPECT_EQ(BodyOf(Get("/lm/copied")), "body of copied");
    EXPECT_EQ(LastIms(), "-");
    Settle();
    EXPECT_EQ(ReadBytes(copied), "body of copied");
    EXPECT_EQ(BodyOf(Get("/lm/copied")), "body of copied");
    EXPECT_EQ(LastIms(), "Sun, 06 Nov 1994 08:49:37 GMT");  // its own now, asked about
}

// Offline, stored URLs are answered with the type and encoding their
// origin gave (kept in the entry's trailer), or else the type their first
// bytes show, and the rest refused, all without asking the origin.
TEST_F(CacheFixture, OfflineAnswersCachedUrlsWithTheirTypeAndRefusesTheRest) {
    StartProxy();
    const std::string body("\x1f\x8b\x08\x00gzipped-css-bytes", 21);
    EXPECT_EQ(BodyOf(Get("/gz")), body);
    Get("/lm/q?x=a/index.htm");
    EXPECT_EQ(ReadBytes(EntryFile("/gz")), body + "text/css\x08gzip\x04\x02");
    const std::size_t asked = origin.Requests().size();
    const std::string gif = "GIF89a" + std::string(1228, '\x01');
    auto writer =
        BeginEntry(base.cacheDir, EntryFile("/img.gif"), CacheKey(origin.Url("/img.gif")));
    ASSERT_TRUE(writer && writer->Append(gif));
    ASSERT_TRUE(writer->Finish("", "", clock.Now(), false, clock.Now()));

    StartProxy([](proxy::ProxyConfig& s) { s.offline = true; });
    std::string served = Get("/gz", "Accept-Encoding: gzip, deflate\r\n");
    EXPECT_EQ(
        served.substr(0, served.find("\r\n\r\n") + 4),
        "HTTP/1.0 200 OK\r\nServer: Vellostore\r\nContent-Length: 21\r\n"
        "Content-Type: text/css\r\nContent-Encoding: gzip\r\nProxy-Connection: close\r\n\r\n");
    EXPECT_EQ(BodyOf(served), body);
    EXPECT_EQ(ReadAll(Ask("/img.gif")),
              "HTTP/1.0 200 OK\r\nServer: Vellostore\r\nContent-Length: 1234\r\n"
              "Content-Type: image/gif\r\nProxy-Connection: close\r\n\r\n" +
                  gif);
    std::string missing = Get("/lm/b");
    EXPECT_TRUE(missing.starts_with("HTTP/1.0 404 Not found\r\n")) << missing;
    // A query ending in "/" names no folder: another query's entry is not its.
    EXPECT_EQ(BodyOf(Get("/lm/q?x=a/index.htm")), "body of index.htm");
    missing = Get("/lm/q?x=a/");
    EXPECT_TRUE(missing.starts_with("HTTP/1.0 404 Not found\r\n")) << missing;
    // An entry cut short since (a copy that ran out of room) is no answer.
    std::filesystem::resize_file(EntryFile("/img.gif"), 600);
    missing = Get("/img.gif");
    EXPECT_TRUE(missing.starts_with("HTTP/1.0 404 Not found\r\n")) << missing;

    // Entries copied from the Windows program's folder carry no attributes
    // at all: a plain one, and a gzip one whose trailer flag the copy lost.
    test::WriteBytes(EntryFile("/copied.gif"), gif);
    test::WriteBytes(EntryFile("/copied.css"), body + "text/css\x08gzip\x04\x02");
    EXPECT_EQ(BodyOf(Get("/copied.gif")), gif);
    served = Get("/copied.css", "Accept-Encoding: gzip\r\n");
    EXPECT_TRUE(Has(served, "\r\nContent-Type: text/css\r\nContent-Encoding: gzip\r\n")) << served;
    EXPECT_EQ(BodyOf(served), body);
    EXPECT_EQ(origin.Requests().size(), asked);
}

TEST_F(CacheFixture, ListsAndTheFreshWindowAnswerWithoutAsking) {
    lists.onlyFromCache.Append(RuleCells{true, "/lm/only", "", false, false, 0});
    lists.noReq.Append(RuleCells{true, "/lm/never", "", false, false, 0});
    lists.noReq.Append(RuleCells{true, "/etag", "", false, false, 0});
    StartProxy([](proxy::ProxyConfig& s) { s.freshWithoutAsking = true; });
    clock.Set(std::chrono::system_clock::now());

    // Only from the cache: missing means 404, and no monitor row while
    // connections are hidden.
    EXPECT_TRUE(Get("/lm/only").starts_with("HTTP/1.0 404 Not found"));
    Settle();
    EXPECT_EQ(monitor.RowCount(), 0u);
    EXPECT_EQ(lists.onlyFromCache.Row(0).hits, 1);

    Get("/lm/never");
    Get("/lm/fresh");
    Get("/etag");
    std::size_t asked = origin.Requests().size();
    EXPECT_EQ(BodyOf(Get("/lm/never")), "body of never");
    // A part of it (a resumed download, a video seeking): 206 with its place;
    // several parts at once get the whole.
    const std::string part = Get("/lm/never", "Range: bytes=5-\r\n");
    EXPECT_TRUE(part.starts_with("HTTP/1.0 206 Partial Content\r\n")) << part;
    EXPECT_TRUE(Has(part, "\r\nContent-Range: bytes 5-12/13\r\n")) << part;
    EXPECT_EQ(BodyOf(part), "of never");
    EXPECT_EQ(BodyOf(Get("/lm/never", "Range: bytes=-5\r\n")), "never");
    EXPECT_EQ(BodyOf(Get("/lm/never", "Range: bytes=0-1,4-5\r\n")), "body of never");
    // Parts are a GET's: a HEAD learns of the whole.
    const std::string head = Get("/lm/never", "Range: bytes=5-\r\n", "HEAD");
    EXPECT_TRUE(head.starts_with("HTTP/1.0 200 ")) << head;
    EXPECT_TRUE(Has(head, "\r\nContent-Length: 13\r\n")) << head;
    // A resumed download names the version it holds: the part when it is
    // the entry's, the whole when it is another.
    EXPECT_EQ(BodyOf(Get("/etag", "Range: bytes=8-\r\nIf-Range: \"v2\"\r\n")), "2");
    EXPECT_EQ(BodyOf(Get("/etag", "Range: bytes=8-\r\nIf-Range: \"v1\"\r\n")), "version 2");
    EXPECT_EQ(BodyOf(Get("/etag", "Range: bytes=8-\r\nIf-Range: W/\"v2\"\r\n")), "version 2");
    EXPECT_EQ(BodyOf(Get("/etag", "Range: bytes=8-\r\nIf-Range: \"v2\"\r\nIf-Range: \"v1\"\r\n")),
              "version 2");
    clock.Advance(4min);
    EXPECT_EQ(BodyOf(Get("/lm/fresh")), "body of fresh");
    EXPECT_EQ(origin.Requests().size(), asked);  // neither was asked upstream
    clock.Advance(2min);
    EXPECT_EQ(BodyOf(Get("/lm/fresh")), "body of fresh");
    EXPECT_EQ(origin.Requests().size(), asked + 1);  // six minutes: asked again
    EXPECT_EQ(LastIms(), "Sun, 06 Nov 1994 08:49:37 GMT");
    // The clock put right after running a day ahead: an entry made "in the
    // future" has no known age, and is asked about rather than kept a day.
    clock.Advance(-24h);
    EXPECT_EQ(BodyOf(Get("/lm/fresh")), "body of fresh");
    EXPECT_EQ(origin.Requests().size(), asked + 2);
    // A window of any length the settings take, centuries included.
    auto forAges = std::make_shared<proxy::ProxyConfig>(*config.Get());
    forAges->freshWindow = std::chrono::hours(9999999);
    config.Publish(forAges);
    clock.Advance(25h);
    EXPECT_EQ(BodyOf(Get("/lm/fresh")), "body of fresh");
    EXPECT_EQ(origin.Requests().size(), asked + 2);
}

// Rules in Cyrillic mean the letters in every list, however a browser
// escapes them.
TEST_F(CacheFixture, RulesInCyrillicMeetTheLettersHoweverSpelled) {
    lists.cache.Clear();
    lists.cache.Append(RuleCells{true, "/лес/", "", false, false, 0});
    lists.noReq.Append(RuleCells{true, "/лес/давно", "", false, false, 0});
    lists.onlyFromCache.Append(RuleCells{true, "/только", "", false, false, 0});
    StartProxy();
    EXPECT_TRUE(Get("/lm/%D1%82%D0%BE%D0%BB%D1%8C%D0%BA%D0%BE/x").starts_with("HTTP/1.0 404 "));
    // Stored by the cache list, then answered without asking.
    const std::string old = "/lm/%D0%BB%D0%B5%D1%81/%D0%B4%D0%B0%D0%B2%D0%BD%D0%BE";
    EXPECT_EQ(BodyOf(Get(old)), "body of %D0%B4%D0%B0%D0%B2%D0%BD%D0%BE");
    const std::size_t asked = origin.Requests().size();
    EXPECT_EQ(BodyOf(Get(old)), "body of %D0%B4%D0%B0%D0%B2%D0%BD%D0%BE");
    // Sent raw (curl's way) it is the same URL, and the same entry.
    EXPECT_EQ(BodyOf(Get("/lm/лес/давно")), "body of %D0%B4%D0%B0%D0%B2%D0%BD%D0%BE");
    EXPECT_EQ(origin.Requests().size(), asked);
}

TEST_F(CacheFixture, AWriteOnlyCacheStoresButNeverServesAndDropsTheBrowsersConditions) {
    StartProxy([](proxy::ProxyConfig& s) { s.readFromCache = false; });
    Get("/lm/w", "If-Modified-Since: Sun, 06 Nov 1994 08:49:37 GMT\r\n");
    EXPECT_EQ(LastIms(), "-");
    EXPECT_EQ(ReadBytes(EntryFile("/lm/w")), "body of w");
    EXPECT_EQ(BodyOf(Get("/lm/w")), "body of w");
    EXPECT_EQ(LastIms(), "-");
    EXPECT_EQ(BodyOf(Get("/etag", "If-None-Match: \"v2\"\r\n")), "version 2");
    Settle();
    EXPECT_EQ(ReadBytes(EntryFile("/etag")), "version 2");
    // Written for offline use, the store must not keep a version the origin
    // has since made one it may not keep.
    Get("/goes-private");
    Settle();
    ASSERT_TRUE(EntryExists(EntryFile("/goes-private")));
    Get("/lm/w", "", "HEAD");  // a HEAD, never stored, replaces nothing
    Get("/goes-private/now");
    EXPECT_EQ(BodyOf(Get("/goes-private")), "private now");
    Settle();
    EXPECT_FALSE(EntryExists(EntryFile("/goes-private")));
    EXPECT_EQ(ReadBytes(EntryFile("/lm/w")), "body of w");
}

// The proxy's condition alone says whether its entry is current: a 304 the
// origin gives to the browser's If-None-Match (the browser holding a newer
// version than the entry) must not bring the entry's older body.
TEST_F(CacheFixture, TheBrowsersETagNeverVouchesForAnOlderEntry) {
    auto writer = BeginEntry(base.cacheDir, EntryFile("/etag"), CacheKey(origin.Url("/etag")));
    ASSERT_TRUE(writer && writer->Append("version 1"));
    const auto older = std::chrono::sys_days(std::chrono::year(1990) / 1 / 1);
    ASSERT_TRUE(writer->Finish("text/plain", "", older, true, clock.Now()));
    StartProxy();
    EXPECT_EQ(BodyOf(Get("/etag", "If-None-Match: \"v2\"\r\n")), "version 2");
    Settle();
    EXPECT_EQ(ReadBytes(EntryFile("/etag")), "version 2");
    EXPECT_EQ(BodyOf(Get("/etag", "If-None-Match: \"v1\"\r\n")), "version 2");
    EXPECT_EQ(LastIms(), "Sun, 06 Nov 1994 08:49:37 GMT");  // answered from the entry
}

// An origin that goes by the date alone answers 304 naming another version
// (the file replaced within its second): the stored body goes once, with its
// own tag, and the next request fetches the new one. A weak tag (a
// compressed body's) names the version its strong twin names.
TEST_F(CacheFixture, A304NamingAnotherVersionLetsTheEntryGo) {
    const auto originDate =
        std::chrono::sys_days(std::chrono::year(1994) / 11 / 6) + 8h + 49min + 37s;
    const auto store = [&](const std::string& body, const std::string& tag) {
        auto writer = BeginEntry(base.cacheDir, EntryFile("/etag"), CacheKey(origin.Url("/etag")));
        ASSERT_TRUE(writer && writer->Append(body));
        writer->SetEntityTag(tag);
        ASSERT_TRUE(writer->Finish("text/plain", "", originDate, true, clock.Now()));
    };
    store("version 1", "\"v1\"");
    StartProxy();
    const std::string once = Get("/etag");
    EXPECT_EQ(BodyOf(once), "version 1");
    EXPECT_TRUE(Has(once, "\r\nETag: \"v1\"\r\n")) << once;
    EXPECT_EQ(BodyOf(Get("/etag")), "version 2");
    Settle();
    store("version 2, compressed", "W/\"v2\"");
    for (int i = 0; i < 2; ++i) {
        const std::string kept = Get("/etag");
        EXPECT_EQ(LastIms(), "Sun, 06 Nov 1994 08:49:37 GMT");
        EXPECT_EQ(BodyOf(kept), "version 2, compressed");
        EXPECT_TRUE(Has(kept, "\r\nETag: W/\"v2\"\r\n")) << kept;
    }
}

// An entry holds its URL in the one encoding its answer came in. A browser
// that cannot read that encoding is answered by the origin, and that answer
// replaces the entry; offline, the entry is missing for it.
TEST_F(CacheFixture, AnEncodedEntryGoesOnlyToBrowsersThatReadItsEncoding) {
    StartProxy();
    const std::string gzipped(
        "\x1f\x8b\x08\x00"
        "any",
        7);
    auto storeGzipped = [&] {
        // The answer before may still hold the entry open for a moment
        // after its last byte: a writer would find it in use.
        Settle();
        std::filesystem::remove(EntryFile("/vary-enc"));
        EXPECT_EQ(BodyOf(Get("/vary-enc", "Accept-Encoding: gzip, deflate, br\r\n")), gzipped);
        Settle();
        EXPECT_TRUE(EntryHasTrailer(EntryFile("/vary-enc")));
    };
    storeGzipped();
    const std::string served = Get("/vary-enc", "Accept-Encoding: br;q=1.0, GZIP;q=0.5\r\n");
    EXPECT_EQ(LastIms(), "Sun, 06 Nov 1994 08:49:37 GMT");
    // The origin's 304 repeats type and coding: a second coding field would
    // say the body was compressed twice.
    const std::string once = "\r\nContent-Encoding: gzip\r\n";
    EXPECT_TRUE(Has(served, once));
    EXPECT_EQ(served.find(once), served.rfind(once)) << served;
    EXPECT_EQ(served.find("Content-Type"), served.rfind("Content-Type")) << served;
    EXPECT_EQ(BodyOf(served), gzipped);

    // A HEAD from a browser that cannot read it leaves it: that answer has
    // no body to replace it with.
    Get("/vary-enc", "", "HEAD");
    Settle();
    EXPECT_TRUE(EntryExists(EntryFile("/vary-enc")));
    for (std::string_view cannotRead :
         {"", "Accept-Encoding: identity\r\n", "Accept-Encoding: gzip;q=0, deflate\r\n"}) {
        storeGzipped();
        const std::string plain = Get("/vary-enc", cannotRead);
        EXPECT_EQ(LastIms(), "-") << cannotRead;
        EXPECT_FALSE(Has(plain, "Content-Encoding")) << cannotRead;
        EXPECT_EQ(BodyOf(plain), "any") << cannotRead;
        Settle();
        EXPECT_EQ(ReadBytes(EntryFile("/vary-enc")), "any") << cannotRead;
    }
    // The plain entry, asked for again: the origin's 304 still names its
    // gzip coding, which is not the stored body's.
    const std::string plainAgain = Get("/vary-enc", "Accept-Encoding: identity\r\n");
    EXPECT_EQ(LastIms(), "Sun, 06 Nov 1994 08:49:37 GMT");
    EXPECT_FALSE(Has(plainAgain, "Content-Encoding")) << plainAgain;
    EXPECT_EQ(BodyOf(plainAgain), "any");
    Settle();
    EXPECT_EQ(monitor.Row(monitor.RowCount() - 1)->answer, "200 From cache");
    // An entry stored without a type: the type the 304 names goes out alone,
    // not beside one guessed from the body.
    Get("/untyped");
    Settle();
    const std::string typed = Get("/untyped");
    EXPECT_EQ(LastIms(), "Sun, 06 Nov 1994 08:49:37 GMT");
    EXPECT_TRUE(Has(typed, "\r\nContent-Type: text/html; charset=utf-8\r\n")) << typed;
    EXPECT_EQ(typed.find("Content-Type"), typed.rfind("Content-Type")) << typed;

    Get("/untyped-nosniff");
    Get("/untyped-nosniff-gz", "Accept-Encoding: gzip\r\n");
    storeGzipped();
    StartProxy([](proxy::ProxyConfig& s) { s.offline = true; });
    EXPECT_TRUE(Get("/vary-enc").starts_with("HTTP/1.0 404 Not found\r\n"));
    EXPECT_EQ(BodyOf(Get("/vary-enc", "Accept-Encoding: gzip\r\n")), gzipped);
    // An origin that sent no type and forbade guessing one gets no guess:
    // taken for HTML, a user's text quoted in its JSON would run as script.
    for (const char* path : {"/untyped-nosniff", "/untyped-nosniff-gz"}) {
        const std::string unguessed = Get(path, "Accept-Encoding: gzip\r\n");
        EXPECT_EQ(BodyOf(unguessed), "{\"c\":\"<html>x\"}") << path;
        EXPECT_FALSE(Has(unguessed, "\r\nContent-Type:")) << unguessed;
    }
}

// An entry holds exactly the body its answer's head frames, whatever the
// spacing of that head, and body bytes are never read as header fields.
TEST_F(CacheFixture, EntriesHoldExactlyTheBodyTheirHeadFrames) {
    StartProxy();
    auto fetch = [&](std::string_view path, std::string_view until) {
        return BodyOf(test::ReadUntil(Ask(path), until));
    };
    // "Content-Length:100" and then the close after 50 bytes: cut short.
    EXPECT_EQ(fetch("/nospace", "never comes"), std::string(50, 'n'));
    EXPECT_EQ(fetch("/spaces", "twelve bytes"), "twelve bytes");
    // A length said three times goes on said once.
    const std::string listed = test::ReadUntil(Ask("/lengthlist"), "twelve bytes");
    EXPECT_TRUE(Has(listed, "\r\nContent-Length: 12\r\n")) << listed;
    EXPECT_EQ(listed.find("Content-Length"), listed.rfind("Content-Length")) << listed;
    const std::string lines =
        "Content-Encoding: x\r\nContent-Length: 5\r\nLast-Modified: never\r\n";
    EXPECT_EQ(fetch("/bodyheaders", "never\r\n"), lines);
    // Chunked answers are stored without their framing, sizes spelt with
    // any number of leading zeros among them; a gzip one arriving
    // whole in one block keeps its encoding.
    const std::string gzip("\x1f\x8b\x08\x00gzipped-js", 14);
    fetch("/gzchunked", "0\r\n\r\n");
    EXPECT_TRUE(Has(fetch("/chunked", "0\r\n\r\n"), "5\r\nfirst\r\n7;x=1\r\n-second\r\n"));
    Settle();
    EXPECT_FALSE(EntryExists(EntryFile("/nospace")));
    EXPECT_EQ(ReadBytes(EntryFile("/spaces")), "twelve bytes");
    EXPECT_EQ(ReadBytes(EntryFile("/lengthlist")), "twelve bytes");
    EXPECT_EQ(ReadBytes(EntryFile("/bodyheaders")), lines);
    EXPECT_FALSE(EntryHasTrailer(EntryFile("/bodyheaders")));
    EXPECT_EQ(ReadBytes(EntryFile("/gzchunked")), gzip + "text/javascript\x0fgzip\x04\x02");
    EXPECT_EQ(ReadBytes(EntryFile("/chunked")), "first-second-third");
    // Dated by the proxy's clock (the origin gave no date), which then turns
    // out a day fast: asked "modified since" a day to come, the origin would
    // vouch for the entry until then.
    clock.Advance(-std::chrono::hours(24));
    const std::size_t asked = origin.Requests().size();
    fetch("/chunked", "0\r\n\r\n");
    ASSERT_TRUE(test::WaitUntil([&] { return origin.Requests().size() > asked; }));
    EXPECT_EQ(LastIms(), "-");
    clock.Advance(std::chrono::hours(24));
    // A date of the origin's own ahead of a slow proxy clock is the
    // origin's to compare: asked with it, as always.
    const auto years = std::chrono::hours(24 * 366 * 33);
    clock.Advance(-years);
    fetch("/date/ahead", "body of ahead");
    Settle();
    const std::size_t stored = origin.Requests().size();
    fetch("/date/ahead", "body of ahead");
    ASSERT_TRUE(test::WaitUntil([&] { return origin.Requests().size() > stored; }));
    EXPECT_EQ(LastIms(), "Sun, 06 Nov 1994 08:49:37 GMT");
    clock.Advance(years);

    StartProxy([](proxy::ProxyConfig& s) { s.offline = true; });
    std::string served = Get("/gzchunked", "Accept-Encoding: gzip\r\n");
    EXPECT_TRUE(Has(served, "\r\nContent-Type: text/javascript\r\nContent-Encoding: gzip\r\n"));
    EXPECT_EQ(BodyOf(served), gzip);
    EXPECT_EQ(BodyOf(Get("/bodyheaders")), lines);
}

// An answer cut short (closed or reset by the origin) leaves no entry. A
// body that runs to the close is whole only when the origin closes: a
// browser leaving or the proxy stopping first leaves nothing either.
TEST_F(CacheFixture, CutShortAnswersLeaveNoEntry) {
    StartProxy();
    for (const char* path : {"/nolength", "/short", "/huge", "/reset"}) {
        ReadAll(Ask(path));
    }
    // A browser leaving within its head: its connection ends all the same.
    EXPECT_EQ(Raw("GET " + origin.Url("/lm/half") + " HTTP/1.1\r\nHo"), "");
    Settle();
    EXPECT_EQ(ReadBytes(EntryFile("/nolength")), "all that came");
    for (const char* path : {"/short", "/huge", "/reset"}) {
        EXPECT_FALSE(EntryExists(EntryFile(path))) << path;
    }
    // An answer running to the close that the origin resets instead is cut
    // short, and the browser must see a reset too, not an orderly end.
    {
        const auto got = test::ReadToEnd(Ask("/nolength-reset"));
        EXPECT_TRUE(got.reset) << got.bytes;
        EXPECT_TRUE(got.bytes.ends_with("part of it")) << got.bytes;
    }
    Settle();
    EXPECT_FALSE(EntryExists(EntryFile("/nolength-reset")));
    // A length past 2 GiB is read and shown as it is.
    EXPECT_EQ(monitor.Row(2)->size, 3221225472);

    auto client = Ask("/stall-stopped");
    test::ReadExactly(client, 1000);
    server.Stop();
    EXPECT_FALSE(EntryExists(EntryFile("/stall-stopped")));
}

// What a browser does all day: one kept-alive connection carrying requests
// to three hosts in turn, some stored and some not, one answered from the
// cache after its origin's 304, and a CONNECT last. Every answer comes from
// its own host and every entry holds exactly what its origin sent.
TEST_F(CacheFixture, OneConnectionForThreeHostsGetsEveryAnswerFromItsOwnHost) {
    test::OriginProcess a(dir.Path(), "A"), b(dir.Path(), "B"), c(dir.Path(), "C");
    StartProxy();
    auto client = Connect();
    auto ask = [&](const test::OriginProcess& host, std::string_view path) {
        SendText(client, "GET " + host.Url(path) + " HTTP/1.1\r\nHost: x\r\n\r\n");
        return path == "/gzchunked" ? test::ReadUntil(client, "0\r\n\r\n") : ReadResponse(client);
    };
    auto from = [](const std::string& answer) {
        std::size_t at = answer.find("X-Origin: ");
        return at == std::string::npos ? "" : answer.substr(at + 10, 1);
    };
    auto entry = [&](const test::OriginProcess& host, std::string_view path) {
        return *EntryPath(base.cacheDir, CacheKey(host.Url(path)));
    };
    EXPECT_EQ(from(ask(a, "/who")), "A");
    EXPECT_EQ(from(ask(b, "/gzchunked")), "B");
    EXPECT_EQ(BodyOf(ask(c, "/who")), "C");
    EXPECT_EQ(BodyOf(ask(a, "/nocache")), "fresh");
    EXPECT_TRUE(ask(b, "/missing").starts_with("HTTP/1.1 404 Not Found\r\nX-Origin: B\r\n"));
    EXPECT_EQ(BodyOf(ask(c, "/lm/page")), "body of page");
    std::string cached = ask(c, "/who");
    EXPECT_TRUE(cached.starts_with("HTTP/1.1 200 OK\r\nX-Origin: C\r\n")) << cached;
    EXPECT_EQ(BodyOf(cached), "C");
    EXPECT_EQ(c.Requests().back(), "GET /who HTTP/1.1\tSun, 06 Nov 1994 08:49:37 GMT");

    SendText(client, "CONNECT 127.0.0.1:" + std::to_string(b.Port()) + " HTTP/1.1\r\n\r\n");
    EXPECT_EQ(test::ReadExactly(client, proxy::kTunnelEstablished.size()),
              proxy::kTunnelEstablished);
    SendText(client, "GET /who HTTP/1.1\r\n\r\n");
    EXPECT_EQ(BodyOf(ReadResponse(client)), "B");
    client.Close();
    Settle();

    EXPECT_EQ(ReadBytes(entry(a, "/who")), "A");
    EXPECT_EQ(ReadBytes(entry(c, "/who")), "C");
    EXPECT_EQ(ReadBytes(entry(c, "/lm/page")), "body of page");
    EXPECT_FALSE(EntryExists(entry(a, "/nocache")));
    EXPECT_FALSE(EntryExists(entry(b, "/missing")));
    EXPECT_EQ(a.Requests().size(), 2u);
    EXPECT_EQ(b.Requests().size(), 3u);
    EXPECT_EQ(monitor.RowCount(), 8u);
}

// What is stored is what every user of the proxy may get: a GET's answer,
// not private, not to the user's own credentials, not varying by more than
// the encoding. The switch that ignores "no-cache" is the user's choice
// for "no-store" and "private" too.
TEST_F(CacheFixture, OnlyWhatEveryUserMayGetIsStored) {
    StartProxy();
    const std::string noBody = "Content-Length: 0\r\n";
    Get("/lm/paid", noBody, "POST");  // "the payment result"
    EXPECT_EQ(BodyOf(Get("/lm/paid")), "body of paid");
    EXPECT_EQ(LastIms(), "-");  // nothing was stored by the POST
    Get("/lm/paid", noBody, "POST");
    EXPECT_EQ(origin.Requests().back(), "POST /lm/paid HTTP/1.1\t-");  // never conditional

    EXPECT_EQ(BodyOf(Get("/private", "Cookie: anna\r\n")), "for anna");
    EXPECT_EQ(BodyOf(Get("/private", "Cookie: boris\r\n")), "for boris");
    EXPECT_EQ(BodyOf(Get("/nostore", "Cookie: anna\r\n")), "for anna");
    EXPECT_EQ(BodyOf(Get("/nostore", "Cookie: boris\r\n")), "for boris");
    EXPECT_EQ(BodyOf(Get("/session", "Cookie: anna\r\n")), "for anna");
    EXPECT_EQ(BodyOf(Get("/session")), "for ");
    Get("/lm/mine", "Authorization: Basic YTpi\r\n");
    EXPECT_EQ(BodyOf(Get("/vary-lang", "Accept-Language: ru\r\n")), "ru");
    EXPECT_EQ(BodyOf(Get("/vary-lang", "Accept-Language: en\r\n")), "en");
    Get("/vary-enc");
    Get("/nocache");
    Get("/nocache-capitals");
    test::ReadUntil(Ask("/meta-nocache"), "0\r\n\r\n");     // however its bytes arrive
    test::ReadUntil(Ask("/meta-nocache-gz"), "0\r\n\r\n");  // compressed: no text to read
    Get("/lm/unkept", "Cache-Control: no-store\r\n");  // a private window's request
    Get("/events");                                    // replayed, it would tell old events as new
    Get("/radio");                                     // and so would a broadcast
    Get("/radio-icy");
    Get("/bigpolicy");  // served from the cache, it would lose its policy
    Settle();
    for (const char* path : {"/private", "/nostore", "/session", "/lm/mine", "/vary-lang",
                             "/nocache", "/nocache-capitals", "/meta-nocache", "/lm/unkept",
                             "/events", "/radio", "/radio-icy", "/bigpolicy"}) {
        EXPECT_FALSE(EntryExists(EntryFile(path))) << path;
    }
    EXPECT_EQ(ReadBytes(EntryFile("/vary-enc")), "any");
    EXPECT_TRUE(EntryExists(EntryFile("/meta-nocache-gz")));

    StartProxy([](proxy::ProxyConfig& s) { s.ignoreNoCache = true; });
    Get("/private", "Cookie: anna\r\n");
    Get("/nostore", "Cookie: anna\r\n");
    Get("/session", "Cookie: anna\r\n");
    Get("/lm/mine", "Authorization: Basic YTpi\r\n");
    Get("/vary-lang", "Accept-Language: ru\r\n");
    Get("/nocache");
    Get("/events");
    Settle();
    EXPECT_EQ(ReadBytes(EntryFile("/nocache")), "fresh");
    EXPECT_FALSE(EntryExists(EntryFile("/events")));
    EXPECT_EQ(ReadBytes(EntryFile("/private")), "for anna");
    EXPECT_EQ(ReadBytes(EntryFile("/nostore")), "for anna");
    EXPECT_EQ(ReadBytes(EntryFile("/session")), "for anna");
    EXPECT_FALSE(EntryExists(EntryFile("/lm/mine")));
    EXPECT_FALSE(EntryExists(EntryFile("/vary-lang")));
    // With the switch off again, the origin's 304 says the page is private:
    // the copy answers that request once and is then given up, not kept
    // for everyone.
    StartProxy();
    for (const char* path : {"/private", "/nostore", "/session"}) {
        EXPECT_EQ(BodyOf(Get(path, "Cookie: boris\r\n")), "for anna");
        Settle();
        EXPECT_FALSE(EntryExists(EntryFile(path))) << path;
        EXPECT_EQ(BodyOf(Get(path, "Cookie: boris\r\n")), "for boris");
    }

    // A new version the cache may not keep replaces the stored one all the
    // same: kept, offline would give the page the origin has just outdated.
    // So does one a forced reload brings while the origin still vouches for
    // the stored one by its date.
    EXPECT_EQ(BodyOf(Get("/goes-private")), "public");
    EXPECT_EQ(BodyOf(Get("/goes-private-dated")), "public");
    Get("/goes-private/now");
    EXPECT_EQ(BodyOf(Get("/goes-private")), "private now");
    EXPECT_EQ(BodyOf(Get("/goes-private-dated")), "public");
    EXPECT_EQ(BodyOf(Get("/goes-private-dated", "Pragma: no-cache\r\n")), "private now");
    Settle();
    EXPECT_FALSE(EntryExists(EntryFile("/goes-private")));
    EXPECT_FALSE(EntryExists(EntryFile("/goes-private-dated")));

    // Offline, a POST cannot be answered: the page for what the cache lacks.
    StartProxy([](proxy::ProxyConfig& s) { s.offline = true; });
    EXPECT_TRUE(Get("/lm/paid", noBody, "POST").starts_with("HTTP/1.0 404")) << "offline POST";
    EXPECT_EQ(BodyOf(Get("/vary-enc")), "any");
}

// Two keys may map to one file; an entry answers only the key it was
// written for, and with the type its origin gave it.
TEST_F(CacheFixture, AnEntryAnswersOnlyItsOwnUrlWithItsOwnType) {
    StartProxy();
    for (auto [first, second] :
         {std::pair{"/lm/z?k=1", "/lm/z^/k=1"}, std::pair{"/lm/c:x", "/lm/c!x"},
          std::pair{"/lm/Report-A", "/lm/report-a"}}) {
        const std::string firstBody = "body of " + std::string(first).substr(4);
        const std::string secondBody =
            "body of " + std::string(second).substr(std::string(second).rfind('/') + 1);
        EXPECT_EQ(BodyOf(Get(first)), firstBody);
        EXPECT_EQ(BodyOf(Get(second)), secondBody);
        EXPECT_EQ(LastIms(), "-") << second << " was answered by " << first << "'s entry";
        EXPECT_EQ(BodyOf(Get(first)), firstBody);
        EXPECT_EQ(LastIms(), "-");
        Settle();
        EXPECT_EQ(ReadBytes(EntryFile(first)), firstBody);  // the newest answer replaced it
    }

    Get("/lm/module.js");
    const std::string revalidated = Get("/lm/module.js");
    EXPECT_EQ(LastIms(), "Sun, 06 Nov 1994 08:49:37 GMT");
    EXPECT_TRUE(Has(revalidated, "\r\nContent-Type: text/javascript\r\n"));
    EXPECT_EQ(ReadBytes(EntryFile("/lm/module.js")), "body of module.js");
    Get("/lm/%D0%9A%D1%82");
    // A font an earlier version stored without the fields gains them from
    // the origin's 304.
    auto earlierFont =
        BeginEntry(base.cacheDir, EntryFile("/shared-font"), origin.Url("/shared-font"));
    ASSERT_TRUE(earlierFont && earlierFont->Append("wOF2"));
    ASSERT_TRUE(earlierFont->Finish(
        "font/woff2", "", ParseHTTPDate("Sun, 06 Nov 1994 08:49:37 GMT", {}), true, clock.Now()));
    EXPECT_TRUE(BodyOf(Get("/shared-font")) == "wOF2");
    EXPECT_EQ(LastIms(), "Sun, 06 Nov 1994 08:49:37 GMT");
    // Where an entry stands, a longer URL's folder cannot: not stored, and
    // no trouble of the cache folder either; nor is a key too long to keep.
    Get("/lm/tree");
    Get("/lm/tree/leaf");
    Get("/lm/" + std::string(4000, 'k'));
    Settle();
    for (const std::string& header : LogHeaders()) {
        EXPECT_FALSE(header.starts_with("Cache entries are not stored")) << header;
    }
    StartProxy([](proxy::ProxyConfig& s) { s.offline = true; });
    EXPECT_TRUE(Has(Get("/lm/module.js"), "\r\nContent-Type: text/javascript\r\n"));
    // The fields that let a page of another host use the body come with it;
    // the visitor's cookie does not.
    const std::string font = Get("/shared-font");
    for (const char* field :
         {"\r\nAccess-Control-Allow-Origin: *\r\n", "\r\nX-Content-Type-Options: nosniff\r\n",
          "\r\nContent-Type: font/woff2\r\n"}) {
        EXPECT_TRUE(Has(font, field)) << font;
    }
    EXPECT_FALSE(Has(font, "visitor"));
    // What an entry records goes into header lines: a planted or damaged
    // record adds no field beside the kept ones and never ends the head.
    const std::string planted =
        "Set-Cookie: planted=1\r\nX-Frame-Options: DENY\r\nVary: a\nSet-Cookie: b=2\r\n";
    ASSERT_EQ(::setxattr(EntryFile("/shared-font").c_str(), "user.vellostore.fields",
                         planted.data(), planted.size(), 0),
              0);
    const std::string replanted = Get("/shared-font");
    EXPECT_TRUE(Has(replanted, "\r\nX-Frame-Options: DENY\r\n"));
    EXPECT_FALSE(Has(replanted, "planted") || Has(replanted, "b=2")) << replanted;
    const std::string type = "text/html\r\n\r\nHTTP/1.1 200 OK";
    ASSERT_EQ(::setxattr(EntryFile("/lm/module.js").c_str(), "user.vellostore.type", type.data(),
                         type.size(), 0),
              0);
    EXPECT_TRUE(Get("/lm/module.js").starts_with("HTTP/1.0 404 Not found\r\n"));
    // Escapes in small letters are the same characters, also in the key of
    // an entry an earlier version wrote as the browser spelled it.
    EXPECT_EQ(BodyOf(Get("/lm/%d0%9a%d1%82")), "body of %D0%9A%D1%82");
    auto earlier = BeginEntry(base.cacheDir, EntryFile("/lm/%e2"), origin.Url("/lm/%e2"));
    ASSERT_TRUE(earlier && earlier->Append("written earlier"));
    ASSERT_TRUE(earlier->Finish("text/plain", "", clock.Now(), false, clock.Now()));
    EXPECT_EQ(BodyOf(Get("/lm/%e2")), "written earlier");
}

// Requests sent together are answered in their order, also when the proxy
// answers a later one itself (from the cache, or refused) while an earlier
// answer is still coming: its own answer must not stand in for that one.
TEST_F(CacheFixture, PipelinedRequestsAreAnsweredInTheirOrderWhoeverAnswers) {
    lists.noReq.Append(RuleCells{true, "/lm/never", "", false, false, 0});
    lists.black.Append(RuleCells{true, "blocked", "", false, false, 0});
    StartProxy();
    EXPECT_EQ(BodyOf(Get("/lm/never")), "body of never");
    Settle();
    const std::string slow = std::string(1000, 'a') + std::string(1000, 'b');
    auto request = [&](std::string_view path) {
        return "GET " + origin.Url(path) + " HTTP/1.1\r\nHost: x\r\n\r\n";
    };
    for (const char* local : {"/lm/never", "/blocked"}) {
        auto client = Connect();
        SendText(client, request("/slowish") + request(local));
        EXPECT_EQ(BodyOf(ReadResponse(client)), slow) << local;
        const std::string second = ReadAll(client);
        EXPECT_TRUE(Has(second, local[1] == 'l' ? "body of never" : "(rule #1).")) << second;
    }
}

// A folder of the cache that is a link to elsewhere is never followed: the
// files behind it are neither replaced nor served, and nothing is made
// there; the browser gets its answer all the same.
TEST_F(CacheFixture, FoldersThatAreLinksLeadNowhere) {
    const std::filesystem::path outside = dir.Path() / "outside";
    std::filesystem::create_directories(outside);
    test::WriteBytes(outside / "page", "the user's own file");
    const std::filesystem::path linked = EntryFile("/lm/page").parent_path();
    std::filesystem::create_directories(linked.parent_path());
    std::filesystem::create_directory_symlink(outside, linked);
    StartProxy();
    for (const char* path : {"/lm/page", "/lm/page", "/lm/new"}) {
        EXPECT_EQ(BodyOf(Get(path)), "body of " + std::string(path).substr(4));
        EXPECT_EQ(LastIms(), "-") << path;
    }
    Settle();
    EXPECT_EQ(ReadBytes(outside / "page"), "the user's own file");
    EXPECT_FALSE(std::filesystem::exists(outside / "new"));
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(outside), {}), 1);
}

// A browser that asked to close (HTTP/1.0, "Connection: close") gets a
// closing answer from the cache, and the connection ends; others keep it.
TEST_F(CacheFixture, AnswersFromTheCacheHonourTheBrowsersWishToClose) {
    StartProxy();
    Get("/lm/keep");
    const std::string url = origin.Url("/lm/keep");
    for (const std::string& request :
         {"GET " + url + " HTTP/1.0\r\n\r\n",
          "GET " + url + " HTTP/1.1\r\nConnection: close\r\n\r\n",
          "GET " + url + " HTTP/1.1\r\nProxy-Connection: close\r\n\r\n"}) {
        const std::string answer = AnswerTo(request);  // ends only when the proxy closes
        EXPECT_TRUE(Has(answer, "\r\nConnection: close\r\n"));
        EXPECT_EQ(BodyOf(answer), "body of keep");
    }
    EXPECT_EQ(LastIms(), "Sun, 06 Nov 1994 08:49:37 GMT");
    auto client = Connect();
    for (int i = 0; i < 2; ++i) {
        SendText(client, "GET " + url + " HTTP/1.0\r\nProxy-Connection: keep-alive\r\n\r\n");
        EXPECT_EQ(BodyOf(ReadResponse(client)), "body of keep");
    }
}

// An answer that ends its connection (one from the cache, one its origin
// closes after, one to a POST that asked to close) meets a browser that
// sends more a moment later: a pipelining one (apt) its next request, an
// old one a line end after the POST's body. That is read and dropped until
// the browser closes: arriving after the close, it would reset the
// connection and take the answer's unread end with it.
TEST_F(CacheFixture, AnAnswerEndingItsConnectionIsWholeThoughTheNextRequestComesLate) {
    const std::size_t size = 2 << 20;
    const std::string big = test::MakeBody(size);
    auto writer =
        BeginEntry(base.cacheDir, EntryFile("/big.bin"), CacheKey(origin.Url("/big.bin")));
    ASSERT_TRUE(writer && writer->Append(big));
    ASSERT_TRUE(writer->Finish("", "", clock.Now(), false, clock.Now()));
    lists.noReq.Append(RuleCells{true, "/big.bin", "", false, false, 0});
    test::HttpOrigin closing;
    StartProxy();
    const std::string sized = "/size/" + std::to_string(size);
    for (const auto& [request, late] :
         {std::pair{"GET " + origin.Url("/big.bin") + " HTTP/1.1\r\n\r\n",
                    "GET " + origin.Url("/next") + " HTTP/1.1\r\n\r\n"},
          {"GET " + closing.Url(sized + "/close") + " HTTP/1.1\r\n\r\n",
           "GET " + origin.Url("/next") + " HTTP/1.1\r\n\r\n"},
          {"POST " + closing.Url(sized) +
               " HTTP/1.1\r\nConnection: close\r\nContent-Length: 1\r\n\r\nq",
           std::string("\r\n")}}) {
        auto client = Connect();
        SendText(client, request);
        test::ReadUntil(client, "\r\n\r\n");
        // Long enough for a close that would not wait.
        test::WaitUntil([this] { return server.ActiveConnections() == 0; }, 500ms);
        SendText(client, late);
        std::string body;
        EXPECT_NO_THROW(body = ReadAll(client)) << request;
        EXPECT_EQ(body.size(), size) << request;
        EXPECT_TRUE(body == big) << request;
    }
}

// A GET with a body (a search API's query) asks what its URL alone does not
// say, and "get" is no GET to a server (methods are case-sensitive): their
// answers are neither stored nor given from the cache.
TEST_F(CacheFixture, AGetWithABodyOrInOtherLettersIsAskedOfTheOriginEveryTime) {
    StartProxy([](proxy::ProxyConfig& s) { s.freshWithoutAsking = true; });
    clock.Set(std::chrono::system_clock::now());
    const auto ask = [&](std::string_view method, std::string_view path, std::string body) {
        auto client = Connect();
        SendText(client, std::string(method) + " " + origin.Url(path) +
                             " HTTP/1.1\r\nHost: x\r\nContent-Length: " +
                             std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n" + body);
        return BodyOf(ReadResponse(client));
    };
    EXPECT_EQ(ask("GET", "/lm/search", "query=1"), "body of search");
    EXPECT_EQ(ask("get", "/lm/lower", ""), "body of lower");
    EXPECT_FALSE(std::filesystem::exists(EntryFile("/lm/search")));
    EXPECT_FALSE(std::filesystem::exists(EntryFile("/lm/lower")));
    EXPECT_EQ(BodyOf(Get("/lm/other")), "body of other");
    const std::size_t asked = origin.Requests().size();
    EXPECT_EQ(ask("GET", "/lm/other", "query=1"), "body of other");
    EXPECT_EQ(ask("get", "/lm/other", ""), "body of other");
    EXPECT_EQ(origin.Requests().size(), asked + 2);
}

// Framing the proxy cannot trust is relayed as the origin sent it, and
// nothing is stored. A folded line is joined first, as a proxy must, and is
// then no doubt.
TEST_F(CacheFixture, FramingInDoubtIsRelayedButNeverStored) {
    StartProxy();
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"/badchunked", "5\r\nfirst\r\nzz\r\nwhatever follows\r\n"},
        {"/hugelength", "five!"},
        {"/twolengths", "123456789"},
        {"/overrun", "3\r\nabcdef\r\n0\r\n\r\n"},
        {"/foldedte", "3\r\nabc\r\n0\r\n\r\n"},
        {"/bothframings", "3\r\nabc\r\n0\r\n\r\n"}};
    for (const auto& [path, body] : cases) {
        const std::string got = test::ReadUntil(Ask(path), body);
        EXPECT_TRUE(got.ends_with("\r\n\r\n" + body)) << path;
        if (path == "/bothframings") {
            // The chunks frame it; the length beside them goes.
            EXPECT_FALSE(Has(got, "Content-Length")) << got;
        }
    }
    // A head of 70 KiB is long but framed like any other: the connection
    // goes on after its answer.
    auto client = Connect();
    for (const char* path : {"/bighead", "/lm/keep"}) {
        SendText(client, "GET " + origin.Url(path) + " HTTP/1.1\r\n\r\n");
        EXPECT_TRUE(Has(ReadResponse(client), "200 OK")) << path;
    }
    client.Close();
    Settle();
    for (const auto& [path, body] : cases) {
        EXPECT_EQ(EntryExists(EntryFile(path)), path == "/foldedte") << path;
    }
    EXPECT_EQ(ReadBytes(EntryFile("/foldedte")), "abc");
}

// An interim answer goes before the real one to a browser that speaks
// HTTP/1.1, never to an HTTP/1.0 one (it would take it for the answer), and
// only the real answer is stored.
TEST_F(CacheFixture, InterimAnswersReachOnlyBrowsersThatKnowThem) {
    StartProxy();
    const std::string hints = "HTTP/1.1 103 Early Hints\r\nLink: </a.css>; rel=preload\r\n\r\n";
    {
        auto modern = Ask("/early");
        EXPECT_EQ(test::ReadExactly(modern, hints.size()), hints);
        EXPECT_EQ(BodyOf(ReadResponse(modern)), "after hints");
    }
    Settle();
    EXPECT_EQ(ReadBytes(EntryFile("/early")), "after hints");

    auto old = Connect();
    SendText(old, "GET " + origin.Url("/early") + " HTTP/1.0\r\n\r\n");
    const std::string answer = ReadAll(old);
    EXPECT_TRUE(answer.starts_with("HTTP/1.1 200 OK\r\n")) << answer;
    EXPECT_EQ(BodyOf(answer), "after hints");
}

TEST_F(CacheFixture, HeadRequestsNeitherStoreNorAskConditionally) {
    StartProxy();
    Get("/lm/h");
    std::string head = Get("/lm/h", "", "HEAD");
    EXPECT_TRUE(head.starts_with("HTTP/1.1 200 OK")) << head;
    EXPECT_EQ(LastIms(), "-");
    EXPECT_EQ(ReadBytes(EntryFile("/lm/h")), "body of h");  // the entry is untouched
    StartProxy([](proxy::ProxyConfig& s) { s.offline = true; });
    Settle();
    const std::int64_t servedBefore = consumer.Traffic().fromCache;
    std::string offline = Get("/lm/h", "", "HEAD");
    EXPECT_TRUE(Has(offline, "Content-Length: 9\r\n"));
    // Only the head went out: no body counts as taken from the cache.
    Settle();
    EXPECT_EQ(consumer.Traffic().fromCache, servedBefore);
}

TEST_F(CacheFixture, UrlsClimbingOutOfTheCacheAreNeverStoredOrServed) {
    StartProxy();
    Get("/a/../../../escaped");
    Settle();
    EXPECT_FALSE(std::filesystem::exists(dir.Path() / "escaped"));
    EXPECT_FALSE(std::filesystem::exists(dir.Path() / "cache" / "escaped"));
    StartProxy([](proxy::ProxyConfig& s) { s.offline = true; });
    EXPECT_TRUE(Get("/a/../../../escaped").starts_with("HTTP/1.0 404"));
}

// A browser without its password gets the 407 and nothing else, whatever
// the lists or the cache would have answered; its row and the log show the
// 407, as an administrator reads them to see who was served. The rules
// still count the hit.
TEST_F(CacheFixture, ARequestRefusedAtAdmissionShowsOnlyItsRefusal) {
    StartProxy();
    ASSERT_EQ(BodyOf(Get("/lm/never")), "body of never");
    Settle();
    const std::size_t rowsBefore = monitor.RowCount();
    const std::size_t logBefore = log.size();
    lists.users.Delete(0);
    lists.users.Append(UserRow{true, "anna", "pw", ""});
    lists.users.RebuildUserTokens();
    lists.black.Append(RuleCells{true, "blocked", "", false, false, 0});
    lists.urlConverter.Append(RuleCells{true, "/moved", "/new", false, true, 0});
    StartProxy([](proxy::ProxyConfig& s) {
        s.offline = true;
        s.urlConverterEnabled = true;
    });
    const std::string refusal = proxy::AuthRequiredAnswer(clock.Now()) + "\r\n";
    for (const char* path : {"/lm/never", "/lm/missing", "/blocked", "/moved"}) {
        EXPECT_EQ(ReadAll(Ask(path)), refusal) << path;
    }
    Settle();
    ASSERT_EQ(monitor.RowCount(), rowsBefore + 4);
    for (std::size_t row = rowsBefore; row < monitor.RowCount(); ++row) {
        EXPECT_EQ(monitor.Row(row)->answer, "407 Proxy Authentication Required") << row;
    }
    for (std::size_t line = logBefore; line < log.size(); ++line) {
        EXPECT_FALSE(log[line].body.starts_with("HTTP/1.0 200") ||
                     log[line].body.starts_with("HTTP/1.0 302") ||
                     log[line].body.starts_with("HTTP/1.0 403") ||
                     log[line].body.starts_with("HTTP/1.0 404"))
            << log[line].header << "\n" << log[line].body;
    }
    EXPECT_EQ(lists.black.Row(0).hits, 1);
    EXPECT_EQ(lists.urlConverter.Row(0).hits, 1);
}

}  // namespace
}  // namespace vs::cache
