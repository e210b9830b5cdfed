#include "shell/settings.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstdlib>
#include <fstream>
#include <optional>
#include <stdexcept>
#include <string>
#include <system_error>
#include <utility>

#include "base/data_dir.h"
#include "shell/ini_file.h"
#include "support/files.h"

namespace vs {
namespace {

namespace fs = std::filesystem;
using test::ReadBytes;
using test::TempDir;
using test::WriteBytes;

class SettingsTest : public ::testing::Test {
protected:
    Settings LoadText(std::string_view text) {
        std::ofstream(file_, std::ios::binary)
            .write(text.data(), static_cast<std::streamsize>(text.size()));
        return LoadSettings(file_);
    }

    TempDir dir_;
    fs::path file_ = dir_.Path() / std::string(kSettingsFileName);
};

TEST_F(SettingsTest, DefaultsWithoutFileOrSection) {
    const Settings fresh = LoadSettings(dir_.Path() / "absent.ini");
    EXPECT_EQ(fresh, Settings{});
    EXPECT_TRUE(fresh.BlackListCB);
    EXPECT_EQ(fresh.PortEd, "8080");
    EXPECT_EQ(fresh.MappedHostEd, "127.0.0.1");
    EXPECT_EQ(fresh.NoReqKeyCombo, -1);
    EXPECT_EQ(fresh.StatCols, 0);

    EXPECT_EQ(LoadText("[Other]\r\nPortEd_Text=1\r\n"), Settings{});
}

TEST_F(SettingsTest, ReadsEveryKeyOfAFileFromTheDesktopProgram) {
    // Every value differs from its default so a misspelt key shows up.
    const Settings s = LoadText(
        "[TMainForm]\r\n"
        "BlackListCB_Checked=False\r\n"
        "CacheListCB_Checked=false\r\n"
        "NoReqCB_Checked=FALSE\r\n"
        "CacheDir_Text=D:\\\xCA\xFD\xF8\r\n"  // "D:\Кэш" in Windows-1251
        "CacheEnCB_Checked=False\r\n"
        "PortEd_Text=3128\r\n"
        "ScaleEd_Text=100\r\n"
        "StartHiddenCB_Checked=True\r\n"
        "UserNameEd_Text=\xC8\xE2\xE0\xED\r\n"
        "UserPswEd_Text=0A1B2C\r\n"
        "MappedPortEd_Text=25\r\n"
        "MappedHostEd_Text=\"mail.example.org\"\r\n"
        "UseParentProxy_Checked=True\r\n"
        "NoCacheIgnoreCB_Checked=True\r\n"
        "NoReqNewFilesCB_Checked=True\r\n"
        "NewFilesHour_Text=2\r\n"
        "NewFilesMin_Text=30\r\n"
        "NoReqKeyCombo_ItemIndex=0\r\n"
        "BLKeyCombo_ItemIndex=1\r\n"
        "OnlyFromCacheKeyCombo_ItemIndex=2\r\n"
        "HideConnect_Checked=False\r\n"
        "CancelForOpera_Checked=False\r\n"
        "URLFiltrCombo_ItemIndex=3\r\n"
        "URLPrepareCB_Checked=True\r\n"
        "OffLine_Checked=True\r\n"
        "StatCols=7\r\n");

    EXPECT_FALSE(s.BlackListCB);
    EXPECT_FALSE(s.CacheListCB);
    EXPECT_FALSE(s.NoReqCB);
    EXPECT_EQ(s.CacheDir, "D:\\\xCA\xFD\xF8");
    EXPECT_FALSE(s.CacheEnCB);
    EXPECT_EQ(s.PortEd, "3128");
    EXPECT_EQ(s.ScaleEd, "100");
    EXPECT_TRUE(s.StartHiddenCB);
    EXPECT_EQ(s.UserNameEd, "\xC8\xE2\xE0\xED");
    EXPECT_EQ(s.UserPswEdScrambled, "0A1B2C");
    EXPECT_EQ(s.MappedPortEd, "25");
    EXPECT_EQ(s.MappedHostEd, "mail.example.org");
    EXPECT_TRUE(s.UseParentProxy);
    EXPECT_TRUE(s.NoCacheIgnoreCB);
    EXPECT_TRUE(s.NoReqNewFilesCB);
    EXPECT_EQ(s.NewFilesHour, "2");
    EXPECT_EQ(s.NewFilesMin, "30");
    EXPECT_EQ(s.NoReqKeyCombo, 0);
    EXPECT_EQ(s.BLKeyCombo, 1);
    EXPECT_EQ(s.OnlyFromCacheKeyCombo, 2);
    EXPECT_FALSE(s.HideConnect);
    EXPECT_FALSE(s.CancelForOpera);
    EXPECT_EQ(s.URLFiltrCombo, 3);
    EXPECT_TRUE(s.URLPrepareCB);
    EXPECT_TRUE(s.OffLine);
    EXPECT_EQ(s.StatCols, 7);
    EXPECT_TRUE(s.OnlyFromCache);  // never stored
}

TEST_F(SettingsTest, MalformedValuesKeepTheDefaults) {
    const Settings s = LoadText(
        "[tmainform]\n"
        "blacklistcb_checked=yes\n"
        "CacheListCB_Checked=1\n"
        "NoReqCB_Checked=\n"
        "StartHiddenCB_Checked=Truely\n"
        "NoReqKeyCombo_ItemIndex=abc\n"
        "BLKeyCombo_ItemIndex=0x10\n"
        "OnlyFromCacheKeyCombo_ItemIndex=2147483648\n"
        "URLFiltrCombo_ItemIndex=\n"
        "StatCols=5 columns\n"
        "HideConnect_Checked=fAlSe\n"
        "PortEd_Text=\n"
        "CacheDir_Text=" +
        std::string(3000, 'c') + "\n");

    EXPECT_TRUE(s.BlackListCB);
    EXPECT_TRUE(s.CacheListCB);
    EXPECT_TRUE(s.NoReqCB);
    EXPECT_FALSE(s.StartHiddenCB);
    EXPECT_EQ(s.NoReqKeyCombo, -1);
    EXPECT_EQ(s.BLKeyCombo, -1);
    EXPECT_EQ(s.OnlyFromCacheKeyCombo, -1);
    EXPECT_EQ(s.URLFiltrCombo, -1);
    EXPECT_EQ(s.StatCols, 0);
    // Well-formed neighbours still count; a present empty text is a value.
    EXPECT_FALSE(s.HideConnect);
    EXPECT_EQ(s.PortEd, "");
    EXPECT_EQ(s.CacheDir, std::string(IniFile::kMaxValueLength, 'c'));
}

TEST_F(SettingsTest, KeyTableWritesWhatItReads) {
    Settings changed;
    changed.CacheListCB = false;
    changed.CacheDir = "  /var/cache/vs  ";
    changed.MappedPortEd = "8443";
    changed.StartHiddenCB = true;
    changed.URLFiltrCombo = 4;
    changed.BLKeyCombo = -1;

    IniFile ini;
    for (const SettingsKey& key : StoredSettingsKeys()) {
        ini.Set(kSettingsSection, key.key, key.ToText(changed));
    }
    ini.Save(file_, fs::perms::owner_read | fs::perms::owner_write);

    Settings loaded = LoadSettings(file_);
    EXPECT_EQ(loaded, changed);
    EXPECT_EQ(IniFile::Load(file_).Get("TMainForm", "CacheListCB_Checked"), "False");
    EXPECT_EQ(IniFile::Load(file_).Get("TMainForm", "URLFiltrCombo_ItemIndex"), "4");
    EXPECT_EQ(StoredSettingsKeys().size(), 24u);
}

TEST_F(SettingsTest, UnreadableFileThrows) {
    fs::create_directory(file_);
    EXPECT_THROW(LoadSettings(file_), std::system_error);
}

TEST(SettingsParseIntOrTest, AcceptsOnlyWholeDecimalNumbersInRange) {
    const std::pair<std::string_view, int> cases[] = {
        {"12", 12},
        {" 12", 12},
        {"\t 7", 7},
        {"+5", 5},
        {"-0", 0},
        {"-1", -1},
        {"007", 7},
        {"2147483647", INT_MAX},
        {"-2147483648", INT_MIN},
        {"12 ", 99},
        {"2147483648", 99},
        {"-2147483649", 99},
        {"99999999999999999999", 99},
        {"", 99},
        {" ", 99},
        {"-", 99},
        {"+-1", 99},
        {"- 1", 99},
        {"0x10", 99},
        {"1e3", 99},
    };
    for (const auto& [text, expected] : cases) {
        EXPECT_EQ(ParseIntOr(text, 99), expected) << '"' << text << '"';
    }
}

// VELLOSTORE_HOME is put back as it was so the other tests see the
// environment they were started with.
class DataDirTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (const char* value = std::getenv("VELLOSTORE_HOME")) {
            saved_ = value;
        }
    }
    void TearDown() override {
        if (saved_) {
            ::setenv("VELLOSTORE_HOME", saved_->c_str(), 1);
        } else {
            ::unsetenv("VELLOSTORE_HOME");
        }
    }

    std::optional<std::string> saved_;
};

TEST_F(DataDirTest, FollowsVellostoreHomeMadeAbsolute) {
    ::setenv("VELLOSTORE_HOME", "/srv/vellostore", 1);
    EXPECT_EQ(DataDirectory(), fs::path("/srv/vellostore"));
    ::setenv("VELLOSTORE_HOME", "relative/home", 1);
    EXPECT_EQ(DataDirectory(), fs::current_path() / "relative/home");
}

TEST_F(DataDirTest, FallsBackToTheExecutableFolderWhenUnsetOrEmpty) {
    ::unsetenv("VELLOSTORE_HOME");
    EXPECT_TRUE(fs::is_regular_file(DataDirectory() / "vellostore_tests")) << DataDirectory();
    ::setenv("VELLOSTORE_HOME", "", 1);
    EXPECT_TRUE(fs::is_regular_file(DataDirectory() / "vellostore_tests")) << DataDirectory();
    EXPECT_EQ(ExecutablePath().filename(), "vellostore_tests");
}

}  // namespace
}  // namespace vs
