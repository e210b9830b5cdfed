#include "shell/ini_file.h"

#include "base/cp1251.h"
#include "base/utf.h"
#include "support/files.h"
#include "support/text.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <functional>
#include <iterator>
#include <stdexcept>
#include <string>
#include <system_error>
#include <vector>

namespace vs {
namespace {

namespace fs = std::filesystem;
using test::ReadBytes;
using test::TempDir;
using test::Utf16;
using test::WriteBytes;

class IniFileTest : public ::testing::Test {
protected:
    IniFile LoadText(std::string_view text) {
        WriteBytes(file_, text);
        return IniFile::Load(file_);
    }

    static constexpr fs::perms kOwnerRw = fs::perms::owner_read | fs::perms::owner_write;
    TempDir dir_;
    fs::path file_ = dir_.Path() / "test.ini";
};

TEST_F(IniFileTest, ReadsLinesLikeTheWindowsProfileFunctions) {
    // "Привет" and a section named "Раздел" in Windows-1251; bytes above 0x7F,
    // the no-break space 0xA0 included, are neither blanks nor converted.
    const std::string privet = "\xCF\xF0\xE8\xE2\xE5\xF2";
    const std::string razdel = "\xD0\xE0\xE7\xE4\xE5\xEB";
    const std::string longer = std::string(IniFile::kMaxValueLength, 'b') + "tail";
    // "host" is an LF line among CR LF lines.
    const IniFile ini = LoadText(
        "Orphan=before any section\r\n[Main]\r\n  Port =  8080  \r\nhost=example.org\n"
        ";Commented=yes\r\nDouble=\"  spaced  \"\r\nMixed=\"x'\r\nport=second occurrence\r\n"
        "  [ other ]  \r\nPort=other section\r\n[MAIN]\r\nPort=third occurrence\r\n"
        "Late=from the repeated section\r\nLonger=" +
        (longer + "\r\n[" + razdel + "]\r\nK=" + privet + " \xA0\r\nLast=no line end"));

    EXPECT_EQ(ini.Get("main", "PORT"), "8080");
    EXPECT_EQ(ini.Get("Main", "Host"), "example.org");
    EXPECT_EQ(ini.Get("Main", "Double"), "  spaced  ");
    EXPECT_EQ(ini.Get("Main", "Mixed"), "\"x'");
    EXPECT_EQ(ini.Get("Main", "Longer"), longer.substr(0, IniFile::kMaxValueLength));
    EXPECT_EQ(ini.Get("Main", "Late"), "from the repeated section");
    EXPECT_EQ(ini.Get("Other", "Port"), "other section");
    EXPECT_EQ(ini.Get(razdel, "k"), privet + " \xA0");
    EXPECT_EQ(ini.Get(razdel, "last"), "no line end");
    EXPECT_EQ(ini.Get("Main", "Commented"), std::nullopt);
    EXPECT_EQ(ini.Get("Main", "Orphan"), std::nullopt);

    // A byte-order mark an editor put first hides no heading.
    EXPECT_EQ(LoadText("\xEF\xBB\xBF[Main]\r\nPort=8081\r\n").Get("Main", "Port"), "8081");
    // A CR alone ends a line and a NUL what it holds, so the file can be
    // saved again.
    IniFile odd = LoadText(std::string("[Main]\rPort=8082\rUser=me") + '\0' + "junk\r\n");
    EXPECT_EQ(odd.Get("Main", "Port"), "8082");
    EXPECT_EQ(odd.Get("Main", "User"), "me");
    odd.Set("Main", "Port", "8083");
    EXPECT_NO_THROW(odd.Save(file_, kOwnerRw));

    EXPECT_EQ(IniFile::Load(dir_.Path() / "absent.ini").Text(), "");
    EXPECT_THROW(IniFile::Load(dir_.Path()), std::system_error);
}

// Editing keeps every other line as it was: spacing, comments, and the
// blank lines and comments that lead into the next section.
TEST_F(IniFileTest, SetChangesOnlyTheValueOrAppendsToItsSection) {
    IniFile ini = LoadText(
        "; written by hand\r\n[A]\nPort = 8080\n; about y\ny=2\n; about B\n\n[B]\n[a]\nz=3\n");
    ini.Set("a", "pORT", "3128");
    ini.Set("a", "New", "v");
    ini.Set("A", "z", "4");  // found in the repeated section, changed there
    ini.Set("B", "First", "in empty section");
    ini.Set("C", "k", "created");
    EXPECT_EQ(ini.Text(),
              "; written by hand\r\n[A]\r\nPort = 3128\r\n; about y\r\ny=2\r\nNew=v\r\n"
              "; about B\r\n\r\n[B]\r\nFirst=in empty section\r\n[a]\r\nz=4\r\n\r\n"
              "[C]\r\nk=created\r\n");

    IniFile empty;
    empty.Set("S", "K", "V");
    EXPECT_EQ(empty.Text(), "[S]\r\nK=V\r\n");
}

TEST_F(IniFileTest, SetValuesReadBackUnchanged) {
    IniFile ini;
    for (const std::string value : {"  padded  ", "'single'", "\"double\"", "", "plain", "a=b"}) {
        ini.Set("S", "K", value);
        ini.Save(file_, kOwnerRw);
        EXPECT_EQ(IniFile::Load(file_).Get("S", "K"), value) << ini.Text();
    }

    EXPECT_THROW(ini.Set("S", "K", "two\r\nlines"), std::invalid_argument);
    EXPECT_THROW(ini.Set("S", "K=V", "x"), std::invalid_argument);
    EXPECT_THROW(ini.Set("S", ";K", "x"), std::invalid_argument);
    EXPECT_THROW(ini.Set("S", " K", "x"), std::invalid_argument);
    EXPECT_EQ(IniFile::Load(file_).Get("S", "K"), "a=b");
}

// A save replaces the file whole or not at all, and never leaves a
// temporary file beside it.
TEST_F(IniFileTest, SaveReplacesTheFileWholeWithTheGivenModeOrNotAtAll) {
    WriteBytes(file_, "[Old]\r\nK=old\r\n");
    fs::permissions(file_, kOwnerRw | fs::perms::group_read | fs::perms::others_read);
    const mode_t oldMask = ::umask(0);  // a lax umask must not widen the mode
    IniFile ini = IniFile::Load(file_);
    ini.Set("Old", "K", "new");
    ini.Save(file_, kOwnerRw);
    ::umask(oldMask);

    struct stat st {};
    ASSERT_EQ(::stat(file_.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);
    EXPECT_EQ(ReadBytes(file_), "[Old]\r\nK=new\r\n");

    // A file from a UTF-8 editor, or saved as "Unicode" (UTF-16LE) by a
    // Windows one or without the mark by another tool, means its Cyrillic
    // and is written back as it came, its mark kept or left out, with what the code page lacks in
    // lines nobody edited (the save setting every key to the value it read counts as no edit); a
    // file in the code page stays in it.
    const auto utf16 = [](const std::string& utf8) { return Utf16(utf::Utf8ToUtf16(utf8)); };
    const auto utf16Big = [](const std::string& utf8) {
        return Utf16(utf::Utf8ToUtf16(utf8), true);
    };
    for (const auto& encode : std::vector<std::function<std::string(const std::string&)>>{
             [](const std::string& t) { return t; },
             [](const std::string& t) { return "\xEF\xBB\xBF" + t; }, utf16,
             [&utf16](const std::string& t) { return utf16(t).substr(2); }, utf16Big,
             [&utf16Big](const std::string& t) { return utf16Big(t).substr(2); }}) {
        const std::string other = "; 設定 ✓\r\n[Other]\r\nTitle=Café ☕\r\n";
        WriteBytes(file_, encode("[Main]\r\nCacheDir_Text=/srv/кеш\r\nHost=bücher\r\n" + other));
        IniFile read = IniFile::Load(file_);
        EXPECT_EQ(read.Get("Main", "CacheDir_Text"), cp1251::FromUtf8("/srv/кеш"));
        read.Set("Main", "UserNameEd_Text", cp1251::FromUtf8("Пётр"));
        read.Set("Main", "Host", *read.Get("Main", "Host"));
        EXPECT_EQ(read.GetUtf8("Main", "Host"), "bücher");
        read.SetUtf8("Main", "CacheDir_Text", "/srv/緩存");
        read.Save(file_, kOwnerRw);
        EXPECT_EQ(
            ReadBytes(file_),
            encode("[Main]\r\nCacheDir_Text=/srv/緩存\r\nHost=bücher\r\nUserNameEd_Text=Пётр\r\n" +
                   other));
    }
    // A file in the code page stays in it, until it is to hold what the code
    // page cannot: then it is written in UTF-8, all it held kept.
    const std::string codePage = cp1251::FromUtf8("[Main]\r\nCacheDir_Text=/srv/кеш\r\n");
    WriteBytes(file_, codePage);
    IniFile widened = IniFile::Load(file_);
    widened.SetUtf8("Main", "CacheDir_Text", "/srv/кеш");
    widened.Save(file_, kOwnerRw);
    EXPECT_EQ(ReadBytes(file_), codePage);
    widened.Set("Main", "Name", cp1251::FromUtf8("Пётр"));
    widened.SetUtf8("Main", "CacheDir_Text", "/srv/緩存");
    widened.Save(file_, kOwnerRw);
    EXPECT_EQ(ReadBytes(file_), "[Main]\r\nCacheDir_Text=/srv/緩存\r\nName=Пётр\r\n");
    EXPECT_EQ(IniFile::Load(file_).GetUtf8("Main", "CacheDir_Text"), "/srv/緩存");
    // A line added to it in a UTF-8 editor means its letters, and is written
    // back in the code page while that holds them.
    for (const std::string folder : {"/srv/кеш", "/srv/緩存"}) {
        WriteBytes(file_,
                   codePage + "Name=" + cp1251::FromUtf8("Пётр") + "\r\nTmp=" + folder + "\r\n");
        IniFile mixed = IniFile::Load(file_);
        EXPECT_EQ(mixed.GetUtf8("Main", "Tmp"), folder);
        EXPECT_EQ(mixed.GetUtf8("Main", "Name"), "Пётр");
        mixed.Save(file_, kOwnerRw);
        const std::string written =
            "[Main]\r\nCacheDir_Text=/srv/кеш\r\nName=Пётр\r\nTmp=" + folder + "\r\n";
        EXPECT_EQ(ReadBytes(file_), folder == "/srv/кеш" ? cp1251::FromUtf8(written) : written);
    }
    WriteBytes(file_, codePage);

    // A file kept elsewhere and linked in is saved where it is; the link stays.
    const fs::path kept = dir_.Path() / "elsewhere" / "kept.ini";
    fs::create_directories(kept.parent_path());
    WriteBytes(kept, "[Main]\r\nK=old\r\n");
    const fs::path link = dir_.Path() / "linked.ini";
    fs::create_symlink(kept, link);
    IniFile linked = IniFile::Load(link);
    linked.Set("Main", "K", "new");
    linked.Save(link, kOwnerRw);
    EXPECT_TRUE(fs::is_symlink(link));
    EXPECT_EQ(ReadBytes(kept), "[Main]\r\nK=new\r\n");
    // So is one whose file is missing, the share it is on not yet there:
    // the save fails rather than put a file in the link's place.
    fs::remove_all(kept.parent_path());
    EXPECT_THROW(linked.Save(link, kOwnerRw), std::system_error);
    EXPECT_TRUE(fs::is_symlink(link));
    fs::create_directories(kept.parent_path());
    linked.Save(link, kOwnerRw);
    EXPECT_EQ(ReadBytes(kept), "[Main]\r\nK=new\r\n");
    fs::remove(link);
    fs::remove_all(kept.parent_path());
    // A FIFO in its place is no file to read, nor one to replace: the start
    // must not wait on it, and a save leaves it be.
    ASSERT_EQ(::mkfifo(link.c_str(), 0600), 0);
    EXPECT_THROW(IniFile::Load(link), std::system_error);
    EXPECT_THROW(ini.Save(link, kOwnerRw), std::system_error);
    EXPECT_TRUE(fs::is_fifo(link));
    fs::remove(link);
    // Linked to the null device, the settings are switched off: read as
    // none, and saved nowhere.
    // Also when another user (an administrator) made the link.
    fs::create_symlink("/dev/null", link);
    EXPECT_EQ(IniFile::Load(link).Get("Main", "K"), std::nullopt);
    for (const bool foreign : {false, true}) {
        if (foreign && ::lchown(link.c_str(), ::geteuid() + 1, ::getegid()) != 0) {
            continue;  // only root may give the link away
        }
        ini.Save(link, kOwnerRw);
        EXPECT_EQ(fs::read_symlink(link), "/dev/null");
    }
    fs::remove(link);

    EXPECT_THROW(ini.Save(dir_.Path() / "absent" / "x.ini", kOwnerRw), std::system_error);
    // Fails only at the rename, after the temporary file was written.
    const fs::path blocked = dir_.Path() / "blocked.ini";
    fs::create_directories(blocked / "in the way");
    EXPECT_THROW(ini.Save(blocked, kOwnerRw), std::system_error);
    EXPECT_EQ(ReadBytes(file_), codePage);
    EXPECT_EQ(std::distance(fs::directory_iterator(dir_.Path()), fs::directory_iterator()), 2);
}

}  // namespace
}  // namespace vs
