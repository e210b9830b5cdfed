#include "shell/settings.h"

#include <gtest/gtest.h>

#include <algorithm>

#include <climits>
#include <string>
#include <utility>
#include <vector>

#include "rules/password.h"
#include "shell/ini_file.h"
#include "shell/settings_store.h"
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

TEST_F(SettingsTest, AFileFromTheDesktopProgramReadsAndWritesBackKeyForKey) {
    // Every value differs from its default, and values of one kind differ
    // from each other, so a misspelt, lost or crossed key shows up.
    const std::vector<std::pair<std::string, std::string>> stored = {
        {"BlackListCB_Checked", "False"},
        {"CacheListCB_Checked", "false"},
        {"NoReqCB_Checked", "FALSE"},
        {"CacheDir_Text", "D:\\\xCA\xFD\xF8"},  // "D:\Кэш" in Windows-1251
        {"CacheEnCB_Checked", "False"},
        {"PortEd_Text", "3128"},
        {"ScaleEd_Text", "100"},
        {"StartHiddenCB_Checked", "True"},
        {"UserNameEd_Text", "\xC8\xE2\xE0\xED"},
        {"UserPswEd_Text", EncodeStoredPassword("\xEF\xE0\xF0\xEE\xEB\xFC")},
        {"MappedPortEd_Text", "25"},
        {"MappedHostEd_Text", "\"mail.example.org\""},
        {"UseParentProxy_Checked", "True"},
        {"NoCacheIgnoreCB_Checked", "True"},
        {"NoReqNewFilesCB_Checked", "True"},
        {"NewFilesHour_Text", "2"},
        {"NewFilesMin_Text", "30"},
        {"NoReqKeyCombo_ItemIndex", "0"},
        {"BLKeyCombo_ItemIndex", "1"},
        {"OnlyFromCacheKeyCombo_ItemIndex", "2"},
        {"HideConnect_Checked", "False"},
        {"CancelForOpera_Checked", "False"},
        {"URLFiltrCombo_ItemIndex", "3"},
        {"URLPrepareCB_Checked", "True"},
        {"OffLine_Checked", "True"},
        {"StatCols", "7"},
    };
    std::string text = "[TMainForm]\r\n";
    for (const auto& [key, value] : stored) {
        text += key + "=" + value + "\r\n";
    }
    const Settings loaded = LoadText(text);

    Settings expected{.port = "3128",
                      .cacheDir = "D:\\Кэш",
                      .chartScale = "100",
                      .startHidden = true,
                      .blackListEnabled = false,
                      .blackListCancelKeys = 1,
                      .cacheListEnabled = false,
                      .noRequestListEnabled = false,
                      .noRequestCancelKeys = 0,
                      .onlyFromCacheEnabled = true,  // never stored: still on
                      .onlyFromCacheCancelKeys = 2,
                      .onlyFromCacheSparesOpera = false,
                      .urlConverterEnabled = true,
                      .urlConverterCancelKeys = 3,
                      .readFromCache = false,
                      .offline = true,
                      .freshWithoutAsking = true,
                      .freshHours = "2",
                      .freshMinutes = "30",
                      .ignoreNoCache = true,
                      .hideOnlyFromCacheAnswers = false,
                      .useParent = true,
                      .parentHost = "mail.example.org",
                      .parentPort = "25",
                      .parentUser = "Иван",
                      .parentPassword = "пароль",
                      .parentPasswordScrambled = stored[9].second,
                      .statColumns = 7,
                      .windowPlacement = {},
                      .gridLayouts = {}};
    EXPECT_EQ(loaded, expected);

    // Written to a file of its own, under exactly the keys it came from.
    const fs::path written = dir_.Path() / "written.ini";
    SaveSettings(written, loaded);
    const std::string writtenText = test::ReadBytes(written);
    for (const auto& [key, value] : stored) {
        EXPECT_NE(writtenText.find("\r\n" + key + "="), std::string::npos) << key;
    }
    Settings reread = LoadSettings(written);
    // Scrambling takes fresh filler each time; only the password must match.
    reread.parentPasswordScrambled = loaded.parentPasswordScrambled;
    EXPECT_EQ(reread, loaded);
}

TEST_F(SettingsTest, MissingOrMalformedValuesKeepTheDefaults) {
    EXPECT_EQ(LoadSettings(dir_.Path() / "absent.ini"), Settings{});
    EXPECT_EQ(LoadText("[Other]\r\nPortEd_Text=1\r\n"), Settings{});
    WriteBytes(
        file_,
        "ScaleEd_Text=50\r\nPortEd_Text=1\r\nUnrelated=1\r\n[Other]\nUserNameEd_Text=x\n"
        "[tmainform]\nblacklistcb_checked=yes\nStartHiddenCB_Checked=Truely\n"
        "BLKeyCombo_ItemIndex=0x10\nOnlyFromCacheKeyCombo_ItemIndex=2147483648\n"
        "StatCols=5 columns\nHideConnect_Checked=fAlSe\nPortEd_Text=\nCacheDir_Text=" +
            std::string(3000, 'c') +
            "\nMaxConnections=\nOffLine_Checked=\nMappedPortEd_Text=2896O\nKeepAliveTimeout=-1\n");
    std::vector<std::string> notUnderstood;
    const Settings s = LoadSettings(file_, &notUnderstood);
    // Named for the user, as the next save writes the defaults over them; an
    // empty value is no mistake, nor a key outside the section that the
    // section sets too. A negative limit is no "none": the guard stays.
    std::sort(notUnderstood.begin(), notUnderstood.end());
    EXPECT_EQ(notUnderstood,
              (std::vector<std::string>{
                  "BLKeyCombo_ItemIndex=0x10", "BlackListCB_Checked=yes", "KeepAliveTimeout=-1",
                  "MappedPortEd_Text=2896O", "OnlyFromCacheKeyCombo_ItemIndex=2147483648",
                  "ScaleEd_Text=50 (вне раздела [TMainForm])", "StartHiddenCB_Checked=Truely",
                  "StatCols=5 columns", "UserNameEd_Text=x (вне раздела [TMainForm])"}));

    // Only the well-formed neighbours count; a present empty text is a value.
    Settings expected;
    expected.hideOnlyFromCacheAnswers = false;
    expected.port = "";
    expected.parentPort = "2896O";  // applying takes the fallback
    expected.cacheDir = std::string(IniFile::kMaxValueLength, 'c');
    EXPECT_EQ(s, expected);
}

}  // namespace
}  // namespace vs
