#include "shell/settings.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstdlib>
#include <optional>
#include <string>
#include <system_error>

#include "base/data_dir.h"
#include "shell/ini_file.h"
#include "support/files.h"

namespace vs {
namespace {

namespace fs = std::filesystem;
using test::TempDir;
using test::WriteBytes;

class SettingsTest : public ::testing::Test {
protected:
    Settings LoadText(std::string_view text) {
        WriteBytes(file_, text);
        return LoadSettings(file_);
    }

    TempDir dir_;
    fs::path file_ = dir_.Path() / std::string(kSettingsFileName);
};

TEST_F(SettingsTest, DefaultsWithoutFileOrSection) {
    EXPECT_EQ(LoadSettings(dir_.Path() / "absent.ini"), Settings{});
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

    const Settings expected{.BlackListCB = false,
                            .CacheListCB = false,
                            .NoReqCB = false,
                            .CacheDir = "D:\\\xCA\xFD\xF8",
                            .CacheEnCB = false,
                            .PortEd = "3128",
                            .ScaleEd = "100",
                            .StartHiddenCB = true,
                            .UserNameEd = "\xC8\xE2\xE0\xED",
                            .MappedPortEd = "25",
                            .MappedHostEd = "mail.example.org",
                            .UseParentProxy = true,
                            .NoCacheIgnoreCB = true,
                            .NoReqNewFilesCB = true,
                            .NewFilesHour = "2",
                            .NewFilesMin = "30",
                            .NoReqKeyCombo = 0,
                            .BLKeyCombo = 1,
                            .OnlyFromCacheKeyCombo = 2,
                            .HideConnect = false,
                            .CancelForOpera = false,
                            .URLFiltrCombo = 3,
                            .URLPrepareCB = true,
                            .OffLine = true,
                            .UserPswEdScrambled = "0A1B2C",
                            .UserPswEd = "",
                            .StatCols = 7};  // OnlyFromCache is never stored: still on
    EXPECT_EQ(s, expected);
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

    // Only the well-formed neighbours count; a present empty text is a value.
    Settings expected;
    expected.HideConnect = false;
    expected.PortEd = "";
    expected.CacheDir = std::string(IniFile::kMaxValueLength, 'c');
    EXPECT_EQ(s, expected);
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
}

TEST_F(SettingsTest, UnreadableFileThrows) {
    fs::create_directory(file_);
    EXPECT_THROW(LoadSettings(file_), std::system_error);
}

TEST(SettingsParseIntOrTest, AcceptsOnlyWholeDecimalNumbersInRange) {
    EXPECT_EQ(ParseIntOr("\t +7", 99), 7);
    EXPECT_EQ(ParseIntOr("-007", 99), -7);
    EXPECT_EQ(ParseIntOr("2147483647", 99), INT_MAX);
    EXPECT_EQ(ParseIntOr("-2147483648", 99), INT_MIN);
    for (const char* text : {"12 ", "2147483648", "-2147483649", "99999999999999999999", "", "-",
                             "+-1", "- 1", "0x10", "1e3"}) {
        EXPECT_EQ(ParseIntOr(text, 99), 99) << '"' << text << '"';
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

TEST_F(DataDirTest, FollowsVellostoreHomeMadeAbsoluteElseTheExecutableFolder) {
    ::setenv("VELLOSTORE_HOME", "/srv/vellostore", 1);
    EXPECT_EQ(DataDirectory(), fs::path("/srv/vellostore"));
    ::setenv("VELLOSTORE_HOME", "relative/home", 1);
    EXPECT_EQ(DataDirectory(), fs::current_path() / "relative/home");
    ::setenv("VELLOSTORE_HOME", "", 1);
    EXPECT_TRUE(fs::is_regular_file(DataDirectory() / "vellostore_tests")) << DataDirectory();
    ::unsetenv("VELLOSTORE_HOME");
    EXPECT_EQ(DataDirectory() / "vellostore_tests", ExecutablePath());
}

}  // namespace
}  // namespace vs
