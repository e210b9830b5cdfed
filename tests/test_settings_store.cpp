// Writing and applying the settings, the folder they live in, and the
// autorun entry.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>

#include "base/data_dir.h"
#include "shell/settings_store.h"
#include "support/child_process.h"

namespace vs {
namespace {

TEST(ApplySettings, NumbersApplyAndWhatIsNoNumberIsRewrittenWithTheFallback) {
    Settings s;
    s.port = "abc";
    s.parentPort = "0081";
    s.chartScale = "lots";
    s.parentHost = "parent.example";
    const AppliedSettings applied = ApplySettings(s, std::chrono::seconds(0));
    EXPECT_EQ(applied.port, 8080);
    EXPECT_EQ(s.port, "8080");
    EXPECT_EQ(applied.parentPort, 81);
    EXPECT_EQ(s.parentPort, "81");
    EXPECT_EQ(applied.scale, 10000);
    EXPECT_EQ(s.chartScale, "10000");
    EXPECT_EQ(applied.parentHost, "parent.example");
    s.parentHost = "[fd00::2]";
    EXPECT_EQ(ApplySettings(s, std::chrono::seconds(0)).parentHost, "fd00::2");
}

TEST(ApplySettings, FreshWindowDayArithmetic) {
    using namespace std::chrono;
    struct Case {
        const char* hours;
        const char* minutes;
        seconds previous;
        seconds expected;
    } cases[] = {
        {"25", "30", 0s, 25h + 30min},
        {"x", "y", 0s, 0s},              // both fall back to 0
        {"2", "75", 7min, 7min},         // no time of day: the old window stays
        {"26", "-1", 7min, 7min + 24h},  // ... but whole days are still added
        // applied again: the previous window's days are not added twice
        {"48", "60", 48h + 7min, 48h + 7min},
    };
    for (const Case& c : cases) {
        Settings s;
        s.freshHours = c.hours;
        s.freshMinutes = c.minutes;
        EXPECT_EQ(ApplySettings(s, c.previous).freshWindow, c.expected)
            << c.hours << ":" << c.minutes;
    }
}

TEST(SaveSettings, KeepsWhatItDoesNotOwnAndNoClearPassword) {
    test::TempDir dir;
    const auto ini = dir.Path() / "Vellostore.ini";
    test::WriteBytes(ini,
                     "; placement\r\n[TMainForm]\r\nNormPos=1,2,3,4\r\nPortEd_Text=9000\r\n"
                     "[Monitor Columns Sizes]\r\nColumn0=40\r\n");
    Settings s = LoadSettings(ini);
    s.parentPassword = "secret";
    SaveSettings(ini, s);

    const std::string text = test::ReadBytes(ini);
    EXPECT_NE(text.find("NormPos=1,2,3,4\r\n"), std::string::npos);
    EXPECT_NE(text.find("[Monitor Columns Sizes]\r\nColumn0=40\r\n"), std::string::npos);
    EXPECT_NE(text.find("PortEd_Text=9000\r\n"), std::string::npos);
    EXPECT_EQ(text.find("secret"), std::string::npos);
    EXPECT_EQ(LoadSettings(ini).parentPassword, "secret");

    // Written by hand in clear: taken as it stands and scrambled by the save;
    // one that merely looks scrambled is written back as it was.
    test::WriteBytes(ini, "[TMainForm]\r\nUserPswEd_Text=hunter2\r\n");
    SaveSettings(ini, LoadSettings(ini));
    EXPECT_EQ(test::ReadBytes(ini).find("hunter2"), std::string::npos);
    EXPECT_EQ(LoadSettings(ini).parentPassword, "hunter2");
    test::WriteBytes(ini, "[TMainForm]\r\nUserPswEd_Text=1234567\r\n");
    SaveSettings(ini, LoadSettings(ini));
    EXPECT_NE(test::ReadBytes(ini).find("UserPswEd_Text=1234567\r\n"), std::string::npos);
    // Letters the code page lacks are kept, the password then in clear.
    test::WriteBytes(ini, "[TMainForm]\r\nUserNameEd_Text=jürgen\r\nUserPswEd_Text=Passwört\r\n");
    for (int save = 0; save < 2; ++save) {
        const Settings reread = LoadSettings(ini);
        EXPECT_EQ(reread.parentUser, "jürgen");
        EXPECT_EQ(reread.parentPassword, "Passwört");
        SaveSettings(ini, reread);
    }
    struct stat st {};
    ASSERT_EQ(::stat(ini.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
}

// Column layouts ride along with every save and come back per grid; a
// layout for another grid, or one edited into nonsense, is not taken.
TEST(SaveSettings, GridLayoutsComeBackPerGrid) {
    test::TempDir dir;
    const auto ini = dir.Path() / "Vellostore.ini";
    Settings s;
    GridLayout monitor{"Monitor",
                       {{true, 2, 40, false}, {false, 0, 31, false}, {true, 1, 300, true}}};
    GridLayout black{"BlackList", {{true, 0, 25, false}}};
    s.gridLayouts = {monitor, black};
    SaveSettings(ini, s);
    EXPECT_TRUE(test::ReadBytes(ini).find("[Monitor Positions]\r\nColumn0=2\r\n") !=
                std::string::npos);
    EXPECT_EQ(ReadGridLayout(ini, "Monitor"), monitor);
    EXPECT_EQ(ReadGridLayout(ini, "BlackList"), black);
    EXPECT_EQ(ReadGridLayout(ini, "StatList"), std::nullopt);

    // A later save with a narrower grid and other settings keeps the rest.
    s.gridLayouts = {{"Monitor", {{true, 0, 99, false}}}};
    s.port = "9000";
    SaveSettings(ini, s);
    EXPECT_EQ(ReadGridLayout(ini, "Monitor")->columns.front().width, 99);
    EXPECT_EQ(ReadGridLayout(ini, "BlackList"), black);
    test::WriteBytes(ini, "[Monitor Common]\r\nColumnsCount=999999999\r\n");
    EXPECT_EQ(ReadGridLayout(ini, "Monitor"), std::nullopt);
}

TEST(DataDir, FollowsVellostoreHomeMadeAbsoluteElseTheExecutableFolder) {
    namespace fs = std::filesystem;
    test::ScopedEnv home("VELLOSTORE_HOME", "/srv/vellostore");
    EXPECT_EQ(DataDirectory(), fs::path("/srv/vellostore"));
    home.Set("relative/home");
    EXPECT_EQ(DataDirectory(), fs::current_path() / "relative/home");
    home.Set("");
    EXPECT_TRUE(fs::is_regular_file(DataDirectory() / "vellostore_tests")) << DataDirectory();
    home.Set(nullptr);
    EXPECT_EQ(DataDirectory() / "vellostore_tests", ExecutablePath());
}

// XDG_CONFIG_HOME points at a folder of the test's own.
class AutoRun : public ::testing::Test {
protected:
    std::string ExecLine() const {
        const std::string entry = test::ReadBytes(AutostartFile());
        const std::size_t at = entry.find("\nExec=");
        return at == std::string::npos ? ""
                                       : entry.substr(at + 1, entry.find('\n', at + 1) - at - 1);
    }

    test::TempDir dir_;
    test::ScopedEnv config_{"XDG_CONFIG_HOME", dir_.Path().c_str()};
};

TEST_F(AutoRun, FollowsTheXdgAutostartEntry) {
    const std::filesystem::path exe = "/opt/vellostore/bin/vellostore";
    const std::filesystem::path beside = exe.parent_path();
    EXPECT_FALSE(AutoRunEnabled(exe, beside));
    SetAutoRun(true, exe, beside);
    EXPECT_EQ(AutostartFile(), dir_.Path() / "autostart" / "vellostore.desktop");
    EXPECT_EQ(ExecLine(), "Exec=/opt/vellostore/bin/vellostore");
    EXPECT_TRUE(AutoRunEnabled(exe, "/opt/vellostore/bin/"));
    EXPECT_FALSE(AutoRunEnabled("/elsewhere/vellostore", "/elsewhere"));  // another path
    SetAutoRun(false, exe, beside);
    EXPECT_FALSE(std::filesystem::exists(AutostartFile()));
    SetAutoRun(false, exe, beside);  // nothing to remove is no failure
    // An entry that cannot be removed is a failure told, not a switch-off.
    std::filesystem::create_directories(AutostartFile() / "held");
    EXPECT_THROW(SetAutoRun(false, exe, beside), std::filesystem::filesystem_error);
    std::filesystem::remove_all(AutostartFile());

    // An entry quoted where nothing needed it still names this executable.
    test::WriteBytes(AutostartFile(), "[Desktop Entry]\nExec=\"" + exe.string() + "\"\n");
    EXPECT_TRUE(AutoRunEnabled(exe, beside));
}

// A data folder of its own (VELLOSTORE_HOME) goes into the entry: at login
// the program must start on the folder the box was ticked in, and the box
// of another folder stays unticked.
TEST_F(AutoRun, AnotherDataFolderIsStartedWithIt) {
    const std::filesystem::path exe = "/opt/vellostore/bin/vellostore";
    SetAutoRun(true, exe, "/home/ann/proxy 2/");
    EXPECT_EQ(ExecLine(),
              R"(Exec=env "VELLOSTORE_HOME=/home/ann/proxy 2" /opt/vellostore/bin/vellostore)");
    EXPECT_TRUE(AutoRunEnabled(exe, "/home/ann/proxy 2"));
    EXPECT_FALSE(AutoRunEnabled(exe, exe.parent_path()));
    EXPECT_FALSE(AutoRunEnabled(exe, "/home/ann/proxy"));
    SetAutoRun(true, exe, exe.parent_path());
    EXPECT_FALSE(AutoRunEnabled(exe, "/home/ann/proxy 2"));
}

TEST_F(AutoRun, ExecQuotesThePathForTheCommandLineAndAgainForTheFile) {
    // Each line as a launcher must read it: the path quoted when it holds a
    // reserved character, '"' '$' '`' '\' escaped inside the quotes, '%'
    // doubled, then every backslash doubled again and line breaks escaped.
    const struct {
        std::string path;
        std::string exec;
    } cases[] = {
        {"/opt/vellostore/vellostore", R"(Exec=/opt/vellostore/vellostore)"},
        {"/opt/50%/vellostore", R"(Exec=/opt/50%%/vellostore)"},
        {"/home/ann/My Apps/100% off/vellostore",
         R"(Exec="/home/ann/My Apps/100%% off/vellostore")"},
        {"/srv/say \"hi\"/$HOME/`id`/vs", R"(Exec="/srv/say \\"hi\\"/\\$HOME/\\`id\\`/vs")"},
        {"/srv/back\\slash/vs", R"(Exec="/srv/back\\\\slash/vs")"},
        {"/srv/two\nlines/vs", R"(Exec="/srv/two\nlines/vs")"},
    };
    for (const auto& c : cases) {
        const std::filesystem::path exe = c.path;
        SetAutoRun(true, exe, exe.parent_path());
        EXPECT_EQ(ExecLine(), c.exec) << c.path;
        EXPECT_TRUE(AutoRunEnabled(exe, exe.parent_path())) << c.path;
    }
    EXPECT_FALSE(AutoRunEnabled("/srv/two", "/srv"));
}

}  // namespace
}  // namespace vs
