#include "shell/ini_file.h"
#include "support/files.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <stdexcept>
#include <string>
#include <system_error>
#include <vector>

namespace vs {
namespace {

namespace fs = std::filesystem;
using test::ReadBytes;
using test::TempDir;
using test::WriteBytes;

class IniFileTest : public ::testing::Test {
protected:
    IniFile LoadText(std::string_view text) {
        WriteBytes(file_, text);
        return IniFile::Load(file_);
    }

    std::vector<fs::path> Entries() const {
        std::vector<fs::path> names;
        for (const auto& entry : fs::directory_iterator(dir_.Path())) {
            names.push_back(entry.path().filename());
        }
        std::sort(names.begin(), names.end());
        return names;
    }

    static constexpr fs::perms kOwnerRw = fs::perms::owner_read | fs::perms::owner_write;
    TempDir dir_;
    fs::path file_ = dir_.Path() / "test.ini";
};

TEST_F(IniFileTest, ReadsLinesLikeTheWindowsProfileFunctions) {
    const IniFile ini = LoadText(
        "Orphan=before any section\r\n"
        "[Main]\r\n"
        "  Port =  8080  \r\n"
        "host=example.org\n"  // an LF line among CR LF lines
        ";Commented=yes\r\n"
        "Double=\"  spaced  \"\r\n"
        "Single='x'\r\n"
        "Mixed=\"x'\r\n"
        "Lone=\"\r\n"
        "Empty=\r\n"
        "port=second occurrence\r\n"
        "  [ other ]  \r\n"
        "Port=other section\r\n"
        "[MAIN]\r\n"
        "Port=third occurrence\r\n"
        "Late=from the repeated section\r\n"
        "Last=no line end");

    EXPECT_EQ(ini.Get("main", "PORT"), "8080");
    EXPECT_EQ(ini.Get("Main", "Host"), "example.org");
    EXPECT_EQ(ini.Get("Main", "Double"), "  spaced  ");
    EXPECT_EQ(ini.Get("Main", "Single"), "x");
    EXPECT_EQ(ini.Get("Main", "Mixed"), "\"x'");
    EXPECT_EQ(ini.Get("Main", "Lone"), "\"");
    EXPECT_EQ(ini.Get("Main", "Empty"), "");
    EXPECT_EQ(ini.Get("Main", "Late"), "from the repeated section");
    EXPECT_EQ(ini.Get("main", "last"), "no line end");
    EXPECT_EQ(ini.Get("Other", "Port"), "other section");

    EXPECT_EQ(ini.Get("Main", "Commented"), std::nullopt);
    EXPECT_EQ(ini.Get("Main", ";Commented"), std::nullopt);
    EXPECT_EQ(ini.Get("Main", "Orphan"), std::nullopt);
    EXPECT_EQ(ini.Get("Nowhere", "Port"), std::nullopt);
}

TEST_F(IniFileTest, CutsLongValuesAndKeepsEightBitBytes) {
    const std::string exact(IniFile::kMaxValueLength, 'a');
    const std::string longer = std::string(IniFile::kMaxValueLength, 'b') + "tail";
    // "Привет" and a section named "Раздел" in Windows-1251; bytes above 0x7F,
    // the no-break space 0xA0 included, are neither blanks nor converted.
    const std::string privet = "\xCF\xF0\xE8\xE2\xE5\xF2";
    const std::string razdel = "\xD0\xE0\xE7\xE4\xE5\xEB";
    const IniFile ini =
        LoadText("[S]\r\nExact=" + exact + "\r\nLonger=" + longer + "\r\nQuoted=\"" + longer +
                 "\"\r\nWord=" + privet + "\r\n[" + razdel + "]\r\nK=" + privet + " \xA0\r\n");

    EXPECT_EQ(ini.Get("S", "Exact"), exact);
    EXPECT_EQ(ini.Get("S", "Longer"), longer.substr(0, IniFile::kMaxValueLength));
    EXPECT_EQ(ini.Get("S", "Quoted"), longer.substr(0, IniFile::kMaxValueLength));
    EXPECT_EQ(ini.Get("S", "Word"), privet);
    EXPECT_EQ(ini.Get(razdel, "k"), privet + " \xA0");
}

TEST_F(IniFileTest, MissingFileIsEmptyAndUnreadableFileThrows) {
    const IniFile missing = IniFile::Load(dir_.Path() / "absent.ini");
    EXPECT_EQ(missing.Text(), "");
    EXPECT_EQ(missing.Get("S", "K"), std::nullopt);

    EXPECT_THROW(IniFile::Load(dir_.Path()), std::system_error);
}

TEST_F(IniFileTest, SetAndSaveChangeOnlyTheValue) {
    const std::string original =
        "; written by hand\r\n"
        "[Other]\r\n"
        "Unknown = keep me  \r\n"
        "\r\n"
        "[TMainForm]\r\n"
        "PortEd_Text = 8080\r\n"
        "Extra=\"quoted\"\r\n"
        "; trailing note\r\n"
        "\r\n"
        "[Last]\r\n"
        "Z=1\r\n";
    WriteBytes(file_, original);

    IniFile ini = IniFile::Load(file_);
    ini.Set("tmainform", "portED_text", "3128");
    ini.Save(file_, kOwnerRw);

    std::string expected = original;
    expected.replace(expected.find("8080"), 4, "3128");
    EXPECT_EQ(ReadBytes(file_), expected);
}

TEST_F(IniFileTest, SetAppendsToItsSectionOrCreatesOne) {
    IniFile ini = LoadText(
        "[A]\n"
        "x=1\n"
        "; about y\n"
        "y=2\n"
        "; about B\n"
        "\n"
        "[B]\n"
        "[a]\n"
        "z=3\n");
    ini.Set("a", "New", "v");
    ini.Set("A", "z", "4");  // found in the repeated section, changed there
    ini.Set("B", "First", "in empty section");
    ini.Set("C", "k", "created");
    EXPECT_EQ(ini.Text(),
              "[A]\r\n"
              "x=1\r\n"
              "; about y\r\n"
              "y=2\r\n"
              "New=v\r\n"
              "; about B\r\n"
              "\r\n"
              "[B]\r\n"
              "First=in empty section\r\n"
              "[a]\r\n"
              "z=4\r\n"
              "\r\n"
              "[C]\r\n"
              "k=created\r\n");

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

    EXPECT_THROW(ini.Save(dir_.Path() / "absent" / "x.ini", kOwnerRw), std::system_error);
    // Fails only at the rename, after the temporary file was written.
    const fs::path blocked = dir_.Path() / "blocked.ini";
    fs::create_directories(blocked / "in the way");
    EXPECT_THROW(ini.Save(blocked, kOwnerRw), std::system_error);
    EXPECT_EQ(ReadBytes(file_), "[Old]\r\nK=new\r\n");
    EXPECT_EQ(Entries(), (std::vector<fs::path>{"blocked.ini", "test.ini"}));
}

}  // namespace
}  // namespace vs
