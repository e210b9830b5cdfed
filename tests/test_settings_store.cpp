// Writing and applying the settings, and the autorun entry.

#include <gtest/gtest.h>
#include <sys/stat.h>

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
}

TEST(ApplySettings, FreshWindowDayArithmetic) {
    using namespace std::chrono;
    struct Case {
        const char* hours;
        const char* minutes;
        seconds previous;
        seconds expected;
    } cases[] = {
        {"24", "0", 0s, 24h},
        {"25", "30", 0s, 25h + 30min},
        {"48", "0", 0s, 48h},
        {"0", "5", 0s, 5min},
        {"x", "y", 0s, 0s},              // both fall back to 0
        {"2", "75", 7min, 7min},         // no time of day: the old window stays
        {"26", "-1", 7min, 7min + 24h},  // ... but whole days are still added
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
    struct stat st {};
    ASSERT_EQ(::stat(ini.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
}

TEST(AutoRun, FollowsTheXdgAutostartEntry) {
    test::TempDir dir;
    const char* old = std::getenv("XDG_CONFIG_HOME");
    std::string saved = old != nullptr ? old : "";
    ::setenv("XDG_CONFIG_HOME", dir.Path().c_str(), 1);

    const std::filesystem::path exe = "/opt/vellostore/bin/vellostore";
    EXPECT_FALSE(AutoRunEnabled(exe));
    SetAutoRun(true, exe);
    EXPECT_EQ(AutostartFile(), dir.Path() / "autostart" / "vellostore.desktop");
    EXPECT_TRUE(AutoRunEnabled(exe));
    EXPECT_FALSE(AutoRunEnabled("/elsewhere/vellostore"));  // another path: not ticked
    SetAutoRun(false, exe);
    EXPECT_FALSE(std::filesystem::exists(AutostartFile()));

    if (old != nullptr) {
        ::setenv("XDG_CONFIG_HOME", saved.c_str(), 1);
    } else {
        ::unsetenv("XDG_CONFIG_HOME");
    }
}

}  // namespace
}  // namespace vs
